// The board model as data: request bytes in, replies and state out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/quirn_board.h"

namespace {

using namespace quirn_sim;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t param(uint32_t n) {
    return static_cast<uint8_t>(0x80 | (n & 0x3F));
}

// The reply to one request fed whole; fails the test unless exactly one frame completed.
Bytes ask(BoardModel& board, const Bytes& request) {
    const std::vector<Exchange> exchanges = board.feed(request);
    EXPECT_EQ(exchanges.size(), 1u) << hex_bytes(request);
    return exchanges.empty() ? Bytes{} : exchanges.front().reply;
}

std::vector<Bytes> replies_of(const std::vector<Exchange>& exchanges) {
    std::vector<Bytes> replies;
    for (const Exchange& exchange : exchanges) {
        replies.push_back(exchange.reply);
    }
    return replies;
}

TEST(SimBoard, AnswersEveryRequestCodeWithItsLayout) {
    struct Row {
        Bytes request;
        std::size_t length;  // 0: any short answer
    };
    const Row rows[] = {
        {{REQ_STOP_KST}, 1},
        {{REQ_RUN_KST}, 1},
        {{REQ_SYSTAT}, 12},
        {{REQ_CLEAR}, 1},
        {{REQ_STOP_UST}, 1},
        {{REQ_RUN_UST}, 1},
        {{REQ_STATUS}, 4},
        {{REQ_GPIO_CFG_INPUT, param(1), FRAME_END}, 3},
        {{REQ_GPIO_CFG_OUTPUT, param(2), FRAME_END}, 3},
        {{REQ_GPIO_CFG_CR, param(3), FRAME_END}, 3},
        {{REQ_GPIO_CFG_OPENDRAIN, param(13), FRAME_END}, 3},
        {{REQ_GPIO_CFG_PULLUP, param(5), FRAME_END}, 3},
        {{REQ_GPIO_READ, param(8), FRAME_END}, 4},
        {{REQ_GPIO_READ_ANALOG, param(8), FRAME_END}, 5},
        {{REQ_GPIO_WRITE, param(2), param(1), FRAME_END}, 4},
        {{REQ_INFO_HW_MCU, FRAME_END_HW}, 4},
        {{REQ_INFO_PING, FRAME_END}, 0},
        {{REQ_INFO_RTC_READ, FRAME_END}, 0},
        {{REQ_INFO_RTC_WRITE, FRAME_END}, 0},
        {{REQ_INFO_RTC_DEV_READ, FRAME_END}, 0},
        {{REQ_INFO_RTC_DEV_WRITE, FRAME_END}, 0},
        {{REQ_INFO_BATTERY, FRAME_END}, 0},
        {{REQ_INFO_SUPPLY, FRAME_END}, 0},
        {{REQ_INFO_CONS, FRAME_END}, 0},
        {{REQ_POWER_SLEEP, FRAME_END}, 0},
        {{REQ_POWER_WAKE, FRAME_END}, 0},
    };
    BoardModel board;
    for (const Row& row : rows) {
        SCOPED_TRACE(hex_bytes(row.request));
        const Bytes reply = ask(board, row.request);
        if (row.length > 0) {
            EXPECT_EQ(reply.size(), row.length);
        } else {
            EXPECT_GE(reply.size(), 1u);
            EXPECT_LE(reply.size(), 4u);
        }
        ASSERT_FALSE(reply.empty());
        EXPECT_EQ(reply[0], row.request[0]) << "echo byte";
        if (row.request[0] >= REQ_GPIO_CFG_INPUT && row.request[0] <= REQ_GPIO_WRITE) {
            EXPECT_EQ(reply[1], row.request[1]) << "pin byte";
            EXPECT_EQ(reply.back(), GPIO_OK) << "result byte";
        }
    }
}

TEST(SimBoard, LeavesUnknownAndMalformedFramesUnansweredAndCarriesOn) {
    struct Row {
        Bytes frame;
        const char* reason;
    };
    const Row rows[] = {
        {{0x00}, "zero is no request code"},
        {{0x03}, "two bits set: no such code"},
        {{0x7F}, "no such code"},
        {{FRAME_END}, "a terminator alone"},
        {{FRAME_END_HW}, "the identification terminator alone"},
        {{REQ_INFO_HW_MCU, FRAME_END}, "identification with the wrong terminator"},
        {{REQ_INFO_PING, FRAME_END_HW}, "ping with the identification terminator"},
        {{REQ_INFO_HW_MCU, 0x81, FRAME_END_HW}, "identification takes no parameter"},
        {{REQ_GPIO_READ, FRAME_END}, "read without a pin"},
        {{REQ_GPIO_READ, param(2), param(3), FRAME_END}, "read with a value"},
        {{REQ_GPIO_WRITE, param(2), FRAME_END}, "write without a value"},
        {{REQ_GPIO_WRITE, param(2), 0xFF, FRAME_END}, "value byte outside the parameter range"},
        {{REQ_GPIO_CFG_OUTPUT, 0xFF, FRAME_END}, "pin byte outside the parameter range"},
        {{0x90, param(1), FRAME_END}, "no such pin code"},
        {{0xE9, FRAME_END}, "no such information code"},
        {{0xF8, FRAME_END}, "the memory code is reserved"},
        {{REQ_INFO_PING, 0x81, FRAME_END}, "ping takes no parameter"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        BoardModel board;
        Bytes input = row.frame;
        input.push_back(REQ_RUN_KST);
        input.push_back(REQ_STATUS);
        const std::vector<Exchange> exchanges = board.feed(input);
        ASSERT_EQ(exchanges.size(), 3u);
        EXPECT_EQ(exchanges[0].request, row.frame);
        EXPECT_TRUE(exchanges[0].reply.empty());
        EXPECT_EQ(exchanges[1].reply, Bytes{REQ_RUN_KST});
        EXPECT_EQ(exchanges[2].reply, (Bytes{REQ_STATUS, STATUS_KST_RUNNING, 0, 0}));
    }
}

TEST(SimBoard, IdentifiesAsConfigured) {
    struct Row {
        uint8_t maker, board;
        const char* description;
    };
    const Row rows[] = {
        {MAKER_ARDUINO, BOARD_UNO_R4_MINIMA, "Arduino Uno R4 Minima"},
        {MAKER_MICROCHIP, BOARD_PIC16F628, "Microchip PIC16F628"},
        {MAKER_ARDUINO, 0x05, "unknown Arduino board 0x05"},
        {0x12, 0x09, "unknown board 0x12:0x09"},
        {0xFF, 0x00, "unknown board 0xFF:0x00"},
    };
    for (const Row& row : rows) {
        BoardConfig config;
        config.maker_id = row.maker;
        config.board_id = row.board;
        BoardModel board(config);
        const Bytes reply = ask(board, {REQ_INFO_HW_MCU, FRAME_END_HW});
        ASSERT_EQ(reply.size(), 4u);
        EXPECT_EQ(reply[2], row.maker);
        EXPECT_EQ(reply[3], row.board);
        EXPECT_EQ(board_description(row.maker, row.board), row.description);
    }
}

TEST(SimBoard, SchedulersShowInTheStatusWord) {
    struct Step {
        uint8_t request;
        uint8_t status;
    };
    const Step steps[] = {
        {REQ_RUN_KST, 0x01}, {REQ_RUN_UST, 0x11},  {REQ_RUN_UST, 0x11},  {REQ_STOP_KST, 0x10},
        {REQ_RUN_KST, 0x11}, {REQ_STOP_UST, 0x01}, {REQ_STOP_KST, 0x00},
    };
    BoardModel board;
    EXPECT_EQ(ask(board, {REQ_STATUS}), (Bytes{REQ_STATUS, 0, 0, 0}));
    for (const Step& step : steps) {
        EXPECT_EQ(ask(board, {step.request}), Bytes{step.request});
        EXPECT_EQ(ask(board, {REQ_STATUS}), (Bytes{REQ_STATUS, step.status, 0, 0}))
            << "after " << hex_bytes(Bytes{step.request});
    }
}

TEST(SimBoard, StatusSummarisesAlarmAndFaultWordsUntilCleared) {
    struct Row {
        uint8_t alarm, fault, status;
    };
    const Row rows[] = {
        {ALARM_KST_STACK, 0, STATUS_KERNEL_ALARM}, {ALARM_UST_STACK, 0, STATUS_USER_ALARM},
        {0, FAULT_KST_STACK, STATUS_KERNEL_FAULT}, {0, FAULT_WATCHDOG, STATUS_KERNEL_FAULT},
        {0, FAULT_UST_STACK, STATUS_USER_FAULT},   {0x11, 0x19, 0xCC},
    };
    for (const Row& row : rows) {
        BoardConfig config;
        config.alarm_word = row.alarm;
        config.fault_word = row.fault;
        BoardModel board(config);
        ask(board, {REQ_RUN_UST});
        EXPECT_EQ(ask(board, {REQ_STATUS}),
                  (Bytes{REQ_STATUS, static_cast<uint8_t>(row.status | STATUS_UST_RUNNING),
                         row.alarm, row.fault}));
        EXPECT_EQ(ask(board, {REQ_CLEAR}), Bytes{REQ_CLEAR});
        EXPECT_EQ(ask(board, {REQ_STATUS}), (Bytes{REQ_STATUS, STATUS_UST_RUNNING, 0, 0}));
    }
}

struct SystatFields {
    uint8_t load_min, load_max, load_avg, period_low, period_high;
    uint8_t kst_min, kst_max, ust_min, ust_max, kst_size, ust_size;
};

SystatFields read_systat(BoardModel& board) {
    const Bytes r = ask(board, {REQ_SYSTAT});
    EXPECT_EQ(r.size(), 12u);
    EXPECT_EQ(r[0], REQ_SYSTAT);
    return {r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11]};
}

void expect_plausible(const SystatFields& s) {
    EXPECT_LT(s.period_low, s.period_high);
    EXPECT_LE(s.load_min, s.load_avg);
    EXPECT_LE(s.load_avg, s.load_max);
    EXPECT_LT(s.load_max, s.period_high - s.period_low) << "load within the period";
    EXPECT_LE(s.kst_min, s.kst_max);
    EXPECT_LT(s.kst_max, s.kst_size) << "stack use below stack size";
    EXPECT_LE(s.ust_min, s.ust_max);
    EXPECT_LT(s.ust_max, s.ust_size);
}

TEST(SimBoard, StatisticsMoveWhileRunningAndResetOnRead) {
    BoardModel board;
    const SystatFields idle = read_systat(board);
    expect_plausible(idle);
    EXPECT_EQ(idle.load_min, idle.load_max) << "nothing runs, nothing moves";
    EXPECT_EQ(idle.kst_max, 0);
    EXPECT_EQ(idle.ust_max, 0);

    ask(board, {REQ_RUN_KST});
    ask(board, {REQ_RUN_UST});
    read_systat(board);  // drops the idle samples from before the start
    for (int i = 0; i < 50; ++i) {
        ask(board, {REQ_STATUS});
    }
    const SystatFields busy = read_systat(board);
    expect_plausible(busy);
    EXPECT_LT(busy.load_min, busy.load_max);
    EXPECT_GT(busy.load_min, idle.load_max);
    EXPECT_LT(busy.kst_min, busy.kst_max);
    EXPECT_LT(busy.ust_min, busy.ust_max);

    ask(board, {REQ_STOP_KST});
    ask(board, {REQ_STOP_UST});
    expect_plausible(read_systat(board));  // still holds the last busy sample
    const SystatFields after = read_systat(board);
    EXPECT_EQ(after.load_min, idle.load_min) << "the busy maximum was reset by the reads";
    EXPECT_EQ(after.load_max, idle.load_max);
    EXPECT_EQ(after.kst_max, 0);
    EXPECT_EQ(after.ust_max, 0);
}

TEST(SimBoard, DigitalWriteIsReadBackOnDrivingPins) {
    struct Row {
        uint8_t config;  // configuration code sent first
        uint32_t value;  // written
        uint8_t read;    // digital read afterwards
        uint8_t result;  // last byte of the write reply
    };
    const Row rows[] = {
        {REQ_GPIO_CFG_OUTPUT, 1, 1, GPIO_OK},         {REQ_GPIO_CFG_OUTPUT, 0, 0, GPIO_OK},
        {REQ_GPIO_CFG_OUTPUT, 100, 1, GPIO_OK},  // any non-zero value drives high
        {REQ_GPIO_CFG_OPENDRAIN, 1, 1, GPIO_OK},      {REQ_GPIO_CFG_OPENDRAIN, 0, 0, GPIO_OK},
        {REQ_GPIO_CFG_INPUT, 1, 0, GPIO_NOT_OUTPUT},  // an input reads its signal
        {REQ_GPIO_CFG_PULLUP, 1, 0, GPIO_NOT_OUTPUT}, {REQ_GPIO_CFG_CR, 1, 0, GPIO_NOT_OUTPUT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(hex_bytes(Bytes{row.config}) + " then write " + std::to_string(row.value));
        BoardModel board;
        board.set_analog(2, 0);
        EXPECT_EQ(ask(board, {row.config, param(2), FRAME_END}),
                  (Bytes{row.config, param(2), GPIO_OK}));
        EXPECT_EQ(ask(board, {REQ_GPIO_WRITE, param(2), param(row.value), FRAME_END}),
                  (Bytes{REQ_GPIO_WRITE, param(2), param(row.value), row.result}));
        EXPECT_EQ(ask(board, {REQ_GPIO_READ, param(2), FRAME_END}),
                  (Bytes{REQ_GPIO_READ, param(2), row.read, GPIO_OK}));
        EXPECT_EQ(ask(board, {REQ_GPIO_READ, param(3), FRAME_END})[2], board.pin_level(3))
            << "other pins keep their own level";
    }
}

TEST(SimBoard, AnalogReadsFollowADeterministicSignalUntilSet) {
    BoardModel first, second;
    for (uint8_t pin = 0; pin < kPinCount; ++pin) {
        for (int i = 0; i < 60; ++i) {
            const Bytes a = ask(first, {REQ_GPIO_READ_ANALOG, param(pin), FRAME_END});
            const Bytes b = ask(second, {REQ_GPIO_READ_ANALOG, param(pin), FRAME_END});
            ASSERT_EQ(a, b) << "pin " << int(pin);
            ASSERT_LE(a[2] + 256 * a[3], kAnalogMax) << "pin " << int(pin);
        }
    }
    struct Row {
        uint16_t value;
        uint8_t low, high;
    };
    const Row rows[] = {{0, 0x00, 0x00}, {1023, 0xFF, 0x03}, {0x1234, 0x34, 0x12}};
    for (const Row& row : rows) {
        first.set_analog(3, row.value);
        EXPECT_EQ(ask(first, {REQ_GPIO_READ_ANALOG, param(3), FRAME_END}),
                  (Bytes{REQ_GPIO_READ_ANALOG, param(3), row.low, row.high, GPIO_OK}));
    }
    first.set_analog(3, 1023);
    EXPECT_EQ(ask(first, {REQ_GPIO_READ, param(3), FRAME_END})[2], 1) << "a high signal reads 1";
    ask(first, {REQ_GPIO_CFG_OUTPUT, param(3), FRAME_END});
    ask(first, {REQ_GPIO_WRITE, param(3), param(0), FRAME_END});
    const Bytes driven = ask(first, {REQ_GPIO_READ_ANALOG, param(3), FRAME_END});
    EXPECT_EQ(driven[2] + 256 * driven[3], 0) << "an output reads the level it drives";
}

TEST(SimFraming, SplitAndConcatenatedInputGiveTheSameReplies) {
    const Bytes stream = {REQ_RUN_KST, REQ_INFO_HW_MCU, FRAME_END_HW,   REQ_GPIO_CFG_OUTPUT,
                          param(2),    FRAME_END,       REQ_GPIO_WRITE, param(2),
                          param(1),    FRAME_END,       REQ_STATUS,     REQ_GPIO_READ,
                          param(2),    FRAME_END,       REQ_SYSTAT,     REQ_INFO_PING,
                          FRAME_END};
    BoardModel whole;
    const std::vector<Bytes> expected = replies_of(whole.feed(stream));
    ASSERT_EQ(expected.size(), 8u);
    EXPECT_EQ(expected[5], (Bytes{REQ_GPIO_READ, param(2), 1, GPIO_OK}));

    for (std::size_t piece : {1u, 2u, 3u, 5u, 7u}) {
        BoardModel board;
        std::vector<Bytes> replies;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const std::size_t n = std::min(piece, stream.size() - at);
            for (Bytes& reply : replies_of(board.feed(std::span(stream).subspan(at, n)))) {
                replies.push_back(std::move(reply));
            }
        }
        EXPECT_EQ(replies, expected) << "pieces of " << piece;
    }
}

TEST(SimFraming, AnUnfinishedFrameDoesNotSwallowTheNextRequest) {
    struct Row {
        Bytes input;
        Bytes reply;  // of the one request that must come through
        const char* reason;
    };
    const Row rows[] = {
        {{REQ_GPIO_WRITE, param(2), REQ_STATUS},
         {REQ_STATUS, 0, 0, 0},
         "a one-byte request inside a frame"},
        {{REQ_GPIO_WRITE, param(2), REQ_INFO_HW_MCU, FRAME_END_HW},
         {REQ_INFO_HW_MCU, 0x01, 0x06, 0x09},
         "a frame code inside a frame"},
        {{REQ_INFO_PING, REQ_INFO_PING, FRAME_END}, {REQ_INFO_PING}, "a repeated code"},
    };
    for (const Row& row : rows) {
        BoardModel board;
        const std::vector<Exchange> exchanges = board.feed(row.input);
        ASSERT_EQ(exchanges.size(), 1u) << row.reason;
        EXPECT_EQ(exchanges[0].reply, row.reply) << row.reason;
    }
}

TEST(SimFraming, EndlessGarbageIsBoundedAndDropped) {
    BoardModel board;
    const Bytes junk(100000, param(5));
    EXPECT_TRUE(board.feed(junk).empty());
    Bytes tail = {FRAME_END, REQ_STATUS};
    const std::vector<Exchange> exchanges = board.feed(tail);
    ASSERT_EQ(exchanges.size(), 2u);
    EXPECT_EQ(exchanges[0].request.size(), kMaxFrameBytes);
    EXPECT_TRUE(exchanges[0].reply.empty());
    EXPECT_EQ(exchanges[1].reply.size(), 4u);
}

TEST(SimFraming, NoInputDerailsOrOverrunsTheBoard) {
    BoardModel board;
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 16; };
    for (int round = 0; round < 2000; ++round) {
        Bytes chunk(next() % 64);
        for (uint8_t& byte : chunk) {
            byte = static_cast<uint8_t>(next());
        }
        for (const Exchange& exchange : board.feed(chunk)) {
            ASSERT_LE(exchange.request.size(), kMaxFrameBytes);
            if (!exchange.reply.empty()) {
                ASSERT_EQ(exchange.reply[0], exchange.request[0]) << hex_bytes(exchange.request);
            }
        }
    }
    const std::vector<Exchange> after = board.feed(Bytes{FRAME_END, REQ_STATUS});
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back().reply.size(), 4u) << "still answering after all that";
}

TEST(SimFaults, ChangeRepliesAsAsked) {
    struct Row {
        Faults faults;
        Bytes request;
        Bytes reply;
        std::size_t split_at;
    };
    Faults echo, length, garbage, split, everything;
    echo.wrong_echo = true;
    length.wrong_length = true;
    garbage.garbage_bytes = 3;
    split.split_gap_ms = 50;
    everything = {.silent_every = 0,
                  .wrong_echo = true,
                  .wrong_length = true,
                  .split_gap_ms = 9,
                  .garbage_bytes = 1,
                  .hangup_after = 0};
    const Row rows[] = {
        {echo, {REQ_STATUS}, {0x41, 0, 0, 0}, 0},
        {echo, {REQ_STOP_KST}, {0x02}, 0},
        {echo, {REQ_INFO_HW_MCU, FRAME_END_HW}, {0xE1, 0x01, 0x06, 0x09}, 0},
        {length, {REQ_RUN_UST}, {REQ_RUN_UST, 0x00}, 0},
        {length, {REQ_STATUS}, {REQ_STATUS, 0, 0, 0, 0}, 0},
        {garbage, {REQ_RUN_KST}, {REQ_RUN_KST, kGarbageByte, kGarbageByte, kGarbageByte}, 0},
        {split, {REQ_STATUS}, {REQ_STATUS, 0, 0, 0}, 2},
        {split, {REQ_RUN_KST}, {REQ_RUN_KST}, 0},  // one byte cannot be split
        {everything, {REQ_STATUS}, {0x41, 0, 0, 0, 0, kGarbageByte}, 3},
        {{}, {0x03}, {}, 0},  // faults do not make unknown frames answer
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(hex_bytes(row.request));
        BoardModel board;
        board.set_faults(row.faults);
        const std::vector<Exchange> exchanges = board.feed(row.request);
        ASSERT_EQ(exchanges.size(), 1u);
        EXPECT_EQ(exchanges[0].reply, row.reply);
        EXPECT_EQ(exchanges[0].split_at, row.split_at);
        if (row.split_at > 0) {
            EXPECT_EQ(exchanges[0].split_gap_ms, row.faults.split_gap_ms);
        }
    }
}

TEST(SimFaults, SilenceSwallowsEveryNthRequestWithoutEffect) {
    struct Row {
        uint32_t every;
        std::vector<bool> answered;  // for the requests run, status, run, status, ...
    };
    const Row rows[] = {
        {1, {false, false, false, false, false, false}},
        {2, {true, false, true, false, true, false}},
        {3, {true, true, false, true, true, false}},
    };
    for (const Row& row : rows) {
        BoardModel board;
        board.set_faults({.silent_every = row.every});
        for (std::size_t i = 0; i < row.answered.size(); ++i) {
            const std::vector<Exchange> exchanges = board.feed(Bytes{REQ_RUN_KST});
            ASSERT_EQ(exchanges.size(), 1u);
            EXPECT_EQ(exchanges[0].reply.empty(), !row.answered[i]) << "every " << row.every;
            EXPECT_EQ(exchanges[0].silenced, !row.answered[i]);
        }
    }
    BoardModel board;
    board.set_faults({.silent_every = 1});
    board.feed(Bytes{REQ_RUN_KST});
    EXPECT_FALSE(board.kst_running()) << "a request that is not heard is not carried out";
}

TEST(SimFaults, HangUpAfterNRequestsAndCountsRestartWhenFaultsChange) {
    BoardModel board;
    board.feed(Bytes{REQ_STATUS, REQ_STATUS});
    board.set_faults({.hangup_after = 2});
    const std::vector<Exchange> exchanges =
        board.feed(Bytes{REQ_STATUS, REQ_RUN_KST, REQ_STATUS, REQ_STATUS});
    ASSERT_EQ(exchanges.size(), 3u) << "nothing is read after the hang-up";
    EXPECT_EQ(exchanges[0].reply.size(), 4u);
    EXPECT_EQ(exchanges[1].reply, Bytes{REQ_RUN_KST});
    EXPECT_TRUE(exchanges[2].hang_up);
    EXPECT_TRUE(exchanges[2].reply.empty());
    EXPECT_TRUE(board.hung_up());
    EXPECT_TRUE(board.feed(Bytes{REQ_STATUS}).empty());
    EXPECT_EQ(board.request_count(), 5u);
}

}  // namespace
