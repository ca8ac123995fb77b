// qvim guard: the kernel refuses the changes the enforcement rules forbid,
// and the engine reports them.
#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "Commands.h"
#include "GuardFeeder.h"
#include "GuardKernel.h"
#include "GuardPolicy.h"
#include "Text.h"

namespace qvimcli {
namespace {

// The longest wait between looks at a stop request: a signal that arrives
// just before the wait begins is seen this late at worst.
constexpr int kStopCheckMs = 250;

std::string plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

int runGuard(const Options& options, Session& session, Console& console, EventPrinter& printer) {
    Ruleset ruleset;
    if (!installRecordedRuleset(session, console, ruleset)) return kExitUsage;
    std::vector<EnforcementRule> rules;
    std::string error;
    if (!parseEnforcementRules(ruleset.text, rules, error)) {
        console.error(error);
        return kExitRules;
    }
    if (rules.empty()) {
        console.error("the ruleset has no File or Directory rule with \"realtime\": \"true\" and an \"enforcement\" "
                      "of type \"allow\" or \"block\"; nothing to guard");
        return kExitUsage;
    }
    if (rules.size() > GUARD_MAX_POLICIES) {
        console.error("the ruleset has " + std::to_string(rules.size()) + " enforcement rules; the guard holds at most " +
                      std::to_string(GUARD_MAX_POLICIES));
        return kExitRules;
    }
    std::vector<guard_policy> policies(rules.size());
    for (size_t i = 0; i < rules.size(); ++i) {
        if (!compilePolicy(rules[i], policies[i], error)) {
            console.error(error);
            return kExitRules;
        }
    }
    // The mechanism is looked for before the baseline is read.
    std::unique_ptr<GuardKernel> kernel = GuardKernel::load(error);
    if (!kernel) {
        console.error(error);
        return kExitUnsupported;
    }
    if (!session.hasBaseline()) {
        console.error("there is no baseline in '" + session.dbPath() + "'; run 'qvim init' first");
        return kExitUsage;
    }
    GuardTargets targets;
    if (!collectTargets(rules, engineBaselineRows(session.engine(), parentFolder(session.dbPath())), targets, error)) {
        console.error(error);
        return kExitFailure;
    }
    if (!kernel->configure(options.audit, policies, targets, error)) {
        console.error(error);
        return kExitFailure;
    }
    installStopHandlers();
    if (!kernel->attach(error)) {
        console.error(error);
        return kExitUnsupported;
    }
    console.note(std::string(options.audit ? "Auditing " : "Guarding ") +
                 plural(targets.count(GUARD_ENTRY), "entry", "entries") + " and new entries in " +
                 plural(targets.count(GUARD_FOLDER), "folder", "folders") + " for " +
                 plural(rules.size(), "rule", "rules") + "; Ctrl-C stops.");

    // What is created or moved in while the guard runs is protected from then on.
    auto protect = [&kernel](const GuardTargets::Key& key, const guard_target& target) {
        return !kernel || kernel->protect(key, target);
    };
    GuardFeeder feeder(session.engine(), targets, protect, console, printer, session.logPath(), ruleset.md5Watched,
                       options.maxHashSize);
    const auto decide = [&](const guard_event& event) { feeder.decide(event, monotonicSeconds()); };
    uint64_t lostReported = 0;
    const auto reportLost = [&] {
        const uint64_t lost = kernel->lost();
        if (lost > lostReported)
            console.error("the kernel had no room to report " + plural(lost - lostReported, "decision", "decisions") +
                          " (they were applied); their events are missing");
        lostReported = std::max(lost, lostReported);
    };
    bool unreadable = false;
    while (!stopRequested()) {
        const int due = feeder.nextDueMs(monotonicSeconds());
        struct pollfd wait = {kernel->pollFd(), POLLIN, 0};
        const int ready = ::poll(&wait, 1, due < 0 || due > kStopCheckMs ? kStopCheckMs : due);
        if (ready < 0 && errno != EINTR) {
            console.error("cannot wait for the kernel's decisions: " + errorText(errno));
            unreadable = true;
            break;
        }
        if (!kernel->consume(decide)) {
            console.error("cannot read the kernel's decisions");
            unreadable = true;
            break;
        }
        feeder.reportSettled(monotonicSeconds());
        reportLost();
    }
    kernel->consume(decide);
    reportLost();
    // Protection ends here, with the programs' links; what went through is still told.
    kernel.reset();
    feeder.reportSettled(monotonicSeconds(), true);
    const GuardCounters& counts = feeder.counters();
    console.note("Stopped. " + plural(counts.decisions, "decision", "decisions") + ", " +
                 std::to_string(counts.refused) + (options.audit ? " would have been refused" : " refused") + ", " +
                 plural(counts.disagreements, "disagreement", "disagreements") + " with the engine, " +
                 std::to_string(lostReported) + " not reported.");
    const bool failed = unreadable || counts.failures > 0 || counts.disagreements > 0 || lostReported > 0;
    return failed ? kExitFailure : kExitOk;
}

}  // namespace qvimcli
