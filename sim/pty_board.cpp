#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/os_error.h"
#include "sim/quirn_board.h"

namespace quirn_sim {

namespace {

using Clock = std::chrono::steady_clock;

// One byte at 19200 baud: a start bit, eight data bits and a stop bit.
constexpr std::chrono::nanoseconds kByteTime{10'000'000'000 / 19200};
constexpr std::size_t kReadChunk = 4096;

std::string os_error(const char* what) {
    return std::string(what) + ": " + os_error_text(errno);
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// 19200 8N1, no echo, no line editing, no translation of any byte.
bool make_raw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    cfsetispeed(&settings, B19200);
    cfsetospeed(&settings, B19200);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

void log_line(const std::string& text) {
    const std::string line = "quirn-sim: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

PtyBoard::PtyBoard(BoardConfig config)
    : config_(config), reply_delay_ms_(config.reply_delay_ms), model_(config) {
    if (pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = os_error("pipe");
        return;
    }
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0) {
        error_ = os_error("posix_openpt");
        return;
    }
    char name[128];
    if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0 ||
        ptsname_r(master_fd_, name, sizeof name) != 0) {
        error_ = os_error("pseudo-terminal setup");
        close_fd(master_fd_);
        return;
    }
    // Holding the other side ourselves keeps the master from reading a
    // hang-up whenever no host has the terminal open.
    slave_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave_fd_ < 0) {
        error_ = os_error(name);
        close_fd(master_fd_);
        return;
    }
    // The settings live with the terminal, so either side may make it raw;
    // doing both covers systems that keep the master's apart.
    if (!make_raw(slave_fd_) || !make_raw(master_fd_)) {
        error_ = os_error("raw mode");
        close_fd(slave_fd_);
        close_fd(master_fd_);
        return;
    }
    const int flags = fcntl(master_fd_, F_GETFL);
    fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK);
    // A host that makes the line exclusive (TIOCEXCL) leaves it so when it
    // closes, because a pseudo-terminal outlives its openers while the master
    // is open; nobody but root could then connect again. Each close of the
    // terminal by anyone lifts it. Without inotify this is simply not done.
    closes_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (closes_fd_ >= 0 && inotify_add_watch(closes_fd_, name, IN_CLOSE) < 0) {
        close_fd(closes_fd_);
    }
    path_ = name;
    thread_ = std::thread(&PtyBoard::serve, this);
}

PtyBoard::~PtyBoard() {
    stop_ = true;
    if (wake_pipe_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_pipe_[1], &byte, 1);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    close_line();
    close_fd(closes_fd_);
    close_fd(wake_pipe_[0]);
    close_fd(wake_pipe_[1]);
}

std::vector<std::vector<uint8_t>> PtyBoard::received_frames() const {
    std::lock_guard lock(mutex_);
    return {frames_.begin(), frames_.end()};
}

void PtyBoard::clear_received() {
    std::lock_guard lock(mutex_);
    frames_.clear();
    frames_since_clear_ = 0;
}

bool PtyBoard::wait_for_frames(size_t count, std::chrono::milliseconds deadline) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] { return frames_since_clear_ >= count; });
}

bool PtyBoard::wait_idle(std::chrono::milliseconds deadline) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] { return exchanges_done_ == exchanges_made_; });
}

void PtyBoard::set_faults(const Faults& faults) {
    std::lock_guard lock(mutex_);
    model_.set_faults(faults);
}

void PtyBoard::set_analog(uint8_t pin, uint16_t value) {
    std::lock_guard lock(mutex_);
    model_.set_analog(pin, value);
}

void PtyBoard::set_alarm_word(uint8_t word) {
    std::lock_guard lock(mutex_);
    model_.set_alarm_word(word);
}

void PtyBoard::set_fault_word(uint8_t word) {
    std::lock_guard lock(mutex_);
    model_.set_fault_word(word);
}

uint8_t PtyBoard::status_word() const {
    std::lock_guard lock(mutex_);
    return model_.status_word();
}

uint64_t PtyBoard::request_count() const {
    std::lock_guard lock(mutex_);
    return model_.request_count();
}

void PtyBoard::serve() {
    // Signals are for the program's main thread, never for this one.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        sigaddset(&blocked, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    uint8_t buffer[kReadChunk];
    while (!stop_) {
        pollfd fds[3] = {
            {master_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}, {closes_fd_, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            continue;  // EINTR
        }
        if (stop_ || fds[1].revents != 0) {
            break;
        }
        if (fds[2].revents != 0) {
            alignas(inotify_event) char events[4096];
            while (::read(closes_fd_, events, sizeof events) > 0) {
            }
            ioctl(slave_fd_, TIOCNXCL);
        }
        if (fds[0].revents == 0) {
            continue;
        }
        const ssize_t n = ::read(master_fd_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            // With our own hold on the other side the master should never
            // read a hang-up; if a system does it anyway, do not spin on it.
            if (!pause(std::chrono::milliseconds(10))) {
                break;
            }
            continue;
        }
        std::vector<Exchange> exchanges;
        {
            std::lock_guard lock(mutex_);
            exchanges = model_.feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
            for (const Exchange& exchange : exchanges) {
                frames_.push_back(exchange.request);
                if (frames_.size() > kMaxRecordedFrames) {
                    frames_.pop_front();
                }
                ++frames_since_clear_;
            }
            exchanges_made_ += exchanges.size();
        }
        changed_.notify_all();
        for (const Exchange& exchange : exchanges) {
            const bool carry_on = send(exchange);
            {
                std::lock_guard lock(mutex_);
                ++exchanges_done_;
            }
            changed_.notify_all();
            if (!carry_on) {
                return;
            }
        }
    }
}

bool PtyBoard::send(const Exchange& exchange) {
    if (config_.log) {
        log_line("rx " + hex_bytes(exchange.request));
    }
    if (exchange.hang_up) {
        if (config_.log) {
            log_line("hang-up: the line is closed");
        }
        hung_up_ = true;  // before the host can see the line go
        close_line();
        return false;
    }
    if (exchange.reply.empty()) {
        if (config_.log) {
            log_line(exchange.silenced ? "tx none (silent)" : "tx none (unknown frame)");
        }
        return true;
    }
    if (const uint32_t delay_ms = reply_delay_ms_;
        delay_ms > 0 && !pause(std::chrono::milliseconds(delay_ms))) {
        return false;
    }
    const std::span<const uint8_t> reply(exchange.reply);
    if (exchange.split_at > 0) {
        const auto head = reply.first(exchange.split_at);
        const auto tail = reply.subspan(exchange.split_at);
        if (!write_bytes(head)) {
            return false;
        }
        if (config_.log) {
            log_line("tx " + hex_bytes(head) + " (then a gap of " +
                     std::to_string(exchange.split_gap_ms) + " ms)");
        }
        if (!pause(std::chrono::milliseconds(exchange.split_gap_ms)) || !write_bytes(tail)) {
            return false;
        }
        if (config_.log) {
            log_line("tx " + hex_bytes(tail));
        }
        return true;
    }
    if (!write_bytes(reply)) {
        return false;
    }
    if (config_.log) {
        log_line("tx " + hex_bytes(reply));
    }
    return true;
}

bool PtyBoard::write_bytes(std::span<const uint8_t> bytes) {
    const auto start = Clock::now();
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (stop_) {
            return false;
        }
        if (config_.pace && done > 0 && !pause(start + done * kByteTime - Clock::now())) {
            return false;
        }
        const std::size_t chunk = config_.pace ? 1 : bytes.size() - done;
        const ssize_t n = ::write(master_fd_, bytes.data() + done, chunk);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            // The host is not reading and the terminal's queue is full: wait for room or a stop.
            pollfd fds[2] = {{master_fd_, POLLOUT, 0}, {wake_pipe_[0], POLLIN, 0}};
            poll(fds, 2, -1);
            continue;
        }
        return true;  // the line is gone; the reply is lost as on a real wire
    }
    return true;
}

bool PtyBoard::pause(std::chrono::nanoseconds duration) {
    const auto end = Clock::now() + duration;
    for (;;) {
        if (stop_) {
            return false;
        }
        const auto left = end - Clock::now();
        if (left <= std::chrono::nanoseconds::zero()) {
            return true;
        }
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout{static_cast<time_t>(seconds.count()),
                               static_cast<long>((left - seconds).count())};
        pollfd wake{wake_pipe_[0], POLLIN, 0};
        if (ppoll(&wake, 1, &timeout, nullptr) > 0) {
            return false;
        }
    }
}

void PtyBoard::close_line() {
    close_fd(master_fd_);
    close_fd(slave_fd_);
}

}  // namespace quirn_sim
