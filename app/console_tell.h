#pragma once
// The console's words for a board command's outcome: the exact texts the
// user reads, drawn from the values the command layer and the decoder
// returned. The layers below print nothing; this is where their outcomes
// become lines, traces and renewed prompts.

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/command_outcome.h"

// One thing the console says, in order.
struct Saying {
    enum class Kind {
        kLine,    // the text and a line end
        kTrace,   // the text through error_trace, naming place
        kPrompt,  // "\r" and a fresh prompt, after a frame's transaction
        kError,   // the text on standard error, as given
    };
    Kind kind;
    std::string text;
    Place place{};
};

// Pure. What the command layer's notes say: the refusal, the announcement,
// a prompt after each frame, the unconfirmed halves, "Not able to decode.".
std::vector<Saying> command_sayings(const CommandOutcome& outcome);
// Pure. What the decoded reply says (nothing for an empty reply): a
// transmission or length error, the report, "Board: maker:board" for an
// identification when name_the_board, "Error unknown hardware: ..." for an
// unknown maker, the three "Unhandled Decoding" lines and the reply.
std::vector<Saying> reply_sayings(const CommandOutcome& outcome, bool name_the_board);
// Writes them on the console.
void say(const std::vector<Saying>& sayings);

// A board word typed at the console: the command layer's part, then, when
// the board answered, the decoded reply. Applies an identification to the
// board names; an unknown maker ends the connection. Without a connection
// by then, a reply is told as "Nop".
void tell_outcome(CommandOutcome& outcome, bool name_the_board = true);
// What a web request's command echoes on the console: the command layer's
// part only (the web answer tells the reply).
void tell_command(const CommandOutcome& outcome);
// Runs the identification request and tells it as the connect step does
// (no "Board:" line); the console's connect and the link watcher's return
// of a vanished board both identify this way.
void identify_board();

// "Error on transmission. The Request was: <word> (0x<expected>) but
// reaback from server was 0x<received>", the two values in hexadecimal.
std::string report_transmission_error(const std::string& word, uint8_t expected, uint8_t received);
