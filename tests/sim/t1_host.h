// A small host side of T=1 for the card tests. It shares no code with the card's block layer,
// so that the two check each other: it builds and checks blocks itself, chains at IFSC,
// acknowledges chained answers, answers S(WTX request) and recovers from lost or spoiled
// blocks with R-blocks, as ISO/IEC 7816-3 has the interface device do.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace quor::sim::testing {

class T1Host {
  public:
    using Bytes = std::vector<std::uint8_t>;
    // Sends one block to the card and returns its answer, nullopt for none.
    using Link = std::function<std::optional<Bytes>(const Bytes&)>;

    struct Parsed {
        std::uint8_t nad = 0, pcb = 0;
        Bytes inf;
    };

    explicit T1Host(Link link, bool crc = false, std::size_t ifsc = 254)
        : link_(std::move(link)), crc_(crc), ifsc_(ifsc) {}

    Bytes Block(std::uint8_t pcb, const Bytes& inf = {}, std::uint8_t nad = 0) const {
        Bytes b{nad, pcb, static_cast<std::uint8_t>(inf.size())};
        b.insert(b.end(), inf.begin(), inf.end());
        if (crc_) {
            std::uint16_t crc = 0xFFFF;
            for (std::uint8_t x : b) {
                crc ^= x;
                for (int i = 0; i < 8; ++i) {
                    crc = static_cast<std::uint16_t>((crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1);
                }
            }
            b.push_back(static_cast<std::uint8_t>(crc >> 8));
            b.push_back(static_cast<std::uint8_t>(crc));
        } else {
            std::uint8_t lrc = 0;
            for (std::uint8_t x : b) lrc ^= x;
            b.push_back(lrc);
        }
        return b;
    }

    // nullopt when the block is too short, its LEN is off or its EDC is wrong.
    std::optional<Parsed> Parse(const Bytes& b) const {
        const std::size_t edc = crc_ ? 2 : 1;
        if (b.size() < 3 + edc || b[2] == 0xFF || b.size() != 3 + b[2] + edc) return std::nullopt;
        if (Block(b[1], Bytes(b.begin() + 3, b.end() - static_cast<std::ptrdiff_t>(edc)), b[0]) !=
            b) {
            return std::nullopt;
        }
        return Parsed{b[0], b[1], Bytes(b.begin() + 3, b.end() - static_cast<std::ptrdiff_t>(edc))};
    }

    static std::uint8_t I(int ns, bool more) {
        return static_cast<std::uint8_t>((ns ? 0x40 : 0) | (more ? 0x20 : 0));
    }
    static std::uint8_t R(int nr, int error = 0) {
        return static_cast<std::uint8_t>(0x80 | (nr ? 0x10 : 0) | error);
    }
    // S-block PCBs.
    static constexpr std::uint8_t kResynchReq = 0xC0, kResynchResp = 0xE0;
    static constexpr std::uint8_t kIfsReq = 0xC1, kIfsResp = 0xE1;
    static constexpr std::uint8_t kAbortReq = 0xC2, kAbortResp = 0xE2;
    static constexpr std::uint8_t kWtxReq = 0xC3, kWtxResp = 0xE3;

    // One command APDU, whole; the response APDU, or nullopt when the exchange broke down.
    std::optional<Bytes> Transmit(const Bytes& apdu) {
        std::size_t pos = 0;
        Bytes lastI;
        int lastNs = 0;
        auto nextI = [&] {
            const std::size_t n = std::min(ifsc_, apdu.size() - pos);
            const bool more = pos + n < apdu.size();
            lastNs = ns_;
            lastI = Block(I(ns_, more), Bytes(apdu.begin() + static_cast<std::ptrdiff_t>(pos),
                                              apdu.begin() + static_cast<std::ptrdiff_t>(pos + n)));
            ns_ ^= 1;
            pos += n;
            return lastI;
        };
        Bytes toSend = nextI();
        Bytes response;
        int errors = 0;
        for (int step = 0; step < maxSteps; ++step) {
            const std::optional<Bytes> answer = Send(toSend);
            const std::optional<Parsed> p = answer ? Parse(*answer) : std::nullopt;
            if (!p) {
                if (++errors > 3) return std::nullopt;
                toSend = Block(R(nr_, answer ? 1 : 0));
                continue;
            }
            if ((p->pcb & 0x80) == 0) {  // I-block
                const int ns = (p->pcb & 0x40) ? 1 : 0;
                if (pos < apdu.size() || ns != nr_) {
                    if (++errors > 3) return std::nullopt;
                    toSend = Block(R(nr_, 2));
                    continue;
                }
                errors = 0;
                nr_ ^= 1;
                response.insert(response.end(), p->inf.begin(), p->inf.end());
                if ((p->pcb & 0x20) == 0) return response;
                toSend = Block(R(nr_));
                continue;
            }
            if ((p->pcb & 0xC0) == 0x80) {  // R-block
                const int nr = (p->pcb & 0x10) ? 1 : 0;
                if (pos < apdu.size() && nr == ns_) {
                    errors = 0;
                    toSend = nextI();
                } else if (nr == lastNs) {
                    if (++errors > 3) return std::nullopt;
                    toSend = lastI;
                } else {
                    return std::nullopt;
                }
                continue;
            }
            if (p->pcb == kWtxReq && p->inf.size() == 1) {
                ++wtxAnswered;
                toSend = Block(kWtxResp, p->inf);
                continue;
            }
            return std::nullopt;
        }
        return std::nullopt;
    }

    // S(IFS request); true when the card answered S(IFS response) with the same size.
    bool SetIfsd(std::uint8_t ifsd) {
        std::optional<Bytes> a = Send(Block(kIfsReq, {ifsd}));
        std::optional<Parsed> p = a ? Parse(*a) : std::nullopt;
        return p && p->pcb == kIfsResp && p->inf == Bytes{ifsd};
    }

    bool Resynch() {
        std::optional<Bytes> a = Send(Block(kResynchReq));
        std::optional<Parsed> p = a ? Parse(*a) : std::nullopt;
        if (!p || p->pcb != kResynchResp || !p->inf.empty()) return false;
        ns_ = nr_ = 0;
        return true;
    }

    std::optional<Bytes> Send(const Bytes& block) {
        sent.push_back(block);
        std::optional<Bytes> a = link_(block);
        received.push_back(a);
        return a;
    }

    // PCBs of the blocks sent and received so far (0xFF for a missing or broken block).
    std::vector<std::uint8_t> SentPcbs() const { return Pcbs(sent); }
    std::vector<std::uint8_t> ReceivedPcbs() const {
        std::vector<std::uint8_t> pcbs;
        for (const std::optional<Bytes>& r : received) {
            const std::optional<Parsed> p = r ? Parse(*r) : std::nullopt;
            pcbs.push_back(p ? p->pcb : 0xFF);
        }
        return pcbs;
    }
    void ClearTranscript() {
        sent.clear();
        received.clear();
    }

    std::vector<Bytes> sent;
    std::vector<std::optional<Bytes>> received;
    int wtxAnswered = 0;
    int maxSteps = 200;

  private:
    static std::vector<std::uint8_t> Pcbs(const std::vector<Bytes>& blocks) {
        std::vector<std::uint8_t> pcbs;
        for (const Bytes& b : blocks) pcbs.push_back(b.size() > 1 ? b[1] : 0xFF);
        return pcbs;
    }

    Link link_;
    bool crc_;
    std::size_t ifsc_;
    int ns_ = 0;  // N(S) of the host's next I-block
    int nr_ = 0;  // N(S) expected in the card's next I-block
};

}  // namespace quor::sim::testing
