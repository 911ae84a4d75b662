#include "serial/class_serial.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

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
    : SerialPort(std::make_unique<serial::PlatformTransport>(std::move(roots)),
                 serial::steady_clock()) {}

SerialPort::SerialPort(std::unique_ptr<serial::Transport> transport, serial::Clock& clock)
    : transport_(std::move(transport)), clock_(&clock) {
    discovered_ = discover_ports();
}

SerialPort::~SerialPort() {
    close();
}

void SerialPort::use_transport(std::unique_ptr<serial::Transport> transport, serial::Clock& clock) {
    std::lock_guard lock(transaction_mutex_);
    close_locked();
    transport_ = std::move(transport);
    clock_ = &clock;
    out_of_step_ = false;
    probes_pending_ = 0;
    probe_answer_.clear();
}

double SerialPort::milliseconds_since(serial::TimePoint start) {
    return std::chrono::duration<double, std::milli>(clock_->now() - start).count();
}

OpenResult SerialPort::open(std::string name) {
    // A NUL would cut the name short at the system call, and a line break
    // or an escape would garble every prompt that shows it.
    if (std::any_of(name.begin(), name.end(), is_control)) {
        OpenResult refused;
        refused.failure = OpenResult::Failure::kRefusedName;
        refused.escaped_name = escaped(name);
        return refused;
    }
    std::lock_guard lock(transaction_mutex_);
    return open_locked(name, false);
}

bool SerialPort::reopen(const std::string& name) {
    if (std::any_of(name.begin(), name.end(), is_control)) {
        return false;
    }
    std::lock_guard lock(transaction_mutex_);
    return open_locked(name, true).ok();
}

OpenResult SerialPort::open_locked(const std::string& name, bool back) {
    OpenResult result;
    if (state.status == 1) {
        result.closed_first = close_locked();
    }
    bytes_read = 0;
    std::memset(readBuffer, 0, sizeof readBuffer);

    const serial_platform::ResolvedPort port = transport_->resolve(name);
    result.path = port.path;
    const std::string& path = port.path;
    if (!transport_->open(path, result.why)) {
        result.failure = OpenResult::Failure::kCannotOpen;
        if (!back) {
            wire_trace::record(wire_trace::Direction::kEvent, {},
                               "cannot open " + path + ": " + result.why);
        }
        return result;
    }
    const auto give_up = [&](OpenResult::Failure failure) {
        transport_->close();
        result.failure = failure;
        return result;
    };
    switch (transport_->set_line(serial_platform::kLine)) {
        case serial::LineResult::kGetFailed:
            return give_up(OpenResult::Failure::kGetState);
        case serial::LineResult::kSetFailed:
            return give_up(OpenResult::Failure::kSetLine);
        case serial::LineResult::kSet:
            break;
    }
    timeouts = serial_platform::Timeouts{};
    timeouts.ReadIntervalTimeout = kIntervalTimeoutMs;
    timeouts.ReadTotalTimeoutMultiplier = kTotalTimeoutMultiplierMs;
    timeouts.ReadTotalTimeoutConstant = kTotalTimeoutConstantMs;
    if (!transport_->set_timeouts(timeouts)) {
        return give_up(OpenResult::Failure::kSetTimeouts);
    }
    handle = transport_->native_handle();
    out_of_step_ = false;
    probes_pending_ = 0;
    probe_answer_.clear();
    last_request_at_ = clock_->now();
    wire_trace::record(wire_trace::Direction::kEvent, {},
                       (back ? "back: opened " : "opened ") + path + " at " +
                           serial_platform::describe(serial_platform::kLine));
    {
        std::lock_guard state_lock(state_mutex_);
        state.status = 1;
        state.port_name = port.port_name;
    }
    {
        std::lock_guard watch_lock(watch_mutex_);
        watch_open_ = true;
        watch_path_ = path;
        ++session_;
        gone_ = false;
    }
    watch_changed_.notify_all();
    return result;
}

std::optional<std::string> SerialPort::close() {
    std::lock_guard lock(transaction_mutex_);
    return close_locked();
}

std::optional<std::string> SerialPort::close_locked(bool gone) {
    if (state.status != 1) {
        return std::nullopt;
    }
    {
        std::unique_lock watch_lock(watch_mutex_);
        closing_ = true;
        transport_->wake();
        watch_changed_.wait(watch_lock, [this] { return !watching_; });
        closing_ = false;
        watch_open_ = false;
        gone_ = false;
    }
    watch_changed_.notify_all();
    transport_->close();
    handle = serial_platform::invalid_handle();
    wire_trace::record(
        wire_trace::Direction::kEvent, {},
        gone ? state.port_name + " has gone away, closed" : "closed " + state.port_name);
    std::lock_guard state_lock(state_mutex_);
    state.status = 0;
    return state.port_name;
}

CommandReply SerialPort::read_reply(uint32_t reply_length, ReadEnd& end) {
    const uint32_t expected = interval_reads.load() || reply_length > kReadSize ? 0 : reply_length;
    const serial::TimePoint started = clock_->now();
    const serial_platform::Transfer read =
        transport_->read(readBuffer, kReadSize, timeouts, expected);
    const double elapsed_ms = milliseconds_since(started);
    if (read.gone) {
        note_gone();
    }
    bytes_read = read.ok ? read.count : 0;
    if (read.ok && bytes_read > 0) {
        readBuffer[bytes_read] = 0;
    }
    CommandReply reply;
    reply.bytes.assign(readBuffer, readBuffer + bytes_read);
    reply.count = bytes_read;
    end = ReadEnd{read.ok,
                  read.gone,
                  bytes_read,
                  expected,
                  elapsed_ms,
                  static_cast<double>(timeouts.ReadTotalTimeoutMultiplier) * kReadSize +
                      static_cast<double>(timeouts.ReadTotalTimeoutConstant)};
    wire_trace::record(wire_trace::Direction::kReply, reply.bytes, read_ending(end),
                       milliseconds_since(last_request_at_));
    return reply;
}

uint32_t SerialPort::discard_late_bytes(std::vector<uint8_t>& kept) {
    const auto quiet = std::chrono::milliseconds(kResyncQuietMs);
    const serial::TimePoint give_up =
        out_of_step_since_ + std::chrono::milliseconds(kResyncLimitMs);
    // The quiet time counts from the end of the read that went wrong: a
    // request made later than that pays nothing more.
    clock_->sleep_until(out_of_step_since_ + quiet);
    uint32_t discarded = 0;
    for (;;) {
        const uint32_t waiting = transport_->discard_input(&kept);
        discarded += waiting;
        if (waiting == 0 || clock_->now() >= give_up) {
            return discarded;
        }
        clock_->sleep_until(clock_->now() + quiet);
    }
}

bool SerialPort::prove_in_step(Transaction& transaction) {
    const uint32_t length = probe_reply_length_;
    std::vector<uint8_t> late;
    uint32_t matched = 0;
    size_t matched_up_to = 0;
    size_t answer_at = 0;
    // Whether what came ends with an answer to a request like the probe
    // (the answer ends what the board sends), not counted before. It may
    // come in one burst or several, as a reply cut by a gap does, and a
    // board that adds a byte or two to every reply still answers.
    const auto ends_with_answer = [&] {
        if (late.size() < length) {
            return false;
        }
        for (size_t extra = 0; extra <= kProbeAnswerSlack && late.size() >= length + extra;
             ++extra) {
            const size_t at = late.size() - length - extra;
            if (at < matched_up_to || late[at] != probe_.front()) {
                continue;
            }
            const auto begin = late.begin() + static_cast<std::ptrdiff_t>(at);
            if (!probe_answer_.empty() &&
                !std::equal(begin, begin + length, probe_answer_.begin(), probe_answer_.end())) {
                continue;
            }
            answer_at = at;
            matched_up_to = late.size();
            ++matched;
            return true;
        }
        return false;
    };
    uint32_t stale = transport_->discard_input(&late);
    ends_with_answer();
    wire_trace::record(wire_trace::Direction::kEvent, {},
                       "resync: the line is out of step, the probe goes first");
    last_request_at_ = clock_->now();
    const serial_platform::Transfer written =
        transport_->write(probe_.data(), static_cast<uint32_t>(probe_.size()));
    wire_trace::record(wire_trace::Direction::kRequest, probe_,
                       written.ok ? "resync probe" : "resync probe: write failed");
    if (!written.ok) {
        transaction.write_failed = true;
        transaction.discarded = stale;
        if (written.gone) {
            note_gone();
        }
        return false;
    }
    ++probes_pending_;
    // As long as one read may take: a board that cannot answer the probe
    // in that time would not answer the request in time either.
    const double limit_ms = static_cast<double>(timeouts.ReadTotalTimeoutMultiplier) * kReadSize +
                            static_cast<double>(timeouts.ReadTotalTimeoutConstant);
    const serial::TimePoint deadline =
        last_request_at_ + std::chrono::microseconds(static_cast<int64_t>(limit_ms * 1000));
    bool anything = false;
    while (clock_->now() < deadline) {
        serial_platform::Timeouts bounded = timeouts;
        bounded.ReadTotalTimeoutMultiplier = 0;
        bounded.ReadTotalTimeoutConstant = static_cast<uint32_t>(std::max<int64_t>(
            1, std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_->now()).count()));
        const serial_platform::Transfer read =
            transport_->read(readBuffer, kReadSize, bounded, interval_reads.load() ? 0 : length);
        if (!read.ok) {
            transaction.read.ok = false;
            transaction.read.gone = read.gone;
            if (read.gone) {
                note_gone();
            }
            break;
        }
        if (read.count == 0) {
            if (serial_platform::reads_aborted()) {
                break;  // the program is ending: no answer is waited for
            }
            continue;
        }
        anything = true;
        late.insert(late.end(), readBuffer, readBuffer + read.count);
        if (!ends_with_answer() || matched < probes_pending_) {
            continue;  // none yet, or the answer to an earlier request like it
        }
        const auto begin = late.begin() + static_cast<std::ptrdiff_t>(answer_at);
        const std::vector<uint8_t> tail(begin, begin + length);
        stale = static_cast<uint32_t>(answer_at);
        transaction.discarded = stale;
        probe_answer_ = tail;
        probes_pending_ = 0;
        out_of_step_ = false;
        wire_trace::record(
            wire_trace::Direction::kReply, std::move(late),
            "resync: in step, the probe's answer after " + byte_count(stale) + " discarded",
            milliseconds_since(last_request_at_));
        return true;
    }
    transaction.discarded = static_cast<uint32_t>(late.size());
    // The answers that came are no longer to come.
    probes_pending_ -= std::min(matched, probes_pending_);
    // Nothing at all for a whole read's time: what was pending is lost,
    // and counting on its answers would keep the line out of step for ever.
    if (!anything && transaction.read.ok) {
        probes_pending_ = 0;
    }
    wire_trace::record(wire_trace::Direction::kReply, std::move(late),
                       "resync: no answer to the probe, the request is not sent",
                       milliseconds_since(last_request_at_));
    out_of_step_since_ = clock_->now();
    return false;
}

Transaction SerialPort::transact_locked(const uint8_t* data, uint32_t size, uint32_t reply_length) {
    Transaction transaction;
    transaction.port_name = state.port_name;
    if (out_of_step_ && !probe_.empty() && state.status == 1) {
        if (!prove_in_step(transaction)) {
            transaction.out_of_step = true;
            return transaction;
        }
    } else {
        // Bytes waiting now answered an earlier request (a reply cut at a gap
        // or at kReadSize, or one that came after its read gave up); left in
        // the queue they would be taken for the answer to this one.
        std::vector<uint8_t> late;
        const uint32_t stale =
            out_of_step_ ? discard_late_bytes(late) : transport_->discard_input(&late);
        out_of_step_ = false;
        transaction.discarded = stale;
        if (stale > 0) {
            wire_trace::record(wire_trace::Direction::kReply, std::move(late),
                               "late: " + byte_count(stale) + " discarded before the next request",
                               milliseconds_since(last_request_at_));
        }
    }
    last_request_at_ = clock_->now();
    const serial_platform::Transfer written = transport_->write(data, size);
    bytes_written = written.count;
    transaction.write_failed = !written.ok;
    wire_trace::record(wire_trace::Direction::kRequest, std::vector<uint8_t>(data, data + size),
                       written.ok ? "" : "write failed");
    if (written.gone) {
        note_gone();
    }
    transaction.reply = read_reply(reply_length, transaction.read);
    const CommandReply& reply = transaction.reply;
    // A request like the probe adds an answer to come; a reply that begins
    // as the probe's answer does is one of those that came.
    if (!probe_.empty()) {
        if (size > 0 && data[0] == probe_.front()) {
            ++probes_pending_;
        }
        if (!reply.bytes.empty() && reply.bytes[0] == probe_.front() && probes_pending_ > 0) {
            --probes_pending_;
        }
    }
    // Every reply begins with the echo of the request's first byte; one that
    // filled the read may go on.
    transaction.in_step = size > 0 && !reply.bytes.empty() && reply.bytes[0] == data[0] &&
                          (reply_length == 0 || reply.count == reply_length) &&
                          reply.count < kReadSize;
    if (size > 0 && !transaction.in_step) {
        resync_locked();
    } else if (transaction.in_step) {
        probes_pending_ = 0;
        if (!probe_.empty() && size == probe_.size() &&
            std::equal(probe_.begin(), probe_.end(), data) && reply.count == probe_reply_length_) {
            probe_answer_ = reply.bytes;
        }
    }
    return transaction;
}

void SerialPort::resync() {
    std::lock_guard lock(transaction_mutex_);
    resync_locked();
}

void SerialPort::resync_locked() {
    out_of_step_ = true;
    out_of_step_since_ = clock_->now();
}

void SerialPort::set_resync_probe(std::vector<uint8_t> frame, uint32_t reply_length) {
    std::lock_guard lock(transaction_mutex_);
    probe_ = std::move(frame);
    probe_reply_length_ = probe_.empty() ? 0 : std::max<uint32_t>(1, reply_length);
    probe_answer_.clear();
    probes_pending_ = 0;
}

void SerialPort::note_gone() {
    {
        std::lock_guard watch_lock(watch_mutex_);
        gone_ = true;
    }
    watch_changed_.notify_all();
    transport_->wake();
}

std::optional<uint64_t> SerialPort::watch() {
    std::unique_lock lock(watch_mutex_);
    // A hang-up is seen by the wait below and by a failing transaction
    // alike, in either order: each session is reported once, and a session
    // reported is never waited on again (its descriptor would poll at once).
    const auto unreported = [this] { return session_ != reported_; };
    for (;;) {
        watch_changed_.wait(lock, [&] {
            return wake_requested_ || gone_ || (watch_open_ && !closing_ && unreported());
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
        const std::string path = watch_path_;
        const uint64_t session = session_;
        serial::Transport* const transport = transport_.get();
        watching_ = true;
        lock.unlock();
        const bool gone = transport->wait_until_gone(path);
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
    transport_->wake();
}

bool SerialPort::drop(uint64_t session) {
    std::lock_guard lock(transaction_mutex_);
    {
        std::lock_guard watch_lock(watch_mutex_);
        if (state.status != 1 || session != session_) {
            return false;
        }
    }
    close_locked(true);
    return true;
}

bool SerialPort::present(const std::string& name) const {
    const serial_platform::ResolvedPort port = transport_->resolve(name);
    return port.found && transport_->present(port.path);
}

Transaction SerialPort::transact_byte(uint8_t code, uint32_t reply_length) {
    // The code travels as a zero-terminated string: a code of 0 sends nothing.
    const uint8_t request[2] = {code, 0};
    const auto size = static_cast<uint32_t>(code != 0 ? 1 : 0);
    std::lock_guard lock(transaction_mutex_);
    return transact_locked(request, size, reply_length);
}

Transaction SerialPort::transact_frame(std::vector<uint8_t> frame, uint32_t reply_length) {
    if (frame.size() > kMaxFrameSize) {
        Transaction refused;
        refused.refused_size = frame.size();
        refused.port_name = get_state().port_name;
        return refused;
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

bool SerialPort::discover_ports() {
    ports.clear();
    const std::optional<std::vector<std::string>> names = transport_->list();
    if (!names) {
        return false;
    }
    for (const std::string& name : *names) {
        if (std::optional<PortEntry> entry = parse_friendly_name(name)) {
            ports.push_back(std::move(*entry));
        }
    }
    return true;
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
    // discovery runs first; closed and destroyed after main.
    static SerialPort the_serial_port;
    return the_serial_port;
}
