// Scans through the exported interface on a real engine and database: a
// baseline of what is on the machine, then the changes a host would be told
// about, checked in the event documents and in the stored rows.
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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
    if (sqlite3_open_v2(databasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                std::string row;
                for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                    const unsigned char* text = sqlite3_column_text(stmt, i);
                    row += (i > 0 ? "|" : "") + std::string(text != nullptr ? reinterpret_cast<const char*>(text) : "<null>");
                }
                rows.push_back(row);
            }
        } else {
            ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql;
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return rows;
}

std::set<std::string> keysIn(const char* table, const std::string& prefix = "") {
    const auto rows = query(std::string("SELECT key FROM ") + table);
    std::set<std::string> keys;
    for (const std::string& key : rows)
        if (key.rfind(prefix, 0) == 0) keys.insert(key);
    return keys;
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
    std::vector<const cJSON*> eventsFor(const std::string& key) const {
        std::vector<const cJSON*> out;
        for (const cJSON* event : events())
            if (member(event, "key") == key) out.push_back(event);
        return out;
    }
    // The single event of a key; fails the test when there is not exactly one.
    const cJSON* only(const std::string& key) const {
        const auto found = eventsFor(key);
        EXPECT_EQ(1u, found.size()) << key;
        return found.size() == 1 ? found[0] : nullptr;
    }
    size_t count(const char* operation) const {
        size_t n = 0;
        for (const cJSON* event : events()) n += member(event, "operationType") == operation;
        return n;
    }
};

Scan scan(entity_type kind, scan_type type) {
    im_wrapper_response_s response;
    init_response_wrapper(&response);
    Scan result;
    result.status = integrity_scan(7, kind, type, &response);
    result.state = response.state;
    result.nEvents = response.nEvents;
    result.nItemsScanned = response.nItemsScanned;
    result.document = parseJson(response.json);
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
        EXPECT_EQ(QVIM_OK, result.status) << entityTypeName(kind);
        EXPECT_EQ(0u, result.nEvents);
        written = result.nItemsScanned;
    }
    set_baselinescan(false);
    return written;
}

// One rule per entity set given: ids 1, 2, ... named "rule<id>", with the
// identifier "ID-<id>" and severity 3.
std::string ruleset(const std::vector<std::string>& sets) {
    std::string text = "{\"IntegrityRules\":[";
    for (size_t i = 0; i < sets.size(); ++i)
        text += (i ? "," : "") + std::string("{\"id\":") + std::to_string(i + 1) + ",\"name\":\"rule" +
                std::to_string(i + 1) + "\",\"identifier\":\"ID-" + std::to_string(i + 1) +
                "\",\"severity\":3,\"EntitySets\":[" + sets[i] + "]}";
    return text + "]}";
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

    void install(const std::vector<std::string>& sets) {
        ASSERT_EQ(QVIM_OK, set_ruleset(false, ruleset(sets).c_str(), "e2e"));
    }
};

// ---- Directories ----------------------------------------------------------------------

void makeDir(const std::string& path, mode_t mode = 0755) {
    ASSERT_EQ(0, mkdir(path.c_str(), 0700)) << path;
    ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
}

TEST_F(EndToEnd, DirectoryTreeChangesAreReportedAgainstItsBaseline) {
    const std::string root = testDirectory() + "/tree";
    ASSERT_NO_FATAL_FAILURE(makeDir(root));
    for (const char* name : {"/a", "/b", "/t1", "/t2", "/gone", "/gone/inner"})
        ASSERT_NO_FATAL_FAILURE(makeDir(root + name));
    ASSERT_EQ(0, symlink("t1", (root + "/link").c_str()));
    install({set("Directory", "\"base\":\"" + root + "/\"")});

    const uint64_t written = baseline({ENTITY_DIRECTORY});
    EXPECT_EQ(query("SELECT count(*) FROM EntityDirectoryItems"), std::vector<std::string>{std::to_string(written)});
    const std::set<std::string> stored = {root + "/a",  root + "/b",    root + "/t1",         root + "/t2",
                                          root + "/gone", root + "/gone/inner", root + "/link"};
    EXPECT_EQ(stored, keysIn("EntityDirectoryItems", root + "/"));
    EXPECT_EQ((std::vector<std::string>{"0120777|t1"}),
              query("SELECT permissions, symLinkPath FROM EntityDirectoryItems WHERE key='" + root + "/link'"));
    EXPECT_EQ((std::vector<std::string>{"0755"}),
              query("SELECT permissions FROM EntityDirectoryItems WHERE key='" + root + "/a'"));

    // Nothing changed yet: a change scan reports nothing and removes nothing.
    Scan quiet = changeScan(ENTITY_DIRECTORY);
    ASSERT_EQ(QVIM_OK, quiet.status);
    ASSERT_TRUE(quiet.document);
    EXPECT_EQ(0u, quiet.events().size());
    EXPECT_EQ(0u, quiet.nEvents);
    EXPECT_EQ(stored, keysIn("EntityDirectoryItems", root + "/"));

    ASSERT_EQ(0, chmod((root + "/a").c_str(), 0700));
    ASSERT_NO_FATAL_FAILURE(makeDir(root + "/new", 0750));
    ASSERT_EQ(0, rmdir((root + "/gone/inner").c_str()));
    ASSERT_EQ(0, rmdir((root + "/gone").c_str()));
    ASSERT_EQ(0, unlink((root + "/link").c_str()));
    ASSERT_EQ(0, symlink("t2", (root + "/link").c_str()));

    const Scan changes = changeScan(ENTITY_DIRECTORY);
    ASSERT_EQ(QVIM_OK, changes.status);
    ASSERT_TRUE(changes.document);
    EXPECT_EQ(changes.events().size(), changes.nEvents);

    const cJSON* chmodded = changes.only(root + "/a");
    ASSERT_NE(nullptr, chmodded);
    EXPECT_EQ((std::vector<std::string>{"integrityEventId", "eventTime", "eventType", "entityType", "integrityRuleId",
                                        "integrityRuleName", "identifier", "operationType", "processName", "user",
                                        "severity", "key", "isKey", "wasKey", "wasAttributes", "isAttributes"}),
              memberNames(chmodded));
    EXPECT_EQ("integrityMonitoring", member(chmodded, "eventType"));
    EXPECT_EQ("Directory", member(chmodded, "entityType"));
    EXPECT_EQ("1", member(chmodded, "integrityRuleId"));
    EXPECT_EQ("rule1", member(chmodded, "integrityRuleName"));
    EXPECT_EQ("ID-1", member(chmodded, "identifier"));
    EXPECT_EQ("3", member(chmodded, "severity"));
    EXPECT_EQ("update", member(chmodded, "operationType"));
    EXPECT_EQ(root + "/a", member(chmodded, "isKey"));
    EXPECT_EQ("u::rwx\ng::r-x\no::r-x", attribute(chmodded, "wasAttributes", "permissions"));
    EXPECT_EQ("u::rwx\ng::---\no::---", attribute(chmodded, "isAttributes", "permissions"));
    const long long now = static_cast<long long>(getCurrentTimeInMillis());
    EXPECT_NEAR(static_cast<double>(now), std::stod(member(chmodded, "eventTime")), 60000.0);

    const cJSON* created = changes.only(root + "/new");
    ASSERT_NE(nullptr, created);
    EXPECT_EQ("create", member(created, "operationType"));
    EXPECT_EQ("<no list>", attribute(created, "wasAttributes", "permissions"));
    EXPECT_EQ("u::rwx\ng::r-x\no::---", attribute(created, "isAttributes", "permissions"));

    // Gone folders are found by the cleanup after the walk.
    for (const std::string& key : {root + "/gone", root + "/gone/inner"}) {
        const cJSON* deleted = changes.only(key);
        ASSERT_NE(nullptr, deleted) << key;
        EXPECT_EQ("delete", member(deleted, "operationType")) << key;
        EXPECT_EQ("u::rwx\ng::r-x\no::r-x", attribute(deleted, "wasAttributes", "permissions")) << key;
        EXPECT_EQ(nullptr, cJSON_GetObjectItemCaseSensitive(deleted, "isAttributes")) << key;
    }

    const cJSON* link = changes.only(root + "/link");
    ASSERT_NE(nullptr, link);
    EXPECT_EQ("update", member(link, "operationType"));
    EXPECT_EQ("t1", attribute(link, "wasAttributes", "symLinkPath"));
    EXPECT_EQ("t2", attribute(link, "isAttributes", "symLinkPath"));

    for (const char* same : {"/b", "/t1", "/t2"}) EXPECT_TRUE(changes.eventsFor(root + same).empty()) << same;
    EXPECT_EQ((std::set<std::string>{root + "/a", root + "/b", root + "/t1", root + "/t2", root + "/link",
                                     root + "/new"}),
              keysIn("EntityDirectoryItems", root + "/"));

    // Everything reported is now the baseline.
    const Scan again = changeScan(ENTITY_DIRECTORY);
    EXPECT_EQ(QVIM_OK, again.status);
    EXPECT_TRUE(again.eventsFor(root + "/a").empty());
    for (const cJSON* event : again.events())
        EXPECT_NE(0u, member(event, "key").rfind(root + "/", 0)) << member(event, "key");
}

TEST_F(EndToEnd, AChangeScanReportsAtMostAThousandEventsButStoresEverything) {
    const std::string root = testDirectory() + "/many";
    ASSERT_NO_FATAL_FAILURE(makeDir(root));
    install({set("Directory", "\"base\":\"" + root + "/\"")});
    baseline({ENTITY_DIRECTORY});

    set_loglevel(kQuietLog);
    constexpr int kNew = 1005;
    for (int i = 0; i < kNew; ++i) ASSERT_NO_FATAL_FAILURE(makeDir(root + "/d" + std::to_string(i)));
    const Scan changes = changeScan(ENTITY_DIRECTORY);
    ASSERT_EQ(QVIM_OK, changes.status);
    EXPECT_EQ(1000u, changes.nEvents);
    EXPECT_EQ(1000u, changes.count("create"));
    EXPECT_EQ(1000u, changes.events().size());
    EXPECT_EQ(static_cast<size_t>(kNew), keysIn("EntityDirectoryItems", root + "/").size())
        << "entities past the limit are stored without an event";
    EXPECT_EQ(0u, changeScan(ENTITY_DIRECTORY).nEvents);
}

// ---- Users and groups ---------------------------------------------------------------------

std::set<std::string> getent(const char* database, size_t field) {
    std::set<std::string> out;
    for (const std::string& line : lines(run(std::string("getent ") + database)))
        out.insert(split(line, ':')[field]);
    return out;
}

TEST_F(EndToEnd, UsersAndGroupsMatchTheSystemDatabasesAndStayQuietUnchanged) {
    install({set("User"), set("Group")});
    set_loglevel(kQuietLog);
    baseline({ENTITY_USER, ENTITY_GROUP});

    EXPECT_EQ(getent("passwd", 0), keysIn("EntityUserItems"));
    EXPECT_EQ(getent("group", 0), keysIn("EntityUserGroupItems"));
    std::set<std::string> userIds, groupIds;
    for (const std::string& id : query("SELECT userId FROM EntityUserItems")) userIds.insert(id);
    for (const std::string& id : query("SELECT groupId FROM EntityUserGroupItems")) groupIds.insert(id);
    EXPECT_EQ(getent("passwd", 2), userIds);
    EXPECT_EQ(getent("group", 2), groupIds);
    EXPECT_EQ((std::vector<std::string>{"0:root"}), query("SELECT userGroup FROM EntityUserItems WHERE key='root'"));

    for (entity_type kind : {ENTITY_USER, ENTITY_GROUP}) {
        const Scan changes = changeScan(kind);
        EXPECT_EQ(QVIM_OK, changes.status) << entityTypeName(kind);
        EXPECT_EQ(0u, changes.nEvents) << entityTypeName(kind);
        ASSERT_TRUE(changes.document);
        EXPECT_TRUE(changes.events().empty());
        EXPECT_EQ(static_cast<uint32_t>(IM_MATCH_NO_EVENT), changes.state) << entityTypeName(kind);
    }
    EXPECT_EQ(getent("passwd", 0), keysIn("EntityUserItems")) << "seen rows stay";
}

// ---- Processes ------------------------------------------------------------------------------

// Child processes that wait until they are killed.
class Children {
public:
    ~Children() { stop(); }
    pid_t start() {
        const pid_t pid = fork();
        if (pid == 0) {
            for (;;) pause();
        }
        if (pid > 0) m_pids.push_back(pid);
        return pid;
    }
    void stop() {
        for (pid_t pid : m_pids) kill(pid, SIGKILL);
        for (pid_t pid : m_pids) waitpid(pid, nullptr, 0);
        m_pids.clear();
    }

private:
    std::vector<pid_t> m_pids;
};

std::string shortName() {
    const std::string stat = readFile("/proc/self/stat");
    return stat.substr(stat.find('(') + 1, stat.rfind(')') - stat.find('(') - 1);
}

TEST_F(EndToEnd, ProcessesComeAndGoWithTheirKeys) {
    install({set("Process")});
    set_loglevel(kQuietLog);
    baseline({ENTITY_PROCESS});

    const std::string self = shortName() + "/" + std::to_string(getpid());
    std::string commandLine = readFile("/proc/self/cmdline");
    if (!commandLine.empty() && commandLine.back() == '\0') commandLine.pop_back();
    std::replace(commandLine.begin(), commandLine.end(), '\0', ' ');
    EXPECT_EQ((std::vector<std::string>{std::to_string(geteuid()) + "|" + std::to_string(getpid()) + "|" + commandLine}),
              query("SELECT user, processID, commandLine FROM EntityProcessItems WHERE key='" + self + "'"));

    Children children;
    const pid_t child = children.start();
    ASSERT_GT(child, 0);
    const std::string childKey = shortName() + "/" + std::to_string(child);
    const Scan started = changeScan(ENTITY_PROCESS);
    ASSERT_EQ(QVIM_OK, started.status);
    const cJSON* created = started.only(childKey);
    ASSERT_NE(nullptr, created);
    EXPECT_EQ("create", member(created, "operationType"));
    EXPECT_EQ("Process", member(created, "entityType"));
    EXPECT_EQ(commandLine, attribute(created, "isAttributes", "commandLine"));
    EXPECT_TRUE(started.eventsFor(self).empty()) << "the test itself did not change";

    children.stop();
    const Scan ended = changeScan(ENTITY_PROCESS);
    ASSERT_EQ(QVIM_OK, ended.status);
    const cJSON* deleted = ended.only(childKey);
    ASSERT_NE(nullptr, deleted);
    EXPECT_EQ("delete", member(deleted, "operationType"));
    EXPECT_EQ(commandLine, attribute(deleted, "wasAttributes", "commandLine"));
    EXPECT_TRUE(query("SELECT key FROM EntityProcessItems WHERE key='" + childKey + "'").empty());
}

size_t processCount() {
    size_t count = 0;
    for (const std::string& name : lines(run("ls /proc")))
        count += name.find_first_not_of("0123456789") == std::string::npos;
    return count;
}

TEST_F(EndToEnd, AProcessScanPastTheEventLimitEndsInTheLimitState) {
    install({set("Process")});
    set_loglevel(kQuietLog);
    baseline({ENTITY_PROCESS});
    // Every process the scan meets has an event to give: the ones of the
    // baseline seem changed, the children are new. So whichever comes last
    // in the walk (pids wrap), it finds the limit reached.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(databasePath().c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, "UPDATE EntityProcessItems SET commandLine='before'", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    Children children;
    for (size_t running = processCount(); running < 1100; ++running) ASSERT_GT(children.start(), 0);

    const Scan changes = changeScan(ENTITY_PROCESS);
    ASSERT_EQ(QVIM_OK, changes.status);
    EXPECT_EQ(static_cast<uint32_t>(IM_MATCH_WITH_MAX_EVENTS), changes.state);
    EXPECT_EQ(1000u, changes.count("create") + changes.count("update"));
    EXPECT_EQ(changes.events().size(), changes.nEvents);
}

// ---- Ports ------------------------------------------------------------------------------------

TEST_F(EndToEnd, ListeningPortsAreMergedPerEndpointAndClosedOnesDeleted) {
    install({set("Port")});
    set_loglevel(kQuietLog);
    Socket tcp(AF_INET, SOCK_STREAM, 0, true);
    ASSERT_GE(tcp.fd, 0);
    Socket tcpTwin(AF_INET, SOCK_STREAM, tcp.port, true);
    ASSERT_GE(tcpTwin.fd, 0);
    Socket udp(AF_INET, SOCK_DGRAM);
    ASSERT_GE(udp.fd, 0);
    const std::string tcpKey = "tcp/127.0.0.1/" + std::to_string(tcp.port);
    const std::string udpKey = "udp/127.0.0.1/" + std::to_string(udp.port);
    const std::string uid = std::to_string(geteuid());

    baseline({ENTITY_PORT});
    EXPECT_EQ((std::vector<std::string>{"2|" + uid + "," + uid}),
              query("SELECT listeners, user FROM EntityPortItems WHERE key='" + tcpKey + "'"));
    EXPECT_EQ((std::vector<std::string>{"1|" + uid}),
              query("SELECT listeners, user FROM EntityPortItems WHERE key='" + udpKey + "'"));

    udp.close();
    Socket added(AF_INET, SOCK_STREAM);
    ASSERT_GE(added.fd, 0);
    const std::string addedKey = "tcp/127.0.0.1/" + std::to_string(added.port);
    const Scan changes = changeScan(ENTITY_PORT);
    ASSERT_EQ(QVIM_OK, changes.status);
    EXPECT_TRUE(changes.eventsFor(tcpKey).empty());
    const cJSON* deleted = changes.only(udpKey);
    ASSERT_NE(nullptr, deleted);
    EXPECT_EQ("delete", member(deleted, "operationType"));
    EXPECT_EQ("Port", member(deleted, "entityType"));
    EXPECT_EQ("1", attribute(deleted, "wasAttributes", "listeners"));
    const cJSON* created = changes.only(addedKey);
    ASSERT_NE(nullptr, created);
    EXPECT_EQ("create", member(created, "operationType"));
    EXPECT_EQ(uid, attribute(created, "isAttributes", "user"));

    // One of the two listeners goes: the endpoint stays, with one listener less.
    tcpTwin.close();
    const Scan fewer = changeScan(ENTITY_PORT);
    const cJSON* updated = fewer.only(tcpKey);
    ASSERT_NE(nullptr, updated);
    EXPECT_EQ("update", member(updated, "operationType"));
    EXPECT_EQ("2", attribute(updated, "wasAttributes", "listeners"));
    EXPECT_EQ("1", attribute(updated, "isAttributes", "listeners"));
}

// ---- Installed software ------------------------------------------------------------------------

class Software : public EndToEnd {
protected:
    void SetUp() override {
        if (!haveTool("rpmbuild") || !haveTool("rpm") || !haveTool("sqlite3")) GTEST_SKIP() << "rpm tools missing";
        EndToEnd::SetUp();
        // librpm reads its configuration once per process, from this home.
        const std::string home = testDirectory() + "/home";
        ASSERT_EQ(0, mkdir(home.c_str(), 0700));
        ASSERT_EQ(0, mkdir((testDirectory() + "/tmp").c_str(), 0700));
        ASSERT_EQ(0, setenv("HOME", home.c_str(), 1));
        ASSERT_EQ(0, setenv("TMPDIR", (testDirectory() + "/tmp").c_str(), 1));
        database = testDirectory() + "/rpmdb";
        writeFile(home + "/.rpmmacros", "%_dbpath " + database + "\n");
        ASSERT_EQ(0, sh("rpm --dbpath " + database + " --initdb")) << readFile("tools.log");
    }

    // Builds name-version-release and records it in the private database.
    void add(const std::string& name, const std::string& version, const std::string& release) {
        const std::string spec = testDirectory() + "/" + name + ".spec";
        writeFile(spec, "Name: " + name + "\nVersion: " + version + "\nRelease: " + release +
                            "\nSummary: test\nLicense: none\nVendor: Test Vendor\nBuildArch: noarch\n"
                            "%description\ntest\n%files\n");
        const std::string top = testDirectory() + "/top";
        ASSERT_EQ(0, sh("rpmbuild -bb --nodeps --define '_topdir " + top + "' --define '_build_name_fmt " + name +
                        ".rpm' " + spec))
            << readFile("tools.log");
        ASSERT_EQ(0, sh("rpm -i --justdb --nodeps --force-debian --dbpath " + database + " " + top + "/RPMS/" + name +
                        ".rpm"))
            << readFile("tools.log");
    }
    // Headers written by other tools may lack a release, which rpmbuild
    // insists on: the stored header gets its release tag renumbered to one
    // the package does not use, and the same for the header digests that no
    // longer match it.
    void dropRelease(const std::string& name) {
        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open_v2((database + "/rpmdb.sqlite").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
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
    void erase(const std::string& name) {
        ASSERT_EQ(0, sh("rpm -e --justdb --nodeps --dbpath " + database + " " + name)) << readFile("tools.log");
    }

    std::string database;
};

TEST_F(Software, PackagesOfThePrivateDatabaseAreTheBaselineAndItsChanges) {
    ASSERT_NO_FATAL_FAILURE(add("qvtest-alpha", "1.0", "3"));
    ASSERT_NO_FATAL_FAILURE(add("qvtest-beta", "2.1", "1"));
    ASSERT_NO_FATAL_FAILURE(add("qvtest-norel", "1.2", "1"));
    ASSERT_NO_FATAL_FAILURE(dropRelease("qvtest-norel"));
    install({set("InstalledSoftware")});
    baseline({ENTITY_INSTALLED_SOFTWARE});
    EXPECT_EQ((std::set<std::string>{"qvtest-alpha-1.0-3", "qvtest-beta-2.1-1", "qvtest-norel"}),
              keysIn("EntityInstalledSoftwareItems"));
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "Error getting version for package 'qvtest-norel'"));
    EXPECT_EQ((std::vector<std::string>{"qvtest-norel|<null>"}),
              query("SELECT displayName, version FROM EntityInstalledSoftwareItems WHERE key='qvtest-norel'"));
    EXPECT_EQ((std::vector<std::string>{"qvtest-alpha|1.0-3|Test Vendor"}),
              query("SELECT displayName, version, manufacturer FROM EntityInstalledSoftwareItems "
                    "WHERE key='qvtest-alpha-1.0-3'"));

    ASSERT_NO_FATAL_FAILURE(erase("qvtest-alpha"));
    ASSERT_NO_FATAL_FAILURE(add("qvtest-gamma", "0.9", "7"));
    const Scan changes = changeScan(ENTITY_INSTALLED_SOFTWARE);
    ASSERT_EQ(QVIM_OK, changes.status);
    EXPECT_EQ(2u, changes.nEvents);
    const cJSON* gone = changes.only("qvtest-alpha-1.0-3");
    ASSERT_NE(nullptr, gone);
    EXPECT_EQ("delete", member(gone, "operationType"));
    EXPECT_EQ("1.0-3", attribute(gone, "wasAttributes", "version"));
    const cJSON* added = changes.only("qvtest-gamma-0.9-7");
    ASSERT_NE(nullptr, added);
    EXPECT_EQ("create", member(added, "operationType"));
    EXPECT_EQ("InstalledSoftware", member(added, "entityType"));
    EXPECT_EQ("0.9-7", attribute(added, "isAttributes", "version"));
    EXPECT_EQ("qvtest-gamma", attribute(added, "isAttributes", "name"));
}

// ---- Scan refusals and skips --------------------------------------------------------------------

TEST_F(EndToEnd, PartialBaselinesSkipTheKindsTheyDoNotRebuild) {
    install({set("User"), set("Group")});
    ASSERT_EQ(QVIM_OK, set_im_state("baselineScanType", "1"));
    ASSERT_EQ(QVIM_OK, set_im_state("partialBaseLineScanEntityTypes", "User,Directory"));
    set_loglevel(QVIM_LOG_TRACE | kQuietLog);

    Scan skipped = scan(ENTITY_GROUP, SCAN_BASELINE);
    EXPECT_EQ(QVIM_OK, skipped.status);
    EXPECT_EQ(static_cast<uint32_t>(IM_NO_RULE_MATCH), skipped.state);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Skipping partial baseline scan for type 4"));
    EXPECT_TRUE(keysIn("EntityUserGroupItems").empty());

    // Change scans are not partial.
    Scan change = changeScan(ENTITY_GROUP);
    EXPECT_EQ(QVIM_OK, change.status);
    EXPECT_EQ(getent("group", 0), keysIn("EntityUserGroupItems"));
    ASSERT_EQ(QVIM_OK, purge_db());

    ASSERT_EQ(QVIM_OK, set_im_state("partialBaseLineScanEntityTypes", "User,  Group\t,Directory"));
    Scan listed = scan(ENTITY_GROUP, SCAN_BASELINE);
    EXPECT_EQ(QVIM_OK, listed.status);
    EXPECT_EQ(getent("group", 0), keysIn("EntityUserGroupItems"));

    ASSERT_EQ(QVIM_OK, set_im_state("partialBaseLineScanEntityTypes", ""));
    clearCapturedLog();
    EXPECT_EQ(QVIM_OK, scan(ENTITY_USER, SCAN_BASELINE).status);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Skipping partial baseline scan for type 3"));

    // A kind no rule watches is skipped in any scan.
    ASSERT_EQ(QVIM_OK, set_im_state("baselineScanType", "0"));
    Scan unwatched = scan(ENTITY_PORT, SCAN_CHANGE);
    EXPECT_EQ(QVIM_OK, unwatched.status);
    EXPECT_EQ(static_cast<uint32_t>(IM_NO_RULE_MATCH), unwatched.state);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Skipping scan of type 5"));
}

TEST_F(EndToEnd, KindsWithoutAScannerAreRefused) {
    // Refused whether or not a rule watches them.
    for (bool withFileRule : {false, true}) {
        if (withFileRule) install({set("File", "\"base\":\"/etc/\"")});
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
