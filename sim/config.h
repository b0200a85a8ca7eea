// Settings of one emulated reader.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/sim_time.h"

namespace quor::sim {

struct ReaderConfig {
    // Data of the reply to get info. Byte 3 is the model code. The reader sends whatever is here,
    // so a shorter list models a reader that answers with too few bytes.
    std::vector<std::uint8_t> info{0x02, 0x0A, 0x1F, 0x58};
    // Low nibble of the get-status reply while no key is waiting.
    std::uint8_t idleKey = 0x0F;
    // Time one byte takes on the line towards the host (1146 us: 9600 baud, 8 data bits, no
    // parity, 2 stop bits). 0 delivers a whole reply at once.
    SimTime byteTime = 0;
    // Time between the last byte of a command and the start of its reply.
    SimTime replyLatency = 0;
    // A gap longer than this between two bytes of a command frame gives the partial frame up.
    SimTime interByteTimeout = 50'000;
    bool hasDisplay = true;
    // Card waiting time in force after power-up and after a reader reset.
    std::uint16_t defaultWaitTime = 0;
    // Time a PIN entry on the keypad may take in all, from the arrival of the PIN frame until
    // the last confirm key; the reader then answers 64 00 (reader.h).
    SimTime pinEntryTimeout = 30'000'000;
};

// The settings of the model with the given code: information bytes 02 0A 1F <code>, and a
// display except on the models 0x70..0x72, 0x78, 0x80, 0x81 and 0x82.
ReaderConfig ConfigForModelCode(std::uint8_t modelCode);

}  // namespace quor::sim
