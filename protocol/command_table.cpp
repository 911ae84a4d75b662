#include "protocol/command_table.h"

#include <algorithm>

namespace {

using enum Family;
using enum EchoRule;
using enum Decoder;

// clang-format off
constexpr std::array<CommandSpec, 39> kSpecs{{
    // One-byte requests: status and statistics check their echo before the
    // length, the others after.
    {REQ_STATUS,   kScheduler, "sta",  "status",  4,  kCodeBeforeLength, kStatus,       "quirn: Status", "",
     "read the status, alarm and fault words"},
    {REQ_RUN_UST,  kScheduler, "rust", "runust",  1,  kCodeAfterLength,  kConfirmation, "quirn: Run U-ST User scheduled tasks",
     "Server operation ok: runust", "run the user tasks (U-ST)"},
    {REQ_STOP_UST, kScheduler, "sust", "stopust", 1,  kCodeAfterLength,  kConfirmation, "quirn: Stop U-ST User scheduled tasks",
     "Server operation ok: stopust", "stop the user tasks (U-ST)"},
    {REQ_CLEAR,    kScheduler, "clr",  "clear",   1,  kCodeAfterLength,  kConfirmation, "quirn: Clear Fault and Warning words",
     "Server operation ok: clear fault and alarm words", "clear the fault and alarm words"},
    {REQ_SYSTAT,   kScheduler, "sys",  "systat",  12, kCodeBeforeLength, kStatistics,   "quirn: Server systat readback and reset", "",
     "read and reset the run-time statistics"},
    {REQ_RUN_KST,  kScheduler, "rkst", "runkst",  1,  kCodeAfterLength,  kConfirmation, "quirn: Run K-ST Kernel scheduled tasks",
     "Server operation ok: runkst", "run the kernel tasks (K-ST)"},
    {REQ_STOP_KST, kScheduler, "skst", "stopkst", 1,  kCodeAfterLength,  kConfirmation, "quirn: Stop K-ST Kernel scheduled tasks",
     "Server operation ok: stopkst", "stop the kernel tasks (K-ST)"},
    // Pin frames: code, pin, [value], FRAME_END. Whole words, then the
    // "wd" prefix; the words without a request answer "Not implemented".
    {REQ_GPIO_CFG_INPUT,     kGpio, "ci",  "ci",  3, kCodeAndPin, kPinMode,      "Digital Input",  "", "g[n]ci: pin n as digital input"},
    {REQ_GPIO_CFG_OUTPUT,    kGpio, "co",  "co",  3, kCodeAndPin, kPinMode,      "Digital Output", "", "g[n]co: pin n as digital output"},
    {REQ_GPIO_CFG_CR,        kGpio, "cr",  "cr",  0, kCodeAndPin, kUnknownGpio,  "", "", "g[n]cr"},
    {REQ_GPIO_CFG_OPENDRAIN, kGpio, "cod", "cod", 0, kCodeAndPin, kUnknownGpio,  "", "", "g[n]cod: pin n open drain"},
    {REQ_GPIO_CFG_PULLUP,    kGpio, "cpu", "cpu", 0, kCodeAndPin, kUnknownGpio,  "", "", "g[n]cpu: pin n pull-up"},
    {REQ_GPIO_READ,          kGpio, "rd",  "rd",  4, kCodeAndPin, kDigitalRead,  "", "", "g[n]rd: read pin n"},
    {REQ_GPIO_READ_ANALOG,   kGpio, "ra",  "ra",  5, kCodeAndPin, kAnalogRead,   "", "", "g[n]ra: read pin n as analog"},
    {REQ_GPIO_WRITE,         kGpio, "wd",  "wd",  4, kCodeAndPin, kDigitalWrite, "", "", "g[n]wd[v]: write v to pin n"},
    {0, kGpio, "ca",    "ca",    3, kUnchecked, kPinMode,     "Analog Input", "", "g[n]ca: pin n as analog input"},
    {0, kGpio, "cp",    "cp",    3, kUnchecked, kPinMode,     "PWM Output",   "", "g[n]cp: pin n as PWM output"},
    {0, kGpio, "cpd",   "cpd",   0, kUnchecked, kUnknownGpio, "", "", "g[n]cpd: pin n pull-down"},
    {0, kGpio, "cpp",   "cpp",   0, kUnchecked, kUnknownGpio, "", "", "g[n]cpp: pin n push-pull"},
    {0, kGpio, "cslow", "cslow", 0, kUnchecked, kUnknownGpio, "", "", "g[n]cslow"},
    {0, kGpio, "cmedi", "cmedi", 0, kUnchecked, kUnknownGpio, "", "", "g[n]cmedi"},
    {0, kGpio, "cfast", "cfast", 0, kUnchecked, kUnknownGpio, "", "", "g[n]cfast"},
    {0, kGpio, "rd8",   "rd8",   0, kUnchecked, kUnknownGpio, "", "", "g[n]rd8"},
    {0, kGpio, "rd16",  "rd16",  0, kUnchecked, kUnknownGpio, "", "", "g[n]rd16"},
    {0, kGpio, "rd32",  "rd32",  0, kUnchecked, kUnknownGpio, "", "", "g[n]rd32"},
    {0, kGpio, "wp",    "wp",    4, kUnchecked, kPwmWrite,    "", "", "g[n]wp[v]: PWM value v on pin n"},
    // Plain frames: code, then FRAME_END (FRAME_END_HW after REQ_INFO_HW_MCU).
    {REQ_INFO_HW_MCU,        kInfo, "ihwmcu",    "ihwmcu",    4, kUnchecked, kIdentification, "", "", "the board's maker and model"},
    {REQ_INFO_PING,          kInfo, "iping",     "iping",     0, kUnchecked, kUndecoded, "", "", "ping"},
    {REQ_INFO_RTC_READ,      kInfo, "irtcrd",    "irtcrd",    0, kUnchecked, kUndecoded, "", "", "read the clock"},
    {REQ_INFO_RTC_WRITE,     kInfo, "irtcwr",    "irtcwr",    0, kUnchecked, kUndecoded, "", "", "write the clock"},
    {REQ_INFO_RTC_DEV_READ,  kInfo, "irtcdevrd", "irtcdevrd", 0, kUnchecked, kUndecoded, "", "", "read the clock's deviation"},
    {REQ_INFO_RTC_DEV_WRITE, kInfo, "irtcdevwr", "irtcdevwr", 0, kUnchecked, kUndecoded, "", "", "write the clock's deviation"},
    {REQ_INFO_BATTERY,       kInfo, "ibatt",     "ibatt",     0, kUnchecked, kUndecoded, "", "", "battery"},
    {REQ_INFO_SUPPLY,        kInfo, "isup",      "isup",      0, kUnchecked, kUndecoded, "", "", "supply"},
    {REQ_INFO_CONS,          kInfo, "icons",     "icons",     0, kUnchecked, kUndecoded, "", "", "consumption"},
    {REQ_POWER_SLEEP,        kPower, "csleep",   "csleep",    0, kUnchecked, kUndecoded, "", "", "sleep"},
    {REQ_POWER_WAKE,         kPower, "cwake",    "cwake",     0, kUnchecked, kUndecoded, "", "", "wake"},
    // Known, but REQ_MEM_HEAD stays reserved: nothing goes on the wire.
    {0, kMemory, "mhead", "mhead", 0, kUnchecked, kUndecoded, "", "", "memory head (not implemented)"},
    {0, kNone, "", "", 0, kUnchecked, kUndecoded, "", "", ""},  // no word: what an unknown line decodes by
}};

// Both requests go out first, whatever the first brought back, then the
// announcement; success needs both confirmed.
constexpr std::array<CommandPair, 2> kPairs{{
    {"run", "Run", REQ_RUN_UST, REQ_RUN_KST, "quirn: Run U-ST User + Kernel scheduled tasks",
     "Server operation ok: run", "run the user and kernel tasks"},
    {"stop", "Stop", REQ_STOP_UST, REQ_STOP_KST, "quirn: Stop U-ST User + Kernel scheduled tasks",
     "Server operation ok: stop", "stop the user and kernel tasks"},
}};

constexpr std::array<BitField, 6> kStatusBits{{
    {7, "user_fault", "b7 == 1 : A Fault for User space exists", "b7 == 0 : No Fault for User space"},
    {6, "user_alarm", "b6 == 1 : An Alarm for User space exists", "b6 == 0 : No Alarm for User space"},
    {4, "user_scheduler_running", "b4 == 1 : U-ST (User Space scheduler) running",
     "b4 == 0 : U-ST (User Space scheduler) stopped"},
    {3, "kernel_fault", "b3 == 1 : A Fault for Kernel exists", "b3 == 0 : No Fault for Kernel"},
    {2, "kernel_alarm", "b2 == 1 : An Alarm for Kernel exists", "b2 == 0 : No Alarm for Kernel"},
    {0, "kernel_scheduler_running", "b0 == 1 : K-ST (Kernel Space scheduler) running",
     "b0 == 0 : K-ST (Kernel Space scheduler) stopped"},
}};

constexpr std::array<BitField, 2> kAlarmBits{{
    {4, "user_stack_high", "b4 == 1 : U-ST (User Space) Stack load is high",
     "b4 == 0 : U-ST (User Space) Stack load is good"},
    {0, "kernel_stack_high", "b0 == 1 : K-ST (Kernel Space) Stack load is high",
     "b0 == 0 : K-ST (Kernel Space) Stack load is good"},
}};

constexpr std::array<BitField, 3> kFaultBits{{
    {4, "user_stack_full", "b4 == 1 : U-ST (User Space) stack full", "b4 == 0 : U-ST (User Space) stack good"},
    {3, "watchdog", "b3 == 1 : Wadtchdog timer triggered (RT overload) TODO",
     "b3 == 0 : Wadtchdog timer good TODO"},
    {0, "kernel_stack_full", "b0 == 1 : K-ST (Kernel Space) stack Full", "b0 == 0 : K-ST (Kernel Space) stack good"},
}};
// clang-format on

constexpr std::string_view kWritePrefix = "wd";
constexpr std::string_view kPwmPrefix = "wp";

const CommandSpec& no_word() {
    return kSpecs.back();
}

const CommandSpec* find_word(Family family, std::string_view word, bool long_too) {
    for (const CommandSpec& spec : kSpecs) {
        if (spec.family == family && !spec.word.empty() &&
            (word == spec.word || (long_too && word == spec.long_word))) {
            return &spec;
        }
    }
    return nullptr;
}

void take_layout(BoardCommand& command, const CommandSpec& spec) {
    command.spec = &spec;
    command.reply_length = spec.reply_length;
    command.echo = spec.echo;
    command.decoder = spec.decoder;
    command.echo_code = spec.code;
}

std::string without_leading_zeros(std::string_view digits) {
    const size_t first = std::min(digits.find_first_not_of('0'), digits.size() - 1);
    return std::string(digits.substr(first));
}

// The number the digits spell, or nothing past kLargestParameter; leading
// zeros cost nothing, however many there are.
std::optional<uint32_t> parameter(std::string_view digits) {
    uint32_t value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > kLargestParameter) {
            return std::nullopt;
        }
    }
    return value;
}

void refuse(BoardCommand& command, Refusal refusal, CommandStatus unsent,
            std::string_view number = {}) {
    command.frame.clear();
    command.refusal = refusal;
    command.unsent = unsent;
    if (!number.empty()) {
        command.refused_number = without_leading_zeros(number);
    }
}

// "g", the pin digits (maybe none), the subcommand: whole words first, then
// the "wd" prefix. A known word without a pin, or a write without a value,
// sends nothing and says nothing.
void parse_gpio(BoardCommand& command) {
    const std::string_view rest = std::string_view(command.line).substr(1);
    const std::string_view pin_digits = leading_digits(rest);
    const std::string_view operation = rest.substr(pin_digits.size());
    command.pin_text = pin_digits;
    command.pin = decimal(pin_digits);
    command.operation = operation;

    // No whole word begins with "wd", so the prefix may be tried first.
    const bool write = operation.starts_with(kWritePrefix);
    const CommandSpec* spec = find_word(kGpio, write ? kWritePrefix : operation, false);
    if (spec == nullptr && operation.starts_with(kPwmPrefix)) {
        // Only the bare word is the firmware's; with a value it is no word
        // to send, though its reply has a layout.
        spec = find_word(kGpio, kPwmPrefix, false);
        take_layout(command, *spec);
        command.value_text = leading_digits(operation.substr(kPwmPrefix.size()));
        command.value = decimal(command.value_text);
        return refuse(command, Refusal::kNop, CommandStatus::kUnknownWord);
    }
    if (spec == nullptr) {
        command.decoder = kUnknownGpio;
        return refuse(command, Refusal::kNop, CommandStatus::kUnknownWord);
    }
    take_layout(command, *spec);
    if (spec->decoder == kPwmWrite || write) {
        command.value_text = leading_digits(operation.substr(2));  // after "wp" or "wd"
        command.value = decimal(command.value_text);
    }
    if (write) {
        if (command.value_text.empty()) {
            return;
        }
    }
    if (pin_digits.empty()) {
        return;
    }
    if (spec->code == 0) {
        return refuse(command, Refusal::kNotImplemented, CommandStatus::kNotImplemented);
    }
    const std::optional<uint32_t> pin = parameter(pin_digits);
    if (!pin) {
        return refuse(command, Refusal::kPinOutOfRange, CommandStatus::kOutOfRange, pin_digits);
    }
    command.frame = {spec->code, parameter_byte(*pin)};
    if (write) {
        const std::optional<uint32_t> value = parameter(command.value_text);
        if (!value) {
            return refuse(command, Refusal::kValueOutOfRange, CommandStatus::kOutOfRange,
                          command.value_text);
        }
        command.frame.push_back(parameter_byte(*value));
    }
    command.frame.push_back(FRAME_END);
}

}  // namespace

std::span<const CommandSpec> command_specs() {
    return {kSpecs.data(), kSpecs.size() - 1};
}

const CommandSpec* spec_for_code(uint8_t code) {
    if (code == 0) {
        return nullptr;
    }
    for (const CommandSpec& spec : command_specs()) {
        if (spec.code == code) {
            return &spec;
        }
    }
    return nullptr;
}

std::span<const CommandPair> command_pairs() {
    return kPairs;
}

uint32_t reply_length(uint8_t code) {
    const CommandSpec* spec = spec_for_code(code);
    return spec != nullptr ? spec->reply_length : 0;
}

std::string_view leading_digits(std::string_view text) {
    size_t end = 0;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        ++end;
    }
    return text.substr(0, end);
}

std::optional<uint32_t> decimal(std::string_view digits) {
    if (digits.empty() || digits.size() > 9) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

BoardCommand parse_command(std::string line) {
    BoardCommand command;
    command.line = std::move(line);
    command.echo_word = command.line;
    take_layout(command, no_word());
    command.spec = nullptr;
    if (command.line.empty()) {
        command.refusal = Refusal::kNoString;
        return command;
    }
    if (const CommandSpec* spec = find_word(kScheduler, command.line, true)) {
        command.family = kScheduler;
        take_layout(command, *spec);
        command.frame = {spec->code};
        command.echo_word = spec->long_word;
        return command;
    }
    for (const CommandPair& pair : kPairs) {
        if (command.line == pair.word) {
            command.family = kScheduler;
            command.pair = &pair;
            command.frame = {pair.user_code, pair.kernel_code};
            // Either request's echo is taken as the reply to the second.
            command.reply_length = 1;
            command.echo = kCodeAfterLength;
            command.decoder = kConfirmation;
            command.echo_code = static_cast<uint8_t>(pair.user_code | pair.kernel_code);
            return command;
        }
    }
    switch (command.line.front()) {
        case 'g':
            command.family = kGpio;
            parse_gpio(command);
            return command;
        case 'i':
            command.family = kInfo;
            break;
        case 'c':
            command.family = kPower;
            break;
        case 'm':
            command.family = kMemory;
            break;
        default:  // "e" and every other letter: no family
            return command;
    }
    if (const CommandSpec* spec = find_word(command.family, command.line, false)) {
        take_layout(command, *spec);
        if (spec->code == 0) {
            command.unsent = CommandStatus::kNotImplemented;
        } else {
            command.frame = {spec->code, spec->code == REQ_INFO_HW_MCU ? FRAME_END_HW : FRAME_END};
        }
    }
    return command;
}

std::vector<std::string> server_words() {
    std::vector<std::string> words;
    for (const CommandSpec& spec : kSpecs) {
        if (spec.family == kScheduler) {
            words.emplace_back(spec.word);
            words.emplace_back(spec.long_word);
        }
    }
    for (const CommandPair& pair : kPairs) {
        words.emplace_back(pair.word);
    }
    for (const CommandSpec& spec : kSpecs) {
        if (spec.family == kInfo || spec.family == kPower || spec.family == kMemory) {
            words.emplace_back(spec.word);
        }
    }
    return words;
}

std::vector<std::string> gpio_subcommands() {
    std::vector<std::string> words;
    for (const CommandSpec& spec : kSpecs) {
        if (spec.family == kGpio) {
            words.emplace_back(spec.word);
        }
    }
    return words;
}

std::span<const BitField> status_bits() {
    return kStatusBits;
}
std::span<const BitField> alarm_bits() {
    return kAlarmBits;
}
std::span<const BitField> fault_bits() {
    return kFaultBits;
}
