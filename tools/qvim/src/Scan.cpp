#include "Scan.h"

#include <unistd.h>

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

// The kinds the engine collects itself, in the order they are scanned.
const entity_type kEngineKinds[] = {ENTITY_DIRECTORY, ENTITY_USER, ENTITY_GROUP,
                                    ENTITY_PORT,      ENTITY_INSTALLED_SOFTWARE, ENTITY_PROCESS};

std::string rootHint() { return geteuid() == 0 ? std::string() : " (run as root to include it)"; }

unsigned long threadNumber() { return static_cast<unsigned long>(gettid()); }

}  // namespace

HostScan::HostScan(Session& session, const Ruleset& ruleset, Console& console, EventPrinter& printer,
                   ScanSettings settings)
    : m_session(session),
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
        const qvim_status on = set_integrityscan(true);
        if (on != QVIM_OK) {
            reportFailure("could not start the change scan", on);
            return ScanResult{0, 0, 0, true, false};
        }
        m_packagesFromDpkg = m_ruleset.watches(ENTITY_INSTALLED_SOFTWARE) && baselinePackagesFromDpkg(m_scratch);
        std::string error;
        if (m_ruleset.watches(ENTITY_FILE) && !m_renames.build(m_scratch, error))
            m_console.warning(error + "; renamed files are reported as removed and created");
    } else {
        set_baselinescan(true);
    }

    m_console.startProgress([this] { return progressText(); });
    std::thread kinds([this] { scanKinds(); });
    scanFiles(stop);
    kinds.join();
    m_console.stopProgress();

    const bool interrupted = stop && stop();
    if (change) {
        // Switching off writes out which unchanged rows were seen; without that
        // the cleanup below would take them for removed.
        const qvim_status off = set_integrityscan(false);
        if (off != QVIM_OK) {
            reportFailure("could not record the entities seen unchanged; removals are not reported", off);
        } else if (!interrupted) {
            cleanUnscanned("File", start);
            if (m_packagesFromDpkg) cleanUnscanned("InstalledSoftware", start);
        }
    } else {
        set_baselinescan(false);
    }
    m_console.summarizeRepeated();
    return ScanResult{m_files.load(), m_packages.load(), m_events.load(), m_failed.load(), interrupted};
}

void HostScan::scanKinds() {
    const bool change = m_settings.mode == ScanMode::Change;
    for (entity_type kind : kEngineKinds) {
        const bool software = kind == ENTITY_INSTALLED_SOFTWARE;
        if (software && change && m_packagesFromDpkg) {
            feedPackages();
            continue;
        }
        m_kindRunning = kind;
        Response response;
        const qvim_status status =
            integrity_scan(threadNumber(), kind, change ? SCAN_CHANGE : SCAN_BASELINE, response.get());
        m_kindRunning = 0;
        if (QVIM_FAILED(status)) {
            // No usable package database for the engine's scan: dpkg's is read instead.
            if (software && !change) {
                feedPackages();
                continue;
            }
            reportFailure(std::string("the engine's scan of ") + kindName(kind) + " failed", status);
            continue;
        }
        m_events += m_printer.printDocument(response->json);
        if (response->state == IM_MATCH_WITH_MAX_EVENTS)
            m_console.warning(std::string("the ") + kindName(kind) +
                              " scan reached the engine's limit of events per scan; further changes were "
                              "recorded without events");
        // A baseline scan that stored nothing found no package database to read.
        if (software && !change && response->state == IM_UNDETERMINED) feedPackages();
    }
}

void HostScan::scanFiles(const std::function<bool()>& stop) {
    if (!m_ruleset.watches(ENTITY_FILE) || !should_scan_entity_type(ENTITY_FILE)) return;
    const Scope scope(m_ruleset.basesOf(ENTITY_FILE, false));
    if (scope.empty()) return;
    // Hashing threads hand their files to one storing thread, so that none of
    // them waits while the engine writes.
    BoundedQueue<FsEntity> collected(kQueuedFiles);
    std::thread storer([this, &collected] {
        FsEntity entity;
        while (collected.pop(entity)) storeFile(entity);
    });
    HashPipeline pipeline(
        m_settings.threads != 0 ? m_settings.threads : HashPipeline::defaultWorkers(), kQueuedPaths,
        [this, &collected](const WalkEntry& entry, Hasher& hasher) {
            FsEntity entity;
            if (collectFile(entry, hasher, entity)) collected.push(std::move(entity));
        },
        m_ruleset.md5Watched, HashLimits{m_settings.maxHashSize, stop});
    WalkHandlers handlers;
    handlers.enterFolder = [](const std::string& folder) { return should_scan_folder(folder.c_str()) != 0; };
    handlers.entry = [&pipeline](const WalkEntry& entry) { pipeline.submit(entry); };
    handlers.unreadable = [this](const std::string& folder, int error) {
        m_console.repeatedWarning("unreadable folders", "cannot open the folder '" + folder + "': " +
                                                            errorText(error) + "; its files are not checked" +
                                                            rootHint());
    };
    handlers.stop = stop;
    Walker walker(scope, false, handlers);
    walker.walk("/");
    pipeline.finish();
    collected.close();
    storer.join();
}

bool HostScan::collectFile(const WalkEntry& entry, Hasher& hasher, FsEntity& entity) {
    const std::string& path = entry.path;
    std::string problem;
    switch (collectRegularFile(entry, hasher, entity, problem)) {
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
            m_console.repeatedWarning("unreadable files", "cannot read '" + path + "': " + problem +
                                                              "; only its attributes are checked" + rootHint());
            break;
        case Outcome::Ok: break;
    }
    return true;
}

void HostScan::storeFile(FsEntity& entity) {
    im_wrapper_event_s record;
    if (m_settings.mode == ScanMode::Change) {
        std::string path = m_renames.take(entity.device, entity.inode, entity.path);
        if (!path.empty()) {
            // The record carries the old key; path holds the one walked.
            std::swap(entity.path, path);
            entity.toRecord(record, QVIM_EVENT_RENAMED, false, &path);
            // A rename the engine cannot apply (the new path is taken) ends as a
            // change of the new path; the old one is then reported removed.
            if (!QVIM_FAILED(submit(record))) {
                ++m_files;
                return;
            }
            entity.path = std::move(path);
        }
    }
    entity.toRecord(record, QVIM_EVENT_CHANGED, false);
    const qvim_status status = submit(record);
    if (QVIM_FAILED(status)) {
        // In a partial baseline, files of unchanged rules are still stored.
        if (!(m_settings.mode == ScanMode::Baseline && m_settings.partial))
            reportFailure("the engine could not process '" + entity.path + "'", status);
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
        const qvim_status status = submit(record);
        if (QVIM_FAILED(status)) {
            reportFailure("the engine could not process the package " + package.key, status);
            continue;
        }
        ++m_packages;
    }
}

qvim_status HostScan::submit(const im_wrapper_event_s& record) {
    Response response;
    if (m_settings.mode == ScanMode::Baseline) {
        // A partial baseline stores one by one: a file already in the baseline
        // then fails alone instead of taking a whole batch with it.
        return store_item(&record, !m_settings.partial, response.get());
    }
    const qvim_status status = integrity_monitor(threadNumber(), &record, response.get());
    if (!QVIM_FAILED(status)) m_events += m_printer.printDocument(response->json);
    return status;
}

void HostScan::reportFailure(const std::string& what, qvim_status status) {
    m_failed = true;
    m_console.repeatedWarning("engine failures",
                              what + ": " + statusText(status) + " (details in " + m_session.logPath() + ")");
}

void HostScan::cleanUnscanned(const char* kind, uint64_t since) {
    Response response;
    const qvim_status status = clean_unscanned(kind, static_cast<unsigned long>(since), response.get());
    if (QVIM_FAILED(status)) {
        reportFailure(std::string("could not report the removed ") + kind + " entities", status);
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
