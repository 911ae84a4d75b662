// Console output shared between threads: every prompt and every line leaves
// whole, and no prompt number is shown twice or lost.

#include "base/console_output.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/session.h"

namespace {

TEST(PromptConcurrency, ThreadsNeverSplitPromptsOrShareANumber) {
    constexpr int kThreads = 4;
    constexpr int kPromptsEach = 250;
    session().reset();
    prompt_counter = 0;

    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPromptsEach; ++i) {
                if (t == 0) {
                    out_line("a line from the console thread");
                }
                print_prompt();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::string out = testing::internal::GetCapturedStdout();

    // The output must be whole lines and whole prompts, back to back.
    const std::string line = "a line from the console thread\n";
    const std::string prompt_head = "[Disconnected] [local] [Client] [";
    std::set<unsigned long> numbers;
    std::size_t covered = 0;
    while (covered < out.size()) {
        if (out.compare(covered, line.size(), line) == 0) {
            covered += line.size();
            continue;
        }
        const std::size_t digits = covered + prompt_head.size();
        const std::size_t tail = out.find_first_not_of("0123456789", digits);
        ASSERT_TRUE(out.compare(covered, prompt_head.size(), prompt_head) == 0 && tail != digits &&
                    tail != std::string::npos && out.compare(tail, 4, "] > ") == 0)
            << "output split near: " << out.substr(covered, 60);
        const std::string number = out.substr(digits, tail - digits);
        EXPECT_TRUE(numbers.insert(std::stoul(number)).second) << "number shown twice: " << number;
        covered = tail + 4;
    }
    EXPECT_EQ(covered, out.size());
    ASSERT_EQ(numbers.size(), static_cast<std::size_t>(kThreads * kPromptsEach));
    EXPECT_EQ(*numbers.rbegin(), static_cast<unsigned long>(kThreads * kPromptsEach - 1));
    EXPECT_EQ(prompt_counter.load(), static_cast<uint32_t>(kThreads * kPromptsEach));
}

}  // namespace
