#pragma once
// Request frames for the board, and the operations that send the frame a
// command line makes (the line parsed by the command table).
//
// A frame is either one code byte with bit 7 clear (scheduler, status,
// clear and statistics requests), or a code byte with bit 7 set followed by
// parameter bytes and a terminator. No frame ever holds 0x00, and 0xFD/0xFE
// occur only as the last byte, because every parameter byte lies in 0x80-0xBF.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// The length of the reply to a request, by its code (a frame's first byte);
// 0 for the requests whose replies the host does not interpret. Read from
// the command table.
uint32_t reply_length(uint8_t code);

// 0x80 | (n & 0x3F): six bits of n. The GPIO lines refuse pins and values
// of 64 and above before they come here, so none wraps into another.
constexpr uint8_t parameter_byte(uint32_t n) {
    return static_cast<uint8_t>(0x80u | (n & 0x3Fu));
}

// The run of decimal digits ("0" to "9" only) that text begins with; the
// pin and value fields of GPIO lines are read this way.
std::string_view leading_digits(std::string_view text);

struct CommandOutcome;
struct BoardCommand;

// Sends the command's frame, when it has one, with exactly one
// transact_frame on the open port, into the outcome's reply; notes first
// why nothing is sent (the refusal, if it says anything), or that a frame
// went out. When nothing is sent the reply is empty and no read is made.
void carry_out(const BoardCommand& command, CommandOutcome& outcome);
// Gives the port the identification request as its resync probe: its answer
// (the code, then version, maker and board) is no other request's.
void hand_resync_probe_to_port();
// The same for a line of each family, parsed here, with no connection
// check and no decoding (the command layer does both). transcode_gpio
// refuses a line that does not begin with "g" ("Nop: " and the line).
CommandOutcome transcode_gpio(std::string line);
CommandOutcome transcode_info(std::string line);
CommandOutcome transcode_power(std::string line);
CommandOutcome transcode_memory(std::string line);
