// Every reader operation under every fault the emulator and the port can inject, on the manual
// clock: the operation ends with success and the right data or with a failure (never success
// with wrong data), completes once within bounded clock time, leaves no request behind, and
// the same operation works again once the fault is gone. With QUOR_FAULT_MATRIX=FILE the
// matrix (status and clock time per operation and fault) goes to FILE and to the output.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "driver/driver.h"
#include "link/frame.h"
#include "platform/kernel/clock.h"
#include "reader/reader.h"
#include "sim/processor_card.h"
#include "terminal/terminal.h"
#include "tests/support/hosted.h"
#include "tests/support/rig.h"

namespace quor::test {
namespace {

using Bytes = std::vector<UCHAR>;
using quor::sim::Fault;

Bytes Ulong(ULONG v) { return {UCHAR(v), UCHAR(v >> 8), UCHAR(v >> 16), UCHAR(v >> 24)}; }
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    Bytes data;
    bool clean = true;
    int completions = 1;
};

struct Op {
    const char* name;
    char card;    // in the slot: '0' T=0, '1' T=1, 'd' both (its protocol negotiable)
    UCHAR frame;  // the frame code the faults are put on
    std::vector<quor::sim::KeyStep> keys;             // scripted before the operation
    std::function<void(HostedReader&)> prepare;       // fault-free steps that lead up to it
    std::function<Outcome(HostedReader&, bool)> run;  // bool: pool allocations fail
    bool terminal = false;  // a terminal command: its answer ends with a status word (or is
                            // empty, as a protocol selection's)
    bool touchesReader = true;
    bool internal = false;       // a driver routine: STATUS_TIMEOUT is its word for no answer
    bool followsReader = false;  // passes on what the reader answered (its card bits, raw data)
    bool ticking = false;        // polls without pausing: the clock must move by itself
};

Outcome Ioctl(HostedReader& h, ULONG code, const Bytes& in, ULONG out, bool failPool) {
    const auto r = h.Send(code, in, out, failPool);
    return {r.status, r.out, r.clean, r.completions};
}
void Power(HostedReader& h) { h.Send(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64); }
void Select(HostedReader& h, ULONG protocol) {
    Power(h);
    h.Send(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(protocol), 4);
}
Op Terminal(const char* name, UCHAR frame, Bytes command, std::vector<quor::sim::KeyStep> keys = {},
            bool touchesReader = true) {
    return {name,
            false,
            frame,
            std::move(keys),
            [](HostedReader& h) { Select(h, SCARD_PROTOCOL_T1); },
            [command](HostedReader& h, bool failPool) {
                return Ioctl(h, IOCTL_TERMINAL_COMMAND, command, 260, failPool);
            },
            true,
            touchesReader};
}
// Runs `f` with both of the reader's mutexes held, as the polling thread does.
template <typename F>
NTSTATUS Locked(HostedReader& h, bool failPool, F f) {
    PREADER_EXTENSION r = h.Ext()->ReaderExtension;
    KeWaitForSingleObject(&r->DeviceControlMutex, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&r->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
    if (failPool) ExTestSetAllocationFailureHook([](POOL_TYPE, SIZE_T, ULONG) { return true; });
    const NTSTATUS s = f();
    ExTestSetAllocationFailureHook(nullptr);
    KeReleaseMutex(&r->ReaderMutex, FALSE);
    KeReleaseMutex(&r->DeviceControlMutex, FALSE);
    return s;
}

std::vector<quor::sim::KeyStep> Keys(quor::sim::SimTime delay, std::initializer_list<UCHAR> keys) {
    std::vector<quor::sim::KeyStep> steps;
    for (UCHAR k : keys) steps.push_back({delay, k});
    return steps;
}

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const Bytes kVerify = Bytes{0x20, 0x18, 0x00, 0x00, 0x0D, 0x52, 0x0B, 0x44, 0x05,
                            0x00, 0x20, 0x00, 0x01, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
const Bytes kModify = Bytes{0x20, 0x19, 0x00, 0x00, 0x12, 0x52, 0x10, 0x44, 0x05, 0x09, 0x00, 0x24,
                            0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Op Request(const char* name, UCHAR frame, std::function<void(HostedReader&)> prepare, ULONG code,
           Bytes in, ULONG out, char card = '1') {
    Op op{name, card, frame, {}, std::move(prepare), nullptr};
    op.run = [code, in, out](HostedReader& h, bool failPool) {
        return Ioctl(h, code, in, out, failPool);
    };
    return op;
}

Op Internal(const char* name, UCHAR frame, std::function<NTSTATUS(PSMARTCARD_EXTENSION)> call,
            std::function<ULONG(PSMARTCARD_EXTENSION)> result) {
    Op op{name, '1', frame, {}, nullptr, nullptr};
    op.run = [call, result](HostedReader& h, bool failPool) {
        Outcome o;
        o.status = Locked(h, failPool, [&] { return call(h.Ext()); });
        o.data = Ulong(result(h.Ext()));
        return o;
    };
    op.internal = true;
    op.followsReader = true;
    return op;
}

std::vector<Op> Operations() {
    const Bytes t0Apdu = Cat(Cat(Ulong(SCARD_PROTOCOL_T0), Ulong(8)), kSelectMf);
    const Bytes t1Apdu = Cat(Cat(Cat(Ulong(SCARD_PROTOCOL_T1), Ulong(8)), kSelectMf), {0x00});
    std::vector<Op> ops = {
        Internal(
            "identification", FRAME_GET_INFO,
            [](PSMARTCARD_EXTENSION ext) {
                ext->ReaderExtension->ReaderModel = READER_MODEL_UNKNOWN;
                return IdentifyReader(ext);
            },
            [](PSMARTCARD_EXTENSION ext) { return ext->ReaderExtension->ReaderModel; }),
        Internal("status poll", FRAME_GET_STATUS, UpdateCardStatus,
                 [](PSMARTCARD_EXTENSION ext) { return ext->ReaderCapabilities.CurrentState; }),
        Request("power", FRAME_CARD_ON, nullptr, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET),
                64),
        Request("protocol selection", FRAME_SET_PROTOCOL, Power, IOCTL_SMARTCARD_SET_PROTOCOL,
                Ulong(SCARD_PROTOCOL_T1), 4, 'd'),
        Request(
            "T=0 transmit", FRAME_CARD_EXCHANGE,
            [](HostedReader& h) { Select(h, SCARD_PROTOCOL_T0); }, IOCTL_SMARTCARD_TRANSMIT, t0Apdu,
            270, '0'),
        Request(
            "T=1 transmit", FRAME_CARD_EXCHANGE,
            [](HostedReader& h) { Select(h, SCARD_PROTOCOL_T1); }, IOCTL_SMARTCARD_TRANSMIT, t1Apdu,
            270),
        Terminal("CT reset", FRAME_CARD_ON, {0x20, 0x11, 0x00, 0x00}, {}, false),
        Terminal("CT request ICC", FRAME_CARD_ON, {0x20, 0x11, 0x01, 0x01, 0x00}, {}, false),
        Terminal("CT get status", FRAME_GET_STATUS, {0x20, 0x13, 0x00, 0x80, 0x00}),
        Terminal("CT output", FRAME_DISPLAY, {0x20, 0x17, 0x40, 0x00, 0x04, 0x50, 0x02, 'O', 'K'}),
        Terminal("CT input", FRAME_GET_STATUS, {0x20, 0x16, 0x50, 0x02, 0x00},
                 Keys(0, {7, quor::sim::kKeyConfirm})),
        // Answers nothing whatever the reader said to it.
        Terminal("CT select protocol", FRAME_SET_PROTOCOL,
                 {0x80, 0x60, 0x00, 0x00, 0x03, 0x22, 0x01, 0x02}, {}, false),
        Terminal("PIN entry (verify)", FRAME_PIN_VERIFY, kVerify,
                 Keys(500'000, {1, 2, 3, 4, quor::sim::kKeyConfirm})),
        // The same PIN again, so that a repeat finds the card as it was.
        Terminal("PIN entry (modify)", FRAME_PIN_MODIFY, kModify,
                 Keys(500'000,
                      {1, 2, 3, 4, quor::sim::kKeyConfirm, 1, 2, 3, 4, quor::sim::kKeyConfirm})),
        Request("raw write and read", FRAME_GET_INFO, nullptr, IOCTL_READER_RAW_WRITE,
                {0x09, 0x00, 0x09}, 0),
    };
    ops[10].ticking = true;
    ops.back().followsReader = true;
    ops.back().run = [](HostedReader& h, bool failPool) {
        const auto w = Ioctl(h, IOCTL_READER_RAW_WRITE, {0x09, 0x00, 0x09}, 0, failPool);
        if (w.status != STATUS_SUCCESS) return w;
        return Ioctl(h, IOCTL_READER_RAW_READ, {}, 64, failPool);
    };
    return ops;
}

struct FaultCase {
    const char* name;
    std::function<void(HostedReader&, UCHAR frame)> arm;
    bool persistent = false;  // lasts the whole operation: it cannot succeed
    bool failPool = false;
    bool readerAnswer = false;  // a true answer of the reader (its card bits, its error)
};

std::vector<FaultCase> Faults() {
    const auto inject = [](Fault f) {
        return [f](HostedReader& h, UCHAR frame) { h.Reader().InjectFault(frame, f); };
    };
    const auto port = [](quor::serial::PortFault f) {
        return [f](HostedReader& h, UCHAR) { h.Port().AddFault(f); };
    };
    using quor::serial::PortFault;
    return {
        {"none", [](HostedReader&, UCHAR) {}},
        {"silence", [](HostedReader& h, UCHAR) { h.Reader().SetSilent(true); }, true},
        {"bad checksum", inject(Fault::BadChecksum())},
        {"garbage first byte", inject(Fault::FirstByte(0x5A))},
        {"truncated", inject(Fault::Truncate(3))},
        {"noise before", inject(Fault::Noise({0xFF, 0x13, 0x00}))},
        {"gap inside", inject(Fault::Gap(2, 3'000'000))},
        {"error 80", inject(Fault::ErrorStatus(0)), false, false, true},
        {"card error 91", inject(Fault::ErrorStatus(0x11)), false, false, true},
        {"card error 92", inject(Fault::ErrorStatus(0x12)), false, false, true},
        {"card error 93", inject(Fault::ErrorStatus(0x13)), false, false, true},
        {"late 60 s", inject(Fault::Delay(60'000'000))},
        {"card pulled", inject(Fault::CardPulled()), false, false, true},
        {"port fails", port(PortFault::FailMajor(IRP_MJ_WRITE, STATUS_IO_DEVICE_ERROR, -1)), true},
        {"port fails later",
         port(PortFault::FailMajor(IRP_MJ_READ, STATUS_IO_DEVICE_ERROR).After(3))},
        // Port requests come from the device's lookaside list, so an operation may get through
        // without new pool memory; it must then answer the right data.
        {"no pool", [](HostedReader&, UCHAR) {}, false, true},
    };
}

std::string Short(NTSTATUS s) {
    switch (s) {
        case STATUS_SUCCESS:
            return "ok";
        case STATUS_IO_TIMEOUT:
            return "IO_TIMEOUT";
        case STATUS_TIMEOUT:
            return "TIMEOUT";
        case STATUS_DEVICE_PROTOCOL_ERROR:
            return "PROTOCOL";
        case STATUS_DEVICE_DATA_ERROR:
            return "DEV_DATA";
        case STATUS_DATA_ERROR:
            return "DATA";
        case STATUS_INSUFFICIENT_RESOURCES:
            return "NO_RES";
        case STATUS_IO_DEVICE_ERROR:
            return "IO_DEVICE";
        case STATUS_UNRECOGNIZED_MEDIA:
            return "UNRECOG";
        case STATUS_NO_MEDIA:
            return "NO_MEDIA";
        case STATUS_BUFFER_TOO_SMALL:
            return "TOO_SMALL";
        case STATUS_INVALID_DEVICE_STATE:
            return "DEV_STATE";
        default: {
            char b[16];
            std::snprintf(b, sizeof(b), "%08X", static_cast<unsigned>(s));
            return b;
        }
    }
}

// The status word that ends a terminal command's answer, or 0.
unsigned Sw(const Bytes& b) { return b.size() >= 2 ? b[b.size() - 2] << 8 | b.back() : 0; }

// The rows of the matrix, by operation, for the table printed at the end of the run.
std::map<size_t, std::string>& Rows() {
    static std::map<size_t, std::string> rows;
    return rows;
}

class FaultMatrix : public ::testing::TestWithParam<size_t> {};

TEST_P(FaultMatrix, OperationUnderEveryFault) {
    const Op op = Operations()[GetParam()];
    const auto faults = Faults();
    std::string row = std::string("| ") + op.name + " |";
    Outcome good;
    for (const FaultCase& fault : faults) {
        SCOPED_TRACE(std::string(op.name) + " / " + fault.name);
        kclock::ResetForTest();
        kclock::SetManual();
        const auto card = [&]() -> std::shared_ptr<quor::sim::Card> {
            if (op.card == '0') return std::make_shared<quor::sim::T0Card>();
            if (op.card == 'd') return std::make_shared<quor::sim::DualCard>();
            return std::make_shared<quor::sim::T1Card>();
        };
        HostedReader h(card());
        ASSERT_EQ(h.StartStatus(), STATUS_SUCCESS);
        if (op.prepare) op.prepare(h);
        const LONG irps = IoTestLiveIrps();
        if (!op.keys.empty()) h.Reader().ScriptKeys(op.keys);
        fault.arm(h, op.frame);
        const kclock::Ticks start = kclock::Now();
        std::atomic<bool> running{true};
        std::thread ticker([&] {
            while (op.ticking && running) {
                kclock::Advance(10 * kclock::kTicksPerMillisecond);
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        });
        const Outcome o = op.run(h, fault.failPool);
        running = false;
        ticker.join();
        const double seconds = double(kclock::Now() - start) / kclock::kTicksPerSecond;
        h.Reader().SetSilent(false);
        h.Reader().ClearFaults();
        h.Reader().ClearKeys();
        h.Port().ClearFaults();

        EXPECT_EQ(o.completions, 1);
        EXPECT_TRUE(o.clean);
        EXPECT_EQ(IoTestLiveIrps(), irps) << "a request is stuck";
        EXPECT_LE(seconds, 300.0);
        const bool failedSw = op.terminal && !o.data.empty() && (Sw(o.data) >> 8) != 0x90;
        if (&fault == &faults.front()) {
            ASSERT_EQ(o.status, STATUS_SUCCESS);
            ASSERT_FALSE(failedSw) << std::hex << Sw(o.data);
            good = o;
        } else if (o.status == STATUS_SUCCESS && !failedSw) {
            if (!(fault.readerAnswer && op.followsReader)) {
                EXPECT_EQ(o.data, good.data) << "success with wrong data";
            }
            EXPECT_FALSE(fault.persistent && op.touchesReader) << "success without a reader";
        } else if (o.status != STATUS_SUCCESS && !op.internal) {
            EXPECT_TRUE(NT_ERROR(o.status)) << std::hex << o.status;
        }

        // The fault is gone (and a late reply has come and gone): the operation works again,
        // on a card back in its slot.
        kclock::Advance(61 * kclock::kTicksPerSecond);
        if (!h.Reader().CardPresent()) h.Reader().InsertCard(card());
        if (op.prepare) op.prepare(h);
        if (!op.keys.empty()) h.Reader().ScriptKeys(op.keys);
        const Outcome again = op.run(h, false);
        EXPECT_EQ(again.status, STATUS_SUCCESS);
        EXPECT_EQ(again.data, good.data) << "the operation after the fault";

        std::string status = Short(o.status);
        if (op.terminal && o.status == STATUS_SUCCESS && failedSw) {
            char sw[8];
            std::snprintf(sw, sizeof(sw), " %04X", Sw(o.data));
            status += sw;
        }
        char cell[64];
        std::snprintf(cell, sizeof(cell), " %s %.1fs |", status.c_str(), seconds);
        row += cell;
    }
    Rows()[GetParam()] = row;
    kclock::ResetForTest();
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultMatrix, ::testing::Range<size_t>(0, Operations().size()));

// With QUOR_FAULT_MATRIX=FILE, the table of the operations run goes to FILE and the output.
class PrintMatrix : public ::testing::Environment {
  public:
    void TearDown() override {
        const char* path = std::getenv("QUOR_FAULT_MATRIX");
        if (path == nullptr || Rows().empty()) return;
        std::ostringstream table;
        table << "| operation |";
        for (const auto& f : Faults()) table << ' ' << f.name << " |";
        table << "\n|---|";
        for (size_t i = 0; i < Faults().size(); ++i) table << "---|";
        table << '\n';
        for (const auto& [index, row] : Rows()) table << row << '\n';
        std::ofstream(path) << table.str();
        std::printf("%s", table.str().c_str());
    }
};
[[maybe_unused]] const auto* const kPrintMatrix =
    ::testing::AddGlobalTestEnvironment(new PrintMatrix);

}  // namespace
}  // namespace quor::test
