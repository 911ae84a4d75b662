#include "serial/wire_trace.h"

#ifdef _WIN32
#include <filesystem>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

#include "base/console_output.h"
#include "base/os_error.h"

namespace wire_trace {

namespace {

// The innermost SourceScope of the thread. A plain pointer, so that it
// stays valid for events recorded while the program's statics are
// destroyed (the port's close at exit).
thread_local const std::string* current = nullptr;

std::atomic<bool> recording{true};

// One trace file and the thread that writes it.
struct FileWriter {
    FileWriter() = default;
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;
    ~FileWriter() {
        if (file != nullptr && file != stderr) {
            std::fclose(file);
        }
#ifndef _WIN32
        for (int fd : wake_pipe) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
#endif
    }

    // Set before the thread starts, then read only by it.
    FILE* file = nullptr;         // stderr for "-"
    bool regular = false;         // a regular file: writes never wait for a reader
    std::string path;             // for the warning: the path, or "standard error"
    int wake_pipe[2] = {-1, -1};  // wakes a writer waiting for room, to give up
    std::thread thread;
    // Lines written: close_file waits while it grows.
    std::atomic<uint64_t> progress{0};

    // Guarded by the trace's mutex.
    std::deque<Event> queue;
    uint64_t writing = 0;         // events of the batch being written
    uint64_t left_out_since = 0;  // left out since the last batch, for the file's note
    FileStats stats;
    bool closing = false;          // close_file: write what is queued, then end
    bool abandoned = false;        // close_file gave up: end at once
    bool ended = false;            // failed, gave up, or done after closing
    std::condition_variable wake;  // the writer waits on it for events
    std::condition_variable done;  // close_file waits on it for progress
};

// The ring and the trace file. Built once and never destroyed: the port
// records its close at exit, after main's statics may have gone.
struct Trace {
    // Guards the ring, the numbering and the writer's queue and counts: an
    // event is numbered, kept and queued for the file under it, so the
    // file's lines are in the ring's order. The file itself is written
    // outside it, by the writer's thread.
    std::mutex mutex;
    std::vector<Event> ring = std::vector<Event>(kRingSize);
    uint64_t last = 0;
    std::shared_ptr<FileWriter> writer;  // nullptr: no trace file
    FileStats last_stats;                // of the last file, once closed
};

Trace& trace() {
    static Trace* const the_trace = new Trace;
    return *the_trace;
}

Event left_out_note(uint64_t count) {
    Event note;
    note.time = std::chrono::system_clock::now();
    note.source = "trace";
    note.note = std::to_string(count) + " events left out: the trace file did not keep up";
    return note;
}

// Waits until the writer's file takes a line without holding it, or the
// writer is woken to give up. False when it gave up. A regular file (or
// Windows) never waits here.
bool wait_for_room(const FileWriter& w) {
#ifndef _WIN32
    while (!w.regular) {
        pollfd fds[2] = {{::fileno(w.file), POLLOUT, 0}, {w.wake_pipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;  // EINTR
        }
        if (fds[1].revents != 0) {
            return false;
        }
        if (fds[0].revents != 0) {
            return true;  // room, or an error the write will report
        }
    }
#else
    (void)w;
#endif
    return true;
}

// Writes the text; false with the OS's message when the file fails.
bool write_text(FileWriter& w, const std::string& text, std::string& error) {
    if (w.file == stderr) {
        err(text);  // whole, between the console's own lines
        return true;
    }
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), w.file) == text.size() &&
        std::fflush(w.file) == 0) {
        return true;
    }
    error = errno != 0 ? os_error_text(errno) : "write error";
    return false;
}

// The writer's thread: takes what is queued and writes it outside the
// lock, counting each event once written. A regular file takes a batch in
// one write; another file line by line, each after waiting for room, so
// that no write waits for its reader.
void write_events(const std::shared_ptr<FileWriter>& w) {
    Trace& t = trace();
    std::unique_lock lock(t.mutex);
    for (;;) {
        w->wake.wait(lock, [&w] { return !w->queue.empty() || w->closing || w->abandoned; });
        if (w->abandoned || w->queue.empty()) {
            break;  // given up, or closing with everything written
        }
        std::deque<Event> batch;
        batch.swap(w->queue);
        // Events are left out only while the queue is full, so those
        // counted now came after every queued one.
        const uint64_t left_out = std::exchange(w->left_out_since, 0);
        w->writing = batch.size();
        lock.unlock();

        std::vector<std::string> lines;
        lines.reserve(batch.size() + 1);
        for (const Event& event : batch) {
            lines.push_back(format_line(event) + "\n");
        }
        if (left_out > 0) {
            lines.push_back(format_line(left_out_note(left_out)) + "\n");
        }
        std::string error;
        bool failed = false;
        if (w->regular) {
            std::string text;
            for (const std::string& line : lines) {
                text += line;
            }
            failed = !write_text(*w, text, error);
            w->progress += lines.size();
            lock.lock();
            if (!failed && !w->abandoned) {
                w->stats.written += w->writing;
                w->stats.pending -= w->writing;
                w->writing = 0;
            }
        } else {
            for (size_t i = 0; i < lines.size() && !failed; ++i) {
                if (!wait_for_room(*w)) {
                    break;  // given up
                }
                failed = !write_text(*w, lines[i], error);
                ++w->progress;
                if (!failed && i < batch.size()) {
                    const std::lock_guard line_lock(t.mutex);
                    if (!w->abandoned) {
                        ++w->stats.written;
                        --w->stats.pending;
                        --w->writing;
                    }
                }
            }
            lock.lock();
        }
        if (w->abandoned) {
            break;  // close_file has counted what was left as left out
        }
        if (failed) {
            lock.unlock();
            err("tessaro: writing the trace to " + w->path +
                " failed, the trace file ends here: " + error + "\n");
            lock.lock();
            w->stats.left_out += w->writing + w->queue.size();
            w->stats.pending = 0;
            w->writing = 0;
            w->queue.clear();
            break;
        }
        w->done.notify_all();
    }
    w->ended = true;
    w->done.notify_all();
}

// The writer's file for path, checked to be one that no reader can hold
// shut: a regular file (emptied), a terminal or standard error.
std::shared_ptr<FileWriter> open_writer(const std::string& path, std::string& why) {
    auto w = std::make_shared<FileWriter>();
    if (path == "-") {
        w->file = stderr;
        w->path = "standard error";
    } else {
        w->path = path;
#ifdef _WIN32
        std::error_code error;
        const auto status = std::filesystem::status(path, error);
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
            why = "not a regular file";
            return nullptr;
        }
        errno = 0;
        w->file = std::fopen(path.c_str(), "w");
        if (w->file == nullptr) {
            why = errno != 0 ? os_error_text(errno) : "cannot be opened";
            return nullptr;
        }
        w->regular = true;
#else
        constexpr const char* kFifo = "a FIFO, not a regular file or a terminal";
        // Without O_NONBLOCK a FIFO would hold the open until a reader came.
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd < 0) {
            why = errno == ENXIO ? kFifo : os_error_text(errno);
            return nullptr;
        }
        struct stat info {};
        const char* refused = nullptr;
        if (::fstat(fd, &info) != 0) {
            refused = "cannot be examined";
        } else if (S_ISREG(info.st_mode)) {
            w->regular = true;
        } else if (S_ISFIFO(info.st_mode)) {
            refused = kFifo;
        } else if (S_ISSOCK(info.st_mode)) {
            refused = "a socket, not a regular file or a terminal";
        } else if (::isatty(fd) == 0) {
            refused = "a device that is not a terminal";
        }
        if (refused == nullptr && w->regular && ::ftruncate(fd, 0) != 0) {
            why = os_error_text(errno);
            ::close(fd);
            return nullptr;
        }
        if (refused != nullptr) {
            why = refused;
            ::close(fd);
            return nullptr;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        w->file = ::fdopen(fd, "w");
        if (w->file == nullptr) {
            why = os_error_text(errno);
            ::close(fd);
            return nullptr;
        }
#endif
    }
#ifndef _WIN32
    if (!w->regular && ::pipe2(w->wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        why = os_error_text(errno);
        return nullptr;
    }
#endif
    return w;
}

// Ends w's trace: lets its writer write what it holds while it makes
// progress, and gives it up when it stalls.
void finish_writer(Trace& t, const std::shared_ptr<FileWriter>& w) {
    std::unique_lock lock(t.mutex);
    w->closing = true;
    w->wake.notify_all();
    while (!w->ended) {
        const uint64_t seen = w->progress;
        w->done.wait_for(lock, kStallLimit, [&w] { return w->ended; });
        if (!w->ended && w->progress == seen) {
            // Stalled: what it holds is left out.
            w->abandoned = true;
            w->stats.left_out += w->writing + w->queue.size();
            w->writing = 0;
            w->queue.clear();
            w->stats.pending = 0;
            w->wake.notify_all();
            break;
        }
    }
    t.last_stats = w->stats;
    const bool ended = w->ended;
    lock.unlock();
    if (ended) {
        w->thread.join();
        return;
    }
#ifndef _WIN32
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(w->wake_pipe[1], &byte, 1);
#endif
    w->thread.detach();  // ends when its wait or write returns; it owns the file
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

SourceScope::SourceScope(const std::string& source) : outer_(current) {
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

namespace {

struct Listeners {
    // Guards all and next; held while the listeners run, so that
    // remove_listener waits for a running one. Taken after the ring's lock
    // is released, never together with it.
    std::mutex mutex;
    std::map<uint64_t, std::function<void(uint64_t)>> all;
    uint64_t next = 1;
};

Listeners& listeners() {
    static Listeners the_listeners;
    return the_listeners;
}

}  // namespace

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
    std::unique_lock lock(t.mutex);
    event.time = std::chrono::system_clock::now();
    event.seq = ++t.last;
    // A file that failed is still open until close_file: what it can no
    // longer take is left out, and counted so.
    const uint64_t seq = event.seq;
    if (FileWriter* w = t.writer.get(); w != nullptr) {
        if (!w->ended && w->queue.size() < kFileQueueSize) {
            w->queue.push_back(event);
            ++w->stats.pending;
            w->wake.notify_one();
        } else {
            ++w->left_out_since;
            ++w->stats.left_out;
        }
    }
    t.ring[(event.seq - 1) % kRingSize] = std::move(event);
    lock.unlock();
    Listeners& l = listeners();
    std::lock_guard listening(l.mutex);
    for (const auto& [id, listener] : l.all) {
        listener(seq);
    }
}

uint64_t add_listener(std::function<void(uint64_t)> listener) {
    Listeners& l = listeners();
    std::lock_guard lock(l.mutex);
    l.all.emplace(l.next, std::move(listener));
    return l.next++;
}

void remove_listener(uint64_t id) {
    Listeners& l = listeners();
    std::lock_guard lock(l.mutex);
    l.all.erase(id);
}

bool open_file(const std::string& path, std::string& why) {
    std::shared_ptr<FileWriter> w = open_writer(path, why);
    if (w == nullptr) {
        return false;
    }
    close_file();
    Trace& t = trace();
    {
        std::lock_guard lock(t.mutex);
        t.writer = w;
        t.last_stats = {};
        w->thread = std::thread(write_events, w);
    }
    // At the program's end, after the port's close is recorded: the port
    // is made after the trace file is opened, so it is destroyed first.
    static const bool closed_at_exit = std::atexit(close_file) == 0;
    (void)closed_at_exit;
    return true;
}

void close_file() {
    Trace& t = trace();
    std::shared_ptr<FileWriter> w;
    {
        std::lock_guard lock(t.mutex);
        w = std::exchange(t.writer, nullptr);
    }
    if (w != nullptr) {
        finish_writer(t, w);
    }
}

FileStats file_stats() {
    Trace& t = trace();
    std::lock_guard lock(t.mutex);
    return t.writer != nullptr ? t.writer->stats : t.last_stats;
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
