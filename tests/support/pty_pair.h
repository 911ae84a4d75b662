#pragma once
// A pseudo-terminal pair for the serial tests: the slave is the port that a
// SerialPort opens, the master plays the board. Both ends close when the
// object goes (or the master earlier, to hang up).

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    int master() const { return master_; }
    // Held open by the pair, so the terminal outlives a SerialPort's close
    // and the tests can inspect its settings and its receive queue.
    int slave() const { return slave_; }
    const std::string& slave_path() const { return slave_path_; }

    // Hangs up: the slave then reads as a vanished device does.
    void close_master();

    // Writes all bytes to the master, i.e. sends them to the port.
    bool send(const std::vector<uint8_t>& bytes) const;
    // Reads from the master until count bytes came or the deadline passed.
    std::vector<uint8_t> receive(std::size_t count, std::chrono::milliseconds deadline) const;
    // Waits until the port's receive queue holds exactly count bytes.
    bool wait_queued(int count, std::chrono::milliseconds deadline) const;

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

}  // namespace test_support
