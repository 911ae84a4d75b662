#pragma once
// Settings given on the command line that the lower layers read. Each is
// set once by main before any thread starts, and only read after that.

#include <atomic>

// Set by tessaro's --interval-reads option before any port opens: every
// read then ends only by the interval and total time-outs, even when the
// reply's length is known. Read by the serial layer.
extern std::atomic<bool> interval_reads;
