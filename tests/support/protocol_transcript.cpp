#include "tests/support/protocol_transcript.h"

#include <regex>
#include <sstream>

namespace test_support {

std::string strip_prompts(const std::string& text) {
    static const std::regex prompt(R"(\r?\[[^\]\n]*\]( ?\[[^\]\n]*\])*? \[[0-9]+\] > )");
    return std::regex_replace(text, prompt, "");
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
    std::ostringstream difference;
    for (size_t i = 0; i < expected.size() || i < actual.size(); ++i) {
        const std::string want = i < expected.size() ? expected[i] : "<no line>";
        const std::string got = i < actual.size() ? actual[i] : "<no line>";
        const bool same = want.starts_with('~') && i < actual.size()
                              ? std::regex_match(got, std::regex(want.substr(1)))
                              : want == got;
        if (!same) {
            difference << "line " << i + 1 << ": expected \"" << want << "\", got \"" << got
                       << "\"";
            return difference.str();
        }
    }
    return {};
}

}  // namespace test_support
