#pragma once
// The session: everything the console, the link watcher and the web front
// end share about the one board connection, in one object. Every change
// goes through it and wakes whoever waits for it (wait_until) or listens
// to it (subscribe); nobody polls it on a timer.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

// Where the link to the board stands.
enum class LinkState {
    kClosed,   // no port open, none waited for
    kOpen,     // a port is open and the board usable
    kWaiting,  // the open port's device went away; its name is waited for
    kClosing,  // the port is being closed ("di", quit): take no new request
};

// The console's mode: which words it takes, and whether it has ended.
enum class ConsoleMode { kServer, kClient, kQuit };

// One whole picture of the session, as read at one moment.
struct SessionState {
    LinkState link = LinkState::kClosed;
    // The open port's name as the system spells it, or the vanished one
    // waited for; empty when closed.
    std::string port;
    // Grows with every port opened (0 before the first), so that a late
    // event of an earlier connection can be told from one of this one.
    uint64_t number = 0;
    // The identified board; "-" until it is, and again once closed.
    std::string maker = "-";
    std::string board = "-";
    uint8_t maker_id = 0;
    uint8_t board_id = 0;
    bool identified = false;
    ConsoleMode mode = ConsoleMode::kClient;
    // "http_run" and "http_stop": whether the user lets the web front end
    // serve. Kept across connections.
    bool web_allowed = true;
    // Whether the MQTT bridge (--mqtt) is connected to its broker.
    bool mqtt_connected = false;

    bool connected() const { return link == LinkState::kOpen; }
    bool quitting() const { return mode == ConsoleMode::kQuit; }
    // A board that vanished is still the user's chosen connection: the page
    // is where a user looks for what happened to it.
    bool web_should_serve() const {
        return (link == LinkState::kOpen || link == LinkState::kWaiting) && web_allowed &&
               !quitting();
    }
};

class Session {
  public:
    using Clock = std::chrono::steady_clock;

    SessionState state() const;

    // The changes. Each applies under the lock, then wakes every waiter and
    // calls every subscriber.
    //
    // A port opened: a new connection begins, its board not yet identified.
    void opened(const std::string& port);
    // The board answered its identification.
    void identified(std::string maker, std::string board, uint8_t maker_id, uint8_t board_id);
    // The board's names set without an identification ("-" to forget them).
    void set_names(std::string maker, std::string board);
    // The board named a maker the host does not know: the port stays open
    // (and named), but no request is let through.
    void refused();
    // The open port's device went away; its name is waited for.
    void waiting(const std::string& port);
    // The port is about to close: requests not yet sent give up at once.
    void closing();
    // Closed, or the wait for a vanished port given up.
    void closed();
    void set_mode(ConsoleMode mode);
    void set_web_allowed(bool allowed);
    void set_mqtt_connected(bool connected);

    // Blocks until pred(state) holds; returns that state.
    template <typename Pred>
    SessionState wait_until(Pred pred) const {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return pred(state_); });
        return state_;
    }
    // The same with a deadline: nothing when it passed first.
    template <typename Pred>
    std::optional<SessionState> wait_until(Pred pred, Clock::time_point deadline) const {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [&] { return pred(state_); })) {
            return std::nullopt;
        }
        return state_;
    }

    // Listeners called after every change, on the changing thread, outside
    // the state's lock. A listener must be quick and must not change the
    // session itself (reading it is fine). unsubscribe returns once the
    // listener is not running and will not run again.
    using Listener = std::function<void(const SessionState&)>;
    uint64_t subscribe(Listener listener);
    void unsubscribe(uint64_t id);

    // Back to the state of a new program (tests).
    void reset();

  private:
    template <typename Change>
    void change(Change change);

    // Guards state_.
    mutable std::mutex mutex_;
    // With mutex_: signalled after every change.
    mutable std::condition_variable changed_;
    SessionState state_;

    // Guards listeners_ and next_listener_; held while listeners run, so
    // unsubscribe waits for a running one. Taken after mutex_ is released,
    // never together with it.
    std::mutex listeners_mutex_;
    std::map<uint64_t, Listener> listeners_;
    uint64_t next_listener_ = 1;
};

// The program's one session.
Session& session();
