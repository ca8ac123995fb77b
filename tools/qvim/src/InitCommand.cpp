// qvim init: the baseline of everything the rules watch.
#include "Commands.h"

#include "Scan.h"
#include "Text.h"

namespace qvimcli {

int runInit(const Options& options, Session& session, const Ruleset& ruleset, Console& console,
            EventPrinter& printer) {
    // With a baseline in place the engine compares the new rules with the old
    // ones and rebuilds only what the change touched.
    bool partial = session.hasBaseline();
    if (partial) {
        Ruleset previous;
        std::string ignored;
        partial = session.reinstallRuleset(previous, ignored);
    }
    const EngineResult installed = session.engine().setRuleset(partial, ruleset.text, ruleset.id);
    if (!installed.ok()) {
        console.error(rulesetRefusedMessage("'" + ruleset.id + "'", installed, session));
        return kExitUsage;
    }
    // The engine falls back to a full baseline when it cannot compare.
    partial = partial && session.setting("baselineScanType") == "1";
    if (partial && session.setting("partialBaseLineScanEntityTypes").empty()) {
        session.recordRuleset(ruleset);
        printer.line("The ruleset change does not touch what is watched; the baseline is kept.");
        return kExitOk;
    }
    std::string error;
    if (!session.beginBaseline(error)) {
        console.error(error);
        return kExitFailure;
    }
    const double started = monotonicSeconds();
    HostScan scan(session, ruleset, console, printer,
                  ScanSettings{ScanMode::Baseline, partial, options.threads, options.maxHashSize});
    const ScanResult result = scan.run(stopRequested);
    if (result.interrupted) {
        console.error("interrupted; the baseline is incomplete, run 'qvim init' again");
        return kExitInterrupted;
    }
    // A baseline missing what could not be stored would make the next check
    // report those entities as created: it stays marked as being built.
    if (result.failed) {
        console.error("the baseline is incomplete: some entities could not be stored (see the messages above); "
                      "'qvim check' refuses it until 'qvim init' succeeds");
        return kExitFailure;
    }
    if (!session.finishBaseline(ruleset, std::to_string(result.files + result.packages), error)) {
        console.error(error + "; run 'qvim init' again");
        return kExitFailure;
    }
    printer.line(std::string(partial ? "Baseline updated" : "Baseline built") + " in " +
                 secondsText(monotonicSeconds() - started) + ": " + baselineCounts(session.engine()) + ".");
    return kExitOk;
}

}  // namespace qvimcli
