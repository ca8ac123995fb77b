// Migration of an older baseline (entities and attributes in two generic
// tables, built here with SQLite) through migrate_baseline.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "QVIMDataAccessLayer.h"
#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

const char* const kDb = "test.db";
const char* const kRules = R"({"IntegrityRules":[{"id":1,"name":"all","EntitySets":[
  {"entityType":"File","base":"/data/"},{"entityType":"Directory","base":"/data/"},{"entityType":"User"},
  {"entityType":"Group"},{"entityType":"Port"},{"entityType":"InstalledSoftware"},{"entityType":"Process"}]}]})";
const char* const kSha1 = "00112233445566778899AABBCCDDEEFF00112233";
const char* const kAcl = "'u::rwx' || char(10) || 'g::r-x' || char(10) || 'o::r-x'";

// An old database; the columns the migration reads sit at their positions.
void writeLegacy(const std::string& path, const std::string& rows) {
    execFile(path, "CREATE TABLE Entitys (id INTEGER PRIMARY KEY, entityType TEXT, a, b, c, d, key TEXT);"
                   "CREATE TABLE Attributes (id INTEGER PRIMARY KEY, entityId, name TEXT, value, extra TEXT);" + rows);
}
std::string entity(int id, const char* type, const char* key) {
    return "INSERT INTO Entitys (id, entityType, key) VALUES (" + std::to_string(id) + ",'" + type + "','" + key + "');";
}
// value and extra are SQL expressions.
std::string attribute(int entity, const char* name, const std::string& value, const char* extra = "NULL") {
    return "INSERT INTO Attributes (entityId, name, value, extra) VALUES (" + std::to_string(entity) + ",'" + name +
           "'," + value + "," + extra + ");";
}

std::string stored(const std::string& sql) { return queryFile(kDb, sql); }
std::string fileKeys() {
    return stored("SELECT group_concat(key) FROM (SELECT key FROM EntityFileItems ORDER BY entityItemId)");
}

class Migration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(startEngine(kDb), QVIM_OK);
        ASSERT_EQ(set_ruleset(false, kRules, "g"), QVIM_OK);
        ASSERT_TRUE(Entities::store(entities.make("File", "/data/old")));
    }
    void TearDown() override { engine_stop(); }

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
    writeLegacy("legacy.db",
                // One file over two rows; times in nanoseconds.
                entity(1, "File", "/data/f1") + attribute(1, "size", "100") +
                    attribute(1, "created", "1500000000123456789") + attribute(1, "permissions", kAcl) +
                    attribute(1, "sha1", std::string("'") + kSha1 + "'") + entity(2, "File", "/data/f1") +
                    attribute(2, "group", "'0'") + entity(3, "File", "/data/f2") +
                    attribute(3, "sha256", "'" + std::string(64, 'C') + "'") + entity(4, "User", "alice") +
                    attribute(4, "group", "1000", "'staff'") + attribute(4, "groups", "'1000,27'", "'staff,sudo'") +
                    attribute(4, "shoeSize", "'42'") +  // users ignore unknown names
                    entity(5, "InstalledSoftware", "pkg") + attribute(5, "version", "'1.2'") +
                    entity(6, "Service", "sshd") + attribute(6, "colour", "'x'"));
    ASSERT_EQ(migrate("legacy.db"), QVIM_OK) << printed;

    EXPECT_EQ(fileKeys(), "/data/f1,/data/f2");
    EXPECT_EQ(stored("SELECT size || ',' || created || ',' || permissions || ',' || userGroup || ',' || hex(sha1) || "
                     "',' || hex(sha256) FROM EntityFileItems WHERE key = '/data/f1'"),
              std::string("100,1500000000123,0755,0,") + kSha1 + ",2A");
    EXPECT_EQ(stored("SELECT hex(sha1) FROM EntityFileItems WHERE key = '/data/f2'"), "2A");
    EXPECT_EQ(stored("SELECT userGroup || '|' || groups FROM EntityUserItems"), "1000:staff|1000:staff,27:sudo");
    EXPECT_EQ(stored("SELECT key FROM EntityInstalledSoftwareItems"), "pkg-1.2");
    EXPECT_EQ(setting("baselineItemsAdded"), "4");
    EXPECT_EQ(setting("baselineScanType"), "0");

    EXPECT_EQ(printed.rfind("migrate_baseline: old_db_path: legacy.db\n", 0), 0u) << printed;
    // The checking pass prints nothing: each entity is announced once.
    EXPECT_EQ(printed.find("Adding entity: /data/f1 of type File\n"), printed.rfind("Adding entity: /data/f1 of"));
    EXPECT_NE(printed.find("Adding entity: sshd of type Service\n"), std::string::npos);
    EXPECT_NE(printed.find("Adding InstalledSoftware entity key : pkg-1.2 \n"), std::string::npos);
    EXPECT_NE(printed.find("This migration took "), std::string::npos);
}

TEST_F(Migration, OldFilesThatCannotBeMigratedChangeNothing) {
    writeFile("text.db", "this is not a database but text long enough to fill a header of one");
    execFile("tables.db", "CREATE TABLE Entitys (id INTEGER PRIMARY KEY, entityType TEXT, a, b, c, d, key TEXT);");
    writeLegacy("unknown.db", entity(1, "File", "/data/a") + attribute(1, "size", "1") + entity(2, "File", "/data/b") +
                                  attribute(2, "colour", "'red'"));
    const char* const cases[][3] = {
        {"missing.db", "Failed to open old database", "Failed to open old database, rc: 14\n"},
        {"text.db", "Old Database error: 26, file is not a database", "Old Error Message: file is not a database\n"},
        {"tables.db", "Old Database error: 1, no such table: Attributes", "Old Error Message: no such table: Attributes"},
        {"unknown.db", "Unknown attribute name", "Failed to migrate entity, database migration failed\n"},
    };
    for (const auto& [path, error, output] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(migrate(path), QVIM_E_FAILED);
        EXPECT_TRUE(logged(QVIM_LOG_ERROR, error));
        EXPECT_NE(printed.find(output), std::string::npos) << printed;
        EXPECT_EQ(fileKeys(), "/data/old");
        EXPECT_EQ(set_integrityscan(true), QVIM_OK);  // no baseline period left open
        set_integrityscan(false);
    }
    EXPECT_EQ(access("missing.db", F_OK), -1);
    EXPECT_TRUE(Entities::store(entities.make("File", "/data/new")));
    EXPECT_EQ(fileKeys(), "/data/old,/data/new");
}

// The old path is only read, as a plain name: a link is not followed (not
// even to a real legacy database), a FIFO does not hold the call, a name
// beginning with "file:" is a file of that name, and nothing is created.
TEST_F(Migration, TheOldPathIsAPlainRegularFileNeverFollowedNorCreated) {
    writeLegacy("legacy.db", entity(1, "File", "/data/f1") + attribute(1, "size", "7"));
    const std::string legacy = readFile("legacy.db");
    ASSERT_EQ(symlink("legacy.db", "link.db"), 0);
    ASSERT_EQ(symlink("target.db", "dangling.db"), 0);
    ASSERT_EQ(mkfifo("fifo.db", 0600), 0);

    const std::string notRegular = "is not a regular file and is left untouched";
    const std::pair<const char*, std::string> cases[] = {{"link.db", "The database 'link.db' " + notRegular},
                                                         {"dangling.db", "The database 'dangling.db' " + notRegular},
                                                         {"fifo.db", "The database 'fifo.db' " + notRegular},
                                                         {"file:legacy.db", "sqlite3_open_v2 failed. rc: 14"}};
    for (const auto& [name, reason] : cases) {
        const char* const path = name;  // a lambda may not capture a structured binding
        SCOPED_TRACE(path);
        auto call = std::async(std::launch::async, [&] { return migrate(path); });
        if (call.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            // Release a reader waiting for a writer, so the failure is reported.
            const int fd = open("fifo.db", O_WRONLY | O_NONBLOCK);
            if (fd >= 0) close(fd);
            ADD_FAILURE() << "the migration waits on its old path";
        }
        EXPECT_EQ(call.get(), QVIM_E_FAILED);
        EXPECT_TRUE(logged(QVIM_LOG_ERROR, reason));
        EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Failed to open old database"));
        EXPECT_EQ(fileKeys(), "/data/old");
        clearCapturedLog();
    }
    EXPECT_EQ(access("target.db", F_OK), -1);
    EXPECT_EQ(access("./file:legacy.db", F_OK), -1);
    struct stat info;
    ASSERT_EQ(lstat("fifo.db", &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));

    // A file whose name begins with "file:" is migrated like any other, and
    // the old file is left as it was.
    ASSERT_EQ(rename("legacy.db", "file:legacy.db"), 0);
    ASSERT_EQ(migrate("file:legacy.db"), QVIM_OK) << printed;
    EXPECT_EQ(fileKeys(), "/data/f1");
    EXPECT_EQ(readFile("file:legacy.db"), legacy);
    EXPECT_EQ(access("file:legacy.db-journal", F_OK), -1);
}

TEST(MigrationDuration, HoursMinutesAndSeconds) {
    EXPECT_EQ(migrationDurationText(59), "This migration took 59 seconds\n");
    EXPECT_EQ(migrationDurationText(90), "This migration took 1 minute(s) 30 seconds\n");
    EXPECT_EQ(migrationDurationText(3725), "This migration took 1 hour(s) 2 minute(s) 5 seconds\n");
}
