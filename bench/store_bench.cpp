// Baseline store throughput and memory: (a) buffered stores against bare
// prepared inserts, (b) unchanged change writes against bare look-ups by key,
// (c) peak resident memory of a baseline of 1 000 000 Files against one of
// 100 000. Keys come in the order a walk yields them: folder by folder, 400
// files each. Run with stdout to /dev/null; the figures go to stderr.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchReport.h"
#include "bench_store.h"
#include "bench_memory.h"

namespace {

using namespace qvim_bench;

constexpr int kRecords = 200'000;
constexpr int kLargeBaseline = 1'000'000;

// Bare SQLite: the engine's own insert text, its parameters bound per row,
// in transactions of 1001 rows.
double bareInserts(Synthetic& data, const std::string& path, const std::string& insertSql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_exec(db, "PRAGMA foreign_keys = ON;", nullptr, nullptr, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, insertSql.c_str(), -1, &stmt, nullptr);
    const auto index = [stmt](const char* name) { return sqlite3_bind_parameter_index(stmt, name); };
    const int key = index(":key"), now = index(":currentTime"), size = index(":size"), created = index(":created"),
              modified = index(":lastModified"), inode = index(":inodeNumber"), owner = index(":owner"),
              group = index(":userGroup"), permissions = index(":permissions"), sha = index(":sha256");
    const int zeros[] = {index(":blocksAllocated"), index(":deviceNumber"), index(":flags"), index(":flagsAll"),
                         index(":growing"), index(":inodeGenerationNumber"), index(":lastAccessed"),
                         index(":shrinking")};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRecords; ++i) {
        if (i % 1001 == 0) sqlite3_exec(db, "BEGIN TRANSACTION", nullptr, nullptr, nullptr);
        const im_wrapper_event_s r = data.record(i);
        sqlite3_bind_text(stmt, key, r.path, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, now, static_cast<sqlite3_int64>(getCurrentTimeInMillis()));
        sqlite3_bind_int64(stmt, size, static_cast<sqlite3_int64>(r.size));
        sqlite3_bind_int64(stmt, created, static_cast<sqlite3_int64>(r.created));
        sqlite3_bind_int64(stmt, modified, static_cast<sqlite3_int64>(r.lastModified));
        sqlite3_bind_int64(stmt, inode, static_cast<sqlite3_int64>(r.inodeNumber));
        for (int z : zeros) sqlite3_bind_int64(stmt, z, 0);
        sqlite3_bind_text(stmt, owner, "0", 1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, group, "0", 1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, permissions, "644", 3, SQLITE_TRANSIENT);
        sqlite3_bind_blob(stmt, sha, data.sha256, 32, SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) != SQLITE_DONE) std::exit(4);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        if (i % 1001 == 1000 || i == kRecords - 1) sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr);
    }
    const double elapsed = seconds(start);
    sqlite3_finalize(stmt);
    sqlite3_close_v2(db);
    return elapsed;
}

// Bare SQLite: the engine's look-up by key, stepped and read column by column.
double bareLookUps(Synthetic& data, const std::string& path, const std::string& selectSql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, selectSql.c_str(), -1, &stmt, nullptr);
    const int key = sqlite3_bind_parameter_index(stmt, ":wherekey");
    long long checksum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRecords; ++i) {
        sqlite3_bind_text(stmt, key, data.pathOf(i), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) != SQLITE_ROW) std::exit(5);
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) checksum += sqlite3_column_bytes(stmt, c);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
    const double elapsed = seconds(start);
    sqlite3_finalize(stmt);
    sqlite3_close_v2(db);
    if (checksum == 0) std::exit(6);
    return elapsed;
}

void report(const char* name, const char* referenceName, double figure, double reference, const char* unit,
            const char* target) {
    benchResult(name, figure, unit, referenceName, reference, figure / reference, target);
}

// Peak resident memory (KiB) of a child process that stores n records.
long peakResidentKiB(Synthetic& data, int n) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        qvim_bench::resetPeakResident();
        {
            Engine store("bench_memory_" + std::to_string(n) + ".db");
            store.storeAll(data, n);
        }
        const long kib = qvim_bench::peakResidentKiB();
        const bool sent = write(pipeFds[1], &kib, sizeof kib) == static_cast<ssize_t>(sizeof kib);
        _exit(sent ? 0 : 1);
    }
    close(pipeFds[1]);
    long kib = -1;
    if (read(pipeFds[0], &kib, sizeof kib) != static_cast<ssize_t>(sizeof kib)) kib = -1;
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return kib;
}

}  // namespace

int main() {
    Synthetic data;

    // (a) buffered stores
    double stored;
    std::string insertSql, selectSql;
    {
        Engine engine("bench_store.db");
        insertSql = engine.engine.fileTable()->makePreparedQuery(EventTypeTable::Insert);
        selectSql = engine.engine.fileTable()->makePreparedQuery(EventTypeTable::SelectByKey);
        const auto start = std::chrono::steady_clock::now();
        engine.storeAll(data, kRecords);
        stored = seconds(start);
    }
    { Engine schemaOnly("bench_bare.db"); }
    const double bare = bareInserts(data, "bench_bare.db", insertSql);
    report("buffered store_item, 200 000 Files", "bare prepared INSERT, 1001/txn", kRecords / stored, kRecords / bare,
           "rows/s", ">= 0.5");

    // (b) unchanged change writes with the integrity scan on, against the
    // baseline stored in (a)
    double monitored;
    {
        Engine engine("bench_store.db", true);
        engine.engine.setIntegrityscan(true);
        im_wrapper_response_s response{};
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kRecords; ++i) {
            const im_wrapper_event_s r = data.record(i);
            if (engine.engine.integrityMonitor(1, r, response) != QVIM_OK) std::exit(7);
            cleanup_response_wrapper(&response);
        }
        monitored = seconds(start);
        if (response.state != IM_MATCH_NO_EVENT) std::fprintf(stderr, "unexpected state %u\n", response.state);
        engine.engine.setIntegrityscan(false);
    }
    const double lookUps = bareLookUps(data, "bench_store.db", selectSql);
    report("unchanged integrity_monitor, 200 000 Files", "bare prepared look-up by key", kRecords / monitored,
           kRecords / lookUps, "rows/s", ">= 0.3");

    // (c) memory: the whole process, synthetic records included, stays under
    // 64 MiB; the smaller baseline shows how much of it grows with the count.
    const long large = peakResidentKiB(data, kLargeBaseline);
    const long small = peakResidentKiB(data, kLargeBaseline / 10);
    benchResult("peak RSS, baseline of 1 000 000 Files", static_cast<double>(large), "KiB",
                "baseline of 100 000 Files", static_cast<double>(small),
                static_cast<double>(small) / static_cast<double>(large), "value < 65536 (64 MiB)");
    for (const std::string& file : {std::string("bench_store.db"), std::string("bench_bare.db"),
                                    "bench_memory_" + std::to_string(kLargeBaseline) + ".db",
                                    "bench_memory_" + std::to_string(kLargeBaseline / 10) + ".db"})
        ::remove(file.c_str());
    return 0;
}
