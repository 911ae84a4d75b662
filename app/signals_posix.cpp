#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "app/line_editor.h"
#include "app/signals.h"
#include "base/console_output.h"
#include "base/session.h"
#include "serial/serial_platform.h"

namespace {

// Set by the signal thread, read by the console on the way out.
std::atomic<bool> ending{false};

sigset_t taken_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signo : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&set, signo);
    }
    return set;
}

// The first ending signal: everything that may be waiting is told to stop
// waiting. A request queued for the board gives up (closing), a read on
// the board's line ends at once, the console's input ends, and the web
// thread and the link watcher see the session quit.
void quit_as_asked() {
    session().closing();
    session().set_mode(ConsoleMode::kQuit);
    serial_platform::abort_reads();
    end_input();
}

// The second: the program ends now, by the signal, as it would have
// without us, but with the terminal as it was found.
[[noreturn]] void end_at_once(int signo) {
    restore_terminal();
    std::signal(signo, SIG_DFL);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signo);
    ::pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
    ::raise(signo);
    ::_exit(128 + signo);
}

void take_signals(sigset_t set) {
    for (;;) {
        int signo = 0;
        if (::sigwait(&set, &signo) != 0) {
            continue;
        }
        if (ending.load()) {
            end_at_once(signo);
        }
        if (signo == SIGINT && line_editing()) {
            interrupt_console();
            continue;
        }
        ending.store(true);
        quit_as_asked();
    }
}

}  // namespace

void handle_signals() {
    const sigset_t set = taken_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(take_signals, set).detach();
}

bool ended_by_signal() {
    return ending.load();
}
