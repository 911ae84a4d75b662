#include "protocol/server_commands.h"

#include <array>
#include <mutex>
#include <string_view>
#include <utility>

#include "base/console_output.h"
#include "base/state.h"
#include "protocol/class_quirn_server.h"
#include "protocol/quirn_transcoder.h"
#include "serial/class_serial.h"

namespace {

struct ServerWord {
    std::string_view short_word;
    std::string_view long_word;
    std::string_view announcement;
    uint8_t first_code;
    uint8_t second_code;             // 0 for the words that send one request
    std::string_view first_request;  // with two requests: the word the first one stands for
};

constexpr std::array<ServerWord, 9> kServerWords{{
    {"sta", "status", "quirn: Status", REQ_STATUS, 0, ""},
    {"rust", "runust", "quirn: Run U-ST User scheduled tasks", REQ_RUN_UST, 0, ""},
    {"sust", "stopust", "quirn: Stop U-ST User scheduled tasks", REQ_STOP_UST, 0, ""},
    {"clr", "clear", "quirn: Clear Fault and Warning words", REQ_CLEAR, 0, ""},
    {"sys", "systat", "quirn: Server systat readback and reset", REQ_SYSTAT, 0, ""},
    {"rkst", "runkst", "quirn: Run K-ST Kernel scheduled tasks", REQ_RUN_KST, 0, ""},
    {"skst", "stopkst", "quirn: Stop K-ST Kernel scheduled tasks", REQ_STOP_KST, 0, ""},
    // Both requests go out first, then the announcement; the result is the
    // reply to the second request, whatever the first brought back (a first
    // reply that is not its echo is reported on its own).
    {"run", "run", "quirn: Run U-ST User + Kernel scheduled tasks", REQ_RUN_UST, REQ_RUN_KST,
     "runust"},
    {"stop", "stop", "quirn: Stop U-ST User + Kernel scheduled tasks", REQ_STOP_UST, REQ_STOP_KST,
     "stopust"},
}};

constexpr std::array<uint8_t, 7> kSingleByteCodes{REQ_STATUS, REQ_RUN_UST, REQ_STOP_UST, REQ_CLEAR,
                                                  REQ_SYSTAT, REQ_RUN_KST, REQ_STOP_KST};

// Guards the order of requests on the port: held by one command from its
// announcement to its last reply, so the console's run/stop and the web
// workers' GPIO requests never interleave. The port's own transaction lock
// still makes each single write-and-read exclusive underneath.
std::mutex command_mutex;

// The result of "run" and "stop" is the reply to their second request, so a
// first request the board did not confirm would pass unseen: say so here.
void report_unconfirmed(const CommandReply& reply, uint8_t code, std::string_view word) {
    constexpr size_t kEchoLength = 1;
    if (reply.bytes.empty()) {
        error_trace("Not able to decode.", __FILE__, __LINE__);
    } else if (reply.bytes.size() != kEchoLength) {
        out_line("Error response length: " + std::to_string(reply.bytes.size()) +
                 " != " + std::to_string(kEchoLength));
    } else if (reply.bytes[0] != code) {
        report_transmission_error(std::string(word), code, reply.bytes[0]);
    }
}

CommandReply dispatch(std::string line) {
    for (const ServerWord& word : kServerWords) {
        if (line != word.short_word && line != word.long_word) {
            continue;
        }
        if (word.second_code == 0) {
            out_line(word.announcement);
            return send_server_code(word.first_code);
        }
        const CommandReply first = send_server_code(word.first_code);
        CommandReply reply = send_server_code(word.second_code);
        out_line(word.announcement);
        report_unconfirmed(first, word.first_code, word.first_request);
        return reply;
    }
    switch (line.front()) {
        case 'g':
            return transcode_gpio(std::move(line));
        case 'i':
            return transcode_info(std::move(line));
        case 'c':
            return transcode_power(std::move(line));
        case 'm':
            return transcode_memory(std::move(line));
        default:  // "e" and every other letter: no family
            return {};
    }
}

}  // namespace

CommandReply run_server_command(std::string line) {
    if (line.empty()) {
        return {};
    }
    if (connected.load() != 1) {
        out_line("Cannot run a server command while not connected.");
        return {};
    }
    CommandReply reply;
    {
        std::lock_guard lock(command_mutex);
        reply = dispatch(std::move(line));
    }
    if (reply.bytes.empty() && reply.count == 0) {
        error_trace("Not able to decode.", __FILE__, __LINE__);
    }
    return reply;
}

CommandReply send_server_code(uint32_t code) {
    for (uint8_t known : kSingleByteCodes) {
        if (code == known) {
            return serial_port().transact_byte(known);
        }
    }
    out_line("QUIRN Command Nop: " + std::to_string(code));
    return {};
}
