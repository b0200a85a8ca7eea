#include <cstdio>
#include <cstring>

#include "link/command.h"
#include "reader/reader.h"

NTSTATUS InitializeReader(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    IdentifyReader(SmartcardExtension);
    NTSTATUS status = ReaderCommand(SmartcardExtension, RC_GET_INFO);
    // The serial-number text needs all four information bytes.
    if (status == STATUS_SUCCESS && r->ReplyDataLength >= 4) {
        VENDOR_ATTR& v = SmartcardExtension->VendorAttr;
        v.IfdVersion.VersionMajor = 0;
        v.IfdVersion.BuildNumber = 64;
        v.IfdVersion.VersionMinor = 150;
        char text[MAXIMUM_ATTR_STRING_LENGTH];
        int n = std::snprintf(text, sizeof(text), "%d-%x-%x, V%x", r->ReplyBuffer[0] + 2000,
                              r->ReplyBuffer[1], r->ReplyBuffer[2], r->ReplyBuffer[3]);
        if (n > 0 && static_cast<size_t>(n) < sizeof(text)) {
            std::memcpy(v.IfdSerialNo.Buffer, text, static_cast<size_t>(n) + 1);
            v.IfdSerialNo.Length = static_cast<USHORT>(n + 1);
        }
    }
    return UpdateCardStatus(SmartcardExtension);
}
