#include "SafeFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <vector>

#include "Text.h"

namespace qvimcli {
namespace {

// Links followed on one path before giving up, as the kernel does.
constexpr int kMaxLinks = 40;

bool trustedOwner(uid_t owner) { return owner == 0 || owner == geteuid(); }

bool othersMayWrite(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

std::string modeText(const struct stat& st) {
    char text[16];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return text;
}

// Why a file at a place we write is not one to write: null when it is regular.
const char* notARegularFile(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
    return S_ISREG(st.st_mode) ? nullptr : "it is not a regular file";
}

std::deque<std::string> components(const std::string& path) {
    std::deque<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start) parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

std::string shownPath(const std::vector<std::string>& names) {
    std::string path;
    for (const std::string& name : names) path += "/" + name;
    return path.empty() ? "/" : path;
}

}  // namespace

std::string randomSuffix() {
    unsigned char bytes[6];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
    }
    return hexText(bytes, sizeof bytes);
}

bool linkUnnamed(int file, int folder, const std::string& prefix, std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(file);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string candidate = prefix + randomSuffix();
        if (linkat(AT_FDCWD, self.c_str(), folder, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            name = candidate;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int UniqueFd::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

bool openTrustedFolder(const std::string& path, FolderSharing sharing, bool create, UniqueFd& folder,
                       std::string& error, std::string* resolved) {
    std::string absolutePath = path;
    if (absolutePath.empty() || absolutePath[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        if (cwd == nullptr) {
            error = "cannot tell the current folder: " + errorText(errno);
            return false;
        }
        absolutePath = joinPath(cwd, path.c_str());
        free(cwd);
    }
    // The folders walked so far, the root first, with their names for messages.
    std::vector<UniqueFd> open;
    std::vector<std::string> names;
    struct stat st;
    const auto accept = [&](UniqueFd fd) {
        if (fstat(fd.get(), &st) != 0) {
            error = "cannot examine '" + shownPath(names) + "': " + errorText(errno);
            return false;
        }
        if (!trustedOwner(st.st_uid)) {
            error = "'" + shownPath(names) + "' belongs to user " + std::to_string(st.st_uid) +
                    ", who could swap what lies below it";
            return false;
        }
        if (othersMayWrite(st) && (st.st_mode & S_ISVTX) == 0) {
            error = "others may write to '" + shownPath(names) + "' (mode " + modeText(st) + ")";
            return false;
        }
        open.push_back(std::move(fd));
        return true;
    };
    if (!accept(UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)))) return false;

    std::deque<std::string> left = components(absolutePath);
    int links = 0;
    while (!left.empty()) {
        const std::string name = std::move(left.front());
        left.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            if (open.size() > 1) {
                open.pop_back();
                names.pop_back();
            }
            continue;
        }
        const int parent = open.back().get();
        names.push_back(name);
        UniqueFd next(openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next && errno == ENOENT && create) {
            if (mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
                error = "cannot create '" + shownPath(names) + "': " + errorText(errno);
                return false;
            }
            next.reset(openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        if (!next) {
            const int openError = errno;
            if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
                error = "'" + shownPath(names) + "': " + errorText(openError);
                return false;
            }
            // A link is as trustworthy as its owner: its folder was checked already.
            if (!trustedOwner(st.st_uid)) {
                error = "the link '" + shownPath(names) + "' belongs to user " + std::to_string(st.st_uid);
                return false;
            }
            if (++links > kMaxLinks) {
                error = "'" + shownPath(names) + "': " + errorText(ELOOP);
                return false;
            }
            // Some file systems report no size for their links: take the longest path.
            std::string target(PATH_MAX, '\0');
            const ssize_t length = readlinkat(parent, name.c_str(), target.data(), target.size());
            if (length < 0 || static_cast<size_t>(length) >= target.size()) {
                error = "cannot read the link '" + shownPath(names) + "'";
                return false;
            }
            target.resize(static_cast<size_t>(length));
            names.pop_back();
            if (!target.empty() && target[0] == '/') {
                open.resize(1);
                names.clear();
            }
            std::deque<std::string> expanded = components(target);
            left.insert(left.begin(), expanded.begin(), expanded.end());
            continue;
        }
        if (!accept(std::move(next))) return false;
    }
    if (fstat(open.back().get(), &st) != 0) {
        error = "cannot examine '" + shownPath(names) + "': " + errorText(errno);
        return false;
    }
    if (sharing == FolderSharing::OwnOnly && othersMayWrite(st)) {
        error = "others may write to '" + shownPath(names) + "' (mode " + modeText(st) + ")";
        return false;
    }
    folder = std::move(open.back());
    if (resolved != nullptr) *resolved = shownPath(names);
    return true;
}

bool openOwnFileForAppend(int folder, const std::string& name, UniqueFd& file, std::string& error) {
    // A FIFO would block the open and a device would do who knows what: look
    // before opening, and open without waiting.
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    struct stat st;
    // Each round looks, then opens what it saw; a name that changes in between
    // is looked at again.
    for (int attempt = 0; attempt < 3 && !file; ++attempt) {
        if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                error = errorText(errno);
                return false;
            }
            file.reset(openat(folder, name.c_str(), flags | O_CREAT | O_EXCL, 0600));
            if (file || errno == EEXIST) continue;
            error = errorText(errno);
            return false;
        }
        if (const char* wrong = notARegularFile(st)) {
            error = wrong;
            return false;
        }
        file.reset(openat(folder, name.c_str(), flags));
        if (file || errno == ENOENT) continue;
        error = errno == ELOOP ? "it is a symbolic link" : errorText(errno);
        return false;
    }
    if (!file) {
        error = "it keeps changing";
        return false;
    }
    if (fstat(file.get(), &st) != 0) {
        error = errorText(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = "it is not a regular file";
    } else if (st.st_uid != geteuid()) {
        error = "it belongs to user " + std::to_string(st.st_uid);
    } else if (st.st_nlink != 1) {
        // A hard link made by someone else to a file of ours elsewhere.
        error = "it has " + std::to_string(st.st_nlink) + " hard links";
    } else {
        fcntl(file.get(), F_SETFL, O_APPEND);
        return true;
    }
    file.reset();
    return false;
}

namespace {

const char kScratchPrefix[] = ".qvim-scratch-";

// Removes what the folder holds, one level deep: files are all we put there.
void emptyFolder(int folder) {
    DIR* listing = fdopendir(dup(folder));
    if (listing == nullptr) return;
    while (const struct dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") unlinkat(folder, name.c_str(), 0);
    }
    closedir(listing);
}

// Whether name in parent is still the folder open as folder.
bool stillNamed(int parent, const std::string& name, int folder) {
    struct stat named, opened;
    return fstatat(parent, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(folder, &opened) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

// Entries read when looking for what a killed run left: a folder of ours
// holds a few, and the look never costs more whatever it holds.
constexpr size_t kMaxSweptEntries = 4096;

// Removes the private folders a killed run left in parent: ours (this user's,
// 0700) and unlocked. One in use is locked; one of another user is not ours
// to remove, whatever its name. A folder others may write to is left alone:
// they could fill it faster than it is read.
void removeStaleFolders(int parent) {
    struct stat parentStatus;
    if (fstat(parent, &parentStatus) != 0 || othersMayWrite(parentStatus)) return;
    std::vector<std::string> names;
    UniqueFd listed(openat(parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));  // parent may be a path descriptor
    if (DIR* listing = listed ? fdopendir(listed.release()) : nullptr) {
        size_t read = 0;
        for (const struct dirent* entry; read < kMaxSweptEntries && (entry = readdir(listing)) != nullptr; ++read)
            if (startsWith(entry->d_name, kScratchPrefix)) names.push_back(entry->d_name);
        closedir(listing);
    }
    for (const std::string& name : names) {
        UniqueFd folder(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!folder || fstat(folder.get(), &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) continue;
        if (flock(folder.get(), LOCK_EX | LOCK_NB) != 0 || !stillNamed(parent, name, folder.get())) continue;
        emptyFolder(folder.get());
        unlinkat(parent, name.c_str(), AT_REMOVEDIR);
    }
}

}  // namespace

PrivateFolder::~PrivateFolder() {
    if (!m_folder) return;
    emptyFolder(m_folder.get());
    unlinkat(m_parent.get(), m_name.c_str(), AT_REMOVEDIR);
}

bool PrivateFolder::create(const std::string& parent, std::string& error) {
    // The parent is ours or sticky: nobody else can rename what we make in it.
    if (!openTrustedFolder(parent, FolderSharing::StickyAllowed, false, m_parent, error)) return false;
    removeStaleFolders(m_parent.get());
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = kScratchPrefix + randomSuffix();
        if (mkdirat(m_parent.get(), name.c_str(), 0700) != 0) {
            if (errno == EEXIST) continue;
            break;
        }
        UniqueFd folder(openat(m_parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder) break;
        // Another run sweeping stale folders may have taken it between the
        // make and the lock: then it is theirs to remove, and we make another.
        if (flock(folder.get(), LOCK_EX | LOCK_NB) != 0 || !stillNamed(m_parent.get(), name, folder.get())) continue;
        m_folder = std::move(folder);
        m_name = name;
        m_path = joinPath(parent, name.c_str());
        return true;
    }
    error = "cannot create a private folder in '" + parent + "': " + errorText(errno);
    return false;
}

const char kOutPrefix[] = ".qvim-out-";

ReplacingFile::~ReplacingFile() {
    if (m_stream != nullptr) fclose(m_stream);
    if (!m_temporary.empty()) unlinkat(m_folder.get(), m_temporary.c_str(), 0);
}

bool ReplacingFile::open(const std::string& path, std::string& error) {
    const size_t slash = path.find_last_of('/');
    m_name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (m_name.empty() || m_name == "." || m_name == "..") {
        error = "it names a folder";
        return false;
    }
    // The folder is taken once, through folders and links nobody else could
    // swap; the name is then looked up and replaced in it alone.
    if (!openTrustedFolder(parentFolder(path), FolderSharing::StickyAllowed, false, m_folder, error)) return false;
    struct stat st;
    if (fstatat(m_folder.get(), m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (const char* wrong = notARegularFile(st)) {
            error = wrong;
            return false;
        }
    }
    UniqueFd file(openat(m_folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    for (int attempt = 0; !file && attempt < 16; ++attempt) {
        const std::string temporary = kOutPrefix + randomSuffix();
        file.reset(openat(m_folder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0600));
        if (file) m_temporary = temporary;
        else if (errno != EEXIST) break;
    }
    if (file) m_stream = fdopen(file.get(), "w");
    if (m_stream != nullptr) {
        file.release();
        return true;
    }
    error = errorText(errno);
    return false;
}

bool ReplacingFile::commit(std::string& error) {
    FILE* stream = m_stream;
    m_stream = nullptr;
    bool written = stream != nullptr && fflush(stream) == 0 && ferror(stream) == 0 && fsync(fileno(stream)) == 0;
    // An unnamed file gets its temporary name only now, just before the rename.
    if (written && m_temporary.empty()) written = linkUnnamed(fileno(stream), m_folder.get(), kOutPrefix, m_temporary);
    int failure = errno;
    if (stream != nullptr && fclose(stream) != 0 && written) {
        written = false;
        failure = errno;
    }
    if (written && renameat(m_folder.get(), m_temporary.c_str(), m_folder.get(), m_name.c_str()) == 0) {
        m_temporary.clear();
        return true;
    }
    error = errorText(written ? errno : failure);
    return false;
}

}  // namespace qvimcli
