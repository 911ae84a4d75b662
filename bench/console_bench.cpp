// A whole console command against the simulated board at real 19200-baud
// pacing: "sta" as the console runs it (general words declined, the command
// layer, the decoder's report, the prompt). The floor is the wire time of
// the request and of the 4-byte reply, plus the 5 ms interval time-out that
// ends the read after the reply's last byte.
//
// Usage: console_bench [commands]   (default 200)

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "base/console_output.h"
#include "app/console_ui.h"
#include "base/state.h"
#include "bench/bench_stats.h"
#include "protocol/class_quirn_server.h"
#include "protocol/server_commands.h"
#include "serial/class_serial.h"
#include "sim/quirn_board.h"

namespace {

constexpr int kWarmUp = 10;
constexpr double kByteMs = 10.0 * 1000.0 / 19200.0;  // start, 8 data and stop bits
constexpr double kIntervalMs = 5.0;
constexpr int kRequestBytes = 1;
constexpr int kReplyBytes = 4;

}  // namespace

int main(int argc, char** argv) {
    const int commands = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;

    quirn_sim::BoardConfig config;
    config.pace = true;
    quirn_sim::PtyBoard board(config);
    if (!board.ok()) {
        std::fprintf(stderr, "no pseudo-terminal: %s\n", board.error().c_str());
        return 1;
    }
    serial_port().open(board.path());
    if (serial_port().get_state().status != 1) {
        return 1;
    }
    connected.store(1);
    console_mode.store(mode::kServer);

    // The reports go to /dev/null while timing, so a terminal does not set the pace.
    std::fflush(stdout);
    const int saved_stdout = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (saved_stdout < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
        std::perror("redirecting standard output");
        return 1;
    }

    std::istringstream no_input;
    std::vector<double> times_ms;
    for (int i = 0; i < kWarmUp + commands; ++i) {
        const auto start = std::chrono::steady_clock::now();
        command_line = "sta";
        if (general_command(command_line, no_input) == 0) {
            CommandReply reply = run_server_command(command_line);
            quirn_server().decode_response(command_line, std::move(reply));
        }
        print_prompt();
        const auto end = std::chrono::steady_clock::now();
        if (i >= kWarmUp) {
            times_ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
    }

    std::fflush(stdout);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    close(null_fd);

    std::sort(times_ms.begin(), times_ms.end());
    const double floor_ms = (kRequestBytes + kReplyBytes) * kByteMs + kIntervalMs;
    const double median = percentile(times_ms, 0.5);
    std::printf("console command \"sta\" against the paced simulated board, %d commands\n",
                commands);
    std::printf("  median      %.3f ms\n", median);
    std::printf("  99th pct    %.3f ms\n", percentile(times_ms, 0.99));
    std::printf("  min / max   %.3f / %.3f ms\n", times_ms.front(), times_ms.back());
    std::printf("  floor       %.3f ms  (%d + %d bytes at 19200 baud + %.0f ms interval)\n",
                floor_ms, kRequestBytes, kReplyBytes, kIntervalMs);
    std::printf("  median - floor  %+.3f ms (goal: within 1 ms)\n", median - floor_ms);
    // On a pseudo-terminal the request itself is not paced and the reply's
    // first byte leaves at once, so only the gaps between reply bytes remain.
    const double pty_floor_ms = (kReplyBytes - 1) * kByteMs + kIntervalMs;
    std::printf(
        "  pty floor   %.3f ms  (%d gaps between reply bytes + %.0f ms interval);"
        " median - pty floor %+.3f ms\n",
        pty_floor_ms, kReplyBytes - 1, kIntervalMs, median - pty_floor_ms);

    serial_port().close();
    connected.store(0);
    return 0;
}
