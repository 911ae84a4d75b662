// The serial port calls on POSIX systems: a terminal device opened
// exclusively, set raw, and read with the time-out rules of the Windows port
// driver, which the rest of the program is written against.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/os_error.h"
#include "serial/serial_platform.h"

namespace serial_platform {

namespace {

using Clock = std::chrono::steady_clock;

// How far up from a tty's device to look for the USB device that holds
// its product and maker strings (tty -> usb-serial port -> interface -> device).
constexpr int kUsbSearchDepth = 4;
// Friendly names are kept below the size the system's name buffer takes.
constexpr size_t kFriendlyNameLimit = 255;

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool equal_ignoring_case(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::vector<std::string> directory_entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* stream = ::opendir(dir.c_str());
    if (stream == nullptr) {
        return names;
    }
    // Each stream is read by one thread only.
    while (const dirent* entry = ::readdir(stream)) {  // NOLINT(concurrency-mt-unsafe)
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(stream);
    std::sort(names.begin(), names.end());
    return names;
}

// The entry of dir called name: the exact one if there is one, otherwise
// the first (in byte order) that differs only in case.
std::optional<std::string> find_entry(const std::string& dir, const std::string& name) {
    if (name.empty()) {
        return std::nullopt;
    }
    if (name == "." || name == ".." || exists(dir + "/" + name)) {
        return name;
    }
    for (const std::string& entry : directory_entries(dir)) {
        if (equal_ignoring_case(entry, name)) {
            return entry;
        }
    }
    return std::nullopt;
}

// A path with each component matched as find_entry does; a relative path
// is looked for under base, and comes back relative to it. A component that
// matches nothing ends the match: it and the rest stay as typed, and the
// result is marked incomplete.
std::pair<std::string, bool> resolve_path(const std::string& path, const std::string& base) {
    const bool absolute = path.front() == '/';
    std::string resolved = absolute ? "/" : "";
    std::string dir = absolute ? "/" : base;  // where the next component is looked for
    size_t start = 0;
    while (start < path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        const std::string component = path.substr(start, end - start);
        if (component.empty()) {
            start = end + 1;
            continue;
        }
        if (!resolved.empty() && resolved.back() != '/') {
            resolved += '/';
        }
        const std::optional<std::string> entry = find_entry(dir, component);
        if (!entry) {
            return {resolved + path.substr(start), false};
        }
        resolved += *entry;
        dir += (dir.back() == '/' ? "" : "/") + *entry;
        start = end + 1;
    }
    return {resolved, true};
}

std::string read_first_line(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
    const size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos) {
        return "";
    }
    return line.substr(first, line.find_last_not_of(' ') - first + 1);
}

std::string parent_directory(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The text in front of " (ttyACM0)": the USB product string (or the maker's
// name) where the tty sits on a USB device, otherwise a plain description.
std::string describe_device(const std::string& device_link) {
    char* real = ::realpath(device_link.c_str(), nullptr);
    if (real == nullptr) {
        return "Serial port";
    }
    std::string dir = real;
    std::free(real);
    for (int depth = 0; depth < kUsbSearchDepth && dir != "/"; ++depth) {
        if (exists(dir + "/idVendor")) {
            std::string product = read_first_line(dir + "/product");
            if (!product.empty()) {
                return product;
            }
            const std::string maker = read_first_line(dir + "/manufacturer");
            return maker.empty() ? "USB serial device" : maker + " USB serial device";
        }
        dir = parent_directory(dir);
    }
    return "Serial port";
}

// A 16550-style port the kernel reserved without finding a UART behind it
// (type 0, "unknown"): opening it fails or talks to nothing.
bool is_phantom_port(const std::string& name, const std::string& entry_dir) {
    if (name.rfind("ttyS", 0) != 0) {
        return false;
    }
    const std::string type = read_first_line(entry_dir + "/type");
    return type.empty() || type == "0";
}

// Cuts text to at most size bytes without splitting a UTF-8 sequence.
std::string cut_utf8(std::string text, size_t size) {
    if (text.size() <= size) {
        return text;
    }
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) {
        --size;
    }
    text.resize(size);
    return text;
}

// Port names in the order a person expects: ttyACM2 before ttyACM10.
bool natural_less(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digit_a = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digit_b = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digit_a && digit_b) {
            size_t end_a = i;
            size_t end_b = j;
            while (end_a < a.size() && std::isdigit(static_cast<unsigned char>(a[end_a]))) {
                ++end_a;
            }
            while (end_b < b.size() && std::isdigit(static_cast<unsigned char>(b[end_b]))) {
                ++end_b;
            }
            std::string number_a = a.substr(i, end_a - i);
            std::string number_b = b.substr(j, end_b - j);
            number_a.erase(0, std::min(number_a.find_first_not_of('0'), number_a.size() - 1));
            number_b.erase(0, std::min(number_b.find_first_not_of('0'), number_b.size() - 1));
            if (number_a.size() != number_b.size()) {
                return number_a.size() < number_b.size();
            }
            if (number_a != number_b) {
                return number_a < number_b;
            }
            i = end_a;
            j = end_b;
        } else {
            if (a[i] != b[j]) {
                return a[i] < b[j];
            }
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j) {
        return a.size() - i < b.size() - j;
    }
    return a < b;
}

// The name of a group, looked up without the shared buffer getgrgid uses
// (other threads may look up names at the same time).
std::optional<std::string> group_name(gid_t gid) {
    std::vector<char> buffer(1024);
    for (;;) {
        group entry{};
        group* found = nullptr;
        const int error = ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr) {
            return std::nullopt;
        }
        return std::string(found->gr_name);
    }
}

// The reason an existing device would not open, in the user's words.
std::string open_failure(int error, const struct stat& info) {
    switch (error) {
        case EACCES:
        case EPERM: {
            std::string why = "permission denied: ";
            const std::optional<std::string> owner =
                info.st_gid != 0 ? group_name(info.st_gid) : std::nullopt;
            if (owner) {
                why += "join the group that owns it (" + *owner +
                       "), then log in again, or check its permissions";
            } else {
                why += "check its permissions";
            }
            return why;
        }
        case EBUSY:
            return "in use by another program";
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return "no such device";
        default:
            return os_error_text(error);
    }
}

// What a read or write of a terminal whose device went away fails with.
bool is_gone_error(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

timespec to_timespec(Clock::duration duration) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

ResolvedPort resolve_port(const std::string& name, const DeviceRoots& roots) {
    if (name.starts_with('/')) {
        auto [path, found] = resolve_path(name, "/");
        return ResolvedPort{path, path, found};
    }
    if (name.find('/') != std::string::npos) {
        // pts/3: a relative name is looked for under dev_dir, like a plain one.
        auto [relative, found] = resolve_path(name, roots.dev_dir);
        return ResolvedPort{roots.dev_dir + "/" + relative, relative, found};
    }
    if (const std::optional<std::string> entry = find_entry(roots.dev_dir, name)) {
        if (*entry != "." && *entry != "..") {
            return ResolvedPort{roots.dev_dir + "/" + *entry, *entry, true};
        }
    }
    return ResolvedPort{roots.dev_dir + "/" + name, name, false};
}

Handle open_port(const std::string& path, std::string& why) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        why = errno == EACCES ? "permission denied on the way to it" : "no such device";
        return invalid_handle();
    }
    // Only a character device can be a serial port; opening anything else
    // (a FIFO would even block the next one to open it) is not tried.
    if (!S_ISCHR(info.st_mode)) {
        why = "not a serial port";
        return invalid_handle();
    }
    // Non-blocking, so that neither the open waits for a carrier nor a read
    // blocks past its time-outs.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = open_failure(errno, info);
        return invalid_handle();
    }
    if (!::isatty(fd)) {
        ::close(fd);
        why = "not a serial port";
        return invalid_handle();
    }
    // TIOCEXCL refuses later opens, but not to root; the lock refuses a
    // second opener that also locks, root or not.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        why = "in use by another program";
        return invalid_handle();
    }
    ::ioctl(fd, TIOCEXCL);
    return fd;
}

bool get_line_settings(Handle handle, LineSettings& settings) {
    return ::tcgetattr(handle, &settings) == 0;
}

// The terminal speed of a baud rate; 0 (B0) for one the line never uses.
static speed_t speed_of(uint32_t baud) {
    switch (baud) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

static tcflag_t size_bits(uint8_t data_bits) {
    switch (data_bits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

void make_line_settings(LineSettings& settings, const LineDescription& line) {
    ::cfmakeraw(&settings);
    ::cfsetispeed(&settings, speed_of(line.baud));
    ::cfsetospeed(&settings, speed_of(line.baud));
    // cfmakeraw leaves stop bits and flow control as they were.
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    settings.c_cflag |= size_bits(line.data_bits) | CREAD | CLOCAL;
    if (line.parity != Parity::kNone) {
        settings.c_cflag |= PARENB | (line.parity == Parity::kOdd ? PARODD : 0);
    }
    if (line.stop_bits == 2) {
        settings.c_cflag |= CSTOPB;
    }
    if (line.flow_control) {
        settings.c_cflag |= CRTSCTS;
    }
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    // Reads never block (the descriptor is non-blocking); poll times them.
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
}

bool set_line_settings(Handle handle, const LineSettings& settings) {
    if (::tcsetattr(handle, TCSANOW, &settings) != 0) {
        return false;
    }
    // tcsetattr succeeds when any change took; check the ones that matter.
    LineSettings applied{};
    if (::tcgetattr(handle, &applied) != 0) {
        return false;
    }
    const tcflag_t frame_bits = CSIZE | PARENB | CSTOPB;
    return ::cfgetospeed(&applied) == ::cfgetospeed(&settings) &&
           (applied.c_cflag & frame_bits) == (settings.c_cflag & frame_bits);
}

bool set_timeouts(Handle handle, const Timeouts&) {
    // No driver keeps them here: read_port is handed them on every call.
    return ::fcntl(handle, F_GETFL) != -1;
}

uint32_t discard_input(Handle handle, std::vector<uint8_t>* kept) {
    int queued = 0;
    if (::ioctl(handle, FIONREAD, &queued) != 0 || queued <= 0) {
        return 0;
    }
    // Read rather than flush, so the count is what was thrown away; only
    // what was queued, so a device that keeps sending cannot hold us here.
    uint32_t discarded = 0;
    uint8_t scratch[256];
    while (discarded < static_cast<uint32_t>(queued)) {
        const size_t want = std::min<size_t>(sizeof scratch, queued - discarded);
        const ssize_t n = ::read(handle, scratch, want);
        if (n > 0) {
            discarded += static_cast<uint32_t>(n);
            if (kept != nullptr) {
                kept->insert(kept->end(), scratch, scratch + n);
            }
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return discarded;
}

Transfer write_port(Handle handle, const uint8_t* data, uint32_t size, uint32_t stall_ms) {
    uint32_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(handle, data + done, size - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return Transfer{false, 0, is_gone_error(errno)};
        }
        pollfd waiter{handle, POLLOUT, 0};
        const int ready = ::poll(&waiter, 1, static_cast<int>(stall_ms));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || (waiter.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return Transfer{false, 0, ready > 0 && (waiter.revents & POLLNVAL) == 0};
        }
    }
    return Transfer{true, done};
}

namespace {

// A pipe that every read polls beside its device; abort_reads writes one
// byte and nobody drains it, so it stays readable for good.
struct ReadAbort {
    std::atomic<bool> aborted{false};
    int fds[2] = {-1, -1};
    ReadAbort() {
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            fds[0] = fds[1] = -1;  // poll() passes over a negative descriptor
        }
    }
};

ReadAbort& read_abort() {
    static ReadAbort abort;
    return abort;
}

}  // namespace

void abort_reads() {
    read_abort().aborted.store(true);
    [[maybe_unused]] const ssize_t n = ::write(read_abort().fds[1], "q", 1);
}

bool reads_aborted() {
    return read_abort().aborted.load();
}

// The wait and the read are split: poll says when bytes are there or a
// deadline has come, read takes what is there without blocking. The total
// deadline runs from the start; the interval deadline from the last byte.
Transfer read_port(Handle handle, uint8_t* buffer, uint32_t size, const Timeouts& timeouts,
                   uint32_t expected) {
    // poll() passes over a negative descriptor instead of reporting it.
    if (!is_valid(handle)) {
        return Transfer{false, 0};
    }
    // A read's deadlines are the line's own timing: the guard after a reply
    // is two character times (1.04 ms), and the timer slack a thread has by
    // default (50 us) would add up to that much to every transaction. Set
    // once for each thread that reads.
    static thread_local const bool exact_timers = prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    (void)exact_timers;
    const Clock::time_point start = Clock::now();
    const bool has_total =
        timeouts.ReadTotalTimeoutMultiplier != 0 || timeouts.ReadTotalTimeoutConstant != 0;
    const Clock::time_point total_deadline =
        start + std::chrono::milliseconds(uint64_t{timeouts.ReadTotalTimeoutMultiplier} * size +
                                          timeouts.ReadTotalTimeoutConstant);
    const auto interval = std::chrono::milliseconds(timeouts.ReadIntervalTimeout);
    constexpr auto guard = std::chrono::microseconds(kReplyGuardMicroseconds);

    uint32_t count = 0;
    Clock::time_point last_byte{};
    while (count < size) {
        std::optional<Clock::time_point> deadline;
        if (has_total) {
            deadline = total_deadline;
        }
        if (count > 0 && timeouts.ReadIntervalTimeout != 0) {
            deadline = deadline ? std::min(*deadline, last_byte + interval) : last_byte + interval;
        }
        // Only while the count stands exactly at the expected length: one
        // more byte and the reply is longer than expected, read as any other.
        if (expected != 0 && count == expected) {
            deadline = deadline ? std::min(*deadline, last_byte + guard) : last_byte + guard;
        }
        timespec wait{};
        if (deadline) {
            const Clock::time_point now = Clock::now();
            if (now >= *deadline) {
                break;
            }
            wait = to_timespec(*deadline - now);
        }
        pollfd fds[2] = {{handle, POLLIN, 0}, {read_abort().fds[0], POLLIN, 0}};
        const pollfd& waiter = fds[0];
        const int ready = ::ppoll(fds, 2, deadline ? &wait : nullptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Transfer{false, 0};
        }
        if (fds[1].revents != 0) {
            break;
        }
        if (ready == 0) {
            continue;
        }
        if ((waiter.revents & POLLNVAL) != 0) {
            return Transfer{false, 0};
        }
        // A device that is gone, at least on Linux, polls as readable or hung
        // up for ever while reading gives nothing (0 bytes, or EIO on a
        // pseudo-terminal whose other end closed): fail now, not at the deadline.
        if ((waiter.revents & POLLIN) == 0) {
            return Transfer{false, 0, true};
        }
        const ssize_t n = ::read(handle, buffer + count, size - count);
        if (n > 0) {
            count += static_cast<uint32_t>(n);
            last_byte = Clock::now();
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return Transfer{false, 0, n == 0 || is_gone_error(errno)};
        }
    }
    return Transfer{true, count};
}

void close_port(Handle handle) {
    if (!is_valid(handle)) {
        return;
    }
    ::ioctl(handle, TIOCNXCL);
    ::close(handle);
}

Wakeup make_wakeup() {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return {};
    }
    return Wakeup{fds[0], fds[1]};
}

void signal_wakeup(const Wakeup& wakeup) {
    const char byte = 1;
    // A full pipe already holds a signal: nothing is lost.
    [[maybe_unused]] const ssize_t n = ::write(wakeup.write_fd, &byte, 1);
}

void close_wakeup(Wakeup& wakeup) {
    for (int* fd : {&wakeup.read_fd, &wakeup.write_fd}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

bool device_present(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

// A hang-up shows on the descriptor itself (poll reports it whatever the
// events asked, so incoming bytes never wake us). A removed device node, or
// a link to it, shows in its directory, which inotify watches instead of us
// looking at it again and again.
bool wait_until_gone(Handle handle, const std::string& path, const Wakeup& wakeup) {
    const size_t slash = path.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : path.substr(0, slash);
    int notes = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notes >= 0 &&
        ::inotify_add_watch(notes, directory.c_str(),
                            IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
        ::close(notes);
        notes = -1;
    }
    bool gone = !device_present(path);
    while (!gone) {
        pollfd fds[3] = {{handle, 0, 0}, {wakeup.read_fd, POLLIN, 0}, {notes, POLLIN, 0}};
        if (::poll(fds, notes >= 0 ? 3 : 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // taken as a wake-up: the caller looks again
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            gone = true;
        } else if (fds[1].revents != 0) {
            char drained[64];
            while (::read(wakeup.read_fd, drained, sizeof drained) > 0) {
            }
            break;
        } else if (fds[2].revents != 0) {
            alignas(inotify_event) char events[4096];
            while (::read(notes, events, sizeof events) > 0) {
            }
            gone = !device_present(path);
        }
    }
    if (notes >= 0) {
        ::close(notes);
    }
    return gone;
}

std::optional<std::vector<std::string>> list_friendly_names(const DeviceRoots& roots) {
    DIR* stream = ::opendir(roots.tty_class_dir.c_str());
    if (stream == nullptr) {
        return std::nullopt;
    }
    ::closedir(stream);

    std::vector<std::pair<std::string, std::string>> found;  // port name, friendly name
    for (const std::string& name : directory_entries(roots.tty_class_dir)) {
        const std::string entry_dir = roots.tty_class_dir + "/" + name;
        // Virtual terminals and pseudo-terminals have no device behind them.
        struct stat info {};
        const std::string device_link = entry_dir + "/device";
        if (::stat(device_link.c_str(), &info) != 0 || is_phantom_port(name, entry_dir)) {
            continue;
        }
        const std::string suffix = " (" + name + ")";
        if (suffix.size() >= kFriendlyNameLimit) {
            continue;
        }
        const std::string description =
            cut_utf8(describe_device(device_link), kFriendlyNameLimit - suffix.size());
        found.emplace_back(name, description + suffix);
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return natural_less(a.first, b.first); });
    std::vector<std::string> names;
    for (auto& [port, friendly] : found) {
        names.push_back(std::move(friendly));
    }
    // The stable names udev gives USB serial devices, after the devices:
    // "UNO R4 Minima on ttyACM0 (/dev/serial/by-id/usb-Arduino_..._if00)".
    const std::string by_id_dir = roots.dev_dir + "/serial/by-id";
    std::vector<std::string> links = directory_entries(by_id_dir);
    std::sort(links.begin(), links.end(), natural_less);
    for (const std::string& link : links) {
        const std::string path = by_id_dir + "/" + link;
        std::string target(PATH_MAX, '\0');
        const ssize_t size = ::readlink(path.c_str(), target.data(), target.size());
        if (size <= 0 || !device_present(path)) {
            continue;
        }
        target.resize(static_cast<size_t>(size));
        const std::string device = target.substr(target.find_last_of('/') + 1);
        const std::string suffix = " (" + path + ")";
        const std::string on_device = " on " + device;
        if (suffix.size() + on_device.size() >= kFriendlyNameLimit) {
            continue;
        }
        const std::string description =
            describe_device(roots.tty_class_dir + "/" + device + "/device");
        names.push_back(
            cut_utf8(description, kFriendlyNameLimit - suffix.size() - on_device.size()) +
            on_device + suffix);
    }
    return names;
}

}  // namespace serial_platform
