#pragma once
// A program run as a child process with its standard streams on pipes, for
// end-to-end tests. The child is killed and reaped when the object goes.

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

class ChildProcess {
  public:
    // Starts program with args, its standard streams on pipes.
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
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
    // The same on standard error.
    bool wait_for_errors(const std::string& text, std::chrono::milliseconds deadline);
    void send_signal(int signo);
    // OnTerminal: the terminal's settings now (also after the child ended).
    std::optional<termios> terminal_settings() const;
    // Waits for the exit and reads both streams to their end. Returns the
    // exit code, or nothing when the child did not exit in time or died by
    // a signal.
    std::optional<int> wait_exit(std::chrono::milliseconds deadline);

    const std::string& output() const { return out_; }
    const std::string& errors() const { return err_; }

  private:
    bool wait_for(const std::string& text, const std::string& in,
                  std::chrono::milliseconds deadline, std::size_t from);
    // Moves whatever the pipes hold into out_ and err_, waiting at most ms.
    void pump(int timeout_ms);

    pid_t pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
};

// A TCP port on the loopback address that nothing holds now: tessaro's web
// front end serves there instead of on 8088, beside every other test.
int free_port();

// Runs action in a forked child as the unprivileged user 65534 (root
// ignores permissions and exclusive mode) and hands back the text it
// returned. no_user when the child could not become that user; said is
// empty when it died. A child that takes longer than deadline aborts the
// test program as finish_within does.
struct UnprivilegedRun {
    bool no_user = false;
    std::optional<std::string> said;
};
UnprivilegedRun run_unprivileged(const std::function<std::string()>& action,
                                 std::chrono::milliseconds deadline);

// Runs action on a thread of its own and returns once it has. When it has
// not returned within deadline, says so on standard error and aborts the
// test program: a wait stuck in the code under test fails in seconds, with
// what it was, instead of at ctest's time-out.
void finish_within(std::chrono::milliseconds deadline, const std::string& what,
                   const std::function<void()>& action);

}  // namespace test_support
