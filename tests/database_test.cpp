// The baseline database file: schema versions, settings, opening failures.
#include <sqlite3.h>
#include <sys/stat.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "IMEngineHandleConcrete.h"
#include "TestSupport.h"

using namespace qvim_test;

namespace {

// Runs a query on a separate connection and returns the rows, columns joined by '|'.
std::vector<std::string> query(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::string> rows;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                if (i != 0) row += '|';
                const unsigned char* text = sqlite3_column_text(stmt, i);
                row += text != nullptr ? reinterpret_cast<const char*>(text) : "NULL";
            }
            rows.push_back(row);
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
}

void execute(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

}  // namespace

TEST(Database, NewFileGetsTheVersion2SchemaAndInitialSettings) {
    ASSERT_EQ(startEngine("new.db"), QVIM_OK);
    EXPECT_EQ(query("new.db", "PRAGMA user_version;"), std::vector<std::string>{"2"});
    EXPECT_EQ(query("new.db", "PRAGMA page_size;"), std::vector<std::string>{"4096"});

    const std::vector<std::string> settings = query("new.db", "SELECT settingName, settingValue FROM IntegrityMonitorState ORDER BY id");
    const std::vector<std::string> expected = {
        "buildingBaseline|0", "baselineExists|0", "migrationComplete|0", "scanningForChanges|0",
        "importingRuleset|0", "baselineItemsAdded|0", "baselineBytesAdded|-1", "baselineItemsVisited|-1",
        "baselineScanTime|-1", "rulesetError|0", "rulesetList|", "ruleset|", "metrics|", "baselineScanType|0",
        "partialBaselineScanPathsDisk|", "partialBaselinePurgePathsDisk|", "partialBaselineScanPathsRegistry|",
        "partialBaselinePurgePathsRegistry|", "partialBaseLineScanEntityTypes|"};
    EXPECT_EQ(settings, expected);

    const auto tables = query("new.db", "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' ORDER BY rowid");
    EXPECT_EQ(tables, (std::vector<std::string>{"EntityFileItems", "EntityDirectoryItems", "EntityUserItems",
                                                "EntityUserGroupItems", "EntityPortItems",
                                                "EntityInstalledSoftwareItems", "EntityProcessItems",
                                                "EntityServiceItems", "EntityRegistryKeyItems",
                                                "EntityRegistryValueItems", "EntityWQLItems",
                                                "EntityWQLItemsAttributes", "IntegrityMonitorState"}));
    // Every index, and the columns that version 2 adds.
    EXPECT_EQ(query("new.db", "SELECT count(*) FROM sqlite_master WHERE type='index' AND sql IS NOT NULL"),
              std::vector<std::string>{"46"});
    EXPECT_EQ(query("new.db", "SELECT count(*) FROM pragma_table_info('EntityServiceItems')"),
              std::vector<std::string>{"22"});
    EXPECT_EQ(query("new.db", "SELECT \"unique\" FROM pragma_index_list('EntityInstalledSoftwareItems') WHERE name='EntityInstalledSoftwareItems_key'"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(query("new.db", "SELECT type, \"notnull\" FROM pragma_table_info('EntityFileItems') WHERE name IN ('growing','md5') ORDER BY cid"),
              (std::vector<std::string>{"INTEGER(1)|1", "BLOB|0"}));

    struct stat info;
    ASSERT_EQ(stat("new.db", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    engine_stop();
}

TEST(Database, Version1IsKeptAndVersion3IsRebuilt) {
    execute("v1.db", "PRAGMA user_version = 1;");
    ASSERT_EQ(startEngine("v1.db"), QVIM_E_DB_OPEN);  // no tables: statements cannot be prepared
    // A real version 1 file: build a new one, then mark it version 1.
    ASSERT_EQ(startEngine("real.db"), QVIM_OK);
    engine_stop();
    execute("real.db", "PRAGMA user_version = 1;");
    ASSERT_EQ(startEngine("real.db"), QVIM_OK);
    engine_stop();
    EXPECT_EQ(query("real.db", "PRAGMA user_version;"), std::vector<std::string>{"1"});

    execute("real.db", "PRAGMA user_version = 3; UPDATE IntegrityMonitorState SET settingValue='kept?' WHERE settingName='ruleset';");
    clearCapturedLog();
    ASSERT_EQ(startEngine("real.db"), QVIM_OK);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Unsupported DB user_version: 3. current version: 2"));
    EXPECT_EQ(setting("ruleset"), "");
    engine_stop();
    EXPECT_EQ(query("real.db", "PRAGMA user_version;"), std::vector<std::string>{"2"});
}

TEST(Database, UnusableFilesFailTheStartAndStayUntouched) {
    writeFile("foreign.db", std::string(8192, 'z'));
    EXPECT_EQ(startEngine("foreign.db"), QVIM_E_DB_OPEN);
    EXPECT_EQ(readFile("foreign.db"), std::string(8192, 'z'));
    EXPECT_EQ(startEngine("no/such/folder/im.db"), QVIM_E_DB_OPEN);
    EXPECT_EQ(get_metrics_mem(nullptr), QVIM_E_NO_ENGINE);  // no current engine was left behind

    // A version-0 file that already holds one of the tables fails in the first script.
    execute("half.db", "CREATE TABLE EntityFileItems(x);");
    clearCapturedLog();
    EXPECT_EQ(startEngine("half.db"), QVIM_E_DB_OPEN);
    EXPECT_TRUE(loggedContaining("sqlite3_exec for schema size failed from version 0. rc: 1:"));
    EXPECT_TRUE(loggedContaining("on iteration: 0"));

    if (geteuid() != 0) {
        ASSERT_EQ(mkdir("locked", 0500), 0);
        EXPECT_EQ(startEngine("locked/im.db"), QVIM_E_DB_OPEN);
    }
}

TEST(Database, DefaultPathIsImDbInTheWorkingFolder) {
    ASSERT_EQ(startEngine(""), QVIM_OK);
    engine_stop();
    EXPECT_EQ(query(testDirectory() + "/im.db", "PRAGMA user_version;"), std::vector<std::string>{"2"});
}

TEST(Database, SettingsRoundTripOnlyForKnownNames) {
    IMEngineHandleConcrete engine;
    im_engine_init_s init{};
    init.dbPath = "settings.db";
    init.logCallback = captureLog;
    init.logLevel = 15;
    ASSERT_EQ(engine.engineStart(init), QVIM_OK);
    QVIMDAL& dal = engine.getDAL();

    EXPECT_TRUE(dal.SetIntegrityMonitorState("baselineItemsVisited", ULONG_MAX));
    EXPECT_EQ(query("settings.db", "SELECT settingValue FROM IntegrityMonitorState WHERE settingName='baselineItemsVisited'"),
              std::vector<std::string>{"-1"});
    unsigned long number = 0;
    EXPECT_TRUE(dal.GetIntegrityMonitorState("baselineItemsVisited", number));
    EXPECT_EQ(number, ULONG_MAX);
    EXPECT_TRUE(dal.SetIntegrityMonitorState("baselineItemsVisited", 42UL));
    EXPECT_TRUE(dal.GetIntegrityMonitorState("baselineItemsVisited", number));
    EXPECT_EQ(number, 42UL);

    const std::string tricky = "a'b\"c\\d\ne;--%";
    EXPECT_TRUE(dal.SetIntegrityMonitorState("rulesetList", tricky));
    std::string text;
    EXPECT_TRUE(dal.GetIntegrityMonitorState("rulesetList", text));
    EXPECT_EQ(text, tricky);

    // Unknown names: the update succeeds without storing, the read fails.
    EXPECT_TRUE(dal.SetIntegrityMonitorState("noSuchSetting", std::string("x")));
    text = "unchanged";
    EXPECT_FALSE(dal.GetIntegrityMonitorState("noSuchSetting", text));
    EXPECT_EQ(text, "unchanged");
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
    im_engine_init_s init{};
    init.dbPath = "remembered.db";
    ASSERT_EQ(engine.engineStart(init), QVIM_OK);
    QVIMDAL& dal = engine.getDAL();
    auto walk = std::make_unique<QVIMDAL::SettingsScope>(dal);
    std::string text;
    ASSERT_TRUE(dal.SetIntegrityMonitorState("rulesetList", std::string("committed")));
    ASSERT_TRUE(dal.GetIntegrityMonitorState("rulesetList", text));

    ASSERT_EQ(sqlite3_exec(dal.db(), "BEGIN TRANSACTION", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_TRUE(dal.SetIntegrityMonitorState("rulesetList", std::string("rolled back")));
    EXPECT_TRUE(dal.GetIntegrityMonitorState("rulesetList", text));
    EXPECT_EQ(text, "rolled back");
    ASSERT_EQ(sqlite3_exec(dal.db(), "ROLLBACK TRANSACTION", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_TRUE(dal.GetIntegrityMonitorState("rulesetList", text));
    EXPECT_EQ(text, "committed");

    // A write that fails leaves the value to the database.
    ASSERT_EQ(sqlite3_exec(dal.db(), "CREATE TRIGGER refuse BEFORE UPDATE ON IntegrityMonitorState "
                                     "BEGIN SELECT RAISE(ABORT, 'refused'); END;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_FALSE(dal.SetIntegrityMonitorState("rulesetList", std::string("refused")));
    EXPECT_TRUE(dal.GetIntegrityMonitorState("rulesetList", text));
    EXPECT_EQ(text, "committed");
    ASSERT_EQ(sqlite3_exec(dal.db(), "DROP TRIGGER refuse", nullptr, nullptr, nullptr), SQLITE_OK);

    // Changed by another connection: remembered until the walk is over.
    execute("remembered.db", "UPDATE IntegrityMonitorState SET settingValue='outside' WHERE settingName='rulesetList';");
    EXPECT_TRUE(dal.GetIntegrityMonitorState("rulesetList", text));
    EXPECT_EQ(text, "committed");
    walk.reset();
    EXPECT_TRUE(dal.GetIntegrityMonitorState("rulesetList", text));
    EXPECT_EQ(text, "outside");

    // And when the engine restarts while a walk is still on.
    walk = std::make_unique<QVIMDAL::SettingsScope>(dal);
    EXPECT_TRUE(dal.GetIntegrityMonitorState("rulesetList", text));
    engine.engineStop();
    execute("remembered.db", "UPDATE IntegrityMonitorState SET settingValue='restarted' WHERE settingName='rulesetList';");
    ASSERT_EQ(engine.engineStart(init), QVIM_OK);
    EXPECT_TRUE(dal.GetIntegrityMonitorState("rulesetList", text));
    EXPECT_EQ(text, "restarted");
    walk.reset();
    engine.engineStop();
}

TEST(Database, HostSettingsCallsCopyAndCheckTheirArguments) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    char* value = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(get_im_state("neverSet", &value), QVIM_E_FAILED);
    EXPECT_EQ(value, reinterpret_cast<char*>(0x1));
    value = nullptr;
    ASSERT_EQ(get_im_state("rulesetList", &value), QVIM_OK);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "");
    free(value);
    EXPECT_EQ(set_im_state(nullptr, "x"), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(set_im_state("ruleset", nullptr), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(get_im_state(nullptr, &value), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(get_im_state("ruleset", nullptr), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(set_im_state("ruleset", "{\"IntegrityRules\":[]}"), QVIM_OK);
    EXPECT_EQ(setting("ruleset"), "{\"IntegrityRules\":[]}");
    engine_stop();
}
