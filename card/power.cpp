#include <cstring>

#include "card/card.h"
#include "link/command.h"
#include "link/frame.h"
#include "platform/smclib/engine.h"
#include "reader/reader.h"

namespace {

// Clock the records start with, used for the waiting time while no identification has
// succeeded yet.
constexpr ULONG kDefaultClockKhz = 4000;
constexpr ULONG kMaxWaitTime = 0xFFFF;
constexpr int kPowerUpAttempts = 4;

}  // namespace

ULONG WorkWaitingTime(PSMARTCARD_EXTENSION SmartcardExtension) {
    ULONG clock = SmartcardExtension->ReaderExtension->ClockFrequency;
    if (clock == 0) clock = kDefaultClockKhz;  // no identification yet: never divide by zero
    const ULONG a = 357120 / clock;            // 960 x 372 clock cycles, in milliseconds
    return a + (a * 102) / 100;
}

BOOLEAN ParseAtr(const UCHAR* Atr, ULONG Length, ATR_INFO* a) {
    a->Fi = 1;
    a->Di = 1;
    a->II = 1;
    a->PI1 = 5;
    a->N = 0;
    a->WI = 10;
    a->IFSC = 32;
    a->IFSD = 32;
    a->CWI = 13;
    a->BWI = 4;
    a->EDC = 0;
    a->Protocol = 0;
    a->TB2Present = 0;
    a->TA2 = 0;
    a->TD1Present = 0;
    a->TD2Present = 0;
    a->TD3Present = 0;
    a->TD4Present = 0;
    a->HistoricalCount = 0;
    if (Length < 2) return FALSE;

    // Every byte is read through `next`: an ATR cut short ends the walk where its bytes end,
    // and what the missing bytes would have announced stays at its default.
    ULONG p = 2;
    bool cut = false;
    auto next = [&](UCHAR* out) {
        if (p >= Length) {
            cut = true;
            return false;
        }
        *out = Atr[p++];
        return true;
    };
    UCHAR b = 0;

    const UCHAR t0 = Atr[1];
    a->HistoricalCount = t0 & 0x0F;
    UCHAR y = t0 >> 4;

    // Level 1: TA1 TB1 TC1 TD1.
    if ((y & 1) && next(&b)) {
        a->Fi = b >> 4;
        a->Di = b & 0x0F;
    }
    if ((y & 2) && next(&b)) {
        a->II = (b >> 5) & 0x03;
        a->PI1 = b & 0x1F;
    }
    if ((y & 4) && next(&b)) a->N = b;
    if (!(y & 8)) return !cut;
    if (!next(&b)) return FALSE;
    a->TD1Present = 1;
    a->TD1Protocol = b & 0x0F;
    a->Protocol = b & 0x0F;
    y = b >> 4;

    // Level 2: TA2 TB2 TC2 TD2.
    if ((y & 1) && next(&b)) a->TA2 = b;
    if ((y & 2) && next(&b)) {
        a->PI2 = b;
        a->TB2Present = 1;
    }
    if ((y & 4) && next(&b) && a->Protocol == 0) a->WI = b;
    if (!(y & 8)) return !cut;
    if (!next(&b)) return FALSE;
    a->TD2Present = 1;
    a->TD2Protocol = b & 0x0F;
    a->Protocol = b & 0x0F;
    y = b >> 4;

    // Level 3: TA3 TB3 TC3 TD3, read for T=1 and T=14.
    if ((y & 1) && next(&b)) {
        if (a->Protocol == 1) {
            a->IFSC = b;
        } else if (a->Protocol == 14) {
            a->T14TA3Low = b & 0x0F;
            a->T14TA3High = b >> 4;
        }
    }
    if ((y & 2) && next(&b)) {
        if (a->Protocol == 1) {
            a->CWI = b & 0x0F;
            a->BWI = b >> 4;
        } else if (a->Protocol == 14) {
            a->T14TB3 = b;
        }
    }
    if ((y & 4) && next(&b)) {
        if (a->Protocol == 1) {
            a->EDC = b & 0x01;
        } else if (a->Protocol == 14) {
            a->CWI = b;
        }
    }
    if (!(y & 8)) return !cut;
    if (!next(&b)) return FALSE;
    a->TD3Present = 1;
    a->TD3Protocol = b & 0x0F;
    a->Protocol = b & 0x0F;
    y = b >> 4;

    // Level 4: TA4 TB4 TC4 TD4.
    if ((y & 1) && next(&b) && a->Protocol == 14) a->BWI = b;
    if (y & 2) next(&b);
    if (y & 4) next(&b);
    if ((y & 8) && next(&b)) {
        a->TD4Present = 1;
        a->TD4Protocol = b & 0x0F;
        a->Protocol = b & 0x0F;
    }
    return !cut;
}

namespace {

// Activates the card and takes its answer to reset, with ReaderMutex held: up to four
// attempts, the ATR checked, analysed afresh and evaluated, the card's protocol fixed on the
// reader where it leaves no choice, and the reader told the card's waiting time. The ATR is
// left in CardCapabilities.ATR. STATUS_IO_TIMEOUT when the reader answers nothing at all;
// every other status from the reader command layer but success is STATUS_DEVICE_DATA_ERROR.
NTSTATUS PowerUpCard(PSMARTCARD_EXTENSION ext) {
    PREADER_EXTENSION r = ext->ReaderExtension;
    SCARD_CARD_CAPABILITIES& caps = ext->CardCapabilities;
    // A reader that answers nothing, not even a status request, is not asked four times.
    if (ReaderCommand(ext, RC_GET_STATUS) == STATUS_TIMEOUT && !ReaderAnswers(ext)) {
        return STATUS_IO_TIMEOUT;
    }
    bool answered = false;
    for (int attempt = 0; attempt < kPowerUpAttempts && !answered; ++attempt) {
        ReaderCommand(ext, RC_PURGE);
        const NTSTATUS on = ReaderCommand(ext, RC_CARD_ON);
        if (on == STATUS_TIMEOUT && !ReaderAnswers(ext)) return STATUS_IO_TIMEOUT;
        answered = on == STATUS_SUCCESS && r->ReplyDataLength != 0;
    }
    if (!answered) {
        r->ReaderStatus = 0;
        EvaluateCardStatus(ext);
        return STATUS_UNRECOGNIZED_MEDIA;
    }
    // An answer that is not an ATR (card not powered, reader error, bad TS, fewer bytes than
    // its own indicators announce), or one too long for the ATR buffer, is refused.
    const UCHAR ts = r->ReplyBuffer[0];
    ATR_INFO analysis{};
    if (!(r->ReaderStatus & READER_STATUS_POWERED) || (r->ReaderStatus & READER_STATUS_FAILED) ||
        (ts != 0x3B && ts != 0x3F) || r->ReplyDataLength > MAXIMUM_ATR_LENGTH ||
        !ParseAtr(r->ReplyBuffer, r->ReplyDataLength, &analysis)) {
        caps.ATR.Length = 0;
        return STATUS_UNRECOGNIZED_MEDIA;
    }
    // Nothing of an earlier card's capabilities may survive into this one's: the card may
    // have been swapped between two polls.
    const UCHAR length = static_cast<UCHAR>(r->ReplyDataLength & 0xFF);
    std::memset(&caps, 0, sizeof(caps));
    std::memcpy(caps.ATR.Buffer, r->ReplyBuffer, length);
    caps.ATR.Length = length;
    r->ProtocolSetByDriver = 0;
    r->AtrInfo = analysis;
    caps.Protocol.Selected = 0;
    // The state was pulled back to SWALLOWED for this power-up; counting it as the state last
    // reported makes the evaluation have the library analyse this ATR, even when the state
    // ends where it was before (a card swapped between two polls, a reset of a specific card).
    if (r->PreviousCardState > SCARD_ABSENT) r->PreviousCardState = SCARD_SWALLOWED;
    EvaluateCardStatus(ext);

    // The reader's waiting time, in units of 10 ms. A card whose protocol is not fixed yet
    // gets the T=0 rule with its WI; T=1 sends its own before every block.
    const std::uint64_t wwt = WorkWaitingTime(ext);
    std::uint64_t wait;
    if (caps.Protocol.Selected == SCARD_PROTOCOL_T1) {
        const ULONG bwi = caps.T1.BWI < 32 ? caps.T1.BWI : 31;
        wait = wwt * (std::uint64_t{1} << bwi) / 10;
    } else {
        wait = wwt * caps.T0.WI / 10;
    }
    // A value past 16 bits would wrap to a shorter wait: saturate instead.
    SetWaitTimeParameter(r, static_cast<USHORT>(wait > kMaxWaitTime ? kMaxWaitTime : wait));
    return ReaderCommand(ext, RC_SET_WAIT_TIME) == STATUS_SUCCESS ? STATUS_SUCCESS
                                                                  : STATUS_DEVICE_DATA_ERROR;
}

}  // namespace

NTSTATUS RepowerCard(PSMARTCARD_EXTENSION SmartcardExtension) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    PREADER_EXTENSION r = ext->ReaderExtension;
    KeWaitForSingleObject(&r->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
    ext->CardCapabilities.ATR.Length = 0;
    ULONG& state = ext->ReaderCapabilities.CurrentState;
    state = state > SCARD_ABSENT ? SCARD_SWALLOWED : SCARD_UNKNOWN;
    // A reset card knows nothing of an earlier T=1 session.
    SmartcardT1ResetSession(ext);
    const NTSTATUS status = PowerUpCard(ext);
    KeReleaseMutex(&r->ReaderMutex, FALSE);
    return status;
}

NTSTATUS ReaderPower(PSMARTCARD_EXTENSION SmartcardExtension) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    PREADER_EXTENSION r = ext->ReaderExtension;
    SCARD_CARD_CAPABILITIES& caps = ext->CardCapabilities;
    KeWaitForSingleObject(&r->ReaderMutex, Executive, KernelMode, FALSE, nullptr);

    caps.ATR.Length = 0;
    ULONG& state = ext->ReaderCapabilities.CurrentState;
    state = state > SCARD_ABSENT ? SCARD_SWALLOWED : SCARD_UNKNOWN;
    if (ext->IoRequest.Information != nullptr) *ext->IoRequest.Information = 0;

    NTSTATUS status;
    switch (ext->MinorIoControlCode) {
        case SCARD_POWER_DOWN:
            status = ReaderCommand(ext, RC_CARD_OFF);
            EvaluateCardStatus(ext);
            break;
        case SCARD_COLD_RESET:
        case SCARD_WARM_RESET:
            status = PowerUpCard(ext);
            if (status == STATUS_UNRECOGNIZED_MEDIA || status == STATUS_IO_TIMEOUT) {
                KeReleaseMutex(&r->ReaderMutex, FALSE);
                return status;
            }
            // The ATR goes back to a caller whose buffer holds it; a smaller buffer gets
            // nothing and the power-up still succeeds.
            if (ext->IoRequest.ReplyBuffer != nullptr &&
                ext->IoRequest.ReplyBufferLength >= caps.ATR.Length) {
                std::memcpy(ext->IoRequest.ReplyBuffer, caps.ATR.Buffer, caps.ATR.Length);
                if (ext->IoRequest.Information != nullptr) {
                    *ext->IoRequest.Information = caps.ATR.Length;
                }
            }
            break;
        default:
            KeReleaseMutex(&r->ReaderMutex, FALSE);
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (status != STATUS_SUCCESS) status = STATUS_DEVICE_DATA_ERROR;
    KeReleaseMutex(&r->ReaderMutex, FALSE);
    return status;
}
