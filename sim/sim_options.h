#pragma once
// The command line of the quirn-sim program, read without side effects.

#include <string>
#include <vector>

#include "sim/quirn_board.h"

namespace quirn_sim {

struct SimOptions {
    BoardConfig board;
    bool watch_stdin = true;  // false with --no-stdin
    bool help = false;        // --help: print the usage text and stop
    std::string link_path;    // --link PATH: a symbolic link there to the terminal
};

struct ParsedOptions {
    bool ok = false;
    SimOptions options;
    std::string error;  // when not ok: one line, without the program name or a line end
};

// Reads the arguments after the program name. Numbers are decimal, or
// hexadecimal after 0x; each option has a bound and a later option wins.
ParsedOptions parse_sim_options(const std::vector<std::string>& args);

// The --help text, lines ending in '\n'.
std::string sim_usage();

}  // namespace quirn_sim
