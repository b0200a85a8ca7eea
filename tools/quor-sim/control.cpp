#include "tools/quor-sim/control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

namespace quor::simtool {
namespace {

constexpr std::size_t kMaxLine = 4096;  // a longer line is cut off and answered as bad

bool Address(const std::string& path, sockaddr_un* a, std::string* why) {
    *a = {};
    a->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(a->sun_path)) {
        *why = "control socket path '" + path + "' is empty or too long";
        return false;
    }
    std::memcpy(a->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A connected socket to `path`, or -1 with errno set.
int Connect(const std::string& path) {
    sockaddr_un a;
    std::string why;
    if (!Address(path, &a, &why)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string DefaultControlPath() {
    if (const char* p = std::getenv("QUOR_SIM_CONTROL"); p != nullptr && *p != '\0') return p;
    if (const char* d = std::getenv("XDG_RUNTIME_DIR"); d != nullptr && *d != '\0') {
        return std::string(d) + "/quor-sim.sock";
    }
    return "/tmp/quor-sim-" + std::to_string(::getuid()) + ".sock";
}

ControlServer::~ControlServer() {
    for (auto& c : clients_) ::close(c.fd);
    if (listen_ >= 0) {
        ::close(listen_);
        ::unlink(path_.c_str());
    }
}

bool ControlServer::Listen(const std::string& path, std::string* why) {
    sockaddr_un a;
    if (!Address(path, &a, why)) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *why = "control socket " + path + " exists and is not a socket";
            return false;
        }
        const int other = Connect(path);
        if (other >= 0) {
            ::close(other);
            *why = "another quor-sim answers on control socket " + path;
            return false;
        }
        ::unlink(path.c_str());  // left behind by a quor-sim that did not end cleanly
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        ::listen(fd, 8) != 0) {
        *why = "control socket " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::chmod(path.c_str(), 0600);  // the emulator's user only
    listen_ = fd;
    path_ = path;
    return true;
}

std::vector<int> ControlServer::Fds() const {
    std::vector<int> fds;
    if (listen_ < 0) return fds;
    fds.push_back(listen_);
    for (const auto& c : clients_) fds.push_back(c.fd);
    return fds;
}

void ControlServer::Drop(std::size_t i) {
    ::close(clients_[i].fd);
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
}

bool ControlServer::Serve(int fd, const Command& command) {
    if (fd == listen_) {
        const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c >= 0) clients_.push_back({c, {}});
        return true;
    }
    std::size_t i = 0;
    while (i < clients_.size() && clients_[i].fd != fd) ++i;
    if (i == clients_.size()) return true;
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    const auto reply = [fd](const std::string& s) { SendAll(fd, s + "\n"); };
    if (n > 0) {
        std::string& in = clients_[i].in;
        in.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = in.find('\n')) != std::string::npos) {
            const std::string line = in.substr(0, nl);
            in.erase(0, nl + 1);
            if (!command(line, reply)) return false;
        }
        if (in.size() > kMaxLine) {
            in.clear();
            reply("error: line longer than " + std::to_string(kMaxLine) + " bytes");
        }
        return true;
    }
    // The client closed its side: answer an unterminated last line, then end the connection.
    const std::string rest = clients_[i].in;
    const bool go = rest.empty() || command(rest, reply);
    Drop(i);
    return go;
}

int RunCtl(int argc, char** argv) {
    CLI::App app{
        "Sends a command to a running quor-sim through its control socket and prints the "
        "answer; without a command, sends each line of standard input. Commands: insert "
        "[t0|t1|dual|memory], remove, key KEYS, display, silent on|off, status, path, help, quit; "
        "with several readers, a number first picks the reader (\"2 insert t0\").",
        "quor-sim ctl"};
    std::string path = DefaultControlPath();
    std::vector<std::string> words;
    app.add_option("--control", path, "Control socket of the quor-sim (default " + path + ")");
    app.add_option("command", words, "The command and its arguments");
    CLI11_PARSE(app, argc, argv);

    // quor-sim may still be starting (a script that just put it in the background): wait for
    // its socket a few seconds.
    int fd = -1;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        fd = Connect(path);
        if (fd >= 0 || (errno != ENOENT && errno != ECONNREFUSED) ||
            std::chrono::steady_clock::now() >= until) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (fd < 0) {
        std::cerr << "quor-sim ctl: no quor-sim answers on " << path << ": " << std::strerror(errno)
                  << " (start one with quor-sim --pty, or give its --control PATH)\n";
        return 1;
    }

    bool stdinOpen = words.empty();
    if (!words.empty()) {
        std::string line;
        for (const auto& w : words) line += (line.empty() ? "" : " ") + w;
        SendAll(fd, line + "\n");
        ::shutdown(fd, SHUT_WR);
    }
    std::string in, answer;
    bool bad = false;
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents != 0) {
            char buf[1024];
            const ssize_t n = ::read(0, buf, sizeof(buf));
            if (n > 0) {
                SendAll(fd, std::string(buf, static_cast<std::size_t>(n)));
            } else if (n == 0 || errno != EINTR) {
                stdinOpen = false;
                ::shutdown(fd, SHUT_WR);
            }
        }
        if (p[0].revents != 0) {
            char buf[1024];
            const ssize_t n = ::read(fd, buf, sizeof(buf));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            answer.append(buf, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = answer.find('\n')) != std::string::npos) {
                const std::string line = answer.substr(0, nl);
                answer.erase(0, nl + 1);
                if (line.rfind("error:", 0) == 0) bad = true;
                std::cout << line << std::endl;
            }
        }
    }
    ::close(fd);
    if (!answer.empty()) std::cout << answer << std::endl;
    return bad ? 1 : 0;
}

}  // namespace quor::simtool
