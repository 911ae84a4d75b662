#include "web/gpio_api.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "base/console_output.h"
#include "base/session.h"
#include "protocol/server_commands.h"
#include "serial/wire_trace.h"
#include "web/api_support.h"
#include "web/event_stream.h"
#include "web/metrics_api.h"
#include "web/trace_api.h"

namespace {

using nlohmann::json;

constexpr int32_t kMaxPin = 63;
constexpr int32_t kMaxValue = 63;  // a value travels in six bits of its parameter byte

// Request bodies are a few bytes of JSON: anything past this is refused
// before it is read, and a document nested deeper than kMaxJsonDepth is
// refused before it is parsed (a deep one would be copied recursively).
constexpr size_t kMaxBodyBytes = WebServer::kMaxBodyBytes;
constexpr int kMaxJsonDepth = 32;
// A file answer in more pieces than this costs more than the file.
constexpr size_t kMaxRanges = 4;

const std::string kJson = "application/json";

// The number of the path; nothing when it is too large for an int.
std::optional<int32_t> path_number(const HttpRequest& request) {
    const std::string& digits = request.matches[1];
    int32_t number = -1;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return number;
}

bool valid_pin(int32_t pin) {
    return pin >= 0 && pin <= kMaxPin;
}

void handle_read(const HttpRequest& request, HttpResponse& response, bool analog,
                 const Wanted& wanted) {
    const std::optional<int32_t> pin = path_number(request);
    if (!pin || !valid_pin(*pin)) {
        answer_error(response, 400, "Invalid pin");
        return;
    }
    if (const auto checked =
            run_checked("g" + std::to_string(*pin) + (analog ? "ra" : "rd"), response, wanted)) {
        response.set_content(json{{"pin", *pin}, {"value", checked->value.value_or(0)}}.dump(),
                             kJson);
    }
}

// The value to write: a boolean (0 or 1) or a number, a fraction cut toward
// zero, that then lies in 0 to 63. Nothing for any other number.
std::optional<int32_t> write_value(const json& value) {
    if (value.is_boolean()) {
        return value.get<bool>() ? 1 : 0;
    }
    if (value.is_number_unsigned()) {
        const uint64_t number = value.get<uint64_t>();
        return number <= kMaxValue ? std::optional<int32_t>(static_cast<int32_t>(number))
                                   : std::nullopt;
    }
    if (value.is_number_integer()) {
        const int64_t number = value.get<int64_t>();
        return number >= 0 && number <= kMaxValue
                   ? std::optional<int32_t>(static_cast<int32_t>(number))
                   : std::nullopt;
    }
    const double number = std::trunc(value.get<double>());
    return std::isfinite(number) && number >= 0 && number <= kMaxValue
               ? std::optional<int32_t>(static_cast<int32_t>(number))
               : std::nullopt;
}

void write_pin(const HttpRequest& request, HttpResponse& response, const Wanted& wanted) {
    const std::optional<int32_t> pin = path_number(request);
    if (!pin) {
        answer_error(response, 400, "Invalid pin");
        return;
    }
    const std::optional<json> value = body_member(request, "value");
    if (!value || !(value->is_number() || value->is_boolean())) {
        answer_error(response, 500, "Bad request");
    } else if (!valid_pin(*pin)) {
        answer_error(response, 400, "Invalid pin");
    } else if (const std::optional<int32_t> level = write_value(*value); !level) {
        answer_error(response, 400, "Invalid value");
    } else {
        out_line("Pin Update: " + std::to_string(*pin));
        const std::string line = "g" + std::to_string(*pin) + "wd" + std::to_string(*level);
        if (run_checked(line, response, wanted)) {
            answer(response, 200, R"({"status":"ok"})");
        }
    }
}

struct ModeWord {
    std::string_view mode;
    std::string_view code;  // empty: the firmware does not implement it
    bool answers_ok;        // {"status":"ok"}; otherwise an empty body
};
constexpr ModeWord kModes[] = {
    {"input", "i", true},    {"output", "o", true},   {"opendrain", "od", false},
    {"pullup", "pu", false}, {"pulldown", "", false}, {"pushpull", "", false},
};

void configure_pin(const HttpRequest& request, HttpResponse& response, const Wanted& wanted) {
    const std::optional<int32_t> pin = path_number(request);
    if (!pin) {
        answer_error(response, 400, "Invalid pin");
        return;
    }
    const std::optional<json> mode = body_member(request, "mode");
    if (!mode || !mode->is_string()) {
        answer_error(response, 500, "Bad request");
        return;
    }
    const auto word = std::find_if(std::begin(kModes), std::end(kModes), [&](const ModeWord& m) {
        return m.mode == mode->get_ref<const std::string&>();
    });
    if (!valid_pin(*pin) || word == std::end(kModes)) {
        answer_error(response, 400, "Invalid pin or mode");
    } else if (word->code.empty()) {
        answer_error(response, 501, "Not implemented");
    } else if (run_checked("g" + std::to_string(*pin) + "c" + std::string(word->code), response,
                           wanted) &&
               word->answers_ok) {
        answer(response, 200, R"({"status":"ok"})");
    }
}

// How deeply the arrays and objects of a JSON text nest, strings skipped;
// the text need not be valid.
int nesting_depth(std::string_view text) {
    int depth = 0;
    int deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

// No exception leaves a handler: whatever goes wrong answers 500.
template <typename Handler>
void guarded(const HttpRequest& request, HttpResponse& response, Handler handler) {
    try {
        handler(request, response);
    } catch (...) {
        answer_error(response, 500, "Bad request");
    }
}

// Registers handler for its route, exceptions answered, what it sends the
// board traced under the request's name.
void route(WebServer& server, const ApiRoute& api_route) {
    const ApiHandler handler = api_route.handler;
    server.add_route(
        api_route.method, api_route.path, api_route.runs,
        [handler](const HttpRequest& request, HttpResponse& response, const Wanted& wanted) {
            const wire_trace::SourceScope source("api " + request.method + " " + request.path);
            guarded(request, response, [&](auto& req, auto& res) { handler(req, res, wanted); });
        });
}

std::string lower_case(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// A Host header naming this machine's loopback, the listen address or a
// name the user allowed, with our port when it has one. Any other name could
// be a site whose name was made to point here.
bool is_allowed_host(std::string_view host, int port, const WebAccess& access) {
    const size_t name_end = host.starts_with('[') ? host.find(']') + 1 : host.rfind(':');
    const std::string name = lower_case(host.substr(0, name_end));
    const std::string_view rest = name_end >= host.size() ? "" : host.substr(name_end);
    if (!rest.empty() && rest != ":" + std::to_string(port)) {
        return false;
    }
    if (name != "::1" && is_loopback_address(name)) {
        return true;
    }
    const auto as_host = [](const std::string& address) {
        const bool ipv6 = address.find(':') != std::string::npos && !address.starts_with('[');
        return lower_case(ipv6 ? "[" + address + "]" : address);
    };
    if (access.listen != "0.0.0.0" && access.listen != "::" && name == as_host(access.listen)) {
        return true;
    }
    return std::any_of(access.allowed_hosts.begin(), access.allowed_hosts.end(),
                       [&](const std::string& allowed) { return name == as_host(allowed); });
}

// The cookie's value in a Cookie header ("a=1; name=value"); empty when absent.
std::string cookie_value(std::string_view cookies, std::string_view name) {
    for (size_t start = 0; start < cookies.size();) {
        const size_t end = std::min(cookies.find(';', start), cookies.size());
        std::string_view pair = cookies.substr(start, end - start);
        pair.remove_prefix(std::min(pair.find_first_not_of(' '), pair.size()));
        if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=') {
            return std::string(pair.substr(name.size() + 1));
        }
        start = end + 1;
    }
    return {};
}

// Whether the request carries the token: as a bearer token, or as the
// cookie the page was given.
bool has_token(const HttpRequest& request, int port, const WebAccess& access) {
    const std::string authorization = request.header("Authorization");
    constexpr std::string_view kBearer = "Bearer ";
    if (authorization.size() > kBearer.size() &&
        lower_case(authorization.substr(0, kBearer.size())) == lower_case(kBearer)) {
        return same_token(std::string_view(authorization).substr(kBearer.size()), access.token);
    }
    return same_token(cookie_value(request.header("Cookie"), token_cookie_name(port)),
                      access.token);
}

// Before any file or route, and before a body is read: requests for
// another host, requests without the token when one is needed, API
// requests that a page of another site makes (a browser says so in Origin
// or Sec-Fetch-Site; an image or a no-cors fetch sends no Origin), and
// requests the program will not take on.
bool check_request(const HttpRequest& request, HttpResponse& response, int port,
                   const WebAccess& access) {
    const auto refuse = [&](int status, std::string_view error) {
        answer_error(response, status, error);
        return true;
    };
    const std::string host = request.header("Host");
    // The metrics are read by programs, as the API is: no page's cookie
    // redirect, and the same cross-site refusals.
    const bool api = request.path.starts_with("/api/") || request.path == kMetricsPath;
    if (!is_allowed_host(host, port, access)) {
        return refuse(403, "Forbidden");
    }
    if (!access.token.empty() && !has_token(request, port, access)) {
        // A page opened as /?token=TOKEN: the token goes into a cookie and
        // out of the address bar, and the page is asked for again.
        if (!api && request.method == "GET" && same_token(request.param("token"), access.token)) {
            response.set_header("Set-Cookie", token_cookie_name(port) + "=" + access.token +
                                                  "; Path=/; HttpOnly; SameSite=Strict");
            response.set_header("Cache-Control", "no-store");
            const bool plain_path = request.path.find_first_not_of(
                                        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "0123456789/._-~") == std::string::npos;
            response.set_redirect(plain_path ? request.path : "/", 303);
            return true;
        }
        response.set_header("WWW-Authenticate", "Bearer");
        return refuse(401,
                      "Unauthorized: send the token (Authorization: Bearer TOKEN), or "
                      "open the address with ?token= that tessaro printed");
    }
    if (api) {
        const std::string site = lower_case(request.header("Sec-Fetch-Site"));
        if (request.has_header("Origin") &&
            lower_case(request.header("Origin")) != "http://" + lower_case(host)) {
            return refuse(403, "Forbidden");
        }
        if (site == "cross-site" || site == "same-site") {
            return refuse(403, "Forbidden");
        }
        if (request.method == "HEAD") {
            response.set_header("Allow", "GET");
            return refuse(405, "Method not allowed");
        }
    }
    const std::string encoding = lower_case(request.header("Content-Encoding"));
    if (!encoding.empty() && encoding != "identity") {
        return refuse(415, "Compressed bodies are not accepted");
    }
    if (request.has_header("Content-Length")) {
        const std::string length = request.header("Content-Length");
        size_t bytes = 0;
        const auto [end, error] =
            std::from_chars(length.data(), length.data() + length.size(), bytes);
        if (error != std::errc() || end != length.data() + length.size() || bytes > kMaxBodyBytes) {
            // The body stays unread: this answer ends the connection.
            response.close = true;
            return refuse(413, "Request body too large");
        }
    }
    const std::string ranges = request.header("Range");
    if (std::count(ranges.begin(), ranges.end(), ',') >= static_cast<long>(kMaxRanges)) {
        return refuse(416, "Too many ranges");
    }
    return false;
}

// The server's own refusals under /api/ (no route, a malformed request, a
// body past the limit) answer in JSON like every other API answer.
void answer_server_error(const HttpRequest& request, HttpResponse& response) {
    if (!request.path.starts_with("/api/") || !response.body.empty()) {
        return;
    }
    switch (response.status) {
        case 404:
            answer_error(response, 404, "Not found");
            break;
        case 405:
            answer_error(response, 405, "Method not allowed");
            break;
        case 413:
            answer_error(response, 413, "Request body too large");
            break;
        case 416:
            answer_error(response, 416, "Range not satisfiable");
            break;
        default:
            answer_error(response, response.status, "Bad request");
            break;
    }
}

void read_digital(const HttpRequest& request, HttpResponse& response, const Wanted& wanted) {
    handle_read(request, response, false, wanted);
}

void read_analog(const HttpRequest& request, HttpResponse& response, const Wanted& wanted) {
    handle_read(request, response, true, wanted);
}

const std::vector<ApiRoute> kGpioRoutes = {
    {"GET", "/api/gpio/grd/{pin}", read_digital},
    {"GET", "/api/gpio/gra/{pin}", read_analog},
    {"POST", "/api/gpio/gwd/{pin}", write_pin},
    {"POST", "/api/gpio/config/{pin}", configure_pin},
};

}  // namespace

namespace {
// Installed once by main before the web thread starts; read by the workers.
std::atomic<ConsoleEcho> console_echo{nullptr};
}  // namespace

void set_console_echo(ConsoleEcho echo) {
    console_echo.store(echo);
}

CommandOutcome run_and_echo(const std::string& line, const Wanted& wanted) {
    CommandOutcome outcome = run_board_command(line, CommandSource::kApi, wanted);
    if (const ConsoleEcho echo = console_echo.load()) {
        echo(outcome);
    }
    return outcome;
}

void answer(HttpResponse& response, int status, const std::string& body) {
    response.status = status;
    response.set_content(body, kJson);
}

void answer_error(HttpResponse& response, int status, std::string_view error) {
    answer(response, status, json{{"error", error}}.dump());
}

void answer_not_connected(HttpResponse& response) {
    json body = {{"error", "Board not connected"}};
    if (const SessionState link = session().state(); link.link == LinkState::kWaiting) {
        body["waiting_for"] = link.port;
    }
    answer(response, 503, body.dump());
}

std::pair<int, std::string_view> failure_status(const CommandOutcome& outcome) {
    switch (outcome.status) {
        case CommandStatus::kNotConnected:
            return {503, "Board not connected"};
        case CommandStatus::kNoReply:
            return {504, "No reply from board"};
        default:
            return {502, "Bad reply from board"};
    }
}

std::optional<CommandOutcome> run_checked(const std::string& line, HttpResponse& response,
                                          const Wanted& wanted, bool detail) {
    CommandOutcome outcome = run_and_echo(line, wanted);
    if (outcome.status == CommandStatus::kOk || outcome.status == CommandStatus::kUndecoded) {
        return outcome;
    }
    if (outcome.status == CommandStatus::kNotConnected) {
        answer_not_connected(response);
        return std::nullopt;
    }
    const auto [status, error] = failure_status(outcome);
    json body = {{"error", error}};
    if (detail) {
        body["reason"] = status_name(outcome.status);
        if (outcome.status == CommandStatus::kUnconfirmed) {
            body["unconfirmed"] = outcome.unconfirmed;
        }
    }
    answer(response, status, body.dump());
    return std::nullopt;
}

// A null document counts as an object without the member.
std::optional<json> body_member(const HttpRequest& request, const char* name) {
    if (nesting_depth(request.body) > kMaxJsonDepth) {
        return std::nullopt;
    }
    const json document = json::parse(request.body, nullptr, false);
    if (!document.is_object()) {
        return std::nullopt;
    }
    const auto member = document.find(name);
    if (member == document.end()) {
        return std::nullopt;
    }
    return *member;
}

std::vector<ApiRoute> api_routes() {
    std::vector<ApiRoute> routes = kGpioRoutes;
    routes.insert(routes.end(), board_routes().begin(), board_routes().end());
    routes.push_back({"GET", "/api/trace",
                      [](const HttpRequest& request, HttpResponse& response, const Wanted&) {
                          answer_trace(request, response);
                      },
                      WebServer::Runs::kAtOnce});
    return routes;
}

void set_up_http_server(WebServer& server, int port, const WebAccess& access,
                        std::shared_ptr<EventHub> events) {
    server.set_check([port, access](const HttpRequest& request, HttpResponse& response) {
        return check_request(request, response, port, access);
    });
    server.set_error_body(answer_server_error);
    for (const ApiRoute& api_route : api_routes()) {
        route(server, api_route);
    }
    if (!events) {
        events = std::make_shared<EventHub>();
    }
    add_metrics_route(server, events);
    server.add_stream_route(EventHub::kPath, std::move(events));
}
