// The ISO/IEC 7816-4 application shared by the emulated processor cards: a small file system of
// dedicated files (DFs) and transparent elementary files (EFs), PINs with retry counters, and
// the interindustry commands that work on them.
//
// Commands (CLA 00 only; short APDUs only):
//   SELECT (A4)         P1 00 by file id (MF, current DF, child, parent or sibling DF),
//                       01 child DF, 02 EF of the current DF, 03 parent DF, 04 by DF name
//                       (exact or leading part, first occurrence), 08 path from the MF,
//                       09 path from the current DF; P2 00 answers the FCI (tag 6F), 04 the
//                       FCP (tag 62), 0C nothing.
//   READ BINARY (B0)    offset in P1-P2 (bit 8 of P1 clear, 15-bit offset) or an SFI in P1
//                       (bit 8 set, offset in P2); Le bytes; fewer left: the rest with 6282,
//                       except for Le 00 which means "up to 256".
//   UPDATE BINARY (D6)  same addressing; writes the data.
//   VERIFY (20)         P1 00, P2 the PIN reference; an empty body asks for the state.
//                       P1 FF with an empty body drops the verified state.
//   CHANGE REFERENCE DATA (24)  P1 00: old PIN then new PIN (the old one is as long as the
//                       stored PIN); P1 01: the new PIN alone, the PIN being verified.
//   GET CHALLENGE (84)  8 bytes from a seedable generator; Le 08 or 00.
//   GET RESPONSE (C0)   data left pending by a T=0 exchange (see SetPendingResponse).
//
// File ids are unique over the whole card. A PIN reference with bit 8 clear is global; with bit
// 8 set it belongs to a DF and counts only while that DF or one below it is the current DF
// (its verified state is dropped on leaving).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace quor::sim {

// Status words answered by the application.
namespace sw {
inline constexpr std::uint16_t kOk = 0x9000;
inline constexpr std::uint16_t kBytesLeft = 0x6100;  // | count; T=0 GET RESPONSE
inline constexpr std::uint16_t kEndReached = 0x6282;
inline constexpr std::uint16_t kTriesLeft = 0x63C0;  // | tries
inline constexpr std::uint16_t kWrongLength = 0x6700;
inline constexpr std::uint16_t kChannelNotSupported = 0x6881;
inline constexpr std::uint16_t kSecureMessagingNotSupported = 0x6882;
inline constexpr std::uint16_t kChainingNotSupported = 0x6884;
inline constexpr std::uint16_t kSecurityNotSatisfied = 0x6982;
inline constexpr std::uint16_t kPinBlocked = 0x6983;
inline constexpr std::uint16_t kConditionsNotSatisfied = 0x6985;
inline constexpr std::uint16_t kNoCurrentEf = 0x6986;
inline constexpr std::uint16_t kWrongData = 0x6A80;
inline constexpr std::uint16_t kFileNotFound = 0x6A82;
inline constexpr std::uint16_t kNoSpace = 0x6A84;
inline constexpr std::uint16_t kWrongP1P2 = 0x6A86;
inline constexpr std::uint16_t kReferenceNotFound = 0x6A88;
inline constexpr std::uint16_t kWrongOffset = 0x6B00;
inline constexpr std::uint16_t kWrongLe = 0x6C00;  // | exact length
inline constexpr std::uint16_t kInsNotSupported = 0x6D00;
inline constexpr std::uint16_t kClaNotSupported = 0x6E00;
}  // namespace sw

inline constexpr std::uint8_t kInsSelect = 0xA4;
inline constexpr std::uint8_t kInsReadBinary = 0xB0;
inline constexpr std::uint8_t kInsUpdateBinary = 0xD6;
inline constexpr std::uint8_t kInsVerify = 0x20;
inline constexpr std::uint8_t kInsChangeReferenceData = 0x24;
inline constexpr std::uint8_t kInsGetChallenge = 0x84;
inline constexpr std::uint8_t kInsGetResponse = 0xC0;

struct Apdu {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    std::vector<std::uint8_t> data;
    std::optional<std::size_t> ne;  // 1..256 (Le 00 is 256); nullopt without Le
    // T=0 case 2: Ne comes from P3 and the card must send exactly Ne bytes, so a different
    // count is refused with 6Cxx (the count available) instead of being sent.
    bool exactLe = false;
};

// A short command APDU (cases 1, 2S, 3S, 4S); nullopt for anything else, extended length
// included.
std::optional<Apdu> ParseApdu(std::span<const std::uint8_t> bytes);

struct ApduResponse {
    std::vector<std::uint8_t> data;
    std::uint16_t sw = sw::kOk;

    std::vector<std::uint8_t> Bytes() const;  // data, SW1, SW2
    friend bool operator==(const ApduResponse&, const ApduResponse&) = default;
};

// Who may read or update an EF.
struct FileAccess {
    enum class Kind { kAlways, kNever, kPin };
    Kind kind = Kind::kAlways;
    std::uint8_t pinRef = 0;

    static FileAccess Always() { return {Kind::kAlways, 0}; }
    static FileAccess Never() { return {Kind::kNever, 0}; }
    static FileAccess Pin(std::uint8_t ref) { return {Kind::kPin, ref}; }
};

struct EfOptions {
    FileAccess read = FileAccess::Always();
    FileAccess update = FileAccess::Pin(0x01);
    std::optional<std::uint8_t> sfi;  // short EF identifier, 1..30
};

class IsoApplication {
  public:
    static constexpr std::uint16_t kMf = 0x3F00;
    static constexpr std::size_t kMaxPinLength = 16;
    static constexpr std::size_t kChallengeSize = 8;
    static constexpr std::uint64_t kDefaultSeed = 0x51554F52u;

    using Access = FileAccess;
    using EfOptions = sim::EfOptions;

    // An application with the MF alone and no PIN.
    IsoApplication();

    // The layout the emulated processor cards start with:
    //   MF 3F00
    //     EF 2F00  "EMULATED ISO CARD", read always, update never
    //     DF 5000  name F0 45 4D 55 01
    //       EF 5001  32 bytes 00..1F, SFI 1, read always, update PIN 01
    //       EF 5002  300 bytes (offset & 0xFF), SFI 2, read always, update PIN 81
    //       EF 5003  16 bytes A5, read PIN 81, update never
    //   PIN 01 "1234" (31 32 33 34), 3 tries, global
    //   PIN 81 "87654321" (ASCII), 5 tries, belongs to DF 5000
    static IsoApplication Sample();

    // Set-up. Throw std::invalid_argument for a file id already used, 3F00 or FFFF, a parent
    // that is not a DF, an SFI out of range or already used in the DF, or a PIN of bad length.
    void AddDf(std::uint16_t fid, std::uint16_t parent = kMf, std::vector<std::uint8_t> name = {});
    void AddEf(std::uint16_t fid, std::vector<std::uint8_t> content, std::uint16_t parent = kMf,
               EfOptions options = {});
    // Replaces an EF's content (its size follows). Throws std::out_of_range for no such EF.
    void SetFileContent(std::uint16_t fid, std::vector<std::uint8_t> content);
    // Creates or replaces a PIN, with all tries left. Global references (bit 8 clear) ignore `df`.
    void SetPin(std::uint8_t ref, std::vector<std::uint8_t> value, int maxTries = 3,
                std::uint16_t df = kMf);
    // Throws std::out_of_range for no such PIN; the count is clamped to 0..max tries.
    void SetTriesLeft(std::uint8_t ref, int tries);
    void SeedChallenge(std::uint64_t seed) { rng_ = seed; }

    // Read-back. Throw std::out_of_range for no such file or PIN.
    std::vector<std::uint8_t> FileContent(std::uint16_t fid) const;
    bool HasFile(std::uint16_t fid) const { return files_.contains(fid); }
    std::vector<std::uint8_t> PinValue(std::uint8_t ref) const;
    int TriesLeft(std::uint8_t ref) const;
    int MaxTries(std::uint8_t ref) const;
    bool PinVerified(std::uint8_t ref) const;
    std::uint16_t CurrentDf() const { return currentDf_; }
    std::optional<std::uint16_t> CurrentEf() const { return currentEf_; }
    const std::vector<std::uint8_t>& LastChallenge() const { return lastChallenge_; }
    bool HasPendingResponse() const { return pending_.has_value(); }

    // Back to the state after reset: MF selected, no PIN verified, nothing pending. Files,
    // PINs and retry counters stay.
    void ResetSession();

    // Commands whose data go from the card to the host (T=0 case 2).
    static bool SendsData(std::uint8_t ins);

    ApduResponse Process(const Apdu& apdu);
    // Parses and processes a command APDU; one that cannot be parsed gets 6700.
    ApduResponse Process(std::span<const std::uint8_t> apdu);

    // Data for GET RESPONSE, with the status word that ends it; dropped by the next command
    // other than GET RESPONSE.
    void SetPendingResponse(std::vector<std::uint8_t> data, std::uint16_t finalSw);
    void ClearPendingResponse() { pending_.reset(); }

  private:
    struct File {
        std::uint16_t parent = 0;
        bool df = false;
        std::vector<std::uint8_t> name;     // DF only
        std::vector<std::uint8_t> content;  // EF only
        EfOptions options;                  // EF only
    };
    struct Pin {
        std::vector<std::uint8_t> value;
        int maxTries = 3;
        int triesLeft = 3;
        std::uint16_t df = kMf;
        bool verified = false;
    };
    struct Pending {
        std::vector<std::uint8_t> data;
        std::uint16_t sw = sw::kOk;
    };

    ApduResponse Select(const Apdu& apdu);
    ApduResponse ReadBinary(const Apdu& apdu);
    ApduResponse UpdateBinary(const Apdu& apdu);
    ApduResponse Verify(const Apdu& apdu);
    ApduResponse ChangeReferenceData(const Apdu& apdu);
    ApduResponse GetChallenge(const Apdu& apdu);
    ApduResponse GetResponse(const Apdu& apdu);

    std::optional<std::uint16_t> FindForSelect(std::uint16_t fid) const;
    std::optional<std::uint16_t> FindChild(std::uint16_t df, std::uint16_t fid, bool wantDf,
                                           bool wantEf) const;
    std::optional<std::uint16_t> FindByName(std::span<const std::uint8_t> name) const;
    // Selects the EF addressed by P1 (SFI) or the current EF; the status word on failure.
    std::optional<std::uint16_t> BinaryTarget(const Apdu& apdu, std::size_t& offset,
                                              std::uint16_t& failure);
    void MakeCurrent(std::uint16_t fid);
    bool InSubtree(std::uint16_t fid, std::uint16_t root) const;
    bool PinInScope(const Pin& pin, std::uint8_t ref) const;
    bool Allowed(const Access& access) const;
    Pin* FindPin(std::uint8_t ref);
    std::vector<std::uint8_t> ControlParameters(std::uint16_t fid) const;
    static std::uint16_t TriesStatus(const Pin& pin);
    std::uint8_t NextRandomByte();

    std::map<std::uint16_t, File> files_;
    std::map<std::uint8_t, Pin> pins_;
    std::uint16_t currentDf_ = kMf;
    std::optional<std::uint16_t> currentEf_;
    std::optional<Pending> pending_;
    std::uint64_t rng_ = kDefaultSeed;
    std::vector<std::uint8_t> lastChallenge_;
};

}  // namespace quor::sim
