// The Linux collectors: each walks one system source and hands boundary
// records to the scan framework. Sections: the routine of each scanner,
// boundary-record helpers, directories, users and groups, processes,
// installed software.
#include "QVIMScanLinux.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <shadow.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "Linux/RPM.h"
#include "QVIMDataAccessLayer.h"
#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"
#include "QVIMExportBackbone.h"
#include "QVIMLogger.h"

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

void openGroupDatabase() { setgrent(); }
void closeGroupDatabase() { endgrent(); }
using GroupDatabaseScope = SystemDatabaseScope<openGroupDatabase, closeGroupDatabase>;

constexpr uint32_t kMaxLinkText = 4096;

}  // namespace

// ---- The routine of each scanner ----------------------------------------------------

QVIMScanLinux::Routine QVIMScanLinux::routine(KindScanner scanner) {
    switch (scanner) {
        case KindScanner::Host: return nullptr;
        case KindScanner::Directories: return &QVIMScanLinux::scanDirectories;
        case KindScanner::Users: return &QVIMScanLinux::scanUsers;
        case KindScanner::Groups: return &QVIMScanLinux::scanGroups;
        case KindScanner::Ports: return &QVIMScanLinux::scanPorts;
        case KindScanner::InstalledSoftware: return &QVIMScanLinux::scanInstalledSoftware;
        case KindScanner::Processes: return &QVIMScanLinux::scanProcesses;
    }
    return nullptr;
}

// ---- Boundary-record helpers -------------------------------------------------------

char* QVIMScanLinux::makeStrCpy(const std::string& text) {
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void QVIMScanLinux::cleanupAndAnull(const char*& text) {
    delete[] text;
    text = nullptr;
}

void QVIMScanLinux::cleanupAndAnull(const unsigned char*& bytes) {
    delete[] bytes;
    bytes = nullptr;
}

void QVIMScanLinux::cleanUpEventWrapper(im_wrapper_event_s& record) {
    cleanupAndAnull(record.sha256);
    cleanupAndAnull(record.sha1);
    cleanupAndAnull(record.md5);
    cleanupAndAnull(record.owner);
    cleanupAndAnull(record.userGroup);
    cleanupAndAnull(record.permissions);
    cleanupAndAnull(record.symLinkPath);
}

namespace {

// Directory-entity attributes of st; the birth time is asked of name relative
// to folder (AT_FDCWD with the record's path for a lone entry).
void fillDirectoryEntity(im_wrapper_event_s& record, const struct stat& st, int folder, const char* name) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(st.st_uid));
    record.owner = QVIMScanLinux::makeStrCpy(text);
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(st.st_gid));
    record.userGroup = QVIMScanLinux::makeStrCpy(text);
    record.inodeGenerationNumber = 0;
    record.deviceNumber = st.st_dev;
    record.inodeNumber = st.st_ino;

    struct statx extended;
    if (statx(folder, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &extended) == 0) {
        // File systems without birth times leave the bit clear.
        record.created = (extended.stx_mask & STATX_BTIME) != 0
                             ? createTimestamp(static_cast<unsigned long>(extended.stx_btime.tv_sec),
                                               extended.stx_btime.tv_nsec)
                             : 0;
    } else {
        LOG_WARNING(QVIM_SRC_SCANLINUX, "makeFirectoryEntity", "STATX call for file %s failed. Using regular stat.",
                    record.path);
        record.created = createTimestamp(static_cast<unsigned long>(st.st_ctim.tv_sec),
                                         static_cast<unsigned long>(st.st_ctim.tv_nsec));
    }
    record.lastAccessed = createTimestamp(static_cast<unsigned long>(st.st_atim.tv_sec),
                                          static_cast<unsigned long>(st.st_atim.tv_nsec));
    record.lastModified = createTimestamp(static_cast<unsigned long>(st.st_mtim.tv_sec),
                                          static_cast<unsigned long>(st.st_mtim.tv_nsec));

    // The sticky bit is not recorded; a link keeps its file type.
    unsigned mode = st.st_mode & 06777;
    if (S_ISLNK(st.st_mode)) mode |= 0120000;
    char permissions[10];
    std::snprintf(permissions, sizeof permissions, "0%o", mode);
    record.permissions = QVIMScanLinux::makeStrCpy(permissions);
}

void startRecord(im_wrapper_event_s& record, const char* entityType, const std::string& path) {
    record = im_wrapper_event_s{};
    record.entityType = entityType;
    record.eventType = QVIM_EVENT_CHANGED;
    record.path = path.c_str();
    record.newKey = path.c_str();
}

}  // namespace

void QVIMScanLinux::initializeEventWrapper(im_wrapper_event_s& record, const char* entityType, const std::string& path,
                                           struct stat& st) {
    startRecord(record, entityType, path);
    makeFirectoryEntity(record, st);
}

void QVIMScanLinux::initializeEventWrapper(im_wrapper_event_s& record, const char* entityType, const std::string& path,
                                           struct stat& st, int folder, const char* name) {
    startRecord(record, entityType, path);
    fillDirectoryEntity(record, st, folder, name);
}

void QVIMScanLinux::makeFirectoryEntity(im_wrapper_event_s& record, const struct stat& st) {
    fillDirectoryEntity(record, st, AT_FDCWD, record.path);
}

// ---- Directories ---------------------------------------------------------------------

// The walk also yields File entities (links and special files), so a folder is
// entered when either file or directory rules reach it.
bool QVIMScanLinux::folderInScope(const char* path) { return Scan::walkEnters(m_store, m_config, path); }

bool QVIMScanLinux::scanDirectories(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response) {
    struct stat root;
    if (::stat("/", &root) != 0) {
        LOG_ERROR(QVIM_SRC_SCANLINUX, "scanDirectories", "Error stat'ing '%s': %s", "/", std::strerror(errno));
        return false;
    }
    JSONEvents events;
    const QVIMDAL::SettingsScope settings(m_store);
    const bool ok = processDir(threadId, scanType, response, "/", events);
    if (ok) setResponseJson(response, events);
    return ok;
}

bool QVIMScanLinux::processDir(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response,
                               const char* path, JSONEvents& events) {
    if (!folderInScope(path)) return true;
    const int folder = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return processOpenDir(threadId, scanType, response, folder, path, events);
}

namespace {

// A folder that cannot be opened is skipped with a warning; running out of
// descriptors or memory says nothing about the folder, and going on would
// report everything below it as deleted.
bool folderOpenFailed(const std::string& path, int error) {
    LOG_WARNING(QVIM_SRC_SCANLINUX, "processDir", "Could not access %s: %s", path.c_str(), std::strerror(error));
    return error != EMFILE && error != ENFILE && error != ENOMEM;
}

}  // namespace

// Every folder below the starting one is opened relative to its open parent
// and never through a symbolic link, so a folder swapped for a link while the
// walk runs cannot lead it out of the tree.
bool QVIMScanLinux::processOpenDir(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response,
                                   int folder, const std::string& path, JSONEvents& events) {
    if (folder < 0) return folderOpenFailed(path, errno);
    const DirHandle dir(fdopendir(folder));
    if (!dir) {
        const int error = errno;
        ::close(folder);
        return folderOpenFailed(path, error);
    }
    // One path text per level: the folder's prefix stays, each entry's name
    // replaces the previous one.
    std::string child(path);
    if (child != "/") child += '/';
    const size_t prefix = child.size();

    // Regular files are not recorded by this walk. In a folder whose entries
    // can be examined, the type that readdir gives spares them their status
    // call; otherwise each one gets it, and the warning when it fails.
    const bool searchable = faccessat(folder, ".", X_OK, AT_EACCESS) == 0;

    im_wrapper_event_s record{};
    bool ok = true;
    while (ok) {
        const struct dirent* entry = readdir(dir.get());
        if (entry == nullptr) break;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || name[1] == '.')) continue;
        child.resize(prefix);
        child += name;
        // An entry whose path the system cannot name is not recorded under a
        // truncated or unusable key.
        if (child.size() >= PATH_MAX) {
            LOG_WARNING(QVIM_SRC_SCANLINUX, "processDir", "Error stat'ing %s: %s", child.c_str(),
                        std::strerror(ENAMETOOLONG));
            continue;
        }
        if (entry->d_type == DT_REG && searchable) continue;

        struct stat st;
        if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            LOG_WARNING(QVIM_SRC_SCANLINUX, "processDir", "Error stat'ing %s: %s", child.c_str(), std::strerror(errno));
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            ok = processLink(threadId, scanType, response, folder, name, child, st, record, events);
        } else if (S_ISDIR(st.st_mode)) {
            initializeEventWrapper(record, "Directory", child, st, folder, name);
            ok = processEvent(scanType, threadId, record, response, events);
            cleanUpEventWrapper(record);
            if (ok && folderInScope(child.c_str())) {
                const int sub = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                ok = processOpenDir(threadId, scanType, response, sub, child, events);
            }
        } else if (!S_ISREG(st.st_mode)) {
            initializeEventWrapper(record, "File", child, st, folder, name);
            ok = processEvent(scanType, threadId, record, response, events);
            cleanUpEventWrapper(record);
        }
    }
    return ok;
}

namespace {

// The absolute path a link in an open folder resolves to, for messages only.
// The kernel resolves it relative to the open folder (a parent swapped
// meanwhile is not followed); a link whose target is missing gets its text
// joined to its folder's path.
std::string resolvedLinkPath(int folder, const char* name, const std::string& child, const char* linkText) {
    const int target = openat(folder, name, O_PATH | O_CLOEXEC);
    if (target >= 0) {
        char self[32];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", target);
        char buffer[PATH_MAX];
        const ssize_t length = readlink(self, buffer, sizeof buffer);
        ::close(target);
        if (length > 0 && length < static_cast<ssize_t>(sizeof buffer)) return std::string(buffer, length);
    }
    if (linkText[0] == '/') return linkText;
    return child.substr(0, child.rfind('/') + 1) + linkText;
}

}  // namespace

// Records a symbolic link as the kind of its target; links are never followed
// into. Link text and target are read relative to the link's open folder.
bool QVIMScanLinux::processLink(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response,
                                int folder, const char* name, const std::string& child, struct stat& st,
                                im_wrapper_event_s& record, JSONEvents& events) {
    char link[kMaxLinkText + 1];
    const ssize_t length = readlinkat(folder, name, link, kMaxLinkText);
    if (length < 0) {
        LOG_WARNING(QVIM_SRC_SCANLINUX, "processDir", "Error calling readlink() on '%s': %s", child.c_str(),
                    std::strerror(errno));
        return true;
    }
    link[length] = '\0';

    const char* kind = "File";
    struct stat target;
    if (fstatat(folder, name, &target, 0) != 0) {
        const int error = errno;
        LOG_WARNING(QVIM_SRC_SCANLINUX, "processDir",
                    "Error stat'ing absolute path of linked file '%s': %s. Assuming broken symoblic link.",
                    resolvedLinkPath(folder, name, child, link).c_str(), std::strerror(error));
    } else if (S_ISDIR(target.st_mode)) {
        kind = "Directory";
    } else if (!S_ISREG(target.st_mode)) {
        LOG_WARNING(QVIM_SRC_SCANLINUX, "processDir",
                    "Absolute path '%s' is neither a regular file nor a directory (%o). Adding as a special file.",
                    resolvedLinkPath(folder, name, child, link).c_str(), static_cast<unsigned>(target.st_mode));
    }

    initializeEventWrapper(record, kind, child, st, folder, name);
    record.symLinkPath = link;
    record.size = static_cast<uint64_t>(length);
    const bool ok = processEvent(scanType, threadId, record, response, events);
    record.symLinkPath = nullptr;
    cleanUpEventWrapper(record);
    return ok;
}

// ---- Users and groups --------------------------------------------------------------

std::string getQualifiedGroupName(int gid) {
    std::string name;
    lookupGroupName(static_cast<gid_t>(gid), name);
    return std::to_string(gid) + ':' + name;
}

bool QVIMScanLinux::scanGroups(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response) {
    JSONEvents events;
    bool failed = false;
    {
        GroupDatabaseScope database;
        std::string members;
        char gid[12];
        while (const struct group* entry = getgrent()) {
            if (response != nullptr && response->state == IM_MATCH_WITH_MAX_EVENTS) break;
            im_wrapper_event_s record{};
            record.entityType = "Group";
            record.eventType = QVIM_EVENT_CHANGED;
            record.name = entry->gr_name;
            record.newKey = entry->gr_name;
            std::snprintf(gid, sizeof gid, "%d", static_cast<int>(entry->gr_gid));
            record.userGroup = gid;
            members.clear();
            for (char* const* member = entry->gr_mem; member != nullptr && *member != nullptr; ++member) {
                if (member != entry->gr_mem) members += ',';
                members += *member;
            }
            record.members = members.c_str();
            std::printf("Evt.Name = %s\n", entry->gr_name);
            std::printf("Evt.Group = %s\n", gid);
            if (!failed && !processEvent(scanType, threadId, record, response, events)) failed = true;
        }
    }
    setResponseJson(response, events);
    return !failed;
}

namespace {
// Shadow day counts in seconds since the epoch, as the record keeps them.
int32_t daysToSeconds(long days) { return static_cast<int32_t>(static_cast<int64_t>(days) * 86400); }
}  // namespace

// Shadow counts are days; -1 marks an unset field, which leaves the record's
// field at 0.
void applyShadowEntry(im_wrapper_event_s& record, const struct spwd& shadow, long today) {
    const auto isSet = [](long value) { return value != -1; };
    if (isSet(shadow.sp_warn)) record.passwordWarningDays = static_cast<int32_t>(shadow.sp_warn);
    if (isSet(shadow.sp_min)) record.passwordMinDaysBetweenChanges = static_cast<int32_t>(shadow.sp_min);
    if (isSet(shadow.sp_max)) record.passwordExpiryInDays = static_cast<int32_t>(shadow.sp_max);
    if (isSet(shadow.sp_inact)) record.passwordExpiredDaysBeforeDisabled = static_cast<int32_t>(shadow.sp_inact);
    record.passwordNeverExpires = !isSet(shadow.sp_max) || shadow.sp_max >= 10001;
    if (isSet(shadow.sp_lstchg)) record.passwordLastChanged = daysToSeconds(shadow.sp_lstchg);
    record.cannotChangePassword = isSet(shadow.sp_min) && isSet(shadow.sp_max) && shadow.sp_min > shadow.sp_max;
    const char* password = shadow.sp_pwdp;
    record.lockedOut = password != nullptr && password[0] != '\0' && (password[0] == '!' || password[1] == '\0');

    // The login checks' reading of the aging fields: a password has expired
    // once more than the maximum days passed since its last change (a last
    // change on day 0 forces a change); the account is disabled once it
    // stayed expired for more than the inactivity days, or from its expiry
    // date on. The expiry date is kept in seconds, like the last change.
    const long changed = shadow.sp_lstchg;
    if (isSet(shadow.sp_max)) {
        record.passwordHasExpired = changed == 0 || (changed > 0 && today - changed > shadow.sp_max);
        record.disabled =
            isSet(shadow.sp_inact) && changed > 0 && today - changed > shadow.sp_max + shadow.sp_inact;
    }
    if (isSet(shadow.sp_expire)) {
        record.passwordExpiry = daysToSeconds(shadow.sp_expire);
        if (today >= shadow.sp_expire) record.disabled = true;
    }
}

bool QVIMScanLinux::scanUsers(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response) {
    constexpr int kMaxGroups = 1000;
    std::vector<gid_t> gids(kMaxGroups);
    const long today = static_cast<long>(getCurrentTimeInMillis() / 86400000UL);
    JSONEvents events;
    bool failed = false;
    {
        PasswordDatabaseScope database;
        std::string primaryGroup;
        std::string groups;
        char uid[12];
        while (const struct passwd* entry = getpwent()) {
            if (response != nullptr && response->state == IM_MATCH_WITH_MAX_EVENTS) break;
            im_wrapper_event_s record{};
            record.entityType = "User";
            record.eventType = QVIM_EVENT_CHANGED;
            std::snprintf(uid, sizeof uid, "%d", static_cast<int>(entry->pw_uid));
            record.user = uid;
            record.realTime = scanType == SCAN_CHANGE_REALTIME;
            record.name = entry->pw_name;
            record.newKey = entry->pw_name;
            record.logonShell = entry->pw_shell;
            record.homeFolder = entry->pw_dir;
            record.fullName = entry->pw_gecos;
            primaryGroup = getQualifiedGroupName(static_cast<int>(entry->pw_gid));
            record.userGroup = primaryGroup.c_str();
            if (failed) continue;

            int count = kMaxGroups;
            if (getgrouplist(entry->pw_name, entry->pw_gid, gids.data(), &count) < 0) {
                LOG_ERROR(QVIM_SRC_SCANLINUX, "scanUsers", "Error calling getgrouplist(\"%s\"): %s", entry->pw_name,
                          std::strerror(errno));
                failed = true;
                continue;
            }
            groups.clear();
            groups.reserve(static_cast<size_t>(count) * 21);
            for (int i = 0; i < count; ++i) {
                if (gids[i] == entry->pw_gid) continue;
                if (!groups.empty()) groups += ',';
                groups += getQualifiedGroupName(static_cast<int>(gids[i]));
            }
            record.groups = groups.c_str();

            // A long shadow line before this user's must not fail the scan either.
            const int rc = withGrowingBuffer(8192, [&](char* buffer, size_t size) {
                struct spwd shadowEntry;
                struct spwd* shadow = nullptr;
                const int result = getspnam_r(entry->pw_name, &shadowEntry, buffer, size, &shadow);
                // Without a shadow entry the shadow-derived fields keep their
                // defaults; the entry lives in the buffer, so it is read here.
                if (result == 0 && shadow != nullptr) applyShadowEntry(record, *shadow, today);
                return result;
            });
            if (rc != 0) {
                LOG_ERROR(QVIM_SRC_SCANLINUX, "scanUsers", "Error calling getspnam_r(\"%s\"): '%s'", entry->pw_name,
                          std::strerror(rc));
                failed = true;
                continue;
            }

            if (!processEvent(scanType, threadId, record, response, events)) failed = true;
        }
    }
    if (!failed) setResponseJson(response, events);
    return !failed;
}

// ---- Processes -----------------------------------------------------------------------

long getProcessName(const char* pid, std::string& path) {
    char linkPath[96];
    std::snprintf(linkPath, sizeof linkPath, "/proc/%s/exe", pid);
    char buffer[kMaxLinkText + 2];
    const ssize_t length = readlink(linkPath, buffer, kMaxLinkText + 1);
    if (length < 1) return static_cast<long>(length);
    path.assign(buffer, static_cast<size_t>(length));
    return static_cast<long>(length);
}

long getProcessNameByPid(int pid, std::string& path) {
    char text[80];
    std::snprintf(text, sizeof text, "%d", pid);
    return getProcessName(text, path);
}

int getUserInfo(const char* pid, int& uid, int& gid, int& threads) {
    char path[96];
    std::snprintf(path, sizeof path, "/proc/%s/status", pid);
    const FileHandle file(std::fopen(path, "r"));
    if (!file) {
        LOG_ERROR(QVIM_SRC_SCANLINUX, "getUserInfo", "Error opening %s: %s", path, std::strerror(errno));
        return 0;
    }
    // Fields are matched at line starts only, so that a process name cannot
    // pose as one of them.
    bool haveUid = false, haveGid = false, haveThreads = false;
    bool lineStart = true;
    char line[256];
    while (!(haveUid && haveGid && haveThreads) && std::fgets(line, sizeof line, file.get()) != nullptr) {
        const bool matchable = lineStart;
        lineStart = std::strchr(line, '\n') != nullptr;
        if (!matchable) continue;
        int first = 0, second = 0;
        if (!haveUid && std::sscanf(line, "Uid: %d %d", &first, &second) == 2) {
            uid = second;
            haveUid = true;
        } else if (!haveGid && std::sscanf(line, "Gid: %d %d", &first, &second) == 2) {
            gid = second;
            haveGid = true;
        } else if (!haveThreads && std::sscanf(line, "Threads: %d", &first) == 1) {
            threads = first;
            haveThreads = true;
        }
    }
    return static_cast<int>(haveUid) + static_cast<int>(haveGid) + static_cast<int>(haveThreads);
}

int getUserInfoByPid(int pid, int& uid, int& gid, int& threads) {
    char text[80];
    std::snprintf(text, sizeof text, "%d", pid);
    return getUserInfo(text, uid, gid, threads);
}

namespace {

bool allDigits(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9') return false;
    return true;
}

std::string userNameOf(int uid) {
    std::string name;
    return lookupUserName(static_cast<uid_t>(uid), name) ? name : std::to_string(uid);
}

// Pid, short name and parent pid from a stat file; the number of the three
// read. The name is taken between the first '(' and the last ')', so names
// with blanks or parentheses keep the fields after them in place.
int readStatFile(const char* path, int& pid, std::string& shortName, int& parent) {
    const FileHandle file(std::fopen(path, "r"));
    if (!file) return -1;
    char text[512];
    const size_t length = std::fread(text, 1, sizeof text - 1, file.get());
    text[length] = '\0';
    if (std::sscanf(text, "%d", &pid) != 1) return 0;
    const char* open = std::strchr(text, '(');
    const char* close = std::strrchr(text, ')');
    if (open == nullptr || close == nullptr || close < open) return 1;
    shortName.assign(open + 1, std::min<size_t>(static_cast<size_t>(close - open - 1), 256));
    return std::sscanf(close + 1, " %*c %d", &parent) == 1 ? 3 : 2;
}

}  // namespace

bool QVIMScanLinux::scanProcesses(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response) {
    JSONEvents events;
    bool failed = false;
    {
        PasswordDatabaseScope database;
        const unsigned long start = getCurrentTimeInMillis();
        const unsigned long deadline = start + m_processScanBudgetMs;
        const DirHandle proc(opendir("/proc"));
        if (!proc) {
            LOG_ERROR(QVIM_SRC_SCANLINUX, "scanProcesses", "Error opening /proc: %s", std::strerror(errno));
            failed = true;
        }
        while (!failed) {
            const struct dirent* entry = readdir(proc.get());
            if (entry == nullptr) break;
            const unsigned long now = getCurrentTimeInMillis();
            if (now > deadline) {
                LOG_ERROR(QVIM_SRC_SCANLINUX, "scanProcesses", "Timeout reading /proc files after %lu msec",
                          now - start);
                failed = true;
                break;
            }
            if (!allDigits(entry->d_name)) continue;
            if (!processProcEntry(threadId, scanType, response, entry->d_name, events)) failed = true;
        }
    }
    if (!failed) setResponseJson(response, events);
    return true;
}

// One process; false only when processing the record failed. A process that
// ends meanwhile is skipped or recorded without the parts it took along.
bool QVIMScanLinux::processProcEntry(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response,
                                     const char* name, JSONEvents& events) {
    im_wrapper_event_s record{};
    record.entityType = "Process";
    record.eventType = QVIM_EVENT_CHANGED;

    char path[268];
    std::snprintf(path, sizeof path, "/proc/%s/stat", name);
    int pid = 0, parent = 0;
    std::string shortName;
    const int fields = readStatFile(path, pid, shortName, parent);
    if (fields < 0) {
        LOG_ERROR(QVIM_SRC_SCANLINUX, "scanProcesses", "Error opening %s: %s", path, std::strerror(errno));
        return true;
    }
    if (fields < 3) {
        LOG_WARNING(QVIM_SRC_SCANLINUX, "scanProcesses", "Only read %d fields from %s", fields, path);
        return true;
    }
    char key[276];
    std::snprintf(key, sizeof key, "%s/%d", shortName.c_str(), pid);
    record.processKey = key;
    record.newKey = key;
    record.processID = pid;
    record.parentProcessID = parent;

    std::string parentPath;
    if (getProcessNameByPid(parent, parentPath) > 0) record.processName = parentPath.c_str();
    int uid = -1, gid = -1, threads = 0;
    std::string parentUser;
    if (getUserInfoByPid(parent, uid, gid, threads) >= 1) {
        parentUser = userNameOf(uid);
        record.processUser = parentUser.c_str();
    }

    std::string commandLine;
    std::snprintf(path, sizeof path, "/proc/%s/cmdline", name);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        LOG_ERROR(QVIM_SRC_SCANLINUX, "scanProcesses", "Error opening %s: %s", path, std::strerror(errno));
    } else {
        char buffer[2048];
        ssize_t length = ::read(fd, buffer, sizeof buffer);
        ::close(fd);
        if (length > 0) {
            if (buffer[length - 1] == '\0') --length;
            std::replace(buffer, buffer + length, '\0', ' ');
            commandLine.assign(buffer, static_cast<size_t>(length));
            record.commandLine = commandLine.c_str();
        }
    }

    char user[20];
    char group[20];
    uid = -1;
    gid = -1;
    threads = 0;
    if (getUserInfo(name, uid, gid, threads) >= 1) {
        std::snprintf(user, sizeof user, "%d", uid);
        std::snprintf(group, sizeof group, "%d", gid);
        record.user = user;
        record.userGroup = group;
        record.threads = threads;
    }

    std::printf("d_name is %s\n", name);
    std::string executable;
    const long length = getProcessName(name, executable);
    std::printf("len for d_name is %s is %d\n", name, static_cast<int>(length));

    std::string process = shortName;
    if (length > 0) {
        if (executable.size() > kMaxLinkText) executable.resize(kMaxLinkText);
        record.path = executable.c_str();
        // The kernel keeps 15 characters of a name; the executable's path
        // holds the rest.
        if (shortName.size() == 15 && executable.size() >= 15) {
            const size_t at = executable.rfind(shortName, executable.size() - 15);
            if (at != std::string::npos) process = executable.substr(at);
        }
    }
    record.process = process.c_str();

    return processEvent(scanType, threadId, record, response, events);
}

// ---- Installed software ------------------------------------------------------------

namespace {

// An open package database, closed when the scan leaves.
struct RpmSession {
    rpmdb_s* db = nullptr;
    rpmts_s* ts = nullptr;
    rpmdbMatchIterator_s* iterator = nullptr;
    ~RpmSession() { QVARPM::closeDB(db, ts, iterator); }
};

}  // namespace

bool QVIMScanLinux::scanInstalledSoftware(unsigned long threadId, scan_type scanType,
                                          im_wrapper_response_s* response) {
    // librpm keeps process-wide state; one scan uses it at a time.
    static std::mutex rpmMutex;
    const std::lock_guard<std::mutex> lock(rpmMutex);
    JSONEvents events;
    {
        RpmSession session;
        if (!QVARPM::openDB(session.db, session.ts, session.iterator)) {
            LOG_ERROR(QVIM_SRC_SCANLINUX, "scanInstalledSoftware", "Error opening RPN db");
            return false;
        }
        std::string name, version, release, vendor, key;
        char versionText[260];
        char installed[25];
        while (headerToken_s* header = QVARPM::next(session.iterator)) {
            if (!QVARPM::getString(header, RPMTAG_NAME, name)) continue;
            im_wrapper_event_s record{};
            record.entityType = "InstalledSoftware";
            record.eventType = QVIM_EVENT_CHANGED;
            record.displayName = name.c_str();
            key = name;
            if (QVARPM::getString(header, RPMTAG_VERSION, version) &&
                QVARPM::getString(header, RPMTAG_RELEASE, release)) {
                std::snprintf(versionText, sizeof versionText, "%.128s-%.128s", version.c_str(), release.c_str());
                record.version = versionText;
                key += '-';
                key += versionText;
            } else {
                LOG_WARNING(QVIM_SRC_SCANLINUX, "scanInstalledSoftware", "Error getting version for package '%s'",
                            name.c_str());
            }
            record.name = key.c_str();
            record.newKey = key.c_str();
            if (QVARPM::getString(header, RPMTAG_VENDOR, vendor)) record.manufacturer = vendor.c_str();
            unsigned long number = 0;
            if (QVARPM::getInt(header, RPMTAG_SIZE, number)) record.size = number;
            if (QVARPM::getInt(header, RPMTAG_INSTALLTIME, number)) {
                const time_t when = static_cast<time_t>(number);
                struct tm local;
                if (localtime_r(&when, &local) != nullptr &&
                    std::strftime(installed, sizeof installed, "%Y-%m-%d %H:%M:%S", &local) > 0)
                    record.installedDate = installed;
            }
            if (!processEvent(scanType, threadId, record, response, events)) return false;
        }
    }
    setResponseJson(response, events);
    return true;
}
