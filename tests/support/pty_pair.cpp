#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <thread>

namespace test_support {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

PtyPair::PtyPair() {
    char name[PATH_MAX] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    slave_path_ = name;
}

PtyPair::~PtyPair() {
    close_master();
    if (slave_ >= 0) {
        ::close(slave_);
    }
}

void PtyPair::close_master() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

bool PtyPair::send(const std::vector<uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<uint8_t> PtyPair::receive(std::size_t count, std::chrono::milliseconds deadline) const {
    const Clock::time_point end = Clock::now() + deadline;
    std::vector<uint8_t> bytes;
    while (bytes.size() < count) {
        pollfd waiter{master_, POLLIN, 0};
        const int ready = ::poll(&waiter, 1, remaining_ms(end));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || (waiter.revents & POLLIN) == 0) {
            break;
        }
        uint8_t chunk[512];
        const ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

bool PtyPair::wait_queued(int count, std::chrono::milliseconds deadline) const {
    const Clock::time_point end = Clock::now() + deadline;
    while (true) {
        int queued = -1;
        if (::ioctl(slave_, FIONREAD, &queued) == 0 && queued == count) {
            return true;
        }
        if (Clock::now() >= end) {
            return false;
        }
        // The terminal layer moves bytes across in the background and gives
        // no signal when it is done; look again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace test_support
