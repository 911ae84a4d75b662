// API throughput: clients with keep-alive connections doing GET
// /api/gpio/grd/5, then GET /api/systat, against the simulated board at real
// 19200-baud pacing, each next to the limit the serial link sets for it: one
// transaction at a time, the same request sent back to back through
// SerialPort in the same run. Every request is one transaction, so the API
// can at best reach that rate.
//
// A probe client asks GET /api/board, which needs no board, throughout the
// 64-client run of the GPIO read: its latency is printed last.
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

#include "base/session.h"
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

// One request of the API and the transaction it costs on the link.
struct Workload {
    std::string path;
    std::vector<uint8_t> frame;  // one byte: a board word sent alone
    uint8_t code;
    std::string answer_start;  // a good answer begins so
    uint32_t reply_bytes;
};

const Workload kWorkloads[] = {
    {"/api/gpio/grd/5",
     {REQ_GPIO_READ, 0x85, FRAME_END},
     REQ_GPIO_READ,
     R"({"pin":5,"value":1})",
     4},
    {"/api/systat",
     {REQ_SYSTAT},
     REQ_SYSTAT,
     R"({"word":"sys","ok":true,"load":{)",
     reply_length(REQ_SYSTAT)},
};

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Run {
    double per_second = 0;
    std::vector<double> times_ms;  // ascending
    int errors = 0;
};

CommandReply transact(const Workload& work) {
    return work.frame.size() == 1
               ? serial_port().transact_byte(work.code, reply_length(work.code)).reply
               : serial_port().transact_frame(work.frame, reply_length(work.code)).reply;
}

Run serial_limit(const Workload& work, int transactions) {
    Run run;
    for (int i = 0; i < kWarmUp; ++i) {
        transact(work);
    }
    const auto start = Clock::now();
    for (int i = 0; i < transactions; ++i) {
        const auto sent = Clock::now();
        run.errors += transact(work).count != work.reply_bytes;
        run.times_ms.push_back(ms_since(sent));
    }
    run.per_second = transactions / (ms_since(start) / 1000);
    std::sort(run.times_ms.begin(), run.times_ms.end());
    return run;
}

// With probe, a client of its own asks GET /api/board, which needs no board,
// again and again while the others run; its times go to probe_ms.
Run api_rate(const Workload& work, int port, int clients, int requests,
             std::vector<double>* probe_ms = nullptr) {
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
                const httplib::Result result = client.Get(work.path);
                times[c].push_back(ms_since(sent));
                errors += !result || result->status != 200 ||
                          !result->body.starts_with(work.answer_start);
            }
        });
    }
    while (ready.load() != clients) {
        std::this_thread::yield();
    }
    std::atomic<bool> finished{false};
    std::thread prober;
    if (probe_ms != nullptr) {
        prober = std::thread([&] {
            httplib::Client client("localhost", port);
            client.set_keep_alive(true);
            while (!finished.load()) {
                const auto sent = Clock::now();
                const httplib::Result result = client.Get("/api/board");
                probe_ms->push_back(ms_since(sent));
                errors += !result || result->status != 200;
                // A look every 10 ms, as a page would poll, not a flood.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    const auto start = Clock::now();
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    finished = true;
    if (prober.joinable()) {
        prober.join();
        std::sort(probe_ms->begin(), probe_ms->end());
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
    session().opened(serial_port().get_state().port_name);

    WebServer server;
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
    std::vector<std::pair<Run, std::vector<std::pair<int, Run>>>> results;
    std::vector<double> probe_ms;
    for (const Workload& work : kWorkloads) {
        const Run limit = serial_limit(work, requests);
        std::vector<std::pair<int, Run>> runs;
        for (int clients : {1, 8, 64}) {
            api_rate(work, port, clients, clients * 2);  // warm up: connections and workers
            const bool probed = clients == 64 && &work == &kWorkloads[0];
            runs.emplace_back(
                clients, api_rate(work, port, clients, requests, probed ? &probe_ms : nullptr));
        }
        results.emplace_back(limit, std::move(runs));
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
            trace_errors += api_rate(kWorkloads[0], port, 8, n).errors;
            std::fflush(stdout);
            dup2(traced_stdout, STDOUT_FILENO);
        },
        std::max(8, requests / 6), 6);

    server.stop_serving();
    listener.join();
    serial_port().close();

    int errors = trace_errors + (traced ? 0 : 1);
    for (size_t w = 0; w < results.size(); ++w) {
        const auto& [limit, runs] = results[w];
        std::printf(
            "web_bench: GET %s, %d requests per run, simulated board at 19200-baud pacing\n",
            kWorkloads[w].path.c_str(), requests);
        std::printf(
            "  serial limit: %.1f transactions/s (median %.2f ms, 99th percentile %.2f ms)\n",
            limit.per_second, percentile(limit.times_ms, 0.5), percentile(limit.times_ms, 0.99));
        std::printf(
            "  clients  requests/s  of limit  median ms  p99 ms  errors   (goal >= 95%%, 0)\n");
        errors += limit.errors;
        for (const auto& [clients, run] : runs) {
            std::printf("  %7d  %10.1f  %7.1f%%  %9.2f  %6.2f  %6d\n", clients, run.per_second,
                        100 * run.per_second / limit.per_second, percentile(run.times_ms, 0.5),
                        percentile(run.times_ms, 0.99), run.errors);
            errors += run.errors;
        }
    }
    std::printf(
        "probe: GET /api/board while 64 clients read pin 5: %zu requests, median %.2f ms, "
        "99th percentile %.2f ms\n",
        probe_ms.size(), percentile(probe_ms, 0.5), percentile(probe_ms, 0.99));
    return errors == 0 ? 0 : 1;
}
