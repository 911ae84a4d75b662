// The trace file: what it accepts, what a failed write does, and a reader
// that stops reading, which costs events but never a wait.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "base/console_output.h"
#include "serial/wire_trace.h"
#include "tests/support/child_process.h"

namespace {

using namespace std::chrono_literals;
using wire_trace::FileStats;

// Standard error on a pipe whose reader the test controls, until restore().
class StderrOnPipe {
  public:
    StderrOnPipe() {
        saved_ = ::dup(STDERR_FILENO);
        EXPECT_EQ(::pipe2(pipe_, O_CLOEXEC), 0);
        ::dup2(pipe_[1], STDERR_FILENO);
    }
    ~StderrOnPipe() {
        restore();
        ::close(pipe_[0]);
    }
    StderrOnPipe(const StderrOnPipe&) = delete;
    StderrOnPipe& operator=(const StderrOnPipe&) = delete;

    // Standard error back as it was; the pipe's reader then sees its end.
    void restore() {
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            ::close(pipe_[1]);
            saved_ = -1;
        }
    }
    // Everything the pipe gets until restore(), read on a thread of its own.
    std::thread read_all(std::string& text) const {
        return std::thread([fd = pipe_[0], &text] {
            char buffer[65536];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
                text.append(buffer, static_cast<size_t>(n));
            }
        });
    }
    size_t capacity() const { return static_cast<size_t>(::fcntl(pipe_[0], F_GETPIPE_SZ)); }

  private:
    int saved_ = -1;
    int pipe_[2] = {-1, -1};
};

struct Lines {
    uint64_t events = 0;
    uint64_t left_out = 0;  // the sum of the file's "N events left out" notes
    bool whole = true;
};

Lines count_lines(const std::string& text) {
    Lines lines;
    lines.whole = text.empty() || text.back() == '\n';
    std::istringstream in(text);
    const std::string note = " events left out: the trace file did not keep up";
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(" --   ");
        if (at != std::string::npos && line.ends_with(note)) {
            lines.left_out += std::stoull(line.substr(at + 6));
        } else if (line.find(" trace test ") != std::string::npos) {
            ++lines.events;
        } else {
            lines.whole = false;
        }
    }
    return lines;
}

// More events than the queue and the pipe hold together, with nobody
// reading: recording never waits, and every event is counted once, as
// written, pending or left out. Closed while the reader is stalled, the
// writer is given up; read again, it writes what it holds and says how
// many it left out.
TEST(WireTraceFile, AReaderThatStopsCostsEventsButNeverAWait) {
    for (const bool read_again : {false, true}) {
        StderrOnPipe pipe;
        std::string why;
        ASSERT_TRUE(wire_trace::open_file("-", why)) << why;
        // A line is longer than 40 bytes; the writer may hold a whole queue
        // while the queue fills again.
        const uint64_t recorded = 2 * wire_trace::kFileQueueSize + pipe.capacity() / 40 + 1001;
        test_support::finish_within(20s, "recording while nobody reads", [recorded] {
            const wire_trace::SourceScope source("trace test");
            for (uint64_t i = 0; i < recorded; ++i) {
                wire_trace::record(wire_trace::Direction::kRequest, {0x40}, std::to_string(i));
            }
        });
        const FileStats stalled = wire_trace::file_stats();
        EXPECT_EQ(stalled.written + stalled.pending + stalled.left_out, recorded);
        EXPECT_GE(stalled.left_out, 1000u);

        std::string text;
        std::thread reader;
        if (read_again) {
            reader = pipe.read_all(text);
        }
        test_support::finish_within(5 * wire_trace::kStallLimit, "closing the trace file",
                                    [] { wire_trace::close_file(); });
        if (!read_again) {
            // Given up waiting for room, the writer holds no lock the console needs.
            test_support::finish_within(5s, "console output", [] { out(""); });
            reader = pipe.read_all(text);
        }
        pipe.restore();
        reader.join();
        const FileStats closed = wire_trace::file_stats();
        EXPECT_EQ(closed.pending, 0u) << read_again;
        EXPECT_EQ(closed.written + closed.left_out, recorded) << read_again;
        const Lines lines = count_lines(text);
        EXPECT_TRUE(lines.whole) << read_again;
        EXPECT_EQ(lines.events, closed.written) << read_again;
        if (read_again) {
            EXPECT_EQ(closed.left_out, stalled.left_out) << "nothing more lost once read";
            EXPECT_EQ(lines.left_out, closed.left_out) << "the file says what it lacks";
            EXPECT_GE(closed.written, wire_trace::kFileQueueSize);
        } else {
            EXPECT_GE(closed.left_out, stalled.left_out)
                << "what the stalled writer held is left out";
        }
    }
}

// A write that fails (here the file's size limit) ends the file trace with
// one warning that gives the system's reason; the ring goes on.
TEST(WireTraceFile, AFailedWriteEndsTheFileWithOneWarning) {
    const std::string path = testing::TempDir() + "wire_trace_limited.log";
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 4096;
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    std::string why;
    ASSERT_TRUE(wire_trace::open_file(path, why)) << why;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    testing::internal::CaptureStderr();
    const wire_trace::SourceScope source("trace test");
    const uint64_t before = wire_trace::events_after(0, 0).last;
    for (int i = 0; i < 200; ++i) {
        wire_trace::record(wire_trace::Direction::kRequest, {0x40}, std::to_string(i));
    }
    wire_trace::close_file();
    const std::string warnings = testing::internal::GetCapturedStderr();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(warnings, "tessaro: writing the trace to " + path +
                            " failed, the trace file ends here: File too large\n");
    EXPECT_EQ(wire_trace::events_after(0, 0).last, before + 200) << "recording goes on";
    // Every event is written or left out, whenever the write failed.
    const FileStats stats = wire_trace::file_stats();
    EXPECT_EQ(stats.written + stats.left_out, 200u);
    EXPECT_GT(stats.left_out, 0u);
}

// Only a regular file (emptied), a terminal or standard error: a FIFO
// would hold the program at its open, and later whenever its reader stops.
TEST(WireTraceFile, TakesARegularFileOrATerminalOnly) {
    namespace fs = std::filesystem;
    const fs::path dir = testing::TempDir() + "wire_trace_kinds_" + std::to_string(getpid());
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string fifo = (dir / "fifo").string(), old = (dir / "old.log").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(old) << "an older trace\n";
    int master = -1, slave = -1;
    char terminal[256];
    ASSERT_EQ(::openpty(&master, &slave, terminal, nullptr, nullptr), 0);
    const std::pair<std::string, std::string> rows[] = {
        {old, ""},
        {terminal, ""},
        {fifo, "a FIFO, not a regular file or a terminal"},
        {"/dev/null", "a device that is not a terminal"},
        {dir.string(), "Is a directory"},
        {(dir / "no" / "such").string(), "No such file or directory"},
    };
    for (const auto& [path, refused] : rows) {
        std::string why;
        EXPECT_EQ(wire_trace::open_file(path, why), refused.empty()) << path;
        EXPECT_EQ(why, refused) << path;
        wire_trace::close_file();
    }
    EXPECT_EQ(fs::file_size(old), 0u) << "emptied";
    ::close(master);
    ::close(slave);
    fs::remove_all(dir);
}

}  // namespace
