// Running the built qvim program from tests, and small tree helpers.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Watcher.h"

namespace qvimhost_test {

struct ProgramRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs the program with the arguments and waits (at most timeoutSeconds).
ProgramRun runQvim(const std::vector<std::string>& args, int timeoutSeconds = 120);

// The program running in the background, its standard output read line by line.
class Background {
public:
    explicit Background(const std::vector<std::string>& args);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // The next line of standard output within timeoutMs; false on timeout or end.
    bool readLine(std::string& line, int timeoutMs);
    // Bytes the program wrote to standard output that nobody has read yet.
    size_t unreadOutput() const;
    // Lines of standard error that arrived so far.
    std::string errorOutput();
    // Waits (at most 60 s) until standard error says the watch has begun; its lines.
    std::string waitUntilWatching();
    // Waits (at most seconds) until the program has a handler for the signal:
    // a slow start (sanitizers, a loaded machine) must not be taken for a hang.
    bool waitUntilCatching(int signal, int seconds);
    // Sends the signal (0: none) and waits for the exit status.
    int stop(int signal);
    // Sends the signal and waits at most seconds before killing the program;
    // the exit status (128 + 9 when it had to be killed).
    int stopWithin(int signal, int seconds);

private:
    friend ProgramRun runQvim(const std::vector<std::string>&, int);
    // Reads what arrives within timeoutMs; false once both outputs have ended.
    bool pump(int timeoutMs);

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    bool m_outOpen = true;
    bool m_errOpen = true;
    std::string m_outBuffer;
    std::string m_errBuffer;
};

void makeFolders(const std::string& path);
void writeText(const std::string& path, const std::string& text);
// The whole file; "" when it cannot be read.
std::string readText(const std::string& path);
std::string absolute(const std::string& relative);

// One change event of the program's JSON output.
// An event line, or a baseline row of the export (which has a key and permissions).
// The key is the exact bytes, also of a name that is not UTF-8.
struct Event {
    std::string operation, kind, key, permissions;
};
Event parseEvent(const std::string& line);
// The lines of text that are not empty.
std::vector<std::string> lines(const std::string& text);
std::vector<Event> parseEvents(const std::string& out);
// Operation of each event of the kind ("" for all); a key reported twice fails.
std::map<std::string, std::string> operationsByKey(const std::vector<Event>& events, const std::string& kind = "");

// A ruleset with one real-time File and Directory rule pair based at folder.
std::string folderRules(const std::string& folder);

// A watched tree with its rules file, and the program run on a database of its own.
class HostTree : public testing::Test {
protected:
    void SetUp() override;
    ProgramRun qvim(std::vector<std::string> args, int timeoutSeconds = 120);
    std::string tree;
    std::string db;
};

// A folder to watch beside one outside, for the watcher's own tests.
class WatchedTree : public testing::Test {
protected:
    // Makes watched/sub and outside; the watcher is made for watched, with short timings.
    void makeTree();
    // Changes until there are `count` of them, or timeoutMs.
    std::vector<qvimcli::FsChange> collect(size_t count, int timeoutMs = 2000);

    std::string root;
    std::string outside;
    qvimcli::Scope scope;
    std::unique_ptr<qvimcli::Watcher> watcher;
};

}  // namespace qvimhost_test
