#pragma once
// The HTTP server of the web front end: one event loop (Boost.Beast over
// Asio) serves every connection, and one board queue runs the requests that
// need the board, in order, on a thread of their own. No connection holds a
// thread while it waits for a client's bytes or for the board.
//
// - A connection waits for its next request for up to kFirstRequestWait
//   (kKeepAliveWait between requests); a request, head and body, must then
//   arrive whole within Options::request_read_limit (kRequestReadLimit
//   unless set), at whatever pace. Heads and
//   bodies are bounded by kMaxHeadBytes and kMaxBodyBytes, chunked or not
//   (413); a malformed request, two Content-Length headers among them,
//   answers 400.
// - At most kMaxConnections are open: past it, the connection idle the
//   longest is closed to make room (a new one is refused when none is idle).
// - A route runs at once on the loop (kAtOnce: it touches no board) or on
//   the board queue; its answer is written by the loop when it is ready.
// - stop_serving() closes every connection, idle, reading or writing, at
//   once; requests waiting for the board answer 503 Web server stopping.
//
// Thread use: bind, serve and the setters on one thread (the web thread);
// stop_serving() and stopping() from any.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/http_message.h"

namespace boost::asio {
class io_context;
}

// An open event stream as its feeder sees it: text written after the
// stream's head, in order. Loop thread only.
class StreamSink {
  public:
    virtual ~StreamSink() = default;
    // Queues text; false, and the stream closed, when the client has not
    // taken what would then wait (more than WebServer::kMaxStreamBacklog
    // bytes): a slow reader is let go rather than held in memory.
    virtual bool write(std::string text) = 0;
    virtual bool closed() const = 0;
    virtual void close() = 0;
};

// What feeds the event streams of one route. Everything but start and stop
// runs on the loop; start and stop too (stop from the loop's stop).
class StreamFeeder {
  public:
    // Runs a job on the board queue, in turn with the requests that wait
    // there; not at all once the server stops.
    using BoardQueueJob = std::function<void(std::function<void()>)>;
    virtual ~StreamFeeder() = default;
    // Serving begins on loop.
    virtual void start(boost::asio::io_context& loop, BoardQueueJob on_board) = 0;
    // A request for a stream, after the server's check: the answer that
    // refuses it, or nothing once the sink is taken (the server then sends
    // the stream's head, before whatever the feeder wrote).
    virtual std::optional<HttpResponse> open(const HttpRequest& request,
                                             const std::shared_ptr<StreamSink>& sink) = 0;
    // Serving ends: timers and listeners let go, every stream forgotten
    // (the server closes their connections).
    virtual void stop() = 0;
};

class WebServer {
  public:
    static constexpr auto kFirstRequestWait = std::chrono::seconds(1);
    static constexpr auto kKeepAliveWait = std::chrono::seconds(2);
    static constexpr auto kRequestReadLimit = std::chrono::seconds(2);
    static constexpr auto kWriteWait = std::chrono::seconds(5);
    // After an answer that ends the connection, what the client still
    // sends is read and dropped for this long, so that closing does not
    // reset the connection and take the answer with it.
    static constexpr auto kLingerWait = std::chrono::milliseconds(100);
    static constexpr size_t kLingerBytes = size_t{256} * 1024;
    // How long a stop lets the answers to requests waiting for the board go
    // out before every connection left is closed.
    static constexpr auto kStopGrace = std::chrono::milliseconds(100);
    static constexpr size_t kMaxHeadBytes = size_t{64} * 1024;
    static constexpr size_t kMaxBodyBytes = size_t{64} * 1024;
    static constexpr size_t kMaxConnections = 4096;
    static constexpr size_t kRequestsPerConnection = 100;
    static constexpr int kListenBacklog = 1024;
    // What an event stream may hold for a client that does not read.
    static constexpr size_t kMaxStreamBacklog = size_t{256} * 1024;

    enum class Runs { kAtOnce, kOnBoardQueue };
    // wanted() turns false once the server stops: a handler waiting for the
    // board gives up then.
    using Handler =
        std::function<void(const HttpRequest&, HttpResponse&, const std::function<bool()>&)>;
    // Runs on the head of every request, before its body is read; true when
    // it answered (the request then goes no further).
    using Check = std::function<bool(const HttpRequest&, HttpResponse&)>;
    // Fills in the body of an answer the server makes itself (404, 400,
    // 413, 416), whose status is set and body empty.
    using ErrorBody = std::function<void(const HttpRequest&, HttpResponse&)>;

    // What a caller may set apart from the program's own limits.
    struct Options {
        std::chrono::milliseconds request_read_limit = kRequestReadLimit;
    };

    WebServer();
    explicit WebServer(Options options);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // path as the API description writes it: "{pin}" stands for decimal digits.
    void add_route(std::string_view method, std::string_view path, Runs runs, Handler handler);
    // GET path opens an event stream fed by feeder (text/event-stream),
    // after the same check as every request.
    void add_stream_route(std::string_view path, std::shared_ptr<StreamFeeder> feeder);
    void set_check(Check check);
    void set_error_body(ErrorBody error_body);
    // Serves the files under directory at mount ("/" or "/help/"), GET and
    // HEAD, after the routes; the first mount point holding a file wins.
    void set_mount_point(const std::string& mount, const std::filesystem::path& directory);

    // Listens on every address host names, on port; false when any is
    // taken (nothing is then listened on). Clears an earlier stop.
    bool bind(const std::string& host, int port);
    // The same on a free port, which it returns (-1 when none).
    int bind_to_any(const std::string& host);
    // Serves until stop_serving(); false when it could not (not bound, or
    // stopped before it began).
    bool serve();
    // Stops accepting and closes every connection; serve() returns within
    // kStopGrace. Safe from any thread, before serve() too: the next serve()
    // then returns at once.
    void stop_serving();
    bool is_running() const { return running_.load(); }

    struct Route {
        std::string method;
        std::vector<std::string> parts;  // the path cut at each "{pin}"
        Runs runs;
        Handler handler;
    };
    struct StreamRoute {
        std::string path;
        std::shared_ptr<StreamFeeder> feeder;
    };
    struct Mount {
        std::string prefix;
        std::filesystem::path directory;
    };
    class Serving;
    class BoardQueue;

  private:
    bool listen_on(const std::string& host, int port, int& bound_port);

    Options options_;
    std::vector<Route> routes_;
    std::vector<StreamRoute> stream_routes_;
    std::vector<Mount> mounts_;
    Check check_;
    ErrorBody error_body_;
    std::unique_ptr<BoardQueue> board_queue_;
    std::atomic<bool> running_{false};
    // Guards serving_ (the loop and listeners of the current bind and
    // serve) and stop_asked_; held only to look at or swap them.
    mutable std::mutex mutex_;
    std::shared_ptr<Serving> serving_;
    bool stop_asked_ = false;
};
