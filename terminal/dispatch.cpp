// The vendor device-control codes, the terminal command table, the analysis of a command APDU
// and what every handler shares: the answer writer, the data-object walk and the display text.
#include <cstring>

#include "link/command.h"
#include "link/frame.h"
#include "link/serial_io.h"
#include "terminal/answer.h"
#include "terminal/terminal.h"

const UCHAR BlankDisplayText[DISPLAY_WIDTH] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

const TERMINAL_COMMAND_ROW TerminalCommandTable[TERMINAL_COMMAND_ROWS] = {
    {0x20, 0x17, CtOutput, 0},                           // OUTPUT
    {0x20, 0x16, CtInput, CT_NEEDS_LE},                  // INPUT
    {0x20, 0x13, CtGetStatus, 0},                        // GET STATUS
    {0x20, 0x18, CtPerformVerification, CT_NEEDS_DATA},  // PERFORM VERIFICATION
    {0x80, 0x60, CtSelectProtocol, CT_NEEDS_DATA},       // select protocol
    {0x20, 0x19, CtModifyVerification, CT_NEEDS_DATA},   // MODIFY VERIFICATION DATA
    {0x20, 0x10, CtResetOrRequest, 0},                   // reset
    {0x20, 0x11, CtResetOrRequest, 0},                   // request card
    {0xFF, 0xFF, nullptr, 0},                            // end of table
};

namespace terminal {

void ClearAnswer(PSMARTCARD_EXTENSION ext) {
    if (ext->IoRequest.Information != nullptr) *ext->IoRequest.Information = 0;
}

void MarkAnswerDidNotFit(PSMARTCARD_EXTENSION ext) {
    if (ext->IoRequest.Information != nullptr) *ext->IoRequest.Information = ANSWER_DID_NOT_FIT;
}

ULONG AnswerCapacity(PSMARTCARD_EXTENSION ext) {
    return ext->IoRequest.ReplyBuffer != nullptr ? ext->IoRequest.ReplyBufferLength : 0;
}

bool AppendAnswer(PSMARTCARD_EXTENSION ext, const UCHAR* bytes, ULONG count) {
    PULONG counter = ext->IoRequest.Information;
    if (counter == nullptr || *counter == ANSWER_DID_NOT_FIT) return false;
    const ULONG capacity = AnswerCapacity(ext);
    if (*counter > capacity || count > capacity - *counter) {
        *counter = ANSWER_DID_NOT_FIT;
        return false;
    }
    // memmove: a handler may answer bytes it still finds in the shared request buffer.
    if (count != 0) std::memmove(ext->IoRequest.ReplyBuffer + *counter, bytes, count);
    *counter += count;
    return true;
}

bool AppendByte(PSMARTCARD_EXTENSION ext, UCHAR byte) { return AppendAnswer(ext, &byte, 1); }

bool AppendStatusWord(PSMARTCARD_EXTENSION ext, USHORT sw) {
    const UCHAR bytes[2] = {static_cast<UCHAR>(sw >> 8), static_cast<UCHAR>(sw & 0xFF)};
    return AppendAnswer(ext, bytes, 2);
}

void AnswerStatusWord(PSMARTCARD_EXTENSION ext, USHORT sw) {
    ClearAnswer(ext);
    AppendStatusWord(ext, sw);
}

void SetDisplayText(PREADER_EXTENSION r, const UCHAR* text, ULONG length) {
    // RC_DISPLAY only reads the text.
    r->DisplayText = const_cast<PUCHAR>(text);
    r->DisplayTextLength = length < DISPLAY_WIDTH ? length : DISPLAY_WIDTH;
}

void SetBlankDisplayText(PREADER_EXTENSION r) {
    SetDisplayText(r, BlankDisplayText, DISPLAY_WIDTH);
}

}  // namespace terminal

namespace {

using namespace terminal;

constexpr UCHAR kExtendedMarker = 0x00;  // first body byte of an extended coding
constexpr UCHAR kLongLength = 0xFF;      // a data object's two-byte length follows

// SMCLIB's request and reply buffer fields, lent to the reader command layer and put back.
class SmclibBuffers {
  public:
    explicit SmclibBuffers(PSMARTCARD_EXTENSION ext)
        : ext_(ext), request_(ext->SmartcardRequest), reply_(ext->SmartcardReply) {}
    ~SmclibBuffers() {
        ext_->SmartcardRequest = request_;
        ext_->SmartcardReply = reply_;
    }
    SmclibBuffers(const SmclibBuffers&) = delete;
    SmclibBuffers& operator=(const SmclibBuffers&) = delete;

  private:
    PSMARTCARD_EXTENSION ext_;
    SMARTCARD_REQUEST request_;
    SMARTCARD_REPLY reply_;
};

// Lends SMCLIB's request and reply buffers to the raw codes: both are the system buffer.
void LendToRaw(PSMARTCARD_EXTENSION ext, PUCHAR buffer, ULONG in, ULONG out) {
    ext->SmartcardRequest.Buffer = buffer;
    ext->SmartcardRequest.BufferLength = in;  // BufferSize keeps SMCLIB's value
    ext->SmartcardReply.Buffer = buffer;
    ext->SmartcardReply.BufferLength = out;
    ext->SmartcardReply.BufferSize = out;
}

NTSTATUS ServeTerminalCommand(PSMARTCARD_EXTENSION ext, PUCHAR buffer, ULONG in, ULONG out,
                              ULONG_PTR* information) {
    const auto saved = ext->IoRequest;
    ULONG counter = 0;
    ext->IoRequest.RequestBuffer = buffer;
    ext->IoRequest.ReplyBuffer = buffer;
    ext->IoRequest.RequestBufferLength = in;
    ext->IoRequest.ReplyBufferLength = out;
    ext->IoRequest.Information = &counter;

    NTSTATUS status = TerminalCommand(ext);
    if (ext->ReaderExtension->ReaderStatus & READER_STATUS_FAILED) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    ext->IoRequest = saved;

    if (counter > out) {
        // Nothing of an answer that does not fit was written.
        *information = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    *information = counter;
    return status;
}

NTSTATUS ServeRawWrite(PSMARTCARD_EXTENSION ext, PUCHAR buffer, ULONG in, ULONG out) {
    if (in == 0) return STATUS_SUCCESS;  // nothing to write
    SmclibBuffers saved(ext);
    LendToRaw(ext, buffer, in, out);
    ext->ReaderExtension->SerialIoControlCode = READER_SERIAL_WRITE;
    const NTSTATUS status = ext->ReaderExtension->SerialIoFunction(ext);
    // The reader's reply now waits for the raw read.
    if (status == STATUS_SUCCESS) ExpectRawReply(ext);
    return status;
}

NTSTATUS ServeRawRead(PSMARTCARD_EXTENSION ext, PUCHAR buffer, ULONG out, ULONG_PTR* information) {
    // The frame is read into the library's own reply buffer, which holds every frame a reader
    // sends, and only its data go to the caller. The caller's buffer must hold the frame's
    // rest (data, status byte and checksum); a frame too long for it is the caller's to learn
    // (STATUS_BUFFER_TOO_SMALL, nothing written), and it is taken off the line whole instead
    // of leaving its rest behind for the next reply.
    SmclibBuffers saved(ext);
    NTSTATUS status = ReadReaderReply(ext, 1);
    if (status == STATUS_SUCCESS) {
        const ULONG got = ext->SmartcardReply.BufferLength;
        const ULONG rest = got + 2;
        if (rest > out || buffer == nullptr) return STATUS_BUFFER_TOO_SMALL;
        if (got != 0) std::memcpy(buffer, ext->SmartcardReply.Buffer, got);
        *information = got;
    } else if (status == STATUS_TIMEOUT) {
        // A time-out is a success code: the caller must not take the buffer for an answer.
        status = STATUS_IO_TIMEOUT;
    }
    return status;
}

}  // namespace

NTSTATUS TerminalDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp, ULONG Code) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    auto* buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    const ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (Code) {
        case IOCTL_TERMINAL_COMMAND:
            status = ServeTerminalCommand(SmartcardExtension, buffer, in, out, &information);
            break;
        case IOCTL_READER_RAW_WRITE:
            status = ServeRawWrite(SmartcardExtension, buffer, in, out);
            break;
        case IOCTL_READER_RAW_READ:
            status = ServeRawRead(SmartcardExtension, buffer, out, &information);
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS TerminalCommand(PSMARTCARD_EXTENSION SmartcardExtension) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    SmclibBuffers saved(ext);
    ClearAnswer(ext);
    HonourDisplayExpiry(ext);

    const UCHAR* command = ext->IoRequest.RequestBuffer;
    const auto length = static_cast<USHORT>(ext->IoRequest.RequestBufferLength & 0xFFFF);
    if (command == nullptr || length < 2) {
        // No CLA and INS to look up.
        AnswerStatusWord(ext, CT_SW_WRONG_LENGTH);
        return STATUS_SUCCESS;
    }

    const TERMINAL_COMMAND_ROW* row = nullptr;
    for (const TERMINAL_COMMAND_ROW& r : TerminalCommandTable) {
        if (r.Cla == 0xFF || r.Ins == 0xFF) break;
        if (r.Cla == command[0] && r.Ins == command[1]) {
            row = &r;
            break;
        }
    }
    if (row == nullptr) {
        AnswerStatusWord(ext, CT_SW_NOT_SERVED);
        return STATUS_SUCCESS;
    }
    ApduInfo info{};
    if (CheckApduCase(ext, row, &info) != STATUS_SUCCESS) return STATUS_SUCCESS;
    if (row->Handler(ext, &info) != STATUS_SUCCESS) AnswerStatusWord(ext, CT_SW_NOT_SERVED);
    return STATUS_SUCCESS;
}

NTSTATUS CheckApduCase(PSMARTCARD_EXTENSION SmartcardExtension, const TERMINAL_COMMAND_ROW* Row,
                       ApduInfo* Info) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    const auto length = static_cast<USHORT>(ext->IoRequest.RequestBufferLength & 0xFFFF);
    USHORT sw = 0;
    if (!AnalyzeApdu(ext->IoRequest.RequestBuffer, length, Info)) {
        sw = CT_SW_WRONG_LENGTH;
    } else if ((Row->Flags & (CT_NEEDS_LE | CT_NEEDS_LE_ALT)) && !Info->LePresent) {
        sw = CT_SW_NO_LE;
    } else if ((Row->Flags & CT_NEEDS_DATA) && !Info->LcPresent) {
        sw = CT_SW_WRONG_LENGTH;
    } else {
        return STATUS_SUCCESS;
    }
    AnswerStatusWord(ext, sw);
    return STATUS_UNSUCCESSFUL;
}

BOOLEAN AnalyzeApdu(const UCHAR* Command, USHORT Length, ApduInfo* Info) {
    Info->Lc = 0;
    Info->Le = 0;
    Info->Data = nullptr;
    Info->LePresent = 0;
    Info->ShortForm = 1;
    Info->LcPresent = 0;
    Info->ExtendedLc = 0;
    if (Command == nullptr || Length < 4) return FALSE;
    Info->P1 = Command[2];
    Info->P2 = Command[3];

    // Full integers: Lc + 5 may pass 65535.
    const ULONG n = Length - 4u;
    const UCHAR* b = Command + 4;
    if (n == 0) return TRUE;  // case 1
    if (n == 1) {             // case 2 short
        Info->Le = b[0];
        Info->LePresent = 1;
        return TRUE;
    }
    if (b[0] != kExtendedMarker) {
        const ULONG lc = b[0];
        Info->Lc = static_cast<USHORT>(lc);
        Info->Data = Command + 5;
        if (n == lc + 1) {  // case 3 short
            Info->LcPresent = 1;
            return TRUE;
        }
        if (n == lc + 2) {  // case 4 short
            Info->LcPresent = 1;
            Info->Le = b[lc + 1];
            Info->LePresent = 1;
            return TRUE;
        }
        return FALSE;
    }

    Info->ShortForm = 0;
    if (n == 3) {  // case 2 extended
        Info->Le = static_cast<USHORT>((b[1] << 8) | b[2]);
        Info->LePresent = 1;
        return TRUE;
    }
    if (n == 2) return FALSE;
    const ULONG lc = (ULONG{b[1]} << 8) | b[2];
    Info->Lc = static_cast<USHORT>(lc);
    Info->Data = Command + 7;
    Info->LcPresent = 1;
    Info->ExtendedLc = 1;
    if (lc == 0) return FALSE;
    if (n == lc + 3) return TRUE;  // case 3 extended
    if (n == lc + 5) {             // case 4 extended
        Info->Le = static_cast<USHORT>((b[lc + 3] << 8) | b[lc + 4]);
        Info->LePresent = 1;
        return TRUE;
    }
    return FALSE;
}

BOOLEAN NextDataObject(const ApduInfo* Apdu, ULONG* Position, DATA_OBJECT* Object) {
    if (!Apdu->LcPresent || Apdu->Data == nullptr) return FALSE;
    const UCHAR* data = Apdu->Data;
    const ULONG end = Apdu->Lc;
    const ULONG p = *Position;
    if (p >= end || end - p < 2) return FALSE;
    ULONG length = data[p + 1];
    ULONG header = 2;
    if (length == kLongLength) {
        if (end - p < 4) return FALSE;
        length = (ULONG{data[p + 2]} << 8) | data[p + 3];
        header = 4;
    }
    if (length > end - p - header) return FALSE;
    Object->Tag = data[p];
    Object->Length = length;
    Object->Value = data + p + header;
    *Position = p + header + length;
    return TRUE;
}
