// What the host prints: messages and a progress line on standard error, change
// events (table or JSON lines) on its private standard output.
#pragma once

#include <cjson/cJSON.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Json.h"

namespace qvimcli {

class Console {
public:
    Console(FILE* err, bool quiet, bool progress);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void error(const std::string& text);    // always shown
    void warning(const std::string& text);  // hidden by -q
    void note(const std::string& text);     // hidden by -q

    // Warnings that repeat per entity (unreadable files): the first few (the
    // limit) in full, the rest counted and reported by summarizeRepeated.
    void setRepeatedLimit(size_t limit) { m_repeatedLimit = limit; }
    void repeatedWarning(const std::string& category, const std::string& text);
    void summarizeRepeated();
    size_t repeatedCount(const std::string& category) const;

    // A progress line redrawn a few times a second while a long scan runs; only
    // on a terminal and without -q.
    void startProgress(std::function<std::string()> text);
    void stopProgress();
    // Takes the progress line off the terminal until its next redraw, so that
    // output on the same terminal starts on a clean line.
    void clearProgressLine();
    bool quiet() const { return m_quiet; }

private:
    void write(const std::string& line);
    void tick();

    FILE* m_err;
    const bool m_quiet;
    const bool m_progressAllowed;
    mutable std::mutex m_mutex;
    std::map<std::string, size_t> m_repeated;
    size_t m_repeatedLimit = 5;
    bool m_progressShown = false;
    std::function<std::string()> m_progressText;
    std::thread m_ticker;
    std::condition_variable m_wake;
    bool m_stop = false;
};

struct AttributeChange {
    std::string name;
    std::string before;  // empty when the attribute is new
    std::string after;   // empty when the attribute is gone
};

// Attributes that differ between "wasAttributes" and "isAttributes", in name order.
std::vector<AttributeChange> attributeChanges(const cJSON* event, bool fullDigests = false);

// The readable form of one attribute entry: its friendly value when it has one,
// times as local ISO 8601 time, digests shortened unless fullDigests, line
// breaks as blanks.
std::string displayValue(const cJSON* attribute, bool fullDigests = false);

// One event as table lines (no trailing newline).
std::string formatEvent(const cJSON* event, bool fullDigests = false);

// The frame of a check's report: where and when it ran, against which baseline.
struct RunReport {
    std::string command;  // "check", "update"
    std::string host;
    uint64_t startMillis = 0;
    std::string database;
    std::string digest;  // the baseline's digest, filled by the caller; empty when not recorded
    bool headerShown = false;
};

// A report of the command starting now on this host.
RunReport startReport(const std::string& command, const std::string& database);

class EventPrinter {
public:
    EventPrinter(FILE* out, bool json);
    // Digests in full in the table too (-v); JSON always has them in full.
    void setFullDigests(bool full) { m_fullDigests = full; }
    // Runs before anything is printed (the console clears its progress line).
    void setBeforeOutput(std::function<void()> hook) { m_beforeOutput = std::move(hook); }
    // The line of an event in JSON mode, when not the event itself (another schema).
    void setJsonFormat(std::function<std::string(const cJSON*)> format) { m_jsonFormat = std::move(format); }
    // Runs for each event as it is printed (further destinations).
    void setEachEvent(std::function<void(const cJSON*)> hook) { m_eachEvent = std::move(hook); }
    // Runs for each event before anything else sees it (the evidence journal).
    void setRecorder(std::function<void(const cJSON*)> hook) { m_recorder = std::move(hook); }
    // Runs after recording and before an event goes anywhere else (the
    // journal's sync): once per event, or once per burst while held.
    void setCommit(std::function<void()> hook) { m_commit = std::move(hook); }
    // While held, events are recorded at once but forwarded and printed only
    // after one commit for all of them: by release(), or as soon as most are
    // held or the first has waited longest (the hold goes on then).
    void hold(size_t most, std::chrono::milliseconds longest);
    void release();

    // Prints the events of one response document ({"events":[...]}); returns
    // how many it printed. A null or unparsable text prints nothing. annotate,
    // when given, adds the program's own members to each event first.
    size_t printDocument(const char* json, const std::function<void(cJSON*)>& annotate = nullptr);
    void printEvent(const cJSON* event);
    // A plain line on the event output (tables of other commands), control
    // characters escaped; line breaks in it stay.
    void line(const std::string& text);
    // A JSON document as it is: its strings are escaped already.
    void rawLine(const std::string& text);
    void flush();

    size_t count() const;
    // The exit status of what was printed: 1 added, 2 removed, 4 changed or
    // renamed, added up; 0 when nothing was.
    int changeStatus() const;
    // "1 create, 1 update, 1 delete" or "none".
    std::string countsByOperation() const;

    // The report's header and footer: on the table output; with --json on
    // standard error, and only under -v, so that the output holds nothing but
    // events; with -q not at all, and with -q nothing else either when nothing
    // changed.
    void reportHeader(const RunReport& report, int verbosity, Console& console);
    void reportFooter(const RunReport& report, int verbosity, Console& console);
    bool json() const { return m_json; }

private:
    void deliver(const cJSON* event, const std::string& text);
    void sendHeld(bool keepHolding);
    void reportLines(const std::vector<std::string>& lines, int verbosity, Console& console);

    FILE* m_out;
    const bool m_json;
    bool m_fullDigests = false;
    std::function<void()> m_beforeOutput;
    std::function<std::string(const cJSON*)> m_jsonFormat;
    std::function<void(const cJSON*)> m_eachEvent;
    std::function<void(const cJSON*)> m_recorder;
    std::function<void()> m_commit;
    struct Held {
        JsonPtr event;
        std::string text;
    };
    bool m_holding = false;
    size_t m_holdMost = 1;
    std::chrono::milliseconds m_holdLongest{0};
    std::chrono::steady_clock::time_point m_heldSince;
    std::vector<Held> m_held;
    mutable std::mutex m_mutex;
    bool m_headerShown = false;
    std::map<std::string, size_t> m_byOperation;
    size_t m_count = 0;
};

}  // namespace qvimcli
