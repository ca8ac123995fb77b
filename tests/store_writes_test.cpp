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
#include "baseline_support.h"

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
    void SetUp() override { ASSERT_EQ(engine.engineStart(captureInit("store.db")), QVIM_OK); }
    void TearDown() override { engine.engineStop(); }

    std::shared_ptr<QVIMEvent> file(const FileSpec& spec) {
        im_wrapper_event_s r{};
        r.entityType = "File";
        r.eventType = QVIM_EVENT_CHANGED;
        r.path = r.newKey = spec.path.c_str();
        r.size = spec.size;
        r.created = spec.created;
        r.owner = spec.owner;
        r.sha256 = spec.sha256;
        return std::shared_ptr<QVIMEvent>(QVIMEvent::factory(engine, &r));
    }

    QVIMDAL& dal() { return engine.getDAL(); }

    bool insert(const FileSpec& spec) {
        auto record = file(spec);
        std::lock_guard<std::mutex> lock(dal().storeLock());
        return record->storeItem();
    }
    // A change write of the record, as a scan makes it.
    std::shared_ptr<QVIMEvent> write(const FileSpec& spec) {
        auto record = file(spec);
        EXPECT_TRUE(dal().writeItem(*record, false, &rules)) << spec.path;
        return record;
    }
    void exec(const std::string& sql) { ASSERT_EQ(sqlite3_exec(dal().db(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK); }

    // Read over a connection of the test's own: what the engine committed.
    static std::string query(const std::string& sql) { return queryFile("store.db", sql); }
    std::string keys() {
        return query("SELECT group_concat(key) FROM (SELECT key FROM EntityFileItems ORDER BY entityItemId)");
    }

    IMEngineHandleConcrete engine;
    std::unordered_set<long long> rules{1};
};

TEST_F(Store, InsertsStoreEmptyTextsAsNullKeepAwkwardKeysAndRefuseDuplicates) {
    const std::string awkward = "/data/it's \"quoted\"\\back\nslash";
    FileSpec bare{awkward};
    bare.owner = nullptr;
    ASSERT_TRUE(insert(bare));
    const std::string huge = "/" + std::string(64 * 1024, 'k');
    ASSERT_TRUE(insert({huge, 0}));

    EXPECT_EQ(query("SELECT key FROM EntityFileItems WHERE entityItemId=1"), awkward);
    for (const char* column : {"owner", "permissions", "userGroup", "symLinkPath", "md5", "sha1", "sha256"})
        EXPECT_EQ(query(std::string("SELECT ") + column + " FROM EntityFileItems WHERE entityItemId=1"), "NULL")
            << column;
    EXPECT_EQ(query("SELECT length(key) FROM EntityFileItems WHERE entityItemId=2"), std::to_string(huge.size()));
    EXPECT_EQ(engine.getStats().Get("baselineItemsAdded"), 2);
    EXPECT_EQ(engine.getStats().Get("baselineBytesAdded"), 100);

    // A key stored twice fails and keeps the first row.
    ASSERT_TRUE(insert({"/etc/passwd", 10}));
    EXPECT_FALSE(insert({"/etc/passwd", 20}));
    EXPECT_TRUE(loggedContaining("Unable to execute sqlite insert statement: constraint failed with key '/etc/passwd'"));
    EXPECT_EQ(query("SELECT group_concat(size) FROM EntityFileItems WHERE key='/etc/passwd'"), "10");
}

TEST_F(Store, ChangeWriteInsertsUnknownKeysAndUpdatesOnlyChangedRows) {
    rules = {7};
    EXPECT_EQ(write({"/srv/new", 5})->entityItemId, 1);
    EXPECT_EQ(query("SELECT recordTime = scanTime FROM EntityFileItems"), "1");
    EXPECT_EQ(engine.getStats().Get("baselineRowInserts"), 1);

    // Unchanged: neither a row write nor a change.
    exec("UPDATE EntityFileItems SET scanTime = 1");
    auto same = write({"/srv/new", 5});
    EXPECT_EQ(same->operation, IM_OP_UPDATE);
    EXPECT_EQ(same->state, IM_MATCH_NO_EVENT);
    EXPECT_EQ(same->entityItemId, 1);
    EXPECT_EQ(query("SELECT scanTime FROM EntityFileItems"), "1");
    EXPECT_FALSE(loggedContaining("Mismatched field"));

    // Grown: size and the derived flags are written, recordTime is kept.
    const std::string recordTime = query("SELECT recordTime FROM EntityFileItems");
    write({"/srv/new", 9});
    EXPECT_EQ(query("SELECT size || ',' || growing || ',' || shrinking FROM EntityFileItems"), "9,1,0");
    EXPECT_EQ(query("SELECT recordTime FROM EntityFileItems"), recordTime);
    EXPECT_NE(query("SELECT scanTime FROM EntityFileItems"), "1");
    EXPECT_TRUE(logged(QVIM_LOG_INFO, "Mismatched field (key='/srv/new'): (EntityFileItems.size == 5) != 9"));
    EXPECT_TRUE(logged(QVIM_LOG_INFO, "Mismatched field (key='/srv/new'): (EntityFileItems.growing == 0) != 1"));

    write({"/srv/new", 3});
    EXPECT_EQ(query("SELECT size || ',' || growing || ',' || shrinking FROM EntityFileItems"), "3,0,1");
    EXPECT_EQ(engine.getStats().Get("baselineRowUpdates"), 2);
}

TEST_F(Store, CreatedTimesWithinASecondStarredDigestsAndEmptyTextsAreNoChange) {
    const uint64_t stored = 1'700'000'000'000;
    const unsigned char star[32] = {'*'};
    const unsigned char other[32] = {1, 2, 3};
    ASSERT_TRUE(insert({"/a", 1, stored}));
    ASSERT_TRUE(insert({"/bin/x", 1, 1, nullptr, star}));

    auto jitter = write({"/a", 1, stored + 999});
    EXPECT_EQ(static_cast<im_event_file&>(*jitter).created, static_cast<int64_t>(stored));
    EXPECT_EQ(write({"/bin/x", 1, 1, "", other})->state, IM_MATCH_NO_EVENT);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "psha256 is a *"));
    EXPECT_FALSE(loggedContaining("Mismatched field"));

    write({"/a", 1, stored - 1000});
    EXPECT_TRUE(loggedContaining("(EntityFileItems.created == 1700000000000) != 1699999999000"));
    EXPECT_EQ(query("SELECT created FROM EntityFileItems WHERE key='/a'"), "1699999999000");
}

TEST_F(Store, RenameAndDeleteOfStoredAndUnknownKeys) {
    ASSERT_TRUE(insert({"/old", 4}));
    for (const auto& [from, to] : {std::pair{"/old", "/new"}, std::pair{"/nowhere", "/target"}}) {
        auto rename = file({from, 4});
        rename->newKey = to;
        ASSERT_TRUE(dal().renameItem(*rename, &rules));
    }
    // The stored row keeps its id; an unknown one arrives as a new row.
    EXPECT_EQ(query("SELECT group_concat(key || ':' || entityItemId) FROM EntityFileItems"), "/new:1,/target:2");

    auto unknown = file({"/ghost"});
    EXPECT_TRUE(dal().deleteEntityItems(*unknown, &rules));
    EXPECT_EQ(unknown->state, IM_MATCH_NO_EVENT);
    EXPECT_EQ(engine.getStats().Get("baselineRowDeletes"), 0);

    EXPECT_TRUE(dal().deleteEntityItems(*file({"/new"}), &rules));
    EXPECT_EQ(keys(), "/target");
    EXPECT_EQ(engine.getStats().Get("baselineRowDeletes"), 1);
}

TEST_F(Store, UnchangedRowsRefreshTheirScanTimeThroughTheIdBuffer) {
    for (int i = 0; i < 1001; ++i) ASSERT_TRUE(insert({"/f" + std::to_string(i)}));
    exec("UPDATE EntityFileItems SET scanTime = 1");
    ASSERT_EQ(engine.setIntegrityscan(true), QVIM_OK);
    EventTypeTable& table = *engine.fileTable();
    const auto stale = [&] { return query("SELECT COUNT(*) FROM EntityFileItems WHERE scanTime = 1"); };
    for (int i = 0; i < 1000; ++i) write({"/f" + std::to_string(i)});
    EXPECT_EQ(table.idCount, 1000u);
    EXPECT_EQ(stale(), "1001");

    // The 1001st unchanged row first writes the full buffer.
    write({"/f1000"});
    EXPECT_EQ(table.idCount, 1u);
    EXPECT_EQ(stale(), "1");

    // Switching off writes the rest with a statement built for them.
    EXPECT_EQ(engine.setIntegrityscan(false), QVIM_OK);
    EXPECT_EQ(table.idCount, 0u);
    EXPECT_EQ(stale(), "0");
}

TEST_F(Store, IdBuffersAreLeftAloneWhileNotCollecting) {
    ASSERT_TRUE(insert({"/f"}));
    write({"/f"});
    EXPECT_FALSE(engine.fileTable()->idBuffer);
    EXPECT_FALSE(dal().flushEntityIDBufferArrayLock(*engine.fileTable()));
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Not flushing idBufferArrays because EntityIDBuffer is Null"));

    engine.setBaselineScanActive(true);
    EXPECT_EQ(engine.setIntegrityscan(true), QVIM_E_BASELINE_ACTIVE);
    EXPECT_FALSE(dal().bufferSelectedIDs());
}

TEST_F(Store, PurgesEmptyTablesRestartRowIdsAndMatchPathPrefixesWithLikeWildcards) {
    ASSERT_TRUE(insert({"/a"}));
    EXPECT_TRUE(dal().purgeDB(ENTITY_UNKNOWN));
    EXPECT_EQ(keys(), "/a");
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Vacuuming"));
    EXPECT_EQ(engine.purgeDB(), QVIM_OK);
    EXPECT_EQ(keys(), "NULL");
    EXPECT_EQ(write({"/c"})->entityItemId, 1);

    for (const char* key : {"/data/a", "/data/ab", "/data/a/x", "/dataXa", "/data_a", "/DATA/A/y", "/other"})
        ASSERT_TRUE(insert({key}));
    std::list<std::string> paths{"/data/a", "/data_a"};
    for (int i = 0; i < 118; ++i) paths.push_back("/unused/" + std::to_string(i));
    dal().purgeDiskPaths(paths);
    EXPECT_TRUE(paths.empty());
    // "_" matched the "/" of every /data/ key and the "X" of /dataXa; LIKE ignores case.
    EXPECT_EQ(keys(), "/c,/other");
}

TEST_F(Store, DeleteUnscannedRemovesRowsSeenBeforeTheScanStart) {
    ASSERT_TRUE(insert({"/old"}));
    ASSERT_TRUE(insert({"/kept"}));
    exec("UPDATE EntityFileItems SET scanTime = CASE key WHEN '/old' THEN 100 ELSE 200 END");
    for (const auto& [start, removed, left] : {std::tuple{100, 0u, "/old,/kept"}, std::tuple{200, 1u, "/kept"}}) {
        SCOPED_TRACE(start);
        im_wrapper_response_s response{};
        ASSERT_TRUE(engine.fileTable()->deleteUnscanned(start, response));
        EXPECT_EQ(response.nItemsScanned, removed);
        const Json document = parseJson(response.json);
        cleanup_response_wrapper(&response);
        ASSERT_TRUE(document);
        EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(document.get(), "events")), 0);  // no rule watches them
        EXPECT_EQ(keys(), left);
    }
}

}  // namespace
