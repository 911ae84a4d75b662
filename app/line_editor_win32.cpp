// Windows: the console's own line editing and history serve; tessaro
// leaves the console's modes as they are and reads standard input plainly.

#include "app/line_editor.h"

std::unique_ptr<std::streambuf> make_line_editor(Completer) {
    return nullptr;
}

std::string history_path(const char*, const char*) {
    return {};
}

std::unique_ptr<std::streambuf> make_piped_input() {
    return nullptr;
}

void end_input() {}

void interrupt_console() {}

bool take_interrupt() {
    return false;
}

QuestionScope::QuestionScope() = default;
QuestionScope::~QuestionScope() = default;

bool QuestionScope::cancelled() const {
    return false;
}

void restore_terminal() {}
