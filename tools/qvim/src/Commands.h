// The qvim commands. Each returns the program's exit status.
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
int runDemo(const Options& options, Console& console, EventPrinter& printer);
// "qvim rules check FILE": the problems of the file, one a line, and a count.
int runRulesCheck(const Options& options, Console& console, EventPrinter& printer);

// The metrics document as readable lines; brief leaves out the settings.
std::vector<std::string> formatMetrics(const cJSON* document, bool brief);

// Installs the ruleset the last init recorded; on failure tells the user why.
bool installRecordedRuleset(Session& session, Console& console, Ruleset& ruleset);

// "530 files, 120 directories, ..." from the metrics' row counts.
std::string baselineCounts(Engine& engine);

// SIGINT and SIGTERM ask a running init or check to stop at the next file.
void installStopHandlers();
bool stopRequested();

}  // namespace qvimcli
