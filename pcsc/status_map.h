// How the driver's statuses become the IFD handler's response codes.
//
// One table holds for every call; a few calls read some failures their own way: a power
// action that fails for any reason but a missing card, a silent reader or a missing device is
// IFD_ERROR_POWER_ACTION; a protocol selection the driver refuses as unsupported is
// IFD_PROTOCOL_NOT_SUPPORTED, any other failed selection IFD_ERROR_PTS_FAILURE; an attribute
// the driver does not know is IFD_ERROR_TAG, one it will not set IFD_ERROR_SET_FAILURE.
//
//   driver status                                  IFD code
//   STATUS_SUCCESS                                 IFD_SUCCESS
//   STATUS_NO_MEDIA                                IFD_ICC_NOT_PRESENT
//   STATUS_TIMEOUT, STATUS_IO_TIMEOUT              IFD_RESPONSE_TIMEOUT
//   STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_OVERFLOW  IFD_ERROR_INSUFFICIENT_BUFFER
//   STATUS_NO_SUCH_DEVICE, STATUS_DEVICE_NOT_CONNECTED  IFD_NO_SUCH_DEVICE
//   STATUS_NOT_SUPPORTED, STATUS_INVALID_DEVICE_REQUEST  IFD_NOT_SUPPORTED (control requests:
//                                                  IFD_ERROR_NOT_SUPPORTED)
//   anything else                                  IFD_COMMUNICATION_ERROR
// A power-up or transmission that fails while the driver reports the card absent is
// IFD_ICC_NOT_PRESENT whatever the status (the driver says a power-up without a card found no
// usable answer to reset).
#pragma once

#include "client/reader.h"
#include "pcsc/ifd.h"

namespace quor::pcsc {

enum class Call { General, Power, Protocol, GetAttribute, SetAttribute, Control };

RESPONSECODE IfdCode(quor::client::NtStatus status, Call call = Call::General);

// "IFD_ICC_NOT_PRESENT" and the like, for the log.
const char* IfdCodeName(RESPONSECODE code);

}  // namespace quor::pcsc
