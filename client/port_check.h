// What stands in the way of a serial device, said the way a user can act on it: the path, the
// system's reason, and a hint where one helps.
#pragma once

#include <string>

namespace quor::client {

enum class PathProblem { None, Missing, NotATerminal, Denied, InUse, Other };

struct PathCheck {
    PathProblem problem = PathProblem::None;
    // One sentence, for example "/dev/ttyS9: No such file or directory" or "/dev/ttyS0:
    // Permission denied (add your user to the 'dialout' group, ...)"; empty when usable.
    std::string message;
};

// Checks the path as the serial line will open it (read and write, no controlling terminal,
// an exclusive lock).
PathCheck CheckTtyPath(const std::string& path);

// Processes other than this one that hold `path` open, as "1234 (quor-sim)" items joined by
// ", "; empty when none can be seen (other users' processes are visible only to root).
std::string HoldersOf(const std::string& path);

}  // namespace quor::client
