#pragma once
// The host-side proxy of the board: which board is connected, and the
// decoding of every reply into plain words.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "serial/command_reply.h"

class Server {
public:
    Server();

    // Prints what the reply to the line means. May set the board names and
    // clear the connected flag (unknown maker). Console thread only.
    void decode_response(std::string line, CommandReply reply);

    // The board names, read whole (the prompt reads them from any thread).
    std::pair<std::string, std::string> names() const;
    void set_names(std::string maker, std::string board);

    std::map<uint8_t, std::string> makers;
    std::map<uint8_t, std::string> arduino_boards;
    std::map<uint8_t, std::string> microchip_boards;

private:
    // Guards maker_name and board_name.
    mutable std::mutex names_mutex_;
    std::string maker_name = "-";
    std::string board_name = "-";
};

void report_transmission_error(std::string word, uint8_t expected, uint8_t received);
