// The process scanner against real processes: the test itself, children with
// long, truncated or odd names, a zombie, and processes that end mid-scan.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

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

std::string trimmed(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// A child process, killed and reaped when the test ends.
class Child {
public:
    // Runs the program with one argument, or (without one) sleeps under the
    // given 15-character name.
    static Child exec(const std::string& program, const std::string& argument) {
        Child child;
        child.pid = fork();
        if (child.pid == 0) {
            execl(program.c_str(), program.c_str(), argument.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return child;
    }
    static Child named(const char* name) {
        Child child;
        child.pid = fork();
        if (child.pid == 0) {
            prctl(PR_SET_NAME, name);
            for (;;) pause();
        }
        return child;
    }
    static Child zombie() {
        Child child;
        child.pid = fork();
        if (child.pid == 0) _exit(0);
        return child;
    }
    Child(Child&& other) noexcept : pid(other.pid) { other.pid = -1; }
    ~Child() { stop(); }
    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    // Waits until the child's comm or state says it is ready.
    bool waitFor(const std::string& file, const std::string& text) const {
        for (int i = 0; i < 500; ++i) {
            if (readFile("/proc/" + std::to_string(pid) + "/" + file).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    pid_t pid = -1;

private:
    Child() = default;
};

class Processes : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(QVIM_OK, startEngine()); }
    void TearDown() override { engine_stop(); }

    const Captured* byPid(pid_t pid) const {
        for (const Captured& record : scanner.records)
            if (record.record.processID == pid) return &record;
        return nullptr;
    }

    IMEngineHandleConcrete engine;
    CapturingScanner scanner{engine};
};

TEST_F(Processes, TheTestProcessMatchesProc) {
    im_wrapper_response_s response{};
    ASSERT_TRUE(scanner.scanProcesses(3, SCAN_CHANGE, &response));
    ASSERT_NE(nullptr, response.json);
    free_json_string(response.json);

    const Captured* self = byPid(getpid());
    ASSERT_NE(nullptr, self);
    const std::string comm = trimmed(readFile("/proc/self/comm"));
    const std::string exe = link("/proc/self/exe");
    EXPECT_EQ("Process", self->entityType);
    EXPECT_EQ(comm + "/" + std::to_string(getpid()), self->processKey);
    EXPECT_EQ(self->processKey, self->newKey);
    EXPECT_EQ(getppid(), self->record.parentProcessID);
    EXPECT_EQ(exe, self->path);
    // The test program's name is longer than the kernel keeps.
    ASSERT_EQ(15u, comm.size());
    EXPECT_EQ(exe.substr(exe.rfind('/') + 1), self->process);

    std::string commandLine = readFile("/proc/self/cmdline");
    if (!commandLine.empty() && commandLine.back() == '\0') commandLine.pop_back();
    std::replace(commandLine.begin(), commandLine.end(), '\0', ' ');
    EXPECT_EQ(commandLine.substr(0, 2047), self->commandLine);
    EXPECT_EQ(std::to_string(geteuid()), self->user);
    EXPECT_EQ(std::to_string(getegid()), self->userGroup);
    EXPECT_EQ(1, self->record.threads);

    // The parent may run as another user, whose executable is then unreadable.
    const std::string parent = "/proc/" + std::to_string(getppid());
    const std::string parentExe = link(parent + "/exe");
    EXPECT_EQ(parentExe.empty() ? "<null>" : parentExe, self->processName);
    const std::string status = readFile(parent + "/status");
    unsigned realUid = 0, effectiveUid = 0;
    ASSERT_EQ(2, std::sscanf(status.c_str() + status.find("\nUid:"), "\nUid: %u %u", &realUid, &effectiveUid));
    EXPECT_EQ(getpwuid(effectiveUid)->pw_name, self->processUser);

    // Entries that are not processes are not records.
    for (const Captured& record : scanner.records) EXPECT_GT(record.record.processID, 0);

    // The first process has no parent to describe.
    const Captured* first = byPid(1);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(0, first->record.parentProcessID);
    EXPECT_EQ("<null>", first->processName);
    EXPECT_EQ("<null>", first->processUser);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Error opening /proc/0/status: No such file or directory"));
}

TEST_F(Processes, NamesAreRecoveredFromTheExecutablePath) {
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
    Child truncated = Child::named("abcdefghijklmno");
    ASSERT_TRUE(longChild.waitFor("comm", "very-long-progr"));
    ASSERT_TRUE(oddChild.waitFor("comm", "my (odd) prog"));
    ASSERT_TRUE(truncated.waitFor("comm", "abcdefghijklmno"));

    ASSERT_TRUE(scanner.scanProcesses(3, SCAN_BASELINE, nullptr));

    const Captured* record = byPid(longChild.pid);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ("very-long-progr/" + std::to_string(longChild.pid), record->processKey);
    EXPECT_EQ("very-long-program-name", record->process);
    EXPECT_EQ(longName, record->path);
    EXPECT_EQ(longName + " 30", record->commandLine);
    EXPECT_EQ(getpid(), record->record.parentProcessID);
    EXPECT_EQ(link("/proc/self/exe"), record->processName);

    // A name with blanks and parentheses keeps the fields after it in place.
    record = byPid(oddChild.pid);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ("my (odd) prog/" + std::to_string(oddChild.pid), record->processKey);
    EXPECT_EQ("my (odd) prog", record->process);
    EXPECT_EQ(getpid(), record->record.parentProcessID);

    // Fifteen characters that the executable's path does not hold.
    record = byPid(truncated.pid);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ("abcdefghijklmno", record->process);
    EXPECT_EQ(link("/proc/self/exe"), record->path);
}

TEST_F(Processes, AZombieIsRecordedWithoutWhatItTookAlong) {
    Child zombie = Child::zombie();
    ASSERT_TRUE(zombie.waitFor("stat", ") Z "));
    ASSERT_TRUE(scanner.scanProcesses(3, SCAN_CHANGE, nullptr));
    const Captured* record = byPid(zombie.pid);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ("<null>", record->commandLine);
    EXPECT_EQ("<null>", record->path);
    const std::string comm = trimmed(readFile("/proc/" + std::to_string(zombie.pid) + "/comm"));
    EXPECT_EQ(comm, record->process);
    EXPECT_EQ(getpid(), record->record.parentProcessID);
}

TEST_F(Processes, ProcessesEndingMidScanAreSkipped) {
    Child early = Child::named("ends-early");
    ASSERT_TRUE(early.waitFor("comm", "ends-early"));
    const pid_t gone = early.pid;
    scanner.onRecord = [&](const Captured& record) {
        if (record.record.processID != gone) early.stop();
        return true;
    };
    ASSERT_TRUE(scanner.scanProcesses(3, SCAN_CHANGE, nullptr));
    const Captured* record = byPid(gone);
    if (record != nullptr) {
        EXPECT_EQ(&scanner.records.front(), record) << "only seen before it ended";
    }

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
    im_wrapper_response_s response{};
    EXPECT_TRUE(scanner.scanProcesses(3, SCAN_CHANGE, &response));
    EXPECT_EQ(nullptr, response.json);
    EXPECT_TRUE(loggedContaining("Timeout reading /proc files after "));
    // The clock may run out before the first process already.
    EXPECT_LE(scanner.records.size(), 1u);

    scanner.records.clear();
    scanner.setProcessBudget(10000);
    scanner.onRecord = [](const Captured&) { return false; };
    EXPECT_TRUE(scanner.scanProcesses(3, SCAN_CHANGE, &response));
    EXPECT_EQ(nullptr, response.json);
    EXPECT_EQ(1u, scanner.records.size());
}

}  // namespace
