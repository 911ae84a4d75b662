// Placeholder until the decoder lands.
#include "protocol/class_quirn_server.h"

Server::Server() {}
void Server::decode_response(std::string, CommandReply) {}
std::pair<std::string, std::string> Server::names() const { std::lock_guard lock(names_mutex_); return {maker_name, board_name}; }
void Server::set_names(std::string maker, std::string board) { std::lock_guard lock(names_mutex_); maker_name = std::move(maker); board_name = std::move(board); }
void report_transmission_error(std::string, uint8_t, uint8_t) {}
