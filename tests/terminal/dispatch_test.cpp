#include <gtest/gtest.h>

#include <cstring>

#include "link/serial_io.h"
#include "sim/card.h"
#include "tests/terminal/terminal_bench.h"

namespace quor::test {
namespace {

using quor::sim::Fault;

struct AnalyzeCase {
    const char* command;
    bool wellFormed;
    USHORT lc, le, lePresent, shortForm, lcPresent, extendedLc;
    int dataAt;  // offset of the first data byte, -1 for none
};

TEST(TerminalApdu, AnalyzesShortAndExtendedCodings) {
    const AnalyzeCase cases[] = {
        {"20 13 00", false, 0, 0, 0, 1, 0, 0, -1},
        {"20 13 00 46", true, 0, 0, 0, 1, 0, 0, -1},
        {"20 13 00 46 00", true, 0, 0, 1, 1, 0, 0, -1},
        {"20 13 00 46 05", true, 0, 5, 1, 1, 0, 0, -1},
        {"20 17 40 00 02 50 00", true, 2, 0, 0, 1, 1, 0, 5},
        {"20 17 40 00 02 50 00 07", true, 2, 7, 1, 1, 1, 0, 5},
        {"20 17 40 00 05 50 01", false, 5, 0, 0, 1, 0, 0, 5},
        {"20 17 40 00 01 50 00 07", false, 1, 0, 0, 1, 0, 0, 5},
        {"20 13 00 46 00 00", false, 0, 0, 0, 0, 0, 0, -1},
        {"20 13 00 46 00 00 05", true, 0, 5, 1, 0, 0, 0, -1},
        {"20 13 00 46 00 01 02", true, 0, 0x0102, 1, 0, 0, 0, -1},
        {"20 17 40 00 00 00 00 50", false, 0, 0, 0, 0, 1, 1, 7},
        {"20 17 40 00 00 00 02 50 00", true, 2, 0, 0, 0, 1, 1, 7},
        {"20 17 40 00 00 00 02 50 00 01 00", true, 2, 0x0100, 1, 0, 1, 1, 7},
        {"20 17 40 00 00 00 02 50 00 01", false, 2, 0, 0, 0, 1, 1, 7},
        {"20 17 40 00 00 00 02 50", false, 2, 0, 0, 0, 1, 1, 7},
    };
    for (const AnalyzeCase& c : cases) {
        SCOPED_TRACE(c.command);
        const Bytes command = Hex(c.command);
        ApduInfo info;
        std::memset(&info, 0xAB, sizeof(info));
        EXPECT_EQ(AnalyzeApdu(command.data(), static_cast<USHORT>(command.size()), &info) != 0,
                  c.wellFormed);
        EXPECT_EQ(info.Lc, c.lc);
        EXPECT_EQ(info.Le, c.le);
        EXPECT_EQ(info.LePresent, c.lePresent);
        EXPECT_EQ(info.ShortForm, c.shortForm);
        EXPECT_EQ(info.LcPresent, c.lcPresent);
        EXPECT_EQ(info.ExtendedLc, c.extendedLc);
        if (command.size() >= 4) {
            EXPECT_EQ(info.P1, command[2]);
            EXPECT_EQ(info.P2, command[3]);
        }
        if (c.dataAt >= 0) {
            EXPECT_EQ(info.Data, command.data() + c.dataAt);
        }
    }
}

TEST(TerminalApdu, ExtendedLengthsAreComparedWithoutWrapping) {
    // Lc 0xFFFF: Lc + 5 passes 65535; a command that stops short is malformed, not case 4.
    Bytes command = Hex("20 17 40 00 00 FF FF");
    command.resize(65535, 0x41);
    ApduInfo info;
    EXPECT_FALSE(AnalyzeApdu(command.data(), 65535, &info));
    command.resize(7 + 0xFFF8);  // 65535 bytes: case 3 extended with the longest Lc
    command[5] = 0xFF;
    command[6] = 0xF8;
    EXPECT_TRUE(AnalyzeApdu(command.data(), static_cast<USHORT>(command.size()), &info));
    EXPECT_EQ(info.Lc, 0xFFF8);
    EXPECT_FALSE(info.LePresent);
}

struct DataObjectCase {
    const char* data;
    std::vector<std::pair<UCHAR, ULONG>> objects;  // tag and length of each object acted on
};

TEST(TerminalApdu, DataObjectWalkStopsAtWhatRunsPastTheData) {
    const DataObjectCase cases[] = {
        {"50 02 41 42 80 01 05", {{0x50, 2}, {0x80, 1}}},
        {"50 00 80 00", {{0x50, 0}, {0x80, 0}}},
        {"50 FF 00 02 41 42 22 01 02", {{0x50, 2}, {0x22, 1}}},
        {"50 05 41 42", {}},                       // value past the end
        {"80 01 05 50", {{0x80, 1}}},              // a lone tag byte
        {"80 01 05 50 FF 00", {{0x80, 1}}},        // long-form length cut short
        {"80 01 05 50 FF 00 03 41", {{0x80, 1}}},  // long-form value past the end
        {"50 FF FF FF 41", {}},                    // a length that would wrap
        {"22 01 01 22 01 02", {{0x22, 1}, {0x22, 1}}},
    };
    for (const DataObjectCase& c : cases) {
        SCOPED_TRACE(c.data);
        const Bytes data = Hex(c.data);
        ApduInfo info{};
        info.Lc = static_cast<USHORT>(data.size());
        info.LcPresent = 1;
        info.Data = data.data();
        std::vector<std::pair<UCHAR, ULONG>> seen;
        ULONG position = 0;
        DATA_OBJECT o;
        while (NextDataObject(&info, &position, &o)) {
            EXPECT_LE(o.Value + o.Length, data.data() + data.size());
            seen.emplace_back(o.Tag, o.Length);
        }
        EXPECT_EQ(seen, c.objects);
    }
}

struct CommandCase {
    const char* name;
    Bytes command;
    ULONG out;
    NTSTATUS status;
    const char* answer;
};

// Commands that never reach a handler, and handlers reached through every coding.
TEST(TerminalCommand, AnswersByTableAndCase) {
    const Bytes manufacturer = Cat({Hex("46 0F"), Text("DExxxCT198V1.61"), Hex("90 00")});
    const CommandCase cases[] = {
        {"no such instruction", Hex("20 12 00 00"), 16, STATUS_SUCCESS, "6D 00"},
        {"no such class", Hex("00 A4 04 00"), 16, STATUS_SUCCESS, "6D 00"},
        {"empty command", {}, 16, STATUS_SUCCESS, "67 00"},
        {"one byte", Hex("20"), 16, STATUS_SUCCESS, "67 00"},
        {"two bytes, no row", Hex("20 12"), 16, STATUS_SUCCESS, "6D 00"},
        {"two bytes, a row", Hex("20 13"), 16, STATUS_SUCCESS, "67 00"},
        {"three bytes", Hex("20 13 00"), 16, STATUS_SUCCESS, "67 00"},
        {"INPUT without Le", Hex("20 16 50 02"), 16, STATUS_SUCCESS, "6C 00"},
        {"INPUT with data, no Le", Hex("20 16 50 02 02 80 00"), 16, STATUS_SUCCESS, "6C 00"},
        {"PERFORM without data", Hex("20 18 00 00 05"), 16, STATUS_SUCCESS, "67 00"},
        {"MODIFY without data", Hex("20 19 00 00"), 16, STATUS_SUCCESS, "67 00"},
        {"select protocol without data", Hex("80 60 00 00"), 16, STATUS_SUCCESS, "67 00"},
        {"short Lc off by one", Hex("20 17 40 00 05 50 01"), 16, STATUS_SUCCESS, "67 00"},
        {"extended, two bytes", Hex("20 13 00 46 00 00"), 16, STATUS_SUCCESS, "67 00"},
        {"extended Lc 0", Hex("20 17 40 00 00 00 00 50"), 16, STATUS_SUCCESS, "67 00"},
        {"extended Le cut", Hex("20 17 40 00 00 00 03 50 01 41 00"), 16, STATUS_SUCCESS, "67 00"},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        TerminalBench bench;
        const Completion done = bench.Terminal(c.command, c.out);
        EXPECT_EQ(done.returned, c.status);
        EXPECT_EQ(done.status, c.status);
        EXPECT_EQ(done.completions, 1);
        EXPECT_EQ(done.Answer(), Hex(c.answer));
        EXPECT_EQ(Bytes(done.out.begin(), done.out.begin() + 2), Hex(c.answer));
        EXPECT_TRUE(bench.Reader().Frames().empty()) << "a refused command talks to the reader";
    }

    // The same handlers through each coding of the body.
    const CommandCase reached[] = {
        {"case 1", Hex("20 13 00 46"), 32, STATUS_SUCCESS, nullptr},
        {"case 2 short", Hex("20 13 00 46 00"), 32, STATUS_SUCCESS, nullptr},
        {"case 2 extended", Hex("20 13 00 46 00 00 13"), 32, STATUS_SUCCESS, nullptr},
        {"case 3 short", Hex("20 13 00 46 02 80 00"), 32, STATUS_SUCCESS, nullptr},
        {"case 4 short", Hex("20 13 00 46 02 80 00 13"), 32, STATUS_SUCCESS, nullptr},
        {"case 3 extended", Hex("20 13 00 46 00 00 02 80 00"), 32, STATUS_SUCCESS, nullptr},
        {"case 4 extended", Hex("20 13 00 46 00 00 02 80 00 00 13"), 32, STATUS_SUCCESS, nullptr},
    };
    for (const CommandCase& c : reached) {
        SCOPED_TRACE(c.name);
        TerminalBench bench;
        const Completion done = bench.Terminal(c.command, c.out);
        EXPECT_EQ(done.status, STATUS_SUCCESS);
        EXPECT_EQ(done.information, manufacturer.size());
        EXPECT_EQ(done.Answer(), manufacturer);
        EXPECT_EQ(bench.Rig().HostCodes(), Bytes{11});
    }
}

// An answer that does not fit the caller's output buffer is refused; nothing is ever written
// past that buffer, also where the system buffer is longer (a longer command).
TEST(TerminalCommand, AnswerThatDoesNotFitIsRefused) {
    struct Case {
        const char* name;
        Bytes command;
        ULONG out;
        NTSTATUS status;
        ULONG information;
    };
    const Case cases[] = {
        {"manufacturer in 18", Hex("20 13 00 46"), 18, STATUS_BUFFER_TOO_SMALL, 0},
        {"manufacturer in 4 of 24", Apdu(0x20, 0x13, 0x00, 0x46, Object(0x50, Bytes(16, 0x41))), 4,
         STATUS_BUFFER_TOO_SMALL, 0},
        {"status word in 1 of 24", Apdu(0x20, 0x12, 0x00, 0x00, Object(0x50, Bytes(16, 0x41))), 1,
         STATUS_BUFFER_TOO_SMALL, 0},
        {"manufacturer in 19", Hex("20 13 00 46"), 19, STATUS_SUCCESS, 19},
        {"status word in 1", Hex("20 12 00 00"), 1, STATUS_BUFFER_TOO_SMALL, 0},
        {"status word in 0", Hex("20 12 00 00"), 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"nothing at all", {}, 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"ATR in 5", Hex("20 11 01 01"), 5, STATUS_BUFFER_TOO_SMALL, 0},
        {"ATR in 6", Hex("20 11 01 01"), 6, STATUS_SUCCESS, 6},
        {"empty answer in 0", Hex("20 11 02 00"), 0, STATUS_SUCCESS, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TerminalBench bench;
        bench.Ext()->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
        bench.Ext()->CardCapabilities.ATR.Length = 4;
        std::memcpy(bench.Ext()->CardCapabilities.ATR.Buffer, Hex("3B 02 14 50").data(), 4);
        const Completion done = bench.Terminal(c.command, c.out);
        EXPECT_EQ(done.status, c.status);
        EXPECT_EQ(done.information, c.information);
        EXPECT_LE(done.information, c.out);
        // Behind the caller's output buffer the system buffer holds the command as it came.
        Bytes untouched = c.command;
        untouched.resize(done.system.size(), 0);
        for (size_t i = c.out; i < done.system.size(); ++i) {
            EXPECT_EQ(done.system[i], untouched[i]) << "written past the output at " << i;
        }
    }
}

// The result follows bit 7 of the status byte of the last reader reply, whichever exchange
// produced it; the answer still stands in the buffer with its length as information.
TEST(TerminalCommand, FailedReaderReplyMakesADeviceDataError) {
    struct Step {
        const char* command;
        std::optional<UCHAR> statusByte;  // replaces the next get-status reply's status byte
        NTSTATUS status;
        const char* answer;
    };
    const Step steps[] = {
        {"20 13 00 81", std::nullopt, STATUS_SUCCESS, "81 03 01 40 50 90 00"},
        {"20 13 00 81", 0xC0, STATUS_DEVICE_DATA_ERROR, "81 03 01 40 50 90 00"},
        {"20 12 00 00", std::nullopt, STATUS_DEVICE_DATA_ERROR, "6D 00"},  // no exchange
        {"20 13 02 80", 0x90, STATUS_DEVICE_DATA_ERROR, "6A 00"},
        {"20 13 00 81", std::nullopt, STATUS_SUCCESS, "81 03 01 40 50 90 00"},
        {"20 12 00 00", std::nullopt, STATUS_SUCCESS, "6D 00"},
    };
    TerminalBench bench;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.command);
        if (s.statusByte) bench.Reader().InjectFault(11, Fault::StatusByte(*s.statusByte));
        const Completion done = bench.Terminal(Hex(s.command), 32);
        EXPECT_EQ(done.status, s.status);
        EXPECT_EQ(done.Answer(), Hex(s.answer));
        EXPECT_EQ(done.information, Hex(s.answer).size());
    }
}

// Every field a vendor code lends is back as it was, and the library's transmit works after.
TEST(TerminalCommand, LentFieldsAreRestored) {
    struct Case {
        const char* name;
        ULONG code;
        Bytes in;
        ULONG out;
    };
    const Bytes verify =
        Apdu(0x20, 0x18, 0x00, 0x00, Object(0x52, Hex("44 05 00 20 00 01 04 FF FF FF FF")));
    const Case cases[] = {
        {"unknown", IOCTL_TERMINAL_COMMAND, Hex("20 12 00 00"), 16},
        {"malformed", IOCTL_TERMINAL_COMMAND, Hex("20 13 00"), 16},
        {"get status", IOCTL_TERMINAL_COMMAND, Hex("20 13 00 46"), 32},
        {"output", IOCTL_TERMINAL_COMMAND, Hex("20 17 40 00 05 50 03 41 42 43"), 16},
        {"input", IOCTL_TERMINAL_COMMAND, Hex("20 16 50 02 01"), 16},
        {"select protocol", IOCTL_TERMINAL_COMMAND, Hex("80 60 00 00 03 22 01 02"), 16},
        {"perform verification", IOCTL_TERMINAL_COMMAND, verify, 16},
        {"too small", IOCTL_TERMINAL_COMMAND, Hex("20 13 00 46"), 4},
        {"raw write", IOCTL_READER_RAW_WRITE, Hex("0B 00 0B"), 0},
        {"raw read", IOCTL_READER_RAW_READ, {}, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TerminalBench bench;
        bench.PowerUp(std::make_shared<quor::sim::T1Card>());
        bench.Reader().ScriptKeys({{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, quor::sim::kKeyConfirm}});
        PSMARTCARD_EXTENSION ext = bench.Ext();
        UCHAR lentRequest[4];
        UCHAR lentReply[4];
        ULONG lentCounter = 0;
        ext->IoRequest.Information = &lentCounter;
        ext->IoRequest.RequestBuffer = lentRequest;
        ext->IoRequest.RequestBufferLength = 3;
        ext->IoRequest.ReplyBuffer = lentReply;
        ext->IoRequest.ReplyBufferLength = 4;
        const SMARTCARD_REQUEST request = ext->SmartcardRequest;
        const SMARTCARD_REPLY reply = ext->SmartcardReply;

        bench.Call(c.code, c.in, c.out);
        // A raw write leaves its reply on the line: read it, so the transmit below starts clean.
        if (c.code == IOCTL_READER_RAW_WRITE) bench.Call(IOCTL_READER_RAW_READ, {}, 16);

        EXPECT_EQ(ext->IoRequest.Information, &lentCounter);
        EXPECT_EQ(lentCounter, 0u);
        EXPECT_EQ(ext->IoRequest.RequestBuffer, lentRequest);
        EXPECT_EQ(ext->IoRequest.RequestBufferLength, 3u);
        EXPECT_EQ(ext->IoRequest.ReplyBuffer, lentReply);
        EXPECT_EQ(ext->IoRequest.ReplyBufferLength, 4u);
        EXPECT_EQ(ext->SmartcardRequest.Buffer, request.Buffer);
        EXPECT_EQ(ext->SmartcardRequest.BufferSize, request.BufferSize);
        EXPECT_EQ(ext->SmartcardRequest.BufferLength, request.BufferLength);
        EXPECT_EQ(ext->SmartcardReply.Buffer, reply.Buffer);
        EXPECT_EQ(ext->SmartcardReply.BufferSize, reply.BufferSize);
        EXPECT_EQ(ext->SmartcardReply.BufferLength, reply.BufferLength);
        EXPECT_EQ(bench.R()->PinMode, PIN_MODE_NONE);
        EXPECT_EQ(
            bench.R()->DisplayText == nullptr ||
                (bench.R()->DisplayText == BlankDisplayText && bench.R()->DisplayTextLength == 8),
            true);

        bench.Reader().ClearKeys();
        const Completion select = bench.Transmit(Hex("00 A4 08 0C 02 50 00"));
        EXPECT_EQ(select.status, STATUS_SUCCESS);
        EXPECT_EQ(select.out.size() >= 10 ? Bytes(select.out.begin() + 8, select.out.begin() + 10)
                                          : Bytes{},
                  Hex("90 00"));
        EXPECT_EQ(select.information, 10u);
    }
}

TEST(TerminalRaw, WriteAndReadFrames) {
    struct Case {
        const char* name;
        std::function<void(TerminalBench&)> arrange;
        Bytes write;  // written first unless empty
        ULONG readOut;
        NTSTATUS readStatus;
        const char* data;  // expected read data
    };
    const Case cases[] = {
        {"info", nullptr, Hex("09 00 09"), 16, STATUS_SUCCESS, "02 0A 1F 58"},
        {"status, no data", nullptr, Hex("0B 00 0B"), 16, STATUS_SUCCESS, ""},
        {"exact room", nullptr, Hex("09 00 09"), 6, STATUS_SUCCESS, "02 0A 1F 58"},
        {"one short", nullptr, Hex("09 00 09"), 5, STATUS_BUFFER_TOO_SMALL, ""},
        {"no room", nullptr, Hex("09 00 09"), 1, STATUS_BUFFER_TOO_SMALL, ""},
        {"nothing comes", nullptr, {}, 16, STATUS_IO_TIMEOUT, ""},
        {"bad checksum", [](TerminalBench& b) { b.Reader().InjectFault(9, Fault::BadChecksum()); },
         Hex("09 00 09"), 16, STATUS_DATA_ERROR, ""},
        {"port read times out",
         [](TerminalBench& b) { b.Rig().Port().AddFault(serial::PortFault::ReadTimeout()); },
         Hex("09 00 09"), 16, STATUS_IO_TIMEOUT, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TerminalBench bench;
        if (c.arrange) c.arrange(bench);
        if (!c.write.empty()) {
            const Completion w = bench.Call(IOCTL_READER_RAW_WRITE, c.write, 0);
            EXPECT_EQ(w.status, STATUS_SUCCESS);
            EXPECT_EQ(w.information, 0u);
            ASSERT_EQ(bench.Reader().Frames().size(), 1u);
            EXPECT_EQ(bench.Rig().HostFrames().at(0), c.write);
        }
        const Completion r = bench.Call(IOCTL_READER_RAW_READ, {}, c.readOut);
        EXPECT_EQ(r.status, c.readStatus);
        const Bytes data = Hex(c.data);
        EXPECT_EQ(r.information, data.size());
        EXPECT_LE(r.information, c.readOut);
        if (c.readStatus == STATUS_SUCCESS) {
            EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + static_cast<long>(data.size())), data);
        }
    }
}

TEST(TerminalRaw, WriteEdges) {
    TerminalBench bench;
    const Completion empty = bench.Call(IOCTL_READER_RAW_WRITE, {}, 0);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);
    EXPECT_TRUE(bench.Rig().Port().Requests().empty()) << "nothing to write reaches the port";

    const Completion large = bench.Call(IOCTL_READER_RAW_WRITE, Bytes(289, 0x0B), 0);
    EXPECT_EQ(large.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(bench.Reader().WireLog().empty());

    // The port closed: the serial layer refuses.
    bench.Rig().SetPortOpen(false);
    EXPECT_EQ(bench.Call(IOCTL_READER_RAW_WRITE, Hex("0B 00 0B"), 0).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bench.Call(IOCTL_READER_RAW_READ, {}, 16).information, 0u);
}

TEST(TerminalRaw, OtherCodesAreRefused) {
    TerminalBench bench;
    bench.Rig().Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT d, PIRP irp) {
        auto* dx = static_cast<PDEVICE_EXTENSION>(d->DeviceExtension);
        const ULONG code =
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
        return TerminalDeviceControl(&dx->SmartcardExtension, irp, code);
    };
    const Completion done = bench.Call(0x3100E8, Hex("20 13 00 46"), 32);
    EXPECT_EQ(done.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(done.returned, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(done.completions, 1);
    EXPECT_EQ(done.information, 0u);
}

}  // namespace
}  // namespace quor::test
