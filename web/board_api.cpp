// The board panel's routes: what the board is and how its link stands, its
// status words, statistics and schedulers, and several pins in one request.
// Each board word goes through the command layer and the decoder, and its
// answer is the outcome as --json writes it.
//
//   GET  /api/board            -> {"link":"connected","port":"/dev/pts/3","session":2,
//                                  "maker":"Arduino","board":"Uno_R4_Minima",...}
//   GET  /api/status           -> the outcome of sta
//   POST /api/clear            -> the outcome of clr
//   GET  /api/systat?since=N   -> the outcome of sys over the client's window, and the window
//   POST /api/scheduler/run    {"tasks":"user"|"kernel"|"both"} -> rust, rkst or run
//   POST /api/scheduler/stop   {"tasks":...}                    -> sust, skst or stop
//   GET  /api/gpio?pins=0-7,13&read=digital|analog
//        -> {"read":"digital","pins":[{"pin":0,"value":1},{"pin":1,"error":"..."},...]}
//   GET  /api/openapi.json     -> the description of every route (web/openapi.json)

#include <charconv>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "base/session.h"
#include "protocol/class_quirn_server.h"
#include "protocol/json_fields.h"
#include "protocol/outcome_json.h"
#include "protocol/server_commands.h"
#include "protocol/statistics_windows.h"
#include "web/api_support.h"
#include "web/openapi_document.h"

namespace {

// Fields keep the order they are written in, as in outcome_json.
using json = nlohmann::ordered_json;

constexpr int kMaxPin = 63;

void answer_outcome(HttpResponse& response, const CommandOutcome& outcome) {
    answer(response, 200, record_text(outcome_json(outcome)));
}

// Runs one board word and answers with its outcome, or with why it failed.
void run_word(const std::string& word, HttpResponse& response, const Wanted& wanted) {
    if (const std::optional<CommandOutcome> outcome = run_checked(word, response, wanted, true)) {
        answer_outcome(response, *outcome);
    }
}

// Sends nothing: the link as the console and the link watcher left it.
void board(const HttpRequest&, HttpResponse& response, const Wanted&) {
    answer(response, 200, board_record().dump());
}

void status(const HttpRequest&, HttpResponse& response, const Wanted& wanted) {
    run_word("sta", response, wanted);
}

void clear(const HttpRequest&, HttpResponse& response, const Wanted& wanted) {
    run_word("clr", response, wanted);
}

// The statistics over the client's own window: the reads after the cursor
// it passes back as since, or, without one, those since the sampler's last
// period (the fresh read alone while nothing samples).
void systat(const HttpRequest& request, HttpResponse& response, const Wanted& wanted) {
    std::optional<uint64_t> since;
    if (request.has_param("since")) {
        const std::string digits = request.param("since");
        uint64_t cursor = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), cursor);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
            answer_error(response, 400, "Invalid since");
            return;
        }
        since = cursor;
    }
    std::optional<CommandOutcome> outcome = run_checked("sys", response, wanted, true);
    if (!outcome) {
        return;
    }
    if (!outcome->ok() || !outcome->statistics) {
        answer_outcome(response, *outcome);
        return;
    }
    const uint64_t fresh = outcome->statistics_read;
    uint64_t cursor = since.value_or(statistics_ledger().sampler_cursor().value_or(fresh - 1));
    // A cursor from the future (or of this very read) asks for this read.
    cursor = std::min(cursor, fresh - 1);
    const std::optional<StatisticsWindow> window = statistics_ledger().since(cursor);
    if (!window) {  // the connection changed under the read
        answer_outcome(response, *outcome);
        return;
    }
    outcome->statistics = window->statistics;
    json body = outcome_json(*outcome);
    body[json_field::kWindow] = {{json_field::kCursor, window->cursor},
                                 {json_field::kReads, window->reads},
                                 {json_field::kSeconds, window->seconds},
                                 {json_field::kComplete, window->complete}};
    answer(response, 200, record_text(body));
}

// The word for "tasks" in the body: the user, kernel or both words given.
void scheduler(const HttpRequest& request, HttpResponse& response, const Wanted& wanted,
               std::string_view user, std::string_view kernel, std::string_view both) {
    const std::optional<nlohmann::json> tasks = body_member(request, "tasks");
    if (!tasks) {
        answer_error(response, 400, "Bad request");
        return;
    }
    const std::string name = tasks->is_string() ? tasks->get<std::string>() : "";
    const std::string_view word = name == "user"     ? user
                                  : name == "kernel" ? kernel
                                  : name == "both"   ? both
                                                     : "";
    if (word.empty()) {
        answer_error(response, 400, "Invalid tasks");
        return;
    }
    run_word(std::string(word), response, wanted);
}

void scheduler_run(const HttpRequest& request, HttpResponse& response, const Wanted& wanted) {
    scheduler(request, response, wanted, "rust", "rkst", "run");
}

void scheduler_stop(const HttpRequest& request, HttpResponse& response, const Wanted& wanted) {
    scheduler(request, response, wanted, "sust", "skst", "stop");
}

std::optional<int> pin_number(std::string_view digits) {
    int pin = -1;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pin);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        pin > kMaxPin) {
        return std::nullopt;
    }
    return pin;
}

}  // namespace

json board_record() {
    const SessionState link = session().state();
    const bool up = link.connected();
    json body = {{"link", up                                 ? "connected"
                          : link.link == LinkState::kWaiting ? "waiting"
                                                             : "disconnected"},
                 {"port", link.port.empty() ? json(nullptr) : json(link.port)},
                 {"session", link.number}};
    const std::optional<Identification> identification =
        up ? quirn_server().identification() : std::nullopt;
    for (const char* name : {"maker", "board", "maker_id", "board_id"}) {
        body[name] = nullptr;
    }
    if (identification) {
        body["maker"] = identification->maker;
        body["board"] = identification->board;
        body["maker_id"] = identification->maker_id;
        body["board_id"] = identification->board_id;
    }
    body["mqtt_connected"] = link.mqtt_connected;
    return body;
}

std::optional<std::vector<int>> parse_pin_list(std::string_view text) {
    std::vector<int> pins;
    std::vector<bool> named(kMaxPin + 1, false);
    for (size_t start = 0; start <= text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view item = text.substr(start, comma - start);
        const size_t dash = item.find('-');
        const std::optional<int> first = pin_number(item.substr(0, dash));
        const std::optional<int> last =
            dash == std::string_view::npos ? first : pin_number(item.substr(dash + 1));
        if (!first || !last || *first > *last) {
            return std::nullopt;
        }
        for (int pin = *first; pin <= *last; ++pin) {
            if (!named[static_cast<size_t>(pin)]) {
                named[static_cast<size_t>(pin)] = true;
                pins.push_back(pin);
            }
        }
        start = comma + 1;
    }
    return pins;
}

namespace {

// One transaction per pin; a pin the board failed for carries its own error,
// and the others their values. A session that closes on the way answers 503.
void read_pins(const HttpRequest& request, HttpResponse& response, const Wanted& wanted) {
    const std::optional<std::vector<int>> pins =
        request.has_param("pins") ? parse_pin_list(request.param("pins")) : std::nullopt;
    if (!pins) {
        answer_error(response, 400, "Invalid pins");
        return;
    }
    const std::string read = request.has_param("read") ? request.param("read") : "digital";
    if (read != "digital" && read != "analog") {
        answer_error(response, 400, "Invalid read");
        return;
    }
    json values = json::array();
    for (const int pin : *pins) {
        const CommandOutcome outcome =
            run_and_echo("g" + std::to_string(pin) + (read == "analog" ? "ra" : "rd"), wanted);
        if (outcome.status == CommandStatus::kNotConnected) {
            answer_not_connected(response);
            return;
        }
        if (outcome.ok() || outcome.status == CommandStatus::kUndecoded) {
            values.push_back({{"pin", pin}, {"value", outcome.value.value_or(0)}});
        } else {
            values.push_back({{"pin", pin}, {"error", failure_status(outcome).second}});
        }
    }
    answer(response, 200, json{{"read", read}, {"pins", values}}.dump());
}

void openapi(const HttpRequest&, HttpResponse& response, const Wanted&) {
    answer(response, 200, std::string(kOpenApiDocument));
}

}  // namespace

const std::vector<ApiRoute>& board_routes() {
    static const std::vector<ApiRoute> routes = {
        {"GET", "/api/board", board, WebServer::Runs::kAtOnce},
        {"GET", "/api/status", status},
        {"POST", "/api/clear", clear},
        {"GET", "/api/systat", systat},
        {"POST", "/api/scheduler/run", scheduler_run},
        {"POST", "/api/scheduler/stop", scheduler_stop},
        {"GET", "/api/gpio", read_pins},
        {"GET", "/api/openapi.json", openapi, WebServer::Runs::kAtOnce},
    };
    return routes;
}
