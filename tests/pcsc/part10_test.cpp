// The handler's pure parts: driver statuses to IFD codes, and PC/SC part 10 PIN structures to
// the reader's terminal commands.
#include "pcsc/part10.h"

#include <gtest/gtest.h>

#include <cstring>

#include "pcsc/status_map.h"

namespace quor::pcsc {
namespace {

namespace st = quor::client::status;

TEST(PcscStatusMap, DriverStatusesBecomeIfdCodes) {
    struct Case {
        quor::client::NtStatus status;
        Call call;
        RESPONSECODE code;
    };
    const Case cases[] = {
        {st::kSuccess, Call::General, IFD_SUCCESS},
        {st::kSuccess, Call::Power, IFD_SUCCESS},
        {st::kNoMedia, Call::General, IFD_ICC_NOT_PRESENT},
        {st::kNoMedia, Call::Power, IFD_ICC_NOT_PRESENT},
        {st::kTimeout, Call::General, IFD_RESPONSE_TIMEOUT},
        {st::kIoTimeout, Call::Power, IFD_RESPONSE_TIMEOUT},
        {st::kBufferTooSmall, Call::General, IFD_ERROR_INSUFFICIENT_BUFFER},
        {st::kBufferOverflow, Call::Control, IFD_ERROR_INSUFFICIENT_BUFFER},
        {st::kDeviceNotConnected, Call::General, IFD_NO_SUCH_DEVICE},
        {st::kNoSuchDevice, Call::Protocol, IFD_NO_SUCH_DEVICE},
        {st::kUnrecognizedMedia, Call::Power, IFD_ERROR_POWER_ACTION},
        {st::kDeviceProtocolError, Call::Power, IFD_ERROR_POWER_ACTION},
        {st::kNotSupported, Call::Protocol, IFD_PROTOCOL_NOT_SUPPORTED},
        {st::kInvalidDeviceState, Call::Protocol, IFD_ERROR_PTS_FAILURE},
        {st::kNotSupported, Call::GetAttribute, IFD_ERROR_TAG},
        {st::kInvalidParameter, Call::GetAttribute, IFD_ERROR_TAG},
        {st::kNotSupported, Call::SetAttribute, IFD_ERROR_TAG},
        {st::kInvalidParameter, Call::SetAttribute, IFD_ERROR_SET_FAILURE},
        {st::kInvalidDeviceRequest, Call::Control, IFD_ERROR_NOT_SUPPORTED},
        {st::kNotSupported, Call::General, IFD_NOT_SUPPORTED},
        {st::kDeviceProtocolError, Call::General, IFD_COMMUNICATION_ERROR},
        {st::kCancelled, Call::General, IFD_COMMUNICATION_ERROR},
        {static_cast<quor::client::NtStatus>(0xC0001234u), Call::General, IFD_COMMUNICATION_ERROR},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IfdCode(c.status, c.call), c.code)
            << quor::client::StatusName(c.status) << " call " << static_cast<int>(c.call);
    }
}

// A PIN_VERIFY_STRUCTURE / PIN_MODIFY_STRUCTURE as an application fills it.
Bytes Verify(std::uint8_t format, std::uint8_t block, std::uint16_t digits, std::uint8_t validation,
             const Bytes& apdu, std::uint8_t messages = 0) {
    Bytes s{0,
            0,
            format,
            block,
            0,
            static_cast<std::uint8_t>(digits),
            static_cast<std::uint8_t>(digits >> 8),
            validation,
            messages,
            0x09,
            0x04,
            0,
            0,
            0,
            0};
    const auto n = static_cast<std::uint32_t>(apdu.size());
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<std::uint8_t>(n >> 8 * i));
    s.insert(s.end(), apdu.begin(), apdu.end());
    return s;
}

Bytes Modify(std::uint8_t format, std::uint8_t oldAt, std::uint8_t newAt, std::uint8_t confirm,
             const Bytes& apdu) {
    Bytes s{0,    0, format, 0x04, 0, oldAt, newAt, 0x04, 0x04, confirm,
            0x02, 0, 0x09,   0x04, 0, 0,     0,     0,    0,    0};
    const auto n = static_cast<std::uint32_t>(apdu.size());
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<std::uint8_t>(n >> 8 * i));
    s.insert(s.end(), apdu.begin(), apdu.end());
    return s;
}

const Bytes kVerify4{0x00, 0x20, 0x00, 0x01, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
const Bytes kChange8{0x00, 0x24, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes Command(std::uint8_t ins, const Bytes& params, const Bytes& apdu, bool prompt = false) {
    Bytes data;
    if (prompt) data = {0x50, 0x04, 'P', 'I', 'N', ':'};
    data.push_back(0x52);
    data.push_back(static_cast<std::uint8_t>(params.size() + apdu.size()));
    data.insert(data.end(), params.begin(), params.end());
    data.insert(data.end(), apdu.begin(), apdu.end());
    Bytes c{0x20, ins, 0x01, 0x00, static_cast<std::uint8_t>(data.size())};
    c.insert(c.end(), data.begin(), data.end());
    return c;
}

TEST(PcscPinStructures, VerifyMapsOntoPerformVerificationOrIsRefused) {
    struct Case {
        const char* name;
        Bytes structure;
        Bytes command;  // empty: refused
        bool malformed = false;
    };
    const Case cases[] = {
        {"ASCII 4 digits at data byte 0", Verify(0x82, 0x04, 0x0404, 0x02, kVerify4),
         Command(0x18, {0x44, 0x05}, kVerify4)},
        {"BCD 1..8, prompt", Verify(0x81, 0x04, 0x0108, 0x03, kVerify4, 1),
         Command(0x18, {0x98, 0x05}, kVerify4, true)},
        {"position in bits (8)", Verify(0x42, 0x03, 0x0003, 0x02, kVerify4),
         Command(0x18, {0x03, 0x06}, kVerify4)},
        {"block 0: as long as the longest PIN", Verify(0x82, 0x00, 0x0004, 0x02, kVerify4),
         Command(0x18, {0x04, 0x05}, kVerify4)},
        {"binary digits", Verify(0x80, 0x04, 0x0404, 0x02, kVerify4), {}},
        {"right justified", Verify(0x86, 0x04, 0x0404, 0x02, kVerify4), {}},
        {"position 4 bits", Verify(0x22, 0x04, 0x0404, 0x02, kVerify4), {}},
        {"PIN length field", Verify(0x82, 0x44, 0x0404, 0x02, kVerify4), {}},
        {"16 digits", Verify(0x82, 0x00, 0x0010, 0x02, kVerify4), {}},
        {"at least 8 digits", Verify(0x82, 0x08, 0x0808, 0x02, kVerify4), {}},
        {"shortest above longest", Verify(0x82, 0x04, 0x0504, 0x02, kVerify4), {}},
        {"ends at the longest PIN only", Verify(0x82, 0x04, 0x0404, 0x01, kVerify4), {}},
        {"block too small", Verify(0x82, 0x02, 0x0404, 0x02, kVerify4), {}},
        {"field past the APDU", Verify(0x8A, 0x04, 0x0404, 0x02, kVerify4), {}},
        {"length does not match",
         [] {
             Bytes s = Verify(0x82, 0x04, 0x0404, 0x02, kVerify4);
             s.pop_back();
             return s;
         }(),
         {},
         true},
        {"shorter than its header", Bytes(18, 0), {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PinCommand pin = VerifyCommand(c.structure);
        EXPECT_EQ(pin.command, c.command);
        EXPECT_EQ(pin.Ok(), !c.command.empty());
        EXPECT_EQ(pin.refusal.empty(), pin.Ok()) << pin.refusal;
        EXPECT_EQ(pin.malformed, c.malformed);
    }
}

TEST(PcscPinStructures, ModifyMapsOntoModifyVerificationDataOrIsRefused) {
    struct Case {
        const char* name;
        Bytes structure;
        Bytes command;
    };
    const Case cases[] = {
        {"old then new", Modify(0x82, 0, 4, 0x02, kChange8),
         Command(0x19, {0x44, 0x05, 0x09}, kChange8)},
        {"new PIN asked twice", Modify(0x82, 0, 4, 0x03, kChange8), {}},
        {"no current PIN", Modify(0x82, 0, 4, 0x00, kChange8), {}},
        {"fields overlap", Modify(0x82, 0, 2, 0x02, kChange8), {}},
        {"new field past the APDU", Modify(0x82, 0, 5, 0x02, kChange8), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ModifyCommand(c.structure).command, c.command);
    }
}

TEST(PcscFeatures, PinFeaturesOnlyWithAKeypad) {
    const Bytes units = {0x81, 0x03, 0x01, 0x40, 0x50, 0x90, 0x00};
    const ReaderUnits withKeypad = UnitsFromAnswer(units);
    EXPECT_TRUE(withKeypad.keypad && withKeypad.display);
    const ReaderUnits slotOnly = UnitsFromAnswer(Bytes{0x81, 0x01, 0x01, 0x90, 0x00});
    EXPECT_FALSE(slotOnly.keypad || slotOnly.display);
    EXPECT_FALSE(UnitsFromAnswer(Bytes{0x81, 0x09, 0x50}).keypad) << "no room for a status word";

    const Bytes all = FeatureList(withKeypad);
    ASSERT_EQ(all.size(), 5u * 6);
    const std::uint8_t tags[] = {0x06, 0x07, 0x0A, 0x08, 0x12};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(all[i * 6], tags[i]);
        EXPECT_EQ(all[i * 6 + 1], 4);
        const std::uint32_t code = FeatureControlCode(tags[i]);
        EXPECT_EQ(
            all[i * 6 + 2] << 24 | all[i * 6 + 3] << 16 | all[i * 6 + 4] << 8 | all[i * 6 + 5],
            static_cast<int>(code));
    }
    EXPECT_EQ(FeatureList(slotOnly).size(), 2u * 6);
    EXPECT_EQ(PinProperties(withKeypad), (Bytes{0x08, 0x01, 0x02, 0x00}));
}

}  // namespace
}  // namespace quor::pcsc
