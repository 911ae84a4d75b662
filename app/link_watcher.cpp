#include "app/link_watcher.h"

#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

#include "app/console_tell.h"
#include "base/console_output.h"
#include "base/session.h"
#include "protocol/class_quirn_server.h"
#include "protocol/counters.h"
#include "serial/class_serial.h"
#include "serial/wire_trace.h"

namespace {

// While a vanished port is waited for, its name is looked up this often:
// four cheap checks a second, and no work at all while the port is healthy.
constexpr auto kReturnCheckInterval = std::chrono::milliseconds(250);

// The session lock (see the header).
std::mutex session_mutex;
// Started and joined by the main thread only.
std::thread watcher;

// The console thread sits in a read after its prompt: the news goes on a
// line of its own, followed by a fresh prompt. A service's journal is told
// without the console's advice.
void tell(const std::string& line, const std::string& advice = "") {
    const std::string said = line + advice + ".";
    out(output_mode() == OutputMode::kText ? "\n" + said + "\n" : said + "\n");
    service_line(line + ".");
    print_prompt();
}

bool still_waiting_for(const SessionState& s, const std::string& name) {
    return !s.quitting() && s.link == LinkState::kWaiting && s.port == name;
}

void on_gone(uint64_t number) {
    std::lock_guard lock(session_mutex);
    const std::string name = serial_port().get_state().port_name;
    // Closed or replaced by the console meanwhile: nothing left to do.
    if (!serial_port().drop(number)) {
        return;
    }
    session().waiting(name);
    tell("Port " + name + " has gone away; waiting for it to come back", " (di stops waiting)");
}

void try_return(const std::string& name) {
    if (!serial_port().present(name)) {
        return;
    }
    std::lock_guard lock(session_mutex);
    // A device that is there but will not open yet (its permissions not
    // set up, say) is tried again on the next check, without a word.
    if (!still_waiting_for(session().state(), name) || !serial_port().reopen(name)) {
        return;
    }
    session().opened(name);
    session().set_mode(ConsoleMode::kServer);
    identify_board();
    const SessionState now = session().state();
    // The first connection of all made here: a service's port that was
    // absent at start.
    const bool back = now.number != 1;
    if (back) {
        counters::count_reconnect();
    }
    const std::string came = back ? " is back" : " has appeared";
    tell("Port " + name + came + "; board " + now.maker + ":" + now.board);
}

void watch_link() {
    // Whatever this thread sends or sees on the port is the watcher's.
    const wire_trace::SourceScope source("reconnect");
    for (;;) {
        const SessionState now = session().state();
        if (now.quitting()) {
            return;
        }
        if (now.link != LinkState::kWaiting) {
            if (const std::optional<uint64_t> number = serial_port().watch()) {
                on_gone(*number);
            }
            continue;
        }
        // The name is looked up on the device tree, which tells nobody when
        // it changes; the session does, and ends the wait at once.
        const std::string name = now.port;
        const bool changed =
            session()
                .wait_until([&](const SessionState& s) { return !still_waiting_for(s, name); },
                            Session::Clock::now() + kReturnCheckInterval)
                .has_value();
        if (!changed) {
            try_return(name);
        }
    }
}

}  // namespace

void start_link_watcher() {
    watcher = std::thread(watch_link);
}

void stop_link_watcher() {
    // The console has ended (the session is quitting): the watcher's wait
    // on the session returns; the one on the port is woken here.
    serial_port().wake_watch();
    if (watcher.joinable()) {
        watcher.join();
    }
}

std::unique_lock<std::mutex> lock_session() {
    return std::unique_lock(session_mutex);
}

std::optional<std::string> stop_waiting() {
    const SessionState now = session().state();
    if (now.link != LinkState::kWaiting) {
        return std::nullopt;
    }
    session().closed();
    return now.port;
}
