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

#include "qvim.h"

namespace qvimcli {

// Hands every exported row of a kind (ENTITY_ALL for every kind) to row, one
// JSON line at a time with its parsed form; row returns false to stop early. The pages pass through
// a scratch file in scratchFolder. False with a reason when the export fails.
bool forEachBaselineRow(entity_type kind, uint64_t since, const std::string& scratchFolder,
                        const std::function<bool(const std::string& line, const cJSON* row)>& row, std::string& error);

// Files of the baseline whose path is gone, by device and inode, so that a
// change scan can report a file found under a new path as a rename.
class RenameIndex {
public:
    bool build(const std::string& scratchFolder, std::string& error);
    // The vanished key of the file with this device and inode, taken out of the
    // index; empty when there is none or the path itself is in the baseline.
    std::string take(uint64_t device, uint64_t inode, const std::string& path);
    size_t vanished() const { return m_vanished.size(); }

private:
    struct PairHash {
        size_t operator()(const std::pair<uint64_t, uint64_t>& key) const {
            return std::hash<uint64_t>()(key.first * 0x9E3779B97F4A7C15ull ^ key.second);
        }
    };
    std::mutex m_mutex;
    std::unordered_map<std::pair<uint64_t, uint64_t>, std::string, PairHash> m_vanished;
    // Hashes of every file key, so a walked path can be told apart from a new one
    // without keeping the paths.
    std::unordered_set<uint64_t> m_keys;
};

// Packages in the baseline came from dpkg when they carry their source package
// (the engine's own package scan leaves "parent" empty).
bool baselinePackagesFromDpkg(const std::string& scratchFolder);

}  // namespace qvimcli
