#include "tests/support/raw_client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace test_support {

namespace {

using Clock = std::chrono::steady_clock;

int milliseconds_until(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}

}  // namespace

RawClient::RawClient(int port, int receive_buffer) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && receive_buffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

RawClient::~RawClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool RawClient::send_some(std::string_view text) const {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
}

bool RawClient::send_all(std::string_view text) const {
    while (!text.empty()) {
        const ssize_t sent = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

bool RawClient::wait_closed(Clock::time_point deadline, std::string* received) const {
    std::array<char, 65536> buffer{};
    for (;;) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, milliseconds_until(deadline)) <= 0) {
            return false;
        }
        const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            return true;
        }
        if (got > 0 && received != nullptr && received->size() < buffer.size()) {
            received->append(buffer.data(), static_cast<size_t>(got));
        }
    }
}

size_t occurrences(std::string_view text, std::string_view part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

bool RawClient::wait_for(std::string_view text, Clock::time_point deadline, std::string& received,
                         size_t count) const {
    std::array<char, 65536> buffer{};
    while (occurrences(received, text) < count) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, milliseconds_until(deadline)) <= 0) {
            return false;
        }
        const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            return occurrences(received, text) >= count;
        }
        if (got > 0) {
            received.append(buffer.data(), static_cast<size_t>(got));
        }
    }
    return true;
}

void allow_descriptors(std::size_t count) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < count) {
        limit.rlim_cur = std::min<rlim_t>(count, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace test_support
