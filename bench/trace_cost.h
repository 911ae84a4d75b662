#pragma once
// What the wire trace costs: the same transactions with no tracing, with
// the in-memory ring only, and with the ring and a trace file, measured in
// turns so that a change in the machine's load falls on all three alike.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "serial/wire_trace.h"

struct TraceSetting {
    const char* name;
    bool recording;
    bool to_file;
    double goal_percent;  // the most it may cost of the rate without tracing
};
inline constexpr TraceSetting kTraceSettings[] = {
    {"no tracing", false, false, 0},
    {"ring only", true, false, 2},
    {"ring and file", true, true, 5},
};

// batch(n) makes n transactions. Prints each setting's rate and its cost
// against no tracing; returns false when the trace file cannot be written.
template <typename Batch>
bool print_trace_cost(Batch batch, int per_turn, int turns) {
    char path[] = "/tmp/tessaro_bench_traceXXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        std::perror("mkstemp");
        return false;
    }
    ::close(fd);
    constexpr size_t kSettings = std::size(kTraceSettings);
    double seconds[kSettings] = {};
    for (int turn = 0; turn < turns; ++turn) {
        for (size_t s = 0; s < kSettings; ++s) {
            const TraceSetting& setting = kTraceSettings[s];
            wire_trace::close_file();
            wire_trace::set_recording(setting.recording);
            std::string why;
            if (setting.to_file && !wire_trace::open_file(path, why)) {
                std::fprintf(stderr, "%s: %s\n", path, why.c_str());
                return false;
            }
            const auto start = std::chrono::steady_clock::now();
            batch(per_turn);
            seconds[s] +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    // The rates above move with the machine's load by more than the trace
    // costs; the time to record one event, alone, is steadier. A
    // transaction records two (its request and its reply).
    constexpr int kEvents = 20000;
    double event_us[kSettings] = {};
    for (size_t s = 1; s < kSettings; ++s) {
        wire_trace::close_file();
        wire_trace::set_recording(true);
        std::string why;
        if (kTraceSettings[s].to_file && !wire_trace::open_file(path, why)) {
            return false;
        }
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kEvents; ++i) {
            wire_trace::record(wire_trace::Direction::kReply, {0x40, 0x00, 0x00, 0x00},
                               "ended at known length", 1.25);
        }
        event_us[s] =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count() /
            kEvents;
    }
    wire_trace::close_file();
    wire_trace::set_recording(true);
    ::unlink(path);
    const double base_rate = per_turn * turns / seconds[0];
    for (size_t s = 0; s < kSettings; ++s) {
        const double rate = per_turn * turns / seconds[s];
        std::printf("  %-14s %10.1f transactions/s", kTraceSettings[s].name, rate);
        if (s > 0) {
            std::printf(
                "   cost %5.2f%%; %.2f us an event, %.3f%% of a transaction"
                "  (goal < %.0f%%)",
                100 * (1 - rate / base_rate), event_us[s],
                100 * 2 * event_us[s] / 1000 * base_rate / 1000, kTraceSettings[s].goal_percent);
        }
        std::printf("\n");
    }
    return true;
}
