#pragma once
// The MQTT bridge (--mqtt): the board's link, identity, status and
// statistics published to a broker under a prefix, and words taken from
// PREFIX/cmd through the same command layer as the console's, answered on
// PREFIX/result (topics in app/mqtt_words.h). Runs on a thread of its own
// beside libmosquitto's; a broker that is away at start or goes away is
// tried again (within a second, then with a growing wait of up to 30 s)
// while the rest of the program carries on. Each loss and return is one
// line on the console or the service log. POSIX builds only.

#include <optional>
#include <string>

#include "app/mqtt_words.h"

struct MqttSettings {
    MqttUrl url;
    std::string user;                     // empty: none
    std::optional<std::string> password;  // with user only
    std::string prefix;                   // without a final '/'
};

// Starts the bridge; false, with why, when the library refuses the
// settings (a broker that cannot be reached is no reason: it is tried
// again).
bool start_mqtt_bridge(const MqttSettings& settings, std::string& why);
// Publishes "offline" on PREFIX/link (waiting up to a second for the
// broker to take it) and disconnects. Nothing when not started.
void stop_mqtt_bridge();

// The first line of path, which must be a regular file (a symbolic link is
// not followed); nothing, with why, otherwise.
std::optional<std::string> read_mqtt_password(const std::string& path, std::string& why);
