// Running whole programs for the benchmarks that compare the qvim program
// with other tools: wall time, CPU time and peak memory of a child, a scratch
// folder, and warming a tree's caches so that every side reads the same
// cached bytes.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace qvim_bench {

struct Run {
    bool ok = false;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakKiB = 0;
};

inline double seconds(const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; }

// Runs the command with its output sent to log and reports what it cost.
// Exit statuses up to maxStatus count as success.
inline Run measure(const std::vector<std::string>& command, const std::string& log, int maxStatus) {
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    Run run;
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (child < 0) return run;
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) return run;
    run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.peakKiB = usage.ru_maxrss;  // the largest of the child and the processes it waited for
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) <= maxStatus;
    if (!run.ok) std::fprintf(stderr, "'%s' failed (status %d); see %s\n", argv[0], status, log.c_str());
    return run;
}

inline bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

inline std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Brings the tree's inodes and contents into the caches without copying them
// out: a file already cached costs an open and a close.
inline int warmOne(const char* path, const struct stat* st, int type, FTW*) {
    if (type == FTW_F && S_ISREG(st->st_mode)) {
        const int fd = open(path, O_RDONLY | O_NOATIME | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
            close(fd);
        }
    }
    return 0;
}

inline void warm(const std::string& tree) { nftw(tree.c_str(), warmOne, 64, FTW_PHYS | FTW_MOUNT); }

// A scratch folder in /tmp, removed with what it holds.
class ScratchFolder {
public:
    explicit ScratchFolder(const char* name) : m_path(std::string("/tmp/") + name + "-XXXXXX") {
        if (mkdtemp(m_path.data()) == nullptr) m_path.clear();
    }
    ~ScratchFolder() {
        if (m_path.empty()) return;
        const std::string cleanup = "rm -rf " + quoted(m_path);
        if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", m_path.c_str());
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    bool ok() const { return !m_path.empty(); }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// The tree without trailing slashes, from the first argument or the default.
inline std::string treeArgument(int argc, char** argv, const char* fallback) {
    std::string tree = argc > 1 ? argv[1] : fallback;
    while (tree.size() > 1 && tree.back() == '/') tree.pop_back();
    return tree;
}

// qvim's rule for a tree: Files with the attributes the comparisons use and,
// when folders is set, the Directories too, as the other tools record them.
inline std::string qvimTreeRules(const std::string& tree, bool folders) {
    // "**/*": without a pattern that descends, a set covers the base's own entries only.
    std::string sets = "{\"entityType\":\"File\",\"base\":\"" + tree + "/\",\"includes\":\"**/*\",\"attributes\":"
                       "\"permissions,owner,group,size,lastmodified,created,inodenumber,sha256,sha1\"}";
    if (folders) sets += ",{\"entityType\":\"Directory\",\"base\":\"" + tree + "/\",\"includes\":\"**/*\"}";
    return "{\"IntegrityRules\":[{\"id\":1,\"name\":\"tree\",\"EntitySets\":[" + sets + "]}]}\n";
}

}  // namespace qvim_bench
