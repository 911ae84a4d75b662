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

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
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

// A client with as little of its own cost as a client can have: one
// keep-alive connection, the request written once, the answer read up to
// its Content-Length. Tells what the server costs without the client
// library's share.
class PlainClient {
  public:
    PlainClient(int port, const std::string& path)
        : port_(port),
          request_("GET " + path + " HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
                   "\r\n\r\n") {
        connect_now();
    }
    ~PlainClient() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    PlainClient(const PlainClient&) = delete;
    PlainClient& operator=(const PlainClient&) = delete;

    // The answer's status and body; status 0 when the connection failed.
    // A connection the server ended (it keeps one for so many requests) is
    // made again.
    std::pair<int, std::string> get() {
        std::pair<int, std::string> answer = get_once();
        if (answer.first == 0) {
            connect_now();
            answer = get_once();
        }
        return answer;
    }

  private:
    void connect_now() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int yes = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    std::pair<int, std::string> get_once() {
        if (fd_ < 0 || send(fd_, request_.data(), request_.size(), MSG_NOSIGNAL) !=
                           static_cast<ssize_t>(request_.size())) {
            return {0, ""};
        }
        std::string got;
        size_t head_end = std::string::npos, length = 0;
        char buffer[4096];
        while (head_end == std::string::npos || got.size() < head_end + 4 + length) {
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return {0, ""};
            }
            got.append(buffer, static_cast<size_t>(n));
            if (head_end == std::string::npos &&
                (head_end = got.find("\r\n\r\n")) != std::string::npos) {
                const size_t at = got.find("Content-Length: ");
                length = at < head_end ? std::stoul(got.substr(at + 16)) : 0;
            }
        }
        const int status = got.size() > 12 ? std::atoi(got.c_str() + 9) : 0;
        return {status, got.substr(head_end + 4, length)};
    }

    int port_;
    std::string request_;
    int fd_ = -1;
};

// One client, taking turns with the limit in blocks of 20 so that both
// see the same machine: the back-to-back transactions, the API through the
// client library, and the API through PlainClient. Returns them in that
// order, each timed over its own blocks only.
std::array<Run, 3> one_client_in_turns(const Workload& work, int port, int requests) {
    constexpr int kBlock = 20;
    httplib::Client library("localhost", port);
    library.set_keep_alive(true);
    PlainClient plain(port, work.path);
    std::array<Run, 3> runs;
    std::array<double, 3> elapsed_ms{};
    const std::array<std::function<bool()>, 3> ask = {
        [&] { return transact(work).count == work.reply_bytes; },
        [&] {
            const httplib::Result result = library.Get(work.path);
            return result && result->status == 200 && result->body.starts_with(work.answer_start);
        },
        [&] {
            const auto [status, body] = plain.get();
            return status == 200 && body.starts_with(work.answer_start);
        },
    };
    for (int i = 0; i < kWarmUp; ++i) {
        for (const auto& one : ask) {
            one();
        }
    }
    for (int done = 0; done < requests; done += kBlock) {
        for (size_t k = 0; k < ask.size(); ++k) {
            const auto block = Clock::now();
            for (int i = 0; i < kBlock; ++i) {
                const auto sent = Clock::now();
                runs[k].errors += !ask[k]();
                runs[k].times_ms.push_back(ms_since(sent));
            }
            elapsed_ms[k] += ms_since(block);
        }
    }
    for (size_t k = 0; k < runs.size(); ++k) {
        runs[k].per_second = static_cast<double>(runs[k].times_ms.size()) / (elapsed_ms[k] / 1000);
        std::sort(runs[k].times_ms.begin(), runs[k].times_ms.end());
    }
    return runs;
}

// With probe, a client of its own asks GET /api/board, which needs no board,
// again and again while the others run; its times are added to probe_ms.
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

// Runs put together as if measured in one: their requests over their
// summed time, every latency, every error.
Run merged(const std::vector<Run>& parts) {
    Run all;
    double seconds = 0;
    for (const Run& part : parts) {
        seconds += static_cast<double>(part.times_ms.size()) / part.per_second;
        all.times_ms.insert(all.times_ms.end(), part.times_ms.begin(), part.times_ms.end());
        all.errors += part.errors;
    }
    all.per_second = static_cast<double>(all.times_ms.size()) / seconds;
    std::sort(all.times_ms.begin(), all.times_ms.end());
    return all;
}

// Several clients, taking turns with the limit in kSegments parts, so that
// both see the same moments of the machine; returns the limit and the API.
std::pair<Run, Run> clients_in_turns(const Workload& work, int port, int clients, int requests,
                                     std::vector<double>* probe_ms) {
    constexpr int kSegments = 4;
    api_rate(work, port, clients, clients * 2);  // warm up: connections and workers
    std::vector<Run> limits, api;
    const int part = std::max(clients, requests / kSegments);
    for (int segment = 0; segment < kSegments; ++segment) {
        limits.push_back(serial_limit(work, part));
        api.push_back(api_rate(work, port, clients, part, probe_ms));
    }
    if (probe_ms != nullptr) {
        std::sort(probe_ms->begin(), probe_ms->end());
    }
    return {merged(limits), merged(api)};
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::max(64, std::atoi(argv[1])) : 600;

    quirn_sim::BoardConfig config;
    config.pace = true;
    // The simulated board stands for a board of its own, which the host's
    // load does not slow: its thread runs at real-time priority where the
    // system allows it (it inherits it from here; the server and the
    // clients, started later, do not). At ordinary priority 64 client
    // threads on two cores now and then hold it up inside a reply, which
    // the host rightly takes for a cut one.
    sched_param realtime{};
    realtime.sched_priority = sched_get_priority_min(SCHED_FIFO);
    const bool board_realtime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &realtime) == 0;
    quirn_sim::PtyBoard board(config);
    if (board_realtime) {
        const sched_param ordinary{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
    }
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
    struct Result {
        std::array<Run, 3> turns;  // the limit, the library's client, PlainClient
        // Per number of clients, the limit in turns with them and the API.
        std::vector<std::tuple<int, Run, Run>> runs;
    };
    std::vector<Result> results;
    std::vector<double> probe_ms;
    for (const Workload& work : kWorkloads) {
        Result result{one_client_in_turns(work, port, requests), {}};
        for (int clients : {8, 64}) {
            const bool probed = clients == 64 && &work == &kWorkloads[0];
            auto [limit, api] =
                clients_in_turns(work, port, clients, requests, probed ? &probe_ms : nullptr);
            result.runs.emplace_back(clients, std::move(limit), std::move(api));
        }
        results.push_back(std::move(result));
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
    const auto row = [&errors](const char* clients, const Run& run, const Run& limit) {
        std::printf("  %7s  %10.1f  %7.1f%%  %9.2f  %6.2f  %6d\n", clients, run.per_second,
                    100 * run.per_second / limit.per_second, percentile(run.times_ms, 0.5),
                    percentile(run.times_ms, 0.99), run.errors);
        errors += run.errors;
    };
    const auto limit_line = [&errors](const char* how, const Run& limit) {
        std::printf(
            "  serial limit%s: %.1f transactions/s (median %.2f ms, 99th percentile %.2f ms)\n",
            how, limit.per_second, percentile(limit.times_ms, 0.5),
            percentile(limit.times_ms, 0.99));
        errors += limit.errors;
    };
    for (size_t w = 0; w < results.size(); ++w) {
        const Result& result = results[w];
        std::printf(
            "web_bench: GET %s, %d requests per run, simulated board at 19200-baud pacing%s\n",
            kWorkloads[w].path.c_str(), requests,
            board_realtime ? ", real-time priority" : " (ordinary priority: not allowed here)");
        limit_line(" in turns with one client", result.turns[0]);
        std::printf(
            "  clients  requests/s  of limit  median ms  p99 ms  errors   (goal >= 95%%, 0)\n");
        row("1", result.turns[1], result.turns[0]);
        row("1 plain", result.turns[2], result.turns[0]);
        for (const auto& [clients, limit, run] : result.runs) {
            limit_line((" in turns with " + std::to_string(clients) + " clients").c_str(), limit);
            row(std::to_string(clients).c_str(), run, limit);
        }
    }
    std::printf(
        "probe: GET /api/board while 64 clients read pin 5: %zu requests, median %.2f ms, "
        "99th percentile %.2f ms\n",
        probe_ms.size(), percentile(probe_ms, 0.5), percentile(probe_ms, 0.99));
    return errors == 0 ? 0 : 1;
}
