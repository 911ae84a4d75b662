#include "base/session.h"

#include <utility>

template <typename Change>
void Session::change(Change change) {
    SessionState now;
    {
        std::lock_guard lock(mutex_);
        change(state_);
        now = state_;
    }
    changed_.notify_all();
    std::lock_guard lock(listeners_mutex_);
    for (auto& [id, listener] : listeners_) {
        listener(now);
    }
}

SessionState Session::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void Session::opened(const std::string& port) {
    change([&](SessionState& s) {
        s.link = LinkState::kOpen;
        s.port = port;
        ++s.number;
        s.maker = s.board = "-";
        s.identified = false;
    });
}

void Session::identified(std::string maker, std::string board, uint8_t maker_id, uint8_t board_id) {
    change([&](SessionState& s) {
        s.maker = std::move(maker);
        s.board = std::move(board);
        s.maker_id = maker_id;
        s.board_id = board_id;
        s.identified = true;
    });
}

void Session::set_names(std::string maker, std::string board) {
    change([&](SessionState& s) {
        s.maker = std::move(maker);
        s.board = std::move(board);
        s.identified = false;
    });
}

void Session::refused() {
    change([](SessionState& s) {
        if (s.link == LinkState::kOpen) {
            s.link = LinkState::kClosed;
        }
    });
}

void Session::waiting(const std::string& port) {
    change([&](SessionState& s) {
        s.link = LinkState::kWaiting;
        s.port = port;
        s.maker = s.board = "-";
        s.identified = false;
    });
}

void Session::closing() {
    change([](SessionState& s) {
        if (s.link == LinkState::kOpen) {
            s.link = LinkState::kClosing;
        }
    });
}

void Session::closed() {
    change([](SessionState& s) {
        s.link = LinkState::kClosed;
        s.port.clear();
        s.maker = s.board = "-";
        s.identified = false;
    });
}

void Session::set_mode(ConsoleMode mode) {
    change([mode](SessionState& s) {
        // Quitting is for good.
        if (!s.quitting()) {
            s.mode = mode;
        }
    });
}

void Session::set_web_allowed(bool allowed) {
    change([allowed](SessionState& s) { s.web_allowed = allowed; });
}

void Session::set_mqtt_connected(bool connected) {
    change([connected](SessionState& s) { s.mqtt_connected = connected; });
}

uint64_t Session::subscribe(Listener listener) {
    std::lock_guard lock(listeners_mutex_);
    const uint64_t id = next_listener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void Session::unsubscribe(uint64_t id) {
    std::lock_guard lock(listeners_mutex_);
    listeners_.erase(id);
}

void Session::reset() {
    change([](SessionState& s) { s = SessionState{}; });
}

Session& session() {
    static Session the_session;
    return the_session;
}
