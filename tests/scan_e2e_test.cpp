// Scans through the exported interface on a real engine and database: a
// baseline of what is on the machine, then the changes a host would be told
// about, checked in the event documents and in the stored rows.
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "QVIMEventAbstraction.h"
#include "QVIMUtilPlatformIndependent.h"
#include "TestSupport.h"
#include "baseline_support.h"
#include "robust_support.h"
#include "scan_capture.h"

using namespace qvim_test;

namespace {

constexpr unsigned kQuietLog = QVIM_LOG_WARNING | QVIM_LOG_ERROR;

// The engine's database. Tests that write thousands of rows one statement at
// a time keep it in memory-backed storage where there is one, so that they
// measure the engine rather than the disk's sync time.
const std::string& databasePath() {
    static const std::string path = access("/dev/shm", W_OK) == 0
                                        ? "/dev/shm/qvim-e2e-" + std::to_string(getpid()) + ".db"
                                        : testDirectory() + "/test.db";
    return path;
}

// The rows of a table whose first column starts with the prefix; several
// columns are joined in SQL ("a || '|' || b").
std::set<std::string> rows(const char* table, const std::string& columns = "key", const std::string& prefix = "") {
    std::set<std::string> out;
    for (const std::string& row : columnOf(databasePath(), "SELECT " + columns + " FROM " + table))
        if (row.rfind(prefix, 0) == 0) out.insert(row);
    return out;
}

std::string member(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    if (item == nullptr) return "<absent>";
    if (cJSON_IsString(item)) return item->valuestring;
    return std::to_string(static_cast<long long>(item->valuedouble));
}

// Value of one attribute entry of "wasAttributes" or "isAttributes".
std::string attribute(const cJSON* event, const char* list, const std::string& name) {
    const cJSON* entries = cJSON_GetObjectItemCaseSensitive(event, list);
    if (entries == nullptr) return "<no list>";
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, entries) {
        if (member(entry, "name") == name) return member(entry, "value");
    }
    return "<absent>";
}

std::string outcome(qvim_status status, uint64_t nEvents) {
    std::ostringstream out;
    out << "status 0x" << std::hex << status << std::dec << ", " << nEvents << " events";
    return out.str();
}

// One scan call: its status, the response counters and the parsed events.
struct Scan {
    qvim_status status = 0;
    uint32_t state = 0;
    uint64_t nEvents = 0;
    uint64_t nItemsScanned = 0;
    Json document;

    // The events, or those whose member has the value.
    std::vector<const cJSON*> events(const char* name = nullptr, const std::string& value = "") const {
        std::vector<const cJSON*> out;
        const cJSON* list = document ? cJSON_GetObjectItemCaseSensitive(document.get(), "events") : nullptr;
        const cJSON* event = nullptr;
        cJSON_ArrayForEach(event, list) {
            if (name == nullptr || member(event, name) == value) out.push_back(event);
        }
        return out;
    }
    // Status and event count, and the events of the document when they differ
    // in number. The state is the last record's, which is often one no rule watches.
    std::string outcome() const {
        const size_t listed = events().size();
        return ::outcome(status, nEvents) +
               (!document ? ", no document" : listed != nEvents ? ", " + std::to_string(listed) + " listed" : "");
    }
    // "entityType operationType was -> is" of one attribute in the single event of a key.
    std::string change(const std::string& key, const char* name) const {
        const auto found = events("key", key);
        if (found.size() != 1) return std::to_string(found.size()) + " events of " + key;
        return member(found[0], "entityType") + " " + member(found[0], "operationType") + " " +
               attribute(found[0], "wasAttributes", name) + " -> " + attribute(found[0], "isAttributes", name);
    }
};

Scan scan(entity_type kind, scan_type type) {
    // A change scan counts rows stored in the millisecond it starts as seen by it.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    im_wrapper_response_s response;
    init_response_wrapper(&response);
    const qvim_status status = integrity_scan(7, kind, type, &response);
    Scan result{status, response.state, response.nEvents, response.nItemsScanned, parseJson(response.json)};
    cleanup_response_wrapper(&response);
    return result;
}

// A change scan as a host runs it: unchanged rows are marked seen meanwhile,
// so that only what is really gone is reported as deleted.
Scan changeScan(entity_type kind) {
    EXPECT_EQ(QVIM_OK, set_integrityscan(true));
    Scan result = scan(kind, SCAN_CHANGE);
    EXPECT_EQ(QVIM_OK, set_integrityscan(false));
    return result;
}

// Baseline scans of the kinds; the number of rows the last one wrote.
uint64_t baseline(std::initializer_list<entity_type> kinds) {
    set_baselinescan(true);
    uint64_t written = 0;
    for (entity_type kind : kinds) {
        const Scan result = scan(kind, SCAN_BASELINE);
        EXPECT_EQ(outcome(QVIM_OK, 0), result.outcome()) << entityTypeName(kind);
        written = result.nItemsScanned;
    }
    set_baselinescan(false);
    return written;
}

// An entity set of a kind, with extra members when given.
std::string set(const char* kind, const std::string& extra = "") {
    return std::string("{\"entityType\":\"") + kind + "\"" + (extra.empty() ? "" : "," + extra) + "}";
}

class EndToEnd : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(QVIM_OK, startEngine(databasePath())); }
    void TearDown() override {
        engine_stop();
        unlink(databasePath().c_str());
        unlink((databasePath() + "-journal").c_str());
    }

    // One rule, 1 "rule1" with the identifier "ID-1" and severity 3, over the entity sets.
    void install(const std::string& sets) {
        const std::string rules = "{\"IntegrityRules\":[{\"id\":1,\"name\":\"rule1\",\"identifier\":\"ID-1\","
                                  "\"severity\":3,\"EntitySets\":[" + sets + "]}]}";
        ASSERT_EQ(QVIM_OK, set_ruleset(false, rules.c_str(), "e2e"));
    }
};

// ---- Directories ----------------------------------------------------------------------

TEST_F(EndToEnd, DirectoryTreeChangesAreReportedAgainstItsBaselineUpToTheEventLimit) {
    const std::string root = testDirectory() + "/tree";
    for (const char* name : {"", "/a", "/b", "/t1", "/t2", "/gone", "/gone/inner"})
        ASSERT_NO_FATAL_FAILURE(makeDir(root + name));
    ASSERT_EQ(0, symlink("t1", (root + "/link").c_str()));
    install(set("Directory", "\"base\":\"" + root + "/\""));
    const char* columns = "key || '|' || permissions || '|' || ifnull(symLinkPath, '<null>')";
    const auto stored = [&] { return rows("EntityDirectoryItems", columns, root + "/"); };

    const uint64_t written = baseline({ENTITY_DIRECTORY});
    EXPECT_EQ(std::to_string(written), queryFile(databasePath(), "SELECT count(*) FROM EntityDirectoryItems"));

    ASSERT_EQ(0, chmod((root + "/a").c_str(), 0700));
    ASSERT_NO_FATAL_FAILURE(makeDir(root + "/new", 0750));
    ASSERT_EQ(0, rmdir((root + "/gone/inner").c_str()));
    ASSERT_EQ(0, rmdir((root + "/gone").c_str()));
    ASSERT_EQ(0, unlink((root + "/link").c_str()));
    ASSERT_EQ(0, symlink("t2", (root + "/link").c_str()));

    const Scan changes = changeScan(ENTITY_DIRECTORY);
    EXPECT_EQ(outcome(QVIM_OK, 5), changes.outcome());
    ASSERT_EQ(1u, changes.events("key", root + "/a").size());
    const cJSON* chmodded = changes.events("key", root + "/a")[0];
    EXPECT_EQ("integrityMonitoring|1|rule1|ID-1|3|" + root + "/a",
              joined({member(chmodded, "eventType"), member(chmodded, "integrityRuleId"),
                      member(chmodded, "integrityRuleName"), member(chmodded, "identifier"),
                      member(chmodded, "severity"), member(chmodded, "isKey")}));
    EXPECT_NEAR(static_cast<double>(getCurrentTimeInMillis()), std::stod(member(chmodded, "eventTime")), 60000.0);

    EXPECT_EQ("Directory update u::rwx\ng::r-x\no::r-x -> u::rwx\ng::---\no::---",
              changes.change(root + "/a", "permissions"));
    EXPECT_EQ("Directory create <no list> -> u::rwx\ng::r-x\no::---", changes.change(root + "/new", "permissions"));
    // Gone folders are found by the cleanup after the walk.
    for (const std::string& key : {root + "/gone", root + "/gone/inner"})
        EXPECT_EQ("Directory delete u::rwx\ng::r-x\no::r-x -> <no list>", changes.change(key, "permissions")) << key;
    EXPECT_EQ("Directory update t1 -> t2", changes.change(root + "/link", "symLinkPath"));
    EXPECT_EQ((std::set<std::string>{root + "/a|0700|<null>", root + "/b|0755|<null>", root + "/t1|0755|<null>",
                                     root + "/t2|0755|<null>", root + "/new|0750|<null>", root + "/link|0120777|t2"}),
              stored());

    // Everything reported is now the baseline.
    EXPECT_EQ(outcome(QVIM_OK, 0), changeScan(ENTITY_DIRECTORY).outcome());

    // A change scan reports at most a thousand events; what it meets past
    // the limit is stored without one, so the next scan is quiet.
    set_loglevel(kQuietLog);
    for (size_t i = 0; i < 1005; ++i) ASSERT_NO_FATAL_FAILURE(makeDir(root + "/d" + std::to_string(i)));
    const Scan many = changeScan(ENTITY_DIRECTORY);
    EXPECT_EQ(outcome(QVIM_OK, 1000), many.outcome());
    EXPECT_EQ(1000u, many.events("operationType", "create").size());
    EXPECT_EQ(1011u, stored().size());
    EXPECT_EQ(outcome(QVIM_OK, 0), changeScan(ENTITY_DIRECTORY).outcome());
}

// ---- Users and groups, and the baselines that leave kinds out ----------------------------

TEST_F(EndToEnd, AccountsAreScannedInFullUnlessAPartialBaselineLeavesThemOut) {
    install(set("User") + "," + set("Group"));
    ASSERT_EQ(QVIM_OK, set_im_state("baselineScanType", "1"));
    ASSERT_EQ(QVIM_OK, set_im_state("partialBaseLineScanEntityTypes", "User,Directory"));
    set_loglevel(QVIM_LOG_TRACE | kQuietLog);

    // A skipped scan succeeds in the no-rule state and says why.
    const auto skipped = [](entity_type kind, scan_type type, const std::string& why) {
        clearCapturedLog();
        const Scan result = scan(kind, type);
        return result.status == QVIM_OK && result.state == IM_NO_RULE_MATCH && logged(QVIM_LOG_TRACE, why);
    };
    EXPECT_TRUE(skipped(ENTITY_GROUP, SCAN_BASELINE, "Skipping partial baseline scan for type 4"));
    EXPECT_TRUE(rows("EntityUserGroupItems").empty());
    baseline({ENTITY_USER});
    EXPECT_EQ(1u, rows("EntityUserItems", "key || '|' || userId").count("root|0"));

    // Change scans are never partial, and quiet where nothing changed.
    EXPECT_EQ(QVIM_OK, changeScan(ENTITY_GROUP).status);
    EXPECT_EQ(1u, rows("EntityUserGroupItems", "key || '|' || groupId").count("root|0"));
    for (entity_type kind : {ENTITY_USER, ENTITY_GROUP}) {
        const Scan quiet = changeScan(kind);
        EXPECT_EQ(outcome(QVIM_OK, 0), quiet.outcome()) << entityTypeName(kind);
        EXPECT_EQ(static_cast<uint32_t>(IM_MATCH_NO_EVENT), quiet.state) << entityTypeName(kind);
    }

    // A kind no rule watches is skipped in any scan.
    ASSERT_EQ(QVIM_OK, set_im_state("baselineScanType", "0"));
    EXPECT_TRUE(skipped(ENTITY_PORT, SCAN_CHANGE, "Skipping scan of type 5"));
}

// ---- Processes, ports and installed software ---------------------------------------------

TEST_F(EndToEnd, ProcessesAreStoredUnderTheirKeysAndTheTestItselfStaysQuiet) {
    install(set("Process"));
    set_loglevel(kQuietLog);
    baseline({ENTITY_PROCESS});
    const std::string self = comm(getpid()) + "/" + std::to_string(getpid());
    EXPECT_EQ(1u, rows("EntityProcessItems", "key", self).count(self));
    const Scan changes = changeScan(ENTITY_PROCESS);
    ASSERT_EQ(QVIM_OK, changes.status);
    EXPECT_TRUE(changes.events("key", self).empty());
}

// Port records take a way of their own to the engine: the scanner builds them whole.
TEST_F(EndToEnd, ListeningPortsAreMergedPerEndpoint) {
    install(set("Port"));
    set_loglevel(kQuietLog);
    Socket tcp(AF_INET, SOCK_STREAM, 0, true);
    Socket tcpTwin(AF_INET, SOCK_STREAM, tcp.port, true);
    ASSERT_TRUE(tcp.fd >= 0 && tcpTwin.fd >= 0);
    const std::string tcpKey = "tcp/127.0.0.1/" + std::to_string(tcp.port);
    baseline({ENTITY_PORT});

    Socket added(AF_INET, SOCK_STREAM);
    ASSERT_GE(added.fd, 0);
    const Scan changes = changeScan(ENTITY_PORT);
    ASSERT_EQ(QVIM_OK, changes.status);
    EXPECT_TRUE(changes.events("key", tcpKey).empty());
    EXPECT_EQ("Port create <no list> -> " + std::to_string(geteuid()),
              changes.change("tcp/127.0.0.1/" + std::to_string(added.port), "user"));

    // One of the two listeners goes: the endpoint stays, with one listener less.
    tcpTwin.close();
    EXPECT_EQ("Port update 2 -> 1", changeScan(ENTITY_PORT).change(tcpKey, "listeners"));
}

TEST_F(EndToEnd, InstalledPackagesAreStored) {
    if (PrivateRpmDatabase::toolsMissing()) GTEST_SKIP() << "rpm tools missing";
    PrivateRpmDatabase rpm;
    ASSERT_NO_FATAL_FAILURE(rpm.create());
    ASSERT_NO_FATAL_FAILURE(rpm.add({"qvtest-alpha", "1.0", "3"}));
    install(set("InstalledSoftware"));
    baseline({ENTITY_INSTALLED_SOFTWARE});
    EXPECT_EQ((std::set<std::string>{"qvtest-alpha-1.0-3|qvtest-alpha|1.0-3|Test Vendor"}),
              rows("EntityInstalledSoftwareItems",
                   "key || '|' || displayName || '|' || version || '|' || manufacturer"));

}

// ---- Refusals -------------------------------------------------------------------------------

TEST_F(EndToEnd, KindsWithoutAScannerAreRefused) {
    // Refused whether or not a rule watches them.
    for (bool withFileRule : {false, true}) {
        if (withFileRule) install(set("File", "\"base\":\"/etc/\""));
        for (entity_type kind : {ENTITY_FILE, ENTITY_ALL, ENTITY_UNKNOWN}) {
            clearCapturedLog();
            EXPECT_EQ(QVIM_E_BAD_PARAMETER, scan(kind, SCAN_CHANGE).status) << kind;
            EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Integrity Scan called with invalid entity type " + std::to_string(kind)))
                << kind;
        }
    }

    im_wrapper_response_s response;
    init_response_wrapper(&response);
    EXPECT_EQ(QVIM_E_BAD_PARAMETER, clean_unscanned("All", 0, &response));
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "clean_unscanned called with bad entityType All"));
    EXPECT_EQ(QVIM_OK, clean_unscanned("Directory", 0, &response));
    cleanup_response_wrapper(&response);
}

}  // namespace
