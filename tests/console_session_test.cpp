// The console as a user sees it: words in, texts out, driven in-process.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/console_ui.h"
#include "app/line_editor.h"
#include "base/console_output.h"
#include "base/session.h"
#include "protocol/class_quirn_server.h"
#include "serial/class_serial.h"
#ifndef _WIN32
#include <nlohmann/json.hpp>

#include "serial/wire_trace.h"
#include "sim/quirn_board.h"
#include "tests/support/memory_board.h"
#endif

namespace {

std::string client(int n) {
    return "[Disconnected] [local] [Client] [" + std::to_string(n) + "] > ";
}
std::string server(int n) {
    return "[Disconnected] [-:-] [Server] [" + std::to_string(n) + "] > ";
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
        {"Exit ls", ""},
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

// Scripts, on the board in memory: the status says whether every word
// worked, bail stops at the first that did not, quiet leaves the reports
// alone on standard output, JSON one record per word and nothing else. The
// trace names the console's word or the identification as each event's source.
TEST_F(ConsoleSession, ScriptsReadOutcomesAsStatusQuietTextOrJsonLines) {
    using enum OutputMode;
    struct Run {
        OutputMode mode;
        std::string words;
        bool bail;
        int code;
        std::string out;     // standard output; for JSON, word, error or "ok", and value per line
        std::string frames;  // what the board received after the identification
    };
    const std::string trace = "Not able to decode.\nBuild:\nFile:\n";
    // clang-format off
    const Run runs[] = {
        {kQuiet, "g2rd\nrust\n", false, 0,
         "Pin 2 value: 0\nquirn: Run U-ST User scheduled tasks\nServer operation ok: runust\n",
         "98 82 FE, 20"},
        {kQuiet, "g2co G2WD1 g2rd", false, 0,
         "Pin 2 set as Digital Output.\nPin 2 value: 1 written on port.\nPin 2 value: 1\n",
         "81 82 FE, A4 82 81 FE, 98 82 FE"},
        {kQuiet, "g2rd foo g2rd", true, 1, "Pin 2 value: 0\n" + trace, "98 82 FE"},
        {kQuiet, "foo\ng2rd\n", false, 1, trace + "Pin 2 value: 0\n", "98 82 FE"},
        {kJson, "g2rd foo g99rd g2wd1 sys ihwmcu iping run", false, 1,
         "co ok\ng2rd ok 0\nfoo unknown_word\ng99rd out_of_range\ng2wd1 ok 1\nsys ok\n"
         "ihwmcu ok\niping undecoded\nrun ok\n",
         "98 82 FE, A4 82 81 FE, 04, E0 FD, E1 FE, 20, 02"},
    };
    // clang-format on
    for (const Run& run : runs) {
        test_support::ProgramPortInMemory memory;
        SetUp();  // the port closed, as at the program's start
        std::istringstream in(run.words);
        const ConsoleStart start{test_support::MemoryBoard::kName, true, true, run.bail, {}};
        const uint64_t mark = wire_trace::events_after(0, 0).last;
        memory.board().clear_received();
        set_output_mode(run.mode);
        int code = -1;
        std::string out = captured([&] { code = run_console(in, start); });
        set_output_mode(kText);
        EXPECT_EQ(code, run.code) << run.words;
        std::string frames;
        for (const auto& frame : memory.board().received_frames()) {
            frames += (frames.empty() ? "" : ", ") + quirn_sim::hex_bytes(frame);
        }
        EXPECT_EQ(frames, "E0 FD, " + run.frames) << run.words;
        // A JSON record as its word, its outcome and the value it gives; a
        // trace's build stamp and place, which vary, cut after their colon.
        std::istringstream lines(std::exchange(out, ""));
        for (std::string line; std::getline(lines, line);) {
            if (run.mode != kJson) {
                out += line.substr(0, line.starts_with("Build: ") || line.starts_with("File: ")
                                          ? line.find(':') + 1
                                          : line.size()) +
                       "\n";
                continue;
            }
            const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
            ASSERT_TRUE(record.is_object()) << "not a JSON object: " << line;
            out += record["word"].get<std::string>() + " " +
                   (record["ok"].get<bool>() ? "ok" : record["error"].get<std::string>()) +
                   (record.contains("value") ? " " + record["value"].dump() : "") + "\n";
        }
        EXPECT_EQ(out, run.out) << run.words;
        std::string traced;
        for (const wire_trace::Event& event : wire_trace::events_after(mark).events) {
            traced += wire_trace::format_line(event) + "\n";
        }
        for (const std::string piece :
             {" ms  console co          --   opened /dev/memory0 at 19200 8N1\n",
              " ms  identify            -> E0 FD\n", " ms  console g2rd        -> 98 82 FE\n"}) {
            EXPECT_NE(traced.find(piece), std::string::npos) << piece << " not in\n" << traced;
        }
    }
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

}  // namespace
