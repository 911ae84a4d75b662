#pragma once
// The link watcher: a thread that notices when the open port's device goes
// away (a board unplugged, a simulator stopped), closes the port and tells
// the user, then waits for a device under the same name to come back, opens
// it again and identifies the board. "di", "co" and quitting end the wait.

#include <mutex>
#include <optional>
#include <string>

// Started and stopped by the main thread; stop joins the thread.
void start_link_watcher();
void stop_link_watcher();

// The session lock. It guards the session as a whole: opening and closing
// the port together with the connected flag, the board names and the mode
// set with them, and the name of a vanished port waited for. Connect and
// disconnect hold it on the console thread, the watcher while it closes or
// reopens a port; nobody holds it while reading input or waiting for a
// device to go.
std::unique_lock<std::mutex> lock_session();
// Ends the wait for a vanished port; returns its name when there was one.
// The caller holds the session lock.
std::optional<std::string> stop_waiting();
