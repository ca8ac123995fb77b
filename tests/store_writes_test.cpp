// The store layer on a real database: inserts, change writes and purges by
// path.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "IMEngineHandleConcrete.h"
#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"
#include "QVIMIntegrityRuleFilter.h"
#include "QVIMLogger.h"
#include "QVIMStats.h"
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

// The store alone, without an engine: lent rules and counters of its own.
class Store : public ::testing::Test {
protected:
    void SetUp() override {
        const im_engine_init_s init = captureInit("store.db");
        ASSERT_EQ(QVIMLoggerSL::getInstance().initLogger(init.logCallback, init.logLevel, "LogFile.log"), 0);
        ASSERT_TRUE(store.setDBPath(init.dbPath));
        ASSERT_TRUE(store.initDB());
    }
    void TearDown() override { store.shutdownDAL(); }

    std::shared_ptr<QVIMEvent> file(const FileSpec& spec) {
        im_wrapper_event_s r{};
        r.entityType = "File";
        r.eventType = QVIM_EVENT_CHANGED;
        r.path = r.newKey = spec.path.c_str();
        r.size = spec.size;
        r.created = spec.created;
        r.owner = spec.owner;
        r.sha256 = spec.sha256;
        return std::shared_ptr<QVIMEvent>(QVIMEvent::factory(store, &r));
    }

    QVIMDAL& dal() { return store; }

    bool insert(const FileSpec& spec) {
        auto record = file(spec);
        MutexLock lock(record->store.storeLock());
        return record->storeItem();
    }
    // A change write of the record, as a scan makes it.
    std::shared_ptr<QVIMEvent> write(const FileSpec& spec) {
        auto record = file(spec);
        EXPECT_TRUE(dal().writeItem(*record, false, &rules)) << spec.path;
        return record;
    }

    // Read over a connection of the test's own: what the store committed.
    static std::string query(const std::string& sql) { return queryFile("store.db", sql); }
    std::string keys() {
        return query("SELECT group_concat(key) FROM (SELECT key FROM EntityFileItems ORDER BY entityItemId)");
    }

    QVIMConfig config;
    QVIMStats stats;
    QVIMDAL store{config, stats};
    std::unordered_set<long long> rules{1};
};

TEST_F(Store, InsertsStoreEmptyTextsAsNullAndRefuseDuplicates) {
    FileSpec bare{"/data/bare"};
    bare.owner = nullptr;
    ASSERT_TRUE(insert(bare));
    EXPECT_EQ(query("SELECT coalesce(owner, permissions, userGroup, symLinkPath, md5, sha1, sha256) IS NULL "
                    "FROM EntityFileItems"),
              "1");

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
    EXPECT_EQ(stats.Get("baselineRowInserts"), 1);

    // Unchanged: neither a row write nor a change.
    execFile("store.db", "UPDATE EntityFileItems SET scanTime = 1");
    auto same = write({"/srv/new", 5});
    EXPECT_EQ(same->state, IM_MATCH_NO_EVENT);
    EXPECT_EQ(same->entityItemId, 1);
    EXPECT_EQ(query("SELECT scanTime FROM EntityFileItems"), "1");

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
    EXPECT_EQ(stats.Get("baselineRowUpdates"), 2);
}

// The seen ids are kept 1000 at a time: the row that fills the buffer and the
// one that finds it full must be marked like the rest, or the cleanup after the
// scan removes them as deleted.
TEST_F(Store, EveryUnchangedRowOfAChangeScanIsMarkedSeen) {
    const auto key = [](int n) { return "/k/" + std::to_string(n); };
    int stored = 0;
    for (const int rows : {1001, 2001}) {
        SCOPED_TRACE(std::to_string(rows) + " unchanged rows");
        ASSERT_EQ(sqlite3_exec(dal().db(), "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
        for (; stored < rows; ++stored) ASSERT_TRUE(insert({key(stored)}));
        ASSERT_EQ(sqlite3_exec(dal().db(), "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
        execFile("store.db", "UPDATE EntityFileItems SET scanTime = 1");

        ASSERT_TRUE(dal().initEntityIDBufferArrays());
        dal().setBufferSelectedIDs(true);
        for (int n = 0; n < rows; ++n) ASSERT_EQ(write({key(n)})->state, IM_MATCH_NO_EVENT) << key(n);
        ASSERT_TRUE(dal().flushEntityIDBufferArrays());
        dal().setBufferSelectedIDs(false);
        EXPECT_EQ(query("SELECT group_concat(key) FROM EntityFileItems WHERE scanTime = 1"), "NULL");

        im_wrapper_response_s cleanup{};
        std::vector<std::string> unscanned;
        ASSERT_TRUE(dal().fileTable()->deleteUnscanned(
            2, cleanup, [&](QVIMEvent& record) { unscanned.push_back(record.currentKey); }));
        EXPECT_EQ(cleanup.nItemsScanned, 0u);
        EXPECT_TRUE(unscanned.empty());
        cleanup_response_wrapper(&cleanup);
        EXPECT_EQ(query("SELECT count(*) FROM EntityFileItems"), std::to_string(rows));
        if (HasFailure()) break;  // a lost row would only fail the next round again
    }
}

// The cleanup hands each stale row over with its stored values before the
// rows go, and touches nothing seen at or after the scan's start.
TEST_F(Store, UnscannedCleanupHandsOverStaleRowsThenDeletesThem) {
    for (const char* key : {"/old/a", "/kept", "/old/b"}) ASSERT_TRUE(insert({key, 42}));
    execFile("store.db", "UPDATE EntityFileItems SET scanTime = CASE key WHEN '/kept' THEN 7 ELSE 6 END");

    std::vector<std::string> handed;
    im_wrapper_response_s cleanup{};
    ASSERT_TRUE(dal().fileTable()->deleteUnscanned(7, cleanup, [&](QVIMEvent& record) {
        EXPECT_EQ(record.operation, IM_OP_DELETE);
        EXPECT_NE(std::find(record.bufferedFields.begin(), record.bufferedFields.end(),
                            QVIMEvent::Fields::value_type{"size", "42"}),
                  record.bufferedFields.end())
            << record.currentKey;
        handed.push_back(record.currentKey);
    }));
    cleanup_response_wrapper(&cleanup);
    EXPECT_EQ(handed, (std::vector<std::string>{"/old/a", "/old/b"}));
    EXPECT_EQ(cleanup.nItemsScanned, 2u);
    EXPECT_EQ(keys(), "/kept");
}

// A real-time write that lands while the cleanup runs waits for it: run in
// between, it would stamp the row and the cleanup would still delete it.
TEST_F(Store, AWriteDuringTheCleanupIsNotUndoneByIt) {
    ASSERT_TRUE(insert({"/old/a", 42}));
    execFile("store.db", "UPDATE EntityFileItems SET scanTime = 1");
    const auto grown = file({"/old/a", 43});
    std::future<bool> written;
    im_wrapper_response_s cleanup{};
    ASSERT_TRUE(dal().fileTable()->deleteUnscanned(2, cleanup, [&](QVIMEvent&) {
        written = std::async(std::launch::async, [&] {
            std::unordered_set<long long> matched{1};
            return dal().writeItem(*grown, false, &matched);
        });
        // Time for the write to slip in, were it let.
        written.wait_for(std::chrono::milliseconds(300));
    }));
    cleanup_response_wrapper(&cleanup);
    ASSERT_TRUE(written.valid());
    EXPECT_TRUE(written.get());
    EXPECT_EQ(query("SELECT key || ':' || size FROM EntityFileItems"), "/old/a:43");
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

TEST_F(Store, PathPurgesMatchPrefixesWithLikeWildcards) {
    for (const char* key : {"/data/a", "/data/ab", "/data/a/x", "/dataXa", "/data_a", "/DATA/A/y", "/other"})
        ASSERT_TRUE(insert({key}));
    std::list<std::string> paths{"/data/a", "/data_a"};
    for (int i = 0; i < 118; ++i) paths.push_back("/unused/" + std::to_string(i));
    dal().purgeDiskPaths(paths);
    EXPECT_TRUE(paths.empty());
    // "_" matched the "/" of every /data/ key and the "X" of /dataXa; LIKE ignores case.
    EXPECT_EQ(keys(), "/other");
}

}  // namespace

// A change scan reports rows it did not see as deleted: rows stamped before
// its start. A row stored in the millisecond the scan starts must count too,
// which takes a start strictly after the last write.
TEST(ChangeScanStart, ARowStoredJustBeforeTheScanIsReportedWhenUnseen) {
    IMEngineHandleConcrete engine;
    ASSERT_EQ(engine.engineStart(captureInit("scan.db", 0)), QVIM_OK);
    engine.getConfig().installFilter(std::make_shared<IntegrityRuleFilter>(
        engine.getStats(), R"({"IntegrityRules":[{"id":1,"EntitySets":[{"entityType":"User"}]}]})", "g"));
    // Without waiting for the disk a store and the next scan often share a millisecond.
    ASSERT_EQ(sqlite3_exec(engine.getDAL().db(), "PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY;", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    Entities records;
    const im_wrapper_event_s ghost = records.make("User", "qvim-no-such-user");
    for (int round = 0; round < 40; ++round) {
        im_wrapper_response_s response{};
        ASSERT_EQ(engine.storeItem(ghost, false, response), QVIM_OK);
        ASSERT_EQ(response.nItemsScanned, 1u);
        ASSERT_EQ(engine.integrityScan(1, ENTITY_USER, SCAN_CHANGE, response), QVIM_OK);
        const std::string events = response.json != nullptr ? response.json : "";
        cleanup_response_wrapper(&response);
        ASSERT_EQ(queryFile("scan.db", "SELECT count(*) FROM EntityUserItems WHERE key='qvim-no-such-user'"), "0")
            << "round " << round;
        EXPECT_NE(events.find("qvim-no-such-user"), std::string::npos) << "round " << round;
    }
    engine.engineStop();
}
