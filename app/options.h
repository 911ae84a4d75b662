#pragma once
// tessaro's command line: read as data, before anything is started.

#include <string>
#include <vector>

struct Options {
    enum class Action { kRun, kHelp, kVersion, kList, kError };
    Action action = Action::kRun;
    std::string port;             // connect to it at start; empty: none
    bool interval_reads = false;  // --interval-reads
    std::string error;            // kError: one line saying what is wrong
    bool json = false;            // --json, taken only with --list
};

// The arguments after the program's name. Any error wins over --help,
// --version and --list, and each of these over the ones after it.
Options parse_options(const std::vector<std::string>& args);

std::string usage_text();    // for --help
std::string version_text();  // for --version: version and build stamp
