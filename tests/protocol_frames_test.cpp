// Request frames as data: command line in, bytes and the one report out.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/quirn_transcoder.h"
#include "protocol/server_commands.h"

namespace {

using Report = FramePlan::Report;

TEST(ProtocolFrames, LinesBecomeTheirFrameOrNothingAndOneReport) {
    struct Row {
        std::string line;
        std::vector<uint8_t> frame;  // empty: nothing is sent
        std::string text = "";       // the report: none when empty, a trace for the empty line
    };
    // clang-format off
    const Row rows[] = {
        // The worked frames; pins wrap to six bits, leading zeros and text after
        // a written value cost nothing, and a value byte may equal a code.
        {"g1ci", {0x80, 0x81, 0xFE}},         {"g2co", {0x81, 0x82, 0xFE}},
        {"g13cod", {0x88, 0x8D, 0xFE}},       {"g5cpu", {0x89, 0x85, 0xFE}},
        {"g8rd", {0x98, 0x88, 0xFE}},         {"g8ra", {0xA0, 0x88, 0xFE}},
        {"g2wd1", {0xA4, 0x82, 0x81, 0xFE}},  {"g2wd0", {0xA4, 0x82, 0x80, 0xFE}},
        {"g70ci", {0x80, 0x86, 0xFE}},        {"g2wd100", {0xA4, 0x82, 0xA4, 0xFE}},
        {"g4cr", {0x87, 0x84, 0xFE}},         {"g0ci", {0x80, 0x80, 0xFE}},
        {"g64rd", {0x98, 0x80, 0xFE}},        {"g65rd", {0x98, 0x81, 0xFE}},
        {"g007ci", {0x80, 0x87, 0xFE}},       {"g0000000000000000000000007ci", {0x80, 0x87, 0xFE}},
        {"g2wd1x", {0xA4, 0x82, 0x81, 0xFE}}, {"g2147483647rd", {0x98, 0xBF, 0xFE}},
        {"ihwmcu", {0xE0, 0xFD}},  {"iping", {0xE1, 0xFE}},     {"irtcrd", {0xE2, 0xFE}},
        {"irtcwr", {0xE3, 0xFE}},  {"irtcdevrd", {0xE4, 0xFE}}, {"irtcdevwr", {0xE5, 0xFE}},
        {"ibatt", {0xE6, 0xFE}},   {"isup", {0xE7, 0xFE}},      {"icons", {0xE8, 0xFE}},
        {"csleep", {0xF0, 0xFE}},  {"cwake", {0xF1, 0xFE}},
        // Lines that send nothing. Words are compared whole, a minus is no
        // digit, only "wd" is a prefix, and without a pin even "ca" is silent.
        {"", {}, "Error, no string in."}, {"x1ci", {}, "Nop: x1ci"}, {"g12", {}, "Nop"},
        {"g", {}, "Nop"}, {"g1ci2", {}, "Nop"}, {"g-1ci", {}, "Nop"}, {"g3wp100", {}, "Nop"},
        {"g3ca", {}, "Not implemented"},  {"g12cp", {}, "Not implemented"},
        {"g1cpd", {}, "Not implemented"}, {"g1cpp", {}, "Not implemented"},
        {"g1rd8", {}, "Not implemented"}, {"g1wp", {}, "Not implemented"},
        {"gca", {}}, {"gci", {}}, {"gwd1", {}}, {"g2wd", {}}, {"g2wdx", {}}, {"g2wd-1", {}},
        {"icon", {}}, {"isupply", {}}, {"cwakeup", {}}, {"mhead", {}},
        // Numbers past a 32-bit int are refused instead of wrapping into another pin.
        {"g2147483648rd", {}, "Pin number too large: 2147483648"},
        {"g4294967297ci", {}, "Pin number too large: 4294967297"},
        {"g99999999999999999999999co", {}, "Pin number too large: 99999999999999999999999"},
        {"g4294967297wd1", {}, "Pin number too large: 4294967297"},
        {"g2wd2147483648", {}, "Value too large: 2147483648"}};
    // clang-format on
    for (const Row& row : rows) {
        const char family = row.line.empty() ? 'g' : row.line.front();
        const FramePlan plan = family == 'i'   ? plan_info(row.line)
                               : family == 'c' ? plan_power(row.line)
                               : family == 'm' ? plan_memory(row.line)
                                               : plan_gpio(row.line);
        EXPECT_EQ(plan.frame, row.frame) << row.line;
        EXPECT_EQ(plan.report, row.text.empty()   ? Report::kNone
                               : row.line.empty() ? Report::kTrace
                                                  : Report::kLine)
            << row.line;
        EXPECT_EQ(plan.text, row.text) << row.line;
    }
}

// The reports are printed although nothing is sent and no port is open.
TEST(ProtocolFrames, ReportsOfLinesThatSendNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(transcode_gpio("").count + transcode_gpio("x2rd").count, 0u);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(printed.starts_with("Error, no string in.\nBuild: ")) << printed;
    EXPECT_NE(printed.find("\nFile: protocol/quirn_transcoder.cpp:"), std::string::npos);
    EXPECT_TRUE(printed.ends_with("\nNop: x2rd\n")) << printed;
}

// Only the seven single-byte codes are sent; 0x140 must not be cut down to 0x40.
TEST(ProtocolFrames, SendServerCodeOutsideTheTableSendsNothing) {
    for (const uint32_t code : {0u, 3u, 0x80u, 0x140u}) {
        testing::internal::CaptureStdout();
        const CommandReply reply = send_server_code(code);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "QUIRN Command Nop: " + std::to_string(code) + "\n");
        EXPECT_TRUE(reply.bytes.empty() && reply.count == 0) << code;
    }
}

}  // namespace
