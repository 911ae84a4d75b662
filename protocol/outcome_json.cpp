#include "protocol/outcome_json.h"

#include <string>

#include "serial/wire_trace.h"

namespace {

using json = nlohmann::ordered_json;

bool bit(uint8_t word, int number) {
    return ((word >> number) & 1) != 0;
}

// numerator / denominator in percent, as the console computes it; null for
// a zero denominator, which JSON has no number for.
json percent(uint32_t numerator, uint32_t denominator) {
    if (denominator == 0) {
        return nullptr;
    }
    return static_cast<double>(static_cast<float>(numerator) / static_cast<float>(denominator) *
                               100.0f);
}

json stack(uint8_t min, uint8_t max, uint8_t size) {
    return {{"min", min},
            {"max", max},
            {"size", size},
            {"min_percent", percent(min, size)},
            {"max_percent", percent(max, size)}};
}

}  // namespace

nlohmann::ordered_json outcome_json(const CommandOutcome& outcome, std::string_view message) {
    json object = {{"word", outcome.word}, {"ok", outcome.ok()}};
    if (outcome.pin) {
        object["pin"] = *outcome.pin;
    }
    if (outcome.ok() && outcome.value) {
        object["value"] = *outcome.value;
    }
    if (outcome.ok() && outcome.words) {
        const BoardWords& words = *outcome.words;
        object["status"] = {{"word", words.status},
                            {"user_fault", bit(words.status, 7)},
                            {"user_alarm", bit(words.status, 6)},
                            {"user_scheduler_running", bit(words.status, 4)},
                            {"kernel_fault", bit(words.status, 3)},
                            {"kernel_alarm", bit(words.status, 2)},
                            {"kernel_scheduler_running", bit(words.status, 0)}};
        object["alarm"] = {{"word", words.alarm},
                           {"user_stack_high", bit(words.alarm, 4)},
                           {"kernel_stack_high", bit(words.alarm, 0)}};
        object["fault"] = {{"word", words.fault},
                           {"user_stack_full", bit(words.fault, 4)},
                           {"watchdog", bit(words.fault, 3)},
                           {"kernel_stack_full", bit(words.fault, 0)}};
    }
    if (outcome.ok() && outcome.statistics) {
        const Statistics& s = *outcome.statistics;
        const uint32_t period = s.period();
        object["load"] = {{"min", s.load_min},
                          {"max", s.load_max},
                          {"average", s.load_avg},
                          {"min_percent", percent(s.load_min, period)},
                          {"max_percent", percent(s.load_max, period)},
                          {"average_percent", percent(s.load_avg, period)}};
        object["period"] = {{"low", s.period_low}, {"high", s.period_high}, {"length", period}};
        object["kernel_stack"] = stack(s.kernel_stack_min, s.kernel_stack_max, s.kernel_stack_size);
        object["user_stack"] = stack(s.user_stack_min, s.user_stack_max, s.user_stack_size);
    }
    if (outcome.identification) {
        object["maker"] = outcome.identification->maker;
        object["board"] = outcome.identification->board;
        object["maker_id"] = outcome.identification->maker_id;
        object["board_id"] = outcome.identification->board_id;
    }
    if (!outcome.ok()) {
        object["error"] = status_name(outcome.status);
        switch (outcome.status) {
            case CommandStatus::kBadLength:
                object["length"] = outcome.length;
                object["expected_length"] = outcome.expected_length;
                break;
            case CommandStatus::kBadEcho:
                object["expected"] = outcome.expected;
                object["received"] = outcome.received;
                break;
            case CommandStatus::kUnconfirmed:
                object["unconfirmed"] = outcome.unconfirmed;
                break;
            default:
                break;
        }
        if (!outcome.reply.bytes.empty()) {
            object["reply"] = wire_trace::hex_bytes(outcome.reply.bytes);
        }
    }
    if (!outcome.ok() || !message.empty()) {
        object["message"] = message;
    }
    return object;
}
