#include "tools/quorctl/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/quorctl/hex.h"
#include "tools/quorctl/render.h"
#include "tools/quorctl/session.h"

namespace quorctl {

namespace {

const char* kDescription =
    "quorctl talks to a QUOR serial smart card reader through the QUOR reader driver, which it\n"
    "hosts in its own process. Use --port DEV for a reader on a serial line, or --sim for the\n"
    "built-in emulated reader. Hex arguments are pairs of digits, spaces allowed between bytes.";

struct Parsed {
    Command command;
    bool json = false;
};

void AddCommands(CLI::App& app, Command& c) {
    auto words = [&](CLI::App* s, const char* name, const char* help, bool required) {
        auto* o = s->add_option(name, c.words, help);
        if (required) o->required();
    };
    app.add_subcommand("info", "Show all reader attributes and the card state");
    app.add_subcommand("status", "Show the card state, protocol in force and ATR");
    words(app.add_subcommand("power",
                             "Power the card: down, cold (reset) or warm (reset); "
                             "shows the ATR and its analysis"),
          "action", "down | cold | warm", true);
    words(app.add_subcommand("protocol", "Select the transmission protocol"), "protocols",
          "t0 | t1 | t0,t1", true);
    words(app.add_subcommand("transmit",
                             "Send a command APDU to the card; powers the card and "
                             "negotiates a protocol first when none is in force"),
          "apdu", "the APDU in hex", true);
    auto* watch = app.add_subcommand("watch",
                                     "Report card insertions and removals as they "
                                     "happen, until interrupted (Ctrl-C)");
    watch->add_option("--count", c.count, "Stop after this many events");
    words(app.add_subcommand("ct", "Send a terminal command (CLA 20) to the reader"), "command",
          "the terminal command in hex", true);
    words(app.add_subcommand("display", "Show a text on the reader's display (OUTPUT)"), "text",
          "the text", true);
    auto* input = app.add_subcommand("input", "Read digits typed on the reader's keypad (INPUT)");
    input->add_option("--max", c.max, "Stop after this many digits (0: at the confirm key)");
    input->add_option("--timeout", c.timeout, "Seconds allowed for the first key (default 15)");
    input->add_option("--echo", c.echo,
                      "What the display shows for each digit: 2 a '-' (default), 1 the digit, "
                      "0 nothing");
    input->add_option("--keys", c.keys,
                      "With --sim: keys the emulated keypad types once the input has begun "
                      "(digits, # or E confirm, * or C cancel)");
    auto* verify =
        app.add_subcommand("verify-pin",
                           "Have the reader collect a PIN on its keypad and send it to the card "
                           "inside the APDU given (PERFORM VERIFICATION)");
    words(verify, "apdu", "the card APDU in hex, with padding where the PIN goes", true);
    verify->add_option("--params", c.params,
                       "PIN-pad parameters p0 p1 in hex (PIN format, offset of the PIN in the "
                       "APDU; default 48 05)");
    verify->add_option("--keys", c.keys, "With --sim: keys the emulated keypad types");
    auto* change =
        app.add_subcommand("change-pin",
                           "Have the reader collect the old and the new PIN on its keypad and send "
                           "them to the card inside the APDU given (MODIFY VERIFICATION DATA)");
    words(change, "apdu", "the card APDU in hex", true);
    change->add_option("--params", c.params,
                       "PIN-pad parameters p0 p1 p2 in hex (format, old and new PIN offsets; "
                       "default 48 05 0D)");
    change->add_option("--keys", c.keys, "With --sim: keys the emulated keypad types");
    words(app.add_subcommand("raw-write", "Write a raw reader frame"), "bytes", "the frame in hex",
          true);
    auto* rawRead = app.add_subcommand("raw-read", "Read the reader's reply to a raw frame");
    rawRead->add_option("--length", c.length, "Bytes to ask for (default 288)");
    words(app.add_subcommand("wait", "Wait for a card to be present or absent"), "args",
          "present|absent MS", true);
    words(app.add_subcommand("attr", "Read one attribute by name or tag"), "attribute",
          "name or 0xTAG", true);
    app.add_subcommand("state", "Show the card state");
    words(app.add_subcommand("ioctl", "Send any device-control code"), "args",
          "CODE (number or 0x...) HEX (input, '-' for none) OUTLEN", true);
}

void AddShellCommands(CLI::App& app, Command& c) {
    auto words = [&](CLI::App* s, const char* name, const char* help, bool required) {
        auto* o = s->add_option(name, c.words, help);
        if (required) o->required();
    };
    app.add_subcommand("sleep", "Put the system to sleep");
    app.add_subcommand("wake", "Wake the system up");
    words(app.add_subcommand("insert", "Insert a card into the emulated reader"), "type",
          "t0 | t1 | dual | memory (default t1)", false);
    app.add_subcommand("remove", "Pull the card out of the emulated reader");
    words(app.add_subcommand("key", "Press keys on the emulated reader's keypad"), "keys",
          "digits, # or E (confirm), * or C (cancel)", true);
    app.add_subcommand("quit", "End the shell");
    app.add_subcommand("help", "List the commands");
}

std::string CommandName(const CLI::App& app) {
    auto subs = app.get_subcommands();
    return subs.empty() ? std::string() : subs.front()->get_name();
}

int ExitFor(NTSTATUS status) { return status == STATUS_SUCCESS ? kExitOk : kExitDriverError; }

// Turns an interrupt (Ctrl-C) into an abort of what the session has under way, so that the
// command returns at once and the device closes cleanly. An interrupt while the reader is
// still starting ends the program at once: nothing is open yet that needs closing.
class InterruptWatch {
  public:
    explicit InterruptWatch(Session& session) : session_(session), thread_([this] { Loop(); }) {}
    ~InterruptWatch() {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

  private:
    void Loop() {
        std::unique_lock lock(mu_);
        while (!cv_.wait_for(lock, std::chrono::milliseconds(20),
                             [this] { return stop_ || Interrupted(); })) {
        }
        if (stop_) return;
        session_.Abort();
        if (!session_.Started()) std::_Exit(kExitInterrupted);
    }

    Session& session_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

// Back to a command's defaults, keeping the room its words had.
void ResetCommand(Command& c) {
    std::vector<std::string> words = std::move(c.words);
    words.clear();
    c = Command{};
    c.words = std::move(words);
}

}  // namespace

struct ShellParser::Impl {
    // The last line parsed. The options of the parser write into its command; each line
    // starts it afresh.
    ShellLine line;
    Command& c = line.command;
    CLI::App app{"shell line"};
    std::vector<std::pair<std::string, std::string>> commands;
    std::vector<std::string> words;
    std::vector<std::string> reversed;
    std::vector<const CLI::App*> subcommands;

    Impl() {
        AddCommands(app, c);
        AddShellCommands(app, c);
        app.require_subcommand(1, 1);
        app.set_help_flag();
        for (const auto* s : app.get_subcommands({})) {
            commands.emplace_back(s->get_name(), s->get_description());
            subcommands.push_back(s);
        }
    }

    // The name of the subcommand the last parse went into (exactly one, as required).
    const std::string& ParsedName() const {
        static const std::string kNone;
        for (const auto* s : subcommands) {
            if (s->parsed()) return s->get_name();
        }
        return kNone;
    }
};

ShellParser::ShellParser() : impl_(std::make_unique<Impl>()) {}
ShellParser::~ShellParser() = default;

const ShellLine& ShellParser::Parse(const std::string& line) {
    Impl& m = *impl_;
    ShellLine& r = m.line;
    r.kind = ShellLine::kNothing;
    r.usage = Result{};
    r.commands.clear();
    ResetCommand(m.c);
    const auto first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line[first] == '#') return r;  // a comment
    if (!SplitLine(line, &m.words)) {
        r.kind = ShellLine::kUsage;
        r.usage.cmd = "?";
        r.usage.usage = "unclosed quote";
        r.usage.status = STATUS_INVALID_PARAMETER;
        return r;
    }
    if (m.words.empty()) return r;
    m.app.clear();
    m.reversed.assign(m.words.rbegin(), m.words.rend());
    try {
        m.app.parse(m.reversed);
        m.c.name = m.ParsedName();
    } catch (const CLI::ParseError& e) {
        r.kind = ShellLine::kUsage;
        r.usage.cmd = m.words[0];
        r.usage.usage = e.what();
        r.usage.status = STATUS_INVALID_PARAMETER;
        bool known = false;
        for (const auto& [name, help] : m.commands) known |= name == m.words[0];
        if (!known) r.usage.usage = "unknown command '" + m.words[0] + "' (try help)";
        r.commands = m.commands;
        return r;
    }
    r.kind = m.c.name == "quit"   ? ShellLine::kQuit
             : m.c.name == "help" ? ShellLine::kHelp
                                  : ShellLine::kCommand;
    if (r.kind == ShellLine::kHelp) r.commands = m.commands;
    return r;
}

ShellLine ParseShellLine(const std::string& line) { return ShellParser().Parse(line); }

int Shell(Session& session, bool json, bool interactive, std::istream& in, std::ostream& out,
          std::ostream& err) {
    int worst = kExitOk;
    std::string line;
    // A person at a terminal gets a prompt (on the error stream, so that standard output keeps
    // one answer per line); scripts get plain output.
    auto prompt = [&] {
        if (interactive && !Interrupted()) err << "quor> " << std::flush;
    };
    ShellParser parser;
    const Session::Emit print = [&](const Result& r) { Print(r, json, true, out, err); };
    prompt();
    while (!Interrupted() && std::getline(in, line)) {
        const ShellLine& parsed = parser.Parse(line);
        if (parsed.kind == ShellLine::kQuit) break;
        if (parsed.kind == ShellLine::kNothing) {
            prompt();
            continue;
        }
        if (parsed.kind == ShellLine::kHelp) {
            Result r{"help"};
            std::string names;
            for (const auto& [name, help] : parsed.commands) names += name + " ";
            r.lines.push_back(names.empty() ? std::string() : names.substr(0, names.size() - 1));
            r.fields["commands"] = r.lines.back();
            if (interactive && !json) {
                // At a terminal: one line per command with what it does.
                for (auto [name, help] : parsed.commands) {
                    name.resize(std::max<std::size_t>(name.size(), 12), ' ');
                    out << "  " << name << "  " << help << '\n';
                }
                out << "  Lines starting with # are ignored; 'quit' or end of input ends the "
                       "shell.\n";
            } else {
                Print(r, json, true, out, err);
            }
            prompt();
            continue;
        }
        Result usage = parsed.usage;
        if (parsed.kind == ShellLine::kCommand) {
            try {
                NTSTATUS st = session.Run(parsed.command, print);
                worst = std::max(worst, ExitFor(st));
                prompt();
                continue;
            } catch (const UsageError& e) {
                usage.cmd = parsed.command.name;
                usage.usage = e.what();
                usage.status = STATUS_INVALID_PARAMETER;
            }
        }
        Print(usage, json, true, out, err);
        worst = kExitUsage;
        prompt();
    }
    if (interactive) err << '\n';
    return worst;
}

namespace {

int Demo(Session& session, bool json, const std::string& cardType, std::ostream& out,
         std::ostream& err) {
    std::ostream& talk = json ? err : out;
    int worst = kExitOk;
    auto step = [&](const std::string& text) { talk << "\n== " << text << '\n'; };
    auto run = [&](std::vector<std::string> words, int max = 0, std::string keys = "") {
        Command c;
        c.name = words.front();
        c.words.assign(words.begin() + 1, words.end());
        c.max = max;
        c.keys = keys;
        if (!keys.empty()) c.timeout = 30;
        talk << "quor>";
        for (const auto& w : words) talk << ' ' << w;
        if (max) talk << " --max " << max;
        if (!keys.empty()) talk << " --timeout 30 --keys " << keys;
        talk << '\n';
        NTSTATUS st = session.Run(c, [&](const Result& r) { Print(r, json, false, out, err); });
        worst = std::max(worst, ExitFor(st));
        return st;
    };

    step(
        "The tour is one session, as in 'quorctl --sim shell': the lines after 'quor>' are what "
        "you would type there. (A one-shot 'quorctl' command line opens the reader afresh, about "
        "6.5 s, and nothing carries over to the next one, so type a sequence like this one into "
        "the shell.)");
    step(
        "The reader has been reset and identified. These are its attributes, as the driver "
        "reports them to applications:");
    run({"info"});
    step("Now a " + cardType +
         " card goes into the reader. The driver notices it at its next "
         "status poll (every 1.8 s) and completes the waiting 'is present' request:");
    Command insert;
    insert.name = "insert";
    insert.words = {cardType};
    talk << "quor> insert " << cardType << '\n';
    session.Run(insert, [&](const Result& r) { Print(r, json, false, out, err); });
    run({"wait", "present", "10000"});
    step(
        "Power the card up with a cold reset. The card answers with its ATR; here is what it "
        "says about the card:");
    run({"power", "cold"});
    step("Select a transmission protocol (the driver offers T=0 and T=1, the card picks):");
    run({"protocol", "t0,t1"});
    step("Exchange APDUs: select the master file, then EF 2F00, and read it:");
    run({"transmit", "00 A4 00 0C 02 3F 00"});
    run({"transmit", "00 A4 02 0C 02 2F 00"});
    run({"transmit", "00 B0 00 00 11"});
    step(
        "A terminal command goes to the reader itself, not to the card. OUTPUT shows a text on "
        "the reader's display:");
    run({"display", "WELCOME!"});
    step("INPUT collects digits typed on the reader's keypad. The emulator types 1 2 3 4 for us:");
    run({"input"}, 4, "1234");
    step("Finally the card is pulled out; the driver reports its removal:");
    Command remove;
    remove.name = "remove";
    talk << "quor> remove\n";
    session.Run(remove, [&](const Result& r) { Print(r, json, false, out, err); });
    run({"wait", "absent", "10000"});
    run({"status"});
    step(worst == kExitOk ? "That's the tour. Try 'quorctl --sim shell' to type commands yourself."
                          : "The tour ended with errors (see above).");
    return worst;
}

}  // namespace

bool SplitLine(const std::string& line, std::vector<std::string>* words) {
    words->clear();
    std::string cur;
    bool inWord = false, quoted = false;
    for (char ch : line) {
        if (quoted) {
            if (ch == '"')
                quoted = false;
            else
                cur += ch;
        } else if (ch == '"') {
            quoted = true;
            inWord = true;
        } else if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') {
            if (inWord) words->push_back(cur);
            cur.clear();
            inWord = false;
        } else {
            cur += ch;
            inWord = true;
        }
    }
    if (quoted) return false;
    if (inWord) words->push_back(cur);
    return true;
}

int RunCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
           std::ostream& err, bool interactive) {
    CLI::App app{kDescription, "quorctl"};
    Options options;
    Parsed p;
    std::string model;
    app.add_option("--port", options.port, "Serial device of the reader (e.g. /dev/ttyS0)");
    app.add_flag("--sim", options.sim, "Use the built-in emulated reader");
    app.add_option("--card", options.card,
                   "Card in the emulated reader at start: t0, t1, dual, memory or none "
                   "(default t1)")
        ->check(CLI::IsMember({"t0", "t1", "dual", "memory", "none"}));
    app.add_option("--model", model, "Model code of the emulated reader (e.g. 0x58)");
    app.add_flag("--trace", options.trace,
                 "Write every frame on the wire and every serial request to standard error");
    app.add_flag("--json", p.json, "Print one JSON object per result");
    app.add_option("--clock-scale", options.clockScale)->group("");  // tests: faster clock
    app.set_version_flag("--version", "quorctl " QUOR_VERSION);
    app.require_subcommand(1, 1);
    app.fallthrough();
    AddCommands(app, p.command);
    app.add_subcommand(
        "shell",
        "Read commands from standard input, one per line, and answer each with "
        "one line. Besides the commands above: sleep, wake, insert [t0|t1|dual|memory], remove, "
        "key DIGITS (the last three with --sim), help, quit");
    app.add_subcommand("demo", "A guided tour of the reader and the driver on the emulated reader");
    app.footer("Exit status: 0 success, 1 the driver answered with an error, 2 usage error.");

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp& e) {
        app.exit(e, out, err);  // the help of the command asked about
        return kExitOk;
    } catch (const CLI::CallForAllHelp& e) {
        app.exit(e, out, err);
        return kExitOk;
    } catch (const CLI::CallForVersion& e) {
        out << e.what() << '\n';
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        err << "error: " << e.what() << "\nRun with --help for the commands and options.\n";
        return kExitUsage;
    }
    p.command.name = CommandName(app);
    bool demo = p.command.name == "demo";
    if (demo) {
        if (!options.port.empty()) {
            err << "error: demo runs on the emulated reader; leave out --port\n";
            return kExitUsage;
        }
        options.sim = true;
    }
    if (options.sim == !options.port.empty()) {
        err << "error: give either --port DEV or --sim\n";
        return kExitUsage;
    }
    if (!model.empty()) {
        auto code = ParseNumber(model, 0xFF);
        if (!code) {
            err << "error: bad model code '" << model << "' (0..255 or 0x00..0xFF)\n";
            return kExitUsage;
        }
        options.model = static_cast<std::uint8_t>(*code);
    }
    if (!(options.clockScale >= 1.0 && options.clockScale <= 100000.0)) {
        err << "error: bad clock scale\n";
        return kExitUsage;
    }
    std::string demoCard = options.card == "none" ? "t1" : options.card;
    if (demo) options.card = "none";

    // Catch bad hex before the reader is started (that takes seconds).
    const std::string& name = p.command.name;
    if (name == "transmit" || name == "ct" || name == "raw-write" || name == "verify-pin" ||
        name == "change-pin") {
        std::string joined;
        for (const auto& w : p.command.words) joined += w + " ";
        if (!ParseHex(joined)) {
            err << "error: bad hex for " << name << ": '" << joined << "'\n";
            return kExitUsage;
        }
    }

    try {
        Session session(options, err);
        InterruptWatch watch(session);
        Result start = session.Start();
        if (!start.Ok()) {
            if (Interrupted()) return kExitInterrupted;
            err << "error: cannot start the reader: "
                << (start.message.empty() ? ErrorText(start.status) : start.message) << '\n';
            if (p.json) out << Dump(start.ToJson()) << '\n';
            return kExitDriverError;
        }
        int code;
        if (demo) {
            code = Demo(session, p.json, demoCard, out, err);
        } else if (p.command.name == "shell") {
            code = Shell(session, p.json, interactive, in, out, err);
        } else {
            NTSTATUS st =
                session.Run(p.command, [&](const Result& r) { Print(r, p.json, false, out, err); });
            code = ExitFor(st);
        }
        return Interrupted() ? kExitInterrupted : code;
    } catch (const UsageError& e) {
        err << "error: " << e.what() << '\n';
        return kExitUsage;
    }
}

}  // namespace quorctl
