// `qvim check` of an unchanged tree (default /usr) against `aide --check`
// with the same attributes, and, where the program has it, `qvim update`
// against `aide --update`: wall time and peak memory. Both baselines are built
// once; then the tools run in turn on warm caches, ROUNDS times (default 1,
// QVIM_BENCH_ROUNDS), each round giving its own lines.
//
//   check_bench [tree]   (QVIM_HOST_PROGRAM: the qvim program to run)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchReport.h"
#include "bench_process.h"

using namespace qvim_bench;

namespace {

// What the runs of one command against aide's cost; one line each.
void report(const std::string& figure, const Run& qvim, const std::string& aideName, const Run& aide,
            const char* target) {
    benchResult((figure + ", wall").c_str(), qvim.wallSeconds, "s", aideName.c_str(), aide.wallSeconds,
                aide.wallSeconds / qvim.wallSeconds, target);
    benchResult((figure + ", peak RSS").c_str(), static_cast<double>(qvim.peakKiB), "KiB", aideName.c_str(),
                static_cast<double>(aide.peakKiB), static_cast<double>(aide.peakKiB) / static_cast<double>(qvim.peakKiB),
                "-");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string tree = treeArgument(argc, argv, "/usr");
    const ScratchFolder folder("qvim-check-bench");
    if (!folder.ok()) {
        std::perror("check_bench: working folder");
        return 1;
    }
    const std::string rules = folder / "rules.json";
    writeFile(rules, qvimTreeRules(tree, true));
    const std::string aideConfig = folder / "aide.conf";
    writeFile(aideConfig, "database_in=file:" + folder / "aide.db\n" + "database_out=file:" + folder / "aide.db.new\n" +
                              "num_workers=2\n"
                              "QvimBench = p+u+g+s+m+c+i+n+sha256+sha1\n" +
                              tree + " QvimBench\n");
    const char* rounds = std::getenv("QVIM_BENCH_ROUNDS");
    const int count = rounds != nullptr && std::atoi(rounds) > 0 ? std::atoi(rounds) : 1;

    warm(tree);
    const std::string db = folder / "qvim.db";
    const std::vector<std::string> qvimDb = {"-q", "--db", db, "--log", folder / "qvim.log"};
    const auto qvim = [&](std::vector<std::string> command, int maxStatus) {
        command.insert(command.begin(), QVIM_HOST_PROGRAM);
        command.insert(command.end(), qvimDb.begin(), qvimDb.end());
        return measure(command, folder / "qvim.out", maxStatus);
    };
    // aide reports changes with statuses 1 to 7 and failures from 14 up;
    // qvim's changes (a package installed meanwhile) are ORed bits too.
    const int changes = 7;
    if (!qvim({"init", "--rules", rules}, 0).ok ||
        !measure({"aide", "--init", "--config", aideConfig}, folder / "aide.out", changes).ok ||
        std::rename((folder / "aide.db.new").c_str(), (folder / "aide.db").c_str()) != 0)
        return 1;
    const bool hasUpdate = measure({QVIM_HOST_PROGRAM, "help", "update"}, folder / "help.out", 0).ok;
    if (!hasUpdate) std::fprintf(stderr, "check_bench: this qvim has no update command; its rows are left out\n");

    bool ok = true;
    const std::string figure = "qvim check " + tree + ", unchanged";
    for (int round = 0; round < count; ++round) {
        const Run check = qvim({"check"}, changes);
        const Run aideCheck = measure({"aide", "--check", "--config", aideConfig}, folder / "aide.out", changes);
        ok = ok && check.ok && aideCheck.ok;
        if (check.ok && aideCheck.ok) report(figure, check, "aide --check, 2 workers", aideCheck, ">= 5 (x faster)");
        if (!hasUpdate) continue;
        const Run update = qvim({"update"}, changes);
        const Run aideUpdate = measure({"aide", "--update", "--config", aideConfig}, folder / "aide.out", changes);
        ok = ok && update.ok && aideUpdate.ok;
        if (update.ok && aideUpdate.ok)
            report("qvim update " + tree + ", unchanged", update, "aide --update, 2 workers", aideUpdate, "-");
    }
    return ok ? 0 : 1;
}
