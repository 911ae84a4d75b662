// The web API on a server bound to a free port in-process, against the
// simulated board in memory: the exact answer to each request and exactly
// what the board received for it (nothing, for every refusal).

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "app/console_ui.h"
#include "protocol/class_quirn_server.h"
#include "protocol/server_commands.h"
#include "serial/wire_trace.h"
#include "sim/quirn_board.h"
#include "tests/support/raw_client.h"
#include "tests/support/served_board.h"
#include "web/api_support.h"
#include "web/event_stream.h"
#include "web/metrics_api.h"

namespace {

constexpr auto kDeadline = test_support::ServedBoard::kDeadline;
const std::string kOk = R"({"status":"ok"})";
const std::string kBad = R"({"error":"Bad request"})";
const std::string kBadPin = R"({"error":"Invalid pin"})";
const std::string kBadPinOrMode = R"({"error":"Invalid pin or mode"})";
const std::string kBadValue = R"({"error":"Invalid value"})";
const std::string kForbidden = R"({"error":"Forbidden"})";
const std::string kNotFound = R"({"error":"Not found"})";
const std::string kBadReply = R"({"error":"Bad reply from board"})";
const std::string kNotConnected = R"({"error":"Board not connected"})";
const std::string kNoReply = R"({"error":"No reply from board"})";

// The sta outcome for a status word and all-clear alarm and fault words.
std::string status_answer(int word, bool user_running, bool kernel_running) {
    const auto flag = [](bool on) { return on ? std::string("true") : std::string("false"); };
    return R"({"word":"sta","ok":true,"status":{"word":)" + std::to_string(word) +
           R"(,"user_fault":false,"user_alarm":false,"user_scheduler_running":)" +
           flag(user_running) + R"(,"kernel_fault":false,"kernel_alarm":false,)" +
           R"("kernel_scheduler_running":)" + flag(kernel_running) +
           R"(},"alarm":{"word":0,"user_stack_high":false,"kernel_stack_high":false},)" +
           R"("fault":{"word":0,"user_stack_full":false,"watchdog":false,"kernel_stack_full":false}})";
}

struct Row {
    std::string method, path, body;
    int status;
    std::string answer, frames;          // the frames the board received, as "98 85 FE, ..."
    std::string host = "", origin = "";  // "{port}" stands for the server's port
    std::string header = "";             // one more, as "Name: value"
};

// A value nested depth levels deep, and a body of that many bytes.
std::string nested(int depth) {
    return std::string(static_cast<size_t>(depth), '[') +
           std::string(static_cast<size_t>(depth), ']');
}

class WebApi : public test_support::ServedBoard {
  protected:
    std::string with_port(std::string text) const {
        const size_t at = text.find("{port}");
        return at == std::string::npos ? text : text.replace(at, 6, std::to_string(port_));
    }
    httplib::Result send(const Row& row) {
        httplib::Client client("localhost", port_);
        httplib::Headers headers;
        if (const size_t colon = row.header.find(": "); colon != std::string::npos) {
            headers.emplace(row.header.substr(0, colon), row.header.substr(colon + 2));
        }
        for (const auto& [name, value] : {std::pair{"Host", row.host}, {"Origin", row.origin}}) {
            if (!value.empty()) {
                headers.emplace(name, with_port(value));
            }
        }
        return row.method == "GET" ? client.Get(row.path, headers)
               : row.method == "HEAD"
                   ? client.Head(row.path, headers)
                   : client.Post(row.path, headers, row.body, "application/json");
    }
    std::string received() {
        std::string text;
        for (const std::vector<uint8_t>& frame : board_->received_frames()) {
            text += (text.empty() ? "" : ", ") + quirn_sim::hex_bytes(frame);
        }
        return text;
    }
    void expect_rows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            const std::string what =
                row.method + " " + row.path + " " + row.body + " " + row.host + " " + row.origin;
            board_->clear_received();
            testing::internal::CaptureStdout();
            const httplib::Result result = send(row);
            const std::string printed = testing::internal::GetCapturedStdout();
            ASSERT_TRUE(result) << what << ": " << httplib::to_string(result.error());
            EXPECT_EQ(result->status, row.status) << what;
            // Files are compared by their beginning; a statistics window (its
            // cursor and time) is only looked for.
            std::string body = result->body;
            if (const size_t window = body.find(R"("window":{)"); window != std::string::npos) {
                body.erase(window + 10, body.find('}', window) - window - 10);
            }
            EXPECT_EQ(row.path.starts_with("/api/") ? body : body.substr(0, row.answer.size()),
                      row.answer)
                << what;
            EXPECT_EQ(result->get_header_value("Access-Control-Allow-Origin"), "") << what;
            EXPECT_EQ(received(), row.frames) << what;
            const bool wrote = row.path.find("/gwd/") != std::string::npos &&
                               (row.status == 200 || row.status >= 502);
            EXPECT_EQ(printed.find("Pin Update: " + row.path.substr(row.path.rfind('/') + 1) +
                                   "\n") != std::string::npos,
                      wrote)
                << what << printed;
        }
    }
};

TEST_F(WebApi, AnswersEachRequestAndSendsOnlyWhatIsValid) {
    board_->model().set_analog(8, 0x1234);
    board_->model().set_analog(63, 0);
    expect_rows({
        {"POST", "/api/gpio/config/5", R"({"mode":"output"})", 200, kOk, "81 85 FE"},
        {"POST", "/api/gpio/gwd/5", R"({"value":1})", 200, kOk, "A4 85 81 FE"},
        {"GET", "/api/gpio/grd/005", "", 200, R"({"pin":5,"value":1})", "98 85 FE"},
        {"POST", "/api/gpio/gwd/5", R"({"value":false,"x":[]})", 200, kOk, "A4 85 80 FE"},
        {"POST", "/api/gpio/gwd/5", R"({"value":1.9})", 200, kOk, "A4 85 81 FE"},
        {"POST", "/api/gpio/gwd/5", R"({"value":1,"x":)" + nested(31) + "}", 200, kOk,
         "A4 85 81 FE"},
        {"POST", "/api/gpio/gwd/5", R"({"value":63})", 200, kOk, "A4 85 BF FE"},
        {"GET", "/api/gpio/grd/63", "", 200, R"({"pin":63,"value":0})", "98 BF FE"},
        {"GET", "/api/gpio/gra/8", "", 200, R"({"pin":8,"value":4660})", "A0 88 FE"},
        {"POST", "/api/gpio/config/2", R"({"mode":"opendrain"})", 200, "", "88 82 FE"},
        {"POST", "/api/gpio/config/2", R"({"mode":"pullup"})", 200, "", "89 82 FE"},
        {"POST", "/api/gpio/config/2", R"({"mode":"input"})", 200, kOk, "80 82 FE"},
        // Refused: nothing reaches the board.
        {"POST", "/api/gpio/config/2", R"({"mode":"pushpull"})", 501,
         R"({"error":"Not implemented"})", ""},
        {"POST", "/api/gpio/config/2", R"({"mode":"Output"})", 400, kBadPinOrMode, ""},
        {"POST", "/api/gpio/config/70", R"({"mode":"input"})", 400, kBadPinOrMode, ""},
        {"POST", "/api/gpio/config/70", "{}", 500, kBad, ""},  // the mode is read first
        {"POST", "/api/gpio/config/2", R"({"mode":1})", 500, kBad, ""},
        {"POST", "/api/gpio/config/99999999999", R"({"mode":"input"})", 400, kBadPin, ""},
        {"GET", "/api/gpio/grd/64", "", 400, kBadPin, ""},
        {"POST", "/api/gpio/gwd/64", R"({"value":1})", 400, kBadPin, ""},
        {"POST", "/api/gpio/gwd/3", "", 500, kBad, ""},
        {"POST", "/api/gpio/gwd/3", R"({"value":"1"})", 500, kBad, ""},
        {"POST", "/api/gpio/gwd/3", "[1]", 500, kBad, ""},
        {"POST", "/api/gpio/gwd/3", R"({"value":null})", 500, kBad, ""},
        {"POST", "/api/gpio/gwd/3", R"({"value":1e400})", 500, kBad, ""},
        {"POST", "/api/gpio/gwd/3", R"({"value":64})", 400, kBadValue, ""},
        {"POST", "/api/gpio/gwd/3", R"({"value":-1})", 400, kBadValue, ""},
        {"POST", "/api/gpio/gwd/3", R"({"value":1e30})", 400, kBadValue, ""},
        {"POST", "/api/gpio/gwd/3", R"({"value":4294967297})", 400, kBadValue, ""},
        {"GET", "/api/gpio/grd/", "", 404, kNotFound, ""},
        {"GET", "/api/gpio/grd/5x", "", 404, kNotFound, ""},
        {"GET", "/api/gpio/grd/5/", "", 404, kNotFound, ""},
        {"POST", "/api/gpio/grd/5", "", 404, kNotFound, ""},
        // Hostile requests: refused before the board, and before the body
        // is read or parsed.
        {"HEAD", "/api/gpio/grd/5", "", 405, "", ""},
        {"POST", "/api/gpio/gwd/5", R"({"value":)" + nested(32) + "}", 500, kBad, ""},
        {"POST", "/api/gpio/gwd/5", R"({"value":)" + std::string(60000, '['), 500, kBad, ""},
        {"POST", "/api/gpio/config/5", R"({"mode":"input","x":")" + std::string(70000, 'x') + "\"}",
         413, R"({"error":"Request body too large"})", ""},
        {"POST", "/api/gpio/gwd/5", R"({"value":1})", 415,
         R"({"error":"Compressed bodies are not accepted"})", "", "", "", "Content-Encoding: gzip"},
        {"GET", "/index.html", "", 416, R"({"error":"Too many ranges"})", "", "", "",
         "Range: bytes=0-0,2-2,4-4,6-6,8-8"},
        {"GET", "/index.html", "", 206, "<!DOC", "", "", "", "Range: bytes=0-4"},
        // An API answer goes whole, whatever range is asked for.
        {"POST", "/api/gpio/gwd/2", R"({"value":1})", 200, kOk, "A4 82 81 FE", "", "",
         "Range: bytes=0-0"},
        // Only requests for this machine, and API requests from our own pages.
        {"GET", "/api/gpio/grd/5", "", 200, R"({"pin":5,"value":1})", "98 85 FE",
         "LocalHost:{port}", "http://localhost:{port}"},
        {"GET", "/api/gpio/grd/5", "", 200, R"({"pin":5,"value":1})", "98 85 FE", "[::1]:{port}"},
        {"GET", "/api/gpio/grd/5", "", 200, R"({"pin":5,"value":1})", "98 85 FE",
         "127.1.2.3:{port}"},
        {"GET", "/api/gpio/grd/5", "", 200, R"({"pin":5,"value":1})", "98 85 FE",
         "127.0.0.255:{port}", "", "Sec-Fetch-Site: same-origin"},
        {"GET", "/api/gpio/grd/5", "", 403, kForbidden, "", "10.0.0.1:{port}"},
        {"GET", "/api/gpio/grd/5", "", 403, kForbidden, "", "128.0.0.1:{port}"},
        {"GET", "/api/gpio/grd/5", "", 403, kForbidden, "", "127.-0.0.1:{port}"},
        {"GET", "/api/gpio/grd/5", "", 403, kForbidden, "", "127.0.0.1.1:{port}"},
        {"GET", "/api/gpio/grd/5", "", 403, kForbidden, "", "", "", "Origin: "},
        {"GET", "/api/gpio/grd/5", "", 403, kForbidden, "", "", "", "Sec-Fetch-Site: cross-site"},
        {"GET", "/api/gpio/grd/5", "", 403, kForbidden, "", "", "", "Sec-Fetch-Site: same-site"},
        {"GET", "/index.html", "", 200, "", "", "", "", "Sec-Fetch-Site: cross-site"},
        {"POST", "/api/gpio/gwd/5", R"({"value":0})", 403, kForbidden, "", "evil.example:{port}"},
        {"GET", "/api/gpio/grd/5", "", 403, kForbidden, "", "localhost.evil.example"},
        {"GET", "/api/gpio/grd/5", "", 403, kForbidden, "", "127.0.0.256:{port}"},
        {"GET", "/api/gpio/grd/5", "", 403, kForbidden, "", "localhost:1"},
        {"GET", "/index.html", "", 403, kForbidden, "", "evil.example"},
        {"POST", "/api/gpio/gwd/5", R"({"value":0})", 403, kForbidden, "", "",
         "http://evil.example"},
        {"GET", "/api/gpio/grd/5", "", 403, kForbidden, "", "", "null"},
        {"GET", "/no/such/file", "", 404, "", "", "", "http://evil.example"},
        // The trace shows what the board was sent: it is as guarded as the pins.
        {"GET", "/api/trace", "", 403, kForbidden, "", "evil.example:{port}"},
        // So are the metrics, which name the port and the board.
        {"GET", "/metrics", "", 403, kForbidden, "", "evil.example:{port}"},
        {"GET", "/api/trace?after=-1", "", 400, R"({"error":"Invalid after"})", ""},
        {"GET", "/api/trace?after=99999999999999999999", "", 400, R"({"error":"Invalid after"})",
         ""},
    });
}

// The board panel's routes: the words they send, and the decoded outcome
// each answers with; what they refuse reaches nothing.
TEST_F(WebApi, BoardRoutesAnswerWithTheDecodedOutcome) {
    const std::string bad_tasks = R"({"error":"Invalid tasks"})";
    const std::string bad_pins = R"({"error":"Invalid pins"})";
    const std::string idle_systat =
        R"({"word":"sys","ok":true,"load":{"min":1,"max":1,"average":1,"min_percent":2.5,)"
        R"("max_percent":2.5,"average_percent":2.5},"period":{"low":10,"high":50,"length":40},)"
        R"("kernel_stack":{"min":0,"max":0,"size":64,"min_percent":0.0,"max_percent":0.0},)"
        R"("user_stack":{"min":0,"max":0,"size":128,"min_percent":0.0,"max_percent":0.0},)"
        R"("window":{}})";
    board_->model().set_analog(3, 0);
    board_->model().set_analog(4, 700);
    board_->model().set_analog(5, 1023);
    expect_rows({
        {"GET", "/api/status", "", 200, status_answer(0, false, false), "40"},
        {"GET", "/api/systat", "", 200, idle_systat, "04"},
        {"POST", "/api/scheduler/run", R"({"tasks":"user"})", 200, R"({"word":"rust","ok":true})",
         "20"},
        {"GET", "/api/status", "", 200, status_answer(16, true, false), "40"},
        {"POST", "/api/scheduler/run", R"({"tasks":"kernel"})", 200, R"({"word":"rkst","ok":true})",
         "02"},
        {"GET", "/api/status", "", 200, status_answer(17, true, true), "40"},
        {"POST", "/api/scheduler/stop", R"({"tasks":"kernel"})", 200,
         R"({"word":"skst","ok":true})", "01"},
        {"POST", "/api/scheduler/stop", R"({"tasks":"user"})", 200, R"({"word":"sust","ok":true})",
         "10"},
        {"POST", "/api/scheduler/run", R"({"tasks":"both"})", 200, R"({"word":"run","ok":true})",
         "20, 02"},
        {"POST", "/api/scheduler/stop", R"({"tasks":"both"})", 200, R"({"word":"stop","ok":true})",
         "10, 01"},
        {"POST", "/api/clear", "", 200, R"({"word":"clr","ok":true})", "08"},
        {"GET", "/api/gpio?pins=4-5", "", 200,
         R"({"read":"digital","pins":[{"pin":4,"value":1},{"pin":5,"value":1}]})",
         "98 84 FE, 98 85 FE"},
        {"GET", "/api/gpio?pins=5,3-4,4&read=analog", "", 200,
         R"({"read":"analog","pins":[{"pin":5,"value":1023},{"pin":3,"value":0},)"
         R"({"pin":4,"value":700}]})",
         "A0 85 FE, A0 83 FE, A0 84 FE"},
        {"GET", "/api/gpio?pins=63", "", 200, R"({"read":"digital","pins":[{"pin":63,"value":0}]})",
         "98 BF FE"},
        // Refused: nothing reaches the board.
        {"POST", "/api/scheduler/run", R"({"tasks":"all"})", 400, bad_tasks, ""},
        {"POST", "/api/scheduler/stop", R"({"tasks":1})", 400, bad_tasks, ""},
        {"POST", "/api/scheduler/run", "{}", 400, kBad, ""},
        {"POST", "/api/scheduler/run", "", 400, kBad, ""},
        {"POST", "/api/scheduler/run", R"({"tasks":)" + nested(40) + "}", 400, kBad, ""},
        {"GET", "/api/gpio", "", 400, bad_pins, ""},
        {"GET", "/api/gpio?pins=", "", 400, bad_pins, ""},
        {"GET", "/api/gpio?pins=64", "", 400, bad_pins, ""},
        {"GET", "/api/gpio?pins=0-64", "", 400, bad_pins, ""},
        {"GET", "/api/gpio?pins=5-3", "", 400, bad_pins, ""},
        {"GET", "/api/gpio?pins=1,,2", "", 400, bad_pins, ""},
        {"GET", "/api/gpio?pins=-1", "", 400, bad_pins, ""},
        {"GET", "/api/gpio?pins=99999999999", "", 400, bad_pins, ""},
        {"GET", "/api/gpio?pins=1&read=Digital", "", 400, R"({"error":"Invalid read"})", ""},
        {"POST", "/api/status", "", 404, kNotFound, ""},
        {"GET", "/api/clear", "", 404, kNotFound, ""},
        {"GET", "/api/scheduler/run", "", 404, kNotFound, ""},
        {"GET", "/api/status", "", 403, kForbidden, "", "", "http://evil.example"},
    });
}

// /api/board sends nothing: the link as the console and the link watcher
// left it, the board as identified, and a session that grows.
TEST_F(WebApi, BoardTellsTheLinkWithoutSendingAnything) {
    session().opened(test_support::MemoryBoard::kPath);
    const CommandOutcome identified = run_board_command("ihwmcu", CommandSource::kConsole);
    ASSERT_TRUE(identified.identification);
    quirn_server().apply_identification(*identified.identification);
    const uint64_t number = session().state().number;
    const auto answer = [&](const char* link, const char* port, bool named) {
        nlohmann::ordered_json body = {
            {"link", link}, {"port", port ? nlohmann::json(port) : nullptr}, {"session", number}};
        body["maker"] = named ? nlohmann::json("Arduino") : nullptr;
        body["board"] = named ? nlohmann::json("Uno_R4_Minima") : nullptr;
        body["maker_id"] = named ? nlohmann::json(quirn_sim::MAKER_ARDUINO) : nullptr;
        body["board_id"] = named ? nlohmann::json(quirn_sim::BOARD_UNO_R4_MINIMA) : nullptr;
        body["mqtt_connected"] = false;
        return body.dump();
    };
    const std::string waiting = R"({"error":"Board not connected","waiting_for":"/dev/ttyACM7"})";
    expect_rows({{"GET", "/api/board", "", 200,
                  answer("connected", test_support::MemoryBoard::kPath, true), ""}});
    // The board vanished and its port is waited for; then the wait given up.
    session().waiting("/dev/ttyACM7");
    expect_rows({
        {"GET", "/api/board", "", 200, answer("waiting", "/dev/ttyACM7", false), ""},
        {"GET", "/api/status", "", 503, waiting, ""},
        {"POST", "/api/scheduler/run", R"({"tasks":"both"})", 503, waiting, ""},
        {"GET", "/api/gpio?pins=1-3", "", 503, waiting, ""},
        {"GET", "/api/gpio/grd/1", "", 503, waiting, ""},
    });
    session().closed();
    expect_rows({
        {"GET", "/api/board", "", 200, answer("disconnected", nullptr, false), ""},
        {"GET", "/api/systat", "", 503, kNotConnected, ""},
        {"GET", "/api/gpio?pins=0-63", "", 503, kNotConnected, ""},
        {"GET", "/api/gpio/gra/5", "", 503, kNotConnected, ""},
        {"POST", "/api/clear", "", 503, kNotConnected, ""},
        {"POST", "/api/gpio/gwd/5", R"({"value":1})", 503, kNotConnected, ""},
        {"POST", "/api/gpio/config/5", R"({"mode":"input"})", 503, kNotConnected, ""},
    });
    session().opened(test_support::MemoryBoard::kPath);
    EXPECT_EQ(session().state().number, number + 1);
}

// The description served names exactly the routes the server registers,
// each with its method.
TEST_F(WebApi, DescriptionNamesEveryRegisteredRoute) {
    const httplib::Result result = httplib::Client("localhost", port_).Get("/api/openapi.json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    const nlohmann::json document = nlohmann::json::parse(result->body, nullptr, false);
    ASSERT_TRUE(document.contains("paths")) << result->body.substr(0, 200);
    std::set<std::string> described, registered;
    for (const auto& [path, methods] : document["paths"].items()) {
        for (const auto& [method, operation] : methods.items()) {
            std::string name = method;
            std::transform(name.begin(), name.end(), name.begin(), ::toupper);
            described.insert(name + " " + path);
        }
    }
    for (const ApiRoute& route : api_routes()) {
        registered.insert(std::string(route.method) + " " + std::string(route.path));
    }
    registered.insert(std::string("GET ") + EventHub::kPath);  // the event stream
    registered.insert(std::string("GET ") + kMetricsPath);
    EXPECT_EQ(described, registered);
}

// A board that fails: each failure is its own answer, never a success.
TEST_F(WebApi, ReportsABoardThatFailsInsteadOfSuccess) {
    const std::string no_reply = kNoReply,
                      bad_echo = R"({"error":"Bad reply from board","reason":"bad_echo"})";
    const std::pair<quirn_sim::Faults, std::vector<Row>> steps[] = {
        {{.silent_every = 1},
         {{"GET", "/api/status", "", 504, R"({"error":"No reply from board","reason":"no_reply"})",
           "40"},
          {"GET", "/api/gpio/grd/5", "", 504, no_reply, "98 85 FE"},
          {"POST", "/api/gpio/gwd/5", R"({"value":1})", 504, no_reply, "A4 85 81 FE"},
          {"POST", "/api/gpio/config/5", R"({"mode":"pullup"})", 504, no_reply, "89 85 FE"}}},
        // Every second request unanswered: a pin of several carries its own
        // error, and the half of a run the board did not confirm is named.
        {{.silent_every = 2},
         {{"GET", "/api/gpio?pins=1-3", "", 200,
           R"({"read":"digital","pins":[{"pin":1,"value":0},)"
           R"({"pin":2,"error":"No reply from board"},{"pin":3,"value":0}]})",
           "98 81 FE, 98 82 FE, 98 83 FE"}}},
        {{.silent_every = 2},
         {{"POST", "/api/scheduler/run", R"({"tasks":"both"})", 502,
           R"({"error":"Bad reply from board","reason":"unconfirmed","unconfirmed":"kernel"})",
           "20, 02"}}},
        // A reply that answers another request, or only half of this one, is
        // never a value: its late half would otherwise be read as the start
        // of the next answer (the value 0x98, a read's echo).
        {{.wrong_echo = true},
         {{"GET", "/api/gpio/grd/5", "", 502, kBadReply, "98 85 FE"},
          {"POST", "/api/gpio/gwd/5", R"({"value":1})", 502, kBadReply, "A4 85 81 FE"},
          {"POST", "/api/gpio/config/5", R"({"mode":"opendrain"})", 502, kBadReply, "88 85 FE"},
          {"GET", "/api/systat", "", 502, bad_echo, "04"},
          {"POST", "/api/clear", "", 502, bad_echo, "08"}}},
        {{.split_gap_ms = 20},
         {{"GET", "/api/gpio/grd/5", "", 502, kBadReply, "98 85 FE"},
          {"GET", "/api/gpio/grd/5", "", 502, kBadReply, "98 85 FE"},
          {"POST", "/api/gpio/config/5", R"({"mode":"input"})", 502, kBadReply, "80 85 FE"}}},
        {{.wrong_length = true}, {{"GET", "/api/gpio/gra/5", "", 502, kBadReply, "A0 85 FE"}}},
        // The board mends while the late half of the last reply is on its
        // way: the very next request gets its own answer.
        {{.split_gap_ms = 20}, {{"GET", "/api/gpio/grd/5", "", 502, kBadReply, "98 85 FE"}}},
        {{}, {{"GET", "/api/gpio/grd/5", "", 200, R"({"pin":5,"value":1})", "98 85 FE"}}},
    };
    for (const auto& [faults, rows] : steps) {
        board_->set_faults(faults);
        expect_rows(rows);
    }
}

// A stop that comes after the bind but before serving begins is kept: the
// server then does not serve at all.
TEST(WebServerStop, AStopBeforeServingIsNotLost) {
    WebServer server;
    ASSERT_GT(server.bind_to_any("localhost"), 0);
    server.stop_serving();
    auto serving = std::async(std::launch::async, [&] { return server.serve(); });
    if (serving.wait_for(kDeadline) != std::future_status::ready) {
        server.stop_serving();  // free the thread before failing
        serving.wait();
        FAIL() << "serve() ignored the stop that came before it";
    }
    EXPECT_FALSE(serving.get());
}

using test_support::RawClient;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Requests whose framing breaks the limits: refused before the board, on
// every framing; and a request must arrive whole within the read limit
// (2 s unless set) however slowly its bytes come.
TEST_F(WebApi, RequestsThatBreakTheLimitsAreRefusedWhateverTheirFraming) {
    const std::string post = "POST /api/gpio/gwd/5 HTTP/1.1\r\nHost: localhost\r\n";
    const auto chunk = [](const std::string& data) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", data.size());
        return size + data + "\r\n";
    };
    const std::tuple<const char*, std::string, const char*, const char*> rows[] = {
        {"a chunked body",
         post + "Transfer-Encoding: chunked\r\n\r\n" + chunk(R"({"val)") + chunk(R"(ue":1})") +
             "0\r\n\r\n",
         "HTTP/1.1 200", "A4 85 81 FE"},
        {"two Content-Length headers",
         post + "Content-Length: 11\r\nContent-Length: 11\r\n\r\n" + R"({"value":1})",
         "HTTP/1.1 400", ""},
        {"a head past 64 KB", post + "X-Filler: " + std::string(70000, 'x') + "\r\n\r\n",
         "HTTP/1.1 413", ""},
    };
    for (const auto& [what, request, status_line, frames] : rows) {
        board_->clear_received();
        RawClient client(port_);
        testing::internal::CaptureStdout();
        client.send_all(request);
        std::string answer;
        EXPECT_TRUE(client.wait_for("\r\n\r\n", Clock::now() + kDeadline, answer)) << what;
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(answer.starts_with(status_line)) << what << ": " << answer;
        EXPECT_EQ(received(), frames) << what;
    }
    // A byte every 50 ms: the request is cut off at the limit after its
    // first byte (the program's 2 s, shortened here).
    EXPECT_EQ(WebServer::Options{}.request_read_limit, 2s);
    start_server(WebServer::Options{.request_read_limit = 300ms});
    RawClient slow(port_);
    const std::string request = "GET /api/board HTTP/1.1\r\nHost: localhost\r\n";
    const Clock::time_point first = Clock::now();
    for (size_t sent = 0; slow.send_some(request.substr(sent++ % request.size(), 1)) &&
                          !slow.wait_closed(Clock::now() + 50ms) && Clock::now() - first < 3s;) {
    }
    const auto cut_after = Clock::now() - first;
    EXPECT_GE(cut_after, 300ms);
    EXPECT_LE(cut_after, 900ms);
}

// Resident memory of this process, in KB.
long resident_kb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// Each kind of hostile client, beside a probe that must get the board's state
// and the page at once (goal 100 ms; the deadline is three times that), and
// a stop that must end serving and close every connection at once (goal
// 200 ms, deadline 600 ms). Requests waiting for the board answer that the
// server is stopping.
TEST_F(WebApi, HostileClientsDelayNoOneAndAStopEndsThemAtOnce) {
    enum class Load { kDribblers, kIdle, kDeaf, kHugeChunkedBody, kLateBoardReads };
    const std::pair<Load, const char*> loads[] = {
        {Load::kDribblers, "200 clients sending a byte every 150 ms"},
        {Load::kIdle, "1000 idle connections"},
        {Load::kDeaf, "50 clients that never read their answers"},
        {Load::kHugeChunkedBody, "a chunked body of 260 MB"},
        {Load::kLateBoardReads, "16 reads of 64 pins from a board that has not answered yet"},
    };
    // The first of the late reads is held in the board until the stop is seen.
    std::promise<void> reached, release;
    const std::shared_future<void> released = release.get_future().share();
    for (const auto& [load, what] : loads) {
        SCOPED_TRACE(what);
        WebServer server;
        const int port = server.bind_to_any("localhost");
        ASSERT_GT(port, 0);
        set_up_http_server(server, port);
        server.set_mount_point("/", "pages");
        std::future<bool> serving = std::async(std::launch::async, [&] { return server.serve(); });
        const std::string host = "Host: localhost:" + std::to_string(port) + "\r\n";
        std::vector<std::unique_ptr<RawClient>> clients;
        // Each client sends request at once, or nothing when it is empty.
        const auto connect = [&](size_t count, const std::string& request, int receive_buffer = 0) {
            for (size_t i = 0; i < count; ++i) {
                clients.push_back(std::make_unique<RawClient>(port, receive_buffer));
                ASSERT_TRUE(clients.back()->connected());
                ASSERT_TRUE(request.empty() || clients.back()->send_some(request));
            }
        };
        std::jthread pacer;  // paces the dribblers until asked to stop
        const long memory_before = resident_kb();
        switch (load) {
            case Load::kDribblers:
                connect(200, "");
                pacer = std::jthread([&](const std::stop_token& stop) {
                    const std::string request = "GET /api/board HTTP/1.1\r\n" + host;
                    std::mutex mutex;
                    std::condition_variable_any wake;
                    std::unique_lock lock(mutex);
                    const auto stopped = [&] { return stop.stop_requested(); };
                    // Each is reading a request from its first byte.
                    for (size_t n = 0; !wake.wait_for(lock, stop, n == 0 ? 0ms : 150ms, stopped);
                         ++n) {
                        for (const auto& client : clients) {
                            client->send_some(request.substr(n % request.size(), 1));
                        }
                    }
                });
                break;
            case Load::kIdle:
                connect(1000, "");
                break;
            case Load::kDeaf: {  // answers past any send buffer (4 MB)
                std::string requests;
                for (int n = 0; n < 600; ++n) {
                    requests += "GET / HTTP/1.1\r\n" + host + "\r\n";
                }
                connect(50, requests, 4096);
                break;
            }
            case Load::kHugeChunkedBody: {
                connect(1, "POST /api/gpio/gwd/5 HTTP/1.1\r\n" + host +
                               "Transfer-Encoding: chunked\r\n\r\n");
                RawClient& client = *clients.back();
                const std::string chunk = "10000\r\n" + std::string(0x10000, ' ') + "\r\n";
                std::string answer;
                for (size_t sent = 0; sent < 260u << 20 && client.send_all(chunk) &&
                                      !client.wait_for("\r\n\r\n", Clock::now(), answer);
                     sent += 0x10000) {
                }
                client.wait_for("\r\n\r\n", Clock::now() + kDeadline, answer);
                EXPECT_TRUE(answer.starts_with("HTTP/1.1 413")) << answer;
                EXPECT_LT(resident_kb() - memory_before, 10 * 1024);
                break;
            }
            case Load::kLateBoardReads:
                board_->set_reply_delay([&](uint64_t n) {
                    if (n == 0) {
                        reached.set_value();
                        released.wait_for(kDeadline);
                    }
                    return 0u;
                });
                connect(16, "GET /api/gpio?pins=0-63 HTTP/1.1\r\n" + host + "\r\n");
                EXPECT_EQ(reached.get_future().wait_for(kDeadline), std::future_status::ready);
                break;
        }
        // A client that comes after the load is taken after its last
        // connection: from then on the load is there, not still arriving.
        EXPECT_TRUE(httplib::Client("localhost", port).Get("/api/board"));
        for (const char* path : {"/api/board", "/"}) {
            const Clock::time_point asked = Clock::now();
            const httplib::Result result = httplib::Client("localhost", port).Get(path);
            EXPECT_LT(Clock::now() - asked, 300ms) << path;
            EXPECT_EQ(result ? result->status : -1, 200) << path;
        }

        const Clock::time_point stop = Clock::now();
        server.stop_serving();
        EXPECT_EQ(serving.wait_until(stop + 600ms), std::future_status::ready);
        for (const auto& client : clients) {
            std::string answer;
            EXPECT_TRUE(client->wait_closed(stop + 600ms, &answer));
            if (load == Load::kLateBoardReads) {
                EXPECT_TRUE(answer.starts_with("HTTP/1.1 503")) << answer;
                EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
                EXPECT_NE(answer.find(R"({"error":"Web server stopping"})"), std::string::npos);
            }
        }
        if (pacer.joinable()) {
            pacer.request_stop();
            pacer.join();
        }
        if (load == Load::kLateBoardReads) {
            release.set_value();  // the read under way ends
        }
        serving.wait();
    }
}

// Pages of the trace: what came after the number asked with, the newest
// number to ask with next, and how many the ring lost in between.
TEST_F(WebApi, TracePagesFollowTheRingAndSayWhatItDropped) {
    httplib::Client client("localhost", port_);
    const auto page = [&](uint64_t after) {
        const httplib::Result result = client.Get("/api/trace?after=" + std::to_string(after));
        EXPECT_TRUE(result && result->status == 200);
        return nlohmann::json::parse(result ? result->body : "{}");
    };
    const uint64_t start = wire_trace::events_after(0, 0).last;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(client.Get("/api/gpio/grd/5"));
    testing::internal::GetCapturedStdout();
    const nlohmann::json read = page(start);
    ASSERT_EQ(read["events"].size(), 2u) << read;
    EXPECT_EQ(read["last"], start + 2);
    EXPECT_EQ(read["dropped"], 0);
    for (const auto& [i, dir, bytes] : {std::tuple{0, "->", "98 85 FE"}, {1, "<-", "98 85 "}}) {
        const nlohmann::json& event = read["events"][i];
        EXPECT_EQ(event["seq"], start + 1 + i);
        EXPECT_EQ(event["source"], "api GET /api/gpio/grd/5");
        EXPECT_EQ(event["dir"], dir);
        EXPECT_TRUE(event["bytes"].get<std::string>().starts_with(bytes)) << event;
        EXPECT_NE(event["line"].get<std::string>().find(std::string(dir) + " " + bytes),
                  std::string::npos);
    }
    EXPECT_EQ(read["events"][1]["note"], "ended at known length");
    // The record's fields are a contract with scripts: a rename breaks them.
    std::vector<std::string> fields;
    for (const auto& [key, value] : read["events"][1].items()) {
        fields.push_back(key);
    }
    EXPECT_EQ(fields, (std::vector<std::string>{"bytes", "dir", "line", "note", "seq", "since_ms",
                                                "source", "time"}));
    EXPECT_EQ(read["events"][0]["since_ms"], 0.0) << "a request";
    EXPECT_GT(read["events"][1]["since_ms"].get<double>(), 0.0) << "its reply";
    EXPECT_TRUE(page(start + 1000)["events"].empty()) << "nothing past the newest";

    // Half again as many events as the ring holds: the oldest half-ring is lost.
    const wire_trace::SourceScope source("filler");
    for (size_t i = 0; i < wire_trace::kRingSize * 3 / 2; ++i) {
        wire_trace::record(wire_trace::Direction::kEvent, {}, std::to_string(i));
    }
    const nlohmann::json wrapped = page(start + 2);
    ASSERT_EQ(wrapped["events"].size(), wire_trace::kRingSize);
    EXPECT_EQ(wrapped["dropped"], wire_trace::kRingSize / 2);
    EXPECT_EQ(wrapped["events"][0]["note"], std::to_string(wire_trace::kRingSize / 2));
    EXPECT_EQ(wrapped["last"], start + 2 + wire_trace::kRingSize * 3 / 2);
    EXPECT_EQ(wrapped["events"].back()["seq"], wrapped["last"]);
    EXPECT_EQ(page(0)["dropped"], wrapped["last"].get<uint64_t>() - wire_trace::kRingSize);
}

// Clients read and write their own pins while the console types run and
// stop, traced to a file: every answer is the one for its own request, the
// two requests of run and stop reach the board back to back, and the trace
// has every line whole, each request followed at once by its own reply, in
// the ring's order, numbered without a gap.
using WebApiConcurrency = WebApi;

TEST_F(WebApiConcurrency, ParallelRequestsWhileTheConsoleRunsAndStopsTracedToAFile) {
    constexpr int kClients = 6, kRounds = 8, kRunStops = 15;
    board_->clear_received();
    const std::string path = testing::TempDir() + "web_trace_test.log";
    std::string why;
    ASSERT_TRUE(wire_trace::open_file(path, why)) << why;
    const uint64_t start = wire_trace::events_after(0, 0).last;
    testing::internal::CaptureStdout();
    // The board's model is set under its lock: the server may be reading it.
    for (int k = 0; k < kClients; ++k) {
        board_->set_analog(static_cast<uint8_t>(40 + k), static_cast<uint16_t>(100 * k + 7));
    }
    std::vector<std::thread> clients;
    for (int k = 0; k < kClients; ++k) {
        const std::string pin = std::to_string(10 + k), analog = std::to_string(40 + k);
        clients.emplace_back([this, k, pin, analog] {
            httplib::Client client("localhost", port_);
            // A connection idle for a moment is closed before its request is read,
            // so sending again is safe; browsers do the same.
            auto body = [&](auto send) {
                httplib::Result result = send();
                result = result ? std::move(result) : send();
                return result ? result->body : httplib::to_string(result.error());
            };
            const std::string ok = kOk, json = "application/json";
            const std::string config = R"({"mode":"output"})";
            EXPECT_EQ(body([&] { return client.Post("/api/gpio/config/" + pin, config, json); }),
                      ok);
            for (int i = 0; i < kRounds; ++i) {
                const std::string value = std::to_string((i + k) % 2);
                const std::string write = R"({"value":)" + value + "}";
                EXPECT_EQ(body([&] { return client.Post("/api/gpio/gwd/" + pin, write, json); }),
                          ok);
                EXPECT_EQ(body([&] { return client.Get("/api/gpio/grd/" + pin); }),
                          R"({"pin":)" + pin + R"(,"value":)" + value + "}");
                EXPECT_EQ(
                    body([&] { return client.Get("/api/gpio/gra/" + analog); }),
                    R"({"pin":)" + analog + R"(,"value":)" + std::to_string(100 * k + 7) + "}");
                EXPECT_EQ(
                    body([&] { return client.Get("/api/gpio?pins=" + pin); }),
                    R"({"read":"digital","pins":[{"pin":)" + pin + R"(,"value":)" + value + "}]}");
            }
        });
    }
    std::string typed = "s";
    for (int i = 0; i < kRunStops; ++i) {
        typed += " run stop";
    }
    std::istringstream input(typed + " c quit");
    run_console(input);
    for (std::thread& client : clients) {
        client.join();
    }
    testing::internal::GetCapturedStdout();
    // 0x20 and 0x10 occur only as the first requests of run and stop: each is
    // followed by the second request of its word, never by a web request.
    const std::string frames = received();
    for (const char* part : {"20", "20, 02", "10", "10, 01"}) {
        EXPECT_EQ(test_support::occurrences(frames, part), size_t{kRunStops})
            << part << ": " << frames;
    }
    wire_trace::close_file();

    const wire_trace::Page page = wire_trace::events_after(start);
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), page.events.size());
    ASSERT_EQ(page.dropped, 0u);
    std::map<std::string, int> requests;
    size_t sent = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const wire_trace::Event& event = page.events[i];
        EXPECT_EQ(event.seq, start + 1 + i);
        EXPECT_EQ(lines[i], wire_trace::format_line(event)) << "torn or out of order";
        if (event.direction != wire_trace::Direction::kRequest) {
            continue;
        }
        ++requests[event.source];
        ++sent;
        ASSERT_LT(i + 1, lines.size());
        const wire_trace::Event& reply = page.events[i + 1];
        EXPECT_EQ(reply.direction, wire_trace::Direction::kReply) << lines[i + 1];
        EXPECT_EQ(reply.source, event.source) << lines[i + 1];
        ASSERT_FALSE(reply.bytes.empty()) << lines[i + 1];
        EXPECT_EQ(reply.bytes[0], event.bytes[0]) << "the reply to another request";
    }
    EXPECT_EQ(sent, board_->received_frames().size()) << "every request traced";
    for (int k = 0; k < kClients; ++k) {
        EXPECT_EQ(requests["api GET /api/gpio/grd/" + std::to_string(10 + k)], kRounds) << k;
    }
}

}  // namespace
