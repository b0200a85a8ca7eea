// T=0 TPDUs, the raw engine, and the request and reply checks all engines share.
#include <gtest/gtest.h>

#include "tests/smclib/engine_rig.h"

namespace smclib_test {
namespace {

using Call = NTSTATUS (*)(PSMARTCARD_EXTENSION);

TEST(smclib_T0, TpduPerApduCase) {
    const struct {
        const char* name;
        Bytes apdu, tpdu;  // no TPDU: refused
    } cases[] = {
        // clang-format off
        {"case 1", {0x00, 0x70, 0x00, 0x00}, {0x00, 0x70, 0x00, 0x00, 0x00}},
        {"case 2", {0x00, 0xB0, 0x00, 0x00, 0x10}, {0x00, 0xB0, 0x00, 0x00, 0x10}},
        {"case 2, Le 256", {0x00, 0xB0, 0x00, 0x00, 0x00}, {0x00, 0xB0, 0x00, 0x00, 0x00}},
        {"case 3", {0x00, 0xD6, 0x00, 0x00, 0x01, 0xAA}, {0x00, 0xD6, 0x00, 0x00, 0x01, 0xAA}},
        {"case 4 drops Le", {0x00, 0xA4, 0x04, 0x00, 0x01, 0x3F, 0x00}, {0x00, 0xA4, 0x04, 0x00, 0x01, 0x3F}},
        {"3 bytes", {0x00, 0xA4, 0x00}, {}},
        {"extended case 2", {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00}, {}},
        {"extended case 3", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x01, 0xAA}, {}},
        {"Lc beyond the data", {0x00, 0xD6, 0x00, 0x00, 0x03, 0xAA}, {}},
        {"data beyond Lc and Le", {0x00, 0xD6, 0x00, 0x00, 0x01, 0xAA, 0xBB, 0xCC}, {}},
        // clang-format on
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.SetApdu(c.apdu, SCARD_PROTOCOL_T1);  // PIN commands name T=1 whatever the card
        EXPECT_EQ(SmartcardT0Request(rig.ext.get()),
                  c.tpdu.empty() ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS)
            << c.name;
        EXPECT_EQ(rig.TakeSent(), c.tpdu) << c.name;
    }
}

TEST(smclib_Builders, RefuseBadHeadersAndNeverOverrunTheBuffer) {
    for (Call build : {SmartcardT0Request, SmartcardT1Request, SmartcardRawRequest}) {
        Rig rig;
        for (ULONG pci : {7, 14}) {  // shorter than a header; beyond the request
            rig.SetApdu({0x00, 0x84, 0x00, 0x00, 0x08}, SCARD_PROTOCOL_T0, pci);
            EXPECT_EQ(build(rig.ext.get()), STATUS_INVALID_PARAMETER) << pci;
        }
        rig.ext->IoRequest.RequestBufferLength = 7;
        EXPECT_EQ(build(rig.ext.get()), STATUS_INVALID_PARAMETER) << "no whole header";
        rig.SetApdu({0x00, 0xD6, 0x00, 0x00, 0x04, 1, 2, 3, 4});
        rig.ext->SmartcardRequest = {rig.requestBuffer.data(), 12, 8};  // 4 bytes left
        EXPECT_EQ(build(rig.ext.get()), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(rig.ext->SmartcardRequest.BufferLength, 8u);
        EXPECT_EQ(rig.requestBuffer, Bytes(MIN_BUFFER_SIZE));
    }
    Rig rig;  // a longer header is skipped by its length; bytes go behind what is there
    rig.SetApdu({0x11, 0x22, 0x00, 0x70, 0x00, 0x00}, SCARD_PROTOCOL_T0, 10);
    rig.ext->SmartcardRequest.BufferLength = 2;
    ASSERT_EQ(SmartcardT0Request(rig.ext.get()), STATUS_SUCCESS);
    EXPECT_EQ(rig.TakeSent(), (Bytes{0, 0, 0x00, 0x70, 0x00, 0x00, 0x00}));
}

TEST(smclib_Raw, RequestLimitIsBufferSizeLessSix) {
    Rig rig;
    rig.SetApdu(Bytes(MIN_BUFFER_SIZE - 6, 0x5A));
    ASSERT_EQ(SmartcardRawRequest(rig.ext.get()), STATUS_SUCCESS);
    EXPECT_EQ(rig.TakeSent(), Bytes(MIN_BUFFER_SIZE - 6, 0x5A));
    rig.SetApdu(Bytes(MIN_BUFFER_SIZE - 5, 0x5A));
    EXPECT_EQ(SmartcardRawRequest(rig.ext.get()), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(rig.ext->SmartcardRequest.BufferLength, 0u);
}

TEST(smclib_Replies, T0AndRaw) {
    const struct {
        const char* name;
        Call process;
        Bytes card;
        ULONG replyLength;
        NTSTATUS want;
    } cases[] = {
        // clang-format off
        {"T=0 status", SmartcardT0Reply, {0x90, 0x00}, 10, STATUS_SUCCESS},
        {"T=0 data and 61 xx", SmartcardT0Reply, {0x01, 0x61, 0x10}, 11, STATUS_SUCCESS},
        {"raw, nothing", SmartcardRawReply, {}, 8, STATUS_SUCCESS},
        {"raw bytes", SmartcardRawReply, {0x3B, 0x00, 0x7F}, 100, STATUS_SUCCESS},
        {"T=0 without SW2", SmartcardT0Reply, {0x90}, 100, STATUS_DEVICE_PROTOCOL_ERROR},
        {"T=0 nothing", SmartcardT0Reply, {}, 100, STATUS_DEVICE_PROTOCOL_ERROR},
        {"T=0 one byte short", SmartcardT0Reply, {0x01, 0x90, 0x00}, 10, STATUS_BUFFER_TOO_SMALL},
        {"raw, no room for the header", SmartcardRawReply, {}, 7, STATUS_BUFFER_TOO_SMALL},
        // clang-format on
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_RAW;
        rig.ext->IoRequest.ReplyBufferLength = c.replyLength;
        rig.CardSays(c.card);
        ASSERT_EQ(c.process(rig.ext.get()), c.want) << c.name;
        const SCARD_IO_REQUEST header{SCARD_PROTOCOL_RAW, 8};
        if (c.want == STATUS_SUCCESS) {
            EXPECT_EQ(std::memcmp(rig.reply.data(), &header, 8), 0) << c.name;
            EXPECT_EQ(rig.Answer(), c.card) << c.name;
        } else {  // nothing written
            EXPECT_EQ(rig.information, 0xDEADu) << c.name;
            EXPECT_EQ(rig.reply, Bytes(1024, 0xEE)) << c.name;
        }
    }
    Rig rig;  // a reply record that claims more than its buffer is not read
    rig.ext->SmartcardReply.BufferLength = MIN_BUFFER_SIZE + 1;
    EXPECT_EQ(SmartcardT0Reply(rig.ext.get()), STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(SmartcardRawReply(rig.ext.get()), STATUS_DEVICE_PROTOCOL_ERROR);
}

}  // namespace
}  // namespace smclib_test
