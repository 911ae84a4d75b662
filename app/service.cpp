#include "app/service.h"

#include <mutex>

#include "app/console_tell.h"
#include "app/link_watcher.h"
#include "base/console_output.h"
#include "base/session.h"
#include "serial/class_serial.h"
#include "serial/wire_trace.h"

namespace {

constexpr int kExitUsage = 2;

// Why an open failed, in one line.
std::string why_not_opened(const OpenResult& opened) {
    switch (opened.failure) {
        case OpenResult::Failure::kCannotOpen:
            return "cannot open " + opened.path + ": " + opened.why;
        case OpenResult::Failure::kRefusedName:
            return "port name refused, it holds control characters: " + opened.escaped_name;
        default:
            return "cannot set up " + opened.path + " as a serial line";
    }
}

}  // namespace

int run_service(const std::string& port) {
    session().set_mode(ConsoleMode::kServer);
    {
        const std::unique_lock lock = lock_session();
        const wire_trace::SourceScope source("service");
        SerialPort& serial = serial_port();
        const OpenResult opened = serial.open(port);
        if (opened.failure == OpenResult::Failure::kRefusedName) {
            service_line("tessaro: " + why_not_opened(opened));
            session().set_mode(ConsoleMode::kQuit);
            return kExitUsage;
        }
        if (opened.ok()) {
            session().opened(serial.get_state().port_name);
            const wire_trace::SourceScope identifying("identify");
            identify_board();
            const SessionState now = session().state();
            service_line("Connected to " + now.port + "; board " + now.maker + ":" + now.board +
                         ".");
        } else {
            // The watcher opens it once a device stands under the name.
            service_line(why_not_opened(opened) + "; waiting for it to appear.");
            session().waiting(port);
            // The watcher waits on the open port's device; there is none.
            serial.wake_watch();
        }
    }
    session().wait_until([](const SessionState& s) { return s.quitting(); });
    return 0;
}
