#include "tests/support/sim_host_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace test_support {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

HostLine::HostLine(const std::string& path, bool raw) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0 || !raw) {
        return;
    }
    termios settings{};
    if (tcgetattr(fd_, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(fd_, TCSANOW, &settings);
    }
}

HostLine::~HostLine() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool HostLine::write(const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return done == bytes.size();
}

std::vector<uint8_t> HostLine::read_exact(std::size_t count, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    std::vector<uint8_t> bytes;
    while (bytes.size() < count) {
        pollfd fd{fd_, POLLIN, 0};
        if (poll(&fd, 1, remaining_ms(end)) <= 0) {
            break;
        }
        uint8_t buffer[1024];
        const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

std::vector<uint8_t> HostLine::read_burst(std::chrono::milliseconds deadline) {
    pollfd fd{fd_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(deadline.count())) <= 0) {
        return {};
    }
    uint8_t buffer[1024];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    return n > 0 ? std::vector<uint8_t>(buffer, buffer + n) : std::vector<uint8_t>{};
}

std::size_t HostLine::pending() const {
    int count = 0;
    return ioctl(fd_, FIONREAD, &count) == 0 ? static_cast<std::size_t>(count) : 0;
}

bool HostLine::wait_closed(std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    for (;;) {
        pollfd fd{fd_, POLLIN, 0};
        poll(&fd, 1, remaining_ms(end));
        uint8_t buffer[256];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return true;
        }
        if (Clock::now() >= end) {
            return false;
        }
    }
}

}  // namespace test_support
