#include "protocol/statistics_windows.h"

#include <algorithm>
#include <cmath>

void StatisticsLedger::Merged::add(const Read& read) {
    const Statistics& s = read.statistics;
    Statistics& m = statistics;
    if (reads == 0) {
        m = s;
    } else {
        m.load_min = std::min(m.load_min, s.load_min);
        m.load_max = std::max(m.load_max, s.load_max);
        m.kernel_stack_min = std::min(m.kernel_stack_min, s.kernel_stack_min);
        m.kernel_stack_max = std::max(m.kernel_stack_max, s.kernel_stack_max);
        m.user_stack_min = std::min(m.user_stack_min, s.user_stack_min);
        m.user_stack_max = std::max(m.user_stack_max, s.user_stack_max);
        m.period_low = s.period_low;
        m.period_high = s.period_high;
        m.kernel_stack_size = s.kernel_stack_size;
        m.user_stack_size = s.user_stack_size;
    }
    ++reads;
    // A read that covers no measurable time still counts, as a nanosecond.
    const std::chrono::nanoseconds weight = std::max(read.covers, std::chrono::nanoseconds(1));
    covers += weight;
    weighted_load += static_cast<double>(s.load_avg) * static_cast<double>(weight.count());
    cursor = read.number;
}

StatisticsWindow StatisticsLedger::Merged::window(bool complete) const {
    StatisticsWindow window{statistics, reads, std::chrono::duration<double>(covers).count(),
                            cursor, complete};
    if (reads > 1) {
        const double average = weighted_load / static_cast<double>(covers.count());
        window.statistics.load_avg = static_cast<uint8_t>(std::lround(average));
    }
    return window;
}

void StatisticsLedger::connection(uint64_t number, TimePoint now) {
    std::lock_guard lock(mutex_);
    if (number == connection_) {
        return;
    }
    connection_ = number;
    forgotten_through_ = next_ - 1;
    reads_.clear();
    readers_.clear();
    sampler_cursor_.reset();
    last_read_ = now;
}

uint64_t StatisticsLedger::record(const Statistics& statistics, TimePoint at) {
    std::lock_guard lock(mutex_);
    const Read read{
        next_++, statistics,
        std::max(std::chrono::nanoseconds(0),
                 std::chrono::duration_cast<std::chrono::nanoseconds>(at - last_read_))};
    last_read_ = std::max(last_read_, at);
    for (const StatisticsReader reader : {StatisticsReader::kConsole, StatisticsReader::kSampler,
                                          StatisticsReader::kFleet, StatisticsReader::kMqtt}) {
        readers_[reader].add(read);
    }
    reads_.push_back(read);
    if (reads_.size() > kKeptReads) {
        forgotten_through_ = reads_.front().number;
        reads_.pop_front();
    }
    return read.number;
}

std::optional<StatisticsWindow> StatisticsLedger::take(StatisticsReader reader) {
    std::lock_guard lock(mutex_);
    Merged& merged = readers_[reader];
    if (merged.reads == 0) {
        return std::nullopt;
    }
    const StatisticsWindow window = merged.window(true);
    merged = {};
    if (reader == StatisticsReader::kSampler) {
        sampler_cursor_ = window.cursor;
    }
    return window;
}

std::optional<StatisticsWindow> StatisticsLedger::since(uint64_t cursor) const {
    std::lock_guard lock(mutex_);
    Merged merged;
    for (const Read& read : reads_) {
        if (read.number > cursor) {
            merged.add(read);
        }
    }
    if (merged.reads == 0) {
        return std::nullopt;
    }
    return merged.window(cursor >= forgotten_through_);
}

std::optional<uint64_t> StatisticsLedger::sampler_cursor() const {
    std::lock_guard lock(mutex_);
    return sampler_cursor_;
}

void StatisticsLedger::reset() {
    std::lock_guard lock(mutex_);
    connection_ = 0;
    forgotten_through_ = next_ - 1;
    reads_.clear();
    readers_.clear();
    sampler_cursor_.reset();
}

StatisticsLedger& statistics_ledger() {
    static StatisticsLedger the_ledger;
    return the_ledger;
}
