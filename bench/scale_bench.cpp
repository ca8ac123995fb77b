// How the store scales: a baseline of N synthetic Files through store_item,
// then a change scan of them (every 100th changed), with the engine's
// cleanup of what the scan did not see, in a child process whose peak
// resident memory is read before and after the scan. N is 300 000 by
// default so that a bench run stays short; QVIM_BENCH_SCALE_FILES=10000000
// measures a host with ten million files. Times are per million Files, so
// that any N reads alike. A tenth of N gives the reference for flat memory.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchReport.h"
#include "bench_memory.h"
#include "bench_store.h"

namespace {

using namespace qvim_bench;

struct Scale {
    double storeSeconds = -1;
    double scanSeconds = -1;
    long storePeakKiB = -1;
    long scanPeakKiB = -1;
};

Scale runScale(int n) {
    Scale scale;
    Synthetic data;
    const std::string db = "bench_scale_" + std::to_string(n) + ".db";
    qvim_bench::resetPeakResident();
    Engine store(db);
    auto start = std::chrono::steady_clock::now();
    store.storeAll(data, n);
    scale.storeSeconds = seconds(start);
    scale.storePeakKiB = peakResidentKiB();

    const unsigned long scanStart = getCurrentTimeInMillis();
    start = std::chrono::steady_clock::now();
    if (store.engine.setIntegrityscan(true) != QVIM_OK) return scale;
    im_wrapper_response_s response{};
    for (int i = 0; i < n; ++i) {
        im_wrapper_event_s r = data.record(i);
        if (i % 100 == 0) ++r.size;
        if (store.engine.integrityMonitor(1, r, response) != QVIM_OK) return scale;
        cleanup_response_wrapper(&response);
    }
    if (store.engine.setIntegrityscan(false) != QVIM_OK ||
        store.engine.cleanUnscanned("File", scanStart, response) != QVIM_OK)
        return scale;
    cleanup_response_wrapper(&response);
    scale.scanSeconds = seconds(start);
    scale.scanPeakKiB = peakResidentKiB();
    ::remove(db.c_str());
    return scale;
}

// In a child, so that each size's peak is its own.
Scale measureScale(int n) {
    int fds[2];
    Scale scale;
    if (pipe(fds) != 0) return scale;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const Scale measured = runScale(n);
        _exit(write(fds[1], &measured, sizeof measured) == static_cast<ssize_t>(sizeof measured) ? 0 : 1);
    }
    close(fds[1]);
    if (read(fds[0], &scale, sizeof scale) != static_cast<ssize_t>(sizeof scale)) scale = Scale();
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return scale;
}

}  // namespace

int main() {
    const char* files = std::getenv("QVIM_BENCH_SCALE_FILES");
    const int n = files != nullptr && std::atoi(files) >= 10 ? std::atoi(files) : 300'000;
    const Scale large = measureScale(n);
    const Scale small = measureScale(n / 10);
    if (large.scanSeconds < 0 || small.scanSeconds < 0) {
        std::fprintf(stderr, "scale_bench: the store or the scan failed\n");
        return 1;
    }
    const double millions = n / 1e6;
    const std::string count = std::to_string(n) + " Files";
    benchValue(("store_item baseline of " + count + ", time per million").c_str(), large.storeSeconds / millions,
               "s");
    benchValue(("change scan of " + count + " (1% changed), time per million").c_str(),
               large.scanSeconds / millions, "s");
    const std::string reference = "the same at " + std::to_string(n / 10) + " Files";
    benchResult(("peak RSS, baseline of " + count).c_str(), static_cast<double>(large.storePeakKiB), "KiB",
                reference.c_str(), static_cast<double>(small.storePeakKiB),
                static_cast<double>(small.storePeakKiB) / static_cast<double>(large.storePeakKiB),
                "value < 65536 (64 MiB)");
    benchResult(("peak RSS, baseline and change scan of " + count).c_str(), static_cast<double>(large.scanPeakKiB),
                "KiB", reference.c_str(), static_cast<double>(small.scanPeakKiB),
                static_cast<double>(small.scanPeakKiB) / static_cast<double>(large.scanPeakKiB),
                "value < 65536 (64 MiB)");
    return 0;
}
