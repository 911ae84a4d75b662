// quirn-sim: a simulated Quirn board on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/os_error.h"
#include "sim/quirn_board.h"
#include "sim/sim_options.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNoTerminal = 1;
constexpr int kHangupCheckMs = 100;

int signal_pipe[2] = {-1, -1};

void on_signal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

bool install_signal_handlers() {
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
    }
    // Started in the background of an interactive shell, a read of the
    // terminal must fail with EIO instead of stopping the whole process.
    signal(SIGTTIN, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// End of input means "stop" only on a terminal or a pipe: /dev/null (what a
// script's background job gets), a file or a closed descriptor would end the
// simulator before anyone could connect.
bool stdin_is_watchable() {
    struct stat info {};
    if (fstat(STDIN_FILENO, &info) != 0) {
        return false;
    }
    return isatty(STDIN_FILENO) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode);
}

// Points link_path at target, replacing a link already there (left by a
// simulator that did not end cleanly) in one step, so that a host watching
// the name never finds it missing. Anything but a link there is kept.
bool make_link(const std::string& link_path, const std::string& target, std::string& error) {
    struct stat info {};
    if (lstat(link_path.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        error = link_path + " exists and is not a symbolic link";
        return false;
    }
    const std::string temporary = link_path + ".quirn-sim-" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), link_path.c_str()) != 0) {
        error = link_path + ": " + os_error_text(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Removes the link, unless another simulator has taken the name since.
void remove_link(const std::string& link_path, const std::string& target) {
    char pointed[4096];
    const ssize_t n = readlink(link_path.c_str(), pointed, sizeof pointed - 1);
    if (n > 0 && std::string(pointed, static_cast<std::size_t>(n)) == target) {
        ::unlink(link_path.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const quirn_sim::ParsedOptions parsed = quirn_sim::parse_sim_options(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "quirn-sim: %s\n", parsed.error.c_str());
        return kExitUsage;
    }
    const quirn_sim::SimOptions& options = parsed.options;
    if (options.help) {
        std::fputs(quirn_sim::sim_usage().c_str(), stdout);
        return 0;
    }
    if (!install_signal_handlers()) {
        std::perror("quirn-sim: pipe");
        return kExitNoTerminal;
    }

    quirn_sim::PtyBoard board(options.board);
    if (!board.ok()) {
        std::fprintf(stderr, "quirn-sim: no pseudo-terminal: %s\n", board.error().c_str());
        return kExitNoTerminal;
    }
    if (!options.link_path.empty()) {
        std::string error;
        if (!make_link(options.link_path, board.path(), error)) {
            std::fprintf(stderr, "quirn-sim: cannot make the link %s\n", error.c_str());
            return kExitNoTerminal;
        }
    }
    std::printf(
        "Simulated Quirn board (%s) on %s\n",
        quirn_sim::board_description(options.board.maker_id, options.board.board_id).c_str(),
        board.path().c_str());
    if (!options.link_path.empty()) {
        std::printf("Linked at %s\n", options.link_path.c_str());
    }
    std::fflush(stdout);

    bool watch_stdin = options.watch_stdin && stdin_is_watchable();
    for (;;) {
        pollfd fds[2] = {{signal_pipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int ready = poll(fds, watch_stdin ? 2 : 1, kHangupCheckMs);
        if (ready > 0 && fds[0].revents != 0) {
            break;
        }
        if (ready > 0 && watch_stdin && fds[1].revents != 0) {
            char buffer[256];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n == 0) {
                break;
            }
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                watch_stdin = false;  // e.g. EIO on a terminal we run behind
            }
        }
        if (board.hung_up()) {
            std::fprintf(stderr, "quirn-sim: hung up after %u requests as asked\n",
                         options.board.faults.hangup_after);
            break;
        }
    }
    if (!options.link_path.empty()) {
        remove_link(options.link_path, board.path());
    }
    return 0;
}
