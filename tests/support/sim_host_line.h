#pragma once
// The host's end of a simulated board's pseudo-terminal, bare: raw bytes in
// and out with deadlines, for tests that look at the line itself.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

class HostLine {
  public:
    // Opens path read-write; with raw false the terminal settings are left
    // as the simulator made them. ok() tells whether it opened.
    explicit HostLine(const std::string& path, bool raw = true);
    ~HostLine();
    HostLine(const HostLine&) = delete;
    HostLine& operator=(const HostLine&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Whether every byte was written.
    bool write(const std::vector<uint8_t>& bytes);
    // Reads until count bytes have come or the deadline passes; returns what came.
    std::vector<uint8_t> read_exact(std::size_t count, std::chrono::milliseconds deadline);
    // One read() as soon as anything is readable; empty when nothing came in time.
    std::vector<uint8_t> read_burst(std::chrono::milliseconds deadline);
    // Bytes waiting to be read right now.
    std::size_t pending() const;
    // Waits until a read reports the line gone (end of file or an error).
    bool wait_closed(std::chrono::milliseconds deadline);

  private:
    int fd_ = -1;
};

}  // namespace test_support
