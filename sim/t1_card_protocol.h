// The card side of the ISO/IEC 7816-3 T=1 block protocol. Every block the host sends gets
// exactly one block back.
//
// Rules the card follows:
// - I-blocks from the host must carry the expected N(S), no more than IFSC bytes and zero RFU
//   bits, and may not arrive while the card is chaining or waiting for S(WTX response). A
//   chained one (M set) is acknowledged with R(N(R) = next expected N(S)); the last one
//   completes the command APDU.
// - The answer goes out in I-blocks of at most IFSD bytes (32 after reset and S(RESYNCH), then
//   what S(IFS request) sets), chained with M; the host acknowledges each with an R-block.
// - A slow command (T1Answer::wtxRequests) first makes the card send S(WTX request) and wait for
//   S(WTX response) echoing the multiplier, once per request, before the answer.
// - R-block from the host: N(R) equal to the N(S) of the card's last I-block asks for that
//   block again; otherwise, while chaining, it acknowledges the last block and the next one
//   follows; otherwise the card's last R- or S-block is sent again; after a final I-block (or
//   before any block) the host's own I-block was lost, and the card asks for it with
//   R(N(R) = expected N(S)).
// - S(RESYNCH request): back to the state after reset. S(IFS request): IFSD 1..254.
//   S(ABORT request): chains and a held answer are dropped.
// - A block with a bad EDC gets R(expected N(S), EDC error); a block that breaks any other rule
//   gets R(expected N(S), other error), and changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "sim/t1_block.h"

namespace quor::sim {

// What the card makes of one complete command APDU.
struct T1Answer {
    std::vector<std::uint8_t> response;  // response APDU: data, SW1, SW2
    int wtxRequests = 0;                 // S(WTX request)s before the answer; < 0: no end
    std::uint8_t wtxMultiplier = 1;
};

class T1CardProtocol {
  public:
    using ApduHandler = std::function<T1Answer(std::span<const std::uint8_t> apdu)>;

    // Throws std::invalid_argument for an IFSC outside 1..254.
    T1CardProtocol(std::size_t ifsc, t1::Edc edc);

    // State after the ATR (also what S(RESYNCH) leads to), with the counters cleared.
    void PowerOn();

    // Takes the host's block and returns the card's.
    std::vector<std::uint8_t> OnBlock(std::span<const std::uint8_t> in, const ApduHandler& handler);

    std::size_t Ifsc() const { return ifsc_; }
    std::size_t Ifsd() const { return ifsd_; }
    t1::Edc EdcKind() const { return edc_; }
    // N(S) of the next I-block the card sends, and the one it expects from the host.
    std::uint8_t SendSequence() const { return sendNs_; }
    std::uint8_t ReceiveSequence() const { return recvNs_; }
    bool AwaitingWtxResponse() const { return awaitingWtx_; }
    // Since power-on.
    int WtxRequestsSent() const { return wtxSent_; }
    int ErrorBlocksSent() const { return errorsSent_; }
    int Resynchs() const { return resynchs_; }

  private:
    struct SentI {
        std::uint8_t ns = 0;
        bool more = false;
        std::vector<std::uint8_t> bytes;
    };

    void Resynchronise();
    std::vector<std::uint8_t> OnI(const t1::Block& b, const ApduHandler& handler);
    std::vector<std::uint8_t> OnR(const t1::Block& b);
    std::vector<std::uint8_t> OnS(const t1::Block& b);
    std::vector<std::uint8_t> ContinueAnswer();
    std::vector<std::uint8_t> SendNextChunk();
    std::vector<std::uint8_t> SendR(std::uint8_t error);
    std::vector<std::uint8_t> SendS(t1::SType type, bool response, std::vector<std::uint8_t> inf);
    std::vector<std::uint8_t> Send(t1::Block block);
    bool Chaining() const { return lastI_ && lastI_->more; }

    const std::size_t ifsc_;
    const t1::Edc edc_;

    std::size_t ifsd_ = t1::kDefaultIfs;
    std::uint8_t sendNs_ = 0;
    std::uint8_t recvNs_ = 0;
    std::uint8_t nad_ = 0;  // NAD of the card's blocks: the host's with source and target swapped
    std::vector<std::uint8_t> received_;  // command APDU gathered from chained I-blocks
    std::vector<std::uint8_t> toSend_;    // answer bytes not yet sent
    std::vector<std::uint8_t> held_;      // answer held back until the WTX requests are done
    int wtxLeft_ = 0;
    std::uint8_t wtxMultiplier_ = 1;
    bool awaitingWtx_ = false;
    std::optional<SentI> lastI_;
    std::optional<std::vector<std::uint8_t>> lastBlock_;
    bool lastBlockIsI_ = false;

    int wtxSent_ = 0;
    int errorsSent_ = 0;
    int resynchs_ = 0;
};

}  // namespace quor::sim
