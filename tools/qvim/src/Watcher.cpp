#include "Watcher.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "Text.h"

namespace qvimcli {
namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE | IN_DELETE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

bool inTree(const std::string& path, const std::string& folder) {
    return path == folder || startsWith(path, folder == "/" ? folder : folder + "/");
}

}  // namespace

Watcher::Watcher(const Scope& scope, std::function<bool(const std::string&)> enterFolder, Timing timing)
    : m_scope(scope), m_enterFolder(std::move(enterFolder)), m_timing(timing) {}

Watcher::~Watcher() {
    for (const auto& instance : m_instances)
        if (instance->fd >= 0) ::close(instance->fd);
}

bool Watcher::addRoot(const std::string& root, std::string& problem) {
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        problem = "'" + root + "' is not a folder (" + errorText(errno == 0 ? ENOTDIR : errno) +
                  "); it is not watched until qvim watch is restarted after it exists";
        return false;
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

void Watcher::handle(Instance& instance, const struct inotify_event& event, double now) {
    if (event.mask & IN_Q_OVERFLOW) {
        // Whatever was pending for the tree is covered by checking it again.
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (inTree(it->change.path, instance.root)) {
                m_pendingByPath.erase(it->change.path);
                it = m_pending.erase(it);
            } else {
                ++it;
            }
        }
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

std::vector<FsChange> Watcher::poll(int timeoutMs, int wakeFd, bool& woken) {
    woken = false;
    std::vector<struct pollfd> fds;
    for (const auto& instance : m_instances) fds.push_back(pollfd{instance->fd, POLLIN, 0});
    if (wakeFd >= 0) fds.push_back(pollfd{wakeFd, POLLIN, 0});

    int timeout = timeoutMs;
    const int due = nextTimeout(monotonicSeconds());
    if (due >= 0 && (timeout < 0 || due < timeout)) timeout = due;
    if (!m_ready.empty()) timeout = 0;

    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready > 0) {
        if (wakeFd >= 0 && (fds.back().revents & POLLIN)) woken = true;
        alignas(struct inotify_event) char buffer[64 * 1024];
        for (size_t i = 0; i < m_instances.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            Instance& instance = *m_instances[i];
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
    }
    collectDue(monotonicSeconds());
    std::vector<FsChange> changes;
    changes.swap(m_ready);
    return changes;
}

}  // namespace qvimcli
