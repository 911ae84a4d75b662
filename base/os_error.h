#pragma once
// The operating system's message for an error number, safe to ask from
// any thread (strerror's buffer is shared between threads).

#include <string>

std::string os_error_text(int error);
