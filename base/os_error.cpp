#include "base/os_error.h"

#include <cstring>
#include <type_traits>

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
