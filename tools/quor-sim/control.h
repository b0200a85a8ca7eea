// quor-sim's control socket: a Unix-domain socket beside the pseudo-terminals through which a
// second terminal sends the same commands as quor-sim's standard input ("quor-sim ctl insert
// t0"), so that quor-sim can run in the background.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quor::simtool {

// The socket used when none is given: $QUOR_SIM_CONTROL, else quor-sim.sock in
// $XDG_RUNTIME_DIR, else /tmp/quor-sim-<uid>.sock.
std::string DefaultControlPath();

// The listening side, served from quor-sim's poll loop. Each connection sends command lines
// and gets each line's answer; the connection ends when the client closes its side.
class ControlServer {
  public:
    ControlServer() = default;
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens on `path`. A socket file nobody answers on is replaced; one that another
    // process answers on is left alone and the call fails. On failure, `why` says what went
    // wrong.
    bool Listen(const std::string& path, std::string* why);
    const std::string& Path() const { return path_; }

    // The descriptors to poll for input: the listening socket, then every connection.
    std::vector<int> Fds() const;

    // Handles input on `fd` (one of Fds()): accepts a connection, or reads lines and passes
    // each to `command`, which answers through the function it is given. Returns false when
    // a command asked quor-sim to end.
    using Reply = std::function<void(const std::string&)>;
    using Command = std::function<bool(const std::string& line, const Reply& reply)>;
    bool Serve(int fd, const Command& command);

  private:
    struct Client {
        int fd;
        std::string in;
    };
    void Drop(std::size_t i);

    std::string path_;
    int listen_ = -1;
    std::vector<Client> clients_;
};

// `quor-sim ctl [--control PATH] [COMMAND...]`: sends one command (or, without one, each line
// of standard input) to a running quor-sim and prints the answers. Exit status 0 when every
// answer was good, 1 when one was an error or no quor-sim answers, 2 on a usage error.
int RunCtl(int argc, char** argv);

}  // namespace quor::simtool
