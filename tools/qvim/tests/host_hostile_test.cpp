// What an unprivileged user who can write inside a watched folder tries
// against the program: steering its walk elsewhere, making one file cost
// without bound, and handing it rules files that never end.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <set>
#include <thread>

#include "Digest.h"
#include "HostTestSupport.h"
#include "Output.h"
#include "Session.h"
#include "SwapRace.h"

using namespace qvimcli;
using namespace qvimhost_test;

namespace {

// Cheap for any user to make: no block is written.
void sparseFile(const std::string& path, off_t size) {
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(ftruncate(fd, size), 0) << path;
    ::close(fd);
}

using HostHostile = HostTree;

}  // namespace

TEST_F(HostHostile, AFolderSwappedForALinkNeverBringsAnotherTreeIntoTheBaselineOrTheEvents) {
    // The other tree holds what the attacker wants to learn: its name, owner,
    // size and digest must never show under their folder.
    const std::string outside = absolute("outside");
    const std::string marker = "contents only root may read";
    makeFolders(outside + "/secret-folder");
    writeText(outside + "/secret.txt", marker);
    writeText(outside + "/secret-folder/deeper.txt", marker);
    makeFolders(tree + "/attacker/mine/own");
    // Names found on both sides: a walk that reads by path now and then reads
    // the other tree's file under the attacker's name.
    for (int i = 0; i < 100; ++i) {
        const std::string name = "/f" + std::to_string(i);
        writeText(tree + "/attacker/mine" + name, "own");
        writeText(outside + name, marker);
    }
    qvim_test::SwapRace race(tree + "/attacker/mine", tree + "/attacker/other", outside);
    if (!race.ready()) GTEST_SKIP() << race.why();
    const std::string markerDigest = sha256Hex(marker);

    const auto upper = [](std::string text) {
        for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        return text;
    };
    const auto leaked = [&](const std::string& text) {
        return text.find("secret") != std::string::npos || upper(text).find(upper(markerDigest)) != std::string::npos;
    };
    race.start();
    ProgramRun run = qvim({"init", "--rules", "rules.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string seen = run.out + run.err;
    // A few checks while the race runs; each walks the attacker's folder.
    for (int i = 0; i < 3 && !leaked(seen); ++i) {
        run = qvim({"check", "--json"});
        EXPECT_LT(run.status, kExitFailure) << run.err;
        seen += run.out + run.err;
    }
    race.stop();
    run = qvim({"export", "--out", "-"});
    ASSERT_EQ(run.status, 0) << run.err;
    seen += run.out;
    EXPECT_FALSE(leaked(seen)) << seen;
    EXPECT_GT(race.swaps(), 0u);
}

TEST_F(HostHostile, FilesAboveTheLimitAreRecordedUnhashedAndAStopEndsHashingAtOnce) {
    writeText(tree + "/small.txt", "small");
    sparseFile(tree + "/huge", off_t{200} << 30);
    // By default the huge file costs nothing but its status.
    ProgramRun run = qvim({"init", "--rules", "rules.json"}, 60);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("'" + tree + "/huge' not hashed: larger than 1 GiB"), std::string::npos) << run.err;
    run = qvim({"export", "--out", "-", "--kind", "File"});
    ASSERT_EQ(run.status, 0) << run.err;
    size_t rows = 0;
    for (const std::string& line : lines(run.out)) {
        JsonPtr row(cJSON_Parse(line.c_str()));
        ASSERT_TRUE(row) << run.out;
        const std::string key = jsonText(row.get(), "key");
        const bool huge = key == tree + "/huge";
        EXPECT_EQ(jsonText(row.get(), "sha256").empty(), huge) << key;
        if (huge) {
            EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(row.get(), "size")), 200.0 * (1u << 30));
        }
        ++rows;
    }
    EXPECT_EQ(rows, 2u) << run.out;
    run = qvim({"check"}, 60);
    EXPECT_EQ(run.status, 0) << "an unhashed file is no change: " << run.out;

    // Without a limit, SIGTERM still ends a check in the middle of the file.
    Background check({"check", "--max-hash-size", "0", "--db", db});
    ASSERT_TRUE(check.waitUntilCatching(SIGTERM, 60)) << check.errorOutput();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(check.stopWithin(SIGTERM, 20), kExitInterrupted) << check.errorOutput();
}

TEST_F(HostHostile, WatchGoesOnReportingWhileAHugeFileAppears) {
    ProgramRun run = qvim({"init", "--rules", "rules.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    // Keys of the events that arrive until one for the key has; false when it never does.
    const auto reportedUntil = [](Background& watch, const std::string& key, std::set<std::string>& keys) {
        std::string line;
        while (keys.count(key) == 0 && watch.readLine(line, 15000)) {
            JsonPtr event(cJSON_Parse(line.c_str()));
            EXPECT_TRUE(event) << line;
            keys.insert(jsonText(event.get(), "key"));
        }
        return keys.count(key) == 1;
    };
    for (const bool limited : {true, false}) {
        SCOPED_TRACE(limited ? "default limit" : "no limit");
        std::vector<std::string> args{"watch", "--json", "--db", db};
        if (!limited) args.insert(args.end(), {"--max-hash-size", "0"});
        Background watch(args);
        const std::string started = watch.waitUntilWatching();
        ASSERT_NE(started.find("Watching"), std::string::npos) << started;

        const std::string huge = tree + (limited ? "/huge" : "/huge-unlimited");
        const std::string after = tree + (limited ? "/after.txt" : "/after-unlimited.txt");
        sparseFile(huge, off_t{30} << 30);
        writeText(after, "made while the huge file is looked at");
        std::set<std::string> keys;
        EXPECT_TRUE(reportedUntil(watch, after, keys)) << watch.errorOutput();
        // Within the limit the huge file is reported unhashed at once; without
        // it, it is still being read when the stop comes.
        if (limited) {
            EXPECT_TRUE(reportedUntil(watch, huge, keys)) << watch.errorOutput();
        }
        EXPECT_EQ(watch.stopWithin(SIGINT, 20), 0) << watch.errorOutput();
    }
}

TEST_F(HostHostile, RulesFilesMustBeRegularFilesOfBoundedSize) {
    ASSERT_EQ(mkfifo("rules.fifo", 0600), 0);
    ASSERT_EQ(symlink("rules.json", "rules.link"), 0);
    sparseFile(absolute("rules.big"), off_t{17} << 20);
    const struct {
        std::string path;
        const char* reason;
    } refused[] = {{"/dev/zero", "it is not a regular file"},
                   {absolute("rules.fifo"), "it is not a regular file"},
                   {absolute("rules.link"), "it is a symbolic link"},
                   {absolute("rules.big"), "it is larger than 16 MiB"}};
    for (const auto& rules : refused) {
        SCOPED_TRACE(rules.path);
        const ProgramRun run = qvim({"init", "--rules", rules.path}, 20);
        EXPECT_EQ(run.status, kExitUsage);
        EXPECT_NE(run.err.find("'" + rules.path + "': " + rules.reason), std::string::npos) << run.err;
    }
    EXPECT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);
}
