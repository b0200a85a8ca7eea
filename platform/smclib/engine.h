// Protocol-engine calls of the smart card library beyond the standard ones in smclib.h, for
// the library's own request dispatcher and for tests.
#pragma once

#include "platform/smclib/smclib.h"

// Ends any T=1 exchange that is still pending, so that the next SmartcardT1Request starts a
// new APDU. The dispatcher calls it at the start of every IOCTL_SMARTCARD_TRANSMIT. An exchange
// that ended half-way (after one of its I-blocks had been built) makes the next APDU begin
// with S(RESYNCH request): the card may hold half a chain or an answer that was never read.
// Sequence numbers and IFSC/IFSD stay as they are otherwise.
void SmartcardT1StartApdu(PSMARTCARD_EXTENSION SmartcardExtension);

// Forgets the T=1 session: the next exchange starts with sequence numbers 0 and announces
// IFSD again. Called before every card reset (IOCTL_SMARTCARD_POWER) and before a SET_PROTOCOL
// that negotiates.
void SmartcardT1ResetSession(PSMARTCARD_EXTENSION SmartcardExtension);

// ---- T=1 epilogue (error detection code) ----

// LRC: exclusive-or of all bytes.
inline UCHAR SmartcardT1Lrc(const UCHAR* data, ULONG length) {
    UCHAR lrc = 0;
    for (ULONG i = 0; i < length; ++i) lrc ^= data[i];
    return lrc;
}

// CRC: the CCITT polynomial x^16 + x^12 + x^5 + 1, computed bit-reflected (0x8408) from the
// initial value 0xFFFF without a final inversion; the check value of the ASCII digits
// "123456789" is 0x6F91. In a block the most significant byte goes first.
inline USHORT SmartcardT1Crc(const UCHAR* data, ULONG length) {
    USHORT crc = 0xFFFF;
    for (ULONG i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<USHORT>((crc >> 1) ^ 0x8408)
                            : static_cast<USHORT>(crc >> 1);
        }
    }
    return crc;
}
