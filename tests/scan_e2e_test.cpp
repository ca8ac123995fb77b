// Scans through the exported interface on a real engine and database: a
// baseline of what is on the machine, then the changes a host would be told
// about, checked in the event documents and in the stored rows.
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "QVIMEventAbstraction.h"
#include "QVIMUtilPlatformIndependent.h"
#include "TestSupport.h"
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

// Rows of a query on the engine's database, columns joined with '|'.
std::vector<std::string> query(const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    char* error = nullptr;
    sqlite3_open_v2(databasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    const auto collect = [](void* out, int n, char** values, char**) {
        std::string row;
        for (int i = 0; i < n; ++i) row += (i > 0 ? "|" : "") + std::string(values[i] != nullptr ? values[i] : "<null>");
        static_cast<std::vector<std::string>*>(out)->push_back(row);
        return 0;
    };
    if (sqlite3_exec(db, sql.c_str(), collect, &rows, &error) != SQLITE_OK) ADD_FAILURE() << error << " in " << sql;
    sqlite3_free(error);
    sqlite3_close(db);
    return rows;
}

// The rows of a table whose key (the first column) starts with the prefix.
std::set<std::string> rows(const char* table, const char* columns = "key", const std::string& prefix = "") {
    std::set<std::string> out;
    for (const std::string& row : query(std::string("SELECT ") + columns + " FROM " + table))
        if (row.rfind(prefix, 0) == 0) out.insert(row);
    return out;
}

std::string member(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    if (item == nullptr) return "<absent>";
    if (cJSON_IsString(item)) return item->valuestring;
    if (cJSON_IsNumber(item)) return std::to_string(static_cast<long long>(item->valuedouble));
    return "<other>";
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

std::vector<std::string> memberNames(const cJSON* object) {
    std::vector<std::string> names;
    for (const cJSON* item = object->child; item != nullptr; item = item->next) names.push_back(item->string);
    return names;
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

    std::vector<const cJSON*> events() const {
        std::vector<const cJSON*> out;
        const cJSON* list = document ? cJSON_GetObjectItemCaseSensitive(document.get(), "events") : nullptr;
        const cJSON* event = nullptr;
        cJSON_ArrayForEach(event, list) { out.push_back(event); }
        return out;
    }
    // The events whose member has the value.
    size_t count(const char* name, const std::string& value) const {
        size_t n = 0;
        for (const cJSON* event : events()) n += member(event, name) == value;
        return n;
    }
    // The single event of a key; fails the test when there is not exactly one.
    const cJSON* only(const std::string& key) const {
        const size_t n = count("key", key);
        EXPECT_EQ(1u, n) << key;
        for (const cJSON* event : events())
            if (n == 1 && member(event, "key") == key) return event;
        return nullptr;
    }
    // Status and event count, and the events of the document when they differ
    // in number. The state is the last record's, which is often one no rule watches.
    std::string outcome() const {
        std::string text = ::outcome(status, nEvents);
        if (!document) return text + ", no document";
        const size_t listed = events().size();
        return listed == nEvents ? text : text + ", " + std::to_string(listed) + " listed";
    }
    // "entityType operationType was -> is" of one attribute in the single event of a key.
    std::string change(const std::string& key, const char* name) const {
        const cJSON* event = only(key);
        if (event == nullptr) return "<no single event>";
        return member(event, "entityType") + " " + member(event, "operationType") + " " +
               attribute(event, "wasAttributes", name) + " -> " + attribute(event, "isAttributes", name);
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
    void SetUp() override {
        removeDatabase();
        ASSERT_EQ(QVIM_OK, startEngine(databasePath()));
    }
    void TearDown() override {
        engine_stop();
        removeDatabase();
    }
    static void removeDatabase() {
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
    const auto stored = [&] { return rows("EntityDirectoryItems", "key, permissions, symLinkPath", root + "/"); };

    const uint64_t written = baseline({ENTITY_DIRECTORY});
    EXPECT_EQ(query("SELECT count(*) FROM EntityDirectoryItems"), std::vector<std::string>{std::to_string(written)});
    const std::set<std::string> before = {root + "/a|0755|<null>",    root + "/b|0755|<null>",
                                          root + "/t1|0755|<null>",   root + "/t2|0755|<null>",
                                          root + "/gone|0755|<null>", root + "/gone/inner|0755|<null>",
                                          root + "/link|0120777|t1"};
    EXPECT_EQ(before, stored());

    // Nothing changed yet: a change scan reports nothing and removes nothing.
    EXPECT_EQ(outcome(QVIM_OK, 0), changeScan(ENTITY_DIRECTORY).outcome());
    EXPECT_EQ(before, stored());

    ASSERT_EQ(0, chmod((root + "/a").c_str(), 0700));
    ASSERT_NO_FATAL_FAILURE(makeDir(root + "/new", 0750));
    ASSERT_EQ(0, rmdir((root + "/gone/inner").c_str()));
    ASSERT_EQ(0, rmdir((root + "/gone").c_str()));
    ASSERT_EQ(0, unlink((root + "/link").c_str()));
    ASSERT_EQ(0, symlink("t2", (root + "/link").c_str()));

    const Scan changes = changeScan(ENTITY_DIRECTORY);
    EXPECT_EQ(outcome(QVIM_OK, 5), changes.outcome());
    const cJSON* chmodded = changes.only(root + "/a");
    ASSERT_NE(nullptr, chmodded);
    EXPECT_EQ((std::vector<std::string>{"integrityEventId", "eventTime", "eventType", "entityType", "integrityRuleId",
                                        "integrityRuleName", "identifier", "operationType", "processName", "user",
                                        "severity", "key", "isKey", "wasKey", "wasAttributes", "isAttributes"}),
              memberNames(chmodded));
    EXPECT_EQ("integrityMonitoring|1|rule1|ID-1|3|" + root + "/a",
              joined({member(chmodded, "eventType"), member(chmodded, "integrityRuleId"),
                      member(chmodded, "integrityRuleName"), member(chmodded, "identifier"),
                      member(chmodded, "severity"), member(chmodded, "isKey")}));
    const long long now = static_cast<long long>(getCurrentTimeInMillis());
    EXPECT_NEAR(static_cast<double>(now), std::stod(member(chmodded, "eventTime")), 60000.0);

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
    // the limit is stored without one.
    set_loglevel(kQuietLog);
    for (size_t i = 0; i < 1005; ++i) ASSERT_NO_FATAL_FAILURE(makeDir(root + "/d" + std::to_string(i)));
    const Scan many = changeScan(ENTITY_DIRECTORY);
    EXPECT_EQ(outcome(QVIM_OK, 1000), many.outcome());
    EXPECT_EQ(1000u, many.count("operationType", "create"));
    EXPECT_EQ(1011u, stored().size());
    EXPECT_EQ(outcome(QVIM_OK, 0), changeScan(ENTITY_DIRECTORY).outcome());
}

// ---- Users and groups ---------------------------------------------------------------------

// "name|id" of every entry of a system database.
std::set<std::string> getent(const char* database) {
    std::set<std::string> out;
    for (const std::string& line : lines(run(std::string("getent ") + database))) {
        const auto fields = split(line, ':');
        out.insert(fields[0] + "|" + fields[2]);
    }
    return out;
}

TEST_F(EndToEnd, UsersAndGroupsMatchTheSystemDatabasesAndStayQuietUnchanged) {
    install(set("User") + "," + set("Group"));
    set_loglevel(kQuietLog);
    baseline({ENTITY_USER, ENTITY_GROUP});

    EXPECT_EQ(getent("passwd"), rows("EntityUserItems", "key, userId"));
    EXPECT_EQ(getent("group"), rows("EntityUserGroupItems", "key, groupId"));
    EXPECT_EQ((std::vector<std::string>{"0:root"}), query("SELECT userGroup FROM EntityUserItems WHERE key='root'"));

    for (entity_type kind : {ENTITY_USER, ENTITY_GROUP}) {
        const Scan changes = changeScan(kind);
        EXPECT_EQ(outcome(QVIM_OK, 0), changes.outcome()) << entityTypeName(kind);
        EXPECT_EQ(static_cast<uint32_t>(IM_MATCH_NO_EVENT), changes.state) << entityTypeName(kind);
    }
    EXPECT_EQ(getent("passwd"), rows("EntityUserItems", "key, userId")) << "seen rows stay";
}

// ---- Processes ------------------------------------------------------------------------------

TEST_F(EndToEnd, ProcessesComeAndGoWithTheirKeysUpToTheEventLimit) {
    install(set("Process"));
    set_loglevel(kQuietLog);
    baseline({ENTITY_PROCESS});

    const std::string self = comm(getpid()) + "/" + std::to_string(getpid());
    const std::string commandLine = ownCommandLine();
    EXPECT_EQ((std::vector<std::string>{std::to_string(geteuid()) + "|" + std::to_string(getpid()) + "|" + commandLine}),
              query("SELECT user, processID, commandLine FROM EntityProcessItems WHERE key='" + self + "'"));

    Child child = Child::paused();
    ASSERT_GT(child.pid, 0);
    const std::string childKey = comm(getpid()) + "/" + std::to_string(child.pid);
    const Scan started = changeScan(ENTITY_PROCESS);
    ASSERT_EQ(QVIM_OK, started.status);
    EXPECT_EQ("Process create <no list> -> " + commandLine, started.change(childKey, "commandLine"));
    EXPECT_EQ(0u, started.count("key", self)) << "the test itself did not change";

    child.stop();
    const Scan ended = changeScan(ENTITY_PROCESS);
    ASSERT_EQ(QVIM_OK, ended.status);
    EXPECT_EQ("Process delete " + commandLine + " -> <no list>", ended.change(childKey, "commandLine"));
    EXPECT_TRUE(query("SELECT key FROM EntityProcessItems WHERE key='" + childKey + "'").empty());

    // Past the event limit: every process the scan meets has an event to
    // give, as the stored ones seem changed and the children are new. So
    // whichever comes last in the walk (pids wrap), it finds the limit reached.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(databasePath().c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, "UPDATE EntityProcessItems SET commandLine='before'", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    std::vector<Child> children;
    children.reserve(1100);
    for (size_t running = lines(run("ls /proc | grep -x '[0-9]*'")).size(); running < 1100; ++running) {
        children.push_back(Child::paused());
        ASSERT_GT(children.back().pid, 0);
    }

    const Scan changes = changeScan(ENTITY_PROCESS);
    ASSERT_EQ(QVIM_OK, changes.status);
    EXPECT_EQ(static_cast<uint32_t>(IM_MATCH_WITH_MAX_EVENTS), changes.state);
    EXPECT_EQ(1000u, changes.count("operationType", "create") + changes.count("operationType", "update"));
    EXPECT_EQ(changes.events().size(), changes.nEvents);
}

// ---- Ports ------------------------------------------------------------------------------------

TEST_F(EndToEnd, ListeningPortsAreMergedPerEndpointAndClosedOnesDeleted) {
    install(set("Port"));
    set_loglevel(kQuietLog);
    Socket tcp(AF_INET, SOCK_STREAM, 0, true);
    Socket tcpTwin(AF_INET, SOCK_STREAM, tcp.port, true);
    Socket udp(AF_INET, SOCK_DGRAM);
    ASSERT_TRUE(tcp.fd >= 0 && tcpTwin.fd >= 0 && udp.fd >= 0);
    const std::string tcpKey = "tcp/127.0.0.1/" + std::to_string(tcp.port);
    const std::string udpKey = "udp/127.0.0.1/" + std::to_string(udp.port);
    const std::string uid = std::to_string(geteuid());

    baseline({ENTITY_PORT});

    udp.close();
    Socket added(AF_INET, SOCK_STREAM);
    ASSERT_GE(added.fd, 0);
    const Scan changes = changeScan(ENTITY_PORT);
    ASSERT_EQ(QVIM_OK, changes.status);
    EXPECT_EQ(0u, changes.count("key", tcpKey));
    EXPECT_EQ("Port delete 1 -> <no list>", changes.change(udpKey, "listeners"));
    EXPECT_EQ("Port create <no list> -> " + uid, changes.change("tcp/127.0.0.1/" + std::to_string(added.port), "user"));

    // One of the two listeners goes: the endpoint stays, with one listener less.
    tcpTwin.close();
    EXPECT_EQ("Port update 2 -> 1", changeScan(ENTITY_PORT).change(tcpKey, "listeners"));
}

// ---- Installed software ------------------------------------------------------------------------

class Software : public EndToEnd {
protected:
    void SetUp() override {
        if (PrivateRpmDatabase::toolsMissing() || !haveTool("sqlite3")) GTEST_SKIP() << "rpm tools missing";
        EndToEnd::SetUp();
        ASSERT_NO_FATAL_FAILURE(rpm.create());
    }

    // Headers written by other tools may lack a release, which rpmbuild
    // insists on: the stored header gets its release tag renumbered to one
    // the package does not use, and the same for the header digests that no
    // longer match it.
    void dropRelease(const std::string& name) {
        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open_v2((rpm.path + "/rpmdb.sqlite").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
        sqlite3_stmt* select = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT Packages.hnum, blob FROM Packages JOIN Name ON "
                                                    "Name.hnum = Packages.hnum WHERE Name.key = ?", -1, &select, nullptr));
        sqlite3_bind_text(select, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        ASSERT_EQ(SQLITE_ROW, sqlite3_step(select));
        const sqlite3_int64 number = sqlite3_column_int64(select, 0);
        const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(select, 1));
        std::vector<unsigned char> header(bytes, bytes + sqlite3_column_bytes(select, 1));
        sqlite3_finalize(select);
        const auto word = [&](size_t at) {
            return static_cast<uint32_t>(header[at]) << 24 | header[at + 1] << 16 | header[at + 2] << 8 | header[at + 3];
        };
        const std::map<uint32_t, uint32_t> renumber = {{1002, 1015}, {269, 1020}, {273, 1023}};
        for (size_t entry = 0; entry < word(0); ++entry) {
            const size_t at = 8 + 16 * entry;
            const auto found = renumber.find(word(at));
            if (found == renumber.end()) continue;
            for (int i = 0; i < 4; ++i) header[at + i] = static_cast<unsigned char>(found->second >> (24 - 8 * i));
        }
        sqlite3_stmt* update = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "UPDATE Packages SET blob = ? WHERE hnum = ?", -1, &update, nullptr));
        sqlite3_bind_blob(update, 1, header.data(), static_cast<int>(header.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(update, 2, number);
        EXPECT_EQ(SQLITE_DONE, sqlite3_step(update));
        sqlite3_finalize(update);
        sqlite3_close(db);
    }
    PrivateRpmDatabase rpm;
};

TEST_F(Software, PackagesOfThePrivateDatabaseAreTheBaselineAndItsChanges) {
    ASSERT_NO_FATAL_FAILURE(rpm.add({"qvtest-alpha", "1.0", "3"}));
    ASSERT_NO_FATAL_FAILURE(rpm.add({"qvtest-beta", "2.1", "1"}));
    ASSERT_NO_FATAL_FAILURE(rpm.add({"qvtest-norel", "1.2", "1"}));
    ASSERT_NO_FATAL_FAILURE(dropRelease("qvtest-norel"));
    install(set("InstalledSoftware"));
    baseline({ENTITY_INSTALLED_SOFTWARE});
    EXPECT_EQ((std::set<std::string>{"qvtest-alpha-1.0-3|qvtest-alpha|1.0-3|Test Vendor",
                                     "qvtest-beta-2.1-1|qvtest-beta|2.1-1|Test Vendor",
                                     "qvtest-norel|qvtest-norel|<null>|Test Vendor"}),
              rows("EntityInstalledSoftwareItems", "key, displayName, version, manufacturer"));
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "Error getting version for package 'qvtest-norel'"));

    ASSERT_NO_FATAL_FAILURE(rpm.erase("qvtest-alpha"));
    ASSERT_NO_FATAL_FAILURE(rpm.add({"qvtest-gamma", "0.9", "7"}));
    const Scan changes = changeScan(ENTITY_INSTALLED_SOFTWARE);
    EXPECT_EQ(outcome(QVIM_OK, 2), changes.outcome());
    EXPECT_EQ("InstalledSoftware delete 1.0-3 -> <no list>", changes.change("qvtest-alpha-1.0-3", "version"));
    EXPECT_EQ("InstalledSoftware create <no list> -> 0.9-7", changes.change("qvtest-gamma-0.9-7", "version"));
    EXPECT_EQ("InstalledSoftware create <no list> -> qvtest-gamma", changes.change("qvtest-gamma-0.9-7", "name"));
}

// ---- Scan refusals and skips --------------------------------------------------------------------

TEST_F(EndToEnd, PartialBaselinesSkipTheKindsTheyDoNotRebuild) {
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

    // Change scans are not partial.
    EXPECT_EQ(QVIM_OK, changeScan(ENTITY_GROUP).status);
    EXPECT_EQ(getent("group"), rows("EntityUserGroupItems", "key, groupId"));
    ASSERT_EQ(QVIM_OK, purge_db());

    ASSERT_EQ(QVIM_OK, set_im_state("partialBaseLineScanEntityTypes", "User,  Group\t,Directory"));
    EXPECT_EQ(QVIM_OK, scan(ENTITY_GROUP, SCAN_BASELINE).status);
    EXPECT_EQ(getent("group"), rows("EntityUserGroupItems", "key, groupId"));

    ASSERT_EQ(QVIM_OK, set_im_state("partialBaseLineScanEntityTypes", ""));
    EXPECT_TRUE(skipped(ENTITY_USER, SCAN_BASELINE, "Skipping partial baseline scan for type 3"));

    // A kind no rule watches is skipped in any scan.
    ASSERT_EQ(QVIM_OK, set_im_state("baselineScanType", "0"));
    EXPECT_TRUE(skipped(ENTITY_PORT, SCAN_CHANGE, "Skipping scan of type 5"));
}

TEST_F(EndToEnd, KindsWithoutAScannerAreRefused) {
    // Refused whether or not a rule watches them.
    for (bool withFileRule : {false, true}) {
        if (withFileRule) install(set("File", "\"base\":\"/etc/\""));
        for (entity_type kind : {ENTITY_FILE, ENTITY_ALL, ENTITY_UNKNOWN}) {
            clearCapturedLog();
            const Scan refused = scan(kind, SCAN_CHANGE);
            EXPECT_EQ(QVIM_E_BAD_PARAMETER, refused.status) << kind;
            EXPECT_TRUE(logged(QVIM_LOG_ERROR,
                               "Integrity Scan called with invalid entity type " + std::to_string(kind)))
                << kind;
        }
        EXPECT_EQ(QVIM_E_BAD_PARAMETER, scan(ENTITY_FILE, SCAN_BASELINE).status);
    }

    im_wrapper_response_s response;
    init_response_wrapper(&response);
    EXPECT_EQ(QVIM_E_BAD_PARAMETER, clean_unscanned("All", 0, &response));
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "clean_unscanned called with bad entityType All"));
    EXPECT_EQ(QVIM_OK, clean_unscanned("Directory", 0, &response));
    cleanup_response_wrapper(&response);
}

}  // namespace
