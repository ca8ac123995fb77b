#include "Seal.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

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

bool baselineDigest(const std::string& dbPath, std::string& digestHex, std::string& error) {
    UniqueFd folder;
    if (!openDatabaseFolder(dbPath, folder, error)) return false;
    const std::string name = baseName(dbPath);
    const auto journalBeside = [&] {
        struct stat st;
        for (const char* suffix : {"-journal", "-wal"}) {
            if (fstatat(folder.get(), (name + suffix).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                error = "'" + name + suffix + "' lies beside the baseline: a write to it is unfinished (a run " +
                        "ended in the middle of one); any command that opens the baseline rolls it back";
                return true;
            }
        }
        return false;
    };
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::vector<unsigned char> buffer(256 * 1024);
    // A writer between transactions may commit while we read: read again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (journalBeside()) return false;
        UniqueFd file(openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat before, after;
        if (!file || fstat(file.get(), &before) != 0) {
            error = "cannot read the baseline '" + dbPath + "': " +
                    (errno == ELOOP ? std::string("it is a symbolic link") : errorText(errno));
            return false;
        }
        if (!S_ISREG(before.st_mode)) {
            error = "the baseline '" + dbPath + "' is not a regular file";
            return false;
        }
        if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
            error = "cannot start a SHA-256 digest";
            return false;
        }
        ssize_t got;
        while ((got = ::read(file.get(), buffer.data(), buffer.size())) != 0) {
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
        const bool steady = fstat(file.get(), &after) == 0 && sameFile(before, after);
        if (journalBeside()) return false;
        if (steady) {
            digestHex = hexText(digest, length);
            return true;
        }
    }
    error = "the baseline '" + dbPath + "' kept changing while its digest was taken";
    return false;
}

bool baselineAtRest(const std::string& dbPath) {
    struct stat st;
    return lstat(dbPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           lstat((dbPath + "-journal").c_str(), &st) != 0 && lstat((dbPath + "-wal").c_str(), &st) != 0;
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

SealCheck checkSeal(const std::string& dbPath, const SealKey* key) {
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
    if (!baselineDigest(dbPath, check.digest, check.message)) return check;
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
    check.message = "the baseline's digest is " + check.digest + ", but the one last accepted (" +
                    check.seal.time + ") is " + check.seal.digest;
    if (check.seal.writer != "-")
        check.message += "; the run writing it (" + check.seal.writer +
                         ") ended before it recorded its digest: it was killed or crashed, or the baseline was "
                         "changed behind it. If that run ended abruptly, rebuild the baseline with 'qvim init'";
    return check;
}

bool sealNewBaseline(const std::string& dbPath, const std::string& newFile, const SealKey* key,
                     std::string& digestHex, std::string& error) {
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
    UniqueFd folder;
    if (!openDatabaseFolder(dbPath, folder, error)) return false;
    if (renameat(folder.get(), baseName(newFile).c_str(), folder.get(), baseName(dbPath).c_str()) != 0) {
        error = "cannot move '" + newFile + "' over the baseline: " + errorText(errno);
        return false;
    }
    if (!syncFolder(parentFolder(dbPath), error)) return false;
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

bool InPlaceSeal::record(const std::string& writer, std::string& digestHex, std::string& error) {
    struct stat before;
    if (stat(m_dbPath.c_str(), &before) != 0) {
        error = "cannot examine the baseline '" + m_dbPath + "': " + errorText(errno);
        return false;
    }
    if (!baselineDigest(m_dbPath, digestHex, error)) return false;
    SealRecord record;
    record.digest = digestHex;
    record.writer = writer;
    if (!writeSeal(m_dbPath, record, m_key, error)) return false;
    m_recorded = before;
    m_haveRecorded = true;
    m_recordedAt = monotonicSeconds();
    return true;
}

bool InPlaceSeal::changedSinceRecord() const {
    struct stat now;
    return !m_haveRecorded || stat(m_dbPath.c_str(), &now) != 0 || !sameFile(now, m_recorded);
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

WatchSeal::WatchSeal(const std::string& dbPath, const std::string& keyPath)
    : m_usable(true), m_seal(dbPath, keyPath.empty() ? nullptr : &m_key) {
    std::string ignored;
    // The key was checked when the command started; a key that went away since
    // leaves the periodic record to the end of the run, which reports it.
    if (!keyPath.empty()) m_usable = loadSealKey(keyPath, m_key, ignored);
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
