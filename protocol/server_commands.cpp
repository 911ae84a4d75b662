// Placeholder until the command layer lands.
#include "protocol/server_commands.h"
#include "app/console_output.h"
#include "app/state.h"

CommandReply run_server_command(std::string line) { if (!line.empty() && connected.load() != 1) out_line("Cannot run a server command while not connected."); return {}; }
CommandReply send_server_code(uint32_t) { return {}; }
