// The port scanner against real sockets of the test process, and the table
// reader against tables in the kernel's format.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Linux/PortScanUtil.h"
#include "TestSupport.h"
#include "scan_capture.h"

using namespace qvim_test;

namespace {

class Ports : public ScannerTest {
protected:
    const im_event_port* port(const std::string& key) const {
        for (const auto& record : scanner.built)
            if (record->currentKey == key) return static_cast<const im_event_port*>(record.get());
        return nullptr;
    }
    std::string key(const char* protocol, const char* host, int number) const {
        return std::string(protocol) + "/" + host + "/" + std::to_string(number);
    }
};

TEST_F(Ports, ListeningSocketsBecomeOneRecordPerEndpoint) {
    Socket tcp(AF_INET, SOCK_STREAM);
    Socket shared1(AF_INET, SOCK_STREAM, 0, true);
    Socket shared2(AF_INET, SOCK_STREAM, shared1.port, true);
    Socket udp(AF_INET, SOCK_DGRAM);
    ASSERT_TRUE(tcp.fd >= 0 && shared1.fd >= 0 && shared2.fd >= 0 && udp.fd >= 0);
    Socket tcp6(AF_INET6, SOCK_STREAM, tcp.port);

    ASSERT_EQ("ok, events", outcome(&CapturingScanner::scanPorts, SCAN_CHANGE));

    const std::string uid = std::to_string(geteuid());
    const im_event_port* record = port(key("tcp", "127.0.0.1", tcp.port));
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(joined({record->currentKey, "1", uid, "0", std::to_string(IM_OP_CREATE)}),
              joined({record->newKey, std::to_string(record->listeners), record->user, std::to_string(record->realTime),
                      std::to_string(record->operation)}));
    record = port(key("tcp", "127.0.0.1", shared1.port));
    ASSERT_NE(nullptr, record);
    EXPECT_EQ("2|" + uid + "," + uid, joined({std::to_string(record->listeners), record->user}));
    EXPECT_NE(nullptr, port(key("udp", "127.0.0.1", udp.port)));
    if (tcp6.fd >= 0) {
        EXPECT_NE(nullptr, port(key("tcp6", "::1", tcp.port))) << "the same port over IPv6 is its own record";
    }

    scanner.built.clear();
    ASSERT_TRUE(scanner.scanPorts(5, SCAN_CHANGE_REALTIME, nullptr));
    EXPECT_TRUE(port(key("tcp", "127.0.0.1", tcp.port)) != nullptr && port(key("tcp", "127.0.0.1", tcp.port))->realTime);
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
    im_event_port record(engine.getDAL(), &blank);
    std::vector<std::pair<std::string, std::string>> found;
    while (source.getNext(&record)) found.emplace_back(record.currentKey, record.user);
    return found;
}

// One line of a kernel socket table.
std::string entry(const std::string& local, const std::string& remote, const char* state, int uid) {
    return "   0: " + local + " " + remote + " " + state + " 00000000:00000000 00:00000000 00000000 " +
           std::to_string(uid) + "        0 1001 1 0000000000000000 100 0 0 10 0\n";
}

TEST_F(Ports, TablesYieldListeningLinesOnly) {
    using Found = std::vector<std::pair<std::string, std::string>>;
    const std::string header =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    // Listening is 0A for TCP and 07 for UDP; short and garbled lines are skipped.
    EXPECT_EQ((Found{{"tcp/0.0.0.0/80", "0"}, {"tcp/0.0.0.0/80", "33"}, {"tcp/127.0.0.1/631", "7"}}),
              readTable<PortSourceTCP4>(engine, header + entry("00000000:0050", "00000000:0000", "0A", 0) +
                                                    entry("00000000:0050", "00000000:0000", "0A", 33) +
                                                    entry("0100007F:0050", "0100007F:D431", "01", 0) +
                                                    "   3: 0100007F:0277 00000000:0000 0A 00000000:00000000\n"
                                                    "garbage line\n" +
                                                    entry("0100007F:0277", "00000000:0000", "0A", 7)));
    EXPECT_EQ((Found{{"udp/127.0.0.53/53", "101"}}),
              readTable<PortSourceUDP4>(engine, header + entry("3500007F:0035", "00000000:0000", "07", 101) +
                                                    entry("3500007F:0036", "0100007F:0035", "01", 101)));
    const std::string any6 = "00000000000000000000000000000000";
    EXPECT_EQ((Found{{"tcp6/::1/631", "0"}, {"tcp6/::/22", "0"}}),
              readTable<PortSourceTCP6>(engine, header + entry("00000000000000000000000001000000:0277", any6 + ":0000", "0A", 0) +
                                                    entry(any6 + ":0016", any6 + ":0000", "0A", 0)));

    PortSourceUDP6 missing;
    EXPECT_FALSE(missing.openPath("/proc/net/no-such-table"));
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Unable to open /proc/net/no-such-table"));

    EXPECT_EQ("root", PortSourceLinux::m_userLookup.name(0));
    EXPECT_EQ("987654", PortSourceLinux::m_userLookup.name(987654));
}

}  // namespace
