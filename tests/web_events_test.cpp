// GET /api/events against a board in memory, on a server in-process whose
// sampler runs every few milliseconds: what each topic sends, what the
// board is asked for any number of streams, resuming the trace, the guard,
// a reader that stops reading, and a stop with streams open.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "protocol/server_commands.h"
#include "serial/class_serial.h"
#include "serial/transport.h"
#include "serial/wire_trace.h"
#include "sim/quirn_board.h"
#include "tests/support/served_board.h"
#include "web/event_stream.h"

namespace {

using namespace std::chrono_literals;
using test_support::MemoryBoard;
using test_support::RawClient;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = test_support::ServedBoard::kDeadline;

struct Stream {
    std::unique_ptr<RawClient> client;
    std::string received;

    // Waits for the count-th occurrence of text.
    bool wait(std::string_view text, size_t count = 1) {
        return client->wait_for(text, Clock::now() + kDeadline, received, count);
    }
    // The data of every event of that name, in order.
    std::vector<nlohmann::json> events(const std::string& name) const {
        std::vector<nlohmann::json> found;
        const std::string head = "event: " + name + "\n";
        for (size_t at = received.find(head); at != std::string::npos;
             at = received.find(head, at + 1)) {
            const size_t data = received.find("data: ", at) + 6;
            const size_t end = received.find('\n', data);
            if (end == std::string::npos) {
                break;
            }
            found.push_back(nlohmann::json::parse(received.substr(data, end - data)));
        }
        return found;
    }
};

class Events : public test_support::ServedBoard {
  protected:
    void SetUp() override {
        ServedBoard::SetUp();
        session().identified("Arduino", "Uno_R4_Minima", 6, 9);
    }

    // Headers that begin with a Host of their own replace this server's.
    Stream open(const std::string& query, const std::string& headers = "",
                int receive_buffer = 0) const {
        Stream stream{std::make_unique<RawClient>(port_, receive_buffer), ""};
        const std::string host = "Host: localhost:" + std::to_string(port_) + "\r\n";
        stream.client->send_all("GET /api/events" + query + " HTTP/1.1\r\n" +
                                (headers.starts_with("Host: ") ? "" : host) + headers + "\r\n");
        return stream;
    }
    // How many frames the board received that begin with code.
    size_t frames(uint8_t code) const {
        const auto all = board_->received_frames();
        return static_cast<size_t>(std::count_if(
            all.begin(), all.end(), [code](const auto& frame) { return frame[0] == code; }));
    }
};

// Each topic's events carry its route's fields and the time; link comes at
// once, history before the first statistics; a bad query is refused.
TEST_F(Events, EachTopicSendsItsRoutesFields) {
    Stream stream = open("?topics=link,status,systat,pins,trace&pins=2,0-1&read=analog");
    ASSERT_TRUE(stream.wait("event: pins\n", 2));
    ASSERT_TRUE(stream.wait("event: systat\n"));
    EXPECT_TRUE(stream.received.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream"));
    const nlohmann::json link = stream.events("link").at(0);
    EXPECT_EQ(std::tuple(link["link"], link["maker"], link["session"]),
              std::tuple("connected", "Arduino", 1));
    EXPECT_LT(stream.received.find("event: history\n"), stream.received.find("event: systat\n"));
    const nlohmann::json status = stream.events("status").at(0);
    EXPECT_EQ(status["word"], "sta");
    EXPECT_TRUE(status["status"].contains("kernel_scheduler_running"));
    const nlohmann::json systat = stream.events("systat").at(0);
    EXPECT_TRUE(systat["load"].contains("average_percent"));
    EXPECT_TRUE(systat["window"].contains("cursor"));
    const nlohmann::json pins = stream.events("pins").at(0);
    EXPECT_EQ(pins["read"], "analog");
    ASSERT_EQ(pins["pins"].size(), 3u);
    EXPECT_EQ(pins["pins"][0]["pin"], 2);
    EXPECT_TRUE(pins["pins"][0].contains("value"));
    const auto traced = stream.events("trace");
    EXPECT_TRUE(std::any_of(traced.begin(), traced.end(),
                            [](const auto& event) { return event["source"] == "sampler"; }));
    for (const char* name : {"link", "status", "systat", "pins", "trace"}) {
        EXPECT_TRUE(stream.events(name).at(0).contains("time")) << name;
    }
    // The link's change comes without asking.
    session().waiting(MemoryBoard::kPath);
    ASSERT_TRUE(stream.wait(R"("link":"waiting")"));

    // Bad queries, and the guard every request is behind.
    const std::tuple<std::string, std::string, const char*> refusals[] = {
        {"?topics=link,weather", "", "400"},
        {"?topics=", "", "400"},
        {"?topics=pins", "", "400"},
        {"?topics=pins&pins=0-99", "", "400"},
        {"?topics=pins&pins=1&read=fast", "", "400"},
        {"?topics=link", "Host: evil.example\r\n", "403"},
    };
    for (const auto& [query, headers, answer] : refusals) {
        Stream refused = open(query, headers);
        EXPECT_TRUE(refused.wait("\"}"));
        EXPECT_TRUE(refused.received.starts_with("HTTP/1.1 " + std::string(answer)))
            << query << " " << headers << refused.received;
    }
}

// 50 streams cost the board what one does: one read of each topic per
// period; with no stream wanting a topic, it is not read at all.
TEST_F(Events, OneSamplerReadsForEveryStreamAndNothingForNone) {
    Stream watcher = open("?topics=link");
    ASSERT_TRUE(watcher.wait(": keep-alive", 3));
    EXPECT_EQ(board_->received_frames().size(), 0u) << "nobody asked for the board";

    Stream reference = open("?topics=status");
    std::vector<Stream> streams;
    for (int i = 0; i < 50; ++i) {
        streams.push_back(open("?topics=status,pins&pins=0-1"));
    }
    for (Stream& stream : streams) {
        ASSERT_TRUE(stream.wait("event: status\n"));
    }
    // While all 51 are open, ten periods cost about ten reads of each kind
    // (a count may find a few reads ahead of the events a client has
    // read), not one per stream.
    size_t seen = reference.events("status").size();
    ASSERT_TRUE(reference.wait("event: status\n", ++seen));
    const size_t status_before = frames(quirn_sim::REQ_STATUS);
    const size_t pins_before = frames(quirn_sim::REQ_GPIO_READ);
    ASSERT_TRUE(reference.wait("event: status\n", seen + 10));
    EXPECT_GE(frames(quirn_sim::REQ_STATUS), seen + 10) << "a status event without its read";
    const size_t status_reads = frames(quirn_sim::REQ_STATUS) - status_before;
    const size_t pin_reads = frames(quirn_sim::REQ_GPIO_READ) - pins_before;
    EXPECT_LE(status_reads, 20u) << "reads for every stream";
    EXPECT_LE(pin_reads, 2 * 20u) << "reads for every stream";

    streams.clear();  // every client goes
    reference = {};
    // The keep-alives of the stream left tell the time, once what it had
    // waiting is read: three for the server to see the others go, four more
    // in which nothing is read.
    watcher.client->wait_for("never sent", Clock::now(), watcher.received);
    const auto kept_alive = [&watcher] {
        return test_support::occurrences(watcher.received, ": keep-alive");
    };
    ASSERT_TRUE(watcher.wait(": keep-alive", kept_alive() + 3));
    const size_t after = board_->received_frames().size();
    ASSERT_TRUE(watcher.wait(": keep-alive", kept_alive() + 4));
    EXPECT_EQ(board_->received_frames().size(), after) << "read after the last stream went";
}

// A stream is never sent a read that began before it asked: before its
// first status, it sees the sampler's status request go out. The board
// takes real time to answer here, so that streams come while a read is
// under way.
TEST_F(Events, AStreamGetsOnlyReadsThatBeganAfterItAsked) {
    quirn_sim::BoardConfig slow;
    slow.reply_delay_ms = 3;
    serial_port().use_transport(std::make_unique<MemoryBoard>(serial::steady_clock(), slow),
                                serial::steady_clock());
    ASSERT_TRUE(serial_port().open(MemoryBoard::kName).ok());
    std::vector<Stream> streams;
    for (int i = 0; i < 20; ++i) {
        streams.push_back(open("?topics=link,status,trace"));
        ASSERT_TRUE(streams.back().wait("event: link\n"));
    }
    for (Stream& stream : streams) {
        ASSERT_TRUE(stream.wait("event: status\n"));
        const std::string& text = stream.received;
        const size_t joined = text.find("event: link\n");
        const size_t first_status = text.find("event: status\n");
        const std::string between = text.substr(joined, first_status - joined);
        EXPECT_NE(between.find(R"("bytes":"40","dir":"->")"), std::string::npos)
            << "a status older than the stream";
    }
}

// A client that comes back with the id of the last event it had gets the
// trace events it missed, and none it had.
TEST_F(Events, LastEventIdResumesTheTrace) {
    uint64_t last_seen = 0;
    {
        Stream first = open("?topics=trace");
        const wire_trace::SourceScope source("test before");
        run_board_command("g5rd", CommandSource::kConsole);
        ASSERT_TRUE(first.wait("test before", 4));  // the request and reply, each twice
        last_seen = first.events("trace").back()["seq"].get<uint64_t>();
    }
    {
        const wire_trace::SourceScope source("test away");
        run_board_command("g6rd", CommandSource::kConsole);
    }
    for (const std::string& resume :
         {"Last-Event-ID: " + std::to_string(last_seen) + "\r\n", std::string()}) {
        Stream back = resume.empty()
                          ? open("?topics=trace&last_event_id=" + std::to_string(last_seen))
                          : open("?topics=trace", resume);
        ASSERT_TRUE(back.wait("test away", 2));  // the request and its reply
        const auto events = back.events("trace");
        EXPECT_EQ(events.at(0)["seq"], last_seen + 1);
        EXPECT_EQ(back.received.find("test before"), std::string::npos);
    }
}

// A reader that stops reading is cut off once far behind; one that reads
// goes on.
TEST_F(Events, ASlowReaderIsCutOffWithoutHarmingOthers) {
    Stream slow = open("?topics=trace,pins&pins=0-15", "", 4096);
    Stream reader = open("?topics=trace,pins&pins=0-15");
    // Several times what the system and the server hold for the slow one
    // (its small receive buffer, the stream's send buffer, 256 KB).
    size_t bytes = 0;
    while (bytes < size_t{1024} * 1024) {
        std::string chunk;
        ASSERT_TRUE(reader.client->wait_for("\n\n", Clock::now() + kDeadline, chunk));
        bytes += chunk.size();
    }
    std::string rest;
    EXPECT_TRUE(slow.client->wait_closed(Clock::now() + kDeadline, &rest)) << "never cut off";
    ASSERT_TRUE(reader.wait("event: pins\n", 1));
}

// A stop closes every open stream at once (goal 200 ms).
TEST_F(Events, StopEndsWithStreamsOpen) {
    std::vector<Stream> streams;
    for (int i = 0; i < 50; ++i) {
        streams.push_back(open("?topics=link,status,systat,pins&pins=0-7"));
        ASSERT_TRUE(streams.back().wait("event: link\n"));
    }
    const auto began = Clock::now();
    server_->stop_serving();
    for (Stream& stream : streams) {
        EXPECT_TRUE(stream.client->wait_closed(began + 600ms));
    }
    streams.clear();  // a server that kept them open ends with them, not never
    serving_.join();
    EXPECT_LT(Clock::now() - began, 600ms);
}

}  // namespace
