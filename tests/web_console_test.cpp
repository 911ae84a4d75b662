// The built tessaro's web server, as a user meets it: it starts when a board
// is connected and stops with the session, with http_stop and with quit.

#include <gtest/gtest.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/quirn_board.h"
#include "tests/support/child_process.h"
#include "tests/support/raw_client.h"

namespace {

using namespace std::chrono_literals;
using test_support::ChildProcess;
using test_support::RawClient;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kQuit = "\n[Tessaro] Webserver quit.\n";
// Another program may hold the port for a while before it is ours.
constexpr auto kStartDeadline = 120s;
constexpr auto kDeadline = 20s;
// How often tessaro tries again to bind a port that another program holds.
constexpr auto kBindRetry = 1s;

std::string start_line(int port) {
    return "\n[Tessaro] Server running on http://localhost:" + std::to_string(port) + "\n";
}

std::string taken_line(int port) {
    return "\n[Tessaro] Port " + std::to_string(port) +
           " is in use; the web server will start once it is free.\n";
}

// A loopback port that nothing listens on, as the kernel hands them out:
// each test serves on its own, so tests run side by side.
int free_port() {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    const bool found = bind(sock, any, length) == 0 && getsockname(sock, any, &length) == 0;
    close(sock);
    return found ? ntohs(address.sin_port) : 0;
}

size_t count(const std::string& text, const std::string& part, size_t from = 0) {
    size_t n = 0;
    for (size_t at = text.find(part, from); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// A working directory with pages/ and help/, and a file beside them that
// must stay out of reach.
struct Site {
    Site() {
        char name[] = "/tmp/tessaro-web-XXXXXX";
        dir = mkdtemp(name) ? name : "";
        fs::create_directories(dir / "pages");
        fs::create_directories(dir / "help");
        std::ofstream(dir / "pages" / "index.html") << "<p>pages</p>\n";
        std::ofstream(dir / "help" / "index.html") << "<p>help</p>\n";
        std::ofstream(dir / "secret.txt") << "secret\n";
    }
    ~Site() { fs::remove_all(dir); }
    fs::path dir;
};

// tessaro in the site's folder, serving on the given port.
ChildProcess start_tessaro(const fs::path& dir, int port) {
    return ChildProcess("/bin/sh", {"-c", "cd \"$1\" && exec \"$0\" --http-port \"$2\"",
                                    TESSARO_BINARY, dir, std::to_string(port)});
}

// Connects the console to the board and waits for the web server to start.
bool connect_and_serve(ChildProcess& tessaro, const std::string& board, int port) {
    tessaro.write("co " + board + "\n");
    return tessaro.wait_for_output(start_line(port), kStartDeadline);
}

// Clients that would hold a stop up: idle connections, clients that
// dribble a request a byte at a time, and clients that never read.
struct Nuisances {
    explicit Nuisances(int port) {
        for (int i = 0; i < 200; ++i) {
            idle.emplace_back(std::make_unique<RawClient>(port));
        }
        const std::string request = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
        for (int i = 0; i < 2; ++i) {
            auto& client = *deaf.emplace_back(std::make_unique<RawClient>(port));
            for (int n = 0; n < 2000 && client.send_some(request); ++n) {
            }
        }
        for (int i = 0; i < 8; ++i) {
            dribblers.emplace_back([this, port] {
                RawClient client(port);
                const std::string slow = "GET /api/gpio/grd/3 HTTP/1.1\r\nHost: localhost\r\n";
                for (size_t n = 0; !done.load(); n = (n + 1) % slow.size()) {
                    if (!client.send_some(slow.substr(n, 1))) {
                        return;
                    }
                    std::this_thread::sleep_for(150ms);
                }
            });
        }
    }
    ~Nuisances() {
        done.store(true);
        for (std::thread& dribbler : dribblers) {
            dribbler.join();
        }
    }
    std::vector<std::unique_ptr<RawClient>> idle, deaf;
    std::vector<std::thread> dribblers;
    std::atomic<bool> done{false};
};

TEST(ConsoleWeb, ServesWhileConnectedAndFollowsDiHttpStopHttpRunAndQuit) {
    quirn_sim::PtyBoard board;
    ASSERT_TRUE(board.ok()) << board.error();
    board.set_analog(3, 0);
    Site site;
    const int port = free_port();
    ChildProcess tessaro = start_tessaro(site.dir, port);
    ASSERT_TRUE(connect_and_serve(tessaro, board.path(), port)) << tessaro.output();

    httplib::Client web("localhost", port);
    const size_t before_web = tessaro.output().size();
    const std::tuple<std::string, int, std::string> rows[] = {
        {"/", 200, "<p>pages</p>\n"},
        {"/help/", 200, "<p>help</p>\n"},
        {"/help", 301, ""},
        {"/api/gpio/grd/3", 200, R"({"pin":3,"value":0})"},
        {"/../secret.txt", 404, ""},
        {"/%2e%2e/secret.txt", 404, ""},
        {"/help/../../secret.txt", 404, ""},
    };
    for (const auto& [path, status, body] : rows) {
        const httplib::Result result = web.Get(path);
        ASSERT_TRUE(result) << path;
        EXPECT_EQ(result->status, status) << path;
        EXPECT_EQ(result->body, body) << path;
    }
    // The frame an API request sent renews the console's prompt.
    EXPECT_TRUE(tessaro.wait_for_output(
        "\r[" + board.path() + "] [Arduino:Uno_R4_Minima] [Server] [", kDeadline, before_web))
        << tessaro.output();

    tessaro.write("di\n");
    ASSERT_TRUE(tessaro.wait_for_output(kQuit, kDeadline)) << tessaro.output();
    EXPECT_FALSE(web.Get("/"));
    // Stopped before the next session: it stays down while connected.
    // (Its prompt names the port: the one the web thread may print while
    // the old session closes does not.)
    tessaro.write("http_stop\nco " + board.path() + "\nsta\n");
    ASSERT_TRUE(tessaro.wait_for_output("bs_status: ", kDeadline, tessaro.output().find(kQuit)))
        << tessaro.output();
    EXPECT_EQ(count(tessaro.output(), start_line(port)), 1u) << tessaro.output();
    const size_t stopped = tessaro.output().size();
    tessaro.write("c\nhttp_run\n");
    ASSERT_TRUE(tessaro.wait_for_output(start_line(port), kStartDeadline, stopped))
        << tessaro.output();

    // An idle keep-alive connection does not hold up the end.
    web.set_keep_alive(true);
    ASSERT_TRUE(web.Get("/api/gpio/grd/3"));
    const auto quit_at = std::chrono::steady_clock::now();
    tessaro.write("quit\n");
    ASSERT_TRUE(tessaro.wait_for_output(kQuit, kDeadline, stopped)) << tessaro.output();
    EXPECT_LT(std::chrono::steady_clock::now() - quit_at, 500ms);
    EXPECT_EQ(tessaro.wait_exit(kDeadline), 0);
    // The web server's goodbye comes after the console's, with no prompt.
    const std::string out = tessaro.output();
    const size_t closed = out.find("\nConsole UI thread closed\n");
    ASSERT_NE(closed, std::string::npos) << out;
    EXPECT_EQ(out.find("] > ", closed), std::string::npos) << out.substr(closed);
}

// Idle connections, clients that dribble a request and clients that never
// read neither starve the API nor hold up di (goals 100 and 200 ms; the
// deadlines are three times those).
TEST(ConsoleWebConcurrency, MisbehavingClientsNeitherStarveTheApiNorHoldUpDi) {
    quirn_sim::PtyBoard board;
    ASSERT_TRUE(board.ok()) << board.error();
    board.set_analog(3, 0);
    Site site;
    const int port = free_port();
    ChildProcess tessaro = start_tessaro(site.dir, port);
    ASSERT_TRUE(connect_and_serve(tessaro, board.path(), port)) << tessaro.output();
    {
        Nuisances nuisances(port);
        const auto asked_at = std::chrono::steady_clock::now();
        const httplib::Result read = httplib::Client("localhost", port).Get("/api/gpio/grd/3");
        ASSERT_TRUE(read);
        EXPECT_EQ(read->body, R"({"pin":3,"value":0})");
        EXPECT_LT(std::chrono::steady_clock::now() - asked_at, 300ms);
        const auto di_at = std::chrono::steady_clock::now();
        tessaro.write("di\n");
        ASSERT_TRUE(tessaro.wait_for_output(kQuit, kDeadline)) << tessaro.output();
        EXPECT_LT(std::chrono::steady_clock::now() - di_at, 600ms);
    }
    tessaro.write("quit\n");
    EXPECT_EQ(tessaro.wait_exit(kDeadline), 0) << tessaro.output();
}

// http_stop, di and quit with 1 and with 50 idle keep-alive connections
// open: serving ends and every connection is closed within 500 ms.
TEST(ConsoleWeb, StopsCloseIdleKeepAliveConnectionsAtOnce) {
    quirn_sim::PtyBoard board;
    ASSERT_TRUE(board.ok()) << board.error();
    Site site;
    const int port = free_port();
    ChildProcess tessaro = start_tessaro(site.dir, port);
    ASSERT_TRUE(connect_and_serve(tessaro, board.path(), port)) << tessaro.output();
    test_support::allow_descriptors(1024);
    const struct {
        std::string stop, restart;
        size_t idle;
    } rows[] = {
        {"c\nhttp_stop\n", "http_run\n", 1},
        {"c\nhttp_stop\n", "http_run\n", 50},
        {"di\n", "co " + board.path() + "\n", 1},
        {"di\n", "co " + board.path() + "\n", 50},
        {"quit\n", "", 50},
    };
    for (const auto& row : rows) {
        std::vector<std::unique_ptr<RawClient>> idle;
        for (size_t i = 0; i < row.idle; ++i) {
            const RawClient& client = *idle.emplace_back(std::make_unique<RawClient>(port));
            std::string answer;
            ASSERT_TRUE(client.send_all("GET /api/board HTTP/1.1\r\nHost: localhost\r\n\r\n") &&
                        client.wait_for("}", Clock::now() + kDeadline, answer))
                << answer;
        }
        const size_t from = tessaro.output().size();
        const Clock::time_point stop = Clock::now();
        tessaro.write(row.stop);
        ASSERT_TRUE(tessaro.wait_for_output(kQuit, kDeadline, from)) << tessaro.output();
        for (const auto& client : idle) {
            EXPECT_TRUE(client->wait_closed(stop + 500ms)) << row.stop << row.idle;
        }
        EXPECT_LT(Clock::now() - stop, 500ms) << row.stop << row.idle;
        if (!row.restart.empty()) {
            tessaro.write(row.restart);
            ASSERT_TRUE(tessaro.wait_for_output(start_line(port), kStartDeadline, from))
                << tessaro.output();
        }
    }
    EXPECT_EQ(tessaro.wait_exit(kDeadline), 0) << tessaro.output();
}

// di or quit while web clients queue for a slow board ends the session
// after the one transaction in flight, not after one per client.
void word_is_not_held_up_by_queued_requests(const std::string& word) {
    constexpr uint32_t kReplyDelayMs = 400;
    constexpr auto kReplyDelay = std::chrono::milliseconds(kReplyDelayMs);
    quirn_sim::BoardConfig slow;
    slow.reply_delay_ms = kReplyDelayMs;
    quirn_sim::PtyBoard board(slow);
    ASSERT_TRUE(board.ok()) << board.error();
    Site site;
    const int port = free_port();
    ChildProcess tessaro = start_tessaro(site.dir, port);
    ASSERT_TRUE(connect_and_serve(tessaro, board.path(), port)) << tessaro.output();
    board.clear_received();
    std::vector<std::thread> clients;
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back([port] { httplib::Client("localhost", port).Get("/api/gpio/grd/3"); });
    }
    ASSERT_TRUE(board.wait_for_frames(1, kDeadline));
    const size_t mark = tessaro.output().size();
    const auto asked_at = std::chrono::steady_clock::now();
    tessaro.write(word + "\n");
    if (word == "di") {
        ASSERT_TRUE(tessaro.wait_for_output("Closed " + board.path() + " port\n", kDeadline, mark))
            << tessaro.output();
    } else {
        EXPECT_EQ(tessaro.wait_exit(kDeadline), 0) << tessaro.output();
    }
    // The one transaction in flight and the stop (goal 200 ms), with the
    // deadline three times that; eight transactions would be 3.2 s.
    EXPECT_LT(std::chrono::steady_clock::now() - asked_at, 3 * (kReplyDelay + 200ms));
    for (std::thread& client : clients) {
        client.join();
    }
    // Nothing queued was sent after the word.
    EXPECT_EQ(board.received_frames().size(), 1u);
    if (word == "di") {
        tessaro.write("quit\n");
        EXPECT_EQ(tessaro.wait_exit(kDeadline), 0) << tessaro.output();
    }
}

TEST(ConsoleWebConcurrency, DiIsNotHeldUpByRequestsQueuedForASlowBoard) {
    word_is_not_held_up_by_queued_requests("di");
}

TEST(ConsoleWebConcurrency, QuitIsNotHeldUpByRequestsQueuedForASlowBoard) {
    word_is_not_held_up_by_queued_requests("quit");
}

// Holds a free port on every loopback address that localhost names, as a
// server would that shares ports (SO_REUSEPORT).
struct PortHolder {
    PortHolder() {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE;
        for (int attempt = 0; attempt < 10 && sockets.empty(); ++attempt) {
            port = free_port();
            addrinfo* found = nullptr;
            getaddrinfo("localhost", std::to_string(port).c_str(), &hints, &found);
            for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
                const int sock =
                    socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
                const int yes = 1;
                setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
                setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
                sockets.push_back(sock);
                if (bind(sock, at->ai_addr, at->ai_addrlen) != 0 || listen(sock, 4) != 0) {
                    release();  // taken on another address meanwhile: another port
                    break;
                }
            }
            freeaddrinfo(found);
        }
    }
    ~PortHolder() { release(); }
    void release() {
        for (int sock : sockets) {
            close(sock);
        }
        sockets.clear();
    }
    std::vector<int> sockets;
    int port = 0;
};

TEST(ConsoleWeb, TakenPortIsSaidOnceAndServedOnceFree) {
    quirn_sim::PtyBoard board;
    ASSERT_TRUE(board.ok()) << board.error();
    PortHolder holder;
    ASSERT_FALSE(holder.sockets.empty()) << "no port could be held on localhost";
    const int port = holder.port;
    Site site;
    ChildProcess tessaro = start_tessaro(site.dir, port);
    tessaro.write("co " + board.path() + "\n");
    ASSERT_TRUE(tessaro.wait_for_output(taken_line(port), kDeadline)) << tessaro.output();
    // A reply that comes after the next try to bind: that try says nothing.
    board.set_reply_delay(static_cast<uint32_t>((kBindRetry + 200ms).count()));
    const size_t asked = tessaro.output().size();
    tessaro.write("sta\n");
    ASSERT_TRUE(tessaro.wait_for_output("bs_status: ", kDeadline, asked)) << tessaro.output();
    board.set_reply_delay(0);
    EXPECT_EQ(count(tessaro.output(), taken_line(port)), 1u) << tessaro.output();
    EXPECT_EQ(count(tessaro.output(), start_line(port)), 0u) << tessaro.output();
    // A new session says it again, once.
    const size_t before = tessaro.output().size();
    tessaro.write("di\nco " + board.path() + "\n");
    ASSERT_TRUE(tessaro.wait_for_output(taken_line(port), kDeadline, before)) << tessaro.output();
    EXPECT_EQ(count(tessaro.output(), taken_line(port)), 2u) << tessaro.output();
    holder.release();
    ASSERT_TRUE(tessaro.wait_for_output(start_line(port), kStartDeadline)) << tessaro.output();
    const httplib::Result result = httplib::Client("localhost", port).Get("/help/");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body, "<p>help</p>\n");
    tessaro.write("quit\n");
    EXPECT_EQ(tessaro.wait_exit(kDeadline), 0) << tessaro.output();
}

}  // namespace
