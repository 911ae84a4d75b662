#include "app/mqtt_words.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "protocol/outcome_json.h"

namespace {

using json = nlohmann::ordered_json;

bool is_ascii_word(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

std::string lower(std::string_view text) {
    std::string word(text);
    for (char& c : word) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return word;
}

// The console's own words: quitting, connecting, the web front end's
// switch, help, listing and the modes.
constexpr std::array<std::string_view, 19> kConsoleWords{
    "quit", "qq", "exit", "co",  "di",     "http_run", "http_stop", "?",   "h",     "l",
    "ls",   "c",  "c:",   "cli", "client", "s",        "s:",        "ser", "server"};

MqttCommand refused(std::string error, std::string message, std::string word = {}) {
    MqttCommand command;
    command.word = std::move(word);
    command.error = std::move(error);
    command.message = std::move(message);
    return command;
}

constexpr const char* kForms =
    "a command is one console word (g2rd) or a JSON object {\"word\":\"g2rd\",\"id\":...}";

}  // namespace

std::optional<MqttUrl> parse_mqtt_url(std::string_view url, std::string& why) {
    MqttUrl parsed;
    if (url.starts_with("mqtt://")) {
        url.remove_prefix(7);
    } else if (url.starts_with("mqtts://")) {
        url.remove_prefix(8);
        parsed.tls = true;
        parsed.port = 8883;
    } else {
        why = "--mqtt needs mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
        return std::nullopt;
    }
    if (url.ends_with('/')) {
        url.remove_suffix(1);
    }
    std::string_view port;
    if (url.starts_with('[')) {
        const size_t close = url.find(']');
        if (close == std::string_view::npos) {
            why = "--mqtt: an IPv6 address without its closing ]";
            return std::nullopt;
        }
        parsed.host = url.substr(1, close - 1);
        const std::string_view rest = url.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            why = "--mqtt: after the host, only :PORT";
            return std::nullopt;
        }
        port = rest.empty() ? rest : rest.substr(1);
        if (rest == ":") {
            port = ":";  // an empty port, refused below
        }
    } else {
        const size_t colon = url.find(':');
        parsed.host = url.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = url.substr(colon + 1);
            if (port.empty()) {
                port = ":";
            }
        }
    }
    const bool host_ok =
        !parsed.host.empty() && std::all_of(parsed.host.begin(), parsed.host.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '.' || c == '_' || c == ':';
        });
    if (!host_ok) {
        why =
            "--mqtt needs a host name or address: mqtt://HOST[:PORT] (a user goes in "
            "--mqtt-user)";
        return std::nullopt;
    }
    if (!port.empty()) {
        int number = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (error != std::errc() || end != port.data() + port.size() || number < 1 ||
            number > 65535) {
            why = "--mqtt: the port is a number from 1 to 65535";
            return std::nullopt;
        }
        parsed.port = number;
    }
    return parsed;
}

std::string default_mqtt_prefix(std::string_view port) {
    while (port.ends_with('/')) {
        port.remove_suffix(1);
    }
    const size_t slash = port.find_last_of("/\\");
    std::string name(slash == std::string_view::npos ? port : port.substr(slash + 1));
    if (name.empty()) {
        return {};
    }
    for (char& c : name) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!kept) {
            c = '_';
        }
    }
    return "tessaro/" + name;
}

std::string mqtt_prefix_problem(std::string_view prefix) {
    if (prefix.empty() || prefix == "/") {
        return "--mqtt-prefix needs a topic prefix (tessaro/bench1)";
    }
    if (prefix.find_first_of("+#") != std::string_view::npos) {
        return "--mqtt-prefix may not hold the wildcards + and #";
    }
    if (std::any_of(prefix.begin(), prefix.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        return "--mqtt-prefix may not hold control characters";
    }
    if (!valid_utf8(prefix)) {
        return "--mqtt-prefix is not UTF-8 text";
    }
    return {};
}

MqttCommand parse_mqtt_command(std::string_view payload) {
    if (payload.size() > MqttCommand::kMaxPayload) {
        return refused("bad_payload", "the command is longer than " +
                                          std::to_string(MqttCommand::kMaxPayload) + " bytes");
    }
    const size_t first = payload.find_first_not_of(" \t\r\n");
    payload = first == std::string_view::npos ? std::string_view{} : payload.substr(first);
    payload = payload.substr(0, payload.find_last_not_of(" \t\r\n") + 1);
    MqttCommand command;
    std::string_view word = payload;
    if (payload.starts_with('{')) {
        json object = json::parse(payload, nullptr, false);
        if (object.is_discarded() || !object.is_object()) {
            return refused("bad_payload", std::string("not JSON, or not UTF-8: ") + kForms);
        }
        if (const auto id = object.find("id"); id != object.end()) {
            command.id = *id;
        }
        const auto found = object.find("word");
        if (found == object.end() || !found->is_string()) {
            command.error = "bad_payload";
            command.message = std::string("no \"word\" string: ") + kForms;
            return command;
        }
        command.word = found->get<std::string>();
        word = command.word;
    }
    if (!is_ascii_word(word)) {
        command.word.clear();  // nothing worth repeating
        command.error = "bad_payload";
        command.message = std::string("not one console word: ") + kForms;
        return command;
    }
    command.word = lower(word);
    if (std::find(kConsoleWords.begin(), kConsoleWords.end(), command.word) !=
        kConsoleWords.end()) {
        command.error = "not_allowed";
        command.message = "\"" + command.word +
                          "\" is not taken over MQTT: words that end the program, change the "
                          "connection or the web front end, or belong to the console are typed "
                          "at the console";
    }
    return command;
}

json mqtt_refusal(const MqttCommand& command) {
    json record = {{"word", command.word.empty() ? json(nullptr) : json(command.word)},
                   {"ok", false},
                   {"error", command.error},
                   {"message", command.message}};
    if (command.id) {
        record["id"] = *command.id;
    }
    return record;
}
