// A throw-away working copy of the baseline database, made in the database's
// own folder (shared blocks where the file system offers them, else the
// bytes, read under SQLite's read lock): check scans on it so the baseline stays as it was, and update
// puts it in place of the baseline in one rename once its events are safe.
#pragma once

#include <string>

#include "SafeFiles.h"

struct sqlite3;

namespace qvimcli {

enum class CopyMethod { None, Reflink, Bytes, Backup };
const char* copyMethodName(CopyMethod method);

// Shares the blocks of from with to (both open); false with errno set when the
// file system cannot (EOPNOTSUPP, EXDEV, EINVAL).
bool reflinkFile(int from, int to);

// Copies every byte of from into to in the kernel (copy_file_range); false
// with errno set when it cannot.
bool copyFileBytes(int from, int to);

// Copies the database at from into the (empty) database at to through
// SQLite's online backup; a hot journal of from is rolled back first, as any
// reader of it would. False with a reason.
bool backupDatabase(const std::string& from, const std::string& to, std::string& error);

// The write-ahead log beside the database at path holds frames: commits the
// file may not hold yet. An empty or absent log holds none.
bool logHoldsFrames(const std::string& path);

// A read transaction on the database at path in which, where possible, the
// file itself holds the whole database. Commits may wait in SQLite's
// write-ahead log beside the file: begin first moves them into the file. A
// transaction that starts with the log empty reads the file alone, and no
// checkpoint writes the file until it ends; in rollback mode the read lock
// keeps every writer out. The transaction ends with the object.
class SettledReader {
public:
    SettledReader() = default;
    ~SettledReader();
    SettledReader(const SettledReader&) = delete;
    SettledReader& operator=(const SettledReader&) = delete;

    // False with a reason when the database cannot be opened or read.
    bool begin(const std::string& path, std::string& error);
    // The file's bytes are the database this transaction reads (false while
    // readers held the log up, or commits came in before the transaction).
    bool fileIsWhole() const { return m_whole; }

private:
    sqlite3* m_db = nullptr;
    bool m_whole = false;
};

// Moves whatever the write-ahead log of the database name in folder (at path)
// holds into the file and removes the log and its shared-memory index, so
// that no log of this file can be applied to another put in its place.
// Refused (false with a reason) while any other connection has it open.
bool settleForReplacement(int folder, const std::string& name, const std::string& path, std::string& error);

// Removes working copies of name (and their SQLite journals) that no running
// qvim holds: what a crash or a kill left behind. A copy in use is locked.
void removeStaleCopies(int folder, const std::string& name);

class BaselineCopy {
public:
    BaselineCopy() = default;
    // Removes the copy (and its journal) unless it replaced the baseline.
    ~BaselineCopy();
    BaselineCopy(const BaselineCopy&) = delete;
    BaselineCopy& operator=(const BaselineCopy&) = delete;

    // Copies the database name in folder (open, trusted; folderPath is its
    // path without links). False with a reason.
    bool create(int folder, const std::string& folderPath, const std::string& name, std::string& error);
    const std::string& path() const { return m_path; }
    CopyMethod method() const { return m_method; }

    // Syncs the copy, renames it over the baseline and syncs the folder, so
    // that after a crash the folder holds either the old or the new baseline.
    // Whoever wrote the copy must have closed it. False with a reason (the
    // baseline is then the old one).
    bool replaceOriginal(std::string& error);

private:
    UniqueFd m_folder;
    UniqueFd m_file;  // holds the lock that tells a copy in use from a stale one
    std::string m_name;
    std::string m_copyName;
    std::string m_path;
    std::string m_sourcePath;
    CopyMethod m_method = CopyMethod::None;
};

}  // namespace qvimcli
