// Reader management: identification and attributes, card status and the polling thread, and
// the start-up of a freshly opened reader.
#pragma once

#include "link/extension.h"

// Reader models chosen by identification.
constexpr ULONG READER_MODEL_UNKNOWN = 0;

// Pause between two status polls, and the pauses of an identification, in 100 ns units.
constexpr LONGLONG POLL_PAUSE = 18'000'000;
constexpr LONGLONG IDENTIFY_PAUSE = 15'000'000;
// Failed polls in a row that make the polling thread reset the reader.
constexpr LONG POLL_ERRORS_BEFORE_RESET = 3;

// Resets the reader and identifies its model from the fourth information byte. Returns the
// status of the RC_GET_INFO exchange.
NTSTATUS IdentifyReader(PSMARTCARD_EXTENSION SmartcardExtension);
// Shows the information bytes on the reader's display (for models that have one).
NTSTATUS DisplayFirmwareVersion(PSMARTCARD_EXTENSION SmartcardExtension, USHORT Refresh);

// Asks the reader for its status and, when it answered, evaluates it.
NTSTATUS UpdateCardStatus(PSMARTCARD_EXTENSION SmartcardExtension);
// Derives the card state from ReaderStatus and the ATR held, reports changes.
void EvaluateCardStatus(PSMARTCARD_EXTENSION SmartcardExtension);

// The reader answers nothing, not even after a reset: the card state becomes SCARD_UNKNOWN and
// an application waiting for the card to leave is told.
void ReaderNotAnswering(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS StartPollThread(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS StopPollThread(PSMARTCARD_EXTENSION SmartcardExtension);
void PollThread(PVOID Context);

// Identifies the reader, builds the version and serial-number attributes and sets the first
// card state. Returns the status of the status update.
NTSTATUS InitializeReader(PSMARTCARD_EXTENSION SmartcardExtension);
