#include "client/reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <list>
#include <mutex>
#include <thread>

#include "client/guarded_line.h"
#include "client/port_check.h"
#include "client/sim_line.h"
#include "driver/driver.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/host.h"
#include "platform/kernel/ke.h"
#include "platform/serial/port.h"
#include "platform/serial/termios_line.h"
#include "platform/smclib/smclib.h"
#include "terminal/terminal.h"

namespace quor::client {

static_assert(status::kSuccess == STATUS_SUCCESS && status::kTimeout == STATUS_TIMEOUT &&
              status::kBufferOverflow == STATUS_BUFFER_OVERFLOW &&
              status::kDeviceBusy == STATUS_DEVICE_BUSY &&
              status::kUnsuccessful == STATUS_UNSUCCESSFUL &&
              status::kInvalidParameter == STATUS_INVALID_PARAMETER &&
              status::kNoSuchDevice == STATUS_NO_SUCH_DEVICE &&
              status::kInvalidDeviceRequest == STATUS_INVALID_DEVICE_REQUEST &&
              status::kUnrecognizedMedia == STATUS_UNRECOGNIZED_MEDIA &&
              status::kBufferTooSmall == STATUS_BUFFER_TOO_SMALL &&
              status::kDeviceNotConnected == STATUS_DEVICE_NOT_CONNECTED &&
              status::kIoTimeout == STATUS_IO_TIMEOUT &&
              status::kNotSupported == STATUS_NOT_SUPPORTED &&
              status::kCancelled == STATUS_CANCELLED && status::kNoMedia == STATUS_NO_MEDIA &&
              status::kInvalidDeviceState == STATUS_INVALID_DEVICE_STATE &&
              status::kIoDeviceError == STATUS_IO_DEVICE_ERROR &&
              status::kDeviceProtocolError == STATUS_DEVICE_PROTOCOL_ERROR);
static_assert(protocol::kT0 == SCARD_PROTOCOL_T0 && protocol::kT1 == SCARD_PROTOCOL_T1 &&
              protocol::kRaw == SCARD_PROTOCOL_RAW && protocol::kDefault == SCARD_PROTOCOL_DEFAULT);
static_assert(ctbcs::kTagProtocol == CT_TAG_PROTOCOL &&
              ctbcs::kTagDisplayText == CT_TAG_DISPLAY_TEXT &&
              ctbcs::kTagCommandToPerform == CT_TAG_COMMAND_TO_PERFORM &&
              ctbcs::kTagTimeout == CT_TAG_TIMEOUT);
static_assert(static_cast<ULONG>(PowerAction::Down) == SCARD_POWER_DOWN &&
              static_cast<ULONG>(PowerAction::ColdReset) == SCARD_COLD_RESET &&
              static_cast<ULONG>(PowerAction::WarmReset) == SCARD_WARM_RESET);
static_assert(static_cast<ULONG>(CardState::Absent) == SCARD_ABSENT &&
              static_cast<ULONG>(CardState::Specific) == SCARD_SPECIFIC);

namespace {

// Largest output a request may ask for: far above anything the driver returns, and small
// enough that a wrong length from an application costs no more than this much memory.
constexpr std::size_t kMaxOutput = 1 << 20;

// Longest wait limit that still counts in the kernel's 100 ns units (about 29 000 years).
constexpr std::int64_t kLongestWaitMs = INT64_MAX / kclock::kTicksPerMillisecond;

void AppendUlong(std::vector<UCHAR>& bytes, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<UCHAR>(v >> shift));
}

std::vector<UCHAR> Ulong(std::uint32_t v) {
    std::vector<UCHAR> bytes;
    bytes.reserve(4);
    AppendUlong(bytes, v);
    return bytes;
}

// The host and the loaded driver, shared by every open Reader of the process.
struct SharedDriver {
    khost::Host host;
    PDRIVER_OBJECT driver = nullptr;
};

// Never destroyed: Readers may close during the process's static destruction.
std::mutex& SharedMutex() {
    static auto* mu = new std::mutex;
    return *mu;
}
SharedDriver* g_shared = nullptr;
int g_users = 0;

SharedDriver* AcquireDriver() {
    std::lock_guard lock(SharedMutex());
    if (g_shared == nullptr) {
        auto shared = std::make_unique<SharedDriver>();
        shared->driver = shared->host.LoadDriver("quor", DriverEntry);
        if (shared->driver == nullptr) return nullptr;
        g_shared = shared.release();
    }
    ++g_users;
    return g_shared;
}

void ReleaseDriver() {
    std::lock_guard lock(SharedMutex());
    if (--g_users > 0) return;
    // Every device is gone. Their polling threads end on their own once told to stop; let
    // them finish before the host goes and unloads the driver. Held under the lock, so that a
    // Reader opening meanwhile waits and then loads the driver afresh.
    PsTestWaitForSystemThreads();
    delete g_shared;
    g_shared = nullptr;
}

std::atomic<unsigned> g_portNumber{0};

}  // namespace

std::string StatusName(NtStatus s) {
    if (const char* name = NtStatusName(s)) return name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(s));
    return buf;
}

std::string StatusText(NtStatus s) {
    if (const char* text = NtStatusText(s)) return text;
    return "Unknown status.";
}

std::optional<std::uint32_t> Reply::Ulong() const {
    if (status != status::kSuccess || data.size() < 4) return std::nullopt;
    return static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16) |
           static_cast<std::uint32_t>(data[3]) << 24;
}

// ---------------------------------------------------------------------------------------

struct Reader::Impl {
    enum class Phase { Closed, Open, Closing };

    // A wait under way: its tracking request once sent, and whether a cancel reached it.
    struct Wait {
        std::shared_ptr<khost::Request> request;
        bool cancelled = false;
    };

    // Admits a call while the reader is open; Close waits for the calls admitted.
    class Call {
      public:
        explicit Call(Impl& impl) : impl_(impl) {
            std::lock_guard lock(impl_.mu);
            admitted_ = impl_.phase == Phase::Open;
            if (admitted_) ++impl_.calls;
        }
        ~Call() {
            if (!admitted_) return;
            std::lock_guard lock(impl_.mu);
            if (--impl_.calls == 0) impl_.idle.notify_all();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        explicit operator bool() const { return admitted_; }

      private:
        Impl& impl_;
        bool admitted_ = false;
    };

    Reply Send(ULONG code, std::span<const std::uint8_t> input, std::size_t outLength) {
        Reply reply;
        Call call(*this);
        if (!call) {
            reply.status = STATUS_INVALID_DEVICE_STATE;
            return reply;
        }
        if (outLength > kMaxOutput || input.size() > kMaxOutput) {
            reply.status = STATUS_INVALID_PARAMETER;
            return reply;
        }
        ULONG_PTR information = 0;
        reply.status = shared->host.Ioctl(handle, code, input, static_cast<ULONG>(outLength),
                                          &reply.data, &information);
        reply.information = information;
        return reply;
    }

    std::mutex life;  // one Open or Close at a time
    mutable std::mutex mu;
    std::condition_variable idle;
    Phase phase = Phase::Closed;
    int calls = 0;
    std::list<Wait*> waits;
    bool cancelPending = false;

    // Set while open (handle, device) or from the open on (port, line, emulator).
    SharedDriver* shared = nullptr;
    std::unique_ptr<serial::SerialPort> port;
    GuardedLine* line = nullptr;  // owned by the port
    std::string lastError;
    bool silent = false;  // the last open found nothing answering on its line
    std::shared_ptr<sim::Reader> emulator;
    PDEVICE_OBJECT pdo = nullptr;
    khost::Handle handle = nullptr;
};

Reader::Reader() : impl_(std::make_unique<Impl>()) {}

Reader::~Reader() { Close(); }

NtStatus Reader::Open(const std::string& path, const OpenOptions& options) {
    // The system's reason for a path that cannot be a reader's port, before any driver work.
    const PathCheck check = CheckTtyPath(path);
    if (check.problem != PathProblem::None) {
        std::lock_guard lock(impl_->mu);
        if (impl_->phase != Impl::Phase::Closed) return STATUS_INVALID_DEVICE_STATE;
        impl_->lastError = check.message;
        switch (check.problem) {
            case PathProblem::Missing:
                return STATUS_NO_SUCH_DEVICE;
            case PathProblem::NotATerminal:
                return STATUS_INVALID_PARAMETER;
            default:
                return STATUS_ACCESS_DENIED;
        }
    }
    const NtStatus status = OpenLine(std::make_unique<serial::TermiosLine>(path), nullptr, options);
    std::lock_guard lock(impl_->mu);
    if (impl_->silent) {
        impl_->lastError = "no reader answers on " + path +
                           " (the reader was reset through DTR and RTS and asked for its status "
                           "at 9600 baud, 8 data bits, no parity, 2 stop bits; not a byte came "
                           "back within " +
                           std::to_string(options.silenceLimitMs / 1000) +
                           " s: is the reader connected to this port and powered?)";
    } else if (status != STATUS_SUCCESS) {
        impl_->lastError = path + ": " + StatusText(status);
    }
    return status;
}

NtStatus Reader::OpenEmulated(std::shared_ptr<sim::Reader> emulator, const OpenOptions& options) {
    if (!emulator) return STATUS_INVALID_PARAMETER;
    auto line = std::make_unique<SimLine>(emulator);
    return OpenLine(std::move(line), std::move(emulator), options);
}

NtStatus Reader::OpenLine(std::unique_ptr<serial::ByteLine> line,
                          std::shared_ptr<sim::Reader> emulator, const OpenOptions& options) {
    Impl& m = *impl_;
    std::lock_guard life(m.life);
    {
        std::lock_guard lock(m.mu);
        if (m.phase != Impl::Phase::Closed) return STATUS_INVALID_DEVICE_STATE;
    }
    // The previous port (kept for its records) goes now; the new one comes before the driver.
    std::unique_ptr<serial::SerialPort> previous;
    {
        std::lock_guard lock(m.mu);
        previous = std::move(m.port);
        m.line = nullptr;
        m.emulator.reset();
    }
    previous.reset();
    const std::string name = "QuorSerial" + std::to_string(g_portNumber++);
    auto guarded = std::make_unique<GuardedLine>(std::move(line));
    GuardedLine* guard = guarded.get();
    auto port = serial::SerialPort::Create(std::move(guarded), name.c_str());
    if (!port) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT pdo = port->Device();
    const bool watchSilence = options.silenceLimitMs > 0 && !emulator;
    {
        std::lock_guard lock(m.mu);
        m.port = std::move(port);
        m.line = guard;
        m.emulator = std::move(emulator);
        m.lastError.clear();
        m.silent = false;
    }
    if (options.onPort) options.onPort(*m.port);

    SharedDriver* shared = AcquireDriver();
    if (shared == nullptr) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = shared->host.AddDevice(shared->driver, pdo, nullptr);
    if (!NT_SUCCESS(status)) {
        ReleaseDriver();
        return status;
    }
    khost::Handle handle = nullptr;
    // A reader answers its reset within a few seconds of the start; a line on which nothing
    // at all comes back by the limit has no reader on it: cut it, so that the driver's start
    // ends at once instead of waiting out each of its commands.
    // The limit counts from the driver's open of the port: starts are one at a time, and
    // another reader's start (a silent one takes the whole limit) is no time of this line's.
    std::mutex silenceMu;
    std::condition_variable silenceCv;
    bool started = false;
    bool lineOpen = false;
    bool silent = false;
    std::thread silenceWatch;
    if (watchSilence) {
        guard->SetOnOpen([&] {
            {
                std::lock_guard lock(silenceMu);
                lineOpen = true;
            }
            silenceCv.notify_all();
        });
        silenceWatch = std::thread([&] {
            std::unique_lock lock(silenceMu);
            silenceCv.wait(lock, [&] { return started || lineOpen; });
            const auto limit = std::chrono::milliseconds(options.silenceLimitMs);
            if (silenceCv.wait_for(lock, limit, [&] { return started; })) return;
            if (guard->BytesReceived() != 0) return;
            silent = true;
            guard->Abort(STATUS_IO_TIMEOUT);
        });
    }
    status = shared->host.Start(pdo);
    if (watchSilence) {
        {
            std::lock_guard lock(silenceMu);
            started = true;
        }
        silenceCv.notify_all();
        silenceWatch.join();
        guard->SetOnOpen(nullptr);
        if (silent) {
            status = STATUS_IO_TIMEOUT;
            std::lock_guard lock(m.mu);
            m.silent = true;
        }
    }
    if (NT_SUCCESS(status)) status = shared->host.Open(pdo, &handle);
    if (!NT_SUCCESS(status)) {
        if (!NT_SUCCESS(shared->host.Remove(pdo))) shared->host.SurpriseRemove(pdo);
        ReleaseDriver();
        return status;
    }
    std::lock_guard lock(m.mu);
    m.shared = shared;
    m.pdo = pdo;
    m.handle = handle;
    m.cancelPending = false;
    m.phase = Impl::Phase::Open;
    return status;
}

void Reader::Close() {
    Impl& m = *impl_;
    std::lock_guard life(m.life);
    std::vector<std::shared_ptr<khost::Request>> parked;
    {
        std::lock_guard lock(m.mu);
        if (m.phase != Impl::Phase::Open) return;
        m.phase = Impl::Phase::Closing;
        for (Impl::Wait* w : m.waits) {
            w->cancelled = true;
            if (w->request) parked.push_back(w->request);
        }
    }
    for (auto& r : parked) r->Cancel();
    {
        std::unique_lock lock(m.mu);
        m.idle.wait(lock, [&] { return m.calls == 0; });
    }
    // The handle first (the driver refuses to be removed while it is open), then the device.
    m.shared->host.Close(m.handle);
    if (!NT_SUCCESS(m.shared->host.Remove(m.pdo))) m.shared->host.SurpriseRemove(m.pdo);
    ReleaseDriver();
    std::lock_guard lock(m.mu);
    m.shared = nullptr;
    m.pdo = nullptr;
    m.handle = nullptr;
    m.cancelPending = false;
    m.phase = Impl::Phase::Closed;
}

bool Reader::IsOpen() const {
    std::lock_guard lock(impl_->mu);
    return impl_->phase == Impl::Phase::Open;
}

std::string Reader::LastError() const {
    std::lock_guard lock(impl_->mu);
    return impl_->lastError;
}

void Reader::AbortIo() {
    CancelWaits();
    // Under the lock: an open in another thread replaces the port (and its line) under it.
    std::lock_guard lock(impl_->mu);
    if (impl_->line != nullptr) impl_->line->Abort(STATUS_CANCELLED);
}

bool Reader::PortGone() const {
    std::lock_guard lock(impl_->mu);
    return impl_->line != nullptr && impl_->line->InnerHealth() == STATUS_DEVICE_NOT_CONNECTED;
}

Reply Reader::Attribute(std::uint32_t tag, std::size_t maxLength) {
    return impl_->Send(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(tag), maxLength);
}

Reply Reader::SetAttribute(std::uint32_t tag, std::span<const std::uint8_t> value) {
    std::vector<UCHAR> input = Ulong(tag);
    input.insert(input.end(), value.begin(), value.end());
    return impl_->Send(IOCTL_SMARTCARD_SET_ATTRIBUTE, input, 0);
}

std::optional<std::uint32_t> Reader::Unit() { return Attribute(SCARD_ATTR_DEVICE_UNIT).Ulong(); }

Reply Reader::Power(PowerAction action) {
    return impl_->Send(IOCTL_SMARTCARD_POWER, Ulong(static_cast<std::uint32_t>(action)),
                       MAXIMUM_ATR_LENGTH);
}

Reply Reader::SetProtocol(std::uint32_t mask) {
    return impl_->Send(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(mask), 4);
}

Reply Reader::Transmit(std::span<const std::uint8_t> apdu, std::uint32_t protocolMask,
                       std::size_t maxResponse) {
    if (protocolMask == 0) {
        Reply current = Attribute(SCARD_ATTR_CURRENT_PROTOCOL_TYPE);
        if (!current.Ok()) return current;
        protocolMask = current.Ulong().value_or(0);
    }
    // The request header (protocol, header length) ahead of the APDU, and ahead of the answer.
    constexpr std::uint32_t kHeader = 8;
    std::vector<UCHAR> input;
    input.reserve(kHeader + apdu.size());
    AppendUlong(input, protocolMask);
    AppendUlong(input, kHeader);
    input.insert(input.end(), apdu.begin(), apdu.end());
    if (maxResponse > kMaxOutput) {
        Reply reply;
        reply.status = STATUS_INVALID_PARAMETER;
        return reply;
    }
    Reply reply = impl_->Send(IOCTL_SMARTCARD_TRANSMIT, input, kHeader + maxResponse);
    if (reply.data.size() >= kHeader) {
        reply.data.erase(reply.data.begin(), reply.data.begin() + kHeader);
    }
    return reply;
}

StateReply Reader::State() {
    Reply reply = impl_->Send(IOCTL_SMARTCARD_GET_STATE, {}, 4);
    StateReply state;
    state.status = reply.status;
    if (auto v = reply.Ulong()) {
        state.state = static_cast<CardState>(*v);
    } else if (reply.Ok()) {
        state.status = STATUS_DEVICE_DATA_ERROR;  // success without the four bytes
    }
    return state;
}

WaitReply Reader::WaitPresent(std::int64_t timeoutMs) { return WaitFor(true, timeoutMs); }

WaitReply Reader::WaitAbsent(std::int64_t timeoutMs) { return WaitFor(false, timeoutMs); }

WaitReply Reader::WaitFor(bool present, std::int64_t timeoutMs) {
    Impl& m = *impl_;
    WaitReply reply;
    Impl::Call call(m);
    if (!call) {
        reply.status = STATUS_INVALID_DEVICE_STATE;
        return reply;
    }
    Impl::Wait wait;
    {
        std::lock_guard lock(m.mu);
        if (m.phase != Impl::Phase::Open || m.cancelPending) {
            m.cancelPending = false;
            reply.status = STATUS_CANCELLED;
            return reply;
        }
        m.waits.push_back(&wait);
    }
    // The completion arrives on the host's delivery thread; the event lets this thread wait
    // for it on the kernel clock.
    auto done = std::make_shared<KEVENT>();
    KeInitializeEvent(done.get(), NotificationEvent, FALSE);
    auto request = m.shared->host.IoctlAsync(
        m.handle, present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, {}, 0,
        [done](khost::Request&) { KeSetEvent(done.get(), IO_NO_INCREMENT, FALSE); });
    bool cancelNow;
    {
        std::lock_guard lock(m.mu);
        wait.request = request;
        cancelNow = wait.cancelled;
    }
    if (cancelNow) request->Cancel();
    if (!request->Done()) {
        // Relative time in 100 ns units; a limit too large to count is no limit.
        const bool limited = timeoutMs >= 0 && timeoutMs <= kLongestWaitMs;
        LARGE_INTEGER limit;
        limit.QuadPart = -timeoutMs * kclock::kTicksPerMillisecond;
        NTSTATUS waited = KeWaitForSingleObject(done.get(), Executive, KernelMode, FALSE,
                                                limited ? &limit : nullptr);
        if (waited == STATUS_TIMEOUT) {
            reply.timedOut = true;
            request->Cancel();
        }
    }
    request->Wait();
    {
        std::lock_guard lock(m.mu);
        m.waits.remove(&wait);
    }
    reply.status = request->Status();
    // A card event that came just as the time ran out still counts.
    if (reply.status == STATUS_SUCCESS) reply.timedOut = false;
    return reply;
}

void Reader::CancelWaits() {
    Impl& m = *impl_;
    std::vector<std::shared_ptr<khost::Request>> parked;
    {
        std::lock_guard lock(m.mu);
        if (m.phase != Impl::Phase::Open) return;
        if (m.waits.empty()) m.cancelPending = true;
        for (Impl::Wait* w : m.waits) {
            w->cancelled = true;
            if (w->request) parked.push_back(w->request);
        }
    }
    for (auto& r : parked) r->Cancel();
}

int Reader::ParkedWaits() const {
    std::lock_guard lock(impl_->mu);
    return static_cast<int>(std::count_if(impl_->waits.begin(), impl_->waits.end(), [](auto* w) {
        return w->request && !w->request->Done();
    }));
}

Reply Reader::TerminalCommand(std::span<const std::uint8_t> command, std::size_t maxResponse) {
    return impl_->Send(IOCTL_TERMINAL_COMMAND, command, maxResponse);
}

Reply Reader::RawWrite(std::span<const std::uint8_t> frame) {
    return impl_->Send(IOCTL_READER_RAW_WRITE, frame, 0);
}

Reply Reader::RawRead(std::size_t length) { return impl_->Send(IOCTL_READER_RAW_READ, {}, length); }

Reply Reader::Ioctl(std::uint32_t code, std::span<const std::uint8_t> input,
                    std::size_t outLength) {
    return impl_->Send(code, input, outLength);
}

NtStatus Reader::Sleep() {
    Impl::Call call(*impl_);
    if (!call) return STATUS_INVALID_DEVICE_STATE;
    return impl_->shared->host.Sleep(impl_->pdo);
}

NtStatus Reader::Wake() {
    Impl::Call call(*impl_);
    if (!call) return STATUS_INVALID_DEVICE_STATE;
    return impl_->shared->host.Wake(impl_->pdo);
}

serial::SerialPort* Reader::Port() const {
    std::lock_guard lock(impl_->mu);
    return impl_->port.get();
}

sim::Reader* Reader::Emulator() const {
    std::lock_guard lock(impl_->mu);
    return impl_->emulator.get();
}

}  // namespace quor::client
