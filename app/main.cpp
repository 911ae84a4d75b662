#include <thread>

#include "app/console_ui.h"
#include "base/console_output.h"
#include "protocol/class_quirn_server.h"
#include "serial/class_serial.h"
#include "web/main_webserver.h"

// An open port is closed after main returns, when the port is destroyed.
int main() {
    serial_port();  // discovers the ports, and says so when there are none
    quirn_server();
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
