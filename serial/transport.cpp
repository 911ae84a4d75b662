#include "serial/transport.h"

#include <thread>
#include <utility>

namespace serial {

namespace {

class SteadyClock : public Clock {
  public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    void sleep_until(TimePoint when) override { std::this_thread::sleep_until(when); }
};

}  // namespace

Clock& steady_clock() {
    static SteadyClock clock;
    return clock;
}

PlatformTransport::PlatformTransport(serial_platform::DeviceRoots roots, uint32_t write_stall_ms)
    : roots_(std::move(roots)),
      write_stall_ms_(write_stall_ms),
      wakeup_(serial_platform::make_wakeup()) {}

PlatformTransport::~PlatformTransport() {
    close();
    serial_platform::close_wakeup(wakeup_);
}

serial_platform::ResolvedPort PlatformTransport::resolve(const std::string& name) const {
    return serial_platform::resolve_port(name, roots_);
}

bool PlatformTransport::open(const std::string& path, std::string& why) {
    close();
    handle_ = serial_platform::open_port(path, why);
    return serial_platform::is_valid(handle_);
}

LineResult PlatformTransport::set_line(const serial_platform::LineDescription& line) {
    serial_platform::LineSettings settings{};
    if (!serial_platform::get_line_settings(handle_, settings)) {
        return LineResult::kGetFailed;
    }
    serial_platform::make_line_settings(settings, line);
    return serial_platform::set_line_settings(handle_, settings) ? LineResult::kSet
                                                                 : LineResult::kSetFailed;
}

bool PlatformTransport::set_timeouts(const serial_platform::Timeouts& timeouts) {
    return serial_platform::set_timeouts(handle_, timeouts);
}

serial_platform::Transfer PlatformTransport::read(uint8_t* buffer, uint32_t size,
                                                  const serial_platform::Timeouts& timeouts,
                                                  uint32_t expected) {
    return serial_platform::read_port(handle_, buffer, size, timeouts, expected);
}

serial_platform::Transfer PlatformTransport::write(const uint8_t* data, uint32_t size) {
    return serial_platform::write_port(handle_, data, size, write_stall_ms_);
}

uint32_t PlatformTransport::discard_input(std::vector<uint8_t>* kept) {
    return serial_platform::is_valid(handle_) ? serial_platform::discard_input(handle_, kept) : 0;
}

void PlatformTransport::close() {
    serial_platform::close_port(handle_);
    // The descriptor number may be handed out again; never close it twice.
    handle_ = serial_platform::invalid_handle();
}

bool PlatformTransport::wait_until_gone(const std::string& path) {
    return serial_platform::wait_until_gone(handle_, path, wakeup_);
}

void PlatformTransport::wake() {
    serial_platform::signal_wakeup(wakeup_);
}

bool PlatformTransport::present(const std::string& path) const {
    return serial_platform::device_present(path);
}

std::optional<std::vector<std::string>> PlatformTransport::list() const {
    return serial_platform::list_friendly_names(roots_);
}

}  // namespace serial
