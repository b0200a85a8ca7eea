// BuildReaderFrame with any code, data, length and buffer size: it writes only within the
// buffer, and what it builds parses back as a command frame of the data.
#include "fuzz/harness.h"
#include "link/frame.h"

using namespace quor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const UCHAR code = in.ConsumeIntegral<UCHAR>();
    const ULONG bufferSize = in.ConsumeIntegralInRange<ULONG>(0, 600);
    const bool noData = in.ConsumeBool(), noBuffer = in.ConsumeBool();
    const ULONG claimed = in.ConsumeIntegralInRange<ULONG>(0, 1024);
    Bytes payload = in.ConsumeRemainingBytes<UCHAR>();
    payload.resize(claimed);  // the length the caller gives is what it holds
    Guarded buffer(bufferSize);
    ULONG frameLength = 0xDEAD;
    const NTSTATUS status =
        BuildReaderFrame(code, noData ? nullptr : payload.data(), claimed,
                         noBuffer ? nullptr : buffer.data(), bufferSize, &frameLength);
    FUZZ_CHECK(buffer.Intact());
    if (status != STATUS_SUCCESS) {
        FUZZ_CHECK(frameLength == 0);
        return 0;
    }
    const ULONG n = claimed;
    FUZZ_CHECK(!noBuffer && frameLength == n + 3 && frameLength <= bufferSize);
    const UCHAR* f = buffer.data();
    FUZZ_CHECK((f[0] & 0x7F) == code && f[1] == static_cast<UCHAR>(n));
    FUZZ_CHECK((f[0] & 0x80) == (n >= 256 ? 0x80 : 0));  // the header tells the data's length
    FUZZ_CHECK(std::equal(payload.begin(), payload.begin() + n, f + 2));
    FUZZ_CHECK(XorChecksum(f, frameLength) == 0);
    return 0;
}
