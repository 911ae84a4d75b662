// The MQTT bridge's words, without a broker: the broker's address, the
// default topic prefix, and what a message on PREFIX/cmd asks for; and the
// bridge against a broker that breaks the protocol.

#include <gtest/gtest.h>

#include <string>

#include "app/mqtt_words.h"

#ifdef TESSARO_MQTT
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/mqtt_bridge.h"
#endif

namespace {

TEST(MqttWords, ReadsTheBrokerAddress) {
    // The address as host, port and "tls"; empty when refused.
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"mqtt://broker.lab", "broker.lab 1883"}, {"mqtt://10.0.0.5:1884/", "10.0.0.5 1884"},
        {"mqtts://broker.lab", "broker.lab 8883 tls"}, {"mqtt://[::1]:1885", "::1 1885"},
        {"http://broker.lab", ""}, {"mqtt://", ""}, {"mqtt://broker:", ""}, {"mqtt://broker:0", ""},
        {"mqtt://broker:65536", ""}, {"mqtt://user@broker", ""}, {"mqtt://[::1", ""},
        {"mqtt://broker/path", ""},
    };
    // clang-format on
    for (const auto& [text, address] : cases) {
        std::string why;
        const std::optional<MqttUrl> url = parse_mqtt_url(text, why);
        EXPECT_EQ(url ? url->host + " " + std::to_string(url->port) + (url->tls ? " tls" : "") : "",
                  address);
        EXPECT_TRUE(url.has_value() || why.starts_with("--mqtt")) << text << ": " << why;
    }
}

TEST(MqttWords, MakesThePrefixOfThePortsBaseName) {
    EXPECT_EQ(default_mqtt_prefix("/dev/ttyACM0"), "tessaro/ttyACM0");
    EXPECT_EQ(default_mqtt_prefix("ttyUSB1"), "tessaro/ttyUSB1");
    EXPECT_EQ(default_mqtt_prefix("serial/by-id/usb-Arduino_LLC.x:1-if00"),
              "tessaro/usb-Arduino_LLC_x_1-if00");
    EXPECT_EQ(default_mqtt_prefix("build/quirn0/"), "tessaro/quirn0");
    EXPECT_EQ(default_mqtt_prefix("COM3 #+\xc3\xa9"), "tessaro/COM3_____");
    EXPECT_EQ(default_mqtt_prefix("/"), "");

    EXPECT_EQ(mqtt_prefix_problem("lab/bench 1"), "");
    for (const std::string bad : {"", "/", "lab/+", "lab/#", "lab\tx", "lab/\xff"}) {
        EXPECT_NE(mqtt_prefix_problem(bad), "") << bad;
    }
}

// Which payloads run which word, and which are refused with which error.
TEST(MqttWords, ReadsACommandOrRefusesIt) {
    struct Case {
        std::string payload;
        std::string word;
        std::string error;
        std::string id;  // as JSON; empty: none
    };
    const Case cases[] = {
        {"g2rd", "g2rd", "", ""},
        {"  STA\r\n", "sta", "", ""},
        {R"({"word":"g2rd","id":"any"})", "g2rd", "", R"("any")"},
        {R"( {"id":[1,{"a":null}],"word":"SYS"} )", "sys", "", R"([1,{"a":null}])"},
        {std::string(4096, 'a'), std::string(4096, 'a'), "", ""},
        // Words of the console, never of MQTT.
        {"quit", "quit", "not_allowed", ""},
        {R"({"word":"co","id":3})", "co", "not_allowed", "3"},
        {"di", "di", "not_allowed", ""},
        {"http_stop", "http_stop", "not_allowed", ""},
        {"s", "s", "not_allowed", ""},
        // Neither form.
        {"", "", "bad_payload", ""},
        {"g2rd sta", "", "bad_payload", ""},
        {std::string("g2rd\0", 5), "", "bad_payload", ""},
        {"g2rd\xff", "", "bad_payload", ""},
        {"{\"word\":\"g2rd\xc3\"}", "", "bad_payload", ""},
        {R"({"word":"g2rd")", "", "bad_payload", ""},
        {R"({"word":5,"id":"x"})", "", "bad_payload", R"("x")"},
        {R"({"word":"g2rd sta"})", "", "bad_payload", ""},
        {std::string(4097, 'a'), "", "bad_payload", ""},
    };
    for (const Case& c : cases) {
        const MqttCommand command = parse_mqtt_command(c.payload);
        const std::string row = c.payload.substr(0, 40);
        EXPECT_EQ(command.word, c.word) << row;
        EXPECT_EQ(command.error, c.error) << row;
        EXPECT_EQ(command.id ? command.id->dump() : "", c.id) << row;
        if (!c.error.empty()) {
            EXPECT_NE(command.message, "") << row;
            const nlohmann::ordered_json record = mqtt_refusal(command);
            EXPECT_EQ(record["ok"], false) << row;
            EXPECT_EQ(record["error"], c.error) << row;
            EXPECT_EQ(record.contains("id"), !c.id.empty()) << row;
        }
    }
}

#ifdef TESSARO_MQTT
// A broker that answers the client's CONNECT with a packet no 3.1.1 client
// takes: the library's own loop gives up on such a broker for good, and the
// bridge must connect again all the same, first after a second.
TEST(MqttBridge, ConnectsAgainAfterABrokerThatBreaksTheProtocol) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    MqttSettings settings;
    settings.url.host = "127.0.0.1";
    settings.url.port = ntohs(address.sin_port);
    settings.prefix = "test";
    std::string why;
    ASSERT_TRUE(start_mqtt_bridge(settings, why)) << why;
    // Within three times the first retry's second.
    const auto next_connection = [listener] {
        pollfd waiting{listener, POLLIN, 0};
        return poll(&waiting, 1, 3000) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)
                                            : -1;
    };
    const int first = next_connection();
    ASSERT_GE(first, 0);
    char connect_packet[512];
    EXPECT_GT(read(first, connect_packet, sizeof connect_packet), 0);
    const unsigned char reserved_packet[] = {0xF0, 0x00};
    EXPECT_EQ(write(first, reserved_packet, sizeof reserved_packet), 2);
    const int second = next_connection();
    EXPECT_GE(second, 0) << "the bridge gave up after a protocol error";
    stop_mqtt_bridge();
    for (const int fd : {first, second, listener}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}
#endif

}  // namespace
