// The built tessaro program as a user runs it: options and a port on the
// command line, standard input and output on pipes (or a terminal), exit
// code at the end.

#include <gtest/gtest.h>
#include <httplib.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/options.h"
#include "base/console_output.h"
#include "serial/class_serial.h"
#include "sim/quirn_board.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
using test_support::ChildProcess;
using Clock = std::chrono::steady_clock;

const std::string kFirstPrompt = "[Disconnected] [local] [Client] [0] > ";

// Waits for text in the program's output after from, and returns where it ends.
size_t expect_after(ChildProcess& tessaro, const std::string& text, size_t from) {
    EXPECT_TRUE(tessaro.wait_for_output(text, 20s, from)) << "no " << text << " in\n"
                                                          << tessaro.output().substr(from);
    return std::min(tessaro.output().find(text, from) + text.size(), tessaro.output().size());
}

// Arguments and piped input in; exit code, what standard output holds and
// standard error out. Rows that exit 2 must start nothing at all.
TEST(ConsoleProgram, AnswersItsCommandLine) {
    const std::string help_hint = " (tessaro --help shows the usage)\n";
    const std::string build = std::string(kBuildDate) + " at " + kBuildTime;
    const std::string refused = "Cannot run a server command while not connected.\n";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int code;
        std::string err;
        std::vector<std::string> out;  // pieces, in this order
        bool whole = false;            // the pieces are all the output
    };
    const std::string usage = "Usage: tessaro [options] [PORT]\n";
    // The machine's ports, as --list shows them.
    std::string listing;
    std::string json = "[";
    for (const PortEntry& port : list_ports().value_or(std::vector<PortEntry>{})) {
        listing += "Port: " + port.port_name + " - " + port.friendly_name + "\n";
        json += std::string(json.size() > 1 ? "," : "") + R"({"name":")" + port.friendly_name +
                R"(","port":")" + port.port_name + R"("})";
    }
    json += "]\n";
    const std::string fifo = testing::TempDir() + "tessaro_trace_fifo_" + std::to_string(getpid());
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string no_trace = "tessaro: cannot write the trace to ";
    const std::string password_link =
        testing::TempDir() + "tessaro_mqtt_password_" + std::to_string(getpid());
    ::unlink(password_link.c_str());
    ASSERT_EQ(::symlink("/etc/hostname", password_link.c_str()), 0);
    // clang-format off
    const Case cases[] = {
        {{"--help"}, "", 0, "", {usage, "--interval-reads", "--http-port N", "h or ?"}},
        {{"-h", "--version"}, "", 0, "", {usage}},
        {{"--version"}, "", 0, "",
         {"tessaro " + std::string(kVersion) + " (", "built " + build + ")\n"}},
        // The ports and nothing else: no banner, no thread started.
        {{"--list"}, "", 0, "", {listing}, true},
        {{"--json", "--list"}, "", 0, "", {json}, true},
        {{"--bogus", "--help"}, "", 2, "tessaro: unknown option '--bogus'" + help_hint, {}},
        // A script's words on the command line: the reports alone, and the
        // first word that fails ends it.
        {{"--quiet", "--bail", "-c", "foo ls"}, "", 1, "", {"Nop\n"}, true},
        // Nobody reads the FIFO: refused at once, not waited for.
        {{"--trace", fifo}, "", 2,
         no_trace + fifo + ": a FIFO, not a regular file or a terminal\n", {}},
#ifdef TESSARO_MQTT
        // The password file is read as the token file is: no link followed.
        {{"--mqtt", "mqtt://broker", "--mqtt-user", "u", "--mqtt-password-file", password_link,
          "ttyACM0"}, "", 2,
         "tessaro: the MQTT password in " + password_link + ": a symbolic link, which is not followed\n",
         {}},
#endif
        // quit ends the console thread, then the web thread, then the program.
        {{"--interval-reads"}, "quit\n", 0, "",
         {"Starting Console UI thread.\n", kFirstPrompt, "\nConsole UI thread closed\n",
          "\nWeb UI thread closed\n"}},
        // --json without a port: a board word is refused as not connected,
        // and a byte that is not UTF-8 is replaced, said, and ends nothing.
        {{"--json"}, "sta\n\xc3\n", 1, "",
         {R"({"word":"sta","ok":false,"error":"not_connected",)"
          R"("message":"Cannot run a server command while not connected."})" "\n",
          "{\"word\":\"\xef\xbf\xbd\",\"ok\":false,\"error\":\"unknown_word\",\"message\":\"Nop\","
          "\"invalid_utf8\":[\"word\"]}\n"}},
        // A typed co that fails is a failed word of the script.
        {{"--json"}, "co no_such_port\n", 1, "/dev/no_such_port: no such device\n",
         {R"({"word":"co","ok":false,"error":"not_connected","message":"Connect ...\n)",
          R"(Error: Cannot open /dev/no_such_port\n)"}},
        // A port that cannot be opened, input not a terminal: the reason,
        // as "co" gives it, and status 1 before any piped word runs.
        {{"--", "no_such_port"}, "s\n", 1, "/dev/no_such_port: no such device\n",
         {kFirstPrompt, "co no_such_port\n", "Connect ...\n",
          "Error: Cannot open /dev/no_such_port\n", refused, "\nConsole UI thread closed\n"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        const std::string row = c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : "");
        ChildProcess tessaro(TESSARO_BINARY, c.args);
        ASSERT_TRUE(tessaro.started());
        tessaro.write(c.input);
        tessaro.close_input();
        EXPECT_EQ(tessaro.wait_exit(20s), c.code) << row;
        const std::string& out = tessaro.output();
        std::size_t at = 0;
        for (const std::string& piece : c.out) {
            at = out.find(piece, at);
            ASSERT_NE(at, std::string::npos) << row << ": no\n" << piece << "\nin\n" << out;
        }
        EXPECT_TRUE(c.code != 2 || out.empty()) << row << ":\n" << out;
        if (c.whole) {
            EXPECT_EQ(out, c.out.front()) << row;
        }
        EXPECT_EQ(tessaro.errors(), c.err) << row;
        EXPECT_EQ(out.find("Server Mode."), std::string::npos) << row << ": a piped word ran";
        EXPECT_EQ(out.find("Closed "), std::string::npos) << row << ": no port was open";
    }
    ::unlink(fifo.c_str());
    ::unlink(password_link.c_str());
}

// What the command line alone refuses, in one line; the program prints it
// and ends with status 2, having started nothing (--bogus above).
TEST(ConsoleOptions, RefuseABadCommandLineInOneLine) {
    const std::string http_port = "--http-port needs a port number from 1 to 65535";
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"--http-port", "0"}, http_port},
        {{"--http-port", "65536"}, http_port},
        {{"--http-port", "80x"}, http_port},
        {{"--http-port"}, http_port},
        {{"--json", "--quiet"},
         "--json and --quiet do not go together: --json prints JSON records only"},
        {{"--json=0"}, "--json takes no value"},
        {{"--trace"}, "--trace needs a file (- for standard error)"},
        {{"--serve"}, "--serve needs the PORT to serve"},
        {{"--serve", "--json", "ttyACM0"},
         "--serve reads no words: -c, --json, --quiet and --bail do not go with it"},
        {{"--allow-host"}, "--allow-host needs a host name"},
        {{"ttyACM0", "ttyACM1"}, "one port only, not both 'ttyACM0' and 'ttyACM1'"},
#ifdef TESSARO_MQTT
        {{"--mqtt", "http://broker", "ttyACM0"},
         "--mqtt needs mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"},
        {{"--mqtt", "mqtt://broker"},
         "--mqtt without a PORT needs --mqtt-prefix (the topics' prefix)"},
        {{"--mqtt-prefix", "lab/x", "ttyACM0"},
         "--mqtt-user, --mqtt-password-file and --mqtt-prefix go with --mqtt"},
#endif
    };
    for (const auto& [args, error] : rows) {
        const Options options = parse_options(args);
        EXPECT_EQ(options.action, Options::Action::kError) << error;
        EXPECT_EQ(options.error, "tessaro: " + error + " (tessaro --help shows the usage)");
    }
}

// Replaces every occurrence of from in text with to.
void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// Piped in and out, a whole session's bytes stay exactly those of the
// transcript kept beside this file. Only what differs from run to run is
// written as a placeholder: the build stamp, the board's terminal and the
// machine's port list; the main thread's two start lines, which fall
// anywhere in the banner, are taken out. TESSARO_RECORD_GOLDEN=1 writes the
// transcript anew instead.
TEST(ConsoleProgram, PipedSessionIsByteForByteTheTranscript) {
    quirn_sim::PtyBoard board;
    ASSERT_TRUE(board.ok()) << board.error();
    ChildProcess tessaro(TESSARO_BINARY, {});
    ASSERT_TRUE(tessaro.started());
    tessaro.write("h\nls\nhttp_stop\nfoo\nco " + board.path() +
                  "\nh\nls\nsta\ng2co\ng2wd1\ng2rd\ng8ra\nbogus\ng99rd\nsys\nrun\nihwmcu\n"
                  "di\ndi\nQUIT\n");
    tessaro.close_input();
    // foo, bogus and g99rd fail: a script's status says so.
    ASSERT_EQ(tessaro.wait_exit(20s), 1) << tessaro.output();
    EXPECT_EQ(tessaro.errors(), "");

    std::string out = tessaro.output();
    for (const std::string line : {"Starting Web UI thread.\n", "All Threads started ...\n"}) {
        const std::size_t at = out.find(line);
        ASSERT_NE(at, std::string::npos) << line;
        out.erase(at, line.size());
    }
    std::istringstream lines(out);
    std::string normal;
    for (std::string line; std::getline(lines, line);) {
        // A trace's source line moves with every edit of its file.
        if (line.starts_with("File: ")) {
            line.erase(line.rfind(':') + 1).append("@LINE@");
        }
        if (!line.starts_with("Port: ")) {
            normal += line + "\n";
        }
    }
    replace_all(normal, board.path(), "@PORT@");
    replace_all(normal, kBuildDate, "@BUILD_DATE@");
    replace_all(normal, kBuildTime, "@BUILD_TIME@");

    const std::string path = std::string(TESSARO_SOURCE_DIR) + "/tests/console_piped_session.txt";
    if (const char* record = std::getenv("TESSARO_RECORD_GOLDEN"); record && *record == '1') {
        std::ofstream(path, std::ios::binary) << normal;
        GTEST_SKIP() << "recorded " << path;
    }
    std::ifstream file(path, std::ios::binary);
    ASSERT_TRUE(file) << path;
    const std::string golden((std::istreambuf_iterator<char>(file)), {});
    EXPECT_EQ(normal, golden);
}

// At a terminal: lines are edited in place, kept across runs, completed
// with Tab; Ctrl-C throws the line away, a web request's lines go above the
// line being typed, and Ctrl-D on an empty line ends the program.
TEST(ConsoleProgram, EditsLinesAtATerminal) {
    namespace fs = std::filesystem;
    const fs::path state = testing::TempDir() + "tessaro_state_" + std::to_string(getpid());
    fs::remove_all(state);
    fs::create_directories(state);
    quirn_sim::PtyBoard board;
    ASSERT_TRUE(board.ok()) << board.error();
    // A name that only this board's link begins with, to complete after "co".
    const fs::path link = state / "quirn_link_for_completion";
    fs::create_symlink(board.path(), link);
    const ChildProcess::OnTerminal terminal{{"XDG_STATE_HOME=" + state.string(), "TERM=xterm"}};
    const std::string on_board = "[" + link.string() + "] [Arduino:Uno_R4_Minima] [Server] [";
    {
        const int http_port = test_support::free_port();
        ChildProcess tessaro(TESSARO_BINARY, {"--http-port", std::to_string(http_port)}, terminal);
        ASSERT_TRUE(tessaro.started());
        size_t at = expect_after(tessaro, kFirstPrompt, 0);
        // The up arrow brings "ls" back; run again it prints its empty line.
        tessaro.write("ls\r");
        at = expect_after(tessaro, "[Disconnected] [local] [Client] [1] > ", at);
        tessaro.write("\x1b[A");
        at = expect_after(tessaro, "ls", at);
        tessaro.write("\r");
        at = expect_after(tessaro, "[Disconnected] [local] [Client] [2] > ", at);
        // Tab lists a pin's words; Ctrl-C leaves nothing of the line behind.
        tessaro.write("s\r");
        at = expect_after(tessaro, "[Disconnected] [-:-] [Server] [3] > ", at);
        tessaro.write("g2r\t\t");
        const size_t listed = expect_after(tessaro, "g2rd", at);
        EXPECT_NE(tessaro.output().find("g2ra", at), std::string::npos);
        tessaro.write("\x03ls\r");
        at = expect_after(tessaro, "sta clr sys run stop", listed);
        // A path after co completes to the port.
        tessaro.write("co " + link.string().substr(0, link.string().size() - 10) + "\t\r");
        at = expect_after(tessaro, on_board, at);
        at = expect_after(
            tessaro, "[Tessaro] Server running on http://localhost:" + std::to_string(http_port),
            at);
        // A web request while "g2r" is typed: its line goes above, the line
        // is drawn again below it, and finished it runs whole.
        tessaro.write("g2r");
        at = expect_after(tessaro, "g2r", at);
        httplib::Client web("localhost", http_port);
        const auto written = web.Post("/api/gpio/gwd/2", R"({"value":1})", "application/json");
        ASSERT_TRUE(written);
        EXPECT_EQ(written->status, 200);
        at = expect_after(tessaro, "Pin Update: 2", at);
        at = expect_after(tessaro, "] > g2r", at);
        tessaro.write("d\r");
        at = expect_after(tessaro, "Pin 2 value: ", at);
        EXPECT_EQ(tessaro.output().find("Nop"), std::string::npos) << tessaro.output();
        EXPECT_EQ(tessaro.output().find("Unhandled"), std::string::npos) << tessaro.output();
        expect_after(tessaro, on_board, at);
        tessaro.write("\x04");
        EXPECT_EQ(tessaro.wait_exit(20s), 0) << tessaro.output();
    }
    // Each line entered once, a line entered again at once not twice.
    const auto text_of = [](const fs::path& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(text_of(state / "tessaro" / "history"),
              "ls\ns\nls\nco " + link.string() + " \ng2rd\n");
    {
        // The last line entered comes back first in the next run; a port
        // that cannot be opened leaves the user at a disconnected prompt.
        ChildProcess tessaro(TESSARO_BINARY, {"no_such_port"}, terminal);
        size_t at = expect_after(tessaro, "Error: Cannot open /dev/no_such_port", 0);
        at = expect_after(tessaro, "[Disconnected] [-:-] [Server] [1] > ", at);
        tessaro.write("\x1b[A");
        expect_after(tessaro, "g2rd", at);
        tessaro.write("\x03\x04");
        EXPECT_EQ(tessaro.wait_exit(20s), 0) << tessaro.output();
    }
    // A history of 1500 lines: shortened to its last 1000 by a new file
    // renamed over it, never cut where it stands (a hard link to it keeps
    // every line). As a symbolic link: refused with one warning, and the file
    // it leads to left alone; under a file, not a folder: one warning too.
    // The session goes on all the same.
    std::string long_history;
    for (int i = 1; i <= 1500; ++i) {
        long_history += "l" + std::to_string(i) + "\n";
    }
    for (const std::string kind : {"long", "linked", "blocked"}) {
        const fs::path home = state / kind;
        const fs::path history = home / "tessaro" / "history";
        const fs::path other = state / (kind + "_other");
        if (kind == "blocked") {
            std::ofstream(home) << "not a folder\n";
        } else {
            fs::create_directories(history.parent_path());
            std::ofstream(kind == "linked" ? other : history) << long_history;
            if (kind == "linked") {
                fs::create_symlink(other, history);
            } else {
                fs::create_hard_link(history, other);
            }
        }
        ChildProcess tessaro(
            TESSARO_BINARY, {},
            ChildProcess::OnTerminal{{"XDG_STATE_HOME=" + home.string(), "TERM=xterm"}});
        const size_t at = expect_after(tessaro, kFirstPrompt, 0);
        tessaro.write("s\r");
        expect_after(tessaro, "[Disconnected] [-:-] [Server] [1] > ", at);
        tessaro.write("\x04");
        EXPECT_EQ(tessaro.wait_exit(20s), 0) << tessaro.output();
        const std::string warning =
            "the history of entered lines is not kept" +
            (kind == "linked" ? ": " + history.string() + ": a symbolic link, which is not followed"
                              : "");
        const std::string& out = tessaro.output();
        const size_t first = out.find(warning);
        EXPECT_EQ(first != std::string::npos, kind != "long") << kind << out;
        EXPECT_EQ(out.find(warning, first + 1), std::string::npos) << kind << out;
        if (kind != "blocked") {
            EXPECT_EQ(text_of(other), long_history) << kind;
        }
        if (kind == "long") {
            EXPECT_EQ(text_of(history), long_history.substr(long_history.find("l501\n")) + "s\n");
        }
    }
    fs::remove_all(state);
}

// The board goes away under a stable name (quirn-sim --link) and comes back.
// A web server line may come between any two of the program's lines.
TEST(ConsoleProgram, AVanishedBoardIsNoticedAndReconnectedUnderItsName) {
    const std::string link = testing::TempDir() + "quirn_vanish_" + std::to_string(getpid());
    const auto start_board = [&] {
        auto sim = std::make_unique<ChildProcess>(QUIRN_SIM_BINARY,
                                                  std::vector<std::string>{"--link", link});
        EXPECT_TRUE(sim->wait_for_output("Linked at " + link + "\n", 20s)) << sim->errors();
        return sim;
    };
    const auto stop_board = [](std::unique_ptr<ChildProcess>& sim) {
        sim->close_input();
        EXPECT_EQ(sim->wait_exit(20s), 0);
        sim.reset();
    };
    const std::string gone =
        "\nPort " + link + " has gone away; waiting for it to come back (di stops waiting).\n";
    const std::string back = "\nPort " + link + " is back; board Arduino:Uno_R4_Minima.\n";
    const std::string on_board = "[" + link + "] [Arduino:Uno_R4_Minima] [Server] [";
    const std::string waiting = "[Disconnected] [-:-] [Server] [";

    // The web front end on a port of its own: it serves while the board is
    // away too (the API's answers then are the in-process web tests').
    const int http_port = test_support::free_port();

    auto sim = start_board();
    const std::string trace = link + ".trace";
    ChildProcess tessaro(TESSARO_BINARY,
                         {"--trace", trace, "--http-port", std::to_string(http_port)});
    ASSERT_TRUE(tessaro.started());
    tessaro.write("co " + link + "\n");
    expect_after(tessaro, on_board, 0);

    // Noticed without a word typed; the prompt follows, a word is refused.
    size_t mark = tessaro.output().size();
    stop_board(sim);
    mark = expect_after(tessaro, gone, mark);
    const Clock::time_point went = Clock::now();
    expect_after(tessaro, waiting, mark);
    tessaro.write("sta\n");
    expect_after(tessaro, "Cannot run a server command while not connected.\n", mark);
    // Back under the same name: opened, identified, in use again. The name
    // is looked for four times a second: back well within two seconds of
    // going, the simulator's start included.
    sim = start_board();
    mark = expect_after(tessaro, back, mark);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - went);
    EXPECT_LT(took, 2s) << "back " << took.count() << " ms after it went";
    expect_after(tessaro, on_board, mark);
    tessaro.write("sta\n");
    expect_after(tessaro, "quirn: Status\n", mark);
    expect_after(tessaro, "\nbs_status: 00000000\n", mark);

    // Gone again; di ends the wait, and a board that comes back later is left alone.
    mark = tessaro.output().size();
    stop_board(sim);
    expect_after(tessaro, gone, mark);
    tessaro.write("di\n");
    // A prompt of the watcher may come between these lines; di ended the
    // session, and with it the web server.
    for (const std::string& line :
         {std::string("Disconnect ...\n"), "No longer waiting for " + link + ".\n",
          std::string("[Disconnected] [local] [Client] ["),
          std::string("\n[Tessaro] Webserver quit.\n")}) {
        expect_after(tessaro, line, mark);
    }
    sim = start_board();
    // Twice the interval at which a waiting watcher looks.
    EXPECT_FALSE(tessaro.wait_for_output(back, 500ms, mark)) << tessaro.output();
    tessaro.write("quit\n");
    // Words typed while the board was away failed: a script's status says so.
    EXPECT_EQ(tessaro.wait_exit(20s), 1) << tessaro.output();
    EXPECT_EQ(tessaro.errors(), "");
    stop_board(sim);

    // The trace tells the same story.
    std::ifstream in(trace);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    std::size_t at = 0;
    for (const std::string& piece :
         {"  reconnect           --   " + link + " has gone away, closed\n",
          std::string("  reconnect           --   back: opened "),
          std::string("  reconnect           -> E0 FD\n"),
          std::string("  console sta         -> 40\n"),
          "  reconnect           --   " + link + " has gone away, closed\n"}) {
        at = text.find(piece, at);
        ASSERT_NE(at, std::string::npos) << "no\n" << piece << "\nin\n" << text;
    }
    std::filesystem::remove(trace);
}

// A signal ends the program as quit does, within half a second: here within
// three times that.
constexpr auto kSignalDeadline = 1500ms;

// --serve: nothing on standard output, one line per event on standard
// error; the port, absent at start, is waited for. SIGTERM ends it as quit
// does. Piped input that never ends is no obstacle to SIGINT or SIGHUP.
TEST(ConsoleProgram, ServesWithoutAConsoleUntilASignal) {
    const std::string link = testing::TempDir() + "quirn_serve_" + std::to_string(getpid());
    const std::string http_port = std::to_string(test_support::free_port());
    ChildProcess tessaro(TESSARO_BINARY, {"--serve", link, "--http-port", http_port});
    ASSERT_TRUE(tessaro.started());
    tessaro.close_input();
    ASSERT_TRUE(tessaro.wait_for_errors("Web server running on", 20s)) << tessaro.errors();
    httplib::Client web("localhost", std::stoi(http_port));
    const httplib::Result away = web.Get("/api/board");
    ASSERT_TRUE(away);
    EXPECT_EQ(nlohmann::json::parse(away->body).value("link", ""), "waiting");

    ChildProcess sim(QUIRN_SIM_BINARY, {"--link", link});
    ASSERT_TRUE(sim.wait_for_output("Linked at " + link + "\n", 20s)) << sim.errors();
    ASSERT_TRUE(tessaro.wait_for_errors("has appeared", 20s)) << tessaro.errors();
    const httplib::Result read = web.Get("/api/gpio/grd/3");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status, 200);
    tessaro.send_signal(SIGTERM);
    EXPECT_EQ(tessaro.wait_exit(kSignalDeadline), 0) << tessaro.errors();
    EXPECT_EQ(tessaro.output(), "");
    EXPECT_EQ(tessaro.errors(),
              "tessaro " + std::string(kVersion) + " started for " + link + ".\n" + "cannot open " +
                  link + ": no such device; waiting for it to appear.\n" +
                  "Web server running on http://localhost:" + http_port + "\n" + "Port " + link +
                  " has appeared; board Arduino:Uno_R4_Minima.\n" + "Web server stopped.\n" +
                  "Stopped; closed " + link + ".\n");
    EXPECT_FALSE(web.Get("/api/board"));

    for (const int signo : {SIGINT, SIGHUP}) {
        ChildProcess piped(TESSARO_BINARY, {link, "--http-port", http_port});
        ASSERT_TRUE(piped.wait_for_output("[" + link + "] [Arduino:Uno_R4_Minima] [Server] [", 20s))
            << piped.output();
        piped.send_signal(signo);
        EXPECT_EQ(piped.wait_exit(kSignalDeadline), 0) << strsignal(signo);
        EXPECT_NE(piped.output().find("\nConsole UI thread closed\n"), std::string::npos);
        EXPECT_NE(piped.output().find("Closed " + link + " port\n"), std::string::npos)
            << piped.output();
    }
}

// At a terminal: Ctrl-C cancels the "Connect to port" question; Ctrl-C
// while a word waits for the board gives the prompt back when that word
// ends, without the rest of its line; SIGTERM mid-word ends the program as
// quit does and leaves the terminal as it found it.
TEST(ConsoleProgram, CtrlCAndSignalsAtATerminal) {
    // The settings of a new pseudo-terminal, which the child's starts with.
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ::close(master);
    ::close(slave);

    quirn_sim::PtyBoard board;
    ASSERT_TRUE(board.ok()) << board.error();
    const std::string state = testing::TempDir() + "tessaro_sig_" + std::to_string(getpid());
    ChildProcess tessaro(TESSARO_BINARY,
                         {board.path(), "--http-port", std::to_string(test_support::free_port())},
                         ChildProcess::OnTerminal{{"XDG_STATE_HOME=" + state, "TERM=xterm"}});
    const std::string on_board = "[" + board.path() + "] [Arduino:Uno_R4_Minima] [Server] [";
    size_t at = 0;
    at = expect_after(tessaro, on_board, at);
    tessaro.write("co\r");
    at = expect_after(tessaro, "Connect to port (eg. COM1): ", at);
    tessaro.write("tty\x03");
    at = expect_after(tessaro, "Not connected: the question was cancelled.", at);
    at = expect_after(tessaro, on_board, at);

    // A board that answers late keeps a word waiting without a time-out's cost.
    board.set_reply_delay(300);
    board.clear_received();
    tessaro.write("sta g2rd\r");
    ASSERT_TRUE(board.wait_for_frames(1, 20s));
    tessaro.write("\x03");
    at = expect_after(tessaro, "quirn: Status", at);
    at = expect_after(tessaro, on_board, at);
    tessaro.write("ls\r");
    at = expect_after(tessaro, "sta clr sys run stop", at);
    for (const std::vector<uint8_t>& frame : board.received_frames()) {
        EXPECT_NE(frame.front(), 0x98) << "g2rd ran after Ctrl-C";
    }

    // A silent board's read is cut short by the signal.
    board.set_faults({.silent_every = 1});
    board.clear_received();
    tessaro.write("sta\r");
    ASSERT_TRUE(board.wait_for_frames(1, 20s));
    tessaro.send_signal(SIGTERM);
    EXPECT_EQ(tessaro.wait_exit(kSignalDeadline), 0) << tessaro.output();
    at = expect_after(tessaro, "[Tessaro] Webserver quit.", at);
    at = expect_after(tessaro, "Closed " + board.path() + " port", at);
    const std::optional<termios> after = tessaro.terminal_settings();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->c_iflag, before.c_iflag);
    EXPECT_EQ(after->c_oflag, before.c_oflag);
    EXPECT_EQ(after->c_cflag, before.c_cflag);
    EXPECT_EQ(after->c_lflag, before.c_lflag);
    EXPECT_EQ(std::memcmp(after->c_cc, before.c_cc, sizeof before.c_cc), 0);
    std::filesystem::remove_all(state);
}

}  // namespace
