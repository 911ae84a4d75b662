// The built tessaro program as a user runs it: options and a port on the
// command line, standard input and output on pipes (or a terminal), exit
// code at the end.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/console_output.h"
#include "sim/quirn_board.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
using test_support::ChildProcess;
using Clock = std::chrono::steady_clock;

const std::string kFirstPrompt = "[Disconnected] [local] [Client] [0] > ";

// Arguments and piped input in; exit code, what standard output holds and
// standard error out. Rows that exit 2 must start nothing at all.
TEST(ConsoleProgram, AnswersItsCommandLine) {
    const std::string help_hint = " (tessaro --help shows the usage)\n";
    const std::string build = std::string(kBuildDate) + " at " + kBuildTime;
    const std::string refused = "Cannot run a server command while not connected.\n";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int code;
        std::string err;
        std::vector<std::string> out;  // pieces, in this order
    };
    const std::string usage = "Usage: tessaro [options] [PORT]\n";
    const Case cases[] = {
        {{"--help"}, "", 0, "", {usage, "--interval-reads", "h or ?"}},
        {{"-h", "--version"}, "", 0, "", {usage}},
        {{"--version"},
         "",
         0,
         "",
         {"tessaro " + std::string(kVersion) + " (", "built " + build + ")\n"}},
        {{"--bogus", "--help"}, "", 2, "tessaro: unknown option '--bogus'" + help_hint, {}},
        {{"ttyACM0", "ttyACM1"},
         "",
         2,
         "tessaro: one port only, not both 'ttyACM0' and 'ttyACM1'" + help_hint,
         {}},
        // quit ends the console thread, then the web thread, then the program.
        {{"--interval-reads"},
         "quit\n",
         0,
         "",
         {"Starting Console UI thread.\n", kFirstPrompt, "\nConsole UI thread closed\n",
          "\nWeb UI thread closed\n"}},
        // A port that cannot be opened, input not a terminal: the reason,
        // as "co" gives it, and status 1 before any piped word runs.
        {{"--", "no_such_port"},
         "s\n",
         1,
         "/dev/no_such_port: no such device\n",
         {kFirstPrompt, "co no_such_port\n", "Connect ...\n",
          "Error: Cannot open /dev/no_such_port\n", refused, "\nConsole UI thread closed\n"}},
    };
    for (const Case& c : cases) {
        const std::string row = c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : "");
        ChildProcess tessaro(TESSARO_BINARY, c.args);
        ASSERT_TRUE(tessaro.started());
        tessaro.write(c.input);
        tessaro.close_input();
        EXPECT_EQ(tessaro.wait_exit(20s), c.code) << row;
        const std::string& out = tessaro.output();
        std::size_t at = 0;
        for (const std::string& piece : c.out) {
            at = out.find(piece, at);
            ASSERT_NE(at, std::string::npos) << row << ": no\n" << piece << "\nin\n" << out;
        }
        EXPECT_TRUE(c.code != 2 || out.empty()) << row << ":\n" << out;
        EXPECT_EQ(tessaro.errors(), c.err) << row;
        EXPECT_EQ(out.find("Server Mode."), std::string::npos) << row << ": a piped word ran";
        EXPECT_EQ(out.find("Closed "), std::string::npos) << row << ": no port was open";
    }
}

// On a terminal the same failure leaves the user at a disconnected prompt.
TEST(ConsoleProgram, PortThatCannotBeOpenedLeavesATerminalSessionRunning) {
    ChildProcess tessaro(TESSARO_BINARY, {"no_such_port"}, /*terminal_input=*/true);
    ASSERT_TRUE(tessaro.started());
    ASSERT_TRUE(tessaro.wait_for_output("[Disconnected] [-:-] [Server] [1] > ", 20s))
        << tessaro.output();
    EXPECT_NE(tessaro.output().find("Error: Cannot open /dev/no_such_port\n"), std::string::npos);
    tessaro.write("quit\n");
    EXPECT_EQ(tessaro.wait_exit(20s), 0) << tessaro.output();
}

// A script: the port on the command line, words piped in, reports out, and
// the end of input ends the program with status 0 after closing the port.
TEST(ConsoleProgram, ConnectsToItsPortAndRunsPipedWords) {
    quirn_sim::PtyBoard board;
    ASSERT_TRUE(board.ok()) << board.error();
    ChildProcess tessaro(TESSARO_BINARY, {board.path()});
    ASSERT_TRUE(tessaro.started());
    tessaro.write("sta\ng2rd\n");
    tessaro.close_input();
    EXPECT_EQ(tessaro.wait_exit(20s), 0) << tessaro.output();
    const std::string& out = tessaro.output();
    const std::string prompt = "[" + board.path() + "] [Arduino:Uno_R4_Minima] [Server] [";
    std::size_t at = 0;
    // Other threads may print between two writes, so no piece spans two.
    for (const std::string& piece :
         {kFirstPrompt, "co " + board.path() + "\n", prompt + "2] > ",
          std::string("quirn: Status\n"), std::string("bs_fault: 00000000\n"), prompt + "4] > ",
          std::string("Pin 2 value: 0\n"), prompt + "5] > "}) {
        at = out.find(piece, at);
        ASSERT_NE(at, std::string::npos) << "no\n" << piece << "\nin\n" << out;
    }
    EXPECT_TRUE(out.ends_with("\nWeb UI thread closed\nClosed " + board.path() + " port\n")) << out;
    const auto frames = board.received_frames();
    ASSERT_EQ(frames.size(), 3u) << "identification, sta and g2rd, nothing at the end";
    EXPECT_EQ(frames[0], (std::vector<uint8_t>{0xE0, 0xFD}));
    EXPECT_EQ(frames[1], (std::vector<uint8_t>{0x40}));
}

// The board goes away under a stable name (quirn-sim --link) and comes back.
// A web server line may come between any two of the program's lines.
TEST(ConsoleProgram, AVanishedBoardIsNoticedAndReconnectedUnderItsName) {
    const std::string link = testing::TempDir() + "quirn_vanish_" + std::to_string(getpid());
    const auto start_board = [&] {
        auto sim = std::make_unique<ChildProcess>(QUIRN_SIM_BINARY,
                                                  std::vector<std::string>{"--link", link});
        EXPECT_TRUE(sim->wait_for_output("Linked at " + link + "\n", 20s)) << sim->errors();
        return sim;
    };
    const auto stop_board = [](std::unique_ptr<ChildProcess>& sim) {
        sim->close_input();
        EXPECT_EQ(sim->wait_exit(20s), 0);
        sim.reset();
    };
    const std::string gone =
        "\nPort " + link + " has gone away; waiting for it to come back (di stops waiting).\n";
    const std::string back = "\nPort " + link + " is back; board Arduino:Uno_R4_Minima.\n";
    const std::string on_board = "[" + link + "] [Arduino:Uno_R4_Minima] [Server] [";
    const std::string waiting = "[Disconnected] [-:-] [Server] [";

    auto sim = start_board();
    ChildProcess tessaro(TESSARO_BINARY, {});
    ASSERT_TRUE(tessaro.started());
    tessaro.write("co " + link + "\n");
    ASSERT_TRUE(tessaro.wait_for_output(on_board, 20s)) << tessaro.output();

    // Noticed without a word typed; the prompt follows, a word is refused.
    size_t mark = tessaro.output().size();
    stop_board(sim);
    ASSERT_TRUE(tessaro.wait_for_output(gone, 20s, mark)) << tessaro.output();
    const Clock::time_point went = Clock::now();
    mark = tessaro.output().find(gone, mark) + gone.size();
    ASSERT_TRUE(tessaro.wait_for_output(waiting, 20s, mark)) << tessaro.output();
    tessaro.write("sta\n");
    ASSERT_TRUE(
        tessaro.wait_for_output("Cannot run a server command while not connected.\n", 20s, mark))
        << tessaro.output();

    // Back under the same name: opened, identified, in use again. The name
    // is looked for four times a second: back well within two seconds of
    // going, the simulator's start included.
    sim = start_board();
    ASSERT_TRUE(tessaro.wait_for_output(back, 20s, mark)) << tessaro.output();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - went);
    EXPECT_LT(took, 2s) << "back " << took.count() << " ms after it went";
    mark = tessaro.output().find(back, mark) + back.size();
    ASSERT_TRUE(tessaro.wait_for_output(on_board, 20s, mark)) << tessaro.output();
    tessaro.write("sta\n");
    ASSERT_TRUE(tessaro.wait_for_output("quirn: Status\n", 20s, mark)) << tessaro.output();
    ASSERT_TRUE(tessaro.wait_for_output("\nbs_status: 00000000\n", 20s, mark)) << tessaro.output();

    // Gone again; di ends the wait, and a board that comes back later is left alone.
    mark = tessaro.output().size();
    stop_board(sim);
    ASSERT_TRUE(tessaro.wait_for_output(gone, 20s, mark)) << tessaro.output();
    tessaro.write("di\n");
    // A prompt of the watcher may come between these lines.
    for (const std::string& line :
         {std::string("Disconnect ...\n"), "No longer waiting for " + link + ".\n"}) {
        ASSERT_TRUE(tessaro.wait_for_output(line, 20s, mark)) << tessaro.output();
    }
    ASSERT_TRUE(tessaro.wait_for_output("[Disconnected] [local] [Client] [", 20s, mark));
    sim = start_board();
    // Four times the interval at which a waiting watcher looks.
    EXPECT_FALSE(tessaro.wait_for_output(back, 1s, mark)) << tessaro.output();
    tessaro.write("quit\n");
    EXPECT_EQ(tessaro.wait_exit(20s), 0) << tessaro.output();
    EXPECT_EQ(tessaro.errors(), "");
    stop_board(sim);
}

}  // namespace
