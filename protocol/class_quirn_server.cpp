#include "protocol/class_quirn_server.h"

#include <array>
#include <map>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "base/console_output.h"
#include "base/session.h"
#include "protocol/board_words.h"
#include "protocol/quirn_transcoder.h"
#include "serial/wire_trace.h"

namespace {

constexpr uint8_t kMakerArduino = 0x06;
constexpr uint8_t kMakerMicrochip = 0x30;
constexpr uint8_t kBoardUnoR4Minima = 0x09;  // an Arduino board id
constexpr uint8_t kBoardPic16f628 = 0x09;    // a Microchip board id

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

void print_status_report(const BoardWords& words) {
    print_word("bs_status: ", words.status, kStatusBits);
    print_word("bs_alarm: ", words.alarm, kAlarmBits);
    print_word("bs_fault: ", words.fault, kFaultBits);
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

void print_statistics_report(const Statistics& statistics) {
    // Unsigned on purpose: a high bound below the low one wraps to 2^32 - shortfall.
    const uint32_t period = statistics.period();
    out_line("");
    out_line("Systats:");
    print_load_line("RT load min:           ", statistics.load_min, period);
    print_load_line("RT load max:           ", statistics.load_max, period);
    print_load_line("RT load avg:           ", statistics.load_avg, period);
    print_load_line("Kernel stack load min: ", statistics.kernel_stack_min,
                    statistics.kernel_stack_size);
    print_load_line("Kernel stack load max: ", statistics.kernel_stack_max,
                    statistics.kernel_stack_size);
    print_load_line("User stack load min:   ", statistics.user_stack_min,
                    statistics.user_stack_size);
    print_load_line("User stack load max:   ", statistics.user_stack_max,
                    statistics.user_stack_size);
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

// The number digits spell, when it fits in 32 bits.
std::optional<uint32_t> number(std::string_view digits) {
    if (digits.empty() || digits.size() > 9) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

// A GPIO line: the pin as typed and the operation after it.
struct GpioLine {
    std::string_view pin;
    std::string_view operation;
};

GpioLine split_gpio(std::string_view line) {
    const std::string_view rest = line.substr(1);
    const std::string_view pin = leading_digits(rest);
    return {pin, rest.substr(pin.size())};
}

const std::map<std::string_view, std::string_view> kConfigured{
    {"ci", " set as Digital Input."},
    {"co", " set as Digital Output."},
    {"ca", " set as Analog Input."},
    {"cp", " set as PWM Output."},
};

void decode_board_word(const BoardWord& word, CommandOutcome& outcome) {
    const std::vector<uint8_t>& bytes = outcome.reply.bytes;
    const auto echo_ok = [&] {
        return bytes[0] == word.first_code ||
               (word.second_code != 0 && bytes[0] == word.second_code);
    };
    const auto bad_echo = [&] {
        outcome.status = CommandStatus::kBadEcho;
        outcome.expected = static_cast<uint8_t>(word.first_code | word.second_code);
        outcome.received = bytes[0];
    };
    if (word.echo_checked_first && !echo_ok()) {
        return bad_echo();
    }
    if (bytes.size() != word.reply_length) {
        outcome.status = CommandStatus::kBadLength;
        outcome.expected_length = word.reply_length;
        return;
    }
    if (!echo_ok()) {
        return bad_echo();
    }
    if (word.report == BoardWord::Report::kStatus) {
        outcome.words = BoardWords{bytes[1], bytes[2], bytes[3]};
    } else if (word.report == BoardWord::Report::kStatistics) {
        outcome.statistics = Statistics{bytes[1], bytes[2], bytes[3], bytes[4],  bytes[5], bytes[6],
                                        bytes[7], bytes[8], bytes[9], bytes[10], bytes[11]};
    }
}

void decode_gpio(CommandOutcome& outcome) {
    const GpioLine line = split_gpio(outcome.word);
    outcome.pin = number(line.pin);
    // A reply that does not answer this request (a late answer to another
    // one, say) is a transmission error, never a value. One that does, to
    // an operation without a known layout, is not interpreted further.
    const GpioReply checked = check_gpio_reply(outcome.word, outcome.reply);
    if (gpio_reply_length(line.operation) == 0) {
        outcome.status = checked.status == GpioReply::Status::kBadEcho ? CommandStatus::kBadEcho
                                                                       : CommandStatus::kUndecoded;
        outcome.expected = checked.expected;
        outcome.received = checked.received;
        return;
    }
    switch (checked.status) {
        case GpioReply::Status::kNoReply:
            outcome.status = CommandStatus::kNoReply;
            return;
        case GpioReply::Status::kBadEcho:
            outcome.status = CommandStatus::kBadEcho;
            outcome.expected = checked.expected;
            outcome.received = checked.received;
            return;
        case GpioReply::Status::kBadLength:
            outcome.status = CommandStatus::kBadLength;
            outcome.expected_length = checked.expected_length;
            return;
        case GpioReply::Status::kOk:
            break;
    }
    if (checked.value) {
        outcome.value = checked.value;
    } else if (line.operation.starts_with("wd") || line.operation.starts_with("wp")) {
        outcome.value = number(leading_digits(line.operation.substr(2)));
    }
}

void print_gpio(const CommandOutcome& outcome) {
    const GpioLine line = split_gpio(outcome.word);
    const std::string pin_text = "Pin " + std::string(line.pin);
    if (const auto configured = kConfigured.find(line.operation); configured != kConfigured.end()) {
        out_line(pin_text + std::string(configured->second));
    } else if (line.operation == "rd" || line.operation == "ra") {
        out_line(pin_text + " value: " + std::to_string(outcome.value.value_or(0)));
    } else if (line.operation.starts_with("wd")) {
        print_written(line.pin, line.operation, " value: ");
    } else {
        print_written(line.pin, line.operation, " PWM value: ");
    }
}

}  // namespace

Server::Server()
    : makers{{kMakerArduino, "Arduino"}, {kMakerMicrochip, "Microchip"}},
      arduino_boards{{kBoardUnoR4Minima, "Uno_R4_Minima"}},
      microchip_boards{{kBoardPic16f628, "PIC16F628"}} {}

std::pair<std::string, std::string> Server::names() const {
    const SessionState now = session().state();
    return {now.maker, now.board};
}

void Server::set_names(std::string maker, std::string board) {
    session().set_names(std::move(maker), std::move(board));
}

std::optional<Identification> Server::identification() const {
    const SessionState now = session().state();
    if (!now.identified) {
        return std::nullopt;
    }
    return Identification{now.maker_id, now.board_id, now.maker, now.board};
}

void Server::decode(CommandOutcome& outcome) const {
    const std::vector<uint8_t>& bytes = outcome.reply.bytes;
    outcome.length = bytes.size();
    if (!outcome.ok()) {
        return;
    }
    if (bytes.empty()) {
        outcome.status = CommandStatus::kNoReply;
        return;
    }
    if (const BoardWord* word = find_board_word(outcome.word)) {
        decode_board_word(*word, outcome);
    } else if (outcome.word == "ihwmcu") {
        if (bytes.size() != kIdentificationReplyLength) {
            outcome.status = CommandStatus::kBadLength;
            outcome.expected_length = kIdentificationReplyLength;
            return;
        }
        const auto lookup = [](const std::map<uint8_t, std::string>& table, uint8_t id) {
            const auto found = table.find(id);
            return found == table.end() ? std::string() : found->second;
        };
        Identification identification{bytes[2], bytes[3], lookup(makers, bytes[2]), ""};
        if (bytes[2] == kMakerMicrochip) {
            identification.board = lookup(microchip_boards, bytes[3]);
        } else if (bytes[2] == kMakerArduino) {
            identification.board = lookup(arduino_boards, bytes[3]);
        } else {
            outcome.status = CommandStatus::kUnknownHardware;
        }
        outcome.identification = std::move(identification);
    } else if (outcome.word.starts_with('g')) {
        decode_gpio(outcome);
    } else {
        outcome.status = CommandStatus::kUndecoded;
    }
}

void Server::identify(const Identification& identification, bool known) {
    if (known) {
        session().identified(identification.maker, identification.board, identification.maker_id,
                             identification.board_id);
    } else {
        session().set_names(identification.maker, session().state().board);
        std::ostringstream line;
        line << "Error unknown hardware: 0x" << std::hex << unsigned{identification.maker_id}
             << ":0x" << unsigned{identification.board_id};
        out_line(line.str());
        // The port stays open, but no further command is let through.
        session().refused();
    }
}

void Server::tell(CommandOutcome& outcome, bool name_the_board) {
    if (outcome.reply.bytes.empty()) {
        return;
    }
    if (!session().state().connected()) {
        out_line("Nop");
        return;
    }
    decode(outcome);
    if (outcome.identification) {
        identify(*outcome.identification, outcome.status != CommandStatus::kUnknownHardware);
    }
    const BoardWord* word = find_board_word(outcome.word);
    if (outcome.word.starts_with('g') &&
        gpio_reply_length(split_gpio(outcome.word).operation) == 0) {
        error_trace("Unhandled command decoder: " + std::string(split_gpio(outcome.word).operation),
                    __FILE__, __LINE__);
        return;
    }
    switch (outcome.status) {
        case CommandStatus::kBadEcho:
            report_transmission_error(word != nullptr ? std::string(word->long_word) : outcome.word,
                                      outcome.expected, outcome.received);
            return;
        case CommandStatus::kBadLength:
            out_line(std::string(word != nullptr ? word->length_error : kLengthError) +
                     std::to_string(outcome.length) +
                     " != " + std::to_string(outcome.expected_length));
            return;
        case CommandStatus::kUndecoded:
            out_line("Unhandled Decoding: " + outcome.word);
            out_line("A response was received from server, but Server::decode_response:");
            out_line("does not know how to interpret it ...");
            out_line("Reply: " + wire_trace::hex_bytes(outcome.reply.bytes));
            return;
        case CommandStatus::kOk:
            break;
        default:  // told by the identification, or by the command layer
            return;
    }
    if (outcome.words) {
        print_status_report(*outcome.words);
    } else if (outcome.statistics) {
        print_statistics_report(*outcome.statistics);
    } else if (word != nullptr) {
        out_line(word->ok_text);
    } else if (outcome.identification) {
        if (name_the_board) {
            out_line("Board: " + outcome.identification->maker + ":" +
                     outcome.identification->board);
        }
    } else {
        print_gpio(outcome);
    }
}

void Server::decode_response(std::string line, CommandReply reply) {
    CommandOutcome outcome;
    outcome.word = std::move(line);
    outcome.reply = std::move(reply);
    tell(outcome, false);
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
