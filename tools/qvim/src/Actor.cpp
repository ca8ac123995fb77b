#include "Actor.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "SafeFiles.h"

namespace qvimcli {
namespace {

// /proc/<pid>/status is a few kilobytes; a process in tens of thousands of
// groups stays well below this.
constexpr size_t kStatusLimit = 512u << 10;

int openPidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// The process of the pidfd has not been reaped: its pid cannot have been
// handed to another process yet.
bool stillHoldsPid(int pidfd) {
    return syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0 || errno == EPERM;
}

bool readStatus(pid_t pid, std::string& text) {
    const std::string folder = "/proc/" + std::to_string(pid);
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!dir) return false;
    UniqueFd status(::openat(dir.get(), "status", O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!status) return false;
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(status.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        if (text.size() + static_cast<size_t>(got) > kStatusLimit) return false;
        text.append(buffer, static_cast<size_t>(got));
    }
}

// The value of a "Key:\t..." line, without the tab; the kernel escapes
// newlines in names, so a line is a field.
bool field(const std::string& text, const std::string& key, std::string& value) {
    const std::string wanted = key + ":";
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (text.compare(at, wanted.size(), wanted) == 0) {
            const size_t from = std::min(at + wanted.size() + 1, end);  // the tab
            value = text.substr(from, end - from);
            return true;
        }
        at = end + 1;
    }
    return false;
}

bool numbers(const std::string& text, std::vector<unsigned long>& out) {
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        char* end = nullptr;
        errno = 0;
        const unsigned long value = std::strtoul(word.c_str(), &end, 10);
        if (errno != 0 || end == word.c_str() || *end != '\0') return false;
        out.push_back(value);
    }
    return true;
}

bool parse(const std::string& status, Actor& actor) {
    std::string name, uids, gids, groups;
    if (!field(status, "Name", name) || !field(status, "Uid", uids) || !field(status, "Gid", gids)) return false;
    std::vector<unsigned long> u, g, s;
    // Real, effective, saved and file-system ids, in this order.
    if (!numbers(uids, u) || !numbers(gids, g) || u.size() < 2 || g.size() < 2) return false;
    if (field(status, "Groups", groups) && !numbers(groups, s)) return false;
    actor.name = name;
    actor.uid = static_cast<uid_t>(u[1]);
    actor.gid = static_cast<gid_t>(g[1]);
    actor.groups.clear();
    for (unsigned long group : s) actor.groups.push_back(static_cast<gid_t>(group));
    return true;
}

// Runs a getpwuid_r-style lookup with a buffer that grows while it is too
// small; lookup returns the name or null and sets error.
template <typename Lookup>
bool lookUpName(Lookup lookup, std::string& name) {
    const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    for (size_t size = hint > 0 ? static_cast<size_t>(hint) : 1024; size <= (1u << 20); size *= 2) {
        std::vector<char> buffer(size);
        int error = 0;
        const char* found = lookup(buffer.data(), buffer.size(), error);
        if (error == ERANGE) continue;
        if (found == nullptr) return false;
        name = found;
        return true;
    }
    return false;
}

}  // namespace

std::string userName(uid_t uid) {
    std::string name;
    if (lookUpName(
            [uid](char* buffer, size_t size, int& error) -> const char* {
                struct passwd entry;
                struct passwd* found = nullptr;
                error = getpwuid_r(uid, &entry, buffer, size, &found);
                return error == 0 && found != nullptr ? found->pw_name : nullptr;
            },
            name))
        return name;
    return std::to_string(uid);
}

std::string groupName(gid_t gid) {
    std::string name;
    if (lookUpName(
            [gid](char* buffer, size_t size, int& error) -> const char* {
                struct group entry;
                struct group* found = nullptr;
                error = getgrgid_r(gid, &entry, buffer, size, &found);
                return error == 0 && found != nullptr ? found->gr_name : nullptr;
            },
            name))
        return name;
    return std::to_string(gid);
}

Actor Actor::read(pid_t pid, int pidfd) {
    Actor actor;
    actor.pid = pid;
    if (pid <= 0) return actor;
    UniqueFd own;
    if (pidfd < 0) {
        own.reset(openPidfd(pid));
        if (!own) return actor;
        pidfd = own.get();
    }
    // The pidfd's process was alive before /proc/<pid> was opened and after
    // it was read: what was read is that process.
    if (!stillHoldsPid(pidfd)) return actor;
    std::string status;
    if (!readStatus(pid, status) || !stillHoldsPid(pidfd)) return actor;
    actor.known = parse(status, actor);
    return actor;
}

std::string Actor::userText() const { return known ? userName(uid) : std::string(); }

std::string Actor::processText() const { return known ? name : std::string(); }

std::string Actor::groupsText() const {
    if (!known) return std::string();
    std::string text = groupName(gid);
    for (gid_t group : groups)
        if (group != gid) text += "," + groupName(group);
    return text;
}

}  // namespace qvimcli
