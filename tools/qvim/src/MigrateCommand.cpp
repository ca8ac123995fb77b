// qvim migrate: a baseline built from an older database.
#include "Commands.h"

#include "Text.h"

namespace qvimcli {

int runMigrate(const Options& options, Session& session, Console& console, EventPrinter& printer,
               const Ruleset* rules) {
    Ruleset ruleset;
    std::string error;
    if (rules != nullptr) {
        ruleset = *rules;
        const EngineResult installed = session.engine().setRuleset(false, ruleset.text, ruleset.id);
        if (!installed.ok()) {
            console.error(rulesetRefusedMessage("'" + options.rules + "'", installed, session));
            return kExitUsage;
        }
    } else if (!session.reinstallRuleset(ruleset, error)) {
        console.error(error + " (or pass the ruleset with --rules FILE)");
        return kExitUsage;
    }
    if (!session.beginBaseline(error)) {
        console.error(error);
        return kExitFailure;
    }
    const double started = monotonicSeconds();
    const EngineResult status = session.engine().migrate(options.oldDb);
    if (!status.ok()) {
        console.error("the migration of '" + options.oldDb + "' failed: " + status.text() + " (details in " +
                      session.logPath() + "); the baseline holds what was moved before the failure, " +
                      "run 'qvim init' to build a fresh one");
        return kExitFailure;
    }
    if (!session.finishBaseline(ruleset, std::string(), error)) {
        console.error(error + "; run 'qvim migrate' again");
        return kExitFailure;
    }
    printer.line("Migrated '" + options.oldDb + "' in " + secondsText(monotonicSeconds() - started) + ": " +
                 baselineCounts(session.engine()));
    return kExitOk;
}

}  // namespace qvimcli
