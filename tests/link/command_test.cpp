#include "link/command.h"

#include <gtest/gtest.h>

#include "tests/support/rig.h"

using quor::test::Hex;
using quor::test::ReaderRig;

TEST(ReaderCommandSmoke, GetStatusRoundTrip) {
    ReaderRig rig;
    EXPECT_EQ(ReaderCommand(rig.Ext(), RC_GET_STATUS), STATUS_SUCCESS);
    EXPECT_EQ(rig.HostFrames().at(0), Hex("0B 00 0B"));
    EXPECT_EQ(rig.R()->ReaderStatus, 0x0F);
    EXPECT_EQ(rig.R()->ReplyDataLength, 0u);
}
