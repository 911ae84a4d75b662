// The serial session against the simulated board in memory, on a clock the
// test owns: late, short, overlong, mismatched and missing replies cost no
// real time.

#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "serial/class_serial.h"
#include "serial/wire_trace.h"
#include "sim/quirn_board.h"
#include "tests/support/memory_board.h"

namespace {

using namespace std::chrono_literals;
using namespace quirn_sim;
using test_support::FakeClock;
using test_support::MemoryBoard;
using Bytes = std::vector<uint8_t>;

const Bytes kProbe = {REQ_INFO_HW_MCU, FRAME_END_HW};
constexpr uint32_t kProbeReplyLength = 4;

// A port on a board in memory, opened, with the identification request as
// its probe unless told otherwise.
struct MemoryLink {
    explicit MemoryLink(BoardConfig config = {}, bool probe = true) {
        auto transport = std::make_unique<MemoryBoard>(clock, config);
        board = transport.get();
        port = std::make_unique<SerialPort>(std::move(transport), clock);
        if (probe) {
            port->set_resync_probe(kProbe, kProbeReplyLength);
        }
        EXPECT_TRUE(port->open(MemoryBoard::kName).ok());
    }
    FakeClock clock;
    MemoryBoard* board = nullptr;
    std::unique_ptr<SerialPort> port;
};

std::vector<Bytes> frames(std::initializer_list<Bytes> list) {
    return list;
}

TEST(SerialMemory, OpensTheOneLineAndSaysWhyAnOpenFailed) {
    MemoryLink link;
    const std::optional<serial_platform::LineDescription> line = link.board->line();
    ASSERT_TRUE(line);
    EXPECT_EQ(
        std::tuple(line->baud, line->data_bits, line->parity, line->stop_bits, line->flow_control),
        std::tuple(19200u, uint8_t{8}, serial_platform::Parity::kNone, uint8_t{1}, false));
    EXPECT_EQ(serial_platform::describe(*line), "19200 8N1");

    // Each open that fails closes the port it had.
    using enum OpenResult::Failure;
    EXPECT_EQ(link.port->open("memory7").failure, kCannotOpen);
    const struct {
        serial::LineResult line;
        std::string refusal;
        OpenResult::Failure failure;
    } rows[] = {{serial::LineResult::kGetFailed, "", kGetState},
                {serial::LineResult::kSetFailed, "", kSetLine},
                {serial::LineResult::kSet, "in use by another program", kCannotOpen}};
    for (const auto& row : rows) {
        link.board->answer_set_line(row.line);
        link.board->refuse_opens(row.refusal);
        const OpenResult failed = link.port->open(MemoryBoard::kName);
        EXPECT_EQ(std::tuple(failed.failure, failed.path, failed.why, failed.closed_first),
                  std::tuple(row.failure, std::string(MemoryBoard::kPath), row.refusal,
                             std::optional<std::string>()));
        EXPECT_EQ(link.port->get_state().status, 0);
    }
}

// After each way a reply can go wrong, the next transaction proves the line
// in step before its request: the probe goes first, and what the board still
// had to say is discarded with the probe's answer. After a good reply
// nothing but the request is sent.
TEST(SerialMemory, EveryFailedTransactionIsFollowedByTheProbeBeforeTheNextRequest) {
    const Bytes status = {REQ_STATUS, 0x00, 0x00, 0x00};
    const struct {
        const char* what;
        Faults faults;
        uint32_t discarded;  // before the probe's answer
    } rows[] = {
        {"no reply", {.silent_every = 1}, 0},
        {"a wrong echo", {.wrong_echo = true}, 0},
        {"an overlong reply", {.wrong_length = true}, 0},
        {"a reply cut at a gap", {.split_gap_ms = 60}, 2},
        {"a reply that comes late", {.split_gap_ms = 1500}, 2},
    };
    for (const auto& row : rows) {
        MemoryLink link;
        link.board->set_faults(row.faults);
        const Transaction failed = link.port->transact_byte(REQ_STATUS, 4);
        EXPECT_FALSE(failed.in_step) << row.what;
        link.board->set_faults({});
        link.board->clear_received();
        const Transaction next = link.port->transact_byte(REQ_STATUS, 4);
        EXPECT_EQ(link.board->received_frames(), frames({kProbe, {REQ_STATUS}})) << row.what;
        EXPECT_EQ(next.discarded, row.discarded) << row.what;
        EXPECT_EQ(next.reply.bytes, status) << row.what;
        EXPECT_TRUE(next.in_step) << row.what;
        link.board->clear_received();
        link.port->transact_byte(REQ_STATUS, 4);
        EXPECT_EQ(link.board->received_frames(), frames({{REQ_STATUS}})) << row.what;
    }
    // A board that makes every reply too long still answers the probe: the
    // request goes out, and its own reply shows the fault.
    MemoryLink overlong;
    overlong.board->set_faults({.wrong_length = true});
    overlong.port->transact_byte(REQ_STATUS, 4);
    overlong.board->clear_received();
    const Transaction again = overlong.port->transact_byte(REQ_STATUS, 4);
    EXPECT_EQ(overlong.board->received_frames(), frames({kProbe, {REQ_STATUS}}));
    EXPECT_EQ(again.reply.bytes.size(), 5u);
    // The caller's own finding (an echoed parameter that is wrong) counts
    // too; the trace shows the probe for what it is.
    MemoryLink told;
    told.port->transact_byte(REQ_STATUS, 4);
    told.port->resync();
    told.board->clear_received();
    const uint64_t mark = wire_trace::events_after(0, 0).last;
    told.port->transact_byte(REQ_STATUS, 4);
    EXPECT_EQ(told.board->received_frames(), frames({kProbe, {REQ_STATUS}}));
    std::string trace;
    for (const wire_trace::Event& event : wire_trace::events_after(mark).events) {
        trace += wire_trace::format_line(event) + "\n";
    }
    for (const char* line : {" --   resync: the line is out of step", " -> E0 FD   resync probe",
                             " <- E0 01 06 09   resync: in step"}) {
        EXPECT_NE(trace.find(line), std::string::npos) << trace;
    }
}

// The probe's answer never comes: the request is not sent, and the port
// tries again next time. An answer to an earlier probe is not taken for the
// answer to the one just sent.
TEST(SerialMemory, AnUnansweredProbeHoldsTheRequestBackAndAnOldProbeAnswerIsNotInStep) {
    MemoryLink link;
    link.board->set_faults({.silent_every = 1});
    link.port->transact_byte(REQ_STATUS, 4);
    link.board->clear_received();
    const Transaction held = link.port->transact_byte(REQ_STATUS, 4);
    EXPECT_TRUE(held.out_of_step);
    EXPECT_TRUE(held.reply.bytes.empty());
    EXPECT_EQ(link.board->received_frames(), frames({kProbe})) << "the request stays unsent";

    // A board that cuts every reply in two: the probe's answer counts whole,
    // and an identification whose answer began to come is not waited for.
    MemoryLink cut;
    cut.board->set_faults({.split_gap_ms = 20});
    EXPECT_EQ(cut.port->transact_frame(kProbe, 4).reply.bytes.size(), 2u);
    cut.board->clear_received();
    const Transaction again = cut.port->transact_byte(REQ_STATUS, 4);
    EXPECT_FALSE(again.out_of_step);
    EXPECT_EQ(cut.board->received_frames(), frames({kProbe, {REQ_STATUS}}));
    EXPECT_EQ(again.reply.bytes, (Bytes{REQ_STATUS, 0x00})) << "its own reply, cut again";

    // The request's answer comes during the first probe's wait, the probe's
    // own after it: the second probe sees the first one's answer first.
    MemoryLink late;
    late.board->set_reply_delay([](uint64_t answer) { return answer < 2 ? 2500u : 10u; });
    EXPECT_TRUE(late.port->transact_byte(REQ_STATUS, 4).reply.bytes.empty());
    EXPECT_TRUE(late.port->transact_byte(REQ_STATUS, 4).out_of_step);
    late.board->clear_received();
    const Transaction next = late.port->transact_byte(REQ_STATUS, 4);
    EXPECT_EQ(late.board->received_frames(), frames({kProbe, {REQ_STATUS}}));
    EXPECT_EQ(next.discarded, 4u) << "the first probe's answer";
    EXPECT_TRUE(next.in_step);
    EXPECT_EQ(next.reply.bytes, (Bytes{REQ_STATUS, 0x00, 0x00, 0x00}));
}

// Each way a read ends is named in the trace, beside the bytes the board
// received and those the port returned. Without a probe, what came late is
// waited for and discarded before the next request, and nothing else is sent.
TEST(SerialMemory, TheTraceShowsEveryByteOnTheWireAndHowEachReplyEnded) {
    using wire_trace::Direction;
    const struct {
        Faults faults;
        uint8_t code;
        uint32_t reply_length;
        std::string ending;  // how the reply's note begins
        size_t late = 0;     // bytes discarded before the request
    } rows[] = {
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
        {{}, REQ_STATUS, 4, "ended at known length", 2},  // the split reply's rest goes first
        {{.silent_every = 1}, REQ_STATUS, 4, "timed out after 2066.0 ms, nothing came"},
        {{.garbage_bytes = 1100}, REQ_RUN_KST, 1, "cut at 1023 bytes, the most one read takes"},
    };
    MemoryLink link({}, false);
    const wire_trace::SourceScope source("serial test");
    for (const auto& row : rows) {
        link.clock.advance(100ms);  // the board has said all it will
        link.board->set_faults(row.faults);
        link.board->clear_received();
        const uint64_t mark = wire_trace::events_after(0, 0).last;
        const Transaction done = link.port->transact_byte(row.code, row.reply_length);
        link.board->set_faults({});
        const std::vector<wire_trace::Event> events = wire_trace::events_after(mark).events;
        ASSERT_EQ(events.size(), row.late > 0 ? 3u : 2u) << row.ending;
        if (row.late > 0) {
            EXPECT_EQ(events[0].note, "late: 2 bytes discarded before the next request");
            EXPECT_EQ(events[0].bytes.size(), row.late);
            EXPECT_EQ(done.discarded, row.late);
        }
        const wire_trace::Event& request = events[events.size() - 2];
        const wire_trace::Event& reply = events.back();
        EXPECT_EQ(link.board->received_frames(), frames({{row.code}})) << row.ending;
        EXPECT_EQ(request.source, "serial test");
        EXPECT_EQ(std::tuple(request.direction, request.bytes, request.since_request_ms),
                  std::tuple(Direction::kRequest, Bytes{row.code}, 0.0))
            << row.ending;
        EXPECT_EQ(std::pair(reply.direction, reply.bytes),
                  std::pair(Direction::kReply, done.reply.bytes))
            << row.ending;
        EXPECT_TRUE(reply.note.starts_with(row.ending)) << reply.note;
        EXPECT_EQ(reply.since_request_ms, done.read.elapsed_ms) << row.ending;
    }
    EXPECT_EQ(link.port->close(), MemoryBoard::kName);
    EXPECT_EQ(wire_trace::events_after(0).events.back().note, "closed memory0");
}

// A board that answers 2.5 s late now and then, and pin 5 written and read
// in turn: a read that succeeds always shows the value last written.
TEST(SerialMemory, ALateBoardNeverYieldsAStaleValueAsSuccess) {
    MemoryLink link;
    const uint8_t pin = 0x80 | 5;
    ASSERT_TRUE(link.port->transact_frame({REQ_GPIO_CFG_OUTPUT, pin, FRAME_END}, 3).in_step);
    link.board->set_reply_delay([](uint64_t answer) {
        // Late in runs of different lengths, so that every phase is hit.
        return answer % 7 == 3 || answer % 11 == 5 || answer % 13 == 0 ? 2500u : 0u;
    });
    int reads = 0;
    int good_reads = 0;
    int stale = 0;
    uint8_t written = 0;
    for (int request = 0; request < 400; ++request) {
        if (request % 2 == 0) {
            const auto value = static_cast<uint8_t>((request / 2) % 2);
            const Transaction write = link.port->transact_frame(
                {REQ_GPIO_WRITE, pin, static_cast<uint8_t>(0x80 | value), FRAME_END}, 4);
            // Sent, the board takes it before any later request, answered or not.
            if (!write.out_of_step && !write.write_failed) {
                written = value;
            }
            continue;
        }
        ++reads;
        const Transaction read = link.port->transact_frame({REQ_GPIO_READ, pin, FRAME_END}, 4);
        // What the layer above checks: the echoed pin.
        const bool ok = read.in_step && read.reply.bytes[1] == pin;
        if (read.in_step && !ok) {
            link.port->resync();
        }
        if (ok) {
            ++good_reads;
            stale += read.reply.bytes[2] != written;
        }
    }
    EXPECT_EQ(stale, 0) << good_reads << " of " << reads << " reads succeeded";
    EXPECT_GT(good_reads, 20) << "the board's prompt answers are taken";
}

// A board that takes no byte fails the write, and the read is made all the
// same. A device that fails reads while its name stays (only a read can
// tell): the read says it is gone and the watcher hears of it.
TEST(SerialMemory, AStalledWriteFailsAndAReadFromAHungUpDeviceIsFlaggedGone) {
    MemoryLink stalling;
    stalling.board->stall_writes(true);
    const Transaction stalled = stalling.port->transact_byte(REQ_STATUS, 4);
    EXPECT_EQ(std::tuple(stalled.write_failed, stalled.read.ok, stalled.reply.bytes.size()),
              std::tuple(true, true, 0u));
    // In step until then: the request's own read finds the device gone.
    MemoryLink link;
    const uint64_t session = link.port->session_number();
    link.board->hang_up(false);
    const Transaction failed = link.port->transact_byte(REQ_STATUS, 4);
    EXPECT_FALSE(failed.read.ok);
    EXPECT_TRUE(failed.read.gone);
    auto watched = std::async(std::launch::async, [&] { return link.port->watch(); });
    if (watched.wait_for(10s) != std::future_status::ready) {
        link.port->wake_watch();
        FAIL() << "the watcher was not told";
    }
    EXPECT_EQ(watched.get(), session);
    EXPECT_TRUE(link.port->drop(session));
}

}  // namespace
