#pragma once
// One serial port: discovery of the machine's ports, and the session with
// the port the user connects to. A transport (transport.h: the platform
// layer, or a board in memory in tests) supplies the device; this class
// keeps the steps the same on every platform and says what happened in
// its results, for the console to put into words.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/command_reply.h"
#include "serial/serial_platform.h"
#include "serial/transport.h"

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

// What became of one transaction. The caller turns it into words.
struct Transaction {
    CommandReply reply;      // empty when nothing was sent, nothing came or the read failed
    ReadEnd read;            // how the read ended; read.ok false: the read failed
    std::string port_name;   // the port it was made on, for messages
    uint32_t discarded = 0;  // stale bytes thrown away before the request
    bool write_failed = false;
    // A frame longer than SerialPort::kMaxFrameSize: refused, nothing sent.
    std::optional<size_t> refused_size;
    // The line could not be shown to be in step (the resync probe went
    // unanswered): the request was not sent, and nothing was read.
    bool out_of_step = false;
    // Whether the reply may be the answer to this request: it has the
    // request's first byte and, where it was known, the expected length.
    bool in_step = false;
};

// Why an open failed, with what the messages name.
struct OpenResult {
    enum class Failure {
        kNone,
        kRefusedName,  // control characters in the name; nothing tried
        kCannotOpen,   // why says why
        kGetState,     // the device has no line settings
        kSetLine,
        kSetTimeouts,
    };
    Failure failure = Failure::kNone;
    std::string path;  // the path tried
    std::string why;
    // The name with each control character shown as \xNN (kRefusedName).
    std::string escaped_name;
    // The port that was open before and was closed first, by its name.
    std::optional<std::string> closed_first;
    bool ok() const { return failure == Failure::kNone; }
};

// The machine's serial ports in the system's order, as discover_ports
// finds them; nothing when the system will not list them.
std::optional<std::vector<PortEntry>> list_ports(const serial_platform::DeviceRoots& roots = {});

// None of it prints: every step returns what happened.
class SerialPort {
  public:
    static constexpr uint32_t kReadSize = 1023;     // one read asks for this much
    static constexpr uint32_t kMaxFrameSize = 511;  // frames travel in a 512-byte buffer

    // Discovers the ports (see discovered()).
    SerialPort();
    // The same, with devices named and listed under other roots (tests).
    explicit SerialPort(serial_platform::DeviceRoots roots);
    // On another transport, waiting through clock (which must outlive it).
    SerialPort(std::unique_ptr<serial::Transport> transport, serial::Clock& clock);
    // Closes an open port, quietly.
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Puts the port on another transport and clock (a board in memory, for
    // tests of the layers above). Closes an open port first, quietly.
    void use_transport(std::unique_ptr<serial::Transport> transport, serial::Clock& clock);

    // Opens and configures the named port (the line of serial_platform::kLine,
    // read time-outs). Success shows as state.status == 1 and in the result.
    // A name holding control characters is refused, nothing opened. An open
    // port is closed first (closed_first). Console thread only.
    // A name is resolved as the platform layer says (POSIX ignores case).
    OpenResult open(std::string name);
    // Closes the port: the name of the port closed, nothing when none was
    // open. state.port_name is kept.
    std::optional<std::string> close();

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
    // Closes the port if session is the one still open (its device is gone,
    // there is nothing to say goodbye to); false when it is not.
    bool drop(uint64_t session);
    // Opens the named port as open() does: true on success.
    bool reopen(const std::string& name);
    // Whether the name, resolved as open() resolves it, names a device now.
    bool present(const std::string& name) const;

    // One transaction: write, then exactly one read. Exclusive on the port:
    // the transaction lock is held from the write to the end of the read,
    // and open/close take the same lock. Bytes left in the receive queue by
    // an earlier reply are discarded (and counted) before the write.
    //
    // After a transaction whose reply may have been cut or may still be on
    // its way (none came, its length was not the one expected, or it did not
    // begin with the request's first byte), or after resync(), the line is
    // out of step. The next transaction then first proves it in step: it
    // sends the resync probe (set_resync_probe) and discards everything up to
    // and including the probe's answer, for at most one read's total
    // time-out; only then is the request sent. When the probe's answer does
    // not come, the request is not sent (Transaction::out_of_step). Without
    // a probe, it waits until the line has been quiet for kResyncQuietMs (at
    // most kResyncLimitMs) instead.
    //
    // reply_length, when the caller knows how long the answer is (0: not
    // known), ends the read a guard's silence after that many bytes rather
    // than an interval's; a longer, shorter or missing reply is read and
    // returned just as without it. The interval_reads flag turns it off.
    Transaction transact_byte(uint8_t code, uint32_t reply_length = 0);
    // As transact_byte. A frame longer than kMaxFrameSize is refused:
    // nothing is sent and the reply is empty (Transaction::refused_size).
    Transaction transact_frame(std::vector<uint8_t> frame, uint32_t reply_length = 0);
    // The caller found the last reply not to answer its request (a check the
    // port cannot make, such as an echoed parameter): the line is out of step.
    void resync();

    // The request that proves the line in step: a frame whose answer, of
    // reply_length bytes beginning with the frame's first byte, no other
    // request's answer can be taken for. Set once, before transactions.
    void set_resync_probe(std::vector<uint8_t> frame, uint32_t reply_length);

    // How many bytes past its length the probe's answer may run and still
    // be taken as the answer (a board that makes every reply too long).
    static constexpr size_t kProbeAnswerSlack = 2;
    static constexpr uint32_t kResyncQuietMs = 100;
    static constexpr uint32_t kResyncLimitMs = 1000;

    // Replaces ports with the machine's serial ports; false (and no ports)
    // when the system will not list them.
    bool discover_ports();
    // Whether the discovery made when the port was built could list the ports.
    bool discovered() const { return discovered_; }

    // A copy of the state, safe to take from any thread.
    PortState get_state() const;
    // The number of the open, or last, session (0 before the first open);
    // it grows with every successful open. Any thread.
    uint64_t session_number() const;

    // Fields of the session. Guarded by transaction_mutex_.
    // The open device's system handle (invalid on a transport in memory).
    serial_platform::Handle handle = serial_platform::invalid_handle();
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
    CommandReply read_reply(uint32_t reply_length, ReadEnd& end);
    // The steps of close(); the caller holds transaction_mutex_. gone: the
    // device went away (said so in the trace).
    std::optional<std::string> close_locked(bool gone = false);
    // Discards stale input, writes, reads; the caller holds transaction_mutex_.
    Transaction transact_locked(const uint8_t* data, uint32_t size, uint32_t reply_length);
    // The steps of open(); quiet in the trace when back is set (a reopen).
    // The caller holds transaction_mutex_.
    OpenResult open_locked(const std::string& name, bool back);
    // A transaction found the device gone: the watcher is told.
    void note_gone();

    // Waits out and discards a reply that may still be arriving; the caller
    // holds transaction_mutex_. Returns how many bytes it discarded, and
    // appends them to kept where the platform reads them.
    uint32_t discard_late_bytes(std::vector<uint8_t>& kept);
    // Sends the probe and discards up to its answer; true when the line is
    // in step. The caller holds transaction_mutex_.
    bool prove_in_step(Transaction& transaction);
    // Marks the line out of step; the caller holds transaction_mutex_.
    void resync_locked();
    double milliseconds_since(serial::TimePoint start);

    std::unique_ptr<serial::Transport> transport_;
    serial::Clock* clock_;
    bool discovered_ = false;
    // The resync probe and its answer's length; empty: none. Set before
    // transactions begin, then read under transaction_mutex_.
    std::vector<uint8_t> probe_;
    uint32_t probe_reply_length_ = 0;
    // The last reply to the probe's request seen in step, to know it again.
    std::vector<uint8_t> probe_answer_;
    // Requests of the probe's kind written since the line was last in step:
    // their answers may still come, and each could be taken for the probe's.
    uint32_t probes_pending_ = 0;
    // The last transaction's reply may still be on its way (see resync).
    // Guarded by transaction_mutex_, as is out_of_step_since_.
    bool out_of_step_ = false;
    serial::TimePoint out_of_step_since_{};
    // When the last request was written, for the trace. Guarded by
    // transaction_mutex_.
    serial::TimePoint last_request_at_{};

    // Guards the session fields above: one transaction, open or close at a time.
    mutable std::mutex transaction_mutex_;
    // Guards state for readers on other threads (the prompt).
    mutable std::mutex state_mutex_;

    // Guards the watch fields below. Taken after transaction_mutex_ when
    // both are held (open and close); watch() never holds it while it waits
    // on the device, and close waits for that wait to end (watching_
    // false) before the device is closed, so the watcher never waits on a
    // closed descriptor or one reused by another file.
    mutable std::mutex watch_mutex_;
    std::condition_variable watch_changed_;  // with watch_mutex_
    bool watch_open_ = false;                // a device is open to be watched
    std::string watch_path_;                 // the path opened, for the node watch
    uint64_t session_ = 0;                   // number of the open, or last, session
    uint64_t reported_ = 0;                  // the last session watch() reported gone
    bool watching_ = false;                  // watch() is waiting on the device
    bool closing_ = false;                   // a close waits for watching_ to drop
    bool wake_requested_ = false;
    bool gone_ = false;  // a transaction of session_ found the device gone
};

// The program's one serial port.
SerialPort& serial_port();
