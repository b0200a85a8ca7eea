// The QUOR IFD handler for pcsc-lite (IFD handler API version 3): the IFDH* functions of
// <ifdhandler.h>, exported from libquor_ifd.so, each a thin face on quor::client::Reader.
//
// Readers and channels. pcscd gives every reader a Lun whose upper 16 bits are the reader's
// index and whose lower 16 bits the slot; a QUOR reader has one slot (0). Each Lun opened gets
// a Reader of its own; the Readers of one pcscd share one host and driver, so several QUOR
// readers work side by side, and calls for different readers run at the same time (the
// handler says so with TAG_IFD_THREAD_SAFE).
//
// Device names (DEVICENAME in reader.conf):
//   /dev/ttyS0, /dev/ttyUSB0, ...   the serial port the reader sits on
//   emulated:CARD                   an in-process emulated reader, for trying pcscd without a
//                                   reader and for tests; CARD is t0, t1, dual, memory or none
// IFDHCreateChannel takes a channel number instead: channel N (1..256) is /dev/ttyS<N-1>, so
// CHANNELID 1 is the first serial port.
//
// Card events. TAG_IFD_POLLING_THREAD_WITH_TIMEOUT hands pcscd a function that waits in the
// driver (IOCTL_SMARTCARD_IS_PRESENT or IS_ABSENT) for the next insertion or removal, so
// pcscd learns of a card event as soon as the driver's polling sees it, without polling
// itself. The wait cannot be killed (TAG_IFD_POLLING_THREAD_KILLABLE is 0); pcscd stops it
// through TAG_IFD_STOP_POLLING_THREAD, which cancels the driver's tracking request.
//
// Status codes: pcsc/status_map.h. Part 10 features and PIN structures: pcsc/part10.h.
// Logging: pcsc/log.h.
#pragma once

#include "pcsc/ifd.h"

namespace quor::client {
class Reader;
}

namespace quor::pcsc {

// The Reader behind an open Lun, nullptr when none is open; for tests, which reach the
// emulated reader of an "emulated:" channel through it. Valid until the channel closes.
quor::client::Reader* ReaderOf(DWORD lun);

}  // namespace quor::pcsc
