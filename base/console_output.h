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

// The number the next prompt shows; each prompt takes the next one.
uint32_t next_prompt_number();
void set_next_prompt_number(uint32_t number);

// How the console speaks. kText: as a person reads it. kQuiet: the
// reports only, without the chatter (banner, port list, thread lines,
// prompts). kJson: nothing on standard output but what out_record writes;
// the texts of a word are collected (begin_capture) into its record, and
// other threads' lines go to standard error. kService: no console at all;
// nothing but service_line and err is written, both on standard error.
enum class OutputMode { kText, kQuiet, kJson, kService };
void set_output_mode(OutputMode mode);
OutputMode output_mode();

void out(std::string_view text);       // standard output, as given
void out_line(std::string_view text);  // standard output, text and a line end
void err(std::string_view text);       // standard error, as given
// The console's chatter: printed as out() does in kText mode only.
void out_chatter(std::string_view text);
// In kService mode only: one line for a service manager's journal on
// standard error (an event that matters: started, connected, board gone or
// back, web server up, stopped), plain text, no colour or redraw.
void service_line(std::string_view line);
// One machine-readable line (a JSON record) on standard output, any mode.
void out_record(std::string_view line);
// From begin_capture to end_capture, what the calling thread prints
// through out and out_line is collected instead of printed; end_capture
// returns it.
void begin_capture();
std::string end_capture();
// Whether standard input is a terminal (not a pipe, a file or nothing).
bool input_is_terminal();

void print_banner();
void print_help();
// "[port] [maker:board] [Server] [n] > " and its other forms, from the
// session; no line end. Nothing once the console has ended.
void print_prompt();
// The prompt after a frame transaction: "\r" and a fresh prompt; at a
// terminal that edits its line, the one prompt drawn again with its new
// number.
void renew_prompt();
// Three lines: the message, the build stamp, "File: " file ":" line.
void error_trace(const std::string& message, const std::string& file, int32_t line);

// Line editing at a terminal. The console (app/) turns it on once, before
// its first prompt, when it edits its input lines in place; piped input or
// output never turns it on, and then every call above writes as it says.
// With it on, one prompt is on screen at a time: print_prompt advances the
// counter and hands its text to the next (or the current) edited line
// instead of writing it. While an edited line is on screen, what other
// threads write is held here and the console thread, woken, writes it above
// the line and draws the line again below it.
void set_line_editing(bool on);
bool line_editing();
// The console thread's editor, around each line it reads. begin returns the
// line's prompt: the text written since the last line end (a question such
// as "Connect to port"; the editor draws it again over itself, from the
// line's start), else the prompt print_prompt left, else the last line's
// prompt again (after an empty line). wake is called,
// from any thread, whenever held output waits; it must not print.
std::string begin_edited_line(void (*wake)());
// Writes what is held, if anything: first erase_line (which takes the
// edited line off the screen), then the held text, a line end that only
// ended the erased line left out. Returns whether anything was written, and
// in prompt the edited line's new prompt when print_prompt changed it.
bool write_held_output(void (*erase_line)(), std::string& prompt);
// The line was entered or ended: output goes straight out again, what is
// still held first, below the line.
void end_edited_line();
