// Lines of `quorctl shell`, any bytes (invalid UTF-8, quotes, option words, control bytes), in
// JSON or one-line mode. The first byte picks the mode; the rest is the shell's input. Every
// line that is not blank or a comment gets exactly one answer line: a result or a usage error,
// in JSON mode a JSON object with "cmd" and "status". Nothing throws. Commands run against one
// session on the in-process emulator (on a clock 1000 times faster, as quorctl's own tests run
// it), except those that only wait for events: watch, and waits longer than 100 ms; a
// sleep is followed by a wake.
#include <cstdint>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "fuzz/harness.h"
#include "tools/quorctl/cli.h"
#include "tools/quorctl/hex.h"
#include "tools/quorctl/session.h"

namespace {

quorctl::Session& TheSession() {
    static quorctl::Session* session = [] {
        quorctl::Options options;
        options.sim = true;
        options.clockScale = 1000;
        static std::ostringstream log;
        auto* s = new quorctl::Session(options, log);
        FUZZ_CHECK(s->Start().Ok());
        return s;
    }();
    return *session;
}

// Commands whose time is the events they wait for, not the driver's.
bool OnlyWaits(const quorctl::Command& c) {
    if (c.name == "watch") return c.count >= 0;  // a negative count is a usage error
    if (c.name == "wait" && c.words.size() == 2) {
        const auto ms = quorctl::ParseNumber(c.words[1]);
        return ms && *ms > 100;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool json = (data[0] & 1) != 0;
    std::istringstream text(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));

    std::string script;
    std::size_t answers = 0, usageErrors = 0;
    int lines = 0;
    for (std::string line; lines < 8 && std::getline(text, line); ++lines) {
        const quorctl::ShellLine parsed = quorctl::ParseShellLine(line);
        if (parsed.kind == quorctl::ShellLine::kQuit) {
            script += line + '\n';
            break;
        }
        switch (parsed.kind) {
            case quorctl::ShellLine::kNothing:
                FUZZ_CHECK(line.find_first_not_of(" \t\r") == std::string::npos ||
                           line[line.find_first_not_of(" \t")] == '#');
                continue;
            case quorctl::ShellLine::kUsage:
                FUZZ_CHECK(!parsed.usage.usage.empty());
                FUZZ_CHECK(!parsed.usage.Ok());
                ++usageErrors;
                break;
            case quorctl::ShellLine::kHelp:
                FUZZ_CHECK(!parsed.commands.empty());
                break;
            default:
                FUZZ_CHECK(!parsed.command.name.empty());
                if (OnlyWaits(parsed.command)) continue;
                break;
        }
        script += line + '\n';
        ++answers;
        if (parsed.kind == quorctl::ShellLine::kCommand && parsed.command.name == "sleep") {
            // The driver holds requests while the system sleeps; the shell would wait for ever.
            script += "wake\n";
            ++answers;
        }
    }

    std::istringstream in(script);
    std::ostringstream out, err;
    const int code = quorctl::Shell(TheSession(), json, false, in, out, err);
    FUZZ_CHECK(code == quorctl::kExitOk || code == quorctl::kExitDriverError ||
               code == quorctl::kExitUsage);
    FUZZ_CHECK(usageErrors == 0 || code == quorctl::kExitUsage);

    std::istringstream answered(out.str());
    std::size_t count = 0;
    for (std::string line; std::getline(answered, line); ++count) {
        if (!json) continue;
        FUZZ_CHECK(nlohmann::json::accept(line));
        const auto j = nlohmann::json::parse(line);
        FUZZ_CHECK(j.is_object() && j.contains("cmd") && j.contains("status"));
        FUZZ_CHECK(!j.value("usage_error", false) || j.contains("error"));
    }
    if (count != answers) std::cerr << "script:\n" << script << "answers:\n" << out.str();
    FUZZ_CHECK(count == answers);
    return 0;
}
