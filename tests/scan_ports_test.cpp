// The port scanner against real sockets of the test process, and the table
// reader against tables in the kernel's format.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Linux/PortScanUtil.h"
#include "TestSupport.h"
#include "scan_capture.h"

using namespace qvim_test;

namespace {

class Ports : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(QVIM_OK, startEngine()); }
    void TearDown() override { engine_stop(); }

    const im_event_port* port(const std::string& key) const {
        for (const auto& record : scanner.built)
            if (record->currentKey == key) return static_cast<const im_event_port*>(record.get());
        return nullptr;
    }
    std::string key(const char* protocol, const char* host, int number) const {
        return std::string(protocol) + "/" + host + "/" + std::to_string(number);
    }

    IMEngineHandleConcrete engine;
    CapturingScanner scanner{engine};
};

TEST_F(Ports, ListeningSocketsBecomeOneRecordPerEndpoint) {
    Socket tcp(AF_INET, SOCK_STREAM);
    ASSERT_GE(tcp.fd, 0);
    Socket shared1(AF_INET, SOCK_STREAM, 0, true);
    ASSERT_GE(shared1.fd, 0);
    Socket shared2(AF_INET, SOCK_STREAM, shared1.port, true);
    ASSERT_GE(shared2.fd, 0);
    Socket udp(AF_INET, SOCK_DGRAM);
    ASSERT_GE(udp.fd, 0);
    Socket tcp6(AF_INET6, SOCK_STREAM, tcp.port);
    // A connection: neither of its ends is listening.
    Socket client(AF_INET, SOCK_STREAM);
    const int connected = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<uint16_t>(tcp.port));
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, connect(connected, reinterpret_cast<sockaddr*>(&target), sizeof target));
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(connected, reinterpret_cast<sockaddr*>(&local), &length);
    const int accepted = accept(tcp.fd, nullptr, nullptr);

    im_wrapper_response_s response{};
    ASSERT_TRUE(scanner.scanPorts(5, SCAN_CHANGE, &response));
    ASSERT_NE(nullptr, response.json);
    free_json_string(response.json);

    const std::string uid = std::to_string(geteuid());
    const im_event_port* record = port(key("tcp", "127.0.0.1", tcp.port));
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(record->currentKey, record->newKey);
    EXPECT_EQ(1, record->listeners);
    EXPECT_EQ(uid, record->user);
    EXPECT_FALSE(record->realTime);
    EXPECT_EQ(IM_OP_CREATE, record->operation);

    record = port(key("tcp", "127.0.0.1", shared1.port));
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(2, record->listeners);
    EXPECT_EQ(uid + "," + uid, record->user);

    EXPECT_NE(nullptr, port(key("udp", "127.0.0.1", udp.port)));
    EXPECT_EQ(nullptr, port(key("tcp", "127.0.0.1", ntohs(local.sin_port))));
    if (tcp6.fd >= 0) {
        EXPECT_NE(nullptr, port(key("tcp6", "::1", tcp.port))) << "the same port over IPv6 is its own record";
    }
    for (const auto& each : scanner.built) {
        EXPECT_EQ(ENTITY_PORT, each->entityType());
        EXPECT_EQ(1u, std::count_if(scanner.built.begin(), scanner.built.end(),
                                    [&](const auto& other) { return other->currentKey == each->currentKey; }))
            << each->currentKey;
    }
    close(connected);
    close(accepted);

    // A closed socket is gone from the next scan; real-time scans mark records.
    const int closedPort = udp.port;
    udp.close();
    scanner.built.clear();
    ASSERT_TRUE(scanner.scanPorts(5, SCAN_CHANGE_REALTIME, nullptr));
    EXPECT_EQ(nullptr, port(key("udp", "127.0.0.1", closedPort)));
    ASSERT_NE(nullptr, port(key("tcp", "127.0.0.1", tcp.port)));
    EXPECT_TRUE(port(key("tcp", "127.0.0.1", tcp.port))->realTime);
}

// Reads a table file in the kernel's format through a source of one kind.
template <class Source>
std::vector<std::pair<std::string, std::string>> readTable(IMEngineHandleConcrete& engine, const std::string& text) {
    const std::string path = testDirectory() + "/table";
    writeFile(path, text);
    Source source;
    EXPECT_TRUE(source.openPath(path.c_str()));
    im_wrapper_event_s blank{};
    blank.entityType = "Port";
    blank.eventType = QVIM_EVENT_CHANGED;
    im_event_port record(engine, &blank);
    std::vector<std::pair<std::string, std::string>> found;
    while (source.getNext(&record)) found.emplace_back(record.currentKey, record.user);
    return found;
}

TEST_F(Ports, TablesYieldListeningLinesOnly) {
    using Found = std::vector<std::pair<std::string, std::string>>;
    const std::string header =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    EXPECT_EQ((Found{{"tcp/0.0.0.0/80", "0"}, {"tcp/0.0.0.0/80", "33"}, {"tcp/127.0.0.1/631", "7"}}),
              readTable<PortSourceTCP4>(
                  engine, header +
                              "   0: 00000000:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0 "
                              "       0 1001 1 0000000000000000 100 0 0 10 0\n"
                              "   1: 00000000:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000    33 "
                              "       0 1002 1 0000000000000000 100 0 0 10 0\n"
                              "   2: 0100007F:0050 0100007F:D431 01 00000000:00000000 00:00000000 00000000     0 "
                              "       0 1003 1 0000000000000000 20 4 30 10 -1\n"
                              "   3: 0100007F:0277 00000000:0000 0A 00000000:00000000\n"
                              "garbage line\n"
                              "   4: 0100007F:0277 00000000:0000 0A 00000000:00000000 00:00000000 00000000     7 "
                              "       0 1004 1 0000000000000000 100 0 0 10 0\n"));

    EXPECT_EQ((Found{{"udp/127.0.0.53/53", "101"}}),
              readTable<PortSourceUDP4>(
                  engine, header +
                              "  1: 3500007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000   101 "
                              "       0 2001 2 0000000000000000 0\n"
                              "  2: 3500007F:0036 0100007F:0035 01 00000000:00000000 00:00000000 00000000   101 "
                              "       0 2002 2 0000000000000000 0\n"));

    EXPECT_EQ((Found{{"tcp6/::1/631", "0"}, {"tcp6/::/22", "0"}}),
              readTable<PortSourceTCP6>(
                  engine, header +
                              "   0: 00000000000000000000000001000000:0277 00000000000000000000000000000000:0000 0A "
                              "00000000:00000000 00:00000000 00000000     0        0 3001 1 0000000000000000 100 0 0 "
                              "10 0\n"
                              "   1: 00000000000000000000000000000000:0016 00000000000000000000000000000000:0000 0A "
                              "00000000:00000000 00:00000000 00000000     0        0 3002 1 0000000000000000 100 0 0 "
                              "10 0\n"));

    PortSourceUDP6 missing;
    EXPECT_FALSE(missing.openPath("/proc/net/no-such-table"));
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Unable to open /proc/net/no-such-table"));

    EXPECT_EQ("root", PortSourceLinux::m_userLookup.name(0));
    EXPECT_EQ("987654", PortSourceLinux::m_userLookup.name(987654));
}

}  // namespace
