// quorctl's shell stays cheap per line: a transmit line, from reading it to printing its answer,
// makes at most a handful of heap allocations once the shell is warm.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "tests/support/counting_allocator.h"
#include "tools/quorctl/cli.h"

namespace quorctl {
namespace {

// Allocations of a whole `quorctl --sim shell` run of `lines` transmit lines.
long ShellAllocations(int lines, std::string* output) {
    std::string script;
    for (int i = 0; i < lines; ++i) script += "transmit 00 A4 04 0C 05 F0 45 4D 55 01\n";
    std::istringstream in(script);
    std::ostringstream out;
    std::ostringstream err;
    const long before = quor::test::Allocations();
    quor::test::CountAllocations(true);
    // A faster clock shortens the reader's start; the lines themselves do not wait on it.
    RunCli({"--sim", "--clock-scale", "100", "shell"}, in, out, err);
    quor::test::CountAllocations(false);
    *output = out.str();
    return quor::test::Allocations() - before;
}

TEST(QuorctlShellAllocations, ATransmitLineCostsFewerThanTwentyAllocations) {
    if (!quor::test::CountingAllocator())
        GTEST_SKIP() << "the sanitizer's allocator is not counted";
    // The difference between a long and a short run leaves out start-up and shut-down.
    std::string few;
    std::string many;
    const long a = ShellAllocations(10, &few);
    const long b = ShellAllocations(210, &many);
    ASSERT_EQ(std::count(many.begin(), many.end(), '\n'), 210);
    EXPECT_TRUE(many.ends_with("transmit: response (none); SW 90 00\n")) << many;
    const double perLine = static_cast<double>(b - a) / 200;
    EXPECT_LE(perLine, 20) << (b - a) << " allocations for 200 lines";
}

}  // namespace
}  // namespace quorctl
