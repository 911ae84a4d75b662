// Request frames as data: command line in, bytes and the one report out.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "protocol/quirn_transcoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Report = FramePlan::Report;

struct FrameCase {
    std::string line;
    Bytes frame;  // empty: nothing is sent
    Report report;
    std::string text;
};

void expect_plan(const FramePlan& plan, const FrameCase& row) {
    EXPECT_EQ(plan.frame, row.frame) << row.line;
    EXPECT_EQ(plan.report, row.report) << row.line;
    EXPECT_EQ(plan.text, row.text) << row.line;
    for (uint8_t byte : plan.frame) {
        EXPECT_NE(byte, 0x00) << row.line << ": the port sends a frame up to its first zero";
    }
}

TEST(ProtocolFrames, GpioLinesBecomeTheirFrames) {
    const FrameCase rows[] = {
        {"g1ci", {0x80, 0x81, 0xFE}, Report::kNone, ""},
        {"g2co", {0x81, 0x82, 0xFE}, Report::kNone, ""},
        {"g13cod", {0x88, 0x8D, 0xFE}, Report::kNone, ""},
        {"g5cpu", {0x89, 0x85, 0xFE}, Report::kNone, ""},
        {"g4cr", {0x87, 0x84, 0xFE}, Report::kNone, ""},
        {"g8rd", {0x98, 0x88, 0xFE}, Report::kNone, ""},
        {"g8ra", {0xA0, 0x88, 0xFE}, Report::kNone, ""},
        {"g2wd1", {0xA4, 0x82, 0x81, 0xFE}, Report::kNone, ""},
        {"g2wd0", {0xA4, 0x82, 0x80, 0xFE}, Report::kNone, ""},
        {"g70ci", {0x80, 0x86, 0xFE}, Report::kNone, ""},
        {"g2wd100", {0xA4, 0x82, 0xA4, 0xFE}, Report::kNone, ""},  // value byte equals a code
        {"g0ci", {0x80, 0x80, 0xFE}, Report::kNone, ""},
        {"g64rd", {0x98, 0x80, 0xFE}, Report::kNone, ""},  // pins wrap to six bits
        {"g65rd", {0x98, 0x81, 0xFE}, Report::kNone, ""},
        {"g63rd", {0x98, 0xBF, 0xFE}, Report::kNone, ""},
        {"g007ci", {0x80, 0x87, 0xFE}, Report::kNone, ""},
        {"g0000000000000000000000007ci", {0x80, 0x87, 0xFE}, Report::kNone, ""},
        {"g2wd01", {0xA4, 0x82, 0x81, 0xFE}, Report::kNone, ""},
        {"g2wd1x", {0xA4, 0x82, 0x81, 0xFE}, Report::kNone, ""},
        {"g2wd000000000000000001", {0xA4, 0x82, 0x81, 0xFE}, Report::kNone, ""},
        {"g2147483647rd", {0x98, 0xBF, 0xFE}, Report::kNone, ""},  // largest pin accepted
        {"g2wd2147483647", {0xA4, 0x82, 0xBF, 0xFE}, Report::kNone, ""},
    };
    for (const FrameCase& row : rows) {
        expect_plan(plan_gpio(row.line), row);
    }
}

TEST(ProtocolFrames, GpioLinesThatSendNothing) {
    const FrameCase rows[] = {
        {"", {}, Report::kTrace, "Error, no string in."},
        {"x1ci", {}, Report::kLine, "Nop: x1ci"},
        {"g12", {}, Report::kLine, "Nop"},    // empty subcommand
        {"g", {}, Report::kLine, "Nop"},      // bare g
        {"g1ci2", {}, Report::kLine, "Nop"},  // ci2 is no word
        {"g-1ci", {}, Report::kLine, "Nop"},  // a minus is not a digit
        {"g1xyz", {}, Report::kLine, "Nop"},
        {"g3wp100", {}, Report::kLine, "Nop"},  // "wp" is compared whole
        {"gca", {}, Report::kNone, ""},         // unimplemented without a pin: silent
        {"g3ca", {}, Report::kLine, "Not implemented"},
        {"g8ca", {}, Report::kLine, "Not implemented"},
        {"g12cp", {}, Report::kLine, "Not implemented"},
        {"g1cpd", {}, Report::kLine, "Not implemented"},
        {"g1cpp", {}, Report::kLine, "Not implemented"},
        {"g1cslow", {}, Report::kLine, "Not implemented"},
        {"g1cmedi", {}, Report::kLine, "Not implemented"},
        {"g1cfast", {}, Report::kLine, "Not implemented"},
        {"g1rd8", {}, Report::kLine, "Not implemented"},
        {"g1rd16", {}, Report::kLine, "Not implemented"},
        {"g1rd32", {}, Report::kLine, "Not implemented"},
        {"g1wp", {}, Report::kLine, "Not implemented"},
        {"gci", {}, Report::kNone, ""},  // known word, no pin
        {"grd", {}, Report::kNone, ""},
        {"gwd1", {}, Report::kNone, ""},
        {"g2wd", {}, Report::kNone, ""},    // no value
        {"g2wdx", {}, Report::kNone, ""},   // value does not start with a digit
        {"g2wd-1", {}, Report::kNone, ""},  // negative value
    };
    for (const FrameCase& row : rows) {
        expect_plan(plan_gpio(row.line), row);
    }
}

// Numbers past a 32-bit int are refused outright instead of wrapping into
// some other pin or value.
TEST(ProtocolFrames, NumbersTooLargeAreRefused) {
    const FrameCase rows[] = {
        {"g2147483648rd", {}, Report::kLine, "Pin number too large: 2147483648"},
        {"g4294967297ci", {}, Report::kLine, "Pin number too large: 4294967297"},
        {"g99999999999999999999999co",
         {},
         Report::kLine,
         "Pin number too large: 99999999999999999999999"},
        {"g4294967297wd1", {}, Report::kLine, "Pin number too large: 4294967297"},
        {"g2wd2147483648", {}, Report::kLine, "Value too large: 2147483648"},
        {"g2wd18446744073709551617x", {}, Report::kLine, "Value too large: 18446744073709551617"},
    };
    for (const FrameCase& row : rows) {
        expect_plan(plan_gpio(row.line), row);
    }
}

TEST(ProtocolFrames, InformationPowerAndMemoryWords) {
    struct WordCase {
        FramePlan (*plan)(const std::string&);
        std::string line;
        Bytes frame;
    };
    const WordCase rows[] = {
        {plan_info, "ihwmcu", {0xE0, 0xFD}},  // the one frame ending in 0xFD
        {plan_info, "iping", {0xE1, 0xFE}},
        {plan_info, "irtcrd", {0xE2, 0xFE}},
        {plan_info, "irtcwr", {0xE3, 0xFE}},
        {plan_info, "irtcdevrd", {0xE4, 0xFE}},
        {plan_info, "irtcdevwr", {0xE5, 0xFE}},
        {plan_info, "ibatt", {0xE6, 0xFE}},
        {plan_info, "isup", {0xE7, 0xFE}},
        {plan_info, "icons", {0xE8, 0xFE}},
        {plan_info, "icon", {}},
        {plan_info, "isupply", {}},
        {plan_info, "ihwmcu2", {}},
        {plan_info, "i", {}},
        {plan_power, "csleep", {0xF0, 0xFE}},
        {plan_power, "cwake", {0xF1, 0xFE}},
        {plan_power, "cwakeup", {}},
        {plan_power, "cslow", {}},
        {plan_memory, "mhead", {}},  // reserved, never sent
        {plan_memory, "mtail", {}},
    };
    for (const WordCase& row : rows) {
        const FramePlan plan = row.plan(row.line);
        EXPECT_EQ(plan.frame, row.frame) << row.line;
        EXPECT_EQ(plan.report, Report::kNone) << row.line << ": these words print nothing";
    }
}

// The reports of the two lines that never reach the port: nothing is sent,
// so no port needs to be open.
TEST(ProtocolFrames, ReportsOfLinesThatSendNothing) {
    testing::internal::CaptureStdout();
    const CommandReply empty_line = transcode_gpio("");
    const CommandReply other_letter = transcode_gpio("x2rd");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(empty_line.bytes.empty());
    EXPECT_TRUE(other_letter.bytes.empty());
    std::istringstream lines(printed);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Error, no string in.");
    std::getline(lines, line);
    EXPECT_TRUE(line.starts_with("Build: ")) << line;
    std::getline(lines, line);
    EXPECT_TRUE(line.starts_with("File: protocol/quirn_transcoder.cpp:")) << line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Nop: x2rd");
    EXPECT_FALSE(std::getline(lines, line)) << printed;
}

}  // namespace
