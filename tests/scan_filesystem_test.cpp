// The directory walk against real trees: what it records, how, and how it
// copes with a tree that changes or a store that fails under it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <iterator>

#include <gtest/gtest.h>

#include "SwapRace.h"
#include "TestSupport.h"
#include "scan_capture.h"

using namespace qvim_test;

namespace {

void makeFifo(const std::string& path) { ASSERT_EQ(0, mkfifo(path.c_str(), 0640)) << path; }
unsigned long millis(const timespec& t) { return createTimestamp(t.tv_sec, t.tv_nsec); }

// Warnings about entries below a folder whose status cannot be read.
int statWarnings(const std::string& below) {
    int count = 0;
    for (const LogLine& line : capturedLog())
        count += line.level == QVIM_LOG_WARNING && line.message.rfind("Error stat'ing " + below, 0) == 0;
    return count;
}

class DirectoryWalk : public ScannerTest {
protected:
    void SetUp() override {
        ScannerTest::SetUp();
        root = testDirectory() + "/tree";
        makeDir(root);
    }
    JSONEvents events;
    std::string root;
};

TEST_F(DirectoryWalk, RecordsDirectoriesLinksAndSpecialFilesButNotRegularFiles) {
    makeDir(root + "/a", 01777);
    writeFile(root + "/a/file", "data");
    makeFifo(root + "/a/fifo");
    makeDir(root + "/a/sub", 02755);
    for (const char* name : {"/a/sub/deep", "/..data", "/..data/hidden", "/.dot"}) makeDir(root + name);

    // Every entity expected (nothing below a "..data" folder), links with
    // their text. Links keep their own mode and the length of their text;
    // sticky bits are dropped.
    const struct {
        std::string key;
        const char *kind, *permissions, *linkText;
    } expected[] = {{root + "/a", "Directory", "0777", nullptr},          {root + "/a/fifo", "File", "0640", nullptr},
                    {root + "/a/sub", "Directory", "02755", nullptr},     {root + "/a/sub/deep", "Directory", "0755", nullptr},
                    {root + "/.dot", "Directory", "0755", nullptr},       {root + "/to_dir", "Directory", "0120777", "a"},
                    {root + "/to_file", "File", "0120777", "a/file"},     {root + "/to_fifo", "File", "0120777", "a/fifo"},
                    {root + "/dangling", "File", "0120777", "missing"},   {root + "/loop1", "File", "0120777", "loop2"},
                    {root + "/loop2", "File", "0120777", "loop1"}};
    for (const auto& entry : expected)
        ASSERT_TRUE(entry.linkText == nullptr || symlink(entry.linkText, entry.key.c_str()) == 0) << entry.key;
    ASSERT_TRUE(scanner.processDir(1, SCAN_BASELINE, nullptr, root.c_str(), events));

    for (const auto& entry : expected) {
        SCOPED_TRACE(entry.key);
        const Captured* record = scanner.find(entry.key);
        ASSERT_NE(nullptr, record);
        const std::string linkText = entry.linkText != nullptr ? entry.linkText : "<null>";
        EXPECT_EQ(joined({entry.kind, entry.permissions, linkText}),
                  joined({record->entityType, record->permissions, record->symLinkPath}));
        if (entry.linkText != nullptr) {
            EXPECT_EQ(linkText.size(), record->record.size);
        }
    }
    EXPECT_EQ(std::size(expected), scanner.records.size()) << "each entity once, and nothing else";

    // Depth first: a folder's tree comes right after the folder itself.
    EXPECT_EQ(scanner.find(root + "/a/sub") + 1, scanner.find(root + "/a/sub/deep"));
    EXPECT_TRUE(loggedContaining("Error stat'ing absolute path of linked file '" + root + "/missing': No such file or directory. Assuming broken symoblic link."));
    EXPECT_TRUE(loggedContaining("Absolute path '" + root + "/a/fifo' is neither a regular file nor a directory (10640). Adding as a special file."));
}

TEST_F(DirectoryWalk, AttributesMatchTheFileSystem) {
    makeDir(root + "/d", 0750);
    // Only root can give a folder to ids nobody has.
    ASSERT_TRUE(geteuid() != 0 || chown((root + "/d").c_str(), 4321, 8765) == 0);
    ASSERT_EQ(0, symlink("d", (root + "/l").c_str()));
    // Taken before the walk: reading a folder moves its access time.
    struct stat before[2];
    ASSERT_EQ(0, lstat((root + "/d").c_str(), &before[0]));
    ASSERT_EQ(0, lstat((root + "/l").c_str(), &before[1]));
    ASSERT_TRUE(scanner.processDir(1, SCAN_CHANGE, nullptr, root.c_str(), events));

    for (const char* name : {"d", "l"}) {
        const std::string path = root + "/" + name;
        const Captured* record = scanner.find(path);
        ASSERT_NE(nullptr, record) << name;
        const struct stat& st = before[name[0] == 'd' ? 0 : 1];
        struct statx sx;
        ASSERT_EQ(0, statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx));
        const unsigned long birth = (sx.stx_mask & STATX_BTIME) ? createTimestamp(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec) : 0;
        const im_wrapper_event_s& r = record->record;
        EXPECT_EQ(joined({path, std::to_string(st.st_uid), std::to_string(st.st_gid), std::to_string(st.st_ino),
                          std::to_string(st.st_dev), std::to_string(millis(st.st_mtim)),
                          std::to_string(millis(st.st_atim)), std::to_string(birth)}),
                  joined({record->path, record->owner, record->userGroup, std::to_string(r.inodeNumber),
                          std::to_string(r.deviceNumber), std::to_string(r.lastModified),
                          std::to_string(r.lastAccessed), std::to_string(r.created)}));
        EXPECT_EQ(QVIM_EVENT_CHANGED, r.eventType);
    }
}

TEST_F(DirectoryWalk, BirthTimeFallsBackToZeroOrTheChangeTime) {
    // A file system without birth times.
    struct stat st;
    ASSERT_EQ(0, lstat("/proc/1", &st));
    im_wrapper_event_s record{};
    std::string path = "/proc/1";
    QVIMScanLinux::initializeEventWrapper(record, "Directory", path, st);
    EXPECT_EQ(0u, record.created);
    QVIMScanLinux::cleanUpEventWrapper(record);

    // An entry that is gone by the time its birth time is asked for.
    st = {};
    st.st_mode = S_IFDIR | 0700;
    st.st_ctim.tv_sec = 1234;
    st.st_ctim.tv_nsec = 567000000;
    path = root + "/gone";
    QVIMScanLinux::initializeEventWrapper(record, "Directory", path, st);
    EXPECT_EQ(1234567u, record.created);
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "STATX call for file " + path + " failed. Using regular stat."));
    QVIMScanLinux::cleanUpEventWrapper(record);
}

TEST_F(DirectoryWalk, EntriesAndFoldersVanishingMidWalkAreSkipped) {
    for (const char* name : {"/many", "/gone", "/gone/inner", "/stays"}) makeDir(root + name);
    for (int i = 0; i < 6; ++i) makeFifo(root + "/many/f" + std::to_string(i));

    // The first entry seen in "many" takes its siblings with it; "gone" is
    // removed between its record and its walk.
    bool emptied = false;
    scanner.onRecord = [&](const Captured& record) {
        if (record.path.rfind(root + "/many/", 0) == 0 && !emptied) {
            emptied = true;
            for (int i = 0; i < 6; ++i) unlink((root + "/many/f" + std::to_string(i)).c_str());
        }
        if (record.path == root + "/gone") {
            rmdir((root + "/gone/inner").c_str());
            rmdir((root + "/gone").c_str());
        }
        return true;
    };
    ASSERT_TRUE(scanner.processDir(1, SCAN_BASELINE, nullptr, root.c_str(), events));

    EXPECT_NE(nullptr, scanner.find(root + "/stays"));
    EXPECT_EQ(1, std::count_if(scanner.records.begin(), scanner.records.end(), [&](const Captured& record) {
                  return record.path.rfind(root + "/many/", 0) == 0;
              }));
    EXPECT_EQ(5, statWarnings(root + "/many/f"));
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "Could not access " + root + "/gone: No such file or directory"));
    EXPECT_EQ(nullptr, scanner.find(root + "/gone/inner"));
}

TEST_F(DirectoryWalk, EntriesBeyondTheLongestPathAreWarnedAboutWhateverTheirType) {
    // Regular files get the warning too: their type alone cannot spare them the status call.
    std::string deep = root;
    while (deep.size() < PATH_MAX - 100) {
        deep += '/' + std::string(std::min<size_t>(200, PATH_MAX - 100 - deep.size()), 'd');
        makeDir(deep);
    }
    {
        const int folder = open(deep.c_str(), O_DIRECTORY | O_RDONLY);
        ASSERT_GE(folder, 0);
        const std::string longName(120, 'n');
        ASSERT_EQ(0, mkfifoat(folder, (longName + "-fifo").c_str(), 0640));
        const int file = openat(folder, (longName + "-file").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(file, 0);
        close(file);
        close(folder);
    }
    ASSERT_TRUE(scanner.processDir(1, SCAN_BASELINE, nullptr, root.c_str(), events));
    EXPECT_EQ(2, statWarnings(root + "/d"));
    ASSERT_FALSE(scanner.records.empty());
    EXPECT_EQ(deep, scanner.records.back().path) << "nothing below the deepest folder is recorded";

}

TEST_F(DirectoryWalk, AFolderSwappedForALinkToAnotherTreeNeverLeadsTheWalkThere) {
    // The other tree: what an attacker wants listed under their own folder.
    const std::string outside = testDirectory() + "/outside";
    makeDir(outside);
    makeDir(outside + "/secret-folder");
    makeFifo(outside + "/secret-fifo");
    ASSERT_EQ(0, symlink("secret-folder", (outside + "/probe").c_str()));
    // The attacker's folder holds a link of the same name whose target is missing.
    makeDir(root + "/attacker");
    makeDir(root + "/attacker/mine");
    makeDir(root + "/attacker/mine/own");
    ASSERT_EQ(0, symlink("missing", (root + "/attacker/mine/probe").c_str()));
    SwapRace race(root + "/attacker/mine", root + "/attacker/other", outside);
    if (!race.ready()) GTEST_SKIP() << race.why();

    race.start();
    int walks = 0;
    bool escaped = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!escaped && std::chrono::steady_clock::now() < until) {
        ++walks;
        scanner.records.clear();
        ASSERT_TRUE(scanner.processDir(1, SCAN_BASELINE, nullptr, root.c_str(), events));
        for (const Captured& record : scanner.records) {
            const bool probeLooksLikeAFolder =
                record.path.size() > 6 && record.path.compare(record.path.size() - 6, 6, "/probe") == 0 &&
                record.entityType != "File";
            if (record.path.find("secret") != std::string::npos || probeLooksLikeAFolder) {
                ADD_FAILURE() << "walk " << walks << " recorded " << record.entityType << " " << record.path;
                escaped = true;
            }
        }
    }
    race.stop();
    for (const LogLine& line : capturedLog())
        EXPECT_EQ(std::string::npos, line.message.find("secret")) << "messages name only entries of the tree: " << line.message;
    EXPECT_GT(race.swaps(), 0u);
    // The walk still sees the folder and the link whenever they hold still.
    ASSERT_TRUE(scanner.processDir(1, SCAN_BASELINE, nullptr, root.c_str(), events));
    EXPECT_NE(nullptr, scanner.find(root + "/attacker/mine/own"));
    EXPECT_NE(nullptr, scanner.find(root + "/attacker/other"));
}

TEST_F(DirectoryWalk, WalksFromTheRootThroughTheFoldersInScopeOnlyUntilAnEntityFails) {
    for (const char* name : {"/a", "/a/b", "/a/b/c", "/p", "/q", "/a/s", "/a/t"}) makeDir(root + name);
    // Only the way down to the tree and the tree itself are in scope.
    scanner.scope = [this](const char* path) {
        const std::string folder(path);
        return folder == "/" || (root + "/").rfind(folder + "/", 0) == 0 || folder.rfind(root, 0) == 0;
    };
    ASSERT_EQ("ok, events", outcome(&CapturingScanner::scanDirectories, SCAN_BASELINE));
    EXPECT_NE(nullptr, scanner.find(root + "/a/b/c"));
    EXPECT_NE(nullptr, scanner.find("/etc")) << "children of the root are recorded";
    for (const Captured& record : scanner.records) {
        EXPECT_NE(0u, record.path.rfind("//", 0)) << record.path;
        // Out-of-scope folders are recorded but not entered.
        if (record.path.rfind("/etc/", 0) == 0) ADD_FAILURE() << record.path;
    }

    scanner.records.clear();
    scanner.onRecord = [&](const Captured& record) { return record.path != root + "/a/b/c"; };
    EXPECT_EQ("failed", outcome(&CapturingScanner::scanDirectories, SCAN_CHANGE));
    ASSERT_FALSE(scanner.records.empty());
    EXPECT_EQ(root + "/a/b/c", scanner.records.back().path) << "nothing is recorded after the failure";
}

}  // namespace
