#pragma once
// The server command layer: the one entry through which every board command
// passes, from the console and from the web handlers alike.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/command_outcome.h"
#include "serial/class_serial.h"
#include "serial/command_reply.h"

// Runs one command line and tells what became of it: the status and, when
// the board answered, its reply, still to be decoded (Server::decode). The
// reports it makes on the console are those of run_server_command.
CommandOutcome run_board_command(std::string line, const std::function<bool()>& wanted = {});

// Refuses the line while not connected, sends the scheduler and status words
// itself and hands every other line to the transcoder its first letter
// selects. Reports "Not able to decode." when nothing came back, unless the
// line's own report said why (a refused GPIO line, a run or stop that the
// board did not confirm in full: each failed half gets its line, and the
// reply is empty, so nothing claims success). One command
// runs at a time, from its announcement to its last reply, whichever thread
// calls; the two requests of "run" and "stop" are never split by another's.
// A caller that may stop wanting the answer while it waits for its turn
// (a web request whose server is stopping) passes wanted: the command is
// then given up unsent, silently, with an empty reply. A command whose turn
// comes after the session closed is given up the same way, whoever asked.
CommandReply run_server_command(std::string line, const std::function<bool()>& wanted = {});
// Sends one of the seven single-byte codes and returns its reply; any other
// code prints "QUIRN Command Nop: <code>" and sends nothing.
CommandReply send_server_code(uint32_t code);
// moves to the console layer: prints what the transaction says besides its
// reply (stale bytes discarded, a failed write or read, a refused frame),
// renews the prompt after a frame, and returns the reply.
CommandReply reply_of(Transaction transaction, bool frame = false);
// Every word the server layer takes whole (the scheduler and status words,
// short and long, then the information, power and memory words), for
// completion at the console.
std::vector<std::string> server_words();
