// Numbers from hosts and from the persisted statistics are not bounded by
// anything: counters fed by them stop at their limit instead of overflowing.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "baseline_support.h"
#include "robust_support.h"

using namespace qvim_test;

namespace {
const char* const kRules =
    R"({"IntegrityRules":[{"id":1,"name":"f","EntitySets":[{"entityType":"File","base":"/f","includes":"*"}]}]})";
}  // namespace

TEST(HostileRecords, CountersStopAtTheirLimitWhateverSizesAndSavedValuesSay) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    ASSERT_EQ(set_ruleset(false, kRules, "g"), QVIM_OK);
    Entities records;
    set_baselinescan(true);
    for (const char* key : {"/f/a", "/f/b", "/f/c"}) {
        im_wrapper_event_s record = records.make("File", key);
        record.size = 1ULL << 62;
        ASSERT_TRUE(Entities::store(record));
    }
    set_baselinescan(false);
    EXPECT_EQ(setting("baselineBytesAdded"), "9223372036854775807");
    engine_stop();

    // Saved statistics at the limit of the event counter.
    execFile("test.db", R"(UPDATE IntegrityMonitorState SET settingValue = '{"metrics":{"totalEvents":1e300}}'
                           WHERE settingName = 'metrics')");
    ASSERT_EQ(startEngine(), QVIM_OK);
    ASSERT_EQ(set_ruleset(false, kRules, "g"), QVIM_OK);
    im_wrapper_event_s changed = records.make("File", "/f/a");
    changed.size = 1;
    im_wrapper_response_s response{};
    ASSERT_EQ(integrity_monitor(1, &changed, &response), QVIM_OK);
    Json events = parseJson(response.json);
    cleanup_response_wrapper(&response);
    const cJSON* event = cJSON_GetArrayItem(cJSON_GetObjectItem(events.get(), "events"), 0);
    EXPECT_GT(cJSON_GetNumberValue(cJSON_GetObjectItem(event, "integrityEventId")), 9.2e18);

    const Json document = metricsDocument();
    EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(cJSON_GetObjectItem(document.get(), "metrics"), "totalEvents")),
              9223372036854775807.0);
    engine_stop();
}
