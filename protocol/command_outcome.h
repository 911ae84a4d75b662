#pragma once
// What became of one board command: a status, what the command layer did
// on the way (in order), and on success the board's reply decoded into
// values. Nothing below the console prints: the console tells an outcome
// as text, --json writes it as an object, and the web handlers answer from
// it, all from the same value.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/command_table.h"
#include "serial/class_serial.h"
#include "serial/command_reply.h"

// Where in the program a fault was found, for the console's error trace.
struct Place {
    const char* file = "";
    int line = 0;
};

// One step of the command layer worth telling, in the order it happened.
struct Note {
    enum class Kind {
        kNotConnected,  // refused before anything else: no session open
        kRefused,       // the line's refusal (BoardCommand::refusal)
        kAnnounced,     // a scheduler word's announcement
        kByteSent,      // a one-byte request's transaction ended
        kFrameSent,     // a frame's transaction ended (the prompt is renewed)
        kUnconfirmed,   // one half of run or stop went unconfirmed
        kNotDecoded,    // nothing came back to decode
    };
    Kind kind;
    Place place{};  // kRefused (the empty line) and kNotDecoded
    // kUnconfirmed: which half, and what came back instead of the echo.
    bool kernel_half = false;
    size_t length = 0;
    uint8_t expected = 0;
    uint8_t received = 0;
    // kByteSent and kFrameSent: what the transaction says besides its reply.
    size_t refused_size = 0;  // a frame too long to send; nothing went out
    uint32_t discarded = 0;   // stale bytes thrown away around it
    std::string port{};       // the port they came from
    bool write_failed = false;
    bool read_failed = false;
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

// numerator / denominator * 100 in single precision, as the board's own
// tools show it; a zero denominator gives inf or nan.
float percent_of(uint32_t numerator, uint32_t denominator);

struct Identification {
    uint8_t maker_id = 0;
    uint8_t board_id = 0;
    std::string maker;  // empty for an id the host does not know
    std::string board;
};

struct CommandOutcome {
    std::string word;  // the line as given to the command layer
    CommandStatus status = CommandStatus::kOk;
    CommandReply reply;    // the bytes the board sent, as read
    BoardCommand command;  // the line, parsed once
    std::vector<Note> notes;

    // kBadLength: the reply's length and the one expected; kBadEcho: the
    // byte the request wanted back and the one that came.
    size_t length = 0;
    size_t expected_length = 0;
    uint8_t expected = 0;
    uint8_t received = 0;
    // kUnconfirmed: "user", "kernel" or "both".
    std::string unconfirmed;
    // A GPIO operation without a decoder: where the decoder found it.
    Place unhandled_at{};

    // Decoded on success, each for the words that carry it.
    std::optional<uint32_t> pin;
    std::optional<uint32_t> value;  // read from the board, or written to it
    std::optional<BoardWords> words;
    std::optional<Statistics> statistics;
    // The number the statistics ledger gave this read (statistics_windows.h);
    // statistics holds the board's reply until a reader takes its window.
    uint64_t statistics_read = 0;
    // Also for kUnknownHardware: the caller applies it (quirn_server().
    // apply_identification), and an unknown maker ends the connection.
    std::optional<Identification> identification;

    bool ok() const { return status == CommandStatus::kOk; }
};

// The note of a transaction: what it says besides its reply.
Note transaction_note(const Transaction& transaction, Note::Kind kind);

// The stable name of a status for scripts: "ok", "not_connected",
// "unknown_word", "out_of_range", "not_implemented", "no_reply",
// "bad_length", "bad_echo", "unconfirmed", "undecoded", "unknown_hardware".
std::string_view status_name(CommandStatus status);
