// The built tessaro program as a user runs it: standard input and output
// on pipes, exit code at the end.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "sim/quirn_board.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
using test_support::ChildProcess;

TEST(ConsoleProgram, QuitEndsBothThreadsAndExitsZero) {
    ChildProcess tessaro(TESSARO_BINARY, {});
    ASSERT_TRUE(tessaro.started());
    ASSERT_TRUE(tessaro.wait_for_output("[Disconnected] [local] [Client] [0] > ", 20s))
        << tessaro.output();
    tessaro.write("quit\n");
    const auto code = tessaro.wait_exit(20s);
    ASSERT_TRUE(code.has_value()) << "tessaro did not end after quit:\n" << tessaro.output();
    EXPECT_EQ(*code, 0);

    const std::string& out = tessaro.output();
    const auto starting = out.find("Starting Console UI thread.\n");
    const auto console_closed = out.find("\nConsole UI thread closed\n");
    const auto web_closed = out.find("\nWeb UI thread closed\n");
    ASSERT_NE(starting, std::string::npos) << out;
    ASSERT_NE(console_closed, std::string::npos) << out;
    ASSERT_NE(web_closed, std::string::npos) << out;
    EXPECT_LT(console_closed, web_closed);
    EXPECT_NE(out.find("All Threads started ...\n"), std::string::npos);
    EXPECT_NE(out.find("Nop\n[Disconnected] [local] [Client] [1] > "), std::string::npos) << out;
    EXPECT_EQ(out.find("Closed "), std::string::npos) << "no port was open";
    // Either the machine has ports, or the list is announced empty first.
    if (out.find("Port: ") == std::string::npos) {
        EXPECT_EQ(out.rfind("No serial port in Vector.\nStarting Console UI thread.\n", 0), 0u)
            << out;
    }
}

TEST(ConsoleProgram, QuitWithAPortOpenClosesItAtTearDown) {
    quirn_sim::PtyBoard board;
    ASSERT_TRUE(board.ok()) << board.error();
    ChildProcess tessaro(TESSARO_BINARY, {});
    ASSERT_TRUE(tessaro.started());
    tessaro.write("co " + board.path() + "\n");
    ASSERT_TRUE(tessaro.wait_for_output(
        "[" + board.path() + "] [Arduino:Uno_R4_Minima] [Server] [2] > ", 20s))
        << tessaro.output();
    tessaro.write("quit\n");
    const auto code = tessaro.wait_exit(20s);
    ASSERT_TRUE(code.has_value()) << tessaro.output();
    EXPECT_EQ(*code, 0);
    const std::string& out = tessaro.output();
    const std::string closed = "\nWeb UI thread closed\nClosed " + board.path() + " port\n";
    EXPECT_TRUE(out.ends_with(closed)) << out;
    // The identification was the one request the board saw; quit went to the
    // command layer, which has no family for it.
    EXPECT_EQ(board.received_frames(), (std::vector<std::vector<uint8_t>>{{0xE0, 0xFD}}));
}

}  // namespace
