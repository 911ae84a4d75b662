#include "base/state.h"

std::atomic<int32_t> console_mode{mode::kClient};
std::atomic<int32_t> connected{0};
std::atomic<int32_t> http_stop_requested{0};
std::string command_line;
std::atomic<bool> interval_reads{false};
