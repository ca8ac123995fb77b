// A child process builds a buffered baseline of 50 000 records and is killed
// with SIGKILL at a random moment. Every time, the next engine start must
// succeed, the database must pass its integrity check, and the stored rows
// must be exactly the batches the child had committed: whole batches of
// 1001 rows in the order they were stored, never part of one.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "baseline_support.h"
#include "robust_support.h"

using namespace qvim_test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kRecords = 50000;
constexpr unsigned kBatch = 1001;  // the buffer is written when it passes 1000 items
constexpr int kKillTrials = 12;
const char* const kDb = "crash.db";
const char* const kRules =
    R"({"IntegrityRules":[{"id":1,"name":"files","EntitySets":[{"entityType":"File","base":"/crash","includes":"**/*"}]}]})";

std::string keyOf(int trial, unsigned index) {
    return "/crash/" + std::to_string(trial) + "/" + std::to_string(index);
}

// The child: a full baseline of kRecords files. After each write of the
// buffer it reports on `report` how many rows it has committed.
[[noreturn]] void buildBaseline(int trial, int report) {
    const int null = open("/dev/null", O_WRONLY);  // the engine prints every rule match
    if (null >= 0) dup2(null, STDOUT_FILENO);
    im_engine_init_s init{};
    init.dbPath = kDb;
    init.logCallback = [](uint32_t, uint32_t, const char*, const char*, const char*, uint32_t) {};
    if (engine_start(&init) != QVIM_OK || set_ruleset(false, kRules, "crash") != QVIM_OK) _exit(2);
    set_loglevel(0);
    set_baselinescan(true);
    uint64_t committed = 0;
    Entities records;
    for (unsigned i = 0; i < kRecords; ++i) {
        im_wrapper_event_s record = records.make("File", keyOf(trial, i));
        record.size = i;
        im_wrapper_response_s response{};
        if (store_item(&record, true, &response) != QVIM_OK) _exit(3);
        if (response.nItemsScanned != 0) {
            committed += response.nItemsScanned;
            if (write(report, &committed, sizeof committed) != sizeof committed) _exit(4);
        }
    }
    set_baselinescan(false);
    committed = kRecords;
    if (write(report, &committed, sizeof committed) != sizeof committed) _exit(4);
    engine_stop();
    _exit(0);
}

struct Outcome {
    uint64_t reported = 0;  // rows the child said were committed
    bool finished = false;  // it was not killed
};

// Runs one child; once it has reported `rows` committed rows, kills it after
// `delay` unless it ends first. Counting from its progress rather than from
// its start keeps the kills inside the build however busy the machine is.
Outcome runChild(int trial, uint64_t rows, std::chrono::microseconds delay) {
    int channel[2];
    EXPECT_EQ(pipe(channel), 0);
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        buildBaseline(trial, channel[1]);
    }
    close(channel[1]);
    Outcome outcome;
    auto deadline = Clock::time_point::max();
    uint64_t value = 0;
    for (;;) {
        if (deadline == Clock::time_point::max() && outcome.reported >= rows) deadline = Clock::now() + delay;
        int wait = 300000;  // a build that stalls this long is a hang
        if (deadline != Clock::time_point::max())
            wait = static_cast<int>(std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
        pollfd ready{channel[0], POLLIN, 0};
        if (poll(&ready, 1, wait) == 0) {
            kill(child, SIGKILL);
            break;
        }
        if (read(channel[0], &value, sizeof value) != sizeof value) break;  // the child ended
        outcome.reported = value;
    }
    while (read(channel[0], &value, sizeof value) == sizeof value) outcome.reported = value;
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    outcome.finished = WIFEXITED(status);
    EXPECT_TRUE(!WIFEXITED(status) || WEXITSTATUS(status) == 0) << "child exit status " << WEXITSTATUS(status);
    return outcome;
}

// The stored file keys in row order.
std::vector<std::string> storedKeys() { return columnOf(kDb, "SELECT key FROM EntityFileItems ORDER BY entityItemId"); }

// What a killed child leaves: the engine starts, the file is sound, and the
// rows are the first whole batches of one trial (the killed one, or an
// earlier one when the kill came before the first batch or during the purge).
// Returns the number of rows found.
size_t expectCommittedBatches(int trial, const Outcome& outcome) {
    EXPECT_EQ(startEngine(kDb), QVIM_OK);
    engine_stop();
    EXPECT_EQ(queryFile(kDb, "PRAGMA integrity_check"), "ok");
    const std::vector<std::string> keys = storedKeys();
    EXPECT_TRUE(keys.size() % kBatch == 0 || keys.size() == kRecords) << keys.size() << " rows";
    if (keys.empty()) return 0;
    const int owner = std::atoi(keys.front().c_str() + std::strlen("/crash/"));
    EXPECT_LE(owner, trial);
    if (owner == trial) {
        // At most one batch beyond the last report: it committed just before the kill.
        EXPECT_GE(keys.size(), outcome.reported);
        EXPECT_LE(keys.size(), outcome.reported + kBatch);
    } else {
        EXPECT_EQ(outcome.reported, 0u) << "trial " << trial << " reported rows that are gone";
    }
    for (size_t i = 0; i < keys.size(); ++i)
        if (keys[i] != keyOf(owner, static_cast<unsigned>(i))) {
            ADD_FAILURE() << "row " << i << " holds " << keys[i];
            break;
        }
    return keys.size();
}

}  // namespace

TEST(CrashConsistency, KilledBaselineBuildsLeaveWholeCommittedBatches) {
    // An unkilled run gives the whole baseline and the time a build takes.
    const auto started = Clock::now();
    const Outcome full = runChild(0, kRecords + 1, std::chrono::microseconds(0));
    const auto duration = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    ASSERT_TRUE(full.finished);
    ASSERT_EQ(full.reported, kRecords);
    expectCommittedBatches(0, full);
    ASSERT_EQ(storedKeys().size(), kRecords);

    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    // A kill lands after a random number of committed rows, at a random
    // moment within the time one batch takes: during a write, a commit or
    // the filling of the buffer alike.
    std::uniform_int_distribution<uint64_t> rows(0, kRecords - 2 * kBatch);
    std::uniform_int_distribution<long> moment(0, duration.count() / (kRecords / kBatch));
    int killed = 0;
    std::string found;
    for (int trial = 1; trial <= kKillTrials; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial) + ", seed " + std::to_string(seed));
        const Outcome outcome = runChild(trial, rows(random), std::chrono::microseconds(moment(random)));
        killed += outcome.finished ? 0 : 1;
        found += (found.empty() ? "" : " ") + std::to_string(expectCommittedBatches(trial, outcome));
        if (HasFailure()) return;
    }
    EXPECT_GE(killed, kKillTrials - 2);
    fprintf(stderr,
            "crash: %d of %d baseline builds killed at random moments (a build takes %lld ms), seed %u; "
            "rows found: %s\n",
            killed, kKillTrials, static_cast<long long>(duration.count() / 1000), seed, found.c_str());
}
