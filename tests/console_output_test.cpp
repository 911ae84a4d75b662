// Console output shared between threads: every prompt and every line leaves
// whole, and no prompt number is shown twice or lost. The session that the
// threads share wakes whoever waits for a change.

#include "base/console_output.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/session.h"

namespace {

TEST(PromptConcurrency, ThreadsNeverSplitPromptsAndNumbersLeaveInOrder) {
    constexpr int kThreads = 4;
    constexpr int kPromptsEach = 1000;
    session().reset();
    set_next_prompt_number(0);

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
    unsigned long expected = 0;
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
        ASSERT_EQ(std::stoul(number), expected++) << "prompts out of order";
        covered = tail + 4;
    }
    EXPECT_EQ(covered, out.size());
    EXPECT_EQ(expected, static_cast<unsigned long>(kThreads * kPromptsEach));
    EXPECT_EQ(next_prompt_number(), static_cast<uint32_t>(kThreads * kPromptsEach));
}

// A waiter wakes for the change it waits for, from another thread, and a
// listener sees every change until it unsubscribes, never after.
TEST(SessionConcurrency, WaitersWakeAndListenersStopWhenUnsubscribed) {
    Session s;
    std::atomic<int> heard{0};
    const uint64_t id = s.subscribe([&](const SessionState&) { ++heard; });
    std::thread console([&] {
        s.opened("ttyACM0");
        s.identified("Arduino", "Uno_R4_Minima", 1, 2);
        s.waiting("ttyACM0");
    });
    const SessionState waiting =
        s.wait_until([](const SessionState& now) { return now.link == LinkState::kWaiting; });
    console.join();
    EXPECT_EQ(waiting.port, "ttyACM0");
    EXPECT_EQ(waiting.maker, "-");  // a vanished board is no longer named
    EXPECT_FALSE(waiting.connected());
    EXPECT_TRUE(waiting.web_should_serve());
    EXPECT_EQ(heard.load(), 3);
    s.unsubscribe(id);
    s.closed();
    EXPECT_EQ(heard.load(), 3);
    // A wait with a deadline that nothing meets ends with nothing.
    EXPECT_FALSE(
        s.wait_until([](const SessionState& now) { return now.connected(); }, Session::Clock::now())
            .has_value());
    // Quitting is for good, and the web front end stops serving then.
    s.opened("ttyACM0");
    s.set_mode(ConsoleMode::kQuit);
    s.set_mode(ConsoleMode::kServer);
    EXPECT_TRUE(s.state().quitting());
    EXPECT_FALSE(s.state().web_should_serve());
    EXPECT_EQ(s.state().number, 2u);
}

}  // namespace
