// The command layer and the decoder against the simulated board in
// memory: the exact bytes the board received, and the exact text
// the console makes of the outcome.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "app/console_tell.h"
#include "base/session.h"
#include "base/state.h"
#include "protocol/class_quirn_server.h"
#include "protocol/quirn_transcoder.h"
#include "protocol/server_commands.h"
#include "serial/class_serial.h"
#include "sim/quirn_board.h"
#include "tests/support/memory_board.h"
#include "tests/support/transcript.h"

namespace {

using test_support::transcript;

// What the console says of an outcome, prompts left out.
std::string told(const CommandOutcome& outcome) {
    std::vector<Saying> said = command_sayings(outcome);
    for (Saying& saying : reply_sayings(outcome, true)) {
        said.push_back(std::move(saying));
    }
    return transcript(said);
}

const std::string kNoReply = "Not able to decode.\nBuild:\nFile:\n";
const std::string kTx = "Error on transmission. The Request was: ";
const std::string kRun = "quirn: Run U-ST User + Kernel scheduled tasks\n";
const std::string kStop = "quirn: Stop U-ST User + Kernel scheduled tasks\n";
const std::string kRust = "quirn: Run U-ST User scheduled tasks\nServer operation ok: runust\n";
// A simulated board in memory, with the program's port open on it and
// connected: its time-outs cost no real time.
class ProtocolBoard : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(port_.opened());
        session().opened(test_support::MemoryBoard::kName);
    }
    // What a test may change in the program-wide state, put back as it was.
    void TearDown() override {
        interval_reads.store(false);
        serial_port().set_resync_probe({}, 0);
        session().reset();
    }

    // The frames received since the last clear, as in "40, A4 82 81 FE".
    std::string received() {
        std::string text;
        for (const std::vector<uint8_t>& frame : board_.received_frames()) {
            text += (text.empty() ? "" : ", ") + quirn_sim::hex_bytes(frame);
        }
        return text;
    }

    // Runs the line as the console does in server mode: the frames the board
    // received, the text the console makes of the outcome and the half of
    // run or stop that went unconfirmed must be the expected ones.
    void expect_typed(const std::string& line, const std::string& frames,
                      const std::string& printed, const std::string& unconfirmed = "") {
        board_.clear_received();
        const CommandOutcome outcome = run_board_command(line, CommandSource::kConsole);
        EXPECT_EQ(received(), frames) << line;
        EXPECT_EQ(told(outcome), printed) << line;
        EXPECT_EQ(outcome.unconfirmed, unconfirmed) << line;
    }

    test_support::ProgramPortInMemory port_;
    test_support::MemoryBoard& board_ = port_.board();
};

// Each fault of the board gives its report, and the next command works. run
// and stop send their second request whatever the first brought back; their
// result is the second reply, and a first one that went wrong is reported too.
TEST_F(ProtocolBoard, FaultsAreReportedAndTheNextCommandWorks) {
    struct Typed {
        std::string line, frames, printed, unconfirmed = "";
    };
    const struct {
        quirn_sim::Faults faults;
        std::vector<Typed> typed;
    } cases[] = {
        // run's first request, sta's and stop's second go unanswered: no "ok",
        // the half that failed is named.
        {{.silent_every = 2},
         {{"rust", "20", kRust},
          {"run", "20, 02", kRun + "Run of the user tasks (U-ST) not confirmed: no reply\n",
           "user"},
          {"sta", "40", "quirn: Status\n" + kNoReply},
          {"stop", "10, 01", kStop + "Stop of the kernel tasks (K-ST) not confirmed: no reply\n",
           "kernel"}}},
        {{.wrong_echo = true},
         {{"run", "20, 02",
           kRun + "Run of the user tasks (U-ST) not confirmed: reply 0x21 instead of 0x20\n" +
               "Run of the kernel tasks (K-ST) not confirmed: reply 0x3 instead of 0x2\n",
           "both"},
          {"stop", "10, 01",
           kStop + "Stop of the user tasks (U-ST) not confirmed: reply 0x11 instead of 0x10\n" +
               "Stop of the kernel tasks (K-ST) not confirmed: reply 0x2 instead of 0x1\n",
           "both"},
          {"sta", "40",
           "quirn: Status\n" + kTx + "status (0x40) but reaback from server was 0x41\n"}}},
        {{.wrong_length = true},
         {{"stop", "10, 01",
           kStop + "Stop of the user tasks (U-ST) not confirmed: 2 bytes instead of 1\n" +
               "Stop of the kernel tasks (K-ST) not confirmed: 2 bytes instead of 1\n",
           "both"}}},
        // Half the reply, the rest after the read has ended: that late tail
        // must not be taken for the answer to the next request, whether it
        // is in (60 ms, waited for) or still on its way (20 ms).
        {{.split_gap_ms = 60}, {{"sta", "40", "quirn: Status\nError response length: 2 != 4\n"}}},
        {{.split_gap_ms = 20},
         {{"g5rd", "98 85 FE", "Error response length: 2 != 4\n"},
          {"g5rd", "98 85 FE", "Error response length: 2 != 4\n"}}},
        // A GPIO reply is checked against its request too: no value from it.
        {{.wrong_echo = true},
         {{"g5rd", "98 85 FE", kTx + "g5rd (0x98) but reaback from server was 0x99\n"},
          {"g6co", "81 86 FE", kTx + "g6co (0x81) but reaback from server was 0x82\n"}}},
    };
    for (const auto& fault : cases) {
        board_.set_faults(fault.faults);
        for (const Typed& typed : fault.typed) {
            expect_typed(typed.line, typed.frames, typed.printed, typed.unconfirmed);
        }
        board_.set_faults({});
        if (fault.faults.split_gap_ms != 20) {
            port_.clock().advance(std::chrono::milliseconds(100));  // every late byte is in
        }
        expect_typed("g5rd", "98 85 FE", "Pin 5 value: 1\n");
        expect_typed("rust", "20", kRust);
    }
}

// The program's resync probe, the identification request, goes before the
// command that follows a failed one: a wrong echo, or a reply that answers
// another pin (a late answer to an earlier request, say), which only the
// command layer can tell.
TEST_F(ProtocolBoard, TheProbeGoesBeforeTheCommandAfterAFailure) {
    hand_resync_probe_to_port();
    board_.set_faults({.wrong_echo = true});
    expect_typed("g5rd", "98 85 FE", kTx + "g5rd (0x98) but reaback from server was 0x99\n");
    board_.set_faults({});
    expect_typed("g5rd", "E0 FD, 98 85 FE", "Pin 5 value: 1\n");
    board_.set_reply_delay([](uint64_t) { return 5u; });
    board_.send_later({0x98, 0x86, 0x00, 0x00}, 1);  // before the answer, whole
    expect_typed("g5rd", "98 85 FE", kTx + "g5rd (0x85) but reaback from server was 0x86\n");
    expect_typed("g5rd", "E0 FD, 98 85 FE", "Pin 5 value: 1\n");
}

// A reply of known length ends a guard's silence after its last byte, which
// the interval rule (no end before 5 ms of silence) never allows; the other
// replies, and every reply under interval_reads, wait out the interval.
TEST_F(ProtocolBoard, KnownLengthRepliesEndBeforeTheIntervalRuleCould) {
    constexpr auto kInterval = std::chrono::milliseconds(5);
    const std::pair<std::string, bool> rows[] = {
        {"sta", true},    {"rust", true},    {"sust", true}, {"clr", true},    {"sys", true},
        {"rkst", true},   {"skst", true},    {"run", true},  {"ihwmcu", true}, {"g2ci", true},
        {"g2co", true},   {"g2rd", true},    {"g8ra", true}, {"g2wd1", true},  {"g13cod", false},
        {"iping", false}, {"csleep", false},
    };
    // How long the transaction took on the line's clock.
    const auto quickest = [&](const std::string& line) {
        const auto start = port_.clock().now();
        const CommandReply reply = run_server_command(line, CommandSource::kConsole);
        EXPECT_FALSE(reply.bytes.empty()) << line;
        return port_.clock().now() - start;
    };
    for (const auto& [line, known] : rows) {
        interval_reads.store(false);
        const auto guarded = quickest(line);
        interval_reads.store(true);
        const auto interval = quickest(line);
        EXPECT_GE(interval, kInterval) << line;
        EXPECT_EQ(guarded < kInterval, known)
            << line << ": " << std::chrono::duration<double, std::milli>(guarded).count()
            << " ms, under the interval rule "
            << std::chrono::duration<double, std::milli>(interval).count() << " ms";
    }
}

}  // namespace
