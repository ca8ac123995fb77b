// A full pass over everything the rules watch, shared by init (baseline) and
// check (changes): the engine's scanners for accounts, ports, processes and
// packages, the host's walk of files, folders, links and special files, and
// packages from dpkg where the engine's package scan finds none.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FsEntity.h"
#include "Output.h"
#include "Rules.h"
#include "Baseline.h"
#include "Session.h"

namespace qvimcli {

enum class ScanMode { Baseline, Change };

struct ScanSettings {
    ScanMode mode = ScanMode::Change;
    bool partial = false;  // a baseline limited to what a ruleset change touched
    unsigned threads = 0;  // hashing threads; 0 for one per processor
    uint64_t maxHashSize = kDefaultMaxHashSize;  // larger files are not hashed; 0: no limit
};

struct ScanResult {
    uint64_t files = 0;     // files, folders, links and special files handed to the engine
    uint64_t packages = 0;  // packages read from dpkg and handed to the engine
    size_t events = 0;
    bool failed = false;  // an engine call or the walk failed; the run went on where it could
    bool interrupted = false;
};

class HostScan {
public:
    HostScan(Session& session, const Ruleset& ruleset, Console& console, EventPrinter& printer, ScanSettings settings);

    // stop is polled during the walk; an interrupted change scan reports no
    // deletions, since unvisited files would look removed.
    ScanResult run(const std::function<bool()>& stop);

private:
    void scanKinds();
    void scanFileSystem(const std::function<bool()>& stop);
    // Collects an entry's attributes and a file's digests (hashing threads);
    // false when there is nothing to hand to the engine.
    bool collect(const WalkEntry& entry, Hasher& hasher, FsEntity& entity);
    // Hands a collected entry to the engine (the one storing thread).
    void store(FsEntity& entity);
    void storeInBaseline(FsEntity& entity);
    // Ends a change scan: reports what the baseline holds and the walk no longer found.
    void reportRemovals(uint64_t since);
    // Removals of what the walk did not see outside the folders it could not
    // read, whose contents the engine's cleanup would take for removed.
    void reportRemovedOutsideUnreadable();
    void feedPackages();
    // Hands one record to the engine (store or monitor) and prints its events,
    // with what entity (when given) adds to them.
    EngineResult submit(const im_wrapper_event_s& record, const FsEntity* entity = nullptr);
    // The folders Directory sets are based on, under keys ending in "/.".
    std::vector<FsEntity> baseFolders();
    void reportFailure(const std::string& what, const EngineResult& status);
    // A failure of the walk itself (not of the engine); the run reports no removals.
    void reportProblem(const std::string& what);
    void cleanUnscanned(entity_type kind, uint64_t since);
    std::string progressText() const;

    Session& m_session;
    Engine& m_engine;
    const Ruleset& m_ruleset;
    Console& m_console;
    EventPrinter& m_printer;
    const ScanSettings m_settings;
    const std::string m_scratch;

    RenameIndex m_renames;
    // A partial baseline stores only what its purge removed.
    BaselineKeys m_storedFiles;
    BaselineKeys m_storedFolders;
    bool m_walked = false;
    std::vector<std::string> m_unreadable;  // folders the walk may not open
    // Every path the change scan handed on, for when the engine's cleanup
    // cannot be used; on disk, as it grows with the tree.
    DiskKeySet m_seen;
    bool m_packagesFromDpkg = false;
    bool m_skipPackages = false;
    std::atomic<uint64_t> m_files{0};
    std::atomic<uint64_t> m_packages{0};
    std::atomic<size_t> m_events{0};
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_fileSystemFailed{false};  // removals of files and folders cannot be trusted
    std::atomic<int> m_kindRunning{0};
    double m_startedAt = 0;
};

}  // namespace qvimcli
