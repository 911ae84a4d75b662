#pragma once
// GET /api/trace?after=N: the wire trace's events after sequence number N
// (0 or none: all the ring holds), oldest first, as
//   {"events":[{"seq":7,"time":"2026-12-07T14:03:22.418213","since_ms":0.0,
//     "source":"console g2rd","dir":"->","bytes":"98 82 FE","note":"",
//     "line":"<the trace file's line>"}, ...],"dropped":0,"last":7}
// dropped: events after N that the ring no longer holds; last: the newest
// event's number, the N to ask with next. 400 {"error":"Invalid after"}
// for an N that is not a decimal number.

#include <nlohmann/json.hpp>

#include "serial/wire_trace.h"
#include "web/http_message.h"

// One event as GET /api/trace lists it (and the event stream sends it).
nlohmann::json trace_event_json(const wire_trace::Event& event);
// The same, as text whatever bytes its source holds.
std::string trace_event_text(const wire_trace::Event& event);

void answer_trace(const HttpRequest& request, HttpResponse& response);
