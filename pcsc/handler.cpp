#include "pcsc/handler.h"

#include <reader.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/reader.h"
#include "pcsc/log.h"
#include "pcsc/part10.h"
#include "pcsc/status_map.h"
#include "sim/memory_card.h"
#include "sim/processor_card.h"
#include "sim/reader.h"

namespace quor::pcsc {

namespace {

using quor::client::NtStatus;
using quor::client::Reply;
namespace st = quor::client::status;

// Vendor device-control codes that pass through to the driver untouched.
constexpr DWORD kVendorTerminalCommand = 0x3100DC;
constexpr DWORD kVendorRawWrite = 0x3100E0;
constexpr DWORD kVendorRawRead = 0x3100E4;

constexpr char kEmulatedPrefix[] = "emulated:";
constexpr DWORD kMaxChannel = 256;
// Readers one pcscd may give this handler.
constexpr UCHAR kSimultaneousReaders = 16;
// Largest answer asked of the driver: an extended APDU's answer with its status word.
constexpr std::size_t kMaxAnswer = 65536 + 2;

struct Channel {
    std::string device;
    int index = 0;  // the reader's index in pcscd (Lun >> 16), for the log
    quor::client::Reader reader;
    ReaderUnits units;
    std::mutex mu;                      // guards atr
    Bytes atr;                          // of the last power-up; empty without one
    std::atomic<bool> stopping{false};  // pcscd stops the polling thread
};

std::mutex& TableMutex() {
    static auto* mu = new std::mutex;  // never destroyed: pcscd may close channels at exit
    return *mu;
}
std::map<DWORD, std::shared_ptr<Channel>>& Table() {
    static auto* table = new std::map<DWORD, std::shared_ptr<Channel>>;
    return *table;
}

DWORD ReaderIndex(DWORD lun) { return lun >> 16; }

std::shared_ptr<Channel> Find(DWORD lun) {
    if ((lun & 0xFFFF) != 0) return nullptr;  // one slot per reader
    std::lock_guard lock(TableMutex());
    auto it = Table().find(ReaderIndex(lun));
    return it == Table().end() ? nullptr : it->second;
}

// Milliseconds since `start`, for the log.
long long Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

std::string Name(NtStatus s) { return quor::client::StatusName(s); }

// Logs a request's outcome: failures as errors, the rest at debug level.
void Outcome(const Channel& ch, const char* what, NtStatus status, RESPONSECODE code,
             std::chrono::steady_clock::time_point start) {
    const LogLevel level = code == IFD_SUCCESS ? LogLevel::Debug : LogLevel::Error;
    Log(level, "reader %d: %s: %s -> %s (%lld ms)", ch.index, what, Name(status).c_str(),
        IfdCodeName(code), Since(start));
}

// The code for a failed card request: the driver reports some failures of a request to a card
// that is not there in the request's own terms (a power-up finds no answer to reset), so the
// card state decides whether the card was missing.
RESPONSECODE CardFailure(Channel& ch, NtStatus status, Call call) {
    const RESPONSECODE code = IfdCode(status, call);
    if (code == IFD_SUCCESS || code == IFD_ICC_NOT_PRESENT || code == IFD_NO_SUCH_DEVICE ||
        code == IFD_ERROR_INSUFFICIENT_BUFFER) {
        return code;
    }
    const quor::client::StateReply state = ch.reader.State();
    return state.Ok() && state.state == quor::client::CardState::Absent ? IFD_ICC_NOT_PRESENT
                                                                        : code;
}

// Copies an answer into the caller's buffer; nothing at all when it does not fit.
RESPONSECODE PutAnswer(const Bytes& data, PUCHAR out, DWORD capacity, LPDWORD returned) {
    if (data.size() > capacity || (out == nullptr && !data.empty())) {
        if (returned != nullptr) *returned = 0;
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    if (!data.empty()) std::memcpy(out, data.data(), data.size());
    if (returned != nullptr) *returned = static_cast<DWORD>(data.size());
    return IFD_SUCCESS;
}

std::shared_ptr<quor::sim::Card> EmulatedCard(const std::string& kind, bool* known) {
    *known = true;
    if (kind == "t0") return std::make_shared<quor::sim::T0Card>();
    if (kind == "t1") return std::make_shared<quor::sim::T1Card>();
    if (kind == "dual") return std::make_shared<quor::sim::DualCard>();
    if (kind == "memory") return std::make_shared<quor::sim::MemoryCard>();
    *known = kind == "none";
    return nullptr;
}

// Opens the reader behind a device name; the driver's status.
NtStatus OpenDevice(Channel& ch) {
    if (ch.device.rfind(kEmulatedPrefix, 0) == 0) {
        bool known = false;
        auto card = EmulatedCard(ch.device.substr(sizeof kEmulatedPrefix - 1), &known);
        if (!known) return st::kNoSuchDevice;
        // The in-process line hands the emulator each write whole: no partial frame stalls,
        // also on a clock that tests speed up.
        quor::sim::ReaderConfig config;
        config.interByteTimeout = 60'000'000;
        auto emulator = std::make_shared<quor::sim::Reader>(config);
        if (card) emulator->InsertCard(std::move(card));
        return ch.reader.OpenEmulated(std::move(emulator));
    }
    return ch.reader.Open(ch.device);
}

// Learns whether the reader has a keypad and a display (GET STATUS, functional units).
void LearnUnits(Channel& ch) {
    const Bytes getUnits{0x20, 0x13, 0x00, 0x81};
    Reply r = ch.reader.TerminalCommand(getUnits);
    if (r.Ok()) ch.units = UnitsFromAnswer(r.data);
    Log(LogLevel::Info, "reader %d: keypad %s, display %s", ch.index,
        ch.units.keypad ? "yes" : "no", ch.units.display ? "yes" : "no");
}

RESPONSECODE OpenChannel(DWORD lun, const std::string& device) {
    const auto start = std::chrono::steady_clock::now();
    if ((lun & 0xFFFF) != 0) return IFD_COMMUNICATION_ERROR;
    {
        std::lock_guard lock(TableMutex());
        if (Table().contains(ReaderIndex(lun))) {
            Log(LogLevel::Error, "reader %lu: already open", ReaderIndex(lun));
            return IFD_COMMUNICATION_ERROR;
        }
    }
    auto ch = std::make_shared<Channel>();
    ch->device = device;
    ch->index = static_cast<int>(ReaderIndex(lun));
    Log(LogLevel::Info, "reader %d: opening %s (reset and identification take a few seconds)",
        ch->index, device.c_str());
    const NtStatus status = OpenDevice(*ch);
    if (status != st::kSuccess) {
        const RESPONSECODE code = IfdCode(status);
        Log(LogLevel::Error, "reader %d: cannot open %s: %s (%s) -> %s", ch->index, device.c_str(),
            Name(status).c_str(), quor::client::StatusText(status).c_str(), IfdCodeName(code));
        return code;
    }
    LearnUnits(*ch);
    {
        std::lock_guard lock(TableMutex());
        if (!Table().emplace(ReaderIndex(lun), ch).second) {
            ch->reader.Close();
            return IFD_COMMUNICATION_ERROR;
        }
    }
    Log(LogLevel::Info, "reader %d: %s open, unit %u (%lld ms)", ch->index, device.c_str(),
        ch->reader.Unit().value_or(0), Since(start));
    return IFD_SUCCESS;
}

// ---- card events ----

// pcscd's polling thread: returns at the next card event, at the time-out, or when stopped.
RESPONSECODE WaitForCardEvent(DWORD lun, int timeoutMs) {
    auto ch = Find(lun);
    if (!ch) return IFD_NO_SUCH_DEVICE;
    if (ch->stopping) return IFD_SUCCESS;
    const quor::client::StateReply state = ch->reader.State();
    if (!state.Ok()) return IfdCode(state.status);
    // An unknown state (a reader in trouble) has no event to wait for: pcscd looks again later.
    if (state.state == quor::client::CardState::Unknown) return IFD_COMMUNICATION_ERROR;
    const bool absent = state.state == quor::client::CardState::Absent;
    const std::int64_t limit = timeoutMs < 0 ? quor::client::kNoTimeout : timeoutMs;
    const quor::client::WaitReply w =
        absent ? ch->reader.WaitPresent(limit) : ch->reader.WaitAbsent(limit);
    if (w.Ok()) {
        Log(LogLevel::Info, "reader %d: card %s", ch->index, absent ? "inserted" : "removed");
        return IFD_SUCCESS;
    }
    if (w.timedOut) return IFD_RESPONSE_TIMEOUT;
    if (w.status == st::kCancelled) return IFD_SUCCESS;  // stopped, or the channel closes
    Log(LogLevel::Error, "reader %d: card event wait: %s", ch->index, Name(w.status).c_str());
    return IfdCode(w.status);
}

RESPONSECODE StopCardEvents(DWORD lun) {
    auto ch = Find(lun);
    if (!ch) return IFD_NO_SUCH_DEVICE;
    Log(LogLevel::Debug, "reader %d: polling thread stopped", ch->index);
    ch->stopping = true;
    ch->reader.CancelWaits();
    return IFD_SUCCESS;
}

template <typename T>
RESPONSECODE PutValue(const T& value, PDWORD length, PUCHAR out) {
    if (*length < sizeof(T) || out == nullptr) {
        *length = sizeof(T);
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(out, &value, sizeof(T));
    *length = sizeof(T);
    return IFD_SUCCESS;
}

// ---- control ----

RESPONSECODE PinControl(Channel& ch, bool modify, std::span<const std::uint8_t> in, PUCHAR out,
                        DWORD outLength, LPDWORD returned) {
    const char* what = modify ? "modify PIN" : "verify PIN";
    if (!ch.units.keypad) {
        Log(LogLevel::Error, "reader %d: %s: the reader has no keypad", ch.index, what);
        return IFD_ERROR_NOT_SUPPORTED;
    }
    const PinCommand pin = modify ? ModifyCommand(in) : VerifyCommand(in);
    if (!pin.Ok()) {
        Log(LogLevel::Error, "reader %d: %s refused: %s", ch.index, what, pin.refusal.c_str());
        return pin.malformed ? IFD_COMMUNICATION_ERROR : IFD_NOT_SUPPORTED;
    }
    const auto start = std::chrono::steady_clock::now();
    Log(LogLevel::Info, "reader %d: %s on the reader's keypad", ch.index, what);
    if (Logs(LogLevel::Trace)) {
        Log(LogLevel::Trace, "reader %d: terminal command %s", ch.index,
            HexBytes(pin.command).c_str());
    }
    Reply r = ch.reader.TerminalCommand(pin.command, std::min<std::size_t>(outLength, kMaxAnswer));
    RESPONSECODE code = IfdCode(r.status, Call::Control);
    if (code == IFD_SUCCESS) code = PutAnswer(r.data, out, outLength, returned);
    Outcome(ch, what, r.status, code, start);
    if (r.Ok() && r.data.size() >= 2) {
        Log(LogLevel::Info, "reader %d: %s answered %02X %02X", ch.index, what,
            r.data[r.data.size() - 2], r.data.back());
    }
    return code;
}

RESPONSECODE Control(Channel& ch, DWORD code, std::span<const std::uint8_t> in, PUCHAR out,
                     DWORD outLength, LPDWORD returned) {
    if (code == CM_IOCTL_GET_FEATURE_REQUEST) {
        return PutAnswer(FeatureList(ch.units), out, outLength, returned);
    }
    if (code == FeatureControlCode(FEATURE_VERIFY_PIN_DIRECT)) {
        return PinControl(ch, false, in, out, outLength, returned);
    }
    if (code == FeatureControlCode(FEATURE_MODIFY_PIN_DIRECT)) {
        return PinControl(ch, true, in, out, outLength, returned);
    }
    if (code == FeatureControlCode(FEATURE_IFD_PIN_PROPERTIES) && ch.units.keypad) {
        return PutAnswer(PinProperties(ch.units), out, outLength, returned);
    }
    if (code == FeatureControlCode(FEATURE_GET_TLV_PROPERTIES)) {
        return PutAnswer(TlvProperties(ch.units), out, outLength, returned);
    }
    const bool mct = code == FeatureControlCode(FEATURE_MCT_READER_DIRECT);
    if (mct && (in.size() < 4 || in[0] != 0x20)) {
        // Only terminal commands (class 20) are for the reader itself.
        Log(LogLevel::Error, "reader %d: MCT reader command of class %02X refused", ch.index,
            in.empty() ? 0 : in[0]);
        return PutAnswer({0x6E, 0x00}, out, outLength, returned);
    }
    const bool vendor =
        code == kVendorTerminalCommand || code == kVendorRawWrite || code == kVendorRawRead;
    if (!mct && !vendor) {
        Log(LogLevel::Error, "reader %d: control code 0x%08lX not supported", ch.index, code);
        return IFD_ERROR_NOT_SUPPORTED;
    }
    const auto start = std::chrono::steady_clock::now();
    if (Logs(LogLevel::Trace)) {
        Log(LogLevel::Trace, "reader %d: control 0x%08lX %s", ch.index, code, HexBytes(in).c_str());
    }
    const std::size_t ask = std::min<std::size_t>(outLength, kMaxAnswer);
    Reply r = mct ? ch.reader.TerminalCommand(in, ask)
                  : ch.reader.Ioctl(static_cast<std::uint32_t>(code), in, ask);
    RESPONSECODE result = IfdCode(r.status, Call::Control);
    if (result == IFD_SUCCESS) result = PutAnswer(r.data, out, outLength, returned);
    Outcome(ch, mct ? "MCT reader command" : "vendor control", r.status, result, start);
    if (Logs(LogLevel::Trace) && r.Ok()) {
        Log(LogLevel::Trace, "reader %d: answer %s", ch.index, HexBytes(r.data).c_str());
    }
    return result;
}

}  // namespace

quor::client::Reader* ReaderOf(DWORD lun) {
    auto ch = Find(lun);
    return ch ? &ch->reader : nullptr;
}

}  // namespace quor::pcsc

using namespace quor::pcsc;

// ---- the exported functions ----

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    if (DeviceName == nullptr || *DeviceName == '\0') return IFD_NO_SUCH_DEVICE;
    return OpenChannel(Lun, DeviceName);
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
    if (Channel < 1 || Channel > kMaxChannel) {
        Log(LogLevel::Error, "channel %lu: channels 1..%lu are /dev/ttyS0.. (CHANNELID)", Channel,
            kMaxChannel);
        return IFD_NO_SUCH_DEVICE;
    }
    return OpenChannel(Lun, "/dev/ttyS" + std::to_string(Channel - 1));
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    std::shared_ptr<quor::pcsc::Channel> ch;
    {
        std::lock_guard lock(TableMutex());
        auto it = Table().find(ReaderIndex(Lun));
        if ((Lun & 0xFFFF) != 0 || it == Table().end()) return IFD_NO_SUCH_DEVICE;
        ch = std::move(it->second);
        Table().erase(it);
    }
    ch->stopping = true;
    ch->reader.Close();  // ends the waits, lets calls under way finish
    Log(LogLevel::Info, "reader %d: %s closed", ch->index, ch->device.c_str());
    return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    auto ch = Find(Lun);
    if (!ch) return IFD_NO_SUCH_DEVICE;
    if (Length == nullptr) return IFD_COMMUNICATION_ERROR;
    switch (Tag) {
        case TAG_IFD_ATR: {
            Bytes atr;
            {
                std::lock_guard lock(ch->mu);
                atr = ch->atr;
            }
            DWORD written = 0;
            const RESPONSECODE code = PutAnswer(atr, Value, *Length, &written);
            *Length = code == IFD_SUCCESS ? written : static_cast<DWORD>(atr.size());
            return code;
        }
        case TAG_IFD_SLOTS_NUMBER:
            return PutValue<UCHAR>(1, Length, Value);
        case TAG_IFD_SIMULTANEOUS_ACCESS:
            return PutValue<UCHAR>(kSimultaneousReaders, Length, Value);
        case TAG_IFD_THREAD_SAFE:
            return PutValue<UCHAR>(1, Length, Value);  // readers may be used at the same time
        case TAG_IFD_SLOT_THREAD_SAFE:
            return PutValue<UCHAR>(0, Length, Value);  // one slot
        case TAG_IFD_POLLING_THREAD_KILLABLE:
            return PutValue<UCHAR>(0, Length, Value);  // stopped by TAG_IFD_STOP_POLLING_THREAD
        case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: {
            RESPONSECODE (*wait)(DWORD, int) = WaitForCardEvent;
            return PutValue(wait, Length, Value);
        }
        case TAG_IFD_STOP_POLLING_THREAD: {
            RESPONSECODE (*stop)(DWORD) = StopCardEvents;
            return PutValue(stop, Length, Value);
        }
        default:
            break;
    }
    // Anything else is one of the driver's SCARD_ATTR_* attributes.
    const auto start = std::chrono::steady_clock::now();
    Reply r = ch->reader.Attribute(static_cast<std::uint32_t>(Tag), *Length);
    RESPONSECODE code = IfdCode(r.status, Call::GetAttribute);
    if (code == IFD_SUCCESS) {
        DWORD written = 0;
        code = PutAnswer(r.data, Value, *Length, &written);
        *Length = written;
    }
    if (code != IFD_SUCCESS || Logs(LogLevel::Debug)) {
        char what[40];
        std::snprintf(what, sizeof what, "attribute 0x%08lX", Tag);
        Outcome(*ch, what, r.status, code, start);
    }
    return code;
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
    auto ch = Find(Lun);
    if (!ch) return IFD_NO_SUCH_DEVICE;
    switch (Tag) {
        case TAG_IFD_SLOTNUM:
            return Length >= 1 && Value != nullptr && Value[0] == 0 ? IFD_SUCCESS
                                                                    : IFD_ERROR_SET_FAILURE;
        case TAG_IFD_DEVICE_REMOVED:
            return IFD_SUCCESS;  // the next request finds the port gone and says so
        case TAG_IFD_ATR:
        case TAG_IFD_SLOTS_NUMBER:
        case TAG_IFD_SIMULTANEOUS_ACCESS:
        case TAG_IFD_THREAD_SAFE:
        case TAG_IFD_SLOT_THREAD_SAFE:
        case TAG_IFD_POLLING_THREAD_KILLABLE:
        case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT:
        case TAG_IFD_STOP_POLLING_THREAD:
            return IFD_ERROR_VALUE_READ_ONLY;
        default:
            break;
    }
    if (Value == nullptr && Length > 0) return IFD_ERROR_SET_FAILURE;
    const auto start = std::chrono::steady_clock::now();
    Reply r = ch->reader.SetAttribute(static_cast<std::uint32_t>(Tag),
                                      std::span<const std::uint8_t>(Value, Length));
    const RESPONSECODE code = IfdCode(r.status, Call::SetAttribute);
    char what[48];
    std::snprintf(what, sizeof what, "set attribute 0x%08lX", Tag);
    Outcome(*ch, what, r.status, code, start);
    return code;
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1,
                                       UCHAR PTS2, UCHAR PTS3) {
    auto ch = Find(Lun);
    if (!ch) return IFD_NO_SUCH_DEVICE;
    const auto start = std::chrono::steady_clock::now();
    Log(LogLevel::Debug, "reader %d: protocol 0x%lX asked (flags %02X, PTS %02X %02X %02X)",
        ch->index, Protocol, Flags, PTS1, PTS2, PTS3);
    const std::uint32_t mask = static_cast<std::uint32_t>(Protocol);
    if (mask != quor::client::protocol::kT0 && mask != quor::client::protocol::kT1) {
        return IFD_PROTOCOL_NOT_SUPPORTED;
    }
    const quor::client::StateReply state = ch->reader.State();
    if (!state.Ok()) return IfdCode(state.status, Call::Protocol);
    if (state.state == quor::client::CardState::Absent) return IFD_ICC_NOT_PRESENT;
    if (state.state == quor::client::CardState::Specific) {
        // The card (or an earlier selection) fixed the protocol: nothing to select.
        Reply current = ch->reader.Attribute(SCARD_ATTR_CURRENT_PROTOCOL_TYPE);
        const RESPONSECODE code =
            current.Ulong() == mask ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
        Outcome(*ch,
                mask == quor::client::protocol::kT0 ? "protocol T=0 (card specific)"
                                                    : "protocol T=1 (card specific)",
                current.status, code, start);
        return code;
    }
    Reply r = ch->reader.SetProtocol(mask);
    RESPONSECODE code = IfdCode(r.status, Call::Protocol);
    if (code == IFD_SUCCESS && r.Ulong() != mask) code = IFD_PROTOCOL_NOT_SUPPORTED;
    Log(code == IFD_SUCCESS ? LogLevel::Info : LogLevel::Error,
        "reader %d: protocol T=%d: %s -> %s (%lld ms)", ch->index,
        mask == quor::client::protocol::kT0 ? 0 : 1, Name(r.status).c_str(), IfdCodeName(code),
        Since(start));
    return code;
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    auto ch = Find(Lun);
    if (!ch) return IFD_NO_SUCH_DEVICE;
    if (AtrLength != nullptr) *AtrLength = 0;
    quor::client::PowerAction action;
    const char* what;
    switch (Action) {
        case IFD_POWER_UP:
            action = quor::client::PowerAction::ColdReset;
            what = "power up";
            break;
        case IFD_RESET:
            action = quor::client::PowerAction::WarmReset;
            what = "warm reset";
            break;
        case IFD_POWER_DOWN:
            action = quor::client::PowerAction::Down;
            what = "power down";
            break;
        default:
            return IFD_NOT_SUPPORTED;
    }
    const auto start = std::chrono::steady_clock::now();
    Reply r = ch->reader.Power(action);
    RESPONSECODE code = CardFailure(*ch, r.status, Call::Power);
    // pcscd's ATR buffer holds MAX_ATR_SIZE bytes.
    if (code == IFD_SUCCESS && action != quor::client::PowerAction::Down) {
        if (Atr == nullptr || AtrLength == nullptr || r.data.size() > MAX_ATR_SIZE) {
            code = IFD_ERROR_INSUFFICIENT_BUFFER;
        } else {
            std::memcpy(Atr, r.data.data(), r.data.size());
            *AtrLength = static_cast<DWORD>(r.data.size());
        }
    }
    {
        std::lock_guard lock(ch->mu);
        ch->atr =
            code == IFD_SUCCESS && action != quor::client::PowerAction::Down ? r.data : Bytes{};
    }
    Log(code == IFD_SUCCESS ? LogLevel::Info : LogLevel::Error,
        "reader %d: %s: %s -> %s%s%s (%lld ms)", ch->index, what, Name(r.status).c_str(),
        IfdCodeName(code), r.data.empty() ? "" : ", ATR ", HexBytes(r.data).c_str(), Since(start));
    return code;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
    auto ch = Find(Lun);
    if (!ch) return IFD_NO_SUCH_DEVICE;
    if (RxLength == nullptr || (TxBuffer == nullptr && TxLength > 0)) {
        return IFD_COMMUNICATION_ERROR;
    }
    const DWORD capacity = RxBuffer == nullptr ? 0 : *RxLength;
    *RxLength = 0;
    const auto start = std::chrono::steady_clock::now();
    const std::span<const std::uint8_t> apdu(TxBuffer, TxLength);
    if (Logs(LogLevel::Trace)) {
        Log(LogLevel::Trace, "reader %d: APDU %s", ch->index, HexBytes(apdu).c_str());
    }
    // The protocol in force (pcscd selected it); SendPci repeats it.
    Reply r = ch->reader.Transmit(apdu, 0, std::min<std::size_t>(capacity, kMaxAnswer));
    RESPONSECODE code = CardFailure(*ch, r.status, Call::General);
    if (code == IFD_SUCCESS) {
        DWORD written = 0;
        code = PutAnswer(r.data, RxBuffer, capacity, &written);
        *RxLength = written;
    }
    if (RecvPci != nullptr) *RecvPci = SendPci;
    char what[64];
    std::snprintf(what, sizeof what, "transmit %lu bytes, answer %zu bytes", TxLength,
                  r.data.size());
    Outcome(*ch, what, r.status, code, start);
    if (Logs(LogLevel::Trace) && code == IFD_SUCCESS) {
        Log(LogLevel::Trace, "reader %d: answer %s", ch->index, HexBytes(r.data).c_str());
    }
    return code;
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                         PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
    auto ch = Find(Lun);
    if (!ch) return IFD_NO_SUCH_DEVICE;
    if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
    if (TxBuffer == nullptr && TxLength > 0) return IFD_COMMUNICATION_ERROR;
    const DWORD capacity = RxBuffer == nullptr ? 0 : RxLength;
    return Control(*ch, dwControlCode, std::span<const std::uint8_t>(TxBuffer, TxLength), RxBuffer,
                   capacity, pdwBytesReturned);
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
    auto ch = Find(Lun);
    if (!ch) return IFD_NO_SUCH_DEVICE;
    const quor::client::StateReply state = ch->reader.State();
    if (!state.Ok()) {
        const RESPONSECODE code = IfdCode(state.status);
        Log(LogLevel::Error, "reader %d: card state: %s -> %s", ch->index,
            Name(state.status).c_str(), IfdCodeName(code));
        return code;
    }
    switch (state.state) {
        case quor::client::CardState::Absent:
            return IFD_ICC_NOT_PRESENT;
        case quor::client::CardState::Unknown:
            return IFD_COMMUNICATION_ERROR;
        default:
            return IFD_ICC_PRESENT;
    }
}
