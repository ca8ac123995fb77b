// Directory baseline scan of a tree (default /usr) with one Directory rule
// based at it, against a bare opendir/readdir/lstat walk of the same tree,
// which is the most any walk can do. Then the change scan that follows with
// nothing changed.
//
//   scan_bench [tree]
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qvim.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

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

bool check(qvim_status status, const char* what) {
    if (QVIM_FAILED(status)) std::fprintf(stderr, "%s failed: 0x%08X\n", what, status);
    return !QVIM_FAILED(status);
}

}  // namespace

int main(int argc, char** argv) {
    std::string tree = argc > 1 ? argv[1] : "/usr";
    while (tree.size() > 1 && tree.back() == '/') tree.pop_back();

    char folder[] = "/tmp/qvim-scan-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0) {
        std::perror("scan_bench: working folder");
        return 1;
    }

    bareWalk(tree);  // warm the caches for both walks
    double bareTime = 1e30;
    unsigned long entries = 0;
    for (int round = 0; round < 3; ++round) {
        const Clock::time_point start = Clock::now();
        entries = bareWalk(tree);
        bareTime = std::min(bareTime, seconds(start));
    }

    im_engine_init_s init{};
    init.dbPath = "bench.db";
    if (!check(engine_start(&init), "engine_start")) return 1;
    set_loglevel(QVIM_LOG_ERROR);
    const std::string ruleset = "{\"IntegrityRules\":[{\"id\":1,\"name\":\"tree\",\"EntitySets\":[{\"entityType\":"
                                "\"Directory\",\"base\":\"" + tree + "/\"}]}]}";
    if (!check(set_ruleset(false, ruleset.c_str(), "bench"), "set_ruleset")) return 1;

    im_wrapper_response_s response;
    init_response_wrapper(&response);
    set_baselinescan(true);
    Clock::time_point start = Clock::now();
    const bool baselineOk = check(integrity_scan(1, ENTITY_DIRECTORY, SCAN_BASELINE, &response), "baseline scan");
    const double scanTime = seconds(start);
    set_baselinescan(false);
    cleanup_response_wrapper(&response);
    if (!baselineOk) return 1;

    set_integrityscan(true);
    init_response_wrapper(&response);
    start = Clock::now();
    const bool changeOk = check(integrity_scan(1, ENTITY_DIRECTORY, SCAN_CHANGE, &response), "change scan");
    const double changeTime = seconds(start);
    const unsigned long changeEvents = response.nEvents;
    cleanup_response_wrapper(&response);
    set_integrityscan(false);

    char* metrics = nullptr;
    std::string rows = "?";
    if (get_metrics_mem(&metrics) == QVIM_OK && metrics != nullptr) {
        const char* found = std::strstr(metrics, "\"directoryItemCount\":");
        if (found != nullptr) rows = std::to_string(std::strtoul(found + 21, nullptr, 10));
        free_json_string(metrics);
    }
    engine_stop();

    const double scanRate = entries / scanTime;
    const double bareRate = entries / bareTime;
    std::printf("tree %s: %lu entries, %s directory rows stored\n", tree.c_str(), entries, rows.c_str());
    std::printf("baseline scan:   %.3f s, %.0f entities/s\n", scanTime, scanRate);
    std::printf("bare walk (limit): %.3f s, %.0f entities/s\n", bareTime, bareRate);
    std::printf("ratio: %.2f (target >= 0.40)\n", scanRate / bareRate);
    std::printf("change scan, nothing changed: %.3f s, %lu events%s\n", changeTime, changeEvents,
                changeOk ? "" : " (failed)");

    std::string cleanup = std::string("rm -rf '") + folder + "'";
    if (chdir("/") != 0 || std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", folder);
    return changeOk ? 0 : 1;
}
