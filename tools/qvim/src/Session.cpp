#include "Session.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "SafeFiles.h"
#include "Text.h"

namespace qvimcli {
namespace {

std::atomic<int> g_logFd{-1};

const char* levelName(uint32_t level) {
    switch (level) {
        case QVIM_LOG_TRACE: return "TRACE";
        case QVIM_LOG_INFO: return "INFO";
        case QVIM_LOG_WARNING: return "WARNING";
        default: return "ERROR";
    }
}

void writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, p, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // a log that cannot be written drops the line
        p += written;
        left -= static_cast<size_t>(written);
    }
}

// The engine's log callback; engine threads and hashing threads call it at once,
// so each line goes out in one write.
void logLine(uint32_t level, uint32_t line, const char* function, const char* source, const char* message,
             uint32_t length) {
    const int fd = g_logFd.load(std::memory_order_relaxed);
    if (fd < 0) return;
    std::string text = isoLocalTime(nowMillis(), true);
    text += ' ';
    text += levelName(level);
    text += ' ';
    text += source != nullptr ? printable(source, kKeepBackslash) : "?";
    text += ':';
    text += std::to_string(line);
    text += ' ';
    text += function != nullptr ? printable(function, kKeepBackslash) : "?";
    text += ": ";
    // Messages quote names: one with a line break must not forge a line of its own.
    if (message != nullptr) text += printable(std::string(message, length), kKeepBackslash);
    text += '\n';
    writeAll(fd, text);
}

uint32_t levelMask(int verbosity) {
    uint32_t mask = QVIM_LOG_ERROR;
    if (verbosity >= 0) mask |= QVIM_LOG_WARNING;
    if (verbosity >= 1) mask |= QVIM_LOG_INFO;
    if (verbosity >= 2) mask |= QVIM_LOG_TRACE;
    return mask;
}

// The name part of a path ("" for one that ends in a slash).
std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The log: qvim.log in the database folder, or --log FILE in a folder that is
// ours or sticky. Never through a link or into someone else's file.
bool openLog(const std::string& logPath, int databaseFolder, UniqueFd& log, std::string& error) {
    UniqueFd folder;
    int where = databaseFolder;
    if (databaseFolder < 0) {
        if (!openTrustedFolder(parentFolder(logPath), FolderSharing::StickyAllowed, false, folder, error)) return false;
        where = folder.get();
    }
    return openOwnFileForAppend(where, baseName(logPath), log, error);
}

// Runs on the baseline itself share it; an update that will replace it must
// be alone. The lock is the file's own (flock), which SQLite's locks ignore;
// the descriptor stays open until the engine has stopped, since closing
// another descriptor of the file would drop SQLite's locks.
bool lockBaseline(int folder, const std::string& name, bool alone, UniqueFd& lock, std::string& error) {
    lock.reset(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!lock) return true;  // nothing to share yet: init makes it
    if (flock(lock.get(), (alone ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return true;
    error = alone ? "is in use by another qvim (a watch, init or export); an update would take the baseline from "
                    "under it: stop it (systemctl stop qvim-watch) and run the update again"
                  : "is being replaced by a running 'qvim update'; run this again when it has finished";
    return false;
}

}  // namespace

std::string defaultDatabasePath() {
    if (geteuid() == 0) return "/var/lib/qvim/im.db";
    const char* state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/qvim/im.db";
    const char* home = getenv("HOME");
    std::string homeDir = home != nullptr && *home != '\0' ? home : "";
    if (homeDir.empty()) {
        const struct passwd* entry = getpwuid(geteuid());
        if (entry != nullptr && entry->pw_dir != nullptr) homeDir = entry->pw_dir;
    }
    return (homeDir.empty() ? std::string(".") : homeDir) + "/.local/state/qvim/im.db";
}

namespace {

// The library's lines on standard output, copied into the log one escaped line
// at a time: they quote names (rule bases, keys of a migrated database).
class LibraryOutputRelay {
public:
    ~LibraryOutputRelay() { finish(); }

    bool start(int logFd) {
        if (m_thread.joinable()) return true;
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return false;
        dup2(ends[1], STDOUT_FILENO);
        ::close(ends[1]);
        m_thread = std::thread([in = ends[0], logFd] { relay(in, logFd); });
        return true;
    }

    // Sends what the library still buffers and waits until the log has it.
    void finish() {
        if (!m_thread.joinable()) return;
        fflush(stdout);
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (devNull >= 0) {
            dup2(devNull, STDOUT_FILENO);  // the pipe's last writer goes: the relay sees its end
            ::close(devNull);
        }
        m_thread.join();
    }

private:
    // The library prints names as they are, so a line break in one looks like
    // the end of its line: each piece gets a head of its own that no log line
    // of the engine has.
    static void writeLine(int logFd, const std::string& text) {
        writeAll(logFd, isoLocalTime(nowMillis(), true) + " OUTPUT library: " + printable(text, kKeepBackslash) + "\n");
    }

    static void relay(int in, int logFd) {
        // A line longer than this goes out in pieces: memory stays bounded.
        constexpr size_t kLongest = 64 * 1024;
        std::string pending;
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(in, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            pending.append(buffer, static_cast<size_t>(got));
            size_t start = 0;
            for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
                writeLine(logFd, pending.substr(start, end - start));
            pending.erase(0, start);
            if (pending.size() >= kLongest) {
                writeLine(logFd, pending);
                pending.clear();
            }
        }
        if (!pending.empty()) writeLine(logFd, pending);
        ::close(in);
    }

    std::thread m_thread;
};

LibraryOutputRelay g_libraryOutput;

}  // namespace

void routeLibraryOutput(int fd) {
    if (fd >= 0 && !g_libraryOutput.start(fd)) dup2(fd, STDOUT_FILENO);
}

std::unique_ptr<Session> Session::start(const Options& options, std::string dbPath, std::string& error,
                                        int& status, DatabaseUse use) {
    status = kExitFailure;
    if (dbPath.empty()) dbPath = options.db.empty() ? defaultDatabasePath() : options.db;
    const std::string folder = parentFolder(dbPath);
    // The engine creates its journal beside the database under a fixed name,
    // so the folder must be one nobody else can write to, sticky or not.
    UniqueFd folderFd;
    std::string reason;
    // The engine opens its database without following links anywhere on the
    // path, so it gets the path the checked folders resolve to.
    std::string resolvedFolder;
    if (!openTrustedFolder(folder, FolderSharing::OwnOnly, true, folderFd, reason, &resolvedFolder)) {
        error = "cannot use the database folder '" + folder + "': " + reason +
                "; choose a folder only you (and root) can write with --db FILE";
        return nullptr;
    }
    const std::string dbName = baseName(dbPath);
    struct stat st;
    if (dbName.empty() || dbName == "." || dbName == "..") {
        error = "the database '" + dbPath + "' names a folder; give a file with --db FILE";
        return nullptr;
    }
    if (fstatat(folderFd.get(), dbName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
        error = "the database '" + dbPath + "' is " +
                (S_ISLNK(st.st_mode) ? "a symbolic link" : "not a regular file") +
                "; qvim writes only its own files, choose another with --db FILE";
        return nullptr;
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        error = "the database folder '" + folder + "' is not writable (" + errorText(errno) +
                "); run as a user who may write there or choose another place with --db FILE";
        return nullptr;
    }
    if (access(dbPath.c_str(), F_OK) == 0 && access(dbPath.c_str(), R_OK | W_OK) != 0) {
        error = "the database '" + dbPath + "' is not writable (" + errorText(errno) +
                "); run as its owner or choose another with --db FILE";
        return nullptr;
    }

    std::string logPath = options.logPath.empty() ? joinPath(folder, "qvim.log") : options.logPath;
    int logFd = STDERR_FILENO;
    if (logPath != "-") {
        UniqueFd log;
        if (!openLog(logPath, options.logPath.empty() ? folderFd.get() : -1, log, reason)) {
            error = "cannot open the log '" + logPath + "': " + reason +
                    "; choose another with --log FILE (or --log - for standard error)";
            return nullptr;
        }
        logFd = log.release();
    }
    // The descriptor stays open for the life of the process: the engine keeps
    // its log callback until the process ends.
    const int previous = g_logFd.exchange(logFd);
    if (previous > STDERR_FILENO && previous != logFd) ::close(previous);
    if (options.verbosity >= 2) routeLibraryOutput(logFd);

    std::string enginePath = joinPath(resolvedFolder, dbName.c_str());
    UniqueFd lock;
    if (use != DatabaseUse::Copy &&
        !lockBaseline(folderFd.get(), dbName, use == DatabaseUse::CopyToAccept, lock, reason)) {
        error = "'" + dbPath + "' " + reason;
        return nullptr;
    }
    std::unique_ptr<BaselineCopy> copy;
    if (use != DatabaseUse::Direct) {
        if (fstatat(folderFd.get(), dbName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            error = "there is no baseline in '" + dbPath + "' yet; run 'qvim init --rules FILE' first";
            status = kExitUsage;
            return nullptr;
        }
        copy.reset(new BaselineCopy());
        if (!copy->create(folderFd.get(), resolvedFolder, dbName, reason)) {
            error = "cannot make a working copy of the baseline '" + dbPath + "': " + reason;
            return nullptr;
        }
        enginePath = copy->path();
    }
    std::unique_ptr<Session> session(new Session(dbPath, logPath, enginePath, std::move(copy), std::move(lock)));
    const EngineResult started = session->m_engine.start(enginePath, levelMask(options.verbosity), logLine);
    if (!started.ok()) {
        switch (started.code()) {
            case QVIM_E_DB_OPEN:
                error = "cannot open the database '" + dbPath +
                        "'; it may be damaged or not a qvim database (details in " + logPath + ")";
                break;
            case QVIM_E_DB_PATH: error = "the engine refused the database path '" + dbPath + "'"; break;
            default: error = "the engine did not start: " + started.text() + " (details in " + logPath + ")";
        }
        return nullptr;
    }
    status = kExitOk;
    return session;
}

Session::Session(std::string dbPath, std::string logPath, std::string enginePath, std::unique_ptr<BaselineCopy> copy,
                 UniqueFd lock)
    : m_dbPath(std::move(dbPath)),
      m_logPath(std::move(logPath)),
      m_enginePath(std::move(enginePath)),
      m_copy(std::move(copy)),
      m_lock(std::move(lock)) {}

Session::~Session() {
    stopEngine();
    g_libraryOutput.finish();
}

void Session::stopEngine() { m_engine.stop(); }

const char* Session::copyMethod() const { return copyMethodName(m_copy ? m_copy->method() : CopyMethod::None); }

bool Session::replaceBaseline(std::string& error) {
    if (!m_copy) {
        error = "the engine works on the baseline itself";
        return false;
    }
    stopEngine();
    return m_copy->replaceOriginal(error);
}

std::string Session::setting(const char* name, bool* found) const {
    std::string text;
    const bool ok = m_engine.state(name, text);
    if (found != nullptr) *found = ok;
    return text;
}

bool Session::setSetting(const char* name, const std::string& value) {
    return m_engine.setState(name, value).ok();
}

bool Session::hasBaseline() const {
    return setting("baselineExists") == "1" && setting("buildingBaseline") != "1" && !setting("ruleset").empty();
}

bool Session::reinstallRuleset(Ruleset& ruleset, std::string& error) {
    const std::string text = setting("ruleset");
    if (text.empty() || setting("baselineExists") != "1") {
        error = "there is no baseline in '" + m_dbPath + "' yet; run 'qvim init --rules FILE' first";
        return false;
    }
    if (setting("buildingBaseline") == "1") {
        error = "the last 'qvim init' on '" + m_dbPath + "' did not finish; run it again";
        return false;
    }
    std::string reason;
    if (!parseRuleset(text, ruleset, reason)) {
        error = "the ruleset recorded in '" + m_dbPath + "' " + reason + "; run 'qvim init --rules FILE' again";
        return false;
    }
    ruleset.id = setting("rulesetList");
    if (ruleset.id.empty()) ruleset.id = "qvim";
    // A full (not partial) installation: the folder scope then follows the rules.
    const EngineResult installed = m_engine.setRuleset(false, ruleset.text, ruleset.id);
    if (!installed.ok()) {
        error = "the engine refused the recorded ruleset: " + installed.text() + " (details in " + m_logPath +
                "); run 'qvim init --rules FILE' again";
        return false;
    }
    return true;
}

void Session::recordRuleset(const Ruleset& ruleset) {
    setSetting("ruleset", ruleset.text);
    setSetting("rulesetList", ruleset.id);
}

bool Session::beginBaseline(std::string& error) {
    if (setSetting("buildingBaseline", "1")) return true;
    error = "cannot write to the database '" + m_dbPath + "' (details in " + m_logPath + ")";
    return false;
}

bool Session::finishBaseline(const Ruleset& ruleset, const std::string& itemsVisited, std::string& error) {
    recordRuleset(ruleset);
    if (setSetting("baselineExists", "1") && setSetting("baselineScanTime", std::to_string(nowMillis())) &&
        (itemsVisited.empty() || setSetting("baselineItemsVisited", itemsVisited)) &&
        setSetting("buildingBaseline", "0"))
        return true;
    error = "cannot record the finished baseline in '" + m_dbPath + "' (details in " + m_logPath + ")";
    return false;
}

}  // namespace qvimcli
