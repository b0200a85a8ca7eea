#include "tools/quorctl/render.h"

#include <cstdio>
#include <sstream>

#include "client/reader.h"
#include "platform/smclib/smclib.h"
#include "tools/quorctl/hex.h"

namespace quorctl {

std::string Hex8(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string Hex2(std::uint32_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
    return buf;
}

std::string StatusHex(NTSTATUS status) { return Hex8(static_cast<std::uint32_t>(status)); }

std::string ErrorText(NTSTATUS status) {
    return quor::client::StatusName(status) + " (" + StatusHex(status) +
           "): " + quor::client::StatusText(status);
}

const char* StateName(std::uint32_t state) {
    switch (state) {
        case SCARD_UNKNOWN:
            return "unknown";
        case SCARD_ABSENT:
            return "absent";
        case SCARD_PRESENT:
            return "present";
        case SCARD_SWALLOWED:
            return "swallowed";
        case SCARD_POWERED:
            return "powered";
        case SCARD_NEGOTIABLE:
            return "negotiable";
        case SCARD_SPECIFIC:
            return "specific";
        default:
            return "invalid";
    }
}

std::string ProtocolNames(std::uint32_t mask) {
    std::string s;
    auto add = [&](const char* n) { s += (s.empty() ? "" : ",") + std::string(n); };
    if (mask & SCARD_PROTOCOL_T0) add("T=0");
    if (mask & SCARD_PROTOCOL_T1) add("T=1");
    if (mask & SCARD_PROTOCOL_RAW) add("raw");
    if (mask & SCARD_PROTOCOL_DEFAULT) add("default");
    if (s.empty()) s = "none";
    return s;
}

std::string Dump(const nlohmann::ordered_json& j) {
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json Result::ToJson() const {
    nlohmann::ordered_json j;
    j["cmd"] = cmd;
    j["status"] = StatusHex(status);
    j["status_name"] = quor::client::StatusName(status);
    j["information"] = information;
    j["data"] = ToHex(data, false);
    for (auto it = fields.begin(); it != fields.end(); ++it) j[it.key()] = it.value();
    if (!usage.empty()) {
        j["error"] = usage;
        j["usage_error"] = true;
    } else if (status != STATUS_SUCCESS) {
        j["error"] = message.empty() ? quor::client::StatusText(status) : message;
        if (!hint.empty()) j["hint"] = hint;
    }
    return j;
}

std::string Result::ErrorLine() const {
    if (!usage.empty()) return "error: " + usage;
    std::string line = "error: ";
    line += message.empty()
                ? ErrorText(status)
                : quor::client::StatusName(status) + " (" + StatusHex(status) + "): " + message;
    if (!hint.empty()) line += " (" + hint + ")";
    return line;
}

void Result::WriteOneLine(std::ostream& out) const {
    // "cmd: line; line", then the error after a last ';', or "cmd: ok" for an answer without
    // lines.
    out << cmd << ':';
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out << ';';
        out << ' ' << lines[i];
    }
    if (!Ok()) {
        if (!lines.empty()) out << ';';
        out << ' ' << ErrorLine();
    } else if (lines.empty()) {
        out << " ok";
    }
}

std::string Result::OneLine() const {
    std::ostringstream s;
    WriteOneLine(s);
    return s.str();
}

void Print(const Result& r, bool json, bool oneLine, std::ostream& out, std::ostream& err) {
    if (json) {
        out << Dump(r.ToJson()) << '\n';
    } else if (oneLine) {
        r.WriteOneLine(out);
        out << '\n';
    } else {
        for (const auto& l : r.lines) out << l << '\n';
        if (!r.Ok()) err << r.ErrorLine() << '\n';
    }
    out.flush();
}

}  // namespace quorctl
