#include "base/os_error.h"

#include <cerrno>
#include <cstring>
#include <type_traits>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

std::string os_error_text(int error) {
    char buffer[256] = {};
#ifdef _WIN32
    strerror_s(buffer, sizeof buffer, error);
    return buffer;
#else
    // The GNU form returns its text, the POSIX form fills the buffer.
    const auto text = [&buffer, error](auto result) -> std::string {
        if constexpr (std::is_same_v<decltype(result), char*>) {
            return result;
        } else {
            return result == 0 ? std::string(buffer) : "error " + std::to_string(error);
        }
    };
    return text(strerror_r(error, buffer, sizeof buffer));
#endif
}

#ifndef _WIN32
std::optional<std::string> read_secret_line(const std::string& path, std::string& why,
                                            int& open_error) {
    open_error = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        open_error = errno;
        why = errno == ELOOP ? "a symbolic link, which is not followed" : os_error_text(errno);
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        why = "not a regular file";
        return std::nullopt;
    }
    std::string text;
    char buffer[512];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 4096) {
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return text.substr(0, text.find_first_of("\r\n"));
}
#endif
