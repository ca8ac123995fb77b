#include "Walk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "Text.h"

namespace qvimcli {
namespace {

std::string withSlash(const std::string& folder) { return endsWith(folder, "/") ? folder : folder + "/"; }

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

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

Walker::Walker(const Scope& scope, bool allEntries, WalkHandlers handlers)
    : m_scope(scope), m_allEntries(allEntries), m_handlers(std::move(handlers)) {}

bool Walker::shouldEnter(const std::string& folder) const {
    if (isPseudoFileSystemPath(folder) || !m_scope.mayEnter(folder)) return false;
    return !m_handlers.enterFolder || m_handlers.enterFolder(folder);
}

void Walker::walk(const std::string& folder) {
    if (shouldEnter(folder)) walkFolder(folder);
}

void Walker::walkFolder(const std::string& folder) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) {
        if (m_handlers.unreadable && errno != ENOENT) m_handlers.unreadable(folder, errno);
        return;
    }
    std::string path;
    while (struct dirent* item = readdir(dir.get())) {
        if (m_handlers.stop && m_handlers.stop()) return;
        if (strcmp(item->d_name, ".") == 0 || strcmp(item->d_name, "..") == 0) continue;
        path = joinPath(folder, item->d_name);
        unsigned char type = item->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (lstat(path.c_str(), &st) != 0) continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
        }
        if (type == DT_DIR) {
            if (!shouldEnter(path)) continue;
            if (m_allEntries && m_scope.covers(path) && m_handlers.entry) m_handlers.entry(path, true);
            walkFolder(path);
        } else if ((m_allEntries || type == DT_REG) && m_scope.covers(path) && m_handlers.entry) {
            m_handlers.entry(path, false);
        }
    }
}

}  // namespace qvimcli
