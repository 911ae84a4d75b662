#pragma once
// What the API routes share: JSON answers, running a board word and turning
// its outcome into an HTTP status, reading a request body, and the table
// form in which each part of the API lists its routes.

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/command_outcome.h"
#include "web/web_server.h"

// Whether the caller still wants the board's answer (false once the server
// stops).
using Wanted = std::function<bool()>;
using ApiHandler = void (*)(const HttpRequest&, HttpResponse&, const Wanted&);

// One route: "GET" or "POST", its path as the API description writes it
// ("{pin}" stands for a pin number, matched as decimal digits), its handler,
// and where it runs: on the board queue, or at once for a route that sends
// nothing to the board (it is then answered whatever the board is doing).
struct ApiRoute {
    std::string_view method;
    std::string_view path;
    ApiHandler handler;
    WebServer::Runs runs = WebServer::Runs::kOnBoardQueue;
};

// What a request's board command says on the console: the command layer's
// part of its outcome (the announcement, a prompt after each frame, "Not
// able to decode." and the rest), as the console layer tells it. The
// console sits beside web/, not below it, so the program installs it at
// start-up; without one nothing is echoed. Safe to call from any thread.
using ConsoleEcho = void (*)(const CommandOutcome&);
void set_console_echo(ConsoleEcho echo);
// Runs the line through the command layer and echoes it on the console.
CommandOutcome run_and_echo(const std::string& line, const Wanted& wanted);

void answer(HttpResponse& response, int status, const std::string& body);
void answer_error(HttpResponse& response, int status, std::string_view error);
// 503: {"error":"Board not connected"}, with "waiting_for":PORT while a
// vanished board's port is waited for.
void answer_not_connected(HttpResponse& response);
// The status that says why an outcome is not a success, and its text:
// 503 Board not connected, 504 No reply from board, 502 Bad reply from board.
std::pair<int, std::string_view> failure_status(const CommandOutcome& outcome);
// Runs the line and decodes the reply. On success (or a reply echoed with no
// layout to check further) returns the outcome; otherwise answers with
// failure_status, adding for the new routes (detail) the outcome's own
// reason and the half of a run or stop that was not confirmed.
std::optional<CommandOutcome> run_checked(const std::string& line, HttpResponse& response,
                                          const Wanted& wanted, bool detail = false);
// The body's member as a JSON value; nothing when the body is not a JSON
// object holding it, or nests too deep to be parsed safely.
std::optional<nlohmann::json> body_member(const HttpRequest& request, const char* name);

// The board and its link as GET /api/board answers them; sends nothing.
nlohmann::ordered_json board_record();

// "0-7,13": pins and ascending ranges of pins, 0 to 63, each pin once in
// the order first named; nothing for any other text (an empty item, a range
// backwards, a pin past 63).
std::optional<std::vector<int>> parse_pin_list(std::string_view text);

// The routes of the board panel: board, status, clear, systat, scheduler,
// several pins at once.
const std::vector<ApiRoute>& board_routes();
// Every API route the server registers, GPIO and board alike, in order.
std::vector<ApiRoute> api_routes();
