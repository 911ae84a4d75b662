// "sta" transactions against a board on a named port, the same program on
// every platform: the command layer's request and the board's reply, timed
// from the write to the end of the read. scripts/bench-windows.sh runs it
// under Wine and natively against one simulated board, one after the other.
//
// Usage: port_bench PORT [transactions]   (default 500)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/session.h"
#include "base/state.h"
#include "bench/bench_stats.h"
#include "protocol/quirn_transcoder.h"
#include "protocol/server_commands.h"
#include "serial/class_serial.h"

namespace {
constexpr int kWarmUp = 10;
constexpr size_t kStatusReplyBytes = 4;
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: port_bench PORT [transactions]\n");
        return 2;
    }
    const std::string port = argv[1];
    const int transactions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 500;

    serial_port().open(port);
    if (serial_port().get_state().status != 1) {
        return 1;
    }
    session().opened(serial_port().get_state().port_name);

    std::vector<double> times_ms;
    int short_replies = 0;
    for (int i = 0; i < kWarmUp + transactions; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const CommandReply reply = send_server_code(REQ_STATUS).value_or(CommandReply{});
        const auto end = std::chrono::steady_clock::now();
        if (i < kWarmUp) {
            continue;
        }
        times_ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        if (reply.bytes.size() != kStatusReplyBytes) {
            ++short_replies;
        }
    }
    serial_port().close();
    session().closed();

    std::sort(times_ms.begin(), times_ms.end());
    std::printf(
        "\"sta\" on %s, %d transactions: median %.3f ms, 99th pct %.3f ms, "
        "min %.3f ms, max %.3f ms, replies not 4 bytes long: %d\n",
        port.c_str(), transactions, percentile(times_ms, 0.5), percentile(times_ms, 0.99),
        times_ms.front(), times_ms.back(), short_replies);
    return short_replies == 0 ? 0 : 1;
}
