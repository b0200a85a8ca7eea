#include "sim/keys.h"

#include <cctype>
#include <stdexcept>

namespace quor::sim {

namespace {

constexpr long long kMaxWaitMs = 3'600'000;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> Tokens(const std::string& text) {
    std::vector<std::string> tokens;
    std::string token;
    for (char c : text) {
        if (c == ',' || std::isspace(static_cast<unsigned char>(c))) {
            if (!token.empty()) tokens.push_back(Lower(token));
            token.clear();
        } else {
            token += c;
        }
    }
    if (!token.empty()) tokens.push_back(Lower(token));
    return tokens;
}

// The keys of one token that is not a wait.
void AddKeys(const std::string& token, std::vector<std::uint8_t>& keys) {
    if (token == "ok" || token == "confirm" || token == "enter") {
        keys.push_back(kKeyConfirm);
        return;
    }
    if (token == "cancel") {
        keys.push_back(kKeyCancel);
        return;
    }
    for (char c : token) {
        if (c >= '0' && c <= '9') {
            keys.push_back(static_cast<std::uint8_t>(c - '0'));
        } else if (c == '#' || c == 'e') {
            keys.push_back(kKeyConfirm);
        } else if (c == '*' || c == 'c') {
            keys.push_back(kKeyCancel);
        } else {
            throw std::invalid_argument("bad key '" + token +
                                        "' (0-9; ok, # or E confirms; cancel, * or C cancels)");
        }
    }
}

bool IsWait(const std::string& token) { return token.rfind("wait:", 0) == 0; }

long long WaitMs(const std::string& token) {
    const std::string n = token.substr(5);
    std::size_t used = 0;
    long long ms = -1;
    try {
        ms = std::stoll(n, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (n.empty() || used != n.size() || ms < 0 || ms > kMaxWaitMs) {
        throw std::invalid_argument("bad wait '" + token + "' (wait:MS, MS 0.." +
                                    std::to_string(kMaxWaitMs) + ")");
    }
    return ms;
}

}  // namespace

std::vector<std::uint8_t> ParseKeys(const std::string& text) {
    std::vector<std::uint8_t> keys;
    for (const std::string& token : Tokens(text)) {
        if (IsWait(token)) throw std::invalid_argument("a wait belongs in a key script");
        AddKeys(token, keys);
    }
    if (keys.empty()) throw std::invalid_argument("no keys given");
    return keys;
}

std::vector<KeyStep> ParseKeyScript(const std::string& text, long long gapMs) {
    std::vector<KeyStep> steps;
    SimTime extra = 0;
    for (const std::string& token : Tokens(text)) {
        if (IsWait(token)) {
            extra += WaitMs(token) * 1000;
            continue;
        }
        std::vector<std::uint8_t> keys;
        AddKeys(token, keys);
        for (std::uint8_t k : keys) {
            steps.push_back({(steps.empty() ? 0 : gapMs * 1000) + extra, k});
            extra = 0;
        }
    }
    if (extra > 0) steps.push_back({extra, kKeySilence});
    if (steps.empty()) throw std::invalid_argument("empty key script");
    return steps;
}

}  // namespace quor::sim
