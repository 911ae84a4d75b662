#pragma once
// One serial port: discovery of the machine's ports, and the session with
// the port the user connects to. The platform layer (serial_posix.cpp or
// serial_win32.cpp, picked by the build) supplies the system calls; this
// class keeps the steps and messages the same on every platform.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/command_reply.h"
#include "serial/serial_platform.h"

struct PortEntry {
    std::string port_name;      // the name to open, e.g. COM3 or ttyACM0
    std::string friendly_name;  // e.g. "USB Serial Device (COM3)"
};

struct PortState {
    int32_t status = 0;     // 1 while a port is open and configured
    std::string port_name;  // last port opened with success; kept by close()
};

// The port name inside a friendly name: the last parenthesised group at its
// end, trailing blanks ignored. Nothing for a name without one, or for a
// name that would not fit the 256-byte property buffer.
std::optional<PortEntry> parse_friendly_name(std::string_view friendly_name);

// How one read went, and the words the wire trace gives it: "ended at
// known length", "ended at interval", "overlong: 5 bytes for 4 expected,
// ended at interval" (and short), "timed out after 2066.2 ms, nothing
// came", "cut at 1023 bytes ...", "read failed".
struct ReadEnd {
    bool ok = true;
    bool gone = false;
    uint32_t count = 0;
    uint32_t expected = 0;  // the length the read was told; 0: none
    double elapsed_ms = 0;
    double total_ms = 0;  // the read's total time-out
};
std::string read_ending(const ReadEnd& read);

// The machine's serial ports in the system's order, as discover_ports
// finds them; nothing when the system will not list them. Prints nothing.
std::optional<std::vector<PortEntry>> list_ports(const serial_platform::DeviceRoots& roots = {});

class SerialPort {
  public:
    static constexpr uint32_t kReadSize = 1023;     // one read asks for this much
    static constexpr uint32_t kMaxFrameSize = 511;  // frames travel in a 512-byte buffer

    // Discovers the ports; prints "No serial port in Vector." when none.
    SerialPort();
    // The same, with devices named and listed under other roots (tests).
    explicit SerialPort(serial_platform::DeviceRoots roots);
    // Closes an open port, with its "Closed ... port" line.
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens and configures the named port (19200 8N1, read time-outs).
    // Success shows as state.status == 1. A failed open prints "Error:
    // Cannot open <path>", then on standard error the path and why in plain
    // words. A name holding control characters is refused, nothing opened.
    // An open port is closed first. Console thread only.
    // A name is resolved as the platform layer says (POSIX ignores case).
    void open(std::string name);
    // Closes the port and prints "Closed <port_name> port"; nothing when
    // no port is open. state.port_name is kept.
    void close();

    // Noticing a port whose device goes away (a board unplugged, a
    // simulator stopped), for one watching thread. Each successful open
    // starts a session with a number of its own.
    //
    // Blocks, without using the CPU, until the open port's device hangs up,
    // fails a transaction as a vanished device does, or its name disappears:
    // returns that session's number. With no port open it waits for one.
    // Returns nothing once wake_watch() has been called.
    std::optional<uint64_t> watch();
    // Makes the watching thread's watch() return (once) with nothing.
    void wake_watch();
    // Closes the port quietly if session is the one still open (its device
    // is gone, there is nothing to say goodbye to); false when it is not.
    bool drop(uint64_t session);
    // Opens the named port as open() does, but silently: true on success.
    bool reopen(const std::string& name);
    // Whether the name, resolved as open() resolves it, names a device now.
    bool present(const std::string& name) const;

    // One transaction: write, then exactly one read. Exclusive on the port:
    // the transaction lock is held from the write to the end of the read,
    // and open/close take the same lock. Bytes left in the receive queue by
    // an earlier reply are discarded (and counted on standard error) before
    // the write. An empty reply means nothing arrived or the read failed.
    // After a transaction whose reply may have been cut or may still be on
    // its way (none came, its length was not the one expected, or it did not
    // begin with the request's first byte), the next one first waits until
    // the line has been quiet for kResyncQuietMs (at most kResyncLimitMs),
    // discarding what comes: a late reply is never read as the next answer.
    // reply_length, when the caller knows how long the answer is (0: not
    // known), ends the read a guard's silence after that many bytes rather
    // than an interval's; a longer, shorter or missing reply is read and
    // returned just as without it. The interval_reads flag turns it off.
    CommandReply transact_byte(uint8_t code, uint32_t reply_length = 0);
    // As transact_byte, for a frame. A frame longer than kMaxFrameSize is refused
    // with a message on standard error: nothing is sent and the reply is empty.
    CommandReply transact_frame(std::vector<uint8_t> frame, uint32_t reply_length = 0);
    // The caller found the last reply not to answer its request (a check the
    // port cannot make, such as an echoed parameter): the next transaction
    // waits for the line to be quiet first, as after a cut reply.
    void resync();

    static constexpr uint32_t kResyncQuietMs = 100;
    static constexpr uint32_t kResyncLimitMs = 1000;

    // Replaces ports with the machine's serial ports; "Invalid Handle."
    // through error_trace when the system will not list them.
    void discover_ports();
    // One line "Port: <port_name> - <friendly_name>" per entry.
    void print_ports() const;

    // A copy of the state, safe to take from any thread.
    PortState get_state() const;
    // The number of the open, or last, session (0 before the first open);
    // it grows with every successful open. Any thread.
    uint64_t session_number() const;

    // Fields of the session. Guarded by transaction_mutex_.
    serial_platform::Handle handle = serial_platform::invalid_handle();
    serial_platform::LineSettings dcb{};
    serial_platform::Timeouts timeouts{};
    uint32_t bytes_read = 0;
    uint32_t bytes_written = 0;
    uint8_t readBuffer[1024] = {};
    // Console and start-up threads only.
    std::vector<PortEntry> ports;
    // Written under both locks, so a reader holding either sees it whole.
    PortState state;

  private:
    // Tests take a read on its own, to see what a cut reply leaves behind.
    friend struct SerialPortTestAccess;

    // One read of up to kReadSize bytes into readBuffer, ended early after
    // reply_length bytes as transact_byte says. The caller holds
    // transaction_mutex_.
    CommandReply read_reply(uint32_t reply_length);
    // The steps of close(), the "Closed" line only when say_goodbye is
    // set; the caller holds transaction_mutex_.
    void close_locked(bool say_goodbye = true);
    // Discards stale input, writes, reads; the caller holds transaction_mutex_.
    CommandReply transact_locked(const uint8_t* data, uint32_t size, uint32_t reply_length);
    // The steps of open(); prints its failures when report is set. The
    // caller holds transaction_mutex_.
    bool open_locked(const std::string& name, bool report);
    // A transaction found the device gone: the watcher is told.
    void note_gone();

    // Waits out and discards a reply that may still be arriving; the caller
    // holds transaction_mutex_. Returns how many bytes it discarded, and
    // appends them to kept where the platform reads them.
    uint32_t discard_late_bytes(std::vector<uint8_t>& kept);
    // Marks the line out of step; the caller holds transaction_mutex_.
    void resync_locked();

    serial_platform::DeviceRoots roots_;
    // The last transaction's reply may still be on its way (see resync).
    // Guarded by transaction_mutex_, as is out_of_step_since_.
    bool out_of_step_ = false;
    std::chrono::steady_clock::time_point out_of_step_since_{};
    // When the last request was written, for the trace. Guarded by
    // transaction_mutex_.
    std::chrono::steady_clock::time_point last_request_at_{};

    // Guards the session fields above: one transaction, open or close at a time.
    mutable std::mutex transaction_mutex_;
    // Guards state for readers on other threads (the prompt).
    mutable std::mutex state_mutex_;

    // Guards the watch fields below. Taken after transaction_mutex_ when
    // both are held (open and close); watch() never holds it while it waits
    // on the descriptor, and close waits for that wait to end (watching_
    // false) before the descriptor is closed, so the watcher never polls a
    // closed descriptor or one reused by another file.
    mutable std::mutex watch_mutex_;
    std::condition_variable watch_changed_;  // with watch_mutex_
    serial_platform::Handle watch_handle_ = serial_platform::invalid_handle();
    std::string watch_path_;  // the path opened, for the node watch
    uint64_t session_ = 0;    // number of the open, or last, session
    uint64_t reported_ = 0;   // the last session watch() reported gone
    bool watching_ = false;   // watch() is waiting on watch_handle_
    bool closing_ = false;    // a close waits for watching_ to drop
    bool wake_requested_ = false;
    bool gone_ = false;               // a transaction of session_ found the device gone
    serial_platform::Wakeup wakeup_;  // interrupts the wait on the descriptor
};

// The program's one serial port.
SerialPort& serial_port();
