// Real-time notifications, buffered stores and unscanned cleanup with an
// installed ruleset: which events come out, in which shape, with which
// verdict, and what the baseline holds afterwards.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "IMEngineHandleConcrete.h"
#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"
#include "QVIMIntegrityRuleFilter.h"
#include "TestSupport.h"

using namespace qvim_test;

namespace {

const char* const kRules = R"({"IntegrityRules":[
  {"id":1,"name":"watched","identifier":"R1","severity":3,
   "EntitySets":[{"entityType":"File","base":"/w/","attributes":"size,owner,sha256"}]},
  {"id":2,"name":"guard","realtime":"true","enforcement":{"type":"allow","users":["root"]},
   "EntitySets":[{"entityType":"File","base":"/rt/","operations":"create,block"}]},
  {"id":3,"name":"second","EntitySets":[{"entityType":"File","base":"/two/"}]},
  {"id":4,"name":"third","EntitySets":[{"entityType":"File","base":"/two/"}]}]})";

struct Notification {
    std::string path;
    uint32_t code = QVIM_EVENT_CHANGED;
    uint64_t size = 10;
    const char* owner = "0";
    std::string newKey{};  // empty: the path
    bool realTime = false;
    const char* user = nullptr;
};

class Events : public ::testing::Test {
protected:
    void SetUp() override {
        im_engine_init_s init{};
        init.dbPath = "events.db";
        init.logLevel = QVIM_LOG_TRACE | QVIM_LOG_INFO | QVIM_LOG_WARNING | QVIM_LOG_ERROR;
        init.logCallback = captureLog;
        ASSERT_EQ(engine.engineStart(init), QVIM_OK);
        engine.getConfig().installFilter(std::make_shared<IntegrityRuleFilter>(engine.getStats(), kRules, "g"));
    }
    void TearDown() override {
        cleanup_response_wrapper(&response);
        engine.engineStop();
    }

    im_wrapper_event_s record(const Notification& n) {
        const std::string& newKey = keys.emplace_back(n.newKey.empty() ? n.path : n.newKey);
        const std::string& path = keys.emplace_back(n.path);
        im_wrapper_event_s r{};
        r.entityType = "File";
        r.eventType = n.code;
        r.path = path.c_str();
        r.newKey = newKey.c_str();
        r.size = n.size;
        r.owner = n.owner;
        r.realTime = n.realTime;
        r.processUser = n.user;
        r.processName = "editor";
        return r;
    }

    // One notification through the engine; the events array of its answer.
    cJSON* notify(const Notification& n, qvim_status expected = QVIM_OK) {
        cleanup_response_wrapper(&response);
        const im_wrapper_event_s r = record(n);
        EXPECT_EQ(engine.integrityMonitor(1, r, response), expected) << n.path;
        document = parseJson(response.json);
        return document ? cJSON_GetObjectItem(document.get(), "events") : nullptr;
    }

    static std::vector<std::string> memberNames(const cJSON* object) {
        std::vector<std::string> names;
        for (const cJSON* item = object->child; item != nullptr; item = item->next) names.push_back(item->string);
        return names;
    }
    static std::string text(const cJSON* object, const char* name) {
        const char* value = cJSON_GetStringValue(cJSON_GetObjectItem(object, name));
        return value != nullptr ? value : "<absent>";
    }
    static std::vector<std::string> attributeNames(const cJSON* event, const char* array) {
        std::vector<std::string> names;
        const cJSON* item = nullptr;
        cJSON_ArrayForEach(item, cJSON_GetObjectItem(event, array)) names.push_back(text(item, "name"));
        return names;
    }

    IMEngineHandleConcrete engine;
    im_wrapper_response_s response{};
    Json document;
    std::deque<std::string> keys;  // texts the boundary records point into
};

TEST_F(Events, CreateThenUpdateDocumentsHaveTheirMembersInOrder) {
    cJSON* events = notify({"/w/a", QVIM_EVENT_CHANGED, 10, "0"});
    ASSERT_EQ(cJSON_GetArraySize(events), 1);
    const cJSON* create = cJSON_GetArrayItem(events, 0);
    EXPECT_EQ(memberNames(create),
              (std::vector<std::string>{"integrityEventId", "eventTime", "eventType", "entityType", "integrityRuleId",
                                        "integrityRuleName", "identifier", "operationType", "processName", "user",
                                        "severity", "key", "isKey", "wasKey", "isAttributes"}));
    EXPECT_EQ(text(create, "operationType"), "create");
    EXPECT_EQ(cJSON_GetObjectItem(create, "integrityEventId")->valuedouble, 1);
    // Watched attributes only, by name; the absent digest is left out.
    EXPECT_EQ(attributeNames(create, "isAttributes"), (std::vector<std::string>{"owner", "size"}));
    const cJSON* owner = cJSON_GetArrayItem(cJSON_GetObjectItem(create, "isAttributes"), 0);
    EXPECT_EQ(memberNames(owner), (std::vector<std::string>{"name", "value", "friendlyValue"}));
    EXPECT_EQ(text(owner, "friendlyValue"), "root");
    EXPECT_EQ(response.state, static_cast<uint32_t>(IM_MATCH_WITH_EVENT));
    EXPECT_EQ(engine.getStats().Get("totalEvents"), 1);

    events = notify({"/w/a", QVIM_EVENT_CHANGED, 12, "0"});
    ASSERT_EQ(cJSON_GetArraySize(events), 1);
    const cJSON* update = cJSON_GetArrayItem(events, 0);
    EXPECT_EQ(text(update, "operationType"), "update");
    EXPECT_EQ(cJSON_GetObjectItem(update, "integrityEventId")->valuedouble, 2);
    EXPECT_EQ(attributeNames(update, "wasAttributes"), (std::vector<std::string>{"owner", "size"}));
    EXPECT_EQ(text(cJSON_GetArrayItem(cJSON_GetObjectItem(update, "wasAttributes"), 1), "value"), "10");
    EXPECT_EQ(text(cJSON_GetArrayItem(cJSON_GetObjectItem(update, "isAttributes"), 1), "value"), "12");
}

TEST_F(Events, UnchangedRowsAndUnwatchedChangesGiveNoEvent) {
    notify({"/w/a", QVIM_EVENT_CHANGED, 10, "0"});
    cJSON* events = notify({"/w/a", QVIM_EVENT_CHANGED, 10, "0"});
    EXPECT_EQ(cJSON_GetArraySize(events), 0);
    EXPECT_EQ(response.state, static_cast<uint32_t>(IM_MATCH_NO_EVENT));

    // growing flips with the size; the rule does not watch it.
    im_wrapper_event_s r = record({"/w/a", QVIM_EVENT_CHANGED, 10, "0"});
    r.lastModified = 5;
    cleanup_response_wrapper(&response);
    EXPECT_EQ(engine.integrityMonitor(1, r, response), QVIM_OK);
    EXPECT_EQ(std::string(response.json), "{\"events\":[]}");
    EXPECT_EQ(response.state, static_cast<uint32_t>(IM_MATCH_NO_EVENT));

    // Nothing watches /elsewhere: no write, no event.
    events = notify({"/elsewhere/x"});
    EXPECT_EQ(cJSON_GetArraySize(events), 0);
    EXPECT_EQ(response.state, static_cast<uint32_t>(IM_NO_RULE_MATCH));
    EXPECT_EQ(engine.getStats().Get("baselineRowInserts"), 1);
}

TEST_F(Events, RenamesIntoWithinAndOutOfTheWatchedArea) {
    cJSON* events = notify({"/elsewhere/a", QVIM_EVENT_RENAMED, 10, "0", "/w/a"});
    ASSERT_EQ(cJSON_GetArraySize(events), 1);
    EXPECT_EQ(text(cJSON_GetArrayItem(events, 0), "operationType"), "create");
    EXPECT_EQ(text(cJSON_GetArrayItem(events, 0), "key"), "/w/a");

    events = notify({"/w/a", QVIM_EVENT_RENAMED, 10, "0", "/w/b"});
    ASSERT_EQ(cJSON_GetArraySize(events), 1);
    const cJSON* rename = cJSON_GetArrayItem(events, 0);
    EXPECT_EQ(text(rename, "operationType"), "rename");
    EXPECT_EQ(text(rename, "key"), "/w/a -> /w/b");
    EXPECT_EQ(text(rename, "isKey"), "/w/b");
    EXPECT_EQ(text(rename, "wasKey"), "/w/a");

    events = notify({"/w/b", QVIM_EVENT_RENAMED, 10, "0", "/elsewhere/b"});
    ASSERT_EQ(cJSON_GetArraySize(events), 1);
    const cJSON* gone = cJSON_GetArrayItem(events, 0);
    EXPECT_EQ(text(gone, "operationType"), "delete");
    EXPECT_NE(cJSON_GetObjectItem(gone, "wasAttributes"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(gone, "isAttributes"), nullptr);
    EXPECT_EQ(engine.getStats().Get("baselineRowDeletes"), 1);

    events = notify({"/w/never", QVIM_EVENT_DELETED});
    EXPECT_EQ(cJSON_GetArraySize(events), 0);
    EXPECT_EQ(response.state, static_cast<uint32_t>(IM_MATCH_NO_EVENT));
}

TEST_F(Events, EnforcementAllowsListedUsersAndBlocksOthers) {
    Notification n{"/rt/f", 3};
    n.realTime = true;
    n.user = "alice";
    cJSON* events = notify(n, QVIM_VERDICT_BLOCK);
    ASSERT_EQ(cJSON_GetArraySize(events), 1);
    EXPECT_EQ(text(cJSON_GetArrayItem(events, 0), "operationType"), "block");
    EXPECT_EQ(text(cJSON_GetArrayItem(events, 0), "user"), "alice");
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Process user 'alice' found in rule: 0"));

    n.user = "root";
    events = notify(n, QVIM_VERDICT_ALLOW);
    EXPECT_EQ(cJSON_GetArraySize(events), 0);  // before the operation: nothing to report yet

    // Without the real-time flag nothing is enforced: a plain report.
    n.realTime = false;
    n.user = "alice";
    events = notify(n, QVIM_OK);
    ASSERT_EQ(cJSON_GetArraySize(events), 1);
    EXPECT_EQ(text(cJSON_GetArrayItem(events, 0), "operationType"), "create");
}

TEST_F(Events, TwoRulesGiveConsecutiveIdsAndTheLimitStopsAScan) {
    engine.getStats().Set("totalEvents", 41);
    cJSON* events = notify({"/two/x"});
    ASSERT_EQ(cJSON_GetArraySize(events), 2);
    std::vector<double> ids{cJSON_GetObjectItem(cJSON_GetArrayItem(events, 0), "integrityEventId")->valuedouble,
                            cJSON_GetObjectItem(cJSON_GetArrayItem(events, 1), "integrityEventId")->valuedouble};
    EXPECT_EQ(ids, (std::vector<double>{42, 43}));
    EXPECT_EQ(engine.getStats().Get("totalEvents"), 43);

    // A scan call: 1001 new files against a limit of 1000 events.
    JSONEvents scanEvents;
    im_wrapper_response_s scan{};
    for (int i = 0; i < 1001; ++i) {
        const im_wrapper_event_s r = record({"/w/s" + std::to_string(i)});
        EXPECT_EQ(QVIMEngine::integrityMonitor(engine, 1, &r, scanEvents, scan, 1000, nullptr), QVIM_OK);
    }
    EXPECT_EQ(scan.nEvents, 1000u);
    EXPECT_EQ(scanEvents.size(), 1000);
    EXPECT_EQ(scan.state, static_cast<uint32_t>(IM_MATCH_WITH_MAX_EVENTS));
}

TEST_F(Events, BadRecordsAreRefusedWithAState) {
    im_wrapper_event_s r = record({"/w/a"});
    r.entityType = "file";
    EXPECT_EQ(engine.integrityMonitor(1, r, response), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(response.state, static_cast<uint32_t>(IM_INVALID_PARAMETER));
    EXPECT_EQ(response.json, nullptr);

    r.entityType = "File";
    r.eventType = 6;
    EXPECT_EQ(engine.integrityMonitor(1, r, response), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(response.state, static_cast<uint32_t>(IM_INVALID_PARAMETER));
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "Unknown event type 5"));
    EXPECT_EQ(engine.getStats().Get("baselineRowInserts"), 0);

    // Null texts everywhere and a key full of JSON specials still give valid JSON.
    im_wrapper_event_s bare{};
    bare.entityType = "File";
    bare.eventType = QVIM_EVENT_CHANGED;
    const std::string awkward = "/w/\"q\"\\\n";
    bare.path = awkward.c_str();
    EXPECT_EQ(engine.integrityMonitor(1, bare, response), QVIM_OK);
    Json parsed = parseJson(response.json);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(text(cJSON_GetArrayItem(cJSON_GetObjectItem(parsed.get(), "events"), 0), "key"), awkward);
}

TEST_F(Events, BufferedStoresAreWrittenPast1000AndAFailedBatchRollsBack) {
    for (int i = 0; i < 1000; ++i) {
        const im_wrapper_event_s r = record({"/w/b" + std::to_string(i)});
        ASSERT_EQ(engine.storeItem(r, true, response), QVIM_OK);
    }
    EXPECT_EQ(engine.getStats().Get("baselineItemsAdded"), 0);
    const im_wrapper_event_s last = record({"/w/b1000"});
    ASSERT_EQ(engine.storeItem(last, true, response), QVIM_OK);
    EXPECT_EQ(response.nItemsScanned, 1001u);
    EXPECT_EQ(engine.getStats().Get("baselineItemsAdded"), 1001);

    // Unwatched entities are not buffered at all.
    const im_wrapper_event_s stray = record({"/elsewhere/x"});
    ASSERT_EQ(engine.storeItem(stray, true, response), QVIM_OK);
    EXPECT_EQ(response.state, static_cast<uint32_t>(IM_NO_RULE_MATCH));

    for (const char* key : {"/w/n1", "/w/n2", "/w/b5", "/w/n3"}) {
        const im_wrapper_event_s r = record({key});
        ASSERT_EQ(engine.storeItem(r, true, response), QVIM_OK);
    }
    unsigned long written = 0;
    EXPECT_EQ(engine.flushDBBuffer(written), QVIM_E_FAILED);
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(engine.getStats().Get("baselineItemsAdded"), 1003);
    // The batch is gone from the table; the failing record waits at the front.
    im_wrapper_response_s probe{};
    const im_wrapper_event_s n1 = record({"/w/n1"});
    ASSERT_EQ(engine.storeItem(n1, false, probe), QVIM_OK);
    written = 0;
    EXPECT_EQ(engine.flushDBBuffer(written), QVIM_E_FAILED);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(loggedContaining("with key '/w/b5'"));
}

TEST_F(Events, UnscannedRowsAreReportedAsDeletesBeforeEarlierEvents) {
    notify({"/w/old"});
    notify({"/w/kept"});
    sqlite3_exec(engine.getDAL().db(), "UPDATE EntityFileItems SET scanTime = 100 WHERE key='/w/old'", nullptr, nullptr,
                 nullptr);
    im_wrapper_response_s cleanup{};
    cleanup.json = cJSON_PrintUnformatted(document.get());  // the create of /w/kept is already there
    ASSERT_TRUE(engine.fileTable()->deleteUnscanned(101, cleanup));
    Json merged = parseJson(cleanup.json);
    ASSERT_TRUE(merged);
    const cJSON* events = cJSON_GetObjectItem(merged.get(), "events");
    ASSERT_EQ(cJSON_GetArraySize(events), 2);
    const cJSON* deleted = cJSON_GetArrayItem(events, 0);
    EXPECT_EQ(text(deleted, "operationType"), "delete");
    EXPECT_EQ(text(deleted, "key"), "/w/old");
    EXPECT_EQ(attributeNames(deleted, "wasAttributes"), (std::vector<std::string>{"owner", "size"}));
    EXPECT_EQ(cJSON_GetObjectItem(deleted, "isAttributes"), nullptr);
    EXPECT_EQ(text(cJSON_GetArrayItem(events, 1), "key"), "/w/kept");
    EXPECT_EQ(cleanup.nItemsScanned, 1u);
    cleanup_response_wrapper(&cleanup);
}

}  // namespace
