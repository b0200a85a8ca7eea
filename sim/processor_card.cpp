#include "sim/processor_card.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "sim/frame.h"

namespace quor::sim {

namespace {

std::vector<AtrGroup> T1Groups(std::optional<std::uint8_t> ta1, const T1Settings& t1) {
    AtrGroup third;
    third.ta = static_cast<std::uint8_t>(t1.ifsc);
    third.tb = static_cast<std::uint8_t>(((t1.bwi & 0x0F) << 4) | (t1.cwi & 0x0F));
    if (t1.edc == t1::Edc::kCrc) third.tc = 0x01;
    return {AtrGroup{ta1, std::nullopt, std::nullopt}, AtrGroup{}, third};
}

}  // namespace

ProcessorCard::ProcessorCard(Setup setup)
    : EmulatedCard(std::move(setup.atr)),
      offered_(std::move(setup.offered)),
      ta1_(setup.ta1),
      strict_(setup.strict),
      ifsc_(setup.t1.ifsc),
      app_(std::move(setup.app)),
      t1_(setup.t1.ifsc, setup.t1.edc) {}

void ProcessorCard::AddDf(std::uint16_t fid, std::uint16_t parent, std::vector<std::uint8_t> name) {
    std::lock_guard lock(mu_);
    app_.AddDf(fid, parent, std::move(name));
}

void ProcessorCard::AddEf(std::uint16_t fid, std::vector<std::uint8_t> content,
                          std::uint16_t parent, IsoApplication::EfOptions options) {
    std::lock_guard lock(mu_);
    app_.AddEf(fid, std::move(content), parent, options);
}

void ProcessorCard::SetFileContent(std::uint16_t fid, std::vector<std::uint8_t> content) {
    std::lock_guard lock(mu_);
    app_.SetFileContent(fid, std::move(content));
}

void ProcessorCard::SetPin(std::uint8_t ref, std::vector<std::uint8_t> value, int maxTries,
                           std::uint16_t df) {
    std::lock_guard lock(mu_);
    app_.SetPin(ref, std::move(value), maxTries, df);
}

void ProcessorCard::SetTriesLeft(std::uint8_t ref, int tries) {
    std::lock_guard lock(mu_);
    app_.SetTriesLeft(ref, tries);
}

void ProcessorCard::SeedChallenge(std::uint64_t seed) {
    std::lock_guard lock(mu_);
    app_.SeedChallenge(seed);
}

std::vector<std::uint8_t> ProcessorCard::FileContent(std::uint16_t fid) const {
    std::lock_guard lock(mu_);
    return app_.FileContent(fid);
}

std::vector<std::uint8_t> ProcessorCard::PinValue(std::uint8_t ref) const {
    std::lock_guard lock(mu_);
    return app_.PinValue(ref);
}

int ProcessorCard::TriesLeft(std::uint8_t ref) const {
    std::lock_guard lock(mu_);
    return app_.TriesLeft(ref);
}

bool ProcessorCard::PinVerified(std::uint8_t ref) const {
    std::lock_guard lock(mu_);
    return app_.PinVerified(ref);
}

std::uint16_t ProcessorCard::CurrentDf() const {
    std::lock_guard lock(mu_);
    return app_.CurrentDf();
}

std::optional<std::uint16_t> ProcessorCard::CurrentEf() const {
    std::lock_guard lock(mu_);
    return app_.CurrentEf();
}

std::vector<std::uint8_t> ProcessorCard::LastChallenge() const {
    std::lock_guard lock(mu_);
    return app_.LastChallenge();
}

IsoApplication ProcessorCard::Application() const {
    std::lock_guard lock(mu_);
    return app_;
}

void ProcessorCard::EditApplication(const std::function<void(IsoApplication&)>& edit) {
    std::lock_guard lock(mu_);
    edit(app_);
}

void ProcessorCard::SetSlowCommand(std::uint8_t ins, int wtxRequests, std::uint8_t multiplier) {
    std::lock_guard lock(mu_);
    slow_[ins] = Wtx{wtxRequests, multiplier};
}

void ProcessorCard::ClearSlowCommands() {
    std::lock_guard lock(mu_);
    slow_.clear();
}

void ProcessorCard::WtxStorm(int requests, std::uint8_t multiplier) {
    std::lock_guard lock(mu_);
    if (requests == 0) {
        storm_.reset();
    } else {
        storm_ = Wtx{requests, multiplier};
    }
}

std::size_t ProcessorCard::Ifsd() const {
    std::lock_guard lock(mu_);
    return t1_.Ifsd();
}

std::uint8_t ProcessorCard::T1SendSequence() const {
    std::lock_guard lock(mu_);
    return t1_.SendSequence();
}

std::uint8_t ProcessorCard::T1ReceiveSequence() const {
    std::lock_guard lock(mu_);
    return t1_.ReceiveSequence();
}

int ProcessorCard::WtxRequestsSent() const {
    std::lock_guard lock(mu_);
    return t1_.WtxRequestsSent();
}

int ProcessorCard::T1ErrorBlocksSent() const {
    std::lock_guard lock(mu_);
    return t1_.ErrorBlocksSent();
}

std::optional<std::uint8_t> ProcessorCard::NegotiatedProtocol() const {
    std::lock_guard lock(mu_);
    return negotiated_;
}

void ProcessorCard::OnPowerOn() {
    app_.ResetSession();
    t1_.PowerOn();
    negotiated_.reset();
    ppsDone_ = false;
    protocolUsed_ = false;
}

bool ProcessorCard::Speaks(std::uint8_t protocol) const {
    if (std::find(offered_.begin(), offered_.end(), protocol) == offered_.end()) return false;
    if (!strict_) return true;
    return protocol == negotiated_.value_or(offered_.front());
}

std::optional<std::vector<std::uint8_t>> ProcessorCard::HandleExchange(
    std::uint8_t protocol, std::span<const std::uint8_t> in) {
    switch (protocol) {
        case kProtocolPps:
            return HandlePps(in);
        case kProtocolT0:
            if (!Speaks(protocol)) return std::nullopt;
            protocolUsed_ = true;
            return HandleT0(in);
        case kProtocolT1:
            if (!Speaks(protocol)) return std::nullopt;
            protocolUsed_ = true;
            return t1_.OnBlock(
                in, [this](std::span<const std::uint8_t> apdu) { return HandleT1Apdu(apdu); });
        default:
            return std::nullopt;
    }
}

std::optional<std::vector<std::uint8_t>> ProcessorCard::HandlePps(
    std::span<const std::uint8_t> in) {
    if (ppsDone_ || protocolUsed_) return std::nullopt;
    if (in.size() < 3 || in[0] != 0xFF || (in[1] & 0x80) != 0) return std::nullopt;
    const std::uint8_t pps0 = in[1];
    const std::size_t optional = static_cast<std::size_t>(std::popcount<unsigned>(pps0 & 0x70u));
    if (in.size() != 3 + optional || XorOf(in) != 0) return std::nullopt;
    const std::uint8_t protocol = pps0 & 0x0F;
    if (std::find(offered_.begin(), offered_.end(), protocol) == offered_.end()) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> answer{0xFF, protocol};
    if (pps0 & 0x10) {
        const std::uint8_t pps1 = in[2];
        if (pps1 == 0x11 || pps1 == ta1_) {
            answer[1] |= 0x10;
            answer.push_back(pps1);
        }
    }
    answer.push_back(XorOf(answer));
    ppsDone_ = true;
    negotiated_ = protocol;
    return answer;
}

std::vector<std::uint8_t> ProcessorCard::HandleT0(std::span<const std::uint8_t> in) {
    const ApduResponse wrongLength{{}, sw::kWrongLength};
    if (in.size() < 5) {
        app_.ClearPendingResponse();
        return wrongLength.Bytes();
    }
    Apdu apdu;
    apdu.cla = in[0];
    apdu.ins = in[1];
    apdu.p1 = in[2];
    apdu.p2 = in[3];
    const std::size_t p3 = in[4];
    const bool sends = IsoApplication::SendsData(apdu.ins);
    bool valid = false;
    if (in.size() == 5) {
        valid = sends || p3 == 0;
        if (sends) {
            apdu.ne = p3 == 0 ? 256 : p3;
            apdu.exactLe = true;
        }
    } else if (in.size() == 5 + p3 && !sends) {
        valid = true;
        apdu.data.assign(in.begin() + 5, in.end());
        apdu.ne = 256;  // whatever the command answers is kept for GET RESPONSE
    }
    if (!valid) {
        app_.ClearPendingResponse();
        return wrongLength.Bytes();
    }

    ApduResponse r = app_.Process(apdu);
    if (!sends && !r.data.empty()) {
        const std::size_t n = r.data.size();
        app_.SetPendingResponse(std::move(r.data), r.sw);
        return {0x61, static_cast<std::uint8_t>(n >= 256 ? 0 : n)};
    }
    return r.Bytes();
}

T1Answer ProcessorCard::HandleT1Apdu(std::span<const std::uint8_t> apdu) {
    T1Answer answer;
    answer.response = app_.Process(apdu).Bytes();
    if (storm_) {
        answer.wtxRequests = storm_->requests;
        answer.wtxMultiplier = storm_->multiplier;
        storm_.reset();
    } else if (apdu.size() >= 2) {
        if (auto it = slow_.find(apdu[1]); it != slow_.end()) {
            answer.wtxRequests = it->second.requests;
            answer.wtxMultiplier = it->second.multiplier;
        }
    }
    return answer;
}

T0Card::T0Card() : T0Card(Options{}) {}

T0Card::T0Card(Options options, IsoApplication app)
    : ProcessorCard(Setup{
          AtrFor(options), {kProtocolT0}, options.ta1, T1Settings{}, false, std::move(app)}) {}

std::vector<std::uint8_t> T0Card::AtrFor(const Options& options) {
    return ComposeAtr({AtrGroup{options.ta1, std::nullopt, std::nullopt}}, {}, options.historical);
}

T1Card::T1Card() : T1Card(Options{}) {}

T1Card::T1Card(Options options, IsoApplication app)
    : ProcessorCard(
          Setup{AtrFor(options), {kProtocolT1}, options.ta1, options.t1, false, std::move(app)}) {}

std::vector<std::uint8_t> T1Card::AtrFor(const Options& options) {
    return ComposeAtr(T1Groups(options.ta1, options.t1), {kProtocolT1, kProtocolT1},
                      options.historical);
}

DualCard::DualCard() : DualCard(Options{}) {}

DualCard::DualCard(Options options, IsoApplication app)
    : ProcessorCard(Setup{AtrFor(options),
                          {kProtocolT0, kProtocolT1},
                          options.ta1,
                          options.t1,
                          options.strict,
                          std::move(app)}) {}

std::vector<std::uint8_t> DualCard::AtrFor(const Options& options) {
    return ComposeAtr(T1Groups(options.ta1, options.t1), {kProtocolT0, kProtocolT1},
                      options.historical);
}

}  // namespace quor::sim
