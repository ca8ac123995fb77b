// Disk and file faults: the database folder turning read-only while the
// engine runs, the database file replaced by garbage between runs, and a log
// file whose folder is gone. Each gives its failure status and a log line
// that says what happened; nothing crashes and nothing stored is lost.
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "baseline_support.h"
#include "robust_support.h"

using namespace qvim_test;

namespace {

// The folder is read-only for the length of a scope, also for root: the
// thread gives up the capabilities that pass every permission check.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const std::string& path) : m_path(path) {
        if (capabilities(SYS_capget, m_saved) == 0) {
            __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
            reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
            m_reduced = capabilities(SYS_capset, reduced) == 0;
        }
        EXPECT_EQ(chmod(path.c_str(), 0500), 0);
        clearCapturedLog();
    }
    ~ReadOnlyFolder() {
        EXPECT_EQ(chmod(m_path.c_str(), 0700), 0);
        if (m_reduced) capabilities(SYS_capset, m_saved);
    }

private:
    static long capabilities(long call, __user_cap_data_struct* data) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return syscall(call, &header, data);
    }

    const std::string m_path;
    __user_cap_data_struct m_saved[2]{};
    bool m_reduced = false;
};

const char* const kRules =
    R"({"IntegrityRules":[{"id":1,"name":"files","EntitySets":[{"entityType":"File","base":"/f","includes":"**/*"}]}]})";

std::string key(int n) { return "/f/" + std::to_string(n); }

int rows(const std::string& db) { return std::stoi(queryFile(db, "SELECT count(*) FROM EntityFileItems")); }

}  // namespace

class DiskFaults : public testing::Test {
protected:
    // The engine on the database at path, watching the files under /f. In
    // rollback mode a write needs a journal beside the file, and each commit
    // grows the file itself.
    void start(const std::string& path = "test.db", bool rollback = false) {
        ASSERT_EQ(rollback ? startEngineInRollbackMode(path) : startEngine(path), QVIM_OK);
        ASSERT_EQ(set_ruleset(false, kRules, "g"), QVIM_OK);
    }
    // The same on a database in a folder of its own.
    void startInFolder() {
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        start(db, true);
    }

    // A real-time change of a stored file's size: the number of events it
    // gave, or -1 when it failed (and then it hands out no document).
    int changeSize(int n, uint64_t size) {
        im_wrapper_event_s changed = records.make("File", key(n));
        changed.size = size;
        im_wrapper_response_s response{};
        const qvim_status status = integrity_monitor(1, &changed, &response);
        const int events = QVIM_FAILED(status) ? -1 : static_cast<int>(response.nEvents);
        EXPECT_TRUE(events >= 0 || response.json == nullptr);
        cleanup_response_wrapper(&response);
        return events;
    }

    const std::string folder = testDirectory() + "/db";
    const std::string db = folder + "/test.db";
    Entities records;
};

TEST_F(DiskFaults, ReadOnlyDatabaseFolderFailsWritesAndLosesNothingOnceWritableAgain) {
    startInFolder();
    ASSERT_TRUE(Entities::store(records.make("File", key(0))));

    {
        ReadOnlyFolder readOnly(folder);
        // A write needs a journal beside the database: it fails and says why.
        EXPECT_FALSE(Entities::store(records.make("File", key(1))));
        EXPECT_TRUE(loggedContaining("attempt to write a readonly database with key '/f/1'"));
        EXPECT_EQ(changeSize(0, 7), -1);
        // Buffered items wait: the failed batch stays in the buffer.
        for (int n = 2; n < 2 + 1001; ++n) Entities::store(records.make("File", key(n)), true);
        unsigned long written = 0;
        EXPECT_EQ(flush_db_buffer(&written), QVIM_E_FAILED);
        // Reading still works.
        EXPECT_TRUE(metricsDocument());
        EXPECT_EQ(setting("baselineScanType"), "0");
    }
    unsigned long written = 0;
    EXPECT_EQ(flush_db_buffer(&written), QVIM_OK);
    EXPECT_EQ(written, 1001u);
    EXPECT_EQ(changeSize(0, 7), 1);
    engine_stop();
    EXPECT_EQ(rows(db), 1002);
    EXPECT_EQ(queryFile(db, "PRAGMA integrity_check"), "ok");
}

// A full disk, as a file-size limit: SQLite cannot grow the database or its
// journal. The write of the buffer fails with a status and a log line, the
// database stays sound, and the failed batch waits in the buffer: it is
// written with the next batch once there is room again.
TEST_F(DiskFaults, FullDiskFailsTheBatchAndKeepsTheDatabaseSound) {
    start("test.db", true);
    ASSERT_TRUE(Entities::store(records.make("File", key(0))));
    const size_t size = readFile("test.db").size();

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_IGN);
    rlimit full = saved;
    full.rlim_cur = size + 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    clearCapturedLog();
    bool failed = false;
    for (int n = 1; n <= 1001; ++n) failed |= !Entities::store(records.make("File", key(n)), true);
    EXPECT_TRUE(failed);
    EXPECT_TRUE(loggedContaining("Error committing transaction: 'disk I/O error'"));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(queryFile("test.db", "PRAGMA integrity_check"), "ok");

    for (int n = 2000; n < 3001; ++n) EXPECT_TRUE(Entities::store(records.make("File", key(n)), true));
    unsigned long written = 0;
    EXPECT_EQ(flush_db_buffer(&written), QVIM_OK);
    EXPECT_TRUE(Entities::store(records.make("File", key(6000))));
    engine_stop();
    EXPECT_EQ(queryFile("test.db", "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(rows("test.db"), 1 + 1001 + 1001 + 1);
}

// Under the write-ahead log a full disk fails a batch only at its commit,
// after every row of it was written: the buffer is tried again as it doubles,
// not redone whole for each item appended (thousands of tries before).
TEST_F(DiskFaults, AFullDiskUnderTheLogIsTriedAgainOnlyAsTheBufferDoubles) {
    start();
    ASSERT_EQ(queryFile("test.db", "PRAGMA journal_mode;"), "wal");
    ASSERT_TRUE(Entities::store(records.make("File", key(0))));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_IGN);
    rlimit full = saved;
    full.rlim_cur = std::max(readFile("test.db").size(), readFile("test.db-wal").size()) + 8192;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    clearCapturedLog();
    size_t failed = 0;
    for (int n = 1; n <= 8000; ++n) failed += Entities::store(records.make("File", key(n)), true) ? 0 : 1;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    size_t tries = 0;
    for (const LogLine& line : capturedLog())
        if (line.level == QVIM_LOG_ERROR && line.function == "storeItemFlushInternal") ++tries;
    EXPECT_GE(failed, 1u);
    EXPECT_LE(failed, 3u) << "tried at 1001 items and then each time the buffer doubled";
    EXPECT_LE(tries, 3 * failed) << "log lines of the failed tries";

    unsigned long written = 0;
    EXPECT_EQ(flush_db_buffer(&written), QVIM_OK);
    engine_stop();
    EXPECT_EQ(queryFile("test.db", "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(rows("test.db"), 8001);
}

TEST_F(DiskFaults, BufferedItemsThatCannotBeWrittenAtStopAreCountedInTheLog) {
    startInFolder();
    for (int n = 0; n < 10; ++n) ASSERT_TRUE(Entities::store(records.make("File", key(n)), true));
    {
        ReadOnlyFolder readOnly(folder);
        EXPECT_EQ(engine_stop(), QVIM_OK);
    }
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "10 buffered items could not be stored and are lost"));
    EXPECT_EQ(rows(db), 0);
}

TEST_F(DiskFaults, GarbageInPlaceOfTheDatabaseIsRefusedAndKept) {
    // Garbage behind the header text SQLite looks for first.
    std::string garbage = "SQLite format 3";
    for (size_t i = 0; i < 64 * 1024; ++i) garbage += static_cast<char>((i * 2654435761u) >> 13);
    writeFile("test.db", garbage);
    clearCapturedLog();
    EXPECT_EQ(startEngine(), QVIM_E_DB_OPEN);
    EXPECT_TRUE(loggedContaining("cannot be used and is left untouched: file is not a database"));
    EXPECT_EQ(readFile("test.db"), garbage);

    // An empty file is a new database.
    writeFile("test.db", "");
    ASSERT_EQ(startEngine(), QVIM_OK);
    EXPECT_EQ(setting("baselineScanType"), "0");
    engine_stop();
}

// A damaged file either is refused at start, or opens and fails each
// operation that meets the damage; the log names it either way.
TEST_F(DiskFaults, DamagedDatabaseIsRefusedOrFailsWhereTheDamageIs) {
    start();
    set_baselinescan(true);
    for (int n = 0; n < 3000; ++n) Entities::store(records.make("File", key(n)), true);
    set_baselinescan(false);
    engine_stop();
    const std::string whole = readFile("test.db");

    // Cut in half; every page after the schema page scribbled over; the
    // second half scribbled over.
    const auto scribbled = [&whole](size_t from) {
        std::string damaged = whole;
        for (size_t i = from; i < whole.size(); ++i) damaged[i] = static_cast<char>(i * 7);
        return damaged;
    };
    for (const std::string& damaged : {whole.substr(0, whole.size() / 2), scribbled(4096), scribbled(whole.size() / 2)}) {
        writeFile("test.db", damaged);
        clearCapturedLog();
        if (startEngine() != QVIM_OK) {
            EXPECT_TRUE(loggedContaining("cannot be used and is left untouched: database disk image is malformed") ||
                        loggedContaining("cannot be used and is left untouched: malformed database schema"));
            EXPECT_EQ(readFile("test.db"), damaged);
            continue;
        }
        set_ruleset(false, kRules, "g");
        changeSize(2999, 1);
        get_baseline(0, 0, 10000, ENTITY_FILE, "export.jsonl");
        metricsDocument();
        engine_stop();
        EXPECT_TRUE(loggedContaining("malformed")) << "no log line names the damage";
    }
}

// The log file lands in the working folder; when that folder is gone the
// lines have nowhere to go, and the engine works on regardless.
TEST_F(DiskFaults, MissingLogFolderLeavesTheEngineWorking) {
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    ASSERT_EQ(rmdir(folder.c_str()), 0);

    const std::string path = testDirectory() + "/test.db";
    im_engine_init_s init{};
    init.dbPath = path.c_str();
    ASSERT_EQ(engine_start(&init), QVIM_OK);
    ASSERT_EQ(set_ruleset(false, kRules, "g"), QVIM_OK);
    EXPECT_TRUE(Entities::store(records.make("File", key(0))));
    EXPECT_EQ(changeSize(0, 3), 1);
    EXPECT_EQ(engine_stop(), QVIM_OK);
    ASSERT_EQ(chdir(testDirectory().c_str()), 0);
    EXPECT_EQ(rows(path), 1);
}
