// The baseline's seal: read-only commands keep the digest, writes record the
// new one, and a baseline, seal or key changed behind qvim's back is refused.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <string>

#include "Digest.h"
#include "HostTestSupport.h"
#include "Seal.h"
#include "Session.h"
#include "Text.h"

using namespace qvimcli;
using namespace qvimhost_test;

namespace {

class HostSeal : public HostTree {
protected:
    void SetUp() override {
        HostTree::SetUp();
        writeText(tree + "/a.txt", "a");
        const ProgramRun run = qvim({"init", "--rules", "rules.json"});
        ASSERT_EQ(run.status, 0) << run.err;
    }

    // The digest verify prints; "" (and a failure) unless it exits with 0.
    std::string verified(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"verify"};
        args.insert(args.end(), extra.begin(), extra.end());
        const ProgramRun run = qvim(args);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        const size_t at = run.out.find("sha256:");
        return run.status == 0 && at != std::string::npos ? run.out.substr(at + 7, 64) : std::string();
    }

    void sql(const std::string& statement) {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(handle, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(handle);
        sqlite3_close(handle);
    }

    std::string key(const std::string& name, const std::string& bytes, mode_t mode) {
        const std::string path = absolute(name);
        writeText(path, bytes);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    std::string seal() const { return db + ".seal"; }
};

}  // namespace

TEST_F(HostSeal, ReadOnlyCommandsKeepTheDigestAndEveryWriteSealsTheOneItLeaves) {
    const std::string built = verified();
    ASSERT_EQ(built, sha256Hex(readText(db))) << "the digest is of the database file's bytes";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"metrics"}, {"export", "--out", "-"}, {"state", "get", "baselineExists"}, {"verify"}}) {
        EXPECT_EQ(qvim(args).status, 0) << args[0];
        EXPECT_EQ(verified(), built) << args[0] << " changed the baseline";
    }
    struct stat st;
    ASSERT_EQ(stat(seal().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_EQ(qvim({"state", "set", "baselineItemsVisited", "5"}).status, 0);
    const std::string set = verified();
    EXPECT_NE(set, built);
    writeText(tree + "/a.txt", "changed");
    EXPECT_EQ(qvim({"check"}).status, kExitChanged);
    EXPECT_EQ(verified(), set) << "a check leaves the baseline as it was";
    EXPECT_EQ(qvim({"update"}).status, kExitChanged);
    EXPECT_NE(verified(), set) << "the update accepted the change, so the digest moved on";
}

TEST_F(HostSeal, OneChangedByteAnywhereIsRefusedBeforeAnythingIsScanned) {
    const std::string original = readText(db);
    // A row's digest rewritten through SQL, as someone hiding a changed file would.
    sql("UPDATE EntityFileItems SET sha256 = zeroblob(32)");
    writeText(tree + "/a.txt", "changed behind the baseline");
    ProgramRun run = qvim({"check", "--json"});
    EXPECT_EQ(run.status, kExitTampered) << run.err;
    EXPECT_EQ(run.out, "") << "nothing is reported from a baseline that was refused";
    EXPECT_NE(run.err.find("digest"), std::string::npos) << run.err;
    EXPECT_EQ(qvim({"watch"}).status, kExitTampered);
    EXPECT_EQ(qvim({"state", "set", "baselineItemsVisited", "1"}).status, kExitTampered);

    // One byte of the header (the engine rebuilds a database of a newer layout)
    // and one in the unused tail: neither reaches the engine.
    for (const size_t offset : {size_t{60}, original.size() - 1}) {
        std::string bytes = original;
        bytes[offset] = static_cast<char>(bytes[offset] ^ 0x01);
        writeText(db, bytes);
        run = qvim({"check"});
        EXPECT_EQ(run.status, kExitTampered) << "byte " << offset << ": " << run.err;
        EXPECT_EQ(readText(db), bytes) << "byte " << offset << ": the refused baseline was opened";
        EXPECT_EQ(qvim({"verify"}).status, kExitTampered);
    }
    writeText(db, original);
    EXPECT_FALSE(verified().empty());
}

TEST_F(HostSeal, AKeySignsTheSealAndAnythingButItsSignatureIsRefused) {
    const std::string good = key("good.key", std::string(32, 'k'), 0600);
    const std::string other = key("other.key", std::string(32, 'o'), 0400);
    // An unsigned seal is not taken for a signed one; init with the same rules signs it.
    EXPECT_EQ(qvim({"state", "set", "baselineItemsVisited", "2", "--key", good}).status, kExitTampered);
    ASSERT_EQ(qvim({"init", "--rules", "rules.json", "--key", good}).status, 0);
    ASSERT_EQ(qvim({"state", "set", "baselineItemsVisited", "2", "--key", good}).status, 0);
    EXPECT_FALSE(verified({"--key", good}).empty());
    EXPECT_EQ(qvim({"verify", "--key", other}).status, kExitTampered);
    // Without the key the digest is still checked, but no run may write an unsigned seal over it.
    EXPECT_FALSE(verified().empty());
    EXPECT_EQ(qvim({"state", "set", "baselineItemsVisited", "3"}).status, kExitUsage);
    EXPECT_FALSE(verified({"--key", good}).empty());

    // The attacker's way: change the baseline, drop the seal and let a run without the key seal it anew.
    sql("UPDATE EntityFileItems SET size = 0");
    ASSERT_EQ(unlink(seal().c_str()), 0);
    ProgramRun run = qvim({"check", "--key", good});
    EXPECT_EQ(run.status, kExitTampered) << "a missing seal with a key: " << run.err;
    EXPECT_NE(run.err.find("no seal"), std::string::npos) << run.err;
    run = qvim({"update"});
    EXPECT_NE(run.err.find("WARNING"), std::string::npos) << "an old baseline is sealed with a warning: " << run.err;
    run = qvim({"check", "--key", good});
    EXPECT_EQ(run.status, kExitTampered) << run.err;
    EXPECT_NE(run.err.find("not signed"), std::string::npos) << run.err;
    EXPECT_EQ(qvim({"init", "--rules", "rules.json", "--key", good}).status, 0) << "init rebuilds and re-signs";
    EXPECT_FALSE(verified({"--key", good}).empty());
}

TEST_F(HostSeal, KeyFilesAndSealsThatAreNotPlainPrivateFilesAreRefused) {
    const std::string good = key("good.key", std::string(32, 'k'), 0600);
    ASSERT_EQ(symlink(good.c_str(), absolute("link.key").c_str()), 0);
    const struct {
        std::string path, reason;
    } keys[] = {{key("open.key", std::string(32, 'k'), 0644), "others may read"},
                {key("short.key", "k", 0600), "16 bytes"},
                {absolute("link.key"), "symbolic link"},
                {absolute("missing.key"), "No such file"}};
    for (const auto& bad : keys) {
        const ProgramRun run = qvim({"verify", "--key", bad.path});
        EXPECT_EQ(run.status, kExitUsage) << bad.path;
        EXPECT_NE(run.err.find(bad.reason), std::string::npos) << run.err;
    }

    const std::string content = readText(seal());
    ASSERT_EQ(unlink(seal().c_str()), 0);
    ASSERT_EQ(symlink(absolute("elsewhere").c_str(), seal().c_str()), 0);
    writeText(absolute("elsewhere"), content);
    ProgramRun run = qvim({"check"});
    EXPECT_EQ(run.status, kExitTampered) << run.err;
    EXPECT_EQ(readText(absolute("elsewhere")), content) << "the seal was written through a link";
    ASSERT_EQ(unlink(seal().c_str()), 0);
    ASSERT_EQ(mkfifo(seal().c_str(), 0600), 0);
    run = qvim({"verify"}, 20);  // a FIFO opened for reading would never return
    EXPECT_EQ(run.status, kExitTampered) << run.err;
    ASSERT_EQ(unlink(seal().c_str()), 0);
    // A line slipped in between the ones qvim writes: not a seal of ours.
    writeText(seal(), content.substr(0, content.find("time ")) + "digest 00\n" + content.substr(content.find("time ")));
    ASSERT_EQ(chmod(seal().c_str(), 0600), 0);
    EXPECT_EQ(qvim({"verify"}).status, kExitTampered);
}

TEST_F(HostSeal, ACrashBetweenTheStepsOfAnAcceptNeverPassesForTampering) {
    const std::string old = verified();
    // A replacement: the new baseline is a changed copy beside the old one.
    const std::string next = parentFolder(db) + "/next.db";
    writeText(next, readText(db) + std::string(4096, '\0'));
    ASSERT_EQ(chmod(next.c_str(), 0600), 0);
    std::string digest, error;
    ASSERT_TRUE(baselineDigest(next, digest, error)) << error;

    // Killed after the pending record: either file verifies, a third does not.
    SealRecord record;
    record.digest = old;
    record.pending = digest;
    ASSERT_TRUE(writeSeal(db, record, nullptr, error)) << error;
    EXPECT_EQ(checkSeal(db, nullptr).verdict, SealVerdict::Valid) << "the old baseline is still in place";
    const std::string original = readText(db);
    writeText(db, readText(next));
    EXPECT_EQ(checkSeal(db, nullptr).verdict, SealVerdict::Valid) << "renamed, not yet confirmed";
    writeText(db, original + "x");
    EXPECT_EQ(checkSeal(db, nullptr).verdict, SealVerdict::Tampered);
    writeText(db, original);

    // No replacement turns a signed seal into an unsigned one.
    const SealKey key{"test key", std::string(32, 'k')};
    ASSERT_TRUE(writeSeal(db, record, &key, error)) << error;
    std::string moved;
    EXPECT_FALSE(sealNewBaseline(db, next, nullptr, moved, error));
    ASSERT_EQ(readText(db), original) << "replaced without the key";
    ASSERT_TRUE(sealNewBaseline(db, next, &key, moved, error)) << error;
    EXPECT_EQ(checkSeal(db, &key).verdict, SealVerdict::Valid);
    ASSERT_TRUE(writeSeal(db, SealRecord{digest, "-", "-", "", false}, nullptr, error)) << error;
    EXPECT_EQ(moved, digest);
    EXPECT_EQ(verified(), digest);
    EXPECT_NE(access(next.c_str(), F_OK), 0);

    // A writer in place that died after its last record: the same bytes still
    // verify; changed ones are refused naming that writer.
    record = SealRecord();
    record.digest = digest;
    record.writer = "watch 4242 2026-01-01T00:00:00+00:00";
    ASSERT_TRUE(writeSeal(db, record, nullptr, error)) << error;
    EXPECT_EQ(checkSeal(db, nullptr).verdict, SealVerdict::Valid);
    sql("UPDATE EntityFileItems SET size = 0");
    const SealCheck check = checkSeal(db, nullptr);
    EXPECT_EQ(check.verdict, SealVerdict::Tampered);
    EXPECT_NE(check.message.find("watch 4242"), std::string::npos) << check.message;
}

TEST_F(HostSeal, AWatchNamesItselfWhileItWritesAndOnlyAStoppedOneVouchesForWhatItWrote) {
    for (const int signal : {SIGTERM, SIGKILL}) {
        Background watch({"watch", "--json", "--db", db});
        watch.waitUntilWatching();
        EXPECT_NE(readText(seal()).find("writer watch "), std::string::npos) << readText(seal());
        writeText(tree + "/new-" + std::to_string(signal), "n");
        // The file and then its folder: once both are out, no write is under way.
        std::string line;
        ASSERT_TRUE(watch.readLine(line, 30000)) << watch.errorOutput();
        ASSERT_TRUE(watch.readLine(line, 30000)) << watch.errorOutput();
        const int status = watch.stop(signal);
        const ProgramRun run = qvim({"verify"});
        if (signal == SIGTERM) {
            EXPECT_EQ(status, 0) << watch.errorOutput();
            EXPECT_EQ(run.status, 0) << run.err;
        } else {
            EXPECT_EQ(run.status, kExitTampered) << "a killed watch's last writes are not vouched for";
            EXPECT_NE(run.err.find("watch "), std::string::npos) << run.err;
        }
    }
}

TEST_F(HostSeal, ACheckpointVouchesForWhatARunningWriterLeftSoFarAndOnlyThat) {
    std::string error;
    InPlaceSeal seal(db, nullptr);
    ASSERT_TRUE(seal.begin(writerName("watch"), verified(), error)) << error;
    sql("UPDATE EntityFileItems SET size = 12345");
    EXPECT_EQ(checkSeal(db, nullptr).verdict, SealVerdict::Tampered) << "written, not yet recorded";
    EXPECT_GT(seal.msUntilDue(60), 0) << "a change waits for its interval";
    EXPECT_EQ(seal.msUntilDue(0), 0);
    ASSERT_TRUE(seal.checkpoint(0, error)) << error;
    EXPECT_EQ(checkSeal(db, nullptr).verdict, SealVerdict::Valid);
    EXPECT_EQ(seal.msUntilDue(0), -1) << "nothing changed since the record";
    EXPECT_NE(readText(db + ".seal").find("writer watch "), std::string::npos) << "the writer is still at work";
    std::string digest;
    ASSERT_TRUE(seal.finish(digest, error)) << error;
    EXPECT_NE(readText(db + ".seal").find("writer -\n"), std::string::npos);
}

// While the engine has the baseline open, its commits may still be in the
// log: a record moves them into the file first, and when a reader keeps them
// there, no digest of the incomplete file is recorded.
TEST_F(HostSeal, ARecordBesideAnOpenEngineIsOfTheWholeDatabaseOrNone) {
    std::string error;
    InPlaceSeal writer(db, nullptr);
    ASSERT_TRUE(writer.begin(writerName("watch"), verified(), error)) << error;
    UniqueFd held(::open(db.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(held);
    writer.holdFile(held.get());
    sqlite3* engine = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &engine), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(engine, "PRAGMA wal_autocheckpoint = 0; UPDATE EntityFileItems SET size = 12345;", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    struct stat log;
    ASSERT_TRUE(stat((db + "-wal").c_str(), &log) == 0 && log.st_size > 0) << "the commit is in the log";

    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &reader), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM EntityFileItems;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    const std::string before = readText(seal());
    ASSERT_TRUE(writer.checkpoint(0, error)) << error;
    EXPECT_EQ(readText(seal()), before) << "recorded while the file lacked a commit";
    sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(reader);

    ASSERT_TRUE(writer.checkpoint(0, error)) << error;
    EXPECT_NE(readText(seal()), before);
    EXPECT_TRUE(stat((db + "-wal").c_str(), &log) == 0 && log.st_size == 0) << "the log was moved into the file";
    sqlite3_close(engine);
    EXPECT_EQ(checkSeal(db, nullptr).verdict, SealVerdict::Valid) << checkSeal(db, nullptr).message;
}
