// Reply decoding as data: a command line and the reply bytes in, the exact
// printed lines and the board state out.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/state.h"
#include "protocol/class_quirn_server.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

Lines split_lines(const std::string& text) {
    Lines lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

CommandReply reply_of(Bytes bytes) {
    const auto count = static_cast<uint32_t>(bytes.size());
    return CommandReply{std::move(bytes), count};
}

class ProtocolDecoder : public testing::Test {
  protected:
    void SetUp() override { connected.store(1); }
    void TearDown() override {
        connected.store(0);
        quirn_server().set_names("-", "-");
    }

    // The lines that decoding the reply to line prints.
    static Lines decode(const std::string& line, Bytes bytes) {
        testing::internal::CaptureStdout();
        quirn_server().decode_response(line, reply_of(std::move(bytes)));
        return split_lines(testing::internal::GetCapturedStdout());
    }
};

struct DecodeCase {
    std::string line;
    Bytes reply;
    Lines printed;
};

void expect_decoded(const DecodeCase& row, const Lines& printed) {
    EXPECT_EQ(printed, row.printed) << row.line << " (" << row.reply.size() << " bytes)";
}

const Lines kStatusClearWords = {
    "",
    "bs_alarm: 00000000",
    "b4 == 0 : U-ST (User Space) Stack load is good",
    "b0 == 0 : K-ST (Kernel Space) Stack load is good",
    "",
    "bs_fault: 00000000",
    "b4 == 0 : U-ST (User Space) stack good",
    "b3 == 0 : Wadtchdog timer good TODO",
    "b0 == 0 : K-ST (Kernel Space) stack good",
};

Lines concat(Lines head, const Lines& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST_F(ProtocolDecoder, StatusReportTellsEachNamedBit) {
    const DecodeCase rows[] = {
        {"sta",
         {0x40, 0x11, 0x00, 0x00},
         concat(
             {"", "bs_status: 00010001", "b7 == 0 : No Fault for User space",
              "b6 == 0 : No Alarm for User space", "b4 == 1 : U-ST (User Space scheduler) running",
              "b3 == 0 : No Fault for Kernel", "b2 == 0 : No Alarm for Kernel",
              "b0 == 1 : K-ST (Kernel Space scheduler) running"},
             kStatusClearWords)},
        {"status",
         {0x40, 0xEE, 0x11, 0x19},
         {"", "bs_status: 11101110", "b7 == 1 : A Fault for User space exists",
          "b6 == 1 : An Alarm for User space exists",
          "b4 == 0 : U-ST (User Space scheduler) stopped", "b3 == 1 : A Fault for Kernel exists",
          "b2 == 1 : An Alarm for Kernel exists", "b0 == 0 : K-ST (Kernel Space scheduler) stopped",
          "", "bs_alarm: 00010001", "b4 == 1 : U-ST (User Space) Stack load is high",
          "b0 == 1 : K-ST (Kernel Space) Stack load is high", "", "bs_fault: 00011001",
          "b4 == 1 : U-ST (User Space) stack full",
          "b3 == 1 : Wadtchdog timer triggered (RT overload) TODO",
          "b0 == 1 : K-ST (Kernel Space) stack Full"}},
        // Unnamed bits show only in the binary digits.
        {"sta",
         {0x40, 0x22, 0xEE, 0xE6},
         {"", "bs_status: 00100010", "b7 == 0 : No Fault for User space",
          "b6 == 0 : No Alarm for User space", "b4 == 0 : U-ST (User Space scheduler) stopped",
          "b3 == 0 : No Fault for Kernel", "b2 == 0 : No Alarm for Kernel",
          "b0 == 0 : K-ST (Kernel Space scheduler) stopped", "", "bs_alarm: 11101110",
          "b4 == 0 : U-ST (User Space) Stack load is good",
          "b0 == 0 : K-ST (Kernel Space) Stack load is good", "", "bs_fault: 11100110",
          "b4 == 0 : U-ST (User Space) stack good", "b3 == 0 : Wadtchdog timer good TODO",
          "b0 == 0 : K-ST (Kernel Space) stack good"}},
    };
    for (const DecodeCase& row : rows) {
        expect_decoded(row, decode(row.line, row.reply));
    }
}

TEST_F(ProtocolDecoder, SystatPercentagesInSinglePrecision) {
    // Period 40 - 0; stacks 200 and 128.
    EXPECT_EQ(
        decode("sys", {0x04, 5, 40, 13, 0, 40, 50, 150, 1, 127, 200, 128}),
        (Lines{"", "Systats:", "RT load min:           12.5 % (5 / 40)",
               "RT load max:           100 % (40 / 40)", "RT load avg:           32.5 % (13 / 40)",
               "Kernel stack load min: 25 % (50 / 200)", "Kernel stack load max: 75 % (150 / 200)",
               "User stack load min:   0.78125 % (1 / 128)",
               "User stack load max:   99.2188 % (127 / 128)"}));
    // Six significant digits, single-precision quotient: 1/3 and 2/3.
    EXPECT_EQ(decode("systat", {0x04, 1, 2, 1, 0, 3, 1, 2, 1, 2, 3, 3})[2],
              "RT load min:           33.3333 % (1 / 3)");
}

TEST_F(ProtocolDecoder, SystatWrappedPeriodAndZeroStackSize) {
    // rt_period_low 10 above rt_period_high 5: the period wraps to 2^32 - 5.
    const Lines printed = decode("sys", {0x04, 5, 9, 7, 10, 5, 1, 2, 3, 4, 0, 0});
    ASSERT_EQ(printed.size(), 9u);
    EXPECT_EQ(printed[2], "RT load min:           1.16415e-07 % (5 / 4294967291)");
    EXPECT_EQ(printed[3], "RT load max:           2.09548e-07 % (9 / 4294967291)");
    // A zero stack size still prints every line, with what the stream makes of x/0.
    EXPECT_EQ(printed[5], "Kernel stack load min: inf % (1 / 0)");
    EXPECT_EQ(printed[8], "User stack load max:   inf % (4 / 0)");
    const Lines zero = decode("sys", {0x04, 0, 0, 0, 7, 7, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(zero.size(), 9u);
    EXPECT_NE(zero[2].find("nan % (0 / 0)"), std::string::npos) << zero[2];
}

TEST_F(ProtocolDecoder, LengthAndEchoErrorsInTheirOrder) {
    const std::string kTx = "Error on transmission. The Request was: ";
    const DecodeCase rows[] = {
        // Status and systat check the echo first, whatever the length.
        {"sta", {0x40}, {"Error response length: 1 != 4"}},
        {"sta", {0x41}, {kTx + "status (0x40) but reaback from server was 0x41"}},
        {"status", {0x41, 0, 0, 0}, {kTx + "status (0x40) but reaback from server was 0x41"}},
        {"sys", {0x04, 1, 2}, {"Error status response length: 3 != 12"}},
        {"sys", {0x05, 1, 2}, {kTx + "systat (0x4) but reaback from server was 0x5"}},
        // The echo replies check the length first.
        {"rust", {0x21, 0x21}, {"Error response length: 2 != 1"}},
        {"rust", {0x21}, {kTx + "runust (0x20) but reaback from server was 0x21"}},
        {"runust", {0x20}, {"Server operation ok: runust"}},
        {"sust", {0x10}, {"Server operation ok: stopust"}},
        {"stopust", {0xff}, {kTx + "stopust (0x10) but reaback from server was 0xff"}},
        {"clr", {0x08}, {"Server operation ok: clear fault and alarm words"}},
        {"clear", {0x80}, {kTx + "clear (0x8) but reaback from server was 0x80"}},
        {"rkst", {0x02}, {"Server operation ok: runkst"}},
        {"runkst", {0x01}, {kTx + "runkst (0x2) but reaback from server was 0x1"}},
        {"skst", {0x01}, {"Server operation ok: stopkst"}},
        {"stopkst", {0x01, 0x00, 0x00}, {"Error response length: 3 != 1"}},
        {"run", {0x02}, {"Server operation ok: run"}},
        {"run", {0x20}, {"Server operation ok: run"}},
        {"run", {0x10}, {kTx + "run (0x22) but reaback from server was 0x10"}},
        {"stop", {0x01}, {"Server operation ok: stop"}},
        {"stop", {0x10}, {"Server operation ok: stop"}},
        {"stop", {0x02}, {kTx + "stop (0x11) but reaback from server was 0x2"}},
        {"ihwmcu", {0x00, 0x00, 0x06}, {"Error response length: 3 != 4"}},
    };
    for (const DecodeCase& row : rows) {
        expect_decoded(row, decode(row.line, row.reply));
    }
}

TEST_F(ProtocolDecoder, GpioReplies) {
    const DecodeCase rows[] = {
        {"g1ci", {0x80, 0x81, 0x00}, {"Pin 1 set as Digital Input."}},
        {"g2co", {0x81, 0x82, 0x00}, {"Pin 2 set as Digital Output."}},
        {"g8ca", {1, 2, 3}, {"Pin 8 set as Analog Input."}},
        {"g12cp", {1, 2, 3}, {"Pin 12 set as PWM Output."}},
        {"g1ci", {0x80, 0x81}, {"Error response length: 2 != 3"}},
        {"g07rd", {0x98, 0x87, 1, 0}, {"Pin 07 value: 1"}},
        {"g5rd", {0x98, 0x85, 255, 0}, {"Pin 5 value: 255"}},
        {"g5rd", {0x98, 0x85, 1}, {"Error response length: 3 != 4"}},
        {"g3ra", {0xA0, 0x83, 0x34, 0x12, 0}, {"Pin 3 value: 4660"}},
        {"g3ra", {0xA0, 0x83, 0xFF, 0xFF, 0}, {"Pin 3 value: 65535"}},
        {"g3ra", {0xA0, 0x83, 0x34, 0x12}, {"Error response length: 4 != 5"}},
        {"g2wd1", {0xA4, 0x82, 0x81, 0}, {"Pin 2 value: 1 written on port."}},
        {"g02wd007x", {0xA4, 0x82, 0x87, 0}, {"Pin 02 value: 007 written on port."}},
        {"g2wd", {0xA4, 0x82, 0x81, 0}, {}},
        {"g2wdx", {0xA4, 0x82, 0x81, 0}, {}},
        {"gwd1", {0xA4, 0x82, 0x81, 0}, {}},
        {"g2wd1", {0xA4}, {"Error response length: 1 != 4"}},
        {"g3wp100", {1, 2, 3, 4}, {"Pin 3 PWM value: 100 written on port."}},
        {"g3wp100", {1, 2, 3}, {"Error response length: 3 != 4"}},
        {"g3wp", {1, 2, 3, 4}, {}},
    };
    for (const DecodeCase& row : rows) {
        expect_decoded(row, decode(row.line, row.reply));
    }
}

TEST_F(ProtocolDecoder, UnhandledReplies) {
    for (const std::string line : {"iping", "ibatt", "csleep", "cwake", "stat", "f1r"}) {
        EXPECT_EQ(decode(line, {0x01}),
                  (Lines{"Unhandled Decoding: " + line,
                         "A response was received from server, but Server::decode_response:",
                         "does not know how to interpret it ..."}));
    }
    for (const std::string operation : {"cod", "cpu", "cr", "rd8", "x"}) {
        const Lines printed = decode("g2" + operation, {1, 2, 3});
        ASSERT_EQ(printed.size(), 3u) << operation;
        EXPECT_EQ(printed[0], "Unhandled command decoder: " + operation);
        EXPECT_TRUE(printed[1].starts_with("Build: ")) << printed[1];
        EXPECT_TRUE(printed[2].starts_with("File: protocol/class_quirn_server.cpp:")) << printed[2];
    }
}

TEST_F(ProtocolDecoder, EmptyOrUnconnectedReplies) {
    EXPECT_EQ(decode("sta", {}), Lines{});
    EXPECT_EQ(decode("g1rd", {}), Lines{});
    connected.store(0);
    EXPECT_EQ(decode("sta", {0x40, 0, 0, 0}), Lines{"Nop"});
    EXPECT_EQ(decode("ihwmcu", {0, 0, 0x06, 0x09}), Lines{"Nop"});
    EXPECT_EQ(quirn_server().names(), std::make_pair(std::string("-"), std::string("-")));
}

TEST_F(ProtocolDecoder, IdentificationNamesTheBoard) {
    struct IdCase {
        uint8_t maker;
        uint8_t board;
        std::string maker_name;
        std::string board_name;
    };
    const IdCase rows[] = {
        {0x06, 0x09, "Arduino", "Uno_R4_Minima"},
        {0x30, 0x09, "Microchip", "PIC16F628"},
        {0x30, 0x05, "Microchip", ""},  // unknown board of a known maker: no message
        {0x06, 0x00, "Arduino", ""},
    };
    for (const IdCase& row : rows) {
        quirn_server().set_names("-", "-");
        EXPECT_EQ(decode("ihwmcu", {0xE0, 0xFD, row.maker, row.board}), Lines{});
        EXPECT_EQ(quirn_server().names(), std::make_pair(row.maker_name, row.board_name));
        EXPECT_EQ(connected.load(), 1);
    }
}

TEST_F(ProtocolDecoder, UnknownMakerClearsTheConnection) {
    quirn_server().set_names("Arduino", "Uno_R4_Minima");
    EXPECT_EQ(decode("ihwmcu", {0xE0, 0xFD, 0x12, 0x09}),
              Lines{"Error unknown hardware: 0x12:0x9"});
    EXPECT_EQ(connected.load(), 0);
    // The maker is emptied; the board name stays as it was.
    EXPECT_EQ(quirn_server().names(), std::make_pair(std::string(), std::string("Uno_R4_Minima")));
    connected.store(1);
    EXPECT_EQ(decode("ihwmcu", {0, 0, 0xff, 0xab}), Lines{"Error unknown hardware: 0xff:0xab"});
}

// Hexadecimal stays inside the two lines that use it.
TEST_F(ProtocolDecoder, HexadecimalDoesNotLeakIntoLaterNumbers) {
    decode("sta", {0x80, 0, 0, 0});
    decode("ihwmcu", {0, 0, 0x1f, 0x1f});
    connected.store(1);
    EXPECT_EQ(decode("g10rd", {0x98, 0x8A, 12, 0}), Lines{"Pin 10 value: 12"});
    EXPECT_EQ(decode("g3ra", {0xA0, 0x83, 0xff, 0x00, 0}), Lines{"Pin 3 value: 255"});
    EXPECT_EQ(decode("sys", {0x04, 5, 40, 13, 0, 40, 50, 150, 1, 127, 200, 128})[2],
              "RT load min:           12.5 % (5 / 40)");
    EXPECT_EQ(decode("rust", {0x21, 0x21}), Lines{"Error response length: 2 != 1"});
}

}  // namespace
