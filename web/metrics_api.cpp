#include "web/metrics_api.h"

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "protocol/command_table.h"
#include "protocol/statistics_windows.h"
#include "web/event_stream.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

// When this program started, for process_start_time_seconds: the metrics
// library is linked into the program, so this is read as it starts.
const double kStartSeconds =
    std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

// Shortest text that reads back as the same double; NaN and the infinities
// as the format spells them.
std::string number(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    std::array<char, 32> text{};
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(text.data(), text.size(), "%.*g", precision, value);
        if (std::strtod(text.data(), nullptr) == value) {
            break;
        }
    }
    return text.data();
}

double ratio(uint32_t numerator, uint32_t denominator) {
    return denominator == 0 ? std::nan("") : double(numerator) / double(denominator);
}

class Exposition {
  public:
    void family(std::string_view name, std::string_view type, std::string_view help) {
        text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
        text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }
    // labels: name="value" pairs, values already escaped.
    void sample(std::string_view name, const std::string& labels, const std::string& value) {
        text_.append(name);
        if (!labels.empty()) {
            text_.append("{").append(labels).append("}");
        }
        text_.append(" ").append(value).append("\n");
    }
    std::string take() { return std::move(text_); }

  private:
    std::string text_;
};

std::string label(std::string_view name, std::string_view value) {
    return std::string(name) + "=\"" + label_value(value) + "\"";
}

void board_metrics(Exposition& out, const MetricsReading& reading) {
    const SessionState& link = reading.link;
    out.family("tessaro_board_connected", "gauge", "Whether the board is connected and usable.");
    out.sample("tessaro_board_connected", "", link.connected() ? "1" : "0");
    out.family("tessaro_board_info", "gauge", "The port and the identified board.");
    out.sample("tessaro_board_info",
               label("port", link.port) + "," + label("maker", link.identified ? link.maker : "") +
                   "," + label("board", link.identified ? link.board : ""),
               "1");
    if (reading.status) {
        out.family("tessaro_board_status", "gauge",
                   "Each flag of the board's status, alarm and fault words.");
        const std::pair<std::span<const BitField>, uint8_t> words[] = {
            {status_bits(), reading.status->status},
            {alarm_bits(), reading.status->alarm},
            {fault_bits(), reading.status->fault}};
        for (const auto& [bits, word] : words) {
            for (const BitField& bit : bits) {
                out.sample("tessaro_board_status", label("flag", bit.name),
                           ((word >> bit.bit) & 1U) != 0 ? "1" : "0");
            }
        }
    }
    if (reading.statistics) {
        const Statistics& s = *reading.statistics;
        out.family("tessaro_board_load_ratio", "gauge",
                   "The scheduler's load over the window since the last scrape, 0 to 1.");
        for (const auto& [stat, value] :
             {std::pair{"min", s.load_min}, {"max", s.load_max}, {"average", s.load_avg}}) {
            out.sample("tessaro_board_load_ratio", label("stat", stat),
                       number(ratio(value, s.period())));
        }
        out.family("tessaro_board_stack_ratio", "gauge",
                   "Stack use over the window since the last scrape, 0 to 1.");
        const std::tuple<const char*, const char*, uint8_t, uint8_t> stacks[] = {
            {"kernel", "min", s.kernel_stack_min, s.kernel_stack_size},
            {"kernel", "max", s.kernel_stack_max, s.kernel_stack_size},
            {"user", "min", s.user_stack_min, s.user_stack_size},
            {"user", "max", s.user_stack_max, s.user_stack_size}};
        for (const auto& [stack, stat, used, size] : stacks) {
            out.sample("tessaro_board_stack_ratio",
                       label("stack", stack) + "," + label("stat", stat),
                       number(ratio(used, size)));
        }
    }
}

void counter_metrics(Exposition& out, const CounterSnapshot& counters) {
    out.family("tessaro_transactions_total", "counter", "Board commands by source and result.");
    for (size_t source = 0; source < kCommandSources.size(); ++source) {
        for (size_t result = 0; result < kTransactionResults.size(); ++result) {
            out.sample("tessaro_transactions_total",
                       label("source", source_name(kCommandSources[source])) + "," +
                           label("result", result_name(kTransactionResults[result])),
                       std::to_string(counters.transactions[source][result]));
        }
    }
    const std::string_view histogram = "tessaro_transaction_duration_seconds";
    out.family(histogram, "histogram", "The time board commands held the board.");
    uint64_t cumulative = 0;
    for (size_t bucket = 0; bucket < counters.durations.size(); ++bucket) {
        cumulative += counters.durations[bucket];
        const std::string bound =
            bucket < kDurationBuckets.size() ? number(kDurationBuckets[bucket]) : "+Inf";
        out.sample("tessaro_transaction_duration_seconds_bucket", label("le", bound),
                   std::to_string(cumulative));
    }
    out.sample("tessaro_transaction_duration_seconds_sum", "", number(counters.duration_seconds));
    out.sample("tessaro_transaction_duration_seconds_count", "", std::to_string(cumulative));
    out.family("tessaro_reconnects_total", "counter",
               "Times the board came back after its port went away.");
    out.sample("tessaro_reconnects_total", "", std::to_string(counters.reconnects));
    out.family("tessaro_http_requests_total", "counter", "Web server answers by status code.");
    for (const auto& [code, count] : counters.http_answers) {
        out.sample("tessaro_http_requests_total", label("code", std::to_string(code)),
                   std::to_string(count));
    }
}

void process_metrics(Exposition& out) {
    out.family("process_start_time_seconds", "gauge", "Start time of the process since the epoch.");
    out.sample("process_start_time_seconds", "", number(kStartSeconds));
#if defined(__linux__)
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        const auto seconds = [](const timeval& time) {
            return double(time.tv_sec) + double(time.tv_usec) / 1e6;
        };
        out.family("process_cpu_seconds_total", "counter", "User and system CPU time spent.");
        out.sample("process_cpu_seconds_total", "",
                   number(seconds(usage.ru_utime) + seconds(usage.ru_stime)));
    }
    // statm: total and resident size, in pages.
    std::ifstream statm("/proc/self/statm");
    unsigned long long total = 0, resident = 0;
    if (statm >> total >> resident) {
        out.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
        out.sample(
            "process_resident_memory_bytes", "",
            std::to_string(resident * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE))));
    }
    std::error_code failed;
    size_t descriptors = 0;
    for (std::filesystem::directory_iterator entry("/proc/self/fd", failed), end;
         !failed && entry != end; entry.increment(failed)) {
        ++descriptors;
    }
    if (!failed) {
        out.family("process_open_fds", "gauge", "Open file descriptors.");
        out.sample("process_open_fds", "", std::to_string(descriptors));
    }
#endif
}

}  // namespace

std::string label_value(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '"':
                escaped += "\\\"";
                break;
            case '\n':
                escaped += "\\n";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string metrics_text(const MetricsReading& reading) {
    Exposition out;
    board_metrics(out, reading);
    counter_metrics(out, reading.counters);
    if (reading.process) {
        process_metrics(out);
    }
    return out.take();
}

void add_metrics_route(WebServer& server, std::shared_ptr<EventHub> hub) {
    // The window a scrape tells when no board read fell in its own, with
    // its connection's number. Loop thread only.
    auto last_window = std::make_shared<std::pair<uint64_t, std::optional<Statistics>>>();
    server.add_route("GET", kMetricsPath, WebServer::Runs::kAtOnce,
                     [hub = std::move(hub), last_window](const HttpRequest&, HttpResponse& response,
                                                         const std::function<bool()>&) {
                         MetricsReading reading;
                         reading.status = hub->scraped();
                         reading.link = session().state();
                         if (last_window->first != reading.link.number) {
                             *last_window = {reading.link.number, std::nullopt};
                         }
                         if (std::optional<StatisticsWindow> window =
                                 statistics_ledger().take(StatisticsReader::kFleet)) {
                             last_window->second = window->statistics;
                         }
                         if (reading.link.connected()) {
                             reading.statistics = last_window->second;
                         }
                         reading.counters = counters::snapshot();
                         response.status = 200;
                         response.set_content(metrics_text(reading), kMetricsContentType);
                     });
}
