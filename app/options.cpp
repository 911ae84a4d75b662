#include "app/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <exception>
#include <optional>

#include "base/console_output.h"
#include "build_commit.h"

namespace {

constexpr const char* kUsageHint = " (tessaro --help shows the usage)";

// What a value option needs, said when it is given none.
struct ValueOption {
    const char* name;
    const char* needs;
};
constexpr ValueOption kValueOptions[] = {
    {"-c", "-c needs the words to run"},
    {"--trace", "--trace needs a file (- for standard error)"},
    {"--http-port", "--http-port needs a port number from 1 to 65535"},
    {"--listen", "--listen needs an address (0.0.0.0 for all)"},
    {"--token-file", "--token-file needs a file"},
    {"--allow-host", "--allow-host needs a host name"},
    {"--mqtt", "--mqtt needs a broker: mqtt://HOST[:PORT]"},
    {"--mqtt-user", "--mqtt-user needs a user name"},
    {"--mqtt-password-file", "--mqtt-password-file needs a file"},
    {"--mqtt-prefix", "--mqtt-prefix needs a topic prefix (tessaro/bench1)"},
};

// CLI11's own words for a parse error, turned into ours where we have
// them: a missing value starts with the option's name and a colon, a flag
// given a value with its name (without dashes) and " was given".
std::string parse_error_text(const std::string& what) {
    for (const ValueOption& option : kValueOptions) {
        if (what.starts_with(std::string(option.name) + ":")) {
            return option.needs;
        }
    }
    if (const size_t given = what.find(" was given "); given != std::string::npos) {
        return "--" + what.substr(0, given) + " takes no value";
    }
    return what;
}

std::optional<int> parse_port_number(const std::string& number) {
    int port = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), port);
    if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
        port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

// What is wrong with the MQTT options; empty when nothing is. Sets
// options.mqtt from the URL.
std::string mqtt_options_problem(const std::optional<std::string>& url, const std::string& port,
                                 bool user_given, bool password_given, bool prefix_given,
                                 Options& options) {
    if (!url) {
        if (user_given || password_given || prefix_given) {
            return "--mqtt-user, --mqtt-password-file and --mqtt-prefix go with --mqtt";
        }
        return {};
    }
#ifndef TESSARO_MQTT
    (void)port, (void)prefix_given;
    return "this build of tessaro has no MQTT (--mqtt)";
#else
    std::string why;
    options.mqtt = parse_mqtt_url(*url, why);
    if (!options.mqtt) {
        return why;
    }
    if (user_given && options.mqtt_user.empty()) {
        return "--mqtt-user needs a user name";
    }
    if (password_given && options.mqtt_user.empty()) {
        return "--mqtt-password-file goes with --mqtt-user";
    }
    if (prefix_given) {
        return mqtt_prefix_problem(options.mqtt_prefix);
    }
    if (port.empty()) {
        return "--mqtt without a PORT needs --mqtt-prefix (the topics' prefix)";
    }
    if (default_mqtt_prefix(port).empty()) {
        return "--mqtt: PORT has no name to make the topics' prefix of; give --mqtt-prefix";
    }
    return {};
#endif
}

}  // namespace

Options parse_options(const std::vector<std::string>& args) {
    Options options;
    bool help = false;
    bool version = false;
    bool list = false;
    std::string words;
    std::string trace;
    std::string http_port;
    std::string port;

    CLI::App app;
    app.set_help_flag();  // ours below, and our own usage text
    app.allow_extras();   // unknown options and a second port are told apart below
    const auto flag = [&app](const char* name, bool& value) {
        app.add_flag(name, value)->disable_flag_override();
    };
    flag("-h,--help", help);
    flag("--version", version);
    flag("--list", list);
    flag("--interval-reads", options.interval_reads);
    flag("--json", options.json);
    flag("--quiet", options.quiet);
    flag("--bail", options.bail);
    flag("--serve", options.serve);
    // A value option given twice takes its last value, as a flag repeated is one.
    const auto value = [&app](const char* name, std::string& text) {
        return app.add_option(name, text)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    };
    const CLI::Option* words_option = value("-c", words);
    const CLI::Option* trace_option = value("--trace", trace);
    const CLI::Option* http_port_option = value("--http-port", http_port);
    std::string token_file;
    const CLI::Option* listen_option = value("--listen", options.listen);
    const CLI::Option* token_file_option = value("--token-file", token_file);
    app.add_option("--allow-host", options.allow_hosts)->allow_extra_args(false);
    std::string mqtt;
    std::string mqtt_password_file;
    bool mqtt_prefix_given = false;
    const CLI::Option* mqtt_option = value("--mqtt", mqtt);
    const CLI::Option* mqtt_user_option = value("--mqtt-user", options.mqtt_user);
    const CLI::Option* mqtt_password_option = value("--mqtt-password-file", mqtt_password_file);
    const CLI::Option* mqtt_prefix_option = value("--mqtt-prefix", options.mqtt_prefix);
    const CLI::Option* port_option = app.add_option("PORT", port);

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    std::string error;
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        error = parse_error_text(e.what());
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (error.empty()) {
        bool after_dashes = false;
        for (const std::string& extra : app.remaining()) {
            if (extra == "--" && !after_dashes) {
                after_dashes = true;
            } else if (!after_dashes && extra.size() > 1 && extra.front() == '-') {
                error = "unknown option '" + extra + "'";
                break;
            } else {
                error = "one port only, not both '" + port + "' and '" + extra + "'";
                break;
            }
        }
    }
    if (error.empty()) {
        if (trace_option->count() > 0 && trace.empty()) {
            error = "--trace needs a file (- for standard error)";
        } else if (http_port_option->count() > 0 && !parse_port_number(http_port)) {
            error = "--http-port needs a port number from 1 to 65535";
        } else if (port_option->count() > 0 && port.empty()) {
            error = "an empty port name";
        } else if (options.json && options.quiet) {
            error = "--json and --quiet do not go together: --json prints JSON records only";
        } else if (listen_option->count() > 0 && options.listen.empty()) {
            error = "--listen needs an address (0.0.0.0 for all)";
        } else if (token_file_option->count() > 0 && token_file.empty()) {
            error = "--token-file needs a file";
        } else if (std::find(options.allow_hosts.begin(), options.allow_hosts.end(), "") !=
                   options.allow_hosts.end()) {
            error = "--allow-host needs a host name";
        } else if (options.serve && port.empty() && !help && !version && !list) {
            error = "--serve needs the PORT to serve";
        } else if (options.serve &&
                   (words_option->count() > 0 || options.json || options.quiet || options.bail)) {
            error = "--serve reads no words: -c, --json, --quiet and --bail do not go with it";
        } else {
            mqtt_prefix_given = mqtt_prefix_option->count() > 0;
            error =
                mqtt_options_problem(mqtt_option->count() > 0 ? std::optional(mqtt) : std::nullopt,
                                     port, mqtt_user_option->count() > 0,
                                     mqtt_password_option->count() > 0, mqtt_prefix_given, options);
        }
    }
    if (words_option->count() > 0) {
        options.words = words;
    }
    if (trace_option->count() > 0) {
        options.trace = trace;
    }
    if (const std::optional<int> number = parse_port_number(http_port)) {
        options.http_port = *number;
    }
    options.port = port;
    if (token_file_option->count() > 0) {
        options.token_file = token_file;
    }
    if (mqtt_password_option->count() > 0) {
        options.mqtt_password_file = mqtt_password_file;
    }
    if (options.mqtt && !mqtt_prefix_given) {
        options.mqtt_prefix = default_mqtt_prefix(port);
    }
    while (options.mqtt_prefix.ends_with('/')) {
        options.mqtt_prefix.pop_back();
    }

    if (!error.empty()) {
        options.action = Options::Action::kError;
        options.error = "tessaro: " + error + kUsageHint;
    } else if (help) {
        options.action = Options::Action::kHelp;
    } else if (version) {
        options.action = Options::Action::kVersion;
    } else if (list) {
        options.action = Options::Action::kList;
    }
    return options;
}

std::string usage_text() {
    return "Usage: tessaro [options] [PORT]\n"
           "       tessaro --serve [--listen ADDRESS] [--http-port N] PORT\n"
           "A console for boards that run the Quirn firmware: type short words, read the\n"
           "board's replies in plain words.\n"
           "\n"
           "  PORT              connect to this serial port at start, as \"co PORT\" does:\n"
           "                    a name under /dev, in any letter case (ttyACM0, pts/3),\n"
           "                    or a path (/dev/ttyUSB0)\n"
           "  --interval-reads  end every reply by the 5 ms pause after its last byte,\n"
           "                    even when its length is known\n"
           "  -c WORDS          run these words (as on a console line) after connecting\n"
           "                    to PORT, then end, as a script does\n"
           "  --json            print one JSON object per word on standard output and\n"
           "                    nothing else (diagnostics go to standard error)\n"
           "  --quiet           print the words' reports only: no banner, port list,\n"
           "                    thread lines or prompts\n"
           "  --bail            stop at the first word that fails (status 1)\n"
           "  --trace FILE      write every request to the board and every reply, with\n"
           "                    its time and source, to FILE (- for standard error)\n"
           "  --list            list the serial ports and end (--json: as a JSON array)\n"
           "  --http-port N     serve the web front end on http://localhost:N instead of\n"
           "                    8088 (a second board's tessaro needs its own port)\n"
           "  --serve           no console: connect to PORT (waiting for it when it is\n"
           "                    absent) and serve the web front end until SIGTERM or\n"
           "                    SIGINT; events are told on standard error\n"
           "  --listen ADDRESS  serve the web front end on ADDRESS instead of\n"
           "                    localhost (0.0.0.0: every address); on an address\n"
           "                    other than loopback every request needs the token\n"
           "  --token-file FILE\n"
           "                    the web token, on the file's first line (default:\n"
           "                    $XDG_STATE_HOME/tessaro/token, made on first use)\n"
           "  --allow-host NAME\n"
           "                    answer requests addressed to NAME too (repeatable)\n"
#ifdef TESSARO_MQTT
           "  --mqtt URL        bridge the board to an MQTT broker: mqtt://HOST[:PORT]\n"
           "                    (port 1883), or mqtts://HOST[:PORT] (TLS, port 8883,\n"
           "                    the broker checked against the system's certificates)\n"
           "  --mqtt-user NAME  the user name given to the broker\n"
           "  --mqtt-password-file FILE\n"
           "                    the broker password, on the file's first line\n"
           "  --mqtt-prefix P   the topics' prefix (default: tessaro/ and PORT's name)\n"
#else
           "  --mqtt URL        not in this build (the Windows build has no MQTT)\n"
#endif
           "  -h, --help        show this text\n"
           "  --version         show the version and build stamp\n"
           "\n"
           "Words are read from standard input until \"quit\" or its end, so a script can\n"
           "pipe them in: printf 'sta\\ng2rd\\n' | tessaro ttyACM0. When standard input is\n"
           "not a terminal, or with -c, the program ends with status 0 when every word\n"
           "worked and 1 when one failed (a board that did not answer, a bad reply, an\n"
           "unknown word, a PORT that cannot be opened).\n"
           "Inside the program, type h or ? for the commands.\n";
}

std::string version_text() {
    std::string text = std::string("tessaro ") + kVersion + " (";
    if (*kBuildCommit != '\0') {
        text += std::string("git ") + kBuildCommit + ", ";
    }
    return text + "built " + kBuildDate + " at " + kBuildTime + ")\n";
}
