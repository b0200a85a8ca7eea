#include <cstring>

#include "card/card.h"
#include "link/command.h"
#include "link/frame.h"
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

BOOLEAN ParseAtr(const UCHAR* Atr, ATR_INFO* a) {
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

    const UCHAR t0 = Atr[1];
    a->HistoricalCount = t0 & 0x0F;
    ULONG p = 2;
    UCHAR y = t0 >> 4;

    // Level 1: TA1 TB1 TC1 TD1.
    if (y & 1) {
        a->Fi = Atr[p] >> 4;
        a->Di = Atr[p] & 0x0F;
        ++p;
    }
    if (y & 2) {
        a->II = (Atr[p] >> 5) & 0x03;
        a->PI1 = Atr[p] & 0x1F;
        ++p;
    }
    if (y & 4) a->N = Atr[p++];
    if (!(y & 8)) return TRUE;
    UCHAR td = Atr[p++];
    a->TD1Present = 1;
    a->TD1Protocol = td & 0x0F;
    a->Protocol = td & 0x0F;
    y = td >> 4;

    // Level 2: TA2 TB2 TC2 TD2.
    if (y & 1) a->TA2 = Atr[p++];
    if (y & 2) {
        a->PI2 = Atr[p++];
        a->TB2Present = 1;
    }
    if (y & 4) {
        if (a->Protocol == 0) a->WI = Atr[p];
        ++p;
    }
    if (!(y & 8)) return TRUE;
    td = Atr[p++];
    a->TD2Present = 1;
    a->TD2Protocol = td & 0x0F;
    a->Protocol = td & 0x0F;
    y = td >> 4;

    // Level 3: TA3 TB3 TC3 TD3, read for T=1 and T=14.
    if (y & 1) {
        if (a->Protocol == 1) {
            a->IFSC = Atr[p];
        } else if (a->Protocol == 14) {
            a->T14TA3Low = Atr[p] & 0x0F;
            a->T14TA3High = Atr[p] >> 4;
        }
        ++p;
    }
    if (y & 2) {
        if (a->Protocol == 1) {
            a->CWI = Atr[p] & 0x0F;
            a->BWI = Atr[p] >> 4;
        } else if (a->Protocol == 14) {
            a->T14TB3 = Atr[p];
        }
        ++p;
    }
    if (y & 4) {
        if (a->Protocol == 1) {
            a->EDC = Atr[p] & 0x01;
        } else if (a->Protocol == 14) {
            a->CWI = Atr[p];
        }
        ++p;
    }
    if (!(y & 8)) return TRUE;
    td = Atr[p++];
    a->TD3Present = 1;
    a->TD3Protocol = td & 0x0F;
    a->Protocol = td & 0x0F;
    y = td >> 4;

    // Level 4: TA4 TB4 TC4 TD4.
    if (y & 1) {
        if (a->Protocol == 14) a->BWI = Atr[p];
        ++p;
    }
    if (y & 2) ++p;
    if (y & 4) ++p;
    if (y & 8) {
        td = Atr[p];
        a->TD4Present = 1;
        a->TD4Protocol = td & 0x0F;
        a->Protocol = td & 0x0F;
    }
    return TRUE;
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
        case SCARD_WARM_RESET: {
            ReaderCommand(ext, RC_GET_STATUS);
            bool answered = false;
            for (int attempt = 0; attempt < kPowerUpAttempts && !answered; ++attempt) {
                ReaderCommand(ext, RC_PURGE);
                answered =
                    ReaderCommand(ext, RC_CARD_ON) == STATUS_SUCCESS && r->ReplyDataLength != 0;
            }
            if (!answered) {
                r->ReaderStatus = 0;
                EvaluateCardStatus(ext);
                KeReleaseMutex(&r->ReaderMutex, FALSE);
                return STATUS_UNRECOGNIZED_MEDIA;
            }
            // An answer that is not an ATR (card not powered, reader error, bad TS), or one too
            // long for the ATR buffer, is refused.
            const UCHAR ts = r->ReplyBuffer[0];
            if (!(r->ReaderStatus & READER_STATUS_POWERED) ||
                (r->ReaderStatus & READER_STATUS_FAILED) || (ts != 0x3B && ts != 0x3F) ||
                r->ReplyDataLength > MAXIMUM_ATR_LENGTH) {
                caps.ATR.Length = 0;
                KeReleaseMutex(&r->ReaderMutex, FALSE);
                return STATUS_UNRECOGNIZED_MEDIA;
            }
            const UCHAR length = static_cast<UCHAR>(r->ReplyDataLength & 0xFF);
            std::memcpy(caps.ATR.Buffer, r->ReplyBuffer, length);
            caps.ATR.Length = length;
            if (ext->IoRequest.ReplyBuffer != nullptr &&
                ext->IoRequest.ReplyBufferLength >= length) {
                std::memcpy(ext->IoRequest.ReplyBuffer, caps.ATR.Buffer, length);
                if (ext->IoRequest.Information != nullptr) *ext->IoRequest.Information = length;
            }
            r->ProtocolSetByDriver = 0;
            ParseAtr(caps.ATR.Buffer, &r->AtrInfo);
            caps.Protocol.Selected = 0;
            EvaluateCardStatus(ext);

            // The reader's waiting time, in units of 10 ms. A card whose protocol is not fixed
            // yet gets the T=0 rule with its WI; T=1 sends its own before every block.
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
            status = ReaderCommand(ext, RC_SET_WAIT_TIME);
            break;
        }
        default:
            KeReleaseMutex(&r->ReaderMutex, FALSE);
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (status != STATUS_SUCCESS) status = STATUS_DEVICE_DATA_ERROR;
    KeReleaseMutex(&r->ReaderMutex, FALSE);
    return status;
}
