#pragma once
// Request frames for the board, and the operations that build them out of
// command lines and send them.
//
// A frame is either one code byte with bit 7 clear (scheduler, status,
// clear and statistics requests), or a code byte with bit 7 set followed by
// parameter bytes and a terminator. No frame ever holds 0x00, and 0xFD/0xFE
// occur only as the last byte, because every parameter byte lies in 0x80-0xBF.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/command_outcome.h"
#include "serial/command_reply.h"

// Single-byte requests (no terminator).
inline constexpr uint8_t REQ_STOP_KST = 0x01;
inline constexpr uint8_t REQ_RUN_KST = 0x02;
inline constexpr uint8_t REQ_SYSTAT = 0x04;
inline constexpr uint8_t REQ_CLEAR = 0x08;
inline constexpr uint8_t REQ_STOP_UST = 0x10;
inline constexpr uint8_t REQ_RUN_UST = 0x20;
inline constexpr uint8_t REQ_STATUS = 0x40;

// Pin frames: code, pin parameter byte, [value parameter byte], FRAME_END.
inline constexpr uint8_t REQ_GPIO_CFG_INPUT = 0x80;
inline constexpr uint8_t REQ_GPIO_CFG_OUTPUT = 0x81;
inline constexpr uint8_t REQ_GPIO_CFG_CR = 0x87;
inline constexpr uint8_t REQ_GPIO_CFG_OPENDRAIN = 0x88;
inline constexpr uint8_t REQ_GPIO_CFG_PULLUP = 0x89;
inline constexpr uint8_t REQ_GPIO_READ = 0x98;
inline constexpr uint8_t REQ_GPIO_READ_ANALOG = 0xA0;
inline constexpr uint8_t REQ_GPIO_WRITE = 0xA4;

// Plain frames: code, then FRAME_END (FRAME_END_HW after REQ_INFO_HW_MCU).
inline constexpr uint8_t REQ_INFO_HW_MCU = 0xE0;
inline constexpr uint8_t REQ_INFO_PING = 0xE1;
inline constexpr uint8_t REQ_INFO_RTC_READ = 0xE2;
inline constexpr uint8_t REQ_INFO_RTC_WRITE = 0xE3;
inline constexpr uint8_t REQ_INFO_RTC_DEV_READ = 0xE4;
inline constexpr uint8_t REQ_INFO_RTC_DEV_WRITE = 0xE5;
inline constexpr uint8_t REQ_INFO_BATTERY = 0xE6;
inline constexpr uint8_t REQ_INFO_SUPPLY = 0xE7;
inline constexpr uint8_t REQ_INFO_CONS = 0xE8;
inline constexpr uint8_t REQ_POWER_SLEEP = 0xF0;
inline constexpr uint8_t REQ_POWER_WAKE = 0xF1;
// Reserved for "mhead"; no frame with it is ever sent.
inline constexpr uint8_t REQ_MEM_HEAD = 0xF8;

inline constexpr uint8_t FRAME_END = 0xFE;
inline constexpr uint8_t FRAME_END_HW = 0xFD;

// How long the board's replies are. The decoder checks these lengths, and
// the port ends a read as soon as a reply of known length is in.
inline constexpr uint32_t kEchoReplyLength = 1;  // the five scheduler codes and REQ_CLEAR
inline constexpr uint32_t kStatusReplyLength = 4;
inline constexpr uint32_t kSystatReplyLength = 12;
inline constexpr uint32_t kIdentificationReplyLength = 4;  // REQ_INFO_HW_MCU
inline constexpr uint32_t kPinConfigReplyLength = 3;       // input or output
inline constexpr uint32_t kDigitalReadReplyLength = 4;
inline constexpr uint32_t kAnalogReadReplyLength = 5;
inline constexpr uint32_t kDigitalWriteReplyLength = 4;

// The length of the reply to a request, by its code (a frame's first byte);
// 0 for the requests whose replies the host does not interpret.
uint32_t reply_length(uint8_t code);

// 0x80 | (n & 0x3F): six bits of n. The GPIO lines refuse pins and values
// of 64 and above before they come here, so none wraps into another.
constexpr uint8_t parameter_byte(uint32_t n) {
    return static_cast<uint8_t>(0x80u | (n & 0x3Fu));
}

// The reply length of a GPIO operation (what follows "g" and the pin), 0
// when the host does not interpret its reply: "ci", "co", "ca", "cp" 3,
// "rd" 4, "ra" 5, "wd..." and "wp..." 4.
size_t gpio_reply_length(std::string_view operation);

// The run of decimal digits ("0" to "9" only) that text begins with; the
// pin and value fields of GPIO lines are read this way on both sides.
std::string_view leading_digits(std::string_view text);

// What one command line comes to, before anything is sent: the frame (empty
// when nothing is to be sent) and the one report to make about the line.
struct FramePlan {
    enum class Report {
        kNone,     // nothing is printed
        kLine,     // text is printed as one line
        kTrace,    // text is reported through error_trace
        kRefusal,  // text is printed as one line, and says all there is to say
    };
    std::vector<uint8_t> frame;
    Report report = Report::kNone;
    std::string text;
    // Why nothing is sent, when the frame is empty: kUnknownWord,
    // kOutOfRange or kNotImplemented.
    CommandStatus failure = CommandStatus::kUnknownWord;
};

// Pure: the plans for a GPIO line ("g" pin subcommand), and for the
// information ("i..."), power ("c...") and memory ("m...") words.
// A pin number or value of 64 or more, which a parameter byte cannot carry,
// is refused with a one-line message and no frame.
FramePlan plan_gpio(const std::string& line);
FramePlan plan_info(const std::string& line);
FramePlan plan_power(const std::string& line);
FramePlan plan_memory(const std::string& line);

// A reply to a GPIO line checked against the request the line makes: its
// first byte must echo the request's code, its second the pin's parameter
// byte, and its length must be the layout's. Anything else answered some
// other request (a late reply, say) and carries no value of this one.
struct GpioReply {
    enum class Status {
        kOk,
        kNoReply,    // empty: the board was silent, or nothing was sent
        kBadEcho,    // expected and received say which byte differed
        kBadLength,  // length and expected_length
    };
    Status status = Status::kNoReply;
    uint8_t expected = 0;
    uint8_t received = 0;
    size_t length = 0;
    size_t expected_length = 0;
    // The pin's value, for a digital (0 to 255) or analog (0 to 65535) read.
    std::optional<uint32_t> value;
};
// Pure. Lines whose operation has no known reply layout, and lines that
// send nothing, are checked for their length only where one is known.
GpioReply check_gpio_reply(const std::string& line, const CommandReply& reply);

// Makes the plan's report, then, when the plan has a frame, exactly one
// transact_frame on the open port, and returns its reply unchanged. When
// nothing is sent the reply is empty and no read is made.
CommandReply carry_out(FramePlan plan);
// Gives the port the identification request as its resync probe: its answer
// (the code, then version, maker and board) is no other request's.
void hand_resync_probe_to_port();
// The same for the line of each family.
// transcode_gpio also puts the port out of step (SerialPort::resync) when
// the reply does not answer the request (check_gpio_reply).
CommandReply transcode_gpio(std::string line);
CommandReply transcode_info(std::string line);
CommandReply transcode_power(std::string line);
CommandReply transcode_memory(std::string line);

// For completion at the console: what may follow "g" and a pin ("wd" takes
// a value after it), and the information, power and memory words.
std::vector<std::string> gpio_subcommands();
std::vector<std::string> plain_words();
