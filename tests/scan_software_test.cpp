// The installed-software scanner against a private package database built
// with the rpm tools.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "scan_capture.h"

using namespace qvim_test;

namespace {

class InstalledSoftware : public ScannerTest {
protected:
    void SetUp() override {
        if (PrivateRpmDatabase::toolsMissing()) GTEST_SKIP() << "rpm tools are not installed";
        ScannerTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(rpm.create());
    }
    PrivateRpmDatabase rpm;
};

TEST_F(InstalledSoftware, PackagesOfThePrivateDatabaseAreRecordedUntilOneFails) {
    const std::string longVersion(150, 'v');
    const std::string longRelease(140, 'r');
    ASSERT_NO_FATAL_FAILURE(rpm.add({"qvtest-alpha", "1.0", "3"}));
    ASSERT_NO_FATAL_FAILURE(rpm.add({"qvtest-alpha", "2.0", "3", true}));
    ASSERT_NO_FATAL_FAILURE(rpm.add({"qvtest-long", longVersion, longRelease}));
    ASSERT_NO_FATAL_FAILURE(rpm.add({"qvtest-norel", "1.2", "1"}));
    ASSERT_NO_FATAL_FAILURE(rpm.dropRelease("qvtest-norel"));
    ASSERT_EQ(0, setenv("TZ", "UTC", 1));
    tzset();

    ASSERT_EQ("ok, events", outcome(&CapturingScanner::scanInstalledSoftware, SCAN_BASELINE));
    ASSERT_EQ(4u, scanner.records.size());

    // Two versions of one package are two records; each part of the version
    // text keeps at most 128 characters, and a package without a release is
    // keyed by its name alone; the install time is the one the rpm tool
    // reports, in local time (UTC here).
    const std::string cut = longVersion.substr(0, 128) + "-" + longRelease.substr(0, 128);
    const struct {
        std::string name, version, size, installedAs;
    } expected[] = {{"qvtest-alpha", "1.0-3", "0", "qvtest-alpha-1.0-3"},
                    {"qvtest-alpha", "2.0-3", "5", "qvtest-alpha-2.0-3"},
                    {"qvtest-long", cut, "0", "qvtest-long"},
                    {"qvtest-norel", "<null>", "0", "qvtest-norel"}};
    for (const auto& package : expected) {
        const std::string key = package.version == "<null>" ? package.name : package.name + "-" + package.version;
        const auto installed = run("date -ud @$(rpm --dbpath " + rpm.path + " -q --qf '%{INSTALLTIME}' " +
                                   package.installedAs + ") '+%F %T'");
        ASSERT_EQ(1u, installed.size()) << key;
        const Captured* record = scanner.find(key);
        ASSERT_NE(nullptr, record) << key;
        EXPECT_EQ(joined({"InstalledSoftware", key, package.name, package.version, "Test Vendor", installed[0], package.size}),
                  joined({record->entityType, record->name, record->displayName, record->version, record->manufacturer,
                          record->installedDate, std::to_string(record->record.size)}));
    }
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "Error getting version for package 'qvtest-norel'"));

    scanner.records.clear();
    scanner.onRecord = [](const Captured&) { return false; };
    EXPECT_EQ("failed", outcome(&CapturingScanner::scanInstalledSoftware, SCAN_CHANGE));
    EXPECT_EQ(1u, scanner.records.size());
}

// A host with librpm but no package database has no software from rpm: the
// scan succeeds with no records, and looking creates nothing (librpm would
// create a database even to answer a query).
class NoRpmDatabase : public InstalledSoftware {
protected:
    void expectNoPackages() {
        im_wrapper_response_s response{};
        ASSERT_TRUE(scanner.scanInstalledSoftware(1, SCAN_CHANGE, &response));
        const Json events = parseJson(response.json);
        free_json_string(response.json);
        ASSERT_TRUE(events);
        EXPECT_EQ(0, cJSON_GetArraySize(cJSON_GetObjectItem(events.get(), "events")));
        EXPECT_TRUE(scanner.records.empty());
        EXPECT_FALSE(loggedContaining("Error opening RPN db"));
        EXPECT_FALSE(loggedContaining("RPM open failed"));
        struct stat st;
        EXPECT_NE(0, stat((rpm.home + "/.rpmdb").c_str(), &st));
    }
};

TEST_F(NoRpmDatabase, NoFolder) {
    const std::string missing = testDirectory() + "/no-database";
    rpm.pointAt(missing);
    expectNoPackages();
    struct stat st;
    EXPECT_NE(0, stat(missing.c_str(), &st)) << "no database was created";
}

TEST_F(NoRpmDatabase, EmptyFolder) {
    const std::string empty = testDirectory() + "/empty";
    ASSERT_EQ(0, mkdir(empty.c_str(), 0755));
    rpm.pointAt(empty);
    expectNoPackages();
    EXPECT_TRUE(run("ls -A " + empty).empty()) << "no database was created";
}

}  // namespace
