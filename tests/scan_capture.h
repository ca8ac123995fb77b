// Helpers of the scanner tests: a scanner that keeps the boundary records it
// produces instead of handing them to the engine, so that a scan can be
// compared with the machine, and the machine's side of that comparison
// (commands, folders, child processes, loopback sockets, a package database).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "IMEngineHandleConcrete.h"
#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"
#include "QVIMScanLinux.h"
#include "TestSupport.h"
#include "baseline_support.h"

namespace qvim_test {

inline std::string text(const char* value) { return value != nullptr ? value : "<null>"; }

// The texts and numbers of one boundary record, copied.
struct Captured {
    explicit Captured(const im_wrapper_event_s& r)
        : entityType(text(r.entityType)), path(text(r.path)), newKey(text(r.newKey)), name(text(r.name)),
          owner(text(r.owner)), userGroup(text(r.userGroup)), permissions(text(r.permissions)),
          symLinkPath(text(r.symLinkPath)), user(text(r.user)), groups(text(r.groups)), members(text(r.members)),
          fullName(text(r.fullName)), homeFolder(text(r.homeFolder)), logonShell(text(r.logonShell)),
          processKey(text(r.processKey)), processName(text(r.processName)), processUser(text(r.processUser)),
          process(text(r.process)), commandLine(text(r.commandLine)), displayName(text(r.displayName)),
          version(text(r.version)), manufacturer(text(r.manufacturer)), installedDate(text(r.installedDate)),
          record(r) {}
    std::string entityType, path, newKey, name, owner, userGroup, permissions, symLinkPath, user, groups, members,
        fullName, homeFolder, logonShell, processKey, processName, processUser, process, commandLine, displayName,
        version, manufacturer, installedDate;
    im_wrapper_event_s record;  // numbers and flags only: its texts are gone after the call
};

class CapturingScanner : public QVIMScanLinux {
public:
    explicit CapturingScanner(IMEngineHandleConcrete& engine)
        : QVIMScanLinux(engine.getDAL(), engine.getConfig(), engine.getStats()) {}

    bool processEvent(scan_type, unsigned long, im_wrapper_event_s& record, im_wrapper_response_s*,
                      JSONEvents&) override {
        records.emplace_back(record);
        return onRecord ? onRecord(records.back()) : true;
    }
    bool processEvent(scan_type, unsigned long, std::shared_ptr<QVIMEvent>& record, im_wrapper_response_s*,
                      JSONEvents&) override {
        built.push_back(record);
        return true;
    }
    bool folderInScope(const char* path) override { return scope ? scope(path) : true; }

    const Captured* find(const std::string& key) const {
        for (const Captured& captured : records)
            if (captured.newKey == key) return &captured;
        return nullptr;
    }

    void setProcessBudget(unsigned long milliseconds) { m_processScanBudgetMs = milliseconds; }

    std::vector<Captured> records;
    std::vector<std::shared_ptr<QVIMEvent>> built;
    // Return false to make the scan see a failed entity.
    std::function<bool(const Captured&)> onRecord;
    std::function<bool(const char*)> scope;
};

// A started engine and a scanner of its own for each test.
class ScannerTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(QVIM_OK, startEngine()); }
    void TearDown() override { engine_stop(); }

    // Runs a scan with a response: "ok" or "failed", and whether an events text came back.
    template <class Scan>
    std::string outcome(Scan scan, scan_type type, im_wrapper_response_s response = {}) {
        const bool ok = (scanner.*scan)(1, type, &response);
        const std::string text = std::string(ok ? "ok" : "failed") + (response.json != nullptr ? ", events" : "");
        free_json_string(response.json);
        return text;
    }

    IMEngineHandleConcrete engine;
    CapturingScanner scanner{engine};
};

// The texts joined by '|', to compare records a whole line at a time.
inline std::string joined(std::initializer_list<std::string> parts) {
    std::string out;
    for (auto part = parts.begin(); part != parts.end(); ++part) out += (part == parts.begin() ? "" : "|") + *part;
    return out;
}

// Numbers and flags joined by '|'.
template <class... Values>
std::string numbers(Values... values) {
    return joined({std::to_string(values)...});
}

// The non-empty lines a shell command writes.
inline std::vector<std::string> run(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        pclose(pipe);
    }
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// Runs a command with its output appended to "tools.log"; its exit status.
inline int sh(const std::string& command) { return std::system((command + " >>tools.log 2>&1").c_str()); }

// A folder with exactly this mode, whatever the umask.
inline void makeDir(const std::string& path, mode_t mode = 0755) {
    ASSERT_EQ(0, mkdir(path.c_str(), 0700)) << path;
    ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
}

// This process's command line as the scanners give it: arguments joined by blanks.
inline std::string ownCommandLine() {
    std::string text = readFile("/proc/self/cmdline");
    if (!text.empty() && text.back() == '\0') text.pop_back();
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
}

// The short name the kernel keeps for a process.
inline std::string comm(pid_t pid) {
    std::string text = readFile("/proc/" + std::to_string(pid) + "/comm");
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// A child process running the body, killed and reaped when it goes.
class Child {
public:
    static Child start(const std::function<void()>& body) {
        Child child;
        child.pid = fork();
        if (child.pid == 0) {
            body();
            _exit(127);
        }
        return child;
    }
    static Child exec(const std::string& program, const std::string& argument) {
        return start([&] { execl(program.c_str(), program.c_str(), argument.c_str(), static_cast<char*>(nullptr)); });
    }
    // Waits for a signal, under a new name of at most 15 characters when one is given.
    static Child paused(const char* name = nullptr) {
        return start([name] {
            if (name != nullptr) prctl(PR_SET_NAME, name);
            for (;;) pause();
        });
    }
    Child(Child&& other) noexcept : pid(other.pid) { other.pid = -1; }
    Child& operator=(Child&&) = delete;
    ~Child() { stop(); }
    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    // Waits until a file of the child's /proc folder holds the text.
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

// A socket bound to a loopback address (listening when it is a stream
// socket), closed when it goes.
class Socket {
public:
    Socket(int family, int type, int port = 0, bool reusePort = false) : fd(socket(family, type, 0)) {
        sockaddr_in6 address{};  // room for either family, whose port fields share their place
        address.sin6_family = static_cast<sa_family_t>(family);
        address.sin6_port = htons(static_cast<uint16_t>(port));
        if (family == AF_INET) reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        else address.sin6_addr = in6addr_loopback;
        auto* any = reinterpret_cast<sockaddr*>(&address);
        socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof address;
        const int on = 1;
        if (fd < 0 || (reusePort && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) ||
            bind(fd, any, length) != 0 || (type == SOCK_STREAM && listen(fd, 4) != 0) ||
            getsockname(fd, any, &length) != 0)
            close();
        else
            this->port = ntohs(address.sin6_port);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fd;
    int port = 0;
};

struct Package {
    std::string name, version, release;
    bool withFile = false;  // one file of 5 bytes, or none
};

// A package database of the test's own, built with the rpm tools. librpm is
// pointed at it through the macros file of a temporary home folder: it reads
// its configuration once per process, and each test runs in its own.
class PrivateRpmDatabase {
public:
    static bool toolsMissing() { return std::system("(command -v rpmbuild && command -v rpm) >/dev/null 2>&1") != 0; }

    void create() {
        home = testDirectory() + "/home";
        path = testDirectory() + "/rpmdb";
        const std::string tmp = testDirectory() + "/tmp";
        ASSERT_EQ(0, mkdir(home.c_str(), 0700));
        ASSERT_EQ(0, mkdir(tmp.c_str(), 0700));
        ASSERT_EQ(0, setenv("HOME", home.c_str(), 1));
        ASSERT_EQ(0, setenv("TMPDIR", tmp.c_str(), 1));
        pointAt(path);
        ASSERT_EQ(0, sh("rpm --dbpath " + path + " --initdb")) << readFile("tools.log");
    }
    void pointAt(const std::string& database) { writeFile(home + "/.rpmmacros", "%_dbpath " + database + "\n"); }

    // Builds the package and records it in the database.
    void add(const Package& package) {
        const std::string spec = testDirectory() + "/" + package.name + "-" + package.version + ".spec";
        const std::string file = "/opt/qv/" + package.name;
        writeFile(spec, "Name: " + package.name + "\nVersion: " + package.version + "\nRelease: " + package.release +
                            "\nSummary: test\nLicense: none\nVendor: Test Vendor\nBuildArch: noarch\n%description\ntest\n" +
                            (package.withFile ? "%install\nmkdir -p %{buildroot}/opt/qv\nprintf hello > %{buildroot}" +
                                                    file + "\n%files\n" + file + "\n"
                                              : std::string("%files\n")));
        // Package file and build folder get short names: a long version and
        // release would make the usual ones too long for the file system.
        const std::string top = testDirectory() + "/top";
        const std::string built = top + "/RPMS/noarch/" + package.name + "-" + package.version + ".rpm";
        ASSERT_EQ(0, sh("rpmbuild -bb --nodeps --define '_topdir " + top + "' --define '_tmppath " +
                        testDirectory() + "/tmp' --define '_build_name_fmt %%{ARCH}/%%{NAME}-%%{VERSION}.rpm' "
                        "--buildroot " + testDirectory() + "/buildroot" + std::to_string(++builds) + " " + spec))
            << readFile("tools.log");
        ASSERT_EQ(0, sh("rpm -i --justdb --nodeps --force-debian --dbpath " + path + " " + built))
            << readFile("tools.log");
    }
    void erase(const std::string& name) {
        ASSERT_EQ(0, sh("rpm -e --justdb --nodeps --dbpath " + path + " " + name)) << readFile("tools.log");
    }
    // Headers written by other tools may lack a release, which rpmbuild
    // insists on: the stored header gets its release tag renumbered to one
    // the package does not use, and the same for the header digests that no
    // longer match it. An index entry starts with its tag and type (6, a text).
    void dropRelease(const std::string& name) {
        // Patterns start past the tags' leading zero bytes: replace() leaves
        // a text alone when the pattern starts with one.
        execFile(path + "/rpmdb.sqlite",
                 "UPDATE Packages SET blob = CAST(replace(replace(replace(blob, x'03EA00000006', x'03F700000006'), "
                 "x'010D00000006', x'03FC00000006'), x'011100000006', x'03FF00000006') AS BLOB) "
                 "WHERE hnum = (SELECT hnum FROM Name WHERE key = '" + name + "')");
    }

    std::string home, path;

private:
    int builds = 0;
};

}  // namespace qvim_test
