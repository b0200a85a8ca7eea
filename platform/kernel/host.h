// A small host that plays the Plug and Play manager, the power manager and the I/O manager for
// a driver: it loads the driver, adds devices over lower (physical) devices, sends them Plug and
// Play and power requests in the order those managers do, opens and closes handles, and sends
// device-control requests synchronously or asynchronously. Completions reach the caller through
// the host (a wait, or a callback on the host's own delivery thread), never from inside the
// driver's locks.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/wdm.h"

namespace khost {

using DriverEntryFn = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

class Host;

// One device-control request sent through the host.
class Request {
  public:
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    bool Done() const;
    // Waits for completion; with a time-out in real milliseconds (< 0: no limit). True if done.
    bool Wait(int milliseconds = -1);
    // Asks the driver to cancel the request (IoCancelIrp); harmless once completed.
    void Cancel();
    NTSTATUS Status() const;
    ULONG_PTR Information() const;
    // The bytes the request returned (Information bytes of the output buffer).
    std::vector<UCHAR> Output() const;
    // Number of times the request was completed (1 once done; more would be a driver fault).
    int Completions() const;

    // Made by the host only (the token is the host's to give).
    class Token {
        friend class Host;
        Token() = default;
    };
    explicit Request(Token) {}

  private:
    friend class Host;
    static void OnIoComplete(PIRP irp, PVOID context);
    // The output, moved out once the request is done (for the synchronous Ioctl).
    void TakeOutput(std::vector<UCHAR>* output);
    // The bytes of the output that count: none after an error. With mu_ held.
    ULONG_PTR OutputLengthLocked() const;

    Host* host_ = nullptr;
    PIRP irp_ = nullptr;
    std::vector<UCHAR> output_;
    KEVENT event_{};
    IO_STATUS_BLOCK iosb_{};
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
    int completions_ = 0;
    int cancelling_ = 0;  // Cancel() calls under way
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    std::function<void(Request&)> callback_;
    struct HandleState* handle_ = nullptr;
};

// An open handle of the device (a file object).
struct HandleState;
using Handle = HandleState*;

class Host {
  public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    PDRIVER_OBJECT LoadDriver(const char* name, DriverEntryFn entry);
    void UnloadDriver(PDRIVER_OBJECT driver);

    // ---- Plug and Play (one operation at a time) ----
    // Calls the driver's AddDevice for the physical device; the new device is returned in *fdo.
    NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT* fdo);
    NTSTATUS Start(PDEVICE_OBJECT pdo);
    // Query-stop, then stop; a refused query is followed by a cancel-stop and returned.
    NTSTATUS Stop(PDEVICE_OBJECT pdo);
    // Query-remove, then remove; a refused query is followed by a cancel-remove and returned.
    NTSTATUS Remove(PDEVICE_OBJECT pdo);
    // Surprise removal; the remove follows at once when no handle is open, else after the
    // last close.
    NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);
    // Sends one Plug and Play request as it is (for tests of single steps).
    NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor);

    // ---- power ----
    // Query for the sleeping state, then set it; a refused query is followed by a set-power
    // to working, and its status returned.
    NTSTATUS Sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state = PowerSystemSleeping3);
    NTSTATUS Wake(PDEVICE_OBJECT pdo);
    NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state);

    // ---- handles and requests ----
    // STATUS_NO_SUCH_DEVICE while the device's interface is not enabled.
    NTSTATUS Open(PDEVICE_OBJECT pdo, Handle* handle, const char* path = "");
    // Waits for the handle's requests to finish, then sends cleanup and close.
    NTSTATUS Close(Handle handle);
    NTSTATUS Ioctl(Handle handle, ULONG code, std::span<const UCHAR> input, ULONG outputLength,
                   std::vector<UCHAR>* output = nullptr, ULONG_PTR* information = nullptr);
    std::shared_ptr<Request> IoctlAsync(Handle handle, ULONG code, std::span<const UCHAR> input,
                                        ULONG outputLength,
                                        std::function<void(Request&)> callback = nullptr);
    // Sends a request of another kind (cleanup, system control...) on the handle.
    NTSTATUS SendFileRequest(Handle handle, UCHAR major);

    PDEVICE_OBJECT TopOf(PDEVICE_OBJECT pdo);
    bool Removed(PDEVICE_OBJECT pdo) const;

  private:
    friend class Request;
    struct DeviceState {
        PDEVICE_OBJECT fdo = nullptr;
        bool surpriseRemoved = false;
        bool removed = false;
        int openHandles = 0;
    };

    NTSTATUS SendSync(PDEVICE_OBJECT top, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb);
    NTSTATUS RemoveLocked(PDEVICE_OBJECT pdo);
    void Deliver(std::shared_ptr<Request> request);
    void DeliveryThread();
    void Forget(Request* request);

    std::mutex pnpLock_;  // one Plug and Play operation at a time
    mutable std::mutex mu_;
    std::map<PDEVICE_OBJECT, DeviceState> devices_;  // by physical device
    std::vector<PDRIVER_OBJECT> drivers_;
    std::vector<std::shared_ptr<Request>> inFlight_;
    std::deque<std::shared_ptr<Request>> deliveries_;
    std::condition_variable deliveryCv_;
    bool stopping_ = false;
    std::thread delivery_;
};

}  // namespace khost
