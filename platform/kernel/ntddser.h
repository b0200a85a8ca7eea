// Serial port requests and their records, as the serial port driver below understands them.
#pragma once

#include "platform/kernel/io.h"

constexpr ULONG SERIAL_CTL_CODE(ULONG function) {
    return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
constexpr ULONG IOCTL_SERIAL_SET_BAUD_RATE = SERIAL_CTL_CODE(1);
constexpr ULONG IOCTL_SERIAL_SET_QUEUE_SIZE = SERIAL_CTL_CODE(2);
constexpr ULONG IOCTL_SERIAL_SET_LINE_CONTROL = SERIAL_CTL_CODE(3);
constexpr ULONG IOCTL_SERIAL_SET_BREAK_ON = SERIAL_CTL_CODE(4);
constexpr ULONG IOCTL_SERIAL_SET_BREAK_OFF = SERIAL_CTL_CODE(5);
constexpr ULONG IOCTL_SERIAL_SET_TIMEOUTS = SERIAL_CTL_CODE(7);
constexpr ULONG IOCTL_SERIAL_GET_TIMEOUTS = SERIAL_CTL_CODE(8);
constexpr ULONG IOCTL_SERIAL_SET_DTR = SERIAL_CTL_CODE(9);
constexpr ULONG IOCTL_SERIAL_CLR_DTR = SERIAL_CTL_CODE(10);
constexpr ULONG IOCTL_SERIAL_SET_RTS = SERIAL_CTL_CODE(12);
constexpr ULONG IOCTL_SERIAL_CLR_RTS = SERIAL_CTL_CODE(13);
constexpr ULONG IOCTL_SERIAL_GET_WAIT_MASK = SERIAL_CTL_CODE(16);
constexpr ULONG IOCTL_SERIAL_SET_WAIT_MASK = SERIAL_CTL_CODE(17);
constexpr ULONG IOCTL_SERIAL_PURGE = SERIAL_CTL_CODE(19);
constexpr ULONG IOCTL_SERIAL_GET_BAUD_RATE = SERIAL_CTL_CODE(20);
constexpr ULONG IOCTL_SERIAL_GET_LINE_CONTROL = SERIAL_CTL_CODE(21);
constexpr ULONG IOCTL_SERIAL_GET_CHARS = SERIAL_CTL_CODE(22);
constexpr ULONG IOCTL_SERIAL_SET_CHARS = SERIAL_CTL_CODE(23);
constexpr ULONG IOCTL_SERIAL_GET_HANDFLOW = SERIAL_CTL_CODE(24);
constexpr ULONG IOCTL_SERIAL_SET_HANDFLOW = SERIAL_CTL_CODE(25);
constexpr ULONG IOCTL_SERIAL_GET_DTRRTS = SERIAL_CTL_CODE(30);

struct SERIAL_BAUD_RATE {
    ULONG BaudRate;
};

constexpr UCHAR STOP_BIT_1 = 0;
constexpr UCHAR STOP_BITS_1_5 = 1;
constexpr UCHAR STOP_BITS_2 = 2;
constexpr UCHAR NO_PARITY = 0;
constexpr UCHAR ODD_PARITY = 1;
constexpr UCHAR EVEN_PARITY = 2;
constexpr UCHAR MARK_PARITY = 3;
constexpr UCHAR SPACE_PARITY = 4;

struct SERIAL_LINE_CONTROL {
    UCHAR StopBits;
    UCHAR Parity;
    UCHAR WordLength;
};

struct SERIAL_CHARS {
    UCHAR EofChar;
    UCHAR ErrorChar;
    UCHAR BreakChar;
    UCHAR EventChar;
    UCHAR XonChar;
    UCHAR XoffChar;
};

// Milliseconds. Reads: the interval time-out runs between two bytes once the first has come;
// the total time-out is multiplier x bytes asked + constant; 0 turns either off.
struct SERIAL_TIMEOUTS {
    ULONG ReadIntervalTimeout;
    ULONG ReadTotalTimeoutMultiplier;
    ULONG ReadTotalTimeoutConstant;
    ULONG WriteTotalTimeoutMultiplier;
    ULONG WriteTotalTimeoutConstant;
};

constexpr ULONG SERIAL_XOFF_CONTINUE = 0x80000000;
constexpr ULONG SERIAL_DTR_HANDSHAKE = 0x02;
constexpr ULONG SERIAL_CTS_HANDSHAKE = 0x08;
constexpr ULONG SERIAL_AUTO_TRANSMIT = 0x01;
constexpr ULONG SERIAL_AUTO_RECEIVE = 0x02;
constexpr ULONG SERIAL_RTS_HANDSHAKE = 0x80;

struct SERIAL_HANDFLOW {
    ULONG ControlHandShake;
    ULONG FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
};

constexpr ULONG SERIAL_PURGE_TXABORT = 0x00000001;
constexpr ULONG SERIAL_PURGE_RXABORT = 0x00000002;
constexpr ULONG SERIAL_PURGE_TXCLEAR = 0x00000004;
constexpr ULONG SERIAL_PURGE_RXCLEAR = 0x00000008;

constexpr ULONG SERIAL_DTR_STATE = 0x00000001;
constexpr ULONG SERIAL_RTS_STATE = 0x00000002;

static_assert(sizeof(SERIAL_LINE_CONTROL) == 3);
static_assert(sizeof(SERIAL_CHARS) == 6);
static_assert(sizeof(SERIAL_TIMEOUTS) == 20);
static_assert(sizeof(SERIAL_HANDFLOW) == 16);
