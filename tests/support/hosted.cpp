#include "tests/support/hosted.h"

#include <algorithm>
#include <atomic>

#include "client/sim_line.h"
#include "driver/driver.h"

namespace quor::test {

namespace {

constexpr size_t kGuard = 16;
constexpr UCHAR kGuardByte = 0xA5;

struct Pending {
    KEVENT done;
    IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
    std::atomic<int> completions{0};
    std::vector<UCHAR> in;
    ULONG outLength = 0;
    bool inputKept = true;

    // Runs before the I/O manager frees the system buffer: the driver must not have touched
    // the input bytes that lie beyond the output.
    static void OnComplete(PIRP irp, PVOID context) {
        auto* p = static_cast<Pending*>(context);
        const auto* sb = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        if (sb != nullptr && p->in.size() > p->outLength) {
            p->inputKept = std::equal(p->in.begin() + p->outLength, p->in.end(), sb + p->outLength);
        }
        p->completions++;
    }
};

}  // namespace

HostedReader::HostedReader(std::shared_ptr<quor::sim::Card> card, quor::sim::ReaderConfig config) {
    reader_ = std::make_shared<quor::sim::Reader>(std::move(config));
    if (card) reader_->InsertCard(std::move(card));
    port_ = quor::serial::SerialPort::Create(std::make_unique<quor::client::SimLine>(reader_));
    host_ = std::make_unique<khost::Host>();
    PDRIVER_OBJECT driver = host_->LoadDriver("quor", DriverEntry);
    if (NT_SUCCESS(host_->AddDevice(driver, Pdo(), &fdo_))) start_ = host_->Start(Pdo());
}

HostedReader::~HostedReader() {
    if (fdo_ != nullptr && !host_->Removed(Pdo()) && !NT_SUCCESS(host_->Remove(Pdo()))) {
        host_->SurpriseRemove(Pdo());
    }
    host_.reset();
    port_.reset();
}

PSMARTCARD_EXTENSION HostedReader::Ext() {
    return &static_cast<PDEVICE_EXTENSION>(fdo_->DeviceExtension)->SmartcardExtension;
}

HostedReader::Result HostedReader::Send(ULONG code, std::span<const UCHAR> in, ULONG outLength,
                                        bool failAllocations) {
    Pending p;
    KeInitializeEvent(&p.done, NotificationEvent, FALSE);
    p.in.assign(in.begin(), in.end());
    p.outLength = outLength;
    std::vector<UCHAR> user(outLength + 2 * kGuard, kGuardByte);
    PIRP irp = IoBuildDeviceIoControlRequest(
        code, fdo_, p.in.empty() ? nullptr : p.in.data(), static_cast<ULONG>(p.in.size()),
        outLength ? user.data() + kGuard : nullptr, outLength, FALSE, &p.done, &p.iosb);
    Result r;
    if (irp == nullptr) {
        r.status = STATUS_INSUFFICIENT_RESOURCES;
        return r;
    }
    irp->IoManagerCompletion = Pending::OnComplete;
    irp->IoManagerContext = &p;
    if (failAllocations)
        ExTestSetAllocationFailureHook([](POOL_TYPE, SIZE_T, ULONG) { return true; });
    if (IofCallDriver(fdo_, irp) == STATUS_PENDING && KeReadStateEvent(&p.done) == 0) {
        IoCancelIrp(irp);
    }
    KeWaitForSingleObject(&p.done, Executive, KernelMode, FALSE, nullptr);
    if (failAllocations) ExTestSetAllocationFailureHook(nullptr);
    r.status = p.iosb.Status;
    r.completions = p.completions;
    const ULONG_PTR n = std::min<ULONG_PTR>(p.iosb.Information, outLength);
    r.out.assign(user.begin() + kGuard, user.begin() + static_cast<std::ptrdiff_t>(kGuard + n));
    const auto intact = [](auto from, auto to) {
        return std::all_of(from, to, [](UCHAR b) { return b == kGuardByte; });
    };
    r.clean = p.inputKept && p.iosb.Information <= outLength &&
              intact(user.begin(), user.begin() + kGuard) &&
              intact(user.end() - kGuard, user.end());
    return r;
}

}  // namespace quor::test
