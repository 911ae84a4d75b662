#include "protocol/quirn_transcoder.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "base/console_output.h"
#include "protocol/server_commands.h"
#include "serial/class_serial.h"

namespace {

// A parameter byte carries six bits: a larger pin or value would reach the
// board as another one, so it is refused instead.
constexpr uint32_t kLargestParameter = 0x3F;

// The number the digits spell, or nothing when it is past kLargestParameter.
// Leading zeros cost nothing, however many there are.
std::optional<uint32_t> to_parameter(std::string_view digits) {
    uint32_t value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > kLargestParameter) {
            return std::nullopt;
        }
    }
    return value;
}

// "Pin number out of range: 66 (0 to 63)", the number without its leading zeros.
FramePlan out_of_range(std::string_view what, std::string_view digits) {
    const size_t first = std::min(digits.find_first_not_of('0'), digits.size() - 1);
    return FramePlan{{},
                     FramePlan::Report::kRefusal,
                     std::string(what) + " out of range: " + std::string(digits.substr(first)) +
                         " (0 to " + std::to_string(kLargestParameter) + ")",
                     CommandStatus::kOutOfRange};
}

FramePlan line_plan(std::string text, CommandStatus failure = CommandStatus::kUnknownWord) {
    return FramePlan{{}, FramePlan::Report::kLine, std::move(text), failure};
}

FramePlan not_implemented() {
    return line_plan("Not implemented", CommandStatus::kNotImplemented);
}

FramePlan frame_plan(std::vector<uint8_t> frame) {
    return FramePlan{std::move(frame), FramePlan::Report::kNone, {}, CommandStatus::kOk};
}

enum class GpioAction { kSend, kNotImplemented };

struct GpioWord {
    std::string_view subcommand;
    GpioAction action;
    uint8_t code;  // for kSend only
};

// Compared whole, in this order; the "wd" prefix is tested after all of them.
constexpr std::array<GpioWord, 18> kGpioWords{{
    {"ci", GpioAction::kSend, REQ_GPIO_CFG_INPUT},
    {"co", GpioAction::kSend, REQ_GPIO_CFG_OUTPUT},
    {"ca", GpioAction::kNotImplemented, 0},
    {"cp", GpioAction::kNotImplemented, 0},
    {"cr", GpioAction::kSend, REQ_GPIO_CFG_CR},
    {"cod", GpioAction::kSend, REQ_GPIO_CFG_OPENDRAIN},
    {"cpu", GpioAction::kSend, REQ_GPIO_CFG_PULLUP},
    {"cpd", GpioAction::kNotImplemented, 0},
    {"cpp", GpioAction::kNotImplemented, 0},
    {"cslow", GpioAction::kNotImplemented, 0},
    {"cmedi", GpioAction::kNotImplemented, 0},
    {"cfast", GpioAction::kNotImplemented, 0},
    {"rd", GpioAction::kSend, REQ_GPIO_READ},
    {"rd8", GpioAction::kNotImplemented, 0},
    {"rd16", GpioAction::kNotImplemented, 0},
    {"rd32", GpioAction::kNotImplemented, 0},
    {"ra", GpioAction::kSend, REQ_GPIO_READ_ANALOG},
    {"wp", GpioAction::kNotImplemented, 0},
}};

constexpr std::string_view kWritePrefix = "wd";

struct PlainWord {
    std::string_view word;
    uint8_t code;
    uint8_t end;
};

constexpr std::array<PlainWord, 9> kInfoWords{{
    {"ihwmcu", REQ_INFO_HW_MCU, FRAME_END_HW},
    {"iping", REQ_INFO_PING, FRAME_END},
    {"irtcrd", REQ_INFO_RTC_READ, FRAME_END},
    {"irtcwr", REQ_INFO_RTC_WRITE, FRAME_END},
    {"irtcdevrd", REQ_INFO_RTC_DEV_READ, FRAME_END},
    {"irtcdevwr", REQ_INFO_RTC_DEV_WRITE, FRAME_END},
    {"ibatt", REQ_INFO_BATTERY, FRAME_END},
    {"isup", REQ_INFO_SUPPLY, FRAME_END},
    {"icons", REQ_INFO_CONS, FRAME_END},
}};

constexpr std::array<PlainWord, 2> kPowerWords{{
    {"csleep", REQ_POWER_SLEEP, FRAME_END},
    {"cwake", REQ_POWER_WAKE, FRAME_END},
}};

template <size_t N>
FramePlan plan_plain(const std::string& line, const std::array<PlainWord, N>& words) {
    for (const PlainWord& word : words) {
        if (line == word.word) {
            return frame_plan({word.code, word.end});
        }
    }
    return {};
}

}  // namespace

CommandReply carry_out(FramePlan plan) {
    switch (plan.report) {
        case FramePlan::Report::kNone:
            break;
        case FramePlan::Report::kLine:
        case FramePlan::Report::kRefusal:
            out_line(plan.text);
            break;
        case FramePlan::Report::kTrace:
            error_trace(plan.text, __FILE__, __LINE__);
            break;
    }
    if (plan.frame.empty()) {
        return {};
    }
    const uint32_t length = reply_length(plan.frame.front());
    return reply_of(serial_port().transact_frame(std::move(plan.frame), length), true);
}

void hand_resync_probe_to_port() {
    serial_port().set_resync_probe({REQ_INFO_HW_MCU, FRAME_END_HW}, kIdentificationReplyLength);
}

uint32_t reply_length(uint8_t code) {
    switch (code) {
        case REQ_STOP_KST:
        case REQ_RUN_KST:
        case REQ_CLEAR:
        case REQ_STOP_UST:
        case REQ_RUN_UST:
            return kEchoReplyLength;
        case REQ_STATUS:
            return kStatusReplyLength;
        case REQ_SYSTAT:
            return kSystatReplyLength;
        case REQ_INFO_HW_MCU:
            return kIdentificationReplyLength;
        case REQ_GPIO_CFG_INPUT:
        case REQ_GPIO_CFG_OUTPUT:
            return kPinConfigReplyLength;
        case REQ_GPIO_READ:
            return kDigitalReadReplyLength;
        case REQ_GPIO_READ_ANALOG:
            return kAnalogReadReplyLength;
        case REQ_GPIO_WRITE:
            return kDigitalWriteReplyLength;
        default:
            return 0;
    }
}

size_t gpio_reply_length(std::string_view operation) {
    if (operation == "ci" || operation == "co" || operation == "ca" || operation == "cp") {
        return kPinConfigReplyLength;
    }
    if (operation == "rd") {
        return kDigitalReadReplyLength;
    }
    if (operation == "ra") {
        return kAnalogReadReplyLength;
    }
    if (operation.starts_with("wd") || operation.starts_with("wp")) {
        return kDigitalWriteReplyLength;
    }
    return 0;
}

std::string_view leading_digits(std::string_view text) {
    size_t end = 0;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        ++end;
    }
    return text.substr(0, end);
}

FramePlan plan_gpio(const std::string& line) {
    if (line.empty()) {
        return FramePlan{{}, FramePlan::Report::kTrace, "Error, no string in."};
    }
    if (line.front() != 'g') {
        return line_plan("Nop: " + line);
    }
    const std::string_view rest = std::string_view(line).substr(1);
    const std::string_view pin_digits = leading_digits(rest);
    const std::string_view subcommand = rest.substr(pin_digits.size());
    const std::optional<uint32_t> pin = to_parameter(pin_digits);
    const auto pin_out_of_range = [&] { return out_of_range("Pin number", pin_digits); };

    // A known word without a pin, or a write without a value, sends nothing
    // and says nothing; the command layer reports the empty reply.
    for (const GpioWord& word : kGpioWords) {
        if (subcommand != word.subcommand) {
            continue;
        }
        if (pin_digits.empty()) {
            return {};
        }
        if (word.action == GpioAction::kNotImplemented) {
            return not_implemented();
        }
        if (!pin) {
            return pin_out_of_range();
        }
        return frame_plan({word.code, parameter_byte(*pin), FRAME_END});
    }

    if (subcommand.starts_with(kWritePrefix)) {
        // Digits after the prefix are the value; anything after them is ignored.
        const std::string_view value_digits =
            leading_digits(subcommand.substr(kWritePrefix.size()));
        if (pin_digits.empty() || value_digits.empty()) {
            return {};
        }
        if (!pin) {
            return pin_out_of_range();
        }
        const std::optional<uint32_t> value = to_parameter(value_digits);
        if (!value) {
            return out_of_range("Value", value_digits);
        }
        return frame_plan(
            {REQ_GPIO_WRITE, parameter_byte(*pin), parameter_byte(*value), FRAME_END});
    }
    return line_plan("Nop");
}

FramePlan plan_info(const std::string& line) {
    return plan_plain(line, kInfoWords);
}

FramePlan plan_power(const std::string& line) {
    return plan_plain(line, kPowerWords);
}

FramePlan plan_memory(const std::string& line) {
    // "mhead" is known, but the board defines no memory request yet: its
    // code stays reserved and nothing goes on the wire.
    FramePlan plan;
    if (line == "mhead") {
        plan.failure = CommandStatus::kNotImplemented;
    }
    return plan;
}

CommandReply transcode_gpio(std::string line) {
    CommandReply reply = carry_out(plan_gpio(line));
    if (!reply.bytes.empty() && check_gpio_reply(line, reply).status != GpioReply::Status::kOk) {
        serial_port().resync();
    }
    return reply;
}

GpioReply check_gpio_reply(const std::string& line, const CommandReply& reply) {
    GpioReply checked;
    const std::vector<uint8_t>& bytes = reply.bytes;
    checked.length = bytes.size();
    if (bytes.empty() || !line.starts_with('g')) {
        return checked;
    }
    const std::string_view rest = std::string_view(line).substr(1);
    const std::string_view operation = rest.substr(leading_digits(rest).size());
    checked.expected_length = gpio_reply_length(operation);
    // The code and the pin's parameter byte come back first, whatever the
    // layout; a reply too short to hold them is left to the length check.
    const FramePlan plan = plan_gpio(line);
    if (plan.frame.size() >= 3) {
        for (size_t i = 0; i < 2 && i < bytes.size(); ++i) {
            if (bytes[i] != plan.frame[i]) {
                checked.status = GpioReply::Status::kBadEcho;
                checked.expected = plan.frame[i];
                checked.received = bytes[i];
                return checked;
            }
        }
    }
    if (checked.expected_length != 0 && bytes.size() != checked.expected_length) {
        checked.status = GpioReply::Status::kBadLength;
        return checked;
    }
    checked.status = GpioReply::Status::kOk;
    if (operation == "rd") {
        checked.value = bytes[2];
    } else if (operation == "ra") {
        checked.value = bytes[2] + 256u * bytes[3];
    }
    return checked;
}

CommandReply transcode_info(std::string line) {
    return carry_out(plan_info(line));
}

CommandReply transcode_power(std::string line) {
    return carry_out(plan_power(line));
}

CommandReply transcode_memory(std::string line) {
    return carry_out(plan_memory(line));
}

std::vector<std::string> gpio_subcommands() {
    std::vector<std::string> words;
    for (const GpioWord& word : kGpioWords) {
        words.emplace_back(word.subcommand);
    }
    words.emplace_back(kWritePrefix);
    return words;
}

std::vector<std::string> plain_words() {
    std::vector<std::string> words;
    for (const PlainWord& word : kInfoWords) {
        words.emplace_back(word.word);
    }
    for (const PlainWord& word : kPowerWords) {
        words.emplace_back(word.word);
    }
    words.emplace_back("mhead");  // known, with no request yet (plan_memory)
    return words;
}
