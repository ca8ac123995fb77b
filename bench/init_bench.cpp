// A baseline of a whole tree (default /usr) with the qvim program against the
// other integrity checkers' way of doing it: `qvim init` with SHA-256 and
// SHA-1 against `aide --init` with two workers and the same attributes, and
// against `find | xargs sha256sum`, which only reads and hashes the bytes.
// Wall time, CPU time and peak resident memory of each, from the rusage of the
// child. The caches are warmed before anything is timed; the tools run in turn
// and read the same bytes, so repeated runs find them cached.
//
//   init_bench [tree]     (QVIM_HOST_PROGRAM: the qvim program to run)
#include <cstdio>
#include <string>

#include "BenchReport.h"
#include "bench_process.h"

using namespace qvim_bench;

int main(int argc, char** argv) {
    const std::string tree = treeArgument(argc, argv, "/usr");
    const ScratchFolder folder("qvim-init-bench");
    if (!folder.ok()) {
        std::perror("init_bench: working folder");
        return 1;
    }

    // qvim: one rule with a File and a Directory set, as the other tools
    // record folders and links too.
    const std::string rules = folder / "rules.json";
    writeFile(rules, qvimTreeRules(tree, true));
    // aide: permissions, owner, group, size, mtime, ctime, inode, links, SHA-256, SHA-1.
    const std::string aideConfig = folder / "aide.conf";
    writeFile(aideConfig, "database_out=file:" + folder / "aide.db\n"
                          "num_workers=2\n"
                          "QvimBench = p+u+g+s+m+c+i+n+sha256+sha1\n" +
                              tree + " QvimBench\n");

    warm(tree);
    const std::string shell = "/bin/sh";
    const std::string find = "find " + quoted(tree) + " -type f -print0 | xargs -0 ";

    const std::string db = folder / "qvim.db";
    std::remove(db.c_str());
    const Run qvim = measure({QVIM_HOST_PROGRAM, "init", "--rules", rules, "--db", db, "--log", folder / "qvim.log"},
                             folder / "qvim.out", 0);
    // aide's init exits 0; its report statuses (1 to 7) are no failure, 14 and up are.
    const Run aide = measure({"aide", "--init", "--config", aideConfig}, folder / "aide.out", 13);
    const Run bytes = measure({shell, "-c", find + "sha256sum >/dev/null"}, folder / "sha256sum.out", 0);

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

    return qvim.ok && aide.ok && bytes.ok ? 0 : 1;
}
