#pragma once
// Every board command the host knows, in one table keyed by request code:
// the word(s) that make it, its frame, the length and layout of its reply,
// how the reply echoes the request, which decoder reads it, and its help
// line. A line is parsed once against it (parse_command) into a typed
// command; the command layer sends from that, the decoder reads the reply
// by it, and completion takes its words from here.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/quirn_transcoder.h"

// What became of one command.
enum class CommandStatus {
    kOk,
    kNotConnected,     // refused: no session open (or it closed while waiting)
    kUnknownWord,      // no board word, or one missing its pin or value
    kOutOfRange,       // a pin or value past what a parameter byte carries
    kNotImplemented,   // a word the firmware does not have; nothing sent
    kNoReply,          // the board stayed silent
    kBadLength,        // the reply's length is not the layout's
    kBadEcho,          // the reply does not echo its request
    kUnconfirmed,      // run or stop: a half the board did not confirm
    kUndecoded,        // a reply the host does not interpret
    kUnknownHardware,  // the board names a maker the host does not know
};

enum class Family {
    kNone,       // no family: nothing is sent
    kScheduler,  // the one-byte words, "run" and "stop" among them
    kGpio,       // "g" pin subcommand
    kInfo,       // "i..."
    kPower,      // "c..."
    kMemory,     // "m..."
};

// How a reply shows which request it answers.
enum class EchoRule {
    kUnchecked,         // nothing is checked
    kCodeBeforeLength,  // byte 0 is the code; checked before the length
    kCodeAfterLength,   // byte 0 is the code; checked after the length
    kCodeAndPin,        // bytes 0 and 1 are the frame's code and pin byte
};

enum class Decoder {
    kUndecoded,       // the host does not interpret the reply
    kConfirmation,    // an echo, nothing more
    kStatus,          // the status, alarm and fault words
    kStatistics,      // the run-time statistics
    kIdentification,  // maker and board ids
    kPinMode,         // a pin configured
    kDigitalRead,     // byte 2
    kAnalogRead,      // bytes 2 and 3, low first
    kDigitalWrite,    // the value written, as typed
    kPwmWrite,        // the same, for a PWM write
    kUnknownGpio,     // a GPIO operation without a decoder: traced
};

struct CommandSpec {
    uint8_t code;  // 0: a word the firmware has no request for (nothing is sent)
    Family family;
    std::string_view word;       // whole word; for GPIO, what follows the pin
    std::string_view long_word;  // the same word spelt out; the name in a transmission error
    uint32_t reply_length;       // 0: not interpreted
    EchoRule echo;
    Decoder decoder;
    // Scheduler words: the announcement; pin modes: what the pin became.
    std::string_view text;
    std::string_view confirmation;  // kConfirmation: the line told on success
    std::string_view help;
};

// "run" and "stop": two one-byte requests, user tasks first, then kernel.
struct CommandPair {
    std::string_view word;
    std::string_view action;  // "Run" or "Stop", as the unconfirmed lines say it
    uint8_t user_code;
    uint8_t kernel_code;
    std::string_view announcement;
    std::string_view confirmation;
    std::string_view help;
};

// The table keyed by request code, and the words with no request.
std::span<const CommandSpec> command_specs();
const CommandSpec* spec_for_code(uint8_t code);
std::span<const CommandPair> command_pairs();

// Why nothing is sent for a line, as the console says it before anything else.
enum class Refusal {
    kNone,             // nothing said
    kNoString,         // an empty line: traced
    kNopLine,          // "Nop: " and the line (a GPIO line not beginning with "g")
    kNop,              // "Nop"
    kNotImplemented,   // "Not implemented"
    kPinOutOfRange,    // "Pin number out of range: N (0 to 63)"
    kValueOutOfRange,  // "Value out of range: N (0 to 63)"
};

// One line parsed once: what to send, what to say first, what the reply
// should look like and who reads it.
struct BoardCommand {
    std::string line;
    Family family = Family::kNone;
    const CommandSpec* spec = nullptr;  // nullptr: no word of the table
    const CommandPair* pair = nullptr;  // "run" and "stop"
    std::vector<uint8_t> frame;         // empty: nothing is sent
    Refusal refusal = Refusal::kNone;
    std::string refused_number;  // out of range: the digits, without leading zeros
    // Why nothing is sent when the frame is empty: kUnknownWord,
    // kOutOfRange or kNotImplemented.
    CommandStatus unsent = CommandStatus::kUnknownWord;
    // GPIO lines: the pin and the value as typed (the console tells them
    // so, leading zeros included), as numbers when they fit in 32 bits, and
    // what follows the pin.
    std::string pin_text;
    std::string value_text;
    std::optional<uint32_t> pin;
    std::optional<uint32_t> value;
    std::string operation;
    uint32_t reply_length = 0;  // 0: none known
    EchoRule echo = EchoRule::kUnchecked;
    Decoder decoder = Decoder::kUndecoded;
    // The request's code, or the two of a pair OR-ed, as a transmission
    // error names it; and the word it names.
    uint8_t echo_code = 0;
    std::string echo_word;
};

// Pure. Also for lines the transcoder sends nothing for, whose replies a
// caller may still hand the decoder ("g8ca", "g3wp100").
BoardCommand parse_command(std::string line);

// The largest pin or value a parameter byte carries.
inline constexpr uint32_t kLargestParameter = 0x3F;

// The number the digits spell when it fits in 32 bits.
std::optional<uint32_t> decimal(std::string_view digits);

// For completion: every word taken whole (scheduler words short and long,
// "run", "stop", then the information, power and memory words), and what
// may follow "g" and a pin ("wd" takes a value).
std::vector<std::string> server_words();
std::vector<std::string> gpio_subcommands();

// A bit of a board state word: its number, its name in JSON, and the
// console's lines when it is set and clear.
struct BitField {
    int bit;
    std::string_view name;
    std::string_view set;
    std::string_view clear;
};
std::span<const BitField> status_bits();
std::span<const BitField> alarm_bits();
std::span<const BitField> fault_bits();
