// Placeholder until the port layer lands.
#include "serial/class_serial.h"

#include "app/console_output.h"

std::optional<PortEntry> parse_friendly_name(std::string_view) { return std::nullopt; }
SerialPort::SerialPort() { discover_ports(); if (ports.empty()) out_line("No serial port in Vector."); }
SerialPort::~SerialPort() {}
void SerialPort::open(std::string name) { out_line("Error: Cannot open /dev/" + name); }
void SerialPort::close() {}
CommandReply SerialPort::read_reply() { return {}; }
CommandReply SerialPort::transact_byte(uint8_t) { return {}; }
CommandReply SerialPort::transact_frame(std::vector<uint8_t>) { return {}; }
void SerialPort::discover_ports() { ports.clear(); }
void SerialPort::print_ports() const {}
PortState SerialPort::get_state() const { std::lock_guard lock(state_mutex_); return state; }
