#include <string>
#include <thread>
#include <vector>

#include "app/console_ui.h"
#include "app/link_watcher.h"
#include "app/options.h"
#include "base/console_output.h"
#include "base/state.h"
#include "protocol/class_quirn_server.h"
#include "serial/class_serial.h"
#include "web/main_webserver.h"

namespace {

constexpr int kExitUsage = 2;

}  // namespace

// An open port is closed after main returns, when the port is destroyed.
int main(int argc, char** argv) {
    const Options options = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    switch (options.action) {
        case Options::Action::kHelp:
            out(usage_text());
            return 0;
        case Options::Action::kVersion:
            out(version_text());
            return 0;
        case Options::Action::kError:
            err(options.error + "\n");
            return kExitUsage;
        case Options::Action::kRun:
            break;
    }
    interval_reads.store(options.interval_reads);
    set_output_mode(options.json    ? OutputMode::kJson
                    : options.quiet ? OutputMode::kQuiet
                                    : OutputMode::kText);
    const bool script = !input_is_terminal() || options.words.has_value();
    const ConsoleStart start{options.port, script, script, options.bail, options.words};

    serial_port();  // discovers the ports, and says so when there are none
    quirn_server();
    start_link_watcher();  // silent until a connected board goes away
    out_chatter(std::string("Starting Console UI thread.") + "\n");
    int status = 0;
    std::thread console_thread([&start, &status] { status = console_ui_thread(start); });
    out_chatter(std::string("Starting Web UI thread.") + "\n");
    std::thread web_thread(main_webserver);
    out_chatter(std::string("All Threads started ...") + "\n");

    console_thread.join();
    stop_link_watcher();
    out_chatter(std::string("\nConsole UI thread closed") + "\n");
    web_thread.join();
    out_chatter(std::string("\nWeb UI thread closed") + "\n");
    return status;
}
