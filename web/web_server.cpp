#include "web/web_server.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <tuple>

// The socket calls below differ between the platforms in name only.
#ifdef _WIN32
using PollEntry = WSAPOLLFD;
namespace {
int poll_sockets(PollEntry* entries, size_t count, int timeout_ms) {
    return ::WSAPoll(entries, static_cast<ULONG>(count), timeout_ms);
}
void close_descriptor(socket_t sock) {
    ::closesocket(sock);
}
constexpr int kShutBoth = SD_BOTH;
constexpr int kShutWrite = SD_SEND;
constexpr int kSendFlags = 0;
}  // namespace
#else
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using PollEntry = pollfd;
namespace {
int poll_sockets(PollEntry* entries, size_t count, int timeout_ms) {
    return ::poll(entries, static_cast<nfds_t>(count), timeout_ms);
}
void close_descriptor(socket_t sock) {
    ::close(sock);
}
constexpr int kShutBoth = SHUT_RDWR;
constexpr int kShutWrite = SHUT_WR;
constexpr int kSendFlags = MSG_NOSIGNAL;
}  // namespace
#endif

namespace {

using Clock = std::chrono::steady_clock;

// How often the gate looks for connections parked since its last look.
constexpr int kGateStepMs = 10;
// The longest head kept for request_head(); the library refuses longer ones.
constexpr size_t kMaxHeadBytes = 8192;

// The head of the request the calling worker serves (see request_head()).
thread_local std::string current_head;

int milliseconds_until(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Whether sock becomes readable (data, end of stream or an error to read)
// within timeout_ms.
bool wait_readable(socket_t sock, int timeout_ms) {
    PollEntry entry{};
    entry.fd = sock;
    entry.events = POLLIN;
    return poll_sockets(&entry, 1, timeout_ms) > 0;
}

bool wait_writable(socket_t sock, int timeout_ms) {
    PollEntry entry{};
    entry.fd = sock;
    entry.events = POLLOUT;
    return poll_sockets(&entry, 1, timeout_ms) > 0;
}

std::pair<std::string, int> address_of(const sockaddr_storage& address, socklen_t length) {
    std::array<char, NI_MAXHOST> host{};
    std::array<char, NI_MAXSERV> service{};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host.data(),
                      static_cast<socklen_t>(host.size()), service.data(),
                      static_cast<socklen_t>(service.size()),
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return {"", -1};
    }
    return {host.data(), std::atoi(service.data())};
}

// One connection as the library reads and writes it, with the limits of
// the header: each piece of a request within kReadPieceWait, the whole
// request by its deadline. Reads are buffered, as the library reads a
// request's head a byte at a time.
class ConnectionStream final : public httplib::Stream {
  public:
    ConnectionStream(socket_t sock, Clock::time_point read_deadline)
        : sock_(sock), read_deadline_(read_deadline) {}

    bool is_readable() const override {
        if (offset_ < filled_) {
            return true;
        }
        const int piece = static_cast<int>(WebServer::kReadPieceWait.count());
        return wait_readable(sock_, std::min(piece, milliseconds_until(read_deadline_)));
    }
    bool is_writable() const override {
        return wait_writable(
            sock_, static_cast<int>(
                       std::chrono::duration_cast<std::chrono::milliseconds>(WebServer::kWriteWait)
                           .count()));
    }
    ssize_t read(char* ptr, size_t size) override {
        if (offset_ == filled_) {
            if (!is_readable()) {
                return -1;
            }
            const auto received =
                ::recv(sock_, buffer_.data(), static_cast<int>(buffer_.size()), 0);
            if (received <= 0) {
                return received;
            }
            offset_ = 0;
            filled_ = static_cast<size_t>(received);
        }
        const size_t taken = std::min(size, filled_ - offset_);
        std::copy_n(buffer_.data() + offset_, taken, ptr);
        if (!head_done_) {
            current_head.append(
                ptr, std::min(taken, kMaxHeadBytes - std::min(kMaxHeadBytes, current_head.size())));
            head_done_ = current_head.find("\r\n\r\n") != std::string::npos ||
                         current_head.size() >= kMaxHeadBytes;
        }
        offset_ += taken;
        return static_cast<ssize_t>(taken);
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) {
            return -1;
        }
        return ::send(sock_, ptr, static_cast<int>(std::min<size_t>(size, 1 << 20)), kSendFlags);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getpeername(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            std::tie(ip, port) = address_of(address, length);
        }
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            std::tie(ip, port) = address_of(address, length);
        }
    }
    socket_t socket() const override { return sock_; }

  private:
    socket_t sock_;
    Clock::time_point read_deadline_;
    std::array<char, 4096> buffer_{};
    size_t offset_ = 0;
    size_t filled_ = 0;
    bool head_done_ = false;
};

}  // namespace

std::string_view WebServer::request_head() {
    return current_head;
}

namespace {

socket_t make_wake_socket() {
    const socket_t sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (sock == INVALID_SOCKET) {
        return INVALID_SOCKET;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* name = reinterpret_cast<sockaddr*>(&address);
    if (::bind(sock, name, length) != 0 || ::getsockname(sock, name, &length) != 0 ||
        ::connect(sock, name, length) != 0) {
        close_descriptor(sock);
        return INVALID_SOCKET;
    }
    return sock;
}

}  // namespace

WebServer::WebServer() : listener_(INVALID_SOCKET), wake_(make_wake_socket()) {
    new_task_queue = [this]() -> httplib::TaskQueue* {
        auto* pool = new httplib::ThreadPool(kWorkers);
        std::lock_guard lock(mutex_);
        pool_ = pool;
        return pool;
    };
    gate_ = std::thread([this] { run_gate(); });
}

WebServer::~WebServer() {
    {
        std::lock_guard lock(mutex_);
        gate_quit_ = true;
    }
    gate_wake_.notify_all();
    gate_.join();
    if (wake_ != INVALID_SOCKET) {
        close_descriptor(wake_);
    }
}

bool WebServer::bind(const std::string& host, int port) {
    if (!bind_to_port(host, port)) {
        return false;
    }
    stopping_.store(false);
    ::listen(svr_sock_, kListenBacklog);
    return true;
}

int WebServer::bind_to_any(const std::string& host) {
    const int port = bind_to_any_port(host);
    if (port > 0) {
        stopping_.store(false);
        ::listen(svr_sock_, kListenBacklog);
    }
    return port;
}

bool WebServer::serve() {
    if (stopping_.load()) {
        // Stopped before it began: the library would not notice the stop.
        const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
        if (sock != INVALID_SOCKET) {
            close_descriptor(sock);
        }
        return false;
    }
    const bool served = listen_after_bind();
    std::lock_guard lock(mutex_);
    pool_ = nullptr;
    return served;
}

void WebServer::stop_serving() {
    {
        std::lock_guard lock(mutex_);
        stopping_.store(true);
        for (const Parked& parked : parked_) {
            close_descriptor(parked.sock);
        }
        parked_.clear();
        // Their workers see the end of the stream and close them.
        for (socket_t sock : active_) {
            ::shutdown(sock, kShutBoth);
        }
    }
    gate_wake_.notify_all();
    stop();
}

bool WebServer::process_and_close_socket(socket_t sock) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_.load()) {
            close_descriptor(sock);
            return false;
        }
        active_.insert(sock);
    }
    serve_connection(sock);
    return true;
}

void WebServer::serve_connection(socket_t sock) {
    size_t served = 0;
    for (;;) {
        if (!wait_readable(sock, static_cast<int>(kPromptWait.count()))) {
            const auto wait = served == 0 ? std::chrono::milliseconds(kFirstRequestWait)
                                          : std::chrono::milliseconds(kKeepAliveWait);
            park(sock, Clock::now() + wait);
            return;
        }
        current_head.clear();
        ConnectionStream stream(sock, Clock::now() + kRequestReadLimit);
        ++served;
        bool closed = false;
        const bool last = served >= kRequestsPerConnection || stopping_.load();
        if (!process_request(stream, last, closed, nullptr) || closed || last) {
            break;
        }
    }
    linger(sock);
    forget(sock);
    close_socket(sock);
}

void WebServer::linger(socket_t sock) {
    // A refusal may leave a request's body unread; closing on it would
    // reset the connection and could take the answer with it. Say the
    // answer is complete, then read what the client still sends, briefly.
    ::shutdown(sock, kShutWrite);
    const Clock::time_point give_up = Clock::now() + kLingerWait;
    std::array<char, 4096> scratch{};
    size_t discarded = 0;
    while (discarded < kLingerBytes && wait_readable(sock, milliseconds_until(give_up))) {
        const auto received = ::recv(sock, scratch.data(), static_cast<int>(scratch.size()), 0);
        if (received <= 0) {
            return;
        }
        discarded += static_cast<size_t>(received);
    }
}

void WebServer::park(socket_t sock, Clock::time_point give_up) {
    {
        std::lock_guard lock(mutex_);
        active_.erase(sock);
        if (stopping_.load()) {
            close_descriptor(sock);
            return;
        }
        parked_.push_back({sock, give_up});
    }
    gate_wake_.notify_all();
    if (wake_ != INVALID_SOCKET) {
        ::send(wake_, "w", 1, 0);
    }
}

void WebServer::run_gate() {
    std::unique_lock lock(mutex_);
    std::vector<PollEntry> entries;
    for (;;) {
        gate_wake_.wait(lock, [this] { return gate_quit_ || !parked_.empty(); });
        if (gate_quit_) {
            for (const Parked& parked : parked_) {
                close_descriptor(parked.sock);
            }
            parked_.clear();
            return;
        }
        entries.clear();
        Clock::time_point first_give_up = Clock::time_point::max();
        for (const Parked& parked : parked_) {
            PollEntry entry{};
            entry.fd = parked.sock;
            entry.events = POLLIN;
            entries.push_back(entry);
            first_give_up = std::min(first_give_up, parked.give_up);
        }
        if (wake_ != INVALID_SOCKET) {
            PollEntry entry{};
            entry.fd = wake_;
            entry.events = POLLIN;
            entries.push_back(entry);
        }
        lock.unlock();
        const int wait_ms =
            wake_ != INVALID_SOCKET ? milliseconds_until(first_give_up) + 1 : kGateStepMs;
        poll_sockets(entries.data(), entries.size(), wait_ms);
        if (wake_ != INVALID_SOCKET && entries.back().revents != 0) {
            entries.back().revents = 0;
            // Every wake-up sent so far is answered by this pass.
            char byte = 0;
            do {
                ::recv(wake_, &byte, 1, 0);
            } while (wait_readable(wake_, 0));
        }
        lock.lock();
        // parked_ may have changed meanwhile: a stop emptied it, workers
        // added to it. Only what is still parked is acted on.
        const Clock::time_point now = Clock::now();
        for (const PollEntry& entry : entries) {
            if (entry.revents == 0) {
                continue;
            }
            const auto found = std::find_if(parked_.begin(), parked_.end(),
                                            [&](const Parked& p) { return p.sock == entry.fd; });
            if (found == parked_.end()) {
                continue;
            }
            const socket_t sock = found->sock;
            parked_.erase(found);
            if (stopping_.load() || pool_ == nullptr) {
                close_descriptor(sock);
                continue;
            }
            active_.insert(sock);
            pool_->enqueue([this, sock] { serve_connection(sock); });
        }
        std::erase_if(parked_, [&](const Parked& parked) {
            if (parked.give_up > now) {
                return false;
            }
            close_descriptor(parked.sock);
            return true;
        });
    }
}

void WebServer::forget(socket_t sock) {
    std::lock_guard lock(mutex_);
    active_.erase(sock);
}

void WebServer::close_socket(socket_t sock) {
    ::shutdown(sock, kShutBoth);
    close_descriptor(sock);
}
