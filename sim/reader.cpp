#include "sim/reader.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace quor::sim {

namespace {

constexpr std::uint8_t kExchangeFailed = kStatusFailed | kStatusCardError;

}  // namespace

Reader::Reader(ReaderConfig cfg)
    : cfg_(std::move(cfg)), assembler_(cfg_.interByteTimeout), waitTime_(cfg_.defaultWaitTime) {
    if (cfg_.info.size() > kMaxReplyData) {
        throw std::invalid_argument("reader information bytes do not fit a reply frame");
    }
}

void Reader::HostWrite(std::span<const std::uint8_t> bytes, SimTime now, bool backToBack) {
    if (bytes.empty()) return;
    std::lock_guard lock(mu_);
    LogWire(now, WireEntry::Kind::kHostToReader, bytes);
    for (std::uint8_t b : bytes) {
        // Within one write the bytes come together: only the first can follow a gap.
        if (std::optional<HostFrame> frame = assembler_.Push(b, now, !backToBack)) {
            HandleFrame(*frame, now);
        }
        backToBack = true;
    }
}

std::size_t Reader::HostAvailable(SimTime now) {
    std::lock_guard lock(mu_);
    AdvancePin(now);
    const auto firstLater =
        std::find_if(out_.begin(), out_.end(), [now](const OutByte& b) { return b.time > now; });
    return static_cast<std::size_t>(firstLater - out_.begin());
}

std::vector<std::uint8_t> Reader::HostRead(std::size_t max, SimTime now) {
    std::lock_guard lock(mu_);
    AdvancePin(now);
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < max && !out_.empty() && out_.front().time <= now) {
        bytes.push_back(out_.front().value);
        out_.pop_front();
    }
    return bytes;
}

std::size_t Reader::HostRead(std::span<std::uint8_t> out, SimTime now) {
    std::lock_guard lock(mu_);
    AdvancePin(now);
    std::size_t n = 0;
    while (n < out.size() && !out_.empty() && out_.front().time <= now) {
        out[n++] = out_.front().value;
        out_.pop_front();
    }
    return n;
}

std::optional<SimTime> Reader::ReadableTime(std::size_t count, SimTime gap, SimTime now) {
    std::lock_guard lock(mu_);
    AdvancePin(now);
    if (out_.empty() || out_.back().time <= now) {
        // Nothing under way: a waiting entry answers at its time-out unless keys come first.
        if (entry_) return entry_->deadline + cfg_.replyLatency + cfg_.byteTime;
        return std::nullopt;
    }
    std::optional<SimTime> previous;  // the byte before, when it is still under way too
    for (std::size_t i = 0; i < out_.size(); ++i) {
        const SimTime t = out_[i].time;
        if (t <= now) continue;
        if (gap > 0 && previous && t - *previous > gap) return previous;
        if (i + 1 >= count) return t;
        previous = t;
    }
    return out_.back().time;
}

std::optional<SimTime> Reader::NextOutputTime(SimTime now) {
    std::lock_guard lock(mu_);
    AdvancePin(now);
    // Arrival times never decrease along the queue: replies go out one after the other.
    for (const OutByte& b : out_) {
        if (b.time > now) return b.time;
    }
    // A waiting entry (not over by `now`, or AdvancePin would have ended it) answers at its
    // time-out unless keys come first.
    if (entry_) return entry_->deadline + cfg_.replyLatency + cfg_.byteTime;
    return std::nullopt;
}

void Reader::HostPurge(SimTime now) {
    std::lock_guard lock(mu_);
    std::vector<std::uint8_t> dropped;
    while (!out_.empty() && out_.front().time <= now) {
        dropped.push_back(out_.front().value);
        out_.pop_front();
    }
    LogWire(now, WireEntry::Kind::kPurge, dropped);
}

void Reader::SetControlLines(bool dtr, bool rts, SimTime now) {
    std::lock_guard lock(mu_);
    LogWire(now, WireEntry::Kind::kControlLines, {}, dtr, rts);
}

void Reader::SetChangeCallback(std::function<void()> cb) {
    std::lock_guard lock(mu_);
    onChange_ = std::move(cb);
}

void Reader::InsertCard(std::shared_ptr<Card> card) {
    {
        std::lock_guard lock(mu_);
        PowerOffCard();
        card_ = std::move(card);
    }
    Notify();
}

void Reader::RemoveCard() { InsertCard(nullptr); }

bool Reader::CardPresent() const {
    std::lock_guard lock(mu_);
    return card_ != nullptr;
}

bool Reader::CardPowered() const {
    std::lock_guard lock(mu_);
    return powered_;
}

void Reader::PressKey(std::uint8_t key) {
    {
        std::lock_guard lock(mu_);
        keys_.push_back(key & kStatusKeyMask);
    }
    Notify();
}

void Reader::ScriptKeys(std::vector<KeyStep> steps, std::optional<SimTime> anchor) {
    {
        std::lock_guard lock(mu_);
        if (anchor && !script_.empty()) {
            throw std::invalid_argument("an anchor is for a script that starts afresh");
        }
        if (script_.empty()) scriptClock_ = anchor;
        script_.insert(script_.end(), steps.begin(), steps.end());
    }
    Notify();
}

std::size_t Reader::PendingKeys() const {
    std::lock_guard lock(mu_);
    return keys_.size();
}

std::size_t Reader::ScriptedKeys() const {
    std::lock_guard lock(mu_);
    return script_.size();
}

bool Reader::PinEntryWaiting() const {
    std::lock_guard lock(mu_);
    return entry_.has_value();
}

void Reader::ClearKeys() {
    {
        std::lock_guard lock(mu_);
        keys_.clear();
        script_.clear();
        scriptClock_.reset();
    }
    Notify();
}

void Reader::SetSilent(bool silent) {
    {
        std::lock_guard lock(mu_);
        silent_ = silent;
    }
    Notify();
}

void Reader::InjectFault(std::uint8_t frameCode, Fault fault) {
    if (fault.count == 0) return;
    {
        std::lock_guard lock(mu_);
        faults_[frameCode & 0x7F].push_back(std::move(fault));
    }
    Notify();
}

void Reader::ClearFaults() {
    {
        std::lock_guard lock(mu_);
        faults_.clear();
    }
    Notify();
}

void Reader::SetRecording(bool on, std::size_t capacity) {
    std::lock_guard lock(mu_);
    recording_ = on;
    logCapacity_ = std::max<std::size_t>(capacity, 1);
    const auto trim = [this](auto& log) {
        if (!recording_) log.clear();
        while (log.size() > logCapacity_) log.pop_front();
    };
    trim(wire_);
    trim(frames_);
    trim(displayLog_);
}

std::vector<WireEntry> Reader::WireLog() const {
    std::lock_guard lock(mu_);
    return {wire_.begin(), wire_.end()};
}

std::vector<FrameRecord> Reader::Frames() const {
    std::lock_guard lock(mu_);
    return {frames_.begin(), frames_.end()};
}

std::vector<DisplayRecord> Reader::DisplayLog() const {
    std::lock_guard lock(mu_);
    return {displayLog_.begin(), displayLog_.end()};
}

std::uint64_t Reader::FrameCount() const {
    std::lock_guard lock(mu_);
    return frameCount_;
}

std::uint64_t Reader::DisplayCount() const {
    std::lock_guard lock(mu_);
    return displayCount_;
}

std::vector<std::uint8_t> Reader::Display() const {
    std::lock_guard lock(mu_);
    return display_;
}

std::uint8_t Reader::Protocol() const {
    std::lock_guard lock(mu_);
    return protocol_;
}

std::uint16_t Reader::WaitTime() const {
    std::lock_guard lock(mu_);
    return waitTime_;
}

std::size_t Reader::DroppedPartialFrames() const {
    std::lock_guard lock(mu_);
    return assembler_.DroppedPartials();
}

void Reader::ClearLogs() {
    std::lock_guard lock(mu_);
    wire_.clear();
    frames_.clear();
    displayLog_.clear();
}

void Reader::HandleFrame(const HostFrame& frame, SimTime now) {
    if (entry_) {
        // The reader is busy with a PIN entry: the frame waits until it ends.
        held_.push_back({frame, now});
        return;
    }
    FrameRecord rec;
    rec.number = frameCount_++;
    rec.time = now;
    rec.code = frame.code;
    if (recording_) rec.data = frame.data;
    rec.checksumOk = frame.checksumOk;
    if (silent_) {
        rec.swallowed = true;
        LogFrame(std::move(rec));
        return;
    }

    Reply reply;
    std::optional<Fault> fault;
    if (!frame.checksumOk) {
        // The frame cannot be trusted, so nothing in it is carried out.
        reply.status = kStatusFailed;
    } else {
        fault = TakeFault(frame.code);
        if (fault && fault->kind == Fault::Kind::kCardPulled) {
            PowerOffCard();
            card_.reset();
        }
        if (fault && fault->ReplacesCommand()) {
            reply.data = fault->data;
            reply.status = fault->value;
        } else {
            reply = Execute(frame.code, frame.data, now);
            lastCode_ = frame.code;
            if (reply.waiting) {
                // The reply comes when the entry ends (AdvancePin).
                entry_->record = std::move(rec);
                entry_->fault = fault;
                return;
            }
            if (fault && fault->kind == Fault::Kind::kStatusByte) reply.status = fault->value;
        }
    }
    Emit(std::move(rec), reply, fault, now);
}

void Reader::Emit(FrameRecord rec, const Reply& reply, const std::optional<Fault>& fault,
                  SimTime now) {
    std::vector<std::uint8_t> bytes = ReplyFrame(reply.data, reply.status);
    SimTime start = now + reply.busy + cfg_.replyLatency;
    std::size_t gapAt = bytes.size();  // index of the first byte sent after a gap
    SimTime gap = 0;
    if (fault) {
        rec.fault = fault->kind;
        switch (fault->kind) {
            case Fault::Kind::kNoReply:
                bytes.clear();
                break;
            case Fault::Kind::kBadChecksum:
                bytes.back() ^= 0xFF;
                break;
            case Fault::Kind::kFirstByte:
                bytes.front() = fault->value;
                break;
            case Fault::Kind::kTruncate:
                bytes.resize(std::min(bytes.size(), fault->length));
                break;
            case Fault::Kind::kDelay:
                start += fault->delay;
                break;
            case Fault::Kind::kNoise:
                bytes.insert(bytes.begin(), fault->data.begin(), fault->data.end());
                break;
            case Fault::Kind::kGap:
                gapAt = fault->length;
                gap = fault->delay;
                break;
            case Fault::Kind::kErrorStatus:
            case Fault::Kind::kStatusByte:
            case Fault::Kind::kAnswer:
            case Fault::Kind::kCardPulled:
                break;
        }
    }

    if (!bytes.empty()) {
        // The reader has one transmitter: a reply starts only after the previous one has gone.
        start = std::max(start, lineFreeAt_);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const SimTime pause = i >= gapAt ? gap : 0;
            out_.push_back({start + pause + static_cast<SimTime>(i + 1) * cfg_.byteTime, bytes[i]});
        }
        lineFreeAt_ = out_.back().time;
        rec.replyTime = start + cfg_.byteTime;
        LogWire(rec.replyTime, WireEntry::Kind::kReaderToHost, bytes);
    }
    if (recording_) rec.reply = std::move(bytes);
    LogFrame(std::move(rec));
}

Reader::Reply Reader::Execute(std::uint8_t code, std::span<const std::uint8_t> data, SimTime now) {
    switch (code) {
        case kCodeResetReader:
            PowerOffCard();
            protocol_ = kProtocolT0;
            waitTime_ = cfg_.defaultWaitTime;
            return {{}, CardBits()};

        case kCodeCardOn: {
            if (!card_) return {{}, kStatusFailed};
            card_->PowerOn();
            std::vector<std::uint8_t> atr = card_->Atr();
            if (atr.empty() || atr.size() > kMaxReplyData) {
                // A card that stays mute after reset (or whose answer no frame can carry) is
                // switched off again.
                card_->PowerOff();
                powered_ = false;
                const std::uint8_t kind = atr.empty() ? kCardErrorNoAnswer : kCardErrorTooLong;
                return {{}, static_cast<std::uint8_t>(kExchangeFailed | kind)};
            }
            powered_ = true;
            return {std::move(atr), CardBits()};
        }

        case kCodeCardOff:
            PowerOffCard();
            return {{}, CardBits()};

        case kCodeSetWaitTime:
            if (data.size() != 2) return {{}, kStatusFailed};
            waitTime_ = static_cast<std::uint16_t>((data[0] << 8) | data[1]);
            return {{}, CardBits()};

        case kCodeSetProtocol:
            if (data.size() != 1 || data[0] > kProtocolPps) return {{}, kStatusFailed};
            protocol_ = data[0];
            return {{}, CardBits()};

        case kCodeExchange:
            if (!card_ || !powered_) return {{}, kExchangeFailed | kCardErrorNoCard};
            return CardExchange(data);

        case kCodePinVerify:
        case kCodePinModify:
            return PinFrame(code, data, now);

        case kCodeGetInfo:
            return {cfg_.info, CardBits()};

        case kCodeDisplay:
            // The host shows a prompt: a key script waiting for its anchor starts now. The text
            // a host shows right after asking for the reader's information is its version, no
            // prompt.
            if (!script_.empty() && !scriptClock_ && lastCode_ != kCodeGetInfo) {
                scriptClock_ = now;
            }
            if (!cfg_.hasDisplay) return {{}, kStatusFailed};
            display_.assign(data.begin(), data.end());
            ++displayCount_;
            if (recording_) Keep(displayLog_, DisplayRecord{now, display_});
            return {{}, CardBits()};

        case kCodeGetStatus: {
            ReleaseScriptedKeys(now);
            std::uint8_t key = cfg_.idleKey & kStatusKeyMask;
            if (!keys_.empty()) {
                key = keys_.front();
                keys_.pop_front();
            }
            return {{}, static_cast<std::uint8_t>(CardBits() | key)};
        }

        default:
            return {{}, kStatusFailed};
    }
}

Reader::Reply Reader::CardExchange(std::span<const std::uint8_t> command) {
    std::optional<std::vector<std::uint8_t>> answer = card_->Exchange(protocol_, command);
    if (!answer) return {{}, kExchangeFailed | kCardErrorNoAnswer};
    if (answer->size() > kMaxReplyData) return {{}, kExchangeFailed | kCardErrorTooLong};
    return {std::move(*answer), CardBits()};
}

Reader::Reply Reader::PinFrame(std::uint8_t code, std::span<const std::uint8_t> data, SimTime now) {
    const bool modify = code == kCodePinModify;
    const std::size_t parameters = modify ? 3 : 2;
    if (data.size() <= parameters) return {{}, kStatusFailed};
    if (!card_ || !powered_) return {{}, kExchangeFailed | kCardErrorNoCard};

    PinEntry entry;
    entry.modify = modify;
    entry.format = PinFormatOf(data[0]);
    entry.command.assign(data.begin() + static_cast<std::ptrdiff_t>(parameters), data.end());
    entry.protocol = protocol_;
    const std::optional<std::size_t> writable = PinWritableSize(entry.command, protocol_);
    const std::size_t field = PinFieldSize(entry.format);
    const auto fits = [&](std::size_t offset) { return offset + field <= *writable; };
    if (!writable || entry.format.maxDigits == 0 || !fits(data[1]) || (modify && !fits(data[2]))) {
        return {{}, kStatusFailed};
    }
    entry.offsets[0] = data[1];
    entry.offsets[1] = modify ? data[2] : 0;
    entry.deadline = now + cfg_.pinEntryTimeout;
    entry.clock = now;

    const std::optional<EntryEnd> end = FeedPin(entry, now);
    if (!end) {
        entry_ = std::move(entry);  // waits for keys pressed during the entry
        Reply waiting;
        waiting.waiting = true;
        return waiting;
    }
    Reply reply = FinishPin(entry, *end);
    reply.busy = entry.clock - now;
    return reply;
}

std::optional<Reader::EntryEnd> Reader::FeedPin(PinEntry& entry, SimTime from) {
    for (;;) {
        const std::optional<TakenKey> k = NextKey(std::max(from, entry.clock), entry.deadline);
        if (!k) return std::nullopt;
        entry.clock = k->at;
        std::vector<std::uint8_t>& digits = entry.digits[entry.stage];
        if (k->key <= 9) {
            if (digits.size() < entry.format.maxDigits) digits.push_back(k->key);
        } else if (k->key == kKeyConfirm) {
            if (digits.size() >= entry.format.minDigits) {
                if (!entry.modify || entry.stage == 1) return EntryEnd::kConfirmed;
                entry.stage = 1;
            }
        } else if (k->key == kKeyCancel) {
            return EntryEnd::kCancelled;
        }
    }
}

Reader::Reply Reader::FinishPin(PinEntry& entry, EntryEnd end) {
    if (end != EntryEnd::kConfirmed) {
        const std::uint8_t sw2 =
            end == EntryEnd::kCancelled ? kPinEntryCancelled : kPinEntryTimedOut;
        return {{kPinEntrySw1, sw2}, CardBits()};
    }
    // The card may have gone during the entry.
    if (!card_ || !powered_) return {{}, kExchangeFailed | kCardErrorNoCard};
    for (int i = 0; i < (entry.modify ? 2 : 1); ++i) {
        const std::vector<std::uint8_t> pin = EncodePin(entry.digits[i], entry.format);
        std::copy(pin.begin(), pin.end(),
                  entry.command.begin() + static_cast<std::ptrdiff_t>(entry.offsets[i]));
    }
    if (entry.protocol == kProtocolT1) RefreshEdc(entry.command);
    return CardExchange(entry.command);
}

void Reader::AdvancePin(SimTime now) {
    if (!entry_) return;
    std::optional<EntryEnd> end = FeedPin(*entry_, now);
    if (!end) {
        if (now < entry_->deadline) return;
        end = EntryEnd::kTimedOut;
        entry_->clock = entry_->deadline;
    }
    PinEntry entry = std::move(*entry_);
    entry_.reset();
    Reply reply = FinishPin(entry, *end);
    if (entry.fault && entry.fault->kind == Fault::Kind::kStatusByte) {
        reply.status = entry.fault->value;
    }
    Emit(std::move(entry.record), reply, entry.fault, entry.clock);
    // The frames that came meanwhile, in order; one may start another entry, which holds
    // the rest again.
    std::deque<HeldFrame> held = std::move(held_);
    held_.clear();
    for (const HeldFrame& h : held) HandleFrame(h.frame, std::max(h.time, entry.clock));
    AdvancePin(now);
}

void Reader::ReleaseScriptedKeys(SimTime now) {
    while (!script_.empty()) {
        if (!scriptClock_) return;  // not anchored yet: no input was asked for
        const SimTime at = *scriptClock_ + script_.front().delay;
        if (at > now) return;
        scriptClock_ = at;
        const std::uint8_t key = script_.front().key;
        script_.pop_front();
        if (key != kKeySilence) keys_.push_back(key & kStatusKeyMask);
    }
    scriptClock_.reset();
}

std::optional<Reader::TakenKey> Reader::NextKey(SimTime from, SimTime deadline) {
    if (!keys_.empty()) {
        const std::uint8_t key = keys_.front();
        keys_.pop_front();
        return TakenKey{from, key};
    }
    while (!script_.empty()) {
        if (!scriptClock_) scriptClock_ = from;  // the entry starts now
        const SimTime at = *scriptClock_ + script_.front().delay;
        if (at > deadline) return std::nullopt;
        scriptClock_ = at;
        const std::uint8_t key = script_.front().key;
        script_.pop_front();
        if (script_.empty()) scriptClock_.reset();
        if (key != kKeySilence) return TakenKey{std::max(at, from), key};
    }
    return std::nullopt;
}

std::optional<Fault> Reader::TakeFault(std::uint8_t code) {
    auto it = faults_.find(code);
    if (it == faults_.end() || it->second.empty()) return std::nullopt;
    Fault& armed = it->second.front();
    Fault applied = armed;
    if (armed.count > 0 && --armed.count == 0) it->second.pop_front();
    if (it->second.empty()) faults_.erase(it);
    return applied;
}

std::uint8_t Reader::CardBits() const {
    std::uint8_t bits = 0;
    if (card_) bits |= kStatusCardIn;
    if (card_ && powered_) bits |= kStatusPowered;
    return bits;
}

void Reader::PowerOffCard() {
    if (card_ && powered_) card_->PowerOff();
    powered_ = false;
}

template <typename T>
void Reader::Keep(std::deque<T>& log, T entry) {
    log.push_back(std::move(entry));
    if (log.size() > logCapacity_) log.pop_front();
}

void Reader::LogWire(SimTime time, WireEntry::Kind kind, std::span<const std::uint8_t> bytes,
                     bool dtr, bool rts) {
    const std::uint64_t number = wireCount_++;
    if (recording_)
        Keep(wire_, WireEntry{time, kind, {bytes.begin(), bytes.end()}, dtr, rts, number});
}

void Reader::LogFrame(FrameRecord rec) {
    if (recording_) Keep(frames_, std::move(rec));
}

void Reader::Notify() {
    std::function<void()> cb;
    {
        std::lock_guard lock(mu_);
        cb = onChange_;
    }
    if (cb) cb();
}

}  // namespace quor::sim
