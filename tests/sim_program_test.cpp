// The quirn-sim program as a user starts it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/sim_host_line.h"

namespace {

using namespace std::chrono_literals;
using test_support::ChildProcess;
using test_support::HostLine;
using Bytes = std::vector<uint8_t>;

constexpr auto kDeadline = 10s;
const std::string kProgram = QUIRN_SIM_BINARY;

// The path at the end of the first line, once it is there.
std::string terminal_path(ChildProcess& sim) {
    if (!sim.wait_for_output("\n", kDeadline)) {
        return "";
    }
    const std::string& out = sim.output();
    const std::size_t on = out.find(" on ");
    const std::size_t end = out.find('\n');
    return on == std::string::npos || on > end ? "" : out.substr(on + 4, end - on - 4);
}

TEST(SimProgram, FirstLineNamesTheBoardAndTheTerminal) {
    struct Row {
        std::vector<std::string> args;
        std::string board;
        Bytes ids;  // bytes 2 and 3 of the identification reply
    };
    const Row rows[] = {
        {{}, "Arduino Uno R4 Minima", {0x06, 0x09}},
        {{"--pic"}, "Microchip PIC16F628", {0x30, 0x09}},
        {{"--maker", "0x12"}, "unknown board 0x12:0x09", {0x12, 0x09}},
        {{"--maker=6", "--board", "5"}, "unknown Arduino board 0x05", {0x06, 0x05}},
        {{"--pic", "--board", "0x0a"}, "unknown Microchip board 0x0A", {0x30, 0x0A}},
    };
    for (const Row& row : rows) {
        ChildProcess sim(kProgram, row.args);
        ASSERT_TRUE(sim.started());
        const std::string path = terminal_path(sim);
        ASSERT_FALSE(path.empty()) << sim.output() << sim.errors();
        EXPECT_EQ(sim.output(), "Simulated Quirn board (" + row.board + ") on " + path + "\n");
        HostLine host(path);
        ASSERT_TRUE(host.ok());
        ASSERT_TRUE(host.write({0xE0, 0xFD}));
        const Bytes reply = host.read_exact(4, kDeadline);
        ASSERT_EQ(reply.size(), 4u);
        EXPECT_EQ(Bytes(reply.begin() + 2, reply.end()), row.ids);
        sim.close_input();
        EXPECT_EQ(sim.wait_exit(kDeadline), 0) << "end of input stops it";
    }
}

TEST(SimProgram, RefusesBadOptionsWithAUsageLine) {
    struct Row {
        std::vector<std::string> args;
        std::string says;
    };
    const Row rows[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"ttyACM0"}, "unexpected argument 'ttyACM0'"},
        {{"--delay"}, "--delay needs milliseconds"},
        {{"--delay", "abc"}, "not 'abc'"},
        {{"--delay", "60001"}, "not '60001'"},
        {{"--maker", "256"}, "not '256'"},
        {{"--board="}, "not ''"},
        {{"--garbage", "65537"}, "not '65537'"},
        {{"--silent-every", "4294967296"}, "not '4294967296'"},
        {{"--pace=1"}, "--pace takes no value"},
    };
    for (const Row& row : rows) {
        ChildProcess sim(kProgram, row.args);
        ASSERT_TRUE(sim.started());
        EXPECT_EQ(sim.wait_exit(kDeadline), 2) << row.says;
        EXPECT_EQ(sim.output(), "") << row.says;
        EXPECT_EQ(sim.errors().rfind("quirn-sim: ", 0), 0u) << sim.errors();
        EXPECT_NE(sim.errors().find(row.says), std::string::npos) << sim.errors();
        EXPECT_EQ(sim.errors().find('\n'), sim.errors().size() - 1) << "one line: " << sim.errors();
    }
}

TEST(SimProgram, LogsFramesAndRepliesInHex) {
    ChildProcess sim(kProgram, {"--log", "--silent-every", "3"});
    const std::string path = terminal_path(sim);
    ASSERT_FALSE(path.empty());
    {
        HostLine host(path);
        ASSERT_TRUE(host.write({0x40}));
        ASSERT_EQ(host.read_exact(4, kDeadline).size(), 4u);
        ASSERT_TRUE(host.write({0x03, 0xA4, 0x82, 0x81, 0xFE}));
        ASSERT_TRUE(host.write({0xE1, 0xFE}));
        ASSERT_EQ(host.read_exact(1, kDeadline), Bytes{0xE1});
    }
    sim.close_input();
    EXPECT_EQ(sim.wait_exit(kDeadline), 0);
    EXPECT_EQ(sim.errors(),
              "quirn-sim: rx 40\n"
              "quirn-sim: tx 40 00 00 00\n"
              "quirn-sim: rx 03\n"
              "quirn-sim: tx none (unknown frame)\n"
              "quirn-sim: rx A4 82 81 FE\n"
              "quirn-sim: tx none (silent)\n"
              "quirn-sim: rx E1 FE\n"
              "quirn-sim: tx E1\n");
}

TEST(SimProgram, KeepsServingWhenStartedWithNoInput) {
    // What a script's background job gets: stdin from /dev/null.
    ChildProcess sim("/bin/sh", {"-c", "exec \"$0\" </dev/null", kProgram});
    const std::string path = terminal_path(sim);
    ASSERT_FALSE(path.empty()) << sim.errors();
    HostLine host(path);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.write({0x02}));
    EXPECT_EQ(host.read_exact(1, kDeadline), Bytes{0x02});
}

TEST(SimProgram, NoStdinOptionIgnoresEndOfInput) {
    ChildProcess sim(kProgram, {"--no-stdin"});
    const std::string path = terminal_path(sim);
    ASSERT_FALSE(path.empty());
    sim.close_input();
    HostLine host(path);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.write({0x02}));
    EXPECT_EQ(host.read_exact(1, kDeadline), Bytes{0x02});
}

TEST(SimProgram, EndsAfterTheHangUp) {
    ChildProcess sim(kProgram, {"--hangup-after", "1"});
    const std::string path = terminal_path(sim);
    ASSERT_FALSE(path.empty());
    HostLine host(path);
    ASSERT_TRUE(host.write({0x40}));
    EXPECT_EQ(host.read_exact(4, kDeadline).size(), 4u);
    ASSERT_TRUE(host.write({0x40}));
    EXPECT_TRUE(host.wait_closed(kDeadline));
    EXPECT_EQ(sim.wait_exit(kDeadline), 0);
    EXPECT_NE(sim.errors().find("hung up after 1 requests"), std::string::npos) << sim.errors();
}

}  // namespace
