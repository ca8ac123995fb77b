// Real-time notifications, buffered stores and unscanned cleanup with an
// installed ruleset: which events come out, in which shape, with which
// verdict, and what the baseline holds afterwards.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "IMEngineHandleConcrete.h"
#include "IMEngineRoutines.h"
#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"
#include "QVIMIntegrityRuleFilter.h"
#include "QVIMLogger.h"
#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

const char* const kRules = R"({"IntegrityRules":[
  {"id":1,"name":"watched","identifier":"R1","severity":3,
   "EntitySets":[{"entityType":"File","base":"/w/","attributes":"size,owner,sha256"}]},
  {"id":2,"name":"guard","realtime":"true","enforcement":{"type":"allow","users":["root"]},
   "EntitySets":[{"entityType":"File","base":"/rt/","operations":"create,block"}]},
  {"id":3,"name":"second","EntitySets":[{"entityType":"File","base":"/two/"}]},
  {"id":4,"name":"third","EntitySets":[{"entityType":"File","base":"/two/"}]}]})";

using Names = std::vector<std::string>;

struct Notification {
    std::string path;
    uint32_t code = QVIM_EVENT_CHANGED;
    uint64_t size = 10;
    std::string newKey{};  // empty: the path
    bool realTime = false;
    const char* user = nullptr;
};

std::string text(const cJSON* object, const char* name) {
    const char* value = cJSON_GetStringValue(cJSON_GetObjectItem(object, name));
    return value != nullptr ? value : "<absent>";
}
Names attributeNames(const cJSON* event, const char* array) {
    Names names;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, cJSON_GetObjectItem(event, array)) names.push_back(text(item, "name"));
    return names;
}
double eventId(const cJSON* event) { return cJSON_GetNumberValue(cJSON_GetObjectItem(event, "integrityEventId")); }

// Boundary records of files, and the texts they point into.
class FileRecords {
protected:
    im_wrapper_event_s record(const Notification& n) {
        im_wrapper_event_s r{};
        r.entityType = "File";
        r.eventType = n.code;
        r.path = keys.emplace_back(n.path).c_str();
        r.newKey = n.newKey.empty() ? r.path : keys.emplace_back(n.newKey).c_str();
        r.size = n.size;
        r.owner = "0";
        r.realTime = n.realTime;
        r.processUser = n.user;
        r.processName = "editor";
        return r;
    }

private:
    std::deque<std::string> keys;
};

class Events : public ::testing::Test, protected FileRecords {
protected:
    void SetUp() override {
        ASSERT_EQ(engine.engineStart(captureInit("events.db")), QVIM_OK);
        engine.getConfig().installFilter(std::make_shared<IntegrityRuleFilter>(engine.getStats(), kRules, "g"));
    }
    void TearDown() override {
        cleanup_response_wrapper(&response);
        engine.engineStop();
    }

    // One notification through the engine; the number of events of its answer.
    int notify(const Notification& n, qvim_status expected = QVIM_OK) {
        cleanup_response_wrapper(&response);
        init_response_wrapper(&response);  // the counters add up until the host clears them
        EXPECT_EQ(engine.integrityMonitor(1, record(n), response), expected) << n.path;
        document = parseJson(response.json);
        return cJSON_GetArraySize(events());
    }
    const cJSON* events() const { return document ? cJSON_GetObjectItem(document.get(), "events") : nullptr; }
    const cJSON* event(int i) const { return cJSON_GetArrayItem(events(), i); }
    uint32_t state() const { return response.state; }

    IMEngineHandleConcrete engine;
    im_wrapper_response_s response{};
    Json document;
};

// Buffered stores need only the store, the rules and the counters.
class Buffer : public ::testing::Test, protected FileRecords {
protected:
    void SetUp() override {
        const im_engine_init_s init = captureInit("buffer.db");
        ASSERT_EQ(QVIMLoggerSL::getInstance().initLogger(init.logCallback, init.logLevel, "LogFile.log"), 0);
        ASSERT_TRUE(store.setDBPath(init.dbPath));
        ASSERT_TRUE(store.initDB());
        config.installFilter(std::make_shared<IntegrityRuleFilter>(stats, kRules, "g"));
    }
    void TearDown() override {
        cleanup_response_wrapper(&response);
        store.shutdownDAL();
    }

    qvim_status buffer(const std::string& key) {
        const im_wrapper_event_s r = record({key});
        return QVIMEngine::storeItem(store, config, &r, true, &response);
    }
    static std::string query(const std::string& sql) { return queryFile("buffer.db", sql); }

    QVIMConfig config;
    QVIMStats stats;
    QVIMDAL store{config, stats};
    im_wrapper_response_s response{};
};

TEST_F(Events, DocumentsHaveTheirMembersInOrderAndConsecutiveIds) {
    ASSERT_EQ(notify({"/w/a"}), 1);
    EXPECT_EQ(text(event(0), "operationType"), "create");
    EXPECT_EQ(cJSON_GetObjectItem(event(0), "wasAttributes"), nullptr);
    // Watched attributes only, by name; the absent digest is left out.
    EXPECT_EQ(attributeNames(event(0), "isAttributes"), (Names{"owner", "size"}));
    const cJSON* owner = cJSON_GetArrayItem(cJSON_GetObjectItem(event(0), "isAttributes"), 0);
    EXPECT_EQ(memberNames(owner), (Names{"name", "value", "friendlyValue"}));
    EXPECT_EQ(text(owner, "friendlyValue"), "root");
    EXPECT_EQ(state(), static_cast<uint32_t>(IM_MATCH_WITH_EVENT));

    ASSERT_EQ(notify({"/w/a", QVIM_EVENT_CHANGED, 12}), 1);
    EXPECT_EQ(memberNames(event(0)),
              (Names{"integrityEventId", "eventTime", "eventType", "entityType", "integrityRuleId", "integrityRuleName",
                     "identifier", "operationType", "processName", "user", "severity", "key", "isKey", "wasKey",
                     "wasAttributes", "isAttributes"}));
    EXPECT_EQ(text(event(0), "operationType"), "update");
    EXPECT_EQ(attributeNames(event(0), "wasAttributes"), (Names{"owner", "size"}));
    EXPECT_EQ(text(cJSON_GetArrayItem(cJSON_GetObjectItem(event(0), "wasAttributes"), 1), "value"), "10");
    EXPECT_EQ(text(cJSON_GetArrayItem(cJSON_GetObjectItem(event(0), "isAttributes"), 1), "value"), "12");

    // Two rules: an event each.
    engine.getStats().Set("totalEvents", 41);
    ASSERT_EQ(notify({"/two/x"}), 2);
    EXPECT_EQ(eventId(event(0)), 42);
    EXPECT_EQ(eventId(event(1)), 43);
    EXPECT_EQ(engine.getStats().Get("totalEvents"), 43);
}

TEST_F(Events, UnchangedRowsAndUnwatchedChangesGiveNoEvent) {
    notify({"/w/a"});
    // growing flips with the size; the rule does not watch it.
    im_wrapper_event_s r = record({"/w/a"});
    r.lastModified = 5;
    cleanup_response_wrapper(&response);
    EXPECT_EQ(engine.integrityMonitor(1, r, response), QVIM_OK);
    EXPECT_EQ(std::string(response.json), "{\"events\":[]}");
    EXPECT_EQ(state(), static_cast<uint32_t>(IM_MATCH_NO_EVENT));

    // Nothing watches /elsewhere: no write, no event.
    EXPECT_EQ(notify({"/elsewhere/x"}), 0);
    EXPECT_EQ(state(), static_cast<uint32_t>(IM_NO_RULE_MATCH));
    EXPECT_EQ(engine.getStats().Get("baselineRowInserts"), 1);
}

TEST_F(Events, RenamesIntoWithinAndOutOfTheWatchedArea) {
    ASSERT_EQ(notify({"/elsewhere/a", QVIM_EVENT_RENAMED, 10, "/w/a"}), 1);
    EXPECT_EQ(text(event(0), "operationType"), "create");
    EXPECT_EQ(text(event(0), "key"), "/w/a");

    ASSERT_EQ(notify({"/w/a", QVIM_EVENT_RENAMED, 10, "/w/b"}), 1);
    EXPECT_EQ(text(event(0), "operationType"), "rename");
    EXPECT_EQ(text(event(0), "key"), "/w/a -> /w/b");
    EXPECT_EQ(text(event(0), "isKey"), "/w/b");
    EXPECT_EQ(text(event(0), "wasKey"), "/w/a");
    EXPECT_EQ(queryFile("events.db", "SELECT group_concat(key || ':' || entityItemId) FROM EntityFileItems"), "/w/b:1");

    ASSERT_EQ(notify({"/w/b", QVIM_EVENT_RENAMED, 10, "/elsewhere/b"}), 1);
    EXPECT_EQ(text(event(0), "operationType"), "delete");
    EXPECT_NE(cJSON_GetObjectItem(event(0), "wasAttributes"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(event(0), "isAttributes"), nullptr);

    EXPECT_EQ(notify({"/w/never", QVIM_EVENT_DELETED}), 0);
    EXPECT_EQ(state(), static_cast<uint32_t>(IM_MATCH_NO_EVENT));
    EXPECT_EQ(engine.getStats().Get("baselineRowDeletes"), 1);
}

TEST_F(Events, EnforcementAllowsListedUsersAndBlocksOthers) {
    Notification n{"/rt/f", 3};
    n.realTime = true;
    n.user = "alice";
    ASSERT_EQ(notify(n, QVIM_VERDICT_BLOCK), 1);
    EXPECT_EQ(text(event(0), "operationType"), "block");
    EXPECT_EQ(text(event(0), "user"), "alice");
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Process user 'alice' found in rule: 0"));

    n.user = "root";
    EXPECT_EQ(notify(n, QVIM_VERDICT_ALLOW), 0);  // before the operation: nothing to report yet

    // Without the real-time flag nothing is enforced: a plain report.
    n.realTime = false;
    n.user = "alice";
    ASSERT_EQ(notify(n, QVIM_OK), 1);
    EXPECT_EQ(text(event(0), "operationType"), "create");
}

TEST_F(Events, BadRecordsAreRefusedWithAState) {
    for (const auto& [kind, code] : {std::pair{"file", QVIM_EVENT_CHANGED}, std::pair{"File", 6u}}) {
        im_wrapper_event_s r = record({"/w/a", code});
        r.entityType = kind;
        EXPECT_EQ(engine.integrityMonitor(1, r, response), QVIM_E_BAD_PARAMETER) << kind;
        EXPECT_EQ(state(), static_cast<uint32_t>(IM_INVALID_PARAMETER));
        EXPECT_EQ(response.json, nullptr);
    }
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "Unknown event type 5"));
    EXPECT_EQ(engine.getStats().Get("baselineRowInserts"), 0);
}

TEST_F(Buffer, BufferedStoresAreWrittenPast1000AndABadRecordCostsOnlyItself) {
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(buffer("/w/b" + std::to_string(i)), QVIM_OK);
    EXPECT_EQ(stats.Get("baselineItemsAdded"), 0);
    ASSERT_EQ(buffer("/w/b1000"), QVIM_OK);
    EXPECT_EQ(response.nItemsScanned, 1001u);
    EXPECT_EQ(stats.Get("baselineItemsAdded"), 1001);

    // Unwatched entities are not buffered at all.
    ASSERT_EQ(buffer("/elsewhere/x"), QVIM_OK);
    EXPECT_EQ(response.state, static_cast<uint32_t>(IM_NO_RULE_MATCH));

    // A key already stored and one buffered twice fail on their own: they
    // are dropped and named, the others are stored, and the call says so.
    for (const char* key : {"/w/n1", "/w/b5", "/w/n2", "/w/n2", "/w/n3"}) ASSERT_EQ(buffer(key), QVIM_OK);
    clearCapturedLog();
    unsigned long written = 0;
    EXPECT_FALSE(store.storeItemFlush(written));
    EXPECT_EQ(written, 3u);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR,
                       "Buffered item with key '/w/b5' dropped: UNIQUE constraint failed: EntityFileItems.key"));
    EXPECT_TRUE(logged(QVIM_LOG_ERROR,
                       "Buffered item with key '/w/n2' dropped: UNIQUE constraint failed: EntityFileItems.key"));
    EXPECT_EQ(query("SELECT count(*) FROM EntityFileItems WHERE key IN ('/w/n1','/w/n2','/w/n3')"), "3");
    EXPECT_EQ(stats.Get("baselineItemsAdded"), 1004);
    EXPECT_TRUE(store.storeItemFlush(written));  // nothing left to fail
    EXPECT_EQ(written, 3u);
}

// A failure that is not the record's own (here an interrupt in the middle of
// the batch) keeps the whole batch for
// the next write, and its counters are not counted twice.
TEST_F(Buffer, ABatchThatFailsForItsSurroundingsIsKeptWhole) {
    for (const char* key : {"/w/k1", "/w/k2", "/w/k3", "/w/k4"}) ASSERT_EQ(buffer(key), QVIM_OK);
    sqlite3* db = store.db();
    // One interrupt, once the batch has written a row.
    static int changesBefore;
    static bool interrupted;
    changesBefore = sqlite3_total_changes(db);
    interrupted = false;
    sqlite3_progress_handler(
        db, 1,
        [](void* connection) {
            if (interrupted || sqlite3_total_changes(static_cast<sqlite3*>(connection)) == changesBefore) return 0;
            interrupted = true;
            return 1;
        },
        db);
    unsigned long written = 0;
    EXPECT_FALSE(store.storeItemFlush(written));
    sqlite3_progress_handler(db, 0, nullptr, nullptr);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(stats.Get("baselineItemsAdded"), 0);
    EXPECT_FALSE(loggedContaining("dropped"));

    EXPECT_TRUE(store.storeItemFlush(written));
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(stats.Get("baselineItemsAdded"), 4);
    EXPECT_EQ(query("SELECT count(*) FROM EntityFileItems"), "4");
}

// A COMMIT that fails, and the ROLLBACK after it too, leave the batch's
// transaction open; the next write of the buffer ends it first instead of
// failing at BEGIN from then on.
TEST_F(Buffer, ATransactionLeftOpenByAFailedRollbackIsEndedByTheNextWrite) {
    for (const char* key : {"/w/t1", "/w/t2"}) ASSERT_EQ(buffer(key), QVIM_OK);
    sqlite3* db = store.db();
    sqlite3_set_authorizer(
        db,
        [](void*, int action, const char* what, const char*, const char*, const char*) {
            return action == SQLITE_TRANSACTION && std::string(what) != "BEGIN" ? SQLITE_DENY : SQLITE_OK;
        },
        nullptr);
    unsigned long written = 0;
    EXPECT_FALSE(store.storeItemFlush(written));
    sqlite3_set_authorizer(db, nullptr, nullptr);
    EXPECT_TRUE(loggedContaining("Error committing transaction"));
    EXPECT_TRUE(loggedContaining("Error rolling back transaction"));
    ASSERT_EQ(sqlite3_get_autocommit(db), 0) << "the ROLLBACK was expected to fail and leave the transaction open";

    clearCapturedLog();
    EXPECT_TRUE(store.storeItemFlush(written));
    EXPECT_TRUE(logged(QVIM_LOG_ERROR,
                       "A transaction was left open on the baseline; rolling it back before writing the buffer"));
    EXPECT_NE(sqlite3_get_autocommit(db), 0);
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(stats.Get("baselineItemsAdded"), 2);
    EXPECT_EQ(query("SELECT group_concat(key) FROM (SELECT key FROM EntityFileItems ORDER BY key)"),
              "/w/t1,/w/t2");
}

// Rows last seen before the scan started are gone; those seen at its start stay.
TEST_F(Events, UnscannedRowsAreReportedAsDeletesBeforeEarlierEvents) {
    notify({"/w/old"});
    notify({"/w/kept"});
    sqlite3_exec(engine.getDAL().db(), "UPDATE EntityFileItems SET scanTime = CASE key WHEN '/w/old' THEN 100 ELSE 101 END",
                 nullptr, nullptr, nullptr);
    im_wrapper_response_s cleanup{};
    cleanup.json = cJSON_PrintUnformatted(document.get());  // the create of /w/kept is already there
    ASSERT_TRUE(EventHandlerDeleteUnscanned(engine.getDAL(), engine.getConfig(), engine.getStats())
                    .cleanUp(*engine.getDAL().fileTable(), 101, cleanup));
    EXPECT_EQ(cleanup.nItemsScanned, 1u);
    document = parseJson(cleanup.json);
    cleanup_response_wrapper(&cleanup);
    ASSERT_EQ(cJSON_GetArraySize(events()), 2);
    EXPECT_EQ(text(event(0), "operationType"), "delete");
    EXPECT_EQ(text(event(0), "key"), "/w/old");
    EXPECT_EQ(attributeNames(event(0), "wasAttributes"), (Names{"owner", "size"}));
    EXPECT_EQ(text(event(1), "key"), "/w/kept");
}

}  // namespace
