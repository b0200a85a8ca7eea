// Card-capability analysis of answers to reset (ISO/IEC 7816-3).
#include <gtest/gtest.h>

#include <array>

#include "tests/smclib/engine_rig.h"

namespace smclib_test {
namespace {

// Supported, Fl, Dl, Fi, Di, N, GT, WI, WT, IFSC, CWI, BWI, EDC, CWT, BWT, etu, historical.
using Caps = std::array<ULONG, 17>;

NTSTATUS Update(Rig& rig, const Bytes& atr, ULONG clockKhz, Caps* caps) {
    SCARD_CARD_CAPABILITIES& c = rig.ext->CardCapabilities;
    if (!atr.empty()) std::memcpy(c.ATR.Buffer, atr.data(), atr.size());
    c.ATR.Length = static_cast<UCHAR>(atr.size());
    rig.ext->ReaderCapabilities.CLKFrequency.Default = clockKhz;
    const NTSTATUS status = SmartcardUpdateCardCapabilities(rig.ext.get());
    *caps = {c.Protocol.Supported,
             c.Fl,
             c.Dl,
             c.Fi,
             c.Di,
             c.N,
             c.GT,
             c.T0.WI,
             c.T0.WT,
             c.T1.IFSC,
             c.T1.CWI,
             c.T1.BWI,
             c.T1.EDC,
             c.T1.CWT,
             c.T1.BWT,
             c.etu,
             c.HistoricalChars.Length};
    return status;
}

// At 4000 kHz an etu at Fd/Dd is 93 us; BWT for BWI 4 is 11 etu + 16 x 960 x 372 / 4 MHz.
constexpr ULONG kBwt = 1023 + 1428480, kCwt = (11 + 8192) * 93, kWt = 892800;
const Bytes kDual{0x3B, 0x92, 0x96, 0x80, 0x31, 0xFE, 0x45, 0x31, 0xC0, 0xFF};

TEST(smclib_Caps, AnswersToReset) {
    const Caps refused{0, 1, 1, 372, 1, 0, 0, 10, kWt, 32, 13, 4, 0, kCwt, kBwt, 93, 0};
    const struct {
        const char* name;
        Bytes atr;
        ULONG clockKhz;
        Caps want;  // Supported 0: refused
    } cases[] = {
        // clang-format off
        {"T=0 only", {0x3B, 0x02, 0x14, 0x50}, 4000,
         {1, 1, 1, 372, 1, 0, 0, 10, kWt, 32, 13, 4, 0, kCwt, kBwt, 93, 2}},
        {"T=0 and T=1, TA1 96, IFSC 254, CWI 5", kDual, 4000,
         {3, 9, 6, 512, 32, 0, 0, 10, 1228800, 254, 5, 4, 0, 43 * 93, kBwt, 93, 2}},
        {"T=1, N 2, IFSC FF, BWI 10, CRC", {0x3B, 0xC0, 0x02, 0x81, 0x71, 0xFF, 0xA7, 0x01, 0x6B},
         4000, {2, 1, 1, 372, 1, 2, 186, 10, kWt, 32, 7, 4, 1, 139 * 93, kBwt, 93, 0}},
        {"TC2 of T=0 is WI", {0x3B, 0x80, 0x40, 0x14}, 4000,
         {1, 1, 1, 372, 1, 0, 0, 20, 2 * kWt, 32, 13, 4, 0, kCwt, kBwt, 93, 0}},
        {"TC2 behind a T=1 TD1 is not", {0x3B, 0x80, 0x41, 0x14, 0xD5}, 4000,
         {2, 1, 1, 372, 1, 0, 0, 10, kWt, 32, 13, 4, 0, kCwt, kBwt, 93, 0}},
        {"RFU Fl and Dl, N 255", {0x3B, 0x50, 0xE0, 0xFF}, 4000,
         {1, 1, 1, 372, 1, 255, 0, 10, kWt, 32, 13, 4, 0, kCwt, kBwt, 93, 0}},
        {"T=15 is no protocol", {0x3B, 0x80, 0x80, 0x1F, 0x07, 0x18}, 4000,
         {1, 1, 1, 372, 1, 0, 0, 10, kWt, 32, 13, 4, 0, kCwt, kBwt, 93, 0}},
        {"specific mode runs at Fi/Di", {0x3B, 0x90, 0x13, 0x11, 0x01, 0x93}, 4000,
         {2, 1, 3, 372, 4, 0, 0, 10, kWt, 32, 13, 4, 0, 190720, 1428736, 23, 0}},
        {"5000 kHz", {0x3B, 0x02, 0x14, 0x50}, 5000,
         {1, 1, 1, 372, 1, 0, 0, 10, 714240, 32, 13, 4, 0, 610304, 1143603, 74, 2}},
        {"clock 0 is 4000 kHz", {0x3B, 0x02, 0x14, 0x50}, 0,
         {1, 1, 1, 372, 1, 0, 0, 10, kWt, 32, 13, 4, 0, kCwt, kBwt, 93, 2}},
        {"1 kHz, WI 255, Fi 2048: saturated", {0x3B, 0x90, 0xD1, 0x40, 0xFF}, 1,
         {1, 13, 1, 2048, 1, 0, 0, 255, ~0u, 32, 13, 4, 0, 8203u * 372000, ~0u, 372000, 0}},
        {"empty", {}, 4000, refused},
        {"TS 3C", {0x3C, 0x02, 0x14, 0x50}, 4000, refused},
        {"TS alone", {0x3B}, 4000, refused},
        {"historical bytes missing", {0x3B, 0x05, 0x14, 0x50}, 4000, refused},
        {"TD1 announced, missing", {0x3B, 0x90, 0x11}, 4000, refused},
        {"bad TCK", {0x3B, 0xC0, 0x02, 0x81, 0x71, 0xFF, 0xA7, 0x01, 0x6A}, 4000, refused},
        {"TCK missing", {0x3B, 0xC0, 0x02, 0x81, 0x71, 0xFF, 0xA7, 0x01}, 4000, refused},
        // clang-format on
    };
    for (const auto& c : cases) {
        Rig rig;
        Caps caps;
        ASSERT_EQ(Update(rig, kDual, 4000, &caps), STATUS_SUCCESS);  // a previous card's values
        EXPECT_EQ(Update(rig, c.atr, c.clockKhz, &caps),
                  c.want[0] ? STATUS_SUCCESS : STATUS_UNRECOGNIZED_MEDIA)
            << c.name;
        EXPECT_EQ(caps, c.want) << c.name;
    }
}

TEST(smclib_Caps, WritesCapabilitiesOnly) {
    Rig rig;
    PSMARTCARD_EXTENSION ext = rig.ext.get();
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    ext->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    ext->T1.SSN = 1;
    ext->T1.IfsdAnnounced = TRUE;
    Caps caps;
    ASSERT_EQ(Update(rig, {0x3F, 0x02, 0x14, 0x50}, 4000, &caps), STATUS_SUCCESS);
    const SCARD_CARD_CAPABILITIES& c = ext->CardCapabilities;
    EXPECT_TRUE(c.InversConvention);
    EXPECT_EQ(Bytes(c.HistoricalChars.Buffer, c.HistoricalChars.Buffer + 2), (Bytes{0x14, 0x50}));
    EXPECT_EQ(c.Protocol.Selected, SCARD_PROTOCOL_T1);
    EXPECT_EQ(ext->ReaderCapabilities.CurrentState, SCARD_SPECIFIC);
    EXPECT_EQ(ext->T1.SSN, 1);
    EXPECT_TRUE(ext->T1.IfsdAnnounced);
}

}  // namespace
}  // namespace smclib_test
