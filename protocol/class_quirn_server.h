#pragma once
// The host-side proxy of the board: which board is connected, and the
// decoding of every reply into plain words.

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

    // Prints what the reply to the line means; the line is the one given to
    // run_server_command. An empty reply prints nothing (the command layer
    // has reported it); without a connection any other reply prints "Nop".
    // Every length is checked before a byte is read. May set the board names
    // and clear the connected flag (unknown maker). Called by the console
    // thread, and by the link watcher for a board that came back; the two
    // never identify a board at the same time (the session lock).
    void decode_response(std::string line, CommandReply reply);
    // The same for an outcome of run_board_command: decodes its reply into
    // it (status and values), applies an identification, and prints the
    // texts decode_response prints. name_the_board adds a "Board: " line
    // for an identification typed as a word.
    void tell(CommandOutcome& outcome, bool name_the_board = true);
    // Pure: an outcome the command layer left at kOk gets the status and
    // values its reply makes (bad echo or length, undecoded, the decoded
    // words, statistics, identification, pin value). Any thread.
    void decode(CommandOutcome& outcome) const;

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

  private:
    // Takes the identified names; an unknown maker is reported and ends
    // the connection (known false).
    void identify(const Identification& identification, bool known);
};

// The program's one board proxy.
Server& quirn_server();

// One line: "Error on transmission. The Request was: <word> (0x<expected>)
// but reaback from server was 0x<received>", the two values in hexadecimal.
void report_transmission_error(std::string word, uint8_t expected, uint8_t received);
