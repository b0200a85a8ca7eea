// State of the T=1 block protocol engine (ISO/IEC 7816-3), kept in the SMARTCARD_EXTENSION.
//
// An all-zero T1_DATA is a valid state: no session yet and no exchange pending. The first
// exchange after it starts a session (sequence numbers 0, IFSD announced to the card).
#pragma once

#include "platform/kernel/ntdef.h"

// ---- block sizes ----
constexpr ULONG T1_MAX_INF = 254;                   // largest information field
constexpr ULONG T1_MAX_BLOCK = 3 + T1_MAX_INF + 2;  // NAD PCB LEN, field, CRC
constexpr ULONG T1_MAX_ANSWER = 65536 + 2;          // longest response APDU: data and SW1 SW2
constexpr UCHAR T1_DEFAULT_IFS = 32;                // IFSC and IFSD before anything is agreed
constexpr UCHAR T1_OWN_IFSD = 254;                  // announced when the reader sets no MaxIFSD

// ---- error-recovery limits ----
// Repeats (R-blocks asking for a block again, or a resent S-request) for one block, counted
// while no valid progress is made; one more error starts a resynchronisation.
constexpr ULONG T1_MAX_RETRIES = 3;
// S(RESYNCH request)s sent for one APDU; when the last one fails the APDU fails.
constexpr ULONG T1_MAX_RESYNCH = 3;
// S(WTX request)s and S(IFS request)s from the card in a row without progress.
constexpr ULONG T1_MAX_CARD_REQUESTS = 32;
// Chained I-blocks of the card in a row that carry no byte; one more ends the APDU.
constexpr ULONG T1_MAX_EMPTY_CHAINED = 3;

// ---- T1_DATA.State: the block of ours that waits for the card's answer ----
constexpr ULONG T1_STATE_IDLE = 0;       // no exchange pending
constexpr ULONG T1_STATE_IFS = 1;        // our S(IFS request) announcing IFSD
constexpr ULONG T1_STATE_SENDING = 2;    // our I-block (IBlock), not yet acknowledged
constexpr ULONG T1_STATE_RECEIVING = 3;  // our R-block acknowledging a chained I-block of the card
constexpr ULONG T1_STATE_RESYNCH = 4;    // our S(RESYNCH request)
constexpr ULONG T1_STATE_ABORTED = 5;    // our S(ABORT response); the next reply ends the APDU

struct T1_DATA {
    UCHAR IFSC;           // information field size of the card in force
    UCHAR IFSD;           // information field size of the reader in force
    UCHAR NAD;            // node address byte sent
    UCHAR SSN;            // send sequence number N(S) of the next I-block
    UCHAR RSN;            // sequence number N(S) expected in the card's next I-block
    UCHAR Wtx;            // waiting-time extension multiplier asked by the card, 0 when none
    ULONG State;          // T1_STATE_*
    ULONG BytesSent;      // APDU bytes acknowledged by the card
    ULONG BytesReceived;  // answer bytes gathered
    BOOLEAN MoreData;     // the card's last I-block had the M bit: more of its chain to come

    // ---- session ----
    BOOLEAN SessionStarted;  // IFSC, IFSD and the sequence numbers are set up
    BOOLEAN IfsdAnnounced;   // the card acknowledged our S(IFS request)
    BOOLEAN NeedResynch;     // an APDU ended half-way: resynchronise before the next one
    UCHAR IfsRequested;      // value carried by our S(IFS request)

    // ---- exchange of one APDU ----
    BOOLEAN FinalSent;   // the APDU's last I-block has been built: the card may run it
    ULONG InFlight;      // APDU bytes carried by the unacknowledged I-block
    ULONG ErrorCount;    // repeats asked since the last progress
    ULONG ResynchCount;  // S(RESYNCH request)s sent for this APDU
    ULONG CardRequests;  // S(WTX/IFS request)s of the card since the last progress
    ULONG EmptyChained;  // chained I-blocks of the card in a row without a byte
    // The request this exchange serves (IoRequest buffer, its length, a digest of its bytes): a
    // request that differs in any of them is a new APDU.
    PUCHAR RequestBuffer;
    ULONG RequestLength;
    ULONGLONG RequestDigest;

    ULONG BlockLength;  // the block to send; SmartcardT1Request sends it (again) from here
    UCHAR Block[T1_MAX_BLOCK];
    ULONG IBlockLength;  // our last I-block, for retransmission
    UCHAR IBlock[T1_MAX_BLOCK];
    UCHAR Answer[T1_MAX_ANSWER];  // the card's answer, gathered over its chain
};
