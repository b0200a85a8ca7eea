// State of the T=1 block protocol engine (ISO/IEC 7816-3), kept in the SMARTCARD_EXTENSION.
#pragma once

#include "platform/kernel/ntdef.h"

struct T1_DATA {
    UCHAR IFSC;  // information field size of the card in force
    UCHAR IFSD;  // information field size of the reader in force
    UCHAR NAD;   // node address byte sent
    UCHAR SSN;   // send sequence number N(S) of the next I-block
    UCHAR RSN;   // sequence number N(S) expected in the card's next I-block
    UCHAR Wtx;   // waiting-time extension multiplier asked by the card, 0 when none
    ULONG State;
    ULONG BytesSent;      // APDU bytes acknowledged by the card
    ULONG BytesReceived;  // answer bytes gathered
    BOOLEAN MoreData;
};
