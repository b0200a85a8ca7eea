// APDUs into the T=0 engine and the card's bytes back (data, then SW1 SW2 such as 61 xx or
// 6C xx, which go to the caller as they are): the TPDU fits the request buffer, and the answer
// is the card's bytes, whole, or a refusal, never more than the caller's buffer holds.
#include "fuzz/harness.h"
#include "tests/smclib/engine_rig.h"

using namespace quor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    smclib_test::Rig rig;
    PSMARTCARD_EXTENSION ext = rig.ext.get();
    ext->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    const ULONG replySize = in.ConsumeIntegralInRange<ULONG>(0, 600);
    const ULONG pci = in.ConsumeBool() ? 8 : in.ConsumeIntegralInRange<ULONG>(0, 16);
    rig.SetApdu(in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange<size_t>(0, 300)),
                SCARD_PROTOCOL_T0, pci);
    Guarded reply(replySize);
    ext->IoRequest.ReplyBuffer = reply.data();
    ext->IoRequest.ReplyBufferLength = replySize;

    if (SmartcardT0Request(ext) != STATUS_SUCCESS) return 0;
    FUZZ_CHECK(ext->SmartcardRequest.BufferLength <= ext->SmartcardRequest.BufferSize);
    FUZZ_CHECK(ext->SmartcardRequest.BufferLength <= 5 + 255);
    rig.TakeSent();
    const Bytes card =
        in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange<size_t>(0, MIN_BUFFER_SIZE));
    rig.CardSays(card);
    const NTSTATUS status = SmartcardT0Reply(ext);
    FUZZ_CHECK(reply.Intact());
    if (status == STATUS_SUCCESS) {
        FUZZ_CHECK(card.size() >= 2 && rig.information == card.size() + 8);
        FUZZ_CHECK(rig.information <= replySize);
        FUZZ_CHECK(std::equal(card.begin(), card.end(), reply.data() + 8));
    }
    return 0;
}
