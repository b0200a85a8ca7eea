#include "pcsc/log.h"

#include <debuglog.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quor::pcsc {

namespace {

using LogMsg = void (*)(int priority, const char* format, ...);

LogLevel ParseLevel(const char* text, bool* given) {
    *given = text != nullptr && *text != '\0';
    if (!*given) return LogLevel::Debug;
    if (std::strcmp(text, "none") == 0 || std::strcmp(text, "0") == 0) return LogLevel::None;
    if (std::strcmp(text, "error") == 0) return LogLevel::Error;
    if (std::strcmp(text, "info") == 0) return LogLevel::Info;
    if (std::strcmp(text, "trace") == 0) return LogLevel::Trace;
    return LogLevel::Debug;
}

struct Sink {
    LogLevel level = LogLevel::Debug;
    LogMsg daemon = nullptr;  // pcscd's log_msg, when the handler runs inside pcscd
    bool toStderr = false;
};

const Sink& TheSink() {
    static const Sink sink = [] {
        Sink s;
        bool given = false;
        s.level = ParseLevel(std::getenv("QUOR_IFD_LOG"), &given);
        s.daemon = reinterpret_cast<LogMsg>(dlsym(RTLD_DEFAULT, "log_msg"));
        s.toStderr = s.daemon == nullptr && given;
        return s;
    }();
    return sink;
}

int Priority(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return PCSC_LOG_ERROR;
        case LogLevel::Info:
            return PCSC_LOG_INFO;
        default:
            return PCSC_LOG_DEBUG;
    }
}

}  // namespace

LogLevel ConfiguredLogLevel() { return TheSink().level; }

bool Logs(LogLevel level) {
    const Sink& s = TheSink();
    return level <= s.level && (s.daemon != nullptr || s.toStderr);
}

void Log(LogLevel level, const char* format, ...) {
    if (!Logs(level)) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const Sink& s = TheSink();
    if (s.daemon != nullptr) {
        s.daemon(Priority(level), "quor: %s", text);
    } else {
        std::fprintf(stderr, "quor-ifd: %s\n", text);
    }
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

}  // namespace quor::pcsc
