#include "web/web_server.h"

// With GCC 12, <utility> must come before Asio's coroutine support.
#include <boost/version.hpp>
#include <utility>
// Written and tested against Debian's Boost 1.74 headers; another version
// builds only once it has been tried.
#if BOOST_VERSION < 107400 || BOOST_VERSION >= 107500
#error "the web server expects Boost 1.74 (Debian's libboost-dev)"
#endif

#include <algorithm>
#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <iterator>
#include <limits>
#include <list>
#include <optional>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "protocol/server_commands.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- board queue

// The one thread that runs the requests needing the board, in the order
// they came: the board does one transaction at a time anyway, and no other
// request waits behind them.
class WebServer::BoardQueue {
  public:
    BoardQueue() : worker_([this] { run(); }) {}
    ~BoardQueue() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        worker_.join();
    }
    BoardQueue(const BoardQueue&) = delete;
    BoardQueue& operator=(const BoardQueue&) = delete;

    void push(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        wake_.notify_one();
    }

  private:
    // Runs what is queued, to the last job, then ends once told to.
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;
            }
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            job = nullptr;  // what it holds goes before the next wait
            lock.lock();
        }
    }

    std::mutex mutex_;  // guards jobs_ and quit_
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool quit_ = false;
    std::thread worker_;  // last: starts once the rest is built
};

// ---------------------------------------------------------------- helpers

namespace {

class Connection;
using Connections = std::list<std::shared_ptr<Connection>>;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// %XX decoded (a malformed escape stays as it is); in a query, '+' is a space.
std::string decode(std::string_view text, bool query) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
            hex_digit(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else if (query && text[i] == '+') {
            decoded += ' ';
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

std::vector<std::pair<std::string, std::string>> parse_query(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> params;
    while (!query.empty()) {
        const size_t amp = std::min(query.find('&'), query.size());
        const std::string_view item = query.substr(0, amp);
        if (!item.empty()) {
            const size_t equals = std::min(item.find('='), item.size());
            params.emplace_back(decode(item.substr(0, equals), true),
                                decode(item.substr(std::min(equals + 1, item.size())), true));
        }
        query.remove_prefix(std::min(amp + 1, query.size()));
    }
    return params;
}

// Whether path is the route's parts with decimal digits between them; the
// digits go to matches after the whole path.
bool matches_route(const std::vector<std::string>& parts, const std::string& path,
                   std::vector<std::string>& matches) {
    matches = {path};
    size_t at = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            size_t end = at;
            while (end < path.size() && path[end] >= '0' && path[end] <= '9') {
                ++end;
            }
            if (end == at) {
                return false;
            }
            matches.push_back(path.substr(at, end - at));
            at = end;
        }
        if (path.compare(at, parts[i].size(), parts[i]) != 0) {
            return false;
        }
        at += parts[i].size();
    }
    return at == path.size();
}

// The file's path below its mount point, its ".." resolved; nothing when it
// would leave the directory or names what no file name may hold.
std::optional<std::string> file_below(std::string_view sub) {
    std::vector<std::string_view> kept;
    size_t start = 0;
    for (;;) {
        const size_t slash = std::min(sub.find('/', start), sub.size());
        const std::string_view part = sub.substr(start, slash - start);
        if (part.find_first_of(std::string_view("\\:\0", 3)) != std::string_view::npos) {
            return std::nullopt;
        }
        if (part == "..") {
            if (kept.empty()) {
                return std::nullopt;
            }
            kept.pop_back();
        } else if (!part.empty() && part != ".") {
            kept.push_back(part);
        }
        if (slash == sub.size()) {
            break;
        }
        start = slash + 1;
    }
    std::string file;
    for (const std::string_view part : kept) {
        file += (file.empty() ? "" : "/") + std::string(part);
    }
    if (sub.empty() || sub.back() == '/') {
        file += (file.empty() ? "" : "/") + std::string("index.html");
    }
    return file;
}

std::string content_type(const std::filesystem::path& file) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {".html", "text/html"},      {".htm", "text/html"},         {".css", "text/css"},
        {".js", "text/javascript"},  {".mjs", "text/javascript"},   {".json", "application/json"},
        {".txt", "text/plain"},      {".svg", "image/svg+xml"},     {".png", "image/png"},
        {".jpg", "image/jpeg"},      {".jpeg", "image/jpeg"},       {".gif", "image/gif"},
        {".ico", "image/x-icon"},    {".webp", "image/webp"},       {".woff2", "font/woff2"},
        {".woff", "font/woff"},      {".wasm", "application/wasm"}, {".xml", "application/xml"},
        {".pdf", "application/pdf"},
    };
    const std::string extension = file.extension().string();
    for (const auto& [known, type] : kTypes) {
        if (extension == known) {
            return type;
        }
    }
    return "application/octet-stream";
}

// One byte range of a file of size bytes ("bytes=a-b", "bytes=a-",
// "bytes=-n"), as first and last byte; nothing when it cannot be met.
std::optional<std::pair<size_t, size_t>> byte_range(std::string_view range, size_t size) {
    constexpr std::string_view kUnit = "bytes=";
    if (!range.starts_with(kUnit)) {
        return std::nullopt;
    }
    range.remove_prefix(kUnit.size());
    const size_t dash = range.find('-');
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto number = [](std::string_view digits) -> std::optional<size_t> {
        if (digits.empty() || digits.size() > 18 ||
            !std::all_of(digits.begin(), digits.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        return static_cast<size_t>(std::stoull(std::string(digits)));
    };
    const std::optional<size_t> first = number(range.substr(0, dash));
    const std::optional<size_t> last = number(range.substr(dash + 1));
    if (!first) {  // the last n bytes
        if (!last || *last == 0 || size == 0) {
            return std::nullopt;
        }
        return std::pair{size - std::min(*last, size), size - 1};
    }
    const bool has_last = dash + 1 < range.size();
    if (*first >= size || (has_last && !last) || (last && *last < *first)) {
        return std::nullopt;
    }
    return std::pair{*first, last ? std::min(*last, size - 1) : size - 1};
}

}  // namespace

// ---------------------------------------------------------------- serving

// What one bind and serve use: the loop, its listeners and connections.
// Everything but stopping is touched on the loop's thread only.
class WebServer::Serving : public std::enable_shared_from_this<WebServer::Serving> {
  public:
    explicit Serving(WebServer& owner) : server(owner) {}

    void accept(tcp::acceptor& acceptor);
    void admit(tcp::socket socket);
    void forget(Connections::iterator where);
    void stop();

    const std::vector<Route>& routes() const { return server.routes_; }
    const std::vector<StreamRoute>& stream_routes() const { return server.stream_routes_; }
    const std::vector<Mount>& mounts() const { return server.mounts_; }
    const Check& check() const { return server.check_; }
    const ErrorBody& error_body() const { return server.error_body_; }
    const Options& options() const { return server.options_; }
    BoardQueue& board_queue() const { return *server.board_queue_; }

    asio::io_context loop{1};  // first: the last to go
    WebServer& server;
    std::vector<tcp::acceptor> acceptors;
    Connections connections;
    std::optional<asio::steady_timer> grace;
    std::optional<asio::steady_timer> accept_pause;
    // Set once by stop_serving(), from any thread.
    std::atomic<bool> stopping{false};
};

namespace {

const std::string kJson = "application/json";

// One client's connection, served on the loop. While a request waits for
// the board the connection has no operation pending and no timer running.
class Connection : public StreamSink, public std::enable_shared_from_this<Connection> {
  public:
    enum class State { kIdle, kReading, kBoard, kWriting, kStreaming, kClosed };

    Connection(WebServer::Serving& serving, tcp::socket socket)
        : serving_(serving), stream_(std::move(socket)) {}

    void start(Connections::iterator where) {
        where_ = where;
        wait_for_request();
    }
    bool idle() const { return state_ == State::kIdle && buffer_.size() == 0; }
    Clock::time_point idle_since() const { return idle_since_; }
    bool waits_for_board() const { return state_ == State::kBoard; }

    void board_answered(HttpResponse response) {
        if (state_ == State::kBoard) {
            send(std::move(response));
        }
    }
    void answer_stopping() {
        HttpResponse response;
        response.status = 503;
        response.set_content(R"({"error":"Web server stopping"})", kJson);
        send(std::move(response));
    }
    bool write(std::string text) override {
        if (state_ != State::kStreaming) {
            return false;
        }
        if (backlog_ + text.size() > WebServer::kMaxStreamBacklog) {
            close();
            return false;
        }
        backlog_ += text.size();
        outbox_.push_back(std::move(text));
        if (streaming_ && !flushing_) {
            flush();
        }
        return true;
    }
    bool closed() const override { return state_ == State::kClosed; }
    void close() override {
        if (state_ == State::kClosed) {
            return;
        }
        state_ = State::kClosed;
        ErrorCode ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        serving_.forget(where_);
    }

  private:
    void wait_for_request() {
        state_ = State::kIdle;
        idle_since_ = Clock::now();
        if (buffer_.size() > 0) {  // the next request came with the last one
            read_head();
            return;
        }
        stream_.expires_after(served_ == 0 ? std::chrono::milliseconds(WebServer::kFirstRequestWait)
                                           : std::chrono::milliseconds(WebServer::kKeepAliveWait));
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = shared_from_this()](ErrorCode error, size_t bytes) {
                                    if (self->state_ == State::kClosed) {
                                        return;
                                    }
                                    if (error || self->state_ != State::kIdle) {
                                        self->close();
                                        return;
                                    }
                                    self->buffer_.commit(bytes);
                                    self->read_head();
                                });
    }

    void read_head() {
        state_ = State::kReading;
        // The whole request, head and body, by this deadline.
        stream_.expires_after(serving_.options().request_read_limit);
        parser_.emplace();
        parser_->header_limit(WebServer::kMaxHeadBytes);
        // The body's size is checked once the head has been looked at (no
        // limit here: this version's parser takes an empty one as zero).
        parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](ErrorCode error, size_t) { self->on_head(error); });
    }

    // A failed read: a request that breaks the limits or the syntax is
    // answered, a client that went away or took too long is not.
    void refuse_or_close(ErrorCode error) {
        const bool reading = state_ == State::kReading;
        const bool too_large = error == http::error::header_limit ||
                               error == http::error::body_limit ||
                               error == http::error::buffer_overflow;
        const bool malformed =
            error.category() == http::make_error_code(http::error::bad_method).category() &&
            error != http::error::end_of_stream && error != http::error::partial_message;
        if (reading && too_large) {
            answer_error(413);
        } else if (reading && malformed) {
            answer_error(400);
        } else {
            close();
        }
    }

    void on_head(ErrorCode error) {
        if (state_ == State::kClosed) {
            return;
        }
        request_ = {};
        if (error) {
            refuse_or_close(error);
            return;
        }
        const auto& head = parser_->get();
        request_.method = std::string(head.method_string());
        const std::string_view target(head.target().data(), head.target().size());
        const size_t question = std::min(target.find('?'), target.size());
        request_.path = decode(target.substr(0, question), false);
        request_.params = parse_query(target.substr(std::min(question + 1, target.size())));
        for (const auto& field : head) {
            request_.headers.emplace_back(std::string(field.name_string()),
                                          std::string(field.value()));
        }
        keep_alive_ = head.keep_alive();
        // Two lengths, even equal ones, are how one request is smuggled
        // inside another past a proxy: refused.
        if (head.count(http::field::content_length) > 1) {
            answer_error(400);
            return;
        }
        HttpResponse response;
        if (serving_.check() && serving_.check()(request_, response)) {
            // A body left unread ends the connection.
            response.close = response.close || !parser_->is_done();
            send(std::move(response));
            return;
        }
        parser_->body_limit(WebServer::kMaxBodyBytes);
        if (!parser_->is_done() && head[http::field::expect] == "100-continue") {
            static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()),
                              [self = shared_from_this()](ErrorCode failed, size_t) {
                                  if (self->state_ == State::kClosed) {
                                      return;
                                  }
                                  if (failed) {
                                      self->close();
                                  } else {
                                      self->read_body();
                                  }
                              });
            return;
        }
        read_body();
    }

    void read_body() {
        if (parser_->is_done()) {  // no body: no turn of the loop for it
            parser_.reset();
            dispatch();
            return;
        }
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](ErrorCode error, size_t) {
                             if (self->state_ == State::kClosed) {
                                 return;
                             }
                             if (error) {
                                 self->refuse_or_close(error);
                                 return;
                             }
                             self->request_.body = std::move(self->parser_->get().body());
                             self->parser_.reset();
                             self->dispatch();
                         });
    }

    void dispatch() {
        if (request_.method == "GET") {
            for (const WebServer::StreamRoute& stream : serving_.stream_routes()) {
                if (stream.path == request_.path) {
                    open_stream(*stream.feeder);
                    return;
                }
            }
        }
        for (const WebServer::Route& route : serving_.routes()) {
            if (route.method != request_.method ||
                !matches_route(route.parts, request_.path, request_.matches)) {
                continue;
            }
            std::shared_ptr<WebServer::Serving> serving = serving_.shared_from_this();
            if (route.runs == WebServer::Runs::kAtOnce) {
                HttpResponse response;
                route.handler(request_, response, [&serving] { return !serving->stopping.load(); });
                send(std::move(response));
                return;
            }
            state_ = State::kBoard;
            stream_.expires_never();
            serving_.board_queue().push([serving = std::move(serving),
                                         connection = shared_from_this(), handler = route.handler,
                                         request = std::move(request_)]() mutable {
                HttpResponse response;
                const auto wanted = [&serving] { return !serving->stopping.load(); };
                if (wanted()) {
                    handler(request, response, wanted);
                }
                if (!wanted()) {
                    response = {};
                    response.status = 503;
                    response.set_content(R"({"error":"Web server stopping"})", kJson);
                }
                asio::post(serving->loop, [connection = std::move(connection),
                                           response = std::move(response)]() mutable {
                    connection->board_answered(std::move(response));
                });
            });
            return;
        }
        if ((request_.method == "GET" || request_.method == "HEAD") && serve_file()) {
            return;
        }
        answer_error(404, false);
    }

    // The connection becomes an event stream, unless the feeder refuses it.
    // It ends when the client goes, the server stops or the client falls
    // too far behind; nothing it sends is read.
    void open_stream(StreamFeeder& feeder) {
        state_ = State::kStreaming;
        stream_.expires_never();
        // What the system holds for a stream is bounded as what it waits
        // with here is (kMaxStreamBacklog): a client that stops reading is
        // let go within a few hundred KB.
        ErrorCode ignored;
        stream_.socket().set_option(asio::socket_base::send_buffer_size(64 * 1024), ignored);
        std::optional<HttpResponse> refusal = feeder.open(request_, shared_from_this());
        if (refusal) {
            outbox_.clear();
            backlog_ = 0;
            send(std::move(*refusal));
            return;
        }
        static const std::string kHead =
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
            "X-Accel-Buffering: no\r\nConnection: close\r\n\r\n";
        counters::count_http_answer(200);
        backlog_ += kHead.size();
        outbox_.push_front(kHead);
        streaming_ = true;
        flush();
        watch_stream();
    }
    // Everything queued goes out in one write.
    void flush() {
        flushing_ = true;
        std::vector<asio::const_buffer> buffers;
        buffers.reserve(outbox_.size());
        for (const std::string& text : outbox_) {
            buffers.emplace_back(asio::buffer(text));
        }
        asio::async_write(
            stream_, buffers,
            [self = shared_from_this(), count = outbox_.size()](ErrorCode error, size_t) {
                if (self->state_ != State::kStreaming) {
                    return;
                }
                if (error) {
                    self->close();
                    return;
                }
                for (size_t i = 0; i < count; ++i) {
                    self->backlog_ -= self->outbox_.front().size();
                    self->outbox_.pop_front();
                }
                self->flushing_ = false;
                if (!self->outbox_.empty()) {
                    self->flush();
                }
            });
    }
    // A client that goes away is seen by the read it ends.
    void watch_stream() {
        stream_.async_read_some(asio::buffer(scratch_),
                                [self = shared_from_this()](ErrorCode error, size_t) {
                                    if (self->state_ != State::kStreaming) {
                                        return;
                                    }
                                    if (error) {
                                        self->close();
                                    } else {
                                        self->watch_stream();
                                    }
                                });
    }

    bool serve_file() {
        for (const WebServer::Mount& mount : serving_.mounts()) {
            if (!request_.path.starts_with(mount.prefix)) {
                continue;
            }
            const std::optional<std::string> below =
                file_below(std::string_view(request_.path).substr(mount.prefix.size()));
            if (!below) {
                continue;
            }
            const std::filesystem::path file =
                mount.directory /
                std::filesystem::path(std::u8string(below->begin(), below->end()));
            std::error_code failed;
            if (!std::filesystem::is_regular_file(file, failed)) {
                continue;
            }
            std::ifstream in(file, std::ios::binary);
            if (!in.is_open()) {
                continue;
            }
            std::ostringstream content;
            content << in.rdbuf();
            HttpResponse response;
            std::string body = content.str();
            const std::string range = request_.header("Range");
            if (!range.empty() && range.find(',') == std::string::npos) {
                const auto part = byte_range(range, body.size());
                if (!part) {
                    response.set_header("Content-Range", "bytes */" + std::to_string(body.size()));
                    answer_error(416, false, std::move(response));
                    return true;
                }
                response.status = 206;
                response.set_header("Content-Range", "bytes " + std::to_string(part->first) + "-" +
                                                         std::to_string(part->second) + "/" +
                                                         std::to_string(body.size()));
                body = body.substr(part->first, part->second - part->first + 1);
            }
            response.set_content(std::move(body), content_type(file));
            send(std::move(response));
            return true;
        }
        return false;
    }

    // An answer the server makes itself; a refusal of the request's framing
    // ends the connection.
    void answer_error(int status, bool close = true, HttpResponse response = {}) {
        response.status = status;
        response.close = close;
        if (serving_.error_body()) {
            serving_.error_body()(request_, response);
        }
        send(std::move(response));
    }

    void send(HttpResponse response) {
        if (state_ == State::kClosed) {
            return;
        }
        state_ = State::kWriting;
        ++served_;
        counters::count_http_answer(response.status);
        const bool keep = keep_alive_ && !response.close && !serving_.stopping.load() &&
                          served_ < WebServer::kRequestsPerConnection;
        answer_.emplace();
        answer_->version(11);
        answer_->result(static_cast<unsigned>(response.status));
        for (const auto& [name, value] : response.headers) {
            answer_->insert(name, value);
        }
        if (!response.content_type.empty()) {
            answer_->set(http::field::content_type, response.content_type);
        }
        const size_t length = response.body.size();
        if (request_.method != "HEAD") {
            answer_->body() = std::move(response.body);
        }
        answer_->content_length(length);
        answer_->keep_alive(keep);
        stream_.expires_after(WebServer::kWriteWait);
        http::async_write(stream_, *answer_,
                          [self = shared_from_this(), keep](ErrorCode error, size_t) {
                              self->answer_.reset();
                              if (error || self->state_ != State::kWriting) {
                                  self->close();
                              } else if (keep) {
                                  self->wait_for_request();
                              } else {
                                  self->linger();
                              }
                          });
    }

    // The answer is out and the connection ends: what the client still
    // sends is read and dropped, briefly, so that closing does not reset
    // the connection before the client has read the answer.
    void linger() {
        ErrorCode ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        if (serving_.stopping.load()) {
            close();
            return;
        }
        state_ = State::kWriting;
        stream_.expires_after(WebServer::kLingerWait);
        discard();
    }
    void discard() {
        stream_.async_read_some(asio::buffer(scratch_),
                                [self = shared_from_this()](ErrorCode error, size_t bytes) {
                                    self->discarded_ += bytes;
                                    if (error || self->state_ != State::kWriting ||
                                        self->discarded_ >= WebServer::kLingerBytes) {
                                        self->close();
                                    } else {
                                        self->discard();
                                    }
                                });
    }

    WebServer::Serving& serving_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    HttpRequest request_;
    std::optional<http::response<http::string_body>> answer_;
    std::array<char, 4096> scratch_{};
    // An event stream's text not yet written, and its size in bytes.
    std::deque<std::string> outbox_;
    size_t backlog_ = 0;
    bool streaming_ = false;  // its head is queued: writes go out
    bool flushing_ = false;   // a write of outbox_'s first entries is under way
    size_t discarded_ = 0;
    size_t served_ = 0;
    bool keep_alive_ = false;
    State state_ = State::kIdle;
    Clock::time_point idle_since_ = Clock::now();
    Connections::iterator where_;
};

}  // namespace

void WebServer::Serving::accept(tcp::acceptor& acceptor) {
    acceptor.async_accept(
        [this, self = shared_from_this(), &acceptor](ErrorCode error, tcp::socket socket) {
            if (stopping.load() || error == asio::error::operation_aborted) {
                return;
            }
            if (error) {
                // Out of descriptors, most likely: try again once some may be free.
                accept_pause.emplace(loop, std::chrono::milliseconds(50));
                accept_pause->async_wait([this, self, &acceptor](ErrorCode cancelled) {
                    if (!cancelled && !stopping.load()) {
                        accept(acceptor);
                    }
                });
                return;
            }
            admit(std::move(socket));
            accept(acceptor);
        });
}

void WebServer::Serving::admit(tcp::socket socket) {
    if (connections.size() >= kMaxConnections) {
        std::shared_ptr<Connection> oldest;
        for (const std::shared_ptr<Connection>& connection : connections) {
            if (connection->idle() &&
                (!oldest || connection->idle_since() < oldest->idle_since())) {
                oldest = connection;
            }
        }
        if (!oldest) {
            ErrorCode ignored;
            socket.close(ignored);
            return;
        }
        oldest->close();
    }
    ErrorCode ignored;
    // Head and body leave in one piece, never held for the client's
    // acknowledgement of an earlier one.
    socket.set_option(tcp::no_delay(true), ignored);
    auto connection = std::make_shared<Connection>(*this, std::move(socket));
    connections.push_back(connection);
    connection->start(std::prev(connections.end()));
}

void WebServer::Serving::forget(Connections::iterator where) {
    connections.erase(where);
    if (stopping.load() && connections.empty() && grace) {
        grace->cancel();
    }
}

void WebServer::Serving::stop() {
    for (const StreamRoute& stream : stream_routes()) {
        stream.feeder->stop();
    }
    ErrorCode ignored;
    for (tcp::acceptor& acceptor : acceptors) {
        acceptor.close(ignored);
    }
    if (accept_pause) {
        accept_pause->cancel();
    }
    const std::vector<std::shared_ptr<Connection>> all(connections.begin(), connections.end());
    for (const std::shared_ptr<Connection>& connection : all) {
        if (connection->waits_for_board()) {
            connection->answer_stopping();
        } else {
            connection->close();
        }
    }
    if (connections.empty()) {
        return;
    }
    // The stopping answers have this long to go out; then whatever is left
    // is closed.
    grace.emplace(loop, kStopGrace);
    grace->async_wait([this, self = shared_from_this()](ErrorCode) {
        const std::vector<std::shared_ptr<Connection>> left(connections.begin(), connections.end());
        for (const std::shared_ptr<Connection>& connection : left) {
            connection->close();
        }
    });
}

// ---------------------------------------------------------------- WebServer

WebServer::WebServer() : WebServer(Options{}) {}

WebServer::WebServer(Options options)
    : options_(options), board_queue_(std::make_unique<BoardQueue>()) {}

WebServer::~WebServer() {
    stop_serving();
    // The queue's jobs end first: they may hold the last serving.
    board_queue_.reset();
}

void WebServer::add_route(std::string_view method, std::string_view path, Runs runs,
                          Handler handler) {
    Route route{std::string(method), {}, runs, std::move(handler)};
    for (;;) {
        const size_t at = path.find("{pin}");
        route.parts.emplace_back(path.substr(0, at));
        if (at == std::string_view::npos) {
            break;
        }
        path.remove_prefix(at + 5);
    }
    routes_.push_back(std::move(route));
}

void WebServer::add_stream_route(std::string_view path, std::shared_ptr<StreamFeeder> feeder) {
    stream_routes_.push_back({std::string(path), std::move(feeder)});
}

void WebServer::set_check(Check check) {
    check_ = std::move(check);
}

void WebServer::set_error_body(ErrorBody error_body) {
    error_body_ = std::move(error_body);
}

void WebServer::set_mount_point(const std::string& mount, const std::filesystem::path& directory) {
    mounts_.push_back({mount, directory});
}

namespace {

// A thousand idle clients each hold a descriptor: allow as many as the
// server takes connections, where the system lets a process raise its own.
void allow_descriptors(size_t wanted) {
#ifndef _WIN32
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min<rlim_t>(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
#else
    (void)wanted;
#endif
}

}  // namespace

bool WebServer::listen_on(const std::string& host, int port, int& bound_port) {
    auto serving = std::make_shared<Serving>(*this);
    ErrorCode error;
    tcp::resolver resolver(serving->loop);
    const auto found = resolver.resolve(host, std::to_string(port), error);
    if (error) {
        return false;
    }
    bound_port = port;
    std::vector<tcp::endpoint> endpoints;
    for (const auto& entry : found) {
        if (std::find(endpoints.begin(), endpoints.end(), entry.endpoint()) == endpoints.end()) {
            endpoints.push_back(entry.endpoint());
        }
    }
    for (tcp::endpoint endpoint : endpoints) {
        endpoint.port(static_cast<unsigned short>(bound_port));
        tcp::acceptor acceptor(serving->loop);
        acceptor.open(endpoint.protocol(), error);
        if (error) {
            continue;  // no such protocol here (IPv6 switched off, say)
        }
        // An address of our own, so that a port another program holds
        // fails to bind: SO_REUSEADDR alone, for binding after TIME_WAIT;
        // SO_EXCLUSIVEADDRUSE where the system has it (there SO_REUSEADDR
        // would let another socket take the port).
#ifdef _WIN32
        const BOOL yes = TRUE;
        ::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                     reinterpret_cast<const char*>(&yes), sizeof yes);
#else
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
#endif
        if (endpoint.address().is_v6()) {
            acceptor.set_option(asio::ip::v6_only(true), error);
        }
        acceptor.bind(endpoint, error);
        if (error == boost::system::errc::address_not_available) {
            continue;
        }
        if (!error) {
            acceptor.listen(kListenBacklog, error);
        }
        if (error) {
            return false;
        }
        bound_port = acceptor.local_endpoint().port();
        serving->acceptors.push_back(std::move(acceptor));
    }
    if (serving->acceptors.empty()) {
        return false;
    }
    allow_descriptors(kMaxConnections + 256);
    std::lock_guard lock(mutex_);
    stop_asked_ = false;
    serving_ = std::move(serving);
    return true;
}

bool WebServer::bind(const std::string& host, int port) {
    int bound = -1;
    return listen_on(host, port, bound);
}

int WebServer::bind_to_any(const std::string& host) {
    int bound = -1;
    return listen_on(host, 0, bound) ? bound : -1;
}

bool WebServer::serve() {
    std::shared_ptr<Serving> serving;
    {
        std::lock_guard lock(mutex_);
        if (!serving_ || stop_asked_) {
            serving_.reset();
            return false;
        }
        serving = serving_;
    }
    running_.store(true);
    for (const StreamRoute& stream : stream_routes_) {
        stream.feeder->start(serving->loop,
                             [weak = std::weak_ptr<Serving>(serving)](std::function<void()> job) {
                                 const std::shared_ptr<Serving> still = weak.lock();
                                 if (!still || still->stopping.load()) {
                                     return;
                                 }
                                 still->board_queue().push([still, job = std::move(job)] {
                                     if (!still->stopping.load()) {
                                         job();
                                     }
                                 });
                             });
    }
    for (tcp::acceptor& acceptor : serving->acceptors) {
        serving->accept(acceptor);
    }
    serving->loop.run();
    running_.store(false);
    std::lock_guard lock(mutex_);
    if (serving_ == serving) {
        serving_.reset();
    }
    return true;
}

void WebServer::stop_serving() {
    std::shared_ptr<Serving> serving;
    {
        std::lock_guard lock(mutex_);
        stop_asked_ = true;
        serving = serving_;
    }
    if (serving && !serving->stopping.exchange(true)) {
        // Board requests waiting for their turn give up now.
        wake_command_waiters();
        // Held weakly: a serving never served must not keep itself alive.
        asio::post(serving->loop, [weak = std::weak_ptr<Serving>(serving)] {
            if (const std::shared_ptr<Serving> still = weak.lock()) {
                still->stop();
            }
        });
    }
}
