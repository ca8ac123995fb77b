// The process scanner against real processes: the test itself, children with
// long, truncated or odd names, a zombie, and processes that end mid-scan.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "scan_capture.h"

using namespace qvim_test;

namespace {

std::string link(const std::string& path) {
    char buffer[4097];
    const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, n) : std::string();
}

// What row() gives for a process keyed by its short name and pid.
std::string expectedRow(const std::string& name, pid_t pid, const std::string& process, const std::string& path,
                        const std::string& commandLine, pid_t parent, const std::string& parentPath) {
    const std::string key = name + "/" + std::to_string(pid);
    return joined({"Process", key, key, process, path, commandLine, std::to_string(parent), parentPath});
}

class Processes : public ScannerTest {
protected:
    const Captured* byPid(pid_t pid) const {
        for (const Captured& record : scanner.records)
            if (record.record.processID == pid) return &record;
        return nullptr;
    }
    // The fields of a process's record in one line; "<none>" without one.
    std::string row(pid_t pid) const {
        const Captured* r = byPid(pid);
        if (r == nullptr) return "<none>";
        return joined({r->entityType, r->newKey, r->processKey, r->process, r->path, r->commandLine,
                       std::to_string(r->record.parentProcessID), r->processName});
    }

    const std::string self = link("/proc/self/exe");
};

TEST_F(Processes, TheTestProcessMatchesProc) {
    ASSERT_EQ("ok, events", outcome(&CapturingScanner::scanProcesses, SCAN_CHANGE));

    // The test program's name is longer than the kernel keeps, so the name
    // comes from the executable. The parent may run as another user, whose
    // executable is then unreadable.
    const std::string name = comm(getpid());
    ASSERT_EQ(15u, name.size());
    const std::string parent = "/proc/" + std::to_string(getppid());
    const std::string parentExe = link(parent + "/exe");
    EXPECT_EQ(expectedRow(name, getpid(), self.substr(self.rfind('/') + 1), self, ownCommandLine().substr(0, 2047),
                          getppid(), parentExe.empty() ? "<null>" : parentExe),
              row(getpid()));
    const Captured* record = byPid(getpid());
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(std::to_string(geteuid()) + "|" + std::to_string(getegid()) + "|1",
              joined({record->user, record->userGroup, std::to_string(record->record.threads)}));
    const std::string status = readFile(parent + "/status");
    unsigned realUid = 0, effectiveUid = 0;
    ASSERT_EQ(2, std::sscanf(status.c_str() + status.find("\nUid:"), "\nUid: %u %u", &realUid, &effectiveUid));
    EXPECT_EQ(getpwuid(effectiveUid)->pw_name, record->processUser);

    // Entries that are not processes are not records.
    for (const Captured& each : scanner.records) EXPECT_GT(each.record.processID, 0);

    // The first process has no parent to describe.
    const Captured* first = byPid(1);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ("0|<null>|<null>", joined({std::to_string(first->record.parentProcessID), first->processName,
                                          first->processUser}));
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Error opening /proc/0/status: No such file or directory"));
}

TEST_F(Processes, ChildrenWithLongTruncatedOrOddNamesAndAZombie) {
    const std::string folder = testDirectory() + "/opt bin";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    const std::string longName = folder + "/very-long-program-name";
    const std::string oddName = folder + "/my (odd) prog";
    for (const std::string& copy : {longName, oddName}) {
        writeFile(copy, readFile("/bin/sleep"));
        ASSERT_EQ(0, chmod(copy.c_str(), 0755));
    }
    Child longChild = Child::exec(longName, "30");
    Child oddChild = Child::exec(oddName, "30");
    Child truncated = Child::paused("abcdefghijklmno");
    Child zombie = Child::start([] {});
    ASSERT_TRUE(longChild.waitFor("comm", "very-long-progr"));
    ASSERT_TRUE(oddChild.waitFor("comm", "my (odd) prog"));
    ASSERT_TRUE(truncated.waitFor("comm", "abcdefghijklmno"));
    ASSERT_TRUE(zombie.waitFor("stat", ") Z "));

    ASSERT_TRUE(scanner.scanProcesses(3, SCAN_BASELINE, nullptr));

    EXPECT_EQ(expectedRow("very-long-progr", longChild.pid, "very-long-program-name", longName, longName + " 30",
                          getpid(), self),
              row(longChild.pid));
    // A name with blanks and parentheses keeps the fields after it in place.
    EXPECT_EQ(expectedRow("my (odd) prog", oddChild.pid, "my (odd) prog", oddName, oddName + " 30", getpid(), self),
              row(oddChild.pid));
    // Fifteen characters that the executable's path does not hold.
    EXPECT_EQ(expectedRow("abcdefghijklmno", truncated.pid, "abcdefghijklmno", self, ownCommandLine().substr(0, 2047),
                          getpid(), self),
              row(truncated.pid));
    // A zombie has nothing left to describe but its name.
    const std::string zombieName = comm(zombie.pid);
    EXPECT_EQ(expectedRow(zombieName, zombie.pid, zombieName, "<null>", "<null>", getpid(), self), row(zombie.pid));
}

TEST_F(Processes, ProcessesEndingMidScanAreSkipped) {
    Child early = Child::paused("ends-early");
    ASSERT_TRUE(early.waitFor("comm", "ends-early"));
    const pid_t gone = early.pid;
    scanner.onRecord = [&](const Captured& record) {
        if (record.record.processID != gone) early.stop();
        return true;
    };
    ASSERT_TRUE(scanner.scanProcesses(3, SCAN_CHANGE, nullptr));
    EXPECT_TRUE(byPid(gone) == nullptr || byPid(gone) == &scanner.records.front()) << "only seen before it ended";

    std::string path = "untouched";
    EXPECT_LT(getProcessNameByPid(gone, path), 1);
    EXPECT_EQ("untouched", path);
    int uid = -7, gid = -7, threads = -7;
    EXPECT_EQ(0, getUserInfoByPid(gone, uid, gid, threads));
    EXPECT_EQ(-7, uid);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Error opening /proc/" + std::to_string(gone) + "/status: No such file or directory"));
}

TEST_F(Processes, TimeoutAndFailureEndTheScanWithoutEvents) {
    scanner.setProcessBudget(0);
    scanner.onRecord = [](const Captured&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        return true;
    };
    EXPECT_EQ("ok", outcome(&CapturingScanner::scanProcesses, SCAN_CHANGE));
    EXPECT_TRUE(loggedContaining("Timeout reading /proc files after "));
    // The clock may run out before the first process already.
    EXPECT_LE(scanner.records.size(), 1u);

    scanner.records.clear();
    scanner.setProcessBudget(10000);
    scanner.onRecord = [](const Captured&) { return false; };
    EXPECT_EQ("ok", outcome(&CapturingScanner::scanProcesses, SCAN_CHANGE));
    EXPECT_EQ(1u, scanner.records.size());
}

}  // namespace
