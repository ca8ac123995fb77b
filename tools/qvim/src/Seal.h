// The seal: a record beside the database of the baseline's digest as qvim last
// accepted it, so that a baseline changed behind qvim's back is refused.
//
// The digest is SHA-256 over the bytes of the database file at rest: between
// transactions, with no "-journal" beside it and no "-wal" holding commits
// the file does not hold yet. SQLite changes those bytes only when it commits
// or moves commits from its log into the file, so commands that only read
// (export, metrics, state get, verify, a check on a copy) leave the digest as
// it is, and every command that writes records the new one when it is done.
//
// The seal file is NAME.seal beside the database NAME: 0600, owned by the
// user qvim runs as, replaced whole by rename, never read through a link. Text:
//   qvim-seal 1
//   digest HEX        the baseline as last accepted ("none" before there is one)
//   pending HEX       a replacement with this digest is under way ("-": none)
//   writer WHO        a command writes the baseline in place ("-": none)
//   time ISO-8601     when this record was written
//   signature hmac-sha256 HEX   over every byte before this line (or "none")
//
// Tampering never passes for a crash, and a crash passes for tampering only
// where the two cannot be told apart:
// - Replacing the baseline (sealNewBaseline): the seal first records the new
//   digest as pending, the new file is then renamed over the baseline, and the
//   seal finally records it as accepted. A crash between any two steps leaves
//   the old baseline (= digest) or the new one (= pending): both verify.
// - Writing in place (init, check, migrate, state set, watch): the seal first
//   names the writer; the writer records the digest it leaves (watch also while
//   it runs, at most once a minute when the file changed) and clears the writer
//   at its end. A baseline that differs from the digest while a writer is named
//   changed after the last record, by a writer that died or by someone else:
//   it cannot be vouched for and is refused, naming the writer.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

namespace qvimcli {

// The HMAC key of --key FILE: a regular file (not a link) of root or this user
// that nobody else may read or write, 16 bytes to 64 KiB, used whole.
struct SealKey {
    std::string path;
    std::string bytes;
};
bool loadSealKey(const std::string& path, SealKey& key, std::string& error);

// "/var/lib/qvim/im.db" -> "/var/lib/qvim/im.db.seal".
std::string sealPathFor(const std::string& dbPath);

// The digest of the file at rest, as lower-case hex; false with a reason when
// it cannot be taken (missing, not a regular file, a journal beside it, or it
// kept changing while read).
bool baselineDigest(const std::string& dbPath, std::string& digestHex, std::string& error);

// The digest of the file while a read transaction in which the file alone is
// the database holds it still (commits in the log are moved in first): for a
// run whose engine has the baseline open. held is an open descriptor of the
// file (closing another one would drop the engine's locks), or -1. postponed
// tells a failure that only means commits kept coming: try again later.
bool settledBaselineDigest(const std::string& dbPath, int held, std::string& digestHex, std::string& error,
                           bool& postponed);

// The database file exists with no journal and no log holding commits
// beside it: its digest can be taken without opening it.
bool baselineAtRest(const std::string& dbPath);

// What a seal file holds.
struct SealRecord {
    std::string digest = "none";
    std::string pending = "-";
    std::string writer = "-";
    std::string time;
    bool isSigned = false;
};

// Writes the record (time now, signed when a key is given) by rename, synced.
bool writeSeal(const std::string& dbPath, SealRecord record, const SealKey* key, std::string& error);

enum class SealVerdict {
    Valid,     // the baseline is the one last accepted
    Unsealed,  // no seal yet and no key given: a baseline from before sealing
    Tampered,  // digest, signature or the seal itself is not what qvim wrote
    InUse,     // differs from the seal while the run the seal names still writes it
    Failed     // the digest or the seal could not be read
};

struct SealCheck {
    SealVerdict verdict = SealVerdict::Failed;
    std::string digest;                 // the baseline's digest now, when taken
    SealRecord seal;                    // the record found, when one was read
    std::string message;                // what differs, or why nothing could be told
    std::vector<std::string> warnings;  // true but not refusing (signature unchecked, crash completed)
};

// Compares the baseline with its seal. With a key, a missing or unsigned seal
// and a wrong signature are tampering; without one the signature is unchecked.
// held: an open descriptor of the baseline while this process's engine has it
// open (its digest is then taken settled), else -1.
SealCheck checkSeal(const std::string& dbPath, const SealKey* key, int held = -1);

// Moves newFile (closed, complete, in the database's folder) over the baseline
// and seals it, in the crash-safe order above. moveIntoPlace, when given, does
// the rename and syncs the folder (the working copy's owner knows its file);
// else newFile is renamed by name. digestHex receives its digest. Nothing is
// renamed when the pending record cannot be written.
bool sealNewBaseline(const std::string& dbPath, const std::string& newFile, const SealKey* key,
                     std::string& digestHex, std::string& error,
                     const std::function<bool(std::string&)>& moveIntoPlace = nullptr);

// A command writing the baseline in place. begin names the writer (keeping the
// digest just verified), checkpoint records the digest while it writes,
// finish records it and clears the writer.
class InPlaceSeal {
public:
    InPlaceSeal(std::string dbPath, const SealKey* key) : m_dbPath(std::move(dbPath)), m_key(key) {}

    bool begin(const std::string& writer, const std::string& verifiedDigest, std::string& error);
    // Takes over a writer begun elsewhere in this process (watch's loop).
    void adopt(const std::string& writer);
    // Records while the engine has the baseline open, reading it through held
    // (an open descriptor of it that outlives this object).
    void holdFile(int held) { m_held = held; }
    // Records the digest when the file changed since the last record and at
    // least interval seconds have passed; true when nothing needed doing.
    bool checkpoint(double intervalSeconds, std::string& error);
    // Milliseconds until a checkpoint is due (-1: the file has not changed).
    int msUntilDue(double intervalSeconds) const;
    bool finish(std::string& digestHex, std::string& error);
    const SealKey* key() const { return m_key; }

private:
    struct Looks {
        bool haveFile = false;
        struct stat file {};
        struct stat log {};
    };
    Looks looksNow() const;
    bool record(const std::string& writer, std::string& digestHex, std::string& error);
    bool changedSinceRecord() const;

    std::string m_dbPath;
    const SealKey* m_key;
    std::string m_writer;
    int m_held = -1;
    Looks m_recorded;
    bool m_haveRecorded = false;
    double m_recordedAt = 0;
};

// watch's periodic record: at most once a minute, and only when the engine
// wrote since the last one.
class WatchSeal {
public:
    // held: an open descriptor of the baseline for as long as this lives
    // (without one, only the final record is taken).
    WatchSeal(const std::string& dbPath, const std::string& keyPath, int held);
    // How long the event loop may wait before tick is due; idleMs when nothing is pending.
    int waitMs(int idleMs) const;
    // Records when due; a failure gives a warning (once), the final record still follows.
    std::string tick();

private:
    SealKey m_key;
    bool m_usable;
    InPlaceSeal m_seal;
};

// "init 1234 2026-12-06T01:50:00+00:00": who writes, for the seal and messages.
std::string writerName(const std::string& command);

// "sha256:HEX" of the baseline now, or "unknown (reason)": for report headers.
std::string currentDigestText(const std::string& dbPath);

// The evidence journal's record of an accepted baseline, one JSON line.
std::string sealJournalLine(const std::string& digestHex, bool isSigned);

}  // namespace qvimcli
