// quorctl's command line: options, commands, the shell and the guided tour.
#pragma once

#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tools/quorctl/render.h"
#include "tools/quorctl/session.h"

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

// One line of `quorctl shell` as understood before anything runs.
struct ShellLine {
    enum Kind { kNothing, kCommand, kHelp, kQuit, kUsage };
    Kind kind = kNothing;  // kNothing: empty, blank or a # comment
    Command command;       // kCommand (kHelp and kQuit carry their name only)
    Result usage;          // kUsage: the usage error, ready to print
    // The shell's commands with what each does (empty for a comment or an unclosed quote).
    std::vector<std::pair<std::string, std::string>> commands;
};

// Reads shell lines as commands. The command parser is built once and serves every line.
class ShellParser {
  public:
    ShellParser();
    ~ShellParser();
    ShellParser(const ShellParser&) = delete;
    ShellParser& operator=(const ShellParser&) = delete;

    // Parses one shell line: splits it into words and reads them as a command. Any bytes are
    // accepted; what makes no sense comes back as a usage error, never as an exception. The
    // command list is filled in for help and usage errors only. The answer is the parser's
    // own and holds until the next line: lines reuse its room.
    const ShellLine& Parse(const std::string& line);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One line parsed by a parser of its own.
ShellLine ParseShellLine(const std::string& line);

// Reads shell lines from `in` until "quit" or the end and answers each non-empty line with
// one line on `out` (JSON with `json`). Returns the worst exit status of the lines.
int Shell(Session& session, bool json, bool interactive, std::istream& in, std::ostream& out,
          std::ostream& err);

// Splits a shell line into words; double quotes group words. False for an unclosed quote.
bool SplitLine(const std::string& line, std::vector<std::string>* words);

}  // namespace quorctl
