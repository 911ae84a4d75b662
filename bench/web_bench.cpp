// API throughput: clients with keep-alive connections doing GET
// /api/gpio/grd/5 against the simulated board at real 19200-baud pacing,
// next to the limit the serial link sets: one transaction at a time, the
// same read frame sent back to back through SerialPort in the same run.
// Every request is one transaction, so the API can at best reach that rate.
//
// Usage: web_bench [requests per client count]   (default 600)

#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "base/state.h"
#include "bench/bench_stats.h"
#include "bench/trace_cost.h"
#include "protocol/quirn_transcoder.h"
#include "serial/class_serial.h"
#include "sim/quirn_board.h"
#include "web/gpio_api.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 20;
const std::vector<uint8_t> kReadFrame = {REQ_GPIO_READ, 0x85, FRAME_END};  // g5rd
const std::string kPath = "/api/gpio/grd/5";
const std::string kAnswer = R"({"pin":5,"value":1})";

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Run {
    double per_second = 0;
    std::vector<double> times_ms;  // ascending
    int errors = 0;
};

Run serial_limit(int transactions) {
    Run run;
    for (int i = 0; i < kWarmUp; ++i) {
        serial_port().transact_frame(kReadFrame, reply_length(REQ_GPIO_READ));
    }
    const auto start = Clock::now();
    for (int i = 0; i < transactions; ++i) {
        const auto sent = Clock::now();
        run.errors +=
            serial_port().transact_frame(kReadFrame, reply_length(REQ_GPIO_READ)).count != 4;
        run.times_ms.push_back(ms_since(sent));
    }
    run.per_second = transactions / (ms_since(start) / 1000);
    std::sort(run.times_ms.begin(), run.times_ms.end());
    return run;
}

Run api_rate(int port, int clients, int requests) {
    const int each = std::max(1, requests / clients);
    std::vector<std::vector<double>> times(clients);
    std::atomic<int> errors{0};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            httplib::Client client("localhost", port);
            client.set_keep_alive(true);
            ++ready;
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < each; ++i) {
                const auto sent = Clock::now();
                const httplib::Result result = client.Get(kPath);
                times[c].push_back(ms_since(sent));
                errors += !result || result->status != 200 || result->body != kAnswer;
            }
        });
    }
    while (ready.load() != clients) {
        std::this_thread::yield();
    }
    const auto start = Clock::now();
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    Run run;
    run.per_second = each * clients / (ms_since(start) / 1000);
    for (const std::vector<double>& some : times) {
        run.times_ms.insert(run.times_ms.end(), some.begin(), some.end());
    }
    std::sort(run.times_ms.begin(), run.times_ms.end());
    run.errors = errors;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::max(64, std::atoi(argv[1])) : 600;

    quirn_sim::BoardConfig config;
    config.pace = true;
    quirn_sim::PtyBoard board(config);
    if (!board.ok()) {
        std::fprintf(stderr, "no pseudo-terminal: %s\n", board.error().c_str());
        return 1;
    }
    board.set_analog(5, quirn_sim::kAnalogMax);  // pin 5 reads 1
    serial_port().open(board.path());
    if (serial_port().get_state().status != 1) {
        return 1;
    }
    connected.store(1);

    WebServer server;
    // Socket options apply to the listening socket as it is made, and
    // set_up_http_server needs its port: without TCP_NODELAY from the start,
    // a kept-alive connection's answer body would wait for the client's
    // delayed acknowledgement of its headers (40 ms).
    server.set_tcp_nodelay(true);
    const int port = server.bind_to_any("localhost");
    set_up_http_server(server, port);
    std::thread listener([&] { server.serve(); });

    // The prompts every transaction prints go to /dev/null while timing.
    std::fflush(stdout);
    const int saved_stdout = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (saved_stdout < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
        std::perror("redirecting standard output");
        return 1;
    }
    // The limit is measured again right before each client count, so that
    // a machine whose load changes during the run compares like with like.
    struct Row {
        int clients;
        Run limit;
        Run api;
    };
    std::vector<Row> rows;
    for (int clients : {1, 8, 64}) {
        // The limit first: right after a warm-up, its clients' connections
        // are still being closed.
        Run limit = serial_limit(requests);
        api_rate(port, clients, clients * 2);  // warm up: connections and workers
        rows.push_back({clients, std::move(limit), api_rate(port, clients, requests)});
    }
    std::fflush(stdout);
    dup2(saved_stdout, STDOUT_FILENO);
    std::printf("wire trace, 8 clients, %d requests each in 6 turns:\n", requests);
    int trace_errors = 0;
    std::fflush(stdout);
    const int traced_stdout = dup(STDOUT_FILENO);
    // Figures are printed as each turn ends; the prompts still go to /dev/null.
    const bool traced = print_trace_cost(
        [&](int n) {
            std::fflush(stdout);
            dup2(null_fd, STDOUT_FILENO);
            trace_errors += api_rate(port, 8, n).errors;
            std::fflush(stdout);
            dup2(traced_stdout, STDOUT_FILENO);
        },
        std::max(8, requests / 6), 6);

    while (!server.is_running()) {
        std::this_thread::yield();
    }
    server.stop_serving();
    listener.join();
    serial_port().close();

    std::printf("web_bench: GET %s, %d requests per run, simulated board at 19200-baud pacing\n",
                kPath.c_str(), requests);
    std::printf(
        "  clients  limit/s  (median ms)  requests/s  of limit  median ms  p99 ms  errors   "
        "(goal >= 95%%, 0)\n");
    int errors = trace_errors + (traced ? 0 : 1);
    for (const auto& [clients, limit, run] : rows) {
        std::printf("  %7d  %7.1f  (%6.2f)     %10.1f  %7.1f%%  %9.2f  %6.2f  %6d\n", clients,
                    limit.per_second, percentile(limit.times_ms, 0.5), run.per_second,
                    100 * run.per_second / limit.per_second, percentile(run.times_ms, 0.5),
                    percentile(run.times_ms, 0.99), run.errors);
        errors += limit.errors + run.errors;
    }
    return errors == 0 ? 0 : 1;
}
