#include "link/frame.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/rig.h"

using quor::test::Hex;

namespace {

struct BuildCase {
    const char* name;
    UCHAR code;
    std::vector<UCHAR> data;
    ULONG bufferSize;
    NTSTATUS status;
    std::vector<UCHAR> frame;  // expected bytes on success
};

TEST(FrameBuild, Cases) {
    const std::vector<BuildCase> cases = {
        {"status", 11, {}, 1048, STATUS_SUCCESS, Hex("0B 00 0B")},
        {"wait time", 4, Hex("12 34"), 1048, STATUS_SUCCESS, Hex("04 02 12 34 20")},
        {"unknown 14", 14, {}, 1048, STATUS_NOT_IMPLEMENTED, {}},
        {"unknown 18", 18, {}, 1048, STATUS_NOT_IMPLEMENTED, {}},
        {"unknown 19", 19, {}, 1048, STATUS_NOT_IMPLEMENTED, {}},
        {"unknown 52", 52, {}, 1048, STATUS_NOT_IMPLEMENTED, {}},
        {"buffer of 4", 11, {}, 4, STATUS_BUFFER_TOO_SMALL, {}},
        {"buffer of 4 with data", 8, Hex("01 02"), 4, STATUS_BUFFER_TOO_SMALL, {}},
        // Data that does not fit the buffer is refused rather than written past it.
        {"data past buffer", 8, std::vector<UCHAR>(10, 0xAA), 12, STATUS_BUFFER_TOO_SMALL, {}},
        {"data just fits",
         8,
         std::vector<UCHAR>(9, 0x00),
         12,
         STATUS_SUCCESS,
         {0x08, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}},
        {"over 511 bytes", 8, std::vector<UCHAR>(512, 0x11), 1048, STATUS_BUFFER_TOO_SMALL, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UCHAR> buffer(c.bufferSize + 8, 0xEE);  // guard bytes behind the buffer
        ULONG length = 77;
        NTSTATUS s = BuildReaderFrame(c.code, c.data.empty() ? nullptr : c.data.data(),
                                      static_cast<ULONG>(c.data.size()), buffer.data(),
                                      c.bufferSize, &length);
        EXPECT_EQ(s, c.status);
        if (s == STATUS_SUCCESS) {
            ASSERT_EQ(length, c.frame.size());
            EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + length), c.frame);
        } else {
            EXPECT_EQ(length, 0u);
            for (UCHAR b : buffer) EXPECT_EQ(b, 0xEE);  // nothing written
        }
    }
}

TEST(FrameBuild, LongFrameOf300Bytes) {
    std::vector<UCHAR> data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(i * 7);
    std::vector<UCHAR> buffer(1048);
    ULONG length = 0;
    ASSERT_EQ(BuildReaderFrame(8, data.data(), 300, buffer.data(), 1048, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 303u);
    EXPECT_EQ(buffer[0], 0x88);
    EXPECT_EQ(buffer[1], 0x2C);
    EXPECT_EQ(XorChecksum(buffer.data(), 302), buffer[302]);
}

TEST(FrameBuild, MissingBufferOrLength) {
    UCHAR buffer[8];
    ULONG length = 5;
    EXPECT_EQ(BuildReaderFrame(11, nullptr, 0, nullptr, 8, &length), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(BuildReaderFrame(11, nullptr, 0, buffer, 8, nullptr), STATUS_DEVICE_DATA_ERROR);
    // A length without data: no frame whose header announces bytes it does not carry.
    UCHAR big[16] = {};
    for (ULONG claimed : {1u, 300u}) {
        length = 5;
        EXPECT_EQ(BuildReaderFrame(8, nullptr, claimed, big, 16, &length),
                  STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(big[0], 0);
    }
}

struct ParseCase {
    const char* name;
    std::vector<UCHAR> bytes;
    LONG verdict;
    std::vector<UCHAR> data;  // data moved to the front
    int status;               // expected status byte, -1: untouched
    USHORT longFrame;
};

TEST(FrameParse, Cases) {
    std::vector<UCHAR> longReply = {0x80, 0x00};
    for (int i = 0; i < 255; ++i) longReply.push_back(static_cast<UCHAR>(i));
    longReply.push_back(0x20);
    UCHAR x = 0;
    for (UCHAR b : longReply) x ^= b;
    longReply.push_back(x);
    std::vector<UCHAR> longData(longReply.begin() + 2, longReply.begin() + 257);

    const std::vector<ParseCase> cases = {
        {"data and status", Hex("00 03 3B 9F 20 87"), FRAME_OK, Hex("3B 9F"), 0x20, 0},
        {"status only", Hex("00 01 40 41"), FRAME_OK, {}, 0x40, 0},
        {"neither", Hex("00 00 00"), FRAME_OK, {}, -1, 0},
        {"bad checksum", Hex("00 03 3B 9F 20 88"), FRAME_BAD_CHECKSUM, Hex("3B 9F"), 0x20, 0},
        {"short frame cut", Hex("00 05 11 22"), FRAME_TRUNCATED, Hex("11 22"), -1, 0},
        {"long frame cut", Hex("80 05 11 22"), FRAME_MALFORMED, Hex("11 22"), -1, 1},
        {"bad marker", Hex("01 00 01"), FRAME_MALFORMED, {}, -1, 0},
        {"long reply", longReply, FRAME_OK, longData, 0x20, 1},
        {"trailing bytes", Hex("00 01 40 41 99 98"), FRAME_OK, {}, 0x40, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UCHAR> buffer = c.bytes;
        ULONG length = static_cast<ULONG>(buffer.size());
        UCHAR status = 0x5A;
        USHORT longFrame = 0;
        EXPECT_EQ(ParseReaderFrame(buffer.data(), &length, &status, &longFrame), c.verdict);
        ASSERT_EQ(length, c.data.size());
        EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + length), c.data);
        EXPECT_EQ(status, c.status < 0 ? 0x5A : c.status);
        EXPECT_EQ(longFrame, c.longFrame);
    }
}

TEST(FrameParse, EmptyOrAllOnesLength) {
    UCHAR buffer[4] = {0, 1, 0x40, 0x41};
    for (ULONG entry : {0u, 0xFFFFFFFFu}) {
        ULONG length = entry;
        EXPECT_EQ(ParseReaderFrame(buffer, &length, nullptr, nullptr), FRAME_BAD_CHECKSUM);
        EXPECT_EQ(length, 0u);
    }
}

TEST(FrameParse, LongFlagIsNeverCleared) {
    std::vector<UCHAR> buffer = Hex("00 01 40 41");
    ULONG length = 4;
    USHORT longFrame = 1;
    EXPECT_EQ(ParseReaderFrame(buffer.data(), &length, nullptr, &longFrame), FRAME_OK);
    EXPECT_EQ(longFrame, 1);
}

}  // namespace
