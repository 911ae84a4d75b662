// The console as a user sees it: words in, texts out, driven in-process.

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>

#include "app/console_output.h"
#include "app/console_ui.h"
#include "app/state.h"
#include "protocol/class_quirn_server.h"
#include "serial/class_serial.h"

namespace {

const std::string kClientPrompt0 = "[Disconnected] [local] [Client] [0] > ";

std::string client_prompt(int n) {
    return "[Disconnected] [local] [Client] [" + std::to_string(n) + "] > ";
}
std::string server_prompt(int n) {
    return "[Disconnected] [-:-] [Server] [" + std::to_string(n) + "] > ";
}

class ConsoleSession : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset() {
        if (serial_port().get_state().status == 1) {
            testing::internal::CaptureStdout();
            serial_port().close();
            testing::internal::GetCapturedStdout();
        }
        console_mode = mode::kClient;
        connected = 0;
        http_stop_requested = 0;
        command_line.clear();
        prompt_counter = 0;
        quirn_server().set_names("-", "-");
    }

    // Everything the console printed.
    static std::string run_all(const std::string& input) {
        std::istringstream in(input);
        testing::internal::CaptureStdout();
        const int result = run_console(in);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(console_mode.load(), mode::kQuit) << "the console must end in quit mode";
        return out;
    }

    // What the console printed from its first prompt on.
    static std::string run(const std::string& input) {
        const std::string out = run_all(input);
        const auto first_prompt = out.find(kClientPrompt0);
        EXPECT_NE(first_prompt, std::string::npos) << out;
        return first_prompt == std::string::npos ? out : out.substr(first_prompt);
    }

    static std::string port_list() {
        testing::internal::CaptureStdout();
        serial_port().print_ports();
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(ConsoleSession, GreetsWithBannerAndPortList) {
    const std::string out = run_all("quit");
    const std::string banner = std::string("Welcome to Tessaro ! \n") +
                               "Version is 1.0.x\n"
                               "Build date " + kBuildDate + "\n" +
                               "Build time " + kBuildTime + "\n" +
                               "\n"
                               "Console commands and help:\n"
                               "? or h: help, command lists\n"
                               "co to connect.\n"
                               "s to switch to Server mode.\n"
                               "'qq' or 'quit' to exit.\n"
                               "\n"
                               "Discovered serial ports:\n" +
                               port_list() + "\n" + kClientPrompt0;
    EXPECT_EQ(out.substr(0, banner.size()), banner);
    EXPECT_TRUE(std::regex_match(kBuildDate, std::regex("[A-Z][a-z]{2} [ 123][0-9] [0-9]{4}")))
        << kBuildDate;
    EXPECT_TRUE(std::regex_match(kBuildTime, std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]")))
        << kBuildTime;
}

// Words in, everything after the first prompt out.
TEST_F(ConsoleSession, AnswersGeneralAndModeWords) {
    struct Case {
        const char* input;
        std::string expected;
    };
    const Case cases[] = {
        {"quit", "Nop\n" + client_prompt(1)},
        {"QUIT", "Nop\n" + client_prompt(1)},
        {"Exit", "Nop\n" + client_prompt(1)},
        {"qq", "Nop\n" + client_prompt(1)},
        {"HELP frob quit", "Nop\n" + client_prompt(1) + "Nop\n" + client_prompt(2) + "Nop\n" +
                               client_prompt(3)},
        {"ls l quit", "\n" + client_prompt(1) + "\n" + client_prompt(2) + "Nop\n" +
                          client_prompt(3)},
        {"c cli client c: quit", "Client Mode.\n" + client_prompt(1) + "Client Mode.\n" +
                                     client_prompt(2) + "Client Mode.\n" + client_prompt(3) +
                                     "Client Mode.\n" + client_prompt(4) + "Nop\n" +
                                     client_prompt(5)},
        {"s ls c quit", "Server Mode.\n" + server_prompt(1) +
                            "\nsta clr sys run stop\nrust rkst sust skst\n" + server_prompt(2) +
                            "Client Mode.\n" + client_prompt(3) + "Nop\n" + client_prompt(4)},
        {"SER s: server quit", "Server Mode.\n" + server_prompt(1) + "Server Mode.\n" +
                                   server_prompt(2) + "Server Mode.\n" + server_prompt(3) +
                                   "Cannot run a server command while not connected.\n" +
                                   server_prompt(4)},
        {"s status quit", "Server Mode.\n" + server_prompt(1) +
                              "Cannot run a server command while not connected.\n" +
                              server_prompt(2) +
                              "Cannot run a server command while not connected.\n" +
                              server_prompt(3)},
        {"di quit", "Disconnect ...\nNot connected.\n" + client_prompt(1) + "Nop\n" +
                        client_prompt(2)},
        {"s di qq", "Server Mode.\n" + server_prompt(1) + "Disconnect ...\nNot connected.\n" +
                        client_prompt(2) + "Nop\n" + client_prompt(3)},
        // http_run and http_stop are client words only.
        {"http_stop http_run quit", client_prompt(1) + client_prompt(2) + "Nop\n" +
                                        client_prompt(3)},
        // The end of input ends the console like a quit word, without a Nop.
        {"ls", "\n" + client_prompt(1)},
        {"", ""},
        {"c\n\n\t  ", "Client Mode.\n" + client_prompt(1)},
    };
    for (const Case& c : cases) {
        SetUp();
        EXPECT_EQ(run(c.input), kClientPrompt0 + c.expected) << "input: " << c.input;
    }
}

TEST_F(ConsoleSession, WebSwitchesSetTheStopFlagOnlyInClientMode) {
    const std::pair<const char*, int32_t> cases[] = {
        {"http_stop", 1}, {"http_stop http_run", 0}, {"s http_stop", 0}};
    for (const auto& [input, flag] : cases) {
        SetUp();
        run(input);
        EXPECT_EQ(http_stop_requested.load(), flag) << input;
    }
}

TEST_F(ConsoleSession, HelpHasSeventeenClientLinesAndSixtySevenServerLines) {
    const std::string client = run("h quit");
    const std::string client_help =
        client.substr(kClientPrompt0.size(), client.find(client_prompt(1)) - kClientPrompt0.size());
    EXPECT_EQ(std::count(client_help.begin(), client_help.end(), '\n'), 17);
    EXPECT_EQ(client_help.substr(0, 8), "\nHelp\n\nG");
    EXPECT_NE(client_help.find("\n  http_stop\n\n"), std::string::npos);

    SetUp();
    const std::string server = run("s ? quit");
    const auto start = server.find(server_prompt(1)) + server_prompt(1).size();
    const std::string server_help = server.substr(start, server.find(server_prompt(2)) - start);
    EXPECT_EQ(std::count(server_help.begin(), server_help.end(), '\n'), 67);
    EXPECT_NE(server_help.find("\n  g[n]wd[v]: write value v to GPIO n \n"), std::string::npos);
    EXPECT_NE(server_help.find("\n  f1p1r           Reads value of parameter 1 in user function 1"
                               "\n\n"),
              std::string::npos);
}

TEST_F(ConsoleSession, ConnectTakesThePortNameFromTheSameLine) {
    const std::string ports = port_list();
    const std::string out = run("co no_such_port_here quit");
    const std::string expected = kClientPrompt0 + "Connect ...\n" + ports +
                                 "Connect to port (eg. COM1): \n" +
                                 "Error: Cannot open /dev/NO_SUCH_PORT_HERE\n" +
                                 "Cannot run a server command while not connected.\n" +
                                 server_prompt(1) +
                                 "Cannot run a server command while not connected.\n" +
                                 server_prompt(2);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(connected.load(), 0);
}

TEST_F(ConsoleSession, InputEndingAtThePortQuestionEndsTheConsole) {
    const std::string out = run("co");
    EXPECT_TRUE(out.ends_with("Connect ...\n" + port_list() + "Connect to port (eg. COM1): \n"))
        << out;
    EXPECT_EQ(serial_port().get_state().status, 0);
}

TEST(ErrorTrace, IsThreeLinesWithBuildStampAndSourcePlace) {
    testing::internal::CaptureStdout();
    error_trace("Something failed.", __FILE__, 42);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("Something failed.\nBuild: ") + kBuildDate + " at " + kBuildTime +
                  "\nFile: tests/console_session_test.cpp:42\n");
}

}  // namespace
