#pragma once
// The server command layer: the one entry through which every board command
// passes, from the console and from the web handlers alike.

#include <cstdint>
#include <string>

#include "serial/command_reply.h"

// Refuses the line while not connected, sends the scheduler and status words
// itself and hands every other line to the transcoder its first letter
// selects. Reports "Not able to decode." when nothing came back.
CommandReply run_server_command(std::string line);
CommandReply send_server_code(uint32_t code);
