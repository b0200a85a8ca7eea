// The README's emulator recipe, run as it stands: two interactive shells on pseudo-terminals
// with job control, quor-sim put in the background of the first, quorctl's shell in its
// foreground, and quor-sim's control commands typed in the second. Every command line of the
// recipe is typed, and every output line it shows must appear ("..." stands for any text).
#include <pty.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/process.h"

namespace {

using quor::e2e::Clock;
using std::chrono::milliseconds;

struct Step {
    int terminal;      // 1 or 2
    bool typed;        // a command line (after "$ " or "quor> "), else an output line
    std::string text;  // the command, or the output pattern
};

// The steps between the recipe markers: prose lines that name "terminal 1" or "terminal 2"
// switch terminals; code lines (indented four spaces) are commands or output.
std::vector<Step> ParseRecipe(const std::string& readme) {
    std::vector<Step> steps;
    std::istringstream in(readme);
    std::string line;
    bool inside = false;
    int terminal = 1;
    while (std::getline(in, line)) {
        if (line.find("<!-- recipe begin") != std::string::npos) inside = true;
        if (line.find("<!-- recipe end") != std::string::npos) break;
        if (!inside || line.empty()) continue;
        if (line.rfind("    ", 0) != 0) {
            std::string lower;
            for (char c : line) lower += static_cast<char>(std::tolower(c));
            if (lower.find("terminal 1") != std::string::npos) terminal = 1;
            if (lower.find("terminal 2") != std::string::npos) terminal = 2;
            continue;
        }
        const std::string code = line.substr(4);
        bool typed = false;
        for (const char* prompt : {"$ ", "quor> "}) {
            if (code.rfind(prompt, 0) == 0) {
                steps.push_back({terminal, true, code.substr(std::strlen(prompt))});
                typed = true;
                break;
            }
        }
        if (!typed) steps.push_back({terminal, false, code});
    }
    return steps;
}

// Whether `line` holds `pattern`, where "..." in the pattern stands for any text.
bool Matches(const std::string& line, const std::string& pattern) {
    std::size_t at = 0, from = 0;
    for (;;) {
        const std::size_t dots = pattern.find("...", from);
        const std::string part =
            pattern.substr(from, dots == std::string::npos ? dots : dots - from);
        const std::size_t found = line.find(part, at);
        if (found == std::string::npos) return false;
        at = found + part.size();
        if (dots == std::string::npos) return true;
        from = dots + 3;
    }
}

// An interactive bash on a pseudo-terminal, as a person's terminal window.
class Terminal {
  public:
    Terminal(const std::string& dir, const std::vector<std::string>& env) {
        pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            if (::chdir(dir.c_str()) != 0) ::_exit(127);
            std::vector<char*> envp;
            for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
            envp.push_back(nullptr);
            const char* argv[] = {"/bin/bash",   "--norc", "--noprofile",
                                  "--noediting", "-i",     nullptr};
            ::execve(argv[0], const_cast<char**>(argv), envp.data());
            ::_exit(127);
        }
    }
    ~Terminal() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGHUP);  // the whole session, background jobs included
            ::kill(pid_, SIGHUP);
            ::close(master_);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool Running() const { return pid_ > 0; }
    void Type(const std::string& line) {
        Pump(milliseconds(0));
        typedAt_ = text_.size();
        const std::string l = line + "\n";
        ASSERT_EQ(::write(master_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    // Waits for `prompt` to appear after the last typed line.
    bool Prompt(const std::string& prompt, milliseconds limit) {
        return WaitFor([&] { return text_.find(prompt, typedAt_) != std::string::npos; }, limit);
    }
    // Waits for a line after the cursor that holds `pattern`; moves the cursor past it.
    bool Expect(const std::string& pattern, milliseconds limit) {
        return WaitFor(
            [&] {
                std::size_t start = cursor_;
                for (;;) {
                    const std::size_t nl = text_.find('\n', start);
                    const std::string line = text_.substr(start, nl - start);
                    if (Matches(line, pattern)) {
                        cursor_ = nl == std::string::npos ? text_.size() : nl + 1;
                        return true;
                    }
                    if (nl == std::string::npos) return false;
                    start = nl + 1;
                }
            },
            limit);
    }
    const std::string& Text() const { return text_; }

  private:
    template <typename Done>
    bool WaitFor(Done done, milliseconds limit) {
        const auto end = Clock::now() + limit;
        for (;;) {
            if (done()) return true;
            if (Clock::now() >= end) return false;
            Pump(milliseconds(50));
        }
    }
    void Pump(milliseconds wait) {
        pollfd p{master_, POLLIN, 0};
        while (::poll(&p, 1, static_cast<int>(wait.count())) > 0) {
            char buf[4096];
            const ssize_t n = ::read(master_, buf, sizeof(buf));
            if (n <= 0) return;
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\r') text_ += buf[i];
            }
            wait = milliseconds(0);
        }
    }

    pid_t pid_ = -1;
    int master_ = -1;
    std::string text_;
    std::size_t typedAt_ = 0;
    std::size_t cursor_ = 0;
};

TEST(ReadmeRecipe, RunsAsWritten) {
    std::ifstream file(QUOR_SOURCE_DIR "/README.md");
    std::stringstream readme;
    readme << file.rdbuf();
    const auto steps = ParseRecipe(readme.str());
    ASSERT_GE(steps.size(), 10u) << "no recipe between <!-- recipe begin --> and <!-- recipe end";

    // The recipe's PATH names the default build; this test runs the build it belongs to. A
    // private runtime folder gives this run a control socket of its own.
    const std::string tools = std::filesystem::path(QUOR_SIM_BINARY).parent_path().parent_path();
    const std::string runtime = ::testing::TempDir() + "quor-readme-" + std::to_string(::getpid());
    std::filesystem::create_directories(runtime);
    const std::vector<std::string> env = {
        "PATH=/usr/bin:/bin",         "HOME=" + runtime, "TERM=dumb", "PS1=$ ",
        "XDG_RUNTIME_DIR=" + runtime, "LANG=C"};
    Terminal terms[2] = {Terminal(QUOR_SOURCE_DIR, env), Terminal(QUOR_SOURCE_DIR, env)};
    ASSERT_TRUE(terms[0].Running() && terms[1].Running());

    bool inShell = false;  // terminal 1 runs quorctl's shell
    for (const Step& step : steps) {
        Terminal& t = terms[step.terminal - 1];
        SCOPED_TRACE("terminal " + std::to_string(step.terminal) + ": " + step.text);
        if (!step.typed) {
            ASSERT_TRUE(t.Expect(step.text, milliseconds(30000)))
                << "missing output; terminal 1 shows:\n"
                << terms[0].Text() << "\nterminal 2 shows:\n"
                << terms[1].Text();
            continue;
        }
        std::string command = step.text;
        for (std::size_t at;
             (at = command.find("$PWD/build/default/tools")) != std::string::npos;) {
            command.replace(at, std::strlen("$PWD/build/default/tools"), tools);
        }
        const bool shellCommand = step.terminal == 1 && inShell;
        ASSERT_TRUE(t.Prompt(shellCommand ? "quor> " : "$ ", milliseconds(30000)))
            << "no prompt; the terminal shows:\n"
            << t.Text();
        t.Type(command);
        if (shellCommand && (command == "quit" || command == "exit")) inShell = false;
        if (step.terminal == 1 && command.find("quorctl") != std::string::npos &&
            command.find(" shell") != std::string::npos) {
            inShell = true;
        }
    }
    for (const auto& t : terms) {
        EXPECT_EQ(t.Text().find("Stopped"), std::string::npos) << t.Text();
    }
    std::filesystem::remove_all(runtime);
}

}  // namespace
