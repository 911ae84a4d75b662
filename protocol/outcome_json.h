#pragma once
// A command outcome as one JSON object, for scripts (--json) and the web
// API: the same field names for the same data wherever it is told.
//
//   {"word":"g2rd","ok":true,"pin":2,"value":1}
//   {"word":"sta","ok":true,"status":{"word":17,...},"alarm":{...},"fault":{...}}
//   {"word":"foo","ok":false,"error":"unknown_word","message":"Not able to decode."}
//   {"word":"\ufffd","ok":false,...,"invalid_utf8":["word","message"]}

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "protocol/command_outcome.h"

// Fields come in a fixed order, word and ok first.
// message: what the console printed for the word (kept for failures, and
// for successes when not empty).
nlohmann::ordered_json outcome_json(const CommandOutcome& outcome, std::string_view message = {});
// The record as one line of text. Never throws: bytes that are not UTF-8
// (outcome_json names the fields holding them) become U+FFFD.
std::string record_text(const nlohmann::ordered_json& record);
// Whether text is valid UTF-8 (shortest forms, no surrogates, up to U+10FFFF).
bool valid_utf8(std::string_view text);
