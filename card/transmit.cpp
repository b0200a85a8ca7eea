// One APDU to the card and its answer back, in as many passes as the protocol needs. Each pass:
// the library builds the protocol bytes, a PIN-pad header may go in front, the bytes travel in
// one reader frame, and the reader's reply goes to the library's reply processing. One budget
// of three repeats serves all passes of a call.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "card/card.h"
#include "link/command.h"
#include "link/frame.h"
#include "link/serial_io.h"

namespace {

constexpr LONG kRetries = 3;
constexpr ULONG kMaxWaitTime = 0xFFFF;
// Longest total read time-out in milliseconds (0xFFFFFFFF has a meaning of its own).
constexpr std::uint64_t kMaxTotal = 0xFFFFFFFE;
// Passes that T=0 and raw may ask for beyond their repeats; neither engine chains, so more
// than a few means the reply processing is stuck.
constexpr int kMaxExtraPasses = 8;

bool NoAnswerStatus(NTSTATUS s) {
    return s == STATUS_MORE_PROCESSING_REQUIRED || s == STATUS_DEVICE_PROTOCOL_ERROR ||
           s == STATUS_TIMEOUT;
}

bool IsPinMode(ULONG mode) { return mode == PIN_MODE_VERIFY || mode == PIN_MODE_MODIFY; }

// The T=1 block waiting time for the reader, in 10 ms units, with the card's extension.
USHORT T1WaitTime(PSMARTCARD_EXTENSION ext) {
    const ULONG bwi = ext->CardCapabilities.T1.BWI < 32 ? ext->CardCapabilities.T1.BWI : 31;
    std::uint64_t q = std::uint64_t{WorkWaitingTime(ext)} * (std::uint64_t{1} << bwi) / 10;
    if (ext->T1.Wtx != 0) q *= ext->T1.Wtx;
    return static_cast<USHORT>(q > kMaxWaitTime ? kMaxWaitTime : q);
}

}  // namespace

NTSTATUS ReaderTransmit(PSMARTCARD_EXTENSION SmartcardExtension) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    PREADER_EXTENSION r = ext->ReaderExtension;
    SMARTCARD_REQUEST& req = ext->SmartcardRequest;
    SMARTCARD_REPLY& rep = ext->SmartcardReply;
    KeWaitForSingleObject(&r->ReaderMutex, Executive, KernelMode, FALSE, nullptr);

    LONG retries = kRetries;
    bool timeoutSaved = false;
    ULONG savedTimeout = 0;
    int extraPasses = 0;
    NTSTATUS status = STATUS_SUCCESS;

    for (;;) {
        UCHAR prologue = 0;
        bool headerAllowed = true;
        ReaderCommand(ext, RC_PURGE);

        const ULONG selected = ext->CardCapabilities.Protocol.Selected;
        if (selected == SCARD_PROTOCOL_T1) {
            SetWaitTimeParameter(r, T1WaitTime(ext));
            // A reader that answers nothing, not even a status request, gets no block: its
            // silence would only be waited out again for every repeat and recovery block.
            if (ReaderCommand(ext, RC_SET_WAIT_TIME) == STATUS_TIMEOUT && !ReaderAnswers(ext)) {
                status = STATUS_TIMEOUT;
                goto end;
            }
        }

        req.BufferLength = 0;
        bool noReply = false;
        NTSTATUS built;
        switch (selected) {
            case SCARD_PROTOCOL_T0:
                built = SmartcardT0Request(ext);
                break;
            case SCARD_PROTOCOL_T1:
                built = SmartcardT1Request(ext);
                prologue = 3;  // NAD, PCB and LEN come before the APDU bytes in a block
                headerAllowed = req.BufferLength >= 2 && !(req.Buffer[1] & 0x80);
                break;
            case SCARD_PROTOCOL_RAW:
                built = SmartcardRawRequest(ext);
                break;
            default:
                status = STATUS_INVALID_DEVICE_REQUEST;
                goto end;
        }
        if (built != STATUS_SUCCESS) {
            status = built;
            goto end;
        }

        {
            UCHAR frameCode = FRAME_CARD_EXCHANGE;
            const bool pinPass = headerAllowed && IsPinMode(r->PinMode);
            if (pinPass) {
                // Values that count from the first APDU byte are moved to count from the first
                // byte of the block.
                const ULONG headerLength = r->PinMode == PIN_MODE_VERIFY ? 2 : 3;
                if (req.BufferLength + headerLength > req.BufferSize ||
                    req.BufferLength + headerLength > READER_BUFFER_SIZE) {
                    status = STATUS_BUFFER_TOO_SMALL;
                    goto end;
                }
                r->CommandBuffer[0] = r->PinParameters[0];
                r->CommandBuffer[1] = static_cast<UCHAR>(r->PinParameters[1] + prologue);
                if (r->PinMode == PIN_MODE_MODIFY) {
                    r->CommandBuffer[2] = static_cast<UCHAR>(r->PinParameters[2] + prologue);
                }
                std::memcpy(r->CommandBuffer + headerLength, req.Buffer, req.BufferLength);
                req.BufferLength += headerLength;
                std::memcpy(req.Buffer, r->CommandBuffer, req.BufferLength);
                frameCode = r->PinMode == PIN_MODE_VERIFY ? FRAME_PIN_VERIFY : FRAME_PIN_MODIFY;
                if (!timeoutSaved) {
                    savedTimeout = r->SerialConfigData.Timeouts.ReadTotalTimeoutConstant;
                    timeoutSaved = true;
                }
                r->SerialConfigData.Timeouts.ReadTotalTimeoutConstant = r->PinTimeout;
                ReaderCommand(ext, RC_SET_TIMEOUTS);
            }

            ULONG frameLength = 0;
            status = BuildReaderFrame(frameCode, req.Buffer, req.BufferLength, r->CommandBuffer,
                                      READER_BUFFER_SIZE, &frameLength);
            if (status != STATUS_SUCCESS) goto end;
            if (frameLength > req.BufferSize) {
                status = STATUS_BUFFER_TOO_SMALL;
                goto end;
            }
            req.BufferLength = frameLength;
            std::memcpy(req.Buffer, r->CommandBuffer, frameLength);

            rep.BufferLength = 0;
            r->SerialIoControlCode = READER_SERIAL_WRITE;
            status = r->SerialIoFunction(ext);
            if (status != STATUS_SUCCESS) goto end;

            if (selected != SCARD_PROTOCOL_T1) {
                NTSTATUS read = ReadReaderReply(ext, 1);
                if (read == STATUS_TIMEOUT && !ReaderAnswers(ext)) {
                    status = STATUS_TIMEOUT;  // a silent reader: no repeat
                    goto end;
                }
                if (NoAnswerStatus(read) && retries > 0) {
                    --retries;
                    continue;
                }
                const UCHAR rs = r->ReaderStatus;
                if (rs & READER_STATUS_FAILED) {
                    const bool cardError = rs & READER_STATUS_CARD_ERROR;
                    const bool fatal = (rs & READER_STATUS_KIND_MASK) == READER_ERROR_KIND_FATAL;
                    if (cardError && !fatal && retries > 0) {
                        --retries;
                        continue;
                    }
                    if (cardError && fatal) rep.BufferLength = 0;
                    read = STATUS_TIMEOUT;
                }
                if (read != STATUS_SUCCESS) {
                    // A read that still reports no answer after the last repeat ends the call;
                    // it must not start another pass.
                    status = read == STATUS_MORE_PROCESSING_REQUIRED ? STATUS_TIMEOUT : read;
                    goto end;
                }
                status =
                    selected == SCARD_PROTOCOL_T0 ? SmartcardT0Reply(ext) : SmartcardRawReply(ext);
                if (status == STATUS_MORE_PROCESSING_REQUIRED && ++extraPasses > kMaxExtraPasses) {
                    status = STATUS_DEVICE_PROTOCOL_ERROR;
                    goto end;
                }
            } else {
                // The card asked for more time: the read may wait Wtx x BWT longer, and still
                // returns as soon as the answer is there.
                ULONG& total = r->SerialConfigData.Timeouts.ReadTotalTimeoutConstant;
                const ULONG base = total;
                if (ext->T1.Wtx != 0) {
                    const std::uint64_t extraMs =
                        (std::uint64_t{ext->T1.Wtx} * ext->CardCapabilities.T1.BWT + 999) / 1000;
                    total = static_cast<ULONG>(std::min<std::uint64_t>(base + extraMs, kMaxTotal));
                    ReaderCommand(ext, RC_SET_TIMEOUTS);
                }
                NTSTATUS read = ReadReaderReply(ext, 1);
                if (total != base) {
                    total = base;
                    const ULONG replyLength = rep.BufferLength;  // the time-out request clears it
                    ReaderCommand(ext, RC_SET_TIMEOUTS);
                    rep.BufferLength = replyLength;
                }
                const bool readOk = read == STATUS_SUCCESS;
                if (read == STATUS_TIMEOUT && !ReaderAnswers(ext)) {
                    status = STATUS_TIMEOUT;  // a silent reader: no repeat, no recovery blocks
                    goto end;
                }
                if (NoAnswerStatus(read)) {
                    noReply = true;
                    read = STATUS_MORE_PROCESSING_REQUIRED;
                } else if (!readOk) {
                    status = read;
                    goto end;
                }
                const UCHAR rs = r->ReaderStatus;
                if (rs & READER_STATUS_FAILED) {
                    if (rep.BufferLength == 0) {
                        noReply = true;
                    } else if ((rs & READER_STATUS_CARD_ERROR) &&
                               (rs & READER_STATUS_KIND_MASK) == READER_ERROR_KIND_FATAL) {
                        rep.BufferLength = 0;
                        status = STATUS_DEVICE_PROTOCOL_ERROR;
                        goto end;
                    }
                }
                if (noReply) {
                    if (retries > 0) {
                        --retries;
                        rep.BufferLength = 0;
                        continue;  // the next pass sends the same block again
                    }
                    status = STATUS_TIMEOUT;
                }
                // The reader's own answer to a PIN frame: two bytes of its own (keypad
                // time-out or cancel), or the card's block. Only a reply read in this pass
                // counts; after a failed read the reply buffer holds a stale frame head.
                if (pinPass && readOk) {
                    if (r->ReplyLength == 2) {
                        std::memcpy(r->SavedReply, r->ReplyBuffer, 2);
                        r->SavedReplyLength = 2;
                        r->PinReaderAnswered = 1;
                        status = STATUS_SUCCESS;
                        goto end;
                    }
                    if (r->ReplyLength >= 4 && !(r->ReplyBuffer[1] & 0x80)) {
                        const ULONG length = r->ReplyBuffer[2];
                        // An information field longer than SavedReply is not kept; the answer
                        // then comes from the reply processing.
                        if (length <= SAVED_REPLY_SIZE && 3 + length <= r->ReplyLength) {
                            std::memcpy(r->SavedReply, r->ReplyBuffer + 3, length);
                            r->SavedReplyLength = length;
                        }
                    }
                }
                status = SmartcardT1Reply(ext);
            }
        }
        if (status != STATUS_MORE_PROCESSING_REQUIRED) break;
    }

end:
    if (status == STATUS_TIMEOUT) status = STATUS_IO_TIMEOUT;
    if (timeoutSaved) {
        r->SerialConfigData.Timeouts.ReadTotalTimeoutConstant = savedTimeout;
        ReaderCommand(ext, RC_SET_TIMEOUTS);
    }
    KeReleaseMutex(&r->ReaderMutex, FALSE);
    return status;
}
