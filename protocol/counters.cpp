#include "protocol/counters.h"

#include <algorithm>

namespace {

struct Counters {
    std::array<std::array<std::atomic<uint64_t>, kTransactionResults.size()>,
               kCommandSources.size()>
        transactions{};
    std::array<std::atomic<uint64_t>, kDurationBuckets.size() + 1> durations{};
    std::atomic<uint64_t> duration_nanoseconds{0};
    std::atomic<uint64_t> reconnects{0};
    // Guards http_answers.
    std::mutex http_mutex;
    std::map<int, uint64_t> http_answers;
};

Counters& program_counters() {
    static Counters counters;
    return counters;
}

size_t index_of(CommandSource source) {
    return static_cast<size_t>(source);
}

size_t index_of(TransactionResult result) {
    return static_cast<size_t>(result);
}

}  // namespace

TransactionResult transaction_result(CommandStatus status) {
    switch (status) {
        case CommandStatus::kOk:
        case CommandStatus::kUndecoded:
        case CommandStatus::kUnknownHardware:
            return TransactionResult::kOk;
        case CommandStatus::kNoReply:
            return TransactionResult::kNoReply;
        case CommandStatus::kBadLength:
        case CommandStatus::kBadEcho:
        case CommandStatus::kUnconfirmed:
            return TransactionResult::kBadReply;
        case CommandStatus::kNotConnected:
        case CommandStatus::kUnknownWord:
        case CommandStatus::kOutOfRange:
        case CommandStatus::kNotImplemented:
            return TransactionResult::kRefused;
    }
    return TransactionResult::kRefused;
}

std::string_view source_name(CommandSource source) {
    switch (source) {
        case CommandSource::kConsole:
            return "console";
        case CommandSource::kApi:
            return "api";
        case CommandSource::kSampler:
            return "sampler";
        case CommandSource::kMqtt:
            return "mqtt";
    }
    return "console";
}

std::string_view result_name(TransactionResult result) {
    switch (result) {
        case TransactionResult::kOk:
            return "ok";
        case TransactionResult::kNoReply:
            return "no_reply";
        case TransactionResult::kBadReply:
            return "bad_reply";
        case TransactionResult::kRefused:
            return "refused";
    }
    return "refused";
}

namespace counters {

void count_command(CommandSource source, CommandStatus status,
                   std::optional<std::chrono::nanoseconds> board_time) {
    Counters& counters = program_counters();
    counters.transactions[index_of(source)][index_of(transaction_result(status))].fetch_add(
        1, std::memory_order_relaxed);
    if (!board_time) {
        return;
    }
    const double seconds = std::chrono::duration<double>(*board_time).count();
    const size_t bucket = static_cast<size_t>(
        std::lower_bound(kDurationBuckets.begin(), kDurationBuckets.end(), seconds) -
        kDurationBuckets.begin());
    counters.durations[bucket].fetch_add(1, std::memory_order_relaxed);
    counters.duration_nanoseconds.fetch_add(static_cast<uint64_t>(board_time->count()),
                                            std::memory_order_relaxed);
}

void count_reconnect() {
    program_counters().reconnects.fetch_add(1, std::memory_order_relaxed);
}

void count_http_answer(int status) {
    Counters& counters = program_counters();
    std::lock_guard lock(counters.http_mutex);
    ++counters.http_answers[status];
}

CounterSnapshot snapshot() {
    Counters& counters = program_counters();
    CounterSnapshot reading;
    for (size_t source = 0; source < kCommandSources.size(); ++source) {
        for (size_t result = 0; result < kTransactionResults.size(); ++result) {
            reading.transactions[source][result] = counters.transactions[source][result].load();
        }
    }
    for (size_t bucket = 0; bucket < reading.durations.size(); ++bucket) {
        reading.durations[bucket] = counters.durations[bucket].load();
    }
    reading.duration_seconds = static_cast<double>(counters.duration_nanoseconds.load()) / 1e9;
    reading.reconnects = counters.reconnects.load();
    std::lock_guard lock(counters.http_mutex);
    reading.http_answers = counters.http_answers;
    return reading;
}

void reset() {
    Counters& counters = program_counters();
    for (auto& by_source : counters.transactions) {
        for (auto& count : by_source) {
            count.store(0);
        }
    }
    for (auto& count : counters.durations) {
        count.store(0);
    }
    counters.duration_nanoseconds.store(0);
    counters.reconnects.store(0);
    std::lock_guard lock(counters.http_mutex);
    counters.http_answers.clear();
}

}  // namespace counters
