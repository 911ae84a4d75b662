#include "protocol/class_quirn_server.h"

#include <array>
#include <sstream>
#include <string_view>
#include <vector>

#include "base/console_output.h"
#include "base/state.h"
#include "protocol/quirn_transcoder.h"

namespace {

constexpr uint8_t kMakerArduino = 0x06;
constexpr uint8_t kMakerMicrochip = 0x30;
constexpr uint8_t kBoardUnoR4Minima = 0x09;  // an Arduino board id
constexpr uint8_t kBoardPic16f628 = 0x09;    // a Microchip board id

enum class Outcome { kStatusReport, kSystatReport, kOk };

// A reply that begins with the echo of its request. A request whose two
// codes may each be echoed ("run", "stop") names both; the expected value
// shown in a transmission error is the two OR-ed together.
struct EchoReply {
    std::string_view short_word;
    std::string_view long_word;  // the word a transmission error names
    uint8_t echo;
    uint8_t other_echo;
    size_t length;
    bool echo_checked_first;
    std::string_view length_error;
    Outcome outcome;
    std::string_view ok_text;
};

constexpr std::string_view kLengthError = "Error response length: ";
constexpr std::string_view kStatusLengthError = "Error status response length: ";

constexpr std::array<EchoReply, 9> kEchoReplies{{
    {"sta", "status", REQ_STATUS, REQ_STATUS, kStatusReplyLength, true, kLengthError,
     Outcome::kStatusReport, ""},
    {"rust", "runust", REQ_RUN_UST, REQ_RUN_UST, kEchoReplyLength, false, kLengthError,
     Outcome::kOk, "Server operation ok: runust"},
    {"sust", "stopust", REQ_STOP_UST, REQ_STOP_UST, kEchoReplyLength, false, kLengthError,
     Outcome::kOk, "Server operation ok: stopust"},
    {"clr", "clear", REQ_CLEAR, REQ_CLEAR, kEchoReplyLength, false, kLengthError, Outcome::kOk,
     "Server operation ok: clear fault and alarm words"},
    {"sys", "systat", REQ_SYSTAT, REQ_SYSTAT, kSystatReplyLength, true, kStatusLengthError,
     Outcome::kSystatReport, ""},
    {"rkst", "runkst", REQ_RUN_KST, REQ_RUN_KST, kEchoReplyLength, false, kLengthError,
     Outcome::kOk, "Server operation ok: runkst"},
    {"skst", "stopkst", REQ_STOP_KST, REQ_STOP_KST, kEchoReplyLength, false, kLengthError,
     Outcome::kOk, "Server operation ok: stopkst"},
    {"run", "run", REQ_RUN_UST, REQ_RUN_KST, kEchoReplyLength, false, kLengthError, Outcome::kOk,
     "Server operation ok: run"},
    {"stop", "stop", REQ_STOP_UST, REQ_STOP_KST, kEchoReplyLength, false, kLengthError,
     Outcome::kOk, "Server operation ok: stop"},
}};

struct BitText {
    int bit;
    std::string_view set;
    std::string_view clear;
};

constexpr std::array<BitText, 6> kStatusBits{{
    {7, "b7 == 1 : A Fault for User space exists", "b7 == 0 : No Fault for User space"},
    {6, "b6 == 1 : An Alarm for User space exists", "b6 == 0 : No Alarm for User space"},
    {4, "b4 == 1 : U-ST (User Space scheduler) running",
     "b4 == 0 : U-ST (User Space scheduler) stopped"},
    {3, "b3 == 1 : A Fault for Kernel exists", "b3 == 0 : No Fault for Kernel"},
    {2, "b2 == 1 : An Alarm for Kernel exists", "b2 == 0 : No Alarm for Kernel"},
    {0, "b0 == 1 : K-ST (Kernel Space scheduler) running",
     "b0 == 0 : K-ST (Kernel Space scheduler) stopped"},
}};

constexpr std::array<BitText, 2> kAlarmBits{{
    {4, "b4 == 1 : U-ST (User Space) Stack load is high",
     "b4 == 0 : U-ST (User Space) Stack load is good"},
    {0, "b0 == 1 : K-ST (Kernel Space) Stack load is high",
     "b0 == 0 : K-ST (Kernel Space) Stack load is good"},
}};

constexpr std::array<BitText, 3> kFaultBits{{
    {4, "b4 == 1 : U-ST (User Space) stack full", "b4 == 0 : U-ST (User Space) stack good"},
    {3, "b3 == 1 : Wadtchdog timer triggered (RT overload) TODO",
     "b3 == 0 : Wadtchdog timer good TODO"},
    {0, "b0 == 1 : K-ST (Kernel Space) stack Full", "b0 == 0 : K-ST (Kernel Space) stack good"},
}};

std::string binary_digits(uint8_t word) {
    std::string digits;
    for (int bit = 7; bit >= 0; --bit) {
        digits += ((word >> bit) & 1) != 0 ? '1' : '0';
    }
    return digits;
}

template <size_t N>
void print_word(std::string_view name, uint8_t word, const std::array<BitText, N>& bits) {
    out_line("");
    out_line(std::string(name) + binary_digits(word));
    for (const BitText& text : bits) {
        out_line(((word >> text.bit) & 1) != 0 ? text.set : text.clear);
    }
}

// bytes holds kStatusReplyLength bytes.
void print_status_report(const std::vector<uint8_t>& bytes) {
    print_word("bs_status: ", bytes[1], kStatusBits);
    print_word("bs_alarm: ", bytes[2], kAlarmBits);
    print_word("bs_fault: ", bytes[3], kFaultBits);
}

void print_load_line(std::string_view label, uint32_t numerator, uint32_t denominator) {
    // Single precision throughout, as the board's own tools show it; a zero
    // denominator prints whatever inf or nan the stream makes of it.
    const float percent = static_cast<float>(numerator) / static_cast<float>(denominator) * 100.0f;
    std::ostringstream line;
    line << label << percent << " %"
         << " (" << numerator << " / " << denominator << ")";
    out_line(line.str());
}

// bytes holds kSystatReplyLength bytes.
void print_systat_report(const std::vector<uint8_t>& bytes) {
    const uint32_t rt_load_min = bytes[1];
    const uint32_t rt_load_max = bytes[2];
    const uint32_t rt_load_avg = bytes[3];
    const uint32_t rt_period_low = bytes[4];
    const uint32_t rt_period_high = bytes[5];
    const uint32_t kst_stack_min = bytes[6];
    const uint32_t kst_stack_max = bytes[7];
    const uint32_t ust_stack_min = bytes[8];
    const uint32_t ust_stack_max = bytes[9];
    const uint32_t kst_stack_size = bytes[10];
    const uint32_t ust_stack_size = bytes[11];
    // Unsigned on purpose: a high bound below the low one wraps to 2^32 - shortfall.
    const uint32_t period = rt_period_high - rt_period_low;

    out_line("");
    out_line("Systats:");
    print_load_line("RT load min:           ", rt_load_min, period);
    print_load_line("RT load max:           ", rt_load_max, period);
    print_load_line("RT load avg:           ", rt_load_avg, period);
    print_load_line("Kernel stack load min: ", kst_stack_min, kst_stack_size);
    print_load_line("Kernel stack load max: ", kst_stack_max, kst_stack_size);
    print_load_line("User stack load min:   ", ust_stack_min, ust_stack_size);
    print_load_line("User stack load max:   ", ust_stack_max, ust_stack_size);
}

void print_length_error(std::string_view prefix, size_t length, size_t expected) {
    out_line(std::string(prefix) + std::to_string(length) + " != " + std::to_string(expected));
}

void decode_echo_reply(const EchoReply& shape, const std::vector<uint8_t>& bytes) {
    const auto echo_ok = [&] { return bytes[0] == shape.echo || bytes[0] == shape.other_echo; };
    const auto report_echo = [&] {
        report_transmission_error(std::string(shape.long_word), shape.echo | shape.other_echo,
                                  bytes[0]);
    };
    if (shape.echo_checked_first && !echo_ok()) {
        report_echo();
        return;
    }
    if (bytes.size() != shape.length) {
        print_length_error(shape.length_error, bytes.size(), shape.length);
        return;
    }
    if (!echo_ok()) {
        report_echo();
        return;
    }
    switch (shape.outcome) {
        case Outcome::kStatusReport:
            print_status_report(bytes);
            break;
        case Outcome::kSystatReport:
            print_systat_report(bytes);
            break;
        case Outcome::kOk:
            out_line(shape.ok_text);
            break;
    }
}

// "Pin <pin> value: <digits> <what>" for a write whose value was typed
// after the two letters of its operation; nothing without pin or value.
void print_written(std::string_view pin, std::string_view operation, std::string_view what) {
    const std::string_view value = leading_digits(operation.substr(2));
    if (pin.empty() || value.empty()) {
        return;
    }
    out_line("Pin " + std::string(pin) + std::string(what) + std::string(value) +
             " written on port.");
}

}  // namespace

Server::Server()
    : makers{{kMakerArduino, "Arduino"}, {kMakerMicrochip, "Microchip"}},
      arduino_boards{{kBoardUnoR4Minima, "Uno_R4_Minima"}},
      microchip_boards{{kBoardPic16f628, "PIC16F628"}} {}

std::pair<std::string, std::string> Server::names() const {
    std::lock_guard lock(names_mutex_);
    return {maker_name, board_name};
}

void Server::set_names(std::string maker, std::string board) {
    std::lock_guard lock(names_mutex_);
    maker_name = std::move(maker);
    board_name = std::move(board);
}

void Server::identify(uint8_t maker_id, uint8_t board_id) {
    const auto lookup = [](const std::map<uint8_t, std::string>& table, uint8_t id) {
        const auto found = table.find(id);
        return found == table.end() ? std::string() : found->second;
    };
    const std::map<uint8_t, std::string>* boards = nullptr;
    if (maker_id == kMakerMicrochip) {
        boards = &microchip_boards;
    } else if (maker_id == kMakerArduino) {
        boards = &arduino_boards;
    }
    {
        std::lock_guard lock(names_mutex_);
        maker_name = lookup(makers, maker_id);
        if (boards != nullptr) {
            board_name = lookup(*boards, board_id);
        }
    }
    if (boards == nullptr) {
        std::ostringstream line;
        line << "Error unknown hardware: 0x" << std::hex << unsigned{maker_id} << ":0x"
             << unsigned{board_id};
        out_line(line.str());
        // The port stays open, but no further command is let through.
        connected.store(0);
    }
}

void Server::decode_response(std::string line, CommandReply reply) {
    const std::vector<uint8_t>& bytes = reply.bytes;
    if (bytes.empty()) {
        return;
    }
    if (connected.load() != 1) {
        out_line("Nop");
        return;
    }
    for (const EchoReply& shape : kEchoReplies) {
        if (line == shape.short_word || line == shape.long_word) {
            decode_echo_reply(shape, bytes);
            return;
        }
    }
    if (line == "ihwmcu") {
        if (bytes.size() != kIdentificationReplyLength) {
            print_length_error(kLengthError, bytes.size(), kIdentificationReplyLength);
            return;
        }
        identify(bytes[2], bytes[3]);
        return;
    }
    if (!line.starts_with('g')) {
        out_line("Unhandled Decoding: " + line);
        out_line("A response was received from server, but Server::decode_response:");
        out_line("does not know how to interpret it ...");
        return;
    }

    const std::string_view rest = std::string_view(line).substr(1);
    const std::string_view pin = leading_digits(rest);
    const std::string_view operation = rest.substr(pin.size());
    static const std::map<std::string_view, std::string_view> kConfigured{
        {"ci", " set as Digital Input."},
        {"co", " set as Digital Output."},
        {"ca", " set as Analog Input."},
        {"cp", " set as PWM Output."},
    };
    if (gpio_reply_length(operation) == 0) {
        error_trace("Unhandled command decoder: " + std::string(operation), __FILE__, __LINE__);
        return;
    }
    // A reply that does not answer this request (a late answer to another
    // one, say) is a transmission error, never a value.
    const GpioReply checked = check_gpio_reply(line, reply);
    switch (checked.status) {
        case GpioReply::Status::kNoReply:
            return;
        case GpioReply::Status::kBadEcho:
            report_transmission_error(line, checked.expected, checked.received);
            return;
        case GpioReply::Status::kBadLength:
            print_length_error(kLengthError, checked.length, checked.expected_length);
            return;
        case GpioReply::Status::kOk:
            break;
    }
    const std::string pin_text = "Pin " + std::string(pin);
    if (const auto configured = kConfigured.find(operation); configured != kConfigured.end()) {
        out_line(pin_text + std::string(configured->second));
    } else if (checked.value) {
        out_line(pin_text + " value: " + std::to_string(*checked.value));
    } else if (operation.starts_with("wd")) {
        print_written(pin, operation, " value: ");
    } else {
        print_written(pin, operation, " PWM value: ");
    }
}

void report_transmission_error(std::string word, uint8_t expected, uint8_t received) {
    std::ostringstream line;
    line << "Error on transmission. The Request was: " << word << " (0x" << std::hex
         << unsigned{expected} << ")"
         << " but reaback from server was 0x" << unsigned{received};
    out_line(line.str());
}

Server& quirn_server() {
    // Built after the serial port (main asks for the port first), destroyed before it.
    static Server the_server;
    return the_server;
}
