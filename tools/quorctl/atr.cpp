#include "tools/quorctl/atr.h"

#include <algorithm>

#include "tools/quorctl/hex.h"

namespace quorctl {

namespace {

constexpr int kF[16] = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                        0,   512, 768, 1024, 1536, 2048, 0,    0};
constexpr int kD[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

std::string Printable(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    for (auto b : bytes) s += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
    return s;
}

}  // namespace

AtrAnalysis AnalyseAtr(const std::vector<std::uint8_t>& atr) {
    AtrAnalysis a;
    if (atr.size() < 2) {
        a.problem = "too short";
        return a;
    }
    if (atr[0] != 0x3B && atr[0] != 0x3F) {
        a.problem = "TS is neither 3B nor 3F";
        return a;
    }
    a.inverse = atr[0] == 0x3F;
    std::size_t pos = 1;
    std::uint8_t y = atr[pos] >> 4;
    std::size_t k = atr[pos] & 0x0F;
    ++pos;
    int level = 1;
    int lastProtocol = -1;  // protocol that the current group's bytes belong to
    bool t1Seen = false;
    while (true) {
        std::optional<std::uint8_t> ta, tb, tc, td;
        for (int bit = 0; bit < 4; ++bit) {
            if (!(y & (1 << bit))) continue;
            if (pos >= atr.size()) {
                a.problem = "interface bytes missing";
                return a;
            }
            std::uint8_t v = atr[pos++];
            if (bit == 0) ta = v;
            if (bit == 1) tb = v;
            if (bit == 2) tc = v;
            if (bit == 3) td = v;
        }
        if (level == 1) {
            if (ta) {
                a.fi = *ta >> 4;
                a.di = *ta & 0x0F;
            }
            if (tc) a.n = *tc;
        } else if (level == 2) {
            if (tc && lastProtocol == 0) a.wi = *tc;
        } else if (lastProtocol == 1 && !t1Seen) {
            t1Seen = true;
            if (ta) a.ifsc = *ta;
            if (tb) {
                a.bwi = *tb >> 4;
                a.cwi = *tb & 0x0F;
            }
        }
        if (!td) break;
        int t = *td & 0x0F;
        if (t != 15 && std::find(a.protocols.begin(), a.protocols.end(), t) == a.protocols.end()) {
            a.protocols.push_back(t);
        }
        lastProtocol = t;
        y = *td >> 4;
        ++level;
    }
    if (a.protocols.empty()) a.protocols.push_back(0);
    a.f = kF[a.fi];
    a.d = kD[a.di];
    if (pos + k > atr.size()) {
        a.problem = "historical bytes missing";
        return a;
    }
    a.historical.assign(atr.begin() + static_cast<std::ptrdiff_t>(pos),
                        atr.begin() + static_cast<std::ptrdiff_t>(pos + k));
    pos += k;
    bool needsTck =
        std::any_of(a.protocols.begin(), a.protocols.end(), [](int t) { return t != 0; });
    if (pos < atr.size()) {
        a.tck = atr[pos];
        std::uint8_t x = 0;
        for (std::size_t i = 1; i <= pos; ++i) x ^= atr[i];
        a.tckOk = x == 0;
    } else if (needsTck) {
        a.problem = "TCK missing";
        return a;
    }
    a.valid = true;
    return a;
}

nlohmann::ordered_json AtrAnalysis::ToJson() const {
    nlohmann::ordered_json j;
    j["valid"] = valid;
    if (!valid) j["problem"] = problem;
    j["convention"] = inverse ? "inverse" : "direct";
    j["protocols"] = protocols;
    j["F"] = f;
    j["D"] = d;
    j["N"] = n;
    j["WI"] = wi;
    if (ifsc) j["IFSC"] = *ifsc;
    if (bwi) j["BWI"] = *bwi;
    if (cwi) j["CWI"] = *cwi;
    j["historical"] = ToHex(historical);
    if (tck) j["tck_ok"] = tckOk;
    return j;
}

std::string AtrAnalysis::Summary() const {
    std::string s = inverse ? "inverse convention (3F)" : "direct convention (3B)";
    if (!valid) return s + ", malformed: " + problem;
    s += ", protocols";
    for (std::size_t i = 0; i < protocols.size(); ++i) {
        s += (i ? ",T=" : " T=") + std::to_string(protocols[i]);
    }
    s += ", F=" + std::to_string(f) + " D=" + std::to_string(d) + " N=" + std::to_string(n) +
         " WI=" + std::to_string(wi);
    if (ifsc) s += ", IFSC=" + std::to_string(*ifsc);
    if (bwi) s += " BWI=" + std::to_string(*bwi) + " CWI=" + std::to_string(*cwi);
    s += ", historical bytes " + (historical.empty()
                                      ? std::string("none")
                                      : ToHex(historical) + " (\"" + Printable(historical) + "\")");
    if (tck && !tckOk) s += ", TCK wrong";
    return s;
}

}  // namespace quorctl
