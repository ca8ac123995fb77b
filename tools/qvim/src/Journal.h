// The evidence journal: every change check, update and watch report, as the
// JSON line --json prints, in events.jsonl beside the database. It is synced
// before the baseline accepts what it holds, so lost terminal output or a
// crashed log shipper never loses evidence.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "SafeFiles.h"

namespace qvimcli {

constexpr char kJournalName[] = "events.jsonl";
// Past this size the journal is renamed to events.jsonl.1 (the older ones
// move up one, the oldest beyond the last generation goes) and a new one begins.
constexpr uint64_t kJournalRotateBytes = 64ull << 20;
constexpr int kJournalGenerations = 4;
// A longer line is not one qvim wrote: reading skips it.
constexpr size_t kJournalLongestLine = 16u << 20;

class EventJournal {
public:
    // Opens the journal in the database's folder, creating it 0600. False with
    // a reason.
    bool open(const std::string& databasePath, std::string& error, uint64_t rotateBytes = kJournalRotateBytes);
    // Appends one line per event, whole, from any thread; false (and the
    // journal counts as failed) when it could not be written.
    bool append(const cJSON* event);
    bool appendLine(const std::string& line);
    // Makes what was appended durable; false with a reason, also when an
    // earlier append failed.
    bool sync(std::string& error);
    bool failed() const;
    const std::string& path() const { return m_path; }

private:
    bool rotate();
    bool writeLocked(const std::string& line);

    mutable std::mutex m_mutex;
    UniqueFd m_folder;
    UniqueFd m_file;
    std::string m_path;
    uint64_t m_size = 0;
    uint64_t m_rotateBytes = kJournalRotateBytes;
    bool m_dirtyFolder = false;  // a rotation not yet synced to the folder
    std::string m_failure;       // the first failure, "" while all is well
};

// Reads the journal's lines, oldest generation first, each line without its
// line break. Links, non-regular files and files of other users are refused;
// an overlong line is skipped and counted. False with a reason when the
// folder or a file cannot be read.
bool readJournal(const std::string& databasePath, const std::function<void(const std::string&)>& each,
                 size_t& skipped, std::string& error);

// "2026-12-06T01:30:00Z", "2026-12-06T02:30:00+01:00", "2026-12-06 01:30"
// (local), "2026-12-06" (local midnight) or seconds since 1970, as
// milliseconds since 1970; false when it is none of these.
bool parseTimeText(const std::string& text, uint64_t& millis);

}  // namespace qvimcli
