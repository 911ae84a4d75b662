// The board's statistics, read and reset by every reader, as windows that no
// reader takes from another: the console and API clients against a board in
// memory whose successive statistics replies differ.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "app/console_ui.h"
#include "base/session.h"
#include "protocol/statistics_windows.h"
#include "sim/quirn_board.h"
#include "tests/support/served_board.h"

namespace {

using test_support::MemoryBoard;
using Bytes = std::vector<uint8_t>;

// A statistics reply: load min, max and average over a period of 40, and
// the kernel stack's minimum and maximum.
Bytes statistics(uint8_t min, uint8_t max, uint8_t average, uint8_t stack_min = 1,
                 uint8_t stack_max = 2) {
    return {quirn_sim::REQ_SYSTAT, min, max, average, 10, 50, stack_min, stack_max, 0, 0, 64, 64};
}

Statistics decoded(const Bytes& reply) {
    return {reply[1], reply[2], reply[3], reply[4],  reply[5], reply[6],
            reply[7], reply[8], reply[9], reply[10], reply[11]};
}

// The program's own port, on a board in memory, connected.
class StatisticsWindows : public test_support::ServedBoard {
  protected:
    void SetUp() override {
        ServedBoard::SetUp();
        connect();
    }
    // The same connection (its number unchanged) in server mode, the
    // console's quit of an earlier run undone.
    static void connect() {
        session().reset();
        session().opened(MemoryBoard::kPath);
        session().set_mode(ConsoleMode::kServer);
    }

    // The load's minimum and maximum the console's sys tells.
    static std::pair<int, int> console_sys() {
        connect();
        std::istringstream in("sys quit");
        testing::internal::CaptureStdout();
        run_console(in);
        const std::string out = testing::internal::GetCapturedStdout();
        const auto numerator = [&](const std::string& label) {
            const size_t at = out.find(label);
            return at == std::string::npos ? -1 : std::stoi(out.substr(out.find('(', at) + 1));
        };
        return {numerator("RT load min:"), numerator("RT load max:")};
    }
    // GET /api/systat, with since when given: the load's minimum and
    // maximum, and the cursor to pass back.
    nlohmann::json api_systat(std::optional<uint64_t> since) const {
        connect();
        const httplib::Result result =
            get("/api/systat" + (since ? "?since=" + std::to_string(*since) : std::string()));
        EXPECT_TRUE(result && result->status == 200) << (result ? result->body : "no answer");
        return nlohmann::json::parse(result ? result->body : "", nullptr, false);
    }
};

// The console and an API client read in turn; each gets the minimum and
// maximum over the board reads since its own last read, its own included.
TEST_F(StatisticsWindows, TwoReadersInTurnEachGetTheirOwnWindow) {
    board_->queue_statistics({statistics(10, 30, 20), statistics(5, 25, 15), statistics(15, 50, 30),
                              statistics(20, 22, 21), statistics(8, 9, 8)});
    // The client's first read, no cursor and nothing sampling: the fresh read.
    const nlohmann::json first = api_systat(std::nullopt);
    EXPECT_EQ(first["load"]["min"], 10);
    EXPECT_EQ(first["load"]["max"], 30);
    EXPECT_EQ(first["window"]["reads"], 1);
    EXPECT_EQ(first["window"]["complete"], true);
    // The console has read nothing this connection: both reads so far.
    EXPECT_EQ(console_sys(), std::pair(5, 30));
    // The client: the console's read and its own.
    const nlohmann::json second = api_systat(first["window"]["cursor"].get<uint64_t>());
    EXPECT_EQ(second["load"]["min"], 5);
    EXPECT_EQ(second["load"]["max"], 50);
    EXPECT_EQ(second["window"]["reads"], 2);
    // The console: the client's last read and its own.
    EXPECT_EQ(console_sys(), std::pair(15, 50));
    // Alone, the console gets the board's own reply.
    EXPECT_EQ(console_sys(), std::pair(8, 9));
    EXPECT_EQ(board_->received_frames().size(), 5u);
}

// The average is weighted by the time each read covers; period and sizes
// are the newest read's; a cursor from before the reads kept, or from an
// earlier connection, gives an incomplete window.
TEST(StatisticsLedger, MergesByTimeAndSaysWhenAWindowIsIncomplete) {
    using std::chrono::seconds;
    StatisticsLedger ledger;
    const StatisticsLedger::TimePoint start{};
    ledger.connection(1, start);
    Bytes newer = statistics(20, 20, 40, 3, 9);
    newer[5] = 90;  // a period of 80
    ledger.record(decoded(statistics(10, 10, 10, 1, 5)), start + seconds(3));
    const uint64_t last = ledger.record(decoded(newer), start + seconds(4));
    const std::optional<StatisticsWindow> both = ledger.take(StatisticsReader::kConsole);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->statistics.load_avg, 18);  // (10 * 3 + 40 * 1) / 4, rounded
    EXPECT_EQ(both->statistics.period(), 80u);
    EXPECT_EQ(std::tuple(both->statistics.kernel_stack_min, both->statistics.kernel_stack_max),
              std::tuple(uint8_t{1}, uint8_t{9}));
    EXPECT_EQ(std::tuple(both->reads, both->seconds, both->cursor, both->complete),
              std::tuple(2u, 4.0, last, true));
    EXPECT_FALSE(ledger.take(StatisticsReader::kConsole)) << "a window taken starts afresh";
    EXPECT_TRUE(ledger.take(StatisticsReader::kSampler)) << "another reader's window is its own";

    ledger.connection(2, start + seconds(10));
    EXPECT_FALSE(ledger.since(0)) << "reads of another connection are not merged";
    ledger.record(decoded(statistics(1, 2, 1)), start + seconds(11));
    EXPECT_FALSE(ledger.since(0)->complete);
    EXPECT_TRUE(ledger.since(last)->complete);
    for (size_t i = 0; i < StatisticsLedger::kKeptReads; ++i) {
        ledger.record(decoded(statistics(1, 2, 1)), start + seconds(12));
    }
    EXPECT_FALSE(ledger.since(last)->complete) << "its oldest reads were let go";
    EXPECT_EQ(ledger.since(last)->reads, StatisticsLedger::kKeptReads);
}

}  // namespace
