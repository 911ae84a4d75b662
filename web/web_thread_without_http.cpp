#include <chrono>
#include <thread>

#include "base/state.h"
#include "web/main_webserver.h"

// The Windows build has no HTTP library yet (Debian packages none for it):
// there the web thread only follows the console until it quits.
std::atomic<int32_t> http_running{0};

void http_stop_watcher() {}

int main_webserver() {
    while (console_mode.load() != mode::kQuit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}
