// The common ground of the emulated cards: power bookkeeping, a log of the exchanges (kept
// only once a test switches it on, and then only the newest), and faults that a test arms on the
// card itself (as opposed to the reader's line faults).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "sim/card.h"

namespace quor::sim {

// An ATR from its interface bytes and historical bytes. `groups[0]` holds TA1, TB1, TC1;
// `groups[i]` (i >= 1) the bytes TAi+1, TBi+1, TCi+1 that follow TDi, which announces protocol
// `protocols[i - 1]`. T0, the TDi and, when a protocol other than T=0 is announced, TCK are
// worked out. Throws std::invalid_argument when `protocols` does not have one entry fewer than
// `groups`, or for more than 15 historical bytes.
struct AtrGroup {
    std::optional<std::uint8_t> ta, tb, tc;
};
std::vector<std::uint8_t> ComposeAtr(const std::vector<AtrGroup>& groups,
                                     const std::vector<std::uint8_t>& protocols,
                                     const std::vector<std::uint8_t>& historical);

// Counts for the card faults: n > 0 for the next n occasions, kAlways for every one until
// ClearFaults, 0 to disarm.
inline constexpr int kAlways = -1;

class EmulatedCard : public Card {
  public:
    struct ExchangeRecord {
        std::uint8_t protocol = 0;
        std::vector<std::uint8_t> in;
        std::optional<std::vector<std::uint8_t>> out;  // what the reader got; nullopt: silence
    };

    std::vector<std::uint8_t> Atr() const final { return atr_; }
    void PowerOn() final;
    void PowerOff() final;
    std::optional<std::vector<std::uint8_t>> Exchange(std::uint8_t protocol,
                                                      std::span<const std::uint8_t> in) final;

    bool Powered() const;
    int PowerOnCount() const;
    int PowerOffCount() const;
    // The log of exchanges, off until switched on; while on it keeps the newest `capacity`
    // (at least one). Switching it off empties it.
    static constexpr std::size_t kDefaultLogCapacity = 65536;
    void SetRecording(bool on, std::size_t capacity = kDefaultLogCapacity);
    std::vector<ExchangeRecord> Exchanges() const;
    void ClearExchanges();

    // Faults. Each kind keeps its own count; setting one replaces its earlier count.
    // The card never gets the next exchanges' bytes (a block lost on the way in): no answer,
    // nothing changes on the card.
    void DropCommands(int count = 1);
    // The card carries out the next exchanges but its answers are lost on the way out.
    void DropAnswers(int count = 1);
    // The next T=1 blocks the card sends have their last EDC byte inverted. The card keeps the
    // good block for a retransmission. Only answers to protocol-1 exchanges count.
    void CorruptEdc(int count = 1);
    // The card carries out the next exchanges but answers noise: 1 to 12 bytes from a fixed
    // generator, whose XOR is never 0 (so they never pass as a block with a good LRC).
    void AnswerGarbage(int count = 1);
    // As AnswerGarbage, with the given bytes.
    void AnswerWith(std::vector<std::uint8_t> bytes, int count = 1);
    void ClearFaults();

  protected:
    explicit EmulatedCard(std::vector<std::uint8_t> atr);

    // One exchange with the powered card, mu_ held. nullopt: the card stays silent.
    virtual std::optional<std::vector<std::uint8_t>> HandleExchange(
        std::uint8_t protocol, std::span<const std::uint8_t> in) = 0;
    // Cold reset of the session state, mu_ held.
    virtual void OnPowerOn() {}

    // Guards everything the reader and a test may touch from different threads. Derived
    // classes lock it in their own public members.
    mutable std::mutex mu_;

  private:
    static bool Take(int& count);
    std::vector<std::uint8_t> Garbage();

    const std::vector<std::uint8_t> atr_;
    bool powered_ = false;
    int powerOns_ = 0;
    int powerOffs_ = 0;
    bool recording_ = false;
    std::size_t logCapacity_ = kDefaultLogCapacity;
    std::deque<ExchangeRecord> log_;

    int dropCommands_ = 0;
    int dropAnswers_ = 0;
    int corruptEdc_ = 0;
    int garbage_ = 0;
    std::optional<std::vector<std::uint8_t>> garbageBytes_;  // nullopt: generated
    std::uint32_t noise_ = 0x2545F491u;
};

}  // namespace quor::sim
