// qvim check and update: the changes since the baseline, and their acceptance.
#include "Commands.h"

#include "Scan.h"
#include "Text.h"

namespace qvimcli {
namespace {

// The one way a scan's changes become the baseline: the working copy the scan
// wrote replaces it in a single rename, after the events are in the journal
// and the copy's digest is pending in the seal. A crash before the rename
// leaves the old baseline, after it the new one; both verify.
bool acceptBaseline(Session& session, EventJournal* journal, const SealKey* key, RunReport& report,
                    Console& console) {
    session.setSetting("baselineScanTime", std::to_string(nowMillis()));
    // The engine closes the copy: from here on it is complete on disk.
    session.stopEngine();
    std::string digest, error;
    if (!sealNewBaseline(session.dbPath(), session.enginePath(), key, digest, error,
                         [&](std::string& why) { return session.replaceBaseline(why); })) {
        console.error("the changes were not accepted: " + error);
        return false;
    }
    report.digest = digest;
    journalAccepted(journal, digest, key, console);
    return true;
}

}  // namespace

int runCheck(const Options& options, Session& session, Console& console, EventPrinter& printer,
             EventJournal* journal, const SealKey* key, RunReport* frame) {
    Ruleset ruleset;
    if (!installRecordedRuleset(session, console, ruleset)) return kExitUsage;
    bool found = false;
    if (session.setting("buildingBaseline", &found) == "1" || !found) {
        console.error(found ? "the baseline in '" + session.dbPath() +
                                  "' is incomplete (the last init did not finish); run 'qvim init' again"
                            : "cannot read the state of the baseline in '" + session.dbPath() + "' (details in " +
                                  session.logPath() + ")");
        return kExitFailure;
    }
    // Without a frame from the caller (the demo) the check frames its own report.
    RunReport own = startReport("check", session.dbPath());
    RunReport& report = frame != nullptr ? *frame : own;
    printer.reportHeader(report, options.verbosity, console);
    report.headerShown = true;
    session.setSetting("scanningForChanges", "1");
    HostScan scan(session, ruleset, console, printer,
                  ScanSettings{ScanMode::Change, false, options.threads, options.maxHashSize});
    const ScanResult result = scan.run(stopRequested);
    session.setSetting("scanningForChanges", "0");
    if (frame == nullptr) printer.reportFooter(report, options.verbosity, console);
    // What was reported is evidence whatever became of the run.
    std::string error;
    const bool journalled = journal == nullptr || journal->sync(error);
    const std::string nothingAccepted = options.accept ? "; nothing was accepted" : "";
    if (!journalled) console.error("the evidence journal is incomplete: " + error + nothingAccepted);
    if (result.interrupted) {
        console.error("interrupted; removed files were not reported" + nothingAccepted + ", run 'qvim " +
                      (options.accept ? "update" : "check") + "' again");
        return kExitInterrupted;
    }
    if (result.failed) {
        if (options.accept) console.error("the scan failed (see the messages above); nothing was accepted");
        return kExitFailure;
    }
    if (!journalled || (options.accept && !acceptBaseline(session, journal, key, report, console)))
        return kExitFailure;
    return printer.changeStatus();
}

}  // namespace qvimcli
