// The host's own walk of the file system: which folders it enters and which
// entries it hands on, pruned by the rules' bases and the engine's folder test.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
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

// An open folder. The walk reaches every folder from "/" one name at a time,
// relative to the open parent and never through a symbolic link, so a folder
// swapped for a link while the walk runs cannot lead it elsewhere. Entries
// handed on keep their folder open: they are examined and opened relative to
// it, never through their path again.
class Folder {
public:
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    // Opens an absolute path from "/" without following a link anywhere on
    // the way; null with the error number on failure (ELOOP or ENOTDIR where
    // a link or a file stands in the way). With listing, the folder can be read.
    static std::shared_ptr<const Folder> open(const std::string& path, bool listing, int& error);
    // Opens the folder name in parent for listing, not through a link.
    static std::shared_ptr<const Folder> openChild(const Folder& parent, const char* name, std::string path,
                                                   int& error);

    int fd() const { return m_fd; }
    const std::string& path() const { return m_path; }

private:
    Folder(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
    const int m_fd;
    const std::string m_path;
};

// One entry as the walk found it.
struct WalkEntry {
    std::shared_ptr<const Folder> folder;  // the open folder it lies in
    std::string name;                      // its name there
    std::string path;                      // its full path, the key it is recorded under
    struct stat st = {};                   // its status relative to folder, links not followed
    uint64_t birth = 0;                    // birth time in ms, 0 when the file system keeps none
};

// One statx of name relative to dirfd (flags as for fstatat, AT_EMPTY_PATH for
// dirfd itself) giving both the status and the birth time, which fstatat
// cannot: one call per entry where a walk would otherwise make two. 0, or the
// error number.
int examine(int dirfd, const char* name, int flags, struct stat& st, uint64_t& birth);

// The entry at an absolute path, its folder opened as Folder::open does.
// False with the error number when the folder or the entry cannot be reached.
bool lookUp(const std::string& path, WalkEntry& entry, int& error);

struct WalkHandlers {
    // The engine's verdict on a folder (should_scan_folder); null enters all.
    std::function<bool(const std::string& folder)> enterFolder;
    // An entry the walk hands on.
    std::function<void(const WalkEntry& entry)> entry;
    // A folder that could not be opened or whose entries cannot be examined.
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
    void walkFolder(const std::shared_ptr<const Folder>& folder);
    void unreadable(const std::string& folder, int error) const;

    const Scope& m_scope;
    const bool m_allEntries;
    WalkHandlers m_handlers;
};

}  // namespace qvimcli
