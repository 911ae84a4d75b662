#pragma once
// tessaro --serve PORT: no console. The port is connected at start, or,
// when it cannot be opened, waited for by the link watcher as a vanished
// board's is; then the program serves until a signal ends the session.
// What happens is said in service_line()s, for a service manager's journal.

#include <string>

// Runs on the main thread, in place of the console's, once the link watcher
// and the web thread have started. Returns the exit status: 0 once the
// session quit, 2 for a port name that can never be opened (it holds
// control characters).
int run_service(const std::string& port);
