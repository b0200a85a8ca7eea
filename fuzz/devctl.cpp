// Control codes, input and output lengths through the driver's DeviceControl, with the card
// taken out, put in or swapped between requests: every request completes once (a tracking
// request that waits is cancelled), in bounded clock time, and never writes past the caller's
// output buffer.
#include "fuzz/harness.h"
#include "sim/processor_card.h"
#include "terminal/terminal.h"

using namespace quor::fuzz;

namespace {

constexpr ULONG kCodes[] = {
    IOCTL_SMARTCARD_POWER,         IOCTL_SMARTCARD_GET_ATTRIBUTE, IOCTL_SMARTCARD_SET_ATTRIBUTE,
    IOCTL_SMARTCARD_CONFISCATE,    IOCTL_SMARTCARD_TRANSMIT,      IOCTL_SMARTCARD_EJECT,
    IOCTL_SMARTCARD_SWALLOW,       IOCTL_SMARTCARD_IS_PRESENT,    IOCTL_SMARTCARD_IS_ABSENT,
    IOCTL_SMARTCARD_SET_PROTOCOL,  IOCTL_SMARTCARD_GET_STATE,     IOCTL_SMARTCARD_GET_LAST_ERROR,
    IOCTL_SMARTCARD_GET_PERF_CNTR, IOCTL_TERMINAL_COMMAND,        IOCTL_READER_RAW_WRITE,
    IOCTL_READER_RAW_READ,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    DriverBench& bench = DriverBench::Get();
    for (int i = 0; i < 6 && in.remaining_bytes() > 0; ++i) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                bench.Reader().RemoveCard();
                break;
            case 1:
                bench.Reader().InsertCard(std::make_shared<quor::sim::T0Card>());
                break;
            case 2:
                bench.Reader().InsertCard(std::make_shared<quor::sim::T1Card>());
                break;
            default:
                break;
        }
        const size_t pick = in.ConsumeIntegralInRange<size_t>(0, std::size(kCodes));
        const ULONG code = pick < std::size(kCodes) ? kCodes[pick] : in.ConsumeIntegral<ULONG>();
        const ULONG outLength = in.ConsumeIntegralInRange<ULONG>(0, 600);
        const Bytes input = in.ConsumeBytes<UCHAR>(in.ConsumeIntegralInRange<size_t>(0, 300));
        ClockBudget budget(20 * 60 * kclock::kTicksPerSecond);
        bench.Send(code, input, outLength);
    }
    if (!bench.Reader().CardPresent()) {
        bench.Reader().InsertCard(std::make_shared<quor::sim::T1Card>());
    }
    return 0;
}
