#include "protocol/quirn_transcoder.h"

#include <utility>

#include "protocol/command_outcome.h"
#include "protocol/command_table.h"
#include "serial/class_serial.h"

void carry_out(const BoardCommand& command, CommandOutcome& outcome) {
    if (command.refusal != Refusal::kNone) {
        outcome.notes.push_back({Note::Kind::kRefused, {__FILE__, __LINE__}});
    }
    if (command.frame.empty()) {
        outcome.status = command.unsent;
        return;
    }
    Transaction transaction = serial_port().transact_frame(command.frame, command.reply_length);
    outcome.notes.push_back(transaction_note(transaction, Note::Kind::kFrameSent));
    outcome.reply = std::move(transaction.reply);
}

void hand_resync_probe_to_port() {
    serial_port().set_resync_probe({REQ_INFO_HW_MCU, FRAME_END_HW}, reply_length(REQ_INFO_HW_MCU));
}

namespace {

// Parses the line and sends its frame when it belongs to the family; a line
// of another family (a scheduler word, say) sends nothing here.
CommandOutcome transcode(std::string line, Family family) {
    CommandOutcome outcome;
    outcome.word = line;
    outcome.command = parse_command(std::move(line));
    if (outcome.command.family != family) {
        outcome.command.frame.clear();
        outcome.command.refusal = Refusal::kNone;
        outcome.command.unsent = CommandStatus::kUnknownWord;
    }
    carry_out(outcome.command, outcome);
    return outcome;
}

}  // namespace

CommandOutcome transcode_gpio(std::string line) {
    if (!line.empty() && !line.starts_with('g')) {
        CommandOutcome outcome;
        outcome.word = line;
        outcome.command.line = std::move(line);
        outcome.command.refusal = Refusal::kNopLine;
        carry_out(outcome.command, outcome);
        return outcome;
    }
    // The empty line keeps its refusal (traced), whatever its family.
    return line.empty() ? transcode(std::move(line), Family::kNone)
                        : transcode(std::move(line), Family::kGpio);
}

CommandOutcome transcode_info(std::string line) {
    return transcode(std::move(line), Family::kInfo);
}

CommandOutcome transcode_power(std::string line) {
    return transcode(std::move(line), Family::kPower);
}

CommandOutcome transcode_memory(std::string line) {
    return transcode(std::move(line), Family::kMemory);
}
