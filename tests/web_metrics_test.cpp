// GET /metrics against a board in memory whose status and statistics
// replies are known: the values and labels a scrape tells, and the text as
// Prometheus's own checker reads it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "protocol/counters.h"
#include "protocol/server_commands.h"
#include "sim/quirn_board.h"
#include "tests/support/served_board.h"
#include "web/metrics_api.h"

namespace {

using namespace std::chrono_literals;
using test_support::MemoryBoard;

// Each sample line of an exposition, by its name and labels.
std::map<std::string, std::string> samples(const std::string& text) {
    std::map<std::string, std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.rfind(' ');
        if (!line.starts_with('#') && space != std::string::npos) {
            found[line.substr(0, space)] = line.substr(space + 1);
        }
    }
    return found;
}

// What `promtool check metrics` says of text, and its exit status.
std::pair<int, std::string> promtool_check(const std::string& text) {
    // This process's own file: other test programs may check at the same time.
    const std::string said_path =
        testing::TempDir() + "tessaro-promtool-" + std::to_string(getpid()) + ".txt";
    FILE* pipe = popen(("promtool check metrics > " + said_path + " 2>&1").c_str(), "w");
    if (pipe == nullptr) {
        return {-1, "promtool not started"};
    }
    std::fwrite(text.data(), 1, text.size(), pipe);
    const int status = pclose(pipe);
    std::ifstream said(said_path);
    std::string text_said(std::istreambuf_iterator<char>(said), {});
    std::remove(said_path.c_str());
    return {status, text_said};
}

// Each expected series has its value in found.
template <size_t N>
void expect_samples(const std::map<std::string, std::string>& found,
                    const std::pair<std::string, std::string> (&expected)[N]) {
    for (const auto& [series, value] : expected) {
        const auto at = found.find(series);
        EXPECT_TRUE(at != found.end() && at->second == value)
            << series << " is " << (at == found.end() ? "missing" : at->second) << ", not "
            << value;
    }
}

class Metrics : public test_support::ServedBoard {
  protected:
    // Scrapes until a sample of name appears (the sampler the first scrape
    // started has read the board), within a deadline. The status is taken
    // in on the loop after the statistics read that follows it is recorded:
    // a scrape that tells it tells both.
    std::string scrape_until(const std::string& name, bool present = true) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::string text;
        while (std::chrono::steady_clock::now() < deadline) {
            const httplib::Result result = get(kMetricsPath);
            if (!result || result->status != 200) {
                ADD_FAILURE() << "scrape failed";
                return "";
            }
            EXPECT_EQ(result->get_header_value("Content-Type"), kMetricsContentType);
            text = result->body;
            if ((text.find("\n" + name + "{") != std::string::npos) == present) {
                return text;
            }
        }
        ADD_FAILURE() << name << (present ? " absent" : " present") << " past the deadline:\n"
                      << text;
        return text;
    }
};

// One scrape, no stream open: the sampler's status and the statistics
// window, the board's names escaped, the counts by source and result, and
// a text promtool finds nothing wrong with. A silent board's status goes;
// disconnected, the board's series go and the counts stay.
TEST_F(Metrics, TellTheBoardAndTheCountsAsPrometheusReadsThem) {
    session().identified("Ard\"uino\\", "Uno\nR4", 1, 2);
    board_->model().set_alarm_word(quirn_sim::ALARM_KST_STACK);
    board_->model().set_fault_word(quirn_sim::FAULT_WATCHDOG);
    // Load 10, 30 and 20 of a period of 40; kernel stack 16 to 48 of 64,
    // user stack 8 to 8 of 32. Every read alike, so every window is too.
    const std::vector<uint8_t> reply = {
        quirn_sim::REQ_SYSTAT, 10, 30, 20, 10, 50, 16, 48, 8, 8, 64, 32};
    board_->queue_statistics(std::vector<std::vector<uint8_t>>(100000, reply));
    EXPECT_TRUE(run_board_command("rust", CommandSource::kConsole).ok());
    EXPECT_EQ(run_board_command("g99rd", CommandSource::kConsole).status,
              CommandStatus::kOutOfRange);
    ASSERT_TRUE(get("/api/gpio/grd/3"));

    const std::string text = scrape_until("tessaro_board_status");
    const std::map<std::string, std::string> found = samples(text);
    const std::pair<std::string, std::string> expected[] = {
        {"tessaro_board_connected", "1"},
        {R"(tessaro_board_info{port="/dev/memory0",maker="Ard\"uino\\",board="Uno\nR4"})", "1"},
        {R"(tessaro_board_status{flag="user_scheduler_running"})", "1"},
        {R"(tessaro_board_status{flag="kernel_scheduler_running"})", "0"},
        {R"(tessaro_board_status{flag="kernel_alarm"})", "1"},
        {R"(tessaro_board_status{flag="kernel_fault"})", "1"},
        {R"(tessaro_board_status{flag="user_fault"})", "0"},
        {R"(tessaro_board_status{flag="kernel_stack_high"})", "1"},
        {R"(tessaro_board_status{flag="user_stack_high"})", "0"},
        {R"(tessaro_board_status{flag="watchdog"})", "1"},
        {R"(tessaro_board_status{flag="kernel_stack_full"})", "0"},
        {R"(tessaro_board_load_ratio{stat="min"})", "0.25"},
        {R"(tessaro_board_load_ratio{stat="max"})", "0.75"},
        {R"(tessaro_board_load_ratio{stat="average"})", "0.5"},
        {R"(tessaro_board_stack_ratio{stack="kernel",stat="min"})", "0.25"},
        {R"(tessaro_board_stack_ratio{stack="kernel",stat="max"})", "0.75"},
        {R"(tessaro_board_stack_ratio{stack="user",stat="max"})", "0.25"},
        {R"(tessaro_transactions_total{source="console",result="ok"})", "1"},
        {R"(tessaro_transactions_total{source="console",result="refused"})", "1"},
        {R"(tessaro_transactions_total{source="api",result="ok"})", "1"},
        {R"(tessaro_transactions_total{source="mqtt",result="ok"})", "0"},
        {R"(tessaro_transactions_total{source="sampler",result="no_reply"})", "0"},
        {"tessaro_reconnects_total", "0"},
    };
    expect_samples(found, expected);
    // The board time of every command that reached the board: the two
    // console and API ones and the sampler's, none of the refused one.
    const uint64_t sampled =
        std::stoull(found.at(R"(tessaro_transactions_total{source="sampler",result="ok"})"));
    EXPECT_GT(sampled, 0u);
    EXPECT_EQ(found.at("tessaro_transaction_duration_seconds_count"), std::to_string(sampled + 2));
    EXPECT_EQ(found.at(R"(tessaro_transaction_duration_seconds_bucket{le="+Inf"})"),
              found.at("tessaro_transaction_duration_seconds_count"));
    EXPECT_TRUE(found.contains(R"(tessaro_http_requests_total{code="200"})"));
#if defined(__linux__)
    EXPECT_TRUE(found.contains("process_open_fds"));
    EXPECT_TRUE(found.contains("process_resident_memory_bytes"));
#endif
    const auto [status, said] = promtool_check(text);
    EXPECT_EQ(status, 0) << said << text;
    EXPECT_EQ(said, "");

    // A board that falls silent: its last status is not told as its state
    // now, and the counts say why.
    board_->set_faults({.silent_every = 1});
    const std::map<std::string, std::string> silent =
        samples(scrape_until("tessaro_board_status", false));
    EXPECT_NE(silent.at(R"(tessaro_transactions_total{source="sampler",result="no_reply"})"), "0");

    session().closed();
    const std::map<std::string, std::string> closed = samples(get(kMetricsPath)->body);
    EXPECT_EQ(closed.at("tessaro_board_connected"), "0");
    EXPECT_FALSE(closed.contains(R"(tessaro_board_status{flag="watchdog"})"));
    EXPECT_FALSE(closed.contains(R"(tessaro_board_load_ratio{stat="min"})"));
    EXPECT_EQ(closed.at(R"(tessaro_transactions_total{source="api",result="ok"})"), "1");
}

// Each bucket counts every command at or under its bound, +Inf all of
// them; each status lands on its result whatever the source.
TEST(MetricsText, BucketsAddUpAndEachStatusHasItsResult) {
    counters::reset();
    using std::chrono::microseconds;
    counters::count_command(CommandSource::kMqtt, CommandStatus::kNoReply, microseconds(1000));
    counters::count_command(CommandSource::kMqtt, CommandStatus::kBadEcho, microseconds(1500));
    counters::count_command(CommandSource::kApi, CommandStatus::kUnconfirmed, microseconds(9000));
    counters::count_command(CommandSource::kApi, CommandStatus::kUndecoded,
                            std::chrono::seconds(3));
    counters::count_command(CommandSource::kSampler, CommandStatus::kNotConnected, std::nullopt);
    MetricsReading reading;
    reading.counters = counters::snapshot();
    reading.process = false;
    const std::map<std::string, std::string> found = samples(metrics_text(reading));
    counters::reset();
    const std::pair<std::string, std::string> expected[] = {
        {R"(tessaro_transactions_total{source="mqtt",result="no_reply"})", "1"},
        {R"(tessaro_transactions_total{source="mqtt",result="bad_reply"})", "1"},
        {R"(tessaro_transactions_total{source="api",result="bad_reply"})", "1"},
        {R"(tessaro_transactions_total{source="api",result="ok"})", "1"},
        {R"(tessaro_transactions_total{source="sampler",result="refused"})", "1"},
        {R"(tessaro_transaction_duration_seconds_bucket{le="0.001"})", "1"},
        {R"(tessaro_transaction_duration_seconds_bucket{le="0.002"})", "2"},
        {R"(tessaro_transaction_duration_seconds_bucket{le="0.0075"})", "2"},
        {R"(tessaro_transaction_duration_seconds_bucket{le="0.01"})", "3"},
        {R"(tessaro_transaction_duration_seconds_bucket{le="2.5"})", "3"},
        {R"(tessaro_transaction_duration_seconds_bucket{le="+Inf"})", "4"},
        {"tessaro_transaction_duration_seconds_count", "4"},
        {"tessaro_transaction_duration_seconds_sum", "3.0115"},
        {"tessaro_board_connected", "0"},
        {R"(tessaro_board_info{port="",maker="",board=""})", "1"},
    };
    expect_samples(found, expected);
}

}  // namespace
