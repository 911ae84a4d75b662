#include "serial/class_serial.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "base/console_output.h"
#include "base/state.h"
#include "serial/wire_trace.h"

namespace {

// Read time-outs of every open port, in milliseconds.
constexpr uint32_t kIntervalTimeoutMs = 5;
constexpr uint32_t kTotalTimeoutMultiplierMs = 2;
constexpr uint32_t kTotalTimeoutConstantMs = 20;

// The system hands friendly names over in a buffer of this size, zero
// byte included; longer names do not fit and their devices are left out.
constexpr size_t kFriendlyNameBufferSize = 256;
constexpr size_t kFrameBufferSize = SerialPort::kMaxFrameSize + 1;

double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

std::string byte_count(uint32_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool is_control(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// The name with each control character shown as \xNN.
std::string escaped(const std::string& name) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string text;
    for (char c : name) {
        if (is_control(c)) {
            const auto byte = static_cast<unsigned char>(c);
            text += "\\x";
            text += kDigits[byte >> 4];
            text += kDigits[byte & 0x0F];
        } else {
            text += c;
        }
    }
    return text;
}

}  // namespace

std::string read_ending(const ReadEnd& read) {
    char waited[64];
    std::snprintf(waited, sizeof waited, "timed out after %.1f ms", read.elapsed_ms);
    const std::string of_expected =
        byte_count(read.count) + " for " + std::to_string(read.expected) + " expected";
    if (!read.ok) {
        return read.gone ? "read failed: the device has gone" : "read failed";
    }
    if (read.count == 0) {
        return std::string(waited) + ", nothing came";
    }
    if (read.count >= SerialPort::kReadSize) {
        return "cut at " + byte_count(read.count) + ", the most one read takes";
    }
    if (read.expected != 0 && read.count == read.expected) {
        return "ended at known length";
    }
    if (read.elapsed_ms >= read.total_ms) {
        return waited;
    }
    if (read.expected != 0 && read.count > read.expected) {
        return "overlong: " + of_expected + ", ended at interval";
    }
    if (read.expected != 0) {
        return "short: " + of_expected + ", ended at interval";
    }
    return "ended at interval";
}

std::optional<PortEntry> parse_friendly_name(std::string_view friendly_name) {
    const std::string_view text = friendly_name.substr(0, friendly_name.find('\0'));
    if (text.size() >= kFriendlyNameBufferSize) {
        return std::nullopt;
    }
    std::string_view trimmed = text;
    while (!trimmed.empty() && is_blank(trimmed.back())) {
        trimmed.remove_suffix(1);
    }
    // "Intel(R) Active Management Technology - SOL (COM3)" holds more than
    // one group; the port is the one the name ends with.
    if (trimmed.empty() || trimmed.back() != ')') {
        return std::nullopt;
    }
    trimmed.remove_suffix(1);
    const size_t open = trimmed.rfind('(');
    if (open == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view port_name = trimmed.substr(open + 1);
    if (port_name.empty() || port_name.find(')') != std::string_view::npos) {
        return std::nullopt;
    }
    return PortEntry{std::string(port_name), std::string(text)};
}

SerialPort::SerialPort() : SerialPort(serial_platform::DeviceRoots{}) {}

SerialPort::SerialPort(serial_platform::DeviceRoots roots)
    : roots_(std::move(roots)), wakeup_(serial_platform::make_wakeup()) {
    discover_ports();
    if (ports.empty()) {
        out_line("No serial port in Vector.");
    }
}

SerialPort::~SerialPort() {
    if (get_state().status == 1) {
        close();
    }
    serial_platform::close_wakeup(wakeup_);
}

void SerialPort::open(std::string name) {
    // A NUL would cut the name short at the system call, and a line break
    // or an escape would garble every prompt that shows it.
    if (std::any_of(name.begin(), name.end(), is_control)) {
        out_line("Error: Port name refused, it holds control characters: " + escaped(name));
        return;
    }
    std::lock_guard lock(transaction_mutex_);
    open_locked(name, true);
}

bool SerialPort::reopen(const std::string& name) {
    if (std::any_of(name.begin(), name.end(), is_control)) {
        return false;
    }
    std::lock_guard lock(transaction_mutex_);
    return open_locked(name, false);
}

bool SerialPort::open_locked(const std::string& name, bool report) {
    if (state.status == 1) {
        close_locked();
    }
    bytes_read = 0;
    std::memset(readBuffer, 0, sizeof readBuffer);

    const serial_platform::ResolvedPort port = serial_platform::resolve_port(name, roots_);
    const std::string& path = port.path;
    std::string why;
    handle = serial_platform::open_port(path, why);
    if (!serial_platform::is_valid(handle)) {
        if (report) {
            out_line("Error: Cannot open " + path);
            err(path + ": " + why + "\n");
            wire_trace::record(wire_trace::Direction::kEvent, {},
                               "cannot open " + path + ": " + why);
        }
        return false;
    }
    const auto give_up = [this] {
        serial_platform::close_port(handle);
        handle = serial_platform::invalid_handle();
        return false;
    };
    if (!serial_platform::get_line_settings(handle, dcb)) {
        if (report) {
            err("Error: Failed to get COM state\n");
            out_line("Error: Failed to get COM " + path + " state ");
        }
        return give_up();
    }
    serial_platform::make_line_settings(dcb);
    if (!serial_platform::set_line_settings(handle, dcb)) {
        if (report) {
            out_line("Error: Failed to set " + path + " parameters");
        }
        return give_up();
    }
    timeouts = serial_platform::Timeouts{};
    timeouts.ReadIntervalTimeout = kIntervalTimeoutMs;
    timeouts.ReadTotalTimeoutMultiplier = kTotalTimeoutMultiplierMs;
    timeouts.ReadTotalTimeoutConstant = kTotalTimeoutConstantMs;
    if (!serial_platform::set_timeouts(handle, timeouts)) {
        if (report) {
            out_line("Error: Failed to set " + path + " timeouts");
        }
        return give_up();
    }
    out_of_step_ = false;
    last_request_at_ = std::chrono::steady_clock::now();
    wire_trace::record(wire_trace::Direction::kEvent, {},
                       (report ? "opened " : "back: opened ") + path + " at 19200 8N1");
    {
        std::lock_guard state_lock(state_mutex_);
        state.status = 1;
        state.port_name = port.port_name;
    }
    {
        std::lock_guard watch_lock(watch_mutex_);
        watch_handle_ = handle;
        watch_path_ = path;
        ++session_;
        gone_ = false;
    }
    watch_changed_.notify_all();
    return true;
}

void SerialPort::close() {
    std::lock_guard lock(transaction_mutex_);
    close_locked();
}

void SerialPort::close_locked(bool say_goodbye) {
    if (state.status != 1) {
        return;
    }
    {
        std::unique_lock watch_lock(watch_mutex_);
        closing_ = true;
        serial_platform::signal_wakeup(wakeup_);
        watch_changed_.wait(watch_lock, [this] { return !watching_; });
        closing_ = false;
        watch_handle_ = serial_platform::invalid_handle();
        gone_ = false;
    }
    watch_changed_.notify_all();
    serial_platform::close_port(handle);
    // The descriptor number may be handed out again; never close it twice.
    handle = serial_platform::invalid_handle();
    if (say_goodbye) {
        out_line("Closed " + state.port_name + " port");
    }
    wire_trace::record(
        wire_trace::Direction::kEvent, {},
        say_goodbye ? "closed " + state.port_name : state.port_name + " has gone away, closed");
    std::lock_guard state_lock(state_mutex_);
    state.status = 0;
}

CommandReply SerialPort::read_reply(uint32_t reply_length) {
    const uint32_t expected = interval_reads.load() || reply_length > kReadSize ? 0 : reply_length;
    const auto started = std::chrono::steady_clock::now();
    const serial_platform::Transfer read =
        serial_platform::read_port(handle, readBuffer, kReadSize, timeouts, expected);
    const double elapsed_ms = milliseconds_since(started);
    if (read.gone) {
        note_gone();
    }
    bytes_read = read.count;
    if (read.ok && bytes_read > 0) {
        readBuffer[bytes_read] = 0;
    }
    if (!read.ok) {
        err("\nError: Failed to read from COM port\n");
    }
    CommandReply reply;
    reply.bytes.assign(readBuffer, readBuffer + bytes_read);
    reply.count = bytes_read;
    const ReadEnd end{read.ok,
                      read.gone,
                      read.count,
                      expected,
                      elapsed_ms,
                      static_cast<double>(timeouts.ReadTotalTimeoutMultiplier) * kReadSize +
                          static_cast<double>(timeouts.ReadTotalTimeoutConstant)};
    wire_trace::record(wire_trace::Direction::kReply, reply.bytes, read_ending(end),
                       milliseconds_since(last_request_at_));
    return reply;
}

uint32_t SerialPort::discard_late_bytes(std::vector<uint8_t>& kept) {
    using Clock = std::chrono::steady_clock;
    const auto quiet = std::chrono::milliseconds(kResyncQuietMs);
    const Clock::time_point give_up =
        out_of_step_since_ + std::chrono::milliseconds(kResyncLimitMs);
    out_of_step_ = false;
    // The quiet time counts from the end of the read that went wrong: a
    // request made later than that pays nothing more.
    std::this_thread::sleep_until(out_of_step_since_ + quiet);
    uint32_t discarded = 0;
    for (;;) {
        const uint32_t waiting = serial_platform::discard_input(handle, &kept);
        discarded += waiting;
        if (waiting == 0 || Clock::now() >= give_up) {
            return discarded;
        }
        std::this_thread::sleep_for(quiet);
    }
}

CommandReply SerialPort::transact_locked(const uint8_t* data, uint32_t size,
                                         uint32_t reply_length) {
    // Bytes waiting now answered an earlier request (a reply cut at a gap or
    // at kReadSize, or one that came after its read gave up); left in the
    // queue they would be taken for the answer to this one.
    std::vector<uint8_t> late;
    const uint32_t stale =
        out_of_step_ ? discard_late_bytes(late) : serial_platform::discard_input(handle, &late);
    if (stale > 0) {
        err("Discarded " + std::to_string(stale) + (stale == 1 ? " stale byte" : " stale bytes") +
            " from " + state.port_name + " before the request\n");
        wire_trace::record(wire_trace::Direction::kReply, std::move(late),
                           "late: " + byte_count(stale) + " discarded before the next request",
                           milliseconds_since(last_request_at_));
    }
    last_request_at_ = std::chrono::steady_clock::now();
    const serial_platform::Transfer written = serial_platform::write_port(handle, data, size);
    bytes_written = written.count;
    if (!written.ok) {
        err("Error: Failed to write to COM port\n");
    }
    wire_trace::record(wire_trace::Direction::kRequest, std::vector<uint8_t>(data, data + size),
                       written.ok ? "" : "write failed");
    if (written.gone) {
        note_gone();
    }
    CommandReply reply = read_reply(reply_length);
    // Every reply begins with the echo of the request's first byte.
    if (size > 0 && (reply.bytes.empty() || reply.bytes[0] != data[0] ||
                     (reply_length != 0 && reply.count != reply_length))) {
        resync_locked();
    }
    return reply;
}

void SerialPort::resync() {
    std::lock_guard lock(transaction_mutex_);
    resync_locked();
}

void SerialPort::resync_locked() {
    out_of_step_ = true;
    out_of_step_since_ = std::chrono::steady_clock::now();
}

void SerialPort::note_gone() {
    {
        std::lock_guard watch_lock(watch_mutex_);
        gone_ = true;
    }
    watch_changed_.notify_all();
    serial_platform::signal_wakeup(wakeup_);
}

std::optional<uint64_t> SerialPort::watch() {
    std::unique_lock lock(watch_mutex_);
    // A hang-up is seen by the wait below and by a failing transaction
    // alike, in either order: each session is reported once, and a session
    // reported is never waited on again (its descriptor would poll at once).
    const auto unreported = [this] { return session_ != reported_; };
    for (;;) {
        watch_changed_.wait(lock, [&] {
            return wake_requested_ || gone_ ||
                   (serial_platform::is_valid(watch_handle_) && !closing_ && unreported());
        });
        if (wake_requested_) {
            wake_requested_ = false;
            return std::nullopt;
        }
        if (gone_) {
            gone_ = false;
            if (unreported()) {
                reported_ = session_;
                return session_;
            }
            continue;
        }
        const serial_platform::Handle watched = watch_handle_;
        const std::string path = watch_path_;
        const uint64_t session = session_;
        watching_ = true;
        lock.unlock();
        const bool gone = serial_platform::wait_until_gone(watched, path, wakeup_);
        lock.lock();
        watching_ = false;
        watch_changed_.notify_all();
        if (gone && session == session_ && unreported()) {
            reported_ = session;
            return session;
        }
    }
}

void SerialPort::wake_watch() {
    {
        std::lock_guard lock(watch_mutex_);
        wake_requested_ = true;
    }
    watch_changed_.notify_all();
    serial_platform::signal_wakeup(wakeup_);
}

bool SerialPort::drop(uint64_t session) {
    std::lock_guard lock(transaction_mutex_);
    {
        std::lock_guard watch_lock(watch_mutex_);
        if (state.status != 1 || session != session_) {
            return false;
        }
    }
    // The goodbye line of close is not for a device that has gone.
    close_locked(false);
    return true;
}

bool SerialPort::present(const std::string& name) const {
    const serial_platform::ResolvedPort port = serial_platform::resolve_port(name, roots_);
    return port.found && serial_platform::device_present(port.path);
}

CommandReply SerialPort::transact_byte(uint8_t code, uint32_t reply_length) {
    // The code travels as a zero-terminated string: a code of 0 sends nothing.
    const uint8_t request[2] = {code, 0};
    const auto size = static_cast<uint32_t>(code != 0 ? 1 : 0);
    std::lock_guard lock(transaction_mutex_);
    return transact_locked(request, size, reply_length);
}

CommandReply SerialPort::transact_frame(std::vector<uint8_t> frame, uint32_t reply_length) {
    if (frame.size() > kMaxFrameSize) {
        err("Error: Frame of " + std::to_string(frame.size()) + " bytes not sent, the limit is " +
            std::to_string(kMaxFrameSize) + "\n");
        return {};
    }
    uint8_t buffer[kFrameBufferSize] = {};
    std::memcpy(buffer, frame.data(), frame.size());
    // Frames hold no zero byte; the buffer's first zero ends the request.
    const auto size =
        static_cast<uint32_t>(std::find(buffer, buffer + kFrameBufferSize, 0) - buffer);
    std::lock_guard lock(transaction_mutex_);
    return transact_locked(buffer, size, reply_length);
}

std::optional<std::vector<PortEntry>> list_ports(const serial_platform::DeviceRoots& roots) {
    const std::optional<std::vector<std::string>> names =
        serial_platform::list_friendly_names(roots);
    if (!names) {
        return std::nullopt;
    }
    std::vector<PortEntry> entries;
    for (const std::string& name : *names) {
        if (std::optional<PortEntry> entry = parse_friendly_name(name)) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

void SerialPort::discover_ports() {
    ports.clear();
    std::optional<std::vector<PortEntry>> entries = list_ports(roots_);
    if (!entries) {
        error_trace("Invalid Handle.", __FILE__, __LINE__);
        return;
    }
    ports = std::move(*entries);
}

void SerialPort::print_ports() const {
    for (const PortEntry& entry : ports) {
        out_line("Port: " + entry.port_name + " - " + entry.friendly_name);
    }
}

uint64_t SerialPort::session_number() const {
    std::lock_guard lock(watch_mutex_);
    return session_;
}

PortState SerialPort::get_state() const {
    std::lock_guard lock(state_mutex_);
    return state;
}

SerialPort& serial_port() {
    // Built on first use, which main makes before anything else, so that
    // discovery runs (and may print) first; closed and destroyed after main.
    static SerialPort the_serial_port;
    return the_serial_port;
}
