// One engine run: where the database and the log live, engine start and stop,
// settings, and the ruleset the last init recorded.
#pragma once

#include <memory>
#include <string>

#include "Cli.h"
#include "Engine.h"
#include "Output.h"
#include "BaselineCopy.h"
#include "Rules.h"

namespace qvimcli {

// Changes are bits that add up, as wrappers of older checkers expect; every
// failure lies above them, so a failure never reads as a set of changes.
enum ExitStatus {
    kExitOk = 0,
    kExitAdded = 1,
    kExitRemoved = 2,
    kExitChanged = 4,       // attributes changed, or renamed
    kExitFailure = 14,      // database, engine, file system or an event destination
    kExitUsage = 15,        // bad command line or input, no baseline yet
    kExitRules = 17,        // the rules file is invalid
    kExitTampered = 19,     // the baseline's digest or signature is not the one last accepted
    kExitUnsupported = 20,  // the kernel lacks what the command needs
    kExitInterrupted = 130
};

// A status made only of change bits (at least one).
inline bool changesFound(int status) { return status > kExitOk && status < kExitFailure; }

// The default database: /var/lib/qvim/im.db for root, else under
// $XDG_STATE_HOME or ~/.local/state.
std::string defaultDatabasePath();

// Whether the engine works on the baseline itself or on a working copy of it
// (made in the database folder, thrown away unless it replaces the baseline:
// CopyToAccept, which no run on the baseline itself may overlap, as its
// writes would go to the file the rename replaces).
enum class DatabaseUse { Direct, Copy, CopyToAccept };

class Session {
public:
    // Creates the database folder if needed, sets up the engine's log and
    // starts the engine. On failure returns null with a one-line message and
    // the exit status to use.
    static std::unique_ptr<Session> start(const Options& options, std::string dbPath, std::string& error,
                                          int& status, DatabaseUse use = DatabaseUse::Direct);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& dbPath() const { return m_dbPath; }
    const std::string& logPath() const { return m_logPath; }
    // The engine, started on enginePath() for as long as the session lasts
    // (or until stopEngine()).
    Engine& engine() { return m_engine; }

    // A setting's value; found (when given) tells a missing setting from an empty one.
    std::string setting(const char* name, bool* found = nullptr) const;
    bool setSetting(const char* name, const std::string& value);

    bool hasBaseline() const;
    // Installs the ruleset recorded by the last init (so the engine's folder and
    // kind decisions follow the rules again). False with a message when there
    // is none or the engine refuses it.
    bool reinstallRuleset(Ruleset& ruleset, std::string& error);
    // Records a ruleset as the one in force.
    void recordRuleset(const Ruleset& ruleset);
    // A baseline is marked as being built before its first entity is written
    // and as built, with the ruleset it follows, once its last one is: a build
    // that stops half-way is never taken for a whole baseline. False with a
    // message when the marks cannot be written. itemsVisited: the entities
    // the build handed to the engine, empty when not counted.
    bool beginBaseline(std::string& error);
    bool finishBaseline(const Ruleset& ruleset, const std::string& itemsVisited, std::string& error);

    // The file the engine works on: the working copy, or the baseline itself.
    const std::string& enginePath() const { return m_enginePath; }
    // An open descriptor of the baseline while the session lasts (-1 when it holds none).
    int baselineFd() const { return m_lock.get(); }
    const char* copyMethod() const;
    // Stops the engine, which closes its database; no engine call may follow.
    void stopEngine();
    // Puts the working copy in place of the baseline (the engine stopped
    // first). False with a reason; the baseline is then the old one.
    bool replaceBaseline(std::string& error);

private:
    Session(std::string dbPath, std::string logPath, std::string enginePath, std::unique_ptr<BaselineCopy> copy,
            UniqueFd lock);

    std::string m_dbPath;
    std::string m_logPath;
    std::string m_enginePath;
    std::unique_ptr<BaselineCopy> m_copy;  // null when the engine works on the baseline
    UniqueFd m_lock;  // the baseline, locked shared (direct use) or alone (an accepting update)
    Engine m_engine;  // declared last: stopped before the lock and the copy go
};

// Where the library's own lines on standard output go: /dev/null, or the log
// with -vv (escaped like every log line, until the session ends). The host
// writes its output through a duplicate of the original standard output taken
// at program start.
void routeLibraryOutput(int fd);

}  // namespace qvimcli
