#include "web/event_stream.h"

// With GCC 12, <utility> must come before Asio's coroutine support.
#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <charconv>
#include <cmath>
#include <deque>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "base/session.h"
#include "protocol/json_fields.h"
#include "protocol/outcome_json.h"
#include "protocol/server_commands.h"
#include "protocol/statistics_windows.h"
#include "serial/wire_trace.h"
#include "web/api_support.h"
#include "web/trace_api.h"

namespace asio = boost::asio;
using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
using ErrorCode = boost::system::error_code;

namespace {

enum Topic : unsigned {
    kLink = 1U << 0U,
    kStatus = 1U << 1U,
    kSystat = 1U << 2U,
    kPins = 1U << 3U,
    kTrace = 1U << 4U,
};

constexpr std::pair<std::string_view, Topic> kTopics[] = {
    {"link", kLink}, {"status", kStatus}, {"systat", kSystat}, {"pins", kPins}, {"trace", kTrace},
};

constexpr size_t kHistorySamples =
    static_cast<size_t>(EventHub::kHistory / EventHub::kStatusPeriod);

struct Subscriber {
    std::shared_ptr<StreamSink> sink;
    unsigned topics = 0;
    // The pins to read, by read mode (true: analog).
    std::map<bool, std::vector<int>> pins;
    Clock::time_point joined;
    // The newest trace event passed to this stream: every event's id.
    uint64_t trace_after = 0;
};

// One sampler read of status and statistics, as it came back.
struct BoardRead {
    Clock::time_point began;
    uint64_t connection = 0;  // the session's number when it began
    std::optional<CommandOutcome> status;
    std::optional<CommandOutcome> systat;
    std::optional<StatisticsWindow> window;
};

// One sampler read of pins: for each read mode, each pin's outcome.
struct PinsRead {
    Clock::time_point began;
    std::map<bool, std::map<int, CommandOutcome>> outcomes;  // by analog
};

struct StatusSample {
    std::chrono::system_clock::time_point time;
    BoardWords words;
};
struct SystatSample {
    std::chrono::system_clock::time_point time;
    Statistics statistics;
};

std::string now_text() {
    return wire_trace::format_time(std::chrono::system_clock::now());
}

std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string event_text(std::string_view name, uint64_t id, const std::string& data) {
    std::string text;
    text.reserve(name.size() + data.size() + 32);
    text.append("event: ").append(name).append("\nid: ").append(std::to_string(id));
    text.append("\ndata: ").append(data).append("\n\n");
    return text;
}

json percent_value(uint32_t numerator, uint32_t denominator) {
    const float value = percent_of(numerator, denominator);
    return std::isfinite(value) ? json(std::round(value * 10.0f) / 10.0f) : json(nullptr);
}

// What a failed read answers on its route.
json error_record(const CommandOutcome& outcome) {
    return {{"error", failure_status(outcome).second}, {"reason", status_name(outcome.status)}};
}

std::optional<uint64_t> decimal(const std::string& digits) {
    uint64_t number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return number;
}

std::optional<unsigned> parse_topics(std::string_view text) {
    unsigned topics = 0;
    for (size_t start = 0; start <= text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view item = text.substr(start, comma - start);
        const auto known = std::find_if(std::begin(kTopics), std::end(kTopics),
                                        [&](const auto& topic) { return topic.first == item; });
        if (known == std::end(kTopics)) {
            return std::nullopt;
        }
        topics |= known->second;
        start = comma + 1;
    }
    return topics;
}

// The sampler's in-process followers, and the hubs serving now, which
// sample for them.
struct Followers {
    // Guards followers and hubs; held while followers run, so that
    // unfollow_samples waits for a running one.
    std::mutex mutex;
    std::map<uint64_t, SampleFollower> followers;
    uint64_t next = 1;
    std::vector<std::weak_ptr<EventHub::State>> hubs;
    // The number of followers, read by the hubs without the lock.
    std::atomic<size_t> count{0};
};

Followers& followers() {
    static Followers the_followers;
    return the_followers;
}

}  // namespace

// Everything of the hub, touched on the loop only; timers and jobs hold it
// weakly or for their own run.
class EventHub::State : public std::enable_shared_from_this<EventHub::State> {
  public:
    explicit State(Periods periods) : periods_(periods) {}
    void start(asio::io_context& on, BoardQueueJob board);
    std::optional<HttpResponse> open(const HttpRequest& request,
                                     const std::shared_ptr<StreamSink>& sink);
    void stop();
    size_t streams();
    // A follower came: sample, unless sampling already.
    void followed();
    std::optional<BoardWords> scraped();

  private:
    bool serving() const { return running_ && running_->load(); }
    void prune();
    bool wants(unsigned topic);
    void send(Subscriber& subscriber, std::string_view name, const std::string& data);

    void link_changed();
    void trace_advanced();
    void send_trace(Subscriber& subscriber, const wire_trace::Page& page);
    void send_history(Subscriber& subscriber);

    void board_tick();
    void board_read(const BoardRead& read);
    void pins_tick();
    void pins_read(const PinsRead& read);
    void keep_alive();
    void arm(std::optional<asio::steady_timer>& timer, Clock::duration after,
             void (State::*tick)());

    const Periods periods_;
    asio::io_context* loop_ = nullptr;
    BoardQueueJob on_board_;
    // One per serving; false once it stops. Jobs still under way on the
    // board queue read it to give up, and their results are dropped.
    std::shared_ptr<std::atomic<bool>> running_;
    std::list<Subscriber> subscribers_;
    std::optional<asio::steady_timer> board_timer_, pins_timer_, keep_alive_timer_;
    bool board_busy_ = false, pins_busy_ = false;
    uint64_t session_listener_ = 0, trace_listener_ = 0;
    // Set while a look at the trace is posted and not yet taken: a burst
    // of events costs the loop one look.
    std::shared_ptr<std::atomic<bool>> trace_posted_;
    // Whether a stream follows the trace; set on the loop, read by the
    // listener on the recording thread.
    std::shared_ptr<std::atomic<bool>> trace_followed_;
    // The newest trace event's number, kept by the listener for the ids of
    // the other streams' events.
    std::shared_ptr<std::atomic<uint64_t>> trace_newest_;
    std::string link_;         // the last link sent, without its time
    uint64_t trace_last_ = 0;  // the newest trace event passed to the streams
    std::deque<StatusSample> status_history_;
    std::deque<SystatSample> systat_history_;
    // Until when scrapes keep status and statistics read.
    Clock::time_point scrape_until_{};
    // The newest status read, with the number of its connection.
    std::optional<std::pair<uint64_t, BoardWords>> latest_status_;
};

void EventHub::State::start(asio::io_context& on, BoardQueueJob board) {
    stop();  // whatever an earlier serving left
    loop_ = &on;
    on_board_ = std::move(board);
    running_ = std::make_shared<std::atomic<bool>>(true);
    trace_posted_ = std::make_shared<std::atomic<bool>>(false);
    trace_followed_ = std::make_shared<std::atomic<bool>>(false);
    link_ = dump(board_record());
    {
        Followers& all = followers();
        std::lock_guard lock(all.mutex);
        all.hubs.push_back(weak_from_this());
    }
    if (followers().count.load() > 0) {
        followed();
    }
    trace_last_ = wire_trace::events_after(std::numeric_limits<uint64_t>::max(), 0).last;
    trace_newest_ = std::make_shared<std::atomic<uint64_t>>(trace_last_);
    const std::weak_ptr<State> weak = weak_from_this();
    session_listener_ = session().subscribe([weak, &on](const SessionState&) {
        asio::post(on, [weak] {
            if (const auto self = weak.lock()) {
                self->link_changed();
            }
        });
    });
    trace_listener_ =
        wire_trace::add_listener([weak, &on, posted = trace_posted_, followed = trace_followed_,
                                  newest = trace_newest_](uint64_t seq) {
            // Listeners may run out of order on several recording threads.
            uint64_t known = newest->load();
            while (known < seq && !newest->compare_exchange_weak(known, seq)) {
            }
            // Without a stream that follows the trace there is nothing to tell:
            // the loop is not woken for every frame the board exchanges.
            if (followed->load() && !posted->exchange(true)) {
                asio::post(on, [weak, posted] {
                    posted->store(false);
                    if (const auto self = weak.lock()) {
                        self->trace_advanced();
                    }
                });
            }
        });
}

void EventHub::State::stop() {
    if (!running_) {
        return;
    }
    running_->store(false);
    {
        Followers& all = followers();
        std::lock_guard lock(all.mutex);
        std::erase_if(all.hubs, [this](const std::weak_ptr<State>& hub) {
            const auto held = hub.lock();
            return !held || held.get() == this;
        });
    }
    session().unsubscribe(session_listener_);
    wire_trace::remove_listener(trace_listener_);
    board_timer_.reset();
    pins_timer_.reset();
    keep_alive_timer_.reset();
    board_busy_ = pins_busy_ = false;
    subscribers_.clear();
    trace_followed_->store(false);
    status_history_.clear();
    systat_history_.clear();
    scrape_until_ = {};
    latest_status_.reset();
}

std::optional<BoardWords> EventHub::State::scraped() {
    const SessionState link = session().state();
    if (!serving() || !link.connected()) {
        return std::nullopt;
    }
    scrape_until_ = Clock::now() + kScrapeHold;
    if (!board_timer_) {
        board_tick();
    }
    if (!latest_status_ || latest_status_->first != link.number) {
        return std::nullopt;
    }
    return latest_status_->second;
}

void EventHub::State::followed() {
    asio::post(*loop_, [weak = weak_from_this()] {
        const auto self = weak.lock();
        if (self && self->serving() && !self->board_timer_) {
            self->board_tick();
        }
    });
}

size_t EventHub::State::streams() {
    prune();
    return subscribers_.size();
}

void EventHub::State::prune() {
    subscribers_.remove_if([](const Subscriber& s) { return s.sink->closed(); });
    trace_followed_->store(
        std::any_of(subscribers_.begin(), subscribers_.end(),
                    [](const Subscriber& s) { return (s.topics & kTrace) != 0; }));
}

bool EventHub::State::wants(unsigned topic) {
    if ((topic & (kStatus | kSystat)) != 0 && followers().count.load() > 0) {
        return true;
    }
    return std::any_of(subscribers_.begin(), subscribers_.end(), [topic](const Subscriber& s) {
        return (s.topics & topic) != 0 && !s.sink->closed();
    });
}

void EventHub::State::send(Subscriber& subscriber, std::string_view name, const std::string& data) {
    if ((subscriber.topics & kTrace) == 0) {
        // The trace is looked at only while a stream follows it; the others'
        // events still carry the number of its newest event.
        subscriber.trace_after = std::max(subscriber.trace_after, trace_newest_->load());
    }
    subscriber.sink->write(event_text(name, subscriber.trace_after, data));
}

std::optional<HttpResponse> EventHub::State::open(const HttpRequest& request,
                                                  const std::shared_ptr<StreamSink>& sink) {
    HttpResponse refusal;
    const std::optional<unsigned> topics =
        parse_topics(request.has_param("topics") ? request.param("topics") : "link");
    if (!topics) {
        answer_error(refusal, 400, "Invalid topics");
        return refusal;
    }
    Subscriber subscriber;
    subscriber.sink = sink;
    subscriber.topics = *topics;
    if ((*topics & kPins) != 0) {
        // pins=LIST&read=MODE, and analog=LIST for analog pins beside them.
        const std::string read = request.has_param("read") ? request.param("read") : "digital";
        if (read != "digital" && read != "analog") {
            answer_error(refusal, 400, "Invalid read");
            return refusal;
        }
        for (const auto& [name, analog] : {std::pair{"pins", read == "analog"}, {"analog", true}}) {
            if (!request.has_param(name)) {
                continue;
            }
            const std::optional<std::vector<int>> pins = parse_pin_list(request.param(name));
            if (!pins) {
                answer_error(refusal, 400, "Invalid pins");
                return refusal;
            }
            std::vector<int>& list = subscriber.pins[analog];
            for (const int pin : *pins) {
                if (std::find(list.begin(), list.end(), pin) == list.end()) {
                    list.push_back(pin);
                }
            }
        }
        if (subscriber.pins.empty()) {
            answer_error(refusal, 400, "Invalid pins");
            return refusal;
        }
    }
    if (!serving()) {
        answer_error(refusal, 503, "Web server stopping");
        return refusal;
    }
    // A returning client names the last event it had; a new one following
    // the trace gets what the ring holds (within kMaxResumeBytes).
    std::optional<uint64_t> resume = decimal(request.header("Last-Event-ID"));
    if (!resume && request.has_param("last_event_id")) {
        resume = decimal(request.param("last_event_id"));
    }
    subscriber.joined = Clock::now();
    subscriber.trace_after = trace_last_;
    subscribers_.push_back(std::move(subscriber));
    Subscriber& added = subscribers_.back();
    if ((added.topics & kTrace) != 0) {
        // Followed from now on; what came while nobody followed is in the
        // ring, and trace_last_ catches up with it first.
        trace_followed_->store(true);
        trace_last_ = std::max(
            trace_last_, wire_trace::events_after(std::numeric_limits<uint64_t>::max(), 0).last);
        added.trace_after = std::min(resume.value_or(0), trace_last_);
        send_trace(added, wire_trace::events_after(added.trace_after));
    }
    if ((added.topics & kLink) != 0) {
        json link = board_record();
        link["time"] = now_text();
        send(added, "link", dump(link));
    }
    if ((added.topics & kSystat) != 0) {
        send_history(added);
    }
    if ((added.topics & (kStatus | kSystat)) != 0 && !board_timer_) {
        board_tick();
    }
    if ((added.topics & kPins) != 0 && !pins_timer_) {
        pins_tick();
    }
    if (!keep_alive_timer_) {
        arm(keep_alive_timer_, periods_.keep_alive, &State::keep_alive);
    }
    return std::nullopt;
}

void EventHub::State::arm(std::optional<asio::steady_timer>& timer, Clock::duration after,
                          void (State::*tick)()) {
    timer.emplace(*loop_, after);
    timer->async_wait([weak = weak_from_this(), tick](ErrorCode error) {
        const auto self = weak.lock();
        if (!error && self && self->serving()) {
            (self.get()->*tick)();
        }
    });
}

void EventHub::State::link_changed() {
    if (!serving()) {
        return;
    }
    json link = board_record();
    std::string text = dump(link);
    if (text == link_) {
        return;
    }
    link_ = std::move(text);
    link["time"] = now_text();
    const std::string data = dump(link);
    for (Subscriber& subscriber : subscribers_) {
        if ((subscriber.topics & kLink) != 0) {
            send(subscriber, "link", data);
        }
    }
}

void EventHub::State::send_trace(Subscriber& subscriber, const wire_trace::Page& page) {
    // The newest events that fit, and a note of how many before them the
    // stream will not see.
    const uint64_t after = subscriber.trace_after;
    size_t first = page.events.size();
    size_t bytes = 0;
    std::vector<std::string> texts(page.events.size());
    while (first > 0 && page.events[first - 1].seq > after) {
        std::string data = trace_event_text(page.events[first - 1]);
        if (bytes + data.size() > kMaxResumeBytes) {
            break;
        }
        bytes += data.size();
        texts[--first] = std::move(data);
    }
    const uint64_t next_kept = first < page.events.size() ? page.events[first].seq : page.last + 1;
    if (next_kept > after + 1) {
        send(subscriber, "trace",
             dump(json{{"dropped", next_kept - after - 1}, {"time", now_text()}}));
    }
    for (size_t i = first; i < page.events.size(); ++i) {
        subscriber.trace_after = page.events[i].seq;
        send(subscriber, "trace", texts[i]);
    }
    subscriber.trace_after = std::max(subscriber.trace_after, page.last);
}

void EventHub::State::trace_advanced() {
    if (!serving()) {
        return;
    }
    prune();
    uint64_t oldest = std::numeric_limits<uint64_t>::max();
    for (const Subscriber& subscriber : subscribers_) {
        if ((subscriber.topics & kTrace) != 0) {
            oldest = std::min(oldest, subscriber.trace_after);
        }
    }
    const wire_trace::Page page = wire_trace::events_after(
        oldest == std::numeric_limits<uint64_t>::max() ? trace_last_ : oldest);
    trace_last_ = std::max(trace_last_, page.last);
    for (Subscriber& subscriber : subscribers_) {
        if ((subscriber.topics & kTrace) != 0) {
            send_trace(subscriber, page);
        } else {
            subscriber.trace_after = trace_last_;
        }
    }
}

void EventHub::State::send_history(Subscriber& subscriber) {
    json status = json::array();
    for (const StatusSample& sample : status_history_) {
        status.push_back({{"time", wire_trace::format_time(sample.time)},
                          {"status", sample.words.status},
                          {"alarm", sample.words.alarm},
                          {"fault", sample.words.fault}});
    }
    json systat = json::array();
    for (const SystatSample& sample : systat_history_) {
        const Statistics& s = sample.statistics;
        systat.push_back(
            {{"time", wire_trace::format_time(sample.time)},
             {"load",
              {{"min_percent", percent_value(s.load_min, s.period())},
               {"average_percent", percent_value(s.load_avg, s.period())},
               {"max_percent", percent_value(s.load_max, s.period())}}},
             {"kernel_stack",
              {{"min_percent", percent_value(s.kernel_stack_min, s.kernel_stack_size)},
               {"max_percent", percent_value(s.kernel_stack_max, s.kernel_stack_size)}}},
             {"user_stack",
              {{"min_percent", percent_value(s.user_stack_min, s.user_stack_size)},
               {"max_percent", percent_value(s.user_stack_max, s.user_stack_size)}}}});
    }
    send(subscriber, "history",
         dump(json{
             {"status", std::move(status)}, {"systat", std::move(systat)}, {"time", now_text()}}));
}

// Status and statistics: one read of each per period for every stream that
// wants them and while scrapes hold; none once neither does.
void EventHub::State::board_tick() {
    prune();
    const bool scraping = Clock::now() < scrape_until_;
    const bool status = scraping || wants(kStatus);
    const bool systat = scraping || wants(kSystat);
    if (!status && !systat) {
        board_timer_.reset();
        return;
    }
    arm(board_timer_, periods_.status, &State::board_tick);
    // A read still under way (a silent board) is not queued behind.
    if (board_busy_ || !session().state().connected()) {
        return;
    }
    board_busy_ = true;
    on_board_([weak = weak_from_this(), running = running_, loop = loop_, status, systat] {
        const wire_trace::SourceScope source("sampler");
        const auto wanted = [&running] { return running->load(); };
        BoardRead read;
        read.began = Clock::now();
        read.connection = session().state().number;
        if (status) {
            read.status = run_board_command("sta", CommandSource::kSampler, wanted);
        }
        if (systat) {
            read.systat = run_board_command("sys", CommandSource::kSampler, wanted);
            if (read.systat->ok() && read.systat->statistics) {
                read.window = statistics_ledger().take(StatisticsReader::kSampler);
            }
        }
        asio::post(*loop, [weak, running, read = std::move(read)] {
            const auto self = weak.lock();
            if (self && self->running_ == running && running->load()) {
                self->board_busy_ = false;
                self->board_read(read);
            }
        });
    });
}

void EventHub::State::board_read(const BoardRead& read) {
    prune();
    const auto fan_out = [&](unsigned topic, std::string_view name, const std::string& data) {
        for (Subscriber& subscriber : subscribers_) {
            if ((subscriber.topics & topic) != 0 && subscriber.joined <= read.began) {
                send(subscriber, name, data);
            }
        }
        Followers& all = followers();
        std::lock_guard lock(all.mutex);
        for (const auto& [id, follower] : all.followers) {
            follower(name, data);
        }
    };
    const auto trim = [](auto& history) {
        const auto oldest = std::chrono::system_clock::now() - kHistory;
        while (!history.empty() &&
               (history.size() > kHistorySamples || history.front().time < oldest)) {
            history.pop_front();
        }
    };
    if (read.status && read.status->status != CommandStatus::kNotConnected) {
        json data = read.status->ok() ? outcome_json(*read.status) : error_record(*read.status);
        // A failed read leaves no status to tell: an older one would pass
        // for the board's state now.
        latest_status_.reset();
        if (read.status->ok() && read.status->words) {
            latest_status_.emplace(read.connection, *read.status->words);
            status_history_.push_back({std::chrono::system_clock::now(), *read.status->words});
            trim(status_history_);
        }
        data["time"] = now_text();
        fan_out(kStatus, "status", dump(data));
    }
    if (read.systat && read.systat->status != CommandStatus::kNotConnected) {
        json data;
        if (read.systat->ok() && read.window) {
            CommandOutcome outcome = *read.systat;
            outcome.statistics = read.window->statistics;
            data = outcome_json(outcome);
            data[json_field::kWindow] = {{json_field::kCursor, read.window->cursor},
                                         {json_field::kReads, read.window->reads},
                                         {json_field::kSeconds, read.window->seconds},
                                         {json_field::kComplete, read.window->complete}};
            systat_history_.push_back({std::chrono::system_clock::now(), read.window->statistics});
            trim(systat_history_);
        } else {
            data = read.systat->ok() ? outcome_json(*read.systat) : error_record(*read.systat);
        }
        data["time"] = now_text();
        fan_out(kSystat, "systat", dump(data));
    }
}

// Pins: one transaction per pin named by any stream, per read mode and
// period.
void EventHub::State::pins_tick() {
    prune();
    std::map<bool, std::vector<int>> wanted_pins;
    for (const Subscriber& subscriber : subscribers_) {
        if ((subscriber.topics & kPins) == 0) {
            continue;
        }
        for (const auto& [analog, named] : subscriber.pins) {
            std::vector<int>& pins = wanted_pins[analog];
            for (const int pin : named) {
                if (std::find(pins.begin(), pins.end(), pin) == pins.end()) {
                    pins.push_back(pin);
                }
            }
        }
    }
    if (wanted_pins.empty()) {
        pins_timer_.reset();
        return;
    }
    arm(pins_timer_, periods_.pins, &State::pins_tick);
    if (pins_busy_ || !session().state().connected()) {
        return;
    }
    pins_busy_ = true;
    on_board_([weak = weak_from_this(), running = running_, loop = loop_,
               wanted_pins = std::move(wanted_pins)] {
        const wire_trace::SourceScope source("sampler");
        const auto wanted = [&running] { return running->load(); };
        PinsRead read;
        read.began = Clock::now();
        for (const auto& [analog, pins] : wanted_pins) {
            for (const int pin : pins) {
                read.outcomes[analog].emplace(
                    pin, run_board_command("g" + std::to_string(pin) + (analog ? "ra" : "rd"),
                                           CommandSource::kSampler, wanted));
            }
        }
        asio::post(*loop, [weak, running, read = std::move(read)] {
            const auto self = weak.lock();
            if (self && self->running_ == running && running->load()) {
                self->pins_busy_ = false;
                self->pins_read(read);
            }
        });
    });
}

void EventHub::State::pins_read(const PinsRead& read) {
    prune();
    const std::string time = now_text();
    for (Subscriber& subscriber : subscribers_) {
        if ((subscriber.topics & kPins) == 0 || subscriber.joined > read.began) {
            continue;
        }
        for (const auto& [analog, pins] : subscriber.pins) {
            const auto mode = read.outcomes.find(analog);
            if (mode == read.outcomes.end()) {
                continue;
            }
            json values = json::array();
            bool connected = true;
            for (const int pin : pins) {
                const auto found = mode->second.find(pin);
                if (found == mode->second.end() ||
                    found->second.status == CommandStatus::kNotConnected) {
                    connected = false;
                    break;
                }
                const CommandOutcome& outcome = found->second;
                if (outcome.ok() || outcome.status == CommandStatus::kUndecoded) {
                    values.push_back({{"pin", pin}, {"value", outcome.value.value_or(0)}});
                } else {
                    values.push_back({{"pin", pin}, {"error", failure_status(outcome).second}});
                }
            }
            if (connected) {
                send(subscriber, "pins",
                     dump(json{{"read", analog ? "analog" : "digital"},
                               {"pins", std::move(values)},
                               {"time", time}}));
            }
        }
    }
}

void EventHub::State::keep_alive() {
    prune();
    if (subscribers_.empty()) {
        keep_alive_timer_.reset();
        return;
    }
    for (Subscriber& subscriber : subscribers_) {
        subscriber.sink->write(": keep-alive\n\n");
    }
    arm(keep_alive_timer_, periods_.keep_alive, &State::keep_alive);
}

// ---------------------------------------------------------------- EventHub

EventHub::EventHub(Periods periods) : state_(std::make_shared<State>(periods)) {}

EventHub::EventHub() : EventHub(Periods{}) {}

EventHub::~EventHub() = default;

void EventHub::start(asio::io_context& loop, BoardQueueJob on_board) {
    state_->start(loop, std::move(on_board));
}

std::optional<HttpResponse> EventHub::open(const HttpRequest& request,
                                           const std::shared_ptr<StreamSink>& sink) {
    return state_->open(request, sink);
}

void EventHub::stop() {
    state_->stop();
}

size_t EventHub::streams() const {
    return state_->streams();
}

std::optional<BoardWords> EventHub::scraped() {
    return state_->scraped();
}

// ---------------------------------------------------------------- followers

uint64_t follow_samples(SampleFollower follower) {
    Followers& all = followers();
    // Told under the lock: a hub that stops leaves the list first, so the
    // loop told is still there.
    std::lock_guard lock(all.mutex);
    const uint64_t id = all.next++;
    all.followers.emplace(id, std::move(follower));
    all.count.store(all.followers.size());
    for (const std::weak_ptr<EventHub::State>& hub : all.hubs) {
        if (const auto held = hub.lock()) {
            held->followed();
        }
    }
    return id;
}

void unfollow_samples(uint64_t id) {
    Followers& all = followers();
    std::lock_guard lock(all.mutex);
    all.followers.erase(id);
    all.count.store(all.followers.size());
}
