// ATRs into the driver's analysis and the library's capability update: neither reads past the
// ATR, and capabilities taken from an ATR are ones the driver can use.
#include <cstring>

#include "card/card.h"
#include "fuzz/harness.h"

using namespace quor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes atr(data, data + size);  // exactly the bytes: ASan sees any step past them
    ATR_INFO info{};
    const BOOLEAN parsed = ParseAtr(atr.data(), static_cast<ULONG>(atr.size()), &info);
    FUZZ_CHECK(size >= 2 || !parsed);
    if (size > MAXIMUM_ATR_LENGTH) return 0;

    static SMARTCARD_EXTENSION ext;
    std::memset(&ext, 0, sizeof(ext));
    ext.ReaderCapabilities.CLKFrequency.Default = 4000;
    std::memcpy(ext.CardCapabilities.ATR.Buffer, data, size);
    ext.CardCapabilities.ATR.Length = static_cast<UCHAR>(size);
    const SCARD_CARD_CAPABILITIES& cc = ext.CardCapabilities;
    if (SmartcardUpdateCardCapabilities(&ext) != STATUS_SUCCESS) return 0;
    // A complete ATR (historical bytes and check byte there) passes the driver's analysis too.
    FUZZ_CHECK(parsed);
    FUZZ_CHECK(cc.HistoricalChars.Length == (data[1] & 0x0F));
    FUZZ_CHECK(size >= cc.HistoricalChars.Length + 2u);
    FUZZ_CHECK((cc.Protocol.Supported & ~(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)) == 0);
    FUZZ_CHECK(cc.Fi != 0 && cc.Di != 0 && cc.etu != 0 && cc.T0.WT != 0);
    FUZZ_CHECK(cc.T1.IFSC >= 1 && cc.T1.IFSC <= 254 && cc.T1.BWI <= 9 && cc.T1.EDC <= 1);
    return 0;
}
