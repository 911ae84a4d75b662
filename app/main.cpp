#include <cstdio>
#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/console_tell.h"
#include "app/console_ui.h"
#include "app/link_watcher.h"
#include "app/options.h"
#include "base/console_output.h"
#include "base/state.h"
#include "protocol/class_quirn_server.h"
#include "protocol/quirn_transcoder.h"
#include "serial/class_serial.h"
#include "serial/wire_trace.h"
#include "web/api_support.h"
#include "web/main_webserver.h"

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
    if (options.trace) {
        std::string why;
        if (!wire_trace::open_file(*options.trace, why)) {
            err("tessaro: cannot write the trace to " + *options.trace + ": " + why + "\n");
            return kExitUsage;
        }
    }
    interval_reads.store(options.interval_reads);
    set_output_mode(options.json    ? OutputMode::kJson
                    : options.quiet ? OutputMode::kQuiet
                                    : OutputMode::kText);
    const bool script = !input_is_terminal() || options.words.has_value();
    const ConsoleStart start{options.port, script, script, options.bail, options.words};

    say_discovered(serial_port());  // discovered when built; says so when there are none
    hand_resync_probe_to_port();
    quirn_server();
    set_console_echo(tell_command);  // what an API request's command says on the console
    start_link_watcher();            // silent until a connected board goes away
    out_chatter(std::string("Starting Console UI thread.") + "\n");
    int status = 0;
    std::thread console_thread([&start, &status] { status = console_ui_thread(start); });
    out_chatter(std::string("Starting Web UI thread.") + "\n");
    std::thread web_thread(main_webserver, options.http_port);
    out_chatter(std::string("All Threads started ...") + "\n");

    console_thread.join();
    stop_link_watcher();
    out_chatter(std::string("\nConsole UI thread closed") + "\n");
    web_thread.join();
    out_chatter(std::string("\nWeb UI thread closed") + "\n");
    say_closed(serial_port().close());
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
