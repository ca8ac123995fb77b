// What check reports when an attacker works the tree, and what init and check
// do when the host fails under them: every change once, no rename made up from
// a reused inode, no removal made up from a failure.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <linux/capability.h>
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "Baseline.h"
#include "HostTestSupport.h"
#include "Seal.h"
#include "Session.h"
#include "Output.h"

using namespace qvimcli;
using namespace qvimhost_test;

namespace {

// Export lines of a kind without the members a rewrite of an unchanged row
// renews, and the access time, which reading links and folders moves.
std::multiset<std::string> rowsOf(const std::string& exported) {
    std::multiset<std::string> rows;
    std::istringstream lines(exported);
    for (std::string line; std::getline(lines, line);) {
        JsonPtr row(cJSON_Parse(line.c_str()));
        if (!row) continue;
        cJSON_DeleteItemFromObject(row.get(), "entityItemId");
        cJSON_DeleteItemFromObject(row.get(), "recordTime");
        cJSON_DeleteItemFromObject(row.get(), "lastAccessed");
        char* text = cJSON_PrintUnformatted(row.get());
        rows.insert(text);
        cJSON_free(text);
    }
    return rows;
}

class HostChanges : public HostTree {
protected:
    std::string log() { return readText(absolute("state/qvim.log")); }
};

// A small file system of its own, unmounted with the test.
class Mount {
public:
    Mount(const std::string& path, const std::string& options) : m_path(path) {
        makeFolders(path);
        m_mounted = mount("qvim-test", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~Mount() {
        if (m_mounted) umount2(m_path.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    std::string m_path;
    bool m_mounted = false;
};

}  // namespace

TEST_F(HostChanges, ThousandsOfFolderAndLinkChangesAreEachReportedOnce) {
    constexpr int kFolders = 1500, kLinks = 500, kNewLinks = 3000;
    auto name = [](const char* prefix, int i) { return std::string(prefix) + std::to_string(10000 + i); };
    // Every reported change is a commit of its own: kept off the disk where possible.
    const Mount memory(absolute("state"), "size=64m,mode=0700");
    writeText(tree + "/decoy", "decoy");
    for (int i = 0; i < kFolders; ++i) ASSERT_EQ(mkdir((tree + "/" + name("d", i)).c_str(), 0755), 0);
    for (int i = 0; i < kLinks; ++i) ASSERT_EQ(symlink("decoy", (tree + "/" + name("l", i)).c_str()), 0);
    ProgramRun run = qvim({"init", "--rules", "rules.json"});
    ASSERT_EQ(run.status, 0) << run.err;

    std::map<std::string, std::string> expected;
    for (int i = 0; i < kFolders; ++i) {
        ASSERT_EQ(chmod((tree + "/" + name("d", i)).c_str(), 0700), 0);
        expected[tree + "/" + name("d", i)] = "update";
    }
    for (int i = 0; i < kNewLinks; ++i) {
        ASSERT_EQ(symlink("decoy", (tree + "/" + name("n", i)).c_str()), 0);
        expected[tree + "/" + name("n", i)] = "create";
    }
    // One link among the retargeted ones now points at a secret.
    for (int i = 0; i < kLinks; ++i) {
        const std::string link = tree + "/" + name("l", i);
        ASSERT_EQ(unlink(link.c_str()), 0);
        ASSERT_EQ(symlink(i == kLinks / 2 ? "/etc/shadow" : "decoy2", link.c_str()), 0);
        expected[link] = "update";
    }
    expected[tree + "/."] = "update";  // the base folder itself holds the new links
    run = qvim({"update", "--json"});
    EXPECT_EQ(run.status, kExitAdded | kExitChanged) << run.err;
    const std::vector<Event> events = parseEvents(run.out);
    EXPECT_EQ(events.size(), expected.size());
    EXPECT_EQ(operationsByKey(events), expected);
    EXPECT_NE(run.out.find("/etc/shadow"), std::string::npos) << "the secret's link target is not shown";

    run = qvim({"check", "--json"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
}

TEST_F(HostChanges, AnEditedRuleRebuildsWhatItTouchedAndKeepsFoldersLinksAndPipes) {
    makeFolders(tree + "/sub/deeper");
    // One name that is not UTF-8, kept by its exact bytes like the others.
    for (const char* file : {"a.txt", "scratch.tmp", "sub/b.txt", "sub/deeper/c.tmp", "sub/caf\xe9"})
        writeText(tree + "/" + file, file);
    ASSERT_EQ(symlink("a.txt", (tree + "/link").c_str()), 0);
    ASSERT_EQ(symlink("sub", (tree + "/folder-link").c_str()), 0);
    ASSERT_EQ(mkfifo((tree + "/sub/pipe").c_str(), 0600), 0);
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);
    const ProgramRun folders = qvim({"export", "--kind", "Directory", "--out", "-"});
    const ProgramRun files = qvim({"export", "--kind", "File", "--out", "-"});
    ASSERT_EQ(rowsOf(folders.out).size(), 4u) << folders.out;  // with the base folder, "tree/."
    ASSERT_EQ(rowsOf(files.out).size(), 7u) << files.out;

    std::string rules = folderRules(tree);
    const std::string includes = "\"includes\":\"**/*\"";
    rules.replace(rules.find(includes), includes.size(), includes + ",\"excludes\":\"**/*.tmp\"");
    writeText("rules.json", rules);
    ProgramRun run = qvim({"init", "--rules", "rules.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Baseline updated"), std::string::npos) << run.out;

    EXPECT_EQ(rowsOf(qvim({"export", "--kind", "Directory", "--out", "-"}).out), rowsOf(folders.out));
    // The same rows less the two excluded files.
    std::multiset<std::string> kept;
    for (const std::string& row : rowsOf(files.out))
        if (row.find(".tmp\"") == std::string::npos) kept.insert(row);
    EXPECT_EQ(kept.size(), 5u);
    EXPECT_EQ(rowsOf(qvim({"export", "--kind", "File", "--out", "-"}).out), kept);

    run = qvim({"check", "--json"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "");
}

TEST_F(HostChanges, AReusedInodeIsADeletionAndACreationWhileARenameStaysARename) {
    writeText(tree + "/audit-rules", "rules");
    writeText(tree + "/kept", "kept");
    struct stat before;
    ASSERT_EQ(lstat((tree + "/audit-rules").c_str(), &before), 0);
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);

    // The file system hands a freed inode out again soon; try a bounded number of times.
    ASSERT_EQ(unlink((tree + "/audit-rules").c_str()), 0);
    const std::string backdoor = tree + "/zz-backdoor";
    bool reused = false;
    for (int attempt = 0; attempt < 2000 && !reused; ++attempt) {
        writeText(backdoor, "payload");
        struct stat after;
        ASSERT_EQ(lstat(backdoor.c_str(), &after), 0);
        reused = after.st_ino == before.st_ino;
        if (!reused) {
            // Keep the inode busy under another name so the next try gets a fresh one.
            ASSERT_EQ(rename(backdoor.c_str(), (tree + "/.." + std::to_string(attempt)).c_str()), 0);
        }
    }
    for (int attempt = 0; attempt < 2000; ++attempt) unlink((tree + "/.." + std::to_string(attempt)).c_str());
    if (!reused) GTEST_SKIP() << "the file system did not reuse the freed inode within 2000 creations";
    ASSERT_EQ(rename((tree + "/kept").c_str(), (tree + "/kept-moved").c_str()), 0);

    const ProgramRun run = qvim({"check", "--json"});
    EXPECT_EQ(run.status, kExitAdded | kExitRemoved | kExitChanged) << run.err;
    EXPECT_EQ(operationsByKey(parseEvents(run.out)),
              (std::map<std::string, std::string>{{tree + "/audit-rules", "delete"},
                                                  {backdoor, "create"},
                                                  {tree + "/.", "update"},
                                                  {tree + "/kept -> " + tree + "/kept-moved", "rename"}}))
        << run.out;
}

TEST_F(HostChanges, NamesThatAreNotUtf8StayApartThroughChecksAndRenames) {
    const std::string acute = tree + "/caf\xe9", grave = tree + "/caf\xe8", plain = tree + "/plain";
    writeText(plain, "plain");
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);
    writeText(acute, "acute");
    writeText(grave, "grave");
    ProgramRun run = qvim({"update", "--json"});
    EXPECT_EQ(run.status, kExitAdded | kExitChanged) << run.err;
    EXPECT_EQ(parseEvents(run.out).size(), 3u) << run.out;  // and the base folder, which holds them
    EXPECT_EQ(qvim({"check"}).status, 0);

    // Away from an ill-formed name and onto one: each is a rename of the exact old key.
    ASSERT_EQ(rename(acute.c_str(), (tree + "/cafe").c_str()), 0);
    ASSERT_EQ(rename(plain.c_str(), (tree + "/caf\xe7").c_str()), 0);
    run = qvim({"update", "--json"});
    EXPECT_EQ(run.status, kExitChanged) << run.err;
    EXPECT_EQ(operationsByKey(parseEvents(run.out)),
              (std::map<std::string, std::string>{{acute + " -> " + tree + "/cafe", "rename"},
                                                  {plain + " -> " + tree + "/caf\xe7", "rename"},
                                                  {tree + "/.", "update"}}))
        << run.out;

    EXPECT_EQ(qvim({"check"}).status, 0);
    run = qvim({"export", "--kind", "File", "--out", "-"});
    std::set<std::string> keys;
    for (const Event& row : parseEvents(run.out)) keys.insert(row.key);
    EXPECT_EQ(keys, (std::set<std::string>{grave, tree + "/cafe", tree + "/caf\xe7"})) << run.out;
    EXPECT_EQ(log().find("constraint failed"), std::string::npos);
}

TEST_F(HostChanges, AFullDiskFailsTheInitAndTheHalfBaselineIsNotUsed) {
    Mount small(absolute("state"), "size=400k,mode=0700");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a small file system (needs root): " << strerror(errno);
    const std::string longName(200, 'n');
    for (int i = 0; i < 3000; ++i) writeText(tree + "/" + longName + std::to_string(i), "x");
    ProgramRun run = qvim({"init", "--rules", "rules.json"});
    if (run.status == kExitFailure && run.err.find("did not start") != std::string::npos)
        GTEST_SKIP() << "the engine does not start in 400 KiB: " << run.err;
    EXPECT_EQ(run.status, kExitFailure) << run.out << run.err;
    EXPECT_EQ(run.out.find("Baseline built"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("the baseline is incomplete"), std::string::npos) << run.err;

    run = qvim({"state", "get", "buildingBaseline"});
    EXPECT_EQ(run.out, "1\n") << run.err;
    run = qvim({"check", "--json"});
    EXPECT_NE(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "");
}

TEST_F(HostChanges, RunningOutOfDescriptorsFailsTheCheckBeforeAnyRemoval) {
    std::string folder = tree;
    for (int level = 0; level < 300; ++level) {
        folder += "/d";
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        writeText(folder + "/f", "f");
    }
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);

    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);  // inherited by the program
    ProgramRun run = qvim({"check", "--json"});
    EXPECT_EQ(run.status, kExitFailure) << run.err;
    for (const Event& event : parseEvents(run.out)) EXPECT_NE(event.operation, "delete") << event.key;

    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    run = qvim({"check", "--json"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
}

TEST_F(HostChanges, AFolderThatCannotBeOpenedIsNotCheckedAndNothingBelowItIsRemoved) {
    makeFolders(tree + "/locked/inner");
    makeFolders(tree + "/moved");
    writeText(tree + "/locked/inner/secret", "s");
    writeText(tree + "/moved/x", "x");
    writeText(tree + "/removed", "r");
    writeText(tree + "/removed\xe9", "r");
    writeText(tree + "/stays", "s");
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);
    ASSERT_EQ(chown((tree + "/locked").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod((tree + "/locked").c_str(), 0700), 0);
    ASSERT_EQ(unlink((tree + "/removed").c_str()), 0);
    ASSERT_EQ(unlink((tree + "/removed\xe9").c_str()), 0);
    // The old path of x still resolves, through a link the walk does not follow.
    ASSERT_EQ(rename((tree + "/moved").c_str(), (tree + "/moved-away").c_str()), 0);
    ASSERT_EQ(symlink("moved-away", (tree + "/moved").c_str()), 0);

    // Without these two capabilities root opens only what its owner and mode allow;
    // the bounding set applies to the programs started from here on.
    if (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
        prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0)
        GTEST_SKIP() << "cannot drop capabilities for the program: " << strerror(errno);
    const ProgramRun run = qvim({"update", "--json"});
    EXPECT_EQ(run.status, kExitAdded | kExitRemoved | kExitChanged) << run.err;
    EXPECT_NE(run.err.find("cannot open the folder '" + tree + "/locked'"), std::string::npos) << run.err;
    // The folder itself changed owner and mode; what it holds was not looked at.
    EXPECT_EQ(operationsByKey(parseEvents(run.out)),
              (std::map<std::string, std::string>{{tree + "/locked", "update"},
                                                  {tree + "/.", "update"},
                                                  {tree + "/removed", "delete"},
                                                  {tree + "/removed\xe9", "delete"},
                                                  {tree + "/moved", "update"},
                                                  {tree + "/moved/x", "delete"},
                                                  {tree + "/moved-away", "create"},
                                                  {tree + "/moved-away/x", "create"}}))
        << run.out;
    EXPECT_EQ(qvim({"check"}).status, 0);
}

TEST_F(HostChanges, AnExportThatTheLockedDatabaseCutsShortFails) {
    for (int i = 0; i < 3000; ++i) writeText(tree + "/f" + std::to_string(i), "");
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);
    // With a write-ahead log no writer locks readers out: the engine opens the
    // baseline in rollback mode when another connection reads it meanwhile.
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &reader), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(reader, "PRAGMA journal_mode=DELETE;", nullptr, nullptr, nullptr), SQLITE_OK);
    std::string digest, error;
    ASSERT_TRUE(InPlaceSeal(db, nullptr).finish(digest, error)) << error;
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr), SQLITE_OK);

    Background exporter({"export", "--kind", "File", "--out", "-", "--db", db});
    // Let go once the switch failed: the export writes its settings next.
    for (int wait = 0; wait < 3000 && log().find("journal_mode = WAL failed") == std::string::npos; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sqlite3_close(reader);
    const size_t opened = log().size();
    // The program stops on its full output pipe in the middle of the first page.
    for (int wait = 0; wait < 600 && exporter.unreadOutput() < 65536; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_GE(exporter.unreadOutput(), 65536u) << exporter.errorOutput();
    sqlite3* locker = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &locker), SQLITE_OK);
    sqlite3_busy_timeout(locker, 10000);
    ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(locker);
    // Held until the engine has failed to read the next page, then let go, so
    // that nothing but the export itself meets the lock.
    size_t rows = 0;
    std::string line;
    for (int wait = 0; wait < 600 && log().find("database is locked", opened) == std::string::npos; ++wait)
        while (exporter.readLine(line, 100)) ++rows;
    sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(locker);
    while (exporter.readLine(line, 60000)) ++rows;
    EXPECT_LT(rows, 3000u);
    EXPECT_EQ(exporter.stop(0), kExitFailure) << exporter.errorOutput();
    // Whether the engine reports the failed read itself or the rows do not add up.
    const std::string err = exporter.errorOutput();
    EXPECT_TRUE(err.find("export ended after " + std::to_string(rows) + " of 3000") != std::string::npos ||
                err.find("could not export") != std::string::npos)
        << err;
}
