#include "base/console_output.h"

// isatty: POSIX, and the same name in the mingw-w64 runtime on Windows.
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/session.h"

const char* const kBuildDate = __DATE__;
const char* const kBuildTime = __TIME__;

namespace {

std::atomic<OutputMode> current_mode{OutputMode::kText};

// What the calling thread collects between begin_capture and end_capture.
thread_local std::string* capture = nullptr;
thread_local std::string captured;

// Guards standard output, standard error and the Screen below, so that
// each write leaves in one piece. Never destroyed: the port's destructor
// still prints at exit.
std::mutex& output_mutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

// Line editing (see the header). Set once by the console thread before
// anything else prints through it.
std::atomic<bool> editing{false};

// The screen around an edited line. Guarded by output_mutex().
struct Screen {
    bool line_on_screen = false;  // an edited line is drawn at the bottom
    void (*wake)() = nullptr;     // tells the editor that output is held
    std::string next_prompt;      // left by print_prompt for the next line
    std::string line_prompt;      // in front of the line on screen
    bool prompt_changed = false;  // line_prompt changed since it was drawn
    uint32_t prompt_number = 0;   // shown in the next prompt
    std::string tail;             // written since the last line end
    std::vector<std::pair<std::FILE*, std::string>> held;
};

Screen& screen() {
    static auto* the_screen = new Screen;  // never destroyed, as the mutex
    return *the_screen;
}

void write_now(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
    if (editing.load() && stream == stdout) {
        std::string& tail = screen().tail;
        const size_t line_end = text.find_last_of('\n');
        if (line_end == std::string_view::npos) {
            tail += text;
        } else {
            tail = text.substr(line_end + 1);
        }
        // A carriage return starts the line again.
        if (const size_t back = tail.find_last_of('\r'); back != std::string::npos) {
            tail.erase(0, back + 1);
        }
    }
}

// Writes what other threads wrote while a line was on screen. The line it
// went above is gone (erased, or ended by the user), so a line end at its
// start, which would have ended that line, is left out; and the text is
// ended with a line end so that what follows starts a line.
void write_held(Screen& s) {
    bool first = true;
    bool at_line_start = true;
    for (auto& [stream, text] : s.held) {
        std::string_view part = text;
        if (first && part.starts_with('\n')) {
            part.remove_prefix(1);
        }
        first = false;
        if (!part.empty()) {
            write_now(stream, part);
            at_line_start = part.ends_with('\n');
        }
    }
    if (!at_line_start) {
        write_now(stdout, "\n");
    }
    s.held.clear();
}

void write_whole(std::FILE* stream, std::string_view text) {
    void (*wake)() = nullptr;
    {
        std::lock_guard lock(output_mutex());
        Screen& s = screen();
        if (s.line_on_screen) {
            s.held.emplace_back(stream, std::string(text));
            wake = s.wake;
        } else {
            write_now(stream, text);
        }
    }
    if (wake != nullptr) {
        wake();
    }
}

constexpr const char* kGeneralHelp[] = {
    "",
    "Help",
    "",
    "General commands",
    "",
    "  qq, exit, quit: Close connection and quit application",
    "  c: Client mode",
    "  s: Server mode",
    "  co: Connect to server",
    "  di: Disconnect from server",
};

constexpr const char* kClientHelp[] = {
    "",           "Terminal (client) commands",
    "",           "HTTP Server(Web UI) run / stop:",
    "  http_run", "  http_stop",
    "",
};

constexpr const char* kServerHelp[] = {
    "",
    "Server (MCU board) commands",
    "",
    "Kernel and User tasks Manipulation",
    "",
    "  run           Run all tasks",
    "  stop          Stop all tasks",
    "  rust, runust  Run User tasks",
    "  rkst, runkst  Run Kernel tasks",
    "  sust, stopust Stop User tasks",
    "  skst, stopkst Stop Kernel tasks",
    "",
    "  sta, status:  Server status (Status, Alarm and Fault words)",
    "  clr, clear:   Clear Fault and Warning words",
    "  sys, systat:  Server systat readback and reset",
    "",
    "GPIO Manipulation",
    "",
    "  g[n]c[m]: GPIO n configuration where n is the GPIO number and m the mode",
    "          [n] is a number from 1 to board supported",
    "          [m] is a mode, one of the following:",
    "          i: digital input",
    "          o: digital output",
    "          a: analog input",
    "          p: PWM output",
    "",
    "  Examples:",
    "",
    "          g1ci  Set GPIO1 as digital input",
    "          g2co  Set GPIO2 as digital output",
    "          g8ca  Set GPIO8 as analog input",
    "          g12cp Set GPIO12 as PWM output",
    "",
    "  g[n]rd:    read GPIO n",
    "  g[n]wd[v]: write value v to GPIO n ",
    "  Examples:",
    "",
    "          g1rd             Reads GPIO1",
    "          g2wd1            Writes GPIO2",
    "          g8rd             Reads scaled value on GPIO8",
    "",
    "User Functions",
    "",
    "  f[n]r, f[n]run:                 Runs user function f[n]",
    "  f[n]s, f[n]stop:                Stops user function f[n]",
    "  f[n]p[m]r, f[n]param[m]r:       Reads user function parameter",
    "  f[n]p[m]w[v], f[n]param[m]w[v]: Writes user function parameter",
    "                                  for User function [n] Parameter [m] Value [v]",
    "",
    "  Examples:",
    "",
    "  f1r, f1run      Runs f1",
    "  f1s, f1stop     Stops f1",
    "  f1p1w10.0       Writes 10.0 to parameter 1 to user function 1",
    "  f1p2w100        Writes 100 to parameter 2 to user function 1",
    "  f1p1r           Reads value of parameter 1 in user function 1",
    "",
};

template <typename Lines>
void append_lines(std::string& text, const Lines& lines) {
    for (const char* line : lines) {
        text += line;
        text += '\n';
    }
}

}  // namespace

void set_output_mode(OutputMode mode) {
    current_mode.store(mode);
}

OutputMode output_mode() {
    return current_mode.load();
}

void out(std::string_view text) {
    if (capture != nullptr) {
        capture->append(text);
    } else if (current_mode.load() != OutputMode::kService) {
        write_whole(current_mode.load() == OutputMode::kJson ? stderr : stdout, text);
    }
}

void out_line(std::string_view text) {
    std::string line(text);
    line += '\n';
    out(line);
}

void out_chatter(std::string_view text) {
    if (current_mode.load() == OutputMode::kText) {
        out(text);
    }
}

void service_line(std::string_view line) {
    if (current_mode.load() == OutputMode::kService) {
        std::string text(line);
        text += '\n';
        write_whole(stderr, text);
    }
}

void out_record(std::string_view line) {
    std::string record(line);
    record += '\n';
    write_whole(stdout, record);
}

void begin_capture() {
    captured.clear();
    capture = &captured;
}

std::string end_capture() {
    capture = nullptr;
    return std::move(captured);
}

void err(std::string_view text) {
    write_whole(stderr, text);
}

bool input_is_terminal() {
    return ::isatty(STDIN_FILENO) != 0;
}

void print_banner() {
    if (current_mode.load() != OutputMode::kText) {
        return;
    }
    std::string text = "Welcome to Tessaro ! \n";
    text += std::string("Version is ") + kVersion + "\n";
    text += std::string("Build date ") + kBuildDate + "\n";
    text += std::string("Build time ") + kBuildTime + "\n";
    text +=
        "\n"
        "Console commands and help:\n"
        "? or h: help, command lists\n"
        "co to connect.\n"
        "s to switch to Server mode.\n"
        "'qq' or 'quit' to exit.\n"
        "\n";
    out(text);
}

void print_help() {
    std::string text;
    append_lines(text, kGeneralHelp);
    const ConsoleMode mode = session().state().mode;
    if (mode == ConsoleMode::kClient) {
        append_lines(text, kClientHelp);
    } else if (mode == ConsoleMode::kServer) {
        append_lines(text, kServerHelp);
    }
    out(text);
}

uint32_t next_prompt_number() {
    std::lock_guard lock(output_mutex());
    return screen().prompt_number;
}

void set_next_prompt_number(uint32_t number) {
    std::lock_guard lock(output_mutex());
    screen().prompt_number = number;
}

void print_prompt() {
    if (current_mode.load() != OutputMode::kText) {
        return;
    }
    const SessionState now = session().state();
    // The console has ended: a prompt now would stand after its last line.
    if (now.quitting()) {
        return;
    }
    std::string text = now.connected() ? "[" + now.port + "]" : "[Disconnected]";
    if (now.mode == ConsoleMode::kServer) {
        text += " [" + now.maker + ":" + now.board + "] [Server]";
    } else {
        text += " [local] [Client]";
    }
    // Numbered under the lock that writes it: prompts leave in the order
    // of their numbers, and no two share one.
    void (*wake)() = nullptr;
    {
        std::lock_guard lock(output_mutex());
        Screen& s = screen();
        text += " [" + std::to_string(s.prompt_number++) + "] > ";
        if (!editing.load()) {
            if (capture != nullptr) {
                capture->append(text);
            } else {
                write_now(stdout, text);
            }
        } else if (s.line_on_screen) {
            s.line_prompt = std::move(text);
            s.prompt_changed = true;
            wake = s.wake;
        } else {
            s.next_prompt = std::move(text);
        }
    }
    if (wake != nullptr) {
        wake();
    }
}

void renew_prompt() {
    if (!editing.load()) {
        out_chatter("\r");
    }
    print_prompt();
}

void set_line_editing(bool on) {
    editing.store(on);
}

bool line_editing() {
    return editing.load();
}

std::string begin_edited_line(void (*wake)()) {
    std::lock_guard lock(output_mutex());
    Screen& s = screen();
    if (!s.tail.empty()) {
        // The editor draws the unfinished line again, from its start.
        std::fwrite("\r", 1, 1, stdout);
        std::fflush(stdout);
    }
    // An empty line entered keeps the prompt it had.
    if (!s.tail.empty()) {
        s.line_prompt = std::exchange(s.tail, {});
    } else if (!s.next_prompt.empty()) {
        s.line_prompt = std::exchange(s.next_prompt, {});
    }
    s.prompt_changed = false;
    s.wake = wake;
    s.line_on_screen = true;
    return s.line_prompt;
}

bool write_held_output(void (*erase_line)(), std::string& prompt) {
    std::lock_guard lock(output_mutex());
    Screen& s = screen();
    if (s.held.empty() && !s.prompt_changed) {
        return false;
    }
    erase_line();
    write_held(s);
    s.tail.clear();
    s.prompt_changed = false;
    prompt = s.line_prompt;
    return true;
}

void end_edited_line() {
    std::lock_guard lock(output_mutex());
    Screen& s = screen();
    s.line_on_screen = false;
    s.wake = nullptr;
    s.tail.clear();
    write_held(s);
}

void error_trace(const std::string& message, const std::string& file, int32_t line) {
    out(message + "\nBuild: " + kBuildDate + " at " + kBuildTime + "\nFile: " + file + ":" +
        std::to_string(line) + "\n");
}
