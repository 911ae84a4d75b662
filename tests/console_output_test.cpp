// Console output shared between threads: every prompt and every line leaves
// whole, and no prompt number is shown twice or lost.

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/console_output.h"
#include "base/state.h"

namespace {

TEST(PromptConcurrency, ThreadsNeverSplitPromptsOrShareANumber) {
    constexpr int kThreads = 4;
    constexpr int kPromptsEach = 250;
    console_mode = mode::kClient;
    connected = 0;
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

    const std::regex piece(
        R"(\[Disconnected\] \[local\] \[Client\] \[(\d+)\] > |a line from the console thread\n)");
    std::set<unsigned long> numbers;
    std::size_t covered = 0;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), piece);
         it != std::sregex_iterator(); ++it) {
        ASSERT_EQ(static_cast<std::size_t>(it->position()), covered)
            << "output split near: " << out.substr(covered, 60);
        covered += static_cast<std::size_t>(it->length());
        if ((*it)[1].matched) {
            EXPECT_TRUE(numbers.insert(std::stoul((*it)[1].str())).second)
                << "number shown twice: " << (*it)[1].str();
        }
    }
    EXPECT_EQ(covered, out.size());
    ASSERT_EQ(numbers.size(), static_cast<std::size_t>(kThreads * kPromptsEach));
    EXPECT_EQ(*numbers.rbegin(), static_cast<unsigned long>(kThreads * kPromptsEach - 1));
    EXPECT_EQ(prompt_counter.load(), static_cast<uint32_t>(kThreads * kPromptsEach));
}

}  // namespace
