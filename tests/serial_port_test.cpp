// The serial session on a real pseudo-terminal pair: the port under test is
// the slave, the master plays the board.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "serial/class_serial.h"
#include "tests/support/pty_pair.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using test_support::PtyPair;

// Reaches the one read of a transaction on its own, to see what a cut reply
// leaves behind.
struct SerialPortTestAccess {
    static CommandReply read_reply(SerialPort& port) {
        std::lock_guard lock(port.transaction_mutex_);
        return port.read_reply();
    }
};

namespace {

constexpr uint8_t kCode = 0x81;

struct Output {
    std::string out;
    std::string err;
};

template <typename Action>
Output capture(Action action) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    action();
    Output output;
    output.out = testing::internal::GetCapturedStdout();
    output.err = testing::internal::GetCapturedStderr();
    return output;
}

std::string upper_case(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A temporary directory, removed with what the test put in it.
struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/serial_port_test_XXXXXX";
        path = ::mkdtemp(name) ? name : "";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

class SerialPortOnPty : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << "openpty failed";
        capture([&] { port.open(pty.slave_path()); });
        ASSERT_EQ(port.get_state().status, 1);
    }
    void TearDown() override {
        capture([&] { port.close(); });
    }

    PtyPair pty;
    SerialPort port;
};

TEST(SerialPort, OpensRaw19200EightNoneOneAndResolvesTheNameIgnoringCase) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    // Start from settings that must all be undone.
    termios dirty{};
    ASSERT_EQ(tcgetattr(pty.slave(), &dirty), 0);
    cfsetispeed(&dirty, B9600);
    cfsetospeed(&dirty, B9600);
    dirty.c_cflag = (dirty.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    dirty.c_cflag &= ~(CLOCAL | CREAD);
    dirty.c_iflag |= IXON | IXOFF | IXANY | ICRNL;
    dirty.c_lflag |= ICANON | ECHO | ISIG;
    dirty.c_oflag |= OPOST;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &dirty), 0);

    SerialPort port;
    const Output output = capture([&] { port.open(upper_case(pty.slave_path())); });
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, "");
    const PortState state = port.get_state();
    EXPECT_EQ(state.status, 1);
    EXPECT_EQ(state.port_name, pty.slave_path());

    termios applied{};
    ASSERT_EQ(tcgetattr(pty.slave(), &applied), 0);
    EXPECT_EQ(cfgetispeed(&applied), B19200);
    EXPECT_EQ(cfgetospeed(&applied), B19200);
    EXPECT_EQ(applied.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(applied.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(applied.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(applied.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
    EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(applied.c_oflag & OPOST, 0u);
    capture([&] { port.close(); });
}

TEST(SerialPort, RefusedOpensPrintOneLineAndChangeNothing) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort holder;
    capture([&] { holder.open(pty.slave_path()); });
    ASSERT_EQ(holder.get_state().status, 1);

    struct Case {
        std::string name;
        std::string line;
    };
    const Case cases[] = {
        {pty.slave_path(), "Error: Cannot open " + pty.slave_path() + "\n"},  // held: exclusive
        {"NOSUCHPORT9", "Error: Cannot open /dev/NOSUCHPORT9\n"},
        {"/DEV/NO_SUCH_DIR/TTY0", "Error: Cannot open /DEV/NO_SUCH_DIR/TTY0\n"},
    };
    for (const Case& c : cases) {
        SerialPort port;
        const Output output = capture([&] { port.open(c.name); });
        EXPECT_EQ(output.out, c.line) << c.name;
        EXPECT_EQ(output.err, "") << c.name;
        EXPECT_EQ(port.get_state().status, 0) << c.name;
        EXPECT_EQ(port.get_state().port_name, "") << c.name;
    }
    EXPECT_EQ(holder.get_state().status, 1);
    capture([&] { holder.close(); });
}

TEST(SerialPort, ATransactionOnAPortNeverOpenedFailsAtOnce) {
    SerialPort port;
    CommandReply reply;
    const Clock::time_point start = Clock::now();
    const Output output = capture([&] { reply = port.transact_byte(kCode); });
    EXPECT_LT(ms_between(start, Clock::now()), 1000.0);
    EXPECT_EQ(output.err,
              "Error: Failed to write to COM port\n\nError: Failed to read from COM port\n");
    EXPECT_EQ(reply.count, 0u);
    EXPECT_TRUE(reply.bytes.empty());
}

TEST(SerialPort, ANonTerminalFailsAtItsLineSettings) {
    TempDir dir;
    const std::string path = dir.path + "/not_a_port";
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);

    SerialPort port;
    const Output output = capture([&] { port.open(path); });
    EXPECT_EQ(output.err, "Error: Failed to get COM state\n");
    EXPECT_EQ(output.out, "Error: Failed to get COM " + path + " state \n");
    EXPECT_EQ(port.get_state().status, 0);
    EXPECT_FALSE(serial_platform::is_valid(port.handle));
}

TEST(SerialPort, CloseKeepsTheNameAndReleasesThePortReopeningClosesFirst) {
    PtyPair first;
    PtyPair second;
    ASSERT_TRUE(first.ok() && second.ok());
    SerialPort port;
    capture([&] { port.open(first.slave_path()); });

    Output output = capture([&] { port.open(second.slave_path()); });
    EXPECT_EQ(output.out, "Closed " + first.slave_path() + " port\n");
    EXPECT_EQ(port.get_state().port_name, second.slave_path());
    EXPECT_EQ(port.get_state().status, 1);

    output = capture([&] { port.close(); });
    EXPECT_EQ(output.out, "Closed " + second.slave_path() + " port\n");
    EXPECT_EQ(port.get_state().status, 0);
    EXPECT_EQ(port.get_state().port_name, second.slave_path());

    // Both are free again; the destructor closes what is open.
    output = capture([&] {
        SerialPort other;
        other.open(first.slave_path());
        EXPECT_EQ(other.get_state().status, 1);
        other.open(second.slave_path());
        EXPECT_EQ(other.get_state().status, 1);
    });
    EXPECT_EQ(output.out,
              "Closed " + first.slave_path() + " port\nClosed " + second.slave_path() + " port\n");
}

TEST_F(SerialPortOnPty, ReadEndsAboutFiveMsAfterTheLastByte) {
    const Bytes answer = {kCode, 0x01, 0x02, 0x03, 0xFE};
    Bytes request;
    Clock::time_point sending{};
    std::thread peer([&] {
        request = pty.receive(1, 5s);
        sending = Clock::now();
        pty.send(answer);
    });
    const CommandReply reply = port.transact_byte(kCode);
    const Clock::time_point done = Clock::now();
    peer.join();

    EXPECT_EQ(request, Bytes{kCode});
    EXPECT_EQ(reply.bytes, answer);
    EXPECT_EQ(reply.count, answer.size());
    EXPECT_EQ(port.bytes_written, 1u);
    // Never before the interval has passed; far from the 2066 ms total.
    EXPECT_GE(ms_between(sending, done), 5.0);
    EXPECT_LT(ms_between(sending, done), 1000.0);
}

TEST_F(SerialPortOnPty, BytesHalfAMillisecondApartAreOneReply) {
    constexpr int kBytes = 16;
    constexpr auto kPace = 500us;
    // The gaps the peer really kept; an attempt in which the machine held it
    // up for a whole interval proves nothing and is made again.
    constexpr double kUsableGapMs = 3.0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        double widest_gap_ms = 0;
        Bytes answer;
        std::thread peer([&] {
            if (pty.receive(1, 5s).empty()) {
                return;
            }
            Clock::time_point next = Clock::now();
            Clock::time_point previous = next;
            for (int i = 0; i < kBytes; ++i) {
                const uint8_t byte = static_cast<uint8_t>(0x80 + i);
                const Clock::time_point now = Clock::now();
                widest_gap_ms = std::max(widest_gap_ms, ms_between(previous, now));
                previous = now;
                pty.send({byte});
                answer.push_back(byte);
                next += kPace;
                std::this_thread::sleep_until(next);
            }
        });
        // A retry discards what an unusable attempt left behind, with a line
        // on standard error.
        CommandReply reply;
        capture([&] { reply = port.transact_byte(kCode); });
        peer.join();
        if (widest_gap_ms > kUsableGapMs) {
            continue;
        }
        EXPECT_EQ(reply.bytes, answer);
        return;
    }
    FAIL() << "the peer could not keep a 0.5 ms pace in five attempts";
}

TEST_F(SerialPortOnPty, ALongReplyIsCutAt1023AndTheNextReadDeliversTheRest) {
    Bytes answer(1500);
    for (size_t i = 0; i < answer.size(); ++i) {
        answer[i] = static_cast<uint8_t>(1 + i % 251);
    }
    std::thread peer([&] {
        pty.receive(1, 5s);
        pty.send(answer);
    });
    const CommandReply first = port.transact_byte(kCode);
    peer.join();
    const CommandReply rest = SerialPortTestAccess::read_reply(port);

    ASSERT_EQ(first.count, 1023u);
    EXPECT_EQ(first.bytes, Bytes(answer.begin(), answer.begin() + 1023));
    EXPECT_EQ(port.readBuffer[1023], 0);
    EXPECT_EQ(rest.count, answer.size() - 1023);
    EXPECT_EQ(rest.bytes, Bytes(answer.begin() + 1023, answer.end()));
}

TEST_F(SerialPortOnPty, StaleBytesAreDiscardedAndCountedBeforeTheRequest) {
    ASSERT_TRUE(pty.send({0x11, 0x22, 0x33}));
    ASSERT_TRUE(pty.wait_queued(3, 5s));
    const Bytes answer = {kCode, 0x44};
    std::thread peer([&] {
        pty.receive(1, 5s);
        pty.send(answer);
    });
    CommandReply reply;
    const Output output = capture([&] { reply = port.transact_byte(kCode); });
    peer.join();

    EXPECT_EQ(output.err,
              "Discarded 3 stale bytes from " + pty.slave_path() + " before the request\n");
    EXPECT_EQ(reply.bytes, answer);
}

TEST_F(SerialPortOnPty, AFrameIsSentWholeAndFollowedByAPromptAnOverlongOneIsRefused) {
    CommandReply refused;
    Output output = capture([&] { refused = port.transact_frame(Bytes(512, 0x80)); });
    EXPECT_EQ(refused.count, 0u);
    EXPECT_TRUE(refused.bytes.empty());
    EXPECT_EQ(output.out, "");
    ASSERT_FALSE(output.err.empty());
    EXPECT_EQ(output.err.find('\n'), output.err.size() - 1) << output.err;

    const Bytes frame = {0xA4, 0x82, 0x81, 0xFE};
    Bytes request;
    std::thread peer([&] {
        request = pty.receive(frame.size(), 5s);
        pty.send(frame);
    });
    CommandReply reply;
    output = capture([&] { reply = port.transact_frame(frame); });
    peer.join();

    // Had the refused frame gone out, its bytes would have come first.
    EXPECT_EQ(request, frame);
    EXPECT_EQ(reply.bytes, frame);
    EXPECT_EQ(reply.count, frame.size());
    EXPECT_EQ(output.out.rfind("\r[", 0), 0u) << output.out;
    EXPECT_EQ(output.out.substr(output.out.size() - 2), "> ") << output.out;
}

TEST_F(SerialPortOnPty, AHungUpPeerFailsTheReadAtOnce) {
    struct Case {
        const char* when;
        bool before_request;
    };
    for (const Case c : {Case{"while the read waits", false}, Case{"before the request", true}}) {
        SCOPED_TRACE(c.when);
        PtyPair board;
        ASSERT_TRUE(board.ok());
        SerialPort link;
        capture([&] { link.open(board.slave_path()); });
        ASSERT_EQ(link.get_state().status, 1);
        if (c.before_request) {
            board.close_master();
        }
        std::thread peer([&] {
            if (!c.before_request) {
                board.receive(1, 5s);
                board.close_master();
            }
        });
        CommandReply reply;
        const Clock::time_point start = Clock::now();
        const Output output = capture([&] { reply = link.transact_byte(kCode); });
        const double elapsed_ms = ms_between(start, Clock::now());
        peer.join();

        EXPECT_EQ(reply.count, 0u);
        EXPECT_TRUE(reply.bytes.empty());
        EXPECT_NE(output.err.find("\nError: Failed to read from COM port\n"), std::string::npos)
            << output.err;
        EXPECT_LT(elapsed_ms, 1000.0);
        capture([&] { link.close(); });
    }
}

TEST(SerialConcurrency, TransactionsFromTwoThreadsNeverInterleave) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port;
    capture([&] { port.open(pty.slave_path()); });
    ASSERT_EQ(port.get_state().status, 1);

    constexpr int kEach = 15;
    // Answers every request byte with three copies of it.
    std::thread peer([&] {
        for (int i = 0; i < 2 * kEach; ++i) {
            const Bytes request = pty.receive(1, 5s);
            if (request.empty()) {
                return;
            }
            pty.send({request[0], request[0], request[0]});
        }
    });
    std::atomic<int> wrong{0};
    const auto client = [&](uint8_t code) {
        for (int i = 0; i < kEach; ++i) {
            if (port.transact_byte(code).bytes != Bytes{code, code, code}) {
                ++wrong;
            }
        }
    };
    std::thread a(client, uint8_t{0x81});
    std::thread b(client, uint8_t{0x82});
    a.join();
    b.join();
    peer.join();
    EXPECT_EQ(wrong.load(), 0);
    capture([&] { port.close(); });
}

TEST(SerialConcurrency, ASilentPeerCostsTheTotalTimeoutAndNeverBlocksStateReaders) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port;
    capture([&] { port.open(pty.slave_path()); });
    ASSERT_EQ(port.get_state().status, 1);

    CommandReply reply;
    double elapsed_ms = 0;
    std::thread client([&] {
        const Clock::time_point start = Clock::now();
        reply = port.transact_byte(kCode);
        elapsed_ms = ms_between(start, Clock::now());
    });
    // The request is out, so the read is under way and holds the port.
    EXPECT_EQ(pty.receive(1, 5s), Bytes{kCode});
    const Clock::time_point asked = Clock::now();
    const PortState state = port.get_state();
    const double state_ms = ms_between(asked, Clock::now());
    client.join();

    EXPECT_EQ(state.status, 1);
    EXPECT_LT(state_ms, 500.0);
    EXPECT_EQ(reply.count, 0u);
    EXPECT_TRUE(reply.bytes.empty());
    EXPECT_GE(elapsed_ms, 2000.0);
    EXPECT_LT(elapsed_ms, 4000.0);
    capture([&] { port.close(); });
}

}  // namespace
