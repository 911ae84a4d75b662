// The simulated board on its pseudo-terminal, seen from a bare host end.
// The board serves from its own thread, hence the suite name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "sim/quirn_board.h"
#include "tests/support/sim_host_line.h"

namespace {

using namespace std::chrono_literals;
using quirn_sim::BoardConfig;
using quirn_sim::Faults;
using quirn_sim::PtyBoard;
using test_support::HostLine;
using Bytes = std::vector<uint8_t>;

constexpr auto kDeadline = 5s;

#define REQUIRE_BOARD(board)                                                       \
    if (!(board).ok()) {                                                           \
        GTEST_SKIP() << "no pseudo-terminal on this machine: " << (board).error(); \
    }

TEST(SimPtyConcurrency, AnswersOnTheLineAndRecordsWhatCame) {
    PtyBoard board;
    REQUIRE_BOARD(board);
    HostLine host(board.path());
    ASSERT_TRUE(host.ok());

    ASSERT_TRUE(host.write({0xE0, 0xFD}));
    EXPECT_EQ(host.read_exact(4, kDeadline), (Bytes{0xE0, 0x01, 0x06, 0x09}));
    ASSERT_TRUE(host.write({0x02, 0x20, 0x40}));
    EXPECT_EQ(host.read_exact(6, kDeadline), (Bytes{0x02, 0x20, 0x40, 0x11, 0x00, 0x00}));
    EXPECT_EQ(board.status_word(), 0x11);
    EXPECT_EQ(board.received_frames(), (std::vector<Bytes>{{0xE0, 0xFD}, {0x02}, {0x20}, {0x40}}));

    board.clear_received();
    ASSERT_TRUE(host.write({0xA4, 0x82}));
    ASSERT_TRUE(host.write({0x81, 0xFE}));
    EXPECT_TRUE(board.wait_for_frames(1, kDeadline));
    EXPECT_EQ(board.received_frames(), (std::vector<Bytes>{{0xA4, 0x82, 0x81, 0xFE}}));
    EXPECT_EQ(host.read_exact(4, kDeadline), (Bytes{0xA4, 0x82, 0x81, 0x01}));
}

TEST(SimPtyConcurrency, LineIsRawEvenWhenTheHostLeavesItAlone) {
    PtyBoard board;
    REQUIRE_BOARD(board);
    HostLine host(board.path(), /*raw=*/false);
    ASSERT_TRUE(host.ok());
    // CR, LF, ^C, ^D, ^H and ^Q would all be eaten or changed by a cooked terminal.
    board.set_analog(1, 0x0A0D);
    ASSERT_TRUE(host.write({0xA0, 0x81, 0xFE}));
    EXPECT_EQ(host.read_exact(5, kDeadline), (Bytes{0xA0, 0x81, 0x0D, 0x0A, 0x00}));
    board.set_analog(1, 0x0311);
    ASSERT_TRUE(host.write({0x04, 0x08, 0xA0, 0x81, 0xFE}));
    const Bytes replies = host.read_exact(12 + 1 + 5, kDeadline);
    ASSERT_EQ(replies.size(), 18u);
    EXPECT_EQ(replies[0], 0x04);
    EXPECT_EQ(replies[12], 0x08);
    EXPECT_EQ(Bytes(replies.begin() + 13, replies.end()), (Bytes{0xA0, 0x81, 0x11, 0x03, 0x00}));
    EXPECT_EQ(host.pending(), 0u) << "nothing echoed back";
}

TEST(SimPtyConcurrency, HostCanDisconnectAndReconnect) {
    PtyBoard board;
    REQUIRE_BOARD(board);
    for (int round = 0; round < 3; ++round) {
        HostLine host(board.path());
        ASSERT_TRUE(host.ok()) << "round " << round;
        ASSERT_TRUE(host.write({0x02}));
        EXPECT_EQ(host.read_exact(1, kDeadline), Bytes{0x02}) << "round " << round;
    }
    EXPECT_EQ(board.request_count(), 3u);
}

// Opens the terminal exclusively, closes it, and opens it again, the way a
// host connects, disconnects and reconnects. 0 on success.
int exclusive_reconnect(const char* path) {
    const int first = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (first < 0 || ioctl(first, TIOCEXCL) != 0) {
        return 1;
    }
    ::close(first);
    for (int attempt = 0; attempt < 5000; ++attempt) {  // up to about 5 s
        const int again = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (again >= 0) {
            ::close(again);
            return 0;
        }
        usleep(1000);
    }
    return 2;
}

TEST(SimPtyConcurrency, ExclusiveHostCanReconnectWithoutPrivileges) {
    PtyBoard board;
    REQUIRE_BOARD(board);
    if (geteuid() != 0) {
        EXPECT_EQ(exclusive_reconnect(board.path().c_str()), 0);
        return;
    }
    // Root ignores exclusive mode, so the host is played by an ordinary user.
    ASSERT_EQ(chmod(board.path().c_str(), 0666), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(3);
        }
        _exit(exclusive_reconnect(board.path().c_str()));
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: first open failed, 2: reconnect refused";
}

TEST(SimPtyConcurrency, SilentRequestsLeaveNothingOnTheLine) {
    PtyBoard board;
    REQUIRE_BOARD(board);
    HostLine host(board.path());
    board.set_faults({.silent_every = 2});
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(host.write({0x40}));
        ASSERT_TRUE(board.wait_for_frames(i + 1, kDeadline));
        ASSERT_TRUE(board.wait_idle(kDeadline));
        if (i % 2 == 0) {
            EXPECT_EQ(host.read_exact(4, kDeadline).size(), 4u) << "request " << i + 1;
        } else {
            EXPECT_EQ(host.pending(), 0u) << "request " << i + 1;
        }
    }
}

TEST(SimPtyConcurrency, SplitReplyLeavesInTwoBursts) {
    PtyBoard board;
    REQUIRE_BOARD(board);
    HostLine host(board.path());
    // The gap is far above any scheduling jitter, so the first read sees the head alone.
    board.set_faults({.split_gap_ms = 500, .garbage_bytes = 2});
    ASSERT_TRUE(host.write({0x40}));
    EXPECT_EQ(host.read_burst(kDeadline), (Bytes{0x40, 0x00, 0x00}));
    EXPECT_EQ(host.read_exact(3, kDeadline), (Bytes{0x00, 0xA5, 0xA5}));
}

TEST(SimPtyConcurrency, WrongEchoAndLengthAndPacingReachTheHost) {
    BoardConfig config;
    config.pace = true;
    config.reply_delay_ms = 5;
    config.faults.wrong_echo = true;
    config.faults.wrong_length = true;
    PtyBoard board(config);
    REQUIRE_BOARD(board);
    HostLine host(board.path());
    ASSERT_TRUE(host.write({0x40}));
    EXPECT_EQ(host.read_exact(5, kDeadline), (Bytes{0x41, 0x00, 0x00, 0x00, 0x00}));
    ASSERT_TRUE(board.wait_idle(kDeadline));
    EXPECT_EQ(host.pending(), 0u);
    board.set_faults({});
    ASSERT_TRUE(host.write({0x04}));
    const Bytes systat = host.read_exact(12, kDeadline);
    ASSERT_EQ(systat.size(), 12u);
    EXPECT_EQ(systat[0], 0x04);
}

TEST(SimPtyConcurrency, HangUpEndsTheLineForTheHost) {
    PtyBoard board;
    REQUIRE_BOARD(board);
    HostLine host(board.path());
    board.set_faults({.hangup_after = 1});
    ASSERT_TRUE(host.write({0x40}));
    EXPECT_EQ(host.read_exact(4, kDeadline).size(), 4u);
    EXPECT_FALSE(board.hung_up());
    ASSERT_TRUE(host.write({0x40}));
    EXPECT_TRUE(host.wait_closed(kDeadline)) << "the read must fail, not wait";
    EXPECT_TRUE(board.hung_up());
    EXPECT_FALSE(host.write({0x40}));
    EXPECT_EQ(board.received_frames().size(), 2u);
}

TEST(SimPtyConcurrency, StopsPromptlyInTheMiddleOfAnything) {
    BoardConfig config;
    config.reply_delay_ms = 60'000;
    auto board = std::make_unique<PtyBoard>(config);
    REQUIRE_BOARD(*board);
    HostLine host(board->path());
    ASSERT_TRUE(host.write({0x40}));
    ASSERT_TRUE(board->wait_for_frames(1, kDeadline));
    auto stopped = std::async(std::launch::async, [&] { board.reset(); });
    EXPECT_EQ(stopped.wait_for(kDeadline), std::future_status::ready);
    EXPECT_TRUE(host.wait_closed(kDeadline)) << "the host sees the board go";
}

TEST(SimPtyConcurrency, SettingsFromAnotherThreadWhileServing) {
    PtyBoard board;
    REQUIRE_BOARD(board);
    HostLine host(board.path());
    std::atomic<bool> done{false};
    std::thread fiddler([&] {
        uint16_t value = 0;
        while (!done) {
            board.set_analog(5, value++ % 1024);
            board.set_alarm_word(0);
            (void)board.received_frames();
        }
    });
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(host.write({0xA0, 0x85, 0xFE}));
        const Bytes reply = host.read_exact(5, kDeadline);
        ASSERT_EQ(reply.size(), 5u);
        EXPECT_LE(reply[2] + 256 * reply[3], 1023);
    }
    done = true;
    fiddler.join();
    EXPECT_EQ(board.request_count(), 200u);
}

}  // namespace
