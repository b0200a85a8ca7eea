#include "sim/iso_app.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace quor::sim {

namespace {

ApduResponse Status(std::uint16_t status) { return {{}, status}; }

std::uint16_t WithCount(std::uint16_t base, std::size_t count) {
    return static_cast<std::uint16_t>(base | (count & 0xFF));
}

std::uint16_t Fid(std::span<const std::uint8_t> two) {
    return static_cast<std::uint16_t>((two[0] << 8) | two[1]);
}

// Answer data for a command whose data have a length of their own (not a count asked for):
// dropped without Le, refused with 6Cxx when they do not fit Ne (or, for T=0, differ from it).
ApduResponse Fit(ApduResponse r, const Apdu& apdu) {
    if (r.data.empty()) return r;
    if (!apdu.ne) {
        r.data.clear();
        return r;
    }
    if (r.data.size() > *apdu.ne || (apdu.exactLe && r.data.size() != *apdu.ne)) {
        return Status(WithCount(sw::kWrongLe, r.data.size()));
    }
    return r;
}

bool ValidPinRef(std::uint8_t ref) { return (ref & 0x60) == 0 && (ref & 0x1F) != 0; }

std::vector<std::uint8_t> Ascii(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace

std::optional<Apdu> ParseApdu(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 4) return std::nullopt;
    Apdu apdu;
    apdu.cla = bytes[0];
    apdu.ins = bytes[1];
    apdu.p1 = bytes[2];
    apdu.p2 = bytes[3];
    if (bytes.size() == 4) return apdu;
    const std::size_t b5 = bytes[4];
    if (bytes.size() == 5) {
        apdu.ne = b5 == 0 ? 256 : b5;
        return apdu;
    }
    if (b5 == 0) return std::nullopt;  // extended length
    if (bytes.size() != 5 + b5 && bytes.size() != 6 + b5) return std::nullopt;
    apdu.data.assign(bytes.begin() + 5, bytes.begin() + 5 + static_cast<std::ptrdiff_t>(b5));
    if (bytes.size() == 6 + b5) apdu.ne = bytes.back() == 0 ? 256 : bytes.back();
    return apdu;
}

std::vector<std::uint8_t> ApduResponse::Bytes() const {
    std::vector<std::uint8_t> out = data;
    out.push_back(static_cast<std::uint8_t>(sw >> 8));
    out.push_back(static_cast<std::uint8_t>(sw & 0xFF));
    return out;
}

IsoApplication::IsoApplication() { files_[kMf] = File{kMf, true, {}, {}, {}}; }

IsoApplication IsoApplication::Sample() {
    IsoApplication app;
    app.AddEf(0x2F00, Ascii("EMULATED ISO CARD"), kMf,
              {Access::Always(), Access::Never(), std::nullopt});
    app.AddDf(0x5000, kMf, {0xF0, 0x45, 0x4D, 0x55, 0x01});
    std::vector<std::uint8_t> counting(32);
    for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
    app.AddEf(0x5001, counting, 0x5000, {Access::Always(), Access::Pin(0x01), 1});
    std::vector<std::uint8_t> large(300);
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i);
    app.AddEf(0x5002, large, 0x5000, {Access::Always(), Access::Pin(0x81), 2});
    app.AddEf(0x5003, std::vector<std::uint8_t>(16, 0xA5), 0x5000,
              {Access::Pin(0x81), Access::Never(), std::nullopt});
    app.SetPin(0x01, Ascii("1234"), 3);
    app.SetPin(0x81, Ascii("87654321"), 5, 0x5000);
    return app;
}

void IsoApplication::AddDf(std::uint16_t fid, std::uint16_t parent,
                           std::vector<std::uint8_t> name) {
    if (fid == kMf || fid == 0xFFFF || files_.contains(fid)) {
        throw std::invalid_argument("file id not free");
    }
    auto p = files_.find(parent);
    if (p == files_.end() || !p->second.df) throw std::invalid_argument("parent is not a DF");
    if (name.size() > 16) throw std::invalid_argument("DF name longer than 16 bytes");
    files_[fid] = File{parent, true, std::move(name), {}, {}};
}

void IsoApplication::AddEf(std::uint16_t fid, std::vector<std::uint8_t> content,
                           std::uint16_t parent, EfOptions options) {
    if (fid == kMf || fid == 0xFFFF || files_.contains(fid)) {
        throw std::invalid_argument("file id not free");
    }
    auto p = files_.find(parent);
    if (p == files_.end() || !p->second.df) throw std::invalid_argument("parent is not a DF");
    if (content.size() > 0xFFFF) throw std::invalid_argument("EF larger than 65535 bytes");
    if (options.sfi) {
        if (*options.sfi == 0 || *options.sfi > 30) throw std::invalid_argument("bad SFI");
        for (const auto& [id, f] : files_) {
            if (!f.df && f.parent == parent && f.options.sfi == options.sfi) {
                throw std::invalid_argument("SFI already used in this DF");
            }
        }
    }
    files_[fid] = File{parent, false, {}, std::move(content), options};
}

void IsoApplication::SetFileContent(std::uint16_t fid, std::vector<std::uint8_t> content) {
    File& f = files_.at(fid);
    if (f.df) throw std::out_of_range("not an EF");
    f.content = std::move(content);
}

void IsoApplication::SetPin(std::uint8_t ref, std::vector<std::uint8_t> value, int maxTries,
                            std::uint16_t df) {
    if (!ValidPinRef(ref)) throw std::invalid_argument("bad PIN reference");
    if (value.empty() || value.size() > kMaxPinLength) {
        throw std::invalid_argument("bad PIN length");
    }
    if (maxTries < 1 || maxTries > 15) throw std::invalid_argument("bad retry count");
    if ((ref & 0x80) == 0) df = kMf;
    auto d = files_.find(df);
    if (d == files_.end() || !d->second.df) throw std::invalid_argument("PIN DF is not a DF");
    pins_[ref] = Pin{std::move(value), maxTries, maxTries, df, false};
}

void IsoApplication::SetTriesLeft(std::uint8_t ref, int tries) {
    Pin& pin = pins_.at(ref);
    pin.triesLeft = std::clamp(tries, 0, pin.maxTries);
    if (pin.triesLeft == 0) pin.verified = false;
}

std::vector<std::uint8_t> IsoApplication::FileContent(std::uint16_t fid) const {
    const File& f = files_.at(fid);
    if (f.df) throw std::out_of_range("not an EF");
    return f.content;
}

std::vector<std::uint8_t> IsoApplication::PinValue(std::uint8_t ref) const {
    return pins_.at(ref).value;
}

int IsoApplication::TriesLeft(std::uint8_t ref) const { return pins_.at(ref).triesLeft; }

int IsoApplication::MaxTries(std::uint8_t ref) const { return pins_.at(ref).maxTries; }

bool IsoApplication::PinVerified(std::uint8_t ref) const { return pins_.at(ref).verified; }

void IsoApplication::ResetSession() {
    currentDf_ = kMf;
    currentEf_.reset();
    pending_.reset();
    for (auto& [ref, pin] : pins_) pin.verified = false;
}

bool IsoApplication::SendsData(std::uint8_t ins) {
    return ins == kInsReadBinary || ins == kInsGetChallenge || ins == kInsGetResponse;
}

void IsoApplication::SetPendingResponse(std::vector<std::uint8_t> data, std::uint16_t finalSw) {
    pending_ = Pending{std::move(data), finalSw};
}

ApduResponse IsoApplication::Process(std::span<const std::uint8_t> bytes) {
    std::optional<Apdu> apdu = ParseApdu(bytes);
    if (!apdu) {
        pending_.reset();
        return Status(sw::kWrongLength);
    }
    return Process(*apdu);
}

ApduResponse IsoApplication::Process(const Apdu& apdu) {
    if (apdu.ins != kInsGetResponse) pending_.reset();

    // Class byte: interindustry, first range (000x xxxx), logical channel 0, no secure
    // messaging, no command chaining.
    const std::uint8_t cla = apdu.cla;
    if (cla == 0xFF || (cla & 0x80) != 0 || (cla & 0x60) == 0x20) {
        return Status(sw::kClaNotSupported);
    }
    if ((cla & 0x40) != 0) return Status(sw::kChannelNotSupported);
    if ((cla & 0x10) != 0) return Status(sw::kChainingNotSupported);
    if ((cla & 0x0C) != 0) return Status(sw::kSecureMessagingNotSupported);
    if ((cla & 0x03) != 0) return Status(sw::kChannelNotSupported);

    switch (apdu.ins) {
        case kInsSelect:
            return Select(apdu);
        case kInsReadBinary:
            return ReadBinary(apdu);
        case kInsUpdateBinary:
            return UpdateBinary(apdu);
        case kInsVerify:
            return Verify(apdu);
        case kInsChangeReferenceData:
            return ChangeReferenceData(apdu);
        case kInsGetChallenge:
            return GetChallenge(apdu);
        case kInsGetResponse:
            return GetResponse(apdu);
        default:
            return Status(sw::kInsNotSupported);
    }
}

ApduResponse IsoApplication::Select(const Apdu& apdu) {
    const std::uint8_t answer = apdu.p2 & 0x0C;
    if ((apdu.p2 & 0xF3) != 0 || answer == 0x08) return Status(sw::kWrongP1P2);
    const std::vector<std::uint8_t>& d = apdu.data;

    std::optional<std::uint16_t> target;
    switch (apdu.p1) {
        case 0x00:
            if (d.empty()) {
                target = kMf;
            } else if (d.size() != 2) {
                return Status(sw::kWrongLength);
            } else {
                target = FindForSelect(Fid(d));
            }
            break;
        case 0x01:
        case 0x02:
            if (d.size() != 2) return Status(sw::kWrongLength);
            target = FindChild(currentDf_, Fid(d), apdu.p1 == 0x01, apdu.p1 == 0x02);
            break;
        case 0x03:
            if (!d.empty()) return Status(sw::kWrongLength);
            if (currentDf_ != kMf) target = files_.at(currentDf_).parent;
            break;
        case 0x04:
            if (d.empty() || d.size() > 16) return Status(sw::kWrongLength);
            target = FindByName(d);
            break;
        case 0x08:
        case 0x09: {
            if (d.empty() || d.size() % 2 != 0) return Status(sw::kWrongLength);
            std::optional<std::uint16_t> at = apdu.p1 == 0x08 ? kMf : currentDf_;
            for (std::size_t i = 0; at && i < d.size(); i += 2) {
                if (!files_.at(*at).df) {
                    at.reset();
                    break;
                }
                at = FindChild(*at, Fid(std::span(d).subspan(i, 2)), true, true);
            }
            target = at;
            break;
        }
        default:
            return Status(sw::kWrongP1P2);
    }
    if (!target) return Status(sw::kFileNotFound);
    MakeCurrent(*target);
    if (answer == 0x0C) return Status(sw::kOk);

    const std::vector<std::uint8_t> fcp = ControlParameters(*target);
    ApduResponse r;
    r.data.push_back(answer == 0x04 ? 0x62 : 0x6F);
    r.data.push_back(static_cast<std::uint8_t>(fcp.size()));
    r.data.insert(r.data.end(), fcp.begin(), fcp.end());
    return Fit(std::move(r), apdu);
}

std::optional<std::uint16_t> IsoApplication::BinaryTarget(const Apdu& apdu, std::size_t& offset,
                                                          std::uint16_t& failure) {
    if ((apdu.p1 & 0x80) != 0) {
        const std::uint8_t sfi = apdu.p1 & 0x1F;
        if ((apdu.p1 & 0x60) != 0 || sfi == 0 || sfi > 30) {
            failure = sw::kWrongP1P2;
            return std::nullopt;
        }
        for (const auto& [fid, f] : files_) {
            if (!f.df && f.parent == currentDf_ && f.options.sfi == sfi) {
                MakeCurrent(fid);
                offset = apdu.p2;
                return fid;
            }
        }
        failure = sw::kFileNotFound;
        return std::nullopt;
    }
    if (!currentEf_) {
        failure = sw::kNoCurrentEf;
        return std::nullopt;
    }
    offset = static_cast<std::size_t>((apdu.p1 << 8) | apdu.p2);
    return currentEf_;
}

ApduResponse IsoApplication::ReadBinary(const Apdu& apdu) {
    if (!apdu.ne || !apdu.data.empty()) return Status(sw::kWrongLength);
    std::size_t offset = 0;
    std::uint16_t failure = sw::kOk;
    const std::optional<std::uint16_t> fid = BinaryTarget(apdu, offset, failure);
    if (!fid) return Status(failure);
    const File& f = files_.at(*fid);
    if (!Allowed(f.options.read)) return Status(sw::kSecurityNotSatisfied);
    if (offset >= f.content.size()) return Status(sw::kWrongOffset);

    const std::size_t ne = *apdu.ne;
    const std::size_t n = std::min(ne, f.content.size() - offset);
    if (n < ne && apdu.exactLe) return Status(WithCount(sw::kWrongLe, n));
    ApduResponse r;
    const auto from = f.content.begin() + static_cast<std::ptrdiff_t>(offset);
    r.data.assign(from, from + static_cast<std::ptrdiff_t>(n));
    r.sw = (n < ne && ne != 256) ? sw::kEndReached : sw::kOk;
    return r;
}

ApduResponse IsoApplication::UpdateBinary(const Apdu& apdu) {
    if (apdu.data.empty()) return Status(sw::kWrongLength);
    std::size_t offset = 0;
    std::uint16_t failure = sw::kOk;
    const std::optional<std::uint16_t> fid = BinaryTarget(apdu, offset, failure);
    if (!fid) return Status(failure);
    File& f = files_.at(*fid);
    if (!Allowed(f.options.update)) return Status(sw::kSecurityNotSatisfied);
    if (offset >= f.content.size()) return Status(sw::kWrongOffset);
    if (apdu.data.size() > f.content.size() - offset) return Status(sw::kNoSpace);
    std::copy(apdu.data.begin(), apdu.data.end(),
              f.content.begin() + static_cast<std::ptrdiff_t>(offset));
    return Status(sw::kOk);
}

ApduResponse IsoApplication::Verify(const Apdu& apdu) {
    if (apdu.p1 != 0x00 && apdu.p1 != 0xFF) return Status(sw::kWrongP1P2);
    if (!ValidPinRef(apdu.p2)) return Status(sw::kWrongP1P2);
    Pin* pin = FindPin(apdu.p2);
    if (!pin) return Status(sw::kReferenceNotFound);

    if (apdu.p1 == 0xFF) {
        if (!apdu.data.empty()) return Status(sw::kWrongLength);
        pin->verified = false;
        return Status(sw::kOk);
    }
    if (apdu.data.size() > kMaxPinLength) return Status(sw::kWrongLength);
    if (pin->triesLeft == 0) return Status(sw::kPinBlocked);
    if (apdu.data.empty()) return Status(pin->verified ? sw::kOk : TriesStatus(*pin));
    if (apdu.data == pin->value) {
        pin->verified = true;
        pin->triesLeft = pin->maxTries;
        return Status(sw::kOk);
    }
    pin->verified = false;
    --pin->triesLeft;
    return Status(TriesStatus(*pin));
}

ApduResponse IsoApplication::ChangeReferenceData(const Apdu& apdu) {
    if (apdu.p1 > 0x01 || !ValidPinRef(apdu.p2)) return Status(sw::kWrongP1P2);
    Pin* pin = FindPin(apdu.p2);
    if (!pin) return Status(sw::kReferenceNotFound);
    if (pin->triesLeft == 0) return Status(sw::kPinBlocked);

    std::span<const std::uint8_t> fresh(apdu.data);
    if (apdu.p1 == 0x00) {
        const std::size_t oldSize = pin->value.size();
        if (apdu.data.size() <= oldSize || apdu.data.size() - oldSize > kMaxPinLength) {
            return Status(sw::kWrongLength);
        }
        if (!std::equal(pin->value.begin(), pin->value.end(), apdu.data.begin())) {
            pin->verified = false;
            --pin->triesLeft;
            return Status(TriesStatus(*pin));
        }
        fresh = fresh.subspan(oldSize);
    } else {
        if (fresh.empty() || fresh.size() > kMaxPinLength) return Status(sw::kWrongLength);
        if (!pin->verified) return Status(sw::kSecurityNotSatisfied);
    }
    pin->value.assign(fresh.begin(), fresh.end());
    pin->triesLeft = pin->maxTries;
    pin->verified = true;
    return Status(sw::kOk);
}

ApduResponse IsoApplication::GetChallenge(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(sw::kWrongP1P2);
    if (!apdu.ne || !apdu.data.empty()) return Status(sw::kWrongLength);
    const bool fits = *apdu.ne == kChallengeSize || (*apdu.ne == 256 && !apdu.exactLe);
    if (!fits) return Status(WithCount(sw::kWrongLe, kChallengeSize));
    lastChallenge_.clear();
    for (std::size_t i = 0; i < kChallengeSize; ++i) lastChallenge_.push_back(NextRandomByte());
    return {lastChallenge_, sw::kOk};
}

ApduResponse IsoApplication::GetResponse(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(sw::kWrongP1P2);
    if (!apdu.ne || !apdu.data.empty()) return Status(sw::kWrongLength);
    if (!pending_) return Status(sw::kConditionsNotSatisfied);
    const std::size_t available = pending_->data.size();
    const std::size_t ne = *apdu.ne;
    if (ne < available) {
        ApduResponse r;
        r.data.assign(pending_->data.begin(),
                      pending_->data.begin() + static_cast<std::ptrdiff_t>(ne));
        pending_->data.erase(pending_->data.begin(),
                             pending_->data.begin() + static_cast<std::ptrdiff_t>(ne));
        r.sw = WithCount(sw::kBytesLeft, std::min<std::size_t>(available - ne, 256));
        return r;
    }
    if (ne > available && apdu.exactLe) return Status(WithCount(sw::kWrongLe, available));
    ApduResponse r{std::move(pending_->data), pending_->sw};
    pending_.reset();
    return r;
}

std::optional<std::uint16_t> IsoApplication::FindForSelect(std::uint16_t fid) const {
    if (fid == kMf || fid == currentDf_) return fid;
    if (std::optional<std::uint16_t> child = FindChild(currentDf_, fid, true, true)) return child;
    if (currentDf_ == kMf) return std::nullopt;
    const std::uint16_t parent = files_.at(currentDf_).parent;
    if (fid == parent) return parent;
    return FindChild(parent, fid, true, false);
}

std::optional<std::uint16_t> IsoApplication::FindChild(std::uint16_t df, std::uint16_t fid,
                                                       bool wantDf, bool wantEf) const {
    auto it = files_.find(fid);
    if (it == files_.end() || fid == kMf || it->second.parent != df) return std::nullopt;
    if (it->second.df ? !wantDf : !wantEf) return std::nullopt;
    return fid;
}

std::optional<std::uint16_t> IsoApplication::FindByName(std::span<const std::uint8_t> name) const {
    for (const auto& [fid, f] : files_) {
        if (f.df && f.name.size() >= name.size() &&
            std::equal(name.begin(), name.end(), f.name.begin())) {
            return fid;
        }
    }
    return std::nullopt;
}

void IsoApplication::MakeCurrent(std::uint16_t fid) {
    const File& f = files_.at(fid);
    if (f.df) {
        currentDf_ = fid;
        currentEf_.reset();
    } else {
        currentDf_ = f.parent;
        currentEf_ = fid;
    }
    for (auto& [ref, pin] : pins_) {
        if (!PinInScope(pin, ref)) pin.verified = false;
    }
}

bool IsoApplication::InSubtree(std::uint16_t fid, std::uint16_t root) const {
    for (;;) {
        if (fid == root) return true;
        if (fid == kMf) return false;
        fid = files_.at(fid).parent;
    }
}

bool IsoApplication::PinInScope(const Pin& pin, std::uint8_t ref) const {
    return (ref & 0x80) == 0 || InSubtree(currentDf_, pin.df);
}

IsoApplication::Pin* IsoApplication::FindPin(std::uint8_t ref) {
    auto it = pins_.find(ref);
    if (it == pins_.end() || !PinInScope(it->second, ref)) return nullptr;
    return &it->second;
}

bool IsoApplication::Allowed(const Access& access) const {
    switch (access.kind) {
        case Access::Kind::kAlways:
            return true;
        case Access::Kind::kNever:
            return false;
        case Access::Kind::kPin: {
            auto it = pins_.find(access.pinRef);
            return it != pins_.end() && it->second.verified &&
                   PinInScope(it->second, access.pinRef);
        }
    }
    return false;
}

std::vector<std::uint8_t> IsoApplication::ControlParameters(std::uint16_t fid) const {
    const File& f = files_.at(fid);
    std::vector<std::uint8_t> out{0x82,
                                  0x01,
                                  static_cast<std::uint8_t>(f.df ? 0x38 : 0x01),
                                  0x83,
                                  0x02,
                                  static_cast<std::uint8_t>(fid >> 8),
                                  static_cast<std::uint8_t>(fid & 0xFF)};
    if (f.df && !f.name.empty()) {
        out.push_back(0x84);
        out.push_back(static_cast<std::uint8_t>(f.name.size()));
        out.insert(out.end(), f.name.begin(), f.name.end());
    }
    if (!f.df) {
        out.insert(out.end(), {0x80, 0x02, static_cast<std::uint8_t>(f.content.size() >> 8),
                               static_cast<std::uint8_t>(f.content.size() & 0xFF)});
    }
    out.insert(out.end(), {0x8A, 0x01, 0x05});  // life cycle: operational, activated
    return out;
}

std::uint16_t IsoApplication::TriesStatus(const Pin& pin) {
    return WithCount(sw::kTriesLeft, static_cast<std::size_t>(pin.triesLeft));
}

std::uint8_t IsoApplication::NextRandomByte() {
    // splitmix64, one output per byte: simple, and the same for a given seed everywhere.
    rng_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = rng_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint8_t>((z ^ (z >> 31)) >> 56);
}

}  // namespace quor::sim
