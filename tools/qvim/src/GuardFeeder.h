// The kernel's decisions told to the engine: each one as the notification
// that comes before the operation, whose verdict must be the kernel's, and,
// for operations that went through, the change once it is done.
#pragma once

#include <linux/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "Digest.h"
#include "GuardPolicy.h"
#include "Output.h"
#include "guard_shared.h"
#include "Engine.h"

namespace qvimcli {

struct GuardCounters {
    uint64_t decisions = 0;
    uint64_t refused = 0;        // denied, or in audit mode would have been
    uint64_t disagreements = 0;  // the engine's verdict was not the kernel's
    uint64_t failures = 0;       // the engine could not process a notification
};

class GuardFeeder {
public:
    // Hands a newly protected entry to the kernel; false when it refuses.
    using Protect = std::function<bool(const GuardTargets::Key& key, const guard_target& target)>;

    // settleSeconds: how long after an operation went through its result is read.
    GuardFeeder(Engine& engine, GuardTargets& targets, Protect protect, Console& console, EventPrinter& printer,
                const std::string& logPath, bool md5, uint64_t maxHashSize, double settleSeconds = 0.2);

    void decide(const guard_event& event, double now);
    // Reports the operations that went through and have settled (all of them
    // when flush is set).
    void reportSettled(double now, bool flush = false);
    // Milliseconds until the next report is due; -1 when none waits.
    int nextDueMs(double now) const;
    const GuardCounters& counters() const { return m_counters; }

private:
    struct Pending {
        double due = 0;
        std::string newPath;  // a rename's new path
        entity_type kind = ENTITY_FILE;
        uint64_t inherited = 0;         // a creation: the policies of its folder
        GuardTargets::Key moved{0, 0};  // a rename: the protected entry that moves
    };
    // The path of what a decision concerns; for a rename also its new path
    // (empty when the target folder is not known).
    bool paths(const guard_event& event, std::string& path, std::string& newPath) const;
    qvim_status notify(im_wrapper_event_s& record, const std::string& path);
    void report(const std::string& path, const Pending& pending);
    void protectNew(const std::string& path, uint64_t policies);

    Engine& m_engine;
    GuardTargets& m_targets;
    Protect m_protect;
    Console& m_console;
    EventPrinter& m_printer;
    const std::string m_logPath;
    Hasher m_attributesOnly;  // pre-operation records carry attributes, not digests
    Hasher m_hasher;
    const double m_settle;
    std::map<std::string, Pending> m_pending;
    GuardCounters m_counters;
};

}  // namespace qvimcli
