#include "protocol/server_commands.h"

#include <array>
#include <chrono>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "base/console_output.h"
#include "base/state.h"
#include "protocol/quirn_transcoder.h"
#include "serial/class_serial.h"

namespace {

struct ServerWord {
    std::string_view short_word;
    std::string_view long_word;
    std::string_view announcement;
    uint8_t first_code;
    uint8_t second_code;  // 0 for the words that send one request
};

constexpr std::array<ServerWord, 9> kServerWords{{
    {"sta", "status", "quirn: Status", REQ_STATUS, 0},
    {"rust", "runust", "quirn: Run U-ST User scheduled tasks", REQ_RUN_UST, 0},
    {"sust", "stopust", "quirn: Stop U-ST User scheduled tasks", REQ_STOP_UST, 0},
    {"clr", "clear", "quirn: Clear Fault and Warning words", REQ_CLEAR, 0},
    {"sys", "systat", "quirn: Server systat readback and reset", REQ_SYSTAT, 0},
    {"rkst", "runkst", "quirn: Run K-ST Kernel scheduled tasks", REQ_RUN_KST, 0},
    {"skst", "stopkst", "quirn: Stop K-ST Kernel scheduled tasks", REQ_STOP_KST, 0},
    // Both requests go out first, whatever the first brought back, then the
    // announcement; success needs both confirmed.
    {"run", "run", "quirn: Run U-ST User + Kernel scheduled tasks", REQ_RUN_UST, REQ_RUN_KST},
    {"stop", "stop", "quirn: Stop U-ST User + Kernel scheduled tasks", REQ_STOP_UST, REQ_STOP_KST},
}};

constexpr std::array<uint8_t, 7> kSingleByteCodes{REQ_STATUS, REQ_RUN_UST, REQ_STOP_UST, REQ_CLEAR,
                                                  REQ_SYSTAT, REQ_RUN_KST, REQ_STOP_KST};

// Guards the order of requests on the port: held by one command from its
// announcement to its last reply, so the console's run/stop and the web
// workers' GPIO requests never interleave. The port's own transaction lock
// still makes each single write-and-read exclusive underneath.
std::timed_mutex command_mutex;
// How often a command waiting for its turn asks whether it is still wanted.
constexpr auto kTurnCheck = std::chrono::milliseconds(10);

bool session_usable() {
    return connected.load() == 1;
}

// A reply, and whether the line's outcome has been told in full already
// (then an empty reply needs no further report).
struct Dispatched {
    CommandReply reply;
    bool told = false;
};

std::string hex(uint8_t byte) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string text = "0x";
    if (byte >= 0x10) {
        text += kDigits[byte >> 4];
    }
    text += kDigits[byte & 0x0F];
    return text;
}

// Why a one-byte request went unconfirmed; nothing when its echo came back.
std::optional<std::string> unconfirmed(const CommandReply& reply, uint8_t code) {
    if (reply.bytes.empty()) {
        return "no reply";
    }
    if (reply.bytes.size() != kEchoReplyLength) {
        return std::to_string(reply.bytes.size()) + " bytes instead of " +
               std::to_string(kEchoReplyLength);
    }
    if (reply.bytes[0] != code) {
        return "reply " + hex(reply.bytes[0]) + " instead of " + hex(code);
    }
    return std::nullopt;
}

// "run" and "stop" are one command of two requests: it succeeded when the
// board confirmed both. Otherwise each half that failed gets its line, and
// the reply is empty so that nothing claims success.
Dispatched run_both_halves(const ServerWord& word) {
    const CommandReply user = send_server_code(word.first_code);
    CommandReply kernel = send_server_code(word.second_code);
    out_line(word.announcement);
    const std::string action = word.short_word == "run" ? "Run" : "Stop";
    const std::optional<std::string> user_fault = unconfirmed(user, word.first_code);
    const std::optional<std::string> kernel_fault = unconfirmed(kernel, word.second_code);
    if (!user_fault && !kernel_fault) {
        return {std::move(kernel), false};
    }
    if (user_fault) {
        out_line(action + " of the user tasks (U-ST) not confirmed: " + *user_fault);
    }
    if (kernel_fault) {
        out_line(action + " of the kernel tasks (K-ST) not confirmed: " + *kernel_fault);
    }
    return {{}, true};
}

Dispatched dispatch(std::string line) {
    for (const ServerWord& word : kServerWords) {
        if (line != word.short_word && line != word.long_word) {
            continue;
        }
        if (word.second_code == 0) {
            out_line(word.announcement);
            return {send_server_code(word.first_code)};
        }
        return run_both_halves(word);
    }
    switch (line.front()) {
        case 'g': {
            Dispatched result;
            result.reply = transcode_gpio(std::move(line), &result.told);
            return result;
        }
        case 'i':
            return {transcode_info(std::move(line))};
        case 'c':
            return {transcode_power(std::move(line))};
        case 'm':
            return {transcode_memory(std::move(line))};
        default:  // "e" and every other letter: no family
            return {};
    }
}

}  // namespace

CommandReply run_server_command(std::string line, const std::function<bool()>& wanted) {
    if (line.empty()) {
        return {};
    }
    if (connected.load() != 1) {
        out_line("Cannot run a server command while not connected.");
        return {};
    }
    Dispatched result;
    {
        std::unique_lock lock(command_mutex, std::defer_lock);
        // Queued behind a silent board, a command would otherwise wait out
        // every transaction ahead of it after nobody wants its answer.
        while (!lock.try_lock_for(kTurnCheck)) {
            if ((wanted && !wanted()) || !session_usable()) {
                return {};
            }
        }
        if ((wanted && !wanted()) || !session_usable()) {
            return {};
        }
        result = dispatch(std::move(line));
    }
    if (result.reply.bytes.empty() && result.reply.count == 0 && !result.told) {
        error_trace("Not able to decode.", __FILE__, __LINE__);
    }
    return result.reply;
}

bool session_open() {
    return session_usable() && serial_port().get_state().status == 1;
}

CommandReply send_server_code(uint32_t code) {
    for (uint8_t known : kSingleByteCodes) {
        if (code == known) {
            return serial_port().transact_byte(known, reply_length(known));
        }
    }
    out_line("QUIRN Command Nop: " + std::to_string(code));
    return {};
}
