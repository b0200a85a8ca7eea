// quorctl's command line: options, commands, the shell and the guided tour.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace quorctl {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitDriverError = 1;    // the driver answered something other than success
constexpr int kExitUsage = 2;          // bad command line, bad hex, unknown command
constexpr int kExitInterrupted = 130;  // interrupted (Ctrl-C), as shells count SIGINT

// Runs quorctl with the given arguments (without the program name). `interactive`: standard
// input is a terminal (the shell then prompts and explains its commands).
int RunCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
           std::ostream& err, bool interactive = false);

// Splits a shell line into words; double quotes group words. False for an unclosed quote.
bool SplitLine(const std::string& line, std::vector<std::string>* words);

}  // namespace quorctl
