#include "link/extension.h"

#include "link/serial_io.h"

void SetSerialDefaults(PREADER_EXTENSION ReaderExtension) {
    SERIAL_CONFIG_DATA& c = ReaderExtension->SerialConfigData;
    c.HandFlow = SERIAL_HANDFLOW{0, SERIAL_XOFF_CONTINUE, 0, 0};
    c.SerialChars = SERIAL_CHARS{0, 0, 0xFF, 0, 0, 0};
    c.Timeouts = SERIAL_TIMEOUTS{1000, 1000, 5000, 0, 0};
    c.BaudRate.BaudRate = 9600;
    c.LineControl = SERIAL_LINE_CONTROL{STOP_BITS_2, NO_PARITY, 8};
    c.WaitMask = 0;
    ReaderExtension->ReaderPowerState = READER_POWER_WORKING;
}
