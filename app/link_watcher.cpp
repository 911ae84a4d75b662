#include "app/link_watcher.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <thread>
#include <utility>

#include "app/console_tell.h"
#include "base/console_output.h"
#include "base/state.h"
#include "protocol/class_quirn_server.h"
#include "serial/class_serial.h"
#include "serial/wire_trace.h"

namespace {

// While a vanished port is waited for, its name is looked up this often:
// four cheap checks a second, and no work at all while the port is healthy.
constexpr auto kReturnCheckInterval = std::chrono::milliseconds(250);

// The session lock (see the header). Also guards waiting_for and stopping.
std::mutex session_mutex;
// Signalled, with session_mutex, when waiting_for or stopping change.
std::condition_variable waiting_changed;
std::string waiting_for;  // the vanished port's name; empty when none
bool stopping = false;
// Started and joined by the main thread only.
std::thread watcher;

// The console thread sits in a read after its prompt: the news goes on a
// line of its own, followed by a fresh prompt.
void tell(const std::string& line) {
    out(output_mode() == OutputMode::kText ? "\n" + line + "\n" : line + "\n");
    print_prompt();
}

void on_gone(uint64_t session) {
    std::lock_guard lock(session_mutex);
    const std::string name = serial_port().get_state().port_name;
    // Closed or replaced by the console meanwhile: nothing left to do.
    if (!serial_port().drop(session)) {
        return;
    }
    quirn_server().set_names("-", "-");
    // Waiting is told before the board is gone, so that the web server,
    // which serves while either holds, never sees neither.
    link_waiting(name);
    connected.store(0);
    waiting_for = name;
    tell("Port " + name + " has gone away; waiting for it to come back (di stops waiting).");
}

void try_return(const std::string& name) {
    if (!serial_port().present(name)) {
        return;
    }
    std::lock_guard lock(session_mutex);
    // A device that is there but will not open yet (its permissions not
    // set up, say) is tried again on the next check, without a word.
    if (stopping || waiting_for != name || !serial_port().reopen(name)) {
        return;
    }
    waiting_for.clear();
    connected.store(1);
    link_opened(name);  // after connected, for the same reason as in on_gone
    console_mode.store(mode::kServer);
    identify_board();
    const auto [maker, board] = quirn_server().names();
    tell("Port " + name + " is back; board " + maker + ":" + board + ".");
}

void watch_link() {
    // Whatever this thread sends or sees on the port is the watcher's.
    const wire_trace::SourceScope source("reconnect");
    for (;;) {
        std::string name;
        {
            std::lock_guard lock(session_mutex);
            if (stopping) {
                return;
            }
            name = waiting_for;
        }
        if (name.empty()) {
            if (const std::optional<uint64_t> session = serial_port().watch()) {
                on_gone(*session);
            }
            continue;
        }
        {
            std::unique_lock lock(session_mutex);
            const bool changed = waiting_changed.wait_for(
                lock, kReturnCheckInterval, [&] { return stopping || waiting_for != name; });
            if (changed) {
                continue;
            }
        }
        try_return(name);
    }
}

}  // namespace

void start_link_watcher() {
    watcher = std::thread(watch_link);
}

void stop_link_watcher() {
    {
        std::lock_guard lock(session_mutex);
        stopping = true;
    }
    waiting_changed.notify_all();
    serial_port().wake_watch();
    if (watcher.joinable()) {
        watcher.join();
    }
}

std::unique_lock<std::mutex> lock_session() {
    return std::unique_lock(session_mutex);
}

std::optional<std::string> stop_waiting() {
    if (waiting_for.empty()) {
        return std::nullopt;
    }
    std::string name = std::exchange(waiting_for, {});
    link_closed();
    waiting_changed.notify_all();
    return name;
}
