#pragma once
// A program run as a child process with its standard streams on pipes, for
// end-to-end tests. The child is killed and reaped when the object goes.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

class ChildProcess {
  public:
    // Starts program with args; its standard input is a pipe, or a
    // pseudo-terminal when terminal_input is set.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 bool terminal_input = false);
    // All three streams on one pseudo-terminal of 200 by 24, which becomes the
    // child's controlling terminal (Ctrl-C written to it signals the child);
    // output() is what the terminal shows, errors() stays empty. env holds
    // NAME=value entries added to the child's environment.
    struct OnTerminal {
        std::vector<std::string> env;
    };
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const OnTerminal& terminal);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    void write(const std::string& text);
    void close_input();

    // Reads until stdout holds text (searching from offset `from`) or the
    // deadline passes. Returns whether it was found.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds deadline,
                         std::size_t from = 0);
    // Waits for the exit and reads both streams to their end. Returns the
    // exit code, or nothing when the child did not exit in time or died by
    // a signal.
    std::optional<int> wait_exit(std::chrono::milliseconds deadline);

    const std::string& output() const { return out_; }
    const std::string& errors() const { return err_; }

  private:
    // Moves whatever the pipes hold into out_ and err_, waiting at most ms.
    void pump(int timeout_ms);

    pid_t pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
};

}  // namespace test_support
