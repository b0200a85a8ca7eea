// The handler's log. Inside pcscd it goes through the daemon's own logging (its `log_msg`), so
// `pcscd --foreground --debug` shows it beside the daemon's lines, filtered by the daemon's
// level options. Outside pcscd (tests, other hosts) it goes to standard error, and only when
// QUOR_IFD_LOG is set.
//
// QUOR_IFD_LOG chooses what the handler says at all:
//   none     nothing
//   error    failures
//   info     failures, and opening, closing, power and protocol changes, card events
//   debug    the above and every request with its status and time (the default)
//   trace    the above and the bytes of APDUs, answers and terminal commands
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quor::pcsc {

enum class LogLevel { None = 0, Error = 1, Info = 2, Debug = 3, Trace = 4 };

// The level QUOR_IFD_LOG asks for (read once).
LogLevel ConfiguredLogLevel();
// Whether a message of this level is said at all.
bool Logs(LogLevel level);

void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

std::string HexBytes(std::span<const std::uint8_t> bytes);

}  // namespace quor::pcsc
