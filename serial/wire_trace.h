#pragma once
// The wire trace: every request and reply on the serial line, with the
// opening and closing of the port, as timestamped events. The serial layer
// records them; the last kRingSize are kept in memory for GET /api/trace
// whatever else happens, and with a trace file open each is also written
// there as one line, whole and flushed at once.
//
// The layers above say who caused an event by naming a source on their
// thread (SourceScope) before they call down: "console g2rd", "api GET
// /api/gpio/grd/5", "identify", "reconnect". Nothing here includes them.
//
// A line reads
//   2026-12-07T14:03:22.420871 +2.658 ms  console g2rd        <- 98 82 01 00   ended at known
//   length
// local time to the microsecond, the time since the request, the source,
// the direction (-> to the board, <- from it, -- an event of the port), the
// bytes in hex and, for a reply or an event, what it was.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace wire_trace {

inline constexpr size_t kRingSize = 1000;

enum class Direction { kRequest, kReply, kEvent };

struct Event {
    uint64_t seq = 0;  // 1, 2, ... in the order the events happened
    std::chrono::system_clock::time_point time;
    double since_request_ms = 0;  // from the request this event follows; 0 for a request
    std::string source;
    Direction direction = Direction::kEvent;
    std::vector<uint8_t> bytes;
    std::string note;  // how a reply ended, or what happened to the port
};

// The event as one line, without its line end.
std::string format_line(const Event& event);
// "2026-12-07T14:03:22.418213", in local time.
std::string format_time(std::chrono::system_clock::time_point time);
// "98 82 FE".
std::string hex_bytes(const std::vector<uint8_t>& bytes);
// "->", "<-" or "--".
const char* direction_mark(Direction direction);

// Names the source of the events the calling thread records while the
// scope lives; scopes nest, the innermost wins. Without one, "-".
class SourceScope {
  public:
    explicit SourceScope(const std::string& source);
    ~SourceScope();
    SourceScope(const SourceScope&) = delete;
    SourceScope& operator=(const SourceScope&) = delete;

  private:
    std::string source_;
    const std::string* outer_;
};
// The calling thread's current source.
std::string current_source();

// Records one event of the current source: gives it its number and time,
// keeps it in the ring and hands it to the trace file's writer. Safe from
// any thread; events are numbered, kept and written in one order. Never
// waits for the file: the file is written by a thread of its own, outside
// the ring's lock.
void record(Direction direction, std::vector<uint8_t> bytes, std::string note = {},
            double since_request_ms = 0);

// Writes every later event to path ("-": standard error) as well: a
// regular file (created or emptied) or a terminal; anything else (a FIFO,
// a socket, a device) is refused, since its reader could hold the program.
// False, with why, when the file cannot be used; an open trace file is
// replaced. A write that fails later (a full disk) prints one warning on
// standard error and ends the file trace; recording goes on.
// The file's writer keeps at most kFileQueueSize events waiting. When its
// reader (a terminal, a pipe on standard error) does not keep up, further
// events are left out of the file and counted, and the file says how many
// when it catches up: "--   N events left out: the trace file did not keep
// up". On POSIX the writer waits for room before each line, so that it
// never holds the console's output lock while a reader is stalled; Windows
// writes at once.
bool open_file(const std::string& path, std::string& why);
// Ends the file trace, if any: waits while the writer still makes progress
// with the events it holds, then closes the file. A writer stalled for
// kStallLimit is given up (the events it held are counted as left out);
// the program's end does the same.
void close_file();

inline constexpr size_t kFileQueueSize = 4096;
inline constexpr std::chrono::milliseconds kStallLimit{500};

// Counts of the open trace file, or of the last one after close_file;
// written + pending + left_out is every event recorded while it was open.
struct FileStats {
    uint64_t written = 0;   // whole in the file
    uint64_t pending = 0;   // waiting for the writer or being written
    uint64_t left_out = 0;  // not written: the writer did not keep up, or gave up
};
FileStats file_stats();

// The events after sequence number after, oldest first, at most limit of
// them; dropped counts those after it that the ring no longer holds.
// Nothing after the latest event (an after past it included).
struct Page {
    std::vector<Event> events;
    uint64_t dropped = 0;
    uint64_t last = 0;  // the number of the latest event, 0 before the first
};
Page events_after(uint64_t after, size_t limit = kRingSize);

// Listeners told the number of each event recorded, on the recording
// thread, after the ring holds it and outside its lock. A listener must be
// quick (hand the news to another thread) and must not record. remove_listener
// returns once the listener is not running and will not run again.
uint64_t add_listener(std::function<void(uint64_t seq)> listener);
void remove_listener(uint64_t id);

// Off, nothing is recorded at all: for measuring what the trace costs.
void set_recording(bool on);

}  // namespace wire_trace
