#pragma once
// GET /api/events: the board as Server-Sent Events, for any number of
// viewers at the cost of one. Query: topics=link,status,systat,pins,trace
// (link alone when none is given); for pins, pins=0-7,13&read=digital|analog,
// and analog=LIST for pins read as analog beside them (one event per mode).
//
//   link    at once, then at every change of the link (GET /api/board)
//   status  once a second (GET /api/status)
//   systat  once a second (GET /api/systat over the sampler's window);
//           first, one "history" event with the last kHistory of both
//   pins    four times a second (GET /api/gpio?pins=...&read=...)
//   trace   each wire trace event as it happens (one record of /api/trace)
//
// Each event's data is one JSON object with the fields of its route and
// "time"; a failed read is the route's error object. Every event carries an
// id, the number of the newest trace event the stream has passed: a client
// that comes back with it (Last-Event-ID, or last_event_id= in the query)
// first gets the trace events after it that the ring still holds. A comment
// every kKeepAlive keeps proxies from closing a quiet stream.
//
// One sampler reads for all: each topic is read from the board once per
// period whatever the number of streams, and not at all with none. A
// stream is sent a read only when the read began after the stream asked
// for it, never an older one. The sampler's board reads are the program's
// own: they are traced (source "sampler") but never echoed on the console.
//
// A stream holds no thread: everything here runs on the server's loop, the
// board reads on its board queue, in turn with the API's requests.
//
// GET /metrics reads the same sampler: each scrape keeps status and
// statistics read once a period for kScrapeHold, streams or not, and takes
// the newest status read from here.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/command_outcome.h"
#include "web/web_server.h"

class EventHub : public StreamFeeder {
  public:
    static constexpr const char* kPath = "/api/events";
    static constexpr auto kStatusPeriod = std::chrono::seconds(1);
    static constexpr auto kPinsPeriod = std::chrono::milliseconds(250);
    static constexpr auto kKeepAlive = std::chrono::seconds(15);
    static constexpr auto kHistory = std::chrono::minutes(10);
    // Three times the usual scrape interval of 15 s: one missed scrape does
    // not stop the sampler, and a Prometheus that goes away stops it within
    // a minute.
    static constexpr auto kScrapeHold = std::chrono::seconds(45);
    // Trace events a returning client is sent at most, newest kept.
    static constexpr size_t kMaxResumeBytes = size_t{128} * 1024;

    // How often each topic is read; tests shorten them.
    struct Periods {
        std::chrono::steady_clock::duration status = kStatusPeriod;
        std::chrono::steady_clock::duration pins = kPinsPeriod;
        std::chrono::steady_clock::duration keep_alive = kKeepAlive;
    };
    explicit EventHub(Periods periods);
    EventHub();
    ~EventHub() override;
    EventHub(const EventHub&) = delete;
    EventHub& operator=(const EventHub&) = delete;

    void start(boost::asio::io_context& loop, BoardQueueJob on_board) override;
    std::optional<HttpResponse> open(const HttpRequest& request,
                                     const std::shared_ptr<StreamSink>& sink) override;
    void stop() override;

    // The streams open now (loop thread, or tests once serving ended).
    size_t streams() const;

    // A scrape (loop thread): the sampler reads status and statistics for
    // kScrapeHold from now. Returns the status words of its newest read of
    // the connection open now; nothing before its first, or when no board
    // is connected.
    std::optional<BoardWords> scraped();

    class State;

  private:
    std::shared_ptr<State> state_;
};

// In-process followers of the sampler (the MQTT bridge): each is given the
// data of every status and systat event, as a stream that asked for both
// topics is, on the loop of the hub that serves; while any follows, a
// serving hub samples as it does for such a stream. Any thread.
// unfollow_samples returns once the follower is not running and will not
// run again.
using SampleFollower = std::function<void(std::string_view topic, const std::string& data)>;
uint64_t follow_samples(SampleFollower follower);
void unfollow_samples(uint64_t id);
