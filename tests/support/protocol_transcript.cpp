#include "tests/support/protocol_transcript.h"

#include <algorithm>
#include <sstream>
#include <string_view>

namespace test_support {

namespace {

// Length of the prompt that starts at text[at], or 0 when none does. A prompt
// is bracketed pieces, each after a blank or right after the previous one,
// ending in " [<digits>] > ".
size_t prompt_length(std::string_view text, size_t at) {
    size_t pos = at;
    bool first = true;
    for (;;) {
        if (pos >= text.size() || text[pos] != '[') {
            return 0;
        }
        const size_t close = text.find_first_of("]\n", pos + 1);
        if (close == std::string_view::npos || text[close] != ']') {
            return 0;
        }
        const std::string_view inside = text.substr(pos + 1, close - pos - 1);
        const bool counter =
            !inside.empty() &&
            std::all_of(inside.begin(), inside.end(), [](char c) { return c >= '0' && c <= '9'; });
        const bool after_blank = pos > at && text[pos - 1] == ' ';
        pos = close + 1;
        if (counter && !first && after_blank && text.substr(pos, 3) == " > ") {
            return pos + 3 - at;
        }
        first = false;
        if (text.substr(pos, 2) == " [") {
            ++pos;
        }
    }
}

bool matches(std::string_view pattern, std::string_view text) {
    size_t p = 0;
    size_t t = 0;
    size_t star = std::string_view::npos;
    size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

}  // namespace

std::string strip_prompts(const std::string& text) {
    std::string kept;
    for (size_t i = 0; i < text.size();) {
        const size_t from = text[i] == '\r' ? i + 1 : i;
        const size_t length = prompt_length(text, from);
        if (length > 0) {
            i = from + length;
        } else {
            kept += text[i++];
        }
    }
    return kept;
}

Lines split_lines(const std::string& text) {
    Lines lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

Lines transcript(const std::string& text) {
    return split_lines(strip_prompts(text));
}

std::string compare_lines(const Lines& expected, const Lines& actual) {
    for (size_t i = 0; i < expected.size() || i < actual.size(); ++i) {
        const std::string want = i < expected.size() ? expected[i] : "<no line>";
        const std::string got = i < actual.size() ? actual[i] : "<no line>";
        const bool same = want.starts_with('~') && i < actual.size()
                              ? matches(std::string_view(want).substr(1), got)
                              : want == got;
        if (!same) {
            std::ostringstream difference;
            difference << "line " << i + 1 << ": expected \"" << want << "\", got \"" << got
                       << "\"";
            return difference.str();
        }
    }
    return {};
}

}  // namespace test_support
