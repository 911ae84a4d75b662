// The built tessaro's web server, as a user meets it: it starts when a board
// is connected and stops with the session, with http_stop and with quit.

#include <gtest/gtest.h>
#include <httplib.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

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
using test_support::occurrences;
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

// tessaro beside a board on a pseudo-terminal, serving on a port of its
// own from a working directory with pages/ and help/, and a file beside
// them that must stay out of reach.
class ConsoleWeb : public testing::Test {
  protected:
    ConsoleWeb() {
        char name[] = "/tmp/tessaro-web-XXXXXX";
        dir_ = mkdtemp(name) ? name : "";
        fs::create_directories(dir_ / "pages");
        fs::create_directories(dir_ / "help");
        std::ofstream(dir_ / "pages" / "index.html") << "<p>pages</p>\n";
        std::ofstream(dir_ / "help" / "index.html") << "<p>help</p>\n";
        std::ofstream(dir_ / "secret.txt") << "secret\n";
    }
    ~ConsoleWeb() override { fs::remove_all(dir_); }

    // Starts tessaro on port and connects it to the board; with serving
    // set, waits for the web server to start.
    void start(int port, bool serving = true) {
        ASSERT_TRUE(board_.ok()) << board_.error();
        port_ = port;
        tessaro_ = std::make_unique<test_support::ChildProcess>(
            "/bin/sh", std::vector<std::string>{"-c", "cd \"$1\" && exec \"$0\" --http-port \"$2\"",
                                                TESSARO_BINARY, dir_, std::to_string(port)});
        if (serving) {
            ASSERT_TRUE(say("co " + board_.path() + "\n", start_line(port_), kStartDeadline));
        }
    }
    // Types words and waits for text in what follows them.
    testing::AssertionResult say(const std::string& words, const std::string& text,
                                 std::chrono::milliseconds deadline = kDeadline) {
        const size_t from = output().size();
        tessaro_->write(words);
        if (tessaro_->wait_for_output(text, deadline, from)) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure()
               << "no \"" << text << "\" after \"" << words << "\" in:\n"
               << output();
    }
    const std::string& output() const { return tessaro_->output(); }
    // Types words that stop the web server with idle_count idle keep-alive
    // connections open: serving ends and every connection is closed within
    // 500 ms.
    void stop_at_once(const std::string& words, size_t idle_count) {
        test_support::allow_descriptors(1024);
        std::vector<std::unique_ptr<RawClient>> idle;
        for (size_t i = 0; i < idle_count; ++i) {
            const RawClient& client = *idle.emplace_back(std::make_unique<RawClient>(port_));
            std::string answer;
            ASSERT_TRUE(client.send_all("GET /api/board HTTP/1.1\r\nHost: localhost\r\n\r\n") &&
                        client.wait_for("}", Clock::now() + kDeadline, answer))
                << answer;
        }
        const Clock::time_point stop = Clock::now();
        ASSERT_TRUE(say(words, kQuit));
        for (const auto& client : idle) {
            EXPECT_TRUE(client->wait_closed(stop + 500ms)) << words << idle_count;
        }
        EXPECT_LT(Clock::now() - stop, 500ms) << words << idle_count;
        EXPECT_FALSE(httplib::Client("localhost", port_).Get("/")) << words;
    }

    quirn_sim::PtyBoard board_;
    fs::path dir_;
    int port_ = 0;
    std::unique_ptr<test_support::ChildProcess> tessaro_;
};

// The pages, the API and nothing beside them; then every stop, with 1 and
// with 50 idle keep-alive connections open (quit with 1 ends
// TakenPortIsSaidOnceAndServedOnceFree), and an http_stop that outlasts
// the session.
TEST_F(ConsoleWeb, ServesWhileConnectedAndEveryStopClosesIdleConnectionsAtOnce) {
    board_.set_analog(3, 0);
    start(test_support::free_port());
    httplib::Client web("localhost", port_);
    const size_t before_web = output().size();
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
    EXPECT_TRUE(tessaro_->wait_for_output(
        "\r[" + board_.path() + "] [Arduino:Uno_R4_Minima] [Server] [", kDeadline, before_web))
        << output();

    for (const size_t idle_count : {1, 50}) {
        stop_at_once("c\nhttp_stop\n", idle_count);
        ASSERT_TRUE(say("http_run\n", start_line(port_), kStartDeadline));
    }
    stop_at_once("di\n", 1);
    // Stopped before the next session: it stays down while connected. (Its
    // prompt names the port: the one the web thread may print while the
    // old session closes does not.)
    const size_t stopped = output().size();
    ASSERT_TRUE(say("http_stop\nco " + board_.path() + "\nsta\n", "bs_status: "));
    EXPECT_EQ(occurrences(output().substr(stopped), start_line(port_)), 0u) << output();
    ASSERT_TRUE(say("c\nhttp_run\n", start_line(port_), kStartDeadline));
    stop_at_once("di\n", 50);
    ASSERT_TRUE(say("co " + board_.path() + "\n", start_line(port_), kStartDeadline));
    stop_at_once("quit\n", 50);
    EXPECT_EQ(tessaro_->wait_exit(kDeadline), 0);
    // The web server's goodbye comes after the console's, with no prompt.
    const size_t closed = output().find("\nConsole UI thread closed\n");
    ASSERT_NE(closed, std::string::npos) << output();
    EXPECT_EQ(output().find("] > ", closed), std::string::npos) << output().substr(closed);
}

// di or quit while web clients queue for a slow board ends the session
// after the one transaction in flight, not after one per client, and sends
// nothing that was queued.
using ConsoleWebConcurrency = ConsoleWeb;

TEST_F(ConsoleWebConcurrency, NeitherDiNorQuitIsHeldUpByRequestsQueuedForASlowBoard) {
    constexpr auto kReplyDelay = 400ms;
    start(test_support::free_port());
    for (const std::string word : {"di", "quit"}) {
        board_.set_reply_delay(static_cast<uint32_t>(kReplyDelay.count()));
        board_.clear_received();
        std::vector<std::thread> clients;
        for (int i = 0; i < 8; ++i) {
            clients.emplace_back(
                [this] { httplib::Client("localhost", port_).Get("/api/gpio/grd/3"); });
        }
        ASSERT_TRUE(board_.wait_for_frames(1, kDeadline));
        const auto asked_at = Clock::now();
        if (word == "di") {
            ASSERT_TRUE(say("di\n", "Closed " + board_.path() + " port\n"));
        } else {
            tessaro_->write("quit\n");
            EXPECT_EQ(tessaro_->wait_exit(kDeadline), 0) << output();
        }
        // The one transaction in flight and the stop (goal 200 ms), with the
        // deadline three times that; eight transactions would be 3.2 s.
        EXPECT_LT(Clock::now() - asked_at, 3 * (kReplyDelay + 200ms)) << word;
        for (std::thread& client : clients) {
            client.join();
        }
        EXPECT_EQ(board_.received_frames().size(), 1u) << word;
        board_.set_reply_delay(0);
        if (word == "di") {
            ASSERT_TRUE(say("co " + board_.path() + "\n", start_line(port_), kStartDeadline));
        }
    }
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
            port = test_support::free_port();
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

TEST_F(ConsoleWeb, TakenPortIsSaidOnceAndServedOnceFree) {
    PortHolder holder;
    ASSERT_FALSE(holder.sockets.empty()) << "no port could be held on localhost";
    start(holder.port, false);
    ASSERT_TRUE(say("co " + board_.path() + "\n", taken_line(port_)));
    ASSERT_TRUE(say("di\nco " + board_.path() + "\n", taken_line(port_)));
    // A reply that comes after the next try to bind: that try says nothing.
    board_.set_reply_delay(static_cast<uint32_t>((kBindRetry + 200ms).count()));
    ASSERT_TRUE(say("sta\n", "bs_status: "));
    board_.set_reply_delay(0);
    EXPECT_EQ(occurrences(output(), taken_line(port_)), 2u) << output();
    EXPECT_EQ(occurrences(output(), start_line(port_)), 0u) << output();
    holder.release();
    ASSERT_TRUE(tessaro_->wait_for_output(start_line(port_), kStartDeadline)) << output();
    const httplib::Result result = httplib::Client("localhost", port_).Get("/help/");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body, "<p>help</p>\n");
    stop_at_once("quit\n", 1);
    EXPECT_EQ(tessaro_->wait_exit(kDeadline), 0) << output();
}

}  // namespace
