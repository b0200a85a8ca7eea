// The I/O path allocates nothing in steady state. Every operator new of the process is counted
// while the driver, the platform under it (I/O manager, smclib, serial port, in-process line)
// and its own threads (port, polling, DPC) serve card exchanges, terminal commands and status
// polls; only what the emulator allocates on the far side of the line is left out (the line
// marks those calls). Requests go straight to the device on the test's own buffers, as a host
// that keeps its request records would send them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "tests/driver/driver_bench.h"
#include "tests/support/counting_allocator.h"

namespace quor::test {
namespace {

using DriverAllocations = DriverBench;

// One device-control request on the caller's buffers; the status.
NTSTATUS Send(PDEVICE_OBJECT top, ULONG code, const UCHAR* in, ULONG inLength, UCHAR* out,
              ULONG outLength) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, const_cast<UCHAR*>(in), inLength, out,
                                             outLength, FALSE, &done, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
}

TEST_F(DriverAllocations, SteadyIoPathAllocatesNothing) {
    if (!CountingAllocator()) GTEST_SKIP() << "sanitizer build";
    Slot& t1 = NewSlot(true);
    Slot& t0 = NewSlot();
    t0.reader->InsertCard(std::make_shared<quor::sim::T0Card>());
    struct Reader {
        Slot* slot;
        PDEVICE_OBJECT top = nullptr;
        ULONG protocol = 0;
        khost::Handle handle = nullptr;
    } readers[] = {{&t1}, {&t0}};
    for (Reader& r : readers) {
        r.slot->reader->SetRecording(false);
        r.slot->port->SetRecording(false);
        khost::Handle h = r.handle = Ready(*r.slot);
        r.top = host_->TopOf(r.slot->Pdo());
        std::vector<UCHAR> out;
        ASSERT_EQ(host_->Ioctl(h, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64, &out),
                  STATUS_SUCCESS);
        ASSERT_EQ(host_->Ioctl(h, IOCTL_SMARTCARD_SET_PROTOCOL,
                               Ulong(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 4, &out),
                  STATUS_SUCCESS);
        r.protocol = AsUlong(out);
    }

    const UCHAR select[] = {0x00, 0xA4, 0x04, 0x0C, 0x05, 0xF0, 0x45, 0x4D, 0x55, 0x01};
    const std::vector<std::vector<UCHAR>> terminal = {
        Hex("20 13 00 46"),                    // GET STATUS: manufacturer
        Hex("20 13 00 80"),                    // GET STATUS: card slot
        Hex("20 17 40 00 05 50 03 41 42 43"),  // OUTPUT to the display
    };
    UCHAR in[300];
    UCHAR out[300];
    int failures = 0;
    auto apdus = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            for (Reader& r : readers) {
                SCARD_IO_REQUEST header{r.protocol, 8};
                std::memcpy(in, &header, 8);
                std::memcpy(in + 8, select, sizeof(select));
                failures += Send(r.top, IOCTL_SMARTCARD_TRANSMIT, in, 8 + sizeof(select), out,
                                 8 + 258) != STATUS_SUCCESS;
            }
        }
    };
    auto terminalCommands = [&] {
        for (const auto& c : terminal) {
            failures += Send(readers[0].top, IOCTL_TERMINAL_COMMAND, c.data(),
                             static_cast<ULONG>(c.size()), out, 64) != STATUS_SUCCESS;
        }
    };
    // Polls by the polling threads: the status frames the readers take in meanwhile.
    auto polls = [&](std::uint64_t count) {
        const std::uint64_t until = t1.reader->FrameCount() + count;
        for (int ms = 0; ms < 60000 && t1.reader->FrameCount() < until; ++ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        failures += t1.reader->FrameCount() < until;
    };

    // Warm-up: lookaside lists, free lists and logs reach their steady size.
    apdus(50);
    for (int i = 0; i < 5; ++i) terminalCommands();
    polls(5);
    ASSERT_EQ(failures, 0);

    CountAllocations(true);
    apdus(500);  // 1,000 APDUs, T=0 and T=1
    for (int i = 0; i < 20; ++i) terminalCommands();
    polls(100);
    CountAllocations(false);

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(Allocations(), 0);
    // The meter itself counts.
    CountAllocations(true);
    auto probe = std::make_unique<int>(1);
    CountAllocations(false);
    EXPECT_EQ(Allocations(), 1);
    for (Reader& r : readers) EXPECT_EQ(host_->Close(r.handle), STATUS_SUCCESS);
}

}  // namespace
}  // namespace quor::test
