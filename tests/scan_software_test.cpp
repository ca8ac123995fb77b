// The installed-software scanner against a private package database built
// with the rpm tools: the engine is pointed at it through the macros file of
// a temporary home folder (each test runs in its own process, and librpm
// reads its configuration once per process).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "scan_capture.h"

using namespace qvim_test;

namespace {

struct Package {
    std::string name, version, release;
    bool withFile;
};

class InstalledSoftware : public testing::Test {
protected:
    void SetUp() override {
        if (!haveTool("rpmbuild") || !haveTool("rpm")) GTEST_SKIP() << "rpm tools are not installed";
        ASSERT_EQ(QVIM_OK, startEngine());
        home = testDirectory() + "/home";
        database = testDirectory() + "/rpmdb";
        ASSERT_EQ(0, mkdir(home.c_str(), 0700));
        ASSERT_EQ(0, setenv("HOME", home.c_str(), 1));
        ASSERT_EQ(0, setenv("TMPDIR", (testDirectory() + "/tmp").c_str(), 1));
        ASSERT_EQ(0, mkdir((testDirectory() + "/tmp").c_str(), 0700));
    }
    void TearDown() override { engine_stop(); }

    void build(const Package& package) {
        const std::string spec = testDirectory() + "/" + package.name + "-" + package.version + ".spec";
        std::string text = "Name: " + package.name + "\nVersion: " + package.version + "\nRelease: " +
                           package.release +
                           "\nSummary: test package\nLicense: none\nVendor: Test Vendor\nBuildArch: noarch\n"
                           "%description\ntest package\n";
        if (package.withFile)
            text += "%install\nmkdir -p %{buildroot}/opt/qv\nprintf hello > %{buildroot}/opt/qv/" + package.name +
                    "\n%files\n/opt/qv/" + package.name + "\n";
        else
            text += "%files\n";
        writeFile(spec, text);
        const std::string top = testDirectory() + "/top";
        // Package file and build folder get short names: a long version and
        // release would make the usual ones too long for the file system.
        const std::string buildRoot = testDirectory() + "/buildroot" + std::to_string(++builds);
        ASSERT_EQ(0, sh("rpmbuild -bb --nodeps --define '_topdir " + top + "' --define '_tmppath " + testDirectory() +
                        "/tmp' --define '_build_name_fmt %%{ARCH}/%%{NAME}-%%{VERSION}.rpm' --buildroot " +
                        buildRoot + " " + spec))
            << readFile("tools.log");
    }
    void install() {
        ASSERT_EQ(0, sh("rpm --dbpath " + database + " --initdb")) << readFile("tools.log");
        ASSERT_EQ(0, sh("rpm -i --justdb --nodeps --force-debian --dbpath " + database + " " + testDirectory() +
                        "/top/RPMS/noarch/*.rpm"))
            << readFile("tools.log");
    }
    void pointAt(const std::string& path) { writeFile(home + "/.rpmmacros", "%_dbpath " + path + "\n"); }

    std::string home, database;
    int builds = 0;
    IMEngineHandleConcrete engine;
    CapturingScanner scanner{engine};
};

TEST_F(InstalledSoftware, PackagesOfThePrivateDatabaseAreRecorded) {
    const std::string longVersion(150, 'v');
    const std::string longRelease(140, 'r');
    ASSERT_NO_FATAL_FAILURE(build({"qvtest-alpha", "1.0", "3", false}));
    ASSERT_NO_FATAL_FAILURE(build({"qvtest-alpha", "2.0", "3", true}));
    ASSERT_NO_FATAL_FAILURE(build({"qvtest-long", longVersion, longRelease, false}));
    ASSERT_NO_FATAL_FAILURE(install());
    pointAt(database);
    ASSERT_EQ(0, setenv("TZ", "UTC", 1));
    tzset();

    im_wrapper_response_s response{};
    ASSERT_TRUE(scanner.scanInstalledSoftware(9, SCAN_BASELINE, &response));
    ASSERT_NE(nullptr, response.json);
    free_json_string(response.json);
    ASSERT_EQ(3u, scanner.records.size());

    const Captured* old = scanner.find("qvtest-alpha-1.0-3");
    const Captured* current = scanner.find("qvtest-alpha-2.0-3");
    ASSERT_NE(nullptr, old) << "two versions of one package are two records";
    ASSERT_NE(nullptr, current);
    EXPECT_EQ("InstalledSoftware", current->entityType);
    EXPECT_EQ("qvtest-alpha-2.0-3", current->name);
    EXPECT_EQ("qvtest-alpha", current->displayName);
    EXPECT_EQ("2.0-3", current->version);
    EXPECT_EQ("Test Vendor", current->manufacturer);
    EXPECT_EQ(5u, current->record.size);
    EXPECT_EQ(0u, old->record.size);

    // The install time, as the rpm tool reports it, in local time (UTC here).
    const std::string installTime = run("rpm --dbpath " + database + " -q --qf '%{INSTALLTIME}' qvtest-alpha-2.0-3");
    ASSERT_FALSE(installTime.empty());
    const time_t when = static_cast<time_t>(std::stoll(installTime));
    char expected[25];
    struct tm utc;
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", gmtime_r(&when, &utc));
    EXPECT_EQ(expected, current->installedDate);

    // Each part of the version text keeps at most 128 characters.
    const std::string cut = longVersion.substr(0, 128) + "-" + longRelease.substr(0, 128);
    const Captured* longOne = scanner.find("qvtest-long-" + cut);
    ASSERT_NE(nullptr, longOne);
    EXPECT_EQ(cut, longOne->version);
}

TEST_F(InstalledSoftware, AMissingDatabaseFailsTheScanAndLeavesNoFiles) {
    const std::string missing = testDirectory() + "/no-database";
    pointAt(missing);
    im_wrapper_response_s response{};
    EXPECT_FALSE(scanner.scanInstalledSoftware(9, SCAN_CHANGE, &response));
    EXPECT_EQ(nullptr, response.json);
    EXPECT_TRUE(scanner.records.empty());
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "RPM open failed"));
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Error opening RPN db"));
    struct stat st;
    EXPECT_NE(0, stat(missing.c_str(), &st)) << "no database was created";
    EXPECT_NE(0, stat((home + "/.rpmdb").c_str(), &st));
}

TEST_F(InstalledSoftware, AFailedEntityEndsTheScan) {
    ASSERT_NO_FATAL_FAILURE(build({"qvtest-alpha", "1.0", "3", false}));
    ASSERT_NO_FATAL_FAILURE(build({"qvtest-beta", "1.0", "1", false}));
    ASSERT_NO_FATAL_FAILURE(install());
    pointAt(database);
    scanner.onRecord = [](const Captured&) { return false; };
    im_wrapper_response_s response{};
    EXPECT_FALSE(scanner.scanInstalledSoftware(9, SCAN_CHANGE, &response));
    EXPECT_EQ(1u, scanner.records.size());
    EXPECT_EQ(nullptr, response.json);
}

}  // namespace
