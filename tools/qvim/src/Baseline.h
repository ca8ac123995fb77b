// Reading the baseline back through the engine's export: pages of JSON lines.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include <cjson/cJSON.h>

#include <cstdio>

#include "FsEntity.h"
#include "SafeFiles.h"
#include "Engine.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qvimcli {

// Hands every exported row of a kind (ENTITY_ALL for every kind) to row, one
// JSON line at a time with its parsed form; row returns false to stop early. The pages pass through
// a scratch file in scratchFolder. False with a reason when the export fails.
bool forEachBaselineRow(Engine& engine, entity_type kind, uint64_t since, const std::string& scratchFolder,
                        const std::function<bool(const std::string& line, const cJSON* row)>& row, std::string& error);

// A set of keys (paths) kept on disk, so that memory stays the same however
// large the tree. Keys are appended to a scratch file, which is cheap; the
// first look-up indexes them in a scratch SQLite database, so a set that is
// only written (the common case) never pays for an index. Safe to share
// between threads. A failure (disk full) makes failed() true for good.
class DiskKeySet {
public:
    DiskKeySet() = default;
    DiskKeySet(const DiskKeySet&) = delete;
    DiskKeySet& operator=(const DiskKeySet&) = delete;

    // Starts an empty set in a private folder made inside scratchFolder.
    bool open(const std::string& scratchFolder, std::string& error);
    void add(const std::string& key);
    // False when absent or when the set has failed.
    bool contains(const std::string& key);
    bool failed() const;
    uint64_t size() const { return m_count; }

private:
    struct Closer {
        void operator()(FILE* file) const;
        void operator()(sqlite3* db) const;
        void operator()(sqlite3_stmt* statement) const;
    };

    bool index();
    bool insert(const std::string& key);
    void fail();
    void close();

    mutable std::mutex m_mutex;
    PrivateFolder m_folder;
    std::unique_ptr<FILE, Closer> m_log;  // keys not yet indexed, each ended by a NUL (no path holds one)
    std::unique_ptr<sqlite3, Closer> m_db;
    // Declared after the database, so that they are finalized before it closes.
    std::unique_ptr<sqlite3_stmt, Closer> m_insert;
    std::unique_ptr<sqlite3_stmt, Closer> m_find;
    bool m_failed = false;
    uint64_t m_count = 0;
};

// The exact keys of one kind in the baseline.
class BaselineKeys {
public:
    // each (optional) sees every exported row, with its key.
    bool load(Engine& engine, entity_type kind, const std::string& scratchFolder, std::string& error,
              const std::function<void(const std::string& key, const cJSON* row)>& each = nullptr);
    // False when absent; a set that could not be kept on disk answers
    // false and says so through failed().
    bool contains(const std::string& path) { return m_keys.contains(path); }
    bool failed() const { return m_keys.failed(); }

private:
    DiskKeySet m_keys;
};

// Files of the baseline whose path is gone, by device and inode, so that a
// change scan can report a file found under a new path as a rename. A reused
// inode is not a rename: the birth time and the inode generation must match too.
class RenameIndex {
public:
    bool build(Engine& engine, const std::string& scratchFolder, std::string& error);
    // The vanished key of this file (same device, inode, birth time and
    // generation), taken out of the index; empty when there is none or the
    // entity's path itself is in the baseline.
    std::string take(const FsEntity& entity);
    size_t vanished() const { return m_vanished.size(); }
    // The baseline's keys could not be consulted: some renames may have been
    // reported as a removal and an addition.
    bool failed() const { return m_keys.failed(); }

private:
    struct Vanished {
        std::string key;
        uint64_t created = 0;
        uint64_t generation = 0;
    };
    struct PairHash {
        size_t operator()(const std::pair<uint64_t, uint64_t>& key) const {
            return std::hash<uint64_t>()(key.first * 0x9E3779B97F4A7C15ull ^ key.second);
        }
    };
    std::mutex m_mutex;
    std::unordered_map<std::pair<uint64_t, uint64_t>, Vanished, PairHash> m_vanished;
    BaselineKeys m_keys;
};

// Packages in the baseline came from dpkg when they carry their source package
// (the engine's own package scan leaves "parent" empty). False when the
// baseline cannot be read.
bool baselinePackagesFromDpkg(Engine& engine, const std::string& scratchFolder, bool& fromDpkg, std::string& error);

}  // namespace qvimcli
