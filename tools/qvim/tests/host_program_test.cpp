// The qvim program end to end: the built binary on real trees and databases in
// the test's temporary folder.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#include "HostTestSupport.h"
#include "Session.h"
#include "Output.h"

using namespace qvimcli;
using namespace qvimhost_test;

namespace {

class HostProgram : public HostTree {
protected:
    void SetUp() override {
        HostTree::SetUp();
        makeFolders(tree + "/sub");
    }

    void file(const std::string& name, const std::string& text) {
        writeText(tree + "/" + name, text);
        ASSERT_EQ(chmod((tree + "/" + name).c_str(), 0644), 0);
    }
};

}  // namespace

TEST_F(HostProgram, ChecksReportNothingUntilEachChangeOnceWithItsOperation) {
    for (const char* name : {"mode.txt", "setuid.bin", "content.txt", "removed.txt", "renamed.txt", "target.txt",
                             "sub/b.txt"})
        file(name, name);
    ASSERT_EQ(chmod((tree + "/setuid.bin").c_str(), 0755), 0);
    ASSERT_EQ(symlink("target.txt", (tree + "/link").c_str()), 0);
    ProgramRun run = qvim({"init", "--rules", "rules.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Baseline built"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("8 files, 2 directories"), std::string::npos) << run.out;  // sub and the base
    run = qvim({"check"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\nChanges:  none\n"), std::string::npos) << run.out;

    ASSERT_EQ(chmod((tree + "/mode.txt").c_str(), 0600), 0);
    ASSERT_EQ(chmod((tree + "/setuid.bin").c_str(), 04755), 0);
    writeText(tree + "/content.txt", "new content");
    file("new.txt", "new");
    ASSERT_EQ(unlink((tree + "/removed.txt").c_str()), 0);
    ASSERT_EQ(rename((tree + "/renamed.txt").c_str(), (tree + "/sub/moved.txt").c_str()), 0);
    ASSERT_EQ(unlink((tree + "/link").c_str()), 0);
    ASSERT_EQ(symlink("content.txt", (tree + "/link").c_str()), 0);

    run = qvim({"update", "--json"});
    EXPECT_EQ(run.status, kExitAdded | kExitRemoved | kExitChanged) << run.err;
    const std::map<std::string, std::string> expected = {
        {tree + "/mode.txt", "update"},   {tree + "/setuid.bin", "update"},
        {tree + "/content.txt", "update"}, {tree + "/new.txt", "create"},
        {tree + "/removed.txt", "delete"}, {tree + "/link", "update"},
        {tree + "/renamed.txt -> " + tree + "/sub/moved.txt", "rename"}};
    // Each update comes from one attribute reaching the engine: mode, digests, link target.
    EXPECT_EQ(operationsByKey(parseEvents(run.out), "File"), expected) << run.out;

    run = qvim({"check", "--json"});
    EXPECT_EQ(run.status, 0) << run.out;
    // From cron: nothing at all when nothing changed.
    run = qvim({"check", "-q"});
    EXPECT_EQ(run.status, kExitOk);
    EXPECT_EQ(run.out + run.err, "");

    // The baseline now holds the setuid bit itself, not just some change.
    run = qvim({"export", "--kind", "File", "--out", "-"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string setuid = "not exported";
    for (const Event& row : parseEvents(run.out))
        if (row.key == tree + "/setuid.bin") setuid = row.permissions;
    EXPECT_EQ(setuid, "04755");
}

TEST_F(HostProgram, WatchReportsCreateWriteRenameAndDeleteAsTheyHappen) {
    file("existing.txt", "e");
    ProgramRun run = qvim({"init", "--rules", "rules.json"});
    ASSERT_EQ(run.status, 0) << run.err;

    Background watch({"watch", "--json", "--db", db});
    const std::string started = watch.waitUntilWatching();
    // One file-system mark (as root on a recent kernel) or the two folder watches.
    ASSERT_TRUE(started.find("Watching 1 file system(s) with fanotify") != std::string::npos ||
                started.find("Watching 2 folders with inotify") != std::string::npos)
        << started;

    // The folders that gain or lose a name are reported between (as updates).
    auto next = [&](const std::string& operation, const std::string& key) {
        std::string line;
        Event event;
        do {
            ASSERT_TRUE(watch.readLine(line, 30000)) << "no event for " << operation << " " << key << "\n"
                                                   << watch.errorOutput();
            event = parseEvent(line);
        } while (event.kind == "Directory" && event.operation == "update");
        EXPECT_EQ(event.operation, operation) << line;
        EXPECT_EQ(event.key, key) << line;
    };
    writeText(tree + "/w.txt", "first");
    next("create", tree + "/w.txt");
    writeText(tree + "/w.txt", "second, longer");
    next("update", tree + "/w.txt");
    ASSERT_EQ(rename((tree + "/w.txt").c_str(), (tree + "/sub/w2.txt").c_str()), 0);
    next("rename", tree + "/w.txt -> " + tree + "/sub/w2.txt");
    ASSERT_EQ(unlink((tree + "/sub/w2.txt").c_str()), 0);
    next("delete", tree + "/sub/w2.txt");

    EXPECT_EQ(watch.stop(SIGINT), 0) << watch.errorOutput();
    EXPECT_NE(watch.errorOutput().find("Stopped."), std::string::npos);
    // What the watch accepted, folders included, is no change to a check.
    run = qvim({"check", "--json"});
    EXPECT_EQ(run.status, kExitOk) << run.out;
}

TEST_F(HostProgram, PackagesComeFromDpkgWhenTheEngineFindsNoPackageDatabase) {
    auto status = [](const std::string& version) {
        return "Package: tool\nStatus: install ok installed\nVersion: " + version +
               "\nMaintainer: Pat <pat@example.org>\nInstalled-Size: 4\n\n"
               "Package: gone\nStatus: install ok installed\nVersion: 2\n";
    };
    makeFolders("dpkg/info");
    writeText("dpkg/status", status("1.0"));
    setenv("DPKG_ADMINDIR", absolute("dpkg").c_str(), 1);
    writeText("rules.json",
              R"({"IntegrityRules":[{"id":9,"name":"packages","EntitySets":[{"entityType":"InstalledSoftware"}]}]})");
    ProgramRun run = qvim({"init", "--rules", "rules.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    if (run.out.find("2 packages") == std::string::npos)
        GTEST_SKIP() << "this host's package database is read by the engine itself: " << run.out;

    writeText("dpkg/status", status("1.1").substr(0, status("1.1").find("\n\n") + 1));
    run = qvim({"update", "--json"});
    EXPECT_EQ(run.status, kExitAdded | kExitRemoved) << run.err;
    EXPECT_EQ(operationsByKey(parseEvents(run.out)), (std::map<std::string, std::string>{
                              {"tool-1.0", "delete"}, {"tool-1.1", "create"}, {"gone-2", "delete"}}));
    EXPECT_EQ(qvim({"check"}).status, 0);
}

// What export --out - prints is checked with the names that are not UTF-8.
TEST_F(HostProgram, StateAndMetricsReadTheBaseline) {
    file("a.txt", "a");
    file("b.txt", "b");
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);

    EXPECT_EQ(qvim({"state", "set", "rulesetList", "renamed"}).status, 0);
    EXPECT_EQ(qvim({"state", "get", "rulesetList"}).out, "renamed\n");
    ProgramRun run = qvim({"state", "set", "noSuchSetting", "x"});
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_NE(run.err.find("there is no setting named 'noSuchSetting'"), std::string::npos);

    run = qvim({"metrics", "--json"});
    ASSERT_EQ(run.status, 0);
    JsonPtr metrics(cJSON_Parse(run.out.c_str()));
    const cJSON* dbinfo = cJSON_GetObjectItem(cJSON_GetObjectItem(metrics.get(), "metrics"), "dbinfo");
    EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(dbinfo, "fileItemCount")), 2);
}

TEST_F(HostProgram, BadInputGivesAMessageNamingThePathAndAnExitStatus) {
    const auto fails = [](const ProgramRun& run, int status, const std::string& message) {
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    };
    ProgramRun run = qvim({"init", "--rules", "missing.json"});
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_EQ(run.err,
              "qvim: cannot read the rules file 'missing.json': No such file or directory; pass a ruleset with "
              "--rules FILE (examples/rules/default.json is a start)\n");

    writeText("broken.json", "{\"IntegrityRules\": [\n");
    fails(qvim({"init", "--rules", "broken.json"}), kExitRules, "broken.json:2: error: not valid JSON here");
    // Rules the engine would misread are refused before the database is made;
    // 'rules check' lists the same, on standard output.
    writeText("misread.json", "{\"IntegrityRules\": [{\"id\": 1,\n\"realtime\": true,\n"
                              "\"EntitySets\": [{\"entityType\": \"File\", \"base\": \"" + tree + "\"}]}]}");
    fails(qvim({"init", "--rules", "misread.json"}), kExitRules, "misread.json:2: error: \"realtime\" must be a text");
    EXPECT_NE(access(db.c_str(), F_OK), 0) << "an invalid ruleset made a database";
    ProgramRun listed = runQvim({"rules", "check", "misread.json"});
    EXPECT_EQ(listed.status, kExitRules);
    EXPECT_EQ(listed.out, "misread.json:2: error: \"realtime\" must be a text, not a boolean; the engine ignores it; "
                          "write \"true\" in quotes\nmisread.json: 1 error, 0 warnings; qvim init refuses it\n");
    fails(runQvim({"rules", "check", "missing.json"}), kExitUsage, "cannot read the rules file 'missing.json'");
    writeText("plain-file", "");
    fails(runQvim({"init", "--rules", "rules.json", "--db", absolute("plain-file/im.db")}), kExitFailure,
          "cannot use the database folder '" + absolute("plain-file") + "': '" + absolute("plain-file") + "': Not a directory");
    EXPECT_EQ(access("plain-file", F_OK), 0);
    fails(qvim({"check"}), kExitUsage, "there is no baseline in '" + db + "' yet; run 'qvim init --rules FILE' first");
    fails(qvim({"check", "--bogus"}), kExitUsage, "");
    EXPECT_EQ(runQvim({"init", "--help"}).status, 0);
    // Warnings are shown and do not stop init.
    writeText("warned.json", "{\"IntegrityRules\": [{\"id\": 1, \"realtime\": \"yes\",\n"
                             "\"EntitySets\": [{\"entityType\": \"File\", \"base\": \"" + tree + "\"}]}]}");
    EXPECT_EQ(runQvim({"rules", "check", "warned.json"}).status, kExitOk);
    fails(qvim({"init", "--rules", "warned.json"}), kExitOk,
          "warned.json:1: warning: \"realtime\": \"yes\" is read as true");
}
