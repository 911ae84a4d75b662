#pragma once
// The HTTP side of the web front end: the four GPIO routes, the static
// directories and the checks every request passes first. The handlers reach
// the board only through run_server_command, like the console.
//
// Routes (pin 0 to 63 in decimal, leading zeros allowed):
//   GET  /api/gpio/grd/<pin>     -> {"pin":5,"value":1}      digital read, 0 to 255
//   GET  /api/gpio/gra/<pin>     -> {"pin":5,"value":4660}   analog read, 0 to 65535
//   POST /api/gpio/gwd/<pin>     {"value":1}                 -> {"status":"ok"}
//   POST /api/gpio/config/<pin>  {"mode":"output"}           -> {"status":"ok"}
//        ("input" and "output" answer {"status":"ok"}, "opendrain" and "pullup"
//        an empty body; "pulldown" and "pushpull" 501)
// Failures answer {"error":"..."}: 400 Invalid pin / Invalid pin or mode /
// Invalid value, 500 Bad request (a body that is not the expected JSON),
// 403 Forbidden, 501 Not implemented, 502 Bad reply from board, 503 Board
// not connected, 504 No reply from board. Nothing reaches the board for a
// refused request.

#include <httplib.h>

#include <cstdint>
#include <optional>

#include "serial/command_reply.h"

void handle_gpio_grd(const httplib::Request& request, httplib::Response& response);
void handle_gpio_gra(const httplib::Request& request, httplib::Response& response);
void handle_gpio_gwd(const httplib::Request& request, httplib::Response& response);
void handle_gpio_config(const httplib::Request& request, httplib::Response& response);

// Makes server serve as the program does on the given port: its socket
// options and time-outs, the Host and Origin check and the four routes. The
// static directories are mounted after them by the web thread
// (web/static_dirs.h says where they are found).
void set_up_http_server(httplib::Server& server, int port);

// The value a read reply carries: byte 2 for a digital read, bytes 2 and 3
// (little-endian) for an analog one. Nothing when the reply is too short.
std::optional<int32_t> read_value(const CommandReply& reply, bool analog);
