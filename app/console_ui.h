#pragma once
// The console thread: banner, port list, then one word at a time from
// standard input until a quit word or the end of input.

#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "serial/class_serial.h"

// What the console does before the first word: connect to port as if
// "co port" had been typed (nothing when it is empty); and when that port
// cannot be opened, either carry on disconnected or end at once (the
// choice for input that is not a terminal, so that a script notices).
struct ConsoleStart {
    std::string port;
    bool end_if_not_opened = false;
    // A script's run (input not a terminal, or words given): the status
    // tells whether every word worked.
    bool script = false;
    bool bail = false;                 // end at the first word that failed
    std::optional<std::string> words;  // run these instead of reading standard input
};

// Returns 0 when the user quit or the input ended, 1 when it ended because
// the start's port could not be opened, or, for a script, when any word
// failed (at once with bail). In OutputMode::kJson each word's outcome is
// written as one JSON record, with what the console would have said.
int console_ui_thread(const ConsoleStart& start);
// The same loop on any input stream (the tests drive it with a string).
int run_console(std::istream& input, const ConsoleStart& start = {});
// Takes the help, list, connect, disconnect and mode words. Returns 1 if it
// handled the word, 0 if not. Reads the port name for "co" from input.
int general_command(const std::string& word, std::istream& input);
// Tab completion at a terminal: the words of the current mode that begin
// with word (ignoring case), a pin's GPIO words after g and its number, and
// after "co" the discovered ports and the devices and folders of a path.
std::vector<std::string> complete_console_word(const std::string& before, const std::string& word);
// "Closed <port> port" for a port that was closed; nothing otherwise.
void say_closed(const std::optional<std::string>& closed);
// One line "Port: <port_name> - <friendly_name>" per entry.
void print_ports(const std::vector<PortEntry>& ports);
// What main says of the discovery made at start: the error trace when the
// system would not list its ports, then a line when there are none.
void say_discovered(const SerialPort& port);
