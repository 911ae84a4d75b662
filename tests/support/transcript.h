#pragma once
// The console's text for what was said, as the tests compare it: its lines,
// and a trace as its message with the stamp's lines (build and source
// place, which vary) cut after their colon; prompts are left out.

#include <string>
#include <vector>

#include "app/console_tell.h"

namespace test_support {

inline std::string transcript(const std::vector<Saying>& said) {
    std::string text;
    for (const Saying& saying : said) {
        if (saying.kind == Saying::Kind::kLine) {
            text += saying.text + "\n";
        } else if (saying.kind == Saying::Kind::kTrace) {
            text += saying.text + "\nBuild:\nFile:\n";
        }
    }
    return text;
}

}  // namespace test_support
