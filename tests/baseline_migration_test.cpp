// Migration of an older baseline (entities and attributes in two generic
// tables, built here with SQLite) through migrate_baseline: conversions,
// merged rows, skipped kinds, and old files that cannot be migrated.
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "QVIMDataAccessLayer.h"
#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

const char* const kDb = "test.db";
const char* const kLegacy = "legacy.db";

const char* const kRules = R"({"IntegrityRules":[
  {"id":1,"name":"files","EntitySets":[{"entityType":"File","base":"/data/"}]},
  {"id":2,"name":"dirs","EntitySets":[{"entityType":"Directory","base":"/data/"}]},
  {"id":3,"name":"users","EntitySets":[{"entityType":"User"}]},
  {"id":4,"name":"groups","EntitySets":[{"entityType":"Group"}]},
  {"id":5,"name":"ports","EntitySets":[{"entityType":"Port"}]},
  {"id":6,"name":"software","EntitySets":[{"entityType":"InstalledSoftware"}]},
  {"id":7,"name":"processes","EntitySets":[{"entityType":"Process"}]}]})";

const char* const kSha1 = "00112233445566778899AABBCCDDEEFF00112233";
const std::string kSha256 = std::string(32, 'C') + std::string(32, '7');
const char* const kAclText = "'u::rwx' || char(10) || 'g::r-x' || char(10) || 'o::r-x'";

// An old database with the columns the migration reads at their positions.
class LegacyDb {
public:
    explicit LegacyDb(const std::string& path) : m_path(path) {
        execFile(m_path,
                 "CREATE TABLE Entitys (id INTEGER PRIMARY KEY, entityType TEXT, a, b, c, d, key TEXT);"
                 "CREATE TABLE Attributes (id INTEGER PRIMARY KEY, entityId INTEGER, name TEXT, value, extra TEXT);");
    }
    int entity(const std::string& type, const std::string& key) {
        execFile(m_path, "INSERT INTO Entitys (id, entityType, key) VALUES (" + std::to_string(++m_id) + ", '" + type +
                             "', '" + key + "')");
        return m_id;
    }
    // value and extra are SQL expressions.
    void attribute(int entity, const std::string& name, const std::string& value, const std::string& extra = "NULL") {
        execFile(m_path, "INSERT INTO Attributes (entityId, name, value, extra) VALUES (" + std::to_string(entity) +
                             ", '" + name + "', " + value + ", " + extra + ")");
    }

private:
    std::string m_path;
    int m_id = 0;
};

std::string stored(const std::string& sql) { return queryFile(kDb, sql); }

long long files() { return std::stoll(stored("SELECT COUNT(*) FROM EntityFileItems")); }

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class Migration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(startEngine(kDb), QVIM_OK);
        ASSERT_EQ(set_ruleset(false, kRules, "g"), QVIM_OK);
    }
    void TearDown() override { engine_stop(); }

    // Runs the migration, keeping what it printed.
    qvim_status migrate(const char* path) {
        testing::internal::CaptureStdout();
        const qvim_status result = migrate_baseline(path);
        printed = testing::internal::GetCapturedStdout();
        return result;
    }

    Entities entities;
    std::string printed;
};

}  // namespace

TEST_F(Migration, LegacyEntitiesReplaceTheBaseline) {
    ASSERT_TRUE(Entities::store(entities.make("File", "/data/old")));
    LegacyDb legacy(kLegacy);
    // One file over two rows, merged; times in nanoseconds.
    int e = legacy.entity("File", "/data/f1");
    legacy.attribute(e, "size", "100");
    legacy.attribute(e, "created", "1500000000123456789");
    legacy.attribute(e, "permissions", kAclText);
    legacy.attribute(e, "owner", "'0'");
    legacy.attribute(e, "sha1", std::string("'") + kSha1 + "'");
    legacy.attribute(e, "contents", "'ignored'");
    e = legacy.entity("File", "/data/f1");
    legacy.attribute(e, "group", "'0'");
    legacy.attribute(e, "lastModified", "1600000000999999999");
    legacy.attribute(e, "growing", "'true'");
    legacy.attribute(e, "md5", "'0123456789abcdef0123456789abcdef'");
    legacy.attribute(legacy.entity("File", "/data/f2"), "sha256", "'" + kSha256 + "'");
    legacy.attribute(legacy.entity("Directory", "/data/d"), "permissions", kAclText);
    e = legacy.entity("User", "alice");
    legacy.attribute(e, "user", "'1000'");
    legacy.attribute(e, "group", "1000", "'staff'");
    legacy.attribute(e, "groups", "'1000,27'", "'staff,sudo'");
    legacy.attribute(e, "passwordLastChanged", "19000999");
    legacy.attribute(e, "passwordMinDaysBetweenChanges", "0");
    legacy.attribute(e, "disabled", "'true'");
    legacy.attribute(e, "shoeSize", "'42'");  // users ignore unknown names
    e = legacy.entity("Group", "staff");
    legacy.attribute(e, "group", "'1000'");
    legacy.attribute(e, "members", "'alice'");
    e = legacy.entity("Port", "tcp:22");
    legacy.attribute(e, "processId", "42");
    legacy.attribute(e, "mystery", "'x'");
    e = legacy.entity("InstalledSoftware", "pkg");
    legacy.attribute(e, "name", "'Package'");
    legacy.attribute(e, "version", "'1.2'");
    e = legacy.entity("Process", "1-init");
    legacy.attribute(e, "process", "'init'");
    legacy.attribute(e, "processID", "1");
    legacy.attribute(e, "threads", "3");
    legacy.attribute(legacy.entity("Service", "sshd"), "colour", "'red'");

    ASSERT_EQ(migrate(kLegacy), QVIM_OK) << printed;

    EXPECT_EQ(stored("SELECT group_concat(key, '|') FROM EntityFileItems"), "/data/f1|/data/f2");
    EXPECT_EQ(stored("SELECT size || ',' || created || ',' || lastModified || ',' || permissions || ',' || owner || ',' "
                     "|| userGroup || ',' || growing || ',' || hex(md5) || ',' || hex(sha1) || ',' || hex(sha256) "
                     "FROM EntityFileItems WHERE key = '/data/f1'"),
              std::string("100,1500000000123,1600000000999,0755,0,0,1,0123456789ABCDEF0123456789ABCDEF,") + kSha1 +
                  ",2A");
    EXPECT_EQ(stored("SELECT hex(sha1) || ',' || hex(sha256) FROM EntityFileItems WHERE key = '/data/f2'"),
              "2A," + kSha256);
    EXPECT_EQ(stored("SELECT permissions FROM EntityDirectoryItems WHERE key = '/data/d'"), "0755");
    EXPECT_EQ(stored("SELECT userId || '|' || userGroup || '|' || groups || '|' || passwordLastChanged || '|' || "
                     "passwordNeverExpires || '|' || disabled FROM EntityUserItems WHERE key = 'alice'"),
              "1000|1000:staff|1000:staff,27:sudo|19000|1|1");
    EXPECT_EQ(stored("SELECT groupId || ',' || members FROM EntityUserGroupItems WHERE key = 'staff'"), "1000,alice");
    EXPECT_EQ(stored("SELECT processID || ',' || listeners FROM EntityPortItems WHERE key = 'tcp:22'"), "42,1");
    EXPECT_EQ(stored("SELECT key || ',' || displayName FROM EntityInstalledSoftwareItems"), "pkg-1.2,Package");
    EXPECT_EQ(stored("SELECT process || ',' || processID || ',' || threads FROM EntityProcessItems"), "init,1,3");

    EXPECT_EQ(setting("baselineItemsAdded"), "8");
    EXPECT_EQ(setting("baselineScanType"), "0");
    EXPECT_EQ(printed.rfind("migrate_baseline: old_db_path: legacy.db\n", 0), 0u) << printed;
    EXPECT_EQ(occurrences(printed, "Adding entity: /data/f1 of type File\n"), 1u);
    EXPECT_EQ(occurrences(printed, "Adding entity: sshd of type Service\n"), 1u);
    EXPECT_EQ(occurrences(printed, "Adding InstalledSoftware entity key : pkg-1.2 \n"), 1u);
    EXPECT_NE(printed.find("This migration took "), std::string::npos);
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "Receiving unknown entity type: 'Service'"));
    EXPECT_EQ(set_integrityscan(true), QVIM_OK);

    // The placeholder digest is never compared: the same file with some sha1
    // is unchanged.
    unsigned char sha256[32];
    for (size_t i = 0; i < 32; ++i) sha256[i] = i < 16 ? 0xCC : 0x77;
    const unsigned char sha1[20] = {1, 2, 3};
    im_wrapper_event_s notification = entities.make("File", "/data/f2");
    notification.sha256 = sha256;
    notification.sha1 = sha1;
    im_wrapper_response_s response{};
    ASSERT_EQ(integrity_monitor(1, &notification, &response), QVIM_OK);
    EXPECT_EQ(response.state, static_cast<uint32_t>(IM_MATCH_NO_EVENT));
    EXPECT_EQ(response.nEvents, 0u);
    cleanup_response_wrapper(&response);
    set_integrityscan(false);
}

TEST_F(Migration, OldFilesThatCannotBeMigratedLeaveTheBaselineAlone) {
    ASSERT_TRUE(Entities::store(entities.make("File", "/data/keep")));
    writeFile("text.db", "this is not a database, only some text that is long enough to have a header");
    execFile("tables.db", "CREATE TABLE Entitys (id INTEGER PRIMARY KEY, entityType TEXT, a, b, c, d, key TEXT);"
                          "INSERT INTO Entitys (entityType, key) VALUES ('File', '/data/x')");
    {
        LegacyDb unknown("unknown.db");
        unknown.attribute(unknown.entity("File", "/data/a"), "size", "1");
        unknown.attribute(unknown.entity("File", "/data/b"), "colour", "'red'");
    }

    struct Case {
        const char* path;
        const char* error;
        const char* printed;
    };
    const Case cases[] = {
        {"missing.db", "Failed to open old database", "Failed to open old database, rc: 14\n"},
        {"text.db", "Old Database error: 26, file is not a database", "Old Error Message: file is not a database\n"},
        {"tables.db", "Old Database error: 1, no such table: Attributes", "Old Error Message: no such table: Attributes\n"},
        {"unknown.db", "Unknown attribute name", "Failed to migrate entity, database migration failed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        clearCapturedLog();
        EXPECT_EQ(migrate(c.path), QVIM_E_FAILED);
        EXPECT_TRUE(logged(QVIM_LOG_ERROR, c.error));
        EXPECT_NE(printed.find(c.printed), std::string::npos) << printed;
        EXPECT_EQ(stored("SELECT group_concat(key) FROM EntityFileItems"), "/data/keep");
        EXPECT_EQ(set_integrityscan(true), QVIM_OK);  // no baseline period was left open
        set_integrityscan(false);
    }
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Failed to migrate entity, database migration failed"));
    EXPECT_EQ(readFile("missing.db"), "");
    EXPECT_EQ(access("missing.db", F_OK), -1);

    // The baseline opens again with its row, and takes new ones.
    engine_stop();
    ASSERT_EQ(startEngine(kDb), QVIM_OK);
    ASSERT_EQ(set_ruleset(false, kRules, "g"), QVIM_OK);
    EXPECT_EQ(files(), 1);
    EXPECT_TRUE(Entities::store(entities.make("File", "/data/new")));
    EXPECT_EQ(files(), 2);
}

TEST(MigrationDuration, HoursMinutesAndSeconds) {
    EXPECT_EQ(migrationDurationText(59), "This migration took 59 seconds\n");
    EXPECT_EQ(migrationDurationText(90), "This migration took 1 minute(s) 30 seconds\n");
    EXPECT_EQ(migrationDurationText(3725), "This migration took 1 hour(s) 2 minute(s) 5 seconds\n");
}
