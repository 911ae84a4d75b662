#pragma once
// The console thread: banner, port list, then one word at a time from
// standard input until a quit word or the end of input.

#include <istream>
#include <string>

int console_ui_thread();
// The same loop on any input stream (the tests drive it with a string).
int run_console(std::istream& input);
// Takes the help, list, connect, disconnect and mode words. Returns 1 if it
// handled the word, 0 if not. Reads the port name for "co" from input.
int general_command(std::string word, std::istream& input);
