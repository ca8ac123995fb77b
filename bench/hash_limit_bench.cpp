// `qvim init` of a tree (default /usr/share) against the limit of this
// machine: bare_hash, which only walks the same tree and hashes every regular
// file with SHA-256 and SHA-1 on every core. Both run in turn on warm caches,
// ROUNDS times (default 1, QVIM_BENCH_ROUNDS), and each round gives its own
// lines, so the runner's spread covers them.
//
//   hash_limit_bench [tree]   (QVIM_HOST_PROGRAM, QVIM_BARE_HASH: the programs)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchReport.h"
#include "bench_process.h"

using namespace qvim_bench;

int main(int argc, char** argv) {
    const std::string tree = treeArgument(argc, argv, "/usr/share");
    const ScratchFolder folder("qvim-hash-limit-bench");
    if (!folder.ok()) {
        std::perror("hash_limit_bench: working folder");
        return 1;
    }
    const std::string rules = folder / "rules.json";
    writeFile(rules, qvimTreeRules(tree, false));
    const char* rounds = std::getenv("QVIM_BENCH_ROUNDS");
    const int count = rounds != nullptr && std::atoi(rounds) > 0 ? std::atoi(rounds) : 1;

    warm(tree);
    bool ok = true;
    for (int round = 0; round < count; ++round) {
        const std::string db = folder / "qvim.db";
        std::remove(db.c_str());
        const Run qvim = measure({QVIM_HOST_PROGRAM, "init", "-q", "--rules", rules, "--db", db, "--log",
                                  folder / "qvim.log"},
                                 folder / "qvim.out", 0);
        const Run bare = measure({QVIM_BARE_HASH, tree}, folder / "bare.out", 0);
        ok = ok && qvim.ok && bare.ok;
        if (!qvim.ok || !bare.ok) continue;
        const std::string figure = "qvim init " + tree + " (SHA-256, SHA-1)";
        const char* reference = "bare parallel SHA-256+SHA-1 pass";
        benchResult((figure + ", wall vs the limit").c_str(), qvim.wallSeconds, "s", reference, bare.wallSeconds,
                    bare.wallSeconds / qvim.wallSeconds, ">= 0.8");
        benchResult((figure + ", CPU vs the limit").c_str(), qvim.cpuSeconds, "s", reference, bare.cpuSeconds,
                    bare.cpuSeconds / qvim.cpuSeconds, "-");
    }
    return ok ? 0 : 1;
}
