#pragma once
// tessaro's command line: read as data, before anything is started.

#include <optional>
#include <string>
#include <vector>

#include "app/mqtt_words.h"

struct Options {
    enum class Action { kRun, kHelp, kVersion, kList, kError };
    Action action = Action::kRun;
    std::string port;                  // connect to it at start; empty: none
    bool interval_reads = false;       // --interval-reads
    bool json = false;                 // --json: one JSON object per word
    bool quiet = false;                // --quiet: the reports without the chatter
    bool bail = false;                 // --bail: stop at the first word that failed
    std::optional<std::string> words;  // -c WORDS: run these instead of reading input
    std::optional<std::string> trace;  // --trace FILE: the wire trace there ("-": standard error)
    int http_port = 8088;              // --http-port N: the web front end's port
    bool serve = false;                // --serve: no console; serve PORT until a signal
    std::string listen;                // --listen ADDRESS; empty: localhost only
    std::optional<std::string> token_file;          // --token-file FILE: the web token's file
    std::vector<std::string> allow_hosts;           // --allow-host NAME, each time given
    std::optional<MqttUrl> mqtt;                    // --mqtt URL: the broker to bridge to
    std::string mqtt_user;                          // --mqtt-user NAME; empty: none
    std::optional<std::string> mqtt_password_file;  // --mqtt-password-file FILE
    // --mqtt-prefix, or the default made from PORT; set with mqtt only.
    std::string mqtt_prefix;
    std::string error;  // kError: one line saying what is wrong
};

// The arguments after the program's name. Any error wins over --help,
// --version and --list, and each of these over the ones after it.
Options parse_options(const std::vector<std::string>& args);

std::string usage_text();  // for --help
// For --version: "tessaro 1.0.0 (git 6648d60, built Dec  7 2026 at 13:49:03)\n",
// without the commit when the build had none.
std::string version_text();
