#include "BaselineCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "Text.h"

namespace qvimcli {
namespace {

// The copies of im.db are ".im.db.working-<random>": hidden, and never a name
// SQLite gives its own files ("im.db-journal", "im.db-wal").
std::string copyPrefix(const std::string& name) { return "." + name + ".working-"; }

// SQLite's files beside a database of this name.
const char* const kSqliteSuffixes[] = {"-journal", "-wal", "-shm"};

// How long a copy waits for a writer (watch, init) to finish its transaction.
constexpr int kBusyMilliseconds = 10000;
// How long readers may hold up the checkpoint before a copy goes through
// SQLite instead, which needs no whole file.
constexpr int kCheckpointMilliseconds = 1000;

struct SqliteCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using SqlitePtr = std::unique_ptr<sqlite3, SqliteCloser>;

bool openSqlite(const std::string& path, SqlitePtr& db, std::string& error) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    db.reset(raw);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(raw, kBusyMilliseconds);
        return true;
    }
    error = "cannot open '" + path + "': " + (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    return false;
}

// The first column of the first row, as text ("" for none).
std::string firstText(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    std::string text;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW &&
        sqlite3_column_text(statement, 0) != nullptr)
        text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    sqlite3_finalize(statement);
    return text;
}

// Removes the empty log and index SQLite may leave beside path; false with a
// reason when the log holds frames.
bool removeEmptyLog(int folder, const std::string& name, std::string& error) {
    for (const char* suffix : {"-wal", "-shm"}) {
        const std::string side = name + suffix;
        struct stat st;
        if (fstatat(folder, side.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (std::strcmp(suffix, "-wal") == 0 && st.st_size > 0) {
            error = "'" + side + "' still holds commits";
            return false;
        }
        if (unlinkat(folder, side.c_str(), 0) != 0 && errno != ENOENT) {
            error = "cannot remove '" + side + "': " + errorText(errno);
            return false;
        }
    }
    return true;
}

// A flock on the database folder for as long as it lives: shared while a copy
// reads the baseline through SQLite, exclusive while the baseline is replaced,
// so that no connection to the old file meets the new file's log.
class FolderLock {
public:
    FolderLock(int folder, int how) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMilliseconds);
        while (flock(folder, how | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() > deadline) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_folder = folder;
    }
    ~FolderLock() {
        if (m_folder >= 0) flock(m_folder, LOCK_UN);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool held() const { return m_folder >= 0; }

private:
    int m_folder = -1;
};

// A file for the copy that has no name until it is locked, so that no other
// run takes it for a stale copy; a named one where the file system has no
// unnamed files.
UniqueFd lockedNewFile(int folder, std::string& copyName, const std::string& prefix, int& failure) {
    UniqueFd file(openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    // Without /proc it cannot be named: a named file then.
    if (file && flock(file.get(), LOCK_EX) == 0 && linkUnnamed(file.get(), folder, prefix, copyName)) return file;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = prefix + randomSuffix();
        UniqueFd named(openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!named && errno == EEXIST) continue;
        if (!named) break;
        if (flock(named.get(), LOCK_EX) != 0) {
            failure = errno;
            unlinkat(folder, name.c_str(), 0);
            return UniqueFd();
        }
        copyName = name;
        return named;
    }
    failure = errno;
    return UniqueFd();
}

}  // namespace

bool logHoldsFrames(const std::string& path) {
    struct stat st;
    return lstat((path + "-wal").c_str(), &st) == 0 && st.st_size > 0;
}

const char* copyMethodName(CopyMethod method) {
    switch (method) {
        case CopyMethod::Reflink: return "reflink";
        case CopyMethod::Bytes: return "copy";
        case CopyMethod::Backup: return "backup";
        default: return "none";
    }
}

bool reflinkFile(int from, int to) { return ioctl(to, FICLONE, from) == 0; }

bool copyFileBytes(int from, int to) {
    struct stat st;
    if (fstat(from, &st) != 0 || ftruncate(to, 0) != 0) return false;
    loff_t in = 0, out = 0;
    for (off_t left = st.st_size; left > 0;) {
        const ssize_t copied = copy_file_range(from, &in, to, &out, static_cast<size_t>(left), 0);
        if (copied < 0 && errno == EINTR) continue;
        if (copied <= 0) return false;  // the file shrank under us, or the kernel cannot
        left -= copied;
    }
    return true;
}

bool backupDatabase(const std::string& from, const std::string& to, std::string& error) {
    SqlitePtr source;
    SqlitePtr target;
    if (!openSqlite(from, source, error) || !openSqlite(to, target, error)) return false;
    sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", source.get(), "main");
    if (backup == nullptr) {
        error = std::string("cannot copy the database: ") + sqlite3_errmsg(target.get());
        return false;
    }
    int rc;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMilliseconds);
    while ((rc = sqlite3_backup_step(backup, -1)) == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int finished = sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE || finished != SQLITE_OK) {
        error = std::string("cannot copy the database: ") + sqlite3_errstr(rc != SQLITE_DONE ? rc : finished);
        return false;
    }
    return true;
}

SettledReader::~SettledReader() {
    if (m_db == nullptr) return;
    sqlite3_exec(m_db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close_v2(m_db);
}

bool SettledReader::begin(const std::string& path, std::string& error) {
    SqlitePtr db;
    if (!openSqlite(path, db, error)) return false;
    // A busy writer may append again between the checkpoint and the read: a
    // few tries, then the caller's slower way.
    for (int attempt = 0; attempt < 3 && !m_whole; ++attempt) {
        if (attempt > 0) sqlite3_exec(db.get(), "COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_busy_timeout(db.get(), kCheckpointMilliseconds);
        sqlite3_wal_checkpoint_v2(db.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        sqlite3_busy_timeout(db.get(), kBusyMilliseconds);
        if (sqlite3_exec(db.get(), "BEGIN; SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
            error = "cannot read '" + path + "': " + sqlite3_errmsg(db.get());
            return false;
        }
        // Only a truncating checkpoint empties the log, and none can while a
        // reader uses it: a log that is empty now was empty when this began.
        m_whole = firstText(db.get(), "PRAGMA journal_mode;") != "wal" || !logHoldsFrames(path);
    }
    m_db = db.release();
    return true;
}

bool settleForReplacement(int folder, const std::string& name, const std::string& path, std::string& error) {
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
        return removeEmptyLog(folder, name, error);
    SqlitePtr db;
    if (!openSqlite(path, db, error)) return false;
    // A connection that holds the file open (a watch) does not go away by waiting.
    sqlite3_busy_timeout(db.get(), kCheckpointMilliseconds);
    // In exclusive locking mode the first read takes the file's exclusive
    // lock, which fails while any other connection has it open, and keeps the
    // log's index in this connection's memory rather than in the shared file.
    if (sqlite3_exec(db.get(), "PRAGMA locking_mode = EXCLUSIVE; SELECT count(*) FROM sqlite_master;", nullptr,
                     nullptr, nullptr) != SQLITE_OK) {
        error = "the baseline is open in another program (" + std::string(sqlite3_errmsg(db.get())) +
                "): its log could end up applied to the new baseline";
        return false;
    }
    int logFrames = -1;
    const int rc = sqlite3_wal_checkpoint_v2(db.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, &logFrames, nullptr);
    if (rc != SQLITE_OK || logFrames > 0) {
        error = "cannot move the commits in the baseline's log into it: " +
                std::string(rc != SQLITE_OK ? sqlite3_errstr(rc) : "frames remain");
        return false;
    }
    db.reset();  // the last connection removes the log
    return removeEmptyLog(folder, name, error);
}

void removeStaleCopies(int folder, const std::string& name) {
    const std::string prefix = copyPrefix(name);
    UniqueFd listed(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* listing = listed ? fdopendir(listed.release()) : nullptr;
    if (listing == nullptr) return;
    std::vector<std::string> stale;
    while (const struct dirent* entry = readdir(listing)) {
        const std::string entryName = entry->d_name;
        if (!startsWith(entryName, prefix)) continue;
        std::string copy = entryName;
        for (const char* suffix : kSqliteSuffixes)
            if (endsWith(copy, suffix)) copy.resize(copy.size() - strlen(suffix));
        // A running qvim holds the lock of its copy for as long as it uses it.
        UniqueFd file(openat(dirfd(listing), copy.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file && flock(file.get(), LOCK_EX | LOCK_NB) != 0) continue;
        stale.push_back(entryName);
    }
    for (const std::string& entryName : stale) unlinkat(dirfd(listing), entryName.c_str(), 0);
    closedir(listing);
}

BaselineCopy::~BaselineCopy() {
    if (m_copyName.empty()) return;
    for (const char* suffix : kSqliteSuffixes) unlinkat(m_folder.get(), (m_copyName + suffix).c_str(), 0);
    unlinkat(m_folder.get(), m_copyName.c_str(), 0);
}

bool BaselineCopy::create(int folder, const std::string& folderPath, const std::string& name, std::string& error) {
    m_folder.reset(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_folder) {
        error = "cannot open the database folder: " + errorText(errno);
        return false;
    }
    m_name = name;
    UniqueFd source(openat(m_folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!source || fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot read '" + name + "': " + (source ? "it is not a regular file" : errorText(errno));
        return false;
    }
    removeStaleCopies(m_folder.get(), name);
    int failure = 0;
    m_file = lockedNewFile(m_folder.get(), m_copyName, copyPrefix(name), failure);
    if (!m_file) {
        error = "cannot create a working copy beside '" + name + "': " + errorText(failure);
        return false;
    }
    m_path = joinPath(folderPath, m_copyName.c_str());
    m_sourcePath = joinPath(folderPath, name.c_str());
    const FolderLock reading(m_folder.get(), LOCK_SH);
    if (!reading.held()) {
        error = "the baseline is being replaced; run this again when that has finished";
        return false;
    }
    {
        // A read transaction on the baseline in which the file holds every
        // commit: the bytes copied are the database. A journal a crashed
        // writer left is rolled back first, and its log moved in, as any
        // reader does.
        SettledReader reader;
        if (!reader.begin(m_sourcePath, error)) return false;
        if (reader.fileIsWhole() && reflinkFile(source.get(), m_file.get())) {
            m_method = CopyMethod::Reflink;
            return true;
        }
        if (reader.fileIsWhole() && copyFileBytes(source.get(), m_file.get())) {
            m_method = CopyMethod::Bytes;
            return true;
        }
    }
    // A file system that copies neither way, or commits the file does not hold
    // yet: SQLite copies page by page.
    if (ftruncate(m_file.get(), 0) != 0 || !backupDatabase(m_sourcePath, m_path, error)) {
        if (error.empty()) error = errorText(errno);
        return false;
    }
    m_method = CopyMethod::Backup;
    return true;
}

bool BaselineCopy::replaceOriginal(std::string& error) {
    if (m_copyName.empty()) {
        error = "there is no working copy";
        return false;
    }
    // The engine closed the copy, which moved its log into it: a log with
    // frames left means commits the renamed file would not have.
    if (!removeEmptyLog(m_folder.get(), m_copyName, error)) {
        error = "the new baseline is incomplete: " + error;
        return false;
    }
    if (fsync(m_file.get()) != 0) {
        error = "cannot sync the new baseline: " + errorText(errno);
        return false;
    }
    // SQLite would apply a log it finds beside the new file, whichever file
    // wrote it.
    const FolderLock replacing(m_folder.get(), LOCK_EX);
    if (!replacing.held()) {
        error = "a copy of the baseline is being made; run this again";
        return false;
    }
    if (!settleForReplacement(m_folder.get(), m_name, m_sourcePath, error)) return false;
    if (renameat(m_folder.get(), m_copyName.c_str(), m_folder.get(), m_name.c_str()) != 0) {
        error = "cannot put the new baseline in place: " + errorText(errno);
        return false;
    }
    m_copyName.clear();
    if (fsync(m_folder.get()) != 0) {
        error = "the new baseline is in place, but its folder could not be synced: " + errorText(errno);
        return false;
    }
    return true;
}

}  // namespace qvimcli
