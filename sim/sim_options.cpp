#include "sim/sim_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <exception>
#include <iterator>
#include <optional>
#include <string_view>

namespace quirn_sim {

namespace {

constexpr uint32_t kMaxMilliseconds = 60'000;
constexpr uint32_t kMaxCount = UINT32_MAX;

// Decimal, or hexadecimal after 0x; digits only, no sign, at most max.
std::optional<uint32_t> parse_number(std::string_view text, uint32_t max) {
    uint32_t base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * base + digit;
        if (value > max) {
            return std::nullopt;
        }
    }
    return static_cast<uint32_t>(value);
}

struct ValueOption {
    std::string_view name;
    uint32_t max;
    std::string_view what;  // for the error line: "--delay takes <what> ..."
    void (*apply)(SimOptions&, uint32_t);
};

constexpr ValueOption kValueOptions[] = {
    {"--maker", 255, "a maker id, 0 to 255 (0x06 Arduino, 0x30 Microchip)",
     [](SimOptions& o, uint32_t v) { o.board.maker_id = static_cast<uint8_t>(v); }},
    {"--board", 255, "a board id, 0 to 255",
     [](SimOptions& o, uint32_t v) { o.board.board_id = static_cast<uint8_t>(v); }},
    {"--delay", kMaxMilliseconds, "milliseconds, 0 to 60000",
     [](SimOptions& o, uint32_t v) { o.board.reply_delay_ms = v; }},
    {"--silent-every", kMaxCount, "a count of requests",
     [](SimOptions& o, uint32_t v) { o.board.faults.silent_every = v; }},
    {"--split-gap", kMaxMilliseconds, "milliseconds, 0 to 60000",
     [](SimOptions& o, uint32_t v) { o.board.faults.split_gap_ms = v; }},
    {"--garbage", kMaxGarbageBytes, "a count of bytes, 0 to 65536",
     [](SimOptions& o, uint32_t v) { o.board.faults.garbage_bytes = v; }},
    {"--hangup-after", kMaxCount, "a count of requests",
     [](SimOptions& o, uint32_t v) { o.board.faults.hangup_after = v; }},
    {"--alarm", 255, "an alarm word, 0 to 255",
     [](SimOptions& o, uint32_t v) { o.board.alarm_word = static_cast<uint8_t>(v); }},
    {"--fault", 255, "a fault word, 0 to 255",
     [](SimOptions& o, uint32_t v) { o.board.fault_word = static_cast<uint8_t>(v); }},
};

struct FlagOption {
    const char* name;
    void (*apply)(SimOptions&);
};

constexpr FlagOption kFlagOptions[] = {
    {"--pic",
     [](SimOptions& o) {
         o.board.maker_id = MAKER_MICROCHIP;
         o.board.board_id = BOARD_PIC16F628;
     }},
    {"--pace", [](SimOptions& o) { o.board.pace = true; }},
    {"--wrong-echo", [](SimOptions& o) { o.board.faults.wrong_echo = true; }},
    {"--wrong-length", [](SimOptions& o) { o.board.faults.wrong_length = true; }},
    {"--log", [](SimOptions& o) { o.board.log = true; }},
    {"--no-stdin", [](SimOptions& o) { o.watch_stdin = false; }},
    {"-h,--help", [](SimOptions& o) { o.help = true; }},
};

ParsedOptions failure(std::string text) {
    ParsedOptions result;
    result.error = std::move(text) + " (see --help)";
    return result;
}

// CLI11's words for a parse error, in ours: a missing value starts with
// the option's name and a colon, a flag given a value with its name
// (without dashes) and " was given".
std::string parse_error_text(const std::string& what) {
    if (what.starts_with("--link:")) {
        return "--link needs a path";
    }
    for (const ValueOption& option : kValueOptions) {
        if (what.starts_with(std::string(option.name) + ":")) {
            return std::string(option.name) + " needs " + std::string(option.what);
        }
    }
    if (const size_t given = what.find(" was given "); given != std::string::npos) {
        return "--" + what.substr(0, given) + " takes no value";
    }
    return what;
}

}  // namespace

ParsedOptions parse_sim_options(const std::vector<std::string>& args) {
    ParsedOptions result;
    CLI::App app;
    app.set_help_flag();  // ours, with our own usage text
    app.allow_extras();   // unknown options and arguments are told apart below
    std::vector<const CLI::Option*> flags;
    for (const FlagOption& flag : kFlagOptions) {
        // No variable: applied below, in the order given.
        flags.push_back(app.add_flag(flag.name)->disable_flag_override());
    }
    // Taken as text, checked and bounded below; the last of a repeated option wins.
    std::string values[std::size(kValueOptions)];
    std::vector<const CLI::Option*> value_options;
    for (size_t i = 0; i < std::size(kValueOptions); ++i) {
        value_options.push_back(app.add_option(std::string(kValueOptions[i].name), values[i])
                                    ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast));
    }
    std::string link_path;
    const CLI::Option* link =
        app.add_option("--link", link_path)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        return failure(parse_error_text(e.what()));
    } catch (const std::exception& e) {
        return failure(e.what());
    }
    bool after_dashes = false;
    for (const std::string& extra : app.remaining()) {
        if (extra == "--" && !after_dashes) {
            after_dashes = true;
        } else {
            return failure(!after_dashes && extra.starts_with("-")
                               ? "unknown option '" + extra + "'"
                               : "unexpected argument '" + extra + "'");
        }
    }
    // In the order given, so that a later option wins over an earlier one
    // (--pic over --maker before it). A repeated value option has its last
    // value at each of its places.
    for (const CLI::Option* given : app.parse_order()) {
        if (const auto flag = std::find(flags.begin(), flags.end(), given); flag != flags.end()) {
            kFlagOptions[flag - flags.begin()].apply(result.options);
            continue;
        }
        const auto at = std::find(value_options.begin(), value_options.end(), given);
        if (at == value_options.end()) {
            continue;
        }
        const size_t i = static_cast<size_t>(at - value_options.begin());
        const ValueOption& option = kValueOptions[i];
        const auto value = parse_number(values[i], option.max);
        if (!value) {
            return failure(std::string(option.name) + " takes " + std::string(option.what) +
                           ", not '" + values[i] + "'");
        }
        option.apply(result.options, *value);
    }
    if (link->count() > 0) {
        if (link_path.empty()) {
            return failure("--link needs a path, not ''");
        }
        result.options.link_path = link_path;
    }
    result.ok = true;
    return result;
}

std::string sim_usage() {
    return "Usage: quirn-sim [options]\n"
           "A simulated Quirn board on a pseudo-terminal. Prints the terminal's path, then\n"
           "answers requests there until Ctrl-C, SIGTERM or the end of its standard input.\n"
           "\n"
           "Board:\n"
           "  --maker ID          maker id in the identification reply (default 0x06, Arduino)\n"
           "  --board ID          board id (default 0x09, Uno R4 Minima)\n"
           "  --pic               a Microchip PIC16F628 (maker 0x30, board 0x09)\n"
           "  --alarm BITS        start with this alarm word (0 to 255)\n"
           "  --fault BITS        start with this fault word (0 to 255)\n"
           "Timing:\n"
           "  --pace              send replies at the real 19200-baud rate\n"
           "  --delay MS          wait MS milliseconds before each reply\n"
           "Faults:\n"
           "  --silent-every N    leave every Nth request unanswered (1: all of them)\n"
           "  --wrong-echo        answer with the request code plus one as the echo byte\n"
           "  --wrong-length      answer with one byte more than the reply's layout\n"
           "  --split-gap MS      send each reply in two bursts MS milliseconds apart\n"
           "  --garbage N         append N bytes of 0xA5 to every reply\n"
           "  --hangup-after N    answer N requests, then close the terminal on the next\n"
           "Other:\n"
           "  --link PATH         make PATH a symbolic link to the terminal (an old link\n"
           "                      there is replaced; removed at exit), a stable port name\n"
           "  --log               log every request and reply in hex on standard error\n"
           "  --no-stdin          ignore standard input; stop only on a signal\n"
           "  -h, --help          show this text\n"
           "\n"
           "Numbers are decimal or hexadecimal with 0x. Standard input is watched only when\n"
           "it is a terminal or a pipe; from /dev/null, a file or a closed descriptor the\n"
           "simulator serves until a signal.\n";
}

}  // namespace quirn_sim
