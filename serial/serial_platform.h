#pragma once
// The calls one platform offers for a serial port, behind one set of names.
// POSIX: serial_posix.cpp. Windows: serial_win32.cpp.

#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>
#endif

namespace serial_platform {

#ifdef _WIN32
using Handle = HANDLE;
using LineSettings = DCB;
using Timeouts = COMMTIMEOUTS;
#else
using Handle = int;  // file descriptor; -1 when closed or invalid
using LineSettings = termios;
// The read time-outs in the form the Windows port driver takes them.
struct Timeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};
#endif

}  // namespace serial_platform
