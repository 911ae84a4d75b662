// The command layer and the decoder against the simulated board on a
// pseudo-terminal: the exact bytes the board received, and the exact lines
// the user read.

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/console_ui.h"
#include "app/state.h"
#include "protocol/class_quirn_server.h"
#include "protocol/server_commands.h"
#include "serial/class_serial.h"
#include "sim/quirn_board.h"
#include "tests/support/protocol_transcript.h"

namespace {

using namespace std::chrono_literals;
using test_support::compare_lines;
using test_support::Lines;
using Frames = std::vector<std::vector<uint8_t>>;

constexpr auto kDeadline = 10s;

// The three lines of an error trace from the given source file.
Lines trace(const std::string& message, const std::string& file) {
    return {message, "~Build: * at *", "~File: " + file + ":*"};
}
Lines no_reply() {
    return trace("Not able to decode.", "protocol/server_commands.cpp");
}

Lines concat(Lines head, const Lines& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const Lines kUnhandled = {"A response was received from server, but Server::decode_response:",
                          "does not know how to interpret it ..."};

const Lines kBothRunning = {
    "",
    "bs_status: 00010001",
    "b7 == 0 : No Fault for User space",
    "b6 == 0 : No Alarm for User space",
    "b4 == 1 : U-ST (User Space scheduler) running",
    "b3 == 0 : No Fault for Kernel",
    "b2 == 0 : No Alarm for Kernel",
    "b0 == 1 : K-ST (Kernel Space scheduler) running",
    "",
    "bs_alarm: 00000000",
    "b4 == 0 : U-ST (User Space) Stack load is good",
    "b0 == 0 : K-ST (Kernel Space) Stack load is good",
    "",
    "bs_fault: 00000000",
    "b4 == 0 : U-ST (User Space) stack good",
    "b3 == 0 : Wadtchdog timer good TODO",
    "b0 == 0 : K-ST (Kernel Space) stack good",
};

Lines both_stopped() {
    Lines lines = kBothRunning;
    lines[1] = "bs_status: 00000000";
    lines[4] = "b4 == 0 : U-ST (User Space scheduler) stopped";
    lines[7] = "b0 == 0 : K-ST (Kernel Space scheduler) stopped";
    return lines;
}

Lines systat_lines() {
    Lines lines = {"", "Systats:"};
    for (const char* label :
         {"RT load min:           ", "RT load max:           ", "RT load avg:           ",
          "Kernel stack load min: ", "Kernel stack load max: ", "User stack load min:   ",
          "User stack load max:   "}) {
        lines.push_back("~" + std::string(label) + "* % (* / *)");
    }
    return lines;
}

// What a test may change in the program-wide state, put back as it was.
void reset_state() {
    if (serial_port().get_state().status == 1) {
        serial_port().close();
    }
    connected.store(0);
    console_mode.store(mode::kClient);
    command_line.clear();
    quirn_server().set_names("-", "-");
}

// A simulated board, with the program's port open on it in server mode.
class ProtocolBoard : public testing::Test {
  protected:
    void SetUp() override { start(quirn_sim::BoardConfig{}, true); }
    void TearDown() override {
        reset_state();
        board_.reset();
    }

    void start(quirn_sim::BoardConfig config, bool open_port) {
        board_ = std::make_unique<quirn_sim::PtyBoard>(config);
        if (!board_->ok()) {
            GTEST_SKIP() << "no pseudo-terminal: " << board_->error();
        }
        if (open_port) {
            serial_port().open(board_->path());
            ASSERT_EQ(serial_port().get_state().status, 1) << board_->path();
            connected.store(1);
            console_mode.store(mode::kServer);
        }
    }

    // A word as the console handles it in server mode; the lines printed.
    static Lines type(const std::string& line) {
        testing::internal::CaptureStdout();
        CommandReply reply = run_server_command(line);
        quirn_server().decode_response(line, std::move(reply));
        return test_support::transcript(testing::internal::GetCapturedStdout());
    }

    struct WordCase {
        std::string line;
        Frames frames;  // what the board receives, in order
        Lines printed;  // "~" entries are patterns, "*" any run of characters
    };

    void expect_rows(const std::vector<WordCase>& rows) {
        for (const WordCase& row : rows) {
            board_->clear_received();
            const Lines printed = type(row.line);
            EXPECT_EQ(board_->received_frames(), row.frames) << row.line;
            EXPECT_EQ(compare_lines(row.printed, printed), "") << row.line;
        }
    }

    std::unique_ptr<quirn_sim::PtyBoard> board_;
};

// The short words and every family are typed in the console session below;
// here the long forms and the words it does not type.
TEST_F(ProtocolBoard, LongWordsSendTheirBytes) {
    expect_rows({
        {"status", {{0x40}}, concat({"quirn: Status"}, both_stopped())},
        {"runust",
         {{0x20}},
         {"quirn: Run U-ST User scheduled tasks", "Server operation ok: runust"}},
        {"runkst",
         {{0x02}},
         {"quirn: Run K-ST Kernel scheduled tasks", "Server operation ok: runkst"}},
        {"status", {{0x40}}, concat({"quirn: Status"}, kBothRunning)},
        {"stopust",
         {{0x10}},
         {"quirn: Stop U-ST User scheduled tasks", "Server operation ok: stopust"}},
        {"stopkst",
         {{0x01}},
         {"quirn: Stop K-ST Kernel scheduled tasks", "Server operation ok: stopkst"}},
        {"clear",
         {{0x08}},
         {"quirn: Clear Fault and Warning words",
          "Server operation ok: clear fault and alarm words"}},
        {"systat", {{0x04}}, concat({"quirn: Server systat readback and reset"}, systat_lines())},
    });
}

TEST_F(ProtocolBoard, FamiliesByFirstLetter) {
    expect_rows({
        {"g66ci", {{0x80, 0x82, 0xFE}}, {"Pin 66 set as Digital Input."}},  // pin wraps to 2
        {"ibatt", {{0xE6, 0xFE}}, concat({"Unhandled Decoding: ibatt"}, kUnhandled)},
        // Words that send nothing: the empty reply is reported.
        {"cslow", {}, no_reply()},
        {"icon", {}, no_reply()},
        {"e1", {}, no_reply()},
        {"stat", {}, no_reply()},
        {"quit", {}, no_reply()},
        {"g1ci2", {}, concat({"Nop"}, no_reply())},
        {"grd", {}, no_reply()},
        {"g99999999999rd", {}, concat({"Pin number too large: 99999999999"}, no_reply())},
        {"g2wd99999999999", {}, concat({"Value too large: 99999999999"}, no_reply())},
        {"", {}, {}},
    });
}

TEST_F(ProtocolBoard, RefusedWhileNotConnected) {
    connected.store(0);
    board_->clear_received();
    for (const std::string line : {"sta", "run", "g1rd", "ihwmcu", "stat", "quit"}) {
        EXPECT_EQ(type(line), Lines{"Cannot run a server command while not connected."}) << line;
    }
    EXPECT_EQ(type(""), Lines{});
    // Nothing reached the board: the next request is the first it sees.
    connected.store(1);
    type("rust");
    EXPECT_EQ(board_->received_frames(), (Frames{{0x20}}));
}

TEST_F(ProtocolBoard, SendServerCodeOutsideTheTable) {
    board_->clear_received();
    for (const uint32_t code : {3u, 0u, 0x80u, 0x140u, 0xFFFFFFFFu}) {
        testing::internal::CaptureStdout();
        const CommandReply reply = send_server_code(code);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "QUIRN Command Nop: " + std::to_string(code) + "\n");
        EXPECT_TRUE(reply.bytes.empty());
        EXPECT_EQ(reply.count, 0u);
    }
    const CommandReply reply = send_server_code(0x40);
    EXPECT_EQ(reply.bytes.size(), 4u);
    EXPECT_EQ(reply.count, 4u);
    EXPECT_EQ(board_->received_frames(), (Frames{{0x40}}));
}

// Each fault of the board gives its report, and the next command works.
TEST_F(ProtocolBoard, SilentBoard) {
    // Every second request goes unanswered. run and stop send their second
    // request whatever the first brought back; the result is the second
    // reply, and a first one that did not come is reported as well.
    board_->set_faults({.silent_every = 2});
    const std::string run_text = "quirn: Run U-ST User + Kernel scheduled tasks";
    expect_rows({
        {"sta", {{0x40}}, concat({"quirn: Status"}, both_stopped())},
        {"run",
         {{0x20}, {0x02}},
         concat(concat({run_text}, no_reply()), {"Server operation ok: run"})},
        {"sta", {{0x40}}, concat({"quirn: Status"}, no_reply())},
        {"stop",
         {{0x10}, {0x01}},
         concat({"quirn: Stop U-ST User + Kernel scheduled tasks"}, no_reply())},
    });
    board_->set_faults({});
    expect_rows({{"sust",
                  {{0x10}},
                  {"quirn: Stop U-ST User scheduled tasks", "Server operation ok: stopust"}}});
}

TEST_F(ProtocolBoard, WrongEcho) {
    const std::string tx = "Error on transmission. The Request was: ";
    board_->set_faults({.wrong_echo = true});
    expect_rows({
        {"sta", {{0x40}}, {"quirn: Status", tx + "status (0x40) but reaback from server was 0x41"}},
        {"run",
         {{0x20}, {0x02}},
         {"quirn: Run U-ST User + Kernel scheduled tasks",
          tx + "runust (0x20) but reaback from server was 0x21",
          tx + "run (0x22) but reaback from server was 0x3"}},
        {"stop",
         {{0x10}, {0x01}},
         {"quirn: Stop U-ST User + Kernel scheduled tasks",
          tx + "stopust (0x10) but reaback from server was 0x11",
          tx + "stop (0x11) but reaback from server was 0x2"}},
        {"clr",
         {{0x08}},
         {"quirn: Clear Fault and Warning words",
          tx + "clear (0x8) but reaback from server was 0x9"}},
        {"sys",
         {{0x04}},
         {"quirn: Server systat readback and reset",
          tx + "systat (0x4) but reaback from server was 0x5"}},
    });
    board_->set_faults({});
    expect_rows({{"skst",
                  {{0x01}},
                  {"quirn: Stop K-ST Kernel scheduled tasks", "Server operation ok: stopkst"}},
                 {"g10rd", {{0x98, 0x8A, 0xFE}}, {"~Pin 10 value: *"}}});
}

TEST_F(ProtocolBoard, WrongLength) {
    board_->set_faults({.wrong_length = true});
    expect_rows({
        {"sta", {{0x40}}, {"quirn: Status", "Error response length: 5 != 4"}},
        {"sys",
         {{0x04}},
         {"quirn: Server systat readback and reset", "Error status response length: 13 != 12"}},
        {"rkst",
         {{0x02}},
         {"quirn: Run K-ST Kernel scheduled tasks", "Error response length: 2 != 1"}},
        {"g2rd", {{0x98, 0x82, 0xFE}}, {"Error response length: 5 != 4"}},
        {"run",
         {{0x20}, {0x02}},
         {"quirn: Run U-ST User + Kernel scheduled tasks", "Error response length: 2 != 1",
          "Error response length: 2 != 1"}},
        {"ihwmcu", {{0xE0, 0xFD}}, {"Error response length: 5 != 4"}},
    });
    EXPECT_EQ(quirn_server().names(), std::make_pair(std::string("-"), std::string("-")));
    board_->set_faults({});
    expect_rows({{"ihwmcu", {{0xE0, 0xFD}}, {}}});
    EXPECT_EQ(quirn_server().names(),
              std::make_pair(std::string("Arduino"), std::string("Uno_R4_Minima")));
}

// Waits until the program's open port holds at least count unread bytes.
bool wait_for_unread(int count, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        int unread = 0;
        if (ioctl(serial_port().handle, FIONREAD, &unread) != 0) {
            return false;
        }
        if (unread >= count) {
            return true;
        }
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::yield();
    }
}

TEST_F(ProtocolBoard, SplitReply) {
    // The board sends half of the reply, then the other half after the 5 ms
    // interval: the host reads a short reply, and the late tail must not be
    // taken for the answer to the next request.
    board_->set_faults({.split_gap_ms = 60});
    expect_rows({{"sta", {{0x40}}, {"quirn: Status", "Error response length: 2 != 4"}}});
    board_->set_faults({});
    ASSERT_TRUE(board_->wait_idle(kDeadline));
    ASSERT_TRUE(wait_for_unread(2, kDeadline));
    expect_rows({{"sta", {{0x40}}, concat({"quirn: Status"}, both_stopped())},
                 {"rust",
                  {{0x20}},
                  {"quirn: Run U-ST User scheduled tasks", "Server operation ok: runust"}}});
}

// The console as a user drives it: co, every command family, di, quit.
class ProtocolConsole : public ProtocolBoard {
  protected:
    void SetUp() override {}

    // Runs the console on the words; returns what it printed, prompts kept.
    static std::string session(const std::string& words) {
        std::istringstream input(words);
        testing::internal::CaptureStdout();
        run_console(input);
        return testing::internal::GetCapturedStdout();
    }

    // The lines from the first one equal to `from` on.
    static Lines lines_from(const std::string& output, const std::string& from) {
        const Lines lines = test_support::transcript(output);
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i] == from) {
                return Lines(lines.begin() + static_cast<std::ptrdiff_t>(i), lines.end());
            }
        }
        return {};
    }
};

TEST_F(ProtocolConsole, EveryCommandFamily) {
    start(quirn_sim::BoardConfig{}, false);
    if (IsSkipped()) {
        return;
    }
    board_->set_analog(8, 700);
    const std::string output = session("co " + board_->path() +
                                       " sta run Sta stop RUST sust rkst skst clr sys"
                                       " g2co g2wd1 g2rd g8ra g13cod g3ca gca"
                                       " ihwmcu iping csleep cwake mhead f1r di quit");
    EXPECT_EQ(board_->received_frames(), (Frames{{0xE0, 0xFD},
                                                 {0x40},
                                                 {0x20},
                                                 {0x02},
                                                 {0x40},
                                                 {0x10},
                                                 {0x01},
                                                 {0x20},
                                                 {0x10},
                                                 {0x02},
                                                 {0x01},
                                                 {0x08},
                                                 {0x04},
                                                 {0x81, 0x82, 0xFE},
                                                 {0xA4, 0x82, 0x81, 0xFE},
                                                 {0x98, 0x82, 0xFE},
                                                 {0xA0, 0x88, 0xFE},
                                                 {0x88, 0x8D, 0xFE},
                                                 {0xE0, 0xFD},
                                                 {0xE1, 0xFE},
                                                 {0xF0, 0xFE},
                                                 {0xF1, 0xFE}}));
    EXPECT_NE(output.find("] [Arduino:Uno_R4_Minima] [Server] ["), std::string::npos);
    Lines expected = concat({"quirn: Status"}, both_stopped());
    expected = concat(expected, {"quirn: Run U-ST User + Kernel scheduled tasks",
                                 "Server operation ok: run", "quirn: Status"});
    expected = concat(expected, kBothRunning);
    expected =
        concat(expected, {"quirn: Stop U-ST User + Kernel scheduled tasks",
                          "Server operation ok: stop", "quirn: Run U-ST User scheduled tasks",
                          "Server operation ok: runust", "quirn: Stop U-ST User scheduled tasks",
                          "Server operation ok: stopust", "quirn: Run K-ST Kernel scheduled tasks",
                          "Server operation ok: runkst", "quirn: Stop K-ST Kernel scheduled tasks",
                          "Server operation ok: stopkst", "quirn: Clear Fault and Warning words",
                          "Server operation ok: clear fault and alarm words",
                          "quirn: Server systat readback and reset"});
    expected = concat(expected, systat_lines());
    expected = concat(expected, {"Pin 2 set as Digital Output.", "Pin 2 value: 1 written on port.",
                                 "Pin 2 value: 1", "Pin 8 value: 700"});
    expected = concat(expected,
                      trace("Unhandled command decoder: cod", "protocol/class_quirn_server.cpp"));
    expected = concat(expected, concat({"Not implemented"}, no_reply()));
    expected = concat(expected, no_reply());  // gca
    expected = concat(expected, concat({"Unhandled Decoding: iping"}, kUnhandled));
    expected = concat(expected, concat({"Unhandled Decoding: csleep"}, kUnhandled));
    expected = concat(expected, concat({"Unhandled Decoding: cwake"}, kUnhandled));
    expected = concat(expected, no_reply());  // mhead
    expected = concat(expected, no_reply());  // f1r
    expected = concat(expected, {"Disconnect ...", "Closed " + board_->path() + " port", "Nop"});
    EXPECT_EQ(compare_lines(expected, lines_from(output, "quirn: Status")), "") << output;
    EXPECT_EQ(quirn_server().names(), std::make_pair(std::string("-"), std::string("-")));
    EXPECT_EQ(connected.load(), 0);
}

TEST_F(ProtocolConsole, IdentifiesEachMaker) {
    struct MakerCase {
        uint8_t maker;
        uint8_t board;
        std::string prompt_names;
        Lines printed;  // after the port question
        int32_t connected_after;
    };
    const MakerCase rows[] = {
        {0x30, 0x09, "[Microchip:PIC16F628]", {}, 1},
        // Unknown maker: the board is taken as not connected; the port stays open.
        {0x12, 0x09, "[:-]", {"Error unknown hardware: 0x12:0x9"}, 0},
    };
    for (const MakerCase& row : rows) {
        quirn_sim::BoardConfig config;
        config.maker_id = row.maker;
        config.board_id = row.board;
        start(config, false);
        if (IsSkipped()) {
            return;
        }
        const std::string output = session("co " + board_->path() + " sta");
        EXPECT_EQ(connected.load(), row.connected_after);
        EXPECT_NE(output.find(" " + row.prompt_names + " [Server] ["), std::string::npos) << output;
        const Lines after = lines_from(output, "Connect to port (eg. COM1): ");
        ASSERT_FALSE(after.empty()) << output;
        const Lines status = row.connected_after == 1
                                 ? concat({"quirn: Status"}, both_stopped())
                                 : Lines{"Cannot run a server command while not connected."};
        EXPECT_EQ(compare_lines(concat(concat({after[0]}, row.printed), status), after), "")
            << output;
        EXPECT_EQ(serial_port().get_state().status, 1);
        reset_state();
        board_.reset();
    }
}

// A web-like thread reads a pin over and over while the console thread runs
// and stops the schedulers: every reply must answer its own request, and the
// two requests of run and stop must reach the board back to back.
class ProtocolConcurrency : public ProtocolBoard {};

TEST_F(ProtocolConcurrency, WebReadsDuringRunAndStop) {
    constexpr int kRounds = 40;
    constexpr int kReads = 80;
    std::atomic<int> wrong_replies{0};
    std::mutex first_wrong_mutex;  // guards first_wrong
    std::string first_wrong;
    const auto note_wrong = [&](const std::string& what, const CommandReply& reply) {
        wrong_replies.fetch_add(1);
        std::lock_guard lock(first_wrong_mutex);
        if (first_wrong.empty()) {
            std::ostringstream text;
            text << what << ":";
            for (uint8_t byte : reply.bytes) {
                text << " " << unsigned{byte};
            }
            first_wrong = text.str();
        }
    };
    board_->clear_received();
    testing::internal::CaptureStdout();
    std::thread web([&] {
        for (int i = 0; i < kReads; ++i) {
            const CommandReply reply = run_server_command("g5rd");
            if (reply.bytes.size() != 4 || reply.bytes[0] != 0x98 || reply.bytes[1] != 0x85) {
                note_wrong("g5rd", reply);
            }
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        for (const auto& [line, echo] : {std::pair{"run", 0x02}, std::pair{"stop", 0x01}}) {
            const CommandReply reply = run_server_command(line);
            if (reply.bytes != std::vector<uint8_t>{static_cast<uint8_t>(echo)}) {
                note_wrong(line, reply);
            }
            quirn_server().decode_response(line, reply);
        }
    }
    web.join();
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(wrong_replies.load(), 0) << first_wrong;

    const Frames frames = board_->received_frames();
    ASSERT_EQ(frames.size(), static_cast<size_t>(kRounds * 4 + kReads));
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i] == std::vector<uint8_t>{0x20} || frames[i] == std::vector<uint8_t>{0x10}) {
            ASSERT_LT(i + 1, frames.size());
            const uint8_t second = frames[i][0] == 0x20 ? 0x02 : 0x01;
            EXPECT_EQ(frames[i + 1], std::vector<uint8_t>{second}) << "frame " << i;
        }
    }
    const Lines lines = test_support::transcript(output);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Server operation ok: run"), kRounds);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Server operation ok: stop"), kRounds);
}

}  // namespace
