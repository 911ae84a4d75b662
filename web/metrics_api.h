#pragma once
// GET /metrics: the board, its link and the program's counters in the
// Prometheus text format (0.0.4), behind the same checks as the API.
// Answered at once, on the loop: nothing is sent to the board for it. The
// status is the shared sampler's newest read (a scrape keeps the sampler
// reading, event_stream.h), the load and stack ratios the statistics
// window since the last scrape (StatisticsReader::kFleet; when no board
// read fell in it, the window before it is told again), the counts those
// of protocol/counters.h.
//
//   tessaro_board_connected                      1 while the board is usable
//   tessaro_board_info{port,maker,board}         1
//   tessaro_board_status{flag}                   0 or 1, each bit of the
//                                                status, alarm and fault words
//   tessaro_board_load_ratio{stat}               min, max, average (0 to 1)
//   tessaro_board_stack_ratio{stack,stat}        kernel or user; min, max
//   tessaro_transactions_total{source,result}    board commands
//   tessaro_transaction_duration_seconds         histogram of their board time
//   tessaro_reconnects_total                     returns of a board gone away
//   tessaro_http_requests_total{code}            the web server's answers
//   process_*                                    memory, descriptors, CPU, start
//
// Status and ratio series are left out until the sampler has read them in
// this connection, and while no board is connected; the status series also
// after a status read that failed (the counts say how).

#include <memory>
#include <optional>
#include <string>

#include "base/session.h"
#include "protocol/command_outcome.h"
#include "protocol/counters.h"
#include "web/web_server.h"

class EventHub;

inline constexpr const char* kMetricsPath = "/metrics";
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Everything one scrape tells, read at one moment.
struct MetricsReading {
    SessionState link;
    std::optional<BoardWords> status;
    std::optional<Statistics> statistics;
    CounterSnapshot counters;
    bool process = true;  // add the process_ metrics where the system has them
};

// The exposition text of a reading.
std::string metrics_text(const MetricsReading& reading);

// "a\"b" for a"b: a label value as the text format writes it (backslash,
// double quote and newline escaped).
std::string label_value(std::string_view text);

// Serves GET /metrics from hub's sampler.
void add_metrics_route(WebServer& server, std::shared_ptr<EventHub> hub);
