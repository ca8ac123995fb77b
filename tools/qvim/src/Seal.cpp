#include "Seal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "BaselineCopy.h"
#include "SafeFiles.h"
#include "Text.h"

namespace qvimcli {
namespace {

constexpr size_t kShortestKey = 16;
constexpr size_t kLongestKey = 64 * 1024;
// A seal is a few lines; anything longer is not one of ours.
constexpr size_t kLongestSeal = 4096;
constexpr char kMagic[] = "qvim-seal 1";
constexpr char kSignatureHead[] = "signature ";

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string isoTimeNow() {
    const time_t now = time(nullptr);
    struct tm local;
    char text[40];
    if (localtime_r(&now, &local) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0)
        return "unknown";
    std::string iso = text;
    if (iso.size() >= 5) iso.insert(iso.size() - 2, ":");  // +0100 -> +01:00
    return iso;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

std::string hmacHex(const SealKey& key, const std::string& text) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.bytes.data(), static_cast<int>(key.bytes.size()),
             reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac, &length) == nullptr)
        return std::string();
    return hexText(mac, length);
}

// The database's folder, checked as the engine's start checks it.
bool openDatabaseFolder(const std::string& dbPath, UniqueFd& folder, std::string& error) {
    if (openTrustedFolder(parentFolder(dbPath), FolderSharing::OwnOnly, false, folder, error)) return true;
    error = "cannot use the database folder '" + parentFolder(dbPath) + "': " + error;
    return false;
}

// Reads a small regular file of ours without following a link or waiting on a
// FIFO. missing is set (and true returned) when there is no such file.
bool readOwnSmallFile(int folder, const std::string& name, size_t longest, std::string& text, bool& missing,
                      std::string& error) {
    missing = false;
    UniqueFd file(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!file) {
        if (errno == ENOENT) {
            missing = true;
            return true;
        }
        error = errno == ELOOP ? "it is a symbolic link" : errorText(errno);
        return false;
    }
    if (fstat(file.get(), &st) != 0) {
        error = errorText(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "it is not a regular file";
        return false;
    }
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = "it belongs to user " + std::to_string(st.st_uid) + " or others may write to it";
        return false;
    }
    if (static_cast<size_t>(st.st_size) > longest) {
        error = "it is larger than " + std::to_string(longest) + " bytes";
        return false;
    }
    text.assign(static_cast<size_t>(st.st_size), '\0');
    const ssize_t got = pread(file.get(), text.data(), text.size(), 0);
    if (got != static_cast<ssize_t>(text.size())) {
        error = got < 0 ? errorText(errno) : "it changed while being read";
        return false;
    }
    return true;
}

// The part a signature covers: every line before it.
std::string recordBody(const SealRecord& record) {
    return std::string(kMagic) + "\ndigest " + record.digest + "\npending " + record.pending + "\nwriter " +
           record.writer + "\ntime " + record.time + "\n";
}

// Parses a seal; false with a reason for anything qvim does not write.
bool parseSeal(const std::string& text, SealRecord& record, std::string& body, std::string& signature,
               std::string& error) {
    const size_t at = text.rfind(std::string("\n") + kSignatureHead);
    if (at == std::string::npos || text.empty() || text.back() != '\n') {
        error = "it has no signature line";
        return false;
    }
    body = text.substr(0, at + 1);
    signature = text.substr(at + 1 + sizeof kSignatureHead - 1);
    signature.pop_back();
    // The body ends with a line break, so every line is found whole.
    static const char* const kNames[] = {"digest ", "pending ", "writer ", "time "};
    std::vector<std::string> values;
    bool wellFormed = true;
    for (size_t start = 0, line = 0; start < body.size() && wellFormed; ++line) {
        const size_t end = body.find('\n', start);
        const std::string text = body.substr(start, end - start);
        start = end + 1;
        if (line == 0) {
            wellFormed = text == kMagic;
        } else if (line <= 4 && startsWith(text, kNames[line - 1])) {
            values.push_back(text.substr(strlen(kNames[line - 1])));
        } else {
            wellFormed = false;
        }
    }
    if (!wellFormed || values.size() != 4) {
        error = "it is not in the form qvim writes";
        return false;
    }
    record.digest = values[0];
    record.pending = values[1];
    record.writer = values[2];
    record.time = values[3];
    record.isSigned = signature != "none";
    if (record.isSigned && !startsWith(signature, "hmac-sha256 ")) {
        error = "its signature is of an unknown kind";
        return false;
    }
    return true;
}

bool syncFolder(const std::string& path, std::string& error) {
    UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder && fsync(folder.get()) == 0) return true;
    error = "cannot sync the folder '" + path + "': " + errorText(errno);
    return false;
}

}  // namespace

bool loadSealKey(const std::string& path, SealKey& key, std::string& error) {
    const std::string prefix = "cannot use the key '" + path + "': ";
    UniqueFd folder;
    std::string reason;
    if (!openTrustedFolder(parentFolder(path), FolderSharing::StickyAllowed, false, folder, reason)) {
        error = prefix + reason;
        return false;
    }
    UniqueFd file(
        openat(folder.get(), baseName(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!file || fstat(file.get(), &st) != 0) {
        error = prefix + (errno == ELOOP ? std::string("it is a symbolic link") : errorText(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = prefix + "it is not a regular file";
    } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
        error = prefix + "it belongs to user " + std::to_string(st.st_uid);
    } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = prefix + "others may read or write it (mode " + mode + "); make it 0600 or 0400";
    } else if (st.st_size < static_cast<off_t>(kShortestKey) || st.st_size > static_cast<off_t>(kLongestKey)) {
        error = prefix + "it must hold 16 bytes to 64 KiB (it has " + std::to_string(st.st_size) +
                "); make one with 'head -c 32 /dev/urandom'";
    } else {
        key.bytes.assign(static_cast<size_t>(st.st_size), '\0');
        if (pread(file.get(), key.bytes.data(), key.bytes.size(), 0) == static_cast<ssize_t>(key.bytes.size())) {
            key.path = path;
            return true;
        }
        error = prefix + "it could not be read whole";
    }
    return false;
}

std::string sealPathFor(const std::string& dbPath) { return dbPath + ".seal"; }

namespace {

// Beside the database NAME in folder: a rollback journal (a write under way,
// or one a crash left) or a write-ahead log holding frames (commits the file
// does not hold yet). An empty log holds nothing. The reason when there is one.
std::string unsettledBeside(int folder, const std::string& name) {
    struct stat st;
    if (fstatat(folder, (name + "-journal").c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return "'" + name + "-journal' lies beside the baseline: a write to it is unfinished (a run ended in the " +
               "middle of one); any command that opens the baseline rolls it back";
    if (fstatat(folder, (name + "-wal").c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_size > 0)
        return "'" + name + "-wal' beside the baseline holds commits the file does not hold yet (a run has the " +
               "baseline open, or ended without closing it); any command that opens the baseline moves them in";
    return std::string();
}

// The digest of the database name in folder, read from held (an open
// descriptor of it) when given, else from a descriptor of its own. Unless
// settled (the caller holds a read transaction in which the file alone is the
// database), nothing unsettled may lie beside it, before or after the read.
bool fileDigest(int folder, const std::string& dbPath, int held, bool settled, std::string& digestHex,
                std::string& error) {
    const std::string name = baseName(dbPath);
    const auto unsettled = [&] {
        if (settled) return false;
        error = unsettledBeside(folder, name);
        return !error.empty();
    };
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::vector<unsigned char> buffer(256 * 1024);
    // A writer between transactions may commit while we read: read again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (unsettled()) return false;
        UniqueFd own;
        if (held < 0)
            own.reset(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        const int file = held >= 0 ? held : own.get();
        struct stat before, after, named;
        if (file < 0 || fstat(file, &before) != 0) {
            error = "cannot read the baseline '" + dbPath + "': " +
                    (errno == ELOOP ? std::string("it is a symbolic link") : errorText(errno));
            return false;
        }
        if (!S_ISREG(before.st_mode)) {
            error = "the baseline '" + dbPath + "' is not a regular file";
            return false;
        }
        if (held >= 0 && (fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
                          named.st_dev != before.st_dev || named.st_ino != before.st_ino)) {
            error = "the baseline '" + dbPath + "' is no longer the file this run opened";
            return false;
        }
        if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
            error = "cannot start a SHA-256 digest";
            return false;
        }
        ssize_t got;
        for (off_t at = 0; (got = pread(file, buffer.data(), buffer.size(), at)) != 0; at += got > 0 ? got : 0) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                error = "cannot read the baseline '" + dbPath + "': " + errorText(errno);
                return false;
            }
            EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(got));
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context.get(), digest, &length);
        const bool steady = fstat(file, &after) == 0 && sameFile(before, after);
        if (unsettled()) return false;
        if (steady) {
            digestHex = hexText(digest, length);
            return true;
        }
    }
    error = "the baseline '" + dbPath + "' kept changing while its digest was taken";
    return false;
}

}  // namespace

bool baselineDigest(const std::string& dbPath, std::string& digestHex, std::string& error) {
    UniqueFd folder;
    return openDatabaseFolder(dbPath, folder, error) && fileDigest(folder.get(), dbPath, -1, false, digestHex, error);
}

bool settledBaselineDigest(const std::string& dbPath, int held, std::string& digestHex, std::string& error,
                           bool& postponed) {
    postponed = false;
    UniqueFd folder;
    if (!openDatabaseFolder(dbPath, folder, error)) return false;
    // A descriptor of the file closed while a connection of this process has
    // it open would drop that connection's locks: it is opened before the
    // read transaction and closed after it.
    UniqueFd own;
    if (held < 0) {
        own.reset(openat(folder.get(), baseName(dbPath).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!own) {
            error = "cannot read the baseline '" + dbPath + "': " + errorText(errno);
            return false;
        }
        held = own.get();
    }
    SettledReader reader;
    if (!reader.begin(dbPath, error)) return false;
    if (!reader.fileIsWhole()) {
        postponed = true;
        error = "commits kept coming into the baseline's log while its digest was to be taken";
        return false;
    }
    return fileDigest(folder.get(), dbPath, held, true, digestHex, error);
}

bool baselineAtRest(const std::string& dbPath) {
    struct stat st;
    return lstat(dbPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           unsettledBeside(AT_FDCWD, dbPath).empty();
}

bool writeSeal(const std::string& dbPath, SealRecord record, const SealKey* key, std::string& error) {
    record.time = isoTimeNow();
    std::string text = recordBody(record);
    text += kSignatureHead;
    if (key != nullptr) {
        const std::string mac = hmacHex(*key, text.substr(0, text.size() - (sizeof kSignatureHead - 1)));
        if (mac.empty()) {
            error = "cannot compute the seal's HMAC";
            return false;
        }
        text += "hmac-sha256 " + mac;
    } else {
        text += "none";
    }
    text += '\n';
    const std::string path = sealPathFor(dbPath);
    ReplacingFile file;
    std::string reason;
    if (!file.open(path, reason) || fputs(text.c_str(), file.stream()) < 0 || !file.commit(reason) ||
        !syncFolder(parentFolder(path), reason)) {
        error = "cannot write the seal '" + path + "': " + reason;
        return false;
    }
    return true;
}

// The writer a seal names ("watch 1234 TIME") still runs, in another process,
// and holds the baseline: a qvim that works on the baseline itself holds a
// shared lock on the file for as long as its engine has it open.
bool writerHoldsBaseline(const std::string& dbPath, const std::string& writer, int held) {
    const size_t space = writer.find(' ');
    const long pid = space == std::string::npos ? 0 : strtol(writer.c_str() + space + 1, nullptr, 10);
    if (pid <= 0 || pid == static_cast<long>(getpid()) || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH))
        return false;
    // This run holds the file (and its flock) itself: another descriptor
    // would tell nothing, and closing it would drop the engine's locks.
    if (held >= 0) return true;
    UniqueFd file(open(dbPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return file && flock(file.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

SealCheck checkSeal(const std::string& dbPath, const SealKey* key, int held) {
    SealCheck check;
    const std::string path = sealPathFor(dbPath);
    UniqueFd folder;
    std::string text, reason;
    bool missing = false;
    if (!openDatabaseFolder(dbPath, folder, check.message)) return check;
    if (!readOwnSmallFile(folder.get(), baseName(path), kLongestSeal, text, missing, reason)) {
        check.verdict = SealVerdict::Tampered;
        check.message = "the seal '" + path + "' is not one qvim wrote: " + reason;
        return check;
    }
    bool postponed = false;
    if (held >= 0 ? !settledBaselineDigest(dbPath, held, check.digest, check.message, postponed)
                  : !baselineDigest(dbPath, check.digest, check.message)) {
        check.digest.clear();
        // Commits in the log that no record vouches for: a running writer's,
        // or ones nobody can vouch for, and the file is not opened to see.
        std::string body, signature;
        if (missing || !logHoldsFrames(dbPath) || !parseSeal(text, check.seal, body, signature, reason))
            return check;
        if (check.seal.writer != "-" && writerHoldsBaseline(dbPath, check.seal.writer, held)) {
            check.verdict = SealVerdict::InUse;
            check.message = "the baseline is being written by a running qvim (" + check.seal.writer +
                            "), which records its digest at most a minute after each change and when it ends";
        } else {
            check.verdict = SealVerdict::Tampered;
            check.message = "'" + baseName(dbPath) + "-wal' beside the baseline holds commits made after it was " +
                            "last accepted (" + check.seal.time + ")";
            if (check.seal.writer != "-")
                check.message += " by a run that ended before it recorded its digest (" + check.seal.writer +
                                 "): it was killed or crashed, or the baseline was changed behind it. If that run "
                                 "ended abruptly, rebuild the baseline with 'qvim init'";
        }
        return check;
    }
    if (missing) {
        check.verdict = key != nullptr ? SealVerdict::Tampered : SealVerdict::Unsealed;
        check.message = key != nullptr ? "the baseline has no seal ('" + path +
                                             "' is missing), but --key was given: it was removed, or the " +
                                             "baseline was never sealed with this key"
                                       : "the baseline has no seal yet (it was built before qvim sealed its "
                                         "baselines); it is sealed at the next accept";
        return check;
    }
    std::string body, signature;
    if (!parseSeal(text, check.seal, body, signature, reason)) {
        check.verdict = SealVerdict::Tampered;
        check.message = "the seal '" + path + "' is not one qvim wrote: " + reason;
        return check;
    }
    check.verdict = SealVerdict::Tampered;
    if (key != nullptr) {
        if (!check.seal.isSigned) {
            check.message = "the seal '" + path + "' is not signed, but --key was given: it was written without " +
                            "the key, by someone else or by a run that lacked it (a baseline starts being signed " +
                            "with 'qvim init --key FILE')";
            return check;
        }
        const std::string expected = "hmac-sha256 " + hmacHex(*key, body);
        if (expected.size() != signature.size() ||
            CRYPTO_memcmp(expected.data(), signature.data(), expected.size()) != 0) {
            check.message = "the seal's signature does not match the key '" + key->path +
                            "': the seal was written with another key or changed since";
            return check;
        }
    } else if (check.seal.isSigned) {
        check.warnings.push_back("the seal is signed; its signature is checked only with --key FILE");
    }
    if (check.digest == check.seal.digest) {
        check.verdict = SealVerdict::Valid;
        return check;
    }
    if (check.digest == check.seal.pending) {
        check.verdict = SealVerdict::Valid;
        check.warnings.push_back("the last replacement of the baseline stopped before it confirmed its seal; "
                                 "the new baseline is the one it was replacing with");
        return check;
    }
    if (check.seal.writer != "-" && writerHoldsBaseline(dbPath, check.seal.writer, held)) {
        check.verdict = SealVerdict::InUse;
        check.message = "the baseline is being written by a running qvim (" + check.seal.writer +
                        "), which records its digest at most a minute after each change and when it ends";
        return check;
    }
    check.message = "the baseline's digest is " + check.digest + ", but the one last accepted (" +
                    check.seal.time + ") is " + check.seal.digest;
    if (check.seal.writer != "-")
        check.message += "; the run writing it (" + check.seal.writer +
                         ") ended before it recorded its digest: it was killed or crashed, or the baseline was "
                         "changed behind it. If that run ended abruptly, rebuild the baseline with 'qvim init'";
    return check;
}

bool sealNewBaseline(const std::string& dbPath, const std::string& newFile, const SealKey* key,
                     std::string& digestHex, std::string& error,
                     const std::function<bool(std::string&)>& moveIntoPlace) {
    if (parentFolder(newFile) != parentFolder(dbPath)) {
        error = "the new baseline '" + newFile + "' is not in the folder of '" + dbPath + "'";
        return false;
    }
    if (!baselineDigest(newFile, digestHex, error)) return false;
    SealRecord record;
    const SealCheck current = checkSeal(dbPath, key);
    if (current.seal.isSigned && key == nullptr) {
        error = "the baseline's seal is signed: the new baseline is accepted only with its key (--key FILE)";
        return false;
    }
    if (current.verdict == SealVerdict::Valid) record.digest = current.digest;
    record.pending = digestHex;
    if (!writeSeal(dbPath, record, key, error)) return false;
    if (moveIntoPlace) {
        if (!moveIntoPlace(error)) return false;
    } else {
        UniqueFd folder;
        if (!openDatabaseFolder(dbPath, folder, error)) return false;
        if (renameat(folder.get(), baseName(newFile).c_str(), folder.get(), baseName(dbPath).c_str()) != 0) {
            error = "cannot move '" + newFile + "' over the baseline: " + errorText(errno);
            return false;
        }
        if (!syncFolder(parentFolder(dbPath), error)) return false;
    }
    record.digest = digestHex;
    record.pending = "-";
    return writeSeal(dbPath, record, key, error);
}

bool InPlaceSeal::begin(const std::string& writer, const std::string& verifiedDigest, std::string& error) {
    m_writer = writer;
    SealRecord record;
    if (!verifiedDigest.empty()) record.digest = verifiedDigest;
    record.writer = writer;
    m_recordedAt = monotonicSeconds();
    m_haveRecorded = false;
    return writeSeal(m_dbPath, record, m_key, error);
}

void InPlaceSeal::adopt(const std::string& writer) {
    m_writer = writer;
    m_recordedAt = monotonicSeconds();
    m_haveRecorded = false;
}

// The file and its write-ahead log as they are now: a commit changes the log
// before it reaches the file.
InPlaceSeal::Looks InPlaceSeal::looksNow() const {
    Looks looks;
    looks.haveFile = lstat(m_dbPath.c_str(), &looks.file) == 0;  // compared only, never opened
    if (lstat((m_dbPath + "-wal").c_str(), &looks.log) != 0) looks.log = {};
    return looks;
}

bool InPlaceSeal::record(const std::string& writer, std::string& digestHex, std::string& error) {
    const Looks before = looksNow();
    if (!before.haveFile) {
        error = "cannot examine the baseline '" + m_dbPath + "': " + errorText(errno);
        return false;
    }
    if (m_held >= 0) {
        // The engine has the baseline open: its commits are moved into the
        // file first, and while they keep coming the record waits its turn.
        bool postponed = false;
        if (!settledBaselineDigest(m_dbPath, m_held, digestHex, error, postponed)) {
            if (!postponed) return false;
            m_recordedAt = monotonicSeconds();
            digestHex.clear();
            return true;
        }
    } else if (!baselineDigest(m_dbPath, digestHex, error)) {
        return false;
    }
    SealRecord record;
    record.digest = digestHex;
    record.writer = writer;
    if (!writeSeal(m_dbPath, record, m_key, error)) return false;
    // Looked at before the digest: a commit after that shows as a change.
    m_recorded = before;
    m_haveRecorded = true;
    m_recordedAt = monotonicSeconds();
    return true;
}

bool InPlaceSeal::changedSinceRecord() const {
    if (!m_haveRecorded) return true;
    const Looks now = looksNow();
    return !now.haveFile || !sameFile(now.file, m_recorded.file) || now.log.st_ino != m_recorded.log.st_ino ||
           now.log.st_size != m_recorded.log.st_size || now.log.st_mtim.tv_sec != m_recorded.log.st_mtim.tv_sec ||
           now.log.st_mtim.tv_nsec != m_recorded.log.st_mtim.tv_nsec;
}

int InPlaceSeal::msUntilDue(double intervalSeconds) const {
    if (!changedSinceRecord()) return -1;
    const double left = m_recordedAt + intervalSeconds - monotonicSeconds();
    return left <= 0 ? 0 : static_cast<int>(left * 1000) + 1;
}

bool InPlaceSeal::checkpoint(double intervalSeconds, std::string& error) {
    if (msUntilDue(intervalSeconds) != 0) return true;
    std::string digest;
    return record(m_writer, digest, error);
}

bool InPlaceSeal::finish(std::string& digestHex, std::string& error) { return record("-", digestHex, error); }

namespace {
constexpr double kWatchSealInterval = 60;
}

WatchSeal::WatchSeal(const std::string& dbPath, const std::string& keyPath, int held)
    : m_usable(held >= 0), m_seal(dbPath, keyPath.empty() ? nullptr : &m_key) {
    m_seal.holdFile(held);
    std::string ignored;
    // The key was checked when the command started; a key that went away since
    // leaves the periodic record to the end of the run, which reports it.
    if (m_usable && !keyPath.empty()) m_usable = loadSealKey(keyPath, m_key, ignored);
    m_seal.adopt(writerName("watch"));
}

int WatchSeal::waitMs(int idleMs) const {
    if (!m_usable) return idleMs;
    const int due = m_seal.msUntilDue(kWatchSealInterval);
    return due < 0 ? idleMs : (idleMs < 0 || due < idleMs ? due : idleMs);
}

std::string WatchSeal::tick() {
    std::string error;
    if (!m_usable || m_seal.checkpoint(kWatchSealInterval, error)) return std::string();
    m_usable = false;
    return "could not record the baseline's digest while watching: " + error;
}

std::string writerName(const std::string& command) {
    static const std::string started = isoTimeNow();
    return command + " " + std::to_string(getpid()) + " " + started;
}

std::string currentDigestText(const std::string& dbPath) {
    std::string digest, error;
    if (baselineDigest(dbPath, digest, error)) return "sha256:" + digest;
    return "unknown (" + printable(error) + ")";
}

std::string sealJournalLine(const std::string& digestHex, bool isSigned) {
    return "{\"baselineAccepted\":{\"sha256\":\"" + digestHex + "\",\"time\":\"" + isoTimeNow() +
           "\",\"signed\":" + (isSigned ? "true" : "false") + "}}";
}

}  // namespace qvimcli
