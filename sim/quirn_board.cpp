#include "sim/quirn_board.h"

#include <algorithm>
#include <cstdio>

namespace quirn_sim {

namespace {

// Byte 1 of the identification reply, which the host does not examine.
constexpr uint8_t kFirmwareVersion = 0x01;

// The real-time period spans rt_period_low..rt_period_high; loads are in its unit.
constexpr uint8_t kPeriodLow = 10;
constexpr uint8_t kPeriodHigh = 50;
constexpr uint8_t kIdleLoad = 1;  // the kernel's own tick, schedulers or not
constexpr uint8_t kKstStackSize = 64;
constexpr uint8_t kUstStackSize = 128;

// Supply figures for the information frames, in millivolts and milliamps.
constexpr uint16_t kBatteryMillivolts = 3000;
constexpr uint16_t kSupplyMillivolts = 5000;
constexpr uint16_t kConsumptionMilliamps = 42;
constexpr uint32_t kClockStartSeconds = 12 * 3600;  // the clock reads 12:00:00 at power-up

// The alarm and fault words: bits 0-3 concern the kernel, bits 4-7 user space.
constexpr uint8_t kKernelBits = 0x0F;
constexpr uint8_t kUserBits = 0xF0;

bool is_parameter(uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}
bool starts_frame(uint8_t byte) {
    return byte >= 0xC0 && byte < FRAME_END_HW;
}
uint8_t parameter_value(uint8_t byte) {
    return byte & 0x3F;
}
bool drives(PinMode mode) {
    return mode == PinMode::kOutput || mode == PinMode::kOpenDrain;
}

void push_le16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

std::string board_description(uint8_t maker_id, uint8_t board_id) {
    char text[64];
    if (maker_id == MAKER_ARDUINO && board_id == BOARD_UNO_R4_MINIMA) {
        return "Arduino Uno R4 Minima";
    }
    if (maker_id == MAKER_MICROCHIP && board_id == BOARD_PIC16F628) {
        return "Microchip PIC16F628";
    }
    if (maker_id == MAKER_ARDUINO || maker_id == MAKER_MICROCHIP) {
        std::snprintf(text, sizeof text, "unknown %s board 0x%02X",
                      maker_id == MAKER_ARDUINO ? "Arduino" : "Microchip", board_id);
        return text;
    }
    std::snprintf(text, sizeof text, "unknown board 0x%02X:0x%02X", maker_id, board_id);
    return text;
}

std::string hex_bytes(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

void BoardModel::Window::restart(uint8_t sample) {
    min = max = last = sample;
    sum = sample;
    count = 1;
}

void BoardModel::Window::add(uint8_t sample) {
    last = sample;
    min = std::min(min, sample);
    max = std::max(max, sample);
    // Halve both rather than overflow on a board that runs for ever without a read.
    if (count >= (1u << 20)) {
        sum /= 2;
        count /= 2;
    }
    sum += sample;
    ++count;
}

uint8_t BoardModel::Window::avg() const {
    return count == 0 ? uint8_t{0} : static_cast<uint8_t>(sum / count);
}

BoardModel::BoardModel(BoardConfig config) : config_(config) {
    config_.faults.garbage_bytes = std::min(config_.faults.garbage_bytes, kMaxGarbageBytes);
    alarm_word_ = config_.alarm_word;
    fault_word_ = config_.fault_word;
    load_.restart(kIdleLoad);
    kst_stack_.restart(0);
    ust_stack_.restart(0);
}

void BoardModel::set_faults(const Faults& faults) {
    config_.faults = faults;
    config_.faults.garbage_bytes = std::min(faults.garbage_bytes, kMaxGarbageBytes);
    requests_since_faults_ = 0;
}

uint8_t BoardModel::status_word() const {
    uint8_t word = 0;
    if (kst_running_) {
        word |= STATUS_KST_RUNNING;
    }
    if (ust_running_) {
        word |= STATUS_UST_RUNNING;
    }
    if (alarm_word_ & kKernelBits) {
        word |= STATUS_KERNEL_ALARM;
    }
    if (alarm_word_ & kUserBits) {
        word |= STATUS_USER_ALARM;
    }
    if (fault_word_ & kKernelBits) {
        word |= STATUS_KERNEL_FAULT;
    }
    if (fault_word_ & kUserBits) {
        word |= STATUS_USER_FAULT;
    }
    return word;
}

PinMode BoardModel::pin_mode(uint8_t pin) const {
    return pin < kPinCount ? pins_[pin].mode : PinMode::kInput;
}

uint8_t BoardModel::pin_level(uint8_t pin) const {
    if (pin >= kPinCount) {
        return 0;
    }
    if (drives(pins_[pin].mode)) {
        return pins_[pin].latch;
    }
    return analog_value(pin) > kAnalogMax / 2 ? 1 : 0;
}

void BoardModel::set_analog(uint8_t pin, uint16_t value) {
    if (pin < kPinCount) {
        pins_[pin].analog_set = true;
        pins_[pin].analog = value;
    }
}

uint16_t BoardModel::analog_value(uint8_t pin) const {
    if (pin >= kPinCount) {
        return 0;
    }
    const Pin& p = pins_[pin];
    if (drives(p.mode)) {
        return p.latch ? kAnalogMax : 0;
    }
    if (p.analog_set) {
        return p.analog;
    }
    // A triangle wave over 0..kAnalogMax, one step per read, each pin at its own phase.
    constexpr uint32_t kCycle = 2u * kAnalogMax;
    const uint32_t position = (pin * 131u + p.analog_reads * 37u) % kCycle;
    return static_cast<uint16_t>(position <= kAnalogMax ? position : kCycle - position);
}

std::vector<Exchange> BoardModel::feed(std::span<const uint8_t> bytes) {
    std::vector<Exchange> out;
    for (uint8_t byte : bytes) {
        if (hung_up_) {
            break;
        }
        if ((byte & 0x80) == 0) {
            frame_.assign(1, byte);
            frame_overlong_ = false;
            complete_frame(out);
            continue;
        }
        if (starts_frame(byte)) {
            frame_.clear();
            frame_overlong_ = false;
        }
        if (frame_.size() < kMaxFrameBytes) {
            frame_.push_back(byte);
        } else {
            frame_overlong_ = true;
        }
        if (byte == FRAME_END || byte == FRAME_END_HW) {
            complete_frame(out);
        }
    }
    return out;
}

void BoardModel::complete_frame(std::vector<Exchange>& out) {
    std::vector<uint8_t> frame;
    frame.swap(frame_);
    // An overlong frame counts as a request but is answered with nothing.
    Exchange exchange = handle(frame_overlong_ ? std::vector<uint8_t>{} : frame);
    frame_overlong_ = false;
    exchange.request = std::move(frame);
    out.push_back(std::move(exchange));
}

Exchange BoardModel::handle(const std::vector<uint8_t>& frame) {
    ++requests_;
    ++requests_since_faults_;
    Exchange exchange;
    const Faults& faults = config_.faults;
    if (faults.hangup_after > 0 && requests_since_faults_ > faults.hangup_after) {
        hung_up_ = true;
        exchange.hang_up = true;
        frame_.clear();
        return exchange;
    }
    if (faults.silent_every > 0 && requests_since_faults_ % faults.silent_every == 0) {
        // The request is lost on the way: no effect and no answer.
        exchange.silenced = true;
        return exchange;
    }
    step();
    std::vector<uint8_t> reply = answer(frame);
    if (reply.empty()) {
        return exchange;
    }
    if (faults.wrong_echo) {
        ++reply[0];
    }
    if (faults.wrong_length) {
        reply.push_back(0x00);
    }
    reply.insert(reply.end(), faults.garbage_bytes, kGarbageByte);
    if (faults.split_gap_ms > 0 && reply.size() >= 2) {
        exchange.split_at = reply.size() / 2;
        exchange.split_gap_ms = faults.split_gap_ms;
    }
    exchange.reply = std::move(reply);
    return exchange;
}

void BoardModel::step() {
    // xorshift32: the same board always tells the same story.
    random_ ^= random_ << 13;
    random_ ^= random_ >> 17;
    random_ ^= random_ << 5;
    const uint32_t r = random_;
    const uint8_t load = static_cast<uint8_t>(kIdleLoad + (kst_running_ ? 8 + r % 9 : 0) +
                                              (ust_running_ ? 6 + (r >> 8) % 9 : 0));
    // Stack use stays under three quarters of the stack, below any alarm.
    const uint8_t kst = static_cast<uint8_t>(kst_running_ ? 20 + (r >> 16) % 21 : 0);
    const uint8_t ust = static_cast<uint8_t>(ust_running_ ? 40 + (r >> 21) % 41 : 0);
    load_.add(load);
    kst_stack_.add(kst);
    ust_stack_.add(ust);
    ++clock_seconds_;
}

std::vector<uint8_t> BoardModel::systat_reply() {
    std::vector<uint8_t> reply = {REQ_SYSTAT,     load_.min,      load_.max,      load_.avg(),
                                  kPeriodLow,     kPeriodHigh,    kst_stack_.min, kst_stack_.max,
                                  ust_stack_.min, ust_stack_.max, kKstStackSize,  kUstStackSize};
    // "Readback and reset": the next window starts from where things stand now.
    load_.restart(load_.last);
    kst_stack_.restart(kst_stack_.last);
    ust_stack_.restart(ust_stack_.last);
    return reply;
}

std::vector<uint8_t> BoardModel::answer(const std::vector<uint8_t>& frame) {
    if (frame.empty()) {
        return {};
    }
    const uint8_t code = frame[0];
    if (frame.size() == 1) {
        switch (code) {
            case REQ_STOP_KST:
                kst_running_ = false;
                return {code};
            case REQ_RUN_KST:
                kst_running_ = true;
                return {code};
            case REQ_STOP_UST:
                ust_running_ = false;
                return {code};
            case REQ_RUN_UST:
                ust_running_ = true;
                return {code};
            case REQ_CLEAR:
                alarm_word_ = 0;
                fault_word_ = 0;
                return {code};
            case REQ_SYSTAT:
                return systat_reply();
            case REQ_STATUS:
                return {code, status_word(), alarm_word_, fault_word_};
            default:
                return {};
        }
    }
    if (code == REQ_INFO_HW_MCU) {
        if (frame.size() != 2 || frame[1] != FRAME_END_HW) {
            return {};
        }
        return {code, kFirmwareVersion, config_.maker_id, config_.board_id};
    }
    if (frame.back() != FRAME_END) {
        return {};
    }
    if (code < 0xC0) {
        return answer_gpio(frame);
    }
    if (frame.size() != 2) {
        return {};
    }
    return answer_plain(code);
}

std::vector<uint8_t> BoardModel::answer_gpio(const std::vector<uint8_t>& frame) {
    const uint8_t code = frame[0];
    const std::size_t expected = code == REQ_GPIO_WRITE ? 4 : 3;
    if (frame.size() != expected || !is_parameter(frame[1]) ||
        (code == REQ_GPIO_WRITE && !is_parameter(frame[2]))) {
        return {};
    }
    const uint8_t pin_byte = frame[1];
    Pin& pin = pins_[parameter_value(pin_byte)];
    switch (code) {
        case REQ_GPIO_CFG_INPUT:
        case REQ_GPIO_CFG_OUTPUT:
        case REQ_GPIO_CFG_CR:
        case REQ_GPIO_CFG_OPENDRAIN:
        case REQ_GPIO_CFG_PULLUP: {
            static constexpr struct {
                uint8_t code;
                PinMode mode;
            } kModes[] = {{REQ_GPIO_CFG_INPUT, PinMode::kInput},
                          {REQ_GPIO_CFG_OUTPUT, PinMode::kOutput},
                          {REQ_GPIO_CFG_CR, PinMode::kCr},
                          {REQ_GPIO_CFG_OPENDRAIN, PinMode::kOpenDrain},
                          {REQ_GPIO_CFG_PULLUP, PinMode::kPullUp}};
            for (const auto& entry : kModes) {
                if (entry.code == code) {
                    pin.mode = entry.mode;
                }
            }
            return {code, pin_byte, GPIO_OK};
        }
        case REQ_GPIO_READ:
            return {code, pin_byte, pin_level(parameter_value(pin_byte)), GPIO_OK};
        case REQ_GPIO_READ_ANALOG: {
            std::vector<uint8_t> reply = {code, pin_byte};
            push_le16(reply, analog_value(parameter_value(pin_byte)));
            reply.push_back(GPIO_OK);
            ++pin.analog_reads;
            return reply;
        }
        case REQ_GPIO_WRITE:
            // The latch keeps the level even on an input, for when the pin becomes an output.
            pin.latch = parameter_value(frame[2]) != 0 ? 1 : 0;
            return {code, pin_byte, frame[2], drives(pin.mode) ? GPIO_OK : GPIO_NOT_OUTPUT};
        default:
            return {};
    }
}

std::vector<uint8_t> BoardModel::answer_plain(uint8_t code) {
    std::vector<uint8_t> reply = {code};
    switch (code) {
        case REQ_INFO_PING:
            return reply;
        case REQ_INFO_RTC_READ: {
            const uint32_t now = (kClockStartSeconds + clock_seconds_) % (24 * 3600);
            reply.push_back(static_cast<uint8_t>(now / 3600));
            reply.push_back(static_cast<uint8_t>(now / 60 % 60));
            reply.push_back(static_cast<uint8_t>(now % 60));
            return reply;
        }
        case REQ_INFO_RTC_DEV_READ:  // the clock's deviation: none
        case REQ_INFO_RTC_WRITE:
        case REQ_INFO_RTC_DEV_WRITE:
        case REQ_POWER_SLEEP:
        case REQ_POWER_WAKE:
            reply.push_back(GPIO_OK);
            return reply;
        case REQ_INFO_BATTERY:
            push_le16(reply, kBatteryMillivolts);
            return reply;
        case REQ_INFO_SUPPLY:
            push_le16(reply, kSupplyMillivolts);
            return reply;
        case REQ_INFO_CONS:
            push_le16(reply, kConsumptionMilliamps);
            return reply;
        default:
            return {};
    }
}

}  // namespace quirn_sim
