#include "driver/driver.h"

const MESSAGE_TABLE_ENTRY QuorMessageTable[] = {
    {QUOR_MSG_SMCLIB_VERSION,
     "The version of the dependency driver smclib.sys is not compatbile to this driver.\r\n"},
    {QUOR_MSG_SHARED_IRQ_BUSY,
     "The current serial port cannot be used because it uses a shared interrupt which is "
     "already in use.\r\nPlease connect the smart card reader to a different serial port.\r\n"},
    {QUOR_MSG_CANT_CREATE_DEVICE,
     "A new device cannot be created due to a system call failure.\r\n"},
    {QUOR_MSG_NO_MEMORY, "The system does not have enough memory.\r\n"},
    {QUOR_MSG_CANT_CONNECT_TO_ASSIGNED_PORT,
     "Internal error: Cannot connect to assigned serial port.\r\n"},
    {QUOR_MSG_TOO_MANY_DEVICES,
     "The maximum number of devices has already been created. \r\nA new device cannot be "
     "created.\r\n"},
    {QUOR_MSG_BUFFER_TOO_SMALL, "An internal i/o buffer is too small.\r\n"},
};
const ULONG QuorMessageTableSize = sizeof(QuorMessageTable) / sizeof(QuorMessageTable[0]);

const GUID GUID_DEVINTERFACE_SMARTCARD_READER = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
