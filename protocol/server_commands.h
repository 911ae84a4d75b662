#pragma once
// The server command layer: the one entry through which every board command
// passes, from the console and from the web handlers alike. It prints
// nothing: what it did is in the outcome it returns.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/command_outcome.h"
#include "protocol/counters.h"
#include "serial/command_reply.h"

// Runs one command line and returns what became of it, the reply decoded
// (Server::decode_response): the line is parsed once. Refuses the line
// while not connected (kNotConnected, with its note); sends the scheduler
// and status words itself and every other line's frame by its family.
// The notes say, in order, what the console tells before the decoded
// reply: the refusal, the announcement, each frame sent, each half of a run
// or stop that the board did not confirm (the reply is then empty, so
// nothing claims success), and "not decoded" when nothing came back unless
// a refusal or an unconfirmed half said why. An identification is returned,
// not applied: the caller applies it (an unknown maker ends the connection).
// A statistics reply is recorded in the statistics ledger, whose window the
// caller then takes (statistics_windows.h): the reply alone covers only the
// time since anyone's last read.
//
// One command runs at a time, from its first request to its last reply,
// whichever thread calls; the two requests of "run" and "stop" are never
// split by another's. A caller that may stop wanting the answer while it
// waits for its turn (a web request whose server is stopping) passes
// wanted: the command is then given up unsent (kNotConnected). A command
// whose turn comes after the session closed is given up the same way,
// whoever asked.
//
// Every command is counted by source and result (protocol/counters.h), and
// one that reached the board by the time it held it.
CommandOutcome run_board_command(std::string line, CommandSource source,
                                 const std::function<bool()>& wanted = {});
// The reply of run_board_command alone.
CommandReply run_server_command(std::string line, CommandSource source,
                                const std::function<bool()>& wanted = {});
// Whatever a waiting command's wanted() reads has changed (a web server
// stopping): every command waiting for its turn asks it again at once.
void wake_command_waiters();
// Sends one of the seven single-byte codes and returns its reply; nothing
// for any other code, which is not sent.
std::optional<CommandReply> send_server_code(uint32_t code);
