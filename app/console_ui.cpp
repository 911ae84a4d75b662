#include "app/console_ui.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>
#include <string_view>
#include <system_error>

#include "app/console_tell.h"
#include "app/line_editor.h"
#include "app/link_watcher.h"
#include "app/signals.h"
#include "base/console_output.h"
#include "base/session.h"
#include "protocol/class_quirn_server.h"
#include "protocol/command_table.h"
#include "protocol/outcome_json.h"
#include "protocol/server_commands.h"
#include "protocol/statistics_windows.h"
#include "serial/class_serial.h"
#include "serial/wire_trace.h"

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

// The texts of an open that went wrong, and of a port closed on the way.
void say_open(const OpenResult& opened) {
    if (opened.closed_first) {
        say_closed(opened.closed_first);
    }
    switch (opened.failure) {
        case OpenResult::Failure::kNone:
            break;
        case OpenResult::Failure::kRefusedName:
            out_line("Error: Port name refused, it holds control characters: " +
                     opened.escaped_name);
            break;
        case OpenResult::Failure::kCannotOpen:
            out_line("Error: Cannot open " + opened.path);
            err(opened.path + ": " + opened.why + "\n");
            break;
        case OpenResult::Failure::kGetState:
            err("Error: Failed to get COM state\n");
            out_line("Error: Failed to get COM " + opened.path + " state ");
            break;
        case OpenResult::Failure::kSetLine:
            out_line("Error: Failed to set " + opened.path + " parameters");
            break;
        case OpenResult::Failure::kSetTimeouts:
            out_line("Error: Failed to set " + opened.path + " timeouts");
            break;
    }
}

void disconnect() {
    out_line("Disconnect ...");
    const wire_trace::SourceScope source("console di");
    // Requests queued behind a silent board give up now, not after the
    // transaction in flight has let the port go.
    session().closing();
    const std::unique_lock lock = lock_session();
    if (const std::optional<std::string> waited = stop_waiting()) {
        out_line("No longer waiting for " + *waited + ".");
    } else if (serial_port().get_state().status != 1) {
        out_line("Not connected.");
    } else {
        say_closed(serial_port().close());
    }
    session().closed();
    session().set_mode(ConsoleMode::kClient);
}

// Opens the named port (replacing an open one), identifies the board and
// switches to server mode. Returns whether the port opened.
bool connect_to(const std::string& name) {
    session().closing();
    const std::unique_lock lock = lock_session();
    const wire_trace::SourceScope source("console co");
    stop_waiting();
    SerialPort& port = serial_port();
    // A new connection replaces the open one, which is closed and forgotten
    // first, so a failed open never leaves a closed port marked connected.
    if (port.get_state().status == 1) {
        say_closed(port.close());
    }
    session().closed();
    // As typed: the port layer matches names ignoring case, and a name it
    // cannot find is shown the way the user spelt it.
    say_open(port.open(name));
    const bool opened = port.get_state().status == 1;
    if (opened) {
        session().opened(port.get_state().port_name);
    }
    const wire_trace::SourceScope identifying("identify");
    identify_board();
    session().set_mode(ConsoleMode::kServer);
    return opened;
}

void ask_for_port() {
    out_line("Connect ...");
    SerialPort& port = serial_port();
    if (!port.discover_ports()) {
        error_trace("Invalid Handle.", __FILE__, __LINE__);
    }
    print_ports(port.ports);
    out("Connect to port (eg. COM1): ");
}

// Returns false when the input ended before the port name was given; a
// question cancelled with Ctrl-C leaves the session as it was.
bool connect(std::istream& input) {
    // From the moment the question is asked, a Ctrl-C cancels it.
    const QuestionScope question;
    ask_for_port();
    std::string name;
    const bool answered = static_cast<bool>(input >> name);
    if (!answered && question.cancelled()) {
        input.clear();
        out_line("Not connected: the question was cancelled.");
        return true;
    }
    out_line("");
    if (answered) {
        connect_to(name);
    }
    return answered;
}

void list_commands() {
    const ConsoleMode mode = session().state().mode;
    if (mode == ConsoleMode::kServer) {
        out("\nsta clr sys run stop\nrust rkst sust skst\n");
    } else if (mode == ConsoleMode::kClient) {
        out_line("");
    }
}

// The words general_command takes, for completion.
constexpr std::array<std::string_view, 15> kGeneralWords{"?",   "h",      "l",   "ls",     "co",
                                                         "di",  "c",      "cli", "client", "s",
                                                         "ser", "server", "qq",  "exit",   "quit"};

bool starts_with_ignoring_case(std::string_view text, std::string_view start) {
    return text.size() >= start.size() &&
           lower_case(std::string(text.substr(0, start.size()))) == lower_case(std::string(start));
}

// The folders and devices a path being typed may go on to, spelt as typed.
// A relative path that is not ./ or ../ is looked for under /dev, as "co"
// looks for it.
std::vector<std::string> device_paths(const std::string& word) {
    namespace fs = std::filesystem;
    const size_t slash = word.rfind('/');
    const std::string typed_dir = word.substr(0, slash + 1);
    const std::string start = word.substr(slash + 1);
    const bool from_here =
        word.starts_with('/') || word.starts_with("./") || word.starts_with("../");
    const fs::path dir = from_here ? fs::path(typed_dir) : fs::path("/dev") / typed_dir;
    std::vector<std::string> paths;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (!starts_with_ignoring_case(name, start)) {
            continue;
        }
        std::error_code status_error;
        const fs::file_status status = fs::status(it->path(), status_error);
        if (fs::is_directory(status)) {
            paths.push_back(typed_dir + name + "/");
        } else if (fs::is_character_file(status)) {
            paths.push_back(typed_dir + name);
        }
    }
    return paths;
}

}  // namespace

std::vector<std::string> complete_console_word(const std::string& before, const std::string& word) {
    std::istringstream earlier(before);
    std::string previous;
    for (std::string w; earlier >> w;) {
        previous = lower_case(w);
    }
    std::vector<std::string> words;
    if (previous == "co") {
        if (const std::optional<std::vector<PortEntry>> ports = list_ports()) {
            for (const PortEntry& port : *ports) {
                words.push_back(port.port_name);
            }
        }
        if (word.find('/') != std::string::npos) {
            const std::vector<std::string> paths = device_paths(word);
            words.insert(words.end(), paths.begin(), paths.end());
        }
    } else {
        words.assign(kGeneralWords.begin(), kGeneralWords.end());
        const ConsoleMode mode = session().state().mode;
        if (mode == ConsoleMode::kClient) {
            words.insert(words.end(), {"http_run", "http_stop"});
        } else if (mode == ConsoleMode::kServer) {
            const std::vector<std::string> server = server_words();
            words.insert(words.end(), server.begin(), server.end());
            // A pin's family: g2 goes on to g2rd, g2co, g2wd and the rest.
            const std::string typed = lower_case(word);
            const size_t digits = typed.find_first_not_of("0123456789", 1);
            if (typed.starts_with('g') && digits != 1) {
                const std::string pin = typed.substr(0, digits);
                for (const std::string& sub : gpio_subcommands()) {
                    words.push_back(pin + sub);
                }
            }
        }
    }
    std::erase_if(words, [&](const std::string& w) { return !starts_with_ignoring_case(w, word); });
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    return words;
}

int general_command(const std::string& word, std::istream& input) {
    if (word == "?" || word == "h") {
        print_help();
    } else if (word == "l" || word == "ls") {
        list_commands();
    } else if (word == "co") {
        if (!connect(input)) {
            session().set_mode(ConsoleMode::kQuit);
        }
    } else if (word == "di") {
        disconnect();
    } else if (word == "c" || word == "c:" || word == "cli" || word == "client") {
        out_line("Client Mode.");
        session().set_mode(ConsoleMode::kClient);
    } else if (word == "s" || word == "s:" || word == "ser" || word == "server") {
        out_line("Server Mode.");
        session().set_mode(ConsoleMode::kServer);
    } else {
        return 0;
    }
    return 1;
}

namespace {

// One word's outcome as the console loop keeps it; general words have no
// board reply, only whether they worked.
CommandOutcome general_outcome(const std::string& word, bool worked,
                               CommandStatus failure = CommandStatus::kUnknownWord) {
    CommandOutcome outcome;
    outcome.word = word;
    outcome.status = worked ? CommandStatus::kOk : failure;
    return outcome;
}

// Whether the board would take the word: one of the table's, or a GPIO
// line that makes a frame.
bool is_board_word(const std::string& word) {
    const BoardCommand command = parse_command(word);
    return command.pair != nullptr ||
           (command.spec != nullptr && command.family != Family::kGpio) || !command.frame.empty();
}

// Runs one word that is not a quit word: a general word, a board word in
// server mode, or a client word.
CommandOutcome run_word(const std::string& word, std::istream& input) {
    if (general_command(word, input) != 0) {
        if (word == "co") {
            return general_outcome(word, session().state().connected(),
                                   CommandStatus::kNotConnected);
        }
        return general_outcome(word, true);
    }
    const ConsoleMode mode = session().state().mode;
    if (mode == ConsoleMode::kServer) {
        const wire_trace::SourceScope source("console " + word);
        CommandOutcome outcome = run_board_command(word, CommandSource::kConsole);
        // The console's statistics cover the time since its own last sys,
        // whoever else read the board meanwhile.
        if (outcome.statistics) {
            if (const auto window = statistics_ledger().take(StatisticsReader::kConsole)) {
                outcome.statistics = window->statistics;
            }
        }
        tell_outcome(outcome);
        return outcome;
    }
    if (mode == ConsoleMode::kClient && word == "http_run") {
        session().set_web_allowed(true);
        return general_outcome(word, true);
    }
    if (mode == ConsoleMode::kClient && word == "http_stop") {
        session().set_web_allowed(false);
        return general_outcome(word, true);
    }
    // For a script, a board word before any connection is refused as the
    // server mode refuses it, so that its record says why.
    if (output_mode() == OutputMode::kJson && !session().state().connected() &&
        is_board_word(word)) {
        out_line("Cannot run a server command while not connected.");
        return general_outcome(word, false, CommandStatus::kNotConnected);
    }
    out_line("Nop");
    return general_outcome(word, false);
}

// Runs action as one word: in JSON mode its texts are collected and
// written with its outcome as one record.
template <typename Action>
CommandOutcome as_one_word(Action action) {
    const bool json = output_mode() == OutputMode::kJson;
    if (json) {
        begin_capture();
    }
    CommandOutcome outcome = action();
    if (json) {
        std::string said = end_capture();
        while (!said.empty() && (said.back() == '\n' || said.front() == '\n')) {
            said.erase(said.back() == '\n' ? said.size() - 1 : 0, 1);
        }
        out_record(record_text(outcome_json(outcome, said)));
    }
    return outcome;
}

}  // namespace

int run_console(std::istream& input, const ConsoleStart& start) {
    print_banner();
    if (output_mode() == OutputMode::kText) {
        out_line("Discovered serial ports:");
        print_ports(serial_port().ports);
        out_line("");
    }
    print_prompt();
    bool failed = false;
    if (!start.port.empty()) {
        // As if typed: the words after the prompt, then what "co" does.
        out_chatter("co " + start.port + "\n");
        const CommandOutcome outcome = as_one_word([&] {
            if (output_mode() == OutputMode::kText) {
                ask_for_port();
                out_line("");
            }
            const bool opened = connect_to(start.port);
            return general_outcome("co", opened, CommandStatus::kNotConnected);
        });
        if (!outcome.ok() && start.end_if_not_opened) {
            session().set_mode(ConsoleMode::kQuit);
            return 1;
        }
        failed = !outcome.ok();
        print_prompt();
    }
    const auto status = [&] { return start.script && failed ? 1 : 0; };
    for (;;) {
        std::string word;
        if (!(input >> word)) {
            // End of input ends the console like a quit word.
            session().set_mode(ConsoleMode::kQuit);
            return status();
        }
        const std::string command_line = lower_case(word);
        // A quit word quits, in any mode, before anything else: it is no
        // board word to report as undecodable, nor an unknown one.
        if (is_quit_word(command_line)) {
            session().set_mode(ConsoleMode::kQuit);
            return status();
        }
        const CommandOutcome outcome = as_one_word([&] { return run_word(command_line, input); });
        // Ctrl-C while the word ran: the rest of its line is not run.
        if (take_interrupt()) {
            input.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        }
        // A word cut short by a signal that ends the program is no failure
        // of the script.
        if (!outcome.ok() && !ended_by_signal()) {
            failed = true;
            if (start.bail) {
                session().set_mode(ConsoleMode::kQuit);
                return 1;
            }
        }
        if (session().state().quitting()) {
            return status();
        }
        print_prompt();
    }
}

int console_ui_thread(const ConsoleStart& start) {
    if (start.words) {
        std::istringstream words(*start.words);
        return run_console(words, start);
    }
    if (const std::unique_ptr<std::streambuf> editor = output_mode() == OutputMode::kText
                                                           ? make_line_editor(complete_console_word)
                                                           : nullptr) {
        set_line_editing(true);
        std::istream typed(editor.get());
        return run_console(typed, start);
    }
    if (const std::unique_ptr<std::streambuf> piped = make_piped_input()) {
        std::istream input(piped.get());
        return run_console(input, start);
    }
    return run_console(std::cin, start);
}

void say_closed(const std::optional<std::string>& closed) {
    if (closed) {
        out_line("Closed " + *closed + " port");
    }
}

void print_ports(const std::vector<PortEntry>& ports) {
    for (const PortEntry& entry : ports) {
        out_line("Port: " + entry.port_name + " - " + entry.friendly_name);
    }
}

void say_discovered(const SerialPort& port) {
    if (!port.discovered()) {
        error_trace("Invalid Handle.", __FILE__, __LINE__);
    }
    if (port.ports.empty()) {
        out_line("No serial port in Vector.");
    }
}
