// The baseline database file: schema versions, settings, opening failures.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "IMEngineHandleConcrete.h"
#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

// A setting through the engine's own connection; "<failed>" when it cannot be read.
std::string read(QVIMDAL& dal, const char* name) {
    std::string text;
    return dal.GetIntegrityMonitorState(name, text) ? text : "<failed>";
}

}  // namespace

TEST(Database, NewFileGetsTheVersion2SchemaAndInitialSettings) {
    ASSERT_EQ(startEngine("new.db"), QVIM_OK);
    EXPECT_EQ(queryFile("new.db", "PRAGMA user_version;"), "2");
    EXPECT_EQ(queryFile("new.db", "PRAGMA page_size;"), "4096");
    EXPECT_EQ(queryFile("new.db", "SELECT group_concat(settingName || '=' || settingValue, ',') FROM "
                                  "(SELECT * FROM IntegrityMonitorState ORDER BY id)"),
              "buildingBaseline=0,baselineExists=0,migrationComplete=0,scanningForChanges=0,importingRuleset=0,"
              "baselineItemsAdded=0,baselineBytesAdded=-1,baselineItemsVisited=-1,baselineScanTime=-1,rulesetError=0,"
              "rulesetList=,ruleset=,metrics=,baselineScanType=0,partialBaselineScanPathsDisk=,"
              "partialBaselinePurgePathsDisk=,partialBaselineScanPathsRegistry=,partialBaselinePurgePathsRegistry=,"
              "partialBaseLineScanEntityTypes=");
    EXPECT_EQ(queryFile("new.db", "SELECT group_concat(name) FROM (SELECT name FROM sqlite_master "
                                  "WHERE type='table' AND name NOT LIKE 'sqlite_%' ORDER BY rowid)"),
              "EntityFileItems,EntityDirectoryItems,EntityUserItems,EntityUserGroupItems,EntityPortItems,"
              "EntityInstalledSoftwareItems,EntityProcessItems,EntityServiceItems,EntityRegistryKeyItems,"
              "EntityRegistryValueItems,EntityWQLItems,EntityWQLItemsAttributes,IntegrityMonitorState");
    // Every index, and the columns that version 2 adds.
    EXPECT_EQ(queryFile("new.db", "SELECT count(*) FROM sqlite_master WHERE type='index' AND sql IS NOT NULL"), "46");
    EXPECT_EQ(queryFile("new.db", "SELECT count(*) FROM pragma_table_info('EntityServiceItems')"), "22");
    EXPECT_EQ(queryFile("new.db", "SELECT \"unique\" FROM pragma_index_list('EntityInstalledSoftwareItems') "
                                  "WHERE name='EntityInstalledSoftwareItems_key'"),
              "0");
    EXPECT_EQ(queryFile("new.db", "SELECT group_concat(type || ' ' || \"notnull\") FROM (SELECT * FROM "
                                  "pragma_table_info('EntityFileItems') WHERE name IN ('growing','md5') ORDER BY cid)"),
              "INTEGER(1) 1,BLOB 0");
    engine_stop();
}

TEST(Database, Version1IsKeptAndNewerOrResetVersionsAreRebuilt) {
    execFile("v1.db", "PRAGMA user_version = 1;");
    ASSERT_EQ(startEngine("v1.db"), QVIM_E_DB_OPEN);  // no tables: statements cannot be prepared
    // A real version 1 file: build a new one (at the default path), then mark it version 1.
    ASSERT_EQ(startEngine(""), QVIM_OK);
    engine_stop();
    const std::string real = testDirectory() + "/im.db";
    execFile(real, "PRAGMA user_version = 1;");
    ASSERT_EQ(startEngine(real), QVIM_OK);
    engine_stop();
    EXPECT_EQ(queryFile(real, "PRAGMA user_version;"), "1");

    for (const char* version : {"3", "0"}) {
        execFile(real, std::string("PRAGMA user_version = ") + version +
                           "; UPDATE IntegrityMonitorState SET settingValue='kept?' WHERE settingName='ruleset';");
        clearCapturedLog();
        ASSERT_EQ(startEngine(real), QVIM_OK);
        const std::string refused = std::string("Unsupported DB user_version: ") + version + ". current version: 2";
        EXPECT_TRUE(logged(QVIM_LOG_ERROR, refused)) << version;
        EXPECT_EQ(setting("ruleset"), "");
        engine_stop();
        EXPECT_EQ(queryFile(real, "PRAGMA user_version;"), "2");
    }
}

TEST(Database, UnusableFilesFailTheStartAndStayUntouched) {
    writeFile("foreign.db", std::string(8192, 'z'));
    EXPECT_EQ(startEngine("foreign.db"), QVIM_E_DB_OPEN);
    EXPECT_EQ(readFile("foreign.db"), std::string(8192, 'z'));
    EXPECT_EQ(startEngine("no/such/folder/im.db"), QVIM_E_DB_OPEN);

    if (geteuid() != 0) {
        ASSERT_EQ(mkdir("locked", 0500), 0);
        EXPECT_EQ(startEngine("locked/im.db"), QVIM_E_DB_OPEN);
    }
}

// Only a file that holds nothing or holds the settings table is built or
// rebuilt; another program's database is neither extended nor deleted,
// whatever its version says.
TEST(Database, OtherProgramsDatabasesAreRefusedAndKeptByteForByte) {
    for (const char* sql : {"CREATE TABLE notes(x); INSERT INTO notes VALUES('mine');",
                            "PRAGMA user_version = 7; CREATE TABLE notes(x);",
                            "CREATE TABLE EntityFileItems(x);"}) {
        SCOPED_TRACE(sql);
        unlink("foreign.db");
        execFile("foreign.db", sql);
        const std::string before = readFile("foreign.db");
        clearCapturedLog();
        EXPECT_EQ(startEngine("foreign.db"), QVIM_E_DB_OPEN);
        EXPECT_TRUE(loggedContaining("is not a baseline of this engine and is left untouched"));
        EXPECT_EQ(readFile("foreign.db"), before);
    }
}

// The database path names a file: a link there is not followed (a dangling
// one would have the target created), a FIFO does not hold the start, and
// "file:" does not make it a URI with parameters. New files are the owner's
// alone even under umask 000.
TEST(Database, TheDatabasePathIsAPlainFileNameNeverFollowed) {
    ASSERT_EQ(symlink("target.db", "dangling.db"), 0);
    EXPECT_EQ(startEngine("dangling.db"), QVIM_E_DB_OPEN);
    EXPECT_EQ(access("target.db", F_OK), -1);
    EXPECT_TRUE(loggedContaining("The database 'dangling.db' is not a regular file and is left untouched"));

    const mode_t saved = umask(0);
    ASSERT_EQ(startEngine("real.db"), QVIM_OK);
    engine_stop();
    umask(saved);
    struct stat info;
    ASSERT_EQ(stat("real.db", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(symlink("real.db", "link.db"), 0);
    EXPECT_EQ(startEngine("link.db"), QVIM_E_DB_OPEN);

    ASSERT_EQ(mkfifo("fifo.db", 0600), 0);
    EXPECT_EQ(startEngine("fifo.db"), QVIM_E_DB_OPEN);

    const std::string uri = "file:uri.db?mode=memory";
    ASSERT_EQ(startEngine(uri), QVIM_OK);
    engine_stop();
    EXPECT_EQ(queryFile("./" + uri, "PRAGMA user_version;"), "2");
}

TEST(Database, SettingsRoundTripOnlyForKnownNames) {
    IMEngineHandleConcrete engine;
    ASSERT_EQ(engine.engineStart(captureInit("settings.db")), QVIM_OK);
    QVIMDAL& dal = engine.getDAL();

    // Stored as the signed 64-bit value the host reads, and read back whole.
    EXPECT_TRUE(dal.SetIntegrityMonitorState("baselineItemsVisited", ULONG_MAX));
    EXPECT_EQ(queryFile("settings.db",
                        "SELECT settingValue FROM IntegrityMonitorState WHERE settingName='baselineItemsVisited'"),
              "-1");
    unsigned long number = 0;
    EXPECT_TRUE(dal.GetIntegrityMonitorState("baselineItemsVisited", number));
    EXPECT_EQ(number, ULONG_MAX);

    const std::string tricky = "a'b\"c\\d\ne;--%";
    EXPECT_TRUE(dal.SetIntegrityMonitorState("rulesetList", tricky));
    EXPECT_EQ(read(dal, "rulesetList"), tricky);

    // Unknown names: the update succeeds without storing, the read fails and
    // leaves the output alone.
    EXPECT_TRUE(dal.SetIntegrityMonitorState("noSuchSetting", std::string("x")));
    number = 7;
    EXPECT_FALSE(dal.GetIntegrityMonitorState("noSuchSetting", number));
    EXPECT_EQ(number, 7UL);

    EXPECT_FALSE(dal.setDBPath("other.db"));
    EXPECT_EQ(dal.getDBPath(), "settings.db");
    engine.engineStop();
    EXPECT_TRUE(dal.setDBPath("missing.db"));
    EXPECT_TRUE(dal._deleteDB());  // a file that is already gone counts as deleted
}

// During a walk settings are kept in memory once read; what is read back
// must still be what the database holds after rollbacks, failed writes, the
// end of the walk and reopening.
TEST(Database, RememberedSettingsFollowTheDatabase) {
    IMEngineHandleConcrete engine;
    const im_engine_init_s init = captureInit("remembered.db", 0);
    ASSERT_EQ(engine.engineStart(init), QVIM_OK);
    QVIMDAL& dal = engine.getDAL();
    const auto sql = [&](const char* text) { ASSERT_EQ(sqlite3_exec(dal.db(), text, nullptr, nullptr, nullptr), SQLITE_OK); };
    auto walk = std::make_unique<QVIMDAL::SettingsScope>(dal);
    ASSERT_TRUE(dal.SetIntegrityMonitorState("rulesetList", std::string("committed")));
    ASSERT_EQ(read(dal, "rulesetList"), "committed");

    sql("BEGIN TRANSACTION");
    EXPECT_TRUE(dal.SetIntegrityMonitorState("rulesetList", std::string("rolled back")));
    EXPECT_EQ(read(dal, "rulesetList"), "rolled back");
    sql("ROLLBACK TRANSACTION");
    EXPECT_EQ(read(dal, "rulesetList"), "committed");

    // A write that fails leaves the value to the database.
    sql("CREATE TRIGGER refuse BEFORE UPDATE ON IntegrityMonitorState BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    EXPECT_FALSE(dal.SetIntegrityMonitorState("rulesetList", std::string("refused")));
    EXPECT_EQ(read(dal, "rulesetList"), "committed");
    sql("DROP TRIGGER refuse");

    // Changed by another connection: remembered until the walk is over.
    execFile("remembered.db", "UPDATE IntegrityMonitorState SET settingValue='outside' WHERE settingName='rulesetList';");
    EXPECT_EQ(read(dal, "rulesetList"), "committed");
    walk.reset();
    EXPECT_EQ(read(dal, "rulesetList"), "outside");

    // And when the engine restarts while a walk is still on.
    walk = std::make_unique<QVIMDAL::SettingsScope>(dal);
    EXPECT_EQ(read(dal, "rulesetList"), "outside");
    engine.engineStop();
    execFile("remembered.db", "UPDATE IntegrityMonitorState SET settingValue='restarted' WHERE settingName='rulesetList';");
    ASSERT_EQ(engine.engineStart(init), QVIM_OK);
    EXPECT_EQ(read(dal, "rulesetList"), "restarted");
    walk.reset();
    engine.engineStop();
}
