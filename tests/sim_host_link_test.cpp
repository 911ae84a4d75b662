// The host's serial link against the simulated board: the real SerialPort
// on the board's pseudo-terminal, and the built tessaro program connecting
// to the quirn-sim program. The board serves from its own thread.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "serial/class_serial.h"
#include "sim/quirn_board.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
using quirn_sim::Faults;
using quirn_sim::PtyBoard;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = 10s;
// No answer costs the host 2 ms per byte asked plus 20 ms.
constexpr auto kNoAnswerTime = 2066ms;

#define REQUIRE_BOARD(board)                                                       \
    if (!(board).ok()) {                                                           \
        GTEST_SKIP() << "no pseudo-terminal on this machine: " << (board).error(); \
    }

// A SerialPort connected to the board, closed (with its line) at the end.
struct Link {
    explicit Link(const PtyBoard& board) { port.open(board.path()); }
    bool open() const { return port.get_state().status == 1; }
    SerialPort port;
};

TEST(SimHostLinkConcurrency, EveryRequestComesBackWhole) {
    struct Row {
        Bytes request;
        std::size_t length;
    };
    const Row rows[] = {
        {{0x02}, 1},
        {{0x20}, 1},
        {{0x40}, 4},
        {{0x04}, 12},
        {{0x08}, 1},
        {{0x10}, 1},
        {{0x01}, 1},
        {{0xE0, 0xFD}, 4},
        {{0x81, 0x82, 0xFE}, 3},
        {{0xA4, 0x82, 0x81, 0xFE}, 4},
        {{0x98, 0x82, 0xFE}, 4},
        {{0xA0, 0x88, 0xFE}, 5},
        {{0xE1, 0xFE}, 1},
    };
    PtyBoard board;
    REQUIRE_BOARD(board);
    Link link(board);
    ASSERT_TRUE(link.open());
    for (const Row& row : rows) {
        board.clear_received();
        const CommandReply reply = row.request.size() == 1 ? link.port.transact_byte(row.request[0])
                                                           : link.port.transact_frame(row.request);
        EXPECT_EQ(reply.count, row.length) << quirn_sim::hex_bytes(row.request);
        ASSERT_EQ(reply.bytes.size(), reply.count);
        ASSERT_FALSE(reply.bytes.empty());
        EXPECT_EQ(reply.bytes[0], row.request[0]);
        EXPECT_EQ(board.received_frames(), std::vector<Bytes>{row.request})
            << "exactly the request, once";
    }
    EXPECT_EQ(link.port.transact_frame({0x98, 0x82, 0xFE}).bytes[2], 1) << "pin 2 was written 1";
}

TEST(SimHostLinkConcurrency, SilentBoardCostsTheFullWaitAndAnEmptyReply) {
    PtyBoard board;
    REQUIRE_BOARD(board);
    Link link(board);
    ASSERT_TRUE(link.open());
    board.set_faults({.silent_every = 1});
    const auto start = Clock::now();
    const CommandReply reply = link.port.transact_byte(0x40);
    EXPECT_EQ(reply.count, 0u);
    EXPECT_TRUE(reply.bytes.empty());
    EXPECT_GE(Clock::now() - start, kNoAnswerTime - 50ms) << "the read waited out its time-outs";
    board.set_faults({});
    EXPECT_EQ(link.port.transact_byte(0x40).count, 4u) << "the next request is answered";
}

TEST(SimHostLinkConcurrency, SplitReplyIsCutAndItsTailDiscardedBeforeTheNextRequest) {
    PtyBoard board;
    REQUIRE_BOARD(board);
    Link link(board);
    ASSERT_TRUE(link.open());
    board.set_faults({.split_gap_ms = 100});
    const CommandReply head = link.port.transact_byte(0x40);
    EXPECT_EQ(head.bytes, (Bytes{0x40, 0x00})) << "the read ends at the gap";
    ASSERT_TRUE(board.wait_idle(kDeadline)) << "the tail has been sent";

    board.set_faults({});
    testing::internal::CaptureStderr();
    const CommandReply next = link.port.transact_byte(0x02);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(next.bytes, Bytes{0x02}) << "not the stale tail of the last reply";
    EXPECT_EQ(errors, "Discarded 2 stale bytes from " + board.path() + " before the request\n");
}

TEST(SimHostLinkConcurrency, HangUpFailsTheNextReadAtOnce) {
    PtyBoard board;
    REQUIRE_BOARD(board);
    Link link(board);
    ASSERT_TRUE(link.open());
    board.set_faults({.hangup_after = 1});
    EXPECT_EQ(link.port.transact_byte(0x40).count, 4u);

    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    const CommandReply reply = link.port.transact_byte(0x40);
    const auto took = Clock::now() - start;
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reply.count, 0u);
    EXPECT_TRUE(board.hung_up());
    EXPECT_NE(errors.find("Error: Failed to read from COM port"), std::string::npos) << errors;
    EXPECT_LT(took, kNoAnswerTime / 2) << "a vanished line fails, it does not time out";
}

TEST(SimHostLinkEndToEnd, TessaroConnectsToQuirnSimAndQuits) {
    test_support::ChildProcess sim(QUIRN_SIM_BINARY, {});
    ASSERT_TRUE(sim.wait_for_output("\n", kDeadline)) << sim.errors();
    const std::string first = sim.output();
    const std::size_t on = first.find(" on ");
    ASSERT_NE(on, std::string::npos) << first;
    const std::string path = first.substr(on + 4, first.find('\n') - on - 4);

    test_support::ChildProcess tessaro(TESSARO_BINARY, {});
    ASSERT_TRUE(tessaro.started());
    tessaro.write("co " + path + "\n");
    ASSERT_TRUE(tessaro.wait_for_output("Uno_R4_Minima", kDeadline)) << tessaro.output();
    tessaro.write("di\n");
    ASSERT_TRUE(tessaro.wait_for_output("Closed " + path + " port", kDeadline)) << tessaro.output();
    tessaro.write("quit\n");
    EXPECT_EQ(tessaro.wait_exit(kDeadline), 0) << tessaro.output();
    EXPECT_EQ(tessaro.output().find("Error"), std::string::npos) << tessaro.output();

    sim.close_input();
    EXPECT_EQ(sim.wait_exit(kDeadline), 0);
}

}  // namespace
