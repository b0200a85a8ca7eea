// quorctl: talk to a QUOR reader through the reader driver hosted in this process.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/quorctl/cli.h"
#include "tools/quorctl/session.h"

namespace {

extern "C" void OnInterrupt(int) { quorctl::RequestInterrupt(); }

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, OnInterrupt);
    std::vector<std::string> args(argv + 1, argv + argc);
    return quorctl::RunCli(args, std::cin, std::cout, std::cerr);
}
