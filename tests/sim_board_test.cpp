// The board model as data: request bytes in, replies and state out. Bytes
// are written in hex; replies of one feed are joined by ", ", "-" is none.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "sim/quirn_board.h"
#include "sim/sim_options.h"

namespace {

using namespace quirn_sim;
using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    for (unsigned byte = 0; in >> std::hex >> byte;) {
        bytes.push_back(static_cast<uint8_t>(byte));
    }
    return bytes;
}

std::string replies(const std::vector<Exchange>& exchanges) {
    std::string text;
    for (const Exchange& exchange : exchanges) {
        EXPECT_LE(exchange.request.size(), kMaxFrameBytes);
        text +=
            (text.empty() ? "" : ", ") + (exchange.reply.empty() ? "-" : hex_bytes(exchange.reply));
    }
    return text;
}

std::string feed(BoardModel& board, const std::string& request) {
    return replies(board.feed(hex(request)));
}

// The board as the quirn-sim program makes it from args.
BoardConfig configured(const std::vector<std::string>& args) {
    const ParsedOptions parsed = parse_sim_options(args);
    EXPECT_TRUE(parsed.ok) << parsed.error;
    return parsed.options.board;
}

// Every request code, then the state it leaves: run and stop in the status
// word (the configured alarm and fault bits summarised until cleared), pins
// written and read back. ".." is any byte.
TEST(SimBoard, AnswersEveryRequestCodeWithItsLayoutAndKeepsItsState) {
    const std::pair<const char*, std::string_view> steps[] = {
        {"40 01 02 40 08 40", "40 CC 11 19, 01, 02, 40 CD 11 19, 08, 40 01 00 00"},
        {"20 40 01 40 10 40", "20, 40 11 00 00, 01, 40 10 00 00, 10, 40 00 00 00"},
        {"04 E0 FD E1 FE E2 FE E3 FE",
         "04 .. .. .. .. .. .. .. .. .. .. .., E0 01 06 09, E1, E2 .. .. .., E3 00"},
        {"E4 FE E5 FE E6 FE E7 FE E8 FE", "E4 00, E5 00, E6 .. .., E7 .. .., E8 .. .."},
        {"F0 FE F1 FE 80 81 FE 87 83 FE 89 85 FE", "F0 00, F1 00, 80 81 00, 87 83 00, 89 85 00"},
        {"98 88 FE A0 88 FE", "98 88 01 00, A0 88 34 02 00"},  // analog: low byte first
        {"A4 82 81 FE 98 82 FE", "A4 82 81 01, 98 82 00 00"},  // an input is not driven
        {"81 82 FE A4 82 89 FE 98 82 FE", "81 82 00, A4 82 89 00, 98 82 01 00"},
        {"98 83 FE 88 82 FE A4 82 80 FE 98 82 FE",
         "98 83 00 00, 88 82 00, A4 82 80 00, 98 82 00 00"},
    };
    BoardModel board(configured({"--alarm", "0x11", "--fault", "0x19"}));
    board.set_analog(8, 0x0234);
    board.set_analog(2, 0);
    board.set_analog(3, 0);
    for (const auto& [request, reply] : steps) {
        const std::string got = feed(board, request);
        const auto fits = [](char byte, char wanted) { return wanted == '.' || wanted == byte; };
        EXPECT_TRUE(std::equal(got.begin(), got.end(), reply.begin(), reply.end(), fits))
            << request << " -> " << got;
    }
}

TEST(SimBoard, StatisticsMoveWhileRunningAndRestartOnEveryRead) {
    BoardModel board;
    const auto systat = [&board] { return board.feed(Bytes{REQ_SYSTAT}).at(0).reply; };
    const Bytes idle = systat();
    EXPECT_EQ(idle[1], idle[2]) << "nothing runs, nothing moves";
    board.feed(Bytes{REQ_RUN_KST, REQ_RUN_UST, REQ_SYSTAT});  // drops the samples from before
    board.feed(Bytes(50, REQ_STATUS));
    const Bytes busy = systat();
    EXPECT_LT(idle[2], busy[1]);
    EXPECT_TRUE(busy[1] <= busy[3] && busy[3] <= busy[2]) << "load min <= avg <= max";
    EXPECT_LT(busy[2], busy[5] - busy[4]) << "load within the period";
    EXPECT_TRUE(busy[6] < busy[7] && busy[7] < busy[10]) << "K-ST stack min < max < size";
    EXPECT_TRUE(busy[8] < busy[9] && busy[9] < busy[11]) << "U-ST stack min < max < size";
    board.feed(Bytes{REQ_STOP_KST, REQ_STOP_UST, REQ_SYSTAT});
    EXPECT_EQ(systat(), idle) << "the busy samples were dropped by the reads";
}

TEST(SimFraming, SplitAndConcatenatedInputGiveTheSameReplies) {
    const Bytes stream = hex("02 E0 FD 81 82 FE 40 A0 82 FE 04 E1 FE");
    const std::string expected = replies(BoardModel().feed(stream));
    for (std::size_t piece : {1u, 2u, 3u, 5u}) {
        BoardModel board;
        std::vector<Exchange> exchanges;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const std::size_t n = std::min(piece, stream.size() - at);
            for (Exchange& exchange : board.feed(std::span(stream).subspan(at, n))) {
                exchanges.push_back(std::move(exchange));
            }
        }
        EXPECT_EQ(replies(exchanges), expected) << "pieces of " << piece;
    }
}

TEST(SimFraming, BadFramesGoUnansweredAndTheNextRequestIsServed) {
    // clang-format off
    const std::pair<const char*, const char*> rows[] = {
        {"00", "no code"}, {"03", "two bits: no code"}, {"FE", "a terminator alone"},
        {"E0 FE", "wrong terminator"}, {"E1 FD", "identification terminator"},
        {"E0 81 FD", "identification with data"}, {"E1 81 FE", "ping with data"},
        {"98 FE", "read without a pin"}, {"98 82 83 FE", "read with a value"},
        {"A4 82 FE", "write without a value"}, {"A4 82 FF FE", "value out of range"},
        {"81 FF FE", "pin out of range"}, {"90 81 FE", "no such pin code"},
        {"E9 FE", "no such information code"}, {"F8 FE", "the memory code is reserved"}};
    // clang-format on
    for (const auto& [frame, reason] : rows) {
        BoardModel board;
        EXPECT_EQ(feed(board, frame + std::string(" 40")), "-, 40 00 00 00") << reason;
    }
    BoardModel board;  // an unfinished frame is dropped by the next request
    EXPECT_EQ(feed(board, "A4 82 40 A4 E1 FE"), "40 00 00 00, E1");
    EXPECT_EQ(replies(board.feed(Bytes(100000, 0x85))), "") << "endless garbage";
    EXPECT_EQ(feed(board, "FE 40"), "-, 40 00 00 00");
}

TEST(SimFaults, EachFaultOptionChangesRepliesAsAsked) {
    struct Row {
        std::vector<std::string> args;
        const char* requests;
        const char* replies;
        std::size_t split_at;  // of the first reply
    };
    const Row rows[] = {
        {{"--wrong-echo"}, "40 01", "41 00 00 00, 02", 0},
        {{"--wrong-length"}, "20 40", "20 00, 40 10 00 00 00", 0},
        {{"--garbage=2"}, "02", "02 A5 A5", 0},
        {{"--split-gap", "50"}, "40 02", "40 00 00 00, 02", 2},
        {{"--split-gap", "50"}, "E3 FE", "E3 00", 1},
        {{"--wrong-length", "--garbage=1", "--split-gap=9"}, "40", "40 00 00 00 00 A5", 3},
        {{"--silent-every", "1"}, "02 40", "-, -", 0},
        {{"--silent-every", "2"}, "40 02 40 40", "40 00 00 00, -, 40 00 00 00, -", 0},
        {{"--hangup-after", "2"}, "40 02 40 40", "40 00 00 00, 02, -", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.front());
        BoardModel board;
        board.feed(Bytes{REQ_STATUS, REQ_STATUS});  // the counts start when the faults are set
        const Faults faults = configured(row.args).faults;
        board.set_faults(faults);
        const std::vector<Exchange> exchanges = board.feed(hex(row.requests));
        EXPECT_EQ(replies(exchanges), row.replies);
        EXPECT_EQ(exchanges.at(0).split_at, row.split_at);
        EXPECT_EQ(exchanges[0].split_gap_ms, row.split_at > 0 ? faults.split_gap_ms : 0);
        EXPECT_EQ(board.hung_up(), faults.hangup_after > 0);
    }
}

}  // namespace
