// T=1 engine, host side of the ISO/IEC 7816-3 block protocol.
//
// One APDU is one exchange. SmartcardT1Request hands out the block that is due; the card's
// answer goes to SmartcardT1Reply, which decides the next block and answers
// STATUS_MORE_PROCESSING_REQUIRED while there is one. The block due is kept in T1_DATA.Block,
// so asking for it again without a reply in between (the reader lost the answer) gives the
// same bytes.
//
// Session: before the first I-block after a reset the engine announces its IFSD with
// S(IFS request). Sending: the APDU is cut into I-blocks of at most IFSC bytes, all but the last
// with the M bit; the card acknowledges each chained block with an R-block. Receiving: chained
// I-blocks of the card are acknowledged with R-blocks and gathered in T1_DATA.Answer; the answer
// reaches the caller's reply buffer only once complete, so a reply buffer that shares its
// memory with the request cannot disturb a resend. S(WTX request) and S(IFS request) of the card
// are answered with the matching response; an S(ABORT request) is answered and ends the APDU.
//
// Error recovery: a missing, damaged or unexpected block is answered with an R-block that asks
// for the card's block again (or, while an S-request of ours is pending, with that request
// again); an R-block of the card asking for our I-block again gets it. After T1_MAX_RETRIES
// such repeats without progress comes S(RESYNCH request), sent at most T1_MAX_RESYNCH times
// per APDU. A resynchronisation resets both sides (sequence numbers 0, IFSC from the ATR,
// IFSD 32 until announced again); the APDU then starts over if the card cannot yet have seen
// all of it, and fails with STATUS_DEVICE_PROTOCOL_ERROR otherwise, since sending it again could
// run the command twice. More than T1_MAX_CARD_REQUESTS S-requests of the card in a row end the
// APDU as well. Every way of ending an APDU half-way makes the next APDU start with a
// resynchronisation.
#include <algorithm>
#include <cstring>

#include "platform/smclib/engine.h"
#include "platform/smclib/engine_internal.h"

namespace {

// ---- protocol control byte ----
constexpr UCHAR kPcbR = 0x80;
constexpr UCHAR kPcbS = 0xC0;
constexpr UCHAR kINs = 0x40;        // I-block: N(S)
constexpr UCHAR kIMore = 0x20;      // I-block: M, more blocks of the chain follow
constexpr UCHAR kRNr = 0x10;        // R-block: N(R)
constexpr UCHAR kSResponse = 0x20;  // S-block: response rather than request
constexpr UCHAR kSResynch = 0x00;
constexpr UCHAR kSIfs = 0x01;
constexpr UCHAR kSAbort = 0x02;
constexpr UCHAR kSWtx = 0x03;
constexpr UCHAR kRErrorEdc = 0x01;    // R-block: EDC or parity error
constexpr UCHAR kRErrorOther = 0x02;  // R-block: other error

constexpr ULONG kPrologue = 3;  // NAD PCB LEN
constexpr ULONG kMinApdu = 4;   // CLA INS P1 P2

enum class Kind { kMissing, kDamaged, kInvalid, kI, kR, kS };

struct Received {
    Kind kind = Kind::kMissing;
    UCHAR pcb = 0;
    UCHAR len = 0;
    const UCHAR* inf = nullptr;
};

T1_DATA& T1(PSMARTCARD_EXTENSION ext) { return ext->T1; }

ULONG EdcLength(PSMARTCARD_EXTENSION ext) { return (ext->CardCapabilities.T1.EDC & 1) ? 2 : 1; }

ULONG AppendEdc(PSMARTCARD_EXTENSION ext, UCHAR* block, ULONG length) {
    if (EdcLength(ext) == 1) {
        block[length] = SmartcardT1Lrc(block, length);
        return length + 1;
    }
    const USHORT crc = SmartcardT1Crc(block, length);
    block[length] = static_cast<UCHAR>(crc >> 8);
    block[length + 1] = static_cast<UCHAR>(crc & 0xFF);
    return length + 2;
}

bool EdcMatches(PSMARTCARD_EXTENSION ext, const UCHAR* block, ULONG length) {
    const ULONG body = length - EdcLength(ext);
    if (EdcLength(ext) == 1) return SmartcardT1Lrc(block, body) == block[body];
    const USHORT crc = SmartcardT1Crc(block, body);
    return block[body] == (crc >> 8) && block[body + 1] == (crc & 0xFF);
}

ULONG BuildBlock(PSMARTCARD_EXTENSION ext, UCHAR pcb, const UCHAR* inf, ULONG length, UCHAR* out) {
    out[0] = T1(ext).NAD;
    out[1] = pcb;
    out[2] = static_cast<UCHAR>(length);
    if (length != 0) std::memcpy(out + kPrologue, inf, length);
    return AppendEdc(ext, out, kPrologue + length);
}

void SetBlock(PSMARTCARD_EXTENSION ext, UCHAR pcb, const UCHAR* inf = nullptr, ULONG length = 0) {
    T1(ext).BlockLength = BuildBlock(ext, pcb, inf, length, T1(ext).Block);
}

void SetSBlock(PSMARTCARD_EXTENSION ext, UCHAR pcb, UCHAR value) { SetBlock(ext, pcb, &value, 1); }

void SetRBlock(PSMARTCARD_EXTENSION ext, UCHAR error) {
    SetBlock(ext, static_cast<UCHAR>(kPcbR | (T1(ext).RSN ? kRNr : 0) | error));
}

ULONGLONG Digest(const UCHAR* data, ULONG length) {
    ULONGLONG h = 14695981039346656037ull;  // FNV-1a
    for (ULONG i = 0; i < length; ++i) {
        h ^= data[i];
        h *= 1099511628211ull;
    }
    return h;
}

// IFSC from the ATR; 0 and 255 are not sizes.
UCHAR CardIfsc(PSMARTCARD_EXTENSION ext) {
    const UCHAR ifsc = ext->CardCapabilities.T1.IFSC;
    return (ifsc == 0 || ifsc == 0xFF) ? T1_DEFAULT_IFS : ifsc;
}

// The IFSD to announce: the reader's MaxIFSD when set, never more than the reply buffer holds.
UCHAR OwnIfsd(PSMARTCARD_EXTENSION ext) {
    ULONG ifsd =
        ext->ReaderCapabilities.MaxIFSD != 0 ? ext->ReaderCapabilities.MaxIFSD : ULONG{T1_OWN_IFSD};
    ifsd = std::min<ULONG>(ifsd, T1_MAX_INF);
    const ULONG room = ext->SmartcardReply.BufferSize;
    if (room > kPrologue + 2) ifsd = std::min<ULONG>(ifsd, room - kPrologue - 2);
    return static_cast<UCHAR>(std::max<ULONG>(ifsd, 1));
}

// Information field size for our I-blocks: IFSC, and never more than the request buffer holds.
ULONG SendSize(PSMARTCARD_EXTENSION ext) {
    ULONG size = T1(ext).IFSC;
    const ULONG room = ext->SmartcardRequest.BufferSize;
    const ULONG frame = kPrologue + EdcLength(ext);
    if (room > frame) size = std::min(size, room - frame);
    return std::max<ULONG>(size, 1);
}

void ResetSequence(PSMARTCARD_EXTENSION ext) {
    T1_DATA& t = T1(ext);
    t.SessionStarted = TRUE;
    t.NAD = 0;
    t.SSN = 0;
    t.RSN = 0;
    t.IFSC = CardIfsc(ext);
    t.IFSD = T1_DEFAULT_IFS;
    t.IfsdAnnounced = FALSE;
    t.NeedResynch = FALSE;
}

void Progress(PSMARTCARD_EXTENSION ext) {
    T1(ext).ErrorCount = 0;
    T1(ext).CardRequests = 0;
}

// Answer bytes the caller's reply buffer holds behind the reply header.
ULONG ReplyRoom(PSMARTCARD_EXTENSION ext) {
    const ULONG size = ext->IoRequest.ReplyBuffer != nullptr ? ext->IoRequest.ReplyBufferLength : 0;
    return size > smclib::kIoHeaderLength ? size - smclib::kIoHeaderLength : 0;
}

void RestartApdu(PSMARTCARD_EXTENSION ext) {
    T1_DATA& t = T1(ext);
    t.EmptyChained = 0;
    t.BytesSent = 0;
    t.BytesReceived = 0;
    t.MoreData = FALSE;
    t.InFlight = 0;
    t.FinalSent = FALSE;
}

NTSTATUS Finish(PSMARTCARD_EXTENSION ext, NTSTATUS status) {
    T1(ext).State = T1_STATE_IDLE;
    return status;
}

// Ends the APDU half-way: the card's state is not known, so the next APDU resynchronises.
NTSTATUS GiveUp(PSMARTCARD_EXTENSION ext, NTSTATUS status) {
    T1(ext).NeedResynch = TRUE;
    return Finish(ext, status);
}

NTSTATUS SendIfsRequest(PSMARTCARD_EXTENSION ext) {
    T1_DATA& t = T1(ext);
    t.IfsRequested = OwnIfsd(ext);
    t.State = T1_STATE_IFS;
    SetSBlock(ext, kPcbS | kSIfs, t.IfsRequested);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendNextIBlock(PSMARTCARD_EXTENSION ext) {
    T1_DATA& t = T1(ext);
    const UCHAR* apdu = nullptr;
    ULONG length = 0;
    const NTSTATUS status = smclib::GetRequestBytes(ext, &apdu, &length);
    if (!NT_SUCCESS(status)) return GiveUp(ext, status);
    if (t.BytesSent > length) return GiveUp(ext, STATUS_INVALID_PARAMETER);
    const ULONG remaining = length - t.BytesSent;
    const ULONG chunk = std::min(remaining, SendSize(ext));
    const bool more = remaining > chunk;
    const UCHAR pcb = static_cast<UCHAR>((t.SSN ? kINs : 0) | (more ? kIMore : 0));
    t.IBlockLength = BuildBlock(ext, pcb, apdu + t.BytesSent, chunk, t.IBlock);
    std::memcpy(t.Block, t.IBlock, t.IBlockLength);
    t.BlockLength = t.IBlockLength;
    t.InFlight = chunk;
    if (!more) t.FinalSent = TRUE;
    t.State = T1_STATE_SENDING;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendFirst(PSMARTCARD_EXTENSION ext) {
    return T1(ext).IfsdAnnounced ? SendNextIBlock(ext) : SendIfsRequest(ext);
}

NTSTATUS SendResynch(PSMARTCARD_EXTENSION ext) {
    T1_DATA& t = T1(ext);
    if (t.ResynchCount >= T1_MAX_RESYNCH) return GiveUp(ext, STATUS_DEVICE_PROTOCOL_ERROR);
    ++t.ResynchCount;
    t.ErrorCount = 0;
    t.State = T1_STATE_RESYNCH;
    SetBlock(ext, kPcbS | kSResynch);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS OnResynchResponse(PSMARTCARD_EXTENSION ext) {
    ResetSequence(ext);
    Progress(ext);
    if (T1(ext).FinalSent) return Finish(ext, STATUS_DEVICE_PROTOCOL_ERROR);
    RestartApdu(ext);
    return SendFirst(ext);
}

// A block that did not come, or came damaged or out of turn: ask again.
NTSTATUS Recover(PSMARTCARD_EXTENSION ext, UCHAR error) {
    T1_DATA& t = T1(ext);
    if (++t.ErrorCount > T1_MAX_RETRIES) return SendResynch(ext);
    if (t.State == T1_STATE_IFS) {
        SetSBlock(ext, kPcbS | kSIfs, t.IfsRequested);
    } else {
        SetRBlock(ext, error);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

Received Parse(PSMARTCARD_EXTENSION ext) {
    Received r;
    const UCHAR* p = nullptr;
    ULONG n = 0;
    if (!smclib::GetReplyBytes(ext, &p, &n)) {
        r.kind = Kind::kInvalid;
        return r;
    }
    if (n == 0) return r;  // missing
    const ULONG edc = EdcLength(ext);
    r.kind = Kind::kDamaged;
    if (n < kPrologue + edc) return r;
    if (p[2] == 0xFF) {
        r.kind = Kind::kInvalid;
        return r;
    }
    if (n != kPrologue + p[2] + edc || !EdcMatches(ext, p, n)) return r;

    r.kind = Kind::kInvalid;
    r.pcb = p[1];
    r.len = p[2];
    r.inf = p + kPrologue;
    if (p[0] != T1(ext).NAD) return r;
    if ((r.pcb & 0x80) == 0) {
        if ((r.pcb & 0x1F) == 0 && r.len <= T1(ext).IFSD) r.kind = Kind::kI;
    } else if ((r.pcb & 0xC0) == kPcbR) {
        if ((r.pcb & 0x20) == 0 && (r.pcb & 0x0F) <= kRErrorOther && r.len == 0) r.kind = Kind::kR;
    } else {
        const UCHAR type = r.pcb & 0x1F;
        const ULONG expected = (type == kSIfs || type == kSWtx) ? 1 : 0;
        const bool sizeOk = type != kSIfs || (r.len == 1 && r.inf[0] != 0 && r.inf[0] != 0xFF);
        if (type <= kSWtx && r.len == expected && sizeOk) r.kind = Kind::kS;
    }
    return r;
}

NTSTATUS OnIBlock(PSMARTCARD_EXTENSION ext, const Received& r) {
    T1_DATA& t = T1(ext);
    const UCHAR ns = (r.pcb & kINs) ? 1 : 0;
    if (t.State == T1_STATE_SENDING) {
        // Only the last block of our chain may be answered with an I-block.
        if ((t.IBlock[1] & kIMore) != 0 || ns != t.RSN) return Recover(ext, kRErrorOther);
        t.SSN ^= 1;
        t.BytesSent += t.InFlight;
        t.InFlight = 0;
        t.State = T1_STATE_RECEIVING;
    } else if (t.State != T1_STATE_RECEIVING || ns != t.RSN) {
        return Recover(ext, kRErrorOther);
    }
    Progress(ext);
    t.RSN ^= 1;
    if (r.len > T1_MAX_ANSWER - t.BytesReceived) return GiveUp(ext, STATUS_DEVICE_PROTOCOL_ERROR);
    if (r.len != 0) std::memcpy(t.Answer + t.BytesReceived, r.inf, r.len);
    t.BytesReceived += r.len;
    t.MoreData = (r.pcb & kIMore) ? TRUE : FALSE;
    if (t.MoreData) {
        // A chain that can no longer fit the caller's reply buffer, or that keeps coming
        // without adding anything, ends here; the next APDU resynchronises with the card,
        // which is still in the middle of its chain.
        if (t.BytesReceived > ReplyRoom(ext)) return GiveUp(ext, STATUS_BUFFER_TOO_SMALL);
        t.EmptyChained = r.len == 0 ? t.EmptyChained + 1 : 0;
        if (t.EmptyChained > T1_MAX_EMPTY_CHAINED) {
            return GiveUp(ext, STATUS_DEVICE_PROTOCOL_ERROR);
        }
        SetRBlock(ext, 0);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return Finish(ext, smclib::WriteAnswer(ext, t.Answer, t.BytesReceived));
}

NTSTATUS OnRBlock(PSMARTCARD_EXTENSION ext, const Received& r) {
    T1_DATA& t = T1(ext);
    if (t.State != T1_STATE_SENDING) return Recover(ext, kRErrorOther);
    const UCHAR nr = (r.pcb & kRNr) ? 1 : 0;
    if ((t.IBlock[1] & kIMore) != 0 && nr != t.SSN) {
        // Acknowledges our chained block.
        Progress(ext);
        t.SSN ^= 1;
        t.BytesSent += t.InFlight;
        t.InFlight = 0;
        return SendNextIBlock(ext);
    }
    if (nr != t.SSN) return Recover(ext, kRErrorOther);
    // The card asks for our I-block again.
    if (++t.ErrorCount > T1_MAX_RETRIES) return SendResynch(ext);
    std::memcpy(t.Block, t.IBlock, t.IBlockLength);
    t.BlockLength = t.IBlockLength;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS OnSBlock(PSMARTCARD_EXTENSION ext, const Received& r) {
    T1_DATA& t = T1(ext);
    const UCHAR type = r.pcb & 0x1F;
    const UCHAR value = r.len != 0 ? r.inf[0] : 0;
    if ((r.pcb & kSResponse) == 0) {
        if (type == kSWtx || type == kSIfs) {
            if (++t.CardRequests > T1_MAX_CARD_REQUESTS) {
                return GiveUp(ext, STATUS_DEVICE_PROTOCOL_ERROR);
            }
            if (type == kSWtx) {
                t.Wtx = value;
            } else {
                t.IFSC = value;
            }
            SetSBlock(ext, static_cast<UCHAR>(kPcbS | kSResponse | type), value);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        if (type == kSAbort && (t.State == T1_STATE_SENDING || t.State == T1_STATE_RECEIVING)) {
            t.State = T1_STATE_ABORTED;
            SetBlock(ext, kPcbS | kSResponse | kSAbort);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        return Recover(ext, kRErrorOther);  // S(RESYNCH request) is ours to send
    }
    if (type == kSIfs && t.State == T1_STATE_IFS && value == t.IfsRequested) {
        t.IFSD = value;
        t.IfsdAnnounced = TRUE;
        Progress(ext);
        return SendNextIBlock(ext);
    }
    return Recover(ext, kRErrorOther);
}

// Drops a pending exchange. Unless only our IFSD announcement was under way, the card may have
// part of the APDU or an unread answer: the next APDU resynchronises first.
void Abandon(PSMARTCARD_EXTENSION ext) {
    T1_DATA& t = T1(ext);
    if (t.State != T1_STATE_IDLE && t.State != T1_STATE_IFS) t.NeedResynch = TRUE;
    t.State = T1_STATE_IDLE;
    t.Wtx = 0;
}

void BeginApdu(PSMARTCARD_EXTENSION ext, ULONGLONG digest) {
    T1_DATA& t = T1(ext);
    if (!t.SessionStarted) ResetSequence(ext);
    t.Wtx = 0;
    t.ErrorCount = 0;
    t.ResynchCount = 0;
    t.CardRequests = 0;
    RestartApdu(ext);
    t.RequestBuffer = ext->IoRequest.RequestBuffer;
    t.RequestLength = ext->IoRequest.RequestBufferLength;
    t.RequestDigest = digest;
    // Neither call can fail here: the request was checked and no resynch was counted yet.
    if (t.NeedResynch) {
        SendResynch(ext);
    } else {
        SendFirst(ext);
    }
}

}  // namespace

void SmartcardT1StartApdu(PSMARTCARD_EXTENSION SmartcardExtension) { Abandon(SmartcardExtension); }

void SmartcardT1ResetSession(PSMARTCARD_EXTENSION SmartcardExtension) {
    std::memset(&SmartcardExtension->T1, 0, sizeof(SmartcardExtension->T1));
}

NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    T1_DATA& t = T1(ext);
    const UCHAR* apdu = nullptr;
    ULONG length = 0;
    const NTSTATUS status = smclib::GetRequestBytes(ext, &apdu, &length);
    if (!NT_SUCCESS(status)) return status;
    if (length < kMinApdu) return STATUS_INVALID_PARAMETER;

    // A request other than the one the pending exchange serves is a new APDU.
    const ULONGLONG digest =
        Digest(ext->IoRequest.RequestBuffer, ext->IoRequest.RequestBufferLength);
    const bool same = t.State != T1_STATE_IDLE && t.RequestBuffer == ext->IoRequest.RequestBuffer &&
                      t.RequestLength == ext->IoRequest.RequestBufferLength &&
                      t.RequestDigest == digest;
    if (!same) {
        Abandon(ext);
        BeginApdu(ext, digest);
    }
    return smclib::AppendRequest(ext, t.Block, t.BlockLength);
}

NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    T1_DATA& t = T1(ext);
    t.Wtx = 0;
    if (t.State == T1_STATE_IDLE) return STATUS_INVALID_DEVICE_STATE;
    const Received r = Parse(ext);
    if (t.State == T1_STATE_ABORTED) return GiveUp(ext, STATUS_DEVICE_PROTOCOL_ERROR);
    if (t.State == T1_STATE_RESYNCH) {
        if (r.kind == Kind::kS && r.pcb == (kPcbS | kSResponse | kSResynch)) {
            return OnResynchResponse(ext);
        }
        return SendResynch(ext);
    }
    switch (r.kind) {
        case Kind::kMissing:
        case Kind::kInvalid:
            return Recover(ext, kRErrorOther);
        case Kind::kDamaged:
            return Recover(ext, kRErrorEdc);
        case Kind::kI:
            return OnIBlock(ext, r);
        case Kind::kR:
            return OnRBlock(ext, r);
        case Kind::kS:
            return OnSBlock(ext, r);
    }
    return Recover(ext, kRErrorOther);
}
