// The serial session on a pseudo-terminal, with the simulated board as the peer.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <thread>

#include "serial/class_serial.h"
#include "serial/wire_trace.h"
#include "sim/quirn_board.h"
#include "tests/support/child_process.h"
#include "tests/support/memory_board.h"

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

// The port on a board in memory, on a clock of its own.
struct MemoryLink {
    MemoryLink() { EXPECT_TRUE(port.open(test_support::MemoryBoard::kName).ok()); }
    test_support::FakeClock clock;
    std::unique_ptr<test_support::MemoryBoard> owned =
        std::make_unique<test_support::MemoryBoard>(clock);
    test_support::MemoryBoard& board = *owned;
    SerialPort port{std::move(owned), clock};
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
// not tried.
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
    // Permission denied and exclusive mode need an unprivileged user: root
    // opens anything. Owned by the group serial ports have on Debian
    // (dialout, 20); the other port is open to all but held, exclusively.
    // (The simulated board lifts exclusive mode whenever its line closes.)
    const std::string slave = pty.name;
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
            return why + (other < 0 && errno == EBUSY ? "\nbusy refused" : "\nbusy opened");
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
    EXPECT_EQ(run.said, "permission denied: " + hint + "\nbusy refused");
    if (!have_node) {
        GTEST_SKIP() << "cannot make a device node for the no-driver case";
    }
}

TEST(SerialPort, APortIsExclusiveUntilItsHolderLetsItGo) {
    Link link;
    quirn_sim::PtyBoard second;
    const std::string first = link.board.path();
    SerialPort other;
    // Opening another port closes the one held, which is then free.
    EXPECT_EQ(link.port.open(second.path()).closed_first, first);
    EXPECT_TRUE(other.open(first).ok());
    EXPECT_EQ(link.port.close(), second.path());
    EXPECT_EQ(link.port.close(), std::nullopt) << "closed once";
    EXPECT_EQ(link.port.get_state().port_name, second.path());
}

TEST(SerialPort, ANeverOpenedPortFailsAtOnceAndAnOverlongFrameIsNeverSent) {
    SerialPort port;
    const Clock::time_point start = Clock::now();
    const Transaction failed = port.transact_byte(REQ_STATUS);
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_TRUE(failed.write_failed);
    EXPECT_FALSE(failed.read.ok);
    EXPECT_FALSE(failed.in_step);
    // Refused before any write is tried.
    const Transaction refused = port.transact_frame(Bytes(512, 0x80));
    EXPECT_TRUE(refused.reply.bytes.empty());
    EXPECT_EQ(refused.refused_size, 512u);
    EXPECT_FALSE(refused.write_failed);
}

// The longest frame goes out whole; a board that stops taking bytes ends in
// the write failure once the stall limit has passed, and the read is made.
TEST(SerialPort, TheLongestFrameIsSentAndAStalledBoardEndsInAWriteFailure) {
    Pty pty;
    constexpr uint32_t kStallMs = 200;
    SerialPort port(
        std::make_unique<serial::PlatformTransport>(serial_platform::DeviceRoots{}, kStallMs),
        serial::steady_clock());
    ASSERT_TRUE(port.open(pty.name).ok());
    std::thread board([&] {
        Bytes got;
        uint8_t chunk[600];
        while (got.size() < 511) {
            pollfd ready{pty.master, POLLIN, 0};
            if (::poll(&ready, 1, 10'000) <= 0) {
                break;
            }
            const ssize_t n = ::read(pty.master, chunk, sizeof chunk);
            if (n <= 0) {
                return;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
        EXPECT_EQ(got, Bytes(511, 0x80));
        EXPECT_EQ(::write(pty.master, "\x01", 1), 1);
    });
    const Transaction sent = port.transact_frame(Bytes(511, 0x80));
    board.join();
    EXPECT_EQ(sent.reply.bytes, Bytes{0x01});
    EXPECT_FALSE(sent.write_failed);

    // Output held (as a board's XOFF would): the terminal takes no byte.
    ASSERT_EQ(::tcflow(port.handle, TCOOFF), 0);
    const Clock::time_point start = Clock::now();
    Transaction stalled;
    test_support::finish_within(30s, "A write to a stalled board",
                                [&] { stalled = port.transact_byte(REQ_STATUS); });
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kStallMs));
    EXPECT_TRUE(stalled.write_failed);
    EXPECT_TRUE(stalled.read.ok) << "the read is made all the same";
    EXPECT_TRUE(stalled.reply.bytes.empty());
    ::tcflow(port.handle, TCOON);
}

// Expecting 4 bytes changes nothing for a longer reply: the bytes past the
// fourth keep the read going, paced or all at once.
TEST(SerialPort, AReadEndsFiveMsAfterTheLastByteAndKeepsAReplyPacedHalfAMsApart) {
    for (const bool pace : {false, true}) {
        Link link({.pace = pace, .faults = {.garbage_bytes = 16}});  // 20 bytes in all
        CommandReply reply;
        Clock::duration took{};
        // A machine that holds the board up for a whole guard or interval
        // cuts a paced reply; such an attempt proves nothing and is made again.
        for (int attempt = 0; attempt < 5 && reply.count != 20; ++attempt) {
            ASSERT_TRUE(link.board.wait_idle(10s));
            const Clock::time_point start = Clock::now();
            reply = link.port.transact_byte(REQ_STATUS, 4).reply;
            took = Clock::now() - start;
        }
        EXPECT_EQ(reply.count, 20u) << "paced: " << pace;
        EXPECT_GE(took, 5ms) << "never before the interval after the last byte has passed";
        EXPECT_LT(took, 1s) << "far from the 2066 ms total";
    }
}

TEST(SerialPort, ALongReplyIsCutAt1023ItsRestDiscardedAndAHangUpEndsTheNextReadAtOnce) {
    Link link({.faults = {.garbage_bytes = 1500}});  // bytes after every reply
    const Transaction first = link.port.transact_byte(REQ_RUN_KST);
    // The terminal layer hands the rest over in the background, without a signal.
    int queued = 0;
    for (const auto end = Clock::now() + 10s; queued != 478 && Clock::now() < end;) {
        std::this_thread::sleep_for(1ms);
        ::ioctl(link.port.handle, FIONREAD, &queued);
    }
    link.board.set_faults({.hangup_after = 1});
    const Transaction next = link.port.transact_byte(REQ_RUN_KST);
    Bytes head(1023, quirn_sim::kGarbageByte);
    head[0] = REQ_RUN_KST;
    EXPECT_EQ(first.reply.bytes, head);
    EXPECT_FALSE(first.in_step) << "cut: the rest is still to come";
    EXPECT_EQ(next.discarded, 478u);
    EXPECT_EQ(next.port_name, link.board.path());
    EXPECT_EQ(next.reply.bytes, Bytes{REQ_RUN_KST});

    const Clock::time_point start = Clock::now();
    const Transaction hung_up = link.port.transact_byte(REQ_RUN_KST);
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_TRUE(hung_up.reply.bytes.empty());
    EXPECT_FALSE(hung_up.read.ok);
    EXPECT_TRUE(hung_up.read.gone) << "a hung-up device reads as gone";
}

// One line of the wire trace, taken apart.
struct TraceLine {
    double since_ms = 0;
    std::string source, direction, note;
    Bytes bytes;
};

// Nothing for a line that is not "TIME +N.NNN ms  SOURCE DIR[ HEX...][   NOTE]".
std::optional<TraceLine> parse_trace_line(const std::string& line) {
    constexpr size_t kTimeLength = 26;  // 2026-12-07T14:03:22.418213
    const size_t ms = line.find(" ms  ");
    if (line.size() < kTimeLength || line[4] != '-' || line[10] != 'T' || line[19] != '.' ||
        line.compare(kTimeLength, 2, " +") != 0 || ms == std::string::npos) {
        return std::nullopt;
    }
    TraceLine parsed;
    parsed.since_ms = std::stod(line.substr(kTimeLength + 2, ms - kTimeLength - 2));
    const std::string rest = line.substr(ms + 5);
    size_t mark = std::string::npos;
    for (const char* direction : {" -> ", " <- ", " -- "}) {
        const size_t at = (rest + " ").find(direction);
        mark = std::min(mark, at);
    }
    if (mark == std::string::npos || rest.empty() || rest[0] == ' ') {
        return std::nullopt;
    }
    parsed.source = rest.substr(0, rest.find_last_not_of(' ', mark) + 1);
    parsed.direction = rest.substr(mark + 1, 2);
    std::string tail = rest.substr(std::min(rest.size(), mark + 3));
    if (const size_t note = tail.find("   "); note != std::string::npos) {
        parsed.note = tail.substr(note + 3);
        tail.resize(note);
    }
    std::istringstream hex(tail);
    for (std::string byte; hex >> byte;) {
        if (byte.size() != 2 || byte.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
            return std::nullopt;
        }
        parsed.bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    }
    return parsed;
}

// A session against a board (in memory) that misbehaves in every way it can: each
// trace line parses, the requests are what the board received, the replies
// what the port returned, and each ending is named for what happened.
TEST(SerialPort, TheTraceShowsEveryByteOnTheWireAndHowEachReplyEnded) {
    const std::string path = testing::TempDir() + "wire_trace_test.log";
    std::string why;
    ASSERT_TRUE(wire_trace::open_file(path, why)) << why;
    const wire_trace::SourceScope source("serial test");
    struct Row {
        quirn_sim::Faults faults;
        uint8_t code;
        uint32_t reply_length;
        std::string ending;  // how the note begins
    };
    const Row rows[] = {
        {{}, REQ_STATUS, 4, "ended at known length"},
        {{}, REQ_STATUS, 0, "ended at interval"},
        {{.wrong_length = true},
         REQ_STATUS,
         4,
         "overlong: 5 bytes for 4 expected, ended at interval"},
        {{.garbage_bytes = 3},
         REQ_RUN_KST,
         1,
         "overlong: 4 bytes for 1 expected, ended at interval"},
        {{.split_gap_ms = 60}, REQ_STATUS, 4, "short: 2 bytes for 4 expected, ended at interval"},
        // The split reply's rest arrives meanwhile and goes before this request.
        {{}, REQ_STATUS, 4, "ended at known length"},
        {{.silent_every = 1}, REQ_STATUS, 4, "timed out after 20"},
    };
    std::vector<Bytes> replies;
    std::string board_path;
    {
        MemoryLink link;
        board_path = test_support::MemoryBoard::kName;
        for (const Row& row : rows) {
            link.clock.advance(100ms);  // the board has said all it will
            link.board.set_faults(row.faults);
            replies.push_back(link.port.transact_byte(row.code, row.reply_length).reply.bytes);
        }
        ASSERT_EQ(link.board.received_frames().size(), std::size(rows));
        for (size_t i = 0; i < std::size(rows); ++i) {
            EXPECT_EQ(link.board.received_frames()[i], Bytes{rows[i].code}) << i;
        }
    }
    wire_trace::close_file();

    std::ifstream file(path);
    std::vector<TraceLine> lines;
    for (std::string line; std::getline(file, line);) {
        const std::optional<TraceLine> parsed = parse_trace_line(line);
        ASSERT_TRUE(parsed) << "unparsed: " << line;
        lines.push_back(*parsed);
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().direction, "--");
    EXPECT_TRUE(lines.front().note.starts_with("opened ")) << lines.front().note;
    EXPECT_EQ(lines.back().note, "closed " + board_path);
    size_t at = 1;
    for (size_t i = 0; i < std::size(rows); ++i) {
        ASSERT_LT(at + 1, lines.size() - 1) << "lines missing from row " << i;
        if (i == 5) {
            const TraceLine& late = lines[at++];
            EXPECT_EQ(late.direction, "<-");
            EXPECT_EQ(late.note, "late: " + std::to_string(late.bytes.size()) +
                                     " bytes discarded before the next request");
            EXPECT_EQ(late.bytes.size() + replies[4].size(), 4u) << "the split reply's rest";
        }
        const TraceLine& request = lines[at++];
        const TraceLine& reply = lines[at++];
        EXPECT_EQ(request.source, "serial test");
        EXPECT_EQ(request.direction, "->") << i;
        EXPECT_EQ(request.bytes, Bytes{rows[i].code}) << i;
        EXPECT_EQ(request.since_ms, 0.0) << i;
        EXPECT_EQ(reply.direction, "<-") << i;
        EXPECT_EQ(reply.bytes, replies[i]) << i;
        EXPECT_TRUE(reply.note.starts_with(rows[i].ending)) << i << ": " << reply.note;
        EXPECT_TRUE(i + 1 < std::size(rows) || reply.note.ends_with(" ms, nothing came"))
            << reply.note;
        EXPECT_GE(reply.since_ms, i + 1 == std::size(rows) ? 2000.0 : 0.0) << i;
    }
    EXPECT_EQ(at, lines.size() - 1) << "nothing else on the wire";
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

TEST(SerialConcurrency, ASilentBoardCostsTheTotalTimeoutAndNeverBlocksStateReaders) {
    Link link({.faults = {.silent_every = 1}});
    CommandReply reply;
    const Clock::time_point start = Clock::now();
    std::thread client([&] { reply = link.port.transact_byte(REQ_STATUS, 4).reply; });
    EXPECT_TRUE(link.board.wait_for_frames(1, 10s));  // the read is under way and holds the port
    const Clock::time_point asked = Clock::now();
    EXPECT_EQ(link.port.get_state().status, 1);
    EXPECT_LT(Clock::now() - asked, 500ms);
    test_support::finish_within(20s, "A read from a silent board", [&] { client.join(); });
    EXPECT_TRUE(reply.bytes.empty());
    EXPECT_GE(Clock::now() - start, 2s);
    EXPECT_LT(Clock::now() - start, 4s);
}

}  // namespace
