#include "serial/wire_trace.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include "base/console_output.h"

namespace wire_trace {

namespace {

// The innermost SourceScope of the thread. A plain pointer, so that it
// stays valid for events recorded while the program's statics are
// destroyed (the port's close at exit).
thread_local const std::string* current = nullptr;

std::atomic<bool> recording{true};

// The ring and the trace file. Built once and never destroyed: the port
// records its close at exit, after main's statics may have gone.
struct Trace {
    // Guards everything below: an event is numbered, kept and written
    // under it, so the file's lines are whole and in the ring's order.
    std::mutex mutex;
    std::vector<Event> ring = std::vector<Event>(kRingSize);
    uint64_t last = 0;
    FILE* file = nullptr;  // nullptr: no file; stderr for "-"
    bool to_stderr = false;
    std::string path;
};

Trace& trace() {
    static Trace* const the_trace = new Trace;
    return *the_trace;
}

void close_file_locked(Trace& t) {
    if (t.file != nullptr && !t.to_stderr) {
        std::fclose(t.file);
    }
    t.file = nullptr;
    t.to_stderr = false;
}

// Writes the line; on failure warns once and ends the file trace. The
// caller holds the trace's mutex.
void write_locked(Trace& t, const std::string& line) {
    if (t.to_stderr) {
        err(line);
        return;
    }
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), t.file) == line.size() &&
        std::fflush(t.file) == 0) {
        return;
    }
    const int error = errno;
    err("tessaro: writing the trace to " + t.path + " failed, the trace file ends here: " +
        (error != 0 ? std::strerror(error) : "write error") + "\n");
    close_file_locked(t);
}

}  // namespace

const char* direction_mark(Direction direction) {
    switch (direction) {
        case Direction::kRequest:
            return "->";
        case Direction::kReply:
            return "<-";
        case Direction::kEvent:
            break;
    }
    return "--";
}

std::string hex_bytes(const std::vector<uint8_t>& bytes) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::string format_time(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto since_epoch = duration_cast<microseconds>(time.time_since_epoch());
    const std::time_t seconds =
        static_cast<std::time_t>(floor<std::chrono::seconds>(since_epoch).count());
    const auto micros = static_cast<long>(since_epoch.count() - seconds * int64_t{1000000});
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[48];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%06ld", micros);
    return text;
}

std::string format_line(const Event& event) {
    char since[32];
    std::snprintf(since, sizeof since, " +%.3f ms  ", event.since_request_ms);
    std::string line = format_time(event.time) + since + event.source;
    // The direction stands in one column while sources are short.
    constexpr size_t kSourceWidth = 19;
    line.append(event.source.size() < kSourceWidth ? kSourceWidth - event.source.size() : 0, ' ');
    line += ' ';
    line += direction_mark(event.direction);
    if (!event.bytes.empty()) {
        line += ' ' + hex_bytes(event.bytes);
    }
    if (!event.note.empty()) {
        line += "   " + event.note;
    }
    return line;
}

SourceScope::SourceScope(std::string source) : outer_(current) {
    // A source comes from outside (a request's path, decoded): a line
    // break or an escape in it would forge or garble trace lines.
    constexpr size_t kMaxSource = 200;
    constexpr char kDigits[] = "0123456789abcdef";
    for (char c : source.substr(0, kMaxSource)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            source_ += "\\x";
            source_ += kDigits[byte >> 4];
            source_ += kDigits[byte & 0x0F];
        } else {
            source_ += c;
        }
    }
    current = &source_;
}

SourceScope::~SourceScope() {
    current = outer_;
}

std::string current_source() {
    return current != nullptr ? *current : "-";
}

void record(Direction direction, std::vector<uint8_t> bytes, std::string note,
            double since_request_ms) {
    if (!recording.load(std::memory_order_relaxed)) {
        return;
    }
    Event event;
    event.source = current_source();
    event.direction = direction;
    event.bytes = std::move(bytes);
    event.note = std::move(note);
    event.since_request_ms = since_request_ms;
    Trace& t = trace();
    std::lock_guard lock(t.mutex);
    event.time = std::chrono::system_clock::now();
    event.seq = ++t.last;
    if (t.file != nullptr) {
        write_locked(t, format_line(event) + "\n");
    }
    t.ring[(event.seq - 1) % kRingSize] = std::move(event);
}

bool open_file(const std::string& path, std::string& why) {
    FILE* file = nullptr;
    if (path != "-") {
        errno = 0;
        file = std::fopen(path.c_str(), "w");
        if (file == nullptr) {
            why = errno != 0 ? std::strerror(errno) : "cannot be opened";
            return false;
        }
    }
    Trace& t = trace();
    std::lock_guard lock(t.mutex);
    close_file_locked(t);
    t.to_stderr = file == nullptr;
    t.file = file != nullptr ? file : stderr;
    t.path = path == "-" ? "standard error" : path;
    return true;
}

void close_file() {
    Trace& t = trace();
    std::lock_guard lock(t.mutex);
    close_file_locked(t);
}

Page events_after(uint64_t after, size_t limit) {
    Trace& t = trace();
    std::lock_guard lock(t.mutex);
    Page page;
    page.last = t.last;
    if (after >= t.last) {
        return page;
    }
    const uint64_t oldest = t.last > kRingSize ? t.last - kRingSize + 1 : 1;
    uint64_t first = after + 1;
    if (first < oldest) {
        page.dropped = oldest - first;
        first = oldest;
    }
    for (uint64_t seq = first; seq <= t.last && page.events.size() < limit; ++seq) {
        page.events.push_back(t.ring[(seq - 1) % kRingSize]);
    }
    return page;
}

void set_recording(bool on) {
    recording.store(on);
}

}  // namespace wire_trace
