// Directory baseline scan of a tree (default /usr) with one Directory rule
// based at it, against a bare opendir/readdir/lstat walk of the same tree,
// which is the most any walk can do. Then the change scan that follows with
// nothing changed. Each is timed as the best of three rounds, since the
// machine is shared; processor times show how much of a round was waiting.
//
//   scan_bench [tree [database folder]]
//
// The database folder defaults to /tmp; one on a memory file system (such
// as /dev/shm) leaves out the disk's sync time of the baseline commits.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchReport.h"
#include "qvim.h"

namespace {

using Clock = std::chrono::steady_clock;

// Processor time of this process so far: user and system seconds.
struct CpuTime {
    double user = 0, system = 0;
    static CpuTime now() {
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        const auto toSeconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
        return {toSeconds(usage.ru_utime), toSeconds(usage.ru_stime)};
    }
    CpuTime since(const CpuTime& start) const { return {user - start.user, system - start.system}; }
};

// The same walk as the engine's, without recording anything: every entry is
// examined, folders (not links to them) are entered.
unsigned long bareWalk(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return 0;
    unsigned long entries = 0;
    std::string child = path == "/" ? path : path + "/";
    const size_t prefix = child.size();
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' && (entry->d_name[1] == '\0' || entry->d_name[1] == '.')) continue;
        child.resize(prefix);
        child += entry->d_name;
        struct stat st;
        if (lstat(child.c_str(), &st) != 0) continue;
        ++entries;
        if (S_ISDIR(st.st_mode)) entries += bareWalk(child);
    }
    closedir(dir);
    return entries;
}

// The fastest of some rounds of a timed step.
struct Best {
    double seconds = 1e30;
    CpuTime cpu;
    template <class Step>
    bool time(Step step) {
        const Clock::time_point start = Clock::now();
        const CpuTime before = CpuTime::now();
        const bool ok = step();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (ok && elapsed < seconds) {
            seconds = elapsed;
            cpu = CpuTime::now().since(before);
        }
        return ok;
    }
    void print(const char* what, unsigned long entries) const {
        std::printf("%-30s %.3f s (cpu %.3f user, %.3f system), %.0f entities/s\n", what, seconds, cpu.user,
                    cpu.system, entries / seconds);
    }
};

bool check(qvim_status status, const char* what) {
    if (QVIM_FAILED(status)) std::fprintf(stderr, "%s failed: 0x%08X\n", what, status);
    return !QVIM_FAILED(status);
}

}  // namespace

int main(int argc, char** argv) {
    std::string tree = argc > 1 ? argv[1] : "/usr";
    while (tree.size() > 1 && tree.back() == '/') tree.pop_back();
    std::string folder = std::string(argc > 2 ? argv[2] : "/tmp") + "/qvim-scan-bench-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr || chdir(folder.c_str()) != 0) {
        std::perror("scan_bench: working folder");
        return 1;
    }
    constexpr int kRounds = 3;

    unsigned long entries = bareWalk(tree);  // also warms the caches for both walks
    Best bare;
    for (int round = 0; round < kRounds; ++round) bare.time([&] { return bareWalk(tree) == entries; });

    im_engine_init_s init{};
    init.dbPath = "bench.db";
    if (!check(engine_start(&init), "engine_start")) return 1;
    set_loglevel(QVIM_LOG_ERROR);
    const std::string ruleset = "{\"IntegrityRules\":[{\"id\":1,\"name\":\"tree\",\"EntitySets\":[{\"entityType\":"
                                "\"Directory\",\"base\":\"" + tree + "/\"}]}]}";
    if (!check(set_ruleset(false, ruleset.c_str(), "bench"), "set_ruleset")) return 1;

    const auto scan = [](scan_type type, unsigned long& events) {
        im_wrapper_response_s response;
        init_response_wrapper(&response);
        const bool ok = check(integrity_scan(1, ENTITY_DIRECTORY, type, &response),
                              type == SCAN_BASELINE ? "baseline scan" : "change scan");
        events = response.nEvents;
        cleanup_response_wrapper(&response);
        return ok;
    };
    unsigned long events = 0;
    Best baseline;
    for (int round = 0; round < kRounds; ++round) {
        // Each round builds the baseline anew.
        if (!check(purge_db(), "purge_db")) return 1;
        set_baselinescan(true);
        const bool ok = baseline.time([&] { return scan(SCAN_BASELINE, events); });
        set_baselinescan(false);
        if (!ok) return 1;
    }

    Best change;
    unsigned long changeEvents = 0;
    bool changeOk = true;
    for (int round = 0; round < kRounds && changeOk; ++round) {
        set_integrityscan(true);
        changeOk = change.time([&] { return scan(SCAN_CHANGE, events); });
        changeEvents += events;
        set_integrityscan(false);
    }

    char* metrics = nullptr;
    std::string rows = "?";
    if (get_metrics_mem(&metrics) == QVIM_OK && metrics != nullptr) {
        const char* found = std::strstr(metrics, "\"directoryItemCount\":");
        if (found != nullptr) rows = std::to_string(std::strtoul(found + 21, nullptr, 10));
        free_json_string(metrics);
    }
    engine_stop();

    std::printf("tree %s: %lu entries, %s directory rows stored, database in %s\n", tree.c_str(), entries,
                rows.c_str(), argc > 2 ? argv[2] : "/tmp");
    baseline.print("baseline scan:", entries);
    bare.print("bare walk (limit):", entries);
    std::printf("ratio: %.2f (target >= 0.40)\n", bare.seconds / baseline.seconds);
    change.print("change scan, nothing changed:", entries);
    std::printf("change scan events: %lu%s\n", changeEvents, changeOk ? "" : " (failed)");
    const std::string bareName = "bare opendir/readdir/lstat walk";
    benchResult(("Directory baseline scan of " + tree).c_str(), entries / baseline.seconds, "entries/s",
                bareName.c_str(), entries / bare.seconds, bare.seconds / baseline.seconds, ">= 0.4");
    if (changeOk)
        benchResult(("Directory change scan of " + tree + ", unchanged").c_str(), entries / change.seconds,
                    "entries/s", bareName.c_str(), entries / bare.seconds, bare.seconds / change.seconds, "-");

    const std::string cleanup = "rm -rf '" + folder + "'";
    if (chdir("/") != 0 || std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", folder.c_str());
    return changeOk ? 0 : 1;
}
