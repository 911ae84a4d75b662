#pragma once
// The program's answer to signals, in every mode. SIGTERM, SIGHUP, and
// SIGINT (unless a line is edited at a terminal) end the program as "quit"
// does: the console's input ends, a board read in progress gives up, the
// session quits, and main closes the web server and the port as usual, so
// the closing lines are said and the status is the one quit gives. At a
// terminal whose lines are edited, SIGINT is the console's Ctrl-C
// (app/line_editor.h). A second ending signal while the program ends ends
// it at once, the terminal's settings put back first.
//
// Windows: nothing is installed; the console's Ctrl-C ends the program as
// it always did.

// Call once, on the main thread, before any other thread starts: the
// signals are blocked there (and so in every thread started after) and
// taken by a thread of their own, which runs until the program ends.
void handle_signals();
// Whether an ending signal came.
bool ended_by_signal();
