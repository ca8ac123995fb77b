// Counters, the metrics document and the statistics carried across restarts.
#include <string>

#include <gtest/gtest.h>

#include "IMEngineHandleConcrete.h"
#include "QVIMStats.h"
#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

using Names = std::vector<std::string>;

// The metrics document of an engine, and one of its members.
Json metricsOf(IMEngineHandleConcrete& engine) {
    char* text = nullptr;
    EXPECT_EQ(engine.getMetricsMem(&text), QVIM_OK);
    Json doc = parseJson(text);
    free(text);
    return doc;
}
const cJSON* member(const cJSON* object, const char* name) { return cJSON_GetObjectItemCaseSensitive(object, name); }

}  // namespace

TEST(Stats, TypedMapsPrefixesAndCopies) {
    QVIMStats stats;
    // A prefix clears the names that begin with it, nothing else.
    for (const char* name : {"12", "123", "12x", "212"}) stats.SetType(4, name, 1);
    stats.ClearType(4, "12");
    std::string left;
    for (const char* name : {"12", "123", "12x", "212"}) left += std::to_string(stats.GetType(4, name));
    EXPECT_EQ(left, "0001");

    // A copy adds to the target and keeps the source; maps 3 and 4 only.
    stats.SetType(3, "r1", 2);
    stats.SetType(4, "r1", 5);
    EXPECT_TRUE(stats.CopyRulesetMap(3, 4));
    EXPECT_FALSE(stats.CopyRulesetMap(3, 5) || stats.CopyRulesetMap(1, 4));
    EXPECT_EQ(stats.GetType(4, "r1"), 7);
    EXPECT_EQ(stats.GetType(3, "r1"), 2);
    stats.ClearMap(3);
    EXPECT_EQ(stats.GetType(3, "r1"), 0);
}

TEST(Stats, MetricsDocumentShapeAndRuleLimit) {
    IMEngineHandleConcrete engine;
    ASSERT_EQ(engine.engineStart(captureInit("metrics.db")), QVIM_OK);
    QVIMStats& stats = engine.getStats();
    stats.Set("totalEvents", 3);
    stats.Set("baselineRowInserts", 9);
    for (int i = 0; i < 150; ++i) stats.SetType(3, "rule" + std::to_string(1000 + i), i);
    stats.SetType(4, "old", 4);

    Json doc = metricsOf(engine);
    ASSERT_TRUE(doc);
    EXPECT_EQ(memberNames(doc.get()), Names{"metrics"});
    const cJSON* metrics = member(doc.get(), "metrics");
    EXPECT_EQ(memberNames(metrics), (Names{"baselineRowInserts", "totalEvents", "assignedRules", "unassignedRules",
                                           "totalAssignedRules", "dbinfo", "integrityMonitorState"}));
    const Names assigned = memberNames(member(metrics, "assignedRules"));
    ASSERT_EQ(assigned.size(), 100u);
    EXPECT_EQ(assigned.front(), "rule1000");
    EXPECT_EQ(assigned.back(), "rule1099");
    EXPECT_EQ(cJSON_GetNumberValue(member(metrics, "totalAssignedRules")), 150);

    const cJSON* dbinfo = member(metrics, "dbinfo");
    EXPECT_EQ(memberNames(dbinfo), (Names{"dbsize", "fileItemCount", "directoryItemCount", "userItemCount",
                                          "userGroupItemCount", "portItemCount", "installedSoftwareItemCount",
                                          "processItemCount"}));
    EXPECT_GT(cJSON_GetNumberValue(member(dbinfo, "dbsize")), 0);
    EXPECT_EQ(cJSON_GetNumberValue(member(dbinfo, "fileItemCount")), 0);

    const cJSON* state = member(metrics, "integrityMonitorState");
    EXPECT_EQ(memberNames(state).size(), 15u);
    EXPECT_STREQ(cJSON_GetStringValue(member(state, "baselineBytesAdded")), "-1");
    EXPECT_EQ(member(state, "ruleset"), nullptr);
    EXPECT_EQ(member(state, "metrics"), nullptr);
    EXPECT_EQ(engine.getMetricsMem(nullptr), QVIM_E_BAD_PARAMETER);

    // A database file deleted underneath: the size part fails, the counts still come.
    ASSERT_EQ(unlink("metrics.db"), 0);
    doc = metricsOf(engine);
    dbinfo = member(member(doc.get(), "metrics"), "dbinfo");
    EXPECT_EQ(member(dbinfo, "dbsize"), nullptr);
    EXPECT_NE(member(dbinfo, "fileItemCount"), nullptr);
    engine.engineStop();
}

TEST(Stats, CountersSurviveAStopAndStart) {
    {
        IMEngineHandleConcrete engine;
        ASSERT_EQ(engine.engineStart(captureInit("persist.db")), QVIM_OK);
        EXPECT_TRUE(logged(QVIM_LOG_TRACE, "No Metrics to Set"));
        engine.getStats().Set("totalEvents", 41);
        engine.getStats().SetType(3, "1 - watch etc", 6);
        engine.getStats().SetType(4, "gone", 2);
        EXPECT_EQ(engine.engineStop(), QVIM_OK);
    }
    clearCapturedLog();
    IMEngineHandleConcrete engine;
    ASSERT_EQ(engine.engineStart(captureInit("persist.db")), QVIM_OK);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "SetMetricsFromPersistence success"));
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
