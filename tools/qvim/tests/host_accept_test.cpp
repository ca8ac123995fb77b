// What check leaves alone and update accepts, the working copies between them,
// and the evidence journal every reported change goes to.
#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "HostTestSupport.h"
#include "Journal.h"
#include "Seal.h"
#include "Session.h"
#include "Text.h"

using namespace qvimcli;
using namespace qvimhost_test;
using Clock = std::chrono::steady_clock;

namespace {

class HostAccept : public HostTree {
protected:
    std::string state() const { return parentFolder(db); }

    // Names in the database folder other than the database, its log, its journal
    // and the scan's scratch pages and a seal being replaced (which a killed run leaves).
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        DIR* listing = opendir(state().c_str());
        if (listing == nullptr) return names;
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != "im.db" && name != "qvim.log" && name != "im.db.seal" &&
                name != kJournalName &&
                !startsWith(name, ".qvim-scratch-") && !startsWith(name, ".qvim-out-"))
                names.push_back(name);
        }
        closedir(listing);
        return names;
    }

    // Baseline of a few files, then a change of each kind.
    // changeTree's changes: one of each kind.
    static constexpr int kAllThree = kExitAdded | kExitRemoved | kExitChanged;

    std::map<std::string, std::string> changeTree(int files) {
        for (int i = 0; i < files; ++i) writeText(tree + "/f" + std::to_string(i), "old");
        EXPECT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);
        writeText(tree + "/f0", "new content");
        writeText(tree + "/added", "a");
        EXPECT_EQ(unlink((tree + "/f1").c_str()), 0);
        return {{tree + "/f0", "update"}, {tree + "/added", "create"}, {tree + "/f1", "delete"}};
    }
};

TEST_F(HostAccept, CheckLeavesTheBaselineByteForByteAndUpdateAcceptsWhatItReports) {
    const std::map<std::string, std::string> expected = changeTree(5);
    const std::string before = readText(db);
    ASSERT_FALSE(before.empty());

    for (int round = 0; round < 2; ++round) {
        const ProgramRun run = qvim({"check", "--json"});
        EXPECT_EQ(run.status, kAllThree) << run.err;
        EXPECT_EQ(operationsByKey(parseEvents(run.out), "File"), expected) << "check " << round << "\n" << run.out;
        EXPECT_TRUE(readText(db) == before) << "check " << round << " changed the database";
        EXPECT_EQ(leftovers(), std::vector<std::string>()) << "check " << round << " left its working copy";
    }
    struct stat st;
    ASSERT_EQ(stat(db.c_str(), &st), 0);
    const ino_t baseline = st.st_ino;

    ProgramRun run = qvim({"update", "--json"});
    EXPECT_EQ(run.status, kAllThree) << run.err;
    EXPECT_EQ(operationsByKey(parseEvents(run.out), "File"), expected) << run.out;
    ASSERT_EQ(stat(db.c_str(), &st), 0);
    EXPECT_NE(st.st_ino, baseline) << "the baseline was written in place, not replaced";
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(leftovers(), std::vector<std::string>());
    run = qvim({"check"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;

    // check --update is update.
    writeText(tree + "/later", "l");
    EXPECT_EQ(qvim({"check", "--update"}).status, kExitAdded | kExitChanged);
    EXPECT_EQ(qvim({"check"}).status, 0);

    // Everything reported is in the journal, whatever the output format was.
    run = qvim({"events", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<Event> journalled = parseEvents(run.out);
    // Each accept is in the journal too, with the digest it sealed.
    const auto accepts = std::count_if(journalled.begin(), journalled.end(),
                                       [](const Event& event) { return event.operation.empty(); });
    EXPECT_EQ(accepts, 2) << run.out;
    // Three runs of the changes with their folder, the later file with its folder, two accepts.
    EXPECT_EQ(journalled.size(), 3 * (expected.size() + 1) + 2 + 2) << run.out;
    run = qvim({"events", "--since", "2999-01-01T00:00:00+02:00"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "No events.\n");
    struct stat journal;
    ASSERT_EQ(stat((state() + "/" + kJournalName).c_str(), &journal), 0);
    EXPECT_EQ(journal.st_mode & 07777, 0600u);
}

// A writer killed mid-transaction leaves pages of its own in the database and
// the old ones in its journal: the copy must be of the rolled-back baseline.
TEST_F(HostAccept, TheCopyOfABaselineWithAHotJournalIsTheRolledBackOne) {
    const std::map<std::string, std::string> expected = changeTree(2000);
    // Only rollback mode has a journal a writer leaves in the middle of a
    // transaction (a baseline that cannot use a log stays in it).
    sqlite3* rollback = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &rollback), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(rollback, "PRAGMA journal_mode=DELETE;", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(rollback);
    std::string digest, error;
    ASSERT_TRUE(InPlaceSeal(db, nullptr).finish(digest, error)) << error;
    fflush(nullptr);
    const pid_t writer = fork();
    if (writer == 0) {
        sqlite3* handle = nullptr;
        if (sqlite3_open(db.c_str(), &handle) != SQLITE_OK) _exit(1);
        // A cache of a few pages spills the changed pages into the file before any commit.
        sqlite3_exec(handle, "PRAGMA cache_size=2; BEGIN; UPDATE EntityFileItems SET size = size + 1;", nullptr,
                     nullptr, nullptr);
        kill(getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFSIGNALED(status));
    struct stat journal;
    if (stat((db + "-journal").c_str(), &journal) != 0 || journal.st_size == 0)
        GTEST_SKIP() << "the killed writer left no journal";

    const ProgramRun run = qvim({"check", "--json"});
    EXPECT_EQ(run.status, kAllThree) << run.err;
    EXPECT_EQ(operationsByKey(parseEvents(run.out), "File"), expected) << run.out.substr(0, 2000);
}

// Commits in the baseline's log that no run vouches for (a writer that died
// without closing) are judged before anything opens the file: the update
// refuses, and the file and its log stay as they are.
TEST_F(HostAccept, AnUpdateRefusesABaselineWithCommitsNobodyVouchesFor) {
    changeTree(3);
    fflush(nullptr);
    const pid_t writer = fork();
    if (writer == 0) {
        sqlite3* handle = nullptr;
        if (sqlite3_open(db.c_str(), &handle) != SQLITE_OK) _exit(1);
        _exit(sqlite3_exec(handle, "PRAGMA wal_autocheckpoint=0; UPDATE EntityFileItems SET size = size + 1;",
                           nullptr, nullptr, nullptr) == SQLITE_OK
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string before = readText(db);
    const std::string log = readText(db + "-wal");
    ASSERT_FALSE(log.empty());

    const ProgramRun run = qvim({"update"});
    EXPECT_EQ(run.status, kExitTampered) << run.err;
    EXPECT_NE(run.err.find("im.db-wal"), std::string::npos) << run.err;
    EXPECT_EQ(readText(db), before);
    EXPECT_EQ(readText(db + "-wal"), log);
}

TEST_F(HostAccept, AnUnwritableJournalAcceptsNothingAndALinkThereIsNeverFollowed) {
    changeTree(3);
    const std::string before = readText(db);
    // A journal that cannot be written: the events are not safe, so nothing is accepted.
    ASSERT_EQ(mkdir((state() + "/" + kJournalName).c_str(), 0700), 0);
    ProgramRun run = qvim({"update"});
    EXPECT_EQ(run.status, kExitFailure) << run.err;
    EXPECT_NE(run.err.find("evidence journal"), std::string::npos) << run.err;
    EXPECT_TRUE(readText(db) == before);
    ASSERT_EQ(rmdir((state() + "/" + kJournalName).c_str()), 0);
    // A link in its place is refused, not followed.
    writeText("elsewhere", "");
    ASSERT_EQ(symlink(absolute("elsewhere").c_str(), (state() + "/" + kJournalName).c_str()), 0);
    run = qvim({"update"});
    EXPECT_EQ(run.status, kExitFailure) << run.err;
    EXPECT_EQ(readText("elsewhere"), "");
    EXPECT_TRUE(readText(db) == before);
    run = qvim({"events"});
    EXPECT_EQ(run.status, kExitFailure);
    EXPECT_NE(run.err.find("symbolic link"), std::string::npos) << run.err;
    EXPECT_EQ(leftovers(), std::vector<std::string>());
}

TEST_F(HostAccept, StaleWorkingCopiesAreRemovedAndOnesInUseAreKept) {
    changeTree(2);
    const std::string prefix = state() + "/.im.db.working-";
    writeText(prefix + "0badc0ffee00", "left by a crash");
    writeText(prefix + "0badc0ffee00-journal", "its journal");
    writeText(prefix + "0feedfacade0-journal", "a journal without its copy");
    // A link among them goes, and what it points at stays.
    writeText("target", "keep");
    ASSERT_EQ(symlink(absolute("target").c_str(), (prefix + "1inkl1nk1ink").c_str()), 0);
    // One held by a running qvim (its lock) stays.
    writeText(prefix + "11fe11fe11fe", "in use");
    const int held = open((prefix + "11fe11fe11fe").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    EXPECT_EQ(qvim({"check"}).status, kAllThree);
    EXPECT_EQ(leftovers(), std::vector<std::string>{".im.db.working-11fe11fe11fe"});
    EXPECT_EQ(readText("target"), "keep");
    close(held);
}

TEST_F(HostAccept, WatchJournalsWhatItAcceptsAndNoUpdateTakesTheBaselineFromUnderIt) {
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);
    Background watch({"watch", "--json", "--db", db});
    watch.waitUntilWatching();
    writeText(tree + "/seen", "s");
    std::string line;
    for (int i = 0; i < 5 && line.find("/seen\"") == std::string::npos;)
        ASSERT_TRUE(watch.readLine(line, 30000) && ++i) << watch.errorOutput();
    // The write's later events (its close, the folder's new name) are stored
    // before they are printed: once they stop, the database stays as it is.
    while (watch.readLine(line, 3000)) {
    }
    // The line is in the journal by the time it is printed.
    const ProgramRun run = qvim({"events", "--json"});
    EXPECT_EQ(operationsByKey(parseEvents(run.out), "File"),
              (std::map<std::string, std::string>{{tree + "/seen", "create"}}))
        << run.out;
    // The rename of an update would leave the watch writing to a file nobody reads.
    const std::string before = readText(db);
    const ProgramRun update = qvim({"update"});
    EXPECT_EQ(update.status, kExitFailure);
    EXPECT_NE(update.err.find("in use by another qvim"), std::string::npos) << update.err;
    EXPECT_TRUE(readText(db) == before);
    EXPECT_EQ(qvim({"check"}).status, 0) << "a check beside the watch";
    EXPECT_EQ(watch.stop(SIGINT), 0) << watch.errorOutput();
}

// update killed at random moments: the database is always the old baseline
// byte for byte or the whole new one, and the next check works on it.
TEST_F(HostAccept, KilledUpdatesLeaveTheOldOrTheNewBaseline) {
    const std::map<std::string, std::string> expected = changeTree(1000);
    const std::string old = readText(db);
    const std::string oldSeal = readText(db + ".seal");
    const auto started = Clock::now();
    ASSERT_EQ(qvim({"check"}).status, kAllThree);
    const long long span =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count() * 5 / 4;

    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<long long> moment(0, span);
    int olds = 0, news = 0;
    for (int trial = 0; trial < 8; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial) + ", seed " + std::to_string(seed));
        // The old baseline comes back with the seal that vouches for it.
        writeText(db, old);
        writeText(db + ".seal", oldSeal);
        ASSERT_EQ(chmod(db.c_str(), 0600), 0);
        ASSERT_EQ(chmod((db + ".seal").c_str(), 0600), 0);
        {
            Background update({"update", "--db", db});
            std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
            update.stop(SIGKILL);
        }
        const bool isOld = readText(db) == old;
        const ProgramRun check = qvim({"check", "--json"});
        if (isOld) {
            ++olds;
            EXPECT_EQ(check.status, kAllThree) << check.err;
            EXPECT_EQ(operationsByKey(parseEvents(check.out), "File"), expected) << check.out;
        } else {
            ++news;
            EXPECT_EQ(check.status, 0) << "neither the old nor the new baseline:\n" << check.out << check.err;
        }
        EXPECT_EQ(leftovers(), std::vector<std::string>());
        if (HasFailure()) return;
    }
    fprintf(stderr, "update killed 8 times within %lld ms, seed %u: %d old, %d new baselines\n", span / 1000, seed,
            olds, news);
}

TEST(Journal, RotatesWithoutLosingALineAndReadsBackInOrder) {
    EventJournal journal;
    std::string error;
    makeFolders("state");
    ASSERT_EQ(chmod("state", 0700), 0);
    const std::string db = absolute("state/im.db");
    ASSERT_TRUE(journal.open(db, error, 300)) << error;
    std::vector<std::string> written;
    for (int i = 0; i < 60; ++i) {
        written.push_back("{\"n\":" + std::to_string(i) + ",\"pad\":\"....\"}");
        ASSERT_TRUE(journal.appendLine(written.back()));
    }
    ASSERT_TRUE(journal.sync(error)) << error;
    struct stat st;
    ASSERT_EQ(stat(("state/" + std::string(kJournalName) + ".2").c_str(), &st), 0) << "it never rotated";
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    std::vector<std::string> read;
    size_t skipped = 0;
    ASSERT_TRUE(readJournal(db, [&](const std::string& line) { read.push_back(line); }, skipped, error)) << error;
    EXPECT_EQ(read, written);
    EXPECT_EQ(skipped, 0u);

    // A line cut by a crash and one too long to be ours are skipped, not shown.
    const int file = open(("state/" + std::string(kJournalName)).c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(file, 0);
    const std::string overlong(kJournalLongestLine + 1, 'x');
    ASSERT_EQ(write(file, overlong.data(), overlong.size()), static_cast<ssize_t>(overlong.size()));
    ASSERT_EQ(write(file, "\n{\"n\":60}\n{\"cut", 15), 15);
    close(file);
    read.clear();
    ASSERT_TRUE(readJournal(db, [&](const std::string& line) { read.push_back(line); }, skipped, error)) << error;
    ASSERT_EQ(read.size(), written.size() + 1);
    EXPECT_EQ(read.back(), "{\"n\":60}");
    EXPECT_EQ(skipped, 2u);
}

TEST(Journal, TimesAreIso8601OrEpochSeconds) {
    uint64_t millis = 0;
    for (const char* text : {"1970-01-01T00:00:10Z", "1970-01-01T01:00:10+01:00", "1969-12-31T23:00:10-0100", "10"}) {
        EXPECT_TRUE(parseTimeText(text, millis)) << text;
        EXPECT_EQ(millis, 10000u) << text;
    }
    for (const char* text : {"", "yesterday", "2026-12-06T25:00:00Z", "2026-12-06T01:00:00+01:00x", "1e9"})
        EXPECT_FALSE(parseTimeText(text, millis)) << text;
}

}  // namespace
