// Real-time notifications, turned into the changes the engine is told about:
// updates (creations, writes, attribute changes), deletions, renames and queue
// overflows. As root, one fanotify mark per file system reports every change
// with the process that made it and renames as one event; otherwise inotify
// watches every folder and pairs moves by cookie. No engine calls happen here.
#pragma once

#include <sys/inotify.h>

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Walk.h"

namespace qvimcli {

class ExitTrail;

struct FsChange {
    enum Type { Update, Delete, Rename, Overflow };
    FsChange() = default;
    FsChange(Type type_, std::string path_, std::string newPath_, bool folder_, bool movedOut_)
        : type(type_), path(std::move(path_)), newPath(std::move(newPath_)), folder(folder_), movedOut(movedOut_) {}

    Type type = Update;
    std::string path;     // Rename: the old path; Overflow: the root to check again
    std::string newPath;  // Rename only
    bool folder = false;  // the entry is a directory
    // Delete of a folder whose contents were not all reported (moved out of the
    // watched tree, or removed before their folders could be named).
    bool movedOut = false;
    // The process that made the latest change (fanotify only; empty when unknown).
    std::string user, process, groups;
};

class Watcher {
public:
    // Timing of the coalescing of events per path.
    struct Timing {
        int quietMs = 150;     // an entry is reported once it has been quiet this long
        int longestMs = 1000;  // or at the latest this long after its first event
        int moveMs = 100;      // a move without its other half is taken as in or out after this
    };

    Watcher(const Scope& scope, std::function<bool(const std::string& folder)> enterFolder, Timing timing);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Opens fanotify for the roots added after it. False with the reason
    // when it cannot be had (not root, an older kernel): inotify serves then.
    bool useFanotify(std::string& why);
    // Processes reaped before their events are read are named too (fanotify
    // only; the exit recorder could be loaded).
    bool namesEndedProcesses() const;

    // Watches the tree below root: by the marks of its file systems when
    // fanotify is in use and they can be had, else with an inotify instance
    // of its own, so that an overflow names the tree to check again. False
    // with a reason when the root cannot be watched; note says how it is.
    bool addRoot(const std::string& root, std::string& problem, std::string* note = nullptr);
    size_t watchedFolders() const;     // inotify watches
    size_t markedFileSystems() const;  // fanotify marks

    // Waits up to timeoutMs for events; a readable wakeFd ends the wait and sets
    // woken. Returns the changes that are due, oldest first.
    std::vector<FsChange> poll(int timeoutMs, int wakeFd, bool& woken);

    // Problems met since the last call (watch limit reached, unreadable folders).
    std::vector<std::string> takeProblems();

private:
    struct Instance {
        int fd = -1;
        std::string root;
        std::unordered_map<int, std::string> folders;  // watch descriptor to folder path
    };
    struct Pending {
        FsChange change;
        double first = 0;
        double last = 0;
        bool created = false;  // born since the last report: a rename of it is a creation
    };
    struct Move {
        std::string path;
        bool folder = false;
        double at = 0;
        bool created = false;
    };

    // One fanotify event; its info records (file handles, names, pidfd) follow it.
    struct FanEvent;

    bool markRoot(const std::string& root, std::string& problem);
    void readFanotify();
    void handleFanotify(const FanEvent& event, double now);
    // The folder a reported directory handle stands for now; false when it is
    // gone or cannot be opened.
    bool folderOf(const void* fsid, const void* handle, std::string& path);
    // Events inside folders the rules leave out are dropped.
    bool folderWanted(const std::string& folder);
    void queueTree(const std::string& folder, const FsChange& like, double now);
    void dropPendingUnder(const std::string& root);
    void watchTree(Instance& instance, const std::string& folder, bool reportContents);
    void watchFolder(Instance& instance, const std::string& folder);
    void forgetTree(Instance& instance, const std::string& folder);
    void renameTree(const std::string& from, const std::string& to);
    void handle(Instance& instance, const struct inotify_event& event, double now);
    void queue(FsChange change, double now, bool created);
    // A new entry; a new folder is watched and what it already holds is new too.
    void queueCreated(Instance& instance, const std::string& path, bool isFolder, double now);
    // Takes the pending entry of a path out; true when it was born since the last report.
    bool dropPending(const std::string& path);
    void emit(FsChange change);
    void collectDue(double now);
    // Handles everything queued on the instance (its descriptor does not block).
    void readInotify(Instance& instance);
    int nextTimeout(double now) const;

    const Scope& m_scope;
    std::function<bool(const std::string&)> m_enterFolder;
    const Timing m_timing;
    std::vector<std::unique_ptr<Instance>> m_instances;
    std::list<Pending> m_pending;  // in order of first event
    std::unordered_map<std::string, std::list<Pending>::iterator> m_pendingByPath;
    std::map<uint32_t, Move> m_moves;  // move halves waiting for their partner, by cookie
    std::vector<FsChange> m_ready;
    std::vector<std::string> m_problems;
    bool m_limitReported = false;

    int m_fanotify = -1;
    std::unique_ptr<ExitTrail> m_exits;
    std::vector<std::string> m_fanRoots;
    struct MountFd;
    std::vector<std::unique_ptr<MountFd>> m_mounts;  // one open folder per marked file system, by fsid
    std::unordered_map<std::string, std::string> m_folderPaths;  // directory handle to path
    std::unordered_map<std::string, bool> m_folderWanted;
};

}  // namespace qvimcli
