#include <cstring>

#include "link/command.h"
#include "reader/reader.h"

namespace {

struct ModelEntry {
    UCHAR codes[3];
    int codeCount;
    ULONG model;
    const char* type;  // stored with its terminating zero
    ULONG clockKhz;
};

constexpr ModelEntry kModels[] = {
    {{0x09, 0x11}, 2, 3, "QUOR Lumidex", 4000},
    {{0x12, 0x13}, 2, 5, "QUOR Lumidex Plus", 4000},
    {{0x50, 0x51}, 2, 2, "QUOR Std", 4000},
    {{0x52, 0x53}, 2, 6, "QUOR Std Plus", 4000},
    {{0x58}, 1, 10, "QUOR Std USB", 5000},
    {{0x70, 0x71, 0x72}, 3, 4, "QUOR BIVO", 3000},
    {{0x78}, 1, 7, "QUOR BIVO USB", 3000},
    {{0x80}, 1, 8, "QUOR TOKEN USB", 3000},
    {{0x81, 0x82}, 2, 11, "QUOR TOKEN OS USB ", 3000},
};
constexpr ModelEntry kOtherModel = {{}, 0, 1, "QUOR", 4000};

const ModelEntry& LookUpModel(UCHAR code) {
    for (const auto& m : kModels) {
        for (int i = 0; i < m.codeCount; ++i) {
            if (m.codes[i] == code) return m;
        }
    }
    return kOtherModel;
}

bool ModelHasDisplay(ULONG model) {
    switch (model) {
        case 0:
        case 4:
        case 7:
        case 8:
        case 11:
            return false;
        default:
            return true;
    }
}

}  // namespace

NTSTATUS IdentifyReader(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    ReaderCommand(SmartcardExtension, RC_SET_DTR);
    ReaderCommand(SmartcardExtension, RC_CLR_RTS);
    ReaderPause(r, IDENTIFY_PAUSE);
    ReaderCommand(SmartcardExtension, RC_SET_RTS);
    ReaderPause(r, IDENTIFY_PAUSE);
    ReaderCommand(SmartcardExtension, RC_PURGE);
    ReaderCommand(SmartcardExtension, RC_RESET_READER);
    ReaderPause(r, IDENTIFY_PAUSE);
    ReaderCommand(SmartcardExtension, RC_GET_STATUS);

    const NTSTATUS status = ReaderCommand(SmartcardExtension, RC_GET_INFO);
    // The model code is the fourth information byte; a reply with fewer bytes (an error reply
    // carries none) identifies nothing and leaves the model as it was.
    if (status == STATUS_SUCCESS && r->ReplyDataLength >= 4) {
        const ModelEntry& m = LookUpModel(r->ReplyBuffer[3]);
        r->ReaderModel = m.model;
        VENDOR_ATTR& v = SmartcardExtension->VendorAttr;
        const size_t n = std::strlen(m.type);
        std::memcpy(v.IfdType.Buffer, m.type, n + 1);
        v.IfdType.Length = static_cast<USHORT>(n + 1);
        r->ClockFrequency = m.clockKhz;
        SmartcardExtension->ReaderCapabilities.CLKFrequency.Default = m.clockKhz;
        SmartcardExtension->ReaderCapabilities.CLKFrequency.Max = m.clockKhz;
    }
    DisplayFirmwareVersion(SmartcardExtension, TRUE);
    return status;
}

NTSTATUS DisplayFirmwareVersion(PSMARTCARD_EXTENSION SmartcardExtension, USHORT Refresh) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    if (Refresh) {
        ReaderCommand(SmartcardExtension, RC_GET_INFO);
        std::memcpy(r->FirmwareBytes, r->ReplyBuffer, 4);
    }
    // Each nibble becomes '0' + its value, so 10..15 show as ':' ';' '<' '=' '>' '?'.
    UCHAR text[8];
    for (int i = 0; i < 4; ++i) {
        text[2 * i] = static_cast<UCHAR>(0x30 + (r->FirmwareBytes[i] >> 4));
        text[2 * i + 1] = static_cast<UCHAR>(0x30 + (r->FirmwareBytes[i] & 0x0F));
    }
    if (!ModelHasDisplay(r->ReaderModel)) return STATUS_NOT_SUPPORTED;

    PUCHAR savedText = r->DisplayText;
    ULONG savedLength = r->DisplayTextLength;
    r->DisplayText = text;
    r->DisplayTextLength = sizeof(text);
    NTSTATUS status = ReaderCommand(SmartcardExtension, RC_DISPLAY);
    r->DisplayText = savedText;
    r->DisplayTextLength = savedLength;
    return status;
}
