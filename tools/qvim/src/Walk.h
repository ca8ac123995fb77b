// The host's own walk of the file system: which folders it enters and which
// entries it hands on, pruned by the rules' bases and the engine's folder test.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qvimcli {

// The part of the file system a set of normalised bases reaches.
class Scope {
public:
    Scope() = default;
    explicit Scope(std::vector<std::string> bases);

    bool empty() const { return m_bases.empty(); }
    const std::vector<std::string>& bases() const { return m_bases; }
    // The path lies under one of the bases.
    bool covers(const std::string& path) const;
    // A walk has to enter the folder: it leads to a base or lies under one.
    bool mayEnter(const std::string& folder) const;
    // The fewest folders whose walks reach every base.
    std::vector<std::string> roots() const;

private:
    std::vector<std::string> m_bases;
};

// Kernel file systems that hold no files worth watching; never entered.
bool isPseudoFileSystemPath(const std::string& folder);

struct WalkHandlers {
    // The engine's verdict on a folder (should_scan_folder); null enters all.
    std::function<bool(const std::string& folder)> enterFolder;
    // An entry the walk hands on; isFolder is true for directories.
    std::function<void(const std::string& path, bool isFolder)> entry;
    // A folder that could not be opened.
    std::function<void(const std::string& folder, int error)> unreadable;
    // Polled between entries; true ends the walk early.
    std::function<bool()> stop;
};

class Walker {
public:
    // With allEntries false only regular files are handed on; with true every
    // entry (folders before their contents).
    Walker(const Scope& scope, bool allEntries, WalkHandlers handlers);

    // Walks the tree below folder (the folder itself is not handed on).
    void walk(const std::string& folder);

private:
    bool shouldEnter(const std::string& folder) const;
    void walkFolder(const std::string& folder);

    const Scope& m_scope;
    const bool m_allEntries;
    WalkHandlers m_handlers;
};

}  // namespace qvimcli
