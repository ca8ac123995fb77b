// Watching whole file systems with fanotify: every change named with the
// process that made it, renames as one event, no folder missed for want of a
// watch, and a queue overflow that loses nothing and reports nothing twice.
#include <grp.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "Actor.h"
#include "HostTestSupport.h"
#include "Output.h"
#include "Text.h"
#include "Watcher.h"

using namespace qvimcli;
using namespace qvimhost_test;

namespace {

constexpr uid_t kNobody = 65534;

// Another process, under another user when uid is not 0, that makes changes
// and then lives on until it is released, so that it can still be named.
class Writer {
public:
    Writer(uid_t uid, const char* name, const std::function<bool()>& work) {
        int done[2], release[2];
        if (pipe(done) != 0 || pipe(release) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            close(done[0]);
            close(release[1]);
            const gid_t gid = uid;
            prctl(PR_SET_NAME, name);
            if (uid != 0 && (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0))
                _exit(1);
            const char result = work() ? '1' : '0';
            if (write(done[1], &result, 1) != 1) _exit(1);
            char byte;
            while (read(release[0], &byte, 1) > 0) {
            }
            _exit(0);
        }
        close(done[1]);
        close(release[0]);
        m_done = done[0];
        m_release = release[1];
    }
    ~Writer() {
        if (m_release >= 0) close(m_release);
        if (m_done >= 0) close(m_done);
        if (m_pid > 0) waitpid(m_pid, nullptr, 0);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Waits until the work is done; false when it failed.
    bool succeeded() {
        char result = '0';
        return m_pid > 0 && read(m_done, &result, 1) == 1 && result == '1';
    }

private:
    pid_t m_pid = -1;
    int m_done = -1;
    int m_release = -1;
};

bool makeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

bool moveTo(const std::string& from, const std::string& to) { return rename(from.c_str(), to.c_str()) == 0; }

class HostFanotify : public WatchedTree {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "fanotify needs root";
        makeTree();
        // Other users' processes write below here too.
        ASSERT_EQ(chmod(".", 0711), 0);
        for (const std::string& folder : {root, root + "/sub", outside}) ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
        std::string why, problem, note;
        if (!watcher->useFanotify(why)) GTEST_SKIP() << why;
        ASSERT_TRUE(watcher->addRoot(root, problem, &note)) << problem;
        if (!note.empty()) GTEST_SKIP() << note;
    }

    // Everything that arrives until a quiet half second, once the first
    // change has (a loaded machine may take seconds to deliver it).
    std::vector<FsChange> all() {
        std::vector<FsChange> changes = collect(1, 10000);
        for (std::vector<FsChange> more = collect(SIZE_MAX, 600); !more.empty(); more = collect(SIZE_MAX, 600))
            changes.insert(changes.end(), more.begin(), more.end());
        return changes;
    }
};

}  // namespace

TEST_F(HostFanotify, ChangesAreNamedWithTheirProcessExceptOurOwn) {
    writeText(root + "/own.txt", "written by the watching process itself");
    Writer writer(kNobody, "fan writer", [&] { return makeFile(root + "/sub/theirs.txt", "x"); });
    ASSERT_TRUE(writer.succeeded());
    const std::vector<FsChange> changes = all();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].type, FsChange::Update);
    EXPECT_EQ(changes[0].path, root + "/sub/theirs.txt");
    EXPECT_EQ(changes[0].user, userName(kNobody));
    EXPECT_EQ(changes[0].process, "fan writer");
    EXPECT_EQ(changes[0].groups, groupName(kNobody));
}

TEST_F(HostFanotify, ProcessesReapedBeforeTheirEventsAreReadAreNamed) {
    if (!watcher->namesEndedProcesses()) GTEST_SKIP() << "the exit recorder cannot be loaded here";
    writeText(root + "/sub/doomed.txt", "x");
    writeText(root + "/sub/theirs.txt", "y");
    ASSERT_EQ(chown((root + "/sub/theirs.txt").c_str(), kNobody, kNobody), 0);
    // Run to their end and reaped before a single event is read.
    const std::string as = "setpriv --reuid=" + std::to_string(kNobody) + " --regid=" + std::to_string(kNobody) +
                           " --clear-groups ";
    ASSERT_EQ(system((as + "rm " + root + "/sub/doomed.txt").c_str()), 0);
    ASSERT_EQ(system((as + "chmod 600 " + root + "/sub/theirs.txt").c_str()), 0);
    std::map<std::string, FsChange> byPath;
    for (const FsChange& change : all()) byPath[change.path] = change;
    ASSERT_EQ(byPath.size(), 2u);
    const FsChange& removed = byPath[root + "/sub/doomed.txt"];
    EXPECT_EQ(removed.type, FsChange::Delete);
    EXPECT_EQ(removed.process, "rm");
    EXPECT_EQ(removed.user, userName(kNobody));
    EXPECT_EQ(removed.groups, groupName(kNobody));
    const FsChange& changed = byPath[root + "/sub/theirs.txt"];
    EXPECT_EQ(changed.type, FsChange::Update);
    EXPECT_EQ(changed.process, "chmod");
    EXPECT_EQ(changed.user, userName(kNobody));
}

TEST_F(HostFanotify, RenamesAreOneEventWithBothNamesAlsoAcrossTheEdge) {
    writeText(outside + "/in.txt", "i");
    Writer made(0, "fan maker", [&] { return makeFile(root + "/a.txt", "a"); });
    ASSERT_TRUE(made.succeeded());
    ASSERT_EQ(all().size(), 1u);

    Writer mover(0, "fan mover", [&] {
        return moveTo(root + "/a.txt", root + "/sub/b.txt") && moveTo(outside + "/in.txt", root + "/in.txt");
    });
    ASSERT_TRUE(mover.succeeded());
    std::vector<FsChange> changes = all();
    // Names are those of the folders when the events are read: the folder
    // moves once the other two are seen.
    Writer away(0, "fan mover", [&] { return moveTo(root + "/sub", outside + "/sub"); });
    ASSERT_TRUE(away.succeeded());
    for (FsChange& change : all()) changes.push_back(std::move(change));
    ASSERT_EQ(changes.size(), 3u);
    const std::pair<std::string, std::string> expected[] = {{root + "/a.txt", root + "/sub/b.txt"},
                                                            {outside + "/in.txt", root + "/in.txt"},
                                                            {root + "/sub", outside + "/sub"}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(changes[i].type, FsChange::Rename);
        EXPECT_EQ(changes[i].path, expected[i].first);
        EXPECT_EQ(changes[i].newPath, expected[i].second);
        EXPECT_EQ(changes[i].process, "fan mover");
    }
    EXPECT_TRUE(changes[2].folder);
}

TEST_F(HostFanotify, AFolderMadeAndFilledAtOnceIsFullyReportedOnce) {
    std::set<std::string> made;
    std::string folder = root + "/new";
    for (int depth = 0; depth < 5; ++depth, folder += "/d") {
        made.insert(folder);
        for (int i = 0; i < 20; ++i) made.insert(folder + "/f" + std::to_string(i));
    }
    Writer writer(0, "fan filler", [&] {
        for (const std::string& path : made)
            if (!(endsWith(path, "/new") || endsWith(path, "/d") ? mkdir(path.c_str(), 0755) == 0
                                                                  : makeFile(path, "content")))
                return false;
        // Born and renamed before it was ever reported: new under its last name only.
        return moveTo(root + "/new/f0", root + "/new/renamed");
    });
    made.erase(root + "/new/f0");
    made.insert(root + "/new/renamed");
    ASSERT_TRUE(writer.succeeded());
    std::multiset<std::string> reported;
    for (const FsChange& change : all()) {
        EXPECT_EQ(change.type, FsChange::Update) << change.path;
        reported.insert(change.path);
    }
    EXPECT_EQ(reported, std::multiset<std::string>(made.begin(), made.end()));

    // Removed at once, inner folders before their names can be learnt: the
    // removal of the top folder has the baseline below it looked through.
    Writer remover(0, "fan remover", [&] { return system(("rm -r " + root + "/new").c_str()) == 0; });
    ASSERT_TRUE(remover.succeeded());
    bool swept = false;
    for (const FsChange& change : all()) {
        EXPECT_EQ(change.type, FsChange::Delete) << change.path;
        EXPECT_EQ(change.path.rfind(root + "/new", 0), 0u) << change.path;
        swept = swept || (change.path == root + "/new" && change.movedOut);
    }
    EXPECT_TRUE(swept);
}

TEST_F(HostFanotify, FileSystemsMountedBelowABaseAreMarkedToo) {
    const std::string mounted = root + "/mnt";
    makeFolders(mounted);
    if (mount("qvim-test", mounted.c_str(), "tmpfs", 0, "mode=0777") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << errorText(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{mounted};
    watcher = std::make_unique<Watcher>(scope, nullptr, Watcher::Timing{50, 400, 50});
    std::string why, problem, note;
    ASSERT_TRUE(watcher->useFanotify(why)) << why;
    ASSERT_TRUE(watcher->addRoot(root, problem, &note)) << problem;
    if (!note.empty()) GTEST_SKIP() << note;
    EXPECT_EQ(watcher->markedFileSystems(), 2u);
    Writer writer(0, "fan mounted", [&] { return makeFile(mounted + "/inside.txt", "x"); });
    ASSERT_TRUE(writer.succeeded());
    const std::vector<FsChange> changes = all();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].path, mounted + "/inside.txt");
}

// ---- the program ----------------------------------------------------------------------

namespace {

// Sets a fanotify limit for the scope (an instance takes it when it starts).
class QueueLimit {
public:
    explicit QueueLimit(const std::string& value) {
        m_previous = readText(kPath);
        std::ofstream(kPath) << value;
    }
    ~QueueLimit() { restore(); }
    void restore() {
        if (!m_previous.empty()) std::ofstream(kPath) << m_previous;
        m_previous.clear();
    }
    bool applied(const std::string& value) const { return readText(kPath) == value + "\n"; }

private:
    static constexpr const char* kPath = "/proc/sys/fs/fanotify/max_queued_events";
    std::string m_previous;
};

class HostFanotifyWatch : public HostTree {
protected:
    void SetUp() override {
        HostTree::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "fanotify needs root";
        ASSERT_EQ(chmod(".", 0711), 0);
        ASSERT_EQ(chmod(tree.c_str(), 0777), 0);
        const ProgramRun run = qvim({"init", "--rules", "rules.json"});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    // Starts the watch; false (and the test skipped) when it had to use inotify.
    bool start(Background& watch) {
        const std::string started = watch.waitUntilWatching();
        if (started.find("with fanotify") == std::string::npos) {
            watch.stop(SIGINT);
            return false;
        }
        return true;
    }
};

// Event lines until three quiet seconds; the first may be slow to come on a
// loaded or instrumented run.
std::vector<std::string> eventLines(Background& watch) {
    std::vector<std::string> events;
    for (std::string line; watch.readLine(line, events.empty() ? 30000 : 3000);) events.push_back(line);
    return events;
}

}  // namespace

TEST_F(HostFanotifyWatch, EventsCarryTheUserAndProcessOfAnotherUsersWriter) {
    Background watch({"watch", "--json", "--db", db});
    if (!start(watch)) GTEST_SKIP() << "fanotify is not in use: " << watch.errorOutput();
    Writer writer(kNobody, "probe writer", [&] { return makeFile(tree + "/theirs.txt", "x"); });
    ASSERT_TRUE(writer.succeeded());
    std::vector<std::string> events = eventLines(watch);
    // The folder that gained the name is reported too, by the same writer.
    ASSERT_EQ(events.size(), 2u) << watch.errorOutput();
    if (events[0].find("\"Directory\"") != std::string::npos) std::swap(events[0], events[1]);
    JsonPtr folder(cJSON_Parse(events[1].c_str()));
    EXPECT_EQ(jsonText(folder.get(), "key"), tree + "/.");
    EXPECT_EQ(jsonText(folder.get(), "user"), userName(kNobody)) << events[1];
    JsonPtr event(cJSON_Parse(events[0].c_str()));
    EXPECT_EQ(jsonText(event.get(), "key"), tree + "/theirs.txt");
    EXPECT_EQ(jsonText(event.get(), "user"), userName(kNobody)) << events[0];
    EXPECT_EQ(jsonText(event.get(), "processName"), "probe writer") << events[0];
    EXPECT_EQ(watch.stop(SIGINT), 0) << watch.errorOutput();
}

TEST_F(HostFanotifyWatch, AnOverflowedQueueLosesNothingAndReportsNothingTwice) {
    // Finished files are moved in: each is one change, so a second report of
    // one could only come from the overflow's check.
    const std::string staging = absolute("staging");
    makeFolders(staging);
    constexpr int kFiles = 400;
    for (int i = 0; i < kFiles; ++i) writeText(staging + "/f" + std::to_string(i), std::to_string(i));

    QueueLimit limit("32");
    if (!limit.applied("32")) GTEST_SKIP() << "the fanotify queue limit cannot be set here";
    Background watch({"watch", "--json", "--db", db});
    const bool fanotify = start(watch);
    limit.restore();
    if (!fanotify) GTEST_SKIP() << "fanotify is not in use: " << watch.errorOutput();

    Writer writer(0, "flood", [&] {
        for (int i = 0; i < kFiles; ++i)
            if (!moveTo(staging + "/f" + std::to_string(i), tree + "/f" + std::to_string(i))) return false;
        return true;
    });
    ASSERT_TRUE(writer.succeeded());
    std::vector<Event> events;
    for (const std::string& line : eventLines(watch)) events.push_back(parseEvent(line));
    EXPECT_NE(watch.errorOutput().find("queue overflowed"), std::string::npos) << watch.errorOutput();
    const std::map<std::string, std::string> operations = operationsByKey(events, "File");
    EXPECT_EQ(operations.size(), static_cast<size_t>(kFiles));
    for (const auto& [key, operation] : operations) EXPECT_EQ(operation, "create") << key;
    EXPECT_EQ(watch.stop(SIGINT), 0) << watch.errorOutput();
}
