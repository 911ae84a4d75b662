#pragma once
// The HTTP side of the web front end: the four GPIO routes (the board
// panel's routes are in board_api.cpp), the static directories and the
// checks every request passes first. The handlers reach
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
// Invalid value, 500 Bad request (a body that is not the expected JSON, or
// nested too deep), 403 Forbidden, 404 Not found, 405 Method not allowed
// (HEAD), 413 Request body too large (over 64 KB), 415 (a compressed
// body), 416 (too many ranges), 501 Not implemented, 502 Bad reply from
// board (a reply that does not answer the request), 503 Board not
// connected (with "waiting_for":PORT while a vanished board's port is
// waited for), 504 No reply from board. Nothing reaches the board for a
// refused request.

#include <memory>

#include "web/web_access.h"
#include "web/web_server.h"

class EventHub;

// Makes server serve as the program does on the given port: its socket
// options, the request checks (Host, the token when access has one,
// Origin, Sec-Fetch-Site, method, body size and encoding, ranges), every
// route of api_routes() and JSON errors under /api/. Every request, a
// route's or a file's, passes the checks first.
// The static directories are mounted after them by the web thread
// (web/static_dirs.h says where they are found). GET /api/events is fed
// by events, an EventHub of its own when none is given, whose sampler
// GET /metrics reads too (web/metrics_api.h).
void set_up_http_server(WebServer& server, int port, const WebAccess& access = {},
                        std::shared_ptr<EventHub> events = nullptr);
