#pragma once
// The host-side proxy of the board: which board is connected, and the
// decoding of every reply into values.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "protocol/command_outcome.h"
#include "serial/command_reply.h"

class Server {
  public:
    Server();

    // Pure, any thread: an outcome the command layer left at kOk gets the
    // status and values its reply makes, by its parsed command's layout,
    // echo rule and decoder (bad echo or length, undecoded, the decoded
    // words, statistics, identification, pin value). Every length is
    // checked before a byte is read. An empty reply is kNoReply.
    void decode_response(CommandOutcome& outcome) const;
    // The same for a line and a reply from elsewhere: the line is parsed,
    // then decoded as the command layer would have.
    CommandOutcome decode_response(std::string line, CommandReply reply) const;

    // Takes an identification's names: the maker's, and the board's when
    // the maker is known; returns whether it is. For an unknown maker the
    // maker name is emptied and the board name kept; the caller ends the
    // connection.
    bool apply_identification(const Identification& identification);

    // The board names, kept by the session (the prompt reads them there).
    std::pair<std::string, std::string> names() const;
    void set_names(std::string maker, std::string board);
    // The identification that gave the current names, ids included;
    // nothing once set_names has replaced them.
    std::optional<Identification> identification() const;

    // Maker id -> maker, and board id -> board for each known maker. Fixed
    // after construction.
    std::map<uint8_t, std::string> makers;
    std::map<uint8_t, std::string> arduino_boards;
    std::map<uint8_t, std::string> microchip_boards;
};

// The program's one board proxy.
Server& quirn_server();
