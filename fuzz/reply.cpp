// Reply byte streams from the line into ReadReaderReply: a reply is taken as good only when the
// bytes hold a well-formed frame, its data come out unchanged, and nothing goes past the
// reply buffers.
#include "fuzz/harness.h"
#include "link/command.h"

using namespace quor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LinkBench& bench = LinkBench::Get();
    PSMARTCARD_EXTENSION ext = bench.rig->Ext();
    const bool copyOut = size > 0 && (data[0] & 1);
    const Bytes wire = size > 0 ? Bytes(data + 1, data + size) : Bytes{};
    bench.line->Load(wire);
    PREADER_EXTENSION r = ext->ReaderExtension;
    const UCHAR statusBefore = r->ReaderStatus;
    NTSTATUS status;
    {
        // Two reads within the port's time-outs (1 s a byte on top of 5 s) and the pause after
        // a broken head.
        ClockBudget budget(10 * 60 * kclock::kTicksPerSecond);
        status = ReadReaderReply(ext, copyOut);
    }
    if (status == STATUS_SUCCESS) {
        // The frame the driver accepted, checked independently.
        FUZZ_CHECK(wire.size() >= 3 && (wire[0] == 0x00 || wire[0] == 0x80));
        const size_t full = wire[1] + (wire[0] ? 256u : 0u);
        // A frame without a status byte (length 0) leaves the status as it was.
        const size_t data = full == 0 ? 0 : full - 1, frame = full == 0 ? 3 : full + 3;
        FUZZ_CHECK(wire.size() >= frame);
        UCHAR x = 0;
        for (size_t i = 0; i < frame; ++i) x ^= wire[i];
        FUZZ_CHECK(x == 0 && r->ReplyLength == data);
        FUZZ_CHECK(full == 0 ? r->ReaderStatus == statusBefore : r->ReaderStatus == wire[1 + full]);
        FUZZ_CHECK(std::equal(wire.begin() + 2, wire.begin() + 2 + data, r->ReplyBuffer));
        if (copyOut) {
            FUZZ_CHECK(ext->SmartcardReply.BufferLength == data);
            FUZZ_CHECK(
                std::equal(wire.begin() + 2, wire.begin() + 2 + data, ext->SmartcardReply.Buffer));
        }
    }
    FUZZ_CHECK(r->ReplyLength <= READER_BUFFER_SIZE);
    FUZZ_CHECK(ext->SmartcardReply.BufferLength <= ext->SmartcardReply.BufferSize);
    bench.line->Purge(SERIAL_PURGE_RXCLEAR);
    return 0;
}
