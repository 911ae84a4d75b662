#include "web/main_webserver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>

#include "base/console_output.h"
#include "base/session.h"
#include "web/gpio_api.h"
#include "web/static_dirs.h"
#include "web/web_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// While another program holds the port, binding is tried again this often.
constexpr auto kBindRetryInterval = std::chrono::seconds(1);
constexpr auto kStartDelay = std::chrono::milliseconds(100);

// Guards serving_server; wake (with it) tells the web thread that the
// session changed. Taken before the session's own lock, never after it.
std::mutex wake_mutex;
std::condition_variable wake;
WebServer* serving_server = nullptr;  // the web thread's server while it exists

bool quitting() {
    return session().state().quitting();
}

bool serving_wanted() {
    return session().state().web_should_serve();
}

// Called on every change of the session: the web thread starts or stops
// serving at once.
void web_wake() {
    std::lock_guard lock(wake_mutex);
    // The session changed before this call: either the web thread sees it
    // at its next look, or it is serving and this stop reaches it (a stop
    // asked before the server has begun is kept for it).
    if (serving_server != nullptr && !serving_wanted()) {
        serving_server->stop_serving();
    }
    wake.notify_all();
}

// Serves the found pages/ at "/" and help/ at "/help/", each when it exists;
// "/help" redirects to "/help/".
void mount_static_dirs(WebServer& server, const StaticDirs& dirs) {
    if (dirs.root.empty()) {
        return;
    }
    for (const auto& [mount_point, name] : {std::pair{"/", "pages"}, {"/help/", "help"}}) {
        std::error_code error;
        const std::filesystem::path directory = dirs.root / name;
        if (std::filesystem::is_directory(directory, error)) {
            server.set_mount_point(mount_point, directory);
        }
    }
    // Without the final slash, the page's relative links would point a
    // folder too high.
    server.add_route("GET", "/help", WebServer::Runs::kAtOnce,
                     [](const HttpRequest&, HttpResponse& response, const auto&) {
                         response.set_redirect("/help/", 301);
                     });
}

}  // namespace

int main_webserver(int port, const WebAccess& access) {
    WebServer server;
    set_up_http_server(server, port, access);
    const StaticDirs static_dirs = find_static_dirs();
    mount_static_dirs(server, static_dirs);
    const std::string static_notice = static_dirs_notice(static_dirs);
    {
        std::lock_guard lock(wake_mutex);
        serving_server = &server;
    }
    const uint64_t listener = session().subscribe([](const SessionState&) { web_wake(); });
    // Said once per session: the session it was said for (sessions count from 1).
    uint64_t told_port_taken = 0;
    Clock::time_point next_bind{};
    for (;;) {
        {
            std::unique_lock lock(wake_mutex);
            wake.wait(lock, [] { return quitting() || serving_wanted(); });
            if (quitting()) {
                serving_server = nullptr;
                break;
            }
            // Serving starts once it has been wanted for kStartDelay (and,
            // when the port was taken, at the next try): a script that
            // connects, runs its words and quits in less never opens the
            // port, and its output is not cut by the start line.
            const Clock::time_point start_at = std::max(next_bind, Clock::now() + kStartDelay);
            if (wake.wait_until(lock, start_at, [] { return quitting() || !serving_wanted(); })) {
                told_port_taken = 0;
                next_bind = {};
                continue;
            }
        }
        if (!server.bind(access.listen, port)) {
            const uint64_t number = session().state().number;
            if (told_port_taken != number) {
                const std::string taken = "Port " + std::to_string(port) +
                                          " is in use; the web server will start once it is free.";
                out_chatter("\n[Tessaro] " + taken + "\n");
                service_line(taken);
                print_prompt();
                told_port_taken = number;
            }
            next_bind = Clock::now() + kBindRetryInterval;
            continue;
        }
        // A change between the look above and the bind, which cleared any
        // stop asked before it, is seen here; one after it stops the server.
        if (!serving_wanted()) {
            server.stop_serving();
        }
        told_port_taken = 0;
        // The loopback default keeps the line it always had.
        const std::string url = access.listen == "localhost" && access.token.empty()
                                    ? "http://localhost:" + std::to_string(port)
                                    : web_url(access, port);
        out_chatter("\n[Tessaro] Server running on " + url + "\n");
        service_line("Web server running on " + url);
        if (!static_notice.empty()) {
            out_line(static_notice);
            service_line(static_notice);
        }
        print_prompt();
        server.serve();
        out_chatter("\n[Tessaro] Webserver quit.\n");
        service_line("Web server stopped.");
        print_prompt();
    }
    session().unsubscribe(listener);
    return 0;
}
