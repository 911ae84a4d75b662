#include "web/gpio_api.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "base/console_output.h"
#include "protocol/server_commands.h"

namespace {

using nlohmann::json;

constexpr int32_t kMaxPin = 63;
constexpr int32_t kMaxValue = 63;  // a value travels in six bits of its parameter byte

// One request per connection ("Connection: close" on its answer), so no
// idle connection is left for a stop to wait on; the browser simply opens a
// new one. A new connection gets a second for its request to arrive: the
// library's shortest wait (0 s, about 10 ms) closed connections of a slow or
// busy client before their request, unanswered. A request that has begun to
// arrive gets kReadTimeout for each further piece.
constexpr size_t kRequestsPerConnection = 1;
constexpr time_t kKeepAliveSeconds = 1;
constexpr auto kReadTimeout = std::chrono::milliseconds(200);

const std::string kJson = "application/json";

void answer(httplib::Response& response, int status, const std::string& body) {
    response.status = status;
    response.set_content(body, kJson);
}

void answer_error(httplib::Response& response, int status, std::string_view error) {
    answer(response, status, json{{"error", error}}.dump());
}

// The number of the path; nothing when it is too large for an int.
std::optional<int32_t> path_number(const httplib::Request& request) {
    const std::string& digits = request.matches[1].str();
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

// The command found no board to answer: the session is closed, or the board was silent.
void answer_no_reply(httplib::Response& response) {
    if (session_open()) {
        answer_error(response, 504, "No reply from board");
    } else {
        answer_error(response, 503, "Board not connected");
    }
}

void handle_read(const httplib::Request& request, httplib::Response& response, bool analog) {
    const std::optional<int32_t> pin = path_number(request);
    if (!pin || !valid_pin(*pin)) {
        answer_error(response, 400, "Invalid pin");
        return;
    }
    const CommandReply reply =
        run_server_command("g" + std::to_string(*pin) + (analog ? "ra" : "rd"));
    if (reply.bytes.empty()) {
        answer_no_reply(response);
    } else if (const std::optional<int32_t> value = read_value(reply, analog)) {
        response.set_content(json{{"pin", *pin}, {"value", *value}}.dump(), kJson);
    } else {
        answer_error(response, 502, "Bad reply from board");
    }
}

// The body's member as a JSON value; nothing when the body is not a JSON
// object holding it (a null document counts as an object without it).
std::optional<json> body_member(const httplib::Request& request, const char* name) {
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

void write_pin(const httplib::Request& request, httplib::Response& response) {
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
        if (run_server_command(line).bytes.empty()) {
            answer_no_reply(response);
        } else {
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

void configure_pin(const httplib::Request& request, httplib::Response& response) {
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
    } else if (run_server_command("g" + std::to_string(*pin) + "c" + std::string(word->code))
                   .bytes.empty()) {
        answer_no_reply(response);
    } else if (word->answers_ok) {
        answer(response, 200, R"({"status":"ok"})");
    }
}

// No exception leaves a handler: whatever goes wrong answers 500.
template <typename Handler>
void guarded(const httplib::Request& request, httplib::Response& response, Handler handler) {
    try {
        handler(request, response);
    } catch (...) {
        answer_error(response, 500, "Bad request");
    }
}

std::string lower_case(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// 127.x.x.x, four decimal parts of 0 to 255.
bool is_loopback_ipv4(std::string_view host) {
    int parts = 0;
    for (size_t start = 0; start <= host.size(); ++parts) {
        const size_t dot = std::min(host.find('.', start), host.size());
        const std::string_view part = host.substr(start, dot - start);
        int value = -1;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || part.size() > 3 || error != std::errc() ||
            end != part.data() + part.size() || value > 255 || (parts == 0 && value != 127)) {
            return false;
        }
        start = dot + 1;
    }
    return parts == 4;
}

// A Host header naming this machine's loopback, with our port when it has one.
// Any other name could be a site whose name was made to point here.
bool is_own_host(std::string_view host, int port) {
    const size_t name_end = host.starts_with('[') ? host.find(']') + 1 : host.rfind(':');
    const std::string name = lower_case(host.substr(0, name_end));
    const std::string_view rest = name_end >= host.size() ? "" : host.substr(name_end);
    return (rest.empty() || rest == ":" + std::to_string(port)) &&
           (name == "localhost" || name == "[::1]" || is_loopback_ipv4(name));
}

// Before any file or route: requests for another host, and API requests
// that a page of another origin makes, are refused.
httplib::Server::HandlerResponse check_origin(const httplib::Request& request,
                                              httplib::Response& response, int port) {
    const std::string host = request.get_header_value("Host");
    const bool own_origin =
        !request.path.starts_with("/api/") || !request.has_header("Origin") ||
        lower_case(request.get_header_value("Origin")) == "http://" + lower_case(host);
    if (is_own_host(host, port) && own_origin) {
        return httplib::Server::HandlerResponse::Unhandled;
    }
    answer_error(response, 403, "Forbidden");
    return httplib::Server::HandlerResponse::Handled;
}

// An address of our own, so that a port another program holds fails to
// bind (the library's default would add SO_REUSEPORT and share the port
// silently): SO_REUSEADDR alone where binding after TIME_WAIT needs it,
// SO_EXCLUSIVEADDRUSE where the system has it (there SO_REUSEADDR would let
// another socket take the port). httplib.h brings the socket headers.
void set_socket_options(socket_t sock) {
    const int yes = 1;
#ifdef SO_EXCLUSIVEADDRUSE
    const int option = SO_EXCLUSIVEADDRUSE;
#else
    const int option = SO_REUSEADDR;
#endif
    setsockopt(sock, SOL_SOCKET, option, reinterpret_cast<const char*>(&yes), sizeof yes);
}

}  // namespace

std::optional<int32_t> read_value(const CommandReply& reply, bool analog) {
    if (reply.bytes.size() < (analog ? 4u : 3u)) {
        return std::nullopt;
    }
    return analog ? reply.bytes[2] + 256 * reply.bytes[3] : reply.bytes[2];
}

void handle_gpio_grd(const httplib::Request& request, httplib::Response& response) {
    guarded(request, response, [](auto& req, auto& res) { handle_read(req, res, false); });
}

void handle_gpio_gra(const httplib::Request& request, httplib::Response& response) {
    guarded(request, response, [](auto& req, auto& res) { handle_read(req, res, true); });
}

void handle_gpio_gwd(const httplib::Request& request, httplib::Response& response) {
    guarded(request, response, write_pin);
}

void handle_gpio_config(const httplib::Request& request, httplib::Response& response) {
    guarded(request, response, configure_pin);
}

void set_up_http_server(httplib::Server& server, int port) {
    server.set_socket_options(set_socket_options);
    // Headers and body leave in separate writes: without this, the body would
    // wait for the client's delayed acknowledgement.
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(kRequestsPerConnection);
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_read_timeout(kReadTimeout);
    server.set_pre_routing_handler(
        [port](const httplib::Request& request, httplib::Response& response) {
            return check_origin(request, response, port);
        });
    server.Get(R"(/api/gpio/grd/(\d+))", handle_gpio_grd);
    server.Get(R"(/api/gpio/gra/(\d+))", handle_gpio_gra);
    server.Post(R"(/api/gpio/gwd/(\d+))", handle_gpio_gwd);
    server.Post(R"(/api/gpio/config/(\d+))", handle_gpio_config);
}
