#include "Commands.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Baseline.h"
#include "Journal.h"
#include "SafeFiles.h"
#include "Scan.h"
#include "Seal.h"
#include "Text.h"

namespace qvimcli {
namespace {

std::atomic<bool> g_stop{false};

extern "C" void onStopSignal(int) { g_stop.store(true); }

std::string numberText(const cJSON* item) {
    char text[64];
    const double value = item->valuedouble;
    if (std::floor(value) == value && std::fabs(value) < 1e18)
        snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    else
        snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string valueText(const cJSON* item) {
    if (cJSON_IsNumber(item)) return numberText(item);
    if (cJSON_IsString(item)) return item->valuestring;
    return std::string();
}

std::string row(const std::string& name, const std::string& value) {
    const size_t width = 34;
    return "  " + name + std::string(name.size() < width ? width - name.size() : 1, ' ') + value;
}

std::string secondsText(double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

JsonPtr metricsDocument() {
    char* text = nullptr;
    if (get_metrics_mem(&text) != QVIM_OK || text == nullptr) return JsonPtr();
    JsonPtr document(cJSON_Parse(text));
    free_json_string(text);
    return document;
}

std::string rulesetRefusedMessage(const std::string& source, qvim_status status, const Session& session) {
    return "the engine refused the ruleset from " + source + ": " + statusText(status) + " (details in " +
           session.logPath() + ")";
}

// Records an accepted baseline's digest in the journal too, so that it leaves
// the host with the events.
void journalAccepted(EventJournal* journal, const std::string& digest, const SealKey* key, Console& console) {
    std::string error;
    if (journal != nullptr && !(journal->appendLine(sealJournalLine(digest, key != nullptr)) && journal->sync(error)))
        console.warning("the accepted baseline's digest is not in the evidence journal: " + error);
}

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

// Events read back from the journal, oldest first.
int runEvents(const Options& options, Console& console, EventPrinter& printer) {
    const std::string db = options.db.empty() ? defaultDatabasePath() : options.db;
    size_t skipped = 0;
    size_t notEvents = 0;
    size_t shown = 0;
    std::string error;
    const bool read = readJournal(
        db,
        [&](const std::string& line) {
            JsonPtr event(cJSON_Parse(line.c_str()));
            if (!cJSON_IsObject(event.get())) {
                ++notEvents;
                return;
            }
            // The digests of accepted baselines travel with the events.
            const cJSON* accepted = cJSON_GetObjectItemCaseSensitive(event.get(), "baselineAccepted");
            if (cJSON_IsObject(accepted)) {
                const cJSON* digest = cJSON_GetObjectItemCaseSensitive(accepted, "sha256");
                const cJSON* when = cJSON_GetObjectItemCaseSensitive(accepted, "time");
                uint64_t at = 0;
                if (options.since > 0 && !(cJSON_IsString(when) && parseTimeText(when->valuestring, at) &&
                                           at >= options.since))
                    return;
                if (printer.json())
                    printer.rawLine(line);
                else if (cJSON_IsString(digest) && cJSON_IsString(when))
                    printer.line("Baseline accepted " + printable(when->valuestring) + ": sha256:" +
                                 printable(digest->valuestring));
                return;
            }
            const cJSON* time = cJSON_GetObjectItemCaseSensitive(event.get(), "eventTime");
            if (options.since > 0 && (!cJSON_IsNumber(time) || time->valuedouble < static_cast<double>(options.since)))
                return;
            printer.printEvent(event.get());
            ++shown;
        },
        skipped, error);
    if (!read) {
        console.error("cannot read the evidence journal beside '" + db + "': " + error);
        return kExitFailure;
    }
    if (skipped + notEvents > 0)
        console.warning(std::to_string(skipped + notEvents) +
                        " lines of the journal are not events (too long, cut short by a crash, or not JSON)");
    if (shown == 0 && !printer.json()) printer.line("No events.");
    return kExitOk;
}

int runExport(const Options& options, Session& session, Console& console, EventPrinter& printer) {
    Ruleset ruleset;
    if (!installRecordedRuleset(session, console, ruleset)) return kExitUsage;
    const bool toStandardOutput = options.out == "-";
    // An existing file is replaced whole once the export is complete: a failed
    // export leaves it as it was, and a link in its place is never followed.
    ReplacingFile file;
    std::string error;
    if (!toStandardOutput && !file.open(options.out, error)) {
        console.error("cannot write '" + options.out + "': " + error + "; choose another file with --out");
        return kExitFailure;
    }
    FILE* out = file.stream();
    uint64_t rows = 0;
    const bool ok = forEachBaselineRow(
        options.kind, options.since, parentFolder(session.dbPath()),
        [&](const std::string& line, const cJSON*) {
            if (out != nullptr) {
                fputs(line.c_str(), out);
                fputc('\n', out);
            } else {
                printer.rawLine(line);
            }
            ++rows;
            return true;
        },
        error);
    if (!ok) {
        console.error(error);
        return kExitFailure;
    }
    if (out != nullptr && !file.commit(error)) {
        console.error("could not write all of '" + options.out + "': " + error);
        return kExitFailure;
    }
    if (!toStandardOutput)
        console.note("Exported " + std::to_string(rows) + (rows == 1 ? " entity" : " entities") + " to " +
                     options.out);
    return kExitOk;
}

int runState(const Options& options, Session& session, Console& console, EventPrinter& printer) {
    bool found = false;
    const std::string value = session.setting(options.stateName.c_str(), &found);
    if (!found) {
        console.error("there is no setting named '" + options.stateName +
                      "'; 'qvim metrics' lists the settings under Settings");
        return kExitUsage;
    }
    if (options.stateAction == "get") {
        printer.line(value);
        return kExitOk;
    }
    if (!session.setSetting(options.stateName.c_str(), options.stateValue)) {
        console.error("could not write the setting '" + options.stateName + "' (details in " + session.logPath() +
                      ")");
        return kExitFailure;
    }
    return kExitOk;
}

int runMigrate(const Options& options, Session& session, Console& console, EventPrinter& printer,
               const Ruleset* rules) {
    Ruleset ruleset;
    std::string error;
    if (rules != nullptr) {
        ruleset = *rules;
        const qvim_status installed = set_ruleset(false, ruleset.text.c_str(), ruleset.id.c_str());
        if (installed != QVIM_OK) {
            console.error(rulesetRefusedMessage("'" + options.rules + "'", installed, session));
            return kExitUsage;
        }
    } else if (!session.reinstallRuleset(ruleset, error)) {
        console.error(error + " (or pass the ruleset with --rules FILE)");
        return kExitUsage;
    }
    session.setSetting("buildingBaseline", "1");
    const double started = monotonicSeconds();
    const qvim_status status = migrate_baseline(options.oldDb.c_str());
    if (status != QVIM_OK) {
        console.error("the migration of '" + options.oldDb + "' failed: " + statusText(status) + " (details in " +
                      session.logPath() + "); the baseline holds what was moved before the failure, " +
                      "run 'qvim init' to build a fresh one");
        return kExitFailure;
    }
    session.recordRuleset(ruleset);
    session.setSetting("baselineExists", "1");
    session.setSetting("buildingBaseline", "0");
    session.setSetting("baselineScanTime", std::to_string(nowMillis()));
    printer.line("Migrated '" + options.oldDb + "' in " + secondsText(monotonicSeconds() - started) + ": " +
                 baselineCounts());
    return kExitOk;
}

// What a command does with the baseline's seal.
struct SealUse {
    bool verifies;  // refuses a baseline that is not the one last accepted
    bool writes;    // records the digest it leaves
};

SealUse sealUse(const Options& options) {
    switch (options.command) {
        // init is how a refused baseline is rebuilt: it warns instead.
        case Command::Init: return {false, true};
        // check and update scan a copy; update's accept seals the copy it moves in place.
        case Command::Check:
        case Command::Update: return {true, false};
        case Command::Watch:
        case Command::Guard:
        case Command::Migrate: return {true, true};
        case Command::State: return {options.stateAction == "set", options.stateAction == "set"};
        default: return {false, false};
    }
}

std::string signedText(const SealCheck& check, const SealKey* key) {
    if (!check.seal.isSigned) return "not signed";
    return key != nullptr ? "signature checked" : "signed, signature not checked (no --key)";
}

std::string databasePathOf(const Options& options) {
    return options.db.empty() ? defaultDatabasePath() : options.db;
}

int runVerify(const Options& options, const SealKey* key, Console& console, EventPrinter& printer) {
    const std::string dbPath = databasePathOf(options);
    const SealCheck check = checkSeal(dbPath, key);
    for (const std::string& warning : check.warnings) console.warning(warning);
    if (!check.digest.empty()) printer.line("Baseline '" + printable(dbPath) + "': sha256:" + check.digest);
    switch (check.verdict) {
        case SealVerdict::Valid:
            printer.line("Sealed " + check.seal.time + " (" + signedText(check, key) +
                         "): the baseline is the one last accepted.");
            return kExitOk;
        case SealVerdict::Unsealed: console.warning("WARNING: " + check.message); return kExitOk;
        case SealVerdict::Tampered: console.error(check.message); return kExitTampered;
        case SealVerdict::InUse: console.error(check.message + "; verify it again when that run has ended"); return kExitFailure;
        default: console.error(check.message); return kExitFailure;
    }
}

int refuseTampered(const SealCheck& check, Console& console) {
    console.error(check.message + "; refusing it ('qvim verify' checks it again, 'qvim init' rebuilds it)");
    return kExitTampered;
}

// Verifies the baseline before a command uses it and, for one that writes,
// names it as the writer in the seal. check is the verdict taken before the
// engine opened the baseline (Failed when it could not be taken then). kExitOk
// to go on.
int openSeal(const Options& options, Session& session, InPlaceSeal& seal, SealCheck check, Console& console,
             std::string& startDigest) {
    const SealUse use = sealUse(options);
    if (!use.verifies && !use.writes) return kExitOk;
    // Opening rolls back what a crash left unfinished; only then can the digest be taken.
    if (check.verdict == SealVerdict::Failed) check = checkSeal(session.dbPath(), seal.key());
    for (const std::string& warning : check.warnings) console.warning(warning);
    const bool hadBaseline = session.setting("baselineExists") == "1";
    std::string digest = check.digest;
    switch (check.verdict) {
        case SealVerdict::Valid: break;
        // A check reads a copy beside a running watch; nothing else may write meanwhile.
        case SealVerdict::InUse:
            if (use.writes || options.accept) {
                console.error(check.message + "; run this again when it has ended");
                return kExitFailure;
            }
            console.warning(check.message + "; the baseline's digest is not checked this time");
            break;
        case SealVerdict::Unsealed:
            if (hadBaseline) console.warning("WARNING: " + check.message);
            break;
        case SealVerdict::Tampered:
            if (use.verifies) return refuseTampered(check, console);
            if (hadBaseline) console.warning("WARNING: " + check.message + "; init rebuilds it and seals it anew");
            digest.clear();
            break;
        default: console.error(check.message); return kExitFailure;
    }
    startDigest = digest;
    // A run without the key would replace a signed seal by an unsigned one.
    if ((use.writes || options.accept) && check.seal.isSigned && seal.key() == nullptr) {
        console.error("the baseline's seal is signed: pass its key with --key FILE (or remove '" +
                      sealPathFor(session.dbPath()) + "' to start over without one)");
        return kExitUsage;
    }
    std::string error;
    if (use.writes && !seal.begin(writerName(commandName(options.command)), digest, error)) {
        console.error(error);
        return kExitFailure;
    }
    return kExitOk;
}

// Records the digest a writing command left, once the engine has closed the baseline.
int closeSeal(const Options& options, InPlaceSeal& seal, int status, Console& console, EventJournal* journal,
              std::string& digest) {
    digest.clear();
    if (!sealUse(options).writes) return status;
    std::string error;
    if (!seal.finish(digest, error)) {
        console.error(error + "; the next check refuses the baseline until 'qvim init' seals it again");
        return status == kExitOk || changesFound(status) ? kExitFailure : status;
    }
    console.note("Baseline sealed: sha256:" + digest + (seal.key() != nullptr ? " (signed)" : ""));
    journalAccepted(journal, digest, seal.key(), console);
    return status;
}

int runOnBaseline(const Options& options, Session& session, const Ruleset& rules, bool needsRules, Console& console,
                  EventPrinter& printer) {
    switch (options.command) {
        case Command::Init:
            installStopHandlers();
            return runInit(options, session, rules, console, printer);
        case Command::Watch: return runWatch(options, session, console, printer);
        case Command::Guard: return runGuard(options, session, console, printer);
        case Command::Export: return runExport(options, session, console, printer);
        case Command::Metrics: return runMetrics(options, session, console, printer, false);
        case Command::State: return runState(options, session, console, printer);
        case Command::Migrate: return runMigrate(options, session, console, printer, needsRules ? &rules : nullptr);
        default: return kExitUsage;
    }
}

}  // namespace

namespace {

// Loads a rules file after checking it; its problems are shown. False with
// error empty when the file is invalid, with error set when it is unreadable.
bool loadRulesChecked(const std::string& path, Ruleset& rules, Console& console, std::string& error) {
    std::vector<RuleProblem> problems;
    bool invalid = false;
    const bool loaded = loadRulesetFile(path, rules, error, &problems, &invalid);
    for (const RuleProblem& problem : problems) {
        if (problem.error)
            console.error(problem.text(path));
        else
            console.warning(problem.text(path));
    }
    if (loaded) return true;
    console.error(error);
    if (invalid) error.clear();
    return false;
}

}  // namespace

bool installRecordedRuleset(Session& session, Console& console, Ruleset& ruleset) {
    std::string error;
    if (session.reinstallRuleset(ruleset, error)) return true;
    console.error(error);
    return false;
}

void installStopHandlers() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stopRequested() { return g_stop.load(); }

std::vector<std::string> formatMetrics(const cJSON* document, bool brief) {
    static const struct {
        const char* member;
        const char* title;
    } kSections[] = {{"assignedRules", "Events per rule"},
                     {"unassignedRules", "Events per rule no longer installed"},
                     {"dbinfo", "Database"},
                     {"integrityMonitorState", "Settings"}};
    std::vector<std::string> lines;
    const cJSON* metrics = cJSON_GetObjectItemCaseSensitive(document, "metrics");
    if (!cJSON_IsObject(metrics)) return lines;
    lines.push_back("Counters");
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, metrics) {
        if (cJSON_IsNumber(item)) lines.push_back(row(item->string, numberText(item)));
    }
    for (const auto& section : kSections) {
        if (brief && strcmp(section.member, "integrityMonitorState") == 0) continue;
        const cJSON* object = cJSON_GetObjectItemCaseSensitive(metrics, section.member);
        if (!cJSON_IsObject(object) || object->child == nullptr) continue;
        lines.push_back(section.title);
        cJSON_ArrayForEach(item, object) { lines.push_back(row(item->string, valueText(item))); }
    }
    return lines;
}

std::string baselineCounts() {
    static const struct {
        const char* member;
        const char* one;
        const char* many;
    } kCounts[] = {{"fileItemCount", "file", "files"},
                   {"directoryItemCount", "directory", "directories"},
                   {"userItemCount", "user", "users"},
                   {"userGroupItemCount", "group", "groups"},
                   {"portItemCount", "port", "ports"},
                   {"installedSoftwareItemCount", "package", "packages"},
                   {"processItemCount", "process", "processes"}};
    JsonPtr document = metricsDocument();
    const cJSON* dbinfo =
        cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(document.get(), "metrics"), "dbinfo");
    std::string text;
    for (const auto& count : kCounts) {
        const cJSON* item = cJSON_GetObjectItemCaseSensitive(dbinfo, count.member);
        if (!cJSON_IsNumber(item) || item->valuedouble <= 0) continue;
        if (!text.empty()) text += ", ";
        text += numberText(item) + " " + (item->valuedouble == 1 ? count.one : count.many);
    }
    return text.empty() ? std::string("no entities") : text;
}

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
    const qvim_status installed = set_ruleset(partial, ruleset.text.c_str(), ruleset.id.c_str());
    if (installed != QVIM_OK) {
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
    if (!session.setSetting("buildingBaseline", "1")) {
        console.error("cannot write to the database '" + session.dbPath() + "' (details in " + session.logPath() +
                      ")");
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
    session.recordRuleset(ruleset);
    const bool recorded = session.setSetting("baselineExists", "1") &&
                          session.setSetting("baselineScanTime", std::to_string(nowMillis())) &&
                          session.setSetting("baselineItemsVisited", std::to_string(result.files + result.packages)) &&
                          session.setSetting("buildingBaseline", "0");
    if (!recorded) {
        console.error("cannot record the finished baseline in '" + session.dbPath() + "' (details in " +
                      session.logPath() + "); run 'qvim init' again");
        return kExitFailure;
    }
    printer.line(std::string(partial ? "Baseline updated" : "Baseline built") + " in " +
                 secondsText(monotonicSeconds() - started) + ": " + baselineCounts() + ".");
    return kExitOk;
}

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

int runMetrics(const Options& options, Session& session, Console& console, EventPrinter& printer, bool brief) {
    char* text = nullptr;
    const qvim_status status = get_metrics_mem(&text);
    if (status != QVIM_OK || text == nullptr) {
        console.error("the engine gave no metrics: " + statusText(status) + " (details in " + session.logPath() + ")");
        return kExitFailure;
    }
    if (options.json) {
        printer.rawLine(text);
    } else {
        JsonPtr document(cJSON_Parse(text));
        for (const std::string& line : formatMetrics(document.get(), brief)) printer.line(line);
    }
    free_json_string(text);
    return kExitOk;
}

int runCommand(const Options& options, Console& console, EventPrinter& printer) {
    if (options.help) {
        printer.line(helpText(options.helpFor));
        return kExitOk;
    }
    if (options.command == Command::Version) {
        printer.line(versionText());
        return kExitOk;
    }
    if (options.command == Command::Demo) return runDemo(options, console, printer);

    if (options.command == Command::Rules) return runRulesCheck(options, console, printer);

    // Input is checked before the database is touched.
    SealKey key;
    std::string error;
    if (!options.keyFile.empty() && !loadSealKey(options.keyFile, key, error)) {
        console.error(error);
        return kExitUsage;
    }
    const SealKey* sealKey = options.keyFile.empty() ? nullptr : &key;
    if (options.command == Command::Verify) return runVerify(options, sealKey, console, printer);
    Ruleset rules;
    const bool needsRules = options.command == Command::Init || !options.rules.empty();
    if (needsRules && !loadRulesChecked(options.rules, rules, console, error))
        return error.empty() ? kExitRules : kExitUsage;
    if (options.command == Command::Migrate && access(options.oldDb.c_str(), R_OK) != 0) {
        console.error("cannot read the old database '" + options.oldDb + "': " + errorText(errno));
        return kExitUsage;
    }

    if (options.command == Command::Events) return runEvents(options, console, printer);

    // A changed baseline is refused before the engine opens it: what it holds
    // is not to be trusted, not even its header.
    SealCheck sealed;
    const SealUse use = sealUse(options);
    if ((use.verifies || use.writes) && baselineAtRest(databasePathOf(options))) {
        sealed = checkSeal(databasePathOf(options), sealKey);
        if (sealed.verdict == SealVerdict::Tampered && use.verifies) return refuseTampered(sealed, console);
    }
    // Check and update scan a working copy: the baseline changes only by an
    // update's rename.
    const bool scansCopy = options.command == Command::Check || options.command == Command::Update;
    int status = kExitFailure;
    std::unique_ptr<Session> session = Session::start(options, std::string(), error, status,
                                                      !scansCopy        ? DatabaseUse::Direct
                                                      : options.accept ? DatabaseUse::CopyToAccept
                                                                       : DatabaseUse::Copy);
    if (!session) {
        console.error(error);
        return status;
    }
    InPlaceSeal seal(session->dbPath(), sealKey);
    RunReport report = startReport(commandName(options.command), session->dbPath());
    status = openSeal(options, *session, seal, sealed, console, report.digest);
    if (status != kExitOk) return status;
    // What check, update, watch and guard report is evidence: it goes to the journal.
    const bool realTime = options.command == Command::Watch || options.command == Command::Guard;
    EventJournal journal;
    if (scansCopy || realTime) {
        if (!journal.open(session->dbPath(), error)) {
            console.error("cannot open the evidence journal '" + journal.path() + "': " + error);
            return kExitFailure;
        }
        std::atomic<bool> warned{false};
        const auto failed = [&] {
            if (!warned.exchange(true))
                console.error("cannot write the evidence journal '" + journal.path() + "'; the run will fail");
        };
        printer.setRecorder([&](const cJSON* event) {
            if (!journal.append(event)) failed();
        });
        // The real-time commands accept each change as the engine reports it:
        // its line is durable before the event goes anywhere.
        if (realTime)
            printer.setCommit([&] {
                std::string ignored;
                if (!journal.sync(ignored)) failed();
            });
        if (scansCopy) installStopHandlers();
        status = scansCopy ? runCheck(options, *session, console, printer, &journal, sealKey, &report)
                           : runOnBaseline(options, *session, rules, needsRules, console, printer);
        printer.setRecorder(nullptr);
        printer.setCommit(nullptr);
        if (journal.failed() && status != kExitInterrupted) status = kExitFailure;
    } else {
        status = runOnBaseline(options, *session, rules, needsRules, console, printer);
    }
    session.reset();  // the digest is of the file at rest
    std::string sealedDigest;
    status = closeSeal(options, seal, status, console, realTime ? &journal : nullptr, sealedDigest);
    // The footer names the digest the run left, once it is sealed.
    if (!sealedDigest.empty()) report.digest = sealedDigest;
    if (report.headerShown) printer.reportFooter(report, options.verbosity, console);
    return status;
}

}  // namespace qvimcli
