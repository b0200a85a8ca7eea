#include "client/port_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace quor::client {

namespace {

std::string Reason(int err) { return std::strerror(err); }

// The target of a /proc symlink, empty when it cannot be read.
std::string LinkTarget(const std::string& link) {
    char buf[4096];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string CommandName(const std::string& pid) {
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

std::string HoldersOf(const std::string& path) {
    char resolved[PATH_MAX];
    const std::string target = ::realpath(path.c_str(), resolved) ? resolved : path;
    const std::string self = std::to_string(::getpid());
    std::string holders;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return holders;
    while (dirent* e = ::readdir(proc)) {
        const std::string pid = e->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (pid == self) continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (fds == nullptr) continue;
        bool holds = false;
        while (dirent* f = ::readdir(fds)) {
            if (f->d_name[0] == '.') continue;
            if (LinkTarget(fdDir + "/" + f->d_name) == target) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (!holds) continue;
        if (!holders.empty()) holders += ", ";
        holders += pid + " (" + CommandName(pid) + ")";
    }
    ::closedir(proc);
    return holders;
}

PathCheck CheckTtyPath(const std::string& path) {
    const std::string notATerminal =
        path +
        ": not a terminal (a serial port is a character device such as /dev/ttyS0 or "
        "/dev/ttyUSB0)";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        if (err != ENOENT) return {PathProblem::Other, path + ": " + Reason(err)};
        return {PathProblem::Missing, path + ": " + Reason(err) +
                                          " (is the reader or its USB serial adapter plugged in?)"};
    }
    if (S_ISDIR(st.st_mode)) return {PathProblem::NotATerminal, path + ": " + Reason(EISDIR)};
    if (!S_ISCHR(st.st_mode)) return {PathProblem::NotATerminal, notATerminal};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        const std::string s = path + ": " + Reason(err);
        if (err == EACCES || err == EPERM) {
            return {PathProblem::Denied, s + " (add your user to the 'dialout' group: sudo "
                                             "usermod -aG dialout $USER, then log in again)"};
        }
        if (err == EBUSY) {
            const std::string holders = HoldersOf(path);
            return {PathProblem::InUse, s + (holders.empty() ? " (another program has it open)"
                                                             : " (held by " + holders + ")")};
        }
        return {err == ENXIO || err == ENODEV ? PathProblem::Missing : PathProblem::Other, s};
    }
    PathCheck check;
    if (!::isatty(fd)) {
        check = {PathProblem::NotATerminal, notATerminal};
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const std::string holders = HoldersOf(path);
        check = {PathProblem::InUse,
                 path + ": in use by " + (holders.empty() ? "another program" : holders)};
    }
    ::close(fd);
    return check;
}

}  // namespace quor::client
