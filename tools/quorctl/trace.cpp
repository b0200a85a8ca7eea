#include "tools/quorctl/trace.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "client/reader.h"
#include "client/sim_line.h"
#include "platform/kernel/clock.h"
#include "platform/serial/port.h"
#include "sim/reader.h"
#include "tools/quorctl/hex.h"
#include "tools/quorctl/render.h"

namespace quorctl {

namespace {

const char* MajorName(UCHAR major) {
    switch (major) {
        case IRP_MJ_CREATE:
            return "CREATE";
        case IRP_MJ_CLOSE:
            return "CLOSE";
        case IRP_MJ_READ:
            return "READ";
        case IRP_MJ_WRITE:
            return "WRITE";
        case IRP_MJ_DEVICE_CONTROL:
            return "IOCTL";
        case IRP_MJ_CLEANUP:
            return "CLEANUP";
        case IRP_MJ_PNP:
            return "PNP";
        case IRP_MJ_POWER:
            return "POWER";
        default:
            return "OTHER";
    }
}

std::string Millis(std::int64_t microseconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%10.3f", static_cast<double>(microseconds) / 1000.0);
    return buf;
}

}  // namespace

Tracer::Tracer(quor::sim::Reader* emulator, std::ostream& log, std::mutex& logMu)
    : emulator_(emulator),
      log_(log),
      logMu_(logMu),
      simStart_(quor::client::SimLine::SimNow()),
      clockStart_(kclock::Now()) {}

Tracer::~Tracer() { Stop(); }

void Tracer::SetPort(quor::serial::SerialPort* port) {
    std::lock_guard lock(mu_);
    port_ = port;
    requestsSeen_ = 0;
    if (port_ != nullptr) port_->SetRecording(true);  // records are kept for the trace only
}

void Tracer::Start() {
    thread_ = std::thread([this] {
        while (!stop_) {
            Flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

void Tracer::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void Tracer::Flush() {
    std::lock_guard lock(mu_);
    std::vector<std::pair<std::int64_t, std::string>> out;  // by time in microseconds
    // The records are rings: entries are told apart by their numbers, and frames and requests
    // that fell out before this call are counted as dropped.
    std::uint64_t dropped = 0;
    const auto take = [&dropped](std::uint64_t& seen, std::uint64_t number, bool counted) {
        if (number < seen) return false;
        if (counted) dropped += number - seen;
        seen = number + 1;
        return true;
    };
    if (emulator_) {
        for (const auto& f : emulator_->Frames()) {
            if (!take(framesSeen_, f.number, true)) continue;
            std::vector<std::uint8_t> data(f.data.begin(), f.data.end());
            out.emplace_back(f.time - simStart_, "[" + Millis(f.time - simStart_) +
                                                     " ms] frame host->reader code " +
                                                     Hex2(f.code) + " data [" + ToHex(data) + "]" +
                                                     (f.checksumOk ? "" : " bad checksum") +
                                                     (f.swallowed ? " ignored" : ""));
            if (!f.reply.empty()) {
                out.emplace_back(f.replyTime - simStart_, "[" + Millis(f.replyTime - simStart_) +
                                                              " ms] frame reader->host " +
                                                              ToHex(f.reply));
            }
        }
        for (const auto& w : emulator_->WireLog()) {
            if (!take(wireSeen_, w.number, false)) continue;
            if (w.kind == quor::sim::WireEntry::Kind::kControlLines) {
                out.emplace_back(w.time - simStart_, "[" + Millis(w.time - simStart_) +
                                                         " ms] lines DTR=" + (w.dtr ? "1" : "0") +
                                                         " RTS=" + (w.rts ? "1" : "0"));
            } else if (w.kind == quor::sim::WireEntry::Kind::kPurge) {
                out.emplace_back(w.time - simStart_, "[" + Millis(w.time - simStart_) +
                                                         " ms] purge, dropped [" + ToHex(w.bytes) +
                                                         "]");
            }
        }
    }
    if (port_) {
        for (const auto& q : port_->Requests()) {
            if (q.number < requestsSeen_) continue;
            if (q.status == STATUS_PENDING) break;  // reported once it completes
            take(requestsSeen_, q.number, true);
            std::string line =
                "[" + Millis((q.time - clockStart_) / 10) + " ms] serial " + MajorName(q.major);
            if (q.ioctl) line += " " + Hex8(q.ioctl);
            if (q.major == IRP_MJ_READ) line += " len " + std::to_string(q.length);
            if (!q.input.empty()) line += " in [" + ToHex(q.input) + "]";
            if (!q.output.empty()) line += " out [" + ToHex(q.output) + "]";
            line += std::string(" -> ") + quor::client::StatusName(q.status);
            if (q.pended) line += " (pended)";
            out.emplace_back((q.time - clockStart_) / 10, line);
        }
    }
    if (out.empty()) return;
    std::stable_sort(out.begin(), out.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::lock_guard logLock(logMu_);
    if (dropped > 0) log_ << "trace " << dropped << " older frames and requests dropped\n";
    for (const auto& l : out) log_ << "trace " << l.second << '\n';
    log_.flush();
}

}  // namespace quorctl
