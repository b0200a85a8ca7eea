// One key syntax for both tools: the forms quor-sim and quorctl took before are the same keys.
#include "sim/keys.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace quor::sim {
namespace {

TEST(sim_Keys, EverySpellingGivesTheSameKeys) {
    const std::vector<std::uint8_t> pin{1, 2, 3, 4, kKeyConfirm};
    for (const char* text : {"1234,ok", "1,2,3,4,ok", "1234#", "1234E", "1234 ok", "12 34 enter",
                             "1234,CONFIRM", "1234e"}) {
        EXPECT_EQ(ParseKeys(text), pin) << text;
    }
    for (const char* text : {"cancel", "*", "C", "c"}) {
        EXPECT_EQ(ParseKeys(text), std::vector<std::uint8_t>{kKeyCancel}) << text;
    }
    for (const char* text : {"", " , ", "12x", "ok!", "wait:10"}) {
        EXPECT_THROW(ParseKeys(text), std::invalid_argument) << text;
    }
}

TEST(sim_Keys, ScriptsSpaceKeysAndWaits) {
    const auto steps = ParseKeyScript("12,wait:500,ok,wait:50", 300);
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].delay, 0);
    EXPECT_EQ(steps[1].delay, 300'000);
    EXPECT_EQ(steps[2].delay, 800'000);
    EXPECT_EQ(steps[2].key, kKeyConfirm);
    EXPECT_EQ(steps[3].key, kKeySilence);
    EXPECT_EQ(steps[3].delay, 50'000);
    for (const char* text : {"", "wait:-1", "wait:x", "wait:3600001", "1,?"}) {
        EXPECT_THROW(ParseKeyScript(text, 0), std::invalid_argument) << text;
    }
}

}  // namespace
}  // namespace quor::sim
