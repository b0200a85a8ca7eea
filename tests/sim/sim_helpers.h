// A host that talks frames to the emulated reader, for the emulator tests.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/frame.h"
#include "sim/reader.h"

namespace quor::sim::testing {

using Bytes = std::vector<std::uint8_t>;

// Sends the bytes at `now` and returns every reply byte that has reached the host by then.
inline Bytes Send(Reader& reader, const Bytes& bytes, SimTime now = 0) {
    reader.HostWrite(bytes, now);
    return reader.HostRead(4096, now);
}

inline Bytes Command(Reader& reader, std::uint8_t code, const Bytes& data = {}, SimTime now = 0) {
    return Send(reader, CommandFrame(code, data), now);
}

}  // namespace quor::sim::testing
