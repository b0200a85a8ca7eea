// A small analyser of a card's answer to reset, for display.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace quorctl {

struct AtrAnalysis {
    bool valid = false;           // TS is 3B or 3F and the interface bytes are all there
    std::string problem;          // why not, when not valid
    bool inverse = false;         // TS 3F
    std::vector<int> protocols;   // from the TDi bytes; T=0 when none is given
    int fi = 1, di = 1;           // TA1 indices (defaults 1, 1)
    int f = 372, d = 1;           // their values (0 for a reserved index)
    int n = 0;                    // TC1, extra guard time
    int wi = 10;                  // TC2, T=0 waiting time integer
    std::optional<int> ifsc;      // first TA for T=1
    std::optional<int> bwi, cwi;  // first TB for T=1
    std::vector<std::uint8_t> historical;
    std::optional<std::uint8_t> tck;
    bool tckOk = true;

    nlohmann::ordered_json ToJson() const;
    // One line, e.g. "direct convention, T=1, F=372 D=1 N=0 WI=10, IFSC=254 BWI=4 CWI=13,
    // historical 45 4D 55 (\"EMU\")".
    std::string Summary() const;
};

AtrAnalysis AnalyseAtr(const std::vector<std::uint8_t>& atr);

}  // namespace quorctl
