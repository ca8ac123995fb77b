// qvim guard: the rules compiled for the kernel, the kernel's decisions told
// to the engine, and, where the kernel lets the guard's programs in, the
// refusals themselves.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <filesystem>
#include <functional>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Commands.h"
#include "GuardFeeder.h"
#include "GuardPolicy.h"
#include "HostTestSupport.h"
#include "Session.h"
#include "Text.h"
#include "guard_match.h"

using namespace qvimcli;
using namespace qvimhost_test;

namespace {

constexpr uid_t kNobody = 65534;

std::string enforcedRules(const std::string& folder, const std::string& enforcement, const std::string& set = "") {
    return "{\"IntegrityRules\":[{\"id\":1,\"name\":\"only root\",\"realtime\":\"true\",\"enforcement\":" +
           enforcement + ",\"EntitySets\":[{\"entityType\":\"File\",\"base\":\"" + folder + "\"" + set +
           "},{\"entityType\":\"Directory\",\"base\":\"" + folder + "\"" + set + "}]}]}";
}

// The kernel's form of one enforcement object; the compile must succeed.
guard_policy policyOf(const std::string& enforcement) {
    std::vector<EnforcementRule> rules;
    std::string error;
    EXPECT_TRUE(parseEnforcementRules(enforcedRules("/x", enforcement), rules, error)) << error;
    guard_policy policy{};
    if (rules.size() != 1) {
        ADD_FAILURE() << "no enforcement rule in " << enforcement;
        return policy;
    }
    EXPECT_TRUE(compilePolicy(rules[0], policy, error)) << error;
    return policy;
}

bool denies(const guard_policy& policy, uint32_t uid, const char* comm, std::vector<uint32_t> groups = {}) {
    guard_actor actor{};
    actor.uid = uid;
    actor.gid = uid;
    for (uint32_t group : groups) actor.groups[actor.ngroups++] = group;
    strncpy(actor.comm, comm, sizeof actor.comm - 1);
    return guard_policy_denies(&policy, &actor) != 0;
}

TEST(GuardPolicy, KernelDecidesUsersGroupsAndProcessNamesAsTheEngineDoes) {
    const guard_policy onlyRoot = policyOf("{\"type\":\"allow\",\"users\":[\" root \"]}");
    EXPECT_FALSE(denies(onlyRoot, 0, "tee"));
    EXPECT_TRUE(denies(onlyRoot, kNobody, "tee"));

    // A plain name is any part of the process's name.
    const guard_policy noEditor = policyOf("{\"type\":\"block\",\"users\":[\"root\"],\"processName\":\"vi\"}");
    EXPECT_TRUE(denies(noEditor, 0, "vim"));
    EXPECT_TRUE(denies(noEditor, 0, "nvi"));
    EXPECT_FALSE(denies(noEditor, 0, "nano"));
    EXPECT_FALSE(denies(noEditor, kNobody, "vim"));

    const guard_policy python = policyOf("{\"type\":\"allow\",\"processName\":\"py*\"}");
    EXPECT_FALSE(denies(python, kNobody, "python3"));
    EXPECT_TRUE(denies(python, kNobody, "xpython"));

    // Any of the supplementary groups meets a group condition.
    const guard_policy rootGroup = policyOf("{\"type\":\"allow\",\"groups\":[\"root\"]}");
    EXPECT_FALSE(denies(rootGroup, kNobody, "sh", {100, 0}));
    EXPECT_TRUE(denies(rootGroup, kNobody, "sh", {100}));

    // Names no account has leave a condition nobody meets, not none at all.
    const guard_policy ghost = policyOf("{\"type\":\"allow\",\"users\":[\"no-such-user-qvim\"]}");
    EXPECT_TRUE(denies(ghost, 0, "sh"));
    // Longer than any process name the kernel keeps: no process has it.
    const guard_policy longName = policyOf("{\"type\":\"block\",\"processName\":\"a-very-long-daemon-name\"}");
    EXPECT_FALSE(denies(longName, 0, "a-very-long-dae"));
}

TEST(GuardPolicy, RefusesConditionsTheKernelCannotDecide) {
    std::vector<EnforcementRule> rules;
    std::string error;
    ASSERT_TRUE(parseEnforcementRules(enforcedRules("/x", "{\"type\":\"allow\",\"processName\":\"a*b\"}"), rules, error));
    ASSERT_EQ(rules.size(), 1u);
    guard_policy policy{};
    EXPECT_FALSE(compilePolicy(rules[0], policy, error));
    EXPECT_NE(error.find("a*b"), std::string::npos) << error;

    // Numbers without an account stand for themselves, so all of these exist.
    std::string users = "\"root\"";
    for (int i = 0; i < GUARD_MAX_IDS; ++i) users += ",\"" + std::to_string(3900000 + i) + "\"";
    rules.clear();
    ASSERT_TRUE(parseEnforcementRules(enforcedRules("/x", "{\"type\":\"allow\",\"users\":[" + users + "]}"), rules,
                                      error));
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_FALSE(compilePolicy(rules[0], policy, error));
    EXPECT_NE(error.find("more than"), std::string::npos) << error;
}

TEST(GuardPolicy, OnlyEnforcedRealtimeFileRulesAreRead) {
    const std::string text =
        "{\"IntegrityRules\":["
        "{\"id\":1,\"name\":\"later\",\"realtime\":\"false\",\"enforcement\":{\"type\":\"allow\"},"
        "\"EntitySets\":[{\"entityType\":\"File\",\"base\":\"/a\"}]},"
        "{\"id\":2,\"name\":\"deny\",\"realtime\":\"true\",\"enforcement\":{\"type\":\"deny\"},"
        "\"EntitySets\":[{\"entityType\":\"File\",\"base\":\"/a\"}]},"
        "{\"id\":3,\"name\":\"users only\",\"realtime\":\"true\",\"enforcement\":{\"type\":\"block\"},"
        "\"EntitySets\":[{\"entityType\":\"User\"}]},"
        "{\"id\":4,\"name\":\"N\",\"identifier\":\"ID\",\"realtime\":\"yes\",\"enforcement\":{\"type\":\"block\"},"
        "\"EntitySets\":[{\"entityType\":\"File\",\"base\":\"/a\",\"includes\":\"*.conf\"},{\"entityType\":\"Port\"}]}]}";
    std::vector<EnforcementRule> rules;
    std::string error;
    ASSERT_TRUE(parseEnforcementRules(text, rules, error)) << error;
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].label, "ID - N");
    EXPECT_FALSE(rules[0].allow);
    ASSERT_EQ(rules[0].sets.size(), 1u);
    EXPECT_EQ(rules[0].sets[0].base, "/a/");
    EXPECT_TRUE(rules[0].sets[0].selective);

    // Baseline rows join the labels of their rules with ','.
    EXPECT_TRUE(rowListsRule("ID - N", "ID - N"));
    EXPECT_TRUE(rowListsRule("other,ID - N", "ID - N"));
    EXPECT_FALSE(rowListsRule("ID - N2,xID - N", "ID - N"));
}

TEST(GuardPolicy, ProtectsWhatStandsAtTheBaselineNamesNeverALinksTarget) {
    const std::string tree = absolute("tree");
    makeFolders(tree + "/all/sub");
    makeFolders(tree + "/some");
    writeText(tree + "/all/sub/file", "x");
    writeText(tree + "/some/a.conf", "x");
    writeText(absolute("elsewhere"), "y");
    ASSERT_EQ(symlink(absolute("elsewhere").c_str(), (tree + "/all/link").c_str()), 0);
    const std::string text =
        "{\"IntegrityRules\":["
        "{\"id\":1,\"name\":\"all\",\"realtime\":\"true\",\"enforcement\":{\"type\":\"allow\",\"users\":[\"root\"]},"
        "\"EntitySets\":[{\"entityType\":\"File\",\"base\":\"" + tree + "/all\"}]},"
        "{\"id\":2,\"name\":\"some\",\"realtime\":\"true\",\"enforcement\":{\"type\":\"allow\",\"users\":[\"root\"]},"
        "\"EntitySets\":[{\"entityType\":\"File\",\"base\":\"" + tree + "/some\",\"includes\":\"*.conf\"}]}]}";
    std::vector<EnforcementRule> rules;
    std::string error;
    ASSERT_TRUE(parseEnforcementRules(text, rules, error)) << error;
    ASSERT_EQ(rules.size(), 2u);
    const BaselineRows rows = [&](const std::function<void(const std::string&, const std::string&)>& each,
                                  std::string&) {
        each(tree + "/all/sub/file", "all");
        each(tree + "/all/link", "all");
        each(tree + "/some/a.conf", "some");
        each(tree + "/all/unwatched", "");
        return true;
    };
    GuardTargets targets;
    ASSERT_TRUE(collectTargets(rules, rows, targets, error)) << error;

    auto flagsOf = [&](const std::string& path, uint64_t& policies) -> uint32_t {
        struct stat st;
        policies = 0;
        if (lstat(path.c_str(), &st) != 0) return 0;
        const GuardTargets::Entry* entry = targets.find(kernelDevice(st.st_dev), st.st_ino);
        if (entry == nullptr) return 0;
        policies = entry->target.policies;
        return entry->target.flags;
    };
    uint64_t policies = 0;
    EXPECT_EQ(flagsOf(tree + "/all/sub/file", policies), GUARD_ENTRY);
    EXPECT_EQ(policies, 1u);
    EXPECT_EQ(flagsOf(tree + "/all/link", policies), GUARD_ENTRY);
    EXPECT_EQ(flagsOf(absolute("elsewhere"), policies), 0u) << "the link's target is protected";
    EXPECT_EQ(flagsOf(tree + "/some/a.conf", policies), GUARD_ENTRY);
    EXPECT_EQ(policies, 2u);
    // New entries fall under the rule that takes everything below its base,
    // not under the one that picks by pattern.
    EXPECT_EQ(flagsOf(tree + "/all", policies), GUARD_FOLDER);
    EXPECT_EQ(flagsOf(tree + "/all/sub", policies), GUARD_FOLDER);
    EXPECT_EQ(flagsOf(tree + "/some", policies), 0u);
}

using GuardStart = HostTree;

// Rules the guard cannot enforce as written stop it before the kernel is asked.
TEST_F(GuardStart, RulesItCannotEnforceAreRefusedWithTheirOwnStatus) {
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);
    ProgramRun run = qvim({"guard"});
    EXPECT_EQ(run.status, kExitUsage) << run.err;
    EXPECT_NE(run.err.find("nothing to guard"), std::string::npos) << run.err;

    writeText("rules.json", enforcedRules(tree, "{\"type\":\"allow\",\"processName\":\"a*b\"}"));
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);
    run = qvim({"guard"});
    EXPECT_EQ(run.status, kExitRules) << run.err;
    EXPECT_NE(run.err.find("'a*b'"), std::string::npos) << run.err;
}

// The kernel's decisions handed to a real engine, without the kernel.
class GuardEngine : public HostTree {
protected:
    void SetUp() override {
        HostTree::SetUp();
        secret = tree + "/secret.conf";
        writeText(secret, "setting=1\n");
        writeText("rules.json", enforcedRules(tree, "{\"type\":\"allow\",\"users\":[\"root\"]}"));
        const ProgramRun init = qvim({"init", "--rules", "rules.json"});
        ASSERT_EQ(init.status, 0) << init.err;

        Options options;
        options.db = db;
        std::string error;
        int status = 0;
        session = Session::start(options, db, error, status);
        ASSERT_TRUE(session) << error;
        out = open_memstream(&outText, &outSize);
        err = open_memstream(&errText, &errSize);
        console = std::make_unique<Console>(err, false, false);
        printer = std::make_unique<EventPrinter>(out, true);
        Ruleset ruleset;
        ASSERT_TRUE(installRecordedRuleset(*session, *console, ruleset));
        std::vector<EnforcementRule> rules;
        ASSERT_TRUE(parseEnforcementRules(ruleset.text, rules, error)) << error;
        ASSERT_TRUE(collectTargets(rules, engineBaselineRows(session->engine(), parentFolder(db)), targets, error)) << error;
        feeder = std::make_unique<GuardFeeder>(
            session->engine(), targets,
            [this](const GuardTargets::Key& key, const guard_target& target) {
                handedToKernel[key] = target;
                return true;
            },
            *console, *printer, session->logPath(), false, 0, 0.0);
    }
    void TearDown() override {
        feeder.reset();
        printer.reset();
        console.reset();
        session.reset();
        if (out != nullptr) fclose(out);
        if (err != nullptr) fclose(err);
        free(outText);
        free(errText);
    }

    guard_event decision(const std::string& path, uint32_t op, uint32_t outcome, uint32_t uid, const char* comm,
                         const char* newName = "") {
        struct stat st;
        EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
        guard_event event{};
        event.dev = kernelDevice(st.st_dev);
        event.ino = st.st_ino;
        if (op == GUARD_OP_RENAME && lstat(tree.c_str(), &st) == 0) {
            event.new_dev = kernelDevice(st.st_dev);
            event.new_ino = st.st_ino;
        }
        event.op = op;
        event.outcome = outcome;
        event.pid = 4242;
        event.uid = event.gid = uid;
        strncpy(event.comm, comm, sizeof event.comm - 1);
        strncpy(event.name, newName, sizeof event.name - 1);
        return event;
    }
    std::vector<std::string> eventLines() {
        printer->flush();
        fflush(out);
        return lines(std::string(outText, outSize));
    }
    std::string errors() {
        fflush(err);
        return std::string(errText, errSize);
    }

    std::string secret;
    std::unique_ptr<Session> session;
    FILE* out = nullptr;
    FILE* err = nullptr;
    char* outText = nullptr;
    char* errText = nullptr;
    size_t outSize = 0, errSize = 0;
    std::unique_ptr<Console> console;
    std::unique_ptr<EventPrinter> printer;
    GuardTargets targets;
    std::map<GuardTargets::Key, guard_target> handedToKernel;
    std::unique_ptr<GuardFeeder> feeder;
};

TEST_F(GuardEngine, RefusalsAreBlockEventsNamingTheUserAndTheProcess) {
    feeder->decide(decision(secret, GUARD_OP_WRITE, GUARD_DENIED, kNobody, "sh"), 0);
    feeder->decide(decision(secret, GUARD_OP_RENAME, GUARD_DENIED, kNobody, "mv", "secret.bak"), 0);
    feeder->decide(decision(secret, GUARD_OP_DELETE, GUARD_DENIED, kNobody, "rm"), 0);
    feeder->reportSettled(1, true);
    const std::vector<std::string> events = eventLines();
    ASSERT_EQ(events.size(), 3u) << errors();
    const char* processes[] = {"sh", "mv", "rm"};
    for (size_t i = 0; i < events.size(); ++i) {
        JsonPtr event(cJSON_Parse(events[i].c_str()));
        EXPECT_EQ(jsonText(event.get(), "operationType"), "block") << events[i];
        EXPECT_EQ(jsonText(event.get(), "user"), "nobody") << events[i];
        EXPECT_EQ(jsonText(event.get(), "processName"), processes[i]) << events[i];
    }
    EXPECT_EQ(parseEvent(events[1]).key, secret + " -> " + tree + "/secret.bak");
    EXPECT_EQ(feeder->counters().refused, 3u);
    EXPECT_EQ(feeder->counters().disagreements, 0u) << errors();
}

TEST_F(GuardEngine, WhatWentThroughIsReportedOnceDone) {
    // Allowed (or only audited) decisions produce no event of their own.
    feeder->decide(decision(secret, GUARD_OP_WRITE, GUARD_ALLOWED, 0, "tee"), 0);
    feeder->decide(decision(secret, GUARD_OP_ATTR, GUARD_WOULD_DENY, kNobody, "chmod"), 0);
    const std::vector<std::string> before = eventLines();
    ASSERT_EQ(before.size(), 1u) << errors();
    EXPECT_EQ(parseEvent(before[0]).operation, "block");
    writeText(secret, "setting=2\n");
    chmod(secret.c_str(), 0600);
    feeder->reportSettled(1, false);
    const std::vector<std::string> after = eventLines();
    ASSERT_EQ(after.size(), 2u) << errors();
    EXPECT_EQ(parseEvent(after[1]).operation, "update");
    EXPECT_EQ(parseEvent(after[1]).key, secret);
    EXPECT_EQ(feeder->nextDueMs(1), -1);
    EXPECT_EQ(feeder->counters().disagreements, 0u) << errors();
}

TEST_F(GuardEngine, WhatRootCreatesOrMovesStaysProtected) {
    const std::string created = tree + "/new.conf";
    feeder->decide(decision(tree, GUARD_OP_CREATE, GUARD_ALLOWED, 0, "tee", "new.conf"), 0);
    writeText(created, "fresh\n");
    const std::string moved = tree + "/moved.conf";
    feeder->decide(decision(secret, GUARD_OP_RENAME, GUARD_ALLOWED, 0, "mv", "moved.conf"), 0);
    const guard_event before = decision(secret, GUARD_OP_WRITE, GUARD_DENIED, kNobody, "sh");
    ASSERT_EQ(rename(secret.c_str(), moved.c_str()), 0);
    feeder->reportSettled(1, true);
    std::map<std::string, std::string> operations;
    for (const std::string& line : eventLines()) operations[parseEvent(line).key] = parseEvent(line).operation;
    EXPECT_EQ(operations[created], "create") << errors();
    EXPECT_EQ(operations[secret + " -> " + moved], "rename") << errors();

    // The new file is handed to the kernel under its folder's rules...
    struct stat st;
    ASSERT_EQ(stat(created.c_str(), &st), 0);
    const GuardTargets::Key key(kernelDevice(st.st_dev), st.st_ino);
    ASSERT_EQ(handedToKernel.count(key), 1u);
    EXPECT_EQ(handedToKernel[key].policies, 1u);
    EXPECT_EQ(handedToKernel[key].flags, GUARD_ENTRY);
    // ...and a refusal on the moved one names it where it now is.
    feeder->decide(before, 2);
    const std::vector<std::string> events = eventLines();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(parseEvent(events.back()).key, moved);
    EXPECT_EQ(parseEvent(events.back()).operation, "block");
}

TEST_F(GuardEngine, AVerdictOtherThanTheKernelsIsAnError) {
    // The process name is the acting process's to choose: it cannot forge a line.
    feeder->decide(decision(secret, GUARD_OP_WRITE, GUARD_DENIED, 0, "tee"), 0);
    feeder->decide(decision(secret, GUARD_OP_WRITE, GUARD_ALLOWED, kNobody, "s\nqvim: h"), 0);
    EXPECT_EQ(feeder->counters().disagreements, 2u);
    const std::string text = errors();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_NE(text.find("the kernel refused the write of '" + secret + "' by root"), std::string::npos) << text;
    EXPECT_NE(text.find("the engine's verdict is allow"), std::string::npos) << text;
    EXPECT_NE(text.find("the engine's verdict is block"), std::string::npos) << text;
}

// The kernel itself: run where it lets the guard's programs in.
class GuardRun : public testing::Test {
protected:
    void SetUp() override {
        // A folder anyone may reach and write, so that the guard, not a
        // file's mode, is what refuses.
        char pattern[] = "/tmp/qvim-guard-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        shared = pattern;
        protectedDir = shared + "/protected";
        openDir = shared + "/open";
        secret = protectedDir + "/secret.conf";
        makeFolders(protectedDir);
        makeFolders(openDir);
        writeText(secret, "setting=1\n");
        writeText(openDir + "/file", "free\n");
        for (const std::string& folder : {shared, protectedDir, openDir}) chmod(folder.c_str(), 0777);
        for (const std::string& file : {secret, openDir + "/file"}) chmod(file.c_str(), 0666);
        db = absolute("state/im.db");
        writeText("rules.json", enforcedRules(protectedDir, "{\"type\":\"allow\",\"users\":[\"root\"]}"));
        const ProgramRun init = runQvim({"init", "--rules", "rules.json", "--db", db});
        ASSERT_EQ(init.status, 0) << init.err;
    }
    void TearDown() override {
        guard.reset();
        std::filesystem::remove_all(shared);
    }

    // Starts qvim guard; skips the test, saying why, where the kernel lacks the mechanism.
    void start(std::vector<std::string> extra) {
        std::vector<std::string> args = {"guard", "--json", "--db", db};
        args.insert(args.end(), extra.begin(), extra.end());
        guard = std::make_unique<Background>(args);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::string err;
        while (std::chrono::steady_clock::now() < deadline) {
            err = guard->errorOutput();
            if (err.find("Guarding") != std::string::npos || err.find("Auditing") != std::string::npos) return;
            if (err.find("qvim: ") != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        // It ends by itself after an error; a signal would only race with that.
        const int status = guard->stopWithin(0, 10);
        if (status == kExitUnsupported) GTEST_SKIP() << "qvim guard cannot run here: " << guard->errorOutput();
        FAIL() << "qvim guard did not start (status " << status << "): " << guard->errorOutput();
    }

    // The next event, within a few seconds.
    Event next(std::string* user = nullptr) {
        std::string line;
        if (!guard->readLine(line, 30000)) {
            ADD_FAILURE() << "no event; errors: " << guard->errorOutput();
            return Event();
        }
        if (user != nullptr) *user = jsonText(JsonPtr(cJSON_Parse(line.c_str())).get(), "user");
        return parseEvent(line);
    }

    std::string shared, protectedDir, openDir, secret, db;
    std::unique_ptr<Background> guard;
};

// Runs operation in a child process acting as nobody: 0 when it succeeded,
// else its errno.
int asNobody(const std::function<int()>& operation) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
            setresuid(kNobody, kNobody, kNobody) != 0)
            _exit(250);
        _exit(operation() == 0 ? 0 : errno);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 255;
}

int writeFile(const std::string& path, int flags = O_WRONLY | O_TRUNC) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    const bool written = write(fd, "changed\n", 8) == 8;
    close(fd);
    return written ? 0 : -1;
}

TEST_F(GuardRun, OnlyRootChangesTheProtectedFile) {
    start({});
    if (IsSkipped() || HasFatalFailure()) return;
    EXPECT_EQ(asNobody([&] { return writeFile(secret); }), EPERM);
    EXPECT_EQ(asNobody([&] { return rename(secret.c_str(), (secret + ".bak").c_str()); }), EPERM);
    EXPECT_EQ(asNobody([&] { return unlink(secret.c_str()); }), EPERM);
    EXPECT_EQ(asNobody([&] { return writeFile(protectedDir + "/new", O_WRONLY | O_CREAT | O_EXCL); }), EPERM);
    // Reads, and files no rule protects, are left alone.
    EXPECT_EQ(asNobody([&] { return readText(secret) == "setting=1\n" ? 0 : -1; }), 0);
    EXPECT_EQ(asNobody([&] { return writeFile(openDir + "/file"); }), 0);
    EXPECT_EQ(readText(secret), "setting=1\n");
    for (const char* what : {"write", "rename", "delete", "create"}) {
        std::string user;
        const Event event = next(&user);
        EXPECT_EQ(event.operation, "block") << what;
        EXPECT_EQ(user, "nobody") << what;
    }
    // Root may: the change goes through and is reported once done.
    EXPECT_EQ(writeFile(secret), 0);
    const Event update = next();
    EXPECT_EQ(update.operation, "update");
    EXPECT_EQ(update.key, secret);
    EXPECT_EQ(guard->stopWithin(SIGTERM, 10), kExitOk) << guard->errorOutput();
}

TEST_F(GuardRun, AuditRefusesNothingButReportsWhatItWouldHave) {
    start({"--audit"});
    if (IsSkipped() || HasFatalFailure()) return;
    EXPECT_EQ(asNobody([&] { return writeFile(secret); }), 0);
    EXPECT_EQ(readText(secret), "changed\n");
    std::string user;
    EXPECT_EQ(next(&user).operation, "block");
    EXPECT_EQ(user, "nobody");
    EXPECT_EQ(next().operation, "update");
    EXPECT_EQ(guard->stopWithin(SIGTERM, 10), kExitOk) << guard->errorOutput();
}

TEST_F(GuardRun, ProtectionEndsWithTheProgram) {
    start({});
    if (IsSkipped() || HasFatalFailure()) return;
    EXPECT_EQ(asNobody([&] { return writeFile(secret); }), EPERM);
    // Even a program killed outright leaves nothing behind that refuses.
    guard->stop(SIGKILL);
    EXPECT_EQ(asNobody([&] { return writeFile(secret); }), 0);
    EXPECT_EQ(readText(secret), "changed\n");
}

}  // namespace
