#pragma once
// The server command layer: the one entry through which every board command
// passes, from the console and from the web handlers alike.

#include <cstdint>
#include <string>
#include <vector>

#include "serial/command_reply.h"

// Refuses the line while not connected, sends the scheduler and status words
// itself and hands every other line to the transcoder its first letter
// selects. Reports "Not able to decode." when nothing came back, unless the
// line's own report said why (a refused GPIO line, a run or stop that the
// board did not confirm in full: each failed half gets its line, and the
// reply is empty, so nothing claims success). One command
// runs at a time, from its announcement to its last reply, whichever thread
// calls; the two requests of "run" and "stop" are never split by another's.
CommandReply run_server_command(std::string line);
// Whether a session is open now: connected, with the port open. Asked after
// run_server_command returned an empty reply, it tells a board that stayed
// silent (true) from a command refused or cut off by a closed session.
bool session_open();
// Sends one of the seven single-byte codes and returns its reply; any other
// code prints "QUIRN Command Nop: <code>" and sends nothing.
CommandReply send_server_code(uint32_t code);
// Every word the server layer takes whole (the scheduler and status words,
// short and long, then the information, power and memory words), for
// completion at the console.
std::vector<std::string> server_words();
