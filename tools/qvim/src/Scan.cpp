#include "Scan.h"

#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <thread>

#include "Dpkg.h"
#include "Pipeline.h"
#include "Text.h"
#include "Walk.h"

namespace qvimcli {
namespace {

// Each queued entry may hold its folder open: few are enough to keep the
// hashing threads busy.
constexpr size_t kQueuedPaths = 64;
// Files hashed while the engine is busy, for instance syncing a commit.
constexpr size_t kQueuedFiles = 1024;
// An idle thread waits for this many queued items rather than waking for each.
constexpr size_t kWakePaths = 16;
constexpr size_t kWakeFiles = 64;

// The kinds the engine collects itself, in the order they are scanned. Folders,
// links and special files are walked here instead: the engine's change scan
// reports at most 1000 of them.
const entity_type kEngineKinds[] = {ENTITY_USER, ENTITY_GROUP, ENTITY_PORT, ENTITY_INSTALLED_SOFTWARE,
                                    ENTITY_PROCESS};

// Folders the process may not open: reported as not checked. Anything else
// (no descriptors left, I/O errors) fails the run.
bool isPermissionError(int error) { return error == EACCES || error == EPERM; }

std::string rootHint() { return geteuid() == 0 ? std::string() : " (run as root to include it)"; }

}  // namespace

HostScan::HostScan(Session& session, const Ruleset& ruleset, Console& console, EventPrinter& printer,
                   ScanSettings settings)
    : m_session(session),
      m_engine(session.engine()),
      m_ruleset(ruleset),
      m_console(console),
      m_printer(printer),
      m_settings(settings),
      m_scratch(parentFolder(session.dbPath())) {}

ScanResult HostScan::run(const std::function<bool()>& stop) {
    const bool change = m_settings.mode == ScanMode::Change;
    const uint64_t start = nowMillis();
    m_startedAt = monotonicSeconds();

    if (change) {
        const EngineResult on = m_engine.setIntegrityScan(true);
        if (!on.ok()) {
            reportFailure("could not start the change scan", on);
            return ScanResult{0, 0, 0, true, false};
        }
        std::string error;
        if (m_ruleset.watches(ENTITY_INSTALLED_SOFTWARE) &&
            !baselinePackagesFromDpkg(m_engine, m_scratch, m_packagesFromDpkg, error)) {
            // Checked against the wrong source, every package would look replaced.
            m_failed = true;
            m_skipPackages = true;
            m_console.error(error + "; installed software is not checked");
        }
        if (m_ruleset.watches(ENTITY_FILE) && !m_renames.build(m_engine, m_scratch, error))
            m_console.warning(error + "; renamed files are reported as removed and created");
        // Only needed if a folder turns out unreadable; a failure here matters only then.
        if ((m_ruleset.watches(ENTITY_FILE) || m_ruleset.watches(ENTITY_DIRECTORY)) && !m_seen.open(m_scratch, error))
            m_console.warning(error);
    } else {
        m_engine.setBaselineScan(true);
        std::string error;
        if (m_settings.partial && (!m_storedFiles.load(m_engine, ENTITY_FILE, m_scratch, error) ||
                                   !m_storedFolders.load(m_engine, ENTITY_DIRECTORY, m_scratch, error))) {
            m_failed = true;
            m_console.error(error + "; the baseline cannot be updated");
            m_engine.setBaselineScan(false);
            return ScanResult{0, 0, 0, true, false};
        }
    }

    m_console.startProgress([this] { return progressText(); });
    std::thread kinds([this] { scanKinds(); });
    scanFileSystem(stop);
    kinds.join();
    m_console.stopProgress();

    const bool interrupted = stop && stop();
    if (m_renames.failed())
        m_console.warning("the baseline's paths could not be kept in scratch files; some renamed files may be "
                          "reported as removed and created");
    if (m_storedFiles.failed() || m_storedFolders.failed()) {
        m_failed = true;
        m_console.error("the baseline's paths could not be kept in scratch files; the baseline may miss entities");
    }
    if (change) {
        // Switching off writes out which unchanged rows were seen; without that
        // the cleanup below would take them for removed.
        const EngineResult off = m_engine.setIntegrityScan(false);
        if (!off.ok()) {
            reportFailure("could not record the entities seen unchanged; removals are not reported", off);
        } else if (!interrupted) {
            reportRemovals(start);
        }
    } else {
        // The last items are still buffered; switching the baseline scan off
        // does not say whether writing them worked.
        unsigned long written = 0;
        const EngineResult flushed = m_engine.flush(written);
        if (flushed.failed()) reportFailure("could not write the last entities to the baseline", flushed);
        m_engine.setBaselineScan(false);
    }
    m_console.summarizeRepeated();
    return ScanResult{m_files.load(), m_packages.load(), m_events.load(), m_failed.load(), interrupted};
}

void HostScan::reportRemovals(uint64_t since) {
    // Whatever the run could not look at would be taken for removed.
    if (m_fileSystemFailed) {
        m_console.error("removed files and folders are not reported: the walk was incomplete (see the messages "
                        "above)");
    } else if (m_walked) {
        if (m_unreadable.empty()) {
            if (m_ruleset.watches(ENTITY_FILE)) cleanUnscanned(ENTITY_FILE, since);
            if (m_ruleset.watches(ENTITY_DIRECTORY)) cleanUnscanned(ENTITY_DIRECTORY, since);
        } else {
            reportRemovedOutsideUnreadable();
        }
    }
    if (m_packagesFromDpkg && !m_failed) cleanUnscanned(ENTITY_INSTALLED_SOFTWARE, since);
}

void HostScan::reportRemovedOutsideUnreadable() {
    auto below = [this](const std::string& key) {
        for (const std::string& folder : m_unreadable)
            if (key == folder || startsWith(key, endsWith(folder, "/") ? folder : folder + "/")) return true;
        return false;
    };
    for (entity_type kind : {ENTITY_FILE, ENTITY_DIRECTORY}) {
        if (!m_ruleset.watches(kind)) continue;
        if (m_seen.failed()) {
            reportProblem("the paths seen could not be kept in scratch files; removals are not reported");
            return;
        }
        std::string error;
        // Reported as the export goes: the removed can be as many as the baseline holds.
        const bool read = forEachBaselineRow(m_engine, kind, 0, m_scratch, [&](const std::string&, const cJSON* row) {
            const std::string key = exactJsonText(row, "key");
            if (key.empty() || below(key) || m_seen.contains(key)) return true;
            if (m_seen.failed()) return false;
            FsEntity entity;
            entity.kind = kind;
            entity.path = key;
            im_wrapper_event_s record;
            entity.toRecord(record, QVIM_EVENT_DELETED, false);
            const EngineResult status = submit(record);
            if (status.failed()) reportFailure("the engine could not report the removal of '" + key + "'", status);
            return true;
        }, error);
        if (!read || m_seen.failed()) {
            reportProblem((read ? std::string("the paths seen could not be read back") : error) +
                          "; removals are not reported");
            return;
        }
    }
    m_console.warning("what lies below the folders that could not be read is kept as it was, not reported removed");
}

void HostScan::scanKinds() {
    const bool change = m_settings.mode == ScanMode::Change;
    for (entity_type kind : kEngineKinds) {
        const bool software = kind == ENTITY_INSTALLED_SOFTWARE;
        if (software && m_skipPackages) continue;
        if (software && change && m_packagesFromDpkg) {
            feedPackages();
            continue;
        }
        m_kindRunning = kind;
        Response response;
        const EngineResult status = m_engine.scanKind(kind, change ? SCAN_CHANGE : SCAN_BASELINE, response);
        m_kindRunning = 0;
        // A baseline scan of packages that failed or stored nothing found no
        // package database to read: dpkg's is read instead. A change scan
        // follows the source the baseline came from (above).
        const bool fromDpkg = software && !change && (status.failed() || response->state == IM_UNDETERMINED);
        if (status.failed() && !fromDpkg)
            reportFailure(std::string("the engine's scan of ") + kindName(kind) + " failed", status);
        if (!status.failed()) {
            m_events += m_printer.printDocument(response->json);
            if (response->state == IM_MATCH_WITH_MAX_EVENTS)
                m_console.warning(std::string("the ") + kindName(kind) +
                                  " scan reached the engine's limit of events per scan; further changes were "
                                  "recorded without events");
        }
        if (fromDpkg) feedPackages();
    }
}

void HostScan::scanFileSystem(const std::function<bool()>& stop) {
    const bool files = m_ruleset.watches(ENTITY_FILE) && m_engine.shouldScanKind(ENTITY_FILE);
    const bool folders = m_ruleset.watches(ENTITY_DIRECTORY) && m_engine.shouldScanKind(ENTITY_DIRECTORY);
    if (!files && !folders) return;
    const Scope scope(m_ruleset.basesOf(ENTITY_ALL, false));
    if (scope.empty()) return;
    m_walked = true;
    // Hashing threads hand their entries to one storing thread, so that none of
    // them waits while the engine writes.
    BoundedQueue<FsEntity> collected(kQueuedFiles, kWakeFiles);
    // Every name of a hard-linked file is recorded, its content read once.
    LinkedDigests linked;
    std::thread storer([this, &collected] {
        FsEntity entity;
        while (collected.pop(entity)) store(entity);
    });
    HashPipeline pipeline(
        m_settings.threads != 0 ? m_settings.threads : HashPipeline::defaultWorkers(), kQueuedPaths,
        [this, &collected](const WalkEntry& entry, Hasher& hasher) {
            FsEntity entity;
            if (collect(entry, hasher, entity)) collected.push(std::move(entity));
        },
        m_ruleset.md5Watched, HashLimits{m_settings.maxHashSize, stop}, kWakePaths, &linked);
    WalkHandlers handlers;
    handlers.enterFolder = [this](const std::string& folder) { return m_engine.shouldScanFolder(folder); };
    const bool keepStored = m_settings.mode == ScanMode::Baseline && m_settings.partial;
    handlers.entry = [this, &pipeline, keepStored](const WalkEntry& entry) {
        // What the partial baseline's purge left in place is not even read again.
        if (keepStored && (m_storedFiles.contains(entry.path) || m_storedFolders.contains(entry.path)))
            return;
        pipeline.submit(entry);
    };
    handlers.unreadable = [this](const std::string& folder, int error) {
        // Replaced by a link or a file since it was listed: what it held is gone
        // from here, and the new entry was handed on with the listing.
        if (error == ENOTDIR || error == ELOOP) return;
        if (!isPermissionError(error)) {
            reportProblem("cannot open the folder '" + folder + "': " + errorText(error));
            return;
        }
        m_unreadable.push_back(folder);
        m_console.repeatedWarning("unreadable folders", "cannot open the folder '" + folder + "': " +
                                                            errorText(error) + "; what it holds is not checked" +
                                                            rootHint());
    };
    handlers.stop = stop;
    // Like the folders the walk hands on, also when a partial rebuild covers files only.
    if (m_ruleset.watches(ENTITY_DIRECTORY))
        for (FsEntity& base : baseFolders()) collected.push(std::move(base));
    Walker walker(scope, true, handlers);
    walker.walk("/");
    pipeline.finish();
    collected.close();
    storer.join();
}

bool HostScan::collect(const WalkEntry& entry, Hasher& hasher, FsEntity& entity) {
    const std::string& path = entry.path;
    std::string problem;
    switch (collectEntry(entry, hasher, entity, problem)) {
        case Outcome::Vanished:
            m_console.repeatedWarning(
                "files that vanished",
                "'" + path + "' vanished before it could be read; " +
                    (m_settings.mode == ScanMode::Baseline
                         ? std::string("it is not in the baseline (a later check reports it if it comes back)")
                         : std::string("if the baseline had it, it is reported removed")));
            return false;
        case Outcome::Skipped:
        case Outcome::Stopped: return false;
        case Outcome::Unhashed:
            m_console.repeatedWarning("files not hashed", "'" + path + "' " + problem +
                                                              "; only its attributes are checked (--max-hash-size "
                                                              "raises the limit)");
            break;
        case Outcome::AttributesOnly:
            // Only a refusal is the file's own business; anything else would
            // record it without its digests.
            if (!isPermissionError(entity.readError)) {
                reportProblem("cannot read '" + path + "': " + problem);
                return false;
            }
            m_console.repeatedWarning("unreadable files", "cannot read '" + path + "': " + problem +
                                                              "; only its attributes are checked" + rootHint());
            break;
        case Outcome::Ok: break;
    }
    return true;
}

void HostScan::store(FsEntity& entity) {
    if (m_settings.mode == ScanMode::Baseline) {
        storeInBaseline(entity);
        return;
    }
    m_seen.add(entity.path);
    im_wrapper_event_s record;
    if (entity.kind == ENTITY_FILE) {
        std::string path = m_renames.take(entity);
        if (!path.empty()) {
            // The record carries the old key; path holds the one walked.
            std::swap(entity.path, path);
            entity.toRecord(record, QVIM_EVENT_RENAMED, false, &path);
            // A rename the engine cannot apply (the new path is taken) ends as a
            // change of the new path; the old one is then reported removed.
            if (!submit(record, &entity).failed()) {
                ++m_files;
                return;
            }
            entity.path = std::move(path);
        }
    }
    entity.toRecord(record, QVIM_EVENT_CHANGED, false);
    const EngineResult status = submit(record, &entity);
    if (status.failed()) {
        m_fileSystemFailed = true;
        reportFailure("the engine could not process '" + entity.path + "'", status);
        return;
    }
    ++m_files;
}

void HostScan::storeInBaseline(FsEntity& entity) {
    im_wrapper_event_s record;
    entity.toRecord(record, QVIM_EVENT_CHANGED, false);
    Response response;
    if (m_settings.partial) {
        BaselineKeys& stored = entity.kind == ENTITY_DIRECTORY ? m_storedFolders : m_storedFiles;
        if (stored.contains(entity.path)) return;  // kept by the ruleset change
    }
    const EngineResult status = m_engine.store(record, response);
    if (status.failed()) {
        reportFailure("the engine could not store '" + entity.path + "'", status);
        return;
    }
    ++m_files;
}

void HostScan::feedPackages() {
    if (!m_ruleset.watches(ENTITY_INSTALLED_SOFTWARE)) return;
    std::vector<DpkgPackage> packages;
    std::string error;
    if (!readDpkgPackages(dpkgAdminDir(), packages, error)) {
        m_console.warning("no installed software is checked: the engine found no package database and " + error);
        return;
    }
    im_wrapper_event_s record;
    for (const DpkgPackage& package : packages) {
        package.toRecord(record, QVIM_EVENT_CHANGED);
        const EngineResult status = submit(record);
        if (status.failed()) {
            reportFailure("the engine could not process the package " + package.key, status);
            continue;
        }
        ++m_packages;
    }
}

std::vector<FsEntity> HostScan::baseFolders() {
    // The walk hands on what lies below a base; the folder itself (a chmod of
    // /etc) is recorded here. The engine matches no key of the folder's own
    // name to a set based on it, but "/etc/." lies below the base and names
    // the same folder.
    std::vector<std::string> bases = m_ruleset.basesOf(ENTITY_DIRECTORY, false);
    std::sort(bases.begin(), bases.end());
    bases.erase(std::unique(bases.begin(), bases.end()), bases.end());
    Hasher unused(false);
    std::vector<FsEntity> found;
    for (const std::string& base : bases) {
        if (base.size() < 2 || !endsWith(base, "/")) continue;
        const std::string folder = base.substr(0, base.size() - 1);
        if (isPseudoFileSystemPath(folder) || !m_engine.shouldScanFolder(base)) continue;
        const std::string key = base + ".";
        if (m_settings.mode == ScanMode::Baseline && m_settings.partial && m_storedFolders.contains(key)) continue;
        FsEntity entity;
        std::string problem;
        const Outcome outcome = collectEntry(folder, unused, entity, problem);
        if (outcome == Outcome::Vanished) continue;  // a missing base: nothing below it either
        if (outcome != Outcome::Ok || entity.kind != ENTITY_DIRECTORY) continue;
        entity.path = key;
        found.push_back(std::move(entity));
    }
    return found;
}

EngineResult HostScan::submit(const im_wrapper_event_s& record, const FsEntity* entity) {
    Response response;
    if (m_settings.mode == ScanMode::Baseline) return m_engine.store(record, response);
    const EngineResult status = m_engine.monitor(record, response);
    if (!status.failed())
        m_events += m_printer.printDocument(response->json, [entity](cJSON* event) {
            if (entity != nullptr) entity->annotate(event);
        });
    return status;
}

void HostScan::reportFailure(const std::string& what, const EngineResult& status) {
    m_failed = true;
    m_console.repeatedWarning("engine failures",
                              what + ": " + status.text() + " (details in " + m_session.logPath() + ")");
}

void HostScan::reportProblem(const std::string& what) {
    m_failed = true;
    m_fileSystemFailed = true;
    m_console.repeatedWarning("scan failures", what);
}

void HostScan::cleanUnscanned(entity_type kind, uint64_t since) {
    Response response;
    const EngineResult status = m_engine.cleanUnscanned(kind, since, response);
    if (status.failed()) {
        reportFailure(std::string("could not report the removed ") + kindName(kind) + " entities", status);
        return;
    }
    m_events += m_printer.printDocument(response->json);
}

std::string HostScan::progressText() const {
    const double elapsed = monotonicSeconds() - m_startedAt;
    const uint64_t files = m_files.load();
    std::string text = std::to_string(files) + " files";
    if (elapsed > 0.5) text += " (" + std::to_string(static_cast<uint64_t>(static_cast<double>(files) / elapsed)) + "/s)";
    const int kind = m_kindRunning.load();
    if (kind != 0) text += ", engine scanning " + std::string(kindName(static_cast<entity_type>(kind)));
    return text;
}

}  // namespace qvimcli
