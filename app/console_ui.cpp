#include "app/console_ui.h"

#include <cctype>
#include <iostream>
#include <optional>

#include "app/link_watcher.h"
#include "base/console_output.h"
#include "base/state.h"
#include "protocol/class_quirn_server.h"
#include "protocol/server_commands.h"
#include "serial/class_serial.h"

namespace {

bool is_quit_word(const std::string& word) {
    return word == "qq" || word == "exit" || word == "quit";
}

std::string lower_case(std::string word) {
    for (char& c : word) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return word;
}

void forget_board() {
    quirn_server().set_names("-", "-");
    connected.store(0);
}

void disconnect() {
    out_line("Disconnect ...");
    const std::unique_lock session = lock_session();
    if (const std::optional<std::string> waited = stop_waiting()) {
        out_line("No longer waiting for " + *waited + ".");
    } else if (serial_port().get_state().status != 1) {
        out_line("Not connected.");
    } else {
        serial_port().close();
    }
    forget_board();
    console_mode.store(mode::kClient);
}

// Opens the named port (replacing an open one), identifies the board and
// switches to server mode. Returns whether the port opened.
bool connect_to(const std::string& name) {
    const std::unique_lock session = lock_session();
    stop_waiting();
    SerialPort& port = serial_port();
    // A new connection replaces the open one, which is closed and forgotten
    // first, so a failed open never leaves a closed port marked connected.
    if (port.get_state().status == 1) {
        port.close();
        forget_board();
    }
    // As typed: the port layer matches names ignoring case, and a name it
    // cannot find is shown the way the user spelt it.
    port.open(name);
    const bool opened = port.get_state().status == 1;
    if (opened) {
        connected.store(1);
    }
    const std::string identify = "ihwmcu";
    CommandReply reply = run_server_command(identify);
    quirn_server().decode_response(identify, std::move(reply));
    console_mode.store(mode::kServer);
    return opened;
}

void ask_for_port() {
    out_line("Connect ...");
    SerialPort& port = serial_port();
    port.discover_ports();
    port.print_ports();
    out("Connect to port (eg. COM1): ");
}

// Returns false when the input ended before the port name was given.
bool connect(std::istream& input) {
    ask_for_port();
    std::string name;
    const bool answered = static_cast<bool>(input >> name);
    out_line("");
    if (answered) {
        connect_to(name);
    }
    return answered;
}

// The prompt's names come from the open port and the identified board.
PromptNames session_names() {
    auto [maker, board] = quirn_server().names();
    return {serial_port().get_state().port_name, std::move(maker), std::move(board)};
}

void list_commands() {
    const int32_t current_mode = console_mode.load();
    if (current_mode == mode::kServer) {
        out("\nsta clr sys run stop\nrust rkst sust skst\n");
    } else if (current_mode == mode::kClient) {
        out_line("");
    }
}

}  // namespace

int general_command(std::string word, std::istream& input) {
    if (word == "?" || word == "h") {
        print_help();
    } else if (word == "l" || word == "ls") {
        list_commands();
    } else if (word == "co") {
        if (!connect(input)) {
            console_mode.store(mode::kQuit);
        }
    } else if (word == "di") {
        disconnect();
    } else if (word == "c" || word == "c:" || word == "cli" || word == "client") {
        out_line("Client Mode.");
        console_mode.store(mode::kClient);
    } else if (word == "s" || word == "s:" || word == "ser" || word == "server") {
        out_line("Server Mode.");
        console_mode.store(mode::kServer);
    } else {
        return 0;
    }
    return 1;
}

int run_console(std::istream& input, const ConsoleStart& start) {
    set_prompt_source(session_names);
    print_banner();
    out_line("Discovered serial ports:");
    serial_port().print_ports();
    out_line("");
    print_prompt();
    if (!start.port.empty()) {
        // As if typed: the words after the prompt, then what "co" does.
        out_line("co " + start.port);
        command_line = "co";
        ask_for_port();
        out_line("");
        if (!connect_to(start.port) && start.end_if_not_opened) {
            console_mode.store(mode::kQuit);
            return 1;
        }
        print_prompt();
    }
    for (;;) {
        std::string word;
        if (!(input >> word)) {
            // End of input ends the console like a quit word.
            console_mode.store(mode::kQuit);
            return 0;
        }
        command_line = lower_case(word);
        // A quit word quits, in any mode, before anything else: it is no
        // board word to report as undecodable, nor an unknown one.
        if (is_quit_word(command_line)) {
            console_mode.store(mode::kQuit);
            return 0;
        }
        if (general_command(command_line, input) == 0) {
            const int32_t current_mode = console_mode.load();
            if (current_mode == mode::kServer) {
                CommandReply reply = run_server_command(command_line);
                quirn_server().decode_response(command_line, std::move(reply));
            } else if (current_mode == mode::kClient && command_line == "http_run") {
                http_stop_requested.store(0);
            } else if (current_mode == mode::kClient && command_line == "http_stop") {
                http_stop_requested.store(1);
            } else {
                out_line("Nop");
            }
        }
        if (console_mode.load() == mode::kQuit) {
            return 0;
        }
        print_prompt();
    }
}

int console_ui_thread(const ConsoleStart& start) {
    return run_console(std::cin, start);
}
