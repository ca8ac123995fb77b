// The store layer on a real database: inserts, change writes, renames,
// deletes, id buffers, purges and the unscanned cleanup.
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>

#include "IMEngineHandleConcrete.h"
#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"
#include "TestSupport.h"

using namespace qvim_test;

namespace {

struct FileSpec {
    std::string path;
    uint64_t size = 100;
    uint64_t created = 1'600'000'000'000;
    const char* owner = "0";
    const unsigned char* sha256 = nullptr;
};

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        im_engine_init_s init{};
        init.dbPath = "store.db";
        init.logLevel = QVIM_LOG_TRACE | QVIM_LOG_INFO | QVIM_LOG_WARNING | QVIM_LOG_ERROR;
        init.logCallback = captureLog;
        owned = std::make_unique<IMEngineHandleConcrete>();
        engine = owned.get();
        ASSERT_EQ(engine->engineStart(init), QVIM_OK);
    }
    void TearDown() override { engine->engineStop(); }

    std::shared_ptr<QVIMEvent> file(const FileSpec& spec) {
        im_wrapper_event_s r{};
        r.entityType = "File";
        r.eventType = QVIM_EVENT_CHANGED;
        r.path = spec.path.c_str();
        r.newKey = spec.path.c_str();
        r.size = spec.size;
        r.created = spec.created;
        r.owner = spec.owner;
        r.sha256 = spec.sha256;
        return std::shared_ptr<QVIMEvent>(QVIMEvent::factory(*engine, &r));
    }

    QVIMDAL& dal() { return engine->getDAL(); }

    bool insert(const FileSpec& spec) {
        auto record = file(spec);
        std::lock_guard<std::mutex> lock(dal().storeLock());
        return record->storeItem();
    }

    // One value of the first row of a query, as text ("NULL" for NULL).
    std::string query(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(dal().db(), sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
        std::string value = "<no row>";
        if (sqlite3_step(stmt) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(stmt, 0);
            value = text != nullptr ? reinterpret_cast<const char*>(text) : "NULL";
        }
        sqlite3_finalize(stmt);
        return value;
    }
    long long count(const std::string& table) { return std::stoll(query("SELECT COUNT(*) FROM " + table)); }

    std::unique_ptr<IMEngineHandleConcrete> owned;
    IMEngineHandleConcrete* engine = nullptr;
};

TEST_F(Store, EmptyTextsAndDigestsAreStoredAsNullAndAwkwardKeysSurvive) {
    im_wrapper_event_s r{};
    r.entityType = "File";
    r.eventType = QVIM_EVENT_CHANGED;
    const std::string awkward = "/data/it's \"quoted\"\\back\nslash";
    r.path = awkward.c_str();
    r.newKey = awkward.c_str();
    auto record = std::shared_ptr<QVIMEvent>(QVIMEvent::factory(*engine, &r));
    const std::string huge = "/" + std::string(64 * 1024, 'k');
    FileSpec big{huge};
    big.owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(dal().storeLock());
        ASSERT_TRUE(record->storeItem());
    }
    ASSERT_TRUE(insert(big));

    EXPECT_EQ(query("SELECT key FROM EntityFileItems WHERE entityItemId=1"), awkward);
    for (const char* column : {"owner", "permissions", "userGroup", "symLinkPath", "md5", "sha1", "sha256"})
        EXPECT_EQ(query(std::string("SELECT ") + column + " FROM EntityFileItems WHERE entityItemId=1"), "NULL")
            << column;
    EXPECT_EQ(query("SELECT length(key) FROM EntityFileItems WHERE entityItemId=2"), std::to_string(huge.size()));
    EXPECT_EQ(engine->getStats().Get("baselineItemsAdded"), 2);
    EXPECT_EQ(engine->getStats().Get("baselineBytesAdded"), 100);
}

TEST_F(Store, StoringAKeyTwiceFailsAndKeepsTheFirstRow) {
    ASSERT_TRUE(insert({"/etc/passwd", 10}));
    EXPECT_FALSE(insert({"/etc/passwd", 20}));
    EXPECT_TRUE(loggedContaining("Unable to execute sqlite insert statement: constraint failed with key '/etc/passwd'"));
    EXPECT_EQ(query("SELECT size FROM EntityFileItems"), "10");
    EXPECT_EQ(count("EntityFileItems"), 1);
}

TEST_F(Store, ChangeWriteInsertsUnknownKeysAndUpdatesOnlyChangedRows) {
    auto fresh = file({"/srv/new", 5});
    std::unordered_set<long long> rules{7};
    ASSERT_TRUE(dal().writeItem(*fresh, false, &rules));
    EXPECT_EQ(fresh->entityItemId, 1);
    EXPECT_EQ(query("SELECT recordTime = scanTime FROM EntityFileItems"), "1");
    EXPECT_EQ(engine->getStats().Get("baselineRowInserts"), 1);

    // Unchanged: neither a row write nor a change.
    sqlite3_exec(dal().db(), "UPDATE EntityFileItems SET scanTime = 1", nullptr, nullptr, nullptr);
    auto same = file({"/srv/new", 5});
    ASSERT_TRUE(dal().writeItem(*same, false, &rules));
    EXPECT_EQ(same->operation, IM_OP_UPDATE);
    EXPECT_EQ(same->state, IM_MATCH_NO_EVENT);
    EXPECT_EQ(same->entityItemId, 1);
    EXPECT_EQ(query("SELECT scanTime FROM EntityFileItems"), "1");
    EXPECT_FALSE(loggedContaining("Mismatched field"));

    // Grown: size and the derived flags are written, recordTime is kept.
    const std::string recordTime = query("SELECT recordTime FROM EntityFileItems");
    auto grown = file({"/srv/new", 9});
    ASSERT_TRUE(dal().writeItem(*grown, false, &rules));
    EXPECT_EQ(query("SELECT size || ',' || growing || ',' || shrinking FROM EntityFileItems"), "9,1,0");
    EXPECT_EQ(query("SELECT recordTime FROM EntityFileItems"), recordTime);
    EXPECT_NE(query("SELECT scanTime FROM EntityFileItems"), "1");
    EXPECT_TRUE(logged(QVIM_LOG_INFO, "Mismatched field (key='/srv/new'): (EntityFileItems.size == 5) != 9"));
    EXPECT_TRUE(logged(QVIM_LOG_INFO, "Mismatched field (key='/srv/new'): (EntityFileItems.growing == 0) != 1"));

    auto shrunk = file({"/srv/new", 3});
    ASSERT_TRUE(dal().writeItem(*shrunk, false, &rules));
    EXPECT_EQ(query("SELECT size || ',' || growing || ',' || shrinking FROM EntityFileItems"), "3,0,1");
    EXPECT_EQ(engine->getStats().Get("baselineRowUpdates"), 2);
}

TEST_F(Store, CreatedTimesWithinASecondAreTheSameTime) {
    const uint64_t stored = 1'700'000'000'000;
    ASSERT_TRUE(insert({"/a", 1, stored}));
    std::unordered_set<long long> rules{1};

    auto jitter = file({"/a", 1, stored + 999});
    ASSERT_TRUE(dal().writeItem(*jitter, false, &rules));
    EXPECT_EQ(static_cast<im_event_file&>(*jitter).created, static_cast<int64_t>(stored));
    EXPECT_FALSE(loggedContaining("Mismatched field"));

    auto moved = file({"/a", 1, stored - 1000});
    ASSERT_TRUE(dal().writeItem(*moved, false, &rules));
    EXPECT_TRUE(loggedContaining("(EntityFileItems.created == 1700000000000) != 1699999999000"));
    EXPECT_EQ(query("SELECT created FROM EntityFileItems"), "1699999999000");
}

TEST_F(Store, StarredDigestIsNeverComparedAndEmptyTextEqualsNull) {
    const unsigned char star[32] = {'*'};
    const unsigned char other[32] = {1, 2, 3};
    ASSERT_TRUE(insert({"/bin/x", 1, 1, nullptr, star}));
    std::unordered_set<long long> rules{1};
    auto record = file({"/bin/x", 1, 1, "", other});
    ASSERT_TRUE(dal().writeItem(*record, false, &rules));
    EXPECT_EQ(record->state, IM_MATCH_NO_EVENT);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "psha256 is a *"));
    EXPECT_FALSE(loggedContaining("Mismatched field"));
}

TEST_F(Store, RenameAndDeleteOfStoredAndUnknownKeys) {
    ASSERT_TRUE(insert({"/old", 4}));
    auto rename = file({"/old", 4});
    rename->newKey = "/new";
    std::unordered_set<long long> rules{1};
    ASSERT_TRUE(dal().renameItem(*rename, &rules));
    EXPECT_EQ(query("SELECT key || ':' || entityItemId FROM EntityFileItems"), "/new:1");

    auto missing = file({"/nowhere", 4});
    missing->newKey = "/target";
    ASSERT_TRUE(dal().renameItem(*missing, &rules));
    EXPECT_EQ(query("SELECT COUNT(*) FROM EntityFileItems WHERE key='/target'"), "1");

    auto unknown = file({"/ghost"});
    EXPECT_TRUE(dal().deleteEntityItems(*unknown, &rules));
    EXPECT_EQ(unknown->state, IM_MATCH_NO_EVENT);
    EXPECT_EQ(engine->getStats().Get("baselineRowDeletes"), 0);

    auto gone = file({"/new"});
    EXPECT_TRUE(dal().deleteEntityItems(*gone, &rules));
    EXPECT_EQ(count("EntityFileItems"), 1);
    EXPECT_EQ(engine->getStats().Get("baselineRowDeletes"), 1);
}

TEST_F(Store, UnchangedRowsRefreshTheirScanTimeThroughTheIdBuffer) {
    for (int i = 0; i < 1001; ++i) ASSERT_TRUE(insert({"/f" + std::to_string(i)}));
    sqlite3_exec(dal().db(), "UPDATE EntityFileItems SET scanTime = 1", nullptr, nullptr, nullptr);
    ASSERT_EQ(engine->setIntegrityscan(true), QVIM_OK);
    std::unordered_set<long long> rules{1};
    EventTypeTable& table = *engine->fileTable();
    for (int i = 0; i < 1000; ++i) {
        auto record = file({"/f" + std::to_string(i)});
        ASSERT_TRUE(dal().writeItem(*record, false, &rules));
    }
    EXPECT_EQ(table.idCount, 1000u);
    EXPECT_EQ(query("SELECT COUNT(*) FROM EntityFileItems WHERE scanTime = 1"), "1001");

    // The 1001st unchanged row first writes the full buffer.
    auto last = file({"/f1000"});
    ASSERT_TRUE(dal().writeItem(*last, false, &rules));
    EXPECT_EQ(table.idCount, 1u);
    EXPECT_EQ(query("SELECT COUNT(*) FROM EntityFileItems WHERE scanTime = 1"), "1");

    // Switching off writes the rest with a statement built for them.
    EXPECT_EQ(engine->setIntegrityscan(false), QVIM_OK);
    EXPECT_EQ(table.idCount, 0u);
    EXPECT_EQ(query("SELECT COUNT(*) FROM EntityFileItems WHERE scanTime = 1"), "0");
}

TEST_F(Store, IdBuffersAreLeftAloneWhileNotCollecting) {
    ASSERT_TRUE(insert({"/f"}));
    std::unordered_set<long long> rules{1};
    auto record = file({"/f"});
    ASSERT_TRUE(dal().writeItem(*record, false, &rules));
    EXPECT_FALSE(engine->fileTable()->idBuffer);
    EXPECT_FALSE(dal().flushEntityIDBufferArrayLock(*engine->fileTable()));
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Not flushing idBufferArrays because EntityIDBuffer is Null"));

    engine->setBaselineScanActive(true);
    EXPECT_EQ(engine->setIntegrityscan(true), QVIM_E_BASELINE_ACTIVE);
    EXPECT_FALSE(dal().bufferSelectedIDs());
}

TEST_F(Store, PurgeEmptiesTablesAndRestartsRowIds) {
    ASSERT_TRUE(insert({"/a"}));
    ASSERT_TRUE(insert({"/b"}));
    EXPECT_TRUE(dal().purgeDB(ENTITY_UNKNOWN));
    EXPECT_EQ(count("EntityFileItems"), 2);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Vacuuming"));

    EXPECT_EQ(engine->purgeDB(), QVIM_OK);
    EXPECT_EQ(count("EntityFileItems"), 0);
    auto next = file({"/c"});
    std::unordered_set<long long> rules{1};
    ASSERT_TRUE(dal().writeItem(*next, false, &rules));
    EXPECT_EQ(next->entityItemId, 1);
}

TEST_F(Store, PathPurgesMatchPrefixesWithLikeWildcards) {
    for (const char* key : {"/data/a", "/data/ab", "/data/a/x", "/dataXa", "/data_a", "/DATA/A/y", "/other"})
        ASSERT_TRUE(insert({key}));
    std::list<std::string> paths{"/data/a", "/data_a"};
    for (int i = 0; i < 118; ++i) paths.push_back("/unused/" + std::to_string(i));
    dal().purgeDiskPaths(paths);
    EXPECT_TRUE(paths.empty());
    // "_" matched the "/" of every /data/ key and the "X" of /dataXa; LIKE ignores case.
    EXPECT_EQ(query("SELECT group_concat(key) FROM EntityFileItems"), "/other");
}

TEST_F(Store, DeleteUnscannedRemovesRowsSeenBeforeTheScanStart) {
    ASSERT_TRUE(insert({"/old"}));
    ASSERT_TRUE(insert({"/kept"}));
    sqlite3_exec(dal().db(), "UPDATE EntityFileItems SET scanTime = 100 WHERE key='/old'", nullptr, nullptr, nullptr);
    sqlite3_exec(dal().db(), "UPDATE EntityFileItems SET scanTime = 200 WHERE key='/kept'", nullptr, nullptr, nullptr);

    im_wrapper_response_s response{};
    ASSERT_TRUE(engine->fileTable()->deleteUnscanned(100, response));
    EXPECT_EQ(response.nItemsScanned, 0u);
    Json none = parseJson(response.json);
    ASSERT_TRUE(none);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(none.get(), "events")), 0);
    cleanup_response_wrapper(&response);

    init_response_wrapper(&response);
    ASSERT_TRUE(engine->fileTable()->deleteUnscanned(200, response));
    EXPECT_EQ(response.nItemsScanned, 1u);
    EXPECT_EQ(query("SELECT group_concat(key) FROM EntityFileItems"), "/kept");
    cleanup_response_wrapper(&response);
}

}  // namespace
