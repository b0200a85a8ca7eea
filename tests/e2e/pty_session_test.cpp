// quor-sim serving a pseudo-terminal and quorctl talking to it over termios, as two separate
// processes: the way a person tries the driver without a reader.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/process.h"

namespace {

using quor::e2e::Clock;
using quor::e2e::Process;
using std::chrono::milliseconds;

nlohmann::json Answer(Process& ctl, const std::string& command) {
    ctl.Send(command);
    auto line = ctl.Line();
    if (!line) return {{"missing", command}};
    return nlohmann::json::parse(*line, nullptr, false);
}

// The emulated reader's frame count, from quor-sim's status line; -1 when it cannot be read.
long FramesOf(Process& sim) {
    sim.Send("status");
    while (auto line = sim.Line()) {
        const auto at = line->find("; frames ");
        if (at != std::string::npos) return std::stol(line->substr(at + 9));
    }
    return -1;
}

// Waits until frames reach the reader in a stream, as only the keypad input sends them (the
// polling thread sends one every 1.8 s): keys typed before then could go to a poll. A stream is
// new frames at every look, five looks in a row, however slowly the machine lets them come.
bool InputRuns(Process& sim) {
    long before = FramesOf(sim);
    int streak = 0;
    for (int tries = 0; tries < 2000 && before >= 0; ++tries) {
        std::this_thread::sleep_for(milliseconds(10));
        const long now = FramesOf(sim);
        streak = now > before ? streak + 1 : 0;
        if (streak >= 5) return true;
        before = now;
    }
    return false;
}

TEST(E2ePty, QuorctlDrivesQuorSimOverAPseudoTerminal) {
    Process sim({QUOR_SIM_BINARY, "--pty", "--card", "none"});
    ASSERT_TRUE(sim.Running());
    auto pty = sim.Line(milliseconds(5000));
    ASSERT_TRUE(pty && pty->rfind("/dev/", 0) == 0) << (pty ? *pty : "no pty path");

    Process ctl({QUORCTL_BINARY, "--port", *pty, "--json", "--trace", "shell"});
    ASSERT_TRUE(ctl.Running());

    auto info = Answer(ctl, "info");
    ASSERT_TRUE(info.is_object()) << info.dump();
    EXPECT_EQ(info["status"], "0x00000000") << info.dump();
    EXPECT_EQ(info["vendor"], "VESKA Systems");
    EXPECT_EQ(info["ifd_type"], "QUOR Std USB");
    EXPECT_EQ(info["serial"], "2002-a-1f, V58");
    EXPECT_EQ(info["state"], "absent") << info.dump();

    // A card goes in: the polling thread notices it.
    sim.Send("insert t1");
    auto present = Answer(ctl, "wait present 10000");
    EXPECT_EQ(present["status"], "0x00000000") << present.dump();

    auto power = Answer(ctl, "power cold");
    EXPECT_EQ(power["status"], "0x00000000") << power.dump();
    EXPECT_NE(power["data"].get<std::string>().find("3B"), std::string::npos) << power.dump();
    auto protocol = Answer(ctl, "protocol t0,t1");
    EXPECT_EQ(protocol["status"], "0x00000000") << protocol.dump();
    auto select = Answer(ctl, "transmit 00 A4 00 0C 02 3F 00");
    EXPECT_EQ(select["status"], "0x00000000") << select.dump();
    EXPECT_EQ(select["sw"], "9000") << select.dump();

    auto ct = Answer(ctl, "ct 20 13 00 46");
    EXPECT_EQ(ct["status"], "0x00000000") << ct.dump();
    EXPECT_NE(ct["data"].get<std::string>().find("460F"), std::string::npos) << ct.dump();

    // Keys typed on the reader while INPUT runs (the polling thread waits meanwhile).
    ctl.Send("input --max 3 --timeout 20");
    ASSERT_TRUE(InputRuns(sim));
    sim.Send("key 123");
    auto input = ctl.Line();
    ASSERT_TRUE(input);
    auto in = nlohmann::json::parse(*input, nullptr, false);
    EXPECT_EQ(in["status"], "0x00000000") << *input;
    EXPECT_EQ(in["digits"], "123") << *input;

    // T=0 card in place of the T=1 card.
    sim.Send("remove");
    auto absent = Answer(ctl, "wait absent 10000");
    EXPECT_EQ(absent["status"], "0x00000000") << absent.dump();
    sim.Send("insert t0");
    auto again = Answer(ctl, "wait present 10000");
    EXPECT_EQ(again["status"], "0x00000000") << again.dump();
    auto t0 = Answer(ctl, "transmit 00 A4 00 0C 02 3F 00");
    EXPECT_EQ(t0["status"], "0x00000000") << t0.dump();
    EXPECT_EQ(t0["sw"], "9000") << t0.dump();
    EXPECT_EQ(t0["protocol"], "T=0") << t0.dump();

    ctl.Send("quit");
    EXPECT_EQ(ctl.Exit(milliseconds(20000)), 0);
    // The trace shows the serial requests, with timestamps, on standard error.
    EXPECT_NE(ctl.Err().find("serial"), std::string::npos);
    EXPECT_NE(ctl.Err().find(" ms]"), std::string::npos);
}

TEST(E2ePty, ClosedPtyGivesAClearError) {
    Process sim({QUOR_SIM_BINARY, "--pty", "--card", "t1"});
    ASSERT_TRUE(sim.Running());
    auto pty = sim.Line(milliseconds(5000));
    ASSERT_TRUE(pty);
    Process ctl({QUORCTL_BINARY, "--port", *pty, "--json", "shell"});
    auto state = Answer(ctl, "state");
    EXPECT_EQ(state["status"], "0x00000000") << state.dump();
    // The emulator process goes away: the pty is closed under the driver.
    sim.Send("quit");
    ASSERT_EQ(sim.Exit(milliseconds(20000)), 0);
    auto power = Answer(ctl, "power cold");
    ASSERT_TRUE(power.is_object()) << power.dump();
    EXPECT_NE(power["status"], "0x00000000") << power.dump();
    EXPECT_TRUE(power.contains("status_name"));
    ctl.Send("quit");
    EXPECT_EQ(ctl.Exit(milliseconds(20000)), 1);  // the driver answered an error
}

}  // namespace
