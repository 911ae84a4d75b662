#pragma once
// The HTTP server of the web front end: the library's server with the
// connections in the program's hands, so that no client can hold a stop up
// or keep the API from answering.
//
// - A connection whose next request has not begun (kPromptWait: it is not
//   waited for at all) waits for it in one shared poll (the gate), for up
//   to kFirstRequestWait, or kKeepAliveWait between requests, holding no
//   worker. A
//   thousand idle connections cost a thousand descriptors, not the workers.
// - A request must arrive whole within kRequestReadLimit, each piece
//   within kReadPieceWait: a client that dribbles bytes is cut off.
// - close_connections() shuts every connection down at once, idle, reading,
//   or stuck writing to a client that never reads; stop() does it too.
//
// Deriving from the library's server is the one way it offers to take a
// connection over (process_and_close_socket is its hook); nothing else of
// the library's behaviour changes.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

class WebServer : public httplib::Server {
  public:
    // The head (request line and headers) of the request being served on
    // the calling worker, as it arrived; empty elsewhere. The library drops
    // a header without a value, which a check may need to see.
    static std::string_view request_head();

    static constexpr auto kPromptWait = std::chrono::milliseconds(0);
    static constexpr auto kFirstRequestWait = std::chrono::seconds(1);
    static constexpr auto kKeepAliveWait = std::chrono::seconds(2);
    static constexpr auto kReadPieceWait = std::chrono::milliseconds(200);
    static constexpr auto kRequestReadLimit = std::chrono::seconds(2);
    static constexpr auto kWriteWait = std::chrono::seconds(5);
    static constexpr auto kLingerWait = std::chrono::milliseconds(100);
    static constexpr size_t kLingerBytes = size_t{256} * 1024;
    static constexpr size_t kRequestsPerConnection = 100;
    static constexpr size_t kWorkers = 16;
    static constexpr int kListenBacklog = 1024;

    WebServer();
    ~WebServer() override;
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds as the library does, then widens the listening socket's backlog
    // (the library's is 5, which drops connection attempts under load).
    bool bind(const std::string& host, int port);
    int bind_to_any(const std::string& host);
    // Serves until stop(); false when it could not.
    bool serve();
    // Stops accepting and shuts every connection down; serve() returns
    // once the workers are out. Safe from any thread, before serve() too:
    // the next serve() then returns at once.
    void stop_serving();
    // Whether a stop has been asked since the last serve() began; handlers
    // waiting for the board give up when it is.
    bool stopping() const { return stopping_.load(); }

  private:
    bool process_and_close_socket(socket_t sock) override;
    // Serves requests on sock until it closes, is idle past its wait, or
    // the server stops; then closes it. On a worker.
    void serve_connection(socket_t sock);
    // Hands an idle connection to the gate (or closes it when stopping).
    void park(socket_t sock, std::chrono::steady_clock::time_point give_up);
    // Ends the sending side and reads what the client still sends, for at
    // most kLingerWait or kLingerBytes, so that closing does not reset it.
    void linger(socket_t sock);
    void run_gate();
    void track(socket_t sock);
    void forget(socket_t sock);
    void close_socket(socket_t sock);

    struct Parked {
        socket_t sock;
        std::chrono::steady_clock::time_point give_up;
    };

    std::atomic<bool> stopping_{false};
    std::atomic<socket_t> listener_;

    // Guards pool_, active_, parked_, gate_running_ and the stop's view of
    // them; never held while reading from or writing to a connection.
    std::mutex mutex_;
    std::condition_variable gate_wake_;  // with mutex_: parked_ or stopping_ changed
    httplib::TaskQueue* pool_ =
        nullptr;                  // the workers of the current serve(); owned by the library
    std::set<socket_t> active_;   // connections a worker serves now
    std::vector<Parked> parked_;  // connections the gate waits on
    bool gate_quit_ = false;
    // A datagram socket connected to itself: a byte sent wakes the gate's
    // poll when a connection is parked (no descriptor for it: the gate then
    // looks every few milliseconds instead).
    socket_t wake_ = INVALID_SOCKET;
    std::thread gate_;
};
