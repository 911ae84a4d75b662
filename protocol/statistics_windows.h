#pragma once
// The board's statistics request reads the run-time statistics and resets
// them, so whoever reads them takes them from every other reader. The host
// is therefore their one reader: every statistics reply that passes through
// the command layer is recorded here, and each reader is given the window
// since its own last read, merged over every board read in it:
//
//   - load, kernel and user stack minimum: the minimum of the minima;
//   - the maxima: the maximum of the maxima;
//   - the load average: the average of the averages, each weighted by the
//     time its read covers (from the board read before it);
//   - period and stack sizes: those of the newest read.
//
// Named readers (the console, the sampler, the fleet metrics, the MQTT
// bridge) keep their window here. Other readers (API clients) hold a
// cursor instead: the number of the newest read their last answer covered,
// which they pass back; the reads after it are kept for a while
// (kKeptReads), and a window that reaches further back than that says it
// is incomplete.
//
// A new connection starts every window afresh: another board's statistics
// are never merged with this one's. Any thread.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include "protocol/command_outcome.h"

enum class StatisticsReader { kConsole, kSampler, kFleet, kMqtt };

struct StatisticsWindow {
    Statistics statistics;  // merged over the window's reads
    uint32_t reads = 0;     // the board reads merged
    double seconds = 0;     // the time they cover
    uint64_t cursor = 0;    // the number of the newest read merged
    // False when reads the window should hold were no longer kept (or
    // belonged to an earlier connection).
    bool complete = true;
};

class StatisticsLedger {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr size_t kKeptReads = 4096;

    // Every command of connection number passes here first: a new number
    // starts every window afresh, the first read's time counted from now.
    void connection(uint64_t number, TimePoint now);
    // One board read of the statistics, at the given time; returns its
    // number (from 1, growing across connections).
    uint64_t record(const Statistics& statistics, TimePoint at);
    // The window since the reader's last take, which starts a new one;
    // nothing when it holds no read.
    std::optional<StatisticsWindow> take(StatisticsReader reader);
    // The reads after cursor, up to the newest; nothing when none.
    std::optional<StatisticsWindow> since(uint64_t cursor) const;
    // The cursor of the sampler's last take in this connection; nothing
    // when it has taken none.
    std::optional<uint64_t> sampler_cursor() const;
    // Forgets everything (tests).
    void reset();

  private:
    struct Read {
        uint64_t number;
        Statistics statistics;
        std::chrono::nanoseconds covers;
    };
    struct Merged {
        Statistics statistics;
        uint32_t reads = 0;
        std::chrono::nanoseconds covers{0};
        double weighted_load = 0;  // load_avg times nanoseconds covered
        uint64_t cursor = 0;
        void add(const Read& read);
        StatisticsWindow window(bool complete) const;
    };

    // Guards everything below.
    mutable std::mutex mutex_;
    uint64_t connection_ = 0;
    uint64_t next_ = 1;
    // The highest read number no longer kept: trimmed, or of an earlier connection.
    uint64_t forgotten_through_ = 0;
    TimePoint last_read_{};
    std::deque<Read> reads_;
    std::map<StatisticsReader, Merged> readers_;
    std::optional<uint64_t> sampler_cursor_;
};

// The program's one ledger.
StatisticsLedger& statistics_ledger();
