#include "app/console_tell.h"

#include <span>
#include <sstream>
#include <string_view>

#include "base/console_output.h"
#include "base/session.h"
#include "protocol/class_quirn_server.h"
#include "protocol/server_commands.h"
#include "serial/wire_trace.h"

namespace {

Saying line(std::string text) {
    return {Saying::Kind::kLine, std::move(text)};
}

std::string hex(unsigned value) {
    std::ostringstream text;
    text << std::hex << value;
    return text.str();
}

std::string binary_digits(uint8_t word) {
    std::string digits;
    for (int bit = 7; bit >= 0; --bit) {
        digits += ((word >> bit) & 1) != 0 ? '1' : '0';
    }
    return digits;
}

void tell_word(std::vector<Saying>& said, std::string_view name, uint8_t word,
               std::span<const BitField> bits) {
    said.push_back(line(""));
    said.push_back(line(std::string(name) + binary_digits(word)));
    for (const BitField& field : bits) {
        said.push_back(line(std::string(((word >> field.bit) & 1) != 0 ? field.set : field.clear)));
    }
}

Saying load_line(std::string_view label, uint32_t numerator, uint32_t denominator) {
    std::ostringstream text;
    text << label << percent_of(numerator, denominator) << " %"
         << " (" << numerator << " / " << denominator << ")";
    return line(text.str());
}

void tell_statistics(std::vector<Saying>& said, const Statistics& s) {
    const uint32_t period = s.period();
    said.push_back(line(""));
    said.push_back(line("Systats:"));
    said.push_back(load_line("RT load min:           ", s.load_min, period));
    said.push_back(load_line("RT load max:           ", s.load_max, period));
    said.push_back(load_line("RT load avg:           ", s.load_avg, period));
    said.push_back(load_line("Kernel stack load min: ", s.kernel_stack_min, s.kernel_stack_size));
    said.push_back(load_line("Kernel stack load max: ", s.kernel_stack_max, s.kernel_stack_size));
    said.push_back(load_line("User stack load min:   ", s.user_stack_min, s.user_stack_size));
    said.push_back(load_line("User stack load max:   ", s.user_stack_max, s.user_stack_size));
}

// The pin and the value are told as typed, leading zeros included.
void tell_pin(std::vector<Saying>& said, const CommandOutcome& outcome) {
    const BoardCommand& command = outcome.command;
    const std::string pin = "Pin " + command.pin_text;
    switch (command.decoder) {
        case Decoder::kPinMode:
            said.push_back(line(pin + " set as " + std::string(command.spec->text) + "."));
            return;
        case Decoder::kDigitalRead:
        case Decoder::kAnalogRead:
            said.push_back(line(pin + " value: " + std::to_string(outcome.value.value_or(0))));
            return;
        case Decoder::kDigitalWrite:
        case Decoder::kPwmWrite:
            if (!command.pin_text.empty() && !command.value_text.empty()) {
                said.push_back(line(pin + (command.decoder == Decoder::kPwmWrite ? " PWM" : "") +
                                    " value: " + command.value_text + " written on port."));
            }
            return;
        default:
            return;
    }
}

std::string refusal_text(const BoardCommand& command) {
    switch (command.refusal) {
        case Refusal::kNoString:
            return "Error, no string in.";
        case Refusal::kNopLine:
            return "Nop: " + command.line;
        case Refusal::kNop:
            return "Nop";
        case Refusal::kNotImplemented:
            return "Not implemented";
        case Refusal::kPinOutOfRange:
            return "Pin number out of range: " + command.refused_number + " (0 to " +
                   std::to_string(kLargestParameter) + ")";
        case Refusal::kValueOutOfRange:
            return "Value out of range: " + command.refused_number + " (0 to " +
                   std::to_string(kLargestParameter) + ")";
        case Refusal::kNone:
            break;
    }
    return {};
}

std::string unconfirmed_text(const CommandOutcome& outcome, const Note& note) {
    const std::string half =
        note.kernel_half ? " of the kernel tasks (K-ST)" : " of the user tasks (U-ST)";
    std::string why;
    if (note.length == 0) {
        why = "no reply";
    } else if (note.length != 1) {
        why = std::to_string(note.length) + " bytes instead of 1";
    } else {
        why = "reply 0x" + hex(note.received) + " instead of 0x" + hex(note.expected);
    }
    return std::string(outcome.command.pair->action) + half + " not confirmed: " + why;
}

}  // namespace

std::string report_transmission_error(const std::string& word, uint8_t expected, uint8_t received) {
    return "Error on transmission. The Request was: " + word + " (0x" + hex(expected) + ")" +
           " but reaback from server was 0x" + hex(received);
}

namespace {

// What a transaction says besides its reply, on standard error; a frame's
// renews the prompt afterwards, unless it was never sent.
void transaction_sayings(const Note& note, std::vector<Saying>& said) {
    if (note.refused_size != 0) {
        said.push_back(
            {Saying::Kind::kError, "Error: Frame of " + std::to_string(note.refused_size) +
                                       " bytes not sent, the limit is " +
                                       std::to_string(SerialPort::kMaxFrameSize) + "\n"});
        return;
    }
    if (note.discarded > 0) {
        said.push_back(
            {Saying::Kind::kError, "Discarded " + std::to_string(note.discarded) +
                                       (note.discarded == 1 ? " stale byte" : " stale bytes") +
                                       " from " + note.port + " before the request\n"});
    }
    if (note.write_failed) {
        said.push_back({Saying::Kind::kError, "Error: Failed to write to COM port\n"});
    }
    if (note.read_failed) {
        said.push_back({Saying::Kind::kError, "\nError: Failed to read from COM port\n"});
    }
    if (note.kind == Note::Kind::kFrameSent) {
        said.push_back({Saying::Kind::kPrompt, ""});
    }
}

}  // namespace

std::vector<Saying> command_sayings(const CommandOutcome& outcome) {
    const BoardCommand& command = outcome.command;
    std::vector<Saying> said;
    for (const Note& note : outcome.notes) {
        switch (note.kind) {
            case Note::Kind::kNotConnected:
                said.push_back(line("Cannot run a server command while not connected."));
                break;
            case Note::Kind::kRefused:
                if (command.refusal == Refusal::kNoString) {
                    said.push_back({Saying::Kind::kTrace, refusal_text(command), note.place});
                } else if (command.refusal != Refusal::kNone) {
                    said.push_back(line(refusal_text(command)));
                }
                break;
            case Note::Kind::kAnnounced:
                said.push_back(line(std::string(command.pair != nullptr ? command.pair->announcement
                                                                        : command.spec->text)));
                break;
            case Note::Kind::kByteSent:
            case Note::Kind::kFrameSent:
                transaction_sayings(note, said);
                break;
            case Note::Kind::kUnconfirmed:
                said.push_back(line(unconfirmed_text(outcome, note)));
                break;
            case Note::Kind::kNotDecoded:
                said.push_back({Saying::Kind::kTrace, "Not able to decode.", note.place});
                break;
        }
    }
    return said;
}

std::vector<Saying> reply_sayings(const CommandOutcome& outcome, bool name_the_board) {
    const BoardCommand& command = outcome.command;
    std::vector<Saying> said;
    if (outcome.reply.bytes.empty()) {
        return said;
    }
    if (command.decoder == Decoder::kUnknownGpio) {
        said.push_back({Saying::Kind::kTrace, "Unhandled command decoder: " + command.operation,
                        outcome.unhandled_at});
        return said;
    }
    switch (outcome.status) {
        case CommandStatus::kBadEcho:
            said.push_back(line(
                report_transmission_error(command.echo_word, outcome.expected, outcome.received)));
            return said;
        case CommandStatus::kBadLength:
            said.push_back(line(std::string(command.decoder == Decoder::kStatistics
                                                ? "Error status response length: "
                                                : "Error response length: ") +
                                std::to_string(outcome.length) +
                                " != " + std::to_string(outcome.expected_length)));
            return said;
        case CommandStatus::kUndecoded:
            said.push_back(line("Unhandled Decoding: " + outcome.word));
            said.push_back(
                line("A response was received from server, but Server::decode_response:"));
            said.push_back(line("does not know how to interpret it ..."));
            said.push_back(line("Reply: " + wire_trace::hex_bytes(outcome.reply.bytes)));
            return said;
        case CommandStatus::kUnknownHardware:
            said.push_back(line("Error unknown hardware: 0x" +
                                hex(outcome.identification->maker_id) + ":0x" +
                                hex(outcome.identification->board_id)));
            return said;
        case CommandStatus::kOk:
            break;
        default:  // told by the command layer's notes
            return said;
    }
    if (outcome.words) {
        tell_word(said, "bs_status: ", outcome.words->status, status_bits());
        tell_word(said, "bs_alarm: ", outcome.words->alarm, alarm_bits());
        tell_word(said, "bs_fault: ", outcome.words->fault, fault_bits());
    } else if (outcome.statistics) {
        tell_statistics(said, *outcome.statistics);
    } else if (command.decoder == Decoder::kConfirmation) {
        said.push_back(line(std::string(command.pair != nullptr ? command.pair->confirmation
                                                                : command.spec->confirmation)));
    } else if (outcome.identification) {
        if (name_the_board) {
            said.push_back(line("Board: " + outcome.identification->maker + ":" +
                                outcome.identification->board));
        }
    } else {
        tell_pin(said, outcome);
    }
    return said;
}

void say(const std::vector<Saying>& sayings) {
    for (const Saying& saying : sayings) {
        switch (saying.kind) {
            case Saying::Kind::kLine:
                out_line(saying.text);
                break;
            case Saying::Kind::kTrace:
                error_trace(saying.text, saying.place.file, saying.place.line);
                break;
            case Saying::Kind::kPrompt:
                renew_prompt();
                break;
            case Saying::Kind::kError:
                err(saying.text);
                break;
        }
    }
}

void tell_outcome(CommandOutcome& outcome, bool name_the_board) {
    say(command_sayings(outcome));
    if (outcome.reply.bytes.empty()) {
        return;
    }
    if (!session().state().connected()) {
        out_line("Nop");
        return;
    }
    if (outcome.identification && !quirn_server().apply_identification(*outcome.identification)) {
        // The port stays open, but no further command is let through.
        session().refused();
    }
    say(reply_sayings(outcome, name_the_board));
}

void tell_command(const CommandOutcome& outcome) {
    say(command_sayings(outcome));
}

void identify_board() {
    CommandOutcome outcome = run_board_command("ihwmcu", CommandSource::kConsole);
    tell_outcome(outcome, false);
}
