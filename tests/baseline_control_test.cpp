// Baseline periods through the exported functions: what a start purges
// (everything, or what a ruleset change touched) and what an end records.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

const char* const kDb = "test.db";

// Rules 1 (files under filesBase) and 3 (users) as given; rules 2 and 4 never change.
std::string ruleset(const char* filesHash, const char* filesBase, const char* usersHash, const char* usersIncludes) {
    return std::string(R"({"IntegrityRules":[{"id":1,"hash":")") + filesHash +
           R"(","EntitySets":[{"entityType":"File","base":")" + filesBase + R"("}]},)" +
           R"({"id":2,"hash":"h2","EntitySets":[{"entityType":"File","base":"/srv/"}]},)" +
           R"({"id":3,"hash":")" + usersHash + R"(","EntitySets":[{"entityType":"User","includes":")" + usersIncludes +
           R"("}]},)" +
           R"({"id":4,"hash":"h4","EntitySets":[{"entityType":"Group"},{"entityType":"Directory","base":"/data/"}]}]})";
}

// Rows of files, directories, users and groups.
std::vector<long long> counts() {
    std::vector<long long> out;
    for (const char* table : {"EntityFileItems", "EntityDirectoryItems", "EntityUserItems", "EntityUserGroupItems"})
        out.push_back(std::stoll(queryFile(kDb, std::string("SELECT COUNT(*) FROM ") + table)));
    return out;
}

std::string fileKeys() {
    return queryFile(kDb, "SELECT group_concat(key, '|') FROM (SELECT key FROM EntityFileItems ORDER BY key)");
}

using Counts = std::vector<long long>;

class BaselineControl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(startEngine(kDb), QVIM_OK);
        ASSERT_EQ(set_ruleset(true, ruleset("h1", "/data/", "h3", "*").c_str(), "g"), QVIM_OK);
        set_baselinescan(true);
        uint64_t size = 10;
        for (const char* path : {"/data/a/1", "/data/b/2", "/srv/keep"}) {
            im_wrapper_event_s file = entities.make("File", path);
            file.size = size += 10;
            ASSERT_TRUE(Entities::store(file, true));  // written by the end of the period
        }
        for (const char* kind : {"Directory", "User", "Group"})
            ASSERT_TRUE(Entities::store(entities.make(kind, kind[0] == 'D' ? "/data/a" : "alice")));
        set_baselinescan(false);
    }
    void TearDown() override { engine_stop(); }

    Entities entities;
};

}  // namespace

TEST_F(BaselineControl, StartPurgesWhatTheNextBaselineRebuildsAndTheEndRecordsIt) {
    EXPECT_EQ(counts(), (Counts{3, 1, 1, 1}));
    EXPECT_EQ(setting("baselineItemsAdded"), "6");
    EXPECT_EQ(setting("baselineBytesAdded"), "90");
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "set_baselinescan false baselineItemsAdded 6 baselineBytesAdded 90"));

    // The files and users rules change: a partial baseline of both kinds
    // purges the users and every file or directory under /data/.
    ASSERT_EQ(set_ruleset(true, ruleset("h1b", "/data/x/", "h3b", "bob").c_str(), "g"), QVIM_OK);
    ASSERT_EQ(setting("baselineScanType"), "1");
    set_baselinescan(true);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Partial baseline scan selected; partial purge"));
    EXPECT_EQ(counts(), (Counts{1, 0, 0, 1}));
    EXPECT_EQ(fileKeys(), "/srv/keep");
    EXPECT_EQ(setting("baselineItemsAdded"), "0");
    EXPECT_EQ(set_integrityscan(true), QVIM_E_BASELINE_ACTIVE);
    set_baselinescan(false);
    EXPECT_EQ(setting("baselineScanType"), "0");
    EXPECT_EQ(set_integrityscan(true), QVIM_OK);
    EXPECT_EQ(set_integrityscan(false), QVIM_OK);

    // Partial mode is over: the next start empties everything and the row
    // ids begin again.
    clearCapturedLog();
    set_baselinescan(true);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "Full baseline scan selected; full purge"));
    EXPECT_EQ(counts(), (Counts{0, 0, 0, 0}));
    ASSERT_TRUE(Entities::store(entities.make("File", "/srv/new")));
    EXPECT_EQ(queryFile(kDb, "SELECT entityItemId FROM EntityFileItems"), "1");
    set_baselinescan(false);
}

TEST_F(BaselineControl, PartialSettingsAreReadDefensively) {
    // Kind names trimmed, unknown ones dropped; purge paths unescaped, and an
    // empty piece (a prefix of every key) ignored.
    ASSERT_EQ(set_im_state("baselineScanType", "1"), QVIM_OK);
    ASSERT_EQ(set_im_state("partialBaseLineScanEntityTypes", " Group , Bogus,File"), QVIM_OK);
    ASSERT_EQ(set_im_state("partialBaselinePurgePathsDisk", "/data/a/;;%2fsrv%2f"), QVIM_OK);
    set_baselinescan(true);
    EXPECT_EQ(counts(), (Counts{1, 1, 1, 0}));
    EXPECT_EQ(fileKeys(), "/data/b/2");
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "Receiving unknown entity type: 'Bogus'"));
    set_baselinescan(false);

    // Unreadable kinds: nothing is purged, yet the period starts.
    ASSERT_EQ(set_im_state("baselineScanType", "1"), QVIM_OK);
    execFile(kDb, "DELETE FROM IntegrityMonitorState WHERE settingName='partialBaseLineScanEntityTypes'");
    set_baselinescan(true);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Unable to get partial state variable 'partialBaseLineScanEntityTypes'"));
    EXPECT_EQ(counts(), (Counts{1, 1, 1, 0}));
    EXPECT_EQ(set_integrityscan(true), QVIM_E_BASELINE_ACTIVE);
    set_baselinescan(false);

    // An unreadable scan type means a full baseline.
    execFile(kDb, "DELETE FROM IntegrityMonitorState WHERE settingName='baselineScanType'");
    set_baselinescan(true);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Unable to get partial base list baselineScanType"));
    EXPECT_EQ(counts(), (Counts{0, 0, 0, 0}));
    set_baselinescan(false);
}
