#include "tools/quorctl/session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <thread>

#include "client/port_check.h"
#include "platform/kernel/clock.h"
#include "platform/smclib/smclib.h"
#include "sim/config.h"
#include "sim/keys.h"
#include "sim/memory_card.h"
#include "sim/processor_card.h"
#include "sim/reader.h"
#include "tools/quorctl/atr.h"
#include "tools/quorctl/hex.h"
#include "tools/quorctl/trace.h"

namespace quorctl {

namespace {

constexpr std::int64_t kSilenceLimitMs = 6000;

std::atomic<bool> g_interrupted{false};

std::optional<std::uint32_t> ReadUlong(const std::vector<std::uint8_t>& b) {
    if (b.size() < 4) return std::nullopt;
    return static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16) |
           static_cast<std::uint32_t>(b[3]) << 24;
}

std::string Text(const std::vector<std::uint8_t>& b) {
    std::string s(b.begin(), b.end());
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

std::vector<std::uint8_t> HexArg(const std::vector<std::string>& words, const char* what) {
    std::size_t length = 0;
    for (const auto& w : words) length += w.size() + 1;
    std::string joined;
    joined.reserve(length);
    for (const auto& w : words) {
        joined += w;
        joined += ' ';
    }
    auto bytes = ParseHex(joined);
    if (!bytes) throw UsageError(std::string("bad hex for ") + what + ": '" + joined + "'");
    return std::move(*bytes);
}

std::string Joined(const std::vector<std::string>& words) {
    std::string s;
    for (std::size_t i = 0; i < words.size(); ++i) s += (i ? " " : "") + words[i];
    return s;
}

std::shared_ptr<quor::sim::Card> MakeCard(const std::string& type) {
    if (type == "t0") return std::make_shared<quor::sim::T0Card>();
    if (type == "t1") return std::make_shared<quor::sim::T1Card>();
    if (type == "dual") return std::make_shared<quor::sim::DualCard>();
    if (type == "memory") return std::make_shared<quor::sim::MemoryCard>();
    return nullptr;
}

struct AttrInfo {
    const char* name;
    std::uint32_t tag;
    bool text;
};

const AttrInfo kAttrs[] = {
    {"vendor", SCARD_ATTR_VENDOR_NAME, true},
    {"ifd_type", SCARD_ATTR_VENDOR_IFD_TYPE, true},
    {"version", SCARD_ATTR_VENDOR_IFD_VERSION, false},
    {"serial", SCARD_ATTR_VENDOR_IFD_SERIAL_NO, true},
    {"channel", SCARD_ATTR_CHANNEL_ID, false},
    {"protocols", SCARD_ATTR_PROTOCOL_TYPES, false},
    {"default_clk", SCARD_ATTR_DEFAULT_CLK, false},
    {"max_clk", SCARD_ATTR_MAX_CLK, false},
    {"default_data_rate", SCARD_ATTR_DEFAULT_DATA_RATE, false},
    {"max_data_rate", SCARD_ATTR_MAX_DATA_RATE, false},
    {"max_ifsd", SCARD_ATTR_MAX_IFSD, false},
    {"power_mgmt", SCARD_ATTR_POWER_MGMT_SUPPORT, false},
    {"characteristics", SCARD_ATTR_CHARACTERISTICS, false},
    {"current_protocol", SCARD_ATTR_CURRENT_PROTOCOL_TYPE, false},
    {"current_clk", SCARD_ATTR_CURRENT_CLK, false},
    {"current_f", SCARD_ATTR_CURRENT_F, false},
    {"current_d", SCARD_ATTR_CURRENT_D, false},
    {"current_n", SCARD_ATTR_CURRENT_N, false},
    {"current_w", SCARD_ATTR_CURRENT_W, false},
    {"current_ifsc", SCARD_ATTR_CURRENT_IFSC, false},
    {"current_ifsd", SCARD_ATTR_CURRENT_IFSD, false},
    {"current_bwt", SCARD_ATTR_CURRENT_BWT, false},
    {"current_cwt", SCARD_ATTR_CURRENT_CWT, false},
    {"ebc_encoding", SCARD_ATTR_CURRENT_EBC_ENCODING, false},
    {"icc_presence", SCARD_ATTR_ICC_PRESENCE, false},
    {"icc_interface_status", SCARD_ATTR_ICC_INTERFACE_STATUS, false},
    {"atr", SCARD_ATTR_ATR_STRING, false},
    {"icc_type", SCARD_ATTR_ICC_TYPE_PER_ATR, false},
    {"unit", SCARD_ATTR_DEVICE_UNIT, false},
};

std::vector<std::uint8_t> ParseKeys(const std::string& keys) {
    try {
        return quor::sim::ParseKeys(keys);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
}

}  // namespace

void RequestInterrupt() { g_interrupted = true; }
void ClearInterrupt() { g_interrupted = false; }
bool Interrupted() { return g_interrupted; }

bool ValidCardType(const std::string& name) {
    return name == "t0" || name == "t1" || name == "dual" || name == "memory" || name == "none";
}

// ---------------------------------------------------------------------------------------

Session::Session(Options options, std::ostream& log) : options_(std::move(options)), log_(log) {}

Session::~Session() {
    reader_.Close();
    if (tracer_) {
        tracer_->Stop();
        tracer_->Flush();  // the removal's requests too; the port outlives the close
    }
}

void Session::Log(const std::string& line) {
    std::lock_guard lock(logMu_);
    log_ << line << '\n';
    log_.flush();
}

Result Session::Start() {
    Result r{"start"};
    if (options_.clockScale > 1.0) {
        kclock::SetScaled(options_.clockScale);
    } else {
        kclock::SetReal();
    }
    if (options_.sim) {
        quor::sim::ReaderConfig cfg = options_.model
                                          ? quor::sim::ConfigForModelCode(*options_.model)
                                          : quor::sim::ReaderConfig{};
        // On a faster clock the gaps between the driver's writes look longer to the emulator.
        cfg.interByteTimeout = static_cast<quor::sim::SimTime>(
            static_cast<double>(cfg.interByteTimeout) * std::max(1.0, options_.clockScale));
        emulator_ = std::make_shared<quor::sim::Reader>(cfg);
        if (auto card = MakeCard(options_.card)) emulator_->InsertCard(card);
    }
    quor::client::OpenOptions open;
    // A reader answers its reset within about three seconds of the start: after six without a
    // byte on the line there is none.
    open.silenceLimitMs = kSilenceLimitMs;
    if (options_.trace) {
        tracer_ = std::make_unique<Tracer>(emulator_.get(), log_, logMu_);
        // Records are kept only for the trace, and only the newest of them.
        if (emulator_) emulator_->SetRecording(true);
        open.onPort = [this](quor::serial::SerialPort& port) { tracer_->SetPort(&port); };
        tracer_->Start();
    }
    if (!emulator_) {
        // A path that cannot be a reader's port is told before any waiting.
        const auto check = quor::client::CheckTtyPath(options_.port);
        if (check.problem != quor::client::PathProblem::None) {
            r.status = check.problem == quor::client::PathProblem::Missing ? STATUS_NO_SUCH_DEVICE
                                                                           : STATUS_ACCESS_DENIED;
            r.message = check.message;
            return r;
        }
    }
    Log("Identifying reader... (reset and identification take a few seconds)");
    auto begin = std::chrono::steady_clock::now();
    {
        // Identification pauses three times; show that the tool is still alive meanwhile.
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
        std::thread progress([&] {
            std::unique_lock lock(mu);
            int seconds = 0;
            while (!cv.wait_for(lock, std::chrono::seconds(1), [&] { return done; })) {
                Log("  ... " + std::to_string(++seconds) + " s");
            }
        });
        r.status =
            emulator_ ? reader_.OpenEmulated(emulator_, open) : reader_.Open(options_.port, open);
        {
            std::lock_guard lock(mu);
            done = true;
        }
        cv.notify_all();
        progress.join();
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - begin)
                  .count();
    if (r.status != STATUS_SUCCESS) {
        r.message = reader_.LastError();
        return r;
    }
    started_ = true;
    Log("Reader started in " + std::to_string(ms) + " ms.");
    return r;
}

void Session::Explain(Result& r) {
    if (r.Ok()) return;
    if (r.status == STATUS_IO_TIMEOUT) {
        r.message = "The reader did not answer.";
        r.hint = "is it still connected and powered?";
        return;
    }
    if (r.status != STATUS_UNRECOGNIZED_MEDIA && r.status != STATUS_NO_MEDIA &&
        r.status != STATUS_INVALID_DEVICE_STATE) {
        return;
    }
    auto state = CardState();
    if (!state) return;
    if (*state <= SCARD_ABSENT) {
        r.message = "There is no card in the reader.";
        r.hint = "insert a card";
    } else if (*state < SCARD_POWERED && r.status == STATUS_INVALID_DEVICE_STATE) {
        r.message = "The card is not powered.";
        r.hint = "run 'power cold' first";
    }
}

Result Session::Simple(const std::string& cmd, const quor::client::Reply& reply) {
    Result r{cmd};
    r.status = reply.status;
    r.information = reply.information;
    r.data = reply.data;
    return r;
}

std::optional<std::uint32_t> Session::AttributeUlong(std::uint32_t tag) {
    return reader_.Attribute(tag).Ulong();
}

std::optional<std::uint32_t> Session::CardState(NTSTATUS* status) {
    auto reply = reader_.State();
    if (status) *status = reply.status;
    if (!reply.Ok()) return std::nullopt;
    return static_cast<std::uint32_t>(reply.state);
}

NTSTATUS Session::Run(const Command& c, const Emit& emit) {
    const std::string& n = c.name;
    // Once the port has gone away, no command can reach the reader: say so for every one.
    if (reader_.PortGone()) {
        Result r{n};
        r.status = STATUS_DEVICE_NOT_CONNECTED;
        r.message = "The reader's port " + options_.port + " is gone.";
        r.hint = "plug the reader in again and restart quorctl";
        emit(r);
        return r.status;
    }
    // Any other command may change the card or its protocol.
    if (n != "transmit") protocol_.reset();
    if (n == "watch") return Watch(c, emit);
    Result r;
    if (n == "info")
        r = Info();
    else if (n == "status")
        r = Status();
    else if (n == "power")
        r = Power(c);
    else if (n == "protocol")
        r = Protocol(c);
    else if (n == "transmit")
        r = Transmit(c);
    else if (n == "ct")
        r = TerminalCommand("ct", HexArg(c.words, "ct"));
    else if (n == "display")
        r = Display(c);
    else if (n == "input")
        r = Input(c);
    else if (n == "verify-pin")
        r = Pin(c, false);
    else if (n == "change-pin")
        r = Pin(c, true);
    else if (n == "raw-write")
        r = RawWrite(c);
    else if (n == "raw-read")
        r = RawRead(c);
    else if (n == "ioctl")
        r = AnyIoctl(c);
    else if (n == "wait")
        r = Wait(c);
    else if (n == "attr")
        r = Attr(c);
    else if (n == "state")
        r = State();
    else if (n == "sleep")
        r = SleepWake(true);
    else if (n == "wake")
        r = SleepWake(false);
    else if (n == "insert")
        r = Insert(c);
    else if (n == "remove")
        r = Remove();
    else if (n == "key")
        r = Key(c);
    else
        throw UsageError("unknown command '" + n + "'");
    if (n == "power" || n == "protocol" || n == "transmit" || n == "verify-pin" ||
        n == "change-pin") {
        Explain(r);
    }
    FlushTrace();
    emit(r);
    return r.status;
}

Result Session::RunOne(const Command& c) {
    Result last;
    Run(c, [&](const Result& r) { last = r; });
    return last;
}

Result Session::Info() {
    Result r{"info"};
    // A summary: what could be read is shown, the rest is "unknown" (null in JSON). Only a
    // failure of the device itself (it cannot even tell the card state) fails it.
    auto text = [&](const char* key, const char* label, std::uint32_t tag) {
        auto reply = reader_.Attribute(tag);
        if (reply.status == STATUS_SUCCESS && !Text(reply.data).empty()) {
            r.fields[key] = Text(reply.data);
            r.lines.push_back(std::string(label) + ": " + Text(reply.data));
        } else {
            r.fields[key] = nullptr;
            r.lines.push_back(std::string(label) + ": unknown");
        }
    };
    auto number = [&](std::uint32_t tag) -> std::optional<std::uint32_t> {
        auto reply = reader_.Attribute(tag);
        if (reply.status != STATUS_SUCCESS) return std::nullopt;
        return ReadUlong(reply.data);
    };
    text("vendor", "Vendor", SCARD_ATTR_VENDOR_NAME);
    text("ifd_type", "Reader type", SCARD_ATTR_VENDOR_IFD_TYPE);
    auto unit = number(SCARD_ATTR_DEVICE_UNIT);
    r.fields["unit"] = unit ? nlohmann::ordered_json(*unit) : nullptr;
    r.lines.push_back("Unit: " + (unit ? std::to_string(*unit) : "unknown"));
    auto version = number(SCARD_ATTR_VENDOR_IFD_VERSION);
    if (version) {
        std::string v = std::to_string(*version >> 24) + "." +
                        std::to_string((*version >> 16) & 0xFF) + "." +
                        std::to_string(*version & 0xFFFF);
        r.fields["version"] = v;
        r.lines.push_back("Version: " + v + " (" + Hex8(*version) + ")");
    } else {
        r.fields["version"] = nullptr;
        r.lines.push_back("Version: unknown");
    }
    text("serial", "Serial number", SCARD_ATTR_VENDOR_IFD_SERIAL_NO);
    auto clkDefault = number(SCARD_ATTR_DEFAULT_CLK);
    auto clkMax = number(SCARD_ATTR_MAX_CLK);
    nlohmann::ordered_json clock = nlohmann::ordered_json::object();
    clock["default_khz"] = clkDefault ? nlohmann::ordered_json(*clkDefault) : nullptr;
    clock["max_khz"] = clkMax ? nlohmann::ordered_json(*clkMax) : nullptr;
    r.fields["clock"] = clock;
    r.lines.push_back("Clock: " + (clkDefault ? std::to_string(*clkDefault) : "?") + " kHz (max " +
                      (clkMax ? std::to_string(*clkMax) : "?") + " kHz)");
    auto rateDefault = number(SCARD_ATTR_DEFAULT_DATA_RATE);
    auto rateMax = number(SCARD_ATTR_MAX_DATA_RATE);
    nlohmann::ordered_json rates = nlohmann::ordered_json::object();
    rates["default_bps"] = rateDefault ? nlohmann::ordered_json(*rateDefault) : nullptr;
    rates["max_bps"] = rateMax ? nlohmann::ordered_json(*rateMax) : nullptr;
    r.fields["data_rates"] = rates;
    r.lines.push_back("Data rate: " + (rateDefault ? std::to_string(*rateDefault) : "?") +
                      " bps (max " + (rateMax ? std::to_string(*rateMax) : "?") + " bps)");
    auto protocols = number(SCARD_ATTR_PROTOCOL_TYPES);
    r.fields["protocols"] = protocols ? nlohmann::ordered_json(ProtocolNames(*protocols)) : nullptr;
    r.lines.push_back("Protocols: " + (protocols ? ProtocolNames(*protocols) : "?"));
    auto ifsd = number(SCARD_ATTR_MAX_IFSD);
    r.fields["max_ifsd"] = ifsd ? nlohmann::ordered_json(*ifsd) : nullptr;
    r.lines.push_back("Max IFSD: " + (ifsd ? std::to_string(*ifsd) : "?"));
    NTSTATUS stateStatus = STATUS_SUCCESS;
    auto state = CardState(&stateStatus);
    r.fields["state"] = state ? nlohmann::ordered_json(StateName(*state)) : nullptr;
    r.lines.push_back(std::string("Card state: ") + (state ? StateName(*state) : "unknown"));
    r.status = stateStatus;
    return r;
}

Result Session::State() {
    Result r = Simple("state", reader_.Ioctl(IOCTL_SMARTCARD_GET_STATE, {}, 4));
    if (auto s = ReadUlong(r.data); s && r.status == STATUS_SUCCESS) {
        r.fields["state"] = StateName(*s);
        r.lines.push_back(std::string("card ") + StateName(*s));
    }
    return r;
}

Result Session::Status() {
    Result r = State();
    r.cmd = "status";
    if (r.status != STATUS_SUCCESS) return r;
    if (auto p = AttributeUlong(SCARD_ATTR_CURRENT_PROTOCOL_TYPE)) {
        r.fields["protocol"] = ProtocolNames(*p);
        r.lines.push_back("protocol " + ProtocolNames(*p));
    }
    auto atr = reader_.Attribute(SCARD_ATTR_ATR_STRING);
    if (atr.status == STATUS_SUCCESS && !atr.data.empty()) {
        r.fields["atr"] = ToHex(atr.data, false);
        r.lines.push_back("ATR " + ToHex(atr.data));
    }
    return r;
}

Result Session::Power(const Command& c) {
    if (c.words.size() != 1) throw UsageError("power takes one of: down, cold, warm");
    using quor::client::PowerAction;
    PowerAction action;
    const std::string& w = c.words[0];
    if (w == "down")
        action = PowerAction::Down;
    else if (w == "cold")
        action = PowerAction::ColdReset;
    else if (w == "warm")
        action = PowerAction::WarmReset;
    else
        throw UsageError("power takes one of: down, cold, warm (not '" + w + "')");
    Result r = Simple("power", reader_.Power(action));
    r.fields["action"] = w;
    if (r.status == STATUS_SUCCESS && !r.data.empty()) {
        auto a = AnalyseAtr(r.data);
        r.fields["atr"] = ToHex(r.data, false);
        r.fields["analysis"] = a.ToJson();
        r.lines.push_back("ATR " + ToHex(r.data));
        r.lines.push_back(a.Summary());
    } else if (r.status == STATUS_SUCCESS) {
        r.lines.push_back("card powered down");
    }
    return r;
}

Result Session::Protocol(const Command& c) {
    if (c.words.size() != 1) throw UsageError("protocol takes t0, t1 or t0,t1");
    std::uint32_t mask = 0;
    std::string w = c.words[0];
    std::size_t start = 0;
    while (start <= w.size()) {
        std::size_t end = w.find(',', start);
        std::string p = w.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (p == "t0" || p == "T0")
            mask |= SCARD_PROTOCOL_T0;
        else if (p == "t1" || p == "T1")
            mask |= SCARD_PROTOCOL_T1;
        else
            throw UsageError("unknown protocol '" + p + "' (t0, t1 or t0,t1)");
        if (end == std::string::npos) break;
        start = end + 1;
    }
    Result r = Simple("protocol", reader_.SetProtocol(mask));
    if (auto p = ReadUlong(r.data); p && r.status == STATUS_SUCCESS) {
        r.fields["protocol"] = ProtocolNames(*p);
        r.lines.push_back("selected " + ProtocolNames(*p));
    }
    return r;
}

// Like a resource manager: without a protocol in force, power the card and negotiate. Returns
// the protocol in force, or nothing with r.status set to the failure.
std::optional<std::uint32_t> Session::EnsureProtocol(Result& r) {
    // Like a resource manager: without a protocol in force, power the card and negotiate.
    NTSTATUS st = STATUS_SUCCESS;
    auto state = CardState(&st);
    std::optional<std::uint32_t> protocol;
    if (state && *state == SCARD_SPECIFIC) {
        protocol = AttributeUlong(SCARD_ATTR_CURRENT_PROTOCOL_TYPE);
        if (protocol && *protocol == 0) protocol.reset();
    }
    if (!protocol) {
        // Powered without an ATR (its power-up replies were lost) is no card to negotiate
        // with: power it up again.
        const auto atr = reader_.Attribute(SCARD_ATTR_ATR_STRING);
        const bool atrKnown = atr.status == STATUS_SUCCESS && !atr.data.empty();
        if (!state || *state < SCARD_POWERED || !atrKnown) {
            auto power = reader_.Power(quor::client::PowerAction::ColdReset);
            if (power.status != STATUS_SUCCESS) {
                r.status = power.status;
                r.fields["step"] = "power";
                return std::nullopt;
            }
            r.lines.push_back("powered, ATR " + ToHex(power.data));
        }
        auto set = reader_.SetProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        if (set.status != STATUS_SUCCESS) {
            r.status = set.status;
            r.fields["step"] = "protocol";
            return std::nullopt;
        }
        protocol = ReadUlong(set.data).value_or(SCARD_PROTOCOL_T1);
        r.lines.push_back("negotiated " + ProtocolNames(*protocol));
    }
    return protocol;
}

Result Session::Transmit(const Command& c) {
    auto apdu = HexArg(c.words, "transmit");
    if (apdu.size() < 4) throw UsageError("an APDU has at least 4 bytes");
    Result r{"transmit"};
    std::optional<std::uint32_t> protocol = protocol_;
    protocol_.reset();
    quor::client::Reply reply;
    if (protocol) {
        reply = reader_.Transmit(apdu, *protocol, 258);
        // The driver turns these down before anything reaches the card: the card changed since
        // the last transmit, so negotiate as for a first one and send the APDU then.
        if (reply.status == STATUS_INVALID_DEVICE_STATE || reply.status == STATUS_NO_MEDIA ||
            reply.status == STATUS_INVALID_DEVICE_REQUEST) {
            protocol.reset();
        }
    }
    if (!protocol) {
        protocol = EnsureProtocol(r);
        if (!protocol) return r;
        reply = reader_.Transmit(apdu, *protocol, 258);
    }
    if (reply.status == STATUS_SUCCESS) protocol_ = protocol;
    r.status = reply.status;
    r.information = reply.information;
    // Room for the fields and lines below at once, rather than growing into it.
    if (r.fields.is_null()) r.fields = nlohmann::ordered_json::object();
    r.fields.get_ref<nlohmann::ordered_json::object_t&>().reserve(r.fields.size() + 3);
    r.lines.reserve(r.lines.size() + 2);
    r.fields["protocol"] = ProtocolNames(*protocol);
    r.data = std::move(reply.data);
    if (r.status == STATUS_SUCCESS) {
        if (r.data.size() >= 2) {
            std::uint32_t sw =
                static_cast<std::uint32_t>(r.data[r.data.size() - 2] << 8 | r.data.back());
            std::vector<std::uint8_t> body(r.data.begin(), r.data.end() - 2);
            r.fields["response"] = ToHex(body, false);
            r.fields["sw"] = Hex2(sw >> 8) + Hex2(sw);
            std::string shown = body.empty() ? std::string("(none)") : ToHex(body);
            if (!body.empty() && std::all_of(body.begin(), body.end(), [](std::uint8_t b) {
                    return b >= 0x20 && b < 0x7F;
                })) {
                shown += " (\"" + std::string(body.begin(), body.end()) + "\")";
            }
            r.lines.push_back("response " + shown);
            r.lines.push_back("SW " + Hex2(sw >> 8) + " " + Hex2(sw));
        } else {
            r.lines.push_back("answer " + ToHex(r.data));
        }
    }
    return r;
}

NTSTATUS Session::Watch(const Command& c, const Emit& emit) {
    if (c.count < 0) throw UsageError("--count must not be negative");
    // While a wait is parked in the driver, a watchdog writes the trace and, on an interrupt,
    // cancels the wait (a signal handler cannot).
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mu);
        while (!cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return stop; })) {
            FlushTrace();
            if (Interrupted() && reader_.ParkedWaits() > 0) reader_.CancelWaits();
        }
    });
    auto finish = [&](NTSTATUS status) {
        {
            std::lock_guard lock(mu);
            stop = true;
        }
        cv.notify_all();
        watchdog.join();
        return status;
    };
    int events = 0;
    NTSTATUS last = STATUS_SUCCESS;
    while (!Interrupted() && (c.count == 0 || events < c.count)) {
        NTSTATUS st = STATUS_SUCCESS;
        auto state = CardState(&st);
        if (!state) {
            Result r{"watch"};
            r.status = st;
            emit(r);
            return finish(st);
        }
        bool present = *state > SCARD_ABSENT;
        auto waited = present ? reader_.WaitAbsent() : reader_.WaitPresent();
        if (Interrupted()) return finish(last);
        FlushTrace();
        Result r{"watch"};
        r.status = waited.status;
        if (r.status == STATUS_SUCCESS) {
            r.fields["event"] = present ? "removed" : "inserted";
            r.lines.push_back(present ? "card removed" : "card inserted");
        }
        emit(r);
        last = r.status;
        if (r.status != STATUS_SUCCESS) return finish(last);
        ++events;
    }
    return finish(last);
}

Result Session::Wait(const Command& c) {
    if (c.words.size() != 2 || (c.words[0] != "present" && c.words[0] != "absent")) {
        throw UsageError("wait takes present|absent and a time in milliseconds");
    }
    auto ms = ParseNumber(c.words[1], 3'600'000);
    if (!ms) throw UsageError("bad time '" + c.words[1] + "'");
    Result r{"wait"};
    // The time given is wall-clock time; the client counts on the kernel clock, which runs
    // faster when scaled.
    auto limit = static_cast<std::int64_t>(
        std::llround(static_cast<double>(*ms) * std::max(1.0, options_.clockScale)));
    bool present = c.words[0] == "present";
    auto waited = present ? reader_.WaitPresent(limit) : reader_.WaitAbsent(limit);
    r.status = waited.status;
    r.fields["waited_for"] = c.words[0];
    r.fields["timed_out"] = waited.timedOut;
    r.lines.push_back(!waited.timedOut ? "card " + c.words[0]
                                       : "gave up after " + c.words[1] + " ms");
    return r;
}

Result Session::TerminalCommand(const std::string& cmd, const std::vector<std::uint8_t>& apdu) {
    // Any bytes go to the driver, however short: its answer (67 00 for a malformed command)
    // is what the user wants to see.
    Result r = Simple(cmd, reader_.TerminalCommand(apdu));
    if (r.status == STATUS_SUCCESS && r.data.size() >= 2) {
        std::vector<std::uint8_t> body(r.data.begin(), r.data.end() - 2);
        r.fields["response"] = ToHex(body, false);
        r.fields["sw"] = Hex2(r.data[r.data.size() - 2]) + Hex2(r.data.back());
        if (!body.empty()) r.lines.push_back("answer " + ToHex(body));
        r.lines.push_back("SW " + Hex2(r.data[r.data.size() - 2]) + " " + Hex2(r.data.back()));
    }
    return r;
}

Result Session::Display(const Command& c) {
    std::string text = Joined(c.words);
    if (text.size() > 250) throw UsageError("display text too long (250 characters at most)");
    std::vector<std::uint8_t> apdu;
    apdu.reserve(text.size() + 7);
    for (std::uint8_t b : {0x20, 0x17, 0x40, 0x00}) apdu.push_back(b);
    apdu.push_back(static_cast<std::uint8_t>(text.size() + 2));
    apdu.push_back(quor::client::ctbcs::kTagDisplayText);
    apdu.push_back(static_cast<std::uint8_t>(text.size()));
    for (char ch : text) apdu.push_back(static_cast<std::uint8_t>(ch));
    return TerminalCommand("display", apdu);
}

Result Session::Input(const Command& c) {
    if (c.max < 0 || c.max > 255) throw UsageError("--max must be 0..255");
    if (c.timeout > 255) throw UsageError("--timeout must be 0..255 seconds");
    if (c.echo < 0 || c.echo > 255) throw UsageError("--echo must be 0..255");
    std::vector<std::uint8_t> apdu;
    for (std::uint8_t b : {0x20, 0x16, 0x50}) apdu.push_back(b);
    apdu.push_back(static_cast<std::uint8_t>(c.echo));
    if (c.timeout >= 0) {
        apdu.push_back(0x03);
        apdu.push_back(quor::client::ctbcs::kTagTimeout);
        apdu.push_back(0x01);
        apdu.push_back(static_cast<std::uint8_t>(c.timeout));
    }
    apdu.push_back(static_cast<std::uint8_t>(c.max));
    Result r = WithKeys("input", apdu, c.keys, false);
    if (r.status == STATUS_SUCCESS && r.data.size() >= 2) {
        std::string digits(r.data.begin(), r.data.end() - 2);
        r.fields["digits"] = digits;
        r.lines.insert(r.lines.begin(), "digits \"" + digits + "\"");
    }
    return r;
}

Result Session::Pin(const Command& c, bool change) {
    auto apdu = HexArg(c.words, change ? "change-pin" : "verify-pin");
    if (apdu.size() < 4) throw UsageError("the card APDU has at least 4 bytes");
    std::string paramText = c.params.empty() ? (change ? "48 05 0D" : "48 05") : c.params;
    auto params = ParseHex(paramText);
    std::size_t want = change ? 3 : 2;
    if (!params || params->size() != want) {
        throw UsageError("--params takes " + std::to_string(want) + " hex bytes");
    }
    std::vector<std::uint8_t> object = *params;
    object.insert(object.end(), apdu.begin(), apdu.end());
    if (object.size() + 2 > 255) throw UsageError("card APDU too long");
    std::vector<std::uint8_t> command{0x20,
                                      static_cast<std::uint8_t>(change ? 0x19 : 0x18),
                                      0x01,
                                      0x00,
                                      static_cast<std::uint8_t>(object.size() + 2),
                                      quor::client::ctbcs::kTagCommandToPerform,
                                      static_cast<std::uint8_t>(object.size())};
    command.insert(command.end(), object.begin(), object.end());
    // The reader sends the completed command to the card: the card must be powered and speak a
    // protocol first.
    Result prepared{change ? "change-pin" : "verify-pin"};
    if (!EnsureProtocol(prepared)) return prepared;
    return WithKeys(change ? "change-pin" : "verify-pin", command, c.keys, true);
}

Result Session::RawWrite(const Command& c) {
    auto bytes = HexArg(c.words, "raw-write");
    if (bytes.empty()) throw UsageError("raw-write needs bytes");
    Result r = Simple("raw-write", reader_.RawWrite(bytes));
    if (r.status == STATUS_SUCCESS) r.lines.push_back("written " + std::to_string(bytes.size()));
    return r;
}

Result Session::RawRead(const Command& c) {
    if (c.length <= 0 || c.length > 65536) throw UsageError("--length must be 1..65536");
    Result r = Simple("raw-read", reader_.RawRead(static_cast<std::size_t>(c.length)));
    if (r.status == STATUS_SUCCESS) r.lines.push_back("read " + ToHex(r.data));
    return r;
}

Result Session::AnyIoctl(const Command& c) {
    if (c.words.size() != 3) throw UsageError("ioctl takes CODE HEX OUTLEN (HEX may be '-')");
    auto code = ParseNumber(c.words[0]);
    if (!code) throw UsageError("bad control code '" + c.words[0] + "'");
    std::vector<std::uint8_t> input;
    if (c.words[1] != "-") {
        auto bytes = ParseHex(c.words[1]);
        if (!bytes) throw UsageError("bad hex '" + c.words[1] + "'");
        input = *bytes;
    }
    auto outLen = ParseNumber(c.words[2], 65536);
    if (!outLen) throw UsageError("bad output length '" + c.words[2] + "'");
    Result r = Simple("ioctl", reader_.Ioctl(static_cast<std::uint32_t>(*code), input,
                                             static_cast<std::size_t>(*outLen)));
    r.fields["code"] = Hex8(static_cast<std::uint32_t>(*code));
    if (r.status == STATUS_SUCCESS) r.lines.push_back("output " + ToHex(r.data));
    return r;
}

Result Session::Attr(const Command& c) {
    if (c.words.size() != 1) throw UsageError("attr takes a name or 0xTAG");
    const AttrInfo* found = nullptr;
    std::uint32_t tag = 0;
    for (const auto& a : kAttrs) {
        if (c.words[0] == a.name) found = &a;
    }
    if (found) {
        tag = found->tag;
    } else {
        auto n = ParseNumber(c.words[0]);
        if (!n) {
            std::string names;
            for (const auto& a : kAttrs) names += std::string(" ") + a.name;
            throw UsageError("unknown attribute '" + c.words[0] + "'; names:" + names);
        }
        tag = static_cast<std::uint32_t>(*n);
    }
    Result r = Simple("attr", reader_.Attribute(tag, 256));
    r.fields["tag"] = Hex8(tag);
    if (found) r.fields["name"] = found->name;
    if (r.status == STATUS_SUCCESS) {
        if (found && found->text) {
            r.fields["value"] = Text(r.data);
            r.lines.push_back(Text(r.data));
        } else if (r.data.size() == 4) {
            r.fields["value"] = *ReadUlong(r.data);
            r.lines.push_back(std::to_string(*ReadUlong(r.data)) + " (" + Hex8(*ReadUlong(r.data)) +
                              ")");
        } else {
            r.lines.push_back(ToHex(r.data));
        }
    }
    return r;
}

Result Session::SleepWake(bool sleep) {
    Result r{sleep ? "sleep" : "wake"};
    r.status = sleep ? reader_.Sleep() : reader_.Wake();
    return r;
}

Result Session::Insert(const Command& c) {
    if (!emulator_) throw UsageError("insert works only with the emulated reader (--sim)");
    std::string type = c.words.empty() ? "t1" : c.words[0];
    if (c.words.size() > 1 || !ValidCardType(type) || type == "none") {
        throw UsageError("insert takes t0, t1, dual or memory");
    }
    emulator_->InsertCard(MakeCard(type));
    Result r{"insert"};
    r.fields["card"] = type;
    r.lines.push_back(type + " card inserted");
    return r;
}

Result Session::Remove() {
    if (!emulator_) throw UsageError("remove works only with the emulated reader (--sim)");
    emulator_->RemoveCard();
    Result r{"remove"};
    r.lines.push_back("card removed");
    return r;
}

Result Session::Key(const Command& c) {
    if (!emulator_) throw UsageError("key works only with the emulated reader (--sim)");
    std::string keys = Joined(c.words);
    auto codes = ParseKeys(keys);
    for (auto code : codes) emulator_->PressKey(code);
    Result r{"key"};
    r.fields["keys"] = keys;
    r.lines.push_back(std::to_string(codes.size()) + " key(s) pressed");
    return r;
}

Result Session::WithKeys(const std::string& cmd, const std::vector<std::uint8_t>& apdu,
                         const std::string& keys, bool pinEntry) {
    if (keys.empty()) return TerminalCommand(cmd, apdu);
    if (!emulator_) throw UsageError("--keys works only with the emulated reader (--sim)");
    auto codes = ParseKeys(keys);
    if (pinEntry) {
        // The reader collects the PIN when the PIN frame arrives: the keys must be waiting.
        for (auto code : codes) emulator_->PressKey(code);
        return TerminalCommand(cmd, apdu);
    }
    // Key input begins with a display refresh; from then on the status polls are held off,
    // so keys typed after it reach the input and not a poll.
    const std::uint64_t displays = emulator_->DisplayCount();
    std::atomic<bool> done{false};
    Result r;
    std::thread worker([&] {
        r = TerminalCommand(cmd, apdu);
        done = true;
    });
    while (!done && emulator_->DisplayCount() == displays) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    for (auto code : codes) emulator_->PressKey(code);
    worker.join();
    return r;
}

// ---------------------------------------------------------------------------------------

void Session::FlushTrace() {
    if (tracer_) tracer_->Flush();
}

}  // namespace quorctl
