#pragma once
// Console output. Every call writes its text in one piece under one lock and
// flushes, so lines and prompts written by different threads never split
// each other (their order between threads is not fixed).

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// The project's version, e.g. "1.0.0", given by the build.
inline constexpr const char* kVersion = TESSARO_VERSION;
// Compiler date and time stamps of this build, e.g. "Dec  7 2025" and "13:49:03".
extern const char* const kBuildDate;
extern const char* const kBuildTime;

// Number shown in the prompt; read and increased in one atomic step.
extern std::atomic<uint32_t> prompt_counter;

void out(std::string_view text);       // standard output, as given
void out_line(std::string_view text);  // standard output, text and a line end
void err(std::string_view text);       // standard error, as given
// Whether standard input is a terminal (not a pipe, a file or nothing).
bool input_is_terminal();

// What the prompt shows of the session: the open port's name and the
// board's maker and model. The layers that own them sit above this one, so
// the program installs the source at start-up; without one the prompt shows
// "-" for each. Safe to install while other threads print prompts.
struct PromptNames {
    std::string port = "-";
    std::string maker = "-";
    std::string board = "-";
};
using PromptSource = PromptNames (*)();
void set_prompt_source(PromptSource source);

void print_banner();
void print_help();
// "[port] [maker:board] [Server] [n] > " and its other forms; no line end.
void print_prompt();
// Three lines: the message, the build stamp, "File: " file ":" line.
void error_trace(const std::string& message, const std::string& file, int32_t line);
