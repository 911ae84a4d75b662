#pragma once
// The operating system's message for an error number, safe to ask from
// any thread (strerror's buffer is shared between threads).

#include <string>

std::string os_error_text(int error);

#ifndef _WIN32
#include <optional>

// The first line of a file that holds a secret (a token, a password): read
// only when the path is a regular file reached without a symbolic link, and
// at most its first 4 KB. Nothing when it cannot be, with why; open_error
// then holds the errno of a failed open (0 when the open itself worked).
std::optional<std::string> read_secret_line(const std::string& path, std::string& why,
                                            int& open_error);
#endif
