#pragma once
// Console output as the protocol tests compare it: lines, with the prompts
// (and the carriage return before a frame transaction's prompt) taken out.

#include <string>
#include <vector>

namespace test_support {

using Lines = std::vector<std::string>;

// Every prompt form ("[port] [maker:board] [Server] [n] > ", "[Disconnected]
// [local] [Client] [n] > ", ...) and a "\r" in front of one are removed.
std::string strip_prompts(const std::string& text);
Lines split_lines(const std::string& text);
// split_lines(strip_prompts(text)).
Lines transcript(const std::string& text);

// Expected lines whose entries start with "~" are patterns in which "*"
// stands for any run of characters; the others are compared exactly.
// Returns a description of the first difference, empty when they match.
std::string compare_lines(const Lines& expected, const Lines& actual);

}  // namespace test_support
