#pragma once
// The web front end as the program runs it, in-process: the program's port
// on a board in memory (on a clock the test owns), connected, and a server
// set up as the program's on a free port of localhost, serving the pages
// and a sampler that runs every few milliseconds. For the web test programs.

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "base/session.h"
#include "protocol/counters.h"
#include "protocol/statistics_windows.h"
#include "serial/class_serial.h"
#include "serial/transport.h"
#include "tests/support/memory_board.h"
#include "tests/support/raw_client.h"
#include "web/event_stream.h"
#include "web/gpio_api.h"

namespace test_support {

class ServedBoard : public testing::Test {
  public:
    // What any wait for the server or the board may take at most.
    static constexpr std::chrono::seconds kDeadline{10};

  protected:
    void SetUp() override {
        allow_descriptors(4096);
        counters::reset();
        statistics_ledger().reset();
        session().reset();
        auto transport = std::make_unique<MemoryBoard>(clock_);
        board_ = transport.get();
        serial_port().use_transport(std::move(transport), clock_);
        ASSERT_TRUE(serial_port().open(MemoryBoard::kName).ok());
        session().opened(MemoryBoard::kPath);
        start_server();
    }
    void TearDown() override {
        stop_server();
        serial_port().use_transport(std::make_unique<serial::PlatformTransport>(),
                                    serial::steady_clock());
        session().reset();
        statistics_ledger().reset();
    }

    // A new server in place of the one serving (stopped first).
    void start_server(WebServer::Options options = WebServer::Options{}) {
        stop_server();
        server_ = std::make_unique<WebServer>(options);
        port_ = server_->bind_to_any("localhost");
        ASSERT_GT(port_, 0);
        using std::chrono::milliseconds;
        const EventHub::Periods periods{milliseconds(5), milliseconds(5), milliseconds(20)};
        set_up_http_server(*server_, port_, {}, std::make_shared<EventHub>(periods));
        server_->set_mount_point("/", "pages");
        serving_ = std::thread([server = server_.get()] { server->serve(); });
    }
    // Ends serving and waits for it; the server then serves nothing.
    void stop_server() {
        if (!server_) {
            return;
        }
        while (serving_.joinable() && !server_->is_running()) {
            std::this_thread::yield();
        }
        server_->stop_serving();
        if (serving_.joinable()) {
            serving_.join();
        }
    }
    httplib::Result get(const std::string& path) const {
        return httplib::Client("localhost", port_).Get(path);
    }

    FakeClock clock_;
    MemoryBoard* board_ = nullptr;
    std::unique_ptr<WebServer> server_;
    int port_ = -1;
    std::thread serving_;
};

}  // namespace test_support
