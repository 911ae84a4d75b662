// The console as a user sees it: words in, texts out, driven in-process.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "app/console_ui.h"
#include "app/line_editor.h"
#include "base/console_output.h"
#include "base/session.h"
#include "protocol/class_quirn_server.h"
#include "serial/class_serial.h"
#ifndef _WIN32
#include "sim/quirn_board.h"
#include "tests/support/transcript.h"
#endif

namespace {

std::string client(int n) {
    return "[Disconnected] [local] [Client] [" + std::to_string(n) + "] > ";
}
std::string server(int n) {
    return "[Disconnected] [-:-] [Server] [" + std::to_string(n) + "] > ";
}
// Whether text has the shape: 'A' an upper-case letter, 'a' a lower-case
// one, '9' a digit, '_' a digit or a blank, anything else itself.
bool has_shape(const std::string& text, const std::string& shape) {
    return std::equal(text.begin(), text.end(), shape.begin(), shape.end(), [](char c, char s) {
        const auto u = static_cast<unsigned char>(c);
        switch (s) {
            case 'A':
                return std::isupper(u) != 0;
            case 'a':
                return std::islower(u) != 0;
            case '9':
                return std::isdigit(u) != 0;
            case '_':
                return c == ' ' || std::isdigit(u) != 0;
            default:
                return c == s;
        }
    });
}
const std::string kRefused = "Cannot run a server command while not connected.\n";
// "co no_such_port_here" opens the name as the platform spells its devices:
// /dev/no_such_port_here, or \\.\NO_SUCH_PORT_HERE on Windows.
const std::string kNoSuchPort =
    "Error: Cannot open " + serial_platform::resolve_port("no_such_port_here", {}).path + "\n";

std::string captured(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

class ConsoleSession : public ::testing::Test {
  protected:
    void SetUp() override {
        if (serial_port().get_state().status == 1) {
            captured([] { serial_port().close(); });
        }
        session().reset();
        set_next_prompt_number(0);
    }
    void TearDown() override { SetUp(); }

    // Everything the console printed; it must end in quit mode. A loop
    // that never ends fails here within seconds, not at ctest's time-out.
    static std::string run_all(const std::string& input) {
        std::istringstream in(input);
        const std::string out = captured([&] {
            auto console = std::async(std::launch::async, [&] { return run_console(in); });
            if (console.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
                std::fprintf(stderr, "The console loop did not end on: %s\n", input.c_str());
                std::abort();
            }
            EXPECT_EQ(console.get(), 0);
        });
        EXPECT_TRUE(session().state().quitting());
        return out;
    }
    // From the first prompt on.
    static std::string run(const std::string& input) {
        const std::string out = run_all(input);
        return out.substr(std::min(out.find(client(0)), out.size()));
    }
};

// Words in, everything after the first prompt out, and the web stop flag.
TEST_F(ConsoleSession, AnswersGeneralAndModeWords) {
    const std::string ports = captured([] { print_ports(serial_port().ports); });
    const std::string ask = "Connect ...\n" + ports + "Connect to port (eg. COM1): \n";
    struct Case {
        const char* input;
        std::string expected;
        int32_t http_stop = 0;
    };
    const Case cases[] = {
        // A quit word ends the loop at once, in any mode, with nothing to say:
        // the words after it are never read.
        {"quit ls", ""},
        {"QUIT ls", ""},
        {"Exit ls", ""},
        {"exit ls", ""},
        {"qq ls", ""},
        {"HELP frob quit", "Nop\n" + client(1) + "Nop\n" + client(2)},
        {"ls l quit", "\n" + client(1) + "\n" + client(2)},
        {"cli client c: quit", "Client Mode.\n" + client(1) + "Client Mode.\n" + client(2) +
                                   "Client Mode.\n" + client(3)},
        {"s ls c quit", "Server Mode.\n" + server(1) +
                            "\nsta clr sys run stop\nrust rkst sust skst\n" + server(2) +
                            "Client Mode.\n" + client(3)},
        {"SER s: status quit",
         "Server Mode.\n" + server(1) + "Server Mode.\n" + server(2) + kRefused + server(3)},
        {"di quit", "Disconnect ...\nNot connected.\n" + client(1)},
        {"s di qq", "Server Mode.\n" + server(1) + "Disconnect ...\nNot connected.\n" + client(2)},
        // "co" takes the port name from the same line; a failed open still
        // identifies (refused) and switches to server mode. The path is shown
        // as typed, never upper-cased (Windows spells its ports in capitals).
        {"co no_such_port_here quit", ask + kNoSuchPort + kRefused + server(1)},
        // http_run and http_stop are client words only.
        {"http_stop", client(1), 1},
        {"http_stop http_run quit", client(1) + client(2), 0},
        {"s http_stop", "Server Mode.\n" + server(1) + kRefused + server(2), 0},
        // The end of input ends the console like a quit word, without a Nop,
        // even when it comes at the port question.
        {"ls", "\n" + client(1)},
        {"", ""},
        {"c\n\n\t  ", "Client Mode.\n" + client(1)},
        {"co", ask},
    };
    for (const Case& c : cases) {
        SetUp();
        EXPECT_EQ(run(c.input), client(0) + c.expected) << "input: " << c.input;
        EXPECT_EQ(!session().state().web_allowed, c.http_stop != 0) << "input: " << c.input;
        EXPECT_FALSE(session().state().connected());
    }
}

#ifndef _WIN32
// A new "co" closes the open port and forgets its board first, so a failed
// open never leaves a closed port marked connected.
TEST_F(ConsoleSession, ConnectingAgainClosesTheOpenPortFirst) {
    quirn_sim::PtyBoard board;
    ASSERT_TRUE(board.ok()) << board.error();
    const std::string out = run("co " + board.path() + " co no_such_port_here");
    const std::string connected_prompt =
        "[" + board.path() + "] [Arduino:Uno_R4_Minima] [Server] [2] > ";
    const std::string reconnect = "Connect to port (eg. COM1): \nClosed " + board.path() +
                                  " port\nError: Cannot open /dev/no_such_port_here\n" + kRefused +
                                  server(3);
    EXPECT_NE(out.find(connected_prompt), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with(reconnect)) << out;
    EXPECT_FALSE(session().state().connected());
    EXPECT_EQ(serial_port().get_state().status, 0);
}

// The console as a user drives it: board words refused before co, then every
// command family (the scheduler words short, then long), di, quit.
// A board of a maker the host does not know ends the connection: the port
// stays open, but no board word is let through.
TEST_F(ConsoleSession, AnUnknownMakerEndsTheConnection) {
    quirn_sim::BoardConfig config;
    config.maker_id = 0x12;
    quirn_sim::PtyBoard board(config);
    ASSERT_TRUE(board.ok()) << board.error();
    const std::string out = run("co " + board.path() + " sta");
    EXPECT_NE(out.find("Error unknown hardware: 0x12:0x9\n"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with("] > " + kRefused + "[Disconnected] [:-] [Server] [3] > ")) << out;
    EXPECT_FALSE(session().state().connected());
    EXPECT_EQ(serial_port().get_state().status, 1);
}

TEST_F(ConsoleSession, TypingEveryBoardFamily) {
    quirn_sim::PtyBoard board_;
    ASSERT_TRUE(board_.ok()) << board_.error();
    const auto received = [&] {
        std::string text;
        for (const std::vector<uint8_t>& frame : board_.received_frames()) {
            text += (text.empty() ? "" : ", ") + quirn_sim::hex_bytes(frame);
        }
        return text;
    };
    const std::string kNoReply = "Not able to decode.\nBuild:\nFile:\n";
    const std::string kRun = "quirn: Run U-ST User + Kernel scheduled tasks\n";
    const std::string kStop = "quirn: Stop U-ST User + Kernel scheduled tasks\n";
    const std::string kRust = "quirn: Run U-ST User scheduled tasks\nServer operation ok: runust\n";
    const std::string kStatusAllClear =
        "quirn: Status\n\nbs_status: 00000000\nb7 == 0 : No Fault for User space\n"
        "b6 == 0 : No Alarm for User space\nb4 == 0 : U-ST (User Space scheduler) stopped\n"
        "b3 == 0 : No Fault for Kernel\nb2 == 0 : No Alarm for Kernel\n"
        "b0 == 0 : K-ST (Kernel Space scheduler) stopped\n\nbs_alarm: 00000000\n"
        "b4 == 0 : U-ST (User Space) Stack load is good\n"
        "b0 == 0 : K-ST (Kernel Space) Stack load is good\n\nbs_fault: 00000000\n"
        "b4 == 0 : U-ST (User Space) stack good\nb3 == 0 : Wadtchdog timer good TODO\n"
        "b0 == 0 : K-ST (Kernel Space) stack good\n";
    board_.set_analog(8, 700);
    std::istringstream input("s sta g1rd co " + board_.path() +
                             " Sta run stop RUST sust rkst skst clr sys status run stop runust"
                             " stopust runkst stopkst clear systat g2co g2wd1 g2rd g8ra g13cod"
                             " g3ca gca g64rd g2wd100 ihwmcu csleep mhead f1r di quit");
    testing::internal::CaptureStdout();
    // A loop that never ends fails within seconds, not at ctest's time-out.
    auto console = std::async(std::launch::async, [&] { return run_console(input); });
    if (console.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "The console loop did not end\n");
        std::abort();
    }
    const std::string output = testing::internal::GetCapturedStdout();
    const std::string schedulers = "40, 20, 02, 10, 01, 20, 10, 02, 01, 08, 04, ";
    EXPECT_EQ(received(), "E0 FD, " + schedulers + schedulers +
                              "81 82 FE, A4 82 81 FE, 98 82 FE, A0 88 FE, 88 8D FE, E0 FD, "
                              "F0 FE");
    EXPECT_NE(output.find("] [Arduino:Uno_R4_Minima] [Server] ["), std::string::npos);
    const std::string scheduler_text =
        kStatusAllClear + kRun + "Server operation ok: run\n" + kStop +
        "Server operation ok: stop\n" + kRust +
        "quirn: Stop U-ST User scheduled tasks\nServer operation ok: stopust\n"
        "quirn: Run K-ST Kernel scheduled tasks\nServer operation ok: runkst\n"
        "quirn: Stop K-ST Kernel scheduled tasks\nServer operation ok: stopkst\n"
        "quirn: Clear Fault and Warning words\nServer operation ok: clear fault and alarm words\n"
        "quirn: Server systat readback and reset\n\nSystats:\nRT load min:\nRT load max:\n"
        "RT load avg:\nKernel stack load min:\nKernel stack load max:\nUser stack load min:\n"
        "User stack load max:\n";
    const std::string text = test_support::transcript(output);
    EXPECT_NE(text.find("Server Mode.\nCannot run a server command while not connected.\n"
                        "Cannot run a server command while not connected.\nConnect ...\n"),
              std::string::npos);
    EXPECT_EQ(
        text.substr(std::min(text.find("quirn: Status"), text.size())),
        scheduler_text + scheduler_text +
            "Pin 2 set as Digital Output.\nPin 2 value: 1 written on port.\n"
            "Pin 2 value: 1\nPin 8 value: 700\nUnhandled command decoder: cod\nBuild:\n"
            "File:\nNot implemented\n" +
            kNoReply + kNoReply +
            "Pin number out of range: 64 (0 to 63)\nValue out of range: 100 (0 to 63)\n" +
            "Board: Arduino:Uno_R4_Minima\n" +
            "Unhandled Decoding: csleep\nA response was received from server, but "
            "Server::decode_response:\ndoes not know how to interpret it ...\nReply: F0 00\n" +
            kNoReply + kNoReply + "Disconnect ...\nClosed " + board_.path() + " port\n");
    EXPECT_EQ(quirn_server().names(), std::make_pair(std::string("-"), std::string("-")));
    EXPECT_FALSE(session().state().connected());
}
#endif

// Tab completion: the words of the mode, a pin's family, ports after "co".
TEST_F(ConsoleSession, CompletesTheWordsOfTheMode) {
    using Words = std::vector<std::string>;
    struct Case {
        ConsoleMode mode;
        std::string before;
        std::string word;
        Words words;
    };
    const Case cases[] = {
        {ConsoleMode::kClient, "", "http", {"http_run", "http_stop"}},
        {ConsoleMode::kClient, "", "g2r", {}},  // board words are for server mode
        {ConsoleMode::kServer, "", "http", {}},
        {ConsoleMode::kServer, "", "cl", {"clear", "cli", "client", "clr"}},
        {ConsoleMode::kServer, "sta ", "G2R", {"g2ra", "g2rd", "g2rd16", "g2rd32", "g2rd8"}},
        {ConsoleMode::kServer, "", "g12w", {"g12wd", "g12wp"}},
        {ConsoleMode::kServer, "", "ir", {"irtcdevrd", "irtcdevwr", "irtcrd", "irtcwr"}},
#ifndef _WIN32
        // After "co" (any case), a path goes on to devices and folders.
        {ConsoleMode::kServer, "CO ", "/dev/nul", {"/dev/null"}},
        {ConsoleMode::kClient, "g2co ", "/dev/nul", {}},
#endif
    };
    for (const Case& c : cases) {
        session().set_mode(c.mode);
        EXPECT_EQ(complete_console_word(c.before, c.word), c.words) << c.before << c.word;
    }
#ifndef _WIN32
    // The history file's place: XDG_STATE_HOME when absolute, else HOME's.
    EXPECT_EQ(history_path("/state", "/home/u"), "/state/tessaro/history");
    EXPECT_EQ(history_path("state", "/home/u"), "/home/u/.local/state/tessaro/history");
    EXPECT_EQ(history_path(nullptr, "/home/u"), "/home/u/.local/state/tessaro/history");
    EXPECT_EQ(history_path(nullptr, nullptr), "");
#endif
}

// The banner and the help are the golden transcript's; the build stamp they
// show has the compiler's shape.
TEST(ErrorTrace, IsThreeLinesWithBuildStampAndSourcePlace) {
    EXPECT_TRUE(has_shape(kBuildDate, "Aaa _9 9999")) << kBuildDate;
    EXPECT_TRUE(has_shape(kBuildTime, "99:99:99")) << kBuildTime;
    EXPECT_EQ(captured([] { error_trace("Something failed.", __FILE__, 42); }),
              std::string("Something failed.\nBuild: ") + kBuildDate + " at " + kBuildTime +
                  "\nFile: tests/console_session_test.cpp:42\n");
}

}  // namespace
