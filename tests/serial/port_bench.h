// A serial port over an emulated reader, on a manual clock, with requests sent the way the
// reader driver sends them: a device-control request built with an event and a status block,
// its next stack location turned into a read or write, and a wait on the event when the port
// answers STATUS_PENDING.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "client/sim_line.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/ntddser.h"
#include "platform/kernel/wdm.h"
#include "platform/serial/port.h"
#include "sim/frame.h"
#include "sim/reader.h"

namespace quor::serial::test {

using Bytes = std::vector<UCHAR>;
using kclock::Ticks;

constexpr ULONG kRead = CTL_CODE(FILE_DEVICE_SMARTCARD, 1000, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kWrite = CTL_CODE(FILE_DEVICE_SMARTCARD, 1001, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kMax = 0xFFFFFFFF;
constexpr Ticks kMs = kclock::kTicksPerMillisecond;
// A round clock reading (a whole number of microseconds, the emulator's unit).
constexpr Ticks kStart = 132'000'000'000'000'000;
constexpr UCHAR kNoMajor = 0xFF;  // marks a plain device-control request below

// The read time-outs of SERIAL_TIMEOUTS, in milliseconds.
struct ReadTimeouts {
    ULONG interval, multiplier, constant;
};

// The reader's answer to a get-status command while no card is in and no key waits.
inline Bytes StatusCommand() { return quor::sim::CommandFrame(quor::sim::kCodeGetStatus); }
inline Bytes StatusReply() { return quor::sim::ReplyFrame({}, 0x0F); }

// The first `n` bytes of `b`.
inline Bytes Prefix(const Bytes& b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size())));
}

template <typename T>
Bytes BytesOf(const T& v) {
    const auto* p = reinterpret_cast<const UCHAR*>(&v);
    return Bytes(p, p + sizeof(T));
}

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

// One request on its way to the port. `irp` is valid only while the request is pending.
struct Request {
    KEVENT event;
    IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
    Bytes out;  // the caller's output buffer, filled with 0xEE beforehand
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_PENDING;

    bool Pended() const { return returned == STATUS_PENDING; }
    bool Done() { return KeReadStateEvent(&event) != 0; }
    // The final status, as the driver takes it: the answer, or the status block after the wait.
    NTSTATUS Wait() {
        if (!Pended()) return returned;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    }
    // What reached the caller's buffer: `Information` bytes, the rest untouched.
    Bytes Delivered() const {
        const std::size_t n = std::min<std::size_t>(iosb.Information, out.size());
        return Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    }
    bool RestUntouched() const {
        for (std::size_t i = iosb.Information; i < out.size(); ++i) {
            if (out[i] != 0xEE) return false;
        }
        return true;
    }
};

// Sends `code` (or a read, write, create or close when `major` says so) to `device`;
// `cancelled`: IoCancelIrp is called before the request reaches the port.
inline std::unique_ptr<Request> Send(PDEVICE_OBJECT device, UCHAR major, ULONG code,
                                     const Bytes& in, ULONG outLen, bool cancelled = false) {
    auto r = std::make_unique<Request>();
    KeInitializeEvent(&r->event, NotificationEvent, FALSE);
    r->out.assign(outLen, 0xEE);
    PIRP irp = IoBuildDeviceIoControlRequest(
        code, device, in.empty() ? nullptr : const_cast<UCHAR*>(in.data()),
        static_cast<ULONG>(in.size()), outLen ? r->out.data() : nullptr, outLen, FALSE, &r->event,
        &r->iosb);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (major == IRP_MJ_READ) {
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = outLen;
        next->Parameters.Read.ByteOffset.QuadPart = 0;
    } else if (major == IRP_MJ_WRITE) {
        next->MajorFunction = IRP_MJ_WRITE;
        next->Parameters.Write.Length = static_cast<ULONG>(in.size());
        next->Parameters.Write.ByteOffset.QuadPart = 0;
    } else if (major != kNoMajor) {
        next->MajorFunction = major;
    }
    r->irp = irp;
    if (cancelled) {
        EXPECT_FALSE(IoCancelIrp(irp));
    }
    r->returned = IofCallDriver(device, irp);
    return r;
}

class PortBench : public ::testing::Test {
  protected:
    void SetUp() override {
        kclock::ResetForTest();
        kclock::SetManual();
        kclock::SetNow(kStart);
        irps_ = IoTestLiveIrps();
        pool_ = ExTestOutstandingAllocations(0);
        Build({});
    }

    void TearDown() override {
        port_.reset();
        reader_.reset();
        EXPECT_EQ(IoTestLiveIrps(), irps_);
        EXPECT_EQ(ExTestOutstandingAllocations(0), pool_);
        kclock::ResetForTest();
    }

    // Replaces the bench with one whose reader has the given settings.
    void Build(quor::sim::ReaderConfig cfg) {
        port_.reset();
        reader_ = std::make_shared<quor::sim::Reader>(cfg);
        port_ = SerialPort::Create(std::make_unique<quor::client::SimLine>(reader_));
        ASSERT_NE(port_, nullptr);
        reader_->SetRecording(true);
        port_->SetRecording(true);
    }

    std::unique_ptr<Request> Start(UCHAR major, ULONG code, const Bytes& in, ULONG outLen) {
        return Send(port_->Device(), major, code, in, outLen);
    }
    std::unique_ptr<Request> StartRead(ULONG n, bool cancelled = false) {
        return Send(port_->Device(), IRP_MJ_READ, kRead, {}, n, cancelled);
    }
    NTSTATUS Control(ULONG code, const Bytes& in = {}) {
        return Start(kNoMajor, code, in, 0)->Wait();
    }
    NTSTATUS Purge(ULONG mask) { return Control(IOCTL_SERIAL_PURGE, BytesOf(mask)); }
    NTSTATUS Write(const Bytes& bytes) { return Start(IRP_MJ_WRITE, kWrite, bytes, 0)->Wait(); }
    NTSTATUS Major(UCHAR major) { return Start(major, 0, {}, 0)->Wait(); }
    void SetTimeouts(ReadTimeouts t) {
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS,
                          BytesOf(SERIAL_TIMEOUTS{t.interval, t.multiplier, t.constant, 0, 0})),
                  STATUS_SUCCESS);
    }
    // Sends a get-status command, so that the reader's 4-byte reply comes back.
    void AskStatus() { ASSERT_EQ(Write(StatusCommand()), STATUS_SUCCESS); }

    std::shared_ptr<quor::sim::Reader> reader_;
    std::unique_ptr<SerialPort> port_;

  private:
    LONG irps_ = 0;
    SIZE_T pool_ = 0;
};

}  // namespace quor::serial::test
