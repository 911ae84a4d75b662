#include <cstdio>
#include <cstdlib>
#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/console_tell.h"
#include "app/console_ui.h"
#include "app/line_editor.h"
#include "app/link_watcher.h"
#ifdef TESSARO_MQTT
#include "app/mqtt_bridge.h"
#endif
#include "app/options.h"
#include "app/service.h"
#include "app/signals.h"
#include "base/console_output.h"
#include "base/session.h"
#include "base/state.h"
#include "protocol/class_quirn_server.h"
#include "protocol/quirn_transcoder.h"
#include "serial/class_serial.h"
#include "serial/wire_trace.h"
#include "web/api_support.h"
#include "web/main_webserver.h"
#include "web/web_access.h"

namespace {

constexpr int kExitUsage = 2;

// --list: the ports as the console lists them, or a JSON array of
// {"port", "name"} objects.
int list_ports_and_end(bool json) {
    const std::optional<std::vector<PortEntry>> ports = list_ports();
    if (!ports) {
        err("tessaro: the system did not list its serial ports\n");
        return 1;
    }
    if (json) {
        nlohmann::json array = nlohmann::json::array();
        for (const PortEntry& port : *ports) {
            array.push_back({{"port", port.port_name}, {"name", port.friendly_name}});
        }
        // A device's name need not be UTF-8: a bad byte becomes U+FFFD.
        out_line(array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        return 0;
    }
    print_ports(*ports);
    return 0;
}

// Where the web front end listens and whom it answers: a token is needed
// off loopback, or whenever a token file is named. False, with the reason
// said, when the token cannot be had.
bool web_access_from(const Options& options, WebAccess& access) {
    if (!options.listen.empty()) {
        access.listen = options.listen;
    }
    access.allowed_hosts = options.allow_hosts;
    if (is_loopback_address(access.listen) && !options.token_file) {
        return true;
    }
    // Nothing in the program changes its environment.
    const std::string path =
        options.token_file.value_or(default_token_path(std::getenv("XDG_STATE_HOME"),  // NOLINT
                                                       std::getenv("HOME")));          // NOLINT
    if (path.empty()) {
        err("tessaro: no folder for the web token: set XDG_STATE_HOME or HOME, or give "
            "--token-file\n");
        return false;
    }
    std::string why;
    const std::optional<std::string> token = load_token(path, !options.token_file, why);
    if (!token) {
        err("tessaro: the web token in " + path + ": " + why + "\n");
        return false;
    }
    access.token = *token;
    return true;
}

#ifdef TESSARO_MQTT
// The bridge's settings, its password read; false, with the reason said,
// when the password cannot be had.
bool mqtt_settings_from(const Options& options, MqttSettings& settings) {
    settings.url = *options.mqtt;
    settings.user = options.mqtt_user;
    settings.prefix = options.mqtt_prefix;
    if (options.mqtt_password_file) {
        std::string why;
        settings.password = read_mqtt_password(*options.mqtt_password_file, why);
        if (!settings.password) {
            err("tessaro: the MQTT password in " + *options.mqtt_password_file + ": " + why + "\n");
            return false;
        }
    }
    return true;
}
#endif

// An open port is closed, with its line, after the threads have ended.
int run(int argc, char** argv) {
    const Options options = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    switch (options.action) {
        case Options::Action::kHelp:
            out(usage_text());
            return 0;
        case Options::Action::kVersion:
            out(version_text());
            return 0;
        case Options::Action::kList:
            return list_ports_and_end(options.json);
        case Options::Action::kError:
            err(options.error + "\n");
            return kExitUsage;
        case Options::Action::kRun:
            break;
    }
    handle_signals();  // before any thread starts (the trace's writer too), so each inherits it
    if (options.trace) {
        std::string why;
        if (!wire_trace::open_file(*options.trace, why)) {
            err("tessaro: cannot write the trace to " + *options.trace + ": " + why + "\n");
            return kExitUsage;
        }
    }
    WebAccess access;
    if (!web_access_from(options, access)) {
        return kExitUsage;
    }
#ifdef TESSARO_MQTT
    MqttSettings mqtt;
    if (options.mqtt && !mqtt_settings_from(options, mqtt)) {
        return kExitUsage;
    }
#endif
    interval_reads.store(options.interval_reads);
    set_output_mode(options.serve   ? OutputMode::kService
                    : options.json  ? OutputMode::kJson
                    : options.quiet ? OutputMode::kQuiet
                                    : OutputMode::kText);
    const bool script = !input_is_terminal() || options.words.has_value();
    const ConsoleStart start{options.port, script, script, options.bail, options.words};

    service_line(std::string("tessaro ") + kVersion + " started for " + options.port + ".");
    say_discovered(serial_port());  // discovered when built; says so when there are none
    hand_resync_probe_to_port();
    quirn_server();
    set_console_echo(tell_command);  // what an API request's command says on the console
    start_link_watcher();            // silent until a connected board goes away
#ifdef TESSARO_MQTT
    if (options.mqtt) {
        std::string why;
        if (!start_mqtt_bridge(mqtt, why)) {
            err("tessaro: " + why + "\n");
            session().set_mode(ConsoleMode::kQuit);
            stop_link_watcher();
            return kExitUsage;
        }
    }
#endif
    int status = 0;
    std::thread console_thread;
    if (!options.serve) {
        out_chatter(std::string("Starting Console UI thread.") + "\n");
        console_thread = std::thread([&start, &status] { status = console_ui_thread(start); });
    }
    out_chatter(std::string("Starting Web UI thread.") + "\n");
    std::thread web_thread(main_webserver, options.http_port, access);
    out_chatter(std::string("All Threads started ...") + "\n");

    if (options.serve) {
        status = run_service(options.port);
    } else {
        console_thread.join();
    }
#ifdef TESSARO_MQTT
    stop_mqtt_bridge();  // says "offline" while the board's port is still named
#endif
    stop_link_watcher();
    out_chatter(std::string("\nConsole UI thread closed") + "\n");
    web_thread.join();
    out_chatter(std::string("\nWeb UI thread closed") + "\n");
    const std::optional<std::string> closed = serial_port().close();
    say_closed(closed);
    restore_terminal();
    service_line(closed ? "Stopped; closed " + *closed + "." : std::string("Stopped."));
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing of ours throws; what the libraries may (no memory left, no
    // thread to be had) ends the program with a line instead of an abort.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fputs("tessaro: ", stderr);
        std::fputs(e.what(), stderr);
        std::fputs("\n", stderr);
    } catch (...) {
        std::fputs("tessaro: an unexpected failure\n", stderr);
    }
    return 1;
}
