// A baseline of a whole tree (default /usr) with the qvim program against the
// other integrity checkers' way of doing it: `qvim init` with SHA-256 and
// SHA-1 against `aide --init` with two workers and the same attributes, and
// against `find | xargs sha256sum`, which only reads and hashes the bytes.
// Wall time, CPU time and peak resident memory of each, from the rusage of the
// child. The caches are warmed before anything is timed; the tools run in turn
// and read the same bytes, so repeated runs find them cached.
//
//   init_bench [tree]     (QVIM_HOST_PROGRAM: the qvim program to run)
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "BenchReport.h"

namespace {

struct Run {
    bool ok = false;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakKiB = 0;
};

double seconds(const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; }

// Runs the command with its output sent to log and reports what it cost.
// Exit statuses up to maxStatus count as success.
Run measure(const std::vector<std::string>& command, const std::string& log, int maxStatus) {
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
    if (!run.ok) std::fprintf(stderr, "init_bench: '%s' failed (status %d); see %s\n", argv[0], status, log.c_str());
    return run;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Brings the tree's inodes and contents into the caches without copying them
// out: a file already cached costs an open and a close.
int warmOne(const char* path, const struct stat* st, int type, FTW*) {
    if (type == FTW_F && S_ISREG(st->st_mode)) {
        const int fd = open(path, O_RDONLY | O_NOATIME | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
            close(fd);
        }
    }
    return 0;
}

void warm(const std::string& tree) { nftw(tree.c_str(), warmOne, 64, FTW_PHYS | FTW_MOUNT); }

}  // namespace

int main(int argc, char** argv) {
    std::string tree = argc > 1 ? argv[1] : "/usr";
    while (tree.size() > 1 && tree.back() == '/') tree.pop_back();
    char folderTemplate[] = "/tmp/qvim-init-bench-XXXXXX";
    if (mkdtemp(folderTemplate) == nullptr) {
        std::perror("init_bench: working folder");
        return 1;
    }
    const std::string folder = folderTemplate;

    // qvim: one rule with a File and a Directory set, as the other tools
    // record folders and links too.
    const std::string rules = folder + "/rules.json";
    writeFile(rules, "{\"IntegrityRules\":[{\"id\":1,\"name\":\"tree\",\"EntitySets\":["
                     "{\"entityType\":\"File\",\"base\":\"" + tree + "/\",\"attributes\":"
                     "\"permissions,owner,group,size,lastmodified,created,inodenumber,sha256,sha1\"},"
                     "{\"entityType\":\"Directory\",\"base\":\"" + tree + "/\"}]}]}\n");
    // aide: permissions, owner, group, size, mtime, ctime, inode, links, SHA-256, SHA-1.
    const std::string aideConfig = folder + "/aide.conf";
    writeFile(aideConfig, "database_out=file:" + folder + "/aide.db\n"
                          "num_workers=2\n"
                          "QvimBench = p+u+g+s+m+c+i+n+sha256+sha1\n" +
                              tree + " QvimBench\n");

    warm(tree);
    const std::string shell = "/bin/sh";
    const std::string find = "find " + quoted(tree) + " -type f -print0 | xargs -0 ";

    const std::string db = folder + "/qvim.db";
    std::remove(db.c_str());
    const Run qvim = measure({QVIM_HOST_PROGRAM, "init", "--rules", rules, "--db", db, "--log", folder + "/qvim.log"},
                             folder + "/qvim.out", 0);
    // aide's init exits 0; its report statuses (1 to 7) are no failure, 14 and up are.
    const Run aide = measure({"aide", "--init", "--config", aideConfig}, folder + "/aide.out", 13);
    const Run bytes = measure({shell, "-c", find + "sha256sum >/dev/null"}, folder + "/sha256sum.out", 0);

    const std::string figure = "qvim init " + tree + " (SHA-256, SHA-1)";
    if (qvim.ok && aide.ok) {
        benchResult((figure + ", wall").c_str(), qvim.wallSeconds, "s", "aide --init, 2 workers", aide.wallSeconds,
                    aide.wallSeconds / qvim.wallSeconds, ">= 3 (x faster)");
        benchResult((figure + ", CPU").c_str(), qvim.cpuSeconds, "s", "aide --init, 2 workers", aide.cpuSeconds,
                    aide.cpuSeconds / qvim.cpuSeconds, "-");
        benchResult((figure + ", peak RSS").c_str(), static_cast<double>(qvim.peakKiB), "KiB",
                    "aide --init, 2 workers", static_cast<double>(aide.peakKiB),
                    static_cast<double>(aide.peakKiB) / static_cast<double>(qvim.peakKiB), "-");
    }
    if (qvim.ok && bytes.ok)
        benchResult((figure + ", wall vs bytes").c_str(), qvim.wallSeconds, "s", "find -type f, xargs sha256sum",
                    bytes.wallSeconds, bytes.wallSeconds / qvim.wallSeconds, "-");

    const std::string cleanup = "rm -rf " + quoted(folder);
    if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "init_bench: could not remove %s\n", folder.c_str());
    return qvim.ok && aide.ok && bytes.ok ? 0 : 1;
}
