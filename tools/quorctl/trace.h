// quorctl's trace: the frames the emulated reader saw and answered, and every request the
// serial port under the driver served, merged by time and written as "trace" lines.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <thread>

namespace quor::serial {
class SerialPort;
}
namespace quor::sim {
class Reader;
}

namespace quorctl {

class Tracer {
  public:
    // `emulator` may be null (a real port); `log` is written under `logMu`.
    Tracer(quor::sim::Reader* emulator, std::ostream& log, std::mutex& logMu);
    ~Tracer();  // stops the background flushing
    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

    // The port whose requests to show, from its creation on.
    void SetPort(quor::serial::SerialPort* port);
    // Flushes every 20 ms from a thread of its own until Stop.
    void Start();
    void Stop();
    // Writes the lines for what happened since the last call.
    void Flush();

  private:
    quor::sim::Reader* emulator_;
    std::ostream& log_;
    std::mutex& logMu_;

    std::mutex mu_;
    quor::serial::SerialPort* port_ = nullptr;
    std::int64_t simStart_ = 0;    // emulator time at the start, microseconds
    std::int64_t clockStart_ = 0;  // kernel clock at the start, 100 ns units
    std::uint64_t framesSeen_ = 0;  // numbers of the next records to report
    std::uint64_t wireSeen_ = 0;
    std::uint64_t requestsSeen_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace quorctl
