#include "web/main_webserver.h"

#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "base/console_output.h"
#include "base/session.h"
#include "serial/class_serial.h"
#include "web/gpio_api.h"
#include "web/static_dirs.h"
#include "web/web_server.h"

std::atomic<int32_t> http_running{0};

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr auto kNoSessionExtra = std::chrono::milliseconds(50);
// While another program holds the port, binding is tried again this often.
constexpr auto kBindRetryInterval = std::chrono::seconds(1);
constexpr auto kStopCheckInterval = std::chrono::milliseconds(5);
constexpr const char* kHost = "localhost";

WebServer http_server;

// A board that vanished is still the user's chosen connection: the page is
// where a user looks for what happened to it.
bool should_serve() {
    return session().state().web_should_serve();
}

// The web thread may be anywhere between publishing http_running and
// serving, and a bind clears an earlier stop: ask again until it is out.
void stop_serving() {
    while (http_running.load() != 0) {
        http_server.stop_serving();
        std::this_thread::sleep_for(kStopCheckInterval);
    }
}

// Serves the found pages/ at "/" and help/ at "/help/", each when it exists;
// "/help" redirects to "/help/".
void mount_static_dirs(const StaticDirs& dirs) {
    if (dirs.root.empty()) {
        return;
    }
    for (const auto& [mount_point, name] : {std::pair{"/", "pages"}, {"/help/", "help"}}) {
        std::error_code error;
        const std::filesystem::path directory = dirs.root / name;
        if (std::filesystem::is_directory(directory, error)) {
            http_server.set_mount_point(mount_point, path_text(directory));
        }
    }
    // Without the final slash, the page's relative links would point a
    // folder too high.
    http_server.Get("/help", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/help/", 301);
    });
}

}  // namespace

void http_stop_watcher() {
    for (;;) {
        std::this_thread::sleep_for(kPollInterval);
        // The web thread publishes http_running before it checks the flags
        // again, so either it sees a stop condition, or this sees it serving.
        const bool running = http_running.load() != 0;
        if (running && !should_serve()) {
            stop_serving();
        } else if (!running && session().state().quitting()) {
            return;
        }
    }
}

int main_webserver(int port) {
    set_up_http_server(http_server, port);
    const StaticDirs static_dirs = find_static_dirs();
    mount_static_dirs(static_dirs);
    const std::string static_notice = static_dirs_notice(static_dirs);
    std::thread watcher(http_stop_watcher);
    // Said once per session: the session it was said for (sessions count from 1).
    uint64_t told_port_taken = 0;
    Clock::time_point next_bind{};
    while (!session().state().quitting()) {
        std::this_thread::sleep_for(kPollInterval);
        if (!should_serve()) {
            std::this_thread::sleep_for(kNoSessionExtra);
        }
        if (!should_serve()) {
            told_port_taken = 0;
            next_bind = {};
            continue;
        }
        if (Clock::now() < next_bind) {
            continue;
        }
        http_running.store(1);
        if (!should_serve()) {
            http_running.store(0);
            continue;
        }
        if (!http_server.bind(kHost, port)) {
            http_running.store(0);
            const uint64_t number = session().state().number;
            if (told_port_taken != number) {
                out_chatter("\n[Tessaro] Port " + std::to_string(port) +
                            " is in use; the web server will start once it is free.\n");
                print_prompt();
                told_port_taken = number;
            }
            next_bind = Clock::now() + kBindRetryInterval;
            continue;
        }
        told_port_taken = 0;
        out_chatter("\n[Tessaro] Server running on http://" + std::string(kHost) + ":" +
                    std::to_string(port) + "\n");
        if (!static_notice.empty()) {
            out_line(static_notice);
        }
        print_prompt();
        http_server.serve();
        http_running.store(0);
        out_chatter("\n[Tessaro] Webserver quit.\n");
        print_prompt();
    }
    watcher.join();
    return 0;
}
