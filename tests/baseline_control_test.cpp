// Baseline periods through the exported functions: what the start purges
// (everything, or what a ruleset change touched), the refused integrity-scan
// switch while a period is active, and what the end records.
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

const char* const kDb = "test.db";

// Rules 1 and 3 change between the two rulesets; the others keep their hash.
const char* const kRulesetA = R"({"IntegrityRules":[
  {"id":1,"hash":"h1","EntitySets":[{"entityType":"File","base":"/data/"}]},
  {"id":2,"hash":"h2","EntitySets":[{"entityType":"File","base":"/srv/"}]},
  {"id":3,"hash":"h3","EntitySets":[{"entityType":"User"}]},
  {"id":4,"hash":"h4","EntitySets":[{"entityType":"Group"}]},
  {"id":5,"hash":"h5","EntitySets":[{"entityType":"Directory","base":"/data/"}]},
  {"id":6,"hash":"h6","EntitySets":[{"entityType":"File","base":"/odd;dir/"}]},
  {"id":7,"hash":"h7","EntitySets":[{"entityType":"Process"}]}]})";
const char* const kRulesetB = R"({"IntegrityRules":[
  {"id":1,"hash":"h1b","EntitySets":[{"entityType":"File","base":"/data/x/"}]},
  {"id":2,"hash":"h2","EntitySets":[{"entityType":"File","base":"/srv/"}]},
  {"id":3,"hash":"h3b","EntitySets":[{"entityType":"User","includes":"bob"}]},
  {"id":4,"hash":"h4","EntitySets":[{"entityType":"Group"}]},
  {"id":5,"hash":"h5","EntitySets":[{"entityType":"Directory","base":"/data/"}]},
  {"id":6,"hash":"h6","EntitySets":[{"entityType":"File","base":"/odd;dir/"}]},
  {"id":7,"hash":"h7","EntitySets":[{"entityType":"Process"}]}]})";

// Keys of the stored files, sorted, joined by '|'.
std::string fileKeys() {
    return queryFile(kDb, "SELECT group_concat(key, '|') FROM (SELECT key FROM EntityFileItems ORDER BY key)");
}

long long rows(const char* table) {
    return std::stoll(queryFile(kDb, std::string("SELECT COUNT(*) FROM ") + table));
}

class BaselineControl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(startEngine(kDb), QVIM_OK);
        ASSERT_EQ(set_ruleset(true, kRulesetA, "g"), QVIM_OK);
        ASSERT_EQ(setting("baselineScanType"), "0");
    }
    void TearDown() override { engine_stop(); }

    // Builds the baseline of ruleset A: three files (sizes 10, 20, 30), one
    // each of directory, user, group and process; the files buffered.
    void buildBaseline() {
        set_baselinescan(true);
        im_wrapper_response_s response{};
        uint64_t size = 10;
        for (const char* path : {"/data/a/1", "/data/b/2", "/srv/keep"}) {
            im_wrapper_event_s file = entities.make("File", path);
            file.size = size;
            size += 10;
            ASSERT_EQ(store_item(&file, true, &response), QVIM_OK);
        }
        ASSERT_TRUE(Entities::store(entities.make("File", "/odd;dir/f")));
        ASSERT_TRUE(Entities::store(entities.make("Directory", "/data/a")));
        ASSERT_TRUE(Entities::store(entities.make("User", "alice")));
        ASSERT_TRUE(Entities::store(entities.make("Group", "staff")));
        im_wrapper_event_s process = entities.make("Process", "1-init");
        process.process = "init";
        ASSERT_TRUE(Entities::store(process));
        set_baselinescan(false);
    }

    // File, directory, user, group and process rows.
    std::vector<long long> counts() {
        return {rows("EntityFileItems"), rows("EntityDirectoryItems"), rows("EntityUserItems"),
                rows("EntityUserGroupItems"), rows("EntityProcessItems")};
    }

    Entities entities;
};

using Counts = std::vector<long long>;

}  // namespace

TEST_F(BaselineControl, EndWritesBufferedItemsAndRecordsTheCounters) {
    buildBaseline();
    EXPECT_EQ(counts(), (Counts{4, 1, 1, 1, 1}));
    EXPECT_EQ(setting("baselineItemsAdded"), "8");
    EXPECT_EQ(setting("baselineBytesAdded"), "60");
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "set_baselinescan false baselineItemsAdded 8 baselineBytesAdded 60"));

    // The integrity-scan switch is refused only inside a period.
    EXPECT_EQ(set_integrityscan(true), QVIM_OK);
    EXPECT_EQ(set_integrityscan(false), QVIM_OK);
    set_baselinescan(true);
    EXPECT_EQ(set_integrityscan(true), QVIM_E_BASELINE_ACTIVE);
    EXPECT_EQ(setting("baselineItemsAdded"), "0");
    EXPECT_EQ(setting("baselineBytesAdded"), "0");
    set_baselinescan(false);
    EXPECT_EQ(set_integrityscan(true), QVIM_OK);
    set_integrityscan(false);
}

TEST_F(BaselineControl, FullPurgeEmptiesEveryKindAndRestartsTheIds) {
    buildBaseline();
    clearCapturedLog();
    set_baselinescan(true);
    EXPECT_EQ(counts(), (Counts{0, 0, 0, 0, 0}));
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Full baseline scan selected; full purge"));
    ASSERT_TRUE(Entities::store(entities.make("File", "/data/new")));
    EXPECT_EQ(queryFile(kDb, "SELECT entityItemId FROM EntityFileItems"), "1");
    set_baselinescan(false);
}

TEST_F(BaselineControl, PartialPurgeRemovesOnlyWhatTheRulesetChangeTouched) {
    buildBaseline();
    ASSERT_EQ(set_ruleset(true, kRulesetB, "g"), QVIM_OK);
    ASSERT_EQ(setting("baselineScanType"), "1");

    clearCapturedLog();
    set_baselinescan(true);
    // File and User changed: the users go, and the file and directory rows
    // under the changed base's top-level folder /data/.
    EXPECT_EQ(counts(), (Counts{2, 0, 0, 1, 1}));
    EXPECT_EQ(fileKeys(), "/odd;dir/f|/srv/keep");
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Partial baseline scan selected; partial purge"));
    EXPECT_FALSE(loggedContaining("full purge"));
    EXPECT_EQ(set_integrityscan(true), QVIM_E_BASELINE_ACTIVE);

    ASSERT_TRUE(Entities::store(entities.make("User", "bob")));
    set_baselinescan(false);
    EXPECT_EQ(setting("baselineScanType"), "0");
    EXPECT_EQ(setting("baselineItemsAdded"), "1");

    // Partial mode is over: the next period rebuilds everything.
    set_baselinescan(true);
    EXPECT_EQ(counts(), (Counts{0, 0, 0, 0, 0}));
    set_baselinescan(false);
}

TEST_F(BaselineControl, PartialSettingsAreReadDefensively) {
    buildBaseline();
    ASSERT_EQ(set_im_state("baselineScanType", "1"), QVIM_OK);

    // Kinds are trimmed, unknown names dropped; the purge paths are
    // unescaped and an empty piece purges nothing.
    ASSERT_EQ(set_im_state("partialBaseLineScanEntityTypes", " Group , Bogus,File"), QVIM_OK);
    ASSERT_EQ(set_im_state("partialBaselinePurgePathsDisk", "/data/a/;;/odd%3bdir/"), QVIM_OK);
    set_baselinescan(true);
    EXPECT_EQ(counts(), (Counts{2, 1, 1, 0, 1}));
    EXPECT_EQ(fileKeys(), "/data/b/2|/srv/keep");
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "Receiving unknown entity type: 'Bogus'"));
    set_baselinescan(false);

    // An unreadable kinds list purges nothing, yet the period starts.
    ASSERT_EQ(set_im_state("baselineScanType", "1"), QVIM_OK);
    execFile(kDb, "DELETE FROM IntegrityMonitorState WHERE settingName='partialBaseLineScanEntityTypes'");
    set_baselinescan(true);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Unable to get partial state variable 'partialBaseLineScanEntityTypes'"));
    EXPECT_EQ(counts(), (Counts{2, 1, 1, 0, 1}));
    EXPECT_EQ(set_integrityscan(true), QVIM_E_BASELINE_ACTIVE);
    set_baselinescan(false);

    // An unreadable scan type counts as a full baseline.
    execFile(kDb, "DELETE FROM IntegrityMonitorState WHERE settingName='baselineScanType'");
    set_baselinescan(true);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Unable to get partial base list baselineScanType"));
    EXPECT_EQ(counts(), (Counts{0, 0, 0, 0, 0}));
    set_baselinescan(false);
}
