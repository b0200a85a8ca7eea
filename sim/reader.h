// An emulated QUOR reader on the far end of a serial line.
//
// The host side of the line hands the reader the bytes the host writes, with the time they
// arrive, and collects the reader's reply bytes as they reach the host. The reader assembles
// command frames, carries them out against the card in its slot and schedules its reply frames
// on the line. Tests drive the other side: insert and remove cards, press keys, silence the
// reader or spoil its replies, and read back what went over the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/card.h"
#include "sim/config.h"
#include "sim/fault.h"
#include "sim/frame.h"
#include "sim/sim_time.h"

namespace quor::sim {

struct WireEntry {
    enum class Kind {
        kHostToReader,  // bytes written by the host; `time` is when they arrived
        kReaderToHost,  // a reply put on the line; `time` is when its first byte reaches the host
        kControlLines,  // DTR and RTS set by the host
        kPurge,         // the host emptied its receive queue; `bytes` are the bytes it dropped
    };
    SimTime time = 0;
    Kind kind = Kind::kHostToReader;
    std::vector<std::uint8_t> bytes;
    bool dtr = false;  // kControlLines only
    bool rts = false;  // kControlLines only
};

struct FrameRecord {
    SimTime time = 0;  // arrival of the frame's last byte
    std::uint8_t code = 0;
    std::vector<std::uint8_t> data;
    bool checksumOk = true;
    bool swallowed = false;  // the reader was silent and ignored the frame
    std::optional<Fault::Kind> fault;
    std::vector<std::uint8_t> reply;  // bytes put on the line, after any fault; empty for none
    SimTime replyTime = 0;            // when the first reply byte reaches the host
};

struct DisplayRecord {
    SimTime time = 0;
    std::vector<std::uint8_t> text;
    std::string Text() const { return std::string(text.begin(), text.end()); }
};

class Reader {
  public:
    explicit Reader(ReaderConfig cfg = {});
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Line side. `now` must not go backwards between calls.

    // Bytes from the host that arrive at `now`, any number per call (one at a time is fine).
    void HostWrite(std::span<const std::uint8_t> bytes, SimTime now);
    // Reply bytes that have reached the host by `now` and have not been read.
    std::size_t HostAvailable(SimTime now);
    // Takes up to `max` of the bytes that have reached the host by `now`.
    std::vector<std::uint8_t> HostRead(std::size_t max, SimTime now);
    // When the next reply byte that is still under way reaches the host; nullopt when none is.
    // Bytes that have already arrived are reported by HostAvailable, not here.
    std::optional<SimTime> NextOutputTime(SimTime now) const;
    // The host emptied its receive queue: bytes that arrived by `now` are dropped; bytes still
    // under way keep coming, as on a real line.
    void HostPurge(SimTime now);
    void SetControlLines(bool dtr, bool rts, SimTime now);
    // Called, without the reader's lock held, whenever something outside the line changes what
    // the reader will do, so that a thread waiting on the line can look again.
    void SetChangeCallback(std::function<void()> cb);

    // User and test side.

    // Puts a card into the slot, replacing (and removing) any card there. nullptr removes.
    void InsertCard(std::shared_ptr<Card> card);
    // Pulls the card out. A powered card loses its power with it.
    void RemoveCard();
    bool CardPresent() const;
    bool CardPowered() const;
    // Queues a key pressed on the keypad (0..9 digits, 11 confirm). Each get-status reply reports
    // and takes the oldest waiting key in its low nibble.
    void PressKey(std::uint8_t key);
    std::size_t PendingKeys() const;
    // A silent reader takes frames in but neither carries them out nor answers.
    void SetSilent(bool silent);
    // Arms a fault for the next frames with the given code (bits 0..6); faults armed for the same
    // code apply one after the other, each for its count. Only frames with a good checksum
    // count. A fault with a count of 0 is ignored.
    void InjectFault(std::uint8_t frameCode, Fault fault);
    void ClearFaults();

    std::vector<WireEntry> WireLog() const;
    std::vector<FrameRecord> Frames() const;
    std::vector<DisplayRecord> DisplayLog() const;
    // The text the display shows now (the last one sent).
    std::vector<std::uint8_t> Display() const;
    std::uint8_t Protocol() const;
    std::uint16_t WaitTime() const;
    std::size_t DroppedPartialFrames() const;
    const ReaderConfig& Config() const { return cfg_; }
    void ClearLogs();

  private:
    struct Reply {
        std::vector<std::uint8_t> data;
        std::uint8_t status = 0;
    };
    struct OutByte {
        SimTime time;
        std::uint8_t value;
    };

    void HandleFrame(const HostFrame& frame, SimTime now);
    Reply Execute(std::uint8_t code, std::span<const std::uint8_t> data, SimTime now);
    std::optional<Fault> TakeFault(std::uint8_t code);
    std::uint8_t CardBits() const;
    void PowerOffCard();
    void Notify();

    const ReaderConfig cfg_;
    mutable std::mutex mu_;
    std::function<void()> onChange_;

    FrameAssembler assembler_;
    std::deque<OutByte> out_;
    SimTime lineFreeAt_ = 0;  // when the reader's transmitter has sent everything scheduled

    std::shared_ptr<Card> card_;
    bool powered_ = false;
    bool silent_ = false;
    std::uint8_t protocol_ = kProtocolT0;
    std::uint16_t waitTime_;
    std::deque<std::uint8_t> keys_;
    std::vector<std::uint8_t> display_;
    std::map<std::uint8_t, std::deque<Fault>> faults_;

    std::vector<WireEntry> wire_;
    std::vector<FrameRecord> frames_;
    std::vector<DisplayRecord> displayLog_;
};

}  // namespace quor::sim
