#include "protocol/server_commands.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "base/session.h"
#include "protocol/class_quirn_server.h"
#include "protocol/quirn_transcoder.h"
#include "protocol/statistics_windows.h"
#include "serial/class_serial.h"

namespace {

constexpr std::array<uint8_t, 7> kSingleByteCodes{REQ_STATUS, REQ_RUN_UST, REQ_STOP_UST, REQ_CLEAR,
                                                  REQ_SYSTAT, REQ_RUN_KST, REQ_STOP_KST};

// The order of requests on the port: one command has the turn from its
// first request to its last reply, so the console's run/stop and the web
// workers' GPIO requests never interleave. The port's own transaction lock
// still makes each single write-and-read exclusive underneath. A command
// waiting for the turn can give up (a plain mutex could not be left): it
// asks again whenever the turn moves or wake() says something changed.
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
            free_.wait(lock);
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
    // What a waiter's given_up() reads may have changed. Taking the lock
    // first means a waiter is either still to look or already waiting.
    void wake() {
        { std::lock_guard lock(mutex_); }
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

// A session that closes ends the wait of every command queued behind it.
void wake_on_session_changes() {
    static const uint64_t listener =
        session().subscribe([](const SessionState&) { command_turn.wake(); });
    (void)listener;
}

// A session closing takes no new request, and those waiting for their turn
// give up.
bool session_usable() {
    return session().state().connected();
}

// Sends one of the single-byte codes, noting what its transaction says.
CommandReply send_code(uint8_t code, CommandOutcome& outcome) {
    Transaction transaction = serial_port().transact_byte(code, reply_length(code));
    outcome.notes.push_back(transaction_note(transaction, Note::Kind::kByteSent));
    return std::move(transaction.reply);
}

// The note for a half of run or stop whose echo did not come back, if so.
std::optional<Note> unconfirmed(const CommandReply& reply, uint8_t code, bool kernel_half) {
    if (reply.bytes.size() == 1 && reply.bytes[0] == code) {
        return std::nullopt;
    }
    Note note{Note::Kind::kUnconfirmed};
    note.kernel_half = kernel_half;
    note.length = reply.bytes.size();
    note.expected = code;
    note.received = reply.bytes.empty() ? 0 : reply.bytes[0];
    return note;
}

// "run" and "stop" are one command of two requests: it succeeded when the
// board confirmed both. Otherwise each half that failed has its note, and
// the reply is empty so that nothing claims success.
void run_both_halves(const CommandPair& pair, CommandOutcome& outcome) {
    const CommandReply user = send_code(pair.user_code, outcome);
    CommandReply kernel = send_code(pair.kernel_code, outcome);
    outcome.notes.push_back({Note::Kind::kAnnounced});
    const std::optional<Note> user_fault = unconfirmed(user, pair.user_code, false);
    const std::optional<Note> kernel_fault = unconfirmed(kernel, pair.kernel_code, true);
    if (!user_fault && !kernel_fault) {
        outcome.reply = std::move(kernel);
        return;
    }
    for (const std::optional<Note>& fault : {user_fault, kernel_fault}) {
        if (fault) {
            outcome.notes.push_back(*fault);
        }
    }
    outcome.status = CommandStatus::kUnconfirmed;
    outcome.unconfirmed = user_fault && kernel_fault ? "both" : user_fault ? "user" : "kernel";
}

void dispatch(CommandOutcome& outcome) {
    const BoardCommand& command = outcome.command;
    if (command.pair != nullptr) {
        run_both_halves(*command.pair, outcome);
    } else if (command.family == Family::kScheduler) {
        outcome.notes.push_back({Note::Kind::kAnnounced});
        outcome.reply = send_code(command.spec->code, outcome);
    } else {
        carry_out(command, outcome);
    }
}

}  // namespace

CommandOutcome run_board_command(std::string line, CommandSource source,
                                 const std::function<bool()>& wanted) {
    CommandOutcome outcome;
    std::optional<std::chrono::nanoseconds> board_time;
    // Counted on every way out, once the outcome is final.
    struct Counted {
        CommandSource source;
        const CommandOutcome& outcome;
        const std::optional<std::chrono::nanoseconds>& board_time;
        ~Counted() { counters::count_command(source, outcome.status, board_time); }
    } const counted{source, outcome, board_time};
    outcome.word = line;
    if (line.empty()) {
        outcome.status = CommandStatus::kUnknownWord;
        return outcome;
    }
    outcome.command = parse_command(std::move(line));
    wake_on_session_changes();
    const SessionState link = session().state();
    statistics_ledger().connection(link.number, std::chrono::steady_clock::now());
    if (!link.connected()) {
        outcome.notes.push_back({Note::Kind::kNotConnected});
        outcome.status = CommandStatus::kNotConnected;
        return outcome;
    }
    // Queued behind a silent board, a command would otherwise wait out
    // every transaction ahead of it after nobody wants its answer.
    const auto given_up = [&] { return (wanted && !wanted()) || !session_usable(); };
    if (!command_turn.take(given_up)) {
        outcome.status = CommandStatus::kNotConnected;
    } else {
        struct Held {
            ~Held() { command_turn.give_back(); }
        } const held;
        if (given_up()) {
            outcome.status = CommandStatus::kNotConnected;
        } else {
            const auto began = std::chrono::steady_clock::now();
            dispatch(outcome);
            quirn_server().decode_response(outcome);
            // A refusal found while parsing sends nothing.
            const bool sent =
                std::any_of(outcome.notes.begin(), outcome.notes.end(), [](const Note& note) {
                    return note.kind == Note::Kind::kByteSent ||
                           note.kind == Note::Kind::kFrameSent;
                });
            if (sent) {
                board_time = std::chrono::steady_clock::now() - began;
            }
            if (outcome.ok() && outcome.statistics) {
                outcome.statistics_read = statistics_ledger().record(
                    *outcome.statistics, std::chrono::steady_clock::now());
            }
            // A GPIO reply that does not answer its request (a late answer to
            // another, say) leaves the line out of step, which the port cannot
            // see by itself: it checks only the first byte.
            if (outcome.command.family == Family::kGpio && !outcome.reply.bytes.empty() &&
                (outcome.status == CommandStatus::kBadEcho ||
                 outcome.status == CommandStatus::kBadLength)) {
                serial_port().resync();
            }
        }
    }
    // A refusal and an unconfirmed run or stop have said why already.
    if (outcome.reply.bytes.empty() && outcome.status != CommandStatus::kOutOfRange &&
        outcome.status != CommandStatus::kUnconfirmed) {
        outcome.notes.push_back({Note::Kind::kNotDecoded, {__FILE__, __LINE__}});
    }
    return outcome;
}

CommandReply run_server_command(std::string line, CommandSource source,
                                const std::function<bool()>& wanted) {
    return run_board_command(std::move(line), source, wanted).reply;
}

std::optional<CommandReply> send_server_code(uint32_t code) {
    for (uint8_t known : kSingleByteCodes) {
        if (code == known) {
            return serial_port().transact_byte(known, reply_length(known)).reply;
        }
    }
    return std::nullopt;
}

void wake_command_waiters() {
    command_turn.wake();
}
