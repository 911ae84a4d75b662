#pragma once
// The MQTT bridge's words: where it connects, the topics it uses, and what
// a message on PREFIX/cmd asks for. Pure: no broker, no board.
//
//   PREFIX/link    retained: connected, waiting or offline (also the last will)
//   PREFIX/board   retained: the /api/board object
//   PREFIX/status  the status event of the live streams, once a second
//   PREFIX/systat  the systat event of the live streams, once a second
//   PREFIX/cmd     in: one console word, or {"word":"g2rd","id":...}
//   PREFIX/result  out: the word's --json record, with the id copied

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

struct MqttUrl {
    bool tls = false;  // mqtts://
    std::string host;  // an IPv6 address without its brackets
    int port = 1883;   // 8883 for mqtts:// when none is given
};

// "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]" (HOST may be [IPv6]); an
// optional final "/". Nothing, with why, for anything else.
std::optional<MqttUrl> parse_mqtt_url(std::string_view url, std::string& why);

// "tessaro/" and the port's base name, each character other than a letter,
// digit, '-' or '_' made '_'; empty when the port has no base name.
std::string default_mqtt_prefix(std::string_view port);
// What is wrong with a prefix given by the user (empty, a wildcard, a
// control character, not UTF-8); empty when nothing is.
std::string mqtt_prefix_problem(std::string_view prefix);

// A message on PREFIX/cmd, read.
struct MqttCommand {
    static constexpr size_t kMaxPayload = 4096;
    std::string word;                          // in lower case; empty when none was read
    std::optional<nlohmann::ordered_json> id;  // copied into the answer
    std::string error;                         // empty: run word; else why not, as an "error"
    std::string message;                       // with error: said in words
};
// Payload: one console word, or a JSON object with a string "word" and
// any "id". Words that end the program, change the connection or the
// web front end, or belong to the console (help, listing, modes) are
// refused with "not_allowed"; a payload that is neither form (too long,
// not UTF-8, not one word) with "bad_payload".
MqttCommand parse_mqtt_command(std::string_view payload);
// The answer to a command that did not run: its word, "ok":false, its
// error and message, and its id.
nlohmann::ordered_json mqtt_refusal(const MqttCommand& command);
