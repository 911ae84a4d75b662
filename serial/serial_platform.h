#pragma once
// The calls one platform offers for a serial port, behind one set of names.
// POSIX: serial_posix.cpp. Windows: serial_win32.cpp. The build picks one;
// SerialPort (class_serial.cpp) keeps the steps and messages and calls these.
// None of them prints, throws or keeps state of its own.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>
#endif

namespace serial_platform {

// The line every port is set to, described once; both platforms build their
// settings from it, and the reply guard below is derived from it.
enum class Parity : uint8_t { kNone, kOdd, kEven };
struct LineDescription {
    uint32_t baud = 0;
    uint8_t data_bits = 0;
    Parity parity = Parity::kNone;
    uint8_t stop_bits = 0;
    bool flow_control = false;  // hardware (RTS/CTS); software flow control is never on
};
inline constexpr LineDescription kLine{19200, 8, Parity::kNone, 1, false};

// A start bit, the data bits, a parity bit if any, the stop bits.
constexpr uint32_t bits_per_character(const LineDescription& line) {
    return 1u + line.data_bits + (line.parity == Parity::kNone ? 0u : 1u) + line.stop_bits;
}
// "19200 8N1".
inline std::string describe(const LineDescription& line) {
    const char parity = line.parity == Parity::kNone  ? 'N'
                        : line.parity == Parity::kOdd ? 'O'
                                                      : 'E';
    return std::to_string(line.baud) + " " + std::to_string(line.data_bits) + parity +
           std::to_string(line.stop_bits);
}

#ifdef _WIN32
using Handle = HANDLE;
using LineSettings = DCB;
using Timeouts = COMMTIMEOUTS;
inline Handle invalid_handle() {
    return INVALID_HANDLE_VALUE;
}
// Windows finds its ports through SetupAPI and its devices under "\\.\".
struct DeviceRoots {};
#else
using Handle = int;  // file descriptor; -1 when closed or invalid
using LineSettings = termios;
// The read time-outs in the form the Windows port driver takes them, in ms.
// The POSIX read applies them itself (no driver keeps them).
struct Timeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};
inline Handle invalid_handle() {
    return -1;
}
// Where devices are named (dev_dir) and listed (tty_class_dir). Tests point
// them at fake trees.
struct DeviceRoots {
    std::string dev_dir = "/dev";
    std::string tty_class_dir = "/sys/class/tty";
};
#endif

inline bool is_valid(Handle handle) {
    return handle != invalid_handle();
}

// A port name resolved to the path to open. found is false when nothing in
// the system matched; path then is the plain form of the name, for messages.
struct ResolvedPort {
    std::string path;       // e.g. /dev/ttyACM0 or \\.\COM3
    std::string port_name;  // the name as the system spells it, e.g. ttyACM0
    bool found = false;
};
// POSIX: a name is matched against the entries of dev_dir, exactly first,
// then ignoring case; a relative name with "/" (pts/3) is looked for under
// dev_dir component by component the same way, and port_name is it as
// matched; an absolute path is matched the same way from "/", and
// port_name is the whole path. When nothing matched, path keeps what did
// match as the system spells it and the rest as typed.
ResolvedPort resolve_port(const std::string& name, const DeviceRoots& roots);

// Opens an existing device for reading and writing, exclusively: a second
// opener is refused until close_port. Invalid handle on failure, and why
// then holds the reason in plain words ("no such device", "in use by
// another program", "not a serial port", "permission denied: ...").
Handle open_port(const std::string& path, std::string& why);
// Reads the current line settings (false when the device has none).
bool get_line_settings(Handle handle, LineSettings& settings);
// Changes settings to the line described (raw, receiver on, no software
// flow control, hardware flow control only when the line asks for it; on
// Windows binary mode and the DTR and RTS lines held on). Pure; nothing
// reaches the device. Other settings (Windows: error and special
// characters) stay as the port had them.
void make_line_settings(LineSettings& settings, const LineDescription& line = kLine);
bool set_line_settings(Handle handle, const LineSettings& settings);
// Installs the read time-outs, which every later read_port obeys.
bool set_timeouts(Handle handle, const Timeouts& timeouts);

// Outcome of one read or write; count is 0 whenever ok is false. gone:
// the failure says the device has gone away. POSIX: a hang-up, EIO, ENXIO
// or ENODEV. Windows: an error a removed device gives (ERROR_BAD_COMMAND,
// ERROR_ACCESS_DENIED, ERROR_DEVICE_REMOVED, ERROR_GEN_FAILURE,
// ERROR_OPERATION_ABORTED, ERROR_NOT_READY, which Wine gives for a terminal
// that hung up, and the like), with the driver failing the same way when
// asked once more; a healthy port that aborts a transfer answers then.
struct Transfer {
    bool ok = false;
    uint32_t count = 0;
    bool gone = false;
};
// Empties the receive queue; returns how many bytes it held. POSIX reads
// them and, given kept, appends them there; Windows purges them unread, so
// kept stays as it was.
uint32_t discard_input(Handle handle, std::vector<uint8_t>* kept = nullptr);
// A write that makes no progress for this long is given up: the device has
// stopped taking bytes (no flow control is on, so a live port never does).
inline constexpr uint32_t kWriteStallMs = 5000;
// Writes all bytes, however long that takes; a vanished device fails, and
// (POSIX) one that takes no byte for stall_ms. Windows writes with no
// write time-out and ignores stall_ms.
Transfer write_port(Handle handle, const uint8_t* data, uint32_t size,
                    uint32_t stall_ms = kWriteStallMs);
// Two character times of the line, rounded up to the microsecond: the
// silence after the last byte of a reply of known length that ends the read.
inline constexpr uint32_t kReplyGuardMicroseconds =
    (2 * bits_per_character(kLine) * 1'000'000 + kLine.baud - 1) / kLine.baud;
static_assert(kReplyGuardMicroseconds == 1042);
// One read of at most size bytes. It returns when size bytes have arrived,
// when more than ReadIntervalTimeout ms pass after a byte without another,
// or ReadTotalTimeoutMultiplier * size + ReadTotalTimeoutConstant ms after
// it began; ok with count 0 means nothing arrived. A device that vanished
// fails at once.
// With expected (1 to size) it also returns once exactly expected bytes
// have arrived and kReplyGuardMicroseconds pass without another (on Windows
// the driver's nearest whole millisecond, 1 ms: a byte that follows the
// reply back to back comes 0.52 ms after its last). A byte within the
// guard makes it an ordinary read again: it goes on under the interval and
// total time-outs, the total still counted from the start and for size
// bytes, so an overlong reply is read whole. A reply that stops short of
// expected, and a silent device, end exactly as without it. Windows does
// this with a read of expected bytes under the time-outs (total as for
// size), then a guard read of one byte, then, if that byte came, a read of
// the rest under the time-outs.
// Makes the read in progress on any thread, and every read after it, end
// at once with what it holds, as a time-out would: the program is ending
// and nobody waits for a board's answer any more. Safe from any thread and
// for good. Windows: does nothing; a read there runs to its time-out.
void abort_reads();
// Whether abort_reads() has been called.
bool reads_aborted();
Transfer read_port(Handle handle, uint8_t* buffer, uint32_t size, const Timeouts& timeouts,
                   uint32_t expected = 0);
void close_port(Handle handle);

// Interrupts wait_until_gone from another thread. One per port object.
#ifdef _WIN32
struct Wakeup {
    HANDLE event = nullptr;
};
#else
struct Wakeup {
    int read_fd = -1;
    int write_fd = -1;
};
#endif
Wakeup make_wakeup();
void signal_wakeup(const Wakeup& wakeup);
void close_wakeup(Wakeup& wakeup);
// Blocks without a time-out and without using the CPU until the device
// behind handle hangs up or fails, or path (as opened) no longer names a
// device: true. Or until wakeup is signalled: false, the signal consumed.
// Nothing is read from or written to the device.
// Windows: the handle is not asked (a call on it from this thread while a
// transaction reads is not reliable everywhere); the name is looked up with
// device_present four times a second instead, so a removed device is seen
// within about 250 ms, and one that fails but keeps its name only through
// a failing transaction.
bool wait_until_gone(Handle handle, const std::string& path, const Wakeup& wakeup);
// Whether path names a device now, links followed. Windows: the COM name
// is in the device namespace (QueryDosDevice), or, for a name missing
// there, opening it with no access finds something; Wine lists no port
// that it maps through a dosdevices link in the namespace, so there a
// removed link or one that leads nowhere reads as absent, and a port held
// by another program as present.
bool device_present(const std::string& path);

// Friendly names of the machine's serial ports in the system's form, a
// description with the port name in parentheses at its end, e.g.
// "UNO R4 Minima (ttyACM0)". Nothing when the device list cannot be had.
// POSIX: the devices of tty_class_dir, then the links of
// dev_dir/serial/by-id that lead to a device, named by their whole path and
// described with the device they lead to ("UNO R4 Minima on ttyACM0").
std::optional<std::vector<std::string>> list_friendly_names(const DeviceRoots& roots);

}  // namespace serial_platform
