#include "web/web_access.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

#include "base/os_error.h"

#ifdef _WIN32
#include <fstream>
#include <random>
#else
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr size_t kTokenBytes = 32;

#ifndef _WIN32
bool fill_random(uint8_t* bytes, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::getrandom(bytes + done, size - done, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}
#endif

std::string token_text(const uint8_t* bytes, size_t size) {
    std::string token;
    constexpr const char* kHex = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        token += kHex[bytes[i] >> 4];
        token += kHex[bytes[i] & 0x0f];
    }
    return token;
}

// A token travels in a header and a cookie: printable, without blanks,
// quotes, semicolons or commas.
bool is_token(const std::string& token) {
    return !token.empty() && token.find_first_of("\";,\\") == std::string::npos &&
           std::all_of(token.begin(), token.end(), [](char c) {
               return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7f;
           });
}

constexpr const char* kNoToken =
    "its first line is no token (printable characters without blanks, quotes, ; or ,)";

#ifndef _WIN32
void make_directories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    }
}

// A new token file, made only when none stands there (nothing when
// another program made one meanwhile: it is read instead).
std::optional<std::string> make_token_file(const std::string& path, std::string& why) {
    uint8_t bytes[kTokenBytes];
    if (!fill_random(bytes, sizeof bytes)) {
        why = "no random bytes from the system: " + os_error_text(errno);
        return std::nullopt;
    }
    const std::string token = token_text(bytes, sizeof bytes);
    make_directories(path);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = os_error_text(errno);
        return std::nullopt;
    }
    const std::string line = token + "\n";
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    const int error = errno;
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        why = os_error_text(error);
        return std::nullopt;
    }
    return token;
}
#endif

}  // namespace

bool is_loopback_address(std::string_view address) {
    if (address == "localhost" || address == "::1" || address == "[::1]") {
        return true;
    }
    int parts = 0;
    for (size_t start = 0; start <= address.size(); ++parts) {
        const size_t dot = std::min(address.find('.', start), address.size());
        const std::string_view part = address.substr(start, dot - start);
        if (part.empty() || part.size() > 3 ||
            part.find_first_not_of("0123456789") != std::string_view::npos) {
            return false;
        }
        int value = 0;
        for (const char c : part) {
            value = value * 10 + (c - '0');
        }
        if (value > 255 || (parts == 0 && value != 127)) {
            return false;
        }
        start = dot + 1;
    }
    return parts == 4;
}

std::string default_token_path(const char* xdg_state_home, const char* home) {
    // Relative values are to be ignored, as the base directory rules say.
    if (xdg_state_home != nullptr && xdg_state_home[0] == '/') {
        return std::string(xdg_state_home) + "/tessaro/token";
    }
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.local/state/tessaro/token";
    }
    return {};
}

#ifdef _WIN32
// Windows: the file as it is, made with the account's default permissions.
std::optional<std::string> load_token(const std::string& path, bool create, std::string& why) {
    std::ifstream in(path);
    if (!in && create) {
        std::random_device source;  // rand_s, the system's generator, with mingw-w64
        uint8_t bytes[kTokenBytes];
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(source());
        }
        const std::string token = token_text(bytes, sizeof bytes);
        std::ofstream out(path);
        if (!(out << token << "\n")) {
            why = "cannot be written";
            return std::nullopt;
        }
        return token;
    }
    std::string token;
    if (!in || !std::getline(in, token) || !is_token(token)) {
        why = in ? kNoToken : "cannot be read";
        return std::nullopt;
    }
    return token;
}
#else
std::optional<std::string> load_token(const std::string& path, bool create, std::string& why) {
    int open_error = 0;
    std::optional<std::string> token = read_secret_line(path, why, open_error);
    if (!token) {
        if (open_error == ENOENT && create) {
            if (std::optional<std::string> made = make_token_file(path, why)) {
                return made;
            }
            if (why != os_error_text(EEXIST)) {
                return std::nullopt;
            }
            return load_token(path, false, why);
        }
        return std::nullopt;
    }
    if (!is_token(*token)) {
        why = kNoToken;
        return std::nullopt;
    }
    return token;
}
#endif

bool same_token(std::string_view given, std::string_view token) {
    unsigned char difference = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size(); ++i) {
        const char other = i < given.size() ? given[i] : '\0';
        difference |= static_cast<unsigned char>(other ^ token[i]);
    }
    return difference == 0 && !token.empty();
}

std::string token_cookie_name(int port) {
    return "tessaro_token_" + std::to_string(port);
}

std::string web_url(const WebAccess& access, int port) {
    std::string host = access.listen;
    if (host == "0.0.0.0" || host == "::") {
        host = access.allowed_hosts.empty() ? "127.0.0.1" : access.allowed_hosts.front();
    }
    if (host.find(':') != std::string::npos && !host.starts_with('[')) {
        host = "[" + host + "]";
    }
    std::string url = "http://" + host + ":" + std::to_string(port);
    if (!access.token.empty()) {
        url += "/?token=" + access.token;
    }
    return url;
}
