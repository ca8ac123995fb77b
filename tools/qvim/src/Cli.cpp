#include "Cli.h"

#include "EventSinks.h"
#include "Journal.h"
#include "Rules.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#ifndef QVIM_VERSION
#define QVIM_VERSION "0"
#endif
#ifndef QVIM_RULES_FILE
#define QVIM_RULES_FILE "/etc/qvim/rules.json"
#endif

namespace qvimcli {
namespace {

struct CommandInfo {
    Command command;
    const char* name;
};

const CommandInfo kCommands[] = {
    {Command::Init, "init"},       {Command::Check, "check"},   {Command::Watch, "watch"},
    {Command::Export, "export"},   {Command::Metrics, "metrics"}, {Command::State, "state"},
    {Command::Migrate, "migrate"}, {Command::Demo, "demo"},     {Command::Help, "help"},
    {Command::Version, "version"}, {Command::Verify, "verify"},  {Command::Guard, "guard"},
    {Command::Update, "update"},   {Command::Events, "events"}, {Command::Rules, "rules"},
};

Command commandByName(const std::string& name) {
    for (const CommandInfo& info : kCommands)
        if (name == info.name) return info.command;
    return Command::None;
}

// Which commands accept an option (a bit per Command value).
constexpr unsigned bit(Command c) { return 1u << static_cast<unsigned>(c); }
constexpr unsigned kEngineCommands = bit(Command::Init) | bit(Command::Check) | bit(Command::Watch) |
                                     bit(Command::Export) | bit(Command::Metrics) | bit(Command::State) |
                                     bit(Command::Migrate) | bit(Command::Demo) | bit(Command::Verify) |
                                     bit(Command::Guard) | bit(Command::Update);
// The commands that read or write the baseline's seal.
constexpr unsigned kSealCommands = bit(Command::Init) | bit(Command::Check) | bit(Command::Watch) |
                                   bit(Command::State) | bit(Command::Migrate) | bit(Command::Verify) |
                                   bit(Command::Guard) | bit(Command::Update);
// The commands that report changes.
constexpr unsigned kChangeCommands =
    bit(Command::Check) | bit(Command::Update) | bit(Command::Watch) | bit(Command::Guard);
constexpr unsigned kAll = ~0u;

struct OptionInfo {
    const char* longName;
    char shortName;
    bool takesValue;
    unsigned commands;
    bool optionalValue = false;  // --name or --name=VALUE, never the next argument
};

const OptionInfo kOptions[] = {
    {"help", 'h', false, kAll},
    {"db", 0, true, (kEngineCommands & ~bit(Command::Demo)) | bit(Command::Events)},
    {"log", 0, true, kEngineCommands},
    {"verbose", 'v', false, kEngineCommands},
    {"quiet", 'q', false, kEngineCommands | bit(Command::Events)},
    {"json", 0, false, kChangeCommands | bit(Command::Metrics) | bit(Command::Demo) | bit(Command::Events)},
    {"threads", 0, true, bit(Command::Init) | bit(Command::Check) | bit(Command::Update) | bit(Command::Demo)},
    {"max-hash-size", 0, true, bit(Command::Init) | kChangeCommands | bit(Command::Demo)},
    {"rules", 0, true, bit(Command::Init) | bit(Command::Migrate)},
    {"key", 0, true, kSealCommands},
    {"kind", 0, true, bit(Command::Export)},
    {"since", 0, true, bit(Command::Export) | bit(Command::Events)},
    {"out", 0, true, bit(Command::Export)},
    {"keep", 0, false, bit(Command::Demo)},
    {"format", 0, true, kChangeCommands},
    {"syslog", 0, false, kChangeCommands, true},
    {"journal", 0, false, kChangeCommands},
    {"audit", 0, false, bit(Command::Guard)},
    {"update", 0, false, bit(Command::Check)},
};

const OptionInfo* findLong(const std::string& name) {
    for (const OptionInfo& option : kOptions)
        if (name == option.longName) return &option;
    return nullptr;
}

const OptionInfo* findShort(char name) {
    for (const OptionInfo& option : kOptions)
        if (option.shortName == name) return &option;
    return nullptr;
}

bool parseNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    value = parsed;
    return true;
}

std::string commandPrefix(Command command) {
    return command == Command::None ? std::string("qvim") : std::string("qvim ") + commandName(command);
}

std::string seeHelp(Command command) { return "; see '" + commandPrefix(command) + " --help'"; }

std::string applyOption(const OptionInfo& option, const std::string& value, Options& options) {
    const std::string name = option.longName;
    if (name == "help") {
        options.help = true;
    } else if (name == "db") {
        options.db = value;
    } else if (name == "log") {
        options.logPath = value;
    } else if (name == "verbose") {
        ++options.verbosity;
    } else if (name == "quiet") {
        options.verbosity = -1;
    } else if (name == "json") {
        options.json = true;
    } else if (name == "threads") {
        uint64_t threads = 0;
        if (!parseNumber(value, threads) || threads == 0 || threads > 256)
            return "--threads needs a number from 1 to 256, not '" + value + "'";
        options.threads = static_cast<unsigned>(threads);
    } else if (name == "max-hash-size") {
        if (!parseSize(value, options.maxHashSize))
            return "--max-hash-size needs a size such as 1G, 300M or 0 (no limit), not '" + value + "'";
    } else if (name == "rules") {
        options.rules = value;
    } else if (name == "key") {
        options.keyFile = value;
    } else if (name == "kind") {
        if (!parseKind(value, options.kind))
            return "unknown kind '" + value +
                   "'; use File, Directory, User, Group, Port, InstalledSoftware, Process or All";
    } else if (name == "since" && options.command == Command::Events) {
        if (!parseTimeText(value, options.since))
            return "--since needs a time such as 2026-12-06T01:30:00Z, 2026-12-06 01:30 (local) or seconds "
                   "since 1970, not '" + value + "'";
    } else if (name == "since") {
        if (!parseNumber(value, options.since))
            return "--since needs a time in milliseconds since 1970, not '" + value + "'";
    } else if (name == "out") {
        options.out = value;
    } else if (name == "keep") {
        options.keep = true;
    } else if (name == "format") {
        if (value != "table" && value != "json" && value != "ecs")
            return "--format needs table, json or ecs, not '" + value + "'";
        options.json = value != "table";
        options.ecs = value == "ecs";
    } else if (name == "syslog") {
        options.syslogSocket = value.empty() ? kDefaultSyslogSocket : value;
    } else if (name == "journal") {
        options.journal = true;
    } else if (name == "audit") {
        options.audit = true;
    } else if (name == "update") {
        options.accept = true;
    }
    if (option.takesValue && value.empty()) return std::string("--") + option.longName + " needs a value";
    return std::string();
}

// Positional arguments after the command.
std::string applyPositionals(const std::vector<std::string>& positionals, Options& options) {
    const Command command = options.command;
    const std::string prefix = commandPrefix(command) + ": ";
    switch (command) {
        case Command::Help:
            if (positionals.size() > 1) return prefix + "expects at most one command name";
            if (!positionals.empty()) {
                options.helpFor = commandByName(positionals[0]);
                if (options.helpFor == Command::None) return "qvim: unknown command '" + positionals[0] + "'";
            }
            return std::string();
        case Command::State:
            if (positionals.empty()) return prefix + "expects 'get NAME' or 'set NAME VALUE'" + seeHelp(command);
            options.stateAction = positionals[0];
            if (options.stateAction == "get" && positionals.size() == 2) {
                options.stateName = positionals[1];
                return std::string();
            }
            if (options.stateAction == "set" && positionals.size() == 3) {
                options.stateName = positionals[1];
                options.stateValue = positionals[2];
                return std::string();
            }
            return prefix + "expects 'get NAME' or 'set NAME VALUE'" + seeHelp(command);
        case Command::Rules:
            if (positionals.size() != 2 || positionals[0] != "check")
                return prefix + "expects 'check FILE'" + seeHelp(command);
            options.rules = positionals[1];
            return std::string();
        case Command::Migrate:
            if (positionals.size() != 1) return prefix + "expects the path of the old database" + seeHelp(command);
            options.oldDb = positionals[0];
            return std::string();
        default:
            if (!positionals.empty()) return prefix + "unexpected argument '" + positionals[0] + "'" + seeHelp(command);
            return std::string();
    }
}

std::string checkRequired(Options& options) {
    const std::string prefix = commandPrefix(options.command) + ": ";
    // An installed host has its rules in one known place; without it the user must choose.
    if (options.command == Command::Init && options.rules.empty() && access(QVIM_RULES_FILE, R_OK) == 0)
        options.rules = QVIM_RULES_FILE;
    if (options.command == Command::Init && options.rules.empty())
        return prefix + "needs --rules FILE, the ruleset to install (examples/rules/default.json is a start)";
    if (options.command == Command::Export && options.out.empty())
        return prefix + "needs --out FILE (or --out - for standard output)";
    return std::string();
}

}  // namespace

std::string versionText() { return "qvim " QVIM_VERSION; }

const char* commandName(Command command) {
    for (const CommandInfo& info : kCommands)
        if (info.command == command) return info.name;
    return "";
}

std::string parseArguments(const std::vector<std::string>& args, Options& options) {
    std::vector<std::pair<const OptionInfo*, std::string>> given;
    std::vector<std::string> positionals;
    bool optionsEnded = false;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (options.command == Command::None && !optionsEnded) {
                options.command = commandByName(arg);
                if (options.command == Command::None)
                    return "qvim: unknown command '" + arg + "'; see 'qvim --help'";
            } else {
                positionals.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--version") {
            if (options.command == Command::None) options.command = Command::Version;
            continue;
        }
        if (arg[1] == '-') {
            const size_t equals = arg.find('=');
            const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const OptionInfo* option = findLong(name);
            if (option == nullptr) return "qvim: unknown option '" + arg + "'; see 'qvim --help'";
            std::string value;
            if (option->takesValue) {
                if (equals != std::string::npos) {
                    value = arg.substr(equals + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    return "qvim: " + arg + " needs a value";
                }
            } else if (equals != std::string::npos && option->optionalValue) {
                // "--syslog=$EMPTY" is a mistake, not a wish for the default.
                value = arg.substr(equals + 1);
                if (value.empty()) return "qvim: " + arg + " needs a value after '='";
            } else if (equals != std::string::npos) {
                return "qvim: " + arg.substr(0, equals) + " takes no value";
            }
            given.emplace_back(option, value);
            continue;
        }
        // Bundled short flags: -vv, -qh.
        for (size_t k = 1; k < arg.size(); ++k) {
            const OptionInfo* option = findShort(arg[k]);
            if (option == nullptr) return "qvim: unknown option '-" + std::string(1, arg[k]) + "'; see 'qvim --help'";
            given.emplace_back(option, std::string());
        }
    }

    if (options.command == Command::Help) options.help = true;
    if (options.command == Command::Update) options.accept = true;
    for (const auto& [option, value] : given) {
        const unsigned commandBit = options.command == Command::None ? kAll : bit(options.command);
        if ((option->commands & commandBit) == 0)
            return commandPrefix(options.command) + ": option --" + option->longName + " does not apply" +
                   seeHelp(options.command);
        std::string error = applyOption(*option, value, options);
        if (!error.empty()) return commandPrefix(options.command) + ": " + error;
    }
    std::string error = applyPositionals(positionals, options);
    if (!error.empty()) return error;
    if (options.help) {
        if (options.command != Command::Help) options.helpFor = options.command;
        return std::string();
    }
    if (options.command == Command::None) return "qvim: no command given; see 'qvim --help'";
    return checkRequired(options);
}

std::string helpText(Command command) {
    static const char kCommon[] =
        "Options for every command that opens a baseline:\n"
        "  --db FILE      baseline database (default /var/lib/qvim/im.db for root,\n"
        "                 $XDG_STATE_HOME/qvim/im.db or ~/.local/state/qvim/im.db otherwise)\n"
        "  --log FILE     engine log (default qvim.log beside the database; '-' for standard error)\n"
        "                 a regular file of this user, made 0600 if missing; a link at FILE is refused\n"
        "  -v, --verbose  more log detail: -v adds notices, -vv traces and engine diagnostics;\n"
        "                 whole digests in the table\n"
        "  -q, --quiet    only errors on standard error, no progress; check prints only\n"
        "                 the changes, and nothing when nothing changed\n"
        "  -h, --help     this help\n";
    static const char kHashLimit[] =
        "  --max-hash-size SIZE  files larger than SIZE (default 1G; K, M, G, T; 0: no\n"
        "                 limit) are recorded with their attributes only, noted as not hashed\n";
    static const char kDestinations[] =
        "  --format FORMAT  table (the default), json (as --json), or ecs: one\n"
        "                 Elastic Common Schema document per line\n"
        "  --syslog[=SOCKET]  also send each event to syslog, as one RFC 5424 message\n"
        "                 with structured data (default socket /dev/log)\n"
        "  --journal      also send each event to the systemd journal, one field per\n"
        "                 member\n";
    static const char kStatus[] =
        "Exit status: 0 nothing changed; changes add up: 1 added, 2 removed, 4 changed\n"
        "or renamed (any sum of these, up to 7); failures: 14 the run failed\n"
        "(database, engine, file system or an event destination), 15 bad command line or\n"
        "input, 17 invalid rules, 19 the baseline is not the one last accepted, 20 the\n"
        "kernel lacks what the command needs, 130 interrupted.\n";
    static const char kKey[] =
        "  --key FILE     sign the baseline's seal with HMAC-SHA256 under this key and\n"
        "                 refuse a seal without a matching signature; FILE is a regular\n"
        "                 file (no link) of root or this user, mode 0600 or 0400, 16 bytes\n"
        "                 to 64 KiB (head -c 32 /dev/urandom >FILE)\n";
    std::string text;
    switch (command) {
        case Command::Init:
            text =
                "Usage: qvim init [--rules FILE] [--db FILE] [--threads N] [--max-hash-size SIZE]\n"
                "                 [--key FILE]\n\n"
                "Installs the ruleset in FILE and builds the baseline: the engine scans the\n"
                "directories, users, groups, ports, packages and processes the rules watch, and\n"
                "qvim walks and hashes (SHA-256, SHA-1, and MD5 where a rule watches \"md5\") the\n"
                "regular files under the rules' bases. Running init again with a changed ruleset\n"
                "rebuilds only what the change touched. Files that cannot be read are stored with\n"
                "their attributes only.\n\n"
                "  --rules FILE   the ruleset (JSON, see qvim-rules(5)), a regular file of at\n"
                "                 most 16 MiB, not a symbolic link; without it\n"
                "                 " QVIM_RULES_FILE " when that file is readable\n"
                "  --threads N    hashing threads (default one per processor)\n";
            text += kHashLimit;
            text += kKey;
            break;
        case Command::Check:
            text =
                "Usage: qvim check [--json | --format FORMAT] [--syslog[=SOCKET]] [--journal]\n"
                "                  [--db FILE] [--threads N] [--max-hash-size SIZE] [--key FILE]\n\n"
                "Compares the host with the baseline and prints every change: a table on a\n"
                "terminal, or one JSON event per line with --json. The baseline is left as it\n"
                "was (the scan runs on a working copy), so a second check reports the same\n"
                "changes again; 'qvim update' accepts them. Each change is also appended to the\n"
                "evidence journal (see 'qvim events'). A baseline whose digest is not the one\n"
                "recorded in its seal is refused (exit status 19) before anything is scanned.\n"
                "The table has a header (host, start time, database, baseline digest) and a\n"
                "footer (counts by operation, end time, duration, digest); times are local\n"
                "ISO 8601 with the offset from UTC.\n\n"
                "  --update       accept the changes, as 'qvim update' does\n"
                "  --json         one event object per line, nothing else (under -v the header\n"
                "                 and footer go to standard error)\n"
                "  --threads N    hashing threads (default one per processor)\n";
            text += kDestinations;
            text += kHashLimit;
            text += kKey;
            break;
        case Command::Update:
            text =
                "Usage: qvim update [--json | --format FORMAT] [--syslog[=SOCKET]] [--journal]\n"
                "                   [--db FILE] [--threads N] [--max-hash-size SIZE] [--key FILE]\n\n"
                "Reports the changes as check does and accepts them: once the events are synced\n"
                "to the evidence journal, the new baseline's digest is recorded in the seal and\n"
                "the scanned working copy replaces the baseline in one rename. A crash at any moment leaves the old or the new baseline, never a mix.\n"
                "An interrupted or failed scan accepts nothing. It refuses to start while a\n"
                "watch, init or export works on the baseline (their writes would be lost).\n\n"
                "  --json         one event object per line\n"
                "  --threads N    hashing threads (default one per processor)\n";
            text += kDestinations;
            text += kHashLimit;
            text += kKey;
            break;
        case Command::Events:
            text =
                "Usage: qvim events [--since TIME] [--json] [--db FILE]\n\n"
                "Prints the evidence journal: every change check, update and watch reported,\n"
                "kept in events.jsonl (0600) beside the database, rotated at 64 MiB with four\n"
                "older generations (events.jsonl.1 to .4).\n\n"
                "  --since TIME   only events from TIME on: 2026-12-06T01:30:00Z, with an offset\n"
                "                 (+01:00), local time (2026-12-06 01:30, 2026-12-06) or seconds\n"
                "                 since 1970\n"
                "  --json         the journal's lines as they are, one event object per line\n";
            break;
        case Command::Watch:
            text =
                "Usage: qvim watch [--json | --format FORMAT] [--syslog[=SOCKET]] [--journal]\n"
                "                  [--db FILE] [--max-hash-size SIZE] [--key FILE]\n\n"
                "Reports file changes under the bases of the real-time rules (\"realtime\": \"true\")\n"
                "as they happen: creations, writes, attribute changes, renames and deletions.\n"
                "As root on a recent kernel it uses fanotify and names the user and process of\n"
                "each change; otherwise inotify. The start line says which. Stops on Ctrl-C or\n"
                "SIGTERM. The baseline's digest is recorded in its seal at most once a minute\n"
                "while events arrive, and when the watch ends. Each change is accepted into the\n"
                "baseline as it is reported, and synced to the evidence journal first.\n\n"
                "  --json         one event object per line\n";
            text += kDestinations;
            text += kHashLimit;
            text += kKey;
            break;
        case Command::Guard:
            text =
                "Usage: qvim guard [--audit] [--json | --format FORMAT] [--syslog[=SOCKET]] [--journal]\n"
                "                  [--db FILE] [--max-hash-size SIZE] [--key FILE]\n\n"
                "Refuses, before they happen, the changes that the real-time rules with an\n"
                "\"enforcement\" forbid to the acting process: writing, truncating, attribute\n"
                "changes, renaming and deleting the entries of the baseline those rules select,\n"
                "and new entries in the folders where they select everything. The refused\n"
                "operation fails with EPERM and is reported as a \"block\" event naming the user\n"
                "and the process; an allowed change is reported once done. Reads are never\n"
                "refused, nor is this program or PID 1. Protection ends when the program ends.\n"
                "Needs root and a kernel with BPF LSM active. Stops on Ctrl-C or SIGTERM.\n\n"
                "  --audit        refuse nothing; report what would have been refused\n"
                "  --json         one event object per line\n";
            text += kDestinations;
            text += kHashLimit;
            text += kKey;
            break;
        case Command::Export:
            text =
                "Usage: qvim export --out FILE [--kind KIND] [--since MS] [--db FILE]\n\n"
                "Writes the baseline as JSON lines, one entity per line, labelled with the rules\n"
                "that watch it.\n\n"
                "  --out FILE     where to write ('-' for standard output)\n"
                "                 replaced whole (0600) once complete; a link at FILE is refused\n"
                "  --kind KIND    File, Directory, User, Group, Port, InstalledSoftware, Process\n"
                "                 or All (default)\n"
                "  --since MS     only entities recorded after this time (milliseconds since 1970)\n";
            break;
        case Command::Metrics:
            text =
                "Usage: qvim metrics [--json] [--db FILE]\n\n"
                "Shows the engine's counters (events, baseline rows), the events per rule and the\n"
                "database figures.\n\n"
                "  --json         the metrics document as it comes from the engine\n";
            break;
        case Command::State:
            text =
                "Usage: qvim state get NAME [--db FILE]\n"
                "       qvim state set NAME VALUE [--db FILE] [--key FILE]\n\n"
                "Reads or writes one of the engine's settings, for example baselineExists,\n"
                "baselineScanTime or rulesetList.\n\n";
            text += kKey;
            break;
        case Command::Migrate:
            text =
                "Usage: qvim migrate OLD_DB [--rules FILE] [--db FILE] [--key FILE]\n\n"
                "Moves the baseline of an older database layout into the database. The entities\n"
                "the rules watch are kept; the ruleset is the one of the last init, or FILE.\n\n"
                "  --rules FILE   the ruleset to install first\n";
            text += kKey;
            break;
        case Command::Verify:
            text =
                "Usage: qvim verify [--key FILE] [--db FILE]\n\n"
                "Checks the baseline against its seal without scanning: prints the baseline's\n"
                "SHA-256 digest and whether it is the one qvim last accepted. Every command\n"
                "that writes the baseline records its new digest in the seal (FILE.seal\n"
                "beside the database); check and watch refuse a baseline that differs.\n\n";
            text += kKey;
            break;
        case Command::Rules:
            text =
                "Usage: qvim rules check FILE\n\n"
                "Checks a ruleset without installing it and lists, with line numbers, what the\n"
                "engine would read otherwise than written or skip without a word: unknown\n"
                "members, attribute names, kinds and operations (with the name probably meant),\n"
                "a boolean where a text is read (\"realtime\": true), rules and sets that watch\n"
                "nothing. Errors make 'qvim init' refuse the file (exit status 17); warnings are\n"
                "shown and do not. See qvim-rules(5).\n";
            break;
        case Command::Demo:
            text =
                "Usage: qvim demo [--json] [--keep]\n\n"
                "Builds a baseline of /etc, a scratch tree, users, groups, ports and processes in\n"
                "a temporary folder, makes a few real changes in the scratch tree, runs a check\n"
                "and shows the events and the metrics.\n\n"
                "  --keep         keep the temporary folder (database, log, scratch tree)\n";
            break;
        default:
            return std::string(
                       "qvim - watches files, users, groups, ports, packages and processes for changes\n\n"
                       "Usage: qvim COMMAND [OPTIONS]\n\n"
                       "Commands:\n"
                       "  init --rules FILE           install a ruleset and build the baseline\n"
                       "  check                       compare the host with the baseline, print changes\n"
                       "  update                      print changes and accept them into the baseline\n"
                       "  watch                       report file changes as they happen\n"
                       "  guard [--audit]             refuse the changes the rules forbid, as they are tried\n"
                       "  events [--since TIME]       print the evidence journal of reported changes\n"
                       "  export --out FILE           write the baseline as JSON lines\n"
                       "  metrics                     counters, events per rule, database figures\n"
                       "  state get|set NAME [VALUE]  read or write an engine setting\n"
                       "  migrate OLD_DB              move a baseline from the older database layout\n"
                       "  verify                      check the baseline against its seal, no scan\n"
                       "  demo                        a guided run on a scratch tree\n"
                       "  rules check FILE            check a ruleset, with line numbers, without installing it\n"
                       "  help [COMMAND]              help for a command\n\n") +
                   kCommon + "  --json         events as JSON, one object per line\n"
                   "  --version      the program's version\n\n" + kStatus;
    }
    // Checking rules opens no baseline.
    if (command == Command::Rules) return text + "\n" + kStatus;
    return text + "\n" + kCommon + "\n" + kStatus;
}

}  // namespace qvimcli
