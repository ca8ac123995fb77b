// The qvim commands, one a file, and what their runs share. Each returns the
// program's exit status.
#pragma once

#include <string>
#include <vector>

#include "Cli.h"
#include "Journal.h"
#include "Output.h"
#include "Rules.h"
#include "Seal.h"
#include "Session.h"

namespace qvimcli {

// Runs the command the options name (help and version included).
int runCommand(const Options& options, Console& console, EventPrinter& printer);

// The commands that work on a started engine; the demo chains them.
int runInit(const Options& options, Session& session, const Ruleset& ruleset, Console& console,
            EventPrinter& printer);
// Reports changes (check); with options.accept the session's working copy
// then replaces the baseline (update). Events go to the journal when one is
// given. frame: the report the caller frames (its header is printed here, the
// footer is the caller's); without one the check prints both.
int runCheck(const Options& options, Session& session, Console& console, EventPrinter& printer,
             EventJournal* journal = nullptr, const SealKey* key = nullptr, RunReport* frame = nullptr);
int runWatch(const Options& options, Session& session, Console& console, EventPrinter& printer);
int runGuard(const Options& options, Session& session, Console& console, EventPrinter& printer);
int runMetrics(const Options& options, Session& session, Console& console, EventPrinter& printer, bool brief);
int runExport(const Options& options, Session& session, Console& console, EventPrinter& printer);
int runState(const Options& options, Session& session, Console& console, EventPrinter& printer);
// rules: the ruleset given with --rules; null to use the one recorded.
int runMigrate(const Options& options, Session& session, Console& console, EventPrinter& printer,
               const Ruleset* rules);
int runVerify(const Options& options, const SealKey* key, Console& console, EventPrinter& printer);
int runEvents(const Options& options, Console& console, EventPrinter& printer);
int runDemo(const Options& options, Console& console, EventPrinter& printer);
// "qvim rules check FILE": the problems of the file, one a line, and a count.
int runRulesCheck(const Options& options, Console& console, EventPrinter& printer);

// The metrics document as readable lines; brief leaves out the settings.
std::vector<std::string> formatMetrics(const cJSON* document, bool brief);

// Installs the ruleset the last init recorded; on failure tells the user why.
bool installRecordedRuleset(Session& session, Console& console, Ruleset& ruleset);

// "530 files, 120 directories, ..." from the metrics' row counts.
std::string baselineCounts(Engine& engine);

// --db, or the default database.
std::string databasePathOf(const Options& options);
// "1.5 s".
std::string secondsText(double seconds);
std::string rulesetRefusedMessage(const std::string& source, const EngineResult& status, const Session& session);
// Records an accepted baseline's digest in the journal too, so that it leaves
// the host with the events.
void journalAccepted(EventJournal* journal, const std::string& digest, const SealKey* key, Console& console);

// SIGINT and SIGTERM ask a running init or check to stop at the next file.
void installStopHandlers();
bool stopRequested();

}  // namespace qvimcli
