// qvim demo: the program's main job on an embedded default, in a temporary
// folder: a baseline, a few real changes, the check that reports them, metrics.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Commands.h"
#include "DefaultRules.h"
#include "Text.h"

namespace qvimcli {
namespace {

// The scratch tree's place in examples/rules/default.json; the demo puts its
// own tree there.
const char kScratchInRules[] = "/tmp/qvim-scratch";

bool writeFile(const std::string& path, const std::string& text, mode_t mode, int flags = O_TRUNC) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, mode);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && ok;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

class DemoFolder {
public:
    explicit DemoFolder(bool keep) : m_keep(keep) {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qvim-demo-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~DemoFolder() {
        if (!m_path.empty() && !m_keep) nftw(m_path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    DemoFolder(const DemoFolder&) = delete;
    DemoFolder& operator=(const DemoFolder&) = delete;
    const std::string& path() const { return m_path; }
    void keep() { m_keep = true; }

private:
    bool m_keep;
    std::string m_path;
};

bool makeScratchTree(const std::string& scratch) {
    return mkdir(scratch.c_str(), 0755) == 0 && mkdir((scratch + "/lib").c_str(), 0755) == 0 &&
           writeFile(scratch + "/app.conf", "listen = 8080\nworkers = 4\n", 0644) &&
           writeFile(scratch + "/config.ini", "[main]\nmode = safe\n", 0644) &&
           writeFile(scratch + "/old-name.txt", "a file that gets a new name\n", 0644) &&
           writeFile(scratch + "/obsolete.log", "an old log line\n", 0644) &&
           writeFile(scratch + "/lib/helper.sh", "#!/bin/sh\necho helper\n", 0755);
}

// The demo's story in folder; returns the exit status.
int tellStory(const Options& options, const std::string& folder, Console& console, EventPrinter& printer) {
    auto say = [&](const std::string& text) {
        if (options.json)
            console.note(text);
        else
            printer.line(text);
        printer.flush();  // keeps the story in order with the messages on standard error
    };
    const std::string scratch = folder + "/scratch";
    if (!makeScratchTree(scratch)) {
        console.error("cannot create the scratch tree in '" + folder + "': " + errorText(errno));
        return kExitFailure;
    }
    std::string text = kDefaultRuleset;
    for (size_t at = text.find(kScratchInRules); at != std::string::npos;
         at = text.find(kScratchInRules, at + scratch.size()))
        text.replace(at, sizeof kScratchInRules - 1, scratch);
    Ruleset ruleset;
    std::string error;
    if (!parseRuleset(text, ruleset, error)) {
        console.error("the embedded ruleset " + error);
        return kExitFailure;
    }
    ruleset.id = "default.json";

    Options demo = options;
    demo.db = folder + "/im.db";
    int status = kExitFailure;
    std::unique_ptr<Session> session = Session::start(demo, std::string(), error, status);
    if (!session) {
        console.error(error);
        return status;
    }
    installStopHandlers();
    // Files of /etc that only root may read would otherwise fill the screen.
    if (options.verbosity <= 0) console.setRepeatedLimit(0);

    say("qvim demo: a baseline, a few real changes, and the events qvim reports for them.");
    say("");
    say("Working folder  " + folder + (options.keep ? "" : " (removed at the end; --keep keeps it)"));
    say("Ruleset         examples/rules/default.json: /etc, the scratch tree, local users and groups,");
    say("                listening ports and daemon processes");
    say("");
    say("1. qvim init: the baseline of everything the rules watch");
    status = runInit(demo, *session, ruleset, console, printer);
    if (status != kExitOk) return status;

    say("");
    say("2. Five changes in the scratch tree " + scratch);
    struct Step {
        const char* description;
        bool done;
    } steps[] = {
        {"chmod 600 config.ini          (a permission change)", chmod((scratch + "/config.ini").c_str(), 0600) == 0},
        {"new file notes.txt            (a creation)", writeFile(scratch + "/notes.txt", "a new note\n", 0644)},
        {"append to app.conf            (a content change)",
         writeFile(scratch + "/app.conf", "workers = 8\n", 0644, O_APPEND)},
        {"mv old-name.txt new-name.txt  (a rename)",
         rename((scratch + "/old-name.txt").c_str(), (scratch + "/new-name.txt").c_str()) == 0},
        {"rm obsolete.log               (a deletion)", unlink((scratch + "/obsolete.log").c_str()) == 0},
    };
    for (const Step& step : steps) {
        say(std::string("   ") + step.description);
        if (!step.done) console.warning(std::string("the demo could not make this change: ") + errorText(errno));
    }

    say("");
    say("3. qvim check: what changed since the baseline (exit status 1 added, 2 removed, 4 changed, added up)");
    status = runCheck(demo, *session, console, printer);
    if (!changesFound(status)) {
        if (status == kExitOk) console.error("the check reported none of the demo's changes; see " + session->logPath());
        return status == kExitOk ? kExitFailure : status;
    }

    say("");
    say("4. qvim metrics: the engine's counters");
    runMetrics(demo, *session, console, printer, true);
    say("");
    say("On your own machine: qvim init --rules examples/rules/default.json, then qvim check");
    say("(from cron or CI: an exit status from 1 to 7 means changes) or qvim watch for changes as they happen.");
    return kExitOk;
}
}  // namespace

int runDemo(const Options& options, Console& console, EventPrinter& printer) {
    DemoFolder folder(options.keep);
    if (folder.path().empty()) {
        console.error("cannot create a temporary folder: " + errorText(errno) + "; set TMPDIR to a writable folder");
        return kExitFailure;
    }
    const int status = tellStory(options, folder.path(), console, printer);
    if (status != kExitOk && !options.keep) {
        folder.keep();
        console.note("The working folder " + folder.path() + " is kept for a look (database, log, scratch tree).");
    }
    return status;
}

}  // namespace qvimcli
