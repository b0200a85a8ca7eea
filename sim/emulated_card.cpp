#include "sim/emulated_card.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "sim/frame.h"

namespace quor::sim {

std::vector<std::uint8_t> ComposeAtr(const std::vector<AtrGroup>& groups,
                                     const std::vector<std::uint8_t>& protocols,
                                     const std::vector<std::uint8_t>& historical) {
    if (groups.empty() || protocols.size() + 1 != groups.size()) {
        throw std::invalid_argument("one protocol per TDi");
    }
    if (historical.size() > 15) throw std::invalid_argument("more than 15 historical bytes");
    std::vector<std::uint8_t> atr{0x3B};
    // The byte holding the Y indicator of group i: T0 for the first, TDi for the others.
    std::size_t indicator = atr.size();
    atr.push_back(static_cast<std::uint8_t>(historical.size()));
    bool tckNeeded = false;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const AtrGroup& g = groups[i];
        std::uint8_t y = 0;
        if (g.ta) y |= 0x10;
        if (g.tb) y |= 0x20;
        if (g.tc) y |= 0x40;
        if (i + 1 < groups.size()) y |= 0x80;
        atr[indicator] |= y;
        if (g.ta) atr.push_back(*g.ta);
        if (g.tb) atr.push_back(*g.tb);
        if (g.tc) atr.push_back(*g.tc);
        if (i + 1 < groups.size()) {
            indicator = atr.size();
            atr.push_back(protocols[i] & 0x0F);
            tckNeeded = tckNeeded || (protocols[i] & 0x0F) != 0;
        }
    }
    atr.insert(atr.end(), historical.begin(), historical.end());
    if (tckNeeded) atr.push_back(XorOf(std::span(atr).subspan(1)));
    return atr;
}

EmulatedCard::EmulatedCard(std::vector<std::uint8_t> atr) : atr_(std::move(atr)) {}

void EmulatedCard::PowerOn() {
    std::lock_guard lock(mu_);
    powered_ = true;
    ++powerOns_;
    OnPowerOn();
}

void EmulatedCard::PowerOff() {
    std::lock_guard lock(mu_);
    powered_ = false;
    ++powerOffs_;
}

std::optional<std::vector<std::uint8_t>> EmulatedCard::Exchange(std::uint8_t protocol,
                                                                std::span<const std::uint8_t> in) {
    std::lock_guard lock(mu_);
    ExchangeRecord rec{protocol, {}, std::nullopt};
    if (recording_) rec.in.assign(in.begin(), in.end());
    if (powered_ && !Take(dropCommands_)) {
        rec.out = HandleExchange(protocol, in);
        if (rec.out) {
            if (Take(dropAnswers_)) {
                rec.out.reset();
            } else if (Take(garbage_)) {
                rec.out = garbageBytes_ ? *garbageBytes_ : Garbage();
            } else if (protocol == kProtocolT1 && !rec.out->empty() && Take(corruptEdc_)) {
                rec.out->back() ^= 0xFF;
            }
        }
    }
    if (recording_) {
        log_.push_back(rec);
        if (log_.size() > logCapacity_) log_.pop_front();
    }
    return rec.out;
}

bool EmulatedCard::Powered() const {
    std::lock_guard lock(mu_);
    return powered_;
}

int EmulatedCard::PowerOnCount() const {
    std::lock_guard lock(mu_);
    return powerOns_;
}

int EmulatedCard::PowerOffCount() const {
    std::lock_guard lock(mu_);
    return powerOffs_;
}

void EmulatedCard::SetRecording(bool on, std::size_t capacity) {
    std::lock_guard lock(mu_);
    recording_ = on;
    logCapacity_ = std::max<std::size_t>(capacity, 1);
    if (!on) log_.clear();
    while (log_.size() > logCapacity_) log_.pop_front();
}

std::vector<EmulatedCard::ExchangeRecord> EmulatedCard::Exchanges() const {
    std::lock_guard lock(mu_);
    return {log_.begin(), log_.end()};
}

void EmulatedCard::ClearExchanges() {
    std::lock_guard lock(mu_);
    log_.clear();
}

void EmulatedCard::DropCommands(int count) {
    std::lock_guard lock(mu_);
    dropCommands_ = count;
}

void EmulatedCard::DropAnswers(int count) {
    std::lock_guard lock(mu_);
    dropAnswers_ = count;
}

void EmulatedCard::CorruptEdc(int count) {
    std::lock_guard lock(mu_);
    corruptEdc_ = count;
}

void EmulatedCard::AnswerGarbage(int count) {
    std::lock_guard lock(mu_);
    garbage_ = count;
    garbageBytes_.reset();
}

void EmulatedCard::AnswerWith(std::vector<std::uint8_t> bytes, int count) {
    std::lock_guard lock(mu_);
    garbage_ = count;
    garbageBytes_ = std::move(bytes);
}

void EmulatedCard::ClearFaults() {
    std::lock_guard lock(mu_);
    dropCommands_ = dropAnswers_ = corruptEdc_ = garbage_ = 0;
    garbageBytes_.reset();
}

bool EmulatedCard::Take(int& count) {
    if (count == 0) return false;
    if (count > 0) --count;
    return true;
}

std::vector<std::uint8_t> EmulatedCard::Garbage() {
    auto next = [this] {
        // xorshift32
        noise_ ^= noise_ << 13;
        noise_ ^= noise_ >> 17;
        noise_ ^= noise_ << 5;
        return noise_;
    };
    std::vector<std::uint8_t> bytes(1 + next() % 12);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(next() >> 24);
    if (XorOf(bytes) == 0) bytes.back() ^= 0x5A;
    return bytes;
}

}  // namespace quor::sim
