// Card blocks into the T=1 engine after a request, passes driven as the driver's transmit loop
// drives them: the engine ends in a bounded number of passes, its blocks fit the buffers, and
// the answer it returns never runs past the caller's reply buffer.
#include "fuzz/harness.h"
#include "tests/smclib/engine_rig.h"

using namespace quor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    smclib_test::Rig rig;
    PSMARTCARD_EXTENSION ext = rig.ext.get();
    ext->CardCapabilities.T1.IFSC = in.ConsumeIntegralInRange<UCHAR>(1, 254);
    ext->CardCapabilities.T1.EDC = in.ConsumeBool() ? 1 : 0;
    ext->ReaderCapabilities.MaxIFSD = in.ConsumeIntegralInRange<ULONG>(0, 254);
    const ULONG replySize = in.ConsumeIntegralInRange<ULONG>(0, 600);
    rig.SetApdu(in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange<size_t>(0, 300)));
    Guarded reply(replySize);
    ext->IoRequest.ReplyBuffer = reply.data();
    ext->IoRequest.ReplyBufferLength = replySize;

    // Each pass: the engine's block, then the card's (fuzzed) block; once the input runs out
    // the card is silent and the engine must give up by itself.
    NTSTATUS status = STATUS_MORE_PROCESSING_REQUIRED;
    int silentPasses = 0;
    for (int pass = 0; status == STATUS_MORE_PROCESSING_REQUIRED; ++pass) {
        FUZZ_CHECK(silentPasses < 64);
        ext->SmartcardRequest.BufferLength = 0;
        status = SmartcardT1Request(ext);
        if (status != STATUS_SUCCESS) break;
        FUZZ_CHECK(ext->SmartcardRequest.BufferLength <= ext->SmartcardRequest.BufferSize);
        FUZZ_CHECK(ext->SmartcardRequest.BufferLength <= T1_MAX_BLOCK);
        rig.TakeSent();
        const Bytes block = in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange<size_t>(0, 260));
        silentPasses += in.remaining_bytes() == 0 ? 1 : 0;
        rig.CardSays(block);
        status = SmartcardT1Reply(ext);
    }
    FUZZ_CHECK(reply.Intact());
    FUZZ_CHECK(status != STATUS_SUCCESS || rig.information <= replySize);
    return 0;
}
