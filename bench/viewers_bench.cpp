// Viewers: tessaro as a process, connected to quirn-sim at real 19200-baud
// pacing, watched by 1, 10, 100 and 500 event streams (GET /api/events,
// topics link,status,systat,pins with pins 0 to 7), then by 10 pages
// polling as the page did before the stream (each pin four times a second,
// one request per pin at a time; board, status and statistics once a
// second). For each: the board's transactions per second (from tessaro's
// wire trace), the delay from a change of pin 2 (written through the API
// every 700 ms) to each viewer seeing it, at the 50th and 99th percentile,
// and tessaro's memory and threads. Then four API clients reading pins as
// fast as the board answers, without and with a scrape of /metrics every
// second (three pairs): their transactions per second, and the board's.
// Last, the time quit takes with 500 streams open.
//
// Usage: viewers_bench [seconds per row]   (default 10)
// Run it where port 8088 is free (unshare -n bash -c 'ip link set lo up; ...').

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_usage.h"
#include "tests/support/raw_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kHttpPort = 8088;
constexpr auto kChangeEvery = 700ms;
constexpr auto kSettle = 2s;
// How long a scrape keeps tessaro's sampler reading the board.
constexpr auto kScrapeHold = 45s;

struct Child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
};

Child spawn(const std::vector<std::string>& args) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        return {};
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    return {pid, in[1], out[0]};
}

// Reads fd until a line holds text; then keeps reading it (and dropping
// what comes) on a thread of its own, so that the child never blocks.
bool wait_for_text(int fd, const std::string& text, std::string* line_out,
                   std::chrono::seconds limit) {
    std::string pending;
    const auto give_up = Clock::now() + limit;
    char buffer[4096];
    while (Clock::now() < give_up) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        pending.append(buffer, static_cast<size_t>(n));
        const size_t at = pending.find(text);
        if (at != std::string::npos) {
            const size_t start = pending.rfind('\n', at);
            const size_t end = pending.find('\n', at);
            if (line_out != nullptr) {
                *line_out =
                    pending.substr(start == std::string::npos ? 0 : start + 1,
                                   end == std::string::npos ? std::string::npos : end - start - 1);
            }
            std::thread([fd] {
                char drop[4096];
                while (read(fd, drop, sizeof drop) > 0) {
                }
            }).detach();
            return true;
        }
    }
    return false;
}

uint64_t requests_traced(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    uint64_t count = 0;
    while (std::getline(in, line)) {
        count += line.find(" -> ") != std::string::npos;
    }
    return count;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1,
                           static_cast<size_t>(p * static_cast<double>(values.size())))];
}

// What each viewer saw of pin 2: the times its value changed.
struct Seen {
    std::mutex mutex;  // guards changes
    std::vector<std::vector<std::pair<Clock::time_point, int>>> changes;
    void saw(size_t viewer, int value) {
        std::lock_guard lock(mutex);
        auto& list = changes[viewer];
        if (list.empty() || list.back().second != value) {
            list.emplace_back(Clock::now(), value);
        }
    }
};

std::optional<int> pin2_value(const std::string& text) {
    static const std::string kKey = R"({"pin":2,"value":)";
    const size_t at = text.find(kKey);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return std::atoi(text.c_str() + at + kKey.size());
}

// The viewers of one row, until stop is set.
void run_streams(size_t count, Seen& seen, std::atomic<bool>& stop) {
    std::vector<std::unique_ptr<test_support::RawClient>> clients;
    std::vector<std::string> pending(count);
    for (size_t i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<test_support::RawClient>(kHttpPort));
        clients.back()->send_all(
            "GET /api/events?topics=link,status,systat,pins&pins=0-7 HTTP/1.1\r\n"
            "Host: localhost:8088\r\n\r\n");
    }
    while (!stop.load()) {
        // One pass over every stream, reading what is there without waiting.
        bool any = false;
        for (size_t i = 0; i < count; ++i) {
            std::string got;
            if (clients[i]->wait_for("\n\n", Clock::now(), got)) {
                any = true;
                pending[i] += got;
                size_t end = 0;
                while ((end = pending[i].find("\n\n")) != std::string::npos) {
                    const std::string event = pending[i].substr(0, end);
                    pending[i].erase(0, end + 2);
                    if (event.find("event: pins") != std::string::npos) {
                        if (const auto value = pin2_value(event)) {
                            seen.saw(i, *value);
                        }
                    }
                }
            } else if (!got.empty()) {
                any = true;
                pending[i] += got;
            }
        }
        if (!any) {
            std::this_thread::sleep_for(1ms);
        }
    }
}

// Ten pages polling as the page did: each pin four times a second, one
// request per pin at a time; the board panel's three requests once a second.
void run_pollers(size_t pages, Seen& seen, std::atomic<bool>& stop) {
    std::vector<std::thread> threads;
    for (size_t page = 0; page < pages; ++page) {
        for (int pin = 0; pin < 8; ++pin) {
            threads.emplace_back([&, page, pin] {
                httplib::Client client("localhost", kHttpPort);
                client.set_keep_alive(true);
                auto next = Clock::now();
                while (!stop.load()) {
                    const auto result = client.Get("/api/gpio/grd/" + std::to_string(pin));
                    if (pin == 2 && result && result->status == 200) {
                        if (const auto value = pin2_value(result->body)) {
                            seen.saw(page, *value);
                        }
                    }
                    next += 250ms;
                    std::this_thread::sleep_until(std::max(next, Clock::now()));
                }
            });
        }
        threads.emplace_back([&] {
            httplib::Client client("localhost", kHttpPort);
            client.set_keep_alive(true);
            auto next = Clock::now();
            while (!stop.load()) {
                for (const char* route : {"/api/board", "/api/status", "/api/systat"}) {
                    client.Get(route);
                }
                next += 1s;
                std::this_thread::sleep_until(std::max(next, Clock::now()));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

struct Row {
    std::string viewers;
    double transactions_per_second = 0;
    double p50_ms = 0;
    double p99_ms = 0;
    size_t delays = 0;
    Usage usage;
};

Row measure(const std::string& name, size_t viewers, bool streams, pid_t tessaro,
            const std::string& trace, std::chrono::seconds window) {
    Seen seen;
    seen.changes.resize(viewers);
    std::atomic<bool> stop{false};
    std::thread clients([&] {
        if (streams) {
            run_streams(viewers, seen, stop);
        } else {
            run_pollers(viewers, seen, stop);
        }
    });
    std::this_thread::sleep_for(kSettle);
    httplib::Client writer("localhost", kHttpPort);
    std::vector<std::pair<Clock::time_point, int>> changes;
    const uint64_t traced_before = requests_traced(trace);
    const auto began = Clock::now();
    int value = 0;
    while (Clock::now() - began < window) {
        value = 1 - value;
        const auto result = writer.Post(
            "/api/gpio/gwd/2", R"({"value":)" + std::to_string(value) + "}", "application/json");
        if (result && result->status == 200) {
            changes.emplace_back(Clock::now(), value);
        }
        std::this_thread::sleep_for(kChangeEvery);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    const uint64_t traced = requests_traced(trace) - traced_before;
    Row row;
    row.viewers = name;
    row.usage = usage_of(tessaro);
    // The writes are the bench's own transactions, not the viewers'.
    row.transactions_per_second =
        (static_cast<double>(traced) - static_cast<double>(changes.size())) / seconds;
    stop = true;
    clients.join();
    std::vector<double> delays;
    for (size_t c = 0; c + 1 < changes.size(); ++c) {  // the last may not have been seen yet
        for (const auto& list : seen.changes) {
            const auto first = std::find_if(list.begin(), list.end(), [&](const auto& change) {
                return change.first >= changes[c].first && change.second == changes[c].second;
            });
            if (first != list.end() &&
                (c + 1 >= changes.size() || first->first < changes[c + 1].first)) {
                delays.push_back(
                    std::chrono::duration<double, std::milli>(first->first - changes[c].first)
                        .count());
            }
        }
    }
    row.delays = delays.size();
    row.p50_ms = percentile(delays, 0.50);
    row.p99_ms = percentile(delays, 0.99);
    std::this_thread::sleep_for(1s);
    return row;
}

struct ScrapeRow {
    double api_per_second = 0;
    double board_per_second = 0;
};

// Four API clients reading pins back to back for window, with a scrape
// every second or none. The scrapes keep the sampler reading the board for
// a while after: the row without them goes first.
ScrapeRow measure_scrapes(bool scrape, const std::string& trace, std::chrono::seconds window) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> answered{0};
    std::vector<std::thread> threads;
    for (int pin = 0; pin < 4; ++pin) {
        threads.emplace_back([&, pin] {
            httplib::Client client("localhost", kHttpPort);
            client.set_keep_alive(true);
            while (!stop.load()) {
                const auto result = client.Get("/api/gpio/grd/" + std::to_string(pin));
                if (result && result->status == 200) {
                    ++answered;
                }
            }
        });
    }
    if (scrape) {
        threads.emplace_back([&] {
            httplib::Client client("localhost", kHttpPort);
            auto next = Clock::now();
            while (!stop.load()) {
                client.Get("/metrics");
                next += 1s;
                std::this_thread::sleep_until(next);
            }
        });
    }
    std::this_thread::sleep_for(kSettle);
    const uint64_t answered_before = answered.load();
    const uint64_t traced_before = requests_traced(trace);
    const auto began = Clock::now();
    std::this_thread::sleep_for(window);
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    ScrapeRow row;
    row.api_per_second = static_cast<double>(answered.load() - answered_before) / seconds;
    row.board_per_second = static_cast<double>(requests_traced(trace) - traced_before) / seconds;
    stop = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const std::chrono::seconds window(argc > 1 ? std::max(3, std::atoi(argv[1])) : 10);
    signal(SIGPIPE, SIG_IGN);
    test_support::allow_descriptors(4096);
    const std::string trace = (std::filesystem::temp_directory_path() /
                               ("viewers_bench_" + std::to_string(getpid()) + ".trace"))
                                  .string();

    Child sim = spawn({QUIRN_SIM_BINARY, "--pace", "--no-stdin"});
    std::string banner;
    if (sim.pid <= 0 || !wait_for_text(sim.out, " on /", &banner, 10s)) {
        std::fprintf(stderr, "viewers_bench: quirn-sim did not start\n");
        return 1;
    }
    const std::string board_path = banner.substr(banner.rfind(" on ") + 4);
    Child tessaro = spawn({TESSARO_BINARY, "--trace", trace, board_path});
    const auto stop_children = [&] {
        close(tessaro.in);
        int status = 0;
        waitpid(tessaro.pid, &status, 0);
        kill(sim.pid, SIGTERM);
        waitpid(sim.pid, &status, 0);
        std::filesystem::remove(trace);
    };
    if (tessaro.pid <= 0 ||
        !wait_for_text(tessaro.out, "Server running on http://", nullptr, 20s)) {
        std::fprintf(stderr, "viewers_bench: tessaro's web server did not start (is 8088 free?)\n");
        stop_children();
        return 1;
    }
    httplib::Client setup("localhost", kHttpPort);
    setup.Post("/api/gpio/config/2", R"({"mode":"output"})", "application/json");
    const Usage idle = usage_of(tessaro.pid);

    std::printf("viewers_bench: quirn-sim --pace, %lld s per row, pin 2 changed every %lld ms\n",
                static_cast<long long>(window.count()),
                static_cast<long long>(std::chrono::milliseconds(kChangeEvery).count()));
    std::printf("tessaro idle: %ld KB resident, %d threads\n\n", idle.rss_kb, idle.threads);
    std::printf(
        "| viewers | board transactions/s | of 1 stream | change seen, 50th | 99th | seen | "
        "tessaro resident | threads |\n|---|---|---|---|---|---|---|---|\n");
    std::vector<Row> rows;
    double one = 0;
    for (const size_t count : {size_t{1}, size_t{10}, size_t{100}, size_t{500}}) {
        rows.push_back(measure(std::to_string(count) + (count == 1 ? " stream" : " streams"), count,
                               true, tessaro.pid, trace, window));
        if (count == 1) {
            one = rows.back().transactions_per_second;
        }
    }
    rows.push_back(measure("10 polling pages", 10, false, tessaro.pid, trace, window));
    for (const Row& row : rows) {
        std::printf("| %s | %.1f | %+.1f%% | %.0f ms | %.0f ms | %zu | %ld KB | %d |\n",
                    row.viewers.c_str(), row.transactions_per_second,
                    one > 0 ? (row.transactions_per_second / one - 1) * 100 : 0.0, row.p50_ms,
                    row.p99_ms, row.delays, row.usage.rss_kb, row.usage.threads);
    }
    // The machine's load moves: three pairs, each without and then with
    // the scrapes, the sampler left to stop (kScrapeHold) between them.
    std::printf("\n| 4 API clients | API transactions/s | board transactions/s |\n|---|---|---|\n");
    double difference = 0;
    constexpr int kPairs = 3;
    for (int pair = 0; pair < kPairs; ++pair) {
        if (pair > 0) {
            std::this_thread::sleep_for(kScrapeHold + 1s);
        }
        const ScrapeRow unscraped = measure_scrapes(false, trace, window);
        const ScrapeRow scraped = measure_scrapes(true, trace, window);
        const double change = unscraped.api_per_second > 0
                                  ? (scraped.api_per_second / unscraped.api_per_second - 1) * 100
                                  : 0.0;
        difference += change / kPairs;
        std::printf("| no scrape | %.1f | %.1f |\n", unscraped.api_per_second,
                    unscraped.board_per_second);
        std::printf("| a scrape every second | %.1f (%+.1f%%) | %.1f |\n", scraped.api_per_second,
                    change, scraped.board_per_second);
    }
    std::printf("\nwith a scrape every second: %+.1f%% API transactions/s over %d pairs\n",
                difference, kPairs);
    // quit, typed while 500 streams are open: the time until tessaro has ended.
    {
        Seen seen;
        seen.changes.resize(500);
        std::atomic<bool> stop{false};
        std::thread clients([&] { run_streams(500, seen, stop); });
        std::this_thread::sleep_for(kSettle);
        const auto typed = Clock::now();
        if (write(tessaro.in, "quit\n", 5) == 5) {
            int status = 0;
            waitpid(tessaro.pid, &status, 0);
            std::printf("\nquit with 500 streams open: tessaro ended in %.0f ms\n",
                        std::chrono::duration<double, std::milli>(Clock::now() - typed).count());
        }
        stop = true;
        clients.join();
    }
    stop_children();
    return 0;
}
