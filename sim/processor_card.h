// Emulated processor cards: the ISO/IEC 7816-4 application of iso_app.h behind T=0, T=1 or
// both, with PPS negotiation.
//
// Reader protocol modes (the `protocol` of Exchange):
// - T=0 (0): the exchange carries one TPDU, CLA INS P1 P2 P3 [data]; the reader deals with the
//   procedure bytes, so the card's answer is [data] SW1 SW2. Five bytes are case 1 (P3 00) or,
//   for READ BINARY, GET CHALLENGE and GET RESPONSE, case 2 with Le = P3 (00: 256), where the
//   card must send exactly Le bytes and answers 6Cxx otherwise. Five bytes plus P3 data bytes
//   are case 3; answer data of such a command (case 4) are announced with 61xx and fetched with
//   GET RESPONSE. Any other length: 6700.
// - T=1 (1): the exchange carries one block and the answer is one block (t1_card_protocol.h).
// - PPS (2): the exchange carries a PPS request, accepted once per session and only before the
//   first T=0 or T=1 exchange. A request with a bad PCK, bad layout or a protocol the ATR does
//   not offer gets no answer. PPS1 is echoed when it asks for the default rates (11) or for
//   TA1's; otherwise the answer leaves PPS1 out (default rates). PPS2 and PPS3 are never echoed.
// A protocol the card does not offer gets no answer. The dual card also answers in the one it
// offers but did not negotiate unless it is strict (then only the PPS's protocol, or T=0
// without a PPS).
//
// Power-on starts a new session: MF selected, no PIN verified, nothing pending, T=1 sequence
// numbers 0 and IFSD 32, no PPS. Files, PINs and retry counters stay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "sim/emulated_card.h"
#include "sim/iso_app.h"
#include "sim/t1_block.h"
#include "sim/t1_card_protocol.h"

namespace quor::sim {

// T=1 parameters announced in the ATR as TA3 (IFSC), TB3 (BWI, CWI) and TC3 (EDC; TC3 is left
// out for LRC).
struct T1Settings {
    std::size_t ifsc = 254;
    std::uint8_t bwi = 4;
    std::uint8_t cwi = 5;
    t1::Edc edc = t1::Edc::kLrc;
};

class ProcessorCard : public EmulatedCard {
  public:
    // Application set-up and read-back (see IsoApplication).
    void AddDf(std::uint16_t fid, std::uint16_t parent = IsoApplication::kMf,
               std::vector<std::uint8_t> name = {});
    void AddEf(std::uint16_t fid, std::vector<std::uint8_t> content,
               std::uint16_t parent = IsoApplication::kMf, IsoApplication::EfOptions options = {});
    void SetFileContent(std::uint16_t fid, std::vector<std::uint8_t> content);
    void SetPin(std::uint8_t ref, std::vector<std::uint8_t> value, int maxTries = 3,
                std::uint16_t df = IsoApplication::kMf);
    void SetTriesLeft(std::uint8_t ref, int tries);
    void SeedChallenge(std::uint64_t seed);
    std::vector<std::uint8_t> FileContent(std::uint16_t fid) const;
    std::vector<std::uint8_t> PinValue(std::uint8_t ref) const;
    int TriesLeft(std::uint8_t ref) const;
    bool PinVerified(std::uint8_t ref) const;
    std::uint16_t CurrentDf() const;
    std::optional<std::uint16_t> CurrentEf() const;
    std::vector<std::uint8_t> LastChallenge() const;
    // A copy of the whole application, and a way to change it under the card's lock.
    IsoApplication Application() const;
    void EditApplication(const std::function<void(IsoApplication&)>& edit);

    // Waiting time over T=1. A command with this INS makes the card send `wtxRequests`
    // S(WTX request)s with `multiplier` before its answer (kAlways: without end).
    void SetSlowCommand(std::uint8_t ins, int wtxRequests = 1, std::uint8_t multiplier = 2);
    void ClearSlowCommands();
    // Fault: the next command over T=1, whatever it is, is preceded by `requests` S(WTX
    // request)s (kAlways: the card keeps asking until S(ABORT), S(RESYNCH) or power-off).
    void WtxStorm(int requests, std::uint8_t multiplier = 1);

    // T=1 state.
    std::size_t Ifsc() const { return ifsc_; }
    std::size_t Ifsd() const;
    std::uint8_t T1SendSequence() const;
    std::uint8_t T1ReceiveSequence() const;
    int WtxRequestsSent() const;
    int T1ErrorBlocksSent() const;

    // Protocols announced in the ATR, first the one in force without PPS.
    const std::vector<std::uint8_t>& OfferedProtocols() const { return offered_; }
    // The protocol a PPS agreed on in this session.
    std::optional<std::uint8_t> NegotiatedProtocol() const;

  protected:
    struct Setup {
        std::vector<std::uint8_t> atr;
        std::vector<std::uint8_t> offered;
        std::optional<std::uint8_t> ta1;
        T1Settings t1;
        bool strict = false;
        IsoApplication app;
    };
    explicit ProcessorCard(Setup setup);

    std::optional<std::vector<std::uint8_t>> HandleExchange(
        std::uint8_t protocol, std::span<const std::uint8_t> in) override;
    void OnPowerOn() override;

  private:
    struct Wtx {
        int requests = 0;
        std::uint8_t multiplier = 1;
    };

    bool Speaks(std::uint8_t protocol) const;
    std::optional<std::vector<std::uint8_t>> HandlePps(std::span<const std::uint8_t> in);
    std::vector<std::uint8_t> HandleT0(std::span<const std::uint8_t> in);
    T1Answer HandleT1Apdu(std::span<const std::uint8_t> apdu);

    const std::vector<std::uint8_t> offered_;
    const std::optional<std::uint8_t> ta1_;
    const bool strict_;
    const std::size_t ifsc_;
    IsoApplication app_;
    T1CardProtocol t1_;
    std::map<std::uint8_t, Wtx> slow_;
    std::optional<Wtx> storm_;
    std::optional<std::uint8_t> negotiated_;
    bool ppsDone_ = false;
    bool protocolUsed_ = false;
};

struct T0CardOptions {
    std::vector<std::uint8_t> historical{'E', 'M', 'U', '-', 'T', '0'};
    std::optional<std::uint8_t> ta1;
};

// A T=0 card: no TD1 (T=0 implied). Default ATR 3B 06 45 4D 55 2D 54 30.
class T0Card : public ProcessorCard {
  public:
    using Options = T0CardOptions;
    T0Card();
    explicit T0Card(Options options, IsoApplication app = IsoApplication::Sample());
    static std::vector<std::uint8_t> AtrFor(const Options& options);
};

struct T1CardOptions {
    std::vector<std::uint8_t> historical{'E', 'M', 'U', '-', 'T', '1'};
    std::optional<std::uint8_t> ta1;
    T1Settings t1;
};

// A T=1 card: TD1 81 and TD2 31 (71 with CRC) both announce T=1, then TA3 TB3 [TC3], the
// historical bytes and TCK. Default ATR 3B 86 81 31 FE 45 45 4D 55 2D 54 31 <TCK>.
class T1Card : public ProcessorCard {
  public:
    using Options = T1CardOptions;
    T1Card();
    explicit T1Card(Options options, IsoApplication app = IsoApplication::Sample());
    static std::vector<std::uint8_t> AtrFor(const Options& options);
};

struct DualCardOptions {
    std::vector<std::uint8_t> historical{'E', 'M', 'U', '-', 'D', 'L'};
    std::optional<std::uint8_t> ta1;
    T1Settings t1;
    // Answer only in the protocol in force: the PPS's, or T=0 without a PPS.
    bool strict = false;
};

// A card offering T=0 (TD1 80) and T=1 (TD2 31, or 71 with CRC), negotiable with a PPS.
// Default ATR 3B 86 80 31 FE 45 45 4D 55 2D 44 4C <TCK>.
class DualCard : public ProcessorCard {
  public:
    using Options = DualCardOptions;
    DualCard();
    explicit DualCard(Options options, IsoApplication app = IsoApplication::Sample());
    static std::vector<std::uint8_t> AtrFor(const Options& options);
};

}  // namespace quor::sim
