#pragma once
// The board's one-byte words (scheduler, status, clear, statistics): what
// each sends, how long its reply is and how that reply is checked and told.
// The command layer sends from this table and the decoder reads replies by
// it; the GPIO and information words have their frames in the transcoder.

#include <array>
#include <cstdint>
#include <string_view>

#include "protocol/quirn_transcoder.h"

struct BoardWord {
    enum class Report { kStatus, kStatistics, kConfirmation };

    std::string_view short_word;
    std::string_view long_word;  // also the word a transmission error names
    std::string_view announcement;
    uint8_t first_code;
    uint8_t second_code;  // "run" and "stop" send two requests; 0 for the others
    uint32_t reply_length;
    // Status and statistics check the echo before the length, the others after.
    bool echo_checked_first;
    std::string_view length_error;
    Report report;
    std::string_view ok_text;  // kConfirmation
};

inline constexpr std::string_view kLengthError = "Error response length: ";
inline constexpr std::string_view kStatisticsLengthError = "Error status response length: ";

inline constexpr std::array<BoardWord, 9> kBoardWords{{
    {"sta", "status", "quirn: Status", REQ_STATUS, 0, kStatusReplyLength, true, kLengthError,
     BoardWord::Report::kStatus, ""},
    {"rust", "runust", "quirn: Run U-ST User scheduled tasks", REQ_RUN_UST, 0, kEchoReplyLength,
     false, kLengthError, BoardWord::Report::kConfirmation, "Server operation ok: runust"},
    {"sust", "stopust", "quirn: Stop U-ST User scheduled tasks", REQ_STOP_UST, 0, kEchoReplyLength,
     false, kLengthError, BoardWord::Report::kConfirmation, "Server operation ok: stopust"},
    {"clr", "clear", "quirn: Clear Fault and Warning words", REQ_CLEAR, 0, kEchoReplyLength, false,
     kLengthError, BoardWord::Report::kConfirmation,
     "Server operation ok: clear fault and alarm words"},
    {"sys", "systat", "quirn: Server systat readback and reset", REQ_SYSTAT, 0, kSystatReplyLength,
     true, kStatisticsLengthError, BoardWord::Report::kStatistics, ""},
    {"rkst", "runkst", "quirn: Run K-ST Kernel scheduled tasks", REQ_RUN_KST, 0, kEchoReplyLength,
     false, kLengthError, BoardWord::Report::kConfirmation, "Server operation ok: runkst"},
    {"skst", "stopkst", "quirn: Stop K-ST Kernel scheduled tasks", REQ_STOP_KST, 0,
     kEchoReplyLength, false, kLengthError, BoardWord::Report::kConfirmation,
     "Server operation ok: stopkst"},
    // Both requests go out first, whatever the first brought back, then the
    // announcement; success needs both confirmed. The reply told is the
    // second's, and either code is taken as its echo.
    {"run", "run", "quirn: Run U-ST User + Kernel scheduled tasks", REQ_RUN_UST, REQ_RUN_KST,
     kEchoReplyLength, false, kLengthError, BoardWord::Report::kConfirmation,
     "Server operation ok: run"},
    {"stop", "stop", "quirn: Stop U-ST User + Kernel scheduled tasks", REQ_STOP_UST, REQ_STOP_KST,
     kEchoReplyLength, false, kLengthError, BoardWord::Report::kConfirmation,
     "Server operation ok: stop"},
}};

// The entry whose short or long word the line is; nothing otherwise.
inline const BoardWord* find_board_word(std::string_view line) {
    for (const BoardWord& word : kBoardWords) {
        if (line == word.short_word || line == word.long_word) {
            return &word;
        }
    }
    return nullptr;
}
