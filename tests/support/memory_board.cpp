#include "tests/support/memory_board.h"

#include <algorithm>
#include <utility>

#include "serial/class_serial.h"

namespace test_support {

serial::TimePoint FakeClock::now() {
    std::lock_guard lock(mutex_);
    return now_;
}

void FakeClock::sleep_until(serial::TimePoint when) {
    std::lock_guard lock(mutex_);
    now_ = std::max(now_, when);
}

void FakeClock::advance(std::chrono::nanoseconds by) {
    std::lock_guard lock(mutex_);
    now_ += std::chrono::duration_cast<serial::TimePoint::duration>(by);
}

MemoryBoard::MemoryBoard(serial::Clock& clock, quirn_sim::BoardConfig config)
    : clock_(clock), model_(config) {
    const uint32_t delay = config.reply_delay_ms;
    delay_ms_ = [delay](uint64_t) { return delay; };
}

void MemoryBoard::set_faults(const quirn_sim::Faults& faults) {
    std::lock_guard lock(mutex_);
    model_.set_faults(faults);
}

void MemoryBoard::set_analog(uint8_t pin, uint16_t value) {
    std::lock_guard lock(mutex_);
    model_.set_analog(pin, value);
}

void MemoryBoard::set_reply_delay(std::function<uint32_t(uint64_t)> delay_ms) {
    std::lock_guard lock(mutex_);
    delay_ms_ = std::move(delay_ms);
}

void MemoryBoard::send_later(std::vector<uint8_t> bytes, uint32_t delay_ms) {
    const serial::TimePoint at = clock_.now() + std::chrono::milliseconds(delay_ms);
    std::lock_guard lock(mutex_);
    const auto later = std::find_if(outgoing_.begin(), outgoing_.end(),
                                    [&](const Chunk& chunk) { return chunk.at > at; });
    outgoing_.insert(later, Chunk{at, std::move(bytes)});
}

void MemoryBoard::queue_statistics(std::vector<std::vector<uint8_t>> replies) {
    std::lock_guard lock(mutex_);
    statistics_.insert(statistics_.end(), replies.begin(), replies.end());
}

void MemoryBoard::hang_up(bool seen) {
    std::lock_guard lock(mutex_);
    hang_up_at_ = clock_.now();
    hang_up_seen_ = seen;
    changed_.notify_all();
}

void MemoryBoard::stall_writes(bool stalled) {
    std::lock_guard lock(mutex_);
    stalled_ = stalled;
}

void MemoryBoard::refuse_opens(std::string why) {
    std::lock_guard lock(mutex_);
    refusal_ = std::move(why);
}

void MemoryBoard::answer_set_line(serial::LineResult result) {
    std::lock_guard lock(mutex_);
    line_answer_ = result;
}

std::vector<std::vector<uint8_t>> MemoryBoard::received_frames() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void MemoryBoard::clear_received() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

std::optional<serial_platform::LineDescription> MemoryBoard::line() const {
    std::lock_guard lock(mutex_);
    return line_;
}

serial_platform::ResolvedPort MemoryBoard::resolve(const std::string& name) const {
    if (name == kName || name == kPath) {
        return {kPath, kName, true};
    }
    return {"/dev/" + name, name, false};
}

bool MemoryBoard::open(const std::string& path, std::string& why) {
    std::lock_guard lock(mutex_);
    if (path != kPath || hang_up_at_) {
        why = "no such device";
        return false;
    }
    if (!refusal_.empty()) {
        why = refusal_;
        return false;
    }
    opened_ = true;
    return true;
}

serial::LineResult MemoryBoard::set_line(const serial_platform::LineDescription& line) {
    std::lock_guard lock(mutex_);
    if (line_answer_ == serial::LineResult::kSet) {
        line_ = line;
    }
    return line_answer_;
}

bool MemoryBoard::set_timeouts(const serial_platform::Timeouts&) {
    return true;
}

// The rules of serial_platform::read_port, with the clock moved to each
// arrival or deadline instead of waiting for it.
serial_platform::Transfer MemoryBoard::read(uint8_t* buffer, uint32_t size,
                                            const serial_platform::Timeouts& timeouts,
                                            uint32_t expected) {
    std::lock_guard lock(mutex_);
    if (!opened_) {
        return {false, 0, false};
    }
    // Without a deadline or a hang-up, the latest time there is.
    constexpr serial::TimePoint kNever = serial::TimePoint::max();
    const bool has_total =
        timeouts.ReadTotalTimeoutMultiplier != 0 || timeouts.ReadTotalTimeoutConstant != 0;
    const auto total = std::chrono::milliseconds(
        uint64_t{timeouts.ReadTotalTimeoutMultiplier} * size + timeouts.ReadTotalTimeoutConstant);
    const serial::TimePoint total_deadline = has_total ? clock_.now() + total : kNever;
    const auto interval = std::chrono::milliseconds(timeouts.ReadIntervalTimeout);
    const auto guard = std::chrono::microseconds(serial_platform::kReplyGuardMicroseconds);
    const serial::TimePoint hang_up = hang_up_at_.value_or(kNever);
    uint32_t count = 0;
    serial::TimePoint last_byte{};
    while (count < size) {
        serial::TimePoint deadline = total_deadline;
        if (count > 0 && timeouts.ReadIntervalTimeout != 0) {
            deadline = std::min(deadline, last_byte + interval);
        }
        if (expected != 0 && count == expected) {
            deadline = std::min(deadline, last_byte + guard);
        }
        if (!outgoing_.empty() && outgoing_.front().at <= std::min(deadline, hang_up)) {
            Chunk& chunk = outgoing_.front();
            clock_.sleep_until(chunk.at);
            const auto take = std::min<size_t>(size - count, chunk.bytes.size());
            std::copy_n(chunk.bytes.begin(), take, buffer + count);
            chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + static_cast<long>(take));
            if (chunk.bytes.empty()) {
                outgoing_.pop_front();
            }
            count += static_cast<uint32_t>(take);
            last_byte = clock_.now();
            continue;
        }
        if (hang_up_at_ && hang_up <= deadline) {
            clock_.sleep_until(hang_up);
            return {false, 0, true};
        }
        if (deadline != kNever) {
            clock_.sleep_until(deadline);
        }
        break;
    }
    return {true, count, false};
}

serial_platform::Transfer MemoryBoard::write(const uint8_t* data, uint32_t size) {
    std::lock_guard lock(mutex_);
    const serial::TimePoint now = clock_.now();
    if (!opened_) {
        return {false, 0, false};
    }
    if (hang_up_at_ && *hang_up_at_ <= now) {
        return hang_up_seen_ ? serial_platform::Transfer{false, 0, true}
                             : serial_platform::Transfer{true, size, false};
    }
    if (stalled_) {
        clock_.sleep_until(now + std::chrono::milliseconds(serial_platform::kWriteStallMs));
        return {false, 0, false};
    }
    for (quirn_sim::Exchange& exchange : model_.feed({data, size})) {
        if (exchange.request == std::vector<uint8_t>{quirn_sim::REQ_SYSTAT} &&
            !exchange.reply.empty() && !statistics_.empty()) {
            exchange.reply = std::move(statistics_.front());
            statistics_.pop_front();
        }
        received_.push_back(exchange.request);
        if (exchange.hang_up) {
            hang_up_at_ = std::max(now, busy_until_);
            changed_.notify_all();
            continue;
        }
        if (exchange.reply.empty()) {
            continue;
        }
        const serial::TimePoint at =
            std::max(now, busy_until_) + std::chrono::milliseconds(delay_ms_(answers_++));
        const auto split = static_cast<long>(exchange.split_at);
        if (split > 0) {
            const serial::TimePoint rest = at + std::chrono::milliseconds(exchange.split_gap_ms);
            outgoing_.push_back({at, {exchange.reply.begin(), exchange.reply.begin() + split}});
            outgoing_.push_back({rest, {exchange.reply.begin() + split, exchange.reply.end()}});
            busy_until_ = rest;
        } else {
            outgoing_.push_back({at, exchange.reply});
            busy_until_ = at;
        }
    }
    return {true, size, false};
}

uint32_t MemoryBoard::discard_input(std::vector<uint8_t>* kept) {
    std::lock_guard lock(mutex_);
    const serial::TimePoint now = clock_.now();
    uint32_t discarded = 0;
    while (!outgoing_.empty() && outgoing_.front().at <= now) {
        const std::vector<uint8_t>& bytes = outgoing_.front().bytes;
        discarded += static_cast<uint32_t>(bytes.size());
        if (kept != nullptr) {
            kept->insert(kept->end(), bytes.begin(), bytes.end());
        }
        outgoing_.pop_front();
    }
    return discarded;
}

void MemoryBoard::close() {
    std::lock_guard lock(mutex_);
    opened_ = false;
}

bool MemoryBoard::wait_until_gone(const std::string&) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return woken_ || (hang_up_at_ && hang_up_seen_); });
    const bool gone = !woken_;
    woken_ = false;
    return gone;
}

void MemoryBoard::wake() {
    std::lock_guard lock(mutex_);
    woken_ = true;
    changed_.notify_all();
}

bool MemoryBoard::present(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return path == kPath && !hang_up_at_;
}

std::optional<std::vector<std::string>> MemoryBoard::list() const {
    return std::vector<std::string>{"Board in memory (" + std::string(kName) + ")"};
}

ProgramPortInMemory::ProgramPortInMemory() {
    auto board = std::make_unique<MemoryBoard>(clock_);
    board_ = board.get();
    serial_port().use_transport(std::move(board), clock_);
    opened_ = serial_port().open(MemoryBoard::kName).ok();
}

ProgramPortInMemory::~ProgramPortInMemory() {
    serial_port().use_transport(std::make_unique<serial::PlatformTransport>(),
                                serial::steady_clock());
}

}  // namespace test_support
