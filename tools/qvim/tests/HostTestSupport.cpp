#include "HostTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "TestSupport.h"
#include "qvim.h"

namespace qvimhost_test {
namespace {

pid_t spawn(const std::vector<std::string>& args, int& out, int& err) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        std::vector<char*> argv;
        std::string program = QVIM_PROGRAM;
        argv.push_back(program.data());
        std::vector<std::string> copies(args);
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    out = outPipe[0];
    err = errPipe[0];
    fcntl(out, F_SETFL, O_NONBLOCK);
    fcntl(err, F_SETFL, O_NONBLOCK);
    return pid;
}

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

int exitStatus(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

}  // namespace

ProgramRun runQvim(const std::vector<std::string>& args, int timeoutSeconds) {
    ProgramRun run;
    int out = -1;
    int err = -1;
    const pid_t pid = spawn(args, out, err);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool outOpen = true;
    bool errOpen = true;
    while ((outOpen || errOpen) && std::chrono::steady_clock::now() < deadline) {
        struct pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        ::poll(fds, 2, 200);
        if (outOpen) outOpen = drain(out, run.out);
        if (errOpen) errOpen = drain(err, run.err);
    }
    if (outOpen || errOpen) kill(pid, SIGKILL);
    int raw = 0;
    waitpid(pid, &raw, 0);
    ::close(out);
    ::close(err);
    run.status = exitStatus(raw);
    return run;
}

Background::Background(const std::vector<std::string>& args) { m_pid = spawn(args, m_out, m_err); }

Background::~Background() {
    if (m_pid > 0) stop(SIGKILL);
    if (m_out >= 0) ::close(m_out);
    if (m_err >= 0) ::close(m_err);
}

void Background::pump(int timeoutMs) {
    struct pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    ::poll(fds, 2, timeoutMs);
    drain(m_out, m_outBuffer);
    drain(m_err, m_errBuffer);
}

bool Background::readLine(std::string& line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t newline = m_outBuffer.find('\n');
        if (newline != std::string::npos) {
            line = m_outBuffer.substr(0, newline);
            m_outBuffer.erase(0, newline + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pump(static_cast<int>(left.count()));
    }
}

std::string Background::errorOutput() {
    pump(0);
    return m_errBuffer;
}

int Background::stop(int signal) {
    if (m_pid <= 0) return -1;
    kill(m_pid, signal);
    int raw = 0;
    waitpid(m_pid, &raw, 0);
    m_pid = -1;
    pump(0);
    return exitStatus(raw);
}

void makeFolders(const std::string& path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || (path[i] == '/' && i > 0)) {
            partial = path.substr(0, i);
            mkdir(partial.c_str(), 0755);
        }
    }
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string absolute(const std::string& relative) {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) == nullptr) return relative;
    return std::string(buffer) + "/" + relative;
}

std::string folderRules(const std::string& folder) {
    return "{\"IntegrityRules\":[{\"id\":1,\"name\":\"tree files\",\"realtime\":\"true\",\"EntitySets\":["
           "{\"entityType\":\"File\",\"base\":\"" +
           folder + "\",\"includes\":\"**/*\"},{\"entityType\":\"Directory\",\"base\":\"" + folder + "\"}]}]}";
}

std::string missingEnginePart() {
    static const std::string missing = [] {
        if (qvim_test::startEngine("probe.db") != QVIM_OK) return std::string("engine_start");
        im_wrapper_response_s response;
        init_response_wrapper(&response);
        set_ruleset(false, "{\"IntegrityRules\":[{\"id\":1,\"EntitySets\":[{\"entityType\":\"User\"}]}]}", "probe");
        set_baselinescan(true);
        set_baselinescan(false);
        set_integrityscan(true);
        set_integrityscan(false);
        integrity_scan(0, ENTITY_GROUP, SCAN_CHANGE, &response);
        cleanup_response_wrapper(&response);
        im_wrapper_event_s record{};
        record.entityType = "File";
        record.path = "/probe";
        record.newKey = "/probe";
        record.eventType = 7;
        store_item(&record, false, &response);
        cleanup_response_wrapper(&response);
        integrity_monitor(0, &record, &response);
        cleanup_response_wrapper(&response);
        clean_unscanned("File", 0, &response);
        cleanup_response_wrapper(&response);
        get_baseline(0, 0, 1, ENTITY_FILE, "probe.jsonl");
        engine_stop();
        for (const qvim_test::LogLine& line : qvim_test::capturedLog()) {
            const size_t at = line.message.find(" is not available in this build");
            if (at != std::string::npos) return line.message.substr(0, at);
        }
        return std::string();
    }();
    return missing;
}

}  // namespace qvimhost_test
