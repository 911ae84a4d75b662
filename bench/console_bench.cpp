// Whole console commands against the simulated board at real 19200-baud
// pacing, as the console runs them (general words declined, the command
// layer, the decoder's report, the prompt): "sta" alone, then a mixed
// script of sta, g2rd, g2wd1 and sys. Each runs twice: under the interval
// rule (interval_reads set: a read ends 5 ms after the reply's last byte),
// then with the reply lengths known (a read ends two character times after
// the last byte of a reply of the expected length).
//
// Usage: console_bench [commands]   (default 200 a measurement)

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/console_tell.h"
#include "app/console_ui.h"
#include "base/console_output.h"
#include "base/session.h"
#include "base/state.h"
#include "bench/bench_stats.h"
#include "protocol/class_quirn_server.h"
#include "protocol/outcome_json.h"
#include "protocol/server_commands.h"
#include "serial/class_serial.h"
#include "sim/quirn_board.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 10;
constexpr double kByteMs = 10.0 * 1000.0 / 19200.0;  // start, 8 data and stop bits
constexpr double kIntervalMs = 5.0;
constexpr double kGuardMs = serial_platform::kReplyGuardMicroseconds / 1000.0;
constexpr int kRequestBytes = 1;
constexpr int kReplyBytes = 4;
struct Word {
    std::string text;
    uint32_t reply_length;
};
const Word kStatus = {"sta", 4};
const std::vector<Word> kScript = {kStatus, {"g2rd", 4}, {"g2wd1", 4}, {"sys", 12}};

// Replies of the wrong length: a machine that holds the paced board up for
// a whole interval cuts a reply, and its tail spoils the next one.
int cut_replies = 0;

// One word as the console takes it in server mode: its report as text, or
// (--json) collected into its JSON record.
void type_word(const Word& word) {
    static std::istringstream no_input;
    const bool json = output_mode() == OutputMode::kJson;
    const std::string& command_line = word.text;
    if (json) {
        begin_capture();
    }
    if (general_command(command_line, no_input) == 0) {
        CommandOutcome outcome = run_board_command(command_line, CommandSource::kConsole);
        cut_replies += outcome.reply.count != word.reply_length;
        tell_outcome(outcome);
        if (json) {
            const std::string said = end_capture();
            out_record(record_text(outcome_json(outcome, said)));
        }
    }
    print_prompt();
}

// Milliseconds per "sta", sorted.
std::vector<double> time_status(int commands) {
    std::vector<double> times_ms;
    for (int i = 0; i < kWarmUp + commands; ++i) {
        const auto start = Clock::now();
        type_word(kStatus);
        const auto end = Clock::now();
        if (i >= kWarmUp) {
            times_ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
    }
    std::sort(times_ms.begin(), times_ms.end());
    return times_ms;
}

// Commands per second over rounds of the mixed script.
double script_rate(int commands) {
    for (int i = 0; i < kWarmUp; ++i) {
        type_word(kScript[i % kScript.size()]);
    }
    const auto start = Clock::now();
    for (int i = 0; i < commands; ++i) {
        type_word(kScript[i % kScript.size()]);
    }
    return commands / std::chrono::duration<double>(Clock::now() - start).count();
}

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
    session().opened(serial_port().get_state().port_name);
    session().set_mode(ConsoleMode::kServer);

    // The reports go to /dev/null while timing, so a terminal does not set the pace.
    std::fflush(stdout);
    const int saved_stdout = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (saved_stdout < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
        std::perror("redirecting standard output");
        return 1;
    }
    type_word({"g2co", 3});  // so that g2wd1 drives the pin
    struct Result {
        std::vector<double> status_ms;
        double script_rate = 0;
        int cut_replies = 0;
    } results[2];
    // The same script through the JSON writer, lengths known.
    set_output_mode(OutputMode::kJson);
    cut_replies = 0;
    script_rate(commands);  // warm up
    const double json_rate = script_rate(commands);
    const int json_cut = cut_replies;
    set_output_mode(OutputMode::kText);
    for (const bool interval_rule : {true, false}) {
        interval_reads.store(interval_rule);
        Result& result = results[interval_rule ? 0 : 1];
        cut_replies = 0;
        result.status_ms = time_status(commands);
        result.script_rate = script_rate(commands);
        result.cut_replies = cut_replies;
    }
    std::fflush(stdout);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    close(null_fd);

    // On a pseudo-terminal the request itself is not paced and the reply's
    // first byte leaves at once, so only the gaps between reply bytes remain.
    const double wire_ms = (kRequestBytes + kReplyBytes) * kByteMs;
    const double pty_wire_ms = (kReplyBytes - 1) * kByteMs;
    std::printf("console command \"sta\" against the paced simulated board, %d commands a mode\n",
                commands);
    std::printf("  wire time %.3f ms (%d + %d bytes at 19200 baud); on a pty %.3f ms (%d gaps)\n",
                wire_ms, kRequestBytes, kReplyBytes, pty_wire_ms, kReplyBytes - 1);
    for (const bool interval_rule : {true, false}) {
        const Result& result = results[interval_rule ? 0 : 1];
        const double end_ms = interval_rule ? kIntervalMs : kGuardMs;
        const double median = percentile(result.status_ms, 0.5);
        std::printf("%s\n",
                    interval_rule ? "interval rule (interval_reads set)" : "reply lengths known");
        std::printf("  median      %.3f ms%s\n", median, interval_rule ? "" : "  (goal <= 3.8)");
        std::printf("  99th pct    %.3f ms\n", percentile(result.status_ms, 0.99));
        std::printf("  min / max   %.3f / %.3f ms\n", result.status_ms.front(),
                    result.status_ms.back());
        std::printf("  floor       %.3f ms (wire + %.3f ms); pty floor %.3f ms, median %+.3f ms\n",
                    wire_ms + end_ms, end_ms, pty_wire_ms + end_ms,
                    median - (pty_wire_ms + end_ms));
        std::printf("  mixed script (sta g2rd g2wd1 sys): %.1f commands per second\n",
                    result.script_rate);
        if (result.cut_replies != 0) {
            std::printf("  replies cut by the machine's load: %d (measure again)\n",
                        result.cut_replies);
        }
    }

    std::printf("--json (reply lengths known)\n");
    std::printf("  mixed script: %.1f commands per second, %+.1f%% against the text path%s\n",
                json_rate, (json_rate / results[1].script_rate - 1) * 100,
                json_cut != 0 ? " (replies cut: measure again)" : "");

    serial_port().close();
    session().closed();
    return 0;
}
