#include "web/main_webserver.h"

#include <chrono>
#include <thread>

#include "base/state.h"

namespace {
constexpr auto kPollInterval = std::chrono::milliseconds(100);
}  // namespace

// The web thread follows the console by polling its mode; the HTTP
// listener that serves while a board is connected is not built yet, so
// the thread only waits for the console to quit.
int main_webserver() {
    while (console_mode.load() != mode::kQuit) {
        std::this_thread::sleep_for(kPollInterval);
    }
    return 0;
}
