// The card side of the emulated reader: what sits in the card slot.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quor::sim {

// A card in the reader's slot. The reader calls these members with its own lock held, so an
// implementation must not call back into the reader; it needs no locking of its own for calls
// that come only from one reader.
class Card {
  public:
    virtual ~Card() = default;

    // Answer to reset. A real card's starts with TS 0x3B (direct) or 0x3F (inverse convention);
    // an empty answer stands for a card that stays mute after reset.
    virtual std::vector<std::uint8_t> Atr() const = 0;

    // Cold reset: the card's session state starts over.
    virtual void PowerOn() {}
    virtual void PowerOff() {}

    // One exchange with the powered card in reader protocol mode `protocol` (kProtocolT0,
    // kProtocolT1 or kProtocolPps). Returns the card's answer, or nullopt when it does not answer.
    virtual std::optional<std::vector<std::uint8_t>> Exchange(std::uint8_t protocol,
                                                              std::span<const std::uint8_t> in);
};

// A card that answers reset and nothing else. It counts its power cycles so that tests can see
// what the reader did to it.
class AtrCard : public Card {
  public:
    explicit AtrCard(std::vector<std::uint8_t> atr = {0x3B, 0x02, 0x14, 0x50});

    std::vector<std::uint8_t> Atr() const override { return atr_; }
    void PowerOn() override;
    void PowerOff() override;

    int PowerOnCount() const { return powerOns_.load(); }
    int PowerOffCount() const { return powerOffs_.load(); }
    bool Powered() const { return powered_.load(); }

  private:
    const std::vector<std::uint8_t> atr_;
    std::atomic<int> powerOns_{0};
    std::atomic<int> powerOffs_{0};
    std::atomic<bool> powered_{false};
};

}  // namespace quor::sim
