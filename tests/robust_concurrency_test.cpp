// Host threads on one engine at once: change scans of a directory tree that
// another thread keeps changing, bursts of real-time notifications, buffered
// stores, ruleset installations and metrics documents. Built with
// ThreadSanitizer (./run tsan) it runs for 20 seconds; elsewhere for 3. It
// must end without a race report, a crash or a hang, and leave a database
// that passes its integrity check with every stored key present once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "baseline_support.h"
#include "robust_support.h"

using namespace qvim_test;
using Clock = std::chrono::steady_clock;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int kDefaultSeconds = 20;
#elif defined(__has_feature)
constexpr int kDefaultSeconds = __has_feature(thread_sanitizer) ? 20 : 3;
#else
constexpr int kDefaultSeconds = 3;
#endif

int stressSeconds() {
    const char* text = getenv("QVIM_STRESS_SECONDS");
    return text != nullptr && atoi(text) > 0 ? atoi(text) : kDefaultSeconds;
}

// Three rulesets that watch the same entities. 0 and 1 differ in a rule's
// version stamp; 2 renumbers every rule, so that a partial installation of
// it still asks for a full baseline: while a partial baseline is pending,
// folders are walked by the partial-baseline paths, not the rules, and a
// change scan would report the others as deleted.
std::string rules(const std::string& tree, int variant) {
    const int first = variant == 2 ? 11 : 1;
    return R"({"IntegrityRules":[
        {"id":)" + std::to_string(first) + R"(,"name":"tree","hash":"v)" + std::to_string(variant) +
           R"(","EntitySets":[{"entityType":"Directory","base":")" + tree + R"("}]},
        {"id":)" + std::to_string(first + 1) + R"(,"name":"files","realtime":"true","EntitySets":[
            {"entityType":"File","base":"/stress","includes":"**/*"}]},
        {"id":)" + std::to_string(first + 2) + R"(,"name":"accounts","EntitySets":[{"entityType":"User"},
                                                                       {"entityType":"Group"}]}]})";
}

// Stops the process if the threads do not finish in time: a hang is a deadlock.
void abortAfter(unsigned seconds) {
    signal(SIGALRM, [](int) {
        static const char message[] = "stress test still running: deadlock\n";
        if (write(STDERR_FILENO, message, sizeof message - 1) < 0) {}
        abort();
    });
    alarm(seconds);
}

struct Counters {
    std::atomic<long> scans{0}, accountScans{0}, notifications{0}, stores{0}, rulesets{0}, metrics{0}, treeChanges{0};
    long total() const { return scans + accountScans + notifications + stores + rulesets + metrics + treeChanges; }
};

// Failures go to standard error while standard output is silenced.
class FailuresToStandardError : public testing::EmptyTestEventListener {
    void OnTestPartResult(const testing::TestPartResult& result) override {
        if (result.failed())
            fprintf(stderr, "%s:%d: Failure\n%s\n", result.file_name() != nullptr ? result.file_name() : "?",
                    result.line_number(), result.message());
    }
};

// The rule filter writes every match to standard output: megabytes here.
class Concurrency : public testing::Test {
protected:
    static void SetUpTestSuite() {
        testing::UnitTest::GetInstance()->listeners().Append(new FailuresToStandardError);
    }
    void SetUp() override {
        fflush(stdout);
        m_savedOut = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        ASSERT_TRUE(m_savedOut >= 0 && null >= 0 && dup2(null, STDOUT_FILENO) >= 0);
        close(null);
    }
    void TearDown() override {
        engine_stop();
        fflush(stdout);
        dup2(m_savedOut, STDOUT_FILENO);
        close(m_savedOut);
    }

private:
    int m_savedOut = -1;
};

}  // namespace

TEST_F(Concurrency, ScansNotificationsStoresRulesetsAndMetricsAtOnce) {
    const std::string tree = testDirectory() + "/tree";
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    // Folders nobody touches: a delete event for one of them is a lost row.
    std::set<std::string> stable;
    for (int i = 0; i < 40; ++i) {
        const std::string path = tree + "/stable" + std::to_string(i);
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        stable.insert(path);
    }

    ASSERT_EQ(startEngine(), QVIM_OK);
    set_loglevel(QVIM_LOG_ERROR);
    clearCapturedLog();
    ASSERT_EQ(set_ruleset(false, rules(tree, 0).c_str(), "stress"), QVIM_OK);
    im_wrapper_response_s response{};
    set_baselinescan(true);
    ASSERT_EQ(integrity_scan(0, ENTITY_DIRECTORY, SCAN_BASELINE, &response), QVIM_OK);
    set_baselinescan(false);
    cleanup_response_wrapper(&response);

    const auto deadline = Clock::now() + std::chrono::seconds(stressSeconds());
    const auto running = [&deadline] { return Clock::now() < deadline; };
    Counters done;
    std::mutex failuresMutex;
    std::vector<std::string> failures;
    const auto fail = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(failuresMutex);
        if (failures.size() < 20) failures.push_back(what);
    };
    const unsigned kStoreThreads = 2;
    std::vector<std::vector<std::string>> storedKeys(kStoreThreads);
    std::set<std::string> monitorKeys;  // what the notifications leave behind

    // A change scan with the integrity-scan switch on; its events by key. The
    // switch is one flag for the whole engine: it stays on while any thread
    // scans. Switching it on reports a failure when real-time notifications
    // have left ids of unchanged files in the buffer, yet the switch is on;
    // only switching off must succeed.
    std::mutex switchMutex;
    int scanning = 0;
    const auto changeScan = [&](uint32_t id, entity_type kind) {
        {
            std::lock_guard<std::mutex> lock(switchMutex);
            if (scanning++ == 0) set_integrityscan(true);
        }
        im_wrapper_response_s scan{};
        const qvim_status status = integrity_scan(id, kind, SCAN_CHANGE, &scan);
        {
            std::lock_guard<std::mutex> lock(switchMutex);
            if (--scanning == 0 && set_integrityscan(false) != QVIM_OK) fail("switching the integrity scan off");
        }
        if (status != QVIM_OK) fail("scan of kind " + std::to_string(kind) + ": " + std::to_string(status));
        auto events = eventsByKey(scan.json);
        cleanup_response_wrapper(&scan);
        return events;
    };

    abortAfter(stressSeconds() + 120);
    {
        std::vector<std::thread> threads;
        // One thread scans the tree for changes, no stable folder may be
        // reported as deleted; another scans users and groups.
        threads.emplace_back([&] {
            for (; running(); ++done.scans)
                for (const auto& [key, operation] : changeScan(1, ENTITY_DIRECTORY))
                    if (stable.count(key) != 0 && operation == "delete") fail("stable folder reported deleted: " + key);
        });
        threads.emplace_back([&] {
            for (unsigned n = 0; running(); ++n, ++done.accountScans) {
                const size_t events = changeScan(2, n % 2 == 0 ? ENTITY_USER : ENTITY_GROUP).size();
                // Accounts do not change during the test: any event after the first round is wrong.
                if (n >= 2 && events != 0) fail("account scan reported " + std::to_string(events) + " events");
            }
        });
        // The tree changes under the scans.
        threads.emplace_back([&] {
            for (unsigned n = 0; running(); ++n) {
                const std::string path = tree + "/churn" + std::to_string(n % 25);
                if (mkdir(path.c_str(), 0755) != 0) rmdir(path.c_str());
                ++done.treeChanges;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        // Real-time notifications: create, update, rename and delete files.
        threads.emplace_back([&] {
            Entities records;
            for (unsigned n = 0; running(); ++n) {
                const std::string key = "/stress/m/" + std::to_string(n % 50);
                const std::string renamed = key + ".moved";
                for (int step = 0; step < 4; ++step) {
                    im_wrapper_event_s record = records.make("File", step == 3 ? renamed : key);
                    record.realTime = true;
                    record.size = n + step;
                    record.processName = "writer";
                    record.eventType = step == 2 ? QVIM_EVENT_RENAMED : step == 3 ? QVIM_EVENT_DELETED : QVIM_EVENT_CHANGED;
                    if (step == 2) {
                        record.path = key.c_str();
                        record.newKey = renamed.c_str();
                    }
                    im_wrapper_response_s notified{};
                    const qvim_status status = integrity_monitor(7, &record, &notified);
                    if (QVIM_FAILED(status)) fail("notification: " + std::to_string(status));
                    if (!strict_json::parses(notified.json)) fail("notification document");
                    cleanup_response_wrapper(&notified);
                    ++done.notifications;
                }
                // A file that stays: after its first notification it is
                // unchanged, and while a scan runs its id joins the buffer of
                // rows seen unchanged.
                im_wrapper_event_s record = records.make("File", "/stress/m/kept" + std::to_string(n % 5));
                im_wrapper_response_s notified{};
                if (QVIM_FAILED(integrity_monitor(7, &record, &notified))) fail("notification of a kept file");
                cleanup_response_wrapper(&notified);
                monitorKeys.insert(record.newKey);
            }
        });
        // Buffered stores of distinct keys; the buffer is written at 1001
        // items or by a flush.
        for (unsigned t = 0; t < kStoreThreads; ++t) {
            threads.emplace_back([&, t] {
                Entities records;
                for (unsigned n = 0; running(); ++n) {
                    const std::string key = "/stress/s" + std::to_string(t) + "/" + std::to_string(n);
                    im_wrapper_event_s record = records.make("File", key);
                    record.size = n;
                    im_wrapper_response_s stored{};
                    if (store_item(&record, true, &stored) != QVIM_OK) fail("buffered store of " + key);
                    storedKeys[t].push_back(key);
                    if (n % 700 == 699) {
                        unsigned long written = 0;
                        if (flush_db_buffer(&written) != QVIM_OK) fail("flush");
                    }
                    ++done.stores;
                }
            });
        }
        // Ruleset installations, full and partial.
        threads.emplace_back([&] {
            for (int n = 0; running(); ++n) {
                const bool partial = n % 3 == 0;
                if (set_ruleset(partial, rules(tree, partial ? 2 : n % 2).c_str(), "stress") != QVIM_OK)
                    fail("set_ruleset");
                if (setting("baselineScanType") != "0") fail("a partial baseline is pending");
                ++done.rulesets;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        // Metrics documents.
        threads.emplace_back([&] {
            for (; running(); ++done.metrics) {
                if (!metricsDocument()) fail("metrics");
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
        });
        for (std::thread& thread : threads) thread.join();
    }
    alarm(0);

    unsigned long written = 0;
    EXPECT_EQ(flush_db_buffer(&written), QVIM_OK);
    for (const std::string& failure : failures) ADD_FAILURE() << failure;
    EXPECT_FALSE(loggedContaining("")) << "logged error: " << capturedLog().front().message;
    engine_stop();

    EXPECT_EQ(queryFile("test.db", "PRAGMA integrity_check"), "ok");
    std::set<std::string> expected(monitorKeys);
    for (const auto& keys : storedKeys) expected.insert(keys.begin(), keys.end());
    const std::vector<std::string> files = columnOf("test.db", "SELECT key FROM EntityFileItems");
    EXPECT_EQ(files.size(), expected.size());
    EXPECT_TRUE(std::set<std::string>(files.begin(), files.end()) == expected);
    const std::vector<std::string> folders = columnOf("test.db", "SELECT key FROM EntityDirectoryItems");
    for (const std::string& key : stable) EXPECT_EQ(std::count(folders.begin(), folders.end(), key), 1) << key;

    fprintf(stderr,
            "stress: %ld operations in %d s (%ld directory scans, %ld account scans, %ld notifications, "
            "%ld buffered stores, %ld ruleset installations, %ld metrics documents, %ld tree changes)\n",
            done.total(), stressSeconds(), done.scans.load(), done.accountScans.load(), done.notifications.load(),
            done.stores.load(), done.rulesets.load(), done.metrics.load(), done.treeChanges.load());
}

// Hosts switch the integrity scan on and off around their scans while
// real-time notifications keep arriving; notifications of unchanged files
// fill the buffer of rows seen unchanged that the switch prepares and writes.
TEST_F(Concurrency, IntegrityScanSwitchBesideRealTimeNotifications) {
    ASSERT_EQ(startEngine("switch.db"), QVIM_OK);
    set_loglevel(QVIM_LOG_ERROR);
    clearCapturedLog();
    ASSERT_EQ(set_ruleset(false, R"({"IntegrityRules":[{"id":1,"name":"files","realtime":"true",
        "EntitySets":[{"entityType":"File","base":"/switch","includes":"**/*"}]}]})", "switch"), QVIM_OK);
    const auto deadline = Clock::now() + std::chrono::seconds(std::max(2, stressSeconds() / 4));
    std::atomic<long> notifications{0}, switches{0};
    std::thread notifier([&] {
        Entities records;
        for (unsigned n = 0; Clock::now() < deadline; ++n) {
            im_wrapper_event_s record = records.make("File", "/switch/f" + std::to_string(n % 20));
            im_wrapper_response_s response{};
            EXPECT_FALSE(QVIM_FAILED(integrity_monitor(3, &record, &response)));
            cleanup_response_wrapper(&response);
            ++notifications;
        }
    });
    while (Clock::now() < deadline) {
        set_integrityscan(true);  // may report ids left by notifications; it is on all the same
        EXPECT_EQ(set_integrityscan(false), QVIM_OK);
        ++switches;
    }
    notifier.join();
    EXPECT_FALSE(loggedContaining("")) << "logged error: " << capturedLog().front().message;
    engine_stop();
    EXPECT_EQ(queryFile("switch.db", "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(queryFile("switch.db", "SELECT count(*) FROM EntityFileItems"), "20");
    fprintf(stderr, "switch: %ld notifications beside %ld switches\n", notifications.load(), switches.load());
}
