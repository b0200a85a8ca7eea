// How quorctl shows what the driver answered: a result's text lines, its one-line form for the
// shell, and its JSON object.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "platform/kernel/ntdef.h"

namespace quorctl {

struct Result {
    Result() = default;
    explicit Result(std::string name) : cmd(std::move(name)) {}

    std::string cmd;
    NTSTATUS status = STATUS_SUCCESS;
    std::uintptr_t information = 0;
    std::vector<std::uint8_t> data;
    nlohmann::ordered_json fields;   // null until a field is set: an empty result costs nothing
    std::vector<std::string> lines;  // human-readable answer
    std::string usage;               // set for a usage error inside the shell
    // What the failure means in this situation, when the tool knows better than the status's
    // own sentence (no card in the reader, the port is gone, ...); and what to do about it.
    std::string message;
    std::string hint;

    bool Ok() const { return status == STATUS_SUCCESS && usage.empty(); }
    nlohmann::ordered_json ToJson() const;
    // "error: STATUS_X (0x...): sentence"
    std::string ErrorLine() const;
    // All of the answer on one line (for the shell).
    std::string OneLine() const;
    // The same, written straight to `out`, without a newline.
    void WriteOneLine(std::ostream& out) const;
};

// A JSON document as text; bytes that are not UTF-8 are replaced, never thrown about.
std::string Dump(const nlohmann::ordered_json& j);

// Writes a result: as a JSON object, as one line (the shell), or as its lines with the error,
// if any, on `err`.
void Print(const Result& r, bool json, bool oneLine, std::ostream& out, std::ostream& err);

std::string StatusHex(NTSTATUS status);
std::string ErrorText(NTSTATUS status);
const char* StateName(std::uint32_t state);
std::string ProtocolNames(std::uint32_t mask);
std::string Hex8(std::uint32_t v);  // "0x0000ABCD"
std::string Hex2(std::uint32_t v);  // "CD"

}  // namespace quorctl
