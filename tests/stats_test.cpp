// Counters, the metrics document and the statistics carried across restarts.
#include <string>

#include <gtest/gtest.h>

#include "IMEngineHandleConcrete.h"
#include "QVIMStats.h"
#include "TestSupport.h"

using namespace qvim_test;

namespace {

std::vector<std::string> memberNames(const cJSON* object) {
    std::vector<std::string> names;
    for (const cJSON* item = object != nullptr ? object->child : nullptr; item != nullptr; item = item->next)
        names.emplace_back(item->string);
    return names;
}

im_engine_init_s initFor(const char* path) {
    im_engine_init_s init{};
    init.dbPath = path;
    init.logCallback = captureLog;
    init.logLevel = 15;
    return init;
}

}  // namespace

TEST(Stats, TypedMapsPrefixesAndCopies) {
    QVIMStats stats;
    EXPECT_EQ(stats.Get("never"), 0);
    stats.SetType(4, "12", 1);
    stats.SetType(4, "123", 1);
    stats.SetType(4, "12x", 1);
    stats.SetType(4, "212", 1);
    stats.ClearType(4, "12");
    EXPECT_EQ(stats.GetType(4, "12"), 0);
    EXPECT_EQ(stats.GetType(4, "123"), 0);
    EXPECT_EQ(stats.GetType(4, "12x"), 0);
    EXPECT_EQ(stats.GetType(4, "212"), 1);

    stats.SetType(3, "r1", 2);
    stats.SetType(4, "r1", 5);
    EXPECT_TRUE(stats.CopyRulesetMap(3, 4));
    EXPECT_EQ(stats.GetType(4, "r1"), 7);
    EXPECT_EQ(stats.GetType(3, "r1"), 2);
    EXPECT_FALSE(stats.CopyRulesetMap(3, 5));
    EXPECT_FALSE(stats.CopyRulesetMap(1, 4));

    stats.SetType(9, "ignored", 1);
    EXPECT_EQ(stats.GetType(9, "ignored"), 0);
    stats.ClearMap(3);
    EXPECT_EQ(stats.GetType(3, "r1"), 0);
    stats.Inc("totalEvents");
    stats.Inc("totalEvents");
    EXPECT_EQ(stats.Get("totalEvents"), 2);
    stats.ClearMap(5);
    EXPECT_EQ(stats.Get("totalEvents"), 0);
}

TEST(Stats, MetricsDocumentShapeAndRuleLimit) {
    IMEngineHandleConcrete engine;
    ASSERT_EQ(engine.engineStart(initFor("metrics.db")), QVIM_OK);
    QVIMStats& stats = engine.getStats();
    stats.Set("totalEvents", 3);
    stats.Set("baselineRowInserts", 9);
    for (int i = 0; i < 150; ++i) stats.SetType(3, "rule" + std::to_string(1000 + i), i);
    stats.SetType(4, "old", 4);

    char* text = nullptr;
    ASSERT_EQ(engine.getMetricsMem(&text), QVIM_OK);
    Json doc = parseJson(text);
    free(text);
    ASSERT_TRUE(doc);
    EXPECT_EQ(memberNames(doc.get()), std::vector<std::string>{"metrics"});
    const cJSON* metrics = cJSON_GetObjectItemCaseSensitive(doc.get(), "metrics");
    EXPECT_EQ(memberNames(metrics),
              (std::vector<std::string>{"baselineRowInserts", "totalEvents", "assignedRules", "unassignedRules",
                                        "totalAssignedRules", "dbinfo", "integrityMonitorState"}));
    const cJSON* assigned = cJSON_GetObjectItemCaseSensitive(metrics, "assignedRules");
    auto names = memberNames(assigned);
    ASSERT_EQ(names.size(), 100u);
    EXPECT_EQ(names.front(), "rule1000");
    EXPECT_EQ(names.back(), "rule1099");
    EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItemCaseSensitive(metrics, "totalAssignedRules")), 150);

    const cJSON* dbinfo = cJSON_GetObjectItemCaseSensitive(metrics, "dbinfo");
    EXPECT_EQ(memberNames(dbinfo),
              (std::vector<std::string>{"dbsize", "fileItemCount", "directoryItemCount", "userItemCount",
                                        "userGroupItemCount", "portItemCount", "installedSoftwareItemCount",
                                        "processItemCount"}));
    EXPECT_GT(cJSON_GetNumberValue(cJSON_GetObjectItemCaseSensitive(dbinfo, "dbsize")), 0);
    EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItemCaseSensitive(dbinfo, "fileItemCount")), 0);

    const cJSON* state = cJSON_GetObjectItemCaseSensitive(metrics, "integrityMonitorState");
    EXPECT_EQ(memberNames(state).size(), 15u);
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(state, "baselineBytesAdded")), "-1");
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(state, "ruleset"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(state, "metrics"), nullptr);
    EXPECT_EQ(engine.getMetricsMem(nullptr), QVIM_E_BAD_PARAMETER);

    // A database file deleted underneath: the size part fails, the counts still come.
    ASSERT_EQ(unlink("metrics.db"), 0);
    ASSERT_EQ(engine.getMetricsMem(&text), QVIM_OK);
    doc = parseJson(text);
    free(text);
    dbinfo = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(doc.get(), "metrics"), "dbinfo");
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(dbinfo, "dbsize"), nullptr);
    EXPECT_NE(cJSON_GetObjectItemCaseSensitive(dbinfo, "fileItemCount"), nullptr);
    engine.engineStop();
}

TEST(Stats, CountersSurviveAStopAndStart) {
    {
        IMEngineHandleConcrete engine;
        ASSERT_EQ(engine.engineStart(initFor("persist.db")), QVIM_OK);
        EXPECT_TRUE(logged(QVIM_LOG_TRACE, "No Metrics to Set"));
        engine.getStats().Set("totalEvents", 41);
        engine.getStats().SetType(3, "1 - watch etc", 6);
        engine.getStats().SetType(4, "gone", 2);
        EXPECT_EQ(engine.engineStop(), QVIM_OK);
    }
    clearCapturedLog();
    IMEngineHandleConcrete engine;
    ASSERT_EQ(engine.engineStart(initFor("persist.db")), QVIM_OK);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "SetMetricsFromPersistence success"));
    EXPECT_TRUE(loggedContaining("persisted metrics size "));
    EXPECT_FALSE(logged(QVIM_LOG_TRACE, "persisted metrics size 0"));
    EXPECT_EQ(engine.getStats().Get("totalEvents"), 41);
    EXPECT_EQ(engine.getStats().GetType(3, "1 - watch etc"), 6);
    EXPECT_EQ(engine.getStats().GetType(4, "gone"), 2);
    engine.engineStop();
}

TEST(Stats, PersistedTextsThatDoNotFitAreIgnoredOrAppliedInPart) {
    QVIMStats stats;
    EXPECT_TRUE(stats.SetMetricsFromPersistence("not json"));
    EXPECT_FALSE(stats.SetMetricsFromPersistence("{}"));
    EXPECT_FALSE(stats.SetMetricsFromPersistence(R"({"metrics":{"totalEvents":5.9,"assignedRules":{"a":1}}})"));
    EXPECT_EQ(stats.Get("totalEvents"), 5);
    EXPECT_EQ(stats.GetType(3, "a"), 1);
    EXPECT_TRUE(stats.SetMetricsFromPersistence(
        R"({"metrics":{"totalEvents":-2.5,"text":"x","assignedRules":{},"unassignedRules":{"b":3}}})"));
    EXPECT_EQ(stats.Get("totalEvents"), -2);
    EXPECT_EQ(stats.GetType(4, "b"), 3);
    EXPECT_EQ(stats.Get("text"), 0);
}
