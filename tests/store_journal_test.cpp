// The baseline's journal: commits go to a write-ahead log that other
// connections read while the engine runs, and a stopped engine leaves the
// whole database in its one file.
#include <sqlite3.h>
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(StoreJournal, CommitsAreSeenBesideTheEngineAndTheStoppedFileHoldsThemAll) {
    const std::string db = testDirectory() + "/wal.db";
    ASSERT_EQ(startEngine(db), QVIM_OK);
    EXPECT_EQ(queryFile(db, "PRAGMA journal_mode;"), "wal");
    ASSERT_EQ(set_im_state("ruleset", "committed while open"), QVIM_OK);
    // Another connection reads the commit while it is still in the log.
    EXPECT_EQ(queryFile(db, "SELECT settingValue FROM IntegrityMonitorState WHERE settingName='ruleset'"),
              "committed while open");
    EXPECT_TRUE(exists(db + "-wal"));
    engine_stop();

    // The last connection moved the log into the file and removed it.
    EXPECT_FALSE(exists(db + "-wal"));
    EXPECT_FALSE(exists(db + "-shm"));
    const std::string alone = testDirectory() + "/alone.db";
    writeFile(alone, readFile(db));
    EXPECT_EQ(queryFile(alone, "SELECT settingValue FROM IntegrityMonitorState WHERE settingName='ruleset'"),
              "committed while open");

    // The mode is the file's: a reopened baseline keeps it.
    ASSERT_EQ(startEngine(db), QVIM_OK);
    EXPECT_EQ(setting("ruleset"), "committed while open");
    EXPECT_EQ(queryFile(db, "PRAGMA journal_mode;"), "wal");
    engine_stop();
}

// A baseline that cannot change its mode (here another connection reads it
// while the engine opens it) still opens, in rollback mode, and says so.
TEST(StoreJournal, ABaselineThatCannotSwitchOpensInRollbackMode) {
    const std::string db = testDirectory() + "/rollback.db";
    ASSERT_EQ(startEngine(db), QVIM_OK);
    engine_stop();
    execFile(db, "PRAGMA journal_mode = DELETE;");

    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    clearCapturedLog();
    const qvim_status started = startEngine(db);
    sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(reader);
    ASSERT_EQ(started, QVIM_OK);
    EXPECT_TRUE(loggedContaining("PRAGMA journal_mode = WAL failed"));
    EXPECT_EQ(queryFile(db, "PRAGMA journal_mode;"), "delete");
    EXPECT_EQ(set_im_state("ruleset", "still stored"), QVIM_OK);
    EXPECT_EQ(setting("ruleset"), "still stored");
    engine_stop();
}
