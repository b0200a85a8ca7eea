#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/kernel/clock.h"
#include "tools/quorctl/cli.h"

namespace quorctl {
namespace {

struct CliRun {
    int code;
    std::string out;
    std::string err;
};

CliRun Cli(std::vector<std::string> args, const std::string& input = "", bool interactive = false) {
    std::istringstream in(input);
    std::ostringstream out, err;
    int code = RunCli(args, in, out, err, interactive);
    kclock::ResetForTest();
    return {code, out.str(), err.str()};
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream s(text);
    std::string line;
    while (std::getline(s, line)) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

const std::vector<std::string> kSim = {"--sim", "--clock-scale", "1000"};

std::vector<std::string> With(std::vector<std::string> more) {
    std::vector<std::string> a = kSim;
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

TEST(QuorctlCli, UsageErrorsExitWithTwo) {
    EXPECT_EQ(Cli({"info"}).code, kExitUsage);  // no --sim/--port
    EXPECT_EQ(Cli({"--sim", "--port", "/dev/null", "info"}).code, kExitUsage);
    EXPECT_EQ(Cli(With({"frobnicate"})).code, kExitUsage);
    EXPECT_EQ(Cli(With({"--card", "t9", "info"})).code, kExitUsage);
    EXPECT_EQ(Cli(With({"--model", "0x1FF", "info"})).code, kExitUsage);
    CliRun bad = Cli(With({"transmit", "00A"}));
    EXPECT_EQ(bad.code, kExitUsage);
    EXPECT_NE(bad.err.find("bad hex"), std::string::npos);
    EXPECT_EQ(Cli(With({})).code, kExitUsage);  // no command
}

TEST(QuorctlCli, HelpDocumentsCommandsAndOptions) {
    CliRun help = Cli({"--help"});
    EXPECT_EQ(help.code, kExitOk);
    for (const char* word :
         {"--port",   "--sim",   "--card", "--model",    "--trace",    "--json",
          "info",     "status",  "power",  "protocol",   "transmit",   "watch",
          "ct",       "display", "input",  "verify-pin", "change-pin", "raw-write",
          "raw-read", "ioctl",   "shell",  "demo"}) {
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(help.out.find("clock-scale"), std::string::npos);
}

TEST(QuorctlCli, DriverErrorsExitWithOneAndExplain) {
    CliRun r = Cli(With({"--card", "none", "power", "cold"}));
    EXPECT_EQ(r.code, kExitDriverError);
    EXPECT_NE(r.err.find("error: STATUS_"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(0xC"), std::string::npos) << r.err;
}

// Any input line gets an answer or a usage error: bytes that are not UTF-8, comments, terminal
// commands too short for the tool to judge (the driver answers them).
TEST(QuorctlCli, ShellAnswersEveryLine) {
    const std::string input =
        "# a comment\n"
        "ct \xff\xfe\n"
        "\xc3\x28 \xa0\xa1\n"
        "ct 20 13\n"
        "  # another\n";
    CliRun r = Cli(With({"--json", "shell"}), input);
    EXPECT_EQ(r.code, kExitUsage) << r.err;
    auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0]["usage_error"], true);
    EXPECT_EQ(lines[1]["usage_error"], true);
    EXPECT_EQ(lines[2]["status"], "0x00000000") << lines[2].dump();
    EXPECT_EQ(lines[2]["sw"], "6700") << lines[2].dump();
}

// At a terminal the shell prompts and explains its commands; piped, it stays plain.
TEST(QuorctlCli, ShellPromptsAndHelpsOnlyAtATerminal) {
    CliRun tty = Cli(With({"shell"}), "help\nstate\n", true);
    EXPECT_NE(tty.err.find("quor> "), std::string::npos);
    EXPECT_NE(tty.out.find("  transmit"), std::string::npos) << tty.out;
    EXPECT_NE(tty.out.find("Lines starting with # are ignored"), std::string::npos);
    CliRun piped = Cli(With({"shell"}), "help\nstate\n");
    EXPECT_EQ(piped.err.find("quor> "), std::string::npos);
    EXPECT_EQ(piped.out.rfind("help: ", 0), 0u) << piped.out;
}

TEST(QuorctlCli, JsonResultOfASingleCommand) {
    CliRun r = Cli(With({"--json", "power", "cold"}));
    ASSERT_EQ(r.code, kExitOk) << r.err;
    auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["cmd"], "power");
    EXPECT_EQ(lines[0]["status"], "0x00000000");
    EXPECT_EQ(lines[0]["status_name"], "STATUS_SUCCESS");
    EXPECT_EQ(lines[0]["data"].get<std::string>().substr(0, 2), "3B");
    EXPECT_EQ(lines[0]["information"], lines[0]["data"].get<std::string>().size() / 2);
}

TEST(QuorctlCli, ShellAnswersEachLineWithOneJsonObject) {
    CliRun r = Cli(With({"--json", "shell"}),
                   "info\n"
                   "\n"
                   "state\n"
                   "transmit 00 A4 00 0C 02 3F 00\n"
                   "transmit 0A4\n"
                   "bogus\n"
                   "remove\n"
                   "transmit 00 A4 00 0C 02 3F 00\n"
                   "insert t0\n"
                   "wait present 5000\n"
                   "quit\n"
                   "state\n");
    auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 9u) << r.out;  // nothing after quit
    for (const auto& j : lines) {
        for (const char* key : {"cmd", "status", "status_name", "information", "data"}) {
            EXPECT_TRUE(j.contains(key)) << key << " in " << j.dump();
        }
        EXPECT_EQ(j["status"].get<std::string>().size(), 10u);
    }
    EXPECT_EQ(lines[0]["cmd"], "info");
    for (const char* key : {"vendor", "ifd_type", "unit", "version", "serial", "clock",
                            "data_rates", "protocols", "max_ifsd", "state"}) {
        EXPECT_TRUE(lines[0].contains(key)) << key;
    }
    EXPECT_EQ(lines[1]["state"], "swallowed");
    EXPECT_EQ(lines[2]["sw"], "9000");
    EXPECT_EQ(lines[2]["data"], "9000");
    EXPECT_EQ(lines[3]["usage_error"], true);
    EXPECT_EQ(lines[4]["usage_error"], true);
    EXPECT_EQ(lines[4]["error"], "unknown command 'bogus' (try help)");
    EXPECT_EQ(lines[5]["cmd"], "remove");
    EXPECT_NE(lines[6]["status"], "0x00000000");  // no card to talk to
    EXPECT_TRUE(lines[6].contains("error"));
    EXPECT_EQ(lines[8]["cmd"], "wait");
    EXPECT_EQ(lines[8]["status"], "0x00000000");
    EXPECT_EQ(r.code, kExitUsage);  // the worst answer decides
}

TEST(QuorctlCli, ShellWithoutJsonAnswersOneLineEach) {
    CliRun r = Cli(With({"shell"}), "info\nstate\nattr vendor\n");
    EXPECT_EQ(r.code, kExitOk) << r.err;
    std::istringstream s(r.out);
    std::vector<std::string> lines;
    for (std::string l; std::getline(s, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0].rfind("info:", 0), 0u);
    EXPECT_NE(lines[0].find("VESKA Systems"), std::string::npos);
    EXPECT_EQ(lines[2], "attr: VESKA Systems");
}

TEST(QuorctlCli, DemoRunsToTheEnd) {
    CliRun r = Cli({"--clock-scale", "100", "demo"});
    EXPECT_EQ(r.code, kExitOk) << r.out << r.err;
    EXPECT_NE(r.out.find("EMULATED ISO CARD"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("digits \"1234\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("card absent"), std::string::npos) << r.out;
}

TEST(QuorctlBinary, ShellWithJsonOverPipes) {
    std::string script = ::testing::TempDir() + "quorctl_shell_input.txt";
    {
        std::ofstream f(script);
        f << "info\nstatus\npower cold\nct 20 17 40 00 04 50 02 48 49\nquit\n";
    }
    std::string command = std::string(QUORCTL_BINARY) +
                          " --sim --clock-scale 1000 --json shell < " + script + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    std::array<char, 4096> buf;
    while (std::size_t n = fread(buf.data(), 1, buf.size(), pipe)) out.append(buf.data(), n);
    int status = pclose(pipe);
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    auto lines = JsonLines(out);
    ASSERT_EQ(lines.size(), 4u) << out;
    EXPECT_EQ(lines[0]["vendor"], "VESKA Systems");
    EXPECT_EQ(lines[1]["cmd"], "status");
    EXPECT_EQ(lines[2]["analysis"]["convention"], "direct");
    EXPECT_EQ(lines[3]["sw"], "9000");
}

TEST(QuorctlCli, ShellHelpAndUsageLinesKeepOneLineEach) {
    CliRun r = Cli(With({"shell"}), "help\nioctl 0x310038 - 99999999\nstate\n");
    std::istringstream s(r.out);
    std::vector<std::string> lines;
    for (std::string l; std::getline(s, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_NE(lines[0].find("transmit"), std::string::npos);
    EXPECT_NE(lines[1].find("error: bad output length"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "state: card swallowed");
    EXPECT_EQ(r.code, kExitUsage);
}

TEST(QuorctlBinary, WatchEndsCleanlyOnInterrupt) {
    std::string command = "timeout --preserve-status -k 10 -s INT 0.5 " +
                          std::string(QUORCTL_BINARY) +
                          " --sim --clock-scale 100 watch > /dev/null 2>&1";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);  // as shells count an interrupt
}

}  // namespace
}  // namespace quorctl
