// The run every command shares: input checked before the database is touched,
// the baseline's seal verified, the session started, the evidence journal
// opened, the command run, the seal closed and the report's footer printed.
#include "Commands.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Journal.h"
#include "Seal.h"
#include "Text.h"

namespace qvimcli {
namespace {

std::atomic<bool> g_stop{false};

extern "C" void onStopSignal(int) { g_stop.store(true); }

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
    if (check.verdict == SealVerdict::Failed) check = checkSeal(session.dbPath(), seal.key(), session.baselineFd());
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

std::string secondsText(double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string rulesetRefusedMessage(const std::string& source, const EngineResult& status, const Session& session) {
    return "the engine refused the ruleset from " + source + ": " + status.text() + " (details in " +
           session.logPath() + ")";
}

// Records an accepted baseline's digest in the journal too, so that it leaves
// the host with the events.
void journalAccepted(EventJournal* journal, const std::string& digest, const SealKey* key, Console& console) {
    std::string error;
    if (journal != nullptr && !(journal->appendLine(sealJournalLine(digest, key != nullptr)) && journal->sync(error)))
        console.warning("the accepted baseline's digest is not in the evidence journal: " + error);
}

std::string databasePathOf(const Options& options) {
    return options.db.empty() ? defaultDatabasePath() : options.db;
}

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
    // Commits in the log are judged without opening the file too.
    if ((use.verifies || use.writes) &&
        (baselineAtRest(databasePathOf(options)) || logHoldsFrames(databasePathOf(options)))) {
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
