#include "protocol/command_outcome.h"

std::string_view status_name(CommandStatus status) {
    switch (status) {
        case CommandStatus::kOk:
            return "ok";
        case CommandStatus::kNotConnected:
            return "not_connected";
        case CommandStatus::kUnknownWord:
            return "unknown_word";
        case CommandStatus::kOutOfRange:
            return "out_of_range";
        case CommandStatus::kNotImplemented:
            return "not_implemented";
        case CommandStatus::kNoReply:
            return "no_reply";
        case CommandStatus::kBadLength:
            return "bad_length";
        case CommandStatus::kBadEcho:
            return "bad_echo";
        case CommandStatus::kUnconfirmed:
            return "unconfirmed";
        case CommandStatus::kUndecoded:
            return "undecoded";
        case CommandStatus::kUnknownHardware:
            return "unknown_hardware";
    }
    return "unknown";
}

float percent_of(uint32_t numerator, uint32_t denominator) {
    return static_cast<float>(numerator) / static_cast<float>(denominator) * 100.0f;
}

Note transaction_note(const Transaction& transaction, Note::Kind kind) {
    Note note{kind};
    note.refused_size = transaction.refused_size.value_or(0);
    note.discarded = transaction.discarded;
    note.port = transaction.port_name;
    note.write_failed = transaction.write_failed;
    note.read_failed = !transaction.read.ok;
    return note;
}
