// Baseline export throughput: get_baseline of 200 000 File rows in pages of
// 10 000 against a bare prepared SELECT of the same rows, paged the same way
// and written with fprintf; and the peak memory growth of one call that
// exports all rows. Standard output (where the rule filter reports matches)
// goes to /dev/null while measuring; the figures go to stderr (BenchReport.h).
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchReport.h"
#include "bench_memory.h"
#include "qvim.h"

namespace {

constexpr int kRows = 200'000;
constexpr unsigned long kPage = 10'000;
constexpr unsigned long kFileIds = 1'000'000'000UL;
const char* const kDb = "bench_export.db";
const char* const kOut = "bench_export.jsonl";
const char* const kRules =
    R"({"IntegrityRules":[{"id":1,"identifier":"B-1","name":"bench","EntitySets":[{"entityType":"File","base":"/w/"}]}]})";

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Sends standard output to /dev/null for the life of the object.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }

private:
    int m_saved;
};

void fail(const char* what) {
    std::fprintf(stderr, "export bench: %s failed\n", what);
    std::exit(1);
}

void buildBaseline() {
    ::remove(kDb);
    im_engine_init_s init{};
    init.dbPath = kDb;
    init.logLevel = QVIM_LOG_ERROR;
    if (engine_start(&init) != QVIM_OK) fail("engine_start");
    set_loglevel(QVIM_LOG_ERROR);
    if (set_ruleset(false, kRules, "bench") != QVIM_OK) fail("set_ruleset");
    unsigned char sha256[32];
    for (int i = 0; i < 32; ++i) sha256[i] = static_cast<unsigned char>(i * 7);
    char path[64];
    im_wrapper_response_s response{};
    set_baselinescan(true);
    for (int i = 0; i < kRows; ++i) {
        snprintf(path, sizeof path, "/w/dir%03d/file%06d.dat", i / 400, i);  // in walk order
        im_wrapper_event_s r{};
        r.entityType = "File";
        r.eventType = QVIM_EVENT_CHANGED;
        r.path = r.newKey = path;
        r.size = 4096 + i;
        r.created = r.lastModified = r.lastAccessed = 1'700'000'000'000ULL + i;
        r.inodeNumber = 1000 + i;
        r.owner = "0";
        r.userGroup = "0";
        r.permissions = "0644";
        r.sha256 = sha256;
        if (store_item(&r, true, &response) != QVIM_OK) fail("store_item");
    }
    set_baselinescan(false);
}

// The engine: one get_baseline call per page, each after the last id of the one before.
double enginePages() {
    const auto start = std::chrono::steady_clock::now();
    for (unsigned long done = 0; done < kRows; done += kPage)
        if (get_baseline(done == 0 ? 0 : kFileIds + done, 0, kPage, ENTITY_FILE, kOut) != QVIM_OK) fail("get_baseline");
    return seconds(start);
}

// The limit: the same pages read with one prepared SELECT and written with
// fprintf, without rule matching or JSON building.
double barePages() {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(kDb, &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) fail("open");
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT key, entityItemId, blocksAllocated, created, deviceNumber, flags, flagsAll, "
                           "userGroup, inodeGenerationNumber, inodeNumber, lastAccessed, lastModified, hex(md5), "
                           "owner, permissions, hex(sha1), hex(sha256), size, growing, shrinking, symLinkPath, "
                           "recordTime FROM EntityFileItems WHERE entityItemId>? ORDER BY entityItemId LIMIT ?",
                           -1, &stmt, nullptr) != SQLITE_OK)
        fail("prepare");
    const auto text = [stmt](int column) {
        const unsigned char* value = sqlite3_column_text(stmt, column);
        return value != nullptr ? reinterpret_cast<const char*>(value) : "";
    };
    long rows = 0;
    const auto start = std::chrono::steady_clock::now();
    for (unsigned long done = 0; done < kRows; done += kPage) {
        FILE* out = std::fopen(kOut, "wt");
        if (out == nullptr) fail("fopen");
        sqlite3_bind_int64(stmt, 1, static_cast<sqlite3_int64>(done));
        sqlite3_bind_int64(stmt, 2, static_cast<sqlite3_int64>(kPage));
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            std::fprintf(out,
                         "{\"entityItemId\":%lld,\"key\":\"%s\",\"blocksAllocated\":%lld"
                         ",\"created\":%lld,\"deviceNumber\":%lld,\"flags\":%lld"
                         ",\"flagsAll\":%lld,\"group\":\"%s\",\"inodeGenerationNumber\":%lld"
                         ",\"inodeNumber\":%lld,\"lastAccessed\":%lld,\"lastModified\":%lld"
                         ",\"md5\":\"%s\",\"owner\":\"%s\",\"permissions\":\"%s\",\"sha1\":\"%s\",\"sha256\":\"%s\","
                         "\"size\":%lld,\"growing\":%d,\"shrinking\":%d,\"symLinkPath\":\"%s\","
                         "\"recordTime\":%lld}\n",
                         static_cast<long long>(kFileIds) + sqlite3_column_int64(stmt, 1), text(0),
                         sqlite3_column_int64(stmt, 2), sqlite3_column_int64(stmt, 3), sqlite3_column_int64(stmt, 4),
                         sqlite3_column_int64(stmt, 5), sqlite3_column_int64(stmt, 6), text(7),
                         sqlite3_column_int64(stmt, 8), sqlite3_column_int64(stmt, 9),
                         sqlite3_column_int64(stmt, 10), sqlite3_column_int64(stmt, 11), text(12), text(13), text(14),
                         text(15), text(16), sqlite3_column_int64(stmt, 17), sqlite3_column_int(stmt, 18),
                         sqlite3_column_int(stmt, 19), text(20), sqlite3_column_int64(stmt, 21));
            ++rows;
        }
        sqlite3_reset(stmt);
        std::fclose(out);
    }
    const double elapsed = seconds(start);
    sqlite3_finalize(stmt);
    sqlite3_close_v2(db);
    if (rows != kRows) fail("bare row count");
    return elapsed;
}

}  // namespace

int main() {
    double engine = 0, bare = 0;
    long before = 0, after = 0;
    {
        QuietStdout quiet;
        buildBaseline();
        enginePages();  // warm the page cache for both sides
        engine = enginePages();
        bare = barePages();
        qvim_bench::resetPeakResident();
        before = qvim_bench::peakResidentKiB();
        if (get_baseline(0, 0, kRows, ENTITY_FILE, kOut) != QVIM_OK) fail("get_baseline");
        after = qvim_bench::peakResidentKiB();
        engine_stop();
    }
    const double figure = kRows / engine, reference = kRows / bare;
    benchResult("get_baseline, 200 000 Files in pages of 10 000", figure, "lines/s",
                "bare prepared SELECT + fprintf", reference, figure / reference, ">= 0.3");
    benchResult("peak RSS growth, one 200 000-line get_baseline", static_cast<double>(after - before), "KiB", "-", 0,
                0, "value < 1024 (flat)");
    ::remove(kDb);
    ::remove(kOut);
    return 0;
}
