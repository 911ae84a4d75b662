#include "base/state.h"

#include <mutex>

std::atomic<int32_t> console_mode{mode::kClient};
std::atomic<int32_t> connected{0};
std::atomic<int32_t> http_stop_requested{0};
std::string command_line;
std::atomic<bool> interval_reads{false};

namespace {
// Guards the_link.
std::mutex link_mutex;
LinkState the_link;
}  // namespace

void link_opened(const std::string& port) {
    std::lock_guard lock(link_mutex);
    the_link = {port, false, the_link.session + 1};
}

void link_waiting(const std::string& port) {
    std::lock_guard lock(link_mutex);
    the_link.port = port;
    the_link.waiting = true;
}

void link_closed() {
    std::lock_guard lock(link_mutex);
    the_link.port.clear();
    the_link.waiting = false;
}

LinkState link_state() {
    std::lock_guard lock(link_mutex);
    return the_link;
}
