// The byte line under the serial port: a tty, or an in-process line to the reader emulator.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <span>

#include "platform/kernel/clock.h"
#include "platform/kernel/ntddser.h"

namespace quor::serial {

// Line settings as the serial requests leave them.
struct LineSettings {
    ULONG BaudRate = 9600;
    SERIAL_LINE_CONTROL LineControl{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS Chars{};
    SERIAL_HANDFLOW HandFlow{};
    bool Dtr = false;
    bool Rts = false;
    bool Break = false;
};

// Calls a line's notify function without holding a lock; Set returns only once no call of the
// function it replaces is still running, so the port can go away right after
// SetNotify(nullptr). Lines share it with the threads that notify.
class LineNotifier {
  public:
    void Set(std::function<void()> fn) {
        auto next = fn ? std::make_shared<const std::function<void()>>(std::move(fn)) : nullptr;
        std::unique_lock<std::mutex> lock(mu_);
        fn_ = std::move(next);
        idle_.wait(lock, [this] { return running_ == 0; });
    }

    void Call() {
        // A share of the function, not a copy: a call costs no allocation.
        std::shared_ptr<const std::function<void()>> fn;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!fn_) return;
            fn = fn_;
            ++running_;
        }
        (*fn)();
        fn.reset();  // let go before Set can see the call over
        std::lock_guard<std::mutex> lock(mu_);
        if (--running_ == 0) idle_.notify_all();
    }

  private:
    std::mutex mu_;
    std::condition_variable idle_;
    std::shared_ptr<const std::function<void()>> fn_;
    int running_ = 0;
};

class ByteLine {
  public:
    virtual ~ByteLine() = default;

    // The line calls `notify` (from any thread, without locks of its own held) whenever bytes
    // may have arrived or something changed. Set once by the port before any other call.
    virtual void SetNotify(std::function<void()> notify) = 0;

    // Claims the line for the port (an exclusive open); STATUS_SUCCESS or a failure such as
    // STATUS_ACCESS_DENIED when it is in use.
    virtual NTSTATUS Open() = 0;
    virtual void Close() = 0;

    // Writes bytes; a failure status when the line is gone or stalled past its limit.
    virtual NTSTATUS Write(std::span<const UCHAR> bytes) = 0;
    // Bytes that can be read now.
    virtual std::size_t Available() = 0;
    // Takes up to out.size() of the bytes that can be read now; returns the count.
    virtual std::size_t Read(std::span<UCHAR> out) = 0;
    // Clock time at which more bytes are due (kclock::kInfinite when unknown; the line then
    // notifies when they come).
    virtual kclock::Ticks NextArrival() = 0;
    // Clock time by which `count` bytes (counting those that can be read now) will be there to
    // read, when the line knows; otherwise the time of the next change it knows of
    // (NextArrival), or kclock::kInfinite. With `gap` > 0 the answer comes no later than the
    // last byte before a silence longer than `gap` between two bytes still under way. Lets a
    // reader sleep until its bytes are all in instead of waking for each one, and still see
    // an interval time-out on time.
    virtual kclock::Ticks ReadableAt(std::size_t count, kclock::Ticks gap) {
        (void)count;
        (void)gap;
        return NextArrival();
    }
    // Empties the receive queue (SERIAL_PURGE_RXCLEAR) and the transmit queue.
    virtual void Purge(ULONG mask) = 0;
    // Puts settings into force; a failure status when the line is gone.
    virtual NTSTATUS Apply(const LineSettings& settings) = 0;
    // A failure status once the line is gone for good (a USB adapter unplugged), else success.
    virtual NTSTATUS Health() { return STATUS_SUCCESS; }
};

}  // namespace quor::serial
