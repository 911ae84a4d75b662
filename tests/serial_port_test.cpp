// The serial session on a pseudo-terminal, with the simulated board as the peer.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <optional>
#include <thread>
#include <utility>

#include "serial/class_serial.h"
#include "sim/quirn_board.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using Failure = OpenResult::Failure;
using quirn_sim::REQ_RUN_KST, quirn_sim::REQ_STATUS;  // answered with 1 and with 4 bytes

// A port opened on a simulated board, closed at the end.
struct Link {
    explicit Link(quirn_sim::BoardConfig config = {}) : board(config) {
        EXPECT_TRUE(port.open(board.path()).ok()) << board.error();
    }
    quirn_sim::PtyBoard board;
    SerialPort port;
};

// A bare pseudo-terminal pair, cooked as the kernel makes it.
struct Pty {
    int master = -1, slave = -1;
    char name[128] = {};
    Pty() { ::openpty(&master, &slave, name, nullptr, nullptr); }
    ~Pty() {
        ::close(master);
        ::close(slave);
    }
};

TEST(SerialPort, OpensRaw19200EightNoneOneAndResolvesTheNameIgnoringCase) {
    Pty pty;
    termios dirty{};  // cooked (ICANON, ECHO, ISIG, IXON, ICRNL, OPOST, 38400), and worse
    ASSERT_EQ(tcgetattr(pty.slave, &dirty), 0);
    dirty.c_cflag = (dirty.c_cflag & ~(CSIZE | CLOCAL | CREAD)) | CS7 | PARENB | CSTOPB | CRTSCTS;
    dirty.c_iflag |= IXOFF | IXANY;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &dirty), 0);
    std::string name = pty.name;
    std::transform(name.begin(), name.end(), name.begin(), ::toupper);

    SerialPort port;
    const OpenResult opened = port.open(name);
    EXPECT_TRUE(opened.ok());
    EXPECT_EQ(opened.closed_first, std::nullopt);
    EXPECT_EQ(port.get_state().port_name, pty.name);
    termios set{};
    ASSERT_EQ(tcgetattr(pty.slave, &set), 0);
    EXPECT_EQ(std::pair(cfgetispeed(&set), cfgetospeed(&set)),
              std::pair(speed_t{B19200}, speed_t{B19200}));
    EXPECT_EQ(set.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(set.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
    EXPECT_EQ(set.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(set.c_oflag & OPOST, 0u);
    // In ms: the gap that ends a reply, then per byte asked for and once
    // per read for the total; a silent board costs 2 * 1023 + 20.
    EXPECT_EQ(
        std::tuple(port.timeouts.ReadIntervalTimeout, port.timeouts.ReadTotalTimeoutMultiplier,
                   port.timeouts.ReadTotalTimeoutConstant),
        std::tuple(5u, 2u, 20u));
}

// The path really tried and the reason; a name with control characters is
// not tried. A port is held exclusively until its holder lets it go.
TEST(SerialPort, OpenFailuresSayWhy) {
    Link held;
    const std::string busy = held.board.path();
    Pty pty;
    std::string mixed_case = pty.name;
    std::transform(mixed_case.begin(), mixed_case.end(), mixed_case.begin(), ::toupper);
    mixed_case += "9";  // /DEV/PTS/39 names nothing
    const std::string missing = "/dev/pts/" + mixed_case.substr(9);
    // A device node with no driver behind it: the open fails with ENXIO.
    const std::string no_driver = testing::TempDir() + "serial_nodev_" + std::to_string(getpid());
    const bool have_node = mknod(no_driver.c_str(), S_IFCHR | 0600, makedev(240, 7)) == 0;
    struct Row {
        std::string name;
        Failure failure;
        std::string path, why;  // why: the reason, or the name as shown
    };
    std::vector<Row> rows = {
        {busy, Failure::kCannotOpen, busy, "in use by another program"},
        {mixed_case, Failure::kCannotOpen, missing, "no such device"},
        {"/dev/null", Failure::kCannotOpen, "/dev/null", "not a serial port"},
        {"/tmp", Failure::kCannotOpen, "/tmp", "not a serial port"},
        {std::string(pty.name) + '\0' + "junk", Failure::kRefusedName, "",
         std::string(pty.name) + "\\x00junk"},
        {"pts\x1b[2J\x7f\n", Failure::kRefusedName, "", "pts\\x1b[2J\\x7f\\x0a"},
    };
    if (have_node) {
        rows.push_back({no_driver, Failure::kCannotOpen, no_driver, "no such device"});
    }
    for (const Row& row : rows) {
        SerialPort port;
        const OpenResult opened = port.open(row.name);
        EXPECT_EQ(opened.failure, row.failure) << row.name;
        EXPECT_EQ(opened.path, row.path) << row.name;
        EXPECT_EQ(row.failure == Failure::kRefusedName ? opened.escaped_name : opened.why, row.why);
        EXPECT_EQ(port.get_state().status, 0) << row.name;
    }
    ::unlink(no_driver.c_str());
    // Opening another port closes the one held, which is then free.
    quirn_sim::PtyBoard second;
    EXPECT_EQ(held.port.open(second.path()).closed_first, busy);
    EXPECT_TRUE(SerialPort().open(busy).ok());
    EXPECT_EQ(held.port.close(), second.path());
    EXPECT_EQ(held.port.close(), std::nullopt) << "closed once";
    // Permission denied and exclusive mode need an unprivileged user: root
    // opens anything. Owned by the group serial ports have on Debian
    // (dialout, 20); the other port is open to all but held, exclusively.
    // The simulated board lifts exclusive mode whenever its line closes:
    // let go, it is the next host's.
    const std::string slave = pty.name;
    ASSERT_EQ(chmod(busy.c_str(), 0666), 0);
    const group* dialout = getgrgid(20);
    ASSERT_EQ(chown(slave.c_str(), 0, 20), 0);
    ASSERT_EQ(chmod(slave.c_str(), 0660), 0);
    Pty shared;
    const std::string busy_pty = shared.name;
    ASSERT_EQ(chmod(busy_pty.c_str(), 0666), 0);
    SerialPort holder;
    holder.open(busy_pty);
    const test_support::UnprivilegedRun run = test_support::run_unprivileged(
        [&] {
            SerialPort port;
            const std::string why = port.open(slave).why;
            const int other = ::open(busy_pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            const bool refused = other < 0 && errno == EBUSY;
            int board = -1;
            for (int attempt = 0; board < 0 && attempt < 5000; ++attempt) {  // up to about 5 s
                board = ::open(busy.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
                ::usleep(board < 0 ? 1000 : 0);
            }
            return why + (refused ? "\nbusy refused" : "\nbusy opened") +
                   (board >= 0 ? "\nboard reopened" : "\nboard held");
        },
        10s);
    holder.close();
    if (run.no_user) {
        GTEST_SKIP() << "cannot become an unprivileged user";
    }
    const std::string hint = dialout != nullptr
                                 ? "join the group that owns it (" + std::string(dialout->gr_name) +
                                       "), then log in again, or check its permissions"
                                 : "check its permissions";
    EXPECT_EQ(run.said, "permission denied: " + hint + "\nbusy refused\nboard reopened");
    if (!have_node) {
        GTEST_SKIP() << "cannot make a device node for the no-driver case";
    }
}

// A port never opened fails at once, and an overlong frame is refused
// before any write, the longest tried. On a terminal: a silent line ends a
// read at its total time-out, a held one a write at the stall limit (each
// at most three times its goal), and a line whose other end has gone says
// so however the system tells it: a hang-up polled without input, a write
// failing with EIO.
TEST(SerialPort, ALineThatCannotCarryBytesFailsInTime) {
    SerialPort port;
    const Clock::time_point start = Clock::now();
    const Transaction failed = port.transact_byte(REQ_STATUS);
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(std::tuple(failed.write_failed, failed.read.ok), std::tuple(true, false));
    const Transaction refused = port.transact_frame(Bytes(512, 0x80));
    EXPECT_EQ(std::pair(refused.refused_size, refused.write_failed),
              std::pair(std::optional<size_t>(512), false));
    EXPECT_EQ(SerialPort().transact_frame(Bytes(511, 0x80)).refused_size, std::nullopt);

    Pty quiet;
    ASSERT_TRUE(port.open(quiet.name).ok());
    uint8_t byte = REQ_STATUS;
    const auto timed = [](const auto& action, std::chrono::milliseconds goal) {
        const Clock::time_point began = Clock::now();
        const serial_platform::Transfer transfer = action();
        EXPECT_GE(Clock::now() - began, goal);
        EXPECT_LT(Clock::now() - began, 3 * goal);
        return transfer;
    };
    // 40 bytes asked for: 2 ms each and 20 ms once.
    uint8_t buffer[40];
    const serial_platform::Transfer silent = timed(
        [&] {
            return serial_platform::read_port(port.handle, buffer, 40, {5, 2, 20});
        },
        100ms);
    EXPECT_EQ(std::pair(silent.ok, silent.count), std::pair(true, 0u));
    ASSERT_EQ(::tcflow(port.handle, TCOOFF), 0);  // as a board's XOFF would
    const Bytes filler(64 * 1024, 0x80);
    const serial_platform::Transfer held = timed(
        [&] {
            return serial_platform::write_port(port.handle, filler.data(),
                                               static_cast<uint32_t>(filler.size()), 100);
        },
        100ms);
    EXPECT_FALSE(held.ok);
    ::tcflow(port.handle, TCOON);
    port.close();

    int ends[2] = {-1, -1};
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[1]);
    const serial_platform::Transfer read =
        serial_platform::read_port(ends[0], &byte, 1, serial_platform::Timeouts{5, 2, 20});
    ::close(ends[0]);
    Pty pty;
    ::close(std::exchange(pty.master, -1));
    const serial_platform::Transfer written = serial_platform::write_port(pty.slave, &byte, 1, 200);
    EXPECT_EQ(std::tuple(read.ok, read.gone, written.ok, written.gone),
              std::tuple(false, true, false, true));
}

// Expecting 4 bytes changes nothing for a longer reply: the bytes past the
// fourth keep the read going, paced or all at once, and so does a pause
// shorter than the interval before the fourth byte has come.
TEST(SerialPort, AReadEndsFiveMsAfterTheLastByteAndKeepsAReplyPacedHalfAMsApart) {
    const struct {
        bool pace;
        uint32_t garbage, gap_ms, count;
    } rows[] = {{false, 16, 0, 20}, {true, 16, 0, 20}, {true, 2, 3, 6}};
    for (const auto& row : rows) {
        Link link({.pace = row.pace,
                   .faults = {.split_gap_ms = row.gap_ms, .garbage_bytes = row.garbage}});
        CommandReply reply;
        Clock::duration took{};
        // A machine that holds the board up for a whole guard or interval
        // cuts a paced reply; such an attempt proves nothing and is made again.
        for (int attempt = 0; attempt < 5 && reply.count != row.count; ++attempt) {
            ASSERT_TRUE(link.board.wait_idle(10s));
            const Clock::time_point start = Clock::now();
            reply = link.port.transact_byte(REQ_STATUS, 4).reply;
            took = Clock::now() - start;
        }
        EXPECT_EQ(reply.count, row.count) << "paced: " << row.pace;
        EXPECT_GE(took, 5ms) << "never before the interval after the last byte has passed";
        EXPECT_LT(took, 1s) << "far from the 2066 ms total";
    }
}

// A single byte against a frame: both kinds of transaction take the lock.
TEST(SerialConcurrency, TransactionsFromTwoThreadsNeverInterleave) {
    Link link;
    std::atomic<int> wrong{0};
    const auto client = [&](const Bytes& request, size_t length) {
        for (int i = 0; i < 15; ++i) {
            const CommandReply reply = request.size() == 1
                                           ? link.port.transact_byte(request[0]).reply
                                           : link.port.transact_frame(request).reply;
            wrong += reply.bytes.size() != length || reply.bytes[0] != request[0];
        }
    };
    std::thread a(client, Bytes{REQ_RUN_KST}, 1);
    std::thread b(client, Bytes{quirn_sim::REQ_INFO_HW_MCU, quirn_sim::FRAME_END_HW}, 4);
    test_support::finish_within(60s, "Transactions from two threads", [&] {
        a.join();
        b.join();
    });
    EXPECT_EQ(wrong.load(), 0);
}

// The watcher sleeps through healthy traffic, a close and other devices
// coming and going beside the port, wakes for a hang-up of the session it
// watches, and stops when asked. A stale session never closes a newer port.
TEST(SerialConcurrency, TheWatcherSeesTheDeviceGoAndNothingElse) {
    // A close waits for the watcher to let go of the port: a lost wake-up hangs it.
    test_support::finish_within(20s, "The watcher test", [] {
        Link link;
        quirn_sim::PtyBoard second;
        std::promise<std::optional<uint64_t>> first_seen;
        std::promise<std::optional<uint64_t>> last_seen;
        std::thread watcher([&] {
            first_seen.set_value(link.port.watch());
            last_seen.set_value(link.port.watch());
        });
        auto first = first_seen.get_future();
        auto last = last_seen.get_future();
        EXPECT_EQ(link.port.transact_byte(REQ_STATUS).reply.count, 4u);
        // Opening another port closes the watched one under the watcher.
        link.port.open(second.path());
        second.set_faults({.hangup_after = 1});
        EXPECT_EQ(link.port.transact_byte(REQ_STATUS).reply.count, 4u);
        // Terminals opened and closed beside it add and remove nodes in its folder.
        bool woken = false;
        for (const auto end = Clock::now() + 200ms; !woken && Clock::now() < end;) {
            Pty{};
            woken = first.wait_for(5ms) == std::future_status::ready;
        }
        EXPECT_FALSE(woken) << "woken by healthy traffic or a neighbour";
        link.port.transact_byte(REQ_STATUS);
        ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
        const std::optional<uint64_t> session = first.get();
        ASSERT_TRUE(session.has_value());
        EXPECT_TRUE(link.port.drop(*session));
        EXPECT_FALSE(link.port.drop(*session)) << "dropped once only";
        link.port.open(link.board.path());
        EXPECT_FALSE(link.port.drop(*session)) << "a stale session closed the newer port";
        EXPECT_EQ(link.port.get_state().status, 1);
        link.port.wake_watch();
        ASSERT_EQ(last.wait_for(10s), std::future_status::ready) << "the wake-up was lost";
        EXPECT_EQ(last.get(), std::nullopt);
        watcher.join();
    });
}

}  // namespace
