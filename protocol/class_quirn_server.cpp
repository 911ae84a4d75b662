#include "protocol/class_quirn_server.h"

#include <utility>
#include <vector>

#include "base/session.h"

namespace {

constexpr uint8_t kMakerArduino = 0x06;
constexpr uint8_t kMakerMicrochip = 0x30;
constexpr uint8_t kBoardUnoR4Minima = 0x09;  // an Arduino board id
constexpr uint8_t kBoardPic16f628 = 0x09;    // a Microchip board id

void bad_echo(CommandOutcome& outcome, uint8_t expected, uint8_t received) {
    outcome.status = CommandStatus::kBadEcho;
    outcome.expected = expected;
    outcome.received = received;
}

// Whether byte 0 answers the request: its code, or for "run" and "stop"
// the code of either half.
bool echoes(const BoardCommand& command, uint8_t byte) {
    if (command.pair != nullptr) {
        return byte == command.pair->user_code || byte == command.pair->kernel_code;
    }
    return byte == command.echo_code;
}

// The echo and the length, in the order the command's rule says; false
// (with the status set) when either is wrong.
bool layout_holds(CommandOutcome& outcome) {
    const BoardCommand& command = outcome.command;
    const std::vector<uint8_t>& bytes = outcome.reply.bytes;
    const bool code_echo =
        command.echo == EchoRule::kCodeBeforeLength || command.echo == EchoRule::kCodeAfterLength;
    if (command.echo == EchoRule::kCodeBeforeLength && !echoes(command, bytes[0])) {
        bad_echo(outcome, command.echo_code, bytes[0]);
        return false;
    }
    // The code and the pin's parameter byte come back first, whatever the
    // layout; a reply too short to hold them is left to the length check.
    if (command.echo == EchoRule::kCodeAndPin && command.frame.size() >= 3) {
        for (size_t i = 0; i < 2 && i < bytes.size(); ++i) {
            if (bytes[i] != command.frame[i]) {
                bad_echo(outcome, command.frame[i], bytes[i]);
                return false;
            }
        }
    }
    if (command.decoder == Decoder::kUnknownGpio || command.reply_length == 0) {
        return true;
    }
    if (bytes.size() != command.reply_length) {
        outcome.status = CommandStatus::kBadLength;
        outcome.expected_length = command.reply_length;
        return false;
    }
    if (code_echo && !echoes(command, bytes[0])) {
        bad_echo(outcome, command.echo_code, bytes[0]);
        return false;
    }
    return true;
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

void Server::decode_response(CommandOutcome& outcome) const {
    const BoardCommand& command = outcome.command;
    const std::vector<uint8_t>& bytes = outcome.reply.bytes;
    outcome.length = bytes.size();
    if (!outcome.ok()) {
        return;
    }
    if (bytes.empty()) {
        outcome.status = CommandStatus::kNoReply;
        return;
    }
    if (command.family == Family::kGpio) {
        outcome.pin = command.pin;
    }
    // Told whatever the echo: the console's trace names this place.
    if (command.decoder == Decoder::kUnknownGpio) {
        outcome.unhandled_at = {__FILE__, __LINE__};
    }
    if (!layout_holds(outcome)) {
        return;
    }
    switch (command.decoder) {
        case Decoder::kUndecoded:
        case Decoder::kUnknownGpio:
            outcome.status = CommandStatus::kUndecoded;
            return;
        case Decoder::kConfirmation:
        case Decoder::kPinMode:
            return;
        case Decoder::kStatus:
            outcome.words = BoardWords{bytes[1], bytes[2], bytes[3]};
            return;
        case Decoder::kStatistics:
            outcome.statistics =
                Statistics{bytes[1], bytes[2], bytes[3], bytes[4],  bytes[5], bytes[6],
                           bytes[7], bytes[8], bytes[9], bytes[10], bytes[11]};
            return;
        case Decoder::kDigitalRead:
            outcome.value = bytes[2];
            return;
        case Decoder::kAnalogRead:
            outcome.value = bytes[2] + 256u * bytes[3];
            return;
        case Decoder::kDigitalWrite:
        case Decoder::kPwmWrite:
            outcome.value = command.value;
            return;
        case Decoder::kIdentification: {
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
            return;
        }
    }
}

CommandOutcome Server::decode_response(std::string line, CommandReply reply) const {
    CommandOutcome outcome;
    outcome.word = line;
    outcome.command = parse_command(std::move(line));
    outcome.reply = std::move(reply);
    decode_response(outcome);
    return outcome;
}

bool Server::apply_identification(const Identification& identification) {
    const bool known =
        identification.maker_id == kMakerArduino || identification.maker_id == kMakerMicrochip;
    if (known) {
        session().identified(identification.maker, identification.board, identification.maker_id,
                             identification.board_id);
    } else {
        session().set_names(identification.maker, session().state().board);
    }
    return known;
}

Server& quirn_server() {
    // Built after the serial port (main asks for the port first), destroyed before it.
    static Server the_server;
    return the_server;
}
