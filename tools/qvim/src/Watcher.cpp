#include "Watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Actor.h"
#include "ExitTrail.h"
#include "SafeFiles.h"
#include "Text.h"

namespace qvimcli {
namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE | IN_DELETE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

bool inTree(const std::string& path, const std::string& folder) {
    return path == folder || startsWith(path, folder == "/" ? folder : folder + "/");
}

// Reads of what qvim itself opens for hashing (close without writing) are not
// asked for; the changes it makes are dropped by pid.
constexpr uint64_t kFanMask = FAN_CREATE | FAN_DELETE | FAN_CLOSE_WRITE | FAN_MODIFY | FAN_ATTRIB | FAN_RENAME |
                              FAN_ONDIR;

// Bounds of the bookkeeping; past them it is started afresh.
constexpr size_t kFolderCacheLimit = 16384;
// Reads of the queue per poll, so that due changes go out under a flood too.
constexpr int kReadsPerPoll = 64;

// Mount points from /proc/self/mountinfo, with the kernel's octal escapes undone.
std::vector<std::string> mountPoints() {
    std::vector<std::string> points;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (!(fields >> id >> parent >> device >> root >> point)) continue;
        std::string plain;
        for (size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size() &&
                point.find_first_not_of("01234567", i + 1) >= i + 4) {
                plain += static_cast<char>(std::strtol(point.substr(i + 1, 3).c_str(), nullptr, 8));
                i += 3;
            } else {
                plain += point[i];
            }
        }
        points.push_back(plain);
    }
    return points;
}

std::string fsidKey(const void* fsid) { return std::string(static_cast<const char*>(fsid), sizeof(__kernel_fsid_t)); }

}  // namespace

struct Watcher::MountFd {
    std::string fsid;
    UniqueFd folder;
};

struct Watcher::FanEvent {
    uint64_t mask = 0;
    pid_t pid = 0;
    int pidfd = -1;
    // Directory handle and name: of the entry, or for a rename of its old place.
    const struct fanotify_event_info_fid* from = nullptr;
    const struct fanotify_event_info_fid* to = nullptr;  // rename: the new place
    // Fills in the acting process; only called for events that are kept.
    std::function<void(FsChange&)> attribute;
};

Watcher::Watcher(const Scope& scope, std::function<bool(const std::string&)> enterFolder, Timing timing)
    : m_scope(scope), m_enterFolder(std::move(enterFolder)), m_timing(timing) {}

bool Watcher::namesEndedProcesses() const { return m_exits != nullptr; }

Watcher::~Watcher() {
    for (const auto& instance : m_instances)
        if (instance->fd >= 0) ::close(instance->fd);
    if (m_fanotify >= 0) ::close(m_fanotify);
}

bool Watcher::useFanotify(std::string& why) {
    const unsigned flags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME | FAN_REPORT_PIDFD;
    UniqueFd fd(fanotify_init(flags, O_RDONLY | O_LARGEFILE | O_CLOEXEC));
    if (!fd) {
        why = errno == EPERM    ? "fanotify needs root (CAP_SYS_ADMIN)"
              : errno == EINVAL ? "the kernel cannot report names and processes with fanotify"
                                : "fanotify is not available: " + errorText(errno);
        return false;
    }
    // Renames as one event came later than names; a mark on one folder tells.
    if (fanotify_mark(fd.get(), FAN_MARK_ADD | FAN_MARK_ONLYDIR, FAN_RENAME | FAN_ONDIR, AT_FDCWD, "/") != 0) {
        why = "the kernel cannot report renames as one fanotify event";
        return false;
    }
    fanotify_mark(fd.get(), FAN_MARK_REMOVE, FAN_RENAME | FAN_ONDIR, AT_FDCWD, "/");
    m_fanotify = fd.release();
    why = "fanotify: the kernel names the process behind each change";
    std::string noTrail;
    m_exits = ExitTrail::start(noTrail);
    why += m_exits ? ", and an exit recorder those that end at once"
                   : "; processes that end at once may go unnamed: " + noTrail;
    return true;
}

size_t Watcher::markedFileSystems() const { return m_mounts.size(); }

bool Watcher::markRoot(const std::string& root, std::string& problem) {
    // The root's own file system and every one mounted below it.
    std::vector<std::string> points{root};
    for (const std::string& point : mountPoints())
        if (point != root && inTree(point, root) && !isPseudoFileSystemPath(point) &&
            (!m_enterFolder || m_enterFolder(point)))
            points.push_back(point);
    for (const std::string& point : points) {
        UniqueFd folder(::open(point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct statfs fs;
        if (!folder || fstatfs(folder.get(), &fs) != 0) {
            // A mount point hidden below another mount, or gone: nothing to see there.
            if (point == root) {
                problem = "cannot open '" + root + "': " + errorText(errno);
                return false;
            }
            continue;
        }
        const std::string fsid = fsidKey(&fs.f_fsid);
        if (std::any_of(m_mounts.begin(), m_mounts.end(), [&](const auto& mount) { return mount->fsid == fsid; }))
            continue;
        if (fanotify_mark(m_fanotify, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kFanMask, folder.get(), nullptr) != 0) {
            // Overlay and some other file systems cannot hand out file handles.
            problem = "the file system at '" + point + "' cannot be marked for fanotify (" + errorText(errno) + ")";
            return false;
        }
        m_mounts.push_back(std::make_unique<MountFd>(MountFd{fsid, std::move(folder)}));
    }
    m_fanRoots.push_back(root);
    return true;
}

bool Watcher::addRoot(const std::string& root, std::string& problem, std::string* note) {
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        problem = "'" + root + "' is not a folder (" + errorText(errno == 0 ? ENOTDIR : errno) +
                  "); it is not watched until qvim watch is restarted after it exists";
        return false;
    }
    if (m_fanotify >= 0) {
        std::string refused;
        if (markRoot(root, refused)) return true;
        if (note) *note = refused + "; '" + root + "' is watched with inotify";
    }
    auto instance = std::make_unique<Instance>();
    instance->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (instance->fd < 0) {
        problem = "cannot watch '" + root + "': " + errorText(errno) +
                  "; raise fs.inotify.max_user_instances (sysctl) or watch fewer trees";
        return false;
    }
    instance->root = root;
    m_instances.push_back(std::move(instance));
    watchTree(*m_instances.back(), root, false);
    if (m_instances.back()->folders.empty()) {
        problem = "cannot watch '" + root + "'";
        return false;
    }
    return true;
}

size_t Watcher::watchedFolders() const {
    size_t count = 0;
    for (const auto& instance : m_instances) count += instance->folders.size();
    return count;
}

std::vector<std::string> Watcher::takeProblems() {
    std::vector<std::string> problems;
    problems.swap(m_problems);
    return problems;
}

void Watcher::watchFolder(Instance& instance, const std::string& folder) {
    const int wd = inotify_add_watch(instance.fd, folder.c_str(), kWatchMask);
    if (wd >= 0) {
        instance.folders[wd] = folder;
        return;
    }
    if (errno == ENOSPC) {
        if (!m_limitReported)
            m_problems.push_back("the inotify watch limit is reached at '" + folder +
                                 "'; folders beyond it are not watched (raise fs.inotify.max_user_watches)");
        m_limitReported = true;
    } else if (errno != ENOENT && errno != ENOTDIR) {
        m_problems.push_back("cannot watch '" + folder + "': " + errorText(errno));
    }
}

void Watcher::watchTree(Instance& instance, const std::string& folder, bool reportContents) {
    if (isPseudoFileSystemPath(folder) || (m_enterFolder && !m_enterFolder(folder))) return;
    watchFolder(instance, folder);
    const double now = monotonicSeconds();
    WalkHandlers handlers;
    handlers.enterFolder = m_enterFolder;
    handlers.entry = [&](const WalkEntry& entry) {
        const std::string& path = entry.path;
        const bool isFolder = S_ISDIR(entry.st.st_mode);
        if (isFolder) watchFolder(instance, path);
        // Entries made before the watch existed are reported as new.
        if (reportContents) queue(FsChange{FsChange::Update, path, std::string(), isFolder, false}, now, true);
    };
    handlers.unreadable = [this](const std::string& path, int error) {
        m_problems.push_back("cannot open the folder '" + path + "': " + errorText(error) + "; it is not watched");
    };
    Walker walker(m_scope, true, handlers);
    walker.walk(folder);
}

void Watcher::forgetTree(Instance& instance, const std::string& folder) {
    for (auto it = instance.folders.begin(); it != instance.folders.end();) {
        if (inTree(it->second, folder)) {
            inotify_rm_watch(instance.fd, it->first);
            it = instance.folders.erase(it);
        } else {
            ++it;
        }
    }
}

void Watcher::renameTree(const std::string& from, const std::string& to) {
    for (const auto& instance : m_instances)
        for (auto& [wd, path] : instance->folders)
            if (inTree(path, from)) path = to + path.substr(from.size());
}

void Watcher::queue(FsChange change, double now, bool created) {
    auto found = m_pendingByPath.find(change.path);
    if (found != m_pendingByPath.end()) {
        Pending& pending = *found->second;
        pending.change = std::move(change);
        pending.last = now;
        pending.created = pending.created || created;
        return;
    }
    const std::string path = change.path;
    m_pending.push_back(Pending{std::move(change), now, now, created});
    m_pendingByPath[path] = std::prev(m_pending.end());
}

bool Watcher::dropPending(const std::string& path) {
    auto found = m_pendingByPath.find(path);
    if (found == m_pendingByPath.end()) return false;
    const bool created = found->second->created;
    m_pending.erase(found->second);
    m_pendingByPath.erase(found);
    return created;
}

void Watcher::queueCreated(Instance& instance, const std::string& path, bool isFolder, double now) {
    queue(FsChange{FsChange::Update, path, std::string(), isFolder, false}, now, true);
    if (isFolder) watchTree(instance, path, true);
}

void Watcher::emit(FsChange change) { m_ready.push_back(std::move(change)); }

// Whatever was pending for the tree is covered by checking it again.
void Watcher::dropPendingUnder(const std::string& root) {
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (inTree(it->change.path, root)) {
            m_pendingByPath.erase(it->change.path);
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
}

void Watcher::handle(Instance& instance, const struct inotify_event& event, double now) {
    if (event.mask & IN_Q_OVERFLOW) {
        dropPendingUnder(instance.root);
        emit(FsChange{FsChange::Overflow, instance.root, std::string(), true, false});
        return;
    }
    if (event.mask & IN_IGNORED) {
        instance.folders.erase(event.wd);
        return;
    }
    auto watched = instance.folders.find(event.wd);
    if (watched == instance.folders.end()) return;
    const std::string folder = watched->second;

    if (event.len == 0 || event.name[0] == '\0') {
        // The watched folder itself; its attributes also show up in its parent.
        if ((event.mask & IN_DELETE_SELF) && folder == instance.root)
            m_problems.push_back("the watched folder '" + folder +
                                 "' was removed; restart qvim watch once it is back");
        return;
    }
    const std::string path = joinPath(folder, event.name);
    const bool isFolder = (event.mask & IN_ISDIR) != 0;
    if (!m_scope.covers(path)) return;

    if (event.mask & IN_MOVED_FROM) {
        m_moves[event.cookie] = Move{path, isFolder, now, dropPending(path)};
        return;
    }
    if (event.mask & IN_MOVED_TO) {
        auto from = m_moves.find(event.cookie);
        if (from == m_moves.end()) {
            // Moved in from outside the watched trees: new here.
            queueCreated(instance, path, isFolder, now);
            return;
        }
        const Move move = from->second;
        m_moves.erase(from);
        if (move.folder) renameTree(move.path, path);
        if (move.created) {
            // Never reported under its old name: it is simply new under this one.
            queueCreated(instance, path, isFolder, now);
        } else {
            emit(FsChange{FsChange::Rename, move.path, path, isFolder, false});
        }
        return;
    }
    if (event.mask & IN_CREATE) {
        queueCreated(instance, path, isFolder, now);
        return;
    }
    if (event.mask & IN_DELETE) {
        queue(FsChange{FsChange::Delete, path, std::string(), isFolder, false}, now, false);
        return;
    }
    if (event.mask & (IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB))
        queue(FsChange{FsChange::Update, path, std::string(), isFolder, false}, now, false);
}

void Watcher::collectDue(double now) {
    const double quiet = m_timing.quietMs / 1000.0;
    const double longest = m_timing.longestMs / 1000.0;
    for (auto it = m_moves.begin(); it != m_moves.end();) {
        if (now - it->second.at < m_timing.moveMs / 1000.0) {
            ++it;
            continue;
        }
        // The other half never came: moved out of the watched trees.
        const Move& move = it->second;
        if (move.folder)
            for (const auto& instance : m_instances) forgetTree(*instance, move.path);
        if (!move.created) emit(FsChange{FsChange::Delete, move.path, std::string(), move.folder, move.folder});
        it = m_moves.erase(it);
    }
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (now - it->last >= quiet || now - it->first >= longest) {
            m_pendingByPath.erase(it->change.path);
            emit(std::move(it->change));
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
}

int Watcher::nextTimeout(double now) const {
    double next = -1;
    auto consider = [&](double due) {
        const double wait = std::max(0.0, due - now);
        if (next < 0 || wait < next) next = wait;
    };
    for (const Pending& pending : m_pending)
        consider(std::min(pending.last + m_timing.quietMs / 1000.0, pending.first + m_timing.longestMs / 1000.0));
    for (const auto& [cookie, move] : m_moves) consider(move.at + m_timing.moveMs / 1000.0);
    return next < 0 ? -1 : static_cast<int>(next * 1000.0) + 1;
}

void Watcher::readInotify(Instance& instance) {
    alignas(struct inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(instance.fd, buffer, sizeof buffer);
        if (got <= 0) break;
        const double now = monotonicSeconds();
        for (ssize_t offset = 0; offset < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
            handle(instance, *event, now);
            offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
}

std::vector<FsChange> Watcher::poll(int timeoutMs, int wakeFd, bool& woken) {
    woken = false;
    std::vector<struct pollfd> fds;
    for (const auto& instance : m_instances) fds.push_back(pollfd{instance->fd, POLLIN, 0});
    if (m_fanotify >= 0) fds.push_back(pollfd{m_fanotify, POLLIN, 0});
    if (wakeFd >= 0) fds.push_back(pollfd{wakeFd, POLLIN, 0});

    int timeout = timeoutMs;
    const int due = nextTimeout(monotonicSeconds());
    if (due >= 0 && (timeout < 0 || due < timeout)) timeout = due;
    if (!m_ready.empty()) timeout = 0;

    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready > 0) {
        if (wakeFd >= 0 && (fds.back().revents & POLLIN)) woken = true;
        for (size_t i = 0; i < m_instances.size(); ++i)
            if (fds[i].revents & POLLIN) readInotify(*m_instances[i]);
        if (m_fanotify >= 0 && (fds[m_instances.size()].revents & POLLIN)) readFanotify();
    }
    const double now = monotonicSeconds();
    // The other half of a move may have been queued while this thread was
    // held up past the move's wait: read what is queued before taking a half
    // as a move in or out.
    const bool moveDue = std::any_of(m_moves.begin(), m_moves.end(), [&](const auto& entry) {
        return now - entry.second.at >= m_timing.moveMs / 1000.0;
    });
    if (moveDue)
        for (const auto& instance : m_instances) readInotify(*instance);
    collectDue(now);
    std::vector<FsChange> changes;
    changes.swap(m_ready);
    return changes;
}

// ---- fanotify ----------------------------------------------------------------

namespace {

const struct file_handle* handleOf(const struct fanotify_event_info_fid* info) {
    return reinterpret_cast<const struct file_handle*>(info->handle);
}

// The name follows the handle; "." stands for the directory itself.
const char* nameOf(const struct fanotify_event_info_fid* info) {
    const struct file_handle* handle = handleOf(info);
    return reinterpret_cast<const char*>(handle->f_handle) + handle->handle_bytes;
}

// The texts of the acting process, read once per process and batch of events:
// a pidfs inode is never reused, so it tells two pidfds of one process apart
// from a pid that was handed on. A process reaped before its event was read
// has no pidfd; the exit trail, where there is one, names it.
class ActorTexts {
public:
    explicit ActorTexts(const ExitTrail* exits) : m_exits(exits) {}

    void fill(pid_t pid, int pidfd, FsChange& change) {
        struct stat st;
        const Texts* texts = nullptr;
        if (pidfd >= 0 && fstat(pidfd, &st) == 0) {
            auto found = m_byInode.find(st.st_ino);
            if (found == m_byInode.end()) {
                Actor actor = Actor::read(pid, pidfd);
                // Reaped since the event was read: only the record of this very process will do.
                if (!actor.known && m_exits != nullptr) m_exits->find(pid, st.st_ino, actor);
                found = m_byInode.emplace(st.st_ino, textsOf(actor)).first;
            }
            texts = &found->second;
        } else if (m_exits != nullptr) {
            auto found = m_byPid.find(pid);
            if (found == m_byPid.end()) {
                Actor actor;
                m_exits->find(pid, 0, actor);
                found = m_byPid.emplace(pid, textsOf(actor)).first;
            }
            texts = &found->second;
        }
        if (texts == nullptr) return;
        change.user = texts->user;
        change.process = texts->process;
        change.groups = texts->groups;
    }

private:
    struct Texts {
        std::string user, process, groups;
    };
    static Texts textsOf(const Actor& actor) { return Texts{actor.userText(), actor.processText(), actor.groupsText()}; }

    const ExitTrail* m_exits;
    std::unordered_map<ino_t, Texts> m_byInode;
    std::unordered_map<pid_t, Texts> m_byPid;
};

}  // namespace

void Watcher::readFanotify() {
    alignas(8) char buffer[64 * 1024];
    const pid_t self = getpid();
    for (int reads = 0; reads < kReadsPerPoll; ++reads) {
        const ssize_t got = ::read(m_fanotify, buffer, sizeof buffer);
        if (got <= 0) break;
        const double now = monotonicSeconds();
        ActorTexts actors(m_exits.get());
        // Records are only 4-byte aligned: the metadata, which holds a 64-bit
        // mask, is copied out.
        struct fanotify_event_metadata metadata;
        const struct fanotify_event_metadata* meta = &metadata;
        for (size_t offset = 0; offset + sizeof metadata <= static_cast<size_t>(got); offset += meta->event_len) {
            std::memcpy(&metadata, buffer + offset, sizeof metadata);
            if (meta->event_len < sizeof metadata || offset + meta->event_len > static_cast<size_t>(got)) break;
            if (meta->fd >= 0) ::close(meta->fd);
            FanEvent event;
            event.mask = meta->mask;
            event.pid = meta->pid;
            const char* end = buffer + offset + meta->event_len;
            for (const char* at = buffer + offset + meta->metadata_len;
                 at + sizeof(struct fanotify_event_info_header) <= end;) {
                const auto* header = reinterpret_cast<const struct fanotify_event_info_header*>(at);
                if (header->len < sizeof *header || at + header->len > end) break;
                const auto* fid = reinterpret_cast<const struct fanotify_event_info_fid*>(at);
                switch (header->info_type) {
                    case FAN_EVENT_INFO_TYPE_DFID_NAME:
                    case FAN_EVENT_INFO_TYPE_OLD_DFID_NAME: event.from = fid; break;
                    case FAN_EVENT_INFO_TYPE_NEW_DFID_NAME: event.to = fid; break;
                    case FAN_EVENT_INFO_TYPE_PIDFD:
                        event.pidfd = reinterpret_cast<const struct fanotify_event_info_pidfd*>(at)->pidfd;
                        break;
                    default: break;
                }
                at += header->len;
            }
            UniqueFd pidfd(event.pidfd >= 0 ? event.pidfd : -1);
            if (meta->vers != FANOTIFY_METADATA_VERSION) {
                m_problems.push_back("the kernel's fanotify events are of an unknown version; they are ignored");
                continue;
            }
            // What qvim itself writes (its database, journal, log) is not a change to report.
            if (meta->pid == self && !(event.mask & FAN_Q_OVERFLOW)) continue;
            event.attribute = [&actors, &event](FsChange& change) { actors.fill(event.pid, event.pidfd, change); };
            handleFanotify(event, now);
        }
    }
}

bool Watcher::folderOf(const void* fsid, const void* handle, std::string& path) {
    const auto* fileHandle = static_cast<const struct file_handle*>(handle);
    const std::string key = fsidKey(fsid) + std::string(static_cast<const char*>(handle),
                                                        sizeof(struct file_handle) + fileHandle->handle_bytes);
    auto cached = m_folderPaths.find(key);
    if (cached != m_folderPaths.end()) {
        path = cached->second;
        return true;
    }
    auto mount = std::find_if(m_mounts.begin(), m_mounts.end(),
                              [&](const auto& candidate) { return candidate->fsid == fsidKey(fsid); });
    if (mount == m_mounts.end()) return false;
    // open_by_handle_at wants a handle it may write to.
    std::vector<char> copy(static_cast<const char*>(handle),
                           static_cast<const char*>(handle) + sizeof(struct file_handle) + fileHandle->handle_bytes);
    UniqueFd folder(open_by_handle_at((*mount)->folder.get(), reinterpret_cast<struct file_handle*>(copy.data()),
                                      O_PATH | O_CLOEXEC));
    struct stat st;
    // A removed folder has no path left to report under.
    if (!folder || fstat(folder.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_nlink == 0) return false;
    char target[PATH_MAX + 1];
    const std::string link = "/proc/self/fd/" + std::to_string(folder.get());
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0 || target[0] != '/') return false;
    path.assign(target, static_cast<size_t>(length));
    if (m_folderPaths.size() >= kFolderCacheLimit) m_folderPaths.clear();
    m_folderPaths.emplace(key, path);
    return true;
}

bool Watcher::folderWanted(const std::string& folder) {
    auto root = std::find_if(m_fanRoots.begin(), m_fanRoots.end(),
                             [&](const std::string& candidate) { return inTree(folder, candidate); });
    if (root == m_fanRoots.end()) return false;
    auto known = m_folderWanted.find(folder);
    if (known != m_folderWanted.end()) return known->second;
    // Wanted when the walk would enter it and every folder above it.
    bool wanted = !isPseudoFileSystemPath(folder) && (!m_enterFolder || m_enterFolder(folder));
    if (wanted && folder != *root) wanted = folderWanted(parentFolder(folder));
    if (m_folderWanted.size() >= kFolderCacheLimit) m_folderWanted.clear();
    m_folderWanted[folder] = wanted;
    return wanted;
}

void Watcher::queueTree(const std::string& folder, const FsChange& like, double now) {
    WalkHandlers handlers;
    handlers.enterFolder = m_enterFolder;
    handlers.entry = [&](const WalkEntry& entry) {
        FsChange change = like;
        change.path = entry.path;
        change.folder = S_ISDIR(entry.st.st_mode);
        queue(std::move(change), now, true);
    };
    handlers.unreadable = [this](const std::string& path, int error) {
        m_problems.push_back("cannot open the folder '" + path + "': " + errorText(error) +
                             "; what it holds is not reported");
    };
    Walker(m_scope, true, handlers).walk(folder);
}

void Watcher::handleFanotify(const FanEvent& event, double now) {
    if (event.mask & FAN_Q_OVERFLOW) {
        m_folderPaths.clear();
        for (const std::string& root : m_fanRoots) {
            dropPendingUnder(root);
            emit(FsChange{FsChange::Overflow, root, std::string(), true, false});
        }
        return;
    }
    const bool isFolder = (event.mask & FAN_ONDIR) != 0;
    // The full path of an info record, when its folder still exists and is
    // one the rules watch.
    const auto place = [this](const struct fanotify_event_info_fid* info, std::string& path, bool& wanted) {
        std::string folder;
        wanted = false;
        if (info == nullptr || !folderOf(&info->fsid, handleOf(info), folder)) return false;
        const std::string name = nameOf(info);
        if (name == ".") {
            path = folder;
            wanted = std::find(m_fanRoots.begin(), m_fanRoots.end(), folder) != m_fanRoots.end() ||
                     folderWanted(parentFolder(folder));
        } else {
            path = joinPath(folder, name.c_str());
            wanted = folderWanted(folder);
        }
        wanted = wanted && m_scope.covers(path);
        return true;
    };
    FsChange change;
    change.folder = isFolder;
    std::string path;
    bool wanted = false;
    const bool found = place(event.from, path, wanted);

    if (event.mask & FAN_RENAME) {
        // Folder paths below a renamed folder are learnt afresh.
        if (isFolder) {
            m_folderPaths.clear();
            m_folderWanted.clear();
        }
        std::string newPath;
        bool newWanted = false;
        const bool newFound = place(event.to, newPath, newWanted);
        if (!wanted && !newWanted) return;
        event.attribute(change);
        const bool created = wanted && dropPending(path);
        change.path = newPath;
        if (created || !found) {
            // Never reported under its old name (or that name is unknown): new under this one.
            if (!newWanted) return;
            queue(change, now, true);
            if (isFolder) queueTree(newPath, change, now);
            return;
        }
        if (!newFound) {
            // Moved to a folder that is gone already: away from here.
            change.type = FsChange::Delete;
            change.path = path;
            change.movedOut = isFolder;
            emit(std::move(change));
            return;
        }
        // Into, out of or within the watched trees: the engine's rename rules decide.
        change.type = FsChange::Rename;
        change.path = path;
        change.newPath = newPath;
        emit(std::move(change));
        return;
    }
    if (!found || !wanted) return;
    event.attribute(change);
    change.path = path;
    bool deleted = (event.mask & FAN_DELETE) != 0;
    if (deleted && (event.mask & FAN_CREATE)) {
        // Merged by the kernel, their order unknown: what stands there now tells.
        struct stat st;
        deleted = lstat(path.c_str(), &st) != 0;
    }
    if (deleted) {
        change.type = FsChange::Delete;
        if (isFolder) {
            // Removals inside it may have come from folders already gone, whose
            // names could not be learnt: the baseline below it is looked
            // through once, which also covers whatever is pending there.
            change.movedOut = true;
            dropPendingUnder(path);
        }
        queue(std::move(change), now, false);
        return;
    }
    if (event.mask & FAN_CREATE) {
        queue(std::move(change), now, true);
        return;
    }
    if (event.mask & (FAN_CLOSE_WRITE | FAN_MODIFY | FAN_ATTRIB)) queue(std::move(change), now, false);
}
}  // namespace qvimcli
