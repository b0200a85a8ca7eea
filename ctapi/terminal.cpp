#include "ctapi/terminal.h"

#include <algorithm>
#include <optional>

namespace quor::ctapi {

namespace {

using Bytes = std::vector<std::uint8_t>;
using client::NtStatus;
namespace status = client::status;

constexpr std::uint8_t kClaCtBcs = 0x20;
constexpr std::uint8_t kInsResetCt = 0x11;
constexpr std::uint8_t kInsRequestIcc = 0x12;
constexpr std::uint8_t kInsGetStatus = 0x13;
constexpr std::uint8_t kInsEjectIcc = 0x15;
constexpr std::uint8_t kInsInput = 0x16;
constexpr std::uint8_t kInsOutput = 0x17;
constexpr std::uint8_t kInsPerformVerification = 0x18;
constexpr std::uint8_t kInsModifyVerification = 0x19;

// Functional units (P1).
constexpr std::uint8_t kUnitCt = 0x00;
constexpr std::uint8_t kUnitIcc1 = 0x01;

// What a reset or request returns in front of its status word (low bits of P2).
constexpr std::uint8_t kReturnMask = 0x0F;
constexpr std::uint8_t kReturnNothing = 0x00;
constexpr std::uint8_t kReturnAtr = 0x01;
constexpr std::uint8_t kReturnHistorical = 0x02;

// The reader's last reply carried its error status bit.
constexpr NtStatus kDeviceDataError = static_cast<NtStatus>(0xC000009Cu);

constexpr std::uint16_t kSwDone = 0x9000;
constexpr std::uint16_t kSwDoneCardRemoved = 0x9001;
constexpr std::uint16_t kSwNoCardInTime = 0x6200;  // also: card not removed in time
constexpr std::uint16_t kSwCardAlreadyActive = 0x6201;
constexpr std::uint16_t kSwResetFailed = 0x6400;
constexpr std::uint16_t kSwWrongLength = 0x6700;
constexpr std::uint16_t kSwWrongParameters = 0x6A00;
constexpr std::uint16_t kSwClassNotServed = 0x6E00;
// The driver's answers that say its handler could not talk to the reader, or that the PIN
// exchange failed.
constexpr std::uint16_t kSwDriverHandlerFailed = 0x6D00;
constexpr std::uint16_t kSwDriverPinFailed = 0x6A00;

// The driver's own report of the card: 20 10 01 01 answers the ATR and 90 00 / 90 01 for a
// started card, 64 A1 without a card, 64 A2 for a card that is in but not started.
const Bytes kDriverCardReport{0x20, 0x10, 0x01, 0x01};
const Bytes kDriverManufacturer{0x20, 0x13, 0x00, 0x46};

constexpr std::uint8_t kTagDisplayText = client::ctbcs::kTagDisplayText;
constexpr std::uint8_t kTagTimeout = client::ctbcs::kTagTimeout;
constexpr std::size_t kDisplayWidth = 8;

// Room for the longest answer a card can give (extended Le) and its status word.
constexpr std::size_t kMaxCardAnswer = 65536 + 2;

Answer Sw(std::uint16_t sw) {
    return {kOk, {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)}};
}

std::optional<std::uint16_t> SwOf(const Bytes& answer) {
    if (answer.size() < 2) return std::nullopt;
    return static_cast<std::uint16_t>(answer[answer.size() - 2] << 8 | answer.back());
}

bool IsLineFailure(NtStatus s) {
    return s == status::kTimeout || s == status::kIoTimeout || s == status::kDeviceNotConnected ||
           s == status::kNoSuchDevice || s == status::kIoDeviceError;
}

// The historical bytes of an ATR (empty when the ATR is cut short).
Bytes HistoricalBytes(std::span<const std::uint8_t> atr) {
    if (atr.size() < 2) return {};
    const std::size_t k = atr[1] & 0x0F;
    std::size_t pos = 1;
    std::uint8_t y = atr[1] >> 4;
    bool more = true;
    while (more) {
        std::size_t interface = 0;
        for (int bit = 0; bit < 4; ++bit) interface += (y >> bit) & 1;
        more = (y & 0x8) != 0;
        pos += interface;
        if (more) {
            if (pos >= atr.size()) return {};
            y = atr[pos] >> 4;
        }
    }
    ++pos;
    if (pos + k > atr.size()) return {};
    return {atr.begin() + static_cast<std::ptrdiff_t>(pos),
            atr.begin() + static_cast<std::ptrdiff_t>(pos + k)};
}

}  // namespace

// A command APDU taken apart: header, data field and whether the body is well formed (short
// or extended coding, ISO/IEC 7816-4).
struct CardTerminal::Command {
    std::span<const std::uint8_t> bytes;
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    std::span<const std::uint8_t> data;
    bool wellFormed = false;

    explicit Command(std::span<const std::uint8_t> b) : bytes(b) {
        if (b.size() < 4) return;
        cla = b[0];
        ins = b[1];
        p1 = b[2];
        p2 = b[3];
        const auto body = b.subspan(4);
        const std::size_t n = body.size();
        if (n <= 1) {
            wellFormed = true;  // case 1, case 2 short
        } else if (body[0] != 0) {
            const std::size_t lc = body[0];
            wellFormed = n == lc + 1 || n == lc + 2;
            if (wellFormed) data = body.subspan(1, lc);
        } else if (n == 3) {
            wellFormed = true;  // case 2 extended
        } else if (n > 3) {
            const std::size_t lc = std::size_t{body[1]} << 8 | body[2];
            wellFormed = lc != 0 && (n == lc + 3 || n == lc + 5);
            if (wellFormed) data = body.subspan(3, lc);
        }
    }

    // The value of the first SIMPLE-TLV data object with `tag` in the data field.
    std::optional<std::span<const std::uint8_t>> Object(std::uint8_t tag) const {
        std::size_t p = 0;
        while (data.size() - p >= 2) {
            std::size_t length = data[p + 1];
            std::size_t header = 2;
            if (length == 0xFF) {
                if (data.size() - p < 4) break;
                length = std::size_t{data[p + 2]} << 8 | data[p + 3];
                header = 4;
            }
            if (length > data.size() - p - header) break;
            if (data[p] == tag) return data.subspan(p + header, length);
            p += header + length;
        }
        return std::nullopt;
    }

    // The waiting time a 0x80 object gives, one or two bytes of seconds, in milliseconds; 0
    // without one.
    std::int64_t TimeoutMs() const {
        const auto v = Object(kTagTimeout);
        if (!v || v->empty()) return 0;
        std::int64_t seconds = (*v)[0];
        if (v->size() >= 2) seconds = seconds << 8 | (*v)[1];
        return seconds * 1000;
    }

    std::span<const std::uint8_t> Text() const {
        return Object(kTagDisplayText).value_or(std::span<const std::uint8_t>{});
    }
};

std::int8_t CodeOf(NtStatus s) {
    if (s == status::kSuccess) return kOk;
    if (IsLineFailure(s)) return kErrTrans;
    if (s == status::kBufferTooSmall || s == status::kBufferOverflow) return kErrMemory;
    if (s == status::kInvalidParameter) return kErrInvalid;
    return kErrCt;
}

Answer CardTerminal::Data(std::uint8_t dad, std::span<const std::uint8_t> command,
                          std::size_t capacity) {
    if ((dad != kIcc1 && dad != kCt) || command.size() < 4) return {kErrInvalid, {}};
    std::lock_guard lock(mu_);
    Answer answer = dad == kCt ? ToTerminal(Command(command), capacity) : ToCard(command);
    // Closed meanwhile, from another thread: the terminal number is gone.
    if (!reader_.IsOpen()) return {kErrInvalid, {}};
    if (answer.code == kOk && answer.bytes.size() > capacity) return {kErrMemory, {}};
    if (answer.code != kOk) answer.bytes.clear();
    return answer;
}

Answer CardTerminal::ToTerminal(const Command& c, std::size_t capacity) {
    if (c.cla != kClaCtBcs) return Sw(kSwClassNotServed);
    switch (c.ins) {
        case kInsResetCt:
            return ResetCt(c);
        case kInsRequestIcc:
            return RequestIcc(c);
        case kInsEjectIcc:
            return EjectIcc(c);
        default:
            return PassOn(c, capacity);
    }
}

Answer CardTerminal::ToCard(std::span<const std::uint8_t> apdu) {
    client::Reply reply = reader_.Transmit(apdu, 0, kMaxCardAnswer);
    if (reply.Ok()) return {kOk, std::move(reply.data)};
    // No card, or one that was not requested: the terminal's status word for it.
    Answer report = ReportCard();
    const auto sw = SwOf(report.bytes);
    if (report.code == kOk && sw && *sw != kSwDone && *sw != kSwDoneCardRemoved) {
        return Sw(*sw);
    }
    return {CodeOf(reply.status), {}};
}

Answer CardTerminal::ResetCt(const Command& c) {
    if (!c.wellFormed) return Sw(kSwWrongLength);
    if (c.p1 == kUnitCt) {
        // The whole terminal: the card is switched off and waits for the next request.
        if (CardPowered()) {
            const NtStatus s = reader_.Power(client::PowerAction::Down).status;
            if (s != status::kSuccess) return {CodeOf(s), {}};
        }
        return Sw(kSwDone);
    }
    if (c.p1 != kUnitIcc1) return Sw(kSwWrongParameters);
    const std::uint8_t ret = c.p2 & kReturnMask;
    if (ret > kReturnHistorical) return Sw(kSwWrongParameters);
    const NtStatus s = StartCard();
    if (IsLineFailure(s)) return {kErrTrans, {}};
    if (s != status::kSuccess) return Sw(kSwResetFailed);
    return CardStarted(ret);
}

Answer CardTerminal::RequestIcc(const Command& c) {
    if (!c.wellFormed) return Sw(kSwWrongLength);
    if (c.p1 != kUnitCt && c.p1 != kUnitIcc1) return Sw(kSwWrongParameters);
    const std::uint8_t ret = c.p2 & kReturnMask;
    if (ret > kReturnHistorical) return Sw(kSwWrongParameters);

    const client::StateReply state = reader_.State();
    if (!state.Ok()) return {CodeOf(state.status), {}};
    if (state.state >= client::CardState::Powered) return Sw(kSwCardAlreadyActive);
    if (state.state <= client::CardState::Present) {
        const std::int64_t timeoutMs = c.TimeoutMs();
        if (timeoutMs == 0) return Sw(kSwNoCardInTime);
        if (!c.Text().empty()) Show(c.Text());
        const client::WaitReply waited = reader_.WaitPresent(timeoutMs);
        if (!c.Text().empty()) Show({});
        if (waited.timedOut) return Sw(kSwNoCardInTime);
        if (!waited.Ok()) return {CodeOf(waited.status), {}};
    }
    const NtStatus s = StartCard();
    if (IsLineFailure(s)) return {kErrTrans, {}};
    if (s != status::kSuccess) return Sw(kSwResetFailed);
    return CardStarted(ret);
}

Answer CardTerminal::EjectIcc(const Command& c) {
    if (!c.wellFormed) return Sw(kSwWrongLength);
    if (c.p1 != kUnitCt && c.p1 != kUnitIcc1) return Sw(kSwWrongParameters);
    if (CardPowered()) {
        const NtStatus s = reader_.Power(client::PowerAction::Down).status;
        if (s != status::kSuccess) return {CodeOf(s), {}};
    }
    const std::int64_t timeoutMs = c.TimeoutMs();
    if (timeoutMs == 0) return Sw(kSwDone);
    // With a time given, the answer tells whether the card is out by its end.
    const client::StateReply state = reader_.State();
    if (!state.Ok()) return {CodeOf(state.status), {}};
    if (state.state > client::CardState::Present) {
        if (!c.Text().empty()) Show(c.Text());
        const client::WaitReply waited = reader_.WaitAbsent(timeoutMs);
        if (!c.Text().empty()) Show({});
        if (waited.timedOut) return Sw(kSwNoCardInTime);
        if (!waited.Ok()) return {CodeOf(waited.status), {}};
    }
    return Sw(kSwDoneCardRemoved);
}

Answer CardTerminal::PassOn(const Command& c, std::size_t capacity) {
    client::Reply reply = reader_.TerminalCommand(c.bytes, capacity);
    if (!reply.Ok()) {
        // The driver reports the error status of the reader's last reply, also when the
        // reader has not answered since: a reader that has gone quiet is a line failure.
        if (reply.status == kDeviceDataError && !ReaderAnswers()) return {kErrTrans, {}};
        return {CodeOf(reply.status), {}};
    }
    const auto sw = SwOf(reply.data);
    const bool needsReader = c.ins == kInsGetStatus || c.ins == kInsInput || c.ins == kInsOutput;
    const bool pin = c.ins == kInsPerformVerification || c.ins == kInsModifyVerification;
    if (reply.data.size() == 2 && ((needsReader && sw == kSwDriverHandlerFailed) ||
                                   (pin && sw == kSwDriverPinFailed && !ReaderAnswers()))) {
        return {kErrTrans, {}};
    }
    return {kOk, std::move(reply.data)};
}

NtStatus CardTerminal::StartCard() {
    client::Reply power = reader_.Power(client::PowerAction::ColdReset);
    if (!power.Ok()) return power.status;
    const client::StateReply state = reader_.State();
    if (!state.Ok()) return state.status;
    if (state.state == client::CardState::Negotiable) {
        // The driver takes T=1 when the ATR offers it, else T=0.
        return reader_.SetProtocol(client::protocol::kT0 | client::protocol::kT1).status;
    }
    return status::kSuccess;
}

Answer CardTerminal::ReportCard() {
    client::Reply reply = reader_.TerminalCommand(kDriverCardReport);
    if (!reply.Ok()) return {CodeOf(reply.status), {}};
    return {kOk, std::move(reply.data)};
}

Answer CardTerminal::CardStarted(std::uint8_t ret) {
    Answer report = ReportCard();
    const auto sw = SwOf(report.bytes);
    if (report.code != kOk || !sw) return {report.code != kOk ? report.code : kErrCt, {}};
    if (*sw != kSwDone && *sw != kSwDoneCardRemoved) return Sw(kSwResetFailed);
    const std::span<const std::uint8_t> atr(report.bytes.data(), report.bytes.size() - 2);
    Bytes out;
    if (ret == kReturnAtr) out.assign(atr.begin(), atr.end());
    if (ret == kReturnHistorical) out = HistoricalBytes(atr);
    out.push_back(static_cast<std::uint8_t>(*sw >> 8));
    out.push_back(static_cast<std::uint8_t>(*sw));
    return {kOk, std::move(out)};
}

bool CardTerminal::CardPowered() {
    const client::StateReply state = reader_.State();
    return state.Ok() && state.state >= client::CardState::Powered;
}

void CardTerminal::Show(std::span<const std::uint8_t> text) {
    Bytes command{0x20, kInsOutput, 0x40, 0x00, 0, kTagDisplayText, 0};
    const std::size_t n = text.empty() ? kDisplayWidth : std::min(text.size(), kDisplayWidth);
    for (std::size_t i = 0; i < n; ++i) command.push_back(text.empty() ? ' ' : text[i]);
    command[4] = static_cast<std::uint8_t>(n + 2);
    command[6] = static_cast<std::uint8_t>(n);
    reader_.TerminalCommand(command);  // a courtesy: the wait goes on without it
}

bool CardTerminal::ReaderAnswers() {
    const client::Reply reply = reader_.TerminalCommand(kDriverManufacturer);
    return reply.Ok() && SwOf(reply.data) == kSwDone;
}

}  // namespace quor::ctapi
