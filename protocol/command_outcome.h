#pragma once
// What became of one board word: a status, and on success the board's reply
// decoded into values. The command layer and the decoder fill it in; the
// console prints it as text, --json writes it as an object, and the web
// handlers answer from it, all from the same value.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "serial/command_reply.h"

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

// The status, alarm and fault words of the status reply.
struct BoardWords {
    uint8_t status = 0;
    uint8_t alarm = 0;
    uint8_t fault = 0;
};

// The statistics reply, byte for byte.
struct Statistics {
    uint8_t load_min = 0, load_max = 0, load_avg = 0;
    uint8_t period_low = 0, period_high = 0;
    uint8_t kernel_stack_min = 0, kernel_stack_max = 0;
    uint8_t user_stack_min = 0, user_stack_max = 0;
    uint8_t kernel_stack_size = 0, user_stack_size = 0;
    // High minus low, as an unsigned 32-bit difference (it wraps).
    uint32_t period() const { return uint32_t{period_high} - uint32_t{period_low}; }
};

struct Identification {
    uint8_t maker_id = 0;
    uint8_t board_id = 0;
    std::string maker;  // empty for an id the host does not know
    std::string board;
};

struct CommandOutcome {
    std::string word;  // the line as given to the command layer
    CommandStatus status = CommandStatus::kOk;
    CommandReply reply;  // the bytes the board sent, as read

    // kBadLength: the reply's length and the one expected; kBadEcho: the
    // byte the request wanted back and the one that came.
    size_t length = 0;
    size_t expected_length = 0;
    uint8_t expected = 0;
    uint8_t received = 0;
    // kUnconfirmed: "user", "kernel" or "both".
    std::string unconfirmed;

    // Decoded on success, each for the words that carry it.
    std::optional<uint32_t> pin;
    std::optional<uint32_t> value;  // read from the board, or written to it
    std::optional<BoardWords> words;
    std::optional<Statistics> statistics;
    std::optional<Identification> identification;

    bool ok() const { return status == CommandStatus::kOk; }
};

// The stable name of a status for scripts: "ok", "not_connected",
// "unknown_word", "out_of_range", "not_implemented", "no_reply",
// "bad_length", "bad_echo", "unconfirmed", "undecoded", "unknown_hardware".
std::string_view status_name(CommandStatus status);
