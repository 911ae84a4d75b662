#include <thread>

#include "app/console_output.h"
#include "app/console_ui.h"
#include "web/main_webserver.h"

// The port, the board proxy and the shared flags are built before main
// (app/state.cpp); an open port is closed after it returns.
int main() {
    out_line("Starting Console UI thread.");
    std::thread console_thread(console_ui_thread);
    out_line("Starting Web UI thread.");
    std::thread web_thread(main_webserver);
    out_line("All Threads started ...");

    console_thread.join();
    out_line("\nConsole UI thread closed");
    web_thread.join();
    out_line("\nWeb UI thread closed");
    return 0;
}
