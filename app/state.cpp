#include "app/state.h"

#include "protocol/class_quirn_server.h"
#include "serial/class_serial.h"

std::atomic<int32_t> console_mode{mode::kClient};
std::atomic<int32_t> connected{0};
std::atomic<int32_t> http_stop_requested{0};
std::string command_line;

namespace {
// Built in this order before main (the port's constructor discovers the
// ports and may print), destroyed in reverse order after it.
SerialPort the_serial_port;
Server the_server;
}  // namespace

SerialPort& serial_port() { return the_serial_port; }
Server& quirn_server() { return the_server; }
