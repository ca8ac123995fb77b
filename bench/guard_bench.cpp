// The cost of qvim guard to everyone else: open/write/close and unlink of
// files no rule protects, with the guard running against without it; and the
// time from a refused write to its "block" event on the guard's output.
// Needs root and a kernel that lets the guard's programs in; elsewhere it
// says why and reports nothing.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchReport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFiles = 20'000;
constexpr int kRounds = 3;
constexpr int kRefusals = 20;
constexpr uid_t kNobody = 65534;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void fail(const std::string& what) {
    std::fprintf(stderr, "guard bench: %s\n", what.c_str());
    std::exit(1);
}

int runProgram(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
}

// Fastest of a few rounds of the workload on unprotected files.
double workload(const std::string& folder) {
    double best = 1e9;
    char block[4096];
    memset(block, 'x', sizeof block);
    for (int round = 0; round < kRounds; ++round) {
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < kFiles; ++i) {
            const std::string path = folder + "/f" + std::to_string(i);
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || write(fd, block, sizeof block) != static_cast<ssize_t>(sizeof block)) fail("write " + path);
            close(fd);
            unlink(path.c_str());
        }
        best = std::min(best, seconds(start));
    }
    return best;
}

class Guard {
public:
    Guard(const std::string& program, const std::string& db) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) fail("pipe");
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            execl(program.c_str(), program.c_str(), "guard", "--json", "--db", db.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~Guard() {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        close(m_out);
        close(m_err);
    }
    // Waits for the start; false with its messages when it ended instead.
    bool started(std::string& messages) {
        char buffer[4096];
        const Clock::time_point start = Clock::now();
        while (seconds(start) < 30) {
            struct pollfd wait = {m_err, POLLIN, 0};
            if (poll(&wait, 1, 100) <= 0) continue;
            const ssize_t got = read(m_err, buffer, sizeof buffer);
            if (got <= 0) return false;
            messages.append(buffer, static_cast<size_t>(got));
            if (messages.find("Guarding") != std::string::npos) return true;
        }
        return false;
    }
    // Waits for the next line of events.
    bool event(int timeoutMs) {
        char c = 0;
        struct pollfd wait = {m_out, POLLIN, 0};
        while (poll(&wait, 1, timeoutMs) > 0 && read(m_out, &c, 1) == 1)
            if (c == '\n') return true;
        return false;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
};

// Seconds from a refused write by another user to its event.
double refusalToEvent(Guard& guard, const std::string& file) {
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
            setresuid(kNobody, kNobody, kNobody) != 0)
            _exit(2);
        _exit(open(file.c_str(), O_WRONLY) < 0 && errno == EPERM ? 0 : 1);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) fail("the write by another user was not refused");
    if (!guard.event(5000)) fail("no event for a refused write");
    return seconds(start);
}

}  // namespace

int main() {
    const std::string program = QVIM_HOST_PROGRAM;
    char pattern[] = "/tmp/qvim-guard-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) fail("mkdtemp");
    const std::string root = pattern;
    const std::string protectedDir = root + "/protected", openDir = root + "/open", state = root + "/state";
    for (const std::string& folder : {protectedDir, openDir, state}) mkdir(folder.c_str(), 0700);
    chmod(root.c_str(), 0755);
    chmod(protectedDir.c_str(), 0777);
    const std::string secret = protectedDir + "/secret.conf";
    FILE* file = std::fopen(secret.c_str(), "w");
    if (file == nullptr) fail("cannot write " + secret);
    std::fputs("setting=1\n", file);
    std::fclose(file);
    chmod(secret.c_str(), 0666);
    const std::string rules = root + "/rules.json", db = state + "/im.db";
    file = std::fopen(rules.c_str(), "w");
    if (file == nullptr) fail("cannot write " + rules);
    std::fprintf(file,
                 "{\"IntegrityRules\":[{\"id\":1,\"name\":\"only root\",\"realtime\":\"true\","
                 "\"enforcement\":{\"type\":\"allow\",\"users\":[\"root\"]},"
                 "\"EntitySets\":[{\"entityType\":\"File\",\"base\":\"%s\"}]}]}",
                 protectedDir.c_str());
    std::fclose(file);
    if (runProgram({program, "init", "--rules", rules, "--db", db}) != 0) fail("qvim init failed");

    const double without = workload(openDir);
    double with = 0;
    std::vector<double> latencies;
    {
        Guard guard(program, db);
        std::string messages;
        if (!guard.started(messages)) {
            std::fprintf(stderr, "guard bench: not measured, qvim guard cannot run here: %s", messages.c_str());
            return system(("rm -rf '" + root + "'").c_str()) == 0 ? 0 : 1;
        }
        with = workload(openDir);
        for (int i = 0; i < kRefusals; ++i) latencies.push_back(refusalToEvent(guard, secret));
    }
    std::sort(latencies.begin(), latencies.end());
    const double perFileWithout = without / kFiles * 1e6, perFileWith = with / kFiles * 1e6;
    benchResult("guard: open-write-close-unlink of unprotected files", perFileWith, "us/file", "without guard",
                perFileWithout, perFileWithout / perFileWith, ">= 0.95");
    benchResult("guard: refused write to its block event (median)", latencies[latencies.size() / 2] * 1e3, "ms", "-",
                0, 0, "-");
    return system(("rm -rf '" + root + "'").c_str()) == 0 ? 0 : 1;
}
