#pragma once
// What SerialPort needs from the world, behind two interfaces a test can
// replace: the transport (the device and the system's list of devices) and
// the clock its waits go through. PlatformTransport is the machine's own
// (serial_posix.cpp or serial_win32.cpp underneath); tests put a board in
// memory and a clock they move in their place, so that a time-out costs
// nothing but arithmetic.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "serial/serial_platform.h"

namespace serial {

using TimePoint = std::chrono::steady_clock::time_point;

class Clock {
  public:
    virtual ~Clock() = default;
    virtual TimePoint now() = 0;
    // Returns at when or after it; a clock a test moves jumps there.
    virtual void sleep_until(TimePoint when) = 0;
};

// The machine's steady clock; one for the whole program, safe from any thread.
Clock& steady_clock();

enum class LineResult { kSet, kGetFailed, kSetFailed };

// One port at a time: open() takes the device, close() lets it go. Every
// call but wait_until_gone and wake comes from the thread holding the
// port's transaction lock; wait_until_gone runs on the watching thread
// while the device stays open (SerialPort closes only after it returned),
// wake from any thread. None of them prints.
class Transport {
  public:
    virtual ~Transport() = default;

    // The name resolved to the path to open (see serial_platform::resolve_port).
    virtual serial_platform::ResolvedPort resolve(const std::string& name) const = 0;
    // Opens the device exclusively; false with the reason in plain words.
    virtual bool open(const std::string& path, std::string& why) = 0;
    // Sets the line as described (kGetFailed: the device has no settings).
    virtual LineResult set_line(const serial_platform::LineDescription& line) = 0;
    virtual bool set_timeouts(const serial_platform::Timeouts& timeouts) = 0;
    // As serial_platform::read_port, on the open device.
    virtual serial_platform::Transfer read(uint8_t* buffer, uint32_t size,
                                           const serial_platform::Timeouts& timeouts,
                                           uint32_t expected) = 0;
    virtual serial_platform::Transfer write(const uint8_t* data, uint32_t size) = 0;
    // Empties the receive queue; the bytes are appended to kept when the
    // transport can read them. Returns how many there were.
    virtual uint32_t discard_input(std::vector<uint8_t>* kept) = 0;
    virtual void close() = 0;
    // Blocks until the open device hangs up or fails, or path no longer
    // names a device (true), or until wake() (false, the wake consumed).
    virtual bool wait_until_gone(const std::string& path) = 0;
    virtual void wake() = 0;
    // Whether path names a device now.
    virtual bool present(const std::string& path) const = 0;
    // Friendly names of the ports, as serial_platform::list_friendly_names.
    virtual std::optional<std::vector<std::string>> list() const = 0;
    // The system's handle of the open device; invalid for one in memory.
    virtual serial_platform::Handle native_handle() const {
        return serial_platform::invalid_handle();
    }
};

// The device as the platform layer opens it.
class PlatformTransport : public Transport {
  public:
    explicit PlatformTransport(serial_platform::DeviceRoots roots = {},
                               uint32_t write_stall_ms = serial_platform::kWriteStallMs);
    ~PlatformTransport() override;
    PlatformTransport(const PlatformTransport&) = delete;
    PlatformTransport& operator=(const PlatformTransport&) = delete;

    serial_platform::ResolvedPort resolve(const std::string& name) const override;
    bool open(const std::string& path, std::string& why) override;
    LineResult set_line(const serial_platform::LineDescription& line) override;
    bool set_timeouts(const serial_platform::Timeouts& timeouts) override;
    serial_platform::Transfer read(uint8_t* buffer, uint32_t size,
                                   const serial_platform::Timeouts& timeouts,
                                   uint32_t expected) override;
    serial_platform::Transfer write(const uint8_t* data, uint32_t size) override;
    uint32_t discard_input(std::vector<uint8_t>* kept) override;
    void close() override;
    bool wait_until_gone(const std::string& path) override;
    void wake() override;
    bool present(const std::string& path) const override;
    std::optional<std::vector<std::string>> list() const override;
    serial_platform::Handle native_handle() const override { return handle_; }

  private:
    serial_platform::DeviceRoots roots_;
    uint32_t write_stall_ms_;
    // Written by open and close only, which SerialPort never makes while
    // wait_until_gone runs.
    serial_platform::Handle handle_ = serial_platform::invalid_handle();
    serial_platform::Wakeup wakeup_;  // interrupts wait_until_gone
};

}  // namespace serial
