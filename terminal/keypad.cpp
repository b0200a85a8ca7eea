// The commands that use the reader's keypad: INPUT, which collects digits itself by polling
// the reader's status, and PERFORM VERIFICATION and MODIFY VERIFICATION DATA, which hand the
// PIN entry and the exchange with the card to the reader through the transmit path.
#include <cstring>

#include "card/card.h"
#include "link/command.h"
#include "link/frame.h"
#include "platform/smclib/engine.h"
#include "terminal/answer.h"
#include "terminal/terminal.h"

namespace {

using namespace terminal;

constexpr UCHAR kP1Keypad = 0x50;
constexpr UCHAR kKeyConfirm = 11;
constexpr UCHAR kKeyMask = 0x0F;

constexpr ULONG kFirstKeyTimeoutMs = 15000;
constexpr ULONG kNextKeyTimeoutMs = 5000;
constexpr ULONG kMsPerSecond = 1000;
constexpr LONGLONG kTicksPerMs = 10000;

enum EchoMode : UCHAR { kEchoHidden = 0, kEchoDigits = 1, kEchoDashes = 2 };

constexpr ULONG kIoHeader = sizeof(SCARD_IO_REQUEST);
// The card's answer to a PIN command is gathered here first: every answer that one reply frame
// can carry (510 data bytes) with the reply processing's header in front.
constexpr ULONG kPinAnswerBuffer = kIoHeader + 512;

// The 8 characters shown while INPUT runs.
class InputDisplay {
  public:
    InputDisplay() { Clear(); }
    void Clear() {
        std::memcpy(text_, BlankDisplayText, DISPLAY_WIDTH);
        position_ = 0;
    }
    void Prompt(const UCHAR* text, ULONG length) {
        std::memcpy(text_, text, length < DISPLAY_WIDTH ? length : DISPLAY_WIDTH);
    }
    // Echo characters overwrite the prompt from its first character; once the display is full
    // the text moves one to the left for each new one.
    void Echo(UCHAR c) {
        if (position_ < DISPLAY_WIDTH) {
            text_[position_++] = c;
            return;
        }
        std::memmove(text_, text_ + 1, DISPLAY_WIDTH - 1);
        text_[DISPLAY_WIDTH - 1] = c;
    }
    const UCHAR* Text() const { return text_; }

  private:
    UCHAR text_[DISPLAY_WIDTH];
    ULONG position_ = 0;
};

// The INPUT key loop after the set-up; DisplayText points at the display buffer throughout.
NTSTATUS CollectKeys(PSMARTCARD_EXTENSION ext, InputDisplay& display, ULONG timeout, UCHAR echoMode,
                     ULONG keyLimit) {
    PREADER_EXTENSION r = ext->ReaderExtension;
    ULONG keys = 0;
    bool displayDue = true;
    bool done = false;
    ULONG start = MillisecondClock();
    for (;;) {
        NTSTATUS status = ReaderCommand(ext, RC_GET_STATUS);
        if (status != STATUS_SUCCESS) return status;

        // A reply that reports a failure carries an error kind in its low bits, not a key.
        const UCHAR key =
            (r->ReaderStatus & READER_STATUS_FAILED) ? kKeyMask : r->ReaderStatus & kKeyMask;
        if (key <= 9) {
            const auto digit = static_cast<UCHAR>('0' + key);
            ++keys;
            timeout = kNextKeyTimeoutMs;
            start = MillisecondClock();
            AppendByte(ext, digit);
            UCHAR echo = digit;
            switch (echoMode) {
                case kEchoHidden:
                    displayDue = false;
                    break;
                case kEchoDigits:
                    displayDue = true;
                    break;
                case kEchoDashes:
                    echo = '-';
                    displayDue = true;
                    break;
                default:
                    break;
            }
            display.Echo(echo);
        } else if (key == kKeyConfirm) {
            done = true;
            AppendStatusWord(ext, CT_SW_DONE);
        }
        // Differences of the wrapping clock, modulo 2^32.
        if (!done && MillisecondClock() - start > timeout) {
            done = true;
            AppendStatusWord(ext, CT_SW_INPUT_TIMEOUT);
        }
        if (!done && keys == keyLimit) {
            done = true;
            AppendStatusWord(ext, CT_SW_DONE);
        }
        if (done) {
            displayDue = true;
            display.Clear();
        }
        if (displayDue) {
            displayDue = false;
            status = ReaderCommand(ext, RC_DISPLAY);
            if (status != STATUS_SUCCESS) return status;
        }
        if (done) return STATUS_SUCCESS;
    }
}

// The answer of a PIN command from what the transmission left: the card's answer as the reply
// processing delivered it in this call (without its header), or the reader's own two bytes.
void AnswerPinExchange(PSMARTCARD_EXTENSION ext, NTSTATUS status, const UCHAR* answer,
                       ULONG answerLength) {
    PREADER_EXTENSION r = ext->ReaderExtension;
    ClearAnswer(ext);
    if (status != STATUS_SUCCESS) {
        AppendStatusWord(ext, CT_SW_WRONG_PARAMETERS);
    } else if (answerLength >= kIoHeader && answerLength <= kPinAnswerBuffer) {
        AppendAnswer(ext, answer + kIoHeader, answerLength - kIoHeader);
    } else if (r->PinReaderAnswered && r->SavedReplyLength <= SAVED_REPLY_SIZE) {
        AppendAnswer(ext, r->SavedReply, r->SavedReplyLength);
    } else {
        AppendStatusWord(ext, CT_SW_WRONG_PARAMETERS);  // no answer came back in this call
    }
}

// Steps shared by the PIN commands; `parameters` is 2 for verification, 3 for modification.
NTSTATUS PinCommand(PSMARTCARD_EXTENSION ext, const ApduInfo* apdu, ULONG pinMode,
                    ULONG parameters) {
    PREADER_EXTENSION r = ext->ReaderExtension;
    ClearAnswer(ext);
    r->PinTimeout = PIN_TIMEOUT_MS;
    // Every answer carries at least a status word. Without room for it the command is refused
    // before anything reaches the reader: the card must not act on a PIN whose outcome the
    // caller cannot learn.
    if (AnswerCapacity(ext) < 2) {
        MarkAnswerDidNotFit(ext);
        return STATUS_SUCCESS;
    }

    const DATA_OBJECT* toPerform = nullptr;
    DATA_OBJECT last{};
    ULONG position = 0;
    DATA_OBJECT object;
    while (NextDataObject(apdu, &position, &object)) {
        if (object.Tag == CT_TAG_DISPLAY_TEXT) {
            SetDisplayText(r, object.Value, object.Length);
            ReaderCommand(ext, RC_DISPLAY);  // the prompt is a courtesy
        } else if (object.Tag == CT_TAG_COMMAND_TO_PERFORM) {
            last = object;
            toPerform = &last;
        }
    }

    if (toPerform != nullptr) {
        const ULONG l = toPerform->Length;
        if (l < parameters || l - parameters > PIN_APDU_MAX) {
            AnswerStatusWord(ext, CT_SW_WRONG_LENGTH);
        } else {
            const UCHAR* v = toPerform->Value;
            r->PinParameters[0] = v[0];
            r->PinParameters[1] = v[1];
            if (parameters == 3) r->PinParameters[2] = v[2];
            ReaderCommand(ext, RC_PURGE);

            r->PinApduLength = l - parameters;
            const SCARD_IO_REQUEST header{SCARD_PROTOCOL_T1, kIoHeader};
            std::memcpy(r->PinRequest, &header, kIoHeader);
            std::memcpy(r->PinRequest + kIoHeader, v + parameters, r->PinApduLength);

            // The request and the reply processing get buffers of the driver's own: the reply
            // processing writes a header in front of the answer, and only the final answer has
            // to fit the caller's output buffer.
            const auto saved = ext->IoRequest;
            UCHAR answer[kPinAnswerBuffer];
            ULONG answerLength = 0;
            ext->IoRequest.RequestBuffer = r->PinRequest;
            ext->IoRequest.RequestBufferLength = r->PinApduLength + kIoHeader;
            ext->IoRequest.ReplyBuffer = answer;
            ext->IoRequest.ReplyBufferLength = sizeof(answer);
            ext->IoRequest.Information = &answerLength;
            r->PinReaderAnswered = 0;
            r->PinMode = pinMode;
            SmartcardT1StartApdu(ext);  // a fresh APDU, whatever an earlier exchange left
            const NTSTATUS status = ReaderTransmit(ext);
            r->PinMode = PIN_MODE_NONE;
            ext->IoRequest = saved;
            AnswerPinExchange(ext, status, answer, answerLength);
        }
    }

    SetBlankDisplayText(r);
    ReaderCommand(ext, RC_DISPLAY);  // clears the prompt
    return STATUS_SUCCESS;
}

}  // namespace

ULONG MillisecondClock() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return static_cast<ULONG>(static_cast<ULONGLONG>(now.QuadPart / kTicksPerMs));
}

NTSTATUS CtInput(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    PREADER_EXTENSION r = ext->ReaderExtension;
    ClearAnswer(ext);

    InputDisplay display;
    ULONG timeout = kFirstKeyTimeoutMs;
    ULONG position = 0;
    DATA_OBJECT object;
    while (NextDataObject(Apdu, &position, &object)) {
        if (object.Tag == CT_TAG_DISPLAY_TEXT) {
            display.Prompt(object.Value, object.Length);
        } else if (object.Tag == CT_TAG_TIMEOUT && object.Length > 0) {
            timeout = object.Value[0] * kMsPerSecond;  // an empty value leaves the default
        }
    }

    // Clears the display (nothing at all before any terminal command has set a text).
    NTSTATUS status = ReaderCommand(ext, RC_DISPLAY);
    if (status != STATUS_SUCCESS) return status;
    if (Apdu->P1 != kP1Keypad) {
        AppendStatusWord(ext, CT_SW_WRONG_PARAMETERS);
        return STATUS_SUCCESS;
    }

    // The key limit is the command's last byte (0: none), capped so that the digits and the
    // status word always fit the caller's output buffer. Without room for a digit and the
    // status word the input is not started.
    const ULONG capacity = AnswerCapacity(ext);
    if (capacity < 3) {
        MarkAnswerDidNotFit(ext);
        return STATUS_SUCCESS;
    }
    const ULONG lastByte = Apdu->Le & 0xFF;
    ULONG keyLimit = lastByte != 0 ? lastByte : 0xFFFF;
    if (keyLimit > capacity - 2) keyLimit = capacity - 2;

    SetDisplayText(r, display.Text(), DISPLAY_WIDTH);
    status = CollectKeys(ext, display, timeout, Apdu->P2, keyLimit);
    SetBlankDisplayText(r);
    return status;
}

NTSTATUS CtPerformVerification(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu) {
    return PinCommand(SmartcardExtension, Apdu, PIN_MODE_VERIFY, 2);
}

NTSTATUS CtModifyVerification(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu) {
    return PinCommand(SmartcardExtension, Apdu, PIN_MODE_MODIFY, 3);
}
