// The simulated board on its pseudo-terminal with the host's SerialPort at the
// other end, in-process (served from its own thread) and as the quirn-sim program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "serial/class_serial.h"
#include "sim/quirn_board.h"
#include "sim/sim_options.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
using namespace quirn_sim;
using test_support::ChildProcess;
using Bytes = std::vector<uint8_t>;

constexpr auto kDeadline = 10s;
const std::string kProgram = QUIRN_SIM_BINARY;

#define REQUIRE_BOARD(board)                                                       \
    if (!(board).ok()) {                                                           \
        GTEST_SKIP() << "no pseudo-terminal on this machine: " << (board).error(); \
    }

// The path at the end of the program's first line, once it is there.
std::string terminal_path(ChildProcess& sim) {
    sim.wait_for_output("\n", kDeadline);
    const std::size_t on = sim.output().find(" on ") + 4;
    return sim.output().substr(on, sim.output().find('\n') - on);
}

// Settings change from another thread all along.
TEST(SimHostLinkConcurrency, SerialPortRidesOutLateAndSplitRepliesAndTheBoardStopsPromptly) {
    auto board = std::make_unique<PtyBoard>();
    REQUIRE_BOARD(*board);
    SerialPort port;
    port.open(board->path());
    std::atomic<bool> done{false};
    std::thread fiddler([&] {
        for (uint16_t value = 0; !done; ++value) {
            board->set_analog(5, value);
            (void)board->received_frames();
        }
    });
    EXPECT_EQ(port.transact_byte(REQ_SYSTAT).reply.count, 12u);
    // A late answer is waited for, and the port's state is read at once all
    // the while (goal 50 ms).
    board->set_reply_delay(250);  // past the deadline below
    auto late = std::async(std::launch::async, [&] { return port.transact_byte(REQ_STATUS, 4); });
    EXPECT_TRUE(board->wait_for_frames(2, kDeadline));  // the read is under way and holds the port
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(port.get_state().status, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 150ms);
    EXPECT_EQ(late.get().reply.count, 4u);
    board->set_reply_delay(0);
    board->set_faults({.split_gap_ms = 100});
    EXPECT_EQ(port.transact_byte(REQ_STATUS).reply.bytes, (Bytes{0x40, 0x00})) << "cut at the gap";
    EXPECT_TRUE(board->wait_idle(kDeadline)) << "the tail has been sent";
    // The terminal layer hands it to the host's side in the background.
    int unread = 0;
    for (const auto until = std::chrono::steady_clock::now() + kDeadline;
         unread < 2 && std::chrono::steady_clock::now() < until; std::this_thread::yield()) {
        ioctl(port.handle, FIONREAD, &unread);
    }
    board->set_faults({.split_gap_ms = 60'000});
    const Transaction next = port.transact_byte(REQ_RUN_KST);
    EXPECT_EQ(next.discarded, 2u);
    EXPECT_EQ(next.reply.bytes, Bytes{REQ_RUN_KST}) << "not the stale tail of the last reply";
    EXPECT_EQ(port.transact_byte(REQ_STATUS).reply.count, 2u) << "the board waits out a long gap";
    done = true;
    fiddler.join();
    test_support::finish_within(kDeadline, "The board's stop", [&] { board.reset(); });
}

// The first line names the board and its terminal, whose line is raw
// before any host sets it.
TEST(SimProgram, FirstLineNamesTheBoardAndTheTerminal) {
    const std::tuple<std::vector<std::string>, std::string, Bytes> rows[] = {
        {{}, "Arduino Uno R4 Minima", {0xE0, 0x01, 0x06, 0x09}},
        {{"--pic"}, "Microchip PIC16F628", {0xE0, 0x01, 0x30, 0x09}},
        {{"--maker", "0x12"}, "unknown board 0x12:0x09", {0xE0, 0x01, 0x12, 0x09}},
        {{"--pic", "--board", "0x0a"}, "unknown Microchip board 0x0A", {0xE0, 0x01, 0x30, 0x0A}},
    };
    for (const auto& [args, name, identification] : rows) {
        ChildProcess sim(kProgram, args);
        const std::string path = terminal_path(sim);
        EXPECT_EQ(sim.output(), "Simulated Quirn board (" + name + ") on " + path + "\n");
        termios line{};
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(tcgetattr(fd, &line), 0);
        ::close(fd);
        EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(line.c_iflag & (ICRNL | IXON), 0u);
        EXPECT_EQ(line.c_oflag & OPOST, 0u);
        SerialPort port;
        port.open(path);
        EXPECT_EQ(port.transact_frame({0xE0, 0xFD}).reply.bytes, identification);
        sim.close_input();
        EXPECT_EQ(sim.wait_exit(kDeadline), 0) << "end of input stops it";
    }
}

TEST(SimProgram, RefusesBadOptionsWithAUsageLine) {
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"ttyACM0"}, "unexpected argument 'ttyACM0'"},
        {{"--delay"}, "--delay needs milliseconds"},
        {{"--delay", "abc"}, "not 'abc'"},
        {{"--delay", "60001"}, "not '60001'"},
        {{"--maker", "256"}, "not '256'"},
        {{"--board="}, "--board needs a board id"},
        {{"--garbage", "65537"}, "not '65537'"},
        {{"--silent-every", "4294967296"}, "not '4294967296'"},
        {{"--pace=1"}, "--pace takes no value"},
        {{"--link"}, "--link needs a path"},
    };
    // Each bound itself is taken.
    const ParsedOptions widest =
        parse_sim_options({"--maker", "255", "--board", "0xFF", "--delay", "60000", "--split-gap",
                           "60000", "--garbage", "65536", "--silent-every", "4294967295",
                           "--hangup-after", "0xffffffff", "--alarm", "255", "--fault", "255"});
    ASSERT_TRUE(widest.ok) << widest.error;
    // A later option wins over an earlier one.
    EXPECT_EQ(parse_sim_options({"--maker", "5", "--pic"}).options.board.maker_id, MAKER_MICROCHIP);
    EXPECT_EQ(parse_sim_options({"--pic", "--maker", "5"}).options.board.maker_id, 5);
    const BoardConfig& board = widest.options.board;
    EXPECT_EQ(std::tuple(board.maker_id, board.board_id, board.reply_delay_ms, board.alarm_word,
                         board.fault_word),
              std::tuple(255, 255, 60000u, 255, 255));
    EXPECT_EQ(std::tuple(board.faults.split_gap_ms, board.faults.garbage_bytes,
                         board.faults.silent_every, board.faults.hangup_after),
              std::tuple(60000u, 65536u, UINT32_MAX, UINT32_MAX));
    for (const auto& [args, says] : rows) {
        const ParsedOptions parsed = parse_sim_options(args);
        EXPECT_FALSE(parsed.ok) << says;
        EXPECT_NE(parsed.error.find(says), std::string::npos) << parsed.error;
    }
    // The program says it in one line and ends with status 2.
    ChildProcess sim(kProgram, {"--bogus"});
    EXPECT_EQ(sim.wait_exit(kDeadline), 2);
    EXPECT_EQ(sim.output(), "");
    EXPECT_EQ(sim.errors(), "quirn-sim: unknown option '--bogus' (see --help)\n");
}

// The link follows the newest simulator and goes with it; a stale one is replaced.
TEST(SimProgram, LinkNamesTheTerminalUntilItsSimulatorEnds) {
    const std::string link = testing::TempDir() + "quirn_link_" + std::to_string(getpid());
    ASSERT_EQ(symlink("/nonexistent/stale", link.c_str()), 0);
    const auto target = [&] {
        char text[256] = {};
        return readlink(link.c_str(), text, sizeof text - 1) > 0 ? std::string(text) : "";
    };
    auto first = std::make_unique<ChildProcess>(kProgram, std::vector<std::string>{"--link", link});
    const std::string first_path = terminal_path(*first);
    ASSERT_TRUE(first->wait_for_output("Linked at " + link + "\n", kDeadline)) << first->errors();
    EXPECT_EQ(target(), first_path);
    ChildProcess second(kProgram, {"--link=" + link});
    const std::string second_path = terminal_path(second);
    ASSERT_TRUE(second.wait_for_output("Linked at ", kDeadline)) << second.errors();
    EXPECT_EQ(target(), second_path);
    first->close_input();
    EXPECT_EQ(first->wait_exit(kDeadline), 0);
    EXPECT_EQ(target(), second_path) << "not the first simulator's to remove";
    second.close_input();
    EXPECT_EQ(second.wait_exit(kDeadline), 0);
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "removed at exit";
}

TEST(SimProgram, KeepsServingWithoutInputAndEndsAfterTheHangUp) {
    // Stdin from /dev/null (a script's background job) or --no-stdin: no end of input.
    for (const char* line :
         {"exec \"$0\" --hangup-after 1 </dev/null", "exec \"$0\" --hangup-after 1 --no-stdin"}) {
        ChildProcess sim("/bin/sh", {"-c", line, kProgram});
        const std::string path = terminal_path(sim);
        sim.close_input();
        SerialPort port;
        port.open(path);
        EXPECT_EQ(port.transact_byte(REQ_RUN_KST).reply.bytes, Bytes{REQ_RUN_KST}) << line;
        EXPECT_TRUE(port.transact_byte(REQ_STATUS).reply.bytes.empty()) << "the line is gone";
        EXPECT_EQ(sim.wait_exit(kDeadline), 0);
        EXPECT_NE(sim.errors().find("hung up after 1 requests"), std::string::npos) << sim.errors();
    }
}

}  // namespace
