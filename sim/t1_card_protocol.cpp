#include "sim/t1_card_protocol.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace quor::sim {

using t1::Block;
using t1::SType;

T1CardProtocol::T1CardProtocol(std::size_t ifsc, t1::Edc edc) : ifsc_(ifsc), edc_(edc) {
    if (ifsc < 1 || ifsc > t1::kMaxInfSize) throw std::invalid_argument("IFSC out of 1..254");
}

void T1CardProtocol::PowerOn() {
    Resynchronise();
    nad_ = 0;
    wtxSent_ = errorsSent_ = resynchs_ = 0;
}

void T1CardProtocol::Resynchronise() {
    ifsd_ = t1::kDefaultIfs;
    sendNs_ = recvNs_ = 0;
    received_.clear();
    toSend_.clear();
    held_.clear();
    wtxLeft_ = 0;
    awaitingWtx_ = false;
    lastI_.reset();
    lastBlock_.reset();
    lastBlockIsI_ = false;
}

std::vector<std::uint8_t> T1CardProtocol::OnBlock(std::span<const std::uint8_t> in,
                                                  const ApduHandler& handler) {
    t1::Decoded d = t1::Decode(in, edc_);
    if (d.error == t1::DecodeError::kEdc) return SendR(t1::kREdcError);
    if (d.error != t1::DecodeError::kNone) return SendR(t1::kROtherError);
    const std::uint8_t nad = d.block.nad;
    nad_ = static_cast<std::uint8_t>(((nad & 0x07) << 4) | ((nad >> 4) & 0x07));
    switch (t1::KindOf(d.block.pcb)) {
        case t1::Kind::kI:
            return OnI(d.block, handler);
        case t1::Kind::kR:
            return OnR(d.block);
        case t1::Kind::kS:
            return OnS(d.block);
    }
    return SendR(t1::kROtherError);
}

std::vector<std::uint8_t> T1CardProtocol::OnI(const Block& b, const ApduHandler& handler) {
    const std::uint8_t ns = (b.pcb & t1::kPcbNs) ? 1 : 0;
    if ((b.pcb & 0x1F) != 0 || b.inf.size() > ifsc_ || awaitingWtx_ || Chaining() ||
        ns != recvNs_) {
        return SendR(t1::kROtherError);
    }
    recvNs_ ^= 1;
    received_.insert(received_.end(), b.inf.begin(), b.inf.end());
    if (b.pcb & t1::kPcbMore) return SendR(t1::kRNoError);

    std::vector<std::uint8_t> apdu = std::move(received_);
    received_.clear();
    T1Answer answer = handler(apdu);
    held_ = std::move(answer.response);
    wtxLeft_ = answer.wtxRequests;
    wtxMultiplier_ = answer.wtxMultiplier;
    return ContinueAnswer();
}

std::vector<std::uint8_t> T1CardProtocol::ContinueAnswer() {
    if (wtxLeft_ != 0) {
        awaitingWtx_ = true;
        ++wtxSent_;
        return SendS(SType::kWtx, false, {wtxMultiplier_});
    }
    awaitingWtx_ = false;
    toSend_ = std::move(held_);
    held_.clear();
    return SendNextChunk();
}

std::vector<std::uint8_t> T1CardProtocol::SendNextChunk() {
    const std::size_t n = std::min(ifsd_, toSend_.size());
    const bool more = toSend_.size() > n;
    Block block{nad_,
                t1::IPcb(sendNs_, more),
                {toSend_.begin(), toSend_.begin() + static_cast<std::ptrdiff_t>(n)}};
    toSend_.erase(toSend_.begin(), toSend_.begin() + static_cast<std::ptrdiff_t>(n));
    std::vector<std::uint8_t> bytes = Send(std::move(block));
    lastI_ = SentI{sendNs_, more, bytes};
    lastBlockIsI_ = true;
    sendNs_ ^= 1;
    return bytes;
}

std::vector<std::uint8_t> T1CardProtocol::OnR(const Block& b) {
    // 100N 00EE with EE one of 0, 1, 2, and no information field.
    if ((b.pcb & 0x2C) != 0 || (b.pcb & 0x03) == 0x03 || !b.inf.empty()) {
        return SendR(t1::kROtherError);
    }
    const std::uint8_t nr = (b.pcb & t1::kPcbNr) ? 1 : 0;
    if (lastI_ && nr == lastI_->ns) {
        lastBlock_ = lastI_->bytes;
        lastBlockIsI_ = true;
        return lastI_->bytes;
    }
    if (Chaining() && !awaitingWtx_) return SendNextChunk();
    if (lastBlock_ && !lastBlockIsI_) return *lastBlock_;
    return SendR(t1::kRNoError);
}

std::vector<std::uint8_t> T1CardProtocol::OnS(const Block& b) {
    const auto type = static_cast<std::uint8_t>(b.pcb & 0x1F);
    const bool response = (b.pcb & t1::kPcbSResponse) != 0;
    if (!response) {
        switch (type) {
            case static_cast<std::uint8_t>(SType::kResynch):
                if (!b.inf.empty()) break;
                Resynchronise();
                ++resynchs_;
                return SendS(SType::kResynch, true, {});
            case static_cast<std::uint8_t>(SType::kIfs):
                if (b.inf.size() != 1 || b.inf[0] == 0 || b.inf[0] == 0xFF) break;
                ifsd_ = b.inf[0];
                return SendS(SType::kIfs, true, b.inf);
            case static_cast<std::uint8_t>(SType::kAbort):
                if (!b.inf.empty()) break;
                received_.clear();
                toSend_.clear();
                held_.clear();
                wtxLeft_ = 0;
                awaitingWtx_ = false;
                if (lastI_) lastI_->more = false;
                return SendS(SType::kAbort, true, {});
            default:
                break;  // the host does not ask for waiting time
        }
        return SendR(t1::kROtherError);
    }
    // The card asks nothing but waiting time, so S(WTX response) is the only response it takes.
    if (type != static_cast<std::uint8_t>(SType::kWtx) || !awaitingWtx_ || b.inf.size() != 1 ||
        b.inf[0] != wtxMultiplier_) {
        return SendR(t1::kROtherError);
    }
    if (wtxLeft_ > 0) --wtxLeft_;
    return ContinueAnswer();
}

std::vector<std::uint8_t> T1CardProtocol::SendR(std::uint8_t error) {
    if (error != t1::kRNoError) ++errorsSent_;
    return Send(Block{nad_, t1::RPcb(recvNs_, error), {}});
}

std::vector<std::uint8_t> T1CardProtocol::SendS(SType type, bool response,
                                                std::vector<std::uint8_t> inf) {
    return Send(Block{nad_, t1::SPcb(type, response), std::move(inf)});
}

std::vector<std::uint8_t> T1CardProtocol::Send(Block block) {
    std::vector<std::uint8_t> bytes = t1::Encode(block, edc_);
    lastBlock_ = bytes;
    lastBlockIsI_ = false;
    return bytes;
}

}  // namespace quor::sim
