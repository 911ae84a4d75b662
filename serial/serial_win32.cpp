// The serial port calls on Windows: a COM device under "\\.\", set through
// its DCB, read and written synchronously under the driver's own time-outs,
// and found through SetupAPI among the devices of the Ports class.

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

#include "serial/serial_platform.h"

namespace serial_platform {

namespace {

// The device setup class of serial and parallel ports,
// {4D36E978-E325-11CE-BFC1-08002BE10318} (GUID_DEVCLASS_PORTS).
constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

using Clock = std::chrono::steady_clock;

// The guard after a reply of known length in the driver's whole
// milliseconds, the nearest: rounding up would double it, and a byte that
// follows the reply back to back arrives 0.52 ms after its last.
constexpr DWORD kGuardMs = std::max<DWORD>(1, (kReplyGuardMicroseconds + 500) / 1000);
// MAXDWORD in a total time-out means something else to the driver.
constexpr uint64_t kMaxTimeoutMs = MAXDWORD - 1;

// Friendly names are read as narrow text into a buffer of this size; a
// longer name does not fit, the call fails and the device is left out.
constexpr DWORD kFriendlyNameBufferSize = 256;

static_assert(sizeof(SP_DEVINFO_DATA) == 32, "the device record of a 64-bit program");

// Releases a device set when the listing ends, however it ends.
class DeviceSet {
  public:
    explicit DeviceSet(HDEVINFO set) : set_(set) {}
    ~DeviceSet() {
        if (set_ != INVALID_HANDLE_VALUE) {
            ::SetupDiDestroyDeviceInfoList(set_);
        }
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
    HDEVINFO get() const { return set_; }

  private:
    HDEVINFO set_;
};

// The reason a port would not open, in the user's words, or the system's.
std::string open_failure(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "no such device";
        // A port that another program holds refuses every other opener.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return "in use by another program";
        default:
            break;
    }
    char text[256] = {};
    const DWORD size = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string message(text, size);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "system error " + std::to_string(error) : message;
}

// One ReadFile under the given time-outs; nothing when a call failed.
std::optional<DWORD> read_under(HANDLE handle, uint8_t* buffer, DWORD size, COMMTIMEOUTS timeouts) {
    DWORD count = 0;
    if (::SetCommTimeouts(handle, &timeouts) == 0 ||
        ::ReadFile(handle, buffer, size, &count, nullptr) == 0) {
        return std::nullopt;
    }
    return count;
}

// A reply of known length. The driver cannot end a read at a byte count
// and a silence shorter than a millisecond, so: the expected bytes under
// the installed time-outs (their total counted as for size), then one byte
// under the guard alone. Silence there ends the read. A byte there means a
// longer reply, read on in windows of the interval time-out until one
// brings nothing (the driver's interval timer would only start at the
// next byte), within what is left of the total.
std::optional<DWORD> read_known_length(HANDLE handle, uint8_t* buffer, DWORD size,
                                       const COMMTIMEOUTS& timeouts, DWORD expected) {
    const Clock::time_point start = Clock::now();
    const bool has_total =
        timeouts.ReadTotalTimeoutMultiplier != 0 || timeouts.ReadTotalTimeoutConstant != 0;
    const uint64_t total_ms =
        uint64_t{timeouts.ReadTotalTimeoutMultiplier} * size + timeouts.ReadTotalTimeoutConstant;

    COMMTIMEOUTS head_timeouts = timeouts;
    if (has_total) {
        head_timeouts.ReadTotalTimeoutMultiplier = 0;
        head_timeouts.ReadTotalTimeoutConstant =
            static_cast<DWORD>(std::min<uint64_t>(total_ms, kMaxTimeoutMs));
    }
    const std::optional<DWORD> head = read_under(handle, buffer, expected, head_timeouts);
    if (!head || *head < expected) {
        return head;  // short, silent or failed: as any read
    }
    COMMTIMEOUTS guard{};
    guard.ReadTotalTimeoutConstant = kGuardMs;
    const std::optional<DWORD> extra = read_under(handle, buffer + expected, 1, guard);
    if (!extra || *extra == 0) {
        return extra ? std::optional<DWORD>(expected) : std::nullopt;
    }
    DWORD count = expected + 1;
    // Each window returns at once with what has come, or after the
    // interval without a byte.
    COMMTIMEOUTS window{};
    window.ReadIntervalTimeout = MAXDWORD;
    window.ReadTotalTimeoutMultiplier = MAXDWORD;
    window.ReadTotalTimeoutConstant = std::max<DWORD>(timeouts.ReadIntervalTimeout, 1);
    while (count < size) {
        if (has_total) {
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            if (static_cast<uint64_t>(elapsed) >= total_ms) {
                break;
            }
            window.ReadTotalTimeoutConstant = static_cast<DWORD>(
                std::min<uint64_t>(window.ReadTotalTimeoutConstant, total_ms - elapsed));
        }
        const std::optional<DWORD> more = read_under(handle, buffer + count, size - count, window);
        if (!more) {
            return std::nullopt;
        }
        if (*more == 0) {
            break;
        }
        count += *more;
    }
    return count;
}

// How often the link watch looks the open port's name up.
constexpr DWORD kPresenceCheckMs = 250;

// Errors that a call on the handle of a vanished device ends with. A USB
// serial adapter pulled out fails with ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED
// (its device object is being deleted), ERROR_DEVICE_REMOVED,
// ERROR_GEN_FAILURE or ERROR_OPERATION_ABORTED, depending on its driver; Wine
// answers ERROR_NOT_READY on a pseudo-terminal that hung up. Several of them
// also mean something else on a healthy port (a line error aborting a read,
// say), so a transfer that fails with one counts as gone only when the
// driver, asked again, fails with one too.
bool is_gone_error(DWORD error) {
    switch (error) {
        case ERROR_BAD_COMMAND:
        case ERROR_ACCESS_DENIED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
        case ERROR_OPERATION_ABORTED:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_NOT_READY:
            return true;
        default:
            return false;
    }
}

// Errors of an open that say the name leads to no device at all.
bool is_absent_error(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_REMOVED:
        case ERROR_NOT_READY:
            return true;
        default:
            return false;
    }
}

// Asks the driver for the port's status (which also clears a line error):
// ERROR_SUCCESS when it answers, or why it does not.
DWORD ask_driver(HANDLE handle) {
    DWORD errors = 0;
    COMSTAT status{};
    return ::ClearCommError(handle, &errors, &status) != 0 ? ERROR_SUCCESS : ::GetLastError();
}

// A read or write that failed with error.
Transfer failed_transfer(HANDLE handle, DWORD error) {
    return Transfer{false, 0, is_gone_error(error) && is_gone_error(ask_driver(handle))};
}

}  // namespace

ResolvedPort resolve_port(const std::string& name, const DeviceRoots&) {
    // Device names ignore case; the system spells its ports in capitals
    // (COM3), and so do the path and the prompt. Whether the port exists
    // shows when it is opened.
    std::string port_name = name;
    for (char& c : port_name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return ResolvedPort{"\\\\.\\" + port_name, port_name, true};
}

Handle open_port(const std::string& path, std::string& why) {
    // Share mode 0: no other opener until close_port.
    const Handle handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!is_valid(handle)) {
        why = open_failure(::GetLastError());
    }
    return handle;
}

bool get_line_settings(Handle handle, LineSettings& settings) {
    settings.DCBlength = sizeof(DCB);
    return ::GetCommState(handle, &settings) != 0;
}

void make_line_settings(LineSettings& settings, const LineDescription& line) {
    settings.BaudRate = line.baud;
    settings.ByteSize = line.data_bits;
    settings.Parity = line.parity == Parity::kNone  ? NOPARITY
                      : line.parity == Parity::kOdd ? ODDPARITY
                                                    : EVENPARITY;
    settings.StopBits = line.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = line.parity == Parity::kNone ? FALSE : TRUE;
    // Flow control as described, whatever the port had: no XON/XOFF, CTS
    // and DSR ignored unless the line has hardware flow control.
    settings.fOutxCtsFlow = line.flow_control ? TRUE : FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDsrSensitivity = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fRtsControl = line.flow_control ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
}

bool set_line_settings(Handle handle, const LineSettings& settings) {
    LineSettings copy = settings;
    return ::SetCommState(handle, &copy) != 0;
}

bool set_timeouts(Handle handle, const Timeouts& timeouts) {
    Timeouts copy = timeouts;
    return ::SetCommTimeouts(handle, &copy) != 0;
}

uint32_t discard_input(Handle handle, std::vector<uint8_t>* /*kept*/) {
    // ClearCommError also clears a line error (a framing or overrun error),
    // which would otherwise stop every later read and write.
    DWORD errors = 0;
    COMSTAT status{};
    if (::ClearCommError(handle, &errors, &status) == 0 || status.cbInQue == 0) {
        return 0;
    }
    ::PurgeComm(handle, PURGE_RXCLEAR);
    return status.cbInQue;
}

Transfer write_port(Handle handle, const uint8_t* data, uint32_t size, uint32_t /*stall_ms*/) {
    if (size == 0) {
        return Transfer{true, 0};
    }
    // With both write time-outs 0 the call returns when everything is sent.
    DWORD written = 0;
    if (::WriteFile(handle, data, size, &written, nullptr) == 0) {
        return failed_transfer(handle, ::GetLastError());
    }
    if (written != size) {
        return Transfer{false, 0};
    }
    return Transfer{true, written};
}

void abort_reads() {}

bool reads_aborted() {
    return false;
}

Transfer read_port(Handle handle, uint8_t* buffer, uint32_t size, const Timeouts& timeouts,
                   uint32_t expected) {
    // A device that is gone (a USB adapter pulled) fails every call on its
    // handle. ReadFile does so at once on Windows, but a terminal that hung
    // up reads as silent under Wine until the total time-out: ask the
    // driver first, and again when the read brought nothing.
    if (const DWORD error = ask_driver(handle); error != ERROR_SUCCESS) {
        return Transfer{false, 0, is_gone_error(error)};
    }
    std::optional<DWORD> count;
    DWORD error = ERROR_SUCCESS;
    if (expected == 0 || expected >= size) {
        // The driver applies the time-outs set_timeouts installed.
        DWORD plain = 0;
        if (::ReadFile(handle, buffer, size, &plain, nullptr) != 0) {
            count = plain;
        } else {
            error = ::GetLastError();
        }
    } else {
        count = read_known_length(handle, buffer, size, timeouts, expected);
        if (!count) {
            error = ::GetLastError();
        }
        // The next plain read finds the installed time-outs again.
        Timeouts installed = timeouts;
        if (::SetCommTimeouts(handle, &installed) == 0 && count) {
            count.reset();
            error = ::GetLastError();
        }
    }
    if (!count) {
        return failed_transfer(handle, error);
    }
    if (*count == 0) {
        if (const DWORD silent = ask_driver(handle); silent != ERROR_SUCCESS) {
            return Transfer{false, 0, is_gone_error(silent)};
        }
    }
    return Transfer{true, *count};
}

void close_port(Handle handle) {
    if (is_valid(handle) && handle != nullptr) {
        ::CloseHandle(handle);
    }
}

Wakeup make_wakeup() {
    return Wakeup{::CreateEventA(nullptr, FALSE, FALSE, nullptr)};
}

void signal_wakeup(const Wakeup& wakeup) {
    if (wakeup.event != nullptr) {
        ::SetEvent(wakeup.event);
    }
}

void close_wakeup(Wakeup& wakeup) {
    if (wakeup.event != nullptr) {
        ::CloseHandle(wakeup.event);
        wakeup.event = nullptr;
    }
}

bool device_present(const std::string& path) {
    // "\\.\COM3" names the device COM3 in the system's device namespace,
    // where Windows lists its ports while they are plugged in.
    const std::string name = path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
    char target[512];
    if (::QueryDosDeviceA(name.c_str(), target, sizeof target) != 0 ||
        ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        return true;
    }
    // Wine leaves the ports it maps through its dosdevices links (com5 ->
    // /dev/pts/4) out of the namespace and resolves them only when opened:
    // an open that asks for no access says whether the name leads to a
    // device, without reading, writing or changing a line. Only names the
    // namespace does not list get here, so on Windows this never opens a
    // board's port (an open can reset a board). An error that is not
    // "nothing there" (a port held by another program) counts as present.
    const HANDLE probe = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!is_valid(probe)) {
        return !is_absent_error(::GetLastError());
    }
    ::CloseHandle(probe);
    return true;
}

// No event tells of a removed port on a handle opened for plain reads, and
// asking the driver from another thread while a transaction reads is not
// reliable under every Windows (Wine reports a healthy port as failing).
// The handle is left alone: the watch looks the port's name up a few times
// a second, and a removed device leaves the namespace (under Wine: its
// dosdevices link is removed or leads nowhere). A device that fails but
// keeps its name shows as failing transactions, which mark it gone.
bool wait_until_gone(Handle, const std::string& path, const Wakeup& wakeup) {
    for (;;) {
        if (!device_present(path)) {
            return true;
        }
        if (wakeup.event == nullptr) {
            // Nothing to wake this wait: the caller asks again after each check.
            ::Sleep(kPresenceCheckMs);
            return false;
        }
        if (::WaitForSingleObject(wakeup.event, kPresenceCheckMs) != WAIT_TIMEOUT) {
            return false;
        }
    }
}

std::optional<std::vector<std::string>> list_friendly_names(const DeviceRoots&) {
    const DeviceSet set(::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT));
    if (set.get() == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set.get(), index, &device) != 0; ++index) {
        char text[kFriendlyNameBufferSize] = {};
        if (::SetupDiGetDeviceRegistryPropertyA(set.get(), &device, SPDRP_FRIENDLYNAME, nullptr,
                                                reinterpret_cast<BYTE*>(text), sizeof text,
                                                nullptr) == 0) {
            continue;
        }
        names.emplace_back(text, ::strnlen(text, sizeof text));
    }
    return names;
}

}  // namespace serial_platform
