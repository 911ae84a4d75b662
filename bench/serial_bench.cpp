// Transaction time through SerialPort against a peer that answers at once
// on a pseudo-terminal, first under the interval rule (interval_reads: no
// read ends before 5 ms of silence after the reply's last byte), then with
// the reply's length known (the read ends a guard's silence, two character
// times, after its last byte).
//
// Usage: serial_bench [transactions]   (default 1000 in each mode)

#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/state.h"
#include "bench/bench_stats.h"
#include "bench/trace_cost.h"
#include "serial/class_serial.h"

namespace {

constexpr uint8_t kRequest = 0x81;
constexpr uint32_t kReplyLength = 2;
constexpr int kWarmUp = 20;
constexpr double kCpuGoalMs = 0.1;

struct Mode {
    bool interval_reads;
    const char* title;
    double floor_ms;  // the silence that ends a read after the reply's last byte
    double median_goal_ms;
    double p99_goal_ms;
};
constexpr Mode kModes[] = {
    {true, "interval rule (interval_reads set)", 5.0, 5.3, 6.0},
    {false, "reply length known (2 bytes)", serial_platform::kReplyGuardMicroseconds / 1000.0, 1.3,
     2.0},
};

double cpu_ms(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Answers every request byte with the byte and a status byte, at once.
void answer_requests(int master, const std::atomic<bool>& stop) {
    uint8_t request[64];
    while (!stop.load()) {
        pollfd waiter{master, POLLIN, 0};
        if (poll(&waiter, 1, 50) <= 0) {
            continue;
        }
        const ssize_t n = read(master, request, sizeof request);
        if (n <= 0) {
            return;
        }
        const uint8_t reply[2] = {request[n - 1], 0x00};
        if (write(master, reply, sizeof reply) != sizeof reply) {
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int transactions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;

    int master = -1;
    int slave = -1;
    char slave_path[PATH_MAX] = {};
    if (openpty(&master, &slave, slave_path, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    SerialPort port;
    port.open(slave_path);
    if (port.get_state().status != 1) {
        return 1;
    }

    std::atomic<bool> stop{false};
    std::thread peer(answer_requests, master, std::cref(stop));
    clockid_t peer_clock{};
    pthread_getcpuclockid(peer.native_handle(), &peer_clock);

    // Host CPU is the process's less the peer thread's.
    const auto measure = [&](const Mode& mode) {
        interval_reads.store(mode.interval_reads);
        int wrong = 0;
        for (int i = 0; i < kWarmUp; ++i) {
            wrong += port.transact_byte(kRequest, kReplyLength).reply.count != kReplyLength;
        }
        std::vector<double> times_ms;
        times_ms.reserve(transactions);
        const double process_cpu_start = cpu_ms(CLOCK_PROCESS_CPUTIME_ID);
        const double peer_cpu_start = cpu_ms(peer_clock);
        const auto wall_start = std::chrono::steady_clock::now();
        for (int i = 0; i < transactions; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const CommandReply reply = port.transact_byte(kRequest, kReplyLength).reply;
            const auto end = std::chrono::steady_clock::now();
            times_ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
            wrong += reply.count != kReplyLength || reply.bytes[0] != kRequest;
        }
        const double wall_s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
        const double peer_cpu = cpu_ms(peer_clock) - peer_cpu_start;
        const double host_cpu = cpu_ms(CLOCK_PROCESS_CPUTIME_ID) - process_cpu_start - peer_cpu;

        std::sort(times_ms.begin(), times_ms.end());
        double sum = 0;
        for (double t : times_ms) {
            sum += t;
        }
        std::printf("%s\n", mode.title);
        std::printf("  floor                       %8.3f ms\n", mode.floor_ms);
        std::printf("  median                      %8.3f ms   (goal <= %.1f)\n",
                    percentile(times_ms, 0.5), mode.median_goal_ms);
        std::printf("  99th percentile             %8.3f ms   (goal <= %.1f)\n",
                    percentile(times_ms, 0.99), mode.p99_goal_ms);
        std::printf("  min / mean / max            %8.3f / %.3f / %.3f ms\n", times_ms.front(),
                    sum / transactions, times_ms.back());
        std::printf("  transactions per second     %8.1f\n", transactions / wall_s);
        std::printf(
            "  host CPU per transaction    %8.4f ms   (goal <= %.1f; peer's %.4f ms left out)\n",
            host_cpu / transactions, kCpuGoalMs, peer_cpu / transactions);
        if (wrong != 0) {
            std::printf("  WRONG REPLIES               %8d\n", wrong);
        }
        return wrong;
    };

    std::printf("serial_bench: %d transactions a mode (1 byte out, 2 bytes back) on %s\n",
                transactions, slave_path);
    int wrong = 0;
    for (const Mode& mode : kModes) {
        wrong += measure(mode);
    }
    std::printf("wire trace, reply length known, %d transactions each in 10 turns\n", transactions);
    interval_reads.store(false);
    const bool traced = print_trace_cost(
        [&](int n) {
            for (int i = 0; i < n; ++i) {
                wrong += port.transact_byte(kRequest, kReplyLength).reply.count != kReplyLength;
            }
        },
        std::max(1, transactions / 10), 10);

    stop = true;
    peer.join();
    port.close();
    close(master);
    close(slave);

    return wrong != 0 || !traced ? 1 : 0;
}
