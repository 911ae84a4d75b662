#pragma once
// Console output as the tests compare it: without the prompts (nor the "\r"
// before a frame transaction's own), and with the trace stamps and the
// board's statistics, which vary from run to run, cut after their first
// colon.

#include <sstream>
#include <string>

namespace test_support {

inline std::string transcript(const std::string& text) {
    std::string kept;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        const size_t prompt_end = line.rfind("] > ");
        line.erase(0, prompt_end == std::string::npos ? 0 : prompt_end + 4);
        if (line.starts_with("Build: ") || line.starts_with("File: ") ||
            line.find(" % (") != std::string::npos) {
            line.erase(line.find(':') + 1);
        }
        kept += line.empty() && stream.eof() ? "" : line + "\n";
    }
    return kept;
}

}  // namespace test_support
