// Soak: tessaro as a process, connected to quirn-sim at real 19200-baud
// pacing, takes mixed GPIO API requests from 8 clients while a console
// thread types words on its standard input. Every client owns its pins
// (0-55, seven each), the console owns 56-63, so the value every read must
// give is known: a digital or analog read of an output gives what its owner
// wrote last; of an input, the simulated board's own analog signal, which
// a BoardModel per pin replays here. A 200 (or a console value line) that
// carries any other value is a wrong value, and there must be none, with
// or without faults on the line. The check is exact: a write or a
// configuration that failed is made again until the board confirms it (at
// most kRedoLimit times), and after a confirmed one no value from before
// it is allowed; only when every try failed does the pin hold either. Errors are counted by kind,
// and the memory, descriptors and threads of the tessaro process are taken at the start, after the
// warm-up, at the peak and at the end.
//
// Usage: soak_bench [requests] [quirn-sim options ...]   (default 10000)
//   soak_bench 50000                        the whole soak, about four minutes
//   soak_bench 1000 --split-gap 20          shifted replies: errors, no wrong value
//   soak_bench 60 --delay 2100
// Run it where port 8088 is free (unshare -n bash -c 'ip link set lo up; ...').

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench/bench_stats.h"
#include "bench/process_usage.h"
#include "sim/quirn_board.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kClients = 8;
constexpr int kPinsPerClient = 7;
constexpr uint8_t kFirstConsolePin = kClients * kPinsPerClient;  // 56 to 63
constexpr int kHttpPort = 8088;
constexpr auto kStartWait = std::chrono::seconds(20);
// Long enough for a request queued behind every other party on a board
// that answers each one late (9 parties of 2.1 s).
constexpr int kReadTimeoutSeconds = 60;
constexpr auto kMarkerWait = std::chrono::seconds(90);
constexpr auto kExitWait = std::chrono::seconds(10);
constexpr auto kSettleWait = std::chrono::seconds(5);

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---------------------------------------------------------------- the pins

enum class Op { kConfigInput, kConfigOutput, kWrite0, kWrite1, kRead, kReadAnalog };

// What one pin may hold, as far as its one owner can know. A request that
// failed may or may not have reached the board, so each fact is a set of
// possibilities that a checked answer narrows again.
class PinModel {
  public:
    explicit PinModel(uint8_t pin) : pin_(pin) {}

    uint8_t pin() const { return pin_; }

    // Whether the board could have given value for op.
    bool possible(Op op, uint32_t value) {
        const uint32_t high = op == Op::kReadAnalog ? quirn_sim::kAnalogMax : 1;
        if (may_output_ && ((value == 0 && may_low_) || (value == high && may_high_))) {
            return true;
        }
        return may_input_ && std::any_of(reads_.begin(), reads_.end(),
                                         [&](uint32_t k) { return input_value(op, k) == value; });
    }

    // value: the checked answer; nothing when the request failed.
    void record(Op op, std::optional<uint32_t> value) {
        const bool answered = value.has_value();
        switch (op) {
            case Op::kConfigInput:
            case Op::kConfigOutput: {
                const bool output = op == Op::kConfigOutput;
                may_output_ = output || (!answered && may_output_);
                may_input_ = !output || (!answered && may_input_);
                break;
            }
            case Op::kWrite0:
            case Op::kWrite1: {
                const bool high = op == Op::kWrite1;
                may_high_ = high || (!answered && may_high_);
                may_low_ = !high || (!answered && may_low_);
                break;
            }
            case Op::kRead:
            case Op::kReadAnalog: {
                std::set<uint32_t> next;
                const uint32_t top = op == Op::kReadAnalog ? quirn_sim::kAnalogMax : 1;
                const bool output_fits =
                    answered && may_output_ &&
                    ((*value == 0 && may_low_) || (*value == top && may_high_));
                for (uint32_t k : reads_) {
                    const bool fits =
                        !answered || output_fits || (may_input_ && input_value(op, k) == *value);
                    if (!fits) {
                        continue;
                    }
                    // The board counts every analog read it answers.
                    if (op == Op::kReadAnalog) {
                        next.insert(k + 1);
                        if (!answered) {
                            next.insert(k);
                        }
                    } else {
                        next.insert(k);
                    }
                }
                if (!next.empty()) {
                    reads_ = std::move(next);
                }
                break;
            }
        }
    }

  private:
    // An input's value after k analog reads of it, as the simulated board gives it.
    uint32_t input_value(Op op, uint32_t k) {
        while (wave_.size() <= k) {
            wave_.push_back(oracle_.analog_value(pin_));
            const uint8_t frame[] = {quirn_sim::REQ_GPIO_READ_ANALOG,
                                     static_cast<uint8_t>(0x80 | pin_), quirn_sim::FRAME_END};
            oracle_.feed(frame);
        }
        const uint16_t analog = wave_[k];
        return op == Op::kReadAnalog ? analog : (analog > quirn_sim::kAnalogMax / 2 ? 1 : 0);
    }

    uint8_t pin_;
    bool may_input_ = true;  // the board starts with every pin an input, latch low
    bool may_output_ = false;
    bool may_low_ = true;
    bool may_high_ = false;
    std::set<uint32_t> reads_{0};  // how many analog reads of it the board may have answered
    quirn_sim::BoardModel oracle_;
    std::vector<uint16_t> wave_;
};

// ---------------------------------------------------------------- tallies

struct Tally {
    uint64_t requests = 0;
    uint64_t right = 0;              // 200 with the right value, or the expected refusal
    uint64_t wrong = 0;              // 200 with a value (or body) that is not the right one
    std::map<int, uint64_t> errors;  // status of a failed request
    std::map<std::string, uint64_t> failures;  // no answer at all: httplib's reason
    std::vector<std::string> wrong_examples;
    std::vector<double> times_ms;

    void add(const Tally& other) {
        requests += other.requests;
        right += other.right;
        wrong += other.wrong;
        for (const auto& [status, count] : other.errors) {
            errors[status] += count;
        }
        for (const auto& [reason, count] : other.failures) {
            failures[reason] += count;
        }
        for (const std::string& example : other.wrong_examples) {
            if (wrong_examples.size() < 5) {
                wrong_examples.push_back(example);
            }
        }
        times_ms.insert(times_ms.end(), other.times_ms.begin(), other.times_ms.end());
    }
};

struct ConsoleTally {
    uint64_t words = 0;
    uint64_t values_checked = 0;  // read words whose value line was checked
    uint64_t wrong = 0;
    uint64_t failed = 0;  // pin words without their success or value line
    std::vector<std::string> wrong_examples;
    bool stuck = false;  // a word's output did not end in time
};

// ---------------------------------------------------------------- processes

struct Child {
    pid_t pid = -1;
    int in = -1;                     // its standard input, when a pipe
    int out = -1;                    // its standard output
    int err = -1;                    // its standard error, when a pipe
    std::optional<int> exit_status;  // once reaped
};

// Starts argv[0] with its standard input (when pipe_input) and output on
// pipes, its standard error on a pipe too when pipe_errors.
Child spawn(const std::vector<std::string>& args, bool pipe_input, bool pipe_errors) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if ((pipe_input && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 ||
        (pipe_errors && pipe2(err, O_CLOEXEC) != 0)) {
        return {};
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(pipe_input ? in[0] : null_fd, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        if (pipe_errors) {
            dup2(err[1], STDERR_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    Child child;
    child.pid = pid;
    if (pipe_input) {
        close(in[0]);
        child.in = in[1];
    }
    close(out[1]);
    child.out = out[0];
    if (pipe_errors) {
        close(err[1]);
        child.err = err[0];
    }
    return child;
}

// The exit status, or nothing when it has not exited within deadline.
std::optional<int> wait_exit(Child& child, std::chrono::milliseconds deadline) {
    const auto give_up = Clock::now() + deadline;
    while (!child.exit_status) {
        int status = 0;
        if (waitpid(child.pid, &status, WNOHANG) == child.pid) {
            child.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= give_up) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return child.exit_status;
}

// One line from fd, without its end; nothing at the end of the stream or the deadline.
std::optional<std::string> read_line(int fd, std::chrono::milliseconds deadline) {
    std::string line;
    const auto give_up = Clock::now() + deadline;
    char c = 0;
    while (Clock::now() < give_up) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        if (read(fd, &c, 1) != 1) {
            return std::nullopt;
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- tessaro's output

// Reads tessaro's standard output: keeps the lines about the console's
// pins and counts the console's error lines. Prompts come from every
// transaction, the web's too, so the end of a console word's output is
// marked by the word after it: a read of pin 1000 + n, refused with a line
// that names the pin, at no cost to the board.
class Output {
  public:
    explicit Output(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~Output() { thread_.join(); }  // after tessaro has ended

    bool wait_for_server(std::chrono::milliseconds deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return server_up_ || ended_; }) &&
               server_up_;
    }
    // Waits for the marker line of pin `marker`, then hands over the pin
    // lines that came before it. False when it did not come in time.
    bool wait_for_marker(uint64_t marker, std::chrono::milliseconds deadline,
                         std::vector<std::pair<int, std::string>>& pin_lines) {
        std::unique_lock lock(mutex_);
        const bool came = changed_.wait_for(lock, deadline, [&] {
            return marker_ >= marker || ended_;
        }) && marker_ >= marker;
        pin_lines.swap(pin_lines_);
        pin_lines_.clear();
        return came;
    }
    uint64_t transmission_errors() {
        std::lock_guard lock(mutex_);
        return transmission_errors_;
    }
    uint64_t length_errors() {
        std::lock_guard lock(mutex_);
        return length_errors_;
    }
    uint64_t no_decode() {
        std::lock_guard lock(mutex_);
        return no_decode_;
    }

  private:
    void run() {
        static const std::string kPromptEnd = "] > ";
        static const std::regex kPinLine(R"(Pin (\d+) (.*))");
        static const std::regex kMarker(R"(Pin number out of range: (\d+) .*)");
        std::string pending;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, static_cast<size_t>(n));
            std::lock_guard lock(mutex_);
            while (true) {
                const size_t line_end = pending.find('\n');
                const size_t prompt_end = pending.find(kPromptEnd);
                if (prompt_end != std::string::npos && prompt_end < line_end) {
                    pending.erase(0, prompt_end + kPromptEnd.size());
                    continue;
                }
                if (line_end == std::string::npos) {
                    break;
                }
                const std::string line = pending.substr(0, line_end);
                pending.erase(0, line_end + 1);
                std::smatch match;
                if (line.find("Server running on http://") != std::string::npos) {
                    server_up_ = true;
                } else if (line.starts_with("Error on transmission")) {
                    ++transmission_errors_;
                } else if (line.starts_with("Error response length")) {
                    ++length_errors_;
                } else if (line.starts_with("Not able to decode.")) {
                    ++no_decode_;
                } else if (std::regex_match(line, match, kMarker)) {
                    marker_ = std::stoull(match[1]);
                } else if (std::regex_match(line, match, kPinLine) &&
                           std::stoi(match[1]) >= kFirstConsolePin) {
                    pin_lines_.emplace_back(std::stoi(match[1]), match[2]);
                }
            }
            changed_.notify_all();
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    int fd_;
    // Guards everything below.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool server_up_ = false;
    bool ended_ = false;
    uint64_t marker_ = 0;
    uint64_t transmission_errors_ = 0;
    uint64_t length_errors_ = 0;
    uint64_t no_decode_ = 0;  // from console words and API requests alike
    std::vector<std::pair<int, std::string>> pin_lines_;
    std::thread thread_;  // last: starts once the rest is built
};

// Tessaro's standard error, each distinct line (numbers as N) counted.
class ErrorLines {
  public:
    explicit ErrorLines(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~ErrorLines() { thread_.join(); }
    std::map<std::string, uint64_t> kinds() {
        std::lock_guard lock(mutex_);
        return kinds_;
    }

  private:
    void run() {
        static const std::regex kNumber("[0-9]+");
        std::string pending;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end = pending.find('\n'); end != std::string::npos;
                 end = pending.find('\n')) {
                const std::string kind = std::regex_replace(pending.substr(0, end), kNumber, "N");
                pending.erase(0, end + 1);
                std::lock_guard lock(mutex_);
                ++kinds_[kind];
            }
        }
    }

    int fd_;
    std::mutex mutex_;  // guards kinds_
    std::map<std::string, uint64_t> kinds_;
    std::thread thread_;
};

// ---------------------------------------------------------------- the clients

const char* op_name(Op op) {
    switch (op) {
        case Op::kConfigInput:
            return "config input";
        case Op::kConfigOutput:
            return "config output";
        case Op::kWrite0:
            return "write 0";
        case Op::kWrite1:
            return "write 1";
        case Op::kRead:
            return "digital read";
        case Op::kReadAnalog:
            return "analog read";
    }
    return "?";
}

// Picks an operation: reads 30%, analog reads 20%, writes 30%, configs 15%,
// and 5% a request for a pin that does not exist (-1 here), refused with 400.
int pick(std::mt19937& random) {
    const int roll = static_cast<int>(random() % 100);
    if (roll < 30) {
        return static_cast<int>(Op::kRead);
    }
    if (roll < 50) {
        return static_cast<int>(Op::kReadAnalog);
    }
    if (roll < 80) {
        return static_cast<int>(random() % 2 ? Op::kWrite1 : Op::kWrite0);
    }
    if (roll < 95) {
        return static_cast<int>(random() % 2 ? Op::kConfigOutput : Op::kConfigInput);
    }
    return -1;
}

// How often a failed write or configuration is made again before the pin
// is taken to hold either value.
constexpr int kRedoLimit = 8;

bool changes_the_pin(Op op) {
    return op != Op::kRead && op != Op::kReadAnalog;
}

// The next operation of one owner: a change that failed, again, or a new pick.
struct Redo {
    std::optional<std::pair<size_t, int>> pending;  // pin index, choice
    int tries = 0;
    // Sets index and choice to what comes next.
    void next(std::mt19937& random, size_t pins, size_t& index, int& choice) {
        if (pending && tries < kRedoLimit) {
            ++tries;
            std::tie(index, choice) = *pending;
            return;
        }
        pending.reset();
        tries = 0;
        choice = pick(random);
        index = random() % pins;
    }
    void after(size_t index, int choice, bool confirmed) {
        if (choice >= 0 && changes_the_pin(static_cast<Op>(choice)) && !confirmed) {
            if (!pending) {
                pending = {index, choice};
            }
        } else if (pending && pending->first == index) {
            pending.reset();
            tries = 0;
        }
    }
};

struct Shared {
    std::atomic<uint64_t> done{0};
    std::atomic<bool> clients_done{false};
};

// One API client: `count` requests about its own pins, one at a time.
Tally run_client(int index, int count, Shared& shared, std::vector<PinModel>& pins) {
    Tally tally;
    tally.times_ms.reserve(static_cast<size_t>(count));
    std::mt19937 random(static_cast<uint32_t>(1000 + index));
    httplib::Client client("localhost", kHttpPort);
    client.set_keep_alive(true);
    client.set_connection_timeout(10, 0);
    client.set_read_timeout(kReadTimeoutSeconds, 0);
    client.set_write_timeout(10, 0);
    Redo redo;
    size_t at = 0;  // the pin's place in pins
    int choice = 0;
    std::optional<uint32_t> value;
    for (int i = 0; i < count; ++i, redo.after(at, choice, value.has_value())) {
        value.reset();
        redo.next(random, pins.size(), at, choice);
        PinModel& model = pins[at];
        const std::string pin = std::to_string(model.pin());
        const auto sent = Clock::now();
        const httplib::Result result = [&] {
            if (choice < 0) {
                return client.Get("/api/gpio/grd/" + std::to_string(64 + random() % 100));
            }
            switch (static_cast<Op>(choice)) {
                case Op::kRead:
                    return client.Get("/api/gpio/grd/" + pin);
                case Op::kReadAnalog:
                    return client.Get("/api/gpio/gra/" + pin);
                case Op::kWrite0:
                case Op::kWrite1: {
                    const bool high = static_cast<Op>(choice) == Op::kWrite1;
                    // Booleans and numbers alike.
                    const std::string written =
                        random() % 2 ? (high ? "true" : "false") : (high ? "1" : "0");
                    return client.Post("/api/gpio/gwd/" + pin, R"({"value":)" + written + "}",
                                       "application/json");
                }
                case Op::kConfigInput:
                case Op::kConfigOutput:
                    break;
            }
            return client.Post("/api/gpio/config/" + pin,
                               static_cast<Op>(choice) == Op::kConfigOutput ? R"({"mode":"output"})"
                                                                            : R"({"mode":"input"})",
                               "application/json");
        }();
        tally.times_ms.push_back(ms_since(sent));
        ++tally.requests;
        ++shared.done;
        if (!result) {
            ++tally.failures[httplib::to_string(result.error())];
            if (choice >= 0) {
                model.record(static_cast<Op>(choice), std::nullopt);
            }
            continue;
        }
        const int status = result->status;
        const std::string& body = result->body;
        const auto wrong = [&](const std::string& what) {
            ++tally.wrong;
            if (tally.wrong_examples.size() < 5) {
                tally.wrong_examples.push_back(what + ": " + std::to_string(status) + " " + body);
            }
        };
        if (choice < 0) {
            if (status == 400 && body == R"({"error":"Invalid pin"})") {
                ++tally.right;
            } else if (status == 200) {
                wrong("read of a pin that does not exist");
            } else {
                ++tally.errors[status];
            }
            continue;
        }
        const Op op = static_cast<Op>(choice);
        if (status != 200) {
            ++tally.errors[status];
            model.record(op, std::nullopt);
            continue;
        }
        if (op == Op::kRead || op == Op::kReadAnalog) {
            const json answer = json::parse(body, nullptr, false);
            if (answer.is_object() && answer.value("pin", -1) == model.pin() &&
                answer.contains("value") && answer["value"].is_number_unsigned() &&
                model.possible(op, answer["value"].get<uint32_t>())) {
                value = answer["value"].get<uint32_t>();
            }
        } else if (body == R"({"status":"ok"})") {
            value = 0;
        }
        if (value) {
            ++tally.right;
        } else {
            wrong(std::string(op_name(op)) + " of pin " + pin);
        }
        // (GCC 12 takes a copy of the optional for one that may hold garbage.)
        model.record(op, value ? std::optional<uint32_t>(*value) : std::nullopt);
    }
    return tally;
}

// The console: words about pins 56 to 63 and the board, typed one after
// another, each as soon as the previous one's output has ended.
ConsoleTally run_console(Child& tessaro, Output& output, Shared& shared) {
    ConsoleTally tally;
    std::vector<PinModel> pins;
    for (uint8_t pin = kFirstConsolePin; pin < quirn_sim::kPinCount; ++pin) {
        pins.emplace_back(pin);
    }
    std::mt19937 random(77);
    uint64_t marker = 1000;
    Redo redo;
    while (!shared.clients_done.load()) {
        const bool again = redo.pending && redo.tries < kRedoLimit;
        const int roll = again ? 100 : static_cast<int>(random() % 100);
        size_t index = 0;
        int choice = 0;
        if (roll < 25) {
            index = random() % pins.size();
        } else {
            redo.next(random, pins.size(), index, choice);
        }
        PinModel& model = pins[index];
        const std::string g = "g" + std::to_string(model.pin());
        std::optional<Op> op;
        std::string word;
        if (roll < 15) {
            word = "sta";
        } else if (roll < 25) {
            word = "sys";
        } else {
            op = choice < 0 ? Op::kRead : static_cast<Op>(choice);
            switch (*op) {
                case Op::kConfigInput:
                    word = g + "ci";
                    break;
                case Op::kConfigOutput:
                    word = g + "co";
                    break;
                case Op::kWrite0:
                    word = g + "wd0";
                    break;
                case Op::kWrite1:
                    word = g + "wd1";
                    break;
                case Op::kRead:
                    word = g + "rd";
                    break;
                case Op::kReadAnalog:
                    word = g + "ra";
                    break;
            }
        }
        ++marker;
        const std::string line = word + "\ng" + std::to_string(marker) + "rd\n";
        if (write(tessaro.in, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            tally.stuck = true;
            break;
        }
        ++tally.words;
        std::vector<std::pair<int, std::string>> pin_lines;
        if (!output.wait_for_marker(marker, kMarkerWait, pin_lines)) {
            tally.stuck = true;
            break;
        }
        if (!op) {
            continue;
        }
        // The line this word printed about its pin, if any.
        std::optional<std::string> said;
        for (const auto& [pin, rest] : pin_lines) {
            if (pin == model.pin()) {
                said = rest;
            }
        }
        std::optional<uint32_t> value;
        if (said) {
            static const std::regex kValue(R"(value: (\d+))");
            std::smatch match;
            if (*op == Op::kRead || *op == Op::kReadAnalog) {
                if (std::regex_match(*said, match, kValue)) {
                    ++tally.values_checked;
                    const auto number = static_cast<uint32_t>(std::stoul(match[1]));
                    if (model.possible(*op, number)) {
                        value = number;
                    } else {
                        ++tally.wrong;
                        if (tally.wrong_examples.size() < 5) {
                            tally.wrong_examples.push_back(
                                word + ": Pin " + std::to_string(model.pin()) + " " + *said);
                        }
                    }
                }
            } else if (said->starts_with("set as Digital") || said->ends_with("written on port.")) {
                value = 0;
            }
        }
        if (!value) {
            ++tally.failed;
        }
        model.record(*op, value);
        redo.after(index, static_cast<int>(*op), value.has_value());
    }
    return tally;
}

void print_usage_row(const char* name, const Usage& start, const Usage& warm, const Usage& peak,
                     const Usage& end, long Usage::*field) {
    std::printf("  %-16s %9ld %12ld %9ld %9ld   %+ld since warm-up\n", name, start.*field,
                warm.*field, peak.*field, end.*field, end.*field - warm.*field);
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::max(kClients, std::atoi(argv[1])) : 10000;
    std::vector<std::string> sim_options(argv + std::min(argc, 2), argv + argc);
    signal(SIGPIPE, SIG_IGN);

    std::string sim_args = "--pace";
    std::vector<std::string> sim_command = {QUIRN_SIM_BINARY, "--pace", "--no-stdin"};
    for (const std::string& option : sim_options) {
        sim_command.push_back(option);
        sim_args += " " + option;
    }
    Child sim = spawn(sim_command, false, false);
    const std::optional<std::string> banner =
        sim.pid > 0 ? read_line(sim.out, kStartWait) : std::nullopt;
    const size_t on = banner ? banner->rfind(" on ") : std::string::npos;
    if (on == std::string::npos) {
        std::fprintf(stderr, "soak_bench: quirn-sim did not start (%s)\n", sim_args.c_str());
        if (sim.pid > 0) {
            kill(sim.pid, SIGKILL);
            wait_exit(sim, kExitWait);
        }
        return 1;
    }
    const std::string board_path = banner->substr(on + 4);

    Child tessaro = spawn({TESSARO_BINARY, board_path}, true, true);
    if (tessaro.pid <= 0) {
        std::fprintf(stderr, "soak_bench: tessaro did not start\n");
        kill(sim.pid, SIGKILL);
        wait_exit(sim, kExitWait);
        return 1;
    }
    Output output(tessaro.out);
    ErrorLines error_lines(tessaro.err);
    const auto stop_children = [&] {
        if (tessaro.in >= 0) {
            close(tessaro.in);
            tessaro.in = -1;
        }
        if (!wait_exit(tessaro, kExitWait)) {
            kill(tessaro.pid, SIGKILL);
            wait_exit(tessaro, kExitWait);
        }
        kill(sim.pid, SIGTERM);
        if (!wait_exit(sim, kExitWait)) {
            kill(sim.pid, SIGKILL);
            wait_exit(sim, kExitWait);
        }
    };
    if (!output.wait_for_server(kStartWait)) {
        std::fprintf(stderr, "soak_bench: tessaro's web server did not start (is 8088 free?)\n");
        stop_children();
        return 1;
    }

    Shared shared;
    const Usage start = usage_of(tessaro.pid);
    const auto warm_up =
        std::min<uint64_t>(static_cast<uint64_t>(requests) / 4, std::max(200, requests / 50));
    Usage warm;
    Usage peak;
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        bool warmed = false;
        const auto begin = Clock::now();
        auto next_report = begin + std::chrono::seconds(30);
        while (sampling.load()) {
            const Usage now = usage_of(tessaro.pid);
            peak.rss_kb = std::max(peak.rss_kb, now.rss_kb);
            peak.peak_rss_kb = std::max(peak.peak_rss_kb, now.peak_rss_kb);
            peak.threads = std::max(peak.threads, now.threads);
            peak.descriptors = std::max(peak.descriptors, now.descriptors);
            if (!warmed && shared.done.load() >= warm_up) {
                warm = now;
                warmed = true;
            }
            if (Clock::now() >= next_report) {
                std::printf("  %4.0f s: %llu requests, RSS %ld kB\n", ms_since(begin) / 1000,
                            static_cast<unsigned long long>(shared.done.load()), now.rss_kb);
                std::fflush(stdout);
                next_report += std::chrono::seconds(30);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });

    std::vector<std::vector<PinModel>> pins(kClients);
    for (int c = 0; c < kClients; ++c) {
        for (int p = 0; p < kPinsPerClient; ++p) {
            pins[c].emplace_back(static_cast<uint8_t>(c * kPinsPerClient + p));
        }
    }
    const auto began = Clock::now();
    ConsoleTally console;
    std::thread console_thread([&] { console = run_console(tessaro, output, shared); });
    std::vector<Tally> tallies(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        const int count = requests / kClients + (c < requests % kClients ? 1 : 0);
        clients.emplace_back([&, c, count] { tallies[c] = run_client(c, count, shared, pins[c]); });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    const double seconds = ms_since(began) / 1000;
    shared.clients_done = true;
    console_thread.join();

    // The clients' connections are closed: wait for tessaro to close its ends.
    const auto settle_until = Clock::now() + kSettleWait;
    Usage end = usage_of(tessaro.pid);
    while (end.descriptors > start.descriptors && Clock::now() < settle_until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        end = usage_of(tessaro.pid);
    }
    sampling = false;
    sampler.join();
    if (warm.threads == 0) {  // a run too short for the sampler to see the warm-up pass
        warm = end;
    }
    peak.rss_kb = std::max(peak.rss_kb, end.rss_kb);
    peak.threads = std::max(peak.threads, end.threads);
    peak.descriptors = std::max(peak.descriptors, end.descriptors);

    const uint64_t transmission_errors = output.transmission_errors();
    const uint64_t length_errors = output.length_errors();
    const uint64_t no_decode = output.no_decode();
    const auto quit_began = Clock::now();
    close(tessaro.in);
    tessaro.in = -1;
    const std::optional<int> exit_status = wait_exit(tessaro, kExitWait);
    const double quit_ms = ms_since(quit_began);
    stop_children();

    Tally api;
    for (const Tally& tally : tallies) {
        api.add(tally);
    }
    std::sort(api.times_ms.begin(), api.times_ms.end());

    std::printf("soak_bench: %d API requests from %d clients plus console words; quirn-sim %s\n",
                requests, kClients, sim_args.c_str());
    std::printf(
        "  %.1f s, %.1f requests/s; latency median %.2f ms, 99th percentile %.2f ms, "
        "max %.1f ms\n",
        seconds, static_cast<double>(api.requests) / seconds, percentile(api.times_ms, 0.5),
        percentile(api.times_ms, 0.99), api.times_ms.back());
    std::printf(
        "  API: %llu right (200 with the right value, or 400 for a pin that does not "
        "exist), %llu WRONG VALUES\n",
        static_cast<unsigned long long>(api.right), static_cast<unsigned long long>(api.wrong));
    for (const std::string& example : api.wrong_examples) {
        std::printf("    wrong: %s\n", example.c_str());
    }
    std::printf("  API errors:");
    if (api.errors.empty() && api.failures.empty()) {
        std::printf(" none");
    }
    for (const auto& [status, count] : api.errors) {
        std::printf(" %d: %llu;", status, static_cast<unsigned long long>(count));
    }
    for (const auto& [reason, count] : api.failures) {
        std::printf(" %s: %llu;", reason.c_str(), static_cast<unsigned long long>(count));
    }
    std::printf("\n");
    std::printf(
        "  console: %llu words, %llu read values checked, %llu WRONG VALUES, %llu pin "
        "words without their line%s\n",
        static_cast<unsigned long long>(console.words),
        static_cast<unsigned long long>(console.values_checked),
        static_cast<unsigned long long>(console.wrong),
        static_cast<unsigned long long>(console.failed),
        console.stuck ? "; STUCK: a word's output did not end" : "");
    for (const std::string& example : console.wrong_examples) {
        std::printf("    wrong: %s\n", example.c_str());
    }
    std::printf(
        "  console lines: %llu transmission errors, %llu length errors; "
        "\"Not able to decode.\" %llu (console and API)\n",
        static_cast<unsigned long long>(transmission_errors),
        static_cast<unsigned long long>(length_errors), static_cast<unsigned long long>(no_decode));
    for (const auto& [kind, count] : error_lines.kinds()) {
        std::printf("  standard error: %llu x \"%s\"\n", static_cast<unsigned long long>(count),
                    kind.c_str());
    }
    std::printf("  tessaro process     at start  after %llu  peak      end\n",
                static_cast<unsigned long long>(warm_up));
    print_usage_row("RSS kB", start, warm, peak, end, &Usage::rss_kb);
    std::printf("  %-16s %9d %12d %9d %9d   %+d since warm-up\n", "descriptors", start.descriptors,
                warm.descriptors, peak.descriptors, end.descriptors,
                end.descriptors - warm.descriptors);
    std::printf("  %-16s %9d %12d %9d %9d   %+d since warm-up\n", "threads", start.threads,
                warm.threads, peak.threads, end.threads, end.threads - warm.threads);
    if (exit_status) {
        std::printf("  end of input: tessaro ended in %.0f ms with status %d\n", quit_ms,
                    *exit_status);
    } else {
        std::printf("  end of input: tessaro did not end within %.0f ms\n", quit_ms);
    }
    return api.wrong == 0 && console.wrong == 0 && !console.stuck && exit_status == 0 ? 0 : 1;
}
