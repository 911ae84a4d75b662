#include "app/mqtt_bridge.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "app/console_tell.h"
#include "base/console_output.h"
#include "base/os_error.h"
#include "base/session.h"
#include "protocol/outcome_json.h"
#include "protocol/server_commands.h"
#include "protocol/statistics_windows.h"
#include "serial/wire_trace.h"
#include "web/api_support.h"
#include "web/event_stream.h"

namespace {

using json = nlohmann::ordered_json;

constexpr int kKeepAliveSeconds = 30;
constexpr unsigned kFirstRetrySeconds = 1;
constexpr unsigned kLongestRetrySeconds = 30;

// Whether the library's loop connects again by itself after a connection
// ended so: it does after a lost or refused socket; after anything else (a
// broken protocol, TLS) its thread ends.
bool library_connects_again(int code, int error_number) {
    switch (code) {
        case MOSQ_ERR_NO_CONN:
        case MOSQ_ERR_CONN_LOST:
        case MOSQ_ERR_KEEPALIVE:
            return true;
        case MOSQ_ERR_ERRNO:
            return error_number != EPROTO;
        default:
            return false;
    }
}
// Commands waiting for the board beyond this are answered "busy".
constexpr size_t kMaxWaitingCommands = 32;
constexpr auto kOfflineWait = std::chrono::seconds(1);
constexpr int kQosOnce = 1;

// What the console says of a board command, as the message of its --json
// record: its lines and error traces, without prompts or what goes to
// standard error.
std::string said_of(const CommandOutcome& outcome) {
    std::vector<Saying> sayings = command_sayings(outcome);
    const std::vector<Saying> reply = reply_sayings(outcome, true);
    sayings.insert(sayings.end(), reply.begin(), reply.end());
    std::erase_if(sayings, [](const Saying& saying) {
        return saying.kind == Saying::Kind::kPrompt || saying.kind == Saying::Kind::kError;
    });
    begin_capture();
    say(sayings);
    std::string said = end_capture();
    while (!said.empty() && (said.back() == '\n' || said.front() == '\n')) {
        said.erase(said.back() == '\n' ? said.size() - 1 : 0, 1);
    }
    return said;
}

// The link as PREFIX/link tells it.
std::string link_text(const SessionState& state) {
    return state.connected()                   ? "connected"
           : state.link == LinkState::kWaiting ? "waiting"
                                               : "offline";
}

// The library's words for an error, as part of a line of ours.
std::string reason(const char* text) {
    std::string said = text;
    while (!said.empty() && said.back() == '.') {
        said.pop_back();
    }
    if (!said.empty() && said.front() >= 'A' && said.front() <= 'Z') {
        said.front() = static_cast<char>(said.front() - 'A' + 'a');
    }
    return said;
}

// A line above the console's prompt, or in the service's log.
void tell(const std::string& line) {
    out(output_mode() == OutputMode::kText ? "\n" + line + "\n" : line + "\n");
    service_line(line);
    print_prompt();
}

class Bridge {
  public:
    explicit Bridge(MqttSettings settings)
        : settings_(std::move(settings)),
          broker_((settings_.url.tls ? "mqtts://" : "mqtt://") +
                  (settings_.url.host.find(':') != std::string::npos
                       ? "[" + settings_.url.host + "]"
                       : settings_.url.host) +
                  ":" + std::to_string(settings_.url.port)) {}
    ~Bridge() { stop(); }
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    bool start(std::string& why);
    void stop();

  private:
    static void on_connect(mosquitto* /*client*/, void* self, int code) {
        static_cast<Bridge*>(self)->connected(code);
    }
    static void on_disconnect(mosquitto* /*client*/, void* self, int code) {
        static_cast<Bridge*>(self)->disconnected(code);
    }
    static void on_message(mosquitto* /*client*/, void* self, const mosquitto_message* message) {
        static_cast<Bridge*>(self)->received(message);
    }
    static void on_publish(mosquitto* /*client*/, void* self, int id) {
        static_cast<Bridge*>(self)->published(id);
    }
    void connected(int code);
    void disconnected(int code);
    void received(const mosquitto_message* message);
    void published(int id);

    // The first connection, until the library's thread has one under way:
    // false, with broker_trouble_ set, when it could not start one.
    bool try_connecting();
    void run();
    void run_command(const MqttCommand& command);
    std::string topic(std::string_view name) const {
        return settings_.prefix + "/" + std::string(name);
    }
    int publish(std::string_view name, const std::string& payload, int qos, bool retain);

    const MqttSettings settings_;
    const std::string broker_;  // as the lines name it
    mosquitto* client_ = nullptr;
    std::thread thread_;
    uint64_t session_listener_ = 0;
    uint64_t follower_ = 0;  // the bridge thread's only
    // Whether the library's thread runs; set by the bridge thread, read by
    // stop() once it has ended.
    bool looping_ = false;

    // Guards everything below; changed_ (with it) wakes the bridge thread
    // and stop().
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool broker_up_ = false;    // as the library last said
    uint64_t connections_ = 0;  // connections made, and lost
    uint64_t losses_ = 0;
    std::string broker_trouble_;  // why the broker is away, when it said
    bool loop_ended_ = false;     // the library's thread gave up connecting
    bool session_changed_ = false;
    std::deque<MqttCommand> commands_;
    std::set<int> delivered_;  // publications the broker took, while stopping
};

bool Bridge::start(std::string& why) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    if (client_ == nullptr) {
        why = "the MQTT library would not make a client";
        return false;
    }
    mosquitto_connect_callback_set(client_, on_connect);
    mosquitto_disconnect_callback_set(client_, on_disconnect);
    mosquitto_message_callback_set(client_, on_message);
    mosquitto_publish_callback_set(client_, on_publish);
    mosquitto_reconnect_delay_set(client_, kFirstRetrySeconds, kLongestRetrySeconds, true);
    const std::string offline = "offline";
    int code = mosquitto_will_set(client_, topic("link").c_str(), static_cast<int>(offline.size()),
                                  offline.data(), kQosOnce, true);
    if (code == MOSQ_ERR_SUCCESS && !settings_.user.empty()) {
        code =
            mosquitto_username_pw_set(client_, settings_.user.c_str(),
                                      settings_.password ? settings_.password->c_str() : nullptr);
    }
    if (code == MOSQ_ERR_SUCCESS && settings_.url.tls) {
        // The broker's certificate is checked against the system's.
        code = mosquitto_tls_set(client_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
    }
    if (code != MOSQ_ERR_SUCCESS) {
        why = std::string("the MQTT settings: ") + mosquitto_strerror(code);
        return false;
    }
    session_listener_ = session().subscribe([this](const SessionState&) {
        std::lock_guard lock(mutex_);
        session_changed_ = true;
        changed_.notify_all();
    });
    thread_ = std::thread([this] { run(); });
    return true;
}

bool Bridge::try_connecting() {
    int code = mosquitto_connect_async(client_, settings_.url.host.c_str(), settings_.url.port,
                                       kKeepAliveSeconds);
    if (code == MOSQ_ERR_SUCCESS) {
        // The library's own thread takes the connection on from here, and
        // connects again after a loss.
        code = mosquitto_loop_start(client_);
        if (code == MOSQ_ERR_SUCCESS) {
            looping_ = true;
            return true;
        }
    }
    const std::string why_not = code == MOSQ_ERR_ERRNO ? reason(os_error_text(errno).c_str())
                                                       : reason(mosquitto_strerror(code));
    std::lock_guard lock(mutex_);
    broker_trouble_ = why_not;
    return false;
}

void Bridge::connected(int code) {
    if (code != 0) {
        std::lock_guard lock(mutex_);
        broker_trouble_ = "refused: " + reason(mosquitto_connack_string(code));
        changed_.notify_all();
        return;
    }
    // Subscribed at every connection: the session is a clean one.
    mosquitto_subscribe(client_, nullptr, topic("cmd").c_str(), kQosOnce);
    std::lock_guard lock(mutex_);
    broker_up_ = true;
    ++connections_;
    broker_trouble_.clear();
    changed_.notify_all();
}

void Bridge::disconnected(int code) {
    const int error_number = errno;
    std::lock_guard lock(mutex_);
    if (code != MOSQ_ERR_SUCCESS && !library_connects_again(code, error_number)) {
        loop_ended_ = true;
    }
    if (broker_up_) {
        ++losses_;
    }
    broker_up_ = false;
    if (code != 0 && broker_trouble_.empty()) {
        broker_trouble_ = code == MOSQ_ERR_ERRNO ? reason(os_error_text(error_number).c_str())
                                                 : reason(mosquitto_strerror(code));
    }
    commands_.clear();  // their answers would have nowhere to go
    changed_.notify_all();
}

void Bridge::received(const mosquitto_message* message) {
    const std::string_view payload(
        static_cast<const char*>(message->payload),
        message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : size_t{0});
    MqttCommand command = parse_mqtt_command(payload);
    if (command.error.empty()) {
        std::lock_guard lock(mutex_);
        if (commands_.size() < kMaxWaitingCommands) {
            commands_.push_back(std::move(command));
            changed_.notify_all();
            return;
        }
        command.error = "busy";
        command.message = "too many commands wait for the board; try again";
    }
    publish("result", record_text(mqtt_refusal(command)), kQosOnce, false);
}

void Bridge::published(int id) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        delivered_.insert(id);
        changed_.notify_all();
    }
}

int Bridge::publish(std::string_view name, const std::string& payload, int qos, bool retain) {
    int id = 0;
    const int code =
        mosquitto_publish(client_, &id, topic(name).c_str(), static_cast<int>(payload.size()),
                          payload.data(), qos, retain);
    return code == MOSQ_ERR_SUCCESS ? id : -1;
}

void Bridge::run() {
    bool told_up = false;    // the last line said the broker is connected
    bool following = false;  // the sampler's data goes to the broker
    uint64_t seen_connections = 0;
    uint64_t seen_losses = 0;
    std::string told_trouble;
    std::string link_sent;
    std::string board_sent;
    // Until a connection is under way, it is tried again after a wait that
    // doubles, up to the longest.
    std::chrono::seconds retry(kFirstRetrySeconds);
    std::chrono::steady_clock::time_point next_try{};
    for (;;) {
        if (!looping_ && std::chrono::steady_clock::now() >= next_try && !try_connecting()) {
            next_try = std::chrono::steady_clock::now() + retry;
            retry = std::min(retry * 2, std::chrono::seconds(kLongestRetrySeconds));
        }
        std::optional<MqttCommand> command;
        bool up = false;
        bool lost = false;
        bool came = false;
        bool loop_ended = false;
        std::string trouble;
        {
            std::unique_lock lock(mutex_);
            // A loss and a return both count, however quickly the one
            // followed the other.
            const auto woken = [&] {
                return stopping_ || loop_ended_ || connections_ != seen_connections ||
                       losses_ != seen_losses ||
                       session_changed_ || (!broker_up_ && broker_trouble_ != told_trouble) ||
                       (broker_up_ && !commands_.empty());
            };
            if (looping_) {
                changed_.wait(lock, woken);
            } else if (!changed_.wait_until(lock, next_try, woken)) {
                continue;  // time for the next try
            }
            if (stopping_) {
                break;
            }
            loop_ended = std::exchange(loop_ended_, false);
            up = broker_up_;
            lost = losses_ != seen_losses;
            came = connections_ != seen_connections;
            seen_losses = losses_;
            seen_connections = connections_;
            trouble = broker_trouble_;
            session_changed_ = false;
            if (up && !commands_.empty()) {
                command = std::move(commands_.front());
                commands_.pop_front();
            }
        }
        const auto tell_lost = [&] {
            tell("MQTT broker " + broker_ + " lost" +
                 (trouble.empty() ? std::string() : " (" + trouble + ")") + "; trying again.");
            told_up = false;
            told_trouble = trouble;
        };
        if (loop_ended && looping_) {
            // The library's thread has ended, or ends now: the bridge tries
            // again itself, as before a first connection.
            mosquitto_disconnect(client_);
            mosquitto_loop_stop(client_, false);
            looping_ = false;
            next_try = std::chrono::steady_clock::now() + retry;
            retry = std::min(retry * 2, std::chrono::seconds(kLongestRetrySeconds));
        }
        if (lost && told_up) {
            tell_lost();
        }
        if (came) {
            retry = std::chrono::seconds(kFirstRetrySeconds);
            tell("MQTT broker " + broker_ + " connected; publishing as " + settings_.prefix + ".");
            told_up = true;
            told_trouble.clear();
            // Published again at every connection: a broker that restarted
            // may have kept nothing.
            link_sent.clear();
            board_sent.clear();
        }
        if (!up && told_up) {
            tell_lost();  // a return lost again already
        } else if (!up && trouble != told_trouble) {
            if (!trouble.empty()) {
                tell("MQTT broker " + broker_ + " not reached (" + trouble + "); trying again.");
            }
            told_trouble = trouble;
        }
        if (up != following) {
            following = up;
            if (up) {
                follower_ = follow_samples([this](std::string_view name, const std::string& data) {
                    publish(name, data, 0, false);
                });
            } else {
                unfollow_samples(follower_);
            }
            session().set_mqtt_connected(up);
        }
        if (up) {
            const SessionState state = session().state();
            if (const std::string link = link_text(state); link != link_sent) {
                link_sent = publish("link", link, kQosOnce, true) >= 0 ? link : "";
            }
            if (const std::string board = record_text(board_record()); board != board_sent) {
                board_sent = publish("board", board, kQosOnce, true) >= 0 ? board : "";
            }
        }
        if (command) {
            run_command(*command);
        }
    }
    if (following) {
        unfollow_samples(follower_);
    }
}

void Bridge::run_command(const MqttCommand& command) {
    // The bridge's one call into the command layer.
    const wire_trace::SourceScope source("mqtt " + command.word);
    CommandOutcome outcome = run_board_command(command.word, CommandSource::kMqtt);
    // The bridge's statistics cover the time since its own last sys.
    if (outcome.statistics) {
        if (const auto window = statistics_ledger().take(StatisticsReader::kMqtt)) {
            outcome.statistics = window->statistics;
        }
    }
    tell_command(outcome);  // echoed on the console as an API request is
    json record = outcome_json(outcome, said_of(outcome));
    if (command.id) {
        record["id"] = *command.id;
    }
    publish("result", record_text(record), kQosOnce, false);
}

void Bridge::stop() {
    if (client_ == nullptr) {
        return;
    }
    bool up = false;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        up = broker_up_;
        changed_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (session_listener_ != 0) {
        session().unsubscribe(session_listener_);
        session_listener_ = 0;
    }
    // A clean disconnect sends no last will: "offline" is said first.
    if (up) {
        const int id = publish("link", "offline", kQosOnce, true);
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kOfflineWait, [&] { return id < 0 || delivered_.contains(id); });
    }
    mosquitto_disconnect(client_);
    if (looping_) {
        mosquitto_loop_stop(client_, !up);
    }
    mosquitto_destroy(client_);
    client_ = nullptr;
    mosquitto_lib_cleanup();
    session().set_mqtt_connected(false);
}

std::unique_ptr<Bridge> the_bridge;  // the main thread's only

}  // namespace

bool start_mqtt_bridge(const MqttSettings& settings, std::string& why) {
    the_bridge = std::make_unique<Bridge>(settings);
    if (!the_bridge->start(why)) {
        the_bridge.reset();
        return false;
    }
    return true;
}

void stop_mqtt_bridge() {
    the_bridge.reset();
}

std::optional<std::string> read_mqtt_password(const std::string& path, std::string& why) {
    int open_error = 0;
    std::optional<std::string> password = read_secret_line(path, why, open_error);
    if (!password) {
        return std::nullopt;
    }
    if (password->empty()) {
        why = "its first line is empty";
        return std::nullopt;
    }
    return password;
}
