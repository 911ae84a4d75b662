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
    const ConsoleStart start{options.port, !input_is_terminal()};

    serial_port();  // discovers the ports, and says so when there are none
    quirn_server();
    start_link_watcher();  // silent until a connected board goes away
    out_line("Starting Console UI thread.");
    int status = 0;
    std::thread console_thread([&start, &status] { status = console_ui_thread(start); });
    out_line("Starting Web UI thread.");
    std::thread web_thread(main_webserver);
    out_line("All Threads started ...");

    console_thread.join();
    stop_link_watcher();
    out_line("\nConsole UI thread closed");
    web_thread.join();
    out_line("\nWeb UI thread closed");
    return status;
}
