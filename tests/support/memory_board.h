#pragma once
// The simulated board's logic (quirn_sim::BoardModel) behind the serial
// layer's transport interface, in memory, on a clock the test owns: a
// reply 2.5 s late or a board that stays silent costs no real time.
//
//   test_support::FakeClock clock;
//   auto board = std::make_unique<test_support::MemoryBoard>(clock);
//   MemoryBoard& peer = *board;
//   SerialPort port(std::move(board), clock);   // or serial_port().use_transport(...)
//   port.open(test_support::MemoryBoard::kName);
//
// A request's answer leaves the board when its turn comes (after the
// answers before it, as the board on a pseudo-terminal answers) plus the
// reply delay; reads and waits move the clock to what they wait for.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "serial/transport.h"
#include "sim/quirn_board.h"

namespace test_support {

// Time that moves only when told to, or when someone waits on it: a wait
// jumps to its end at once. Any thread.
class FakeClock : public serial::Clock {
  public:
    serial::TimePoint now() override;
    void sleep_until(serial::TimePoint when) override;
    void advance(std::chrono::nanoseconds by);

  private:
    mutable std::mutex mutex_;  // guards now_
    serial::TimePoint now_{std::chrono::hours(1)};
};

class MemoryBoard : public serial::Transport {
  public:
    static constexpr const char* kName = "memory0";
    static constexpr const char* kPath = "/dev/memory0";

    explicit MemoryBoard(serial::Clock& clock, quirn_sim::BoardConfig config = {});

    // The board's faults, from the next request on (BoardModel::set_faults).
    void set_faults(const quirn_sim::Faults& faults);
    // The model's analog value of a pin, set while the port may be reading.
    void set_analog(uint8_t pin, uint16_t value);
    // The delay of the n-th answer (from 0), in ms; replaces config's delay.
    void set_reply_delay(std::function<uint32_t(uint64_t answer)> delay_ms);
    // Bytes that arrive after delay_ms, whatever was asked (line noise).
    void send_later(std::vector<uint8_t> bytes, uint32_t delay_ms = 0);
    // The next statistics requests are answered with these replies, in
    // order, instead of the model's (a board whose load moves as a test says).
    void queue_statistics(std::vector<std::vector<uint8_t>> replies);
    // The line closes now: reads and writes fail as a vanished device's do.
    // Unless seen is set, only a read notices (the watch and writes do not),
    // as with a device that fails but keeps its name.
    void hang_up(bool seen = true);
    // Writes stop being taken: each fails after the platform's stall limit.
    void stall_writes(bool stalled);
    // The next opens fail with why; an empty why lets them succeed again.
    void refuse_opens(std::string why);
    // What set_line answers from now on.
    void answer_set_line(serial::LineResult result);
    std::vector<std::vector<uint8_t>> received_frames() const;
    void clear_received();
    // The line last set, nothing before any.
    std::optional<serial_platform::LineDescription> line() const;
    // The board itself (pins, words); only between transactions.
    quirn_sim::BoardModel& model() { return model_; }

    serial_platform::ResolvedPort resolve(const std::string& name) const override;
    bool open(const std::string& path, std::string& why) override;
    serial::LineResult set_line(const serial_platform::LineDescription& line) override;
    bool set_timeouts(const serial_platform::Timeouts& timeouts) override;
    serial_platform::Transfer read(uint8_t* buffer, uint32_t size,
                                   const serial_platform::Timeouts& timeouts,
                                   uint32_t expected) override;
    serial_platform::Transfer write(const uint8_t* data, uint32_t size) override;
    uint32_t discard_input(std::vector<uint8_t>* kept) override;
    void close() override;
    bool wait_until_gone(const std::string& path) override;
    void wake() override;
    bool present(const std::string& path) const override;
    std::optional<std::vector<std::string>> list() const override;

  private:
    struct Chunk {
        serial::TimePoint at;  // when its bytes arrive
        std::vector<uint8_t> bytes;
    };

    serial::Clock& clock_;
    // Guards everything below: the test thread changes the board while the
    // port's threads use it.
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // hang-up or wake, for wait_until_gone
    quirn_sim::BoardModel model_;
    std::function<uint32_t(uint64_t)> delay_ms_;
    uint64_t answers_ = 0;
    std::deque<Chunk> outgoing_;  // in the order they arrive
    serial::TimePoint busy_until_{};
    std::optional<serial::TimePoint> hang_up_at_;
    bool hang_up_seen_ = true;
    bool opened_ = false;
    bool stalled_ = false;
    bool woken_ = false;
    std::string refusal_;
    serial::LineResult line_answer_ = serial::LineResult::kSet;
    std::optional<serial_platform::LineDescription> line_;
    std::vector<std::vector<uint8_t>> received_;
    std::deque<std::vector<uint8_t>> statistics_;
};

// A board in memory behind the program's one port (serial_port()), opened,
// on a clock of its own; the port goes back to the platform when this ends.
class ProgramPortInMemory {
  public:
    ProgramPortInMemory();
    ~ProgramPortInMemory();
    ProgramPortInMemory(const ProgramPortInMemory&) = delete;
    ProgramPortInMemory& operator=(const ProgramPortInMemory&) = delete;

    bool opened() const { return opened_; }
    MemoryBoard& board() { return *board_; }
    FakeClock& clock() { return clock_; }

  private:
    FakeClock clock_;
    MemoryBoard* board_;  // owned by the program's port
    bool opened_ = false;
};

}  // namespace test_support
