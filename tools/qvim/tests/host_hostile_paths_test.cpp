// Paths the program writes as root cannot be steered by someone who may write
// near them: links at the log, the database, the export and the scratch pages,
// and folders others may write to.
#include <dirent.h>
#include <algorithm>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Baseline.h"
#include "HostTestSupport.h"
#include "Session.h"
#include "Output.h"
#include "SafeFiles.h"
#include "Text.h"
#include "qvim.h"

using namespace qvimcli;
using namespace qvimhost_test;

namespace {

constexpr uid_t kOther = 65534;  // nobody: the user who tries

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* listing = opendir(folder.c_str())) {
        while (const struct dirent* entry = readdir(listing))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") names.push_back(entry->d_name);
        closedir(listing);
    }
    return names;
}

std::string folder(const std::string& name, mode_t mode, uid_t owner = 0) {
    const std::string path = absolute(name);
    makeFolders(path);
    EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
    if (owner != 0) {
        EXPECT_EQ(chown(path.c_str(), owner, owner), 0) << path;
    }
    return path;
}

class HostPaths : public HostTree {
protected:
    void SetUp() override {
        HostTree::SetUp();
        victim = absolute("victim");
        missing = absolute("must-not-appear");
        writeText(victim, "precious\n");
        writeText(tree + "/a", "a");
    }

    void expectUntouched() {
        EXPECT_EQ(readText(victim), "precious\n");
        EXPECT_NE(access(missing.c_str(), F_OK), 0) << "a dangling link's target was created";
    }

    static bool isRoot() { return geteuid() == 0; }

    enum class Plant { Link, DanglingLink, HardLink, Fifo, TheirFile };
    // Puts at path what someone who may write beside it would.
    void plant(Plant what, const std::string& path) {
        switch (what) {
            case Plant::Link: ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0); break;
            case Plant::DanglingLink: ASSERT_EQ(symlink(missing.c_str(), path.c_str()), 0); break;
            case Plant::HardLink: ASSERT_EQ(link(victim.c_str(), path.c_str()), 0); break;
            case Plant::Fifo: ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); break;
            case Plant::TheirFile:
                writeText(path, "");
                ASSERT_EQ(chown(path.c_str(), kOther, kOther), 0);
                break;
        }
    }

    std::string victim;
    std::string missing;
};

}  // namespace

TEST_F(HostPaths, LinksAndForeignFilesAtTheLogOrDatabaseAreRefused) {
    const auto refused = [&](const std::vector<std::string>& options) {
        std::vector<std::string> args{"init", "--rules", "rules.json"};
        args.insert(args.end(), options.begin(), options.end());
        const ProgramRun run = runQvim(args, 30);
        EXPECT_EQ(run.status, kExitFailure) << run.err;
        EXPECT_EQ(run.err.rfind("qvim: ", 0), 0u) << run.err;
        expectUntouched();
    };
    int n = 0;
    for (const Plant what : {Plant::Link, Plant::DanglingLink}) {
        for (const char* name : {"qvim.log", "im.db"}) {
            SCOPED_TRACE(std::string(name) + " planted " + std::to_string(static_cast<int>(what)));
            const std::string state = folder("state" + std::to_string(++n), 0700);
            plant(what, state + "/" + name);
            refused({"--db", state + "/im.db"});
        }
    }
    const std::string shared = folder("shared", 01777);
    for (const Plant what : {Plant::Link, Plant::DanglingLink, Plant::HardLink, Plant::Fifo, Plant::TheirFile}) {
        SCOPED_TRACE("--log planted " + std::to_string(static_cast<int>(what)));
        if (what == Plant::TheirFile && !isRoot()) continue;  // chown needs root
        const std::string log = shared + "/" + std::to_string(++n) + ".log";
        plant(what, log);
        refused({"--db", folder("state" + std::to_string(n), 0700) + "/im.db", "--log", log});
    }
    // A log of our own in a sticky folder is fine, and is appended to.
    writeText(shared + "/own.log", "earlier\n");
    chmod((shared + "/own.log").c_str(), 0600);
    const ProgramRun run = runQvim({"init", "--rules", "rules.json", "--db", folder("ok", 0700) + "/im.db", "--log",
                                    shared + "/own.log"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readText(shared + "/own.log").rfind("earlier\n", 0), 0u);
}

TEST_F(HostPaths, DatabaseFoldersSomeoneElseCouldSwapAreRefused) {
    if (!isRoot()) GTEST_SKIP() << "making folders of another user needs root";
    const auto refused = [&](const std::string& what, const std::string& db, const std::string& created) {
        SCOPED_TRACE(what);
        const ProgramRun run = runQvim({"init", "--rules", "rules.json", "--db", db}, 30);
        EXPECT_EQ(run.status, kExitFailure) << run.err;
        EXPECT_NE(run.err.find("qvim: cannot use the database folder"), std::string::npos) << run.err;
        EXPECT_EQ(entries(created), std::vector<std::string>{}) << "qvim wrote into " << created;
    };
    refused("world-writable", folder("open", 0777) + "/im.db", absolute("open"));
    refused("sticky: the journal's name is known", folder("sticky", 01777) + "/im.db", absolute("sticky"));
    refused("group-writable", folder("group", 0770) + "/im.db", absolute("group"));
    folder("theirs", 0755, kOther);
    refused("in another user's folder", folder("theirs/inner", 0700) + "/im.db", absolute("theirs/inner"));
    refused("missing below another user's folder", absolute("theirs/new/im.db"), absolute("theirs/new"));

    // A link is followed only when its owner could not have swapped it.
    const std::string target = folder("target", 0700);
    folder("drop", 01777);
    ASSERT_EQ(symlink(target.c_str(), absolute("drop/their-link").c_str()), 0);
    ASSERT_EQ(lchown(absolute("drop/their-link").c_str(), kOther, kOther), 0);
    refused("through another user's link", absolute("drop/their-link/im.db"), target);

    ASSERT_EQ(symlink(target.c_str(), absolute("own-link").c_str()), 0);
    ProgramRun run = runQvim({"init", "--rules", "rules.json", "--db", absolute("own-link/../target/im.db")});
    EXPECT_EQ(run.status, 0) << run.err;
    run = runQvim({"init", "--rules", "rules.json", "--db", folder("drop/mine", 0700) + "/im.db"});
    EXPECT_EQ(run.status, 0) << "a folder of our own below a sticky one is safe: " << run.err;
}

TEST_F(HostPaths, ExportReplacesItsFileWholeAndNeverWritesThroughALink) {
    folder("state", 0700);
    ASSERT_EQ(runQvim({"init", "--rules", "rules.json", "--db", db}).status, 0);
    const auto exportTo = [&](const std::string& out) { return runQvim({"export", "--db", db, "--out", out}, 30); };
    const std::string out = folder("out", 0755);

    plant(Plant::Link, out + "/link.json");
    plant(Plant::DanglingLink, out + "/dangling.json");
    plant(Plant::Fifo, out + "/fifo.json");
    for (const char* name : {"link.json", "dangling.json", "fifo.json"}) {
        SCOPED_TRACE(name);
        const ProgramRun run = exportTo(out + "/" + name);
        EXPECT_EQ(run.status, kExitFailure) << run.err;
        EXPECT_NE(run.err.find("qvim: cannot write '" + out + "/" + name + "': it is "), std::string::npos) << run.err;
        expectUntouched();
    }

    writeText(out + "/rows.json", "old contents\n");
    chmod((out + "/rows.json").c_str(), 0644);
    ProgramRun run = exportTo(out + "/rows.json");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string rows = readText(out + "/rows.json");
    EXPECT_NE(rows.find("\"key\":\"" + absolute("tree/a") + "\""), std::string::npos) << rows;
    EXPECT_EQ(rows.find("old contents"), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat((out + "/rows.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(entries(out).size(), 4u) << "a temporary file was left behind";

    // A file someone else planted (and could read) is replaced, not written into.
    if (!isRoot()) GTEST_SKIP() << "a file of another user needs root";
    const std::string shared = folder("shared", 01777);
    plant(Plant::TheirFile, shared + "/theirs.json");
    ASSERT_EQ(chmod((shared + "/theirs.json").c_str(), 0666), 0);
    const int theirs = ::open((shared + "/theirs.json").c_str(), O_RDONLY);
    run = exportTo(shared + "/theirs.json");
    EXPECT_EQ(run.status, 0) << run.err;
    char byte;
    EXPECT_EQ(read(theirs, &byte, 1), 0) << "the rows went into the other user's file";
    ::close(theirs);
    ASSERT_EQ(stat((shared + "/theirs.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Nor does a link of theirs on the way lead the export into another folder.
    const std::string target = folder("target", 0700);
    const std::string link = shared + "/their-link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), kOther, kOther), 0);
    run = exportTo(link + "/rows.json");
    EXPECT_EQ(run.status, kExitFailure) << run.err;
    EXPECT_EQ(entries(target), std::vector<std::string>{}) << "the export went through their link";
}

TEST_F(HostPaths, AKilledRunLeavesNoOutputAndItsScratchIsSweptButNothingElse) {
    const std::string state = folder("state", 0700);
    const auto named = [&state](const std::string& prefix) {
        std::vector<std::string> found;
        for (const std::string& name : entries(state))
            if (startsWith(name, prefix)) found.push_back(name);
        return found;
    };
    // A run killed while it writes its output and holds a scratch page.
    const pid_t killed = fork();
    if (killed == 0) {
        std::string error;
        PrivateFolder scratch;
        ReplacingFile out;
        if (!scratch.create(state, error) || !out.open(state + "/out.json", error)) _exit(1);
        UniqueFd page(openat(scratch.fd(), "page", O_WRONLY | O_CREAT | O_EXCL, 0600));
        fputs("rows\n", out.stream());
        fflush(out.stream());
        raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(killed, &status, 0), killed);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the run failed before it was killed";
    const UniqueFd stateFolder(::open(state.c_str(), O_RDONLY | O_DIRECTORY));
    const UniqueFd unnamed(openat(stateFolder.get(), ".", O_TMPFILE | O_WRONLY, 0600));
    if (unnamed) {
        EXPECT_EQ(named(".qvim-out-"), std::vector<std::string>{}) << "the output's temporary file stayed";
    }
    ASSERT_EQ(named(".qvim-scratch-").size(), 1u);

    // Beside it: a scratch folder in use, and one of another user's.
    std::string error;
    PrivateFolder inUse;
    ASSERT_TRUE(inUse.create(state, error)) << error;
    const std::string inUseName = inUse.path().substr(state.size() + 1);
    std::vector<std::string> kept{inUseName};
    if (isRoot()) {
        ASSERT_EQ(mkdir((state + "/.qvim-scratch-theirs").c_str(), 0700), 0);
        ASSERT_EQ(chown((state + "/.qvim-scratch-theirs").c_str(), kOther, kOther), 0);
        kept.push_back(".qvim-scratch-theirs");
    }
    std::sort(kept.begin(), kept.end());
    {
        PrivateFolder next;
        ASSERT_TRUE(next.create(state, error)) << error;
        std::vector<std::string> others = named(".qvim-scratch-");
        others.erase(std::remove(others.begin(), others.end(), next.path().substr(state.size() + 1)), others.end());
        std::sort(others.begin(), others.end());
        EXPECT_EQ(others, kept) << "the killed run's folder stayed, or one still in use went";
    }
    EXPECT_EQ(access((inUse.path() + "/.").c_str(), F_OK), 0);
}

TEST_F(HostPaths, ScratchPagesStayInAFolderNobodyElseCanEnter) {
    if (!isRoot()) GTEST_SKIP() << "the racing user needs root to become another user";
    folder("state", 0700);
    for (int i = 0; i < 50; ++i) writeText(absolute("tree/f" + std::to_string(i)), "x");
    ASSERT_EQ(runQvim({"init", "--rules", "rules.json", "--db", db}).status, 0);

    Engine engine;
    ASSERT_TRUE(engine.start(db, QVIM_LOG_ERROR, nullptr).ok());
    const auto rows = [&engine](const std::string& scratch, std::string& error) {
        size_t count = 0;
        const bool ok = forEachBaselineRow(engine, ENTITY_FILE, 0, scratch, [&](const std::string&, const cJSON*) {
            ++count;
            return true;
        }, error);
        return ok ? count : size_t{0};
    };

    std::string error;
    const size_t expected = rows(parentFolder(db), error);
    ASSERT_GT(expected, 50u) << error;
    const std::string open = folder("open", 0777);
    EXPECT_EQ(rows(open, error), 0u);
    EXPECT_NE(error.find("others may write to '" + open + "'"), std::string::npos) << error;
    EXPECT_EQ(entries(open), std::vector<std::string>{});

    // In a sticky folder another user swaps whatever appears for links to the
    // victim, as fast as it can, while the pages are written and read.
    const std::string shared = folder("shared", 01777);
    ASSERT_EQ(chmod(absolute(".").c_str(), 0711), 0);  // so the other user reaches the shared folder
    const pid_t racer = fork();
    if (racer == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test killed on its timeout takes the racer with it
        if (setgid(kOther) != 0 || setuid(kOther) != 0) _exit(1);
        writeText(shared + "/racing", "");
        for (;;) {
            for (const std::string& name : entries(shared)) {
                const std::string path = shared + "/" + name;
                rename(path.c_str(), (path + ".moved").c_str());
                unlink(path.c_str());
                symlink(victim.c_str(), path.c_str());
                symlink(victim.c_str(), (path + "/page").c_str());
            }
        }
    }
    ASSERT_GT(racer, 0);
    for (int wait = 0; wait < 500 && access((shared + "/racing").c_str(), F_OK) != 0; ++wait) usleep(10000);
    ASSERT_EQ(access((shared + "/racing").c_str(), F_OK), 0) << "the other user never got into the shared folder";
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(rows(shared, error), expected) << error;
        // The paths a check keeps on disk go the same way, file and index.
        DiskKeySet keys;
        ASSERT_TRUE(keys.open(shared, error)) << error;
        keys.add("/etc/shadow");
        EXPECT_TRUE(keys.contains("/etc/shadow"));
        keys.add("/etc/passwd");
        EXPECT_TRUE(keys.contains("/etc/passwd"));
        EXPECT_FALSE(keys.contains("/etc"));
        EXPECT_FALSE(keys.failed());
    }
    kill(racer, SIGKILL);
    waitpid(racer, nullptr, 0);
    engine.stop();
    expectUntouched();
    for (const std::string& name : entries(shared)) {
        struct stat st;
        ASSERT_EQ(lstat((shared + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, kOther) << name << " was left behind";
    }
}
