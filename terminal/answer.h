// Writing a terminal command's answer: through the counter at IoRequest.Information, into
// IoRequest.ReplyBuffer, never past IoRequest.ReplyBufferLength. An append that does not fit
// writes nothing and leaves the counter at ANSWER_DID_NOT_FIT, where later appends leave it.
#pragma once

#include "terminal/terminal.h"

namespace terminal {

// Starts the answer afresh (counter 0).
void ClearAnswer(PSMARTCARD_EXTENSION ext);
// Appends bytes; false when they do not fit (the answer is then marked as not fitting).
bool AppendAnswer(PSMARTCARD_EXTENSION ext, const UCHAR* bytes, ULONG count);
bool AppendByte(PSMARTCARD_EXTENSION ext, UCHAR byte);
bool AppendStatusWord(PSMARTCARD_EXTENSION ext, USHORT sw);
// Replaces the answer by a status word alone.
void AnswerStatusWord(PSMARTCARD_EXTENSION ext, USHORT sw);
// Marks the answer as one that does not fit the caller's output buffer.
void MarkAnswerDidNotFit(PSMARTCARD_EXTENSION ext);
// Room the caller's output buffer has in all (not what is left of it).
ULONG AnswerCapacity(PSMARTCARD_EXTENSION ext);

// Points DisplayText at a text of the running command (at most DISPLAY_WIDTH bytes of it).
void SetDisplayText(PREADER_EXTENSION r, const UCHAR* text, ULONG length);
// Points DisplayText back at BlankDisplayText.
void SetBlankDisplayText(PREADER_EXTENSION r);

}  // namespace terminal
