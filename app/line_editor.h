#pragma once
// The console's input at a terminal: lines edited in place, with history
// and completion. The platform's file (line_editor_posix.cpp or
// line_editor_win32.cpp) is picked by the build.

#include <memory>
#include <streambuf>
#include <string>
#include <vector>

// The candidates for word, the word being typed, which follows before on
// the line (before ends with a blank, or is empty).
using Completer = std::vector<std::string> (*)(const std::string& before, const std::string& word);

// A stream buffer whose characters are the lines the user enters, each
// followed by a line end, for the console to read words from; its end is
// the end of input (Ctrl-D on an empty line, or the terminal gone). While a
// line is typed, other threads' output goes above it (base/console_output.h).
// Ctrl-C discards the line being typed. Entered lines are kept in the
// history file, $XDG_STATE_HOME/tessaro/history (else
// ~/.local/state/tessaro/history), its last kHistoryLines read back at
// start; a file that cannot be written costs one warning.
// Nothing when standard input and output are not both terminals, and on
// Windows, whose console edits lines and keeps their history itself.
std::unique_ptr<std::streambuf> make_line_editor(Completer completer);
// Standard input as it comes (a pipe, a file, a terminal without the
// editor), ending at its end or at end_input(). Nothing on Windows, where
// std::cin serves.
std::unique_ptr<std::streambuf> make_piped_input();

// From any thread (the signal handling's): the console's input ends now,
// as at its end, whichever of the two buffers above reads it.
void end_input();
// From any thread: Ctrl-C. At a line being edited it is a Ctrl-C typed
// there; while a word runs, take_interrupt() says so once afterwards.
void interrupt_console();
// Whether a Ctrl-C came while the console was not reading a line (the
// console then throws away the rest of the line it was running); cleared
// by the call.
bool take_interrupt();
// While one lives, Ctrl-C at the edited line cancels the question it
// answers: the read ends as at the end of input, and cancelled() is true.
class QuestionScope {
  public:
    QuestionScope();
    ~QuestionScope();
    QuestionScope(const QuestionScope&) = delete;
    QuestionScope& operator=(const QuestionScope&) = delete;
    bool cancelled() const;
};
// The terminal's settings as they were when the editor was made, put back
// (nothing when it was not made). Safe from any thread; the editor must no
// longer be reading a line, or the program must be about to end.
void restore_terminal();

inline constexpr int kHistoryLines = 1000;
// The history file's path from the environment's values (null when unset);
// empty when neither gives an absolute one.
std::string history_path(const char* xdg_state_home, const char* home);
