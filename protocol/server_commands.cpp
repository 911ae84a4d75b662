#include "protocol/server_commands.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "base/console_output.h"
#include "base/session.h"
#include "protocol/board_words.h"
#include "protocol/quirn_transcoder.h"
#include "serial/class_serial.h"

namespace {

constexpr std::array<uint8_t, 7> kSingleByteCodes{REQ_STATUS, REQ_RUN_UST, REQ_STOP_UST, REQ_CLEAR,
                                                  REQ_SYSTAT, REQ_RUN_KST, REQ_STOP_KST};

// How often a command waiting for its turn asks whether it is still wanted.
constexpr auto kTurnCheck = std::chrono::milliseconds(10);

// The order of requests on the port: one command has the turn from its
// announcement to its last reply, so the console's run/stop and the web
// workers' GPIO requests never interleave. The port's own transaction lock
// still makes each single write-and-read exclusive underneath. A command
// waiting for the turn can give up (a plain mutex could not be left).
class CommandTurn {
  public:
    // Waits for the turn, which comes in the order asked; false, without
    // it, once given_up() holds.
    template <typename GivenUp>
    bool take(GivenUp given_up) {
        std::unique_lock lock(mutex_);
        const uint64_t me = next_++;
        waiting_.push_back(me);
        for (;;) {
            if (!taken_ && waiting_.front() == me) {
                waiting_.pop_front();
                taken_ = true;
                return true;
            }
            free_.wait_for(lock, kTurnCheck);
            if ((taken_ || waiting_.front() != me) && given_up()) {
                std::erase(waiting_, me);
                free_.notify_all();
                return false;
            }
        }
    }
    void give_back() {
        {
            std::lock_guard lock(mutex_);
            taken_ = false;
        }
        free_.notify_all();
    }

  private:
    std::mutex mutex_;              // guards the fields below
    std::condition_variable free_;  // with mutex_: the turn or the queue changed
    bool taken_ = false;
    uint64_t next_ = 0;             // the number of the next to ask
    std::deque<uint64_t> waiting_;  // those waiting, in the order they asked
};

CommandTurn command_turn;

bool session_usable() {
    return session().state().connected();
}

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
void run_both_halves(const BoardWord& word, CommandOutcome& outcome) {
    const CommandReply user = send_server_code(word.first_code);
    CommandReply kernel = send_server_code(word.second_code);
    out_line(word.announcement);
    const std::string action = word.short_word == "run" ? "Run" : "Stop";
    const std::optional<std::string> user_fault = unconfirmed(user, word.first_code);
    const std::optional<std::string> kernel_fault = unconfirmed(kernel, word.second_code);
    if (!user_fault && !kernel_fault) {
        outcome.reply = std::move(kernel);
        return;
    }
    if (user_fault) {
        out_line(action + " of the user tasks (U-ST) not confirmed: " + *user_fault);
    }
    if (kernel_fault) {
        out_line(action + " of the kernel tasks (K-ST) not confirmed: " + *kernel_fault);
    }
    outcome.status = CommandStatus::kUnconfirmed;
    outcome.unconfirmed = user_fault && kernel_fault ? "both" : user_fault ? "user" : "kernel";
}

// Makes the plan's report and sends its frame; the status says why
// nothing was sent when nothing was.
void run_plan(FramePlan plan, CommandOutcome& outcome) {
    if (plan.frame.empty()) {
        outcome.status = plan.failure;
    }
    outcome.reply = carry_out(std::move(plan));
}

void dispatch(const std::string& line, CommandOutcome& outcome) {
    if (const BoardWord* word = find_board_word(line)) {
        if (word->second_code != 0) {
            run_both_halves(*word, outcome);
        } else {
            out_line(word->announcement);
            outcome.reply = send_server_code(word->first_code);
        }
        return;
    }
    switch (line.front()) {
        case 'g':
            run_plan(plan_gpio(line), outcome);
            if (!outcome.reply.bytes.empty() &&
                check_gpio_reply(line, outcome.reply).status != GpioReply::Status::kOk) {
                serial_port().resync();
            }
            return;
        case 'i':
            run_plan(plan_info(line), outcome);
            return;
        case 'c':
            run_plan(plan_power(line), outcome);
            return;
        case 'm':
            run_plan(plan_memory(line), outcome);
            return;
        default:  // "e" and every other letter: no family
            outcome.status = CommandStatus::kUnknownWord;
            return;
    }
}

}  // namespace

CommandOutcome run_board_command(std::string line, const std::function<bool()>& wanted) {
    CommandOutcome outcome;
    outcome.word = line;
    if (line.empty()) {
        outcome.status = CommandStatus::kUnknownWord;
        return outcome;
    }
    if (!session_usable()) {
        out_line("Cannot run a server command while not connected.");
        outcome.status = CommandStatus::kNotConnected;
        return outcome;
    }
    // Queued behind a silent board, a command would otherwise wait out
    // every transaction ahead of it after nobody wants its answer.
    const auto given_up = [&] { return (wanted && !wanted()) || !session_usable(); };
    if (!command_turn.take(given_up)) {
        outcome.status = CommandStatus::kNotConnected;
        return outcome;
    }
    {
        struct Held {
            ~Held() { command_turn.give_back(); }
        } const held;
        if (given_up()) {
            outcome.status = CommandStatus::kNotConnected;
            return outcome;
        }
        dispatch(line, outcome);
    }
    if (outcome.ok() && outcome.reply.bytes.empty()) {
        outcome.status = CommandStatus::kNoReply;
    }
    // A refusal and an unconfirmed run or stop have said why already.
    if (outcome.reply.bytes.empty() && outcome.status != CommandStatus::kOutOfRange &&
        outcome.status != CommandStatus::kUnconfirmed) {
        error_trace("Not able to decode.", __FILE__, __LINE__);
    }
    return outcome;
}

CommandReply run_server_command(std::string line, const std::function<bool()>& wanted) {
    return run_board_command(std::move(line), wanted).reply;
}

CommandReply send_server_code(uint32_t code) {
    for (uint8_t known : kSingleByteCodes) {
        if (code == known) {
            return reply_of(serial_port().transact_byte(known, reply_length(known)));
        }
    }
    out_line("QUIRN Command Nop: " + std::to_string(code));
    return {};
}

// moves to the console layer: what a transaction says besides its reply,
// in the words the port used to print, in the same order; a frame's
// transaction renews the prompt afterwards, as every frame's did.
CommandReply reply_of(Transaction transaction, bool frame) {
    if (transaction.refused_size) {
        err("Error: Frame of " + std::to_string(*transaction.refused_size) +
            " bytes not sent, the limit is " + std::to_string(SerialPort::kMaxFrameSize) + "\n");
        return {};
    }
    if (const uint32_t stale = transaction.discarded; stale > 0) {
        err("Discarded " + std::to_string(stale) + (stale == 1 ? " stale byte" : " stale bytes") +
            " from " + transaction.port_name + " before the request\n");
    }
    if (transaction.write_failed) {
        err("Error: Failed to write to COM port\n");
    }
    if (!transaction.read.ok) {
        err("\nError: Failed to read from COM port\n");
    }
    if (frame) {
        renew_prompt();
    }
    return std::move(transaction.reply);
}

std::vector<std::string> server_words() {
    std::vector<std::string> words;
    for (const BoardWord& word : kBoardWords) {
        words.emplace_back(word.short_word);
        if (word.long_word != word.short_word) {
            words.emplace_back(word.long_word);
        }
    }
    for (std::string& word : plain_words()) {
        words.push_back(std::move(word));
    }
    return words;
}
