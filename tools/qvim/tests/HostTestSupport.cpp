#include "HostTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "Baseline.h"
#include "Output.h"

namespace qvimhost_test {
namespace {

using Clock = std::chrono::steady_clock;

// Reads what is available; false once the descriptor reached its end.
bool drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<size_t>(got));
            continue;
        }
        return got < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

int millisecondsUntil(Clock::time_point deadline) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

}  // namespace

ProgramRun runQvim(const std::vector<std::string>& args, int timeoutSeconds) {
    Background program(args);
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    bool open = true;
    while (open && Clock::now() < deadline) open = program.pump(200);
    ProgramRun run;
    run.status = program.stop(open ? SIGKILL : 0);
    run.out = std::move(program.m_outBuffer);
    run.err = std::move(program.m_errBuffer);
    return run;
}

Background::Background(const std::vector<std::string>& args) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    m_pid = fork();
    if (m_pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        std::string program = QVIM_PROGRAM;
        std::vector<std::string> copies(args);
        std::vector<char*> argv{program.data()};
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    m_out = outPipe[0];
    m_err = errPipe[0];
    fcntl(m_out, F_SETFL, O_NONBLOCK);
    fcntl(m_err, F_SETFL, O_NONBLOCK);
}

Background::~Background() {
    if (m_pid > 0) stop(SIGKILL);
    ::close(m_out);
    ::close(m_err);
}

bool Background::pump(int timeoutMs) {
    // A descriptor at its end would wake every poll: leave it out.
    struct pollfd fds[2] = {{m_outOpen ? m_out : -1, POLLIN, 0}, {m_errOpen ? m_err : -1, POLLIN, 0}};
    ::poll(fds, 2, timeoutMs);
    if (m_outOpen) m_outOpen = drain(m_out, m_outBuffer);
    if (m_errOpen) m_errOpen = drain(m_err, m_errBuffer);
    return m_outOpen || m_errOpen;
}

bool Background::readLine(std::string& line, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t newline = m_outBuffer.find('\n');
        if (newline != std::string::npos) {
            line = m_outBuffer.substr(0, newline);
            m_outBuffer.erase(0, newline + 1);
            return true;
        }
        if (!m_outOpen || millisecondsUntil(deadline) <= 0) return false;
        pump(millisecondsUntil(deadline));
    }
}

size_t Background::unreadOutput() const {
    int pending = 0;
    return ioctl(m_out, FIONREAD, &pending) == 0 ? static_cast<size_t>(pending) : 0;
}

std::string Background::errorOutput() {
    pump(0);
    return m_errBuffer;
}

std::string Background::waitUntilWatching() {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (errorOutput().find("Watching") == std::string::npos && Clock::now() < deadline) pump(50);
    return m_errBuffer;
}

int Background::stop(int signal) {
    if (m_pid <= 0) return -1;
    if (signal != 0) kill(m_pid, signal);
    int raw = 0;
    waitpid(m_pid, &raw, 0);
    m_pid = -1;
    pump(0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

int Background::stopWithin(int signal, int seconds) {
    if (m_pid <= 0) return -1;
    kill(m_pid, signal);
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    int raw = 0;
    while (waitpid(m_pid, &raw, WNOHANG) == 0) {
        if (Clock::now() >= deadline) return stop(SIGKILL);
        pump(50);
    }
    m_pid = -1;
    pump(0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool Background::waitUntilCatching(int signal, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    const unsigned long long bit = 1ull << (signal - 1);
    while (m_pid > 0 && Clock::now() < deadline) {
        std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigCgt:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) & bit) != 0) return true;
        }
        pump(50);
    }
    return false;
}

void makeFolders(const std::string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string absolute(const std::string& relative) { return (std::filesystem::current_path() / relative).string(); }

Event parseEvent(const std::string& line) {
    qvimcli::JsonPtr event(cJSON_Parse(line.c_str()));
    EXPECT_TRUE(event) << line;
    return Event{qvimcli::jsonText(event.get(), "operationType"), qvimcli::jsonText(event.get(), "entityType"),
                 qvimcli::exactJsonText(event.get(), "key"), qvimcli::jsonText(event.get(), "permissions")};
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        if (end > start) result.push_back(text.substr(start, end - start));
    return result;
}

std::vector<Event> parseEvents(const std::string& out) {
    std::vector<Event> events;
    for (const std::string& line : lines(out)) events.push_back(parseEvent(line));
    return events;
}

std::map<std::string, std::string> operationsByKey(const std::vector<Event>& events, const std::string& kind) {
    std::map<std::string, std::string> operations;
    for (const Event& event : events) {
        const bool first = (!kind.empty() && event.kind != kind) || operations.emplace(event.key, event.operation).second;
        EXPECT_TRUE(first) << "reported twice: " << event.key;
    }
    return operations;
}

std::string folderRules(const std::string& folder) {
    return "{\"IntegrityRules\":[{\"id\":1,\"name\":\"tree files\",\"realtime\":\"true\",\"EntitySets\":["
           "{\"entityType\":\"File\",\"base\":\"" +
           folder + "\",\"includes\":\"**/*\"},{\"entityType\":\"Directory\",\"base\":\"" + folder + "\"}]}]}";
}

void HostTree::SetUp() {
    tree = absolute("tree");
    db = absolute("state/im.db");
    makeFolders(tree);
    writeText("rules.json", folderRules(tree));
}

ProgramRun HostTree::qvim(std::vector<std::string> args, int timeoutSeconds) {
    args.push_back("--db");
    args.push_back(db);
    return runQvim(args, timeoutSeconds);
}

void WatchedTree::makeTree() {
    root = absolute("watched");
    outside = absolute("outside");
    makeFolders(root + "/sub");
    makeFolders(outside);
    scope = qvimcli::Scope({root + "/"});
    watcher = std::make_unique<qvimcli::Watcher>(scope, nullptr, qvimcli::Watcher::Timing{50, 400, 50});
}

std::vector<qvimcli::FsChange> WatchedTree::collect(size_t count, int timeoutMs) {
    std::vector<qvimcli::FsChange> changes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (changes.size() < count && std::chrono::steady_clock::now() < deadline) {
        bool woken = false;
        for (qvimcli::FsChange& change : watcher->poll(100, -1, woken)) changes.push_back(std::move(change));
    }
    return changes;
}

}  // namespace qvimhost_test
