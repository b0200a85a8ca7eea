// Card services: the reader functions the library calls for the standard requests.
#pragma once

#include "link/extension.h"

// ---- power and ATR (RDF_CARD_POWER) ----
NTSTATUS ReaderPower(PSMARTCARD_EXTENSION SmartcardExtension);
// Walks the interface bytes of an ATR (starting with TS, Length bytes) into AtrInfo, never past
// its end. FALSE when the ATR ends before the interface bytes its indicators announce.
BOOLEAN ParseAtr(const UCHAR* Atr, ULONG Length, ATR_INFO* AtrInfo);
// Powers the card up again after the reader was reset behind the application's back: the same
// full power-up as a cold reset (fresh ATR analysis, protocol fixed where the card leaves no
// choice, waiting time, a new T=1 session), without a caller to return the ATR to. A card that
// had been negotiated comes back NEGOTIABLE with no protocol selected.
NTSTATUS RepowerCard(PSMARTCARD_EXTENSION SmartcardExtension);
// Work waiting time of one unit of WI at the identified model's card clock, in milliseconds.
ULONG WorkWaitingTime(PSMARTCARD_EXTENSION SmartcardExtension);

// ---- protocol selection (RDF_SET_PROTOCOL) ----
NTSTATUS ReaderSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS ApplyProtocolTimeouts(PSMARTCARD_EXTENSION SmartcardExtension);
void ReturnSelectedProtocol(PSMARTCARD_EXTENSION SmartcardExtension);

// ---- transmit (RDF_TRANSMIT) ----
NTSTATUS ReaderTransmit(PSMARTCARD_EXTENSION SmartcardExtension);

// ---- card tracking and vendor callback (RDF_CARD_TRACKING, RDF_IOCTL_VENDOR) ----
NTSTATUS ReaderCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
void CompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
void CardTrackingCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ReaderVendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension);
