#include "web/trace_api.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <string>

#include "serial/wire_trace.h"

using nlohmann::json;

nlohmann::json trace_event_json(const wire_trace::Event& event) {
    return json{{"seq", event.seq},
                {"time", wire_trace::format_time(event.time)},
                {"since_ms", event.since_request_ms},
                {"source", event.source},
                {"dir", wire_trace::direction_mark(event.direction)},
                {"bytes", wire_trace::hex_bytes(event.bytes)},
                {"note", event.note},
                {"line", wire_trace::format_line(event)}};
}

std::string trace_event_text(const wire_trace::Event& event) {
    return trace_event_json(event).dump(-1, ' ', false, json::error_handler_t::replace);
}

void answer_trace(const HttpRequest& request, HttpResponse& response) {
    uint64_t after = 0;
    if (request.has_param("after")) {
        const std::string digits = request.param("after");
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), after);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
            response.status = 400;
            response.set_content(R"({"error":"Invalid after"})", "application/json");
            return;
        }
    }
    const wire_trace::Page page = wire_trace::events_after(after);
    json events = json::array();
    for (const wire_trace::Event& event : page.events) {
        events.push_back(trace_event_json(event));
    }
    const json body{{"events", std::move(events)}, {"dropped", page.dropped}, {"last", page.last}};
    // A source holds a request's path as it came, which need not be UTF-8.
    response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace),
                         "application/json");
}
