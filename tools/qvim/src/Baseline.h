// Reading the baseline back through the engine's export: pages of JSON lines.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <cjson/cJSON.h>

#include "FsEntity.h"
#include "qvim.h"

namespace qvimcli {

// Hands every exported row of a kind (ENTITY_ALL for every kind) to row, one
// JSON line at a time with its parsed form; row returns false to stop early. The pages pass through
// a scratch file in scratchFolder. False with a reason when the export fails.
bool forEachBaselineRow(entity_type kind, uint64_t since, const std::string& scratchFolder,
                        const std::function<bool(const std::string& line, const cJSON* row)>& row, std::string& error);

// The exact keys of one kind in the baseline.
class BaselineKeys {
public:
    // each (optional) sees every exported row, with its key.
    bool load(entity_type kind, const std::string& scratchFolder, std::string& error,
              const std::function<void(const std::string& key, const cJSON* row)>& each = nullptr);
    bool contains(const std::string& path) const { return m_keys.count(path) != 0; }

private:
    std::unordered_set<std::string> m_keys;
};

// Files of the baseline whose path is gone, by device and inode, so that a
// change scan can report a file found under a new path as a rename. A reused
// inode is not a rename: the birth time and the inode generation must match too.
class RenameIndex {
public:
    bool build(const std::string& scratchFolder, std::string& error);
    // The vanished key of this file (same device, inode, birth time and
    // generation), taken out of the index; empty when there is none or the
    // entity's path itself is in the baseline.
    std::string take(const FsEntity& entity);
    size_t vanished() const { return m_vanished.size(); }

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
bool baselinePackagesFromDpkg(const std::string& scratchFolder, bool& fromDpkg, std::string& error);

}  // namespace qvimcli
