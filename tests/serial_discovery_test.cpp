// Friendly names, the ports a fake sysfs tree yields, names resolved ignoring case.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "serial/class_serial.h"

namespace fs = std::filesystem;

namespace {

TEST(FriendlyName, TakesThePortFromTheGroupTheNameEndsWith) {
    const std::pair<std::string, std::string> cases[] = {
        // friendly name, port ("": skipped)
        {"Intel(R) Active Management Technology - SOL (COM3)", "COM3"},
        {"Adapter (rev 2) (COM7)", "COM7"},
        {"UNO R4 Minima (ttyACM0)  \t", "ttyACM0"},
        {std::string("Port (COM4)\0junk", 16), "COM4"},
        {std::string(255 - 7, 'x') + " (COM9)", "COM9"},  // 255 bytes fit the name buffer
        {std::string(256 - 7, 'x') + " (COM9)", ""},      // 256 do not
        {"Adapter (", ""},
        {"Adapter COM3)", ""},
        {"Port (COM3) spare", ""},
        {"Port ()", ""},
    };
    for (const auto& [friendly, port] : cases) {
        const PortEntry entry = parse_friendly_name(friendly).value_or(PortEntry{});
        EXPECT_EQ(entry.port_name, port) << friendly;
        EXPECT_EQ(entry.friendly_name, port.empty() ? "" : friendly.substr(0, friendly.find('\0')));
    }
}

#ifndef _WIN32
// A temporary tree standing for /sys/class/tty, its devices, and /dev.
class Discovery : public testing::Test {
  protected:
    void TearDown() override { fs::remove_all(tmp); }
    void write(const std::string& path, const std::string& text) {
        fs::create_directories((tmp / path).parent_path());
        std::ofstream(tmp / path) << text;
    }
    const fs::path tmp = fs::temp_directory_path() / ("serial_test_" + std::to_string(::getpid()));
    const serial_platform::DeviceRoots roots{(tmp / "dev").string(), (tmp / "class/tty").string()};
};

TEST_F(Discovery, ListsRealPortsWithReadableNamesInPortOrder) {
    const std::pair<std::string, std::string> ttys[] = {
        {"ttyACM0", "usb/1-1/1-1:1.0"},          // product and maker
        {"ttyACM10", "usb/1-3/1-3:1.0"},         // no product file: the maker stands in
        {"ttyACM3", "usb/1-5/1-5:1.0"},          // a product too long for the name buffer
        {"ttyUSB0", "usb/1-2/1-2:1.0/ttyUSB0"},  // FTDI style: below a usb-serial device
        {"ttyS0", "pnp0/00:01"},                 // a UART on the board
        {"ttyS1", "platform/serial8250"},        // a phantom port with nothing behind it
        {"tty0", ""},                            // a virtual terminal has no device
    };
    for (const auto& [tty, device] : ttys) {
        fs::create_directories(tmp / "class/tty" / tty);
        if (!device.empty()) {
            fs::create_directories(tmp / device);
            fs::create_directory_symlink(tmp / device, tmp / "class/tty" / tty / "device");
        }
    }
    for (const char* usb : {"usb/1-1", "usb/1-2", "usb/1-3", "usb/1-5"}) {
        write(usb + std::string("/idVendor"), "2341\n");
    }
    write("usb/1-1/product", "UNO R4 Minima\n");
    write("usb/1-1/manufacturer", "Arduino\n");
    write("usb/1-3/manufacturer", "Arduino\n");
    write("usb/1-5/product", std::string(300, 'P') + "\n");
    write("usb/1-2/product", "FT232R USB UART\n");
    write("class/tty/ttyS0/type", "4\n");
    write("class/tty/ttyS1/type", "0\n");
    // Stable names: a link to a device (/dev/null stands in for ttyACM0's
    // node), a link whose device is gone and a link to something else.
    fs::create_directories(tmp / "dev/serial/by-id");
    fs::create_symlink("/dev/null", tmp / "dev/ttyACM0");
    write("dev/ttyUSB0", "");
    const fs::path by_id = tmp / "dev/serial/by-id";
    fs::create_symlink("../../ttyACM0", by_id / "usb-Arduino_UNO_R4_Minima_1234-if00");
    fs::create_symlink("../../ttyACM7", by_id / "usb-Gone_Board-if00");
    fs::create_symlink("../../ttyUSB0", by_id / "usb-FTDI_FT232R-if00-port0");

    SerialPort port(roots);
    const auto listed = [&] {
        std::string text;
        for (const PortEntry& entry : port.ports) {
            text += "Port: " + entry.port_name + " - " + entry.friendly_name + "\n";
        }
        return text;
    };
    EXPECT_TRUE(port.discovered());
    std::string twice = listed();
    EXPECT_TRUE(port.discover_ports());  // a second discovery replaces, never appends
    twice += listed();
    const std::string listing =
        "Port: ttyACM0 - UNO R4 Minima (ttyACM0)\nPort: ttyACM3 - " + std::string(255 - 10, 'P') +
        " (ttyACM3)\nPort: ttyACM10 - Arduino USB serial device (ttyACM10)\n"
        "Port: ttyS0 - Serial port (ttyS0)\n"
        "Port: ttyUSB0 - FT232R USB UART (ttyUSB0)\n"
        "Port: " +
        by_id.string() +
        "/usb-Arduino_UNO_R4_Minima_1234-if00 - UNO R4 Minima on "
        "ttyACM0 (" +
        by_id.string() + "/usb-Arduino_UNO_R4_Minima_1234-if00)\n";
    EXPECT_EQ(twice, listing + listing);
    // A system that will not list its ports: none, and said so.
    SerialPort unlisted(serial_platform::DeviceRoots{roots.dev_dir, (tmp / "none").string()});
    EXPECT_FALSE(unlisted.discovered());
    EXPECT_TRUE(unlisted.ports.empty());
}

TEST_F(Discovery, ResolvesPortNamesIgnoringCase) {
    for (const char* name :
         {"ttyACM0", "ttyUSB0", "ttyS0", "TTYS0", "pts/1", "serial/by-id/usb-Quirn-if00"}) {
        write(std::string("dev/") + name, "");
    }
    const std::string dev = roots.dev_dir;
    std::string up = dev;
    std::transform(up.begin(), up.end(), up.begin(), ::toupper);
    const std::tuple<std::string, std::string, std::string, bool> cases[] = {
        // Name typed, path opened, port name kept, whether it was found.
        {"TTYACM0", dev + "/ttyACM0", "ttyACM0", true},
        {"ttyS0", dev + "/ttyS0", "ttyS0", true},  // exact match first
        {"TTYS0", dev + "/TTYS0", "TTYS0", true},
        {"", dev + "/", "", false},
        {"..", dev + "/..", "..", false},
        {up + "/TTYUSB0", dev + "/ttyUSB0", dev + "/ttyUSB0", true},
        // What matched is shown as the system spells it, the rest as typed.
        {up + "/NONE/TTYUSB0", dev + "/NONE/TTYUSB0", dev + "/NONE/TTYUSB0", false},
        // A relative name with "/" is looked for under the device folder.
        {"PTS/1", dev + "/pts/1", "pts/1", true},
        {"PTS/2", dev + "/pts/2", "pts/2", false},
        // A stable name, as listed or under the device folder.
        {up + "/SERIAL/BY-ID/USB-QUIRN-IF00", dev + "/serial/by-id/usb-Quirn-if00",
         dev + "/serial/by-id/usb-Quirn-if00", true},
        {"serial/by-id/usb-quirn-if00", dev + "/serial/by-id/usb-Quirn-if00",
         "serial/by-id/usb-Quirn-if00", true},
    };
    for (const auto& [name, path, port_name, found] : cases) {
        const serial_platform::ResolvedPort port = serial_platform::resolve_port(name, roots);
        EXPECT_EQ(std::tie(port.path, port.port_name, port.found), std::tie(path, port_name, found))
            << name;
    }
}

#endif

}  // namespace
