// The card terminal behind one CT-API card terminal number: CT-BCS terminal commands and card
// APDUs mapped onto the requests a quor::client::Reader sends to the driver.
//
// The reader's own terminal command set differs from CT-BCS where the card is concerned (its
// reset and request commands only report the card state, and it has no eject command), so
// RESET CT, REQUEST ICC and EJECT ICC are carried out here with the driver's power, state and
// card-tracking requests; every other class-0x20 command goes to the driver's terminal command
// interface unchanged. APDUs for the card go to the driver's transmit request in the protocol
// the card was started with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "client/reader.h"

namespace quor::ctapi {

// CT-API return codes.
inline constexpr std::int8_t kOk = 0;
inline constexpr std::int8_t kErrInvalid = -1;
inline constexpr std::int8_t kErrCt = -8;
inline constexpr std::int8_t kErrTrans = -10;
inline constexpr std::int8_t kErrMemory = -11;
inline constexpr std::int8_t kErrHtsi = -128;

// Destination addresses served.
inline constexpr std::uint8_t kIcc1 = 0;
inline constexpr std::uint8_t kCt = 1;

// What one command got: on kOk the answer, its status word last.
struct Answer {
    std::int8_t code = kOk;
    std::vector<std::uint8_t> bytes;
};

// The return code for a driver request that failed with `status`.
std::int8_t CodeOf(client::NtStatus status);

class CardTerminal {
  public:
    // `reader` is open and outlives the terminal.
    explicit CardTerminal(client::Reader& reader) : reader_(reader) {}

    // Serves one command for destination `dad` (kIcc1 or kCt). An answer longer than
    // `capacity` bytes gives kErrMemory. Calls are served one at a time.
    Answer Data(std::uint8_t dad, std::span<const std::uint8_t> command, std::size_t capacity);
    // Whether the reader answers a status request.
    bool ReaderAnswers();

  private:
    struct Command;
    Answer ToTerminal(const Command& c, std::size_t capacity);
    Answer ToCard(std::span<const std::uint8_t> apdu);
    Answer ResetCt(const Command& c);
    Answer RequestIcc(const Command& c);
    Answer EjectIcc(const Command& c);
    Answer PassOn(const Command& c, std::size_t capacity);
    // Powers the card up and lets the driver choose its protocol; the status of the first
    // request that failed.
    client::NtStatus StartCard();
    // The card as the driver reports it: its ATR and SW 90 00 (memory card) or 90 01 (processor
    // card) once started, else only the driver's status word for the card's state.
    Answer ReportCard();
    // The answer to a started card's reset or request, with the ATR, its historical bytes or
    // nothing in front of the status word, as P2 asks.
    Answer CardStarted(std::uint8_t p2);
    bool CardPowered();
    // Shows `text` on the display while the terminal waits for the user; empty: clears it.
    void Show(std::span<const std::uint8_t> text);

    client::Reader& reader_;
    std::mutex mu_;
};

}  // namespace quor::ctapi
