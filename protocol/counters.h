#pragma once
// The program's counters, in one place: every board command by where it
// came from and how it ended, the time the board took for it, the board's
// returns after it went away, and the web server's answers by status.
// GET /metrics reads them; they count from the program's start and only
// grow (reset() is for tests). Any thread: the counts are atomics, the
// answers' map has a lock of its own.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include "protocol/command_table.h"

// Where a board command came from. The console counts words typed, piped,
// given with -c or run for --json alike, and the identification at connect.
enum class CommandSource { kConsole, kApi, kSampler, kMqtt };
inline constexpr std::array kCommandSources{CommandSource::kConsole, CommandSource::kApi,
                                            CommandSource::kSampler, CommandSource::kMqtt};

// How a command ended, as the metrics tell it:
//   ok         the board answered as asked (also a reply the host does not
//              interpret further, and an identification naming a maker the
//              host does not know: the board did answer);
//   no_reply   the board stayed silent;
//   bad_reply  a reply of the wrong length or echo, or a run or stop half
//              the board did not confirm;
//   refused    nothing was sent: not connected, an unknown word, a value
//              out of range, a word the firmware lacks.
enum class TransactionResult { kOk, kNoReply, kBadReply, kRefused };
inline constexpr std::array kTransactionResults{TransactionResult::kOk, TransactionResult::kNoReply,
                                                TransactionResult::kBadReply,
                                                TransactionResult::kRefused};

TransactionResult transaction_result(CommandStatus status);
std::string_view source_name(CommandSource source);
std::string_view result_name(TransactionResult result);

// The upper bounds, in seconds, of the board time histogram's buckets (the
// last, +Inf, is implied): fine from 1 to 10 ms, where a board answers.
inline constexpr std::array kDurationBuckets{0.001, 0.002, 0.003, 0.004, 0.005, 0.0075, 0.01,
                                             0.025, 0.05,  0.1,   0.25,  0.5,   1.0,    2.5};

// One reading of every counter.
struct CounterSnapshot {
    // [source][result]
    std::array<std::array<uint64_t, kTransactionResults.size()>, kCommandSources.size()>
        transactions{};
    // Commands that reached the board, by the first bucket their time fits
    // (the last entry: longer than every bound).
    std::array<uint64_t, kDurationBuckets.size() + 1> durations{};
    double duration_seconds = 0;  // their sum
    uint64_t reconnects = 0;
    std::map<int, uint64_t> http_answers;  // by status code
};

namespace counters {

// One command ended; board_time is the time it held the board, nothing
// when it never reached it.
void count_command(CommandSource source, CommandStatus status,
                   std::optional<std::chrono::nanoseconds> board_time);
// A board that went away was opened again.
void count_reconnect();
// The web server answered with this status.
void count_http_answer(int status);

CounterSnapshot snapshot();
void reset();

}  // namespace counters
