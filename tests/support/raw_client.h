#pragma once
// A plain TCP connection to a local port, for web clients that misbehave:
// ones that dribble, never read, or send what no well-made client would.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace test_support {

class RawClient {
  public:
    // receive_buffer, when set, is the socket's receive buffer in bytes (a
    // client that stops reading then holds little).
    explicit RawClient(int port, int receive_buffer = 0);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    // Sends what fits without waiting; whether anything went.
    bool send_some(std::string_view text) const;
    // Sends all of it, waiting as needed; false once the server has closed.
    bool send_all(std::string_view text) const;
    // Reads until the server ends the connection (end of stream or reset)
    // or the deadline passes; whether it ended it. What came is appended to
    // received, up to its first 64 KB.
    bool wait_closed(std::chrono::steady_clock::time_point deadline,
                     std::string* received = nullptr) const;
    // Reads until text has come count times in all received (or the
    // connection ended, or the deadline passed); whether it came.
    bool wait_for(std::string_view text, std::chrono::steady_clock::time_point deadline,
                  std::string& received, size_t count = 1) const;

  private:
    int fd_ = -1;
};

// How many times part occurs in text, overlaps counted.
size_t occurrences(std::string_view text, std::string_view part);

// Raises this process's soft limit on open descriptors to at least count,
// as far as the hard limit allows.
void allow_descriptors(std::size_t count);

}  // namespace test_support
