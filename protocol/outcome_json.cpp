#include "protocol/outcome_json.h"

#include <string>

#include "protocol/command_table.h"
#include "protocol/json_fields.h"
#include "serial/wire_trace.h"

namespace {

using json = nlohmann::ordered_json;
namespace f = json_field;

// The bits of a state word, each by its name in the command table.
json state_word(uint8_t word, std::span<const BitField> bits) {
    json object = {{f::kWord, word}};
    for (const BitField& field : bits) {
        object[std::string(field.name)] = ((word >> field.bit) & 1) != 0;
    }
    return object;
}

// numerator / denominator in percent, as the console computes it; null for
// a zero denominator, which JSON has no number for.
json percent(uint32_t numerator, uint32_t denominator) {
    if (denominator == 0) {
        return nullptr;
    }
    return static_cast<double>(percent_of(numerator, denominator));
}

json stack(uint8_t min, uint8_t max, uint8_t size) {
    return {{f::kMin, min},
            {f::kMax, max},
            {f::kSize, size},
            {f::kMinPercent, percent(min, size)},
            {f::kMaxPercent, percent(max, size)}};
}

std::vector<std::string_view> bit_record(std::span<const BitField> bits) {
    std::vector<std::string_view> fields{f::kWord};
    for (const BitField& field : bits) {
        fields.push_back(field.name);
    }
    return fields;
}

}  // namespace

bool valid_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        unsigned low = 0x80, high = 0xBF;  // the range of the first continuation byte
        if (byte < 0x80) {
            ++i;
            continue;
        } else if (byte >= 0xC2 && byte <= 0xDF) {
            extra = 1;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            extra = 2;
            low = byte == 0xE0 ? 0xA0 : 0x80;
            high = byte == 0xED ? 0x9F : 0xBF;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            extra = 3;
            low = byte == 0xF0 ? 0x90 : 0x80;
            high = byte == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (i + extra >= text.size()) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

std::vector<JsonRecord> json_records() {
    return {
        {"Outcome", {f::kWord,        f::kOk,        f::kPin,
                     f::kValue,       f::kStatus,    f::kAlarm,
                     f::kFault,       f::kLoad,      f::kPeriod,
                     f::kKernelStack, f::kUserStack, f::kMaker,
                     f::kBoard,       f::kMakerId,   f::kBoardId,
                     f::kError,       f::kLength,    f::kExpectedLength,
                     f::kExpected,    f::kReceived,  f::kUnconfirmed,
                     f::kReply,       f::kMessage,   f::kInvalidUtf8}},
        {"StatusWord", bit_record(status_bits())},
        {"AlarmWord", bit_record(alarm_bits())},
        {"FaultWord", bit_record(fault_bits())},
        {"Load",
         {f::kMin, f::kMax, f::kAverage, f::kMinPercent, f::kMaxPercent, f::kAveragePercent}},
        {"Period", {f::kLow, f::kHigh, f::kLength}},
        {"Stack", {f::kMin, f::kMax, f::kSize, f::kMinPercent, f::kMaxPercent}},
        // The web API's own answers.
        {"PinValue", {f::kPin, f::kValue}},
        {"Board",
         {"link", "port", "session", f::kMaker, f::kBoard, f::kMakerId, f::kBoardId,
          "mqtt_connected"}},
        {"Error", {f::kError, "reason", f::kUnconfirmed, "waiting_for"}},
        {"Pins", {"read", "pins"}},
        {"StatisticsWindow", {f::kCursor, f::kReads, f::kSeconds, f::kComplete}},
        {"Ok", {f::kStatus}},
    };
}

nlohmann::ordered_json outcome_json(const CommandOutcome& outcome, std::string_view message) {
    json object = {{f::kWord, outcome.word}, {f::kOk, outcome.ok()}};
    if (outcome.pin) {
        object[f::kPin] = *outcome.pin;
    }
    if (outcome.ok() && outcome.value) {
        object[f::kValue] = *outcome.value;
    }
    if (outcome.ok() && outcome.words) {
        object[f::kStatus] = state_word(outcome.words->status, status_bits());
        object[f::kAlarm] = state_word(outcome.words->alarm, alarm_bits());
        object[f::kFault] = state_word(outcome.words->fault, fault_bits());
    }
    if (outcome.ok() && outcome.statistics) {
        const Statistics& s = *outcome.statistics;
        const uint32_t period = s.period();
        object[f::kLoad] = {{f::kMin, s.load_min},
                            {f::kMax, s.load_max},
                            {f::kAverage, s.load_avg},
                            {f::kMinPercent, percent(s.load_min, period)},
                            {f::kMaxPercent, percent(s.load_max, period)},
                            {f::kAveragePercent, percent(s.load_avg, period)}};
        object[f::kPeriod] = {
            {f::kLow, s.period_low}, {f::kHigh, s.period_high}, {f::kLength, period}};
        object[f::kKernelStack] =
            stack(s.kernel_stack_min, s.kernel_stack_max, s.kernel_stack_size);
        object[f::kUserStack] = stack(s.user_stack_min, s.user_stack_max, s.user_stack_size);
    }
    if (outcome.identification) {
        object[f::kMaker] = outcome.identification->maker;
        object[f::kBoard] = outcome.identification->board;
        object[f::kMakerId] = outcome.identification->maker_id;
        object[f::kBoardId] = outcome.identification->board_id;
    }
    if (!outcome.ok()) {
        object[f::kError] = status_name(outcome.status);
        switch (outcome.status) {
            case CommandStatus::kBadLength:
                object[f::kLength] = outcome.length;
                object[f::kExpectedLength] = outcome.expected_length;
                break;
            case CommandStatus::kBadEcho:
                object[f::kExpected] = outcome.expected;
                object[f::kReceived] = outcome.received;
                break;
            case CommandStatus::kUnconfirmed:
                object[f::kUnconfirmed] = outcome.unconfirmed;
                break;
            default:
                break;
        }
        if (!outcome.reply.bytes.empty()) {
            object[f::kReply] = wire_trace::hex_bytes(outcome.reply.bytes);
        }
    }
    if (!outcome.ok() || !message.empty()) {
        object[f::kMessage] = message;
    }
    // A word or a message (which may quote the word) that is not UTF-8 is
    // written with U+FFFD in place of each bad byte, and the record names
    // the fields so changed.
    json replaced = json::array();
    for (const std::string_view field : {f::kWord, f::kMessage}) {
        const auto found = object.find(std::string(field));
        if (found != object.end() && !valid_utf8(found->get_ref<const std::string&>())) {
            replaced.push_back(field);
        }
    }
    if (!replaced.empty()) {
        object[f::kInvalidUtf8] = std::move(replaced);
    }
    return object;
}

std::string record_text(const nlohmann::ordered_json& record) {
    return record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
