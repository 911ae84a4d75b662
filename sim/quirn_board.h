#pragma once
// A simulated Quirn board. BoardModel is the board itself: request bytes in,
// reply bytes out, with no I/O and no threads, so tests can drive it as data.
// PtyBoard puts a BoardModel on a pseudo-terminal and serves it from its own
// thread, so the host (or any serial program) can talk to it like a real board.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace quirn_sim {

// Request codes the firmware understands. One-byte requests have bit 7 clear.
// The board keeps its own copy rather than the host's: a wrong code on the
// host then shows up as a request the board does not answer.
inline constexpr uint8_t REQ_STOP_KST = 0x01;
inline constexpr uint8_t REQ_RUN_KST = 0x02;
inline constexpr uint8_t REQ_SYSTAT = 0x04;
inline constexpr uint8_t REQ_CLEAR = 0x08;
inline constexpr uint8_t REQ_STOP_UST = 0x10;
inline constexpr uint8_t REQ_RUN_UST = 0x20;
inline constexpr uint8_t REQ_STATUS = 0x40;
// Pin frames: code, pin parameter byte, [value parameter byte], FRAME_END.
inline constexpr uint8_t REQ_GPIO_CFG_INPUT = 0x80;
inline constexpr uint8_t REQ_GPIO_CFG_OUTPUT = 0x81;
inline constexpr uint8_t REQ_GPIO_CFG_CR = 0x87;
inline constexpr uint8_t REQ_GPIO_CFG_OPENDRAIN = 0x88;
inline constexpr uint8_t REQ_GPIO_CFG_PULLUP = 0x89;
inline constexpr uint8_t REQ_GPIO_READ = 0x98;
inline constexpr uint8_t REQ_GPIO_READ_ANALOG = 0xA0;
inline constexpr uint8_t REQ_GPIO_WRITE = 0xA4;
// Plain frames: code, then FRAME_END (FRAME_END_HW after REQ_INFO_HW_MCU).
inline constexpr uint8_t REQ_INFO_HW_MCU = 0xE0;
inline constexpr uint8_t REQ_INFO_PING = 0xE1;
inline constexpr uint8_t REQ_INFO_RTC_READ = 0xE2;
inline constexpr uint8_t REQ_INFO_RTC_WRITE = 0xE3;
inline constexpr uint8_t REQ_INFO_RTC_DEV_READ = 0xE4;
inline constexpr uint8_t REQ_INFO_RTC_DEV_WRITE = 0xE5;
inline constexpr uint8_t REQ_INFO_BATTERY = 0xE6;
inline constexpr uint8_t REQ_INFO_SUPPLY = 0xE7;
inline constexpr uint8_t REQ_INFO_CONS = 0xE8;
inline constexpr uint8_t REQ_POWER_SLEEP = 0xF0;
inline constexpr uint8_t REQ_POWER_WAKE = 0xF1;
inline constexpr uint8_t FRAME_END = 0xFE;
inline constexpr uint8_t FRAME_END_HW = 0xFD;

inline constexpr uint8_t MAKER_ARDUINO = 0x06;
inline constexpr uint8_t MAKER_MICROCHIP = 0x30;
inline constexpr uint8_t BOARD_UNO_R4_MINIMA = 0x09;  // under MAKER_ARDUINO
inline constexpr uint8_t BOARD_PIC16F628 = 0x09;      // under MAKER_MICROCHIP

inline constexpr std::size_t kPinCount = 64;
inline constexpr uint16_t kAnalogMax = 1023;  // 10-bit converter
// Longest frame the firmware keeps; a longer one is dropped unanswered at its terminator.
inline constexpr std::size_t kMaxFrameBytes = 64;

// Last byte of every GPIO reply.
inline constexpr uint8_t GPIO_OK = 0x00;
inline constexpr uint8_t GPIO_NOT_OUTPUT = 0x01;  // a write to a pin that does not drive

// bs_status bits, and the alarm and fault word bits behind them.
inline constexpr uint8_t STATUS_KST_RUNNING = 0x01;
inline constexpr uint8_t STATUS_KERNEL_ALARM = 0x04;
inline constexpr uint8_t STATUS_KERNEL_FAULT = 0x08;
inline constexpr uint8_t STATUS_UST_RUNNING = 0x10;
inline constexpr uint8_t STATUS_USER_ALARM = 0x40;
inline constexpr uint8_t STATUS_USER_FAULT = 0x80;
inline constexpr uint8_t ALARM_KST_STACK = 0x01;
inline constexpr uint8_t ALARM_UST_STACK = 0x10;
inline constexpr uint8_t FAULT_KST_STACK = 0x01;
inline constexpr uint8_t FAULT_WATCHDOG = 0x08;  // real-time overload: a kernel fault
inline constexpr uint8_t FAULT_UST_STACK = 0x10;

// Ways to misbehave. Request counts start when the faults are set.
struct Faults {
    uint32_t silent_every = 0;   // 0 off; 1 every request unanswered; N: every Nth request
    bool wrong_echo = false;     // first reply byte is the request code plus one (0x40 -> 0x41)
    bool wrong_length = false;   // reply one byte longer than its layout (a 0x00 appended)
    uint32_t split_gap_ms = 0;   // >0: reply leaves in two bursts this far apart
    uint32_t garbage_bytes = 0;  // bytes (kGarbageByte) appended to every reply
    uint32_t hangup_after = 0;   // 0 off; N requests are answered, request N+1 closes the line
};
inline constexpr uint8_t kGarbageByte = 0xA5;
inline constexpr uint32_t kMaxGarbageBytes = 65536;  // larger settings are held at this

struct BoardConfig {
    uint8_t maker_id = MAKER_ARDUINO;
    uint8_t board_id = BOARD_UNO_R4_MINIMA;
    bool pace = false;  // real 19200-baud pacing, ~0.52 ms per byte
    uint32_t reply_delay_ms = 0;
    Faults faults;
    bool log = false;        // hex log of frames and replies on stderr
    uint8_t alarm_word = 0;  // the words the board starts with
    uint8_t fault_word = 0;
};

// "Arduino Uno R4 Minima", "Microchip PIC16F628", "unknown Arduino board 0x05"
// or "unknown board 0x12:0x09".
std::string board_description(uint8_t maker_id, uint8_t board_id);
// "40 11 00 00": upper-case hex bytes separated by blanks.
std::string hex_bytes(std::span<const uint8_t> bytes);

enum class PinMode : uint8_t { kInput, kOutput, kCr, kOpenDrain, kPullUp };

// What became of one complete request frame.
struct Exchange {
    std::vector<uint8_t> request;  // the frame as received (a dropped long one: its first bytes)
    std::vector<uint8_t> reply;    // faults applied; empty: no answer at all
    std::size_t split_at = 0;  // >0: reply[0, split_at) leaves first, the rest split_gap_ms later
    uint32_t split_gap_ms = 0;
    bool hang_up = false;   // the line closes instead of answering; nothing more is read
    bool silenced = false;  // swallowed by the silence fault, with no effect
};

// The replies, byte by byte (p: the pin parameter byte as received):
//   01 02 08 10 20 -> the code       40 -> 40 status alarm fault
//   04 -> 04, load min/max/avg, period low/high, K-ST stack min/max,
//         U-ST stack min/max, K-ST and U-ST stack size (min/max restart on every read)
//   80 81 87 88 89 p FE -> code p GPIO_OK        98 p FE -> 98 p level GPIO_OK
//   A0 p FE -> A0 p low high GPIO_OK             A4 p v FE -> A4 p v GPIO_OK/GPIO_NOT_OUTPUT
//   E0 FD -> E0 version maker board     E1 FE -> E1     E2 FE -> E2 hours minutes seconds
//   E3 E4 E5 F0 F1 (FE) -> code 00      E6 E7 FE -> code, millivolts low, high
//   E8 FE -> E8, milliamps low, high
class BoardModel {
  public:
    explicit BoardModel(BoardConfig config = {});

    // Takes bytes as they came off the line, in any split, and returns one
    // Exchange per frame they complete, in order. A byte with bit 7 clear is a
    // whole request; other frames end at FRAME_END or FRAME_END_HW. A byte in
    // 0xC0-0xFC starts a new frame and drops an unfinished one. Unknown and
    // malformed frames get an Exchange with an empty reply and set nothing.
    // After a hang-up everything is ignored.
    std::vector<Exchange> feed(std::span<const uint8_t> bytes);

    // Takes effect from the next request; the fault counts restart.
    void set_faults(const Faults& faults);
    const BoardConfig& config() const { return config_; }

    bool kst_running() const { return kst_running_; }
    bool ust_running() const { return ust_running_; }
    uint8_t status_word() const;  // run bits plus the summary of the alarm and fault words
    uint8_t alarm_word() const { return alarm_word_; }
    uint8_t fault_word() const { return fault_word_; }
    void set_alarm_word(uint8_t word) { alarm_word_ = word; }
    void set_fault_word(uint8_t word) { fault_word_ = word; }

    // Pins outside 0-63 read as input, level 0, and settings for them are ignored.
    PinMode pin_mode(uint8_t pin) const;
    uint8_t pin_level(uint8_t pin) const;  // what a digital read returns now
    // From now on an analog read of the pin gives value (any 16-bit value is
    // passed through as given); without it the pin follows a deterministic
    // signal in 0..kAnalogMax. An output pin reads its driven level instead.
    void set_analog(uint8_t pin, uint16_t value);
    uint16_t analog_value(uint8_t pin) const;  // what the next analog read returns

    uint64_t request_count() const { return requests_; }  // complete frames so far
    bool hung_up() const { return hung_up_; }

  private:
    struct Pin {
        PinMode mode = PinMode::kInput;
        uint8_t latch = 0;
        bool analog_set = false;
        uint16_t analog = 0;
        uint32_t analog_reads = 0;
    };
    struct Window {  // min/max/avg since the last systat read
        uint8_t min = 0, max = 0, last = 0;
        uint32_t sum = 0, count = 0;
        void restart(uint8_t sample);
        void add(uint8_t sample);
        uint8_t avg() const;
    };

    void complete_frame(std::vector<Exchange>& out);
    Exchange handle(const std::vector<uint8_t>& frame);
    // The fault-free reply to a frame; empty for an unknown or malformed one.
    std::vector<uint8_t> answer(const std::vector<uint8_t>& frame);
    std::vector<uint8_t> answer_gpio(const std::vector<uint8_t>& frame);
    std::vector<uint8_t> answer_plain(uint8_t code);
    std::vector<uint8_t> systat_reply();
    void step();  // the board's own time moves on by one request

    BoardConfig config_;
    std::vector<uint8_t> frame_;  // the unfinished frame, at most kMaxFrameBytes
    bool frame_overlong_ = false;
    bool hung_up_ = false;
    uint64_t requests_ = 0;
    uint64_t requests_since_faults_ = 0;

    bool kst_running_ = false;
    bool ust_running_ = false;
    uint8_t alarm_word_ = 0;
    uint8_t fault_word_ = 0;
    uint32_t random_ = 0x2545F491;
    uint32_t clock_seconds_ = 0;
    Window load_, kst_stack_, ust_stack_;
    Pin pins_[kPinCount];
};

// A BoardModel on a pseudo-terminal, served by its own thread. The simulator
// keeps the terminal's other side open itself, so a host can connect,
// disconnect and reconnect at will; the hang-up fault closes the terminal for
// good, like pulling the USB cable (reply bytes the host has not read yet are
// lost with it, so a host that sends one request at a time sees every reply).
class PtyBoard {
  public:
    explicit PtyBoard(BoardConfig config = {});
    ~PtyBoard();  // stops the thread, closes the pty
    PtyBoard(const PtyBoard&) = delete;
    PtyBoard& operator=(const PtyBoard&) = delete;

    // False when no pseudo-terminal could be had; error() then says why and path() is empty.
    bool ok() const { return !path_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }  // e.g. /dev/pts/4, to give to the host

    std::vector<std::vector<uint8_t>> received_frames() const;  // every request frame so far
    void clear_received();
    // Waits until at least count frames have been received since the last
    // clear_received(); false when the deadline passes first.
    bool wait_for_frames(size_t count, std::chrono::milliseconds deadline) const;
    // Waits until every frame received so far has been answered (or left
    // unanswered, as the faults say); false when the deadline passes first.
    bool wait_idle(std::chrono::milliseconds deadline) const;

    void set_faults(const Faults& faults);  // takes effect from the next request
    // The wait before each reply from the next request on (config's reply_delay_ms).
    void set_reply_delay(uint32_t delay_ms) { reply_delay_ms_ = delay_ms; }
    void set_analog(uint8_t pin, uint16_t value);
    void set_alarm_word(uint8_t word);
    void set_fault_word(uint8_t word);
    uint8_t status_word() const;
    uint64_t request_count() const;
    bool hung_up() const { return hung_up_.load(); }  // the hang-up fault has closed the line

  private:
    void serve();
    bool send(const Exchange& exchange);  // false when asked to stop meanwhile
    bool write_bytes(std::span<const uint8_t> bytes);
    bool pause(std::chrono::nanoseconds duration);  // false when asked to stop meanwhile
    void close_line();

    static constexpr std::size_t kMaxRecordedFrames = 100000;  // the oldest go first

    BoardConfig config_;
    std::string path_;
    std::string error_;
    int master_fd_ = -1;
    int slave_fd_ = -1;
    int closes_fd_ = -1;           // inotify: someone closed the terminal
    int wake_pipe_[2] = {-1, -1};  // written to stop the serving thread
    std::atomic<bool> stop_{false};
    std::atomic<bool> hung_up_{false};
    std::atomic<uint32_t> reply_delay_ms_{0};
    // Guards model_, the frame record and counts below, and the condition.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    BoardModel model_;
    std::deque<std::vector<uint8_t>> frames_;
    uint64_t frames_since_clear_ = 0;
    uint64_t exchanges_made_ = 0;  // by the model
    uint64_t exchanges_done_ = 0;  // sent, or dropped as the faults say
    std::thread thread_;
};

}  // namespace quirn_sim
