// qvim watch: file-system changes become real-time notifications to the engine.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "Baseline.h"
#include "Commands.h"
#include "FsEntity.h"
#include "Seal.h"
#include "Text.h"
#include "Watcher.h"

namespace qvimcli {
namespace {

// Bounds of a burst of events held for one sync of the journal.
constexpr size_t kBurstEvents = 256;
constexpr std::chrono::milliseconds kBurstLongest{50};

// Files up to this size are hashed on the event thread; it takes a few
// milliseconds.
constexpr uint64_t kInlineHashBytes = 8u << 20;

// Hashes larger files on a thread of its own, so that the events of other
// files are not held up meanwhile. The results go back to the event thread,
// the only one that talks to the engine, in the order they were asked for.
class LargeFileHasher {
public:
    struct Result {
        std::string path;
        FsEntity entity;
        Outcome outcome = Outcome::Skipped;
        std::string problem;
    };

    LargeFileHasher(bool md5, HashLimits limits) {
        const std::function<bool()> stop = limits.stop;
        limits.stop = [this, stop] { return m_closing.load() || (stop && stop()); };
        m_thread = std::thread([this, md5, limits] { work(md5, limits); });
    }
    ~LargeFileHasher() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closing = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    LargeFileHasher(const LargeFileHasher&) = delete;
    LargeFileHasher& operator=(const LargeFileHasher&) = delete;

    // A newer request for a path replaces one still waiting.
    void submit(const WalkEntry& entry) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (WalkEntry& waiting : m_waiting)
            if (waiting.path == entry.path) {
                waiting = entry;
                return;
            }
        m_waiting.push_back(entry);
        m_wake.notify_one();
    }
    // Something is asked for or waits to be taken.
    bool busy() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_waiting.empty() || m_running || !m_done.empty();
    }
    std::vector<Result> takeDone() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Result> done;
        done.swap(m_done);
        return done;
    }

private:
    void work(bool md5, const HashLimits& limits) {
        Hasher hasher(md5, limits);
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_closing || !m_waiting.empty(); });
            if (m_closing) return;
            const WalkEntry entry = std::move(m_waiting.front());
            m_waiting.pop_front();
            m_running = true;
            lock.unlock();
            Result result;
            result.path = entry.path;
            result.outcome = collectRegularFile(entry, hasher, result.entity, result.problem);
            lock.lock();
            m_running = false;
            m_done.push_back(std::move(result));
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<WalkEntry> m_waiting;
    std::vector<Result> m_done;
    bool m_running = false;
    std::atomic<bool> m_closing{false};
    std::thread m_thread;
};

class RealtimeFeeder {
public:
    RealtimeFeeder(Session& session, const Scope& scope, Console& console, EventPrinter& printer, bool md5,
                   const HashLimits& limits)
        : m_session(session),
          m_scope(scope),
          m_console(console),
          m_printer(printer),
          m_hasher(md5, limits),
          m_largeFiles(md5, limits) {}

    void apply(const FsChange& change) {
        m_acting = &change;
        switch (change.type) {
            case FsChange::Update: update(change.path); break;
            case FsChange::Delete:
                remove(change.path, change.folder);
                if (change.movedOut) sweep(change.path);
                break;
            case FsChange::Rename: rename(change.path, change.newPath, change.folder); break;
            case FsChange::Overflow:
                m_console.warning("the kernel dropped events for '" + change.path +
                                  "' (its queue overflowed); checking that tree again");
                recheck(change.path);
                break;
        }
        // A name made or removed changes its folder too (its times, its link
        // count), which a later check would otherwise report.
        if (change.type != FsChange::Overflow) {
            refreshFolder(parentFolder(change.path));
            if (change.type == FsChange::Rename && parentFolder(change.newPath) != parentFolder(change.path))
                refreshFolder(parentFolder(change.newPath));
        }
        m_acting = nullptr;
    }

    bool failed() const { return m_failed; }
    bool hashing() { return m_largeFiles.busy(); }

    // Hands on what the hashing thread finished, unless the file has changed,
    // moved or gone since: the events of that change tell its newer state.
    void finishLargeFiles() {
        for (LargeFileHasher::Result& result : m_largeFiles.takeDone()) {
            WalkEntry now;
            int error = 0;
            FsChange acting;
            auto found = m_largeActing.find(result.path);
            if (found != m_largeActing.end()) {
                acting = std::move(found->second);
                m_largeActing.erase(found);
            }
            if (result.outcome == Outcome::Stopped || !lookUp(result.path, now, error) ||
                !result.entity.sameStatus(now.st))
                continue;
            m_acting = &acting;
            tell(result.path, result.entity, result.outcome, result.problem);
            m_acting = nullptr;
        }
    }

private:
    qvim_status notify(im_wrapper_event_s& record, bool quiet = false) {
        // The process behind the change, where the kernel named it.
        if (m_acting != nullptr) {
            record.processUser = m_acting->user.c_str();
            record.processName = m_acting->process.c_str();
            record.processGroups = m_acting->groups.c_str();
        }
        Response response;
        const EngineResult status = m_session.engine().monitor(record, response);
        if (status.failed()) {
            if (!quiet) {
                m_failed = true;
                m_console.warning(std::string("the engine could not process '") + record.path + "': " +
                                  status.text() + " (details in " + m_session.logPath() + ")");
            }
            return status.code();
        }
        m_printer.printDocument(response->json);
        return status.code();
    }

    void update(const std::string& path) {
        WalkEntry entry;
        int error = 0;
        if (!lookUp(path, entry, error)) return;  // gone: a deletion follows
        if (S_ISREG(entry.st.st_mode) && static_cast<uint64_t>(entry.st.st_size) > kInlineHashBytes &&
            !m_hasher.tooLarge(static_cast<uint64_t>(entry.st.st_size))) {
            m_largeFiles.submit(entry);
            if (m_acting != nullptr) m_largeActing[path] = *m_acting;
            return;
        }
        FsEntity entity;
        std::string problem;
        const Outcome outcome = collectEntry(entry, m_hasher, entity, problem);
        tell(path, entity, outcome, problem);
    }

    void tell(const std::string& path, const FsEntity& entity, Outcome outcome, const std::string& problem) {
        if (!collected(outcome)) return;
        if (outcome == Outcome::AttributesOnly)
            m_console.warning("cannot read '" + path + "': " + problem + "; only its attributes are checked");
        if (outcome == Outcome::Unhashed)
            m_console.warning("'" + path + "' " + problem + "; only its attributes are checked");
        im_wrapper_event_s record;
        entity.toRecord(record, QVIM_EVENT_CHANGED, true);
        notify(record);
    }

    // Tells the engine about a folder whose status changed since it was last
    // told; a rule's base folder is recorded as "BASE/.", as the scans do.
    void refreshFolder(const std::string& folder) {
        const bool base =
            std::find(m_scope.bases().begin(), m_scope.bases().end(), folder + "/") != m_scope.bases().end();
        if (!base && !m_scope.covers(folder)) return;
        WalkEntry entry;
        int error = 0;
        if (!lookUp(folder, entry, error) || !S_ISDIR(entry.st.st_mode)) return;
        const std::pair<int64_t, long> changed{entry.st.st_ctim.tv_sec, entry.st.st_ctim.tv_nsec};
        if (m_folderTimes.size() > kRememberedFolders) m_folderTimes.clear();
        auto known = m_folderTimes.find(folder);
        if (known != m_folderTimes.end() && known->second == changed) return;
        m_folderTimes[folder] = changed;
        FsEntity entity;
        std::string problem;
        const Outcome outcome = collectEntry(entry, m_hasher, entity, problem);
        if (base) entity.path = folder + "/.";
        tell(entity.path, entity, outcome, problem);
    }

    void remove(const std::string& path, bool folder) {
        FsEntity entity;
        entity.kind = folder ? ENTITY_DIRECTORY : ENTITY_FILE;
        entity.path = path;
        im_wrapper_event_s record;
        entity.toRecord(record, QVIM_EVENT_DELETED, true);
        notify(record);
    }

    // Something to hand to the engine. Nothing is when the entry is gone (its
    // deletion follows) or the reading was stopped (the watch ends).
    static bool collected(Outcome outcome) {
        return outcome != Outcome::Vanished && outcome != Outcome::Skipped && outcome != Outcome::Stopped;
    }

    // One rename notification; false when the engine could not apply it.
    bool renameOne(const std::string& from, const std::string& to) {
        FsEntity entity;
        std::string problem;
        const Outcome outcome = collectEntry(to, m_hasher, entity, problem);
        if (!collected(outcome)) return true;
        entity.path = from;
        im_wrapper_event_s record;
        entity.toRecord(record, QVIM_EVENT_RENAMED, true, &to);
        return !QVIM_FAILED(notify(record, true));
    }

    void rename(const std::string& from, const std::string& to, bool folder) {
        // A rename the engine cannot apply (the new name is already in the
        // baseline) is told as the removal of the old and a change of the new.
        if (!renameOne(from, to)) {
            remove(from, folder);
            update(to);
        }
        if (!folder) return;
        WalkHandlers handlers;
        handlers.enterFolder = [this](const std::string& dir) { return m_session.engine().shouldScanFolder(dir); };
        handlers.entry = [&](const WalkEntry& entry) {
            const std::string& path = entry.path;
            const std::string old = from + path.substr(to.size());
            if (!renameOne(old, path)) {
                remove(old, S_ISDIR(entry.st.st_mode));
                update(path);
            }
        };
        Walker(m_scope, true, handlers).walk(to);
        // Moved out of the watched trees: what it held is gone from here too.
        if (!m_scope.covers(to)) sweep(from);
    }

    // Entries of the baseline below a folder that no longer exist are reported
    // removed: what was moved away or lost in an overflow.
    void sweep(const std::string& folder) {
        const std::string prefix = endsWith(folder, "/") ? folder : folder + "/";
        for (entity_type kind : {ENTITY_FILE, ENTITY_DIRECTORY}) {
            std::vector<std::string> gone;
            std::string error;
            const bool ok = forEachBaselineRow(
                m_session.engine(), kind, 0, parentFolder(m_session.dbPath()),
                [&](const std::string&, const cJSON* row) {
                    const std::string key = exactJsonText(row, "key");
                    // Gone is what the walk can no longer reach: a link on the
                    // way leads elsewhere.
                    WalkEntry entry;
                    int error = 0;
                    if (startsWith(key, prefix) && !lookUp(key, entry, error) &&
                        (error == ENOENT || error == ENOTDIR || error == ELOOP))
                        gone.push_back(key);
                    return true;
                },
                error);
            if (!ok) m_console.warning(error + "; removals below '" + folder + "' are not reported");
            for (const std::string& key : gone) remove(key, kind == ENTITY_DIRECTORY);
        }
    }

    void recheck(const std::string& root) {
        WalkHandlers handlers;
        handlers.enterFolder = [this](const std::string& dir) { return m_session.engine().shouldScanFolder(dir); };
        handlers.entry = [this](const WalkEntry& entry) { update(entry.path); };
        Walker(m_scope, true, handlers).walk(root);
        sweep(root);
    }

    Session& m_session;
    const Scope& m_scope;
    Console& m_console;
    EventPrinter& m_printer;
    Hasher m_hasher;
    LargeFileHasher m_largeFiles;
    std::map<std::string, FsChange> m_largeActing;  // who changed each large file being hashed
    // The status-change time of each folder as last told to the engine (event thread only).
    static constexpr size_t kRememberedFolders = 65536;
    std::unordered_map<std::string, std::pair<int64_t, long>> m_folderTimes;
    const FsChange* m_acting = nullptr;              // the change being told, for its process
    bool m_failed = false;
};

// SIGINT and SIGTERM arrive as a readable descriptor, so the wait for file
// events ends cleanly.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &m_set, &m_previous);
        m_fd = signalfd(-1, &m_set, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~StopSignals() {
        if (m_fd >= 0) ::close(m_fd);
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    int fd() const { return m_fd; }
    // A stop signal waits to be taken.
    bool pending() const {
        struct pollfd wait = {m_fd, POLLIN, 0};
        return ::poll(&wait, 1, 0) > 0;
    }
    // Takes the pending signals, so that none is delivered once they are unblocked.
    void consume() {
        struct signalfd_siginfo info;
        while (::read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
    }

private:
    sigset_t m_set;
    sigset_t m_previous;
    int m_fd = -1;
};

}  // namespace

int runWatch(const Options& options, Session& session, Console& console, EventPrinter& printer) {
    Ruleset ruleset;
    if (!installRecordedRuleset(session, console, ruleset)) return kExitUsage;
    const Scope scope(ruleset.basesOf(ENTITY_ALL, true));
    if (scope.empty()) {
        console.error("the ruleset has no real-time rule for files or folders; give a File rule \"realtime\": "
                      "\"true\" (as examples/rules/default.json does) and run 'qvim init' again");
        return kExitUsage;
    }
    StopSignals signals;
    if (signals.fd() < 0) {
        console.error("cannot receive stop signals: " + errorText(errno));
        return kExitFailure;
    }
    Watcher watcher(
        scope, [&session](const std::string& folder) { return session.engine().shouldScanFolder(folder); },
        Watcher::Timing());
    std::string why;
    const bool fanotify = watcher.useFanotify(why);
    std::string roots;
    for (const std::string& root : scope.roots()) {
        std::string problem, note;
        if (!watcher.addRoot(root, problem, &note)) {
            console.warning(problem);
            continue;
        }
        if (!note.empty()) console.warning(note);
        roots += (roots.empty() ? "" : ", ") + root;
    }
    for (const std::string& problem : watcher.takeProblems()) console.warning(problem);
    if (watcher.watchedFolders() == 0 && watcher.markedFileSystems() == 0) {
        console.error("nothing could be watched; see the messages above");
        return kExitFailure;
    }
    std::string how;
    if (watcher.markedFileSystems() > 0)
        how = std::to_string(watcher.markedFileSystems()) + " file system(s) with fanotify";
    if (watcher.watchedFolders() > 0)
        how += (how.empty() ? "" : " and ") + std::to_string(watcher.watchedFolders()) + " folders with inotify";
    if (fanotify && watcher.markedFileSystems() == 0) why = "no file system could be marked for fanotify";
    console.note("Watching " + how + " under " + roots + " (" +
                 (fanotify && watcher.markedFileSystems() > 0 ? why : "inotify: " + why) + "); Ctrl-C stops.");

    // A stop signal also ends the hashing of a large file.
    RealtimeFeeder feeder(session, scope, console, printer, ruleset.md5Watched,
                          HashLimits{options.maxHashSize, [&signals] { return signals.pending(); }});
    WatchSeal seal(session.dbPath(), options.keyFile, session.baselineFd());
    for (;;) {
        bool stop = false;
        // The events of a burst of changes share one sync of the journal and
        // go out once their lines are durable, a little later at most.
        printer.hold(kBurstEvents, kBurstLongest);
        // While large files are hashed, results are looked for every tenth of a second.
        for (const FsChange& change : watcher.poll(feeder.hashing() ? 100 : seal.waitMs(-1), signals.fd(), stop))
            feeder.apply(change);
        feeder.finishLargeFiles();
        printer.release();
        if (const std::string problem = seal.tick(); !problem.empty()) console.warning(problem);
        for (const std::string& problem : watcher.takeProblems()) console.warning(problem);
        if (stop) {
            signals.consume();
            break;
        }
    }
    console.note("Stopped.");
    return feeder.failed() ? kExitFailure : kExitOk;
}

}  // namespace qvimcli
