#pragma once
// Program-wide flags shared by the console thread, the web thread and the
// HTTP workers. Each exists once for the whole run.

#include <atomic>
#include <cstdint>
#include <string>

namespace mode {
inline constexpr int32_t kServer = 0;
inline constexpr int32_t kClient = 1;
inline constexpr int32_t kQuit = 2;
}  // namespace mode

// 0 server mode, 1 client mode, 2 quit. Written by the console thread, and
// by the link watcher when a vanished board comes back (server mode).
extern std::atomic<int32_t> console_mode;
// 1 while a port is open and the board usable. Written by the console thread,
// by the link watcher when the board goes away or comes back, and by the
// decoder when the board names an unknown maker.
extern std::atomic<int32_t> connected;
// 1 after "http_stop", 0 after "http_run".
extern std::atomic<int32_t> http_stop_requested;
// The last word read by the console, lower-cased. Console thread only.
extern std::string command_line;
// Set by tessaro's --interval-reads option before any port opens: every
// read then ends only by the interval and total time-outs, even when the
// reply's length is known. Read by the serial layer.
extern std::atomic<bool> interval_reads;

// The link as the web front end tells it: which port, whether the board is
// there or waited for, and a session number that grows at every connection.
// Written by the console (connect, disconnect) and the link watcher (gone,
// back), both under the session lock; read whole from any thread.
struct LinkState {
    std::string port;      // the open port, or the vanished one waited for; empty: neither
    bool waiting = false;  // the board went away and its port is waited for
    uint64_t session = 0;  // 0 before the first connection
};
// A port opened (a new session begins), a board vanished and its port is
// waited for, and neither (closed, or the wait given up).
void link_opened(const std::string& port);
void link_waiting(const std::string& port);
void link_closed();
LinkState link_state();
