#include "pcsc/part10.h"

#include <reader.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>

namespace quor::pcsc {

namespace {

constexpr std::uint8_t kCtClass = 0x20;
constexpr std::uint8_t kInsVerify = 0x18;
constexpr std::uint8_t kInsModify = 0x19;
constexpr std::uint8_t kP1Icc1 = 0x01;
constexpr std::uint8_t kTagCommandToPerform = 0x52;
constexpr std::uint8_t kTagDisplayText = 0x50;
constexpr std::string_view kPrompt = "PIN:";

constexpr std::size_t kApduHeader = 5;  // CLA INS P1 P2 Lc: the PIN position counts after it
constexpr std::size_t kVerifyHeader = 19;
constexpr std::size_t kModifyHeader = 24;
constexpr unsigned kMaxDigits = 15;
constexpr unsigned kMaxMinDigits = 7;
constexpr std::uint8_t kValidationKey = 0x02;
constexpr std::uint16_t kLcdLayout = 0x0108;  // one line of 8 characters
constexpr std::uint8_t kTimeOut2 = 0;

// The fields both structures share, in the order of their meaning.
struct PinFields {
    std::uint8_t format = 0;       // bmFormatString
    std::uint8_t block = 0;        // bmPINBlockString
    std::uint16_t extraDigit = 0;  // wPINMaxExtraDigit
    std::uint8_t validation = 0;   // bEntryValidationCondition
    std::uint8_t messages = 0;     // bNumberMessage
    std::span<const std::uint8_t> apdu;
};

std::uint16_t U16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);  // host order, as applications fill the structure
    return v;
}

std::uint32_t U32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

PinCommand Refuse(std::string why, bool malformed = false) {
    PinCommand c;
    c.refusal = std::move(why);
    c.malformed = malformed;
    return c;
}

// The reader's p0 and the byte offset of the PIN in the APDU, or a refusal.
struct Layout {
    std::uint8_t p0 = 0;
    std::size_t offset = 0;  // of the PIN field, from the APDU's first byte
    std::size_t fieldBytes = 0;
};

std::optional<Layout> LayoutOf(const PinFields& f, std::string* why) {
    const unsigned type = f.format & 0x03;
    if (type != 0x01 && type != 0x02) {
        *why = "PIN format type " + std::to_string(type) + " (the reader writes BCD or ASCII)";
        return std::nullopt;
    }
    if (f.format & 0x04) {
        *why = "right-justified PIN (the reader writes it left-justified)";
        return std::nullopt;
    }
    unsigned position = (f.format >> 3) & 0x0F;
    if (!(f.format & 0x80)) {
        if (position % 8 != 0) {
            *why = "PIN position " + std::to_string(position) + " bits is not a whole byte";
            return std::nullopt;
        }
        position /= 8;
    }
    if (f.block >> 4) {
        *why = "PIN length field in the APDU (the reader does not write the PIN length)";
        return std::nullopt;
    }
    const unsigned maxDigits = f.extraDigit & 0xFF;
    const unsigned minDigits = f.extraDigit >> 8;
    if (maxDigits == 0 || maxDigits > kMaxDigits) {
        *why = "longest PIN " + std::to_string(maxDigits) + " digits (the reader takes 1..15)";
        return std::nullopt;
    }
    if (minDigits > kMaxMinDigits || minDigits > maxDigits) {
        *why = "shortest PIN " + std::to_string(minDigits) +
               " digits (the reader takes 0..7, not above the longest)";
        return std::nullopt;
    }
    if (!(f.validation & kValidationKey)) {
        *why = "entry that ends without the validation key (the reader ends it at its key)";
        return std::nullopt;
    }
    const bool bcd = type == 0x01;
    Layout l;
    l.fieldBytes = bcd ? (maxDigits + 1) / 2 : maxDigits;
    const unsigned blockBytes = f.block & 0x0F;
    if (blockBytes != 0 && l.fieldBytes > blockBytes) {
        *why = "PIN block of " + std::to_string(blockBytes) + " bytes too small for " +
               std::to_string(maxDigits) + " digits";
        return std::nullopt;
    }
    l.p0 = static_cast<std::uint8_t>((bcd ? 0x80 : 0x00) | minDigits << 4 | maxDigits);
    l.offset = kApduHeader + position;
    return l;
}

// Checks that a PIN field at `offset` lies inside the APDU's data and fits a parameter byte.
bool FieldFits(std::size_t offset, std::size_t bytes, std::size_t apduLength) {
    return offset <= 0xFF && offset + bytes <= apduLength;
}

Bytes TerminalCommand(std::uint8_t ins, const Bytes& parameters, const PinFields& f) {
    Bytes data;
    if (f.messages != 0) {
        data.push_back(kTagDisplayText);
        data.push_back(static_cast<std::uint8_t>(kPrompt.size()));
        for (char ch : kPrompt) data.push_back(static_cast<std::uint8_t>(ch));
    }
    data.push_back(kTagCommandToPerform);
    data.push_back(static_cast<std::uint8_t>(parameters.size() + f.apdu.size()));
    data.insert(data.end(), parameters.begin(), parameters.end());
    data.insert(data.end(), f.apdu.begin(), f.apdu.end());
    // The header goes in front of the data (built first, for its length).
    data.insert(data.begin(), 5, 0);
    data[0] = kCtClass;
    data[1] = ins;
    data[2] = kP1Icc1;
    data[3] = 0x00;
    data[4] = static_cast<std::uint8_t>(data.size() - 5);
    return data;
}

// Longest APDU a short terminal command carries with its parameters and prompt.
constexpr std::size_t kMaxApdu = 255 - 2 - 3 - (2 + kPrompt.size());

std::optional<PinFields> Split(std::span<const std::uint8_t> s, std::size_t header,
                               std::string* why) {
    if (s.size() < header) {
        *why = "structure of " + std::to_string(s.size()) + " bytes, shorter than its header";
        return std::nullopt;
    }
    const std::uint32_t dataLength = U32(&s[header - 4]);
    if (dataLength != s.size() - header) {
        *why = "ulDataLength " + std::to_string(dataLength) + " but " +
               std::to_string(s.size() - header) + " APDU bytes follow";
        return std::nullopt;
    }
    PinFields f;
    f.format = s[2];
    f.block = s[3];
    f.apdu = s.subspan(header);
    return f;
}

}  // namespace

std::uint32_t FeatureControlCode(std::uint8_t feature) { return SCARD_CTL_CODE(3400 + feature); }

ReaderUnits UnitsFromAnswer(std::span<const std::uint8_t> answer) {
    ReaderUnits units;
    // 81 L unit... 90 00: 0x40 is the display, 0x50 the keypad.
    if (answer.size() < 4 || answer[0] != 0x81) return units;
    const std::size_t length = answer[1];
    for (std::size_t i = 2; i < 2 + length && i < answer.size() - 2; ++i) {
        if (answer[i] == 0x40) units.display = true;
        if (answer[i] == 0x50) units.keypad = true;
    }
    return units;
}

Bytes FeatureList(const ReaderUnits& units) {
    Bytes list;
    auto add = [&](std::uint8_t feature) {
        const std::uint32_t code = FeatureControlCode(feature);
        list.insert(list.end(),
                    {feature, 4, static_cast<std::uint8_t>(code >> 24),
                     static_cast<std::uint8_t>(code >> 16), static_cast<std::uint8_t>(code >> 8),
                     static_cast<std::uint8_t>(code)});
    };
    if (units.keypad) {
        add(FEATURE_VERIFY_PIN_DIRECT);
        add(FEATURE_MODIFY_PIN_DIRECT);
        add(FEATURE_IFD_PIN_PROPERTIES);
    }
    add(FEATURE_MCT_READER_DIRECT);
    add(FEATURE_GET_TLV_PROPERTIES);
    return list;
}

Bytes PinProperties(const ReaderUnits& units) {
    const std::uint16_t layout = units.display ? kLcdLayout : 0;
    return {static_cast<std::uint8_t>(layout), static_cast<std::uint8_t>(layout >> 8),
            kValidationKey, kTimeOut2};
}

Bytes TlvProperties(const ReaderUnits& units) {
    Bytes tlv;
    auto add = [&](std::uint8_t tag, std::uint32_t value, std::size_t size) {
        tlv.push_back(tag);
        tlv.push_back(static_cast<std::uint8_t>(size));
        for (std::size_t i = 0; i < size; ++i)
            tlv.push_back(static_cast<std::uint8_t>(value >> 8 * i));
    };
    if (units.display) {
        add(PCSCv2_PART10_PROPERTY_wLcdLayout, kLcdLayout, 2);
        add(PCSCv2_PART10_PROPERTY_wLcdMaxCharacters, kLcdLayout & 0xFF, 2);
        add(PCSCv2_PART10_PROPERTY_wLcdMaxLines, kLcdLayout >> 8, 2);
    }
    if (units.keypad) {
        add(PCSCv2_PART10_PROPERTY_bEntryValidationCondition, kValidationKey, 1);
        add(PCSCv2_PART10_PROPERTY_bTimeOut2, kTimeOut2, 1);
        add(PCSCv2_PART10_PROPERTY_bMinPINSize, 1, 1);
        add(PCSCv2_PART10_PROPERTY_bMaxPINSize, kMaxDigits, 1);
    }
    add(PCSCv2_PART10_PROPERTY_bPPDUSupport, 0, 1);
    add(PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize, 0, 4);  // short APDUs only
    return tlv;
}

PinCommand VerifyCommand(std::span<const std::uint8_t> s) {
    std::string why;
    std::optional<PinFields> f = Split(s, kVerifyHeader, &why);
    if (!f) return Refuse(why, true);
    f->extraDigit = U16(&s[5]);
    f->validation = s[7];
    f->messages = s[8];
    const std::optional<Layout> l = LayoutOf(*f, &why);
    if (!l) return Refuse(why);
    if (f->apdu.size() > kMaxApdu) return Refuse("APDU longer than " + std::to_string(kMaxApdu));
    if (!FieldFits(l->offset, l->fieldBytes, f->apdu.size())) {
        return Refuse("PIN field at " + std::to_string(l->offset) + " (" +
                      std::to_string(l->fieldBytes) + " bytes) outside the APDU of " +
                      std::to_string(f->apdu.size()) + " bytes");
    }
    PinCommand c;
    c.command = TerminalCommand(kInsVerify, {l->p0, static_cast<std::uint8_t>(l->offset)}, *f);
    return c;
}

PinCommand ModifyCommand(std::span<const std::uint8_t> s) {
    std::string why;
    std::optional<PinFields> f = Split(s, kModifyHeader, &why);
    if (!f) return Refuse(why, true);
    const std::uint8_t offsetOld = s[5];
    const std::uint8_t offsetNew = s[6];
    f->extraDigit = U16(&s[7]);
    const std::uint8_t confirm = s[9];
    f->validation = s[10];
    f->messages = s[11];
    const std::optional<Layout> l = LayoutOf(*f, &why);
    if (!l) return Refuse(why);
    if (!(confirm & 0x02)) return Refuse("no current PIN asked for (the reader takes old and new)");
    if (confirm & 0x01) return Refuse("new PIN asked twice (the reader takes it once)");
    if (f->apdu.size() > kMaxApdu) return Refuse("APDU longer than " + std::to_string(kMaxApdu));
    const std::size_t oldAt = l->offset + offsetOld;
    const std::size_t newAt = l->offset + offsetNew;
    for (std::size_t at : {oldAt, newAt}) {
        if (!FieldFits(at, l->fieldBytes, f->apdu.size())) {
            return Refuse("PIN field at " + std::to_string(at) + " (" +
                          std::to_string(l->fieldBytes) + " bytes) outside the APDU of " +
                          std::to_string(f->apdu.size()) + " bytes");
        }
    }
    if (oldAt < newAt + l->fieldBytes && newAt < oldAt + l->fieldBytes) {
        return Refuse("old and new PIN fields overlap");
    }
    PinCommand c;
    c.command = TerminalCommand(
        kInsModify, {l->p0, static_cast<std::uint8_t>(oldAt), static_cast<std::uint8_t>(newAt)},
        *f);
    return c;
}

}  // namespace quor::pcsc
