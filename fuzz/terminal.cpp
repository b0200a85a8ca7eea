// Terminal commands with any bytes and output lengths through IOCTL_TERMINAL_COMMAND, a few in
// a row with keys pressed in between: each completes once, in bounded clock time, and never writes
// past the caller's output buffer.
#include "terminal/terminal.h"

#include "fuzz/harness.h"

using namespace quor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    DriverBench& bench = DriverBench::Get();
    for (int i = 0; i < 4 && in.remaining_bytes() > 0; ++i) {
        for (UCHAR keys = in.ConsumeIntegralInRange<UCHAR>(0, 6); keys > 0; --keys) {
            bench.Reader().PressKey(in.ConsumeIntegralInRange<UCHAR>(0, quor::sim::kKeyConfirm));
        }
        const ULONG outLength = in.ConsumeIntegralInRange<ULONG>(0, 300);
        const Bytes command = in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange<size_t>(0, 300));
        ClockBudget budget(20 * 60 * kclock::kTicksPerSecond);
        bench.Send(IOCTL_TERMINAL_COMMAND, command, outLength);
    }
    bench.Reader().ClearKeys();
    return 0;
}
