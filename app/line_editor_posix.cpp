// Line editing with libedit through its readline interface, in callback
// form: the console thread waits on the terminal and on a wake-up pipe at
// once, so that output other threads hold for the screen is drawn above the
// line as soon as it comes, not when the next key is pressed.

#include <editline/readline.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <sstream>

#include "app/line_editor.h"
#include "base/console_output.h"
#include "base/os_error.h"

namespace {

// Written from any thread and from signal handlers: one byte says why.
constexpr char kWakeOutput = 'o';
constexpr char kWakeInterrupt = 'i';
constexpr char kWakeResize = 'r';
constexpr char kWakeEnd = 'e';
// Keys of libedit's emacs map, and the terminal's interrupt key.
constexpr char kLineStartKey = 0x01;  // Ctrl-A, ed-move-to-beg
constexpr char kKillToEndKey = 0x0b;  // Ctrl-K, ed-kill-line
constexpr unsigned char kInterruptKey = 0x03;
// Made once by whichever input buffer is made (the console has one), before
// the signal handling may write to it.
std::atomic<int> wake_read_fd{-1};
std::atomic<int> wake_write_fd{-1};
// A line is being edited: Ctrl-C discards it (or cancels the question).
std::atomic<bool> line_open{false};
// Ctrl-C came while no line was edited.
std::atomic<bool> interrupted{false};
// The input has ended for good (end_input).
std::atomic<bool> input_ended{false};
// A question's answer is being read; and whether Ctrl-C cancelled it.
std::atomic<bool> question_open{false};
std::atomic<bool> question_cancelled{false};
// The terminal as it was before the editor changed it.
termios saved_terminal{};
std::atomic<bool> terminal_saved{false};

bool make_wake_pipe() {
    if (wake_read_fd.load() >= 0) {
        return true;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    wake_write_fd.store(fds[1]);
    wake_read_fd.store(fds[0]);
    return true;
}

void wake_with(char why) {
    [[maybe_unused]] const ssize_t n = ::write(wake_write_fd.load(), &why, 1);
}

void wake_for_output() {
    wake_with(kWakeOutput);
}

void on_resize(int) {
    const int saved = errno;
    wake_with(kWakeResize);
    errno = saved;
}

// The one editor; libedit's readline layer keeps one line state for the
// whole program. Console thread only.
Completer completer = nullptr;
std::string prompt;                  // in front of the line on screen
std::optional<std::string> entered;  // the line, once entered
bool line_done = false;
std::string history_file;
bool history_warned = false;
std::string last_entered;

void warn_history(const std::string& what) {
    if (!history_warned) {
        history_warned = true;
        const std::string where = history_file.empty() ? "" : history_file + ": ";
        err("tessaro: the history of entered lines is not kept: " + where + what + "\n");
    }
}

// Columns the text takes on screen: one for each character.
int columns_of(const std::string& text) {
    int count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

// Takes the prompt and the line off the screen: the cursor goes to the
// start of the prompt's row and everything from there down is cleared.
void erase_line() {
    int rows = 0;
    int columns = 0;
    rl_get_screen_size(&rows, &columns);
    const int cursor_row = columns > 0 ? (columns_of(prompt) + rl_point) / columns : 0;
    std::string text = "\r";
    if (cursor_row > 0) {
        text += "\x1b[" + std::to_string(cursor_row) + "A";
    }
    text += "\x1b[J";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void redraw(const std::string& new_prompt) {
    prompt = new_prompt;
    rl_set_prompt(prompt.c_str());
    rl_forced_update_display();
}

// Ctrl-C at a question: the line stays on screen as typed, marked ^C, and
// the read ends without an answer.
void cancel_line() {
    const std::string typed(rl_line_buffer, static_cast<size_t>(rl_end));
    erase_line();
    const std::string shown = prompt + typed + "^C\n";
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    std::fflush(stdout);
    rl_callback_handler_remove();
    line_done = true;
    question_cancelled.store(true);
}

// Keys for libedit that the editor makes itself, before the terminal's.
std::deque<char> own_keys;

// Ctrl-C: the line stays on screen as typed, marked ^C, and is emptied for
// a fresh start. libedit's rl_replace_line and rl_delete_text leave the
// line as it is; its keys for the line's start and for killing to its end
// do not.
void discard_line() {
    const std::string typed(rl_line_buffer, static_cast<size_t>(rl_end));
    own_keys.assign({kLineStartKey, kKillToEndKey});
    // One key a call; never more calls than keys, or a call would wait on
    // the terminal.
    for (size_t keys = own_keys.size(); keys > 0 && !own_keys.empty(); --keys) {
        rl_callback_read_char();
    }
    own_keys.clear();
    erase_line();
    const std::string shown = prompt + typed + "^C\n";
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    std::fflush(stdout);
    redraw(prompt);
}

// libedit's source of keys: the editor's own first, then the terminal's.
// A Ctrl-C that reaches us as a key (the terminal sends no signal for it)
// is told like the signal.
int next_key(FILE*) {
    if (!own_keys.empty()) {
        const char key = own_keys.front();
        own_keys.pop_front();
        return static_cast<unsigned char>(key);
    }
    unsigned char key = 0;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, &key, 1);
        if (n == 1) {
            break;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return EOF;
    }
    if (key == kInterruptKey) {
        wake_with(kWakeInterrupt);
        return kLineStartKey;  // harmless; the line is dealt with on the wake
    }
    return key;
}

void on_line(char* line) {
    line_done = true;
    if (line != nullptr) {
        entered = line;
        std::free(line);
    }
    rl_callback_handler_remove();
}

char* next_match(const char* text, int state) {
    static std::vector<std::string> matches;
    static size_t next = 0;
    if (state == 0) {
        const std::string before(rl_line_buffer, static_cast<size_t>(rl_point) - std::strlen(text));
        matches = completer(before, text);
        next = 0;
    }
    return next < matches.size() ? ::strdup(matches[next++].c_str()) : nullptr;
}

char** complete(const char* text, int, int) {
    rl_attempted_completion_over = 1;
    char** matches = rl_completion_matches(text, next_match);
    // A folder is completed to its slash, without the blank after a word.
    const bool one_folder =
        matches != nullptr && matches[1] == nullptr && std::string_view(matches[0]).ends_with('/');
    rl_completion_append_character = one_folder ? 0 : int{' '};
    return matches;
}

void make_directories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    }
}

// The history file, opened with flags, but never through a symbolic link
// (the link could lead anywhere, and the file is rewritten) and never
// anything but a regular file (a FIFO would hold the console). -1, after
// the one warning, when it cannot be used; a file not made yet is no
// fault when only reading.
int open_history(int flags) {
    const int fd = ::open(history_file.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == ELOOP) {
            warn_history("a symbolic link, which is not followed");
        } else if (errno != ENOENT || (flags & O_CREAT) != 0) {
            warn_history(os_error_text(errno));
        }
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        warn_history("not a regular file");
        ::close(fd);
        return -1;
    }
    return fd;
}

bool write_all(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the history file by one holding lines: written beside it and
// renamed over it, so that the old file is never cut where it stands.
void rewrite_history(const std::deque<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    std::string temporary = history_file + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        warn_history(os_error_text(errno));
        return;
    }
    const bool written = write_all(fd, text);
    const int error = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), history_file.c_str()) != 0) {
        warn_history(os_error_text(written ? errno : error));
        ::unlink(temporary.c_str());
    }
}

// The file's last kHistoryLines lines become the history; a longer file is
// shortened to them, so that appending one line per entry keeps it bounded.
void load_history() {
    const int fd = open_history(O_RDONLY);
    if (fd < 0) {
        return;
    }
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            warn_history(os_error_text(errno));
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    std::deque<std::string> lines;
    size_t total = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line); ++total) {
        lines.push_back(line);
        if (lines.size() > static_cast<size_t>(kHistoryLines)) {
            lines.pop_front();
        }
    }
    for (const std::string& line : lines) {
        add_history(line.c_str());
    }
    if (!lines.empty()) {
        last_entered = lines.back();
    }
    if (total > lines.size() && !history_warned) {
        rewrite_history(lines);
    }
}

void remember(const std::string& line) {
    if (line.find_first_not_of(" \t") == std::string::npos || line == last_entered) {
        return;
    }
    last_entered = line;
    add_history(line.c_str());
    if (history_file.empty() || history_warned) {
        return;
    }
    make_directories(history_file);
    const int fd = open_history(O_WRONLY | O_APPEND | O_CREAT);
    if (fd >= 0) {
        if (!write_all(fd, line + "\n")) {
            warn_history(os_error_text(errno));
        }
        ::close(fd);
    }
}

enum class Input { kReady, kEnded };

// A terminal that polls readable with nothing to read has hung up.
Input terminal_input(const pollfd& terminal) {
    if ((terminal.revents & POLLIN) == 0) {
        return Input::kEnded;
    }
    int queued = 0;
    return ::ioctl(STDIN_FILENO, FIONREAD, &queued) == 0 && queued == 0 ? Input::kEnded
                                                                        : Input::kReady;
}

// One line as entered; nothing at the end of input.
std::optional<std::string> read_line() {
    entered.reset();
    line_done = false;
    // A Ctrl-C from before this line (while connecting at start, say) is
    // no Ctrl-C for the words it will hold.
    interrupted.store(false);
    prompt = begin_edited_line(wake_for_output);
    line_open.store(true);
    rl_callback_handler_install(prompt.c_str(), on_line);
    bool ended = input_ended.load();
    while (!line_done && !ended) {
        pollfd fds[2] = {{wake_read_fd.load(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;  // EINTR: a signal, which the pipe tells about
        }
        if (fds[0].revents != 0) {
            char reasons[64];
            const ssize_t n = ::read(wake_read_fd.load(), reasons, sizeof reasons);
            const std::string_view why(reasons, n > 0 ? static_cast<size_t>(n) : 0);
            if (why.find(kWakeResize) != std::string_view::npos) {
                rl_resize_terminal();
            }
            std::string new_prompt;
            if (write_held_output(erase_line, new_prompt)) {
                redraw(new_prompt);
            }
            if (why.find(kWakeEnd) != std::string_view::npos) {
                ended = true;
                break;
            }
            if (why.find(kWakeInterrupt) != std::string_view::npos) {
                if (question_open.load()) {
                    cancel_line();
                    break;
                }
                discard_line();
            }
        }
        if (fds[1].revents != 0) {
            if (terminal_input(fds[1]) == Input::kEnded) {
                ended = true;
            } else {
                rl_callback_read_char();
            }
        }
    }
    if (!line_done) {
        rl_callback_handler_remove();
        std::fwrite("\n", 1, 1, stdout);
        std::fflush(stdout);
    }
    line_open.store(false);
    end_edited_line();
    if (entered) {
        remember(*entered);
    }
    return entered;
}

class LineEditorBuffer : public std::streambuf {
  protected:
    int_type underflow() override {
        if (gptr() < egptr()) {
            return traits_type::to_int_type(*gptr());
        }
        if (input_ended.load()) {
            return traits_type::eof();
        }
        const std::optional<std::string> line = read_line();
        if (!line) {
            return traits_type::eof();
        }
        line_ = *line + "\n";
        setg(line_.data(), line_.data(), line_.data() + line_.size());
        return traits_type::to_int_type(*gptr());
    }

  private:
    std::string line_;
};

// Standard input read as it comes, in pieces, beside the wake-up pipe, so
// that end_input() ends a read that waits for a pipe's writer.
class PipedInputBuffer : public std::streambuf {
  protected:
    int_type underflow() override {
        if (gptr() < egptr()) {
            return traits_type::to_int_type(*gptr());
        }
        while (!input_ended.load()) {
            pollfd fds[2] = {{wake_read_fd.load(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                continue;
            }
            if (fds[1].revents == 0) {
                char drained[64];
                while (::read(wake_read_fd.load(), drained, sizeof drained) > 0) {
                }
                continue;
            }
            const ssize_t n = ::read(STDIN_FILENO, buffer_, sizeof buffer_);
            if (n > 0) {
                setg(buffer_, buffer_, buffer_ + n);
                return traits_type::to_int_type(*gptr());
            }
            if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                break;
            }
        }
        return traits_type::eof();
    }

  private:
    char buffer_[4096] = {};
};

}  // namespace

std::unique_ptr<std::streambuf> make_piped_input() {
    if (!make_wake_pipe()) {
        return nullptr;
    }
    return std::make_unique<PipedInputBuffer>();
}

void end_input() {
    input_ended.store(true);
    if (wake_write_fd.load() >= 0) {
        wake_with(kWakeEnd);
    }
}

void interrupt_console() {
    // A question asked but its line not yet open (the terminal still sends
    // signals for its keys): the byte waits in the pipe for the line, which
    // is then cancelled as soon as it opens.
    if (line_open.load() || question_open.load()) {
        wake_with(kWakeInterrupt);
    } else {
        interrupted.store(true);
    }
}

bool take_interrupt() {
    return interrupted.exchange(false);
}

QuestionScope::QuestionScope() {
    question_cancelled.store(false);
    question_open.store(true);
}

QuestionScope::~QuestionScope() {
    question_open.store(false);
}

bool QuestionScope::cancelled() const {
    return question_cancelled.load();
}

void restore_terminal() {
    // Now, not once the output has drained: a terminal whose output is held
    // (Ctrl-S) would hold the program's end too.
    if (terminal_saved.load()) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    }
}

std::string history_path(const char* xdg_state_home, const char* home) {
    // Relative values are to be ignored, as the base directory rules say.
    if (xdg_state_home != nullptr && xdg_state_home[0] == '/') {
        return std::string(xdg_state_home) + "/tessaro/history";
    }
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.local/state/tessaro/history";
    }
    return {};
}

std::unique_ptr<std::streambuf> make_line_editor(Completer words) {
    if (::isatty(STDIN_FILENO) == 0 || ::isatty(STDOUT_FILENO) == 0) {
        return nullptr;
    }
    if (!make_wake_pipe()) {
        return nullptr;
    }
    if (::tcgetattr(STDIN_FILENO, &saved_terminal) == 0) {
        terminal_saved.store(true);
    }
    completer = words;

    // libedit's own signal handling would send the signal on to the whole
    // process group; ours only wakes the loop above (SIGINT reaches it
    // through interrupt_console, from the program's signal handling).
    rl_catch_signals = 0;
    rl_catch_sigwinch = 0;
    rl_readline_name = "tessaro";
    rl_instream = stdin;
    rl_outstream = stdout;
    // Read when libedit starts, not later.
    rl_getc_function = next_key;
    rl_initialize();
    rl_attempted_completion_function = complete;
    static char word_breaks[] = " \t";
    rl_completer_word_break_characters = word_breaks;
    // Ctrl-C comes as a key while a line is edited, in its place among the
    // keys typed after it; a signal would overtake them.
    static char no_signal_keys[] = "setty -d -isig";
    rl_parse_and_bind(no_signal_keys);
    using_history();
    stifle_history(kHistoryLines);

    struct sigaction action {};
    action.sa_handler = on_resize;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGWINCH, &action, nullptr);

    // Nothing in the program changes its environment.
    history_file = history_path(std::getenv("XDG_STATE_HOME"),  // NOLINT(concurrency-mt-unsafe)
                                std::getenv("HOME"));           // NOLINT(concurrency-mt-unsafe)
    if (history_file.empty()) {
        warn_history("no home folder");
    } else {
        load_history();
    }
    return std::make_unique<LineEditorBuffer>();
}
