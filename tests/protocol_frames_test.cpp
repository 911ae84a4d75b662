// Frames and replies as data: a command line in, the bytes and the one report
// out; a line and its reply bytes in, the decoded values, the exact text the
// console makes of them, the JSON record and the board state out.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/console_tell.h"
#include "base/session.h"
#include "base/state.h"
#include "protocol/class_quirn_server.h"
#include "protocol/json_fields.h"
#include "protocol/outcome_json.h"
#include "protocol/quirn_transcoder.h"
#include "protocol/server_commands.h"
#include "tests/support/transcript.h"

namespace {

using test_support::transcript;

// The one thing a line's refusal says, as the console says it.
std::pair<std::string, Saying::Kind> refusal(const BoardCommand& command) {
    CommandOutcome outcome;
    outcome.command = command;
    outcome.notes.push_back({Note::Kind::kRefused});
    const std::vector<Saying> said = command_sayings(outcome);
    return said.empty() ? std::pair{std::string(), Saying::Kind::kLine}
                        : std::pair{said[0].text, said[0].kind};
}

TEST(ProtocolFrames, LinesBecomeTheirFrameOrNothingAndOneReport) {
    struct Row {
        std::string line;
        std::vector<uint8_t> frame;  // empty: nothing is sent
        std::string text = "";       // the report: none when empty, a trace for the empty line
    };
    // clang-format off
    const Row rows[] = {
        // The worked frames, the six-bit limits, leading zeros, text after a value.
        {"g1ci", {0x80, 0x81, 0xFE}},         {"g2co", {0x81, 0x82, 0xFE}},
        {"g13cod", {0x88, 0x8D, 0xFE}},       {"g5cpu", {0x89, 0x85, 0xFE}},
        {"g8rd", {0x98, 0x88, 0xFE}},         {"g8ra", {0xA0, 0x88, 0xFE}},
        {"g2wd1", {0xA4, 0x82, 0x81, 0xFE}},  {"g2wd0", {0xA4, 0x82, 0x80, 0xFE}},
        {"g63wd63", {0xA4, 0xBF, 0xBF, 0xFE}}, {"g63rd", {0x98, 0xBF, 0xFE}},
        {"g4cr", {0x87, 0x84, 0xFE}},         {"g0ci", {0x80, 0x80, 0xFE}},
        {"g007ci", {0x80, 0x87, 0xFE}},       {"g0000000000000000000000007ci", {0x80, 0x87, 0xFE}},
        {"g2wd1x", {0xA4, 0x82, 0x81, 0xFE}}, {"g2wd00000000000000000000063", {0xA4, 0x82, 0xBF, 0xFE}},
        {"ihwmcu", {0xE0, 0xFD}},  {"iping", {0xE1, 0xFE}},     {"irtcrd", {0xE2, 0xFE}},
        {"irtcwr", {0xE3, 0xFE}},  {"irtcdevrd", {0xE4, 0xFE}}, {"irtcdevwr", {0xE5, 0xFE}},
        {"ibatt", {0xE6, 0xFE}},   {"isup", {0xE7, 0xFE}},      {"icons", {0xE8, 0xFE}},
        {"csleep", {0xF0, 0xFE}},  {"cwake", {0xF1, 0xFE}},
        // The scheduler words, short and long; run and stop are both halves.
        {"sta", {0x40}},  {"status", {0x40}},  {"clr", {0x08}},  {"clear", {0x08}},
        {"sys", {0x04}},  {"systat", {0x04}},  {"rust", {0x20}}, {"runust", {0x20}},
        {"sust", {0x10}}, {"stopust", {0x10}}, {"rkst", {0x02}}, {"runkst", {0x02}},
        {"skst", {0x01}}, {"stopkst", {0x01}}, {"run", {0x20, 0x02}}, {"stop", {0x10, 0x01}},
        // Nothing sent: words are compared whole, "-" is no digit, only "wd" is a prefix.
        {"", {}, "Error, no string in."}, {"x1ci", {}, "Nop: x1ci"}, {"g12", {}, "Nop"},
        {"g", {}, "Nop"}, {"g1ci2", {}, "Nop"}, {"g-1ci", {}, "Nop"}, {"g3wp100", {}, "Nop"},
        {"g3ca", {}, "Not implemented"},  {"g12cp", {}, "Not implemented"},
        {"g1cpd", {}, "Not implemented"}, {"g1cpp", {}, "Not implemented"},
        {"g1rd8", {}, "Not implemented"}, {"g1wp", {}, "Not implemented"},
        {"gca", {}}, {"gci", {}}, {"gwd1", {}}, {"g2wd", {}}, {"g2wdx", {}}, {"g2wd-1", {}},
        {"icon", {}}, {"isupply", {}}, {"cwakeup", {}}, {"mhead", {}},
        // Past six bits a number would wrap into another pin or value: refused.
        {"g64rd", {}, "Pin number out of range: 64 (0 to 63)"},
        {"g0070ci", {}, "Pin number out of range: 70 (0 to 63)"},
        {"g4294967297wd1", {}, "Pin number out of range: 4294967297 (0 to 63)"},
        {"g99999999999999999999999co", {}, "Pin number out of range: 99999999999999999999999 (0 to 63)"},
        {"g2wd64", {}, "Value out of range: 64 (0 to 63)"},
        {"g2wd100x", {}, "Value out of range: 100 (0 to 63)"}};
    // clang-format on
    for (const Row& row : rows) {
        // A line of no family reaches only transcode_gpio, which sends nothing.
        const BoardCommand command =
            row.line.starts_with('x') ? transcode_gpio(row.line).command : parse_command(row.line);
        EXPECT_EQ(command.frame, row.frame) << row.line;
        const auto [text, kind] = refusal(command);
        EXPECT_EQ(text, row.text) << row.line;
        EXPECT_EQ(kind == Saying::Kind::kTrace, row.line.empty()) << row.line;
        // A known length is the one the reply will be read and checked by.
        if (!row.frame.empty()) {
            EXPECT_EQ(command.reply_length, reply_length(row.frame[0])) << row.line;
            continue;
        }
        // What sends nothing is reported all the same, with no port open,
        // and reads nothing.
        const CommandOutcome outcome =
            row.line.starts_with('m') ? transcode_memory(row.line) : transcode_gpio(row.line);
        EXPECT_EQ(outcome.status == CommandStatus::kNotImplemented,
                  row.text == "Not implemented" || row.line.starts_with('m'))
            << row.line;
        EXPECT_TRUE(
            outcome.reply.bytes.empty() &&
            std::none_of(outcome.notes.begin(), outcome.notes.end(),
                         [](const Note& note) { return note.kind == Note::Kind::kFrameSent; }))
            << row.line;
    }
    // Only the seven single-byte codes are sent: 0x140 must not be cut down to 0x40.
    for (const uint32_t code : {0u, 3u, 0x80u, 0x140u}) {
        EXPECT_FALSE(send_server_code(code)) << code;
    }
}

using Names = std::pair<std::string, std::string>;

// What the console says of the reply to line, the board connected; an
// identification is applied as the console applies it.
std::string decode(const std::string& line, std::vector<uint8_t> bytes, bool* known = nullptr) {
    const auto count = static_cast<uint32_t>(bytes.size());
    const CommandOutcome outcome =
        quirn_server().decode_response(line, CommandReply{std::move(bytes), count});
    if (outcome.identification) {
        const bool applied = quirn_server().apply_identification(*outcome.identification);
        EXPECT_EQ(applied, outcome.status != CommandStatus::kUnknownHardware) << line;
        if (known != nullptr) {
            *known = applied;
        }
    }
    return transcript(reply_sayings(outcome, false));
}

TEST(ProtocolDecoder, RepliesBecomeTheirText) {
    const std::string tx = "Error on transmission. The Request was: ";
    const std::string unhandled =
        "\nA response was received from server, but Server::decode_response:\n"
        "does not know how to interpret it ...\n";
    const struct {
        std::string line;
        std::vector<uint8_t> reply;
        std::string printed;
        Names names = {"-", "-"};  // and the board stays connected, unless its maker is unknown
    } rows[] = {
        // Every named bit set, the unnamed ones clear (the clear texts are in
        // the session against the simulated board).
        {"status",
         {0x40, 0xDD, 0x11, 0x19},
         "\nbs_status: 11011101\nb7 == 1 : A Fault for User space exists\n"
         "b6 == 1 : An Alarm for User space exists\n"
         "b4 == 1 : U-ST (User Space scheduler) running\n"
         "b3 == 1 : A Fault for Kernel exists\nb2 == 1 : An Alarm for Kernel exists\n"
         "b0 == 1 : K-ST (Kernel Space scheduler) running\n\nbs_alarm: 00010001\n"
         "b4 == 1 : U-ST (User Space) Stack load is high\n"
         "b0 == 1 : K-ST (Kernel Space) Stack load is high\n\nbs_fault: 00011001\n"
         "b4 == 1 : U-ST (User Space) stack full\n"
         "b3 == 1 : Wadtchdog timer triggered (RT overload) TODO\n"
         "b0 == 1 : K-ST (Kernel Space) stack Full\n"},
        {"sys",
         {0x04, 5, 40, 13, 0, 40, 50, 150, 1, 127, 200, 128},
         "\nSystats:\nRT load min:           12.5 % (5 / 40)\n"
         "RT load max:           100 % (40 / 40)\nRT load avg:           32.5 % (13 / 40)\n"
         "Kernel stack load min: 25 % (50 / 200)\nKernel stack load max: 75 % (150 / 200)\n"
         "User stack load min:   0.78125 % (1 / 128)\n"
         "User stack load max:   99.2188 % (127 / 128)\n"},
        // Status and systat check the echo first, whatever the length.
        {"sta", {0x40}, "Error response length: 1 != 4\n"},
        {"sta", {0x41}, tx + "status (0x40) but reaback from server was 0x41\n"},
        {"sys", {0x04, 1, 2}, "Error status response length: 3 != 12\n"},
        {"systat", {0x05, 1, 2}, tx + "systat (0x4) but reaback from server was 0x5\n"},
        // The echo replies check the length first.
        {"rust", {0x21, 0x21}, "Error response length: 2 != 1\n"},
        {"runust", {0x21}, tx + "runust (0x20) but reaback from server was 0x21\n"},
        {"stopkst", {0x01, 0x00, 0x00}, "Error response length: 3 != 1\n"},
        {"clr", {0x80}, tx + "clear (0x8) but reaback from server was 0x80\n"},
        // Hexadecimal stays inside that line: later numbers are decimal again.
        {"g07rd", {0x98, 0x87, 255, 0}, "Pin 07 value: 255\n"},
        // run and stop take the echo of either of their requests.
        {"run", {0x20}, "Server operation ok: run\n"},
        {"run", {0x10}, tx + "run (0x22) but reaback from server was 0x10\n"},
        {"stop", {0x10}, "Server operation ok: stop\n"},
        {"stop", {0x02}, tx + "stop (0x11) but reaback from server was 0x2\n"},
        {"ihwmcu", {0x00, 0x00, 0x06}, "Error response length: 3 != 4\n"},
        {"ihwmcu", {0xE0, 0xFD, 0x06, 0x09}, "", {"Arduino", "Uno_R4_Minima"}},
        {"ihwmcu", {0xE0, 0xFD, 0x30, 0x09}, "", {"Microchip", "PIC16F628"}},
        {"ihwmcu", {0xE0, 0xFD, 0x30, 0x05}, "", {"Microchip", ""}},  // unknown board: no message
        // Unknown maker: the maker is emptied, the board name stays, the connection goes.
        {"ihwmcu", {0xE0, 0xFD, 0x12, 0x09}, "Error unknown hardware: 0x12:0x9\n", {"", "-"}},
        {"g10rd", {0x98, 0x8A, 12, 0}, "Pin 10 value: 12\n"},  // decimal again after hex
        // A GPIO reply must echo the request's code and pin: one that answered
        // another request (the late half of the last reply, say) has no value.
        {"g5rd", {0x01, 0x00, 0x98, 0x85}, tx + "g5rd (0x98) but reaback from server was 0x1\n"},
        {"g5rd", {0x98, 0x86, 1, 0}, tx + "g5rd (0x85) but reaback from server was 0x86\n"},
        {"g5rd", {0x98, 0x85}, "Error response length: 2 != 4\n"},
        {"g5wd1", {0xA0, 0x85, 0, 0}, tx + "g5wd1 (0xa4) but reaback from server was 0xa0\n"},
        // Pin and written value are shown as typed, values read come from the reply.
        {"g1ci", {0x80, 0x81, 0x00}, "Pin 1 set as Digital Input.\n"},
        {"g8ca", {1, 2, 3}, "Pin 8 set as Analog Input.\n"},
        {"g12cp", {1, 2, 3}, "Pin 12 set as PWM Output.\n"},
        {"g3ra", {0xA0, 0x83, 0x34, 0x12, 0}, "Pin 3 value: 4660\n"},
        {"g3ra", {0xA0, 0x83, 0x34, 0x12}, "Error response length: 4 != 5\n"},
        {"g02wd007x", {0xA4, 0x82, 0x87, 0}, "Pin 02 value: 007 written on port.\n"},
        {"g3wp100", {1, 2, 3, 4}, "Pin 3 PWM value: 100 written on port.\n"},
        {"g2wd", {0xA4, 0x82, 0x81, 0}, ""},
        {"gwd1", {0xA4, 0x82, 0x81, 0}, ""},
        {"stat", {0x01}, "Unhandled Decoding: stat" + unhandled + "Reply: 01\n"},
        // A pin word with no decoder is traced whatever its echo.
        {"g2cpu", {1, 2, 3}, "Unhandled command decoder: cpu\nBuild:\nFile:\n"},
        {"g2cr", {1, 2, 3}, "Unhandled command decoder: cr\nBuild:\nFile:\n"},
        {"g2x", {1, 2, 3}, "Unhandled command decoder: x\nBuild:\nFile:\n"},
        // An empty reply prints nothing: the command layer has reported it.
        {"sta", {}, ""},
    };
    for (const auto& row : rows) {
        quirn_server().set_names("-", "-");
        bool known = true;
        EXPECT_EQ(decode(row.line, row.reply, &known), row.printed)
            << row.line << " (" << row.reply.size() << " bytes)";
        EXPECT_EQ(quirn_server().names(), row.names) << row.line;
        EXPECT_EQ(known, !row.names.first.empty()) << row.line;
    }
    session().reset();
}

TEST(ProtocolDecoder, SystatWrappedPeriodAndZeroStackSize) {
    // rt_period_low 10 above rt_period_high 5: the period wraps to 2^32 - 5.
    // A zero stack size still prints every line, with what the stream makes of x/0.
    const std::string printed = decode("systat", {0x04, 5, 9, 7, 10, 5, 1, 2, 3, 4, 0, 0});
    EXPECT_NE(printed.find("\nRT load min:           1.16415e-07 % (5 / 4294967291)\n"),
              std::string::npos)
        << printed;
    EXPECT_TRUE(printed.ends_with("\nUser stack load max:   inf % (4 / 0)\n")) << printed;
}

// Each named bit of a state word, set alone, is the one flag its record
// calls true; the statistics are given with their percentages; a decode
// that fails says how in the record's fields.
TEST(ProtocolJson, RecordsNameEachBitAndEachFault) {
    const struct {
        const char* field;
        size_t byte;
        int bit;
        const char* name;
    } bits[] = {
        // clang-format off
        {"status", 1, 7, "user_fault"},   {"status", 1, 6, "user_alarm"},
        {"status", 1, 4, "user_scheduler_running"},
        {"status", 1, 3, "kernel_fault"}, {"status", 1, 2, "kernel_alarm"},
        {"status", 1, 0, "kernel_scheduler_running"},
        {"alarm", 2, 4, "user_stack_high"}, {"alarm", 2, 0, "kernel_stack_high"},
        {"fault", 3, 4, "user_stack_full"}, {"fault", 3, 3, "watchdog"},
        {"fault", 3, 0, "kernel_stack_full"},
        // clang-format on
    };
    for (const auto& row : bits) {
        std::vector<uint8_t> reply{0x40, 0, 0, 0};
        reply[row.byte] = static_cast<uint8_t>(1u << row.bit);
        const nlohmann::ordered_json record =
            outcome_json(quirn_server().decode_response("sta", {reply, 4}));
        int set = 0;
        for (const char* word : {"status", "alarm", "fault"}) {
            for (const auto& [name, flag] : record[word].items()) {
                set += flag.is_boolean() && flag.get<bool>() ? 1 : 0;
            }
        }
        EXPECT_EQ(set, 1) << row.name << ": " << record.dump();
        EXPECT_EQ(record[row.field][row.name], true) << record.dump();
    }
    const auto failed = [](const std::string& line, std::vector<uint8_t> bytes) {
        const auto count = static_cast<uint32_t>(bytes.size());
        return outcome_json(quirn_server().decode_response(line, {std::move(bytes), count})).dump();
    };
    const std::vector<uint8_t> systat = {0x04, 5, 40, 13, 0, 40, 50, 150, 1, 127, 200, 128};
    const nlohmann::ordered_json statistics =
        outcome_json(quirn_server().decode_response("sys", {systat, 12}));
    EXPECT_EQ(
        statistics["load"].dump() + statistics["period"].dump() + statistics["user_stack"].dump(),
        R"({"min":5,"max":40,"average":13,"min_percent":12.5,"max_percent":100.0,)"
        R"("average_percent":32.5}{"low":0,"high":40,"length":40}{"min":1,"max":127,)"
        R"("size":128,"min_percent":0.78125,"max_percent":99.21875})");
    EXPECT_EQ(failed("sta", {0x40}),
              R"({"word":"sta","ok":false,"error":"bad_length","length":1,"expected_length":4,)"
              R"("reply":"40","message":""})");
    EXPECT_EQ(failed("g5rd", {0x98, 0x86, 1, 0}),
              R"({"word":"g5rd","ok":false,"pin":5,"error":"bad_echo","expected":133,)"
              R"("received":134,"reply":"98 86 01 00","message":""})");
}

// Bytes that are not UTF-8 never end a record: they become U+FFFD and the
// record names the fields they were in.
TEST(ProtocolJson, InvalidUtf8IsReplacedAndSaid) {
    const struct {
        std::string word, message;
        std::vector<std::string> replaced;
    } rows[] = {
        {"\xc3", "Nop", {"word"}},
        {"g2\xff", "Nop: g2\xff", {"word", "message"}},
        {"\xed\xa0\x80", "", {"word"}},  // an encoded surrogate
        {"\xf0\x9f\x98\x80", "", {}},    // a whole four-byte character
    };
    for (const auto& row : rows) {
        CommandOutcome outcome;
        outcome.word = row.word;
        outcome.status = CommandStatus::kUnknownWord;
        const nlohmann::json record =
            nlohmann::json::parse(record_text(outcome_json(outcome, row.message)), nullptr, false);
        ASSERT_TRUE(record.is_object()) << row.message;
        EXPECT_EQ(record.value("invalid_utf8", std::vector<std::string>{}), row.replaced);
        EXPECT_EQ(record["word"].get<std::string>().find("\xef\xbf\xbd") != std::string::npos,
                  !row.replaced.empty());
    }
}

// The field names are a contract: the table the records are written from,
// the API description and the console reference name the same fields for
// every record, so a rename in any one of them fails here.
TEST(ProtocolJson, FieldNamesMatchTheApiDescriptionAndTheReference) {
#ifndef TESSARO_SOURCE_DIR
    GTEST_SKIP() << "no source tree";
#else
    const auto read = [](const std::string& path) {
        std::ifstream file(std::string(TESSARO_SOURCE_DIR) + "/" + path);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    const nlohmann::json api = nlohmann::json::parse(read("web/openapi.json"), nullptr, false);
    const std::string help = read("help/index.html");
    ASSERT_TRUE(api.is_object());
    for (const JsonRecord& record : json_records()) {
        const std::set<std::string> fields(record.fields.begin(), record.fields.end());
        std::set<std::string> described;
        for (const auto& [name, value] :
             api["components"]["schemas"][std::string(record.schema)]["properties"].items()) {
            described.insert(name);
        }
        EXPECT_EQ(described, fields) << record.schema;
        const std::string start = "<tr id=\"json-" + std::string(record.schema) + "\">";
        const size_t row = help.find(start);
        ASSERT_NE(row, std::string::npos) << start;
        const std::string cells = help.substr(row, help.find("</tr>", row) - row);
        std::set<std::string> referenced;
        const std::string td = cells.substr(cells.find("<td>"));
        for (size_t at = td.find("<code>"); at != std::string::npos; at = td.find("<code>", at)) {
            at += 6;
            referenced.insert(td.substr(at, td.find("</code>", at) - at));
        }
        EXPECT_EQ(referenced, fields) << record.schema;
    }
#endif
}

}  // namespace
