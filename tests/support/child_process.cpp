#include "tests/support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <future>

namespace test_support {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The pointers execv takes, into texts that outlive them.
std::vector<char*> c_strings(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        pipe2(err_pipe, O_CLOEXEC) != 0) {
        return;
    }
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv = c_strings(argv_text);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(in_pipe[0], STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    in_fd_ = in_pipe[1];
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    // A child that stops reading must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const OnTerminal& terminal) {
    int master = -1;
    int slave = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 200;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
        return;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv = c_strings(argv_text);
    std::vector<std::string> env = terminal.env;

    pid_ = fork();
    if (pid_ == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
            dup2(slave, fd);
        }
        for (std::string& entry : env) {
            putenv(entry.data());
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ::close(slave);
    in_fd_ = fcntl(master, F_DUPFD_CLOEXEC, 0);
    out_fd_ = master;
    signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
    close_fd(in_fd_);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_fd(out_fd_);
    close_fd(err_fd_);
}

void ChildProcess::write(const std::string& text) {
    std::size_t done = 0;
    while (in_fd_ >= 0 && done < text.size()) {
        const ssize_t n = ::write(in_fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::close_input() {
    close_fd(in_fd_);
}

void ChildProcess::pump(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) {
        return;
    }
    if (poll(fds, 2, timeout_ms) <= 0) {
        return;
    }
    int* fd_of[2] = {&out_fd_, &err_fd_};
    std::string* text_of[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(*fd_of[i], buffer, sizeof buffer);
        if (n > 0) {
            text_of[i]->append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close_fd(*fd_of[i]);
        }
    }
}

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds deadline,
                                   std::size_t from) {
    return wait_for(text, out_, deadline, from);
}

bool ChildProcess::wait_for_errors(const std::string& text, std::chrono::milliseconds deadline) {
    return wait_for(text, err_, deadline, 0);
}

void ChildProcess::send_signal(int signo) {
    if (pid_ > 0) {
        kill(pid_, signo);
    }
}

std::optional<termios> ChildProcess::terminal_settings() const {
    termios settings{};
    if (in_fd_ < 0 || tcgetattr(in_fd_, &settings) != 0) {
        return std::nullopt;
    }
    return settings;
}

bool ChildProcess::wait_for(const std::string& text, const std::string& in,
                            std::chrono::milliseconds deadline, std::size_t from) {
    const auto end = Clock::now() + deadline;
    for (;;) {
        if (in.find(text, from) != std::string::npos) {
            return true;
        }
        if (Clock::now() >= end || (out_fd_ < 0 && err_fd_ < 0)) {
            return false;
        }
        pump(remaining_ms(end));
    }
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while ((out_fd_ >= 0 || err_fd_ >= 0) && Clock::now() < end) {
        pump(remaining_ms(end));
    }
    // The child's end, on a descriptor that becomes readable then.
    int ended = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    pollfd exit_event{ended, POLLIN, 0};
    const bool exited = ended >= 0 && ::poll(&exit_event, 1, remaining_ms(end)) == 1;
    close_fd(ended);
    int status = 0;
    if (!exited || waitpid(pid_, &status, 0) != pid_) {
        return std::nullopt;
    }
    pid_ = -1;
    if (!WIFEXITED(status)) {
        return std::nullopt;
    }
    return WEXITSTATUS(status);
}

int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

UnprivilegedRun run_unprivileged(const std::function<std::string()>& action,
                                 std::chrono::milliseconds deadline) {
    constexpr int kNoUserExit = 3;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(kNoUserExit);
        }
        const std::string text = action();
        _exit(::write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0
                                                                                             : 1);
    }
    ::close(fds[1]);
    std::string text;
    int status = -1;
    finish_within(deadline, "An unprivileged child", [&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        if (child > 0) {
            waitpid(child, &status, 0);
        }
    });
    ::close(fds[0]);
    UnprivilegedRun run;
    run.no_user = WIFEXITED(status) && WEXITSTATUS(status) == kNoUserExit;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        run.said = std::move(text);
    }
    return run;
}

namespace {
// Standard error as the program started with it: a test may have it
// captured into a file when a deadline passes.
const int kFirstStderr = ::dup(STDERR_FILENO);
}  // namespace

void finish_within(std::chrono::milliseconds deadline, const std::string& what,
                   const std::function<void()>& action) {
    auto done = std::async(std::launch::async, action);
    if (done.wait_for(deadline) != std::future_status::ready) {
        dprintf(kFirstStderr >= 0 ? kFirstStderr : STDERR_FILENO,
                "%s did not finish within %lld ms\n", what.c_str(),
                static_cast<long long>(deadline.count()));
        std::abort();
    }
    done.get();
}

}  // namespace test_support
