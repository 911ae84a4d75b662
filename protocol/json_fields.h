#pragma once
// The field names of the JSON records the program writes: the --json
// record of a word (outcome_json) and the web API's answers. They are a
// contract with scripts: every name is written from here, and a test holds
// this table against the API description (web/openapi.json) and the console
// reference (help/index.html), so that a rename anywhere fails there.

#include <string_view>
#include <vector>

namespace json_field {
// A command's outcome.
inline constexpr std::string_view kWord = "word";
inline constexpr std::string_view kOk = "ok";
inline constexpr std::string_view kPin = "pin";
inline constexpr std::string_view kValue = "value";
inline constexpr std::string_view kStatus = "status";
inline constexpr std::string_view kAlarm = "alarm";
inline constexpr std::string_view kFault = "fault";
inline constexpr std::string_view kLoad = "load";
inline constexpr std::string_view kPeriod = "period";
inline constexpr std::string_view kKernelStack = "kernel_stack";
inline constexpr std::string_view kUserStack = "user_stack";
inline constexpr std::string_view kMaker = "maker";
inline constexpr std::string_view kBoard = "board";
inline constexpr std::string_view kMakerId = "maker_id";
inline constexpr std::string_view kBoardId = "board_id";
inline constexpr std::string_view kError = "error";
inline constexpr std::string_view kLength = "length";
inline constexpr std::string_view kExpectedLength = "expected_length";
inline constexpr std::string_view kExpected = "expected";
inline constexpr std::string_view kReceived = "received";
inline constexpr std::string_view kUnconfirmed = "unconfirmed";
inline constexpr std::string_view kReply = "reply";
inline constexpr std::string_view kMessage = "message";
inline constexpr std::string_view kInvalidUtf8 = "invalid_utf8";
// Inside load, period and the stacks.
inline constexpr std::string_view kMin = "min";
inline constexpr std::string_view kMax = "max";
inline constexpr std::string_view kAverage = "average";
inline constexpr std::string_view kMinPercent = "min_percent";
inline constexpr std::string_view kMaxPercent = "max_percent";
inline constexpr std::string_view kAveragePercent = "average_percent";
inline constexpr std::string_view kSize = "size";
inline constexpr std::string_view kLow = "low";
inline constexpr std::string_view kHigh = "high";
// The statistics window of an API answer (statistics_windows.h).
inline constexpr std::string_view kWindow = "window";
inline constexpr std::string_view kCursor = "cursor";
inline constexpr std::string_view kReads = "reads";
inline constexpr std::string_view kSeconds = "seconds";
inline constexpr std::string_view kComplete = "complete";
}  // namespace json_field

// One record: the name the API description gives its schema, and its
// fields. The state words' records take their bits' names from the
// command table (status_bits() and the rest), after "word".
struct JsonRecord {
    std::string_view schema;
    std::vector<std::string_view> fields;
};
std::vector<JsonRecord> json_records();
