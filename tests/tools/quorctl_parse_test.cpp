#include <gtest/gtest.h>

#include "tools/quorctl/atr.h"
#include "tools/quorctl/cli.h"
#include "tools/quorctl/hex.h"
#include "tools/quorctl/render.h"

namespace quorctl {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(QuorctlHex, ParsesSeparatedAndPackedBytes) {
    EXPECT_EQ(ParseHex("00 A4 00 0c"), (Bytes{0x00, 0xA4, 0x00, 0x0C}));
    EXPECT_EQ(ParseHex("00A4000C"), (Bytes{0x00, 0xA4, 0x00, 0x0C}));
    EXPECT_EQ(ParseHex("0x3f:00-ff"), (Bytes{0x3F, 0x00, 0xFF}));
    EXPECT_EQ(ParseHex("  "), Bytes{});
}

TEST(QuorctlHex, RejectsOddDigitsAndStrangers) {
    EXPECT_FALSE(ParseHex("0A4"));
    EXPECT_FALSE(ParseHex("0 A4"));  // a lone digit before a separator
    EXPECT_FALSE(ParseHex("GG"));
    EXPECT_FALSE(ParseHex("00 A4 0x00"));  // 0x only in front
}

TEST(QuorctlHex, FormatsUpperCase) {
    EXPECT_EQ(ToHex({0x0A, 0xFF, 0x00}), "0A FF 00");
    EXPECT_EQ(ToHex({0x0A, 0xFF, 0x00}, false), "0AFF00");
    EXPECT_EQ(ToHex({}), "");
}

TEST(QuorctlHex, ParsesNumbers) {
    EXPECT_EQ(ParseNumber("0x3100DC"), 0x3100DCu);
    EXPECT_EQ(ParseNumber("288"), 288u);
    EXPECT_FALSE(ParseNumber("0x"));
    EXPECT_FALSE(ParseNumber("12a"));
    EXPECT_FALSE(ParseNumber("256", 255));
    EXPECT_FALSE(ParseNumber("0x100000000"));
}

TEST(QuorctlAtr, AnalysesTheEmulatedT1CardsAnswer) {
    auto a =
        AnalyseAtr({0x3B, 0x86, 0x81, 0x31, 0xFE, 0x45, 0x45, 0x4D, 0x55, 0x2D, 0x54, 0x31, 0x98});
    ASSERT_TRUE(a.valid) << a.problem;
    EXPECT_FALSE(a.inverse);
    EXPECT_EQ(a.protocols, (std::vector<int>{1}));
    ASSERT_TRUE(a.ifsc);
    EXPECT_EQ(*a.ifsc, 0xFE);
    EXPECT_EQ(*a.bwi, 4);
    EXPECT_EQ(*a.cwi, 5);
    EXPECT_EQ(a.historical, (Bytes{'E', 'M', 'U', '-', 'T', '1'}));
    EXPECT_TRUE(a.tck && a.tckOk);
    EXPECT_EQ(a.f, 372);
    EXPECT_EQ(a.d, 1);
    EXPECT_NE(a.Summary().find("EMU-T1"), std::string::npos);
}

TEST(QuorctlAtr, ReadsTa1Tc1Tc2AndDefaultsToT0) {
    // TS T0(TA1 TC1 TD1, 2 historical) TA1=96 TC1=02 TD1=40 (TC2, T=0) TC2=20 hist.
    auto a = AnalyseAtr({0x3F, 0xD2, 0x96, 0x02, 0x40, 0x20, 0x11, 0x22});
    ASSERT_TRUE(a.valid) << a.problem;
    EXPECT_TRUE(a.inverse);
    EXPECT_EQ(a.protocols, (std::vector<int>{0}));
    EXPECT_EQ(a.fi, 9);
    EXPECT_EQ(a.f, 512);
    EXPECT_EQ(a.d, 32);
    EXPECT_EQ(a.n, 2);
    EXPECT_EQ(a.wi, 0x20);
    EXPECT_FALSE(a.tck);
}

TEST(QuorctlAtr, FlagsBrokenAnswers) {
    EXPECT_FALSE(AnalyseAtr({}).valid);
    EXPECT_FALSE(AnalyseAtr({0x3A, 0x00}).valid);
    EXPECT_FALSE(AnalyseAtr({0x3B, 0x86, 0x81}).valid);  // interface bytes cut
    EXPECT_FALSE(AnalyseAtr({0x3B, 0x03, 0x01}).valid);  // historical bytes cut
    EXPECT_FALSE(AnalyseAtr({0x3B, 0x80, 0x01}).valid);  // T=1 without TCK
    auto wrong = AnalyseAtr({0x3B, 0x80, 0x01, 0x00});
    EXPECT_TRUE(wrong.valid);
    EXPECT_FALSE(wrong.tckOk);
}

TEST(QuorctlShellLine, SplitsWordsAndQuotes) {
    std::vector<std::string> w;
    ASSERT_TRUE(SplitLine("display \"HELLO  YOU\" x", &w));
    EXPECT_EQ(w, (std::vector<std::string>{"display", "HELLO  YOU", "x"}));
    ASSERT_TRUE(SplitLine("   ", &w));
    EXPECT_TRUE(w.empty());
    EXPECT_FALSE(SplitLine("display \"open", &w));
}

TEST(QuorctlShellLine, ParsesEveryLineIntoACommandOrAUsageError) {
    struct Case {
        std::string line;
        ShellLine::Kind kind;
        std::string name;   // command name, or the usage error's command
        std::string error;  // part of the usage error
    };
    const std::vector<Case> cases = {
        {"", ShellLine::kNothing, "", ""},
        {" \t ", ShellLine::kNothing, "", ""},
        {"  # power cold", ShellLine::kNothing, "", ""},
        {"power cold", ShellLine::kCommand, "power", ""},
        {"display \"A  B\"", ShellLine::kCommand, "display", ""},
        {"input --max 4 --keys 1234", ShellLine::kCommand, "input", ""},
        {"help", ShellLine::kHelp, "help", ""},
        {"quit", ShellLine::kQuit, "quit", ""},
        {"display \"open", ShellLine::kUsage, "?", "unclosed quote"},
        {"frobnicate", ShellLine::kUsage, "frobnicate", "unknown command 'frobnicate'"},
        {"\"\"", ShellLine::kUsage, "", "unknown command ''"},
        {"\xff\xfe \xc3", ShellLine::kUsage, "\xff\xfe", "unknown command"},
        {"power", ShellLine::kUsage, "power", "action"},
        {"watch --count 99999999999999999999", ShellLine::kUsage, "watch", "count"},
        {"input --max", ShellLine::kUsage, "input", "max"},
        {"status --help", ShellLine::kUsage, "status", ""},
        {"status extra", ShellLine::kUsage, "status", ""},
        {"info status", ShellLine::kUsage, "info", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const ShellLine p = ParseShellLine(c.line);
        EXPECT_EQ(p.kind, c.kind);
        if (c.kind == ShellLine::kUsage) {
            EXPECT_EQ(p.usage.cmd, c.name);
            EXPECT_NE(p.usage.usage.find(c.error), std::string::npos) << p.usage.usage;
            EXPECT_EQ(p.usage.status, STATUS_INVALID_PARAMETER);
            // Rendered in JSON, whatever bytes the line had: one valid object.
            const std::string j = Dump(p.usage.ToJson());
            ASSERT_TRUE(nlohmann::json::accept(j)) << j;
            EXPECT_TRUE(nlohmann::json::parse(j)["usage_error"].get<bool>());
            EXPECT_EQ(p.usage.OneLine().find('\n'), std::string::npos);
        } else if (c.kind != ShellLine::kNothing) {
            EXPECT_EQ(p.command.name, c.name);
        }
    }
}

TEST(QuorctlRender, StatusWithoutANameStillRenders) {
    Result r{"ioctl"};
    r.status = static_cast<NTSTATUS>(0xC0DE0001u);
    EXPECT_EQ(r.ErrorLine(), "error: 0xC0DE0001 (0xC0DE0001): Unknown status.");
    auto j = r.ToJson();
    EXPECT_EQ(j["status_name"], "0xC0DE0001");
    EXPECT_EQ(j["error"], "Unknown status.");
}

}  // namespace
}  // namespace quorctl
