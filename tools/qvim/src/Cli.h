// Command line of the qvim program: commands, options and their help texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Digest.h"
#include "qvim.h"

namespace qvimcli {

enum class Command {
    None, Init, Check, Watch, Export, Metrics, State, Migrate, Demo, Help, Version, Verify, Guard, Update, Events, Rules
};

struct Options {
    Command command = Command::None;
    Command helpFor = Command::None;  // "qvim help init", "qvim init --help"
    bool help = false;

    std::string db;         // --db FILE
    std::string logPath;    // --log FILE ("-" is standard error)
    int verbosity = 0;      // -v raises, -q lowers
    bool json = false;      // --json, --format json or ecs
    bool ecs = false;       // --format ecs
    std::string syslogSocket;  // --syslog[=SOCKET], "" when not given
    bool journal = false;      // --journal
    unsigned threads = 0;   // --threads N, 0: one per processor
    uint64_t maxHashSize = kDefaultMaxHashSize;  // --max-hash-size SIZE, 0: no limit

    std::string rules;      // init, migrate: --rules FILE; rules check FILE
    std::string keyFile;    // --key FILE: signs and checks the baseline's seal
    bool accept = false;    // update, check --update: the scanned state becomes the baseline

    entity_type kind = ENTITY_ALL;  // export --kind
    uint64_t since = 0;             // export --since MS, events --since TIME (as milliseconds)
    std::string out;                // export --out FILE ("-" is standard output)

    std::string stateAction;  // state get|set
    std::string stateName;
    std::string stateValue;

    std::string oldDb;  // migrate OLD_DB
    bool keep = false;  // demo --keep
    bool audit = false;  // guard --audit: report what would be refused, refuse nothing

    bool quiet() const { return verbosity < 0; }
};

// Parses argv into options. Returns an empty text on success, else a one-line
// message for the user.
std::string parseArguments(const std::vector<std::string>& args, Options& options);

const char* commandName(Command command);

// "qvim 1.2.3", the version of the build.
std::string versionText();

// Help for one command, or the overview for Command::None.
std::string helpText(Command command);

}  // namespace qvimcli
