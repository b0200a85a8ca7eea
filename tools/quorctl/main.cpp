// quorctl: talk to a QUOR reader through the reader driver hosted in this process.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/quorctl/cli.h"
#include "tools/quorctl/session.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// The first Ctrl-C asks the tool to stop what it does and close the device; a second one ends
// the program at once.
extern "C" void OnInterrupt(int) {
    if (g_interrupted != 0) _exit(quorctl::kExitInterrupted);
    g_interrupted = 1;
    quorctl::RequestInterrupt();
}

}  // namespace

int main(int argc, char** argv) {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    std::vector<std::string> args(argv + 1, argv + argc);
    return quorctl::RunCli(args, std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0);
}
