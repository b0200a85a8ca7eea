// Child processes for the end-to-end tests: a program started with its standard input,
// output and error on pipes, read line by line with time limits.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace quor::e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A child process with its standard input, output and error on pipes.
class Process {
  public:
    explicit Process(std::vector<std::string> args) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        ::fcntl(err_, F_SETFL, O_NONBLOCK);
    }
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {in_, out_, err_}) {
            if (fd >= 0) ::close(fd);
        }
    }

    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    void Signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }

    void Send(const std::string& line) {
        std::string l = line + "\n";
        ASSERT_EQ(::write(in_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }

    std::optional<std::string> Line(milliseconds limit = milliseconds(20000)) {
        const auto end = Clock::now() + limit;
        for (;;) {
            DrainErr();
            if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
                std::string line = buffered_.substr(0, nl);
                buffered_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100))) <= 0) continue;
            char buf[512];
            const ssize_t n = ::read(out_, buf, sizeof(buf));
            if (n <= 0) return std::nullopt;
            buffered_.append(buf, static_cast<std::size_t>(n));
        }
    }

    // Waits for the process to end; its exit status, or -1.
    int Exit(milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (pid_ > 0 && Clock::now() < end) {
            DrainErr();
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        return -1;
    }

    const std::string& Err() {
        DrainErr();
        return errText_;
    }

  private:
    void DrainErr() {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(err_, buf, sizeof(buf))) > 0) errText_.append(buf, n);
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string buffered_;
    std::string errText_;
};

}  // namespace quor::e2e
