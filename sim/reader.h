// An emulated QUOR reader on the far end of a serial line.
//
// The host side of the line hands the reader the bytes the host writes, with the time they
// arrive, and collects the reader's reply bytes as they reach the host. The reader assembles
// command frames, carries them out against the card in its slot and schedules its reply frames
// on the line. Tests drive the other side: insert and remove cards, press keys, silence the
// reader or spoil its replies, and read back what went over the line (once they have switched
// recording on: the logs stay empty until then, and keep only their newest entries after).
//
// Keypad. A key is either pressed at once (PressKey) or scripted (ScriptKeys): a script is a
// queue of steps, each a key (digit 0..9, kKeyCancel, kKeyConfirm, or kKeySilence, which
// presses nothing and only lets time pass) and a delay. A step's key is pressed its delay
// after the previous step's moment; the first step counts from the script's anchor, which is
// either a time the test gives (the moment it queued the script) or, by default, the moment
// the reader is next asked for input: the next display frame (the host shows a prompt, as key
// input and PIN commands do; not the version a host shows right after a get-info frame) or
// the next PIN frame. Status polls before that leave the script
// alone, so a driver's card polling cannot eat it. Steps queued while others wait follow on
// from the last of them. Pressed keys wait in order until the reader takes them: each
// get-status reply reports the oldest in the low nibble of its status byte and takes it;
// while none waits the nibble is the idle value of the configuration. The reader never reads
// a clock: a key counts as pressed once a frame arrives at or after its moment, or, while a
// PIN entry waits for keys, at the next line-side call after it was pressed.
//
// PIN entry (frames 15 and 20, layout and PIN-pad parameters in pin_pad.h). With a powered
// card, the reader takes keys from the keypad from the frame's arrival on: digits fill the
// PIN, kKeyConfirm ends it, kKeyCancel gives up. A modification takes two PINs, the old one
// and the new one, each ended by its confirm key. Then the reader writes the PIN(s) into the
// command, passes it to the card in the protocol mode in force and answers with the card's
// answer, as an exchange frame would. Its own two-byte answers: 64 00 when the entry is not
// complete within ReaderConfig::pinEntryTimeout (30 s) of the frame's arrival, 64 01 for the
// cancel key. Keys already pressed and scripted keys whose moment falls within the time-out
// are taken at once; when they do not end the entry, the reader waits for keys pressed
// during it (PinEntryWaiting), up to the time-out. The reply leaves when the entry ends (at
// the confirm or cancel key, or at the time-out), so a host waits that long for it; frames
// that arrive meanwhile are carried out after it. Keys scripted for later than the time-out
// stay queued. A frame the reader cannot carry out (parameters missing, bad PIN format or
// field, no T=0 or T=1 mode) is answered with status 0x80; without a powered card with
// kStatusFailed | kStatusCardError | kCardErrorNoCard, without taking keys. A card pulled
// during the entry is answered the same way when the entry ends.
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
#include "sim/pin_pad.h"
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
    bool dtr = false;          // kControlLines only
    bool rts = false;          // kControlLines only
    std::uint64_t number = 0;  // place among all the reader's wire events, from 0
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
    std::uint64_t number = 0;         // place among all frames the reader took in, from 0
};

// Keypad codes beyond the digits 0..9.
inline constexpr std::uint8_t kKeyCancel = 10;
inline constexpr std::uint8_t kKeyConfirm = 11;
// A script step that presses no key.
inline constexpr std::uint8_t kKeySilence = 0xFF;

// The reader's own answers to a PIN frame (SW1 SW2).
inline constexpr std::uint8_t kPinEntrySw1 = 0x64;
inline constexpr std::uint8_t kPinEntryTimedOut = 0x00;
inline constexpr std::uint8_t kPinEntryCancelled = 0x01;

struct KeyStep {
    SimTime delay = 0;  // after the previous step's moment (the first: after the anchor)
    std::uint8_t key = kKeySilence;
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
    // `backToBack`: the host wrote them straight after its previous bytes with nothing else on
    // the line in between, so however long ago that was, the gap does not give up a partial
    // frame (an in-process line has no transmitter: the gap is the host thread's scheduling,
    // not a silent line).
    void HostWrite(std::span<const std::uint8_t> bytes, SimTime now, bool backToBack = false);
    // Reply bytes that have reached the host by `now` and have not been read.
    std::size_t HostAvailable(SimTime now);
    // Takes up to `max` of the bytes that have reached the host by `now`.
    std::vector<std::uint8_t> HostRead(std::size_t max, SimTime now);
    // The same into the caller's buffer (up to out.size() bytes); returns the count.
    std::size_t HostRead(std::span<std::uint8_t> out, SimTime now);
    // When the next reply byte that is still under way reaches the host, or a PIN entry that
    // waits for keys times out; nullopt when neither is coming. Bytes that have already
    // arrived are reported by HostAvailable, not here.
    std::optional<SimTime> NextOutputTime(SimTime now);
    // When `count` reply bytes (counting those already there) will have reached the host: the
    // arrival of the count-th byte queued, or of the last one when fewer are queued, or, with
    // `gap` > 0, of the last byte before a silence longer than `gap` between two bytes still
    // under way if that comes first; with nothing under way, when a PIN entry that waits for
    // keys times out; nullopt when neither is coming.
    std::optional<SimTime> ReadableTime(std::size_t count, SimTime gap, SimTime now);
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
    // Queues a key pressed on the keypad (0..9 digits, kKeyCancel, kKeyConfirm). Each get-status
    // reply reports and takes the oldest waiting key in its low nibble.
    void PressKey(std::uint8_t key);
    // Queues scripted keys (see the keypad notes above). `anchor` is the moment the first step
    // counts from; nullopt anchors the steps when the reader next looks at its keypad. Throws
    // std::invalid_argument for an anchor while earlier steps still wait (they set the pace).
    void ScriptKeys(std::vector<KeyStep> steps, std::optional<SimTime> anchor = std::nullopt);
    // Keys pressed and not yet taken.
    std::size_t PendingKeys() const;
    // Script steps not yet reached.
    std::size_t ScriptedKeys() const;
    // A PIN entry waits for keys pressed during it.
    bool PinEntryWaiting() const;
    // Forgets pressed keys and the script.
    void ClearKeys();
    // A silent reader takes frames in but neither carries them out nor answers.
    void SetSilent(bool silent);
    // Arms a fault for the next frames with the given code (bits 0..6); faults armed for the same
    // code apply one after the other, each for its count. Only frames with a good checksum
    // count. A fault with a count of 0 is ignored.
    void InjectFault(std::uint8_t frameCode, Fault fault);
    void ClearFaults();

    // Recording of the wire, frame and display logs, off until switched on. While on, each
    // log keeps its newest `capacity` entries (at least one), so a reader that runs for days
    // stays within bounds. Switching it off empties the logs.
    static constexpr std::size_t kDefaultLogCapacity = 65536;
    void SetRecording(bool on, std::size_t capacity = kDefaultLogCapacity);

    // The logs, oldest first (empty while recording is off).
    std::vector<WireEntry> WireLog() const;
    std::vector<FrameRecord> Frames() const;
    std::vector<DisplayRecord> DisplayLog() const;
    // Frames taken in and display texts received since the reader was made, recorded or not.
    std::uint64_t FrameCount() const;
    std::uint64_t DisplayCount() const;
    // The text the display shows now (the last one sent), recorded or not.
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
        SimTime busy = 0;      // the reader works this long before the reply leaves (PIN entry)
        bool waiting = false;  // a PIN entry waits for keys: the reply comes when it ends
    };
    struct TakenKey {
        SimTime at = 0;
        std::uint8_t key = 0;
    };
    enum class EntryEnd { kConfirmed, kCancelled, kTimedOut };
    // A PIN entry under way.
    struct PinEntry {
        bool modify = false;
        PinFormat format;
        std::uint8_t offsets[2] = {0, 0};  // of the (old) PIN and of the new PIN
        std::vector<std::uint8_t> command;
        std::uint8_t protocol = 0;
        SimTime deadline = 0;
        SimTime clock = 0;  // moment of the last key taken, or the frame's arrival
        std::vector<std::uint8_t> digits[2];
        int stage = 0;  // 0: the (old) PIN, 1: the new PIN
        // Set once it waits for keys pressed during it:
        FrameRecord record;  // its frame, logged once the reply leaves
        std::optional<Fault> fault;
    };
    struct HeldFrame {
        HostFrame frame;
        SimTime time = 0;
    };
    struct OutByte {
        SimTime time;
        std::uint8_t value;
    };

    void HandleFrame(const HostFrame& frame, SimTime now);
    // Puts a reply on the line for the frame `rec` and records it; `now` is when the reader
    // is done with the frame (the reply leaves its busy time after that).
    void Emit(FrameRecord rec, const Reply& reply, const std::optional<Fault>& fault, SimTime now);
    Reply Execute(std::uint8_t code, std::span<const std::uint8_t> data, SimTime now);
    std::optional<Fault> TakeFault(std::uint8_t code);
    Reply PinFrame(std::uint8_t code, std::span<const std::uint8_t> data, SimTime now);
    // Takes keys for the entry (pressed ones at `from` or later): the end, once it came.
    std::optional<EntryEnd> FeedPin(PinEntry& entry, SimTime from);
    // The reply to an entry that ended.
    Reply FinishPin(PinEntry& entry, EntryEnd end);
    // Ends a waiting PIN entry once keys or the time-out end it by `now`, and carries out the
    // frames held meanwhile.
    void AdvancePin(SimTime now);
    // Moves scripted keys whose moment has come by `now` to the pressed keys.
    void ReleaseScriptedKeys(SimTime now);
    // The next key for an entry running from `from`: a pressed key (at `from`), else the next
    // scripted one with its moment, if that is not later than `deadline`.
    std::optional<TakenKey> NextKey(SimTime from, SimTime deadline);
    Reply CardExchange(std::span<const std::uint8_t> command);
    std::uint8_t CardBits() const;
    void PowerOffCard();
    void Notify();
    // Appends to a log, dropping its oldest entry beyond the capacity.
    template <typename T>
    void Keep(std::deque<T>& log, T entry);
    // Numbers a wire event and keeps it while recording.
    void LogWire(SimTime time, WireEntry::Kind kind, std::span<const std::uint8_t> bytes,
                 bool dtr = false, bool rts = false);
    void LogFrame(FrameRecord rec);

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
    std::deque<KeyStep> script_;
    std::optional<SimTime> scriptClock_;  // moment of the last step reached, or the anchor
    std::vector<std::uint8_t> display_;
    std::map<std::uint8_t, std::deque<Fault>> faults_;
    std::uint8_t lastCode_ = 0;      // of the last frame carried out
    std::optional<PinEntry> entry_;  // a PIN entry that waits for keys
    std::deque<HeldFrame> held_;     // frames that came during it

    bool recording_ = false;
    std::size_t logCapacity_ = kDefaultLogCapacity;
    std::deque<WireEntry> wire_;
    std::deque<FrameRecord> frames_;
    std::deque<DisplayRecord> displayLog_;
    std::uint64_t wireCount_ = 0;  // wire events so far, recorded or not
    std::uint64_t frameCount_ = 0;
    std::uint64_t displayCount_ = 0;
};

}  // namespace quor::sim
