#include "sim/sim_options.h"

#include <cstdint>
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
    std::string_view name;
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
    {"--help", [](SimOptions& o) { o.help = true; }},
    {"-h", [](SimOptions& o) { o.help = true; }},
};

ParsedOptions failure(std::string text) {
    ParsedOptions result;
    result.error = std::move(text) + " (see --help)";
    return result;
}

}  // namespace

ParsedOptions parse_sim_options(const std::vector<std::string>& args) {
    ParsedOptions result;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        // --name=value is the same as --name value.
        std::optional<std::string_view> inline_value;
        if (const auto equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
            inline_value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        bool known = false;
        if (arg == "--link") {
            if (!inline_value && i + 1 >= args.size()) {
                return failure("--link needs a path");
            }
            const std::string path = inline_value ? std::string(*inline_value) : args[++i];
            if (path.empty()) {
                return failure("--link needs a path, not ''");
            }
            result.options.link_path = path;
            known = true;
        }
        for (const FlagOption& flag : kFlagOptions) {
            if (arg == flag.name) {
                if (inline_value) {
                    return failure(std::string(arg) + " takes no value");
                }
                flag.apply(result.options);
                known = true;
            }
        }
        for (const ValueOption& option : kValueOptions) {
            if (arg != option.name) {
                continue;
            }
            known = true;
            if (!inline_value && i + 1 >= args.size()) {
                return failure(std::string(arg) + " needs " + std::string(option.what));
            }
            const std::string_view text = inline_value ? *inline_value : args[++i];
            const auto value = parse_number(text, option.max);
            if (!value) {
                return failure(std::string(arg) + " takes " + std::string(option.what) + ", not '" +
                               std::string(text) + "'");
            }
            option.apply(result.options, *value);
        }
        if (!known) {
            return failure(arg.starts_with("-") ? "unknown option '" + std::string(args[i]) + "'"
                                                : "unexpected argument '" + args[i] + "'");
        }
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
