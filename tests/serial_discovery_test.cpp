// Port discovery: friendly names as the system reports them, the ports a
// fake sysfs tree yields, and port names resolved ignoring case.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/class_serial.h"

namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char name[] = "/tmp/serial_discovery_test_XXXXXX";
        if (::mkdtemp(name) != nullptr) {
            path = name;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

void write_file(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// A tty class entry whose device link points at target (made if missing).
void add_tty(const fs::path& sys, const std::string& name, const std::string& target) {
    const fs::path entry = sys / "class/tty" / name;
    fs::create_directories(entry);
    if (!target.empty()) {
        fs::create_directories(sys / target);
        fs::create_directory_symlink(sys / target, entry / "device");
    }
}

// A USB device directory with the strings sysfs keeps for it.
void add_usb_device(const fs::path& sys, const std::string& dir, const std::string& product,
                    const std::string& maker) {
    write_file(sys / dir / "idVendor", "2341\n");
    if (!product.empty()) {
        write_file(sys / dir / "product", product + "\n");
    }
    if (!maker.empty()) {
        write_file(sys / dir / "manufacturer", maker + "\n");
    }
}

TEST(FriendlyName, TakesThePortFromTheGroupTheNameEndsWith) {
    const std::string long_name = std::string(255 - 7, 'x') + " (COM9)";  // 255 bytes fit
    struct Case {
        std::string friendly;
        std::string port;
    };
    const Case cases[] = {
        {"Communications Port (COM1)", "COM1"},
        {"USB Serial Device (COM3)", "COM3"},
        {"Intel(R) Active Management Technology - SOL (COM3)", "COM3"},
        {"Adapter (rev 2) (COM7)", "COM7"},
        {"UNO R4 Minima (ttyACM0)  \t", "ttyACM0"},
        {std::string("Port (COM4)\0junk", 16), "COM4"},
        {long_name, "COM9"},
    };
    for (const Case& c : cases) {
        const std::optional<PortEntry> entry = parse_friendly_name(c.friendly);
        ASSERT_TRUE(entry.has_value()) << c.friendly;
        EXPECT_EQ(entry->port_name, c.port) << c.friendly;
        EXPECT_EQ(entry->friendly_name, c.friendly.substr(0, c.friendly.find('\0')));
    }
}

TEST(FriendlyName, SkipsNamesWithoutAPortGroupAtTheEnd) {
    struct Case {
        std::string friendly;
        const char* reason;
    };
    const Case cases[] = {
        {"", "empty"},
        {"Communications Port", "no parentheses"},
        {"Adapter (", "ends in an opening parenthesis"},
        {"Adapter COM3)", "no opening parenthesis"},
        {"Port (COM3) spare", "the group is not at the end"},
        {"Port ()", "nothing inside the group"},
        {std::string(256 - 7, 'x') + " (COM9)", "256 bytes do not fit the name buffer"},
        {std::string(600, 'x') + " (COM9)", "far too long"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(parse_friendly_name(c.friendly).has_value()) << c.reason;
    }
}

class DiscoveryTree : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(tmp.path.empty());
        const fs::path sys = tmp.path / "sys";
        // An Arduino on USB ACM: product and maker strings.
        add_usb_device(sys, "devices/usb1/1-1", "UNO R4 Minima", "Arduino");
        add_tty(sys, "ttyACM0", "devices/usb1/1-1/1-1:1.0");
        // No product string: the maker's name stands in.
        add_usb_device(sys, "devices/usb1/1-3", "", "Arduino");
        add_tty(sys, "ttyACM2", "devices/usb1/1-3/1-3:1.0");
        // Neither string; and number 10 sorts after 2.
        add_usb_device(sys, "devices/usb1/1-4", "", "");
        add_tty(sys, "ttyACM10", "devices/usb1/1-4/1-4:1.0");
        // A product string too long for the name buffer is shortened.
        add_usb_device(sys, "devices/usb1/1-5", std::string(300, 'P'), "");
        add_tty(sys, "ttyACM3", "devices/usb1/1-5/1-5:1.0");
        // FTDI style: the tty hangs below a usb-serial port device.
        add_usb_device(sys, "devices/usb1/1-2", "FT232R USB UART", "FTDI");
        add_tty(sys, "ttyUSB0", "devices/usb1/1-2/1-2:1.0/ttyUSB0");
        // A UART on the board, and a phantom port with nothing behind it.
        add_tty(sys, "ttyS0", "devices/pnp0/00:01");
        write_file(sys / "class/tty/ttyS0/type", "4\n");
        add_tty(sys, "ttyS1", "devices/platform/serial8250");
        write_file(sys / "class/tty/ttyS1/type", "0\n");
        // Virtual terminals have no device.
        add_tty(sys, "tty0", "");
        add_tty(sys, "ptmx", "");
        roots.tty_class_dir = (sys / "class/tty").string();
        roots.dev_dir = (tmp.path / "dev").string();
    }

    TempDir tmp;
    serial_platform::DeviceRoots roots;
};

TEST_F(DiscoveryTree, ListsRealPortsWithReadableNamesInPortOrder) {
    testing::internal::CaptureStdout();
    SerialPort port(roots);
    port.print_ports();
    port.discover_ports();  // a second discovery replaces, never appends
    port.print_ports();
    const std::string out = testing::internal::GetCapturedStdout();

    const std::string long_product = std::string(255 - std::string(" (ttyACM3)").size(), 'P');
    const std::string listing =
        "Port: ttyACM0 - UNO R4 Minima (ttyACM0)\n"
        "Port: ttyACM2 - Arduino USB serial device (ttyACM2)\n"
        "Port: ttyACM3 - " +
        long_product +
        " (ttyACM3)\n"
        "Port: ttyACM10 - USB serial device (ttyACM10)\n"
        "Port: ttyS0 - Serial port (ttyS0)\n"
        "Port: ttyUSB0 - FT232R USB UART (ttyUSB0)\n";
    EXPECT_EQ(out, listing + listing);
}

TEST_F(DiscoveryTree, NoDevicesAndNoDeviceListAreReported) {
    // No device at all: the constructor says so.
    const fs::path empty = tmp.path / "empty";
    fs::create_directories(empty);
    testing::internal::CaptureStdout();
    {
        SerialPort port(serial_platform::DeviceRoots{roots.dev_dir, empty.string()});
        EXPECT_TRUE(port.ports.empty());
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No serial port in Vector.\n");

    // The list cannot be had at all: the error trace names this module.
    testing::internal::CaptureStdout();
    {
        SerialPort port(serial_platform::DeviceRoots{roots.dev_dir, (tmp.path / "none").string()});
        EXPECT_TRUE(port.ports.empty());
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Invalid Handle.\nBuild: ", 0), 0u) << out;
    EXPECT_NE(out.find("\nFile: serial/class_serial.cpp:"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 26), "No serial port in Vector.\n");
}

TEST_F(DiscoveryTree, ResolvesPortNamesIgnoringCase) {
    const fs::path dev = roots.dev_dir;
    for (const char* name : {"ttyACM0", "ttyUSB0", "ttyS0", "TTYS0"}) {
        write_file(dev / name, "");
    }
    const std::string dev_text = dev.string();
    const auto upper = [](std::string text) {
        for (char& c : text) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return text;
    };
    struct Case {
        std::string name;
        std::string path;
        std::string port_name;
        bool found;
    };
    const Case cases[] = {
        {"TTYACM0", dev_text + "/ttyACM0", "ttyACM0", true},
        {"ttyacm0", dev_text + "/ttyACM0", "ttyACM0", true},
        {"ttyS0", dev_text + "/ttyS0", "ttyS0", true},  // exact match first
        {"TTYS0", dev_text + "/TTYS0", "TTYS0", true},
        {"COM9", dev_text + "/COM9", "COM9", false},
        {"", dev_text + "/", "", false},
        {"..", dev_text + "/..", "..", false},
        {upper(dev_text + "/ttyUSB0"), dev_text + "/ttyUSB0", dev_text + "/ttyUSB0", true},
        {upper(dev_text + "/none/ttyUSB0"), upper(dev_text + "/none/ttyUSB0"),
         upper(dev_text + "/none/ttyUSB0"), false},
    };
    for (const Case& c : cases) {
        const serial_platform::ResolvedPort port = serial_platform::resolve_port(c.name, roots);
        EXPECT_EQ(port.path, c.path) << c.name;
        EXPECT_EQ(port.port_name, c.port_name) << c.name;
        EXPECT_EQ(port.found, c.found) << c.name;
    }
}

}  // namespace
