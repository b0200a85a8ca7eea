// A driver on the bench: the host that plays the system's managers, the QUOR driver loaded
// into it and any number of emulated readers, each behind its own serial port. The bench
// checks on the way out that nothing the driver made is left: devices, IRPs, pool, threads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "client/sim_line.h"
#include "driver/driver.h"
#include "link/command.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/eventlog.h"
#include "platform/kernel/host.h"
#include "platform/serial/port.h"
#include "sim/processor_card.h"
#include "sim/reader.h"
#include "terminal/terminal.h"
#include "tests/support/rig.h"

namespace quor::test {

inline std::vector<UCHAR> Ulong(ULONG v) {
    return {static_cast<UCHAR>(v), static_cast<UCHAR>(v >> 8), static_cast<UCHAR>(v >> 16),
            static_cast<UCHAR>(v >> 24)};
}

inline ULONG AsUlong(const std::vector<UCHAR>& b) {
    if (b.size() < 4) return 0xFFFFFFFF;
    return static_cast<ULONG>(b[0]) | static_cast<ULONG>(b[1]) << 8 |
           static_cast<ULONG>(b[2]) << 16 | static_cast<ULONG>(b[3]) << 24;
}

// Polls `done` for up to `ms` real milliseconds. The limit is a safety net against a hang,
// not a deadline: a loaded machine may take long to get there.
inline bool Eventually(const std::function<bool()>& done, int ms = 60000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Slot {
    std::shared_ptr<quor::sim::Reader> reader;
    std::unique_ptr<quor::serial::SerialPort> port;
    PDEVICE_OBJECT Pdo() const { return port->Device(); }

    int FramesWithCode(ULONG code) const {
        int n = 0;
        for (const auto& f : reader->Frames()) n += f.code == code ? 1 : 0;
        return n;
    }
    int PortRequests(UCHAR major) const {
        int n = 0;
        for (const auto& r : port->Requests()) n += r.major == major ? 1 : 0;
        return n;
    }
};

class DriverBench : public ::testing::Test {
  protected:
    void SetUp() override {
        kclock::ResetForTest();
        kclock::SetScaled(1000);
        EventLogClear();
        liveDevices_ = IoTestLiveDevices();
        allocations_ = ExTestOutstandingAllocations(0);
        host_ = std::make_unique<khost::Host>();
        driver_ = host_->LoadDriver("quor", DriverEntry);
        ASSERT_NE(driver_, nullptr);
        liveDevices_ = IoTestLiveDevices();
    }

    void TearDown() override {
        bool clean = true;
        for (PDEVICE_OBJECT pdo : added_) {
            if (!host_->Removed(pdo)) clean = NT_SUCCESS(host_->Remove(pdo)) && clean;
        }
        if (!clean) {
            // A failed test left a handle open: the device cannot go, nor its threads end.
            ADD_FAILURE() << "a device could not be removed";
            static_cast<void>(host_.release());
            for (auto& slot : slots_) static_cast<void>(slot.release());
            slots_.clear();
            kclock::ResetForTest();
            return;
        }
        PsTestWaitForSystemThreads();
        EXPECT_EQ(PsTestRunningSystemThreads(), 0u);
        EXPECT_EQ(IoTestLiveIrps(), 0);
        EXPECT_EQ(ExTestOutstandingAllocations(READER_EXTENSION_TAG), 0u);
        host_.reset();
        slots_.clear();
        EXPECT_EQ(ExTestOutstandingAllocations(0), allocations_);
        kclock::ResetForTest();
    }

    // A reader on its own port; the driver is not yet added over it.
    Slot& NewSlot(bool withCard = false) {
        quor::sim::ReaderConfig config;
        // On the scaled clock the real gaps between the driver's byte writes look long.
        config.interByteTimeout = 60'000'000;
        auto slot = std::make_unique<Slot>();
        slot->reader = std::make_shared<quor::sim::Reader>(config);
        if (withCard) slot->reader->InsertCard(std::make_shared<quor::sim::T1Card>());
        const std::string name = "QuorSerial" + std::to_string(slots_.size());
        slot->port = quor::serial::SerialPort::Create(
            std::make_unique<quor::client::SimLine>(slot->reader), name.c_str());
        slot->reader->SetRecording(true);
        slot->port->SetRecording(true);
        slots_.push_back(std::move(slot));
        return *slots_.back();
    }

    NTSTATUS Add(Slot& slot, PDEVICE_OBJECT* fdo = nullptr) {
        PDEVICE_OBJECT made = nullptr;
        NTSTATUS status = host_->AddDevice(driver_, slot.Pdo(), &made);
        if (NT_SUCCESS(status)) added_.push_back(slot.Pdo());
        if (fdo != nullptr) *fdo = made;
        return status;
    }

    // Added, started and opened.
    khost::Handle Ready(Slot& slot, PDEVICE_OBJECT* fdo = nullptr) {
        EXPECT_EQ(Add(slot, fdo), STATUS_SUCCESS);
        EXPECT_EQ(host_->Start(slot.Pdo()), STATUS_SUCCESS);
        khost::Handle h = nullptr;
        EXPECT_EQ(host_->Open(slot.Pdo(), &h), STATUS_SUCCESS);
        return h;
    }

    NTSTATUS Attribute(khost::Handle h, ULONG id, std::vector<UCHAR>* out) {
        return host_->Ioctl(h, IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(id), 64, out);
    }

    ULONG Unit(khost::Handle h) {
        std::vector<UCHAR> out;
        EXPECT_EQ(Attribute(h, SCARD_ATTR_DEVICE_UNIT, &out), STATUS_SUCCESS);
        return AsUlong(out);
    }

    std::shared_ptr<khost::Request> Track(khost::Handle h, ULONG code) {
        return host_->IoctlAsync(h, code, {}, 0);
    }

    // Devices left besides the driver's and the ports' own.
    LONG ExtraDevices() const {
        return IoTestLiveDevices() - liveDevices_ - static_cast<LONG>(slots_.size());
    }

    std::unique_ptr<khost::Host> host_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<PDEVICE_OBJECT> added_;
    LONG liveDevices_ = 0;
    SIZE_T allocations_ = 0;
};

}  // namespace quor::test
