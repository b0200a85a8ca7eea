// ParseReaderFrame on any bytes: FRAME_OK only for a well-formed frame, whose data it moves to
// the start of the buffer; nothing read or written past the count it was given.
#include <cstring>

#include "fuzz/harness.h"
#include "link/frame.h"

using namespace quor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes buffer(data, data + size);  // exactly the bytes: ASan sees any step past them
    ULONG length = static_cast<ULONG>(size);
    UCHAR status = 0xEE;
    USHORT longFrame = 0;
    const LONG verdict = ParseReaderFrame(buffer.data(), &length, &status, &longFrame);
    if (verdict == FRAME_OK) {
        FUZZ_CHECK(size >= 3 && (data[0] == 0x00 || data[0] == 0x80));
        const size_t full = data[1] + (data[0] ? 256u : 0u);
        // A frame without a status byte (length 0) leaves the status as it was.
        const size_t frame = full == 0 ? 3 : full + 3;
        FUZZ_CHECK(size >= frame && XorChecksum(data, static_cast<ULONG>(frame)) == 0);
        FUZZ_CHECK(full == 0 ? length == 0 && status == 0xEE
                             : length == full - 1 && status == data[full + 1]);
        FUZZ_CHECK(std::memcmp(buffer.data(), data + 2, length) == 0);
        FUZZ_CHECK(longFrame == (data[0] == 0x80));
    } else {
        FUZZ_CHECK(verdict == FRAME_BAD_CHECKSUM || verdict == FRAME_MALFORMED ||
                   verdict == FRAME_TRUNCATED);
    }
    return 0;
}
