#include "Walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "Text.h"

namespace qvimcli {
namespace {

std::string withSlash(const std::string& folder) { return endsWith(folder, "/") ? folder : folder + "/"; }

constexpr int kFolderFlags = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The entries of an open folder, read through its own descriptor: a stream
// would take a second descriptor per level of depth.
class Entries {
public:
    explicit Entries(int fd) : m_fd(fd), m_buffer(32 * 1024) {}

    // The next entry; null at the end, or on a read error (error set).
    const struct dirent64* next(int& error) {
        if (m_offset >= m_length) {
            const ssize_t got = getdents64(m_fd, m_buffer.data(), m_buffer.size());
            if (got <= 0) {
                error = got < 0 ? errno : 0;
                return nullptr;
            }
            m_length = static_cast<size_t>(got);
            m_offset = 0;
        }
        const auto* item = reinterpret_cast<const struct dirent64*>(m_buffer.data() + m_offset);
        m_offset += item->d_reclen;
        return item;
    }

private:
    const int m_fd;
    std::vector<char> m_buffer;
    size_t m_length = 0;
    size_t m_offset = 0;
};

// Where a folder vanished or became something else: a change the next look
// reports, not an unreadable folder.
bool replaced(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

}  // namespace

Scope::Scope(std::vector<std::string> bases) : m_bases(std::move(bases)) {
    std::sort(m_bases.begin(), m_bases.end());
    m_bases.erase(std::unique(m_bases.begin(), m_bases.end()), m_bases.end());
}

bool Scope::covers(const std::string& path) const {
    for (const std::string& base : m_bases)
        if (startsWith(path, base)) return true;
    return false;
}

bool Scope::mayEnter(const std::string& folder) const {
    const std::string dir = withSlash(folder);
    for (const std::string& base : m_bases)
        if (startsWith(base, dir) || startsWith(dir, base)) return true;
    return false;
}

std::vector<std::string> Scope::roots() const {
    std::vector<std::string> candidates;
    for (const std::string& base : m_bases) {
        // A base that ends in a partial name ("/var/log/app") is reached from its folder.
        std::string root = endsWith(base, "/") ? base : parentFolder(base) + "/";
        candidates.push_back(root);
    }
    std::sort(candidates.begin(), candidates.end());
    std::vector<std::string> roots;
    for (const std::string& candidate : candidates) {
        if (!roots.empty() && startsWith(candidate, withSlash(roots.back()))) continue;
        roots.push_back(candidate.size() > 1 ? candidate.substr(0, candidate.size() - 1) : candidate);
    }
    return roots;
}

bool isPseudoFileSystemPath(const std::string& folder) {
    return folder == "/proc" || folder == "/sys" || startsWith(folder, "/proc/") || startsWith(folder, "/sys/");
}

int examine(int dirfd, const char* name, int flags, struct stat& st, uint64_t& birth) {
    struct statx x;
    if (statx(dirfd, name, flags, STATX_BASIC_STATS | STATX_BTIME, &x) != 0) return errno;
    st = {};
    st.st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    st.st_ino = x.stx_ino;
    st.st_mode = x.stx_mode;
    st.st_nlink = x.stx_nlink;
    st.st_uid = x.stx_uid;
    st.st_gid = x.stx_gid;
    st.st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
    st.st_size = static_cast<off_t>(x.stx_size);
    st.st_blksize = static_cast<blksize_t>(x.stx_blksize);
    st.st_blocks = static_cast<blkcnt_t>(x.stx_blocks);
    const auto time = [](const struct statx_timestamp& t) { return timespec{t.tv_sec, static_cast<long>(t.tv_nsec)}; };
    st.st_atim = time(x.stx_atime);
    st.st_mtim = time(x.stx_mtime);
    st.st_ctim = time(x.stx_ctime);
    birth = (x.stx_mask & STATX_BTIME) != 0
                ? static_cast<uint64_t>(x.stx_btime.tv_sec) * 1000u + x.stx_btime.tv_nsec / 1000000u
                : 0;
    return 0;
}

Folder::~Folder() { ::close(m_fd); }

std::shared_ptr<const Folder> Folder::open(const std::string& path, bool listing, int& error) {
    if (path.empty() || path[0] != '/') {
        error = EINVAL;
        return nullptr;
    }
    int fd = ::open("/", O_PATH | kFolderFlags);
    size_t at = 1;
    while (fd >= 0 && at < path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        if (end > at) {
            const int next = openat(fd, path.substr(at, end - at).c_str(), O_PATH | kFolderFlags);
            ::close(fd);
            fd = next;
        }
        at = end + 1;
    }
    if (fd >= 0 && listing) {
        const int readable = openat(fd, ".", O_RDONLY | kFolderFlags);
        ::close(fd);
        fd = readable;
    }
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return std::shared_ptr<const Folder>(new Folder(fd, path));
}

std::shared_ptr<const Folder> Folder::openChild(const Folder& parent, const char* name, std::string path,
                                                int& error) {
    const int fd = openat(parent.fd(), name, O_RDONLY | kFolderFlags);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return std::shared_ptr<const Folder>(new Folder(fd, std::move(path)));
}

bool lookUp(const std::string& path, WalkEntry& entry, int& error) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash + 1 == path.size()) {
        error = EINVAL;
        return false;
    }
    entry.folder = Folder::open(slash == 0 ? "/" : path.substr(0, slash), false, error);
    if (!entry.folder) return false;
    entry.name = path.substr(slash + 1);
    entry.path = path;
    error = examine(entry.folder->fd(), entry.name.c_str(), AT_SYMLINK_NOFOLLOW, entry.st, entry.birth);
    return error == 0;
}

Walker::Walker(const Scope& scope, bool allEntries, WalkHandlers handlers)
    : m_scope(scope), m_allEntries(allEntries), m_handlers(std::move(handlers)) {}

bool Walker::shouldEnter(const std::string& folder) const {
    if (isPseudoFileSystemPath(folder) || !m_scope.mayEnter(folder)) return false;
    return !m_handlers.enterFolder || m_handlers.enterFolder(folder);
}

void Walker::unreadable(const std::string& folder, int error) const {
    if (m_handlers.unreadable && !replaced(error)) m_handlers.unreadable(folder, error);
}

void Walker::walk(const std::string& folder) {
    if (!shouldEnter(folder)) return;
    int error = 0;
    std::shared_ptr<const Folder> open = Folder::open(folder, true, error);
    if (!open) return unreadable(folder, error);
    walkFolder(open);
}

void Walker::walkFolder(const std::shared_ptr<const Folder>& folder) {
    Entries entries(folder->fd());
    WalkEntry entry;
    entry.folder = folder;
    int error = 0;
    while (const struct dirent64* item = entries.next(error)) {
        if (m_handlers.stop && m_handlers.stop()) return;
        if (strcmp(item->d_name, ".") == 0 || strcmp(item->d_name, "..") == 0) continue;
        // A files-only walk passes over entries of other types without a look.
        if (!m_allEntries && item->d_type != DT_DIR && item->d_type != DT_REG && item->d_type != DT_UNKNOWN) continue;
        entry.name = item->d_name;
        entry.path = joinPath(folder->path(), item->d_name);
        if (const int failed = examine(folder->fd(), item->d_name, AT_SYMLINK_NOFOLLOW, entry.st, entry.birth)) {
            if (failed == ENOENT) continue;
            // Entries that cannot be examined are not seen at all.
            return unreadable(folder->path(), failed);
        }
        if (S_ISDIR(entry.st.st_mode)) {
            if (!shouldEnter(entry.path)) continue;
            if (m_allEntries && m_scope.covers(entry.path) && m_handlers.entry) m_handlers.entry(entry);
            int openError = 0;
            const std::shared_ptr<const Folder> child =
                Folder::openChild(*folder, item->d_name, entry.path, openError);
            if (!child) {
                unreadable(entry.path, openError);
                continue;
            }
            walkFolder(child);
        } else if ((m_allEntries || S_ISREG(entry.st.st_mode)) && m_scope.covers(entry.path) && m_handlers.entry) {
            m_handlers.entry(entry);
        }
    }
    // A listing cut short hides entries as surely as an unreadable folder.
    if (error != 0) unreadable(folder->path(), error);
}

}  // namespace qvimcli
