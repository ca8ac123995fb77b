#include "Journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "Output.h"
#include "Text.h"

namespace qvimcli {
namespace {

std::string generationName(int generation) {
    return generation == 0 ? std::string(kJournalName) : std::string(kJournalName) + "." + std::to_string(generation);
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// The folder checked like the database's, and opened so it can be synced.
bool openFolder(const std::string& databasePath, bool create, UniqueFd& folder, std::string& error) {
    UniqueFd checked;
    if (!openTrustedFolder(parentFolder(databasePath), FolderSharing::OwnOnly, create, checked, error)) return false;
    folder.reset(openat(checked.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) return true;
    error = errorText(errno);
    return false;
}

// Hands each line of one journal file to each; false with a reason.
bool readLines(int folder, const std::string& name, const std::function<void(const std::string&)>& each,
               size_t& skipped, std::string& error) {
    UniqueFd file(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file && errno == ENOENT) return true;
    if (!file) {
        error = "cannot read '" + name + "': " + (errno == ELOOP ? "it is a symbolic link" : errorText(errno));
        return false;
    }
    struct stat st;
    if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot read '" + name + "': it is not a regular file";
        return false;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        error = "cannot read '" + name + "': it belongs to user " + std::to_string(st.st_uid);
        return false;
    }
    std::string pending;
    bool overlong = false;  // within a line too long to keep, until its end
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = "cannot read '" + name + "': " + errorText(errno);
            return false;
        }
        if (got == 0) break;
        size_t start = 0;
        for (size_t i = 0; i < static_cast<size_t>(got); ++i) {
            if (buffer[i] != '\n') continue;
            if (!overlong) {
                pending.append(buffer + start, i - start);
                if (pending.size() > kJournalLongestLine)
                    ++skipped;
                else
                    each(pending);
            }
            pending.clear();
            overlong = false;
            start = i + 1;
        }
        if (!overlong) pending.append(buffer + start, static_cast<size_t>(got) - start);
        if (!overlong && pending.size() > kJournalLongestLine) {
            overlong = true;
            ++skipped;
            pending.clear();
        }
    }
    // A last line without its line break was cut by a crash mid-write.
    if (!pending.empty() && !overlong) ++skipped;
    return true;
}

}  // namespace

bool EventJournal::open(const std::string& databasePath, std::string& error, uint64_t rotateBytes) {
    m_rotateBytes = rotateBytes;
    m_path = joinPath(parentFolder(databasePath), kJournalName);
    if (!openFolder(databasePath, true, m_folder, error)) return false;
    if (!openOwnFileForAppend(m_folder.get(), kJournalName, m_file, error)) return false;
    struct stat st;
    if (fstat(m_file.get(), &st) != 0) {
        error = errorText(errno);
        return false;
    }
    // Evidence is for root's eyes: whatever mode it was given, it is ours alone.
    if ((st.st_mode & 07777) != 0600) fchmod(m_file.get(), 0600);
    m_size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool EventJournal::append(const cJSON* event) {
    char* printed = cJSON_PrintUnformatted(event);
    if (printed == nullptr) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failure.empty()) m_failure = "an event could not be printed (out of memory)";
        return false;
    }
    const bool written = appendLine(printed);
    cJSON_free(printed);
    return written;
}

bool EventJournal::appendLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return writeLocked(line);
}

bool EventJournal::writeLocked(const std::string& line) {
    if (!m_file) {
        if (m_failure.empty()) m_failure = "the journal is not open";
        return false;
    }
    if (m_size > 0 && m_size + line.size() + 1 > m_rotateBytes) rotate();
    const std::string whole = line + "\n";
    if (!writeAll(m_file.get(), whole.data(), whole.size())) {
        if (m_failure.empty()) m_failure = "cannot write '" + m_path + "': " + errorText(errno);
        return false;
    }
    m_size += whole.size();
    return true;
}

// The lines stay where they were written: a failed rotation only means the
// current file keeps growing.
bool EventJournal::rotate() {
    if (fsync(m_file.get()) != 0) return false;
    unlinkat(m_folder.get(), generationName(kJournalGenerations).c_str(), 0);
    for (int generation = kJournalGenerations - 1; generation >= 0; --generation) {
        if (renameat(m_folder.get(), generationName(generation).c_str(), m_folder.get(),
                     generationName(generation + 1).c_str()) != 0 &&
            errno != ENOENT)
            return false;
    }
    UniqueFd next;
    std::string ignored;
    if (!openOwnFileForAppend(m_folder.get(), kJournalName, next, ignored)) return false;
    m_file = std::move(next);
    m_size = 0;
    m_dirtyFolder = fsync(m_folder.get()) != 0;
    return true;
}

bool EventJournal::sync(std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Lines are only appended: their data and the file's size are what must last.
    if (m_failure.empty() && (!m_file || fdatasync(m_file.get()) != 0))
        m_failure = "cannot sync '" + m_path + "': " + (m_file ? errorText(errno) : "it is not open");
    if (m_failure.empty() && m_dirtyFolder) {
        if (fsync(m_folder.get()) != 0)
            m_failure = "cannot sync the folder of '" + m_path + "': " + errorText(errno);
        else
            m_dirtyFolder = false;
    }
    error = m_failure;
    return m_failure.empty();
}

bool EventJournal::failed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_failure.empty();
}

bool readJournal(const std::string& databasePath, const std::function<void(const std::string&)>& each,
                 size_t& skipped, std::string& error) {
    UniqueFd folder;
    if (!openFolder(databasePath, false, folder, error)) return false;
    for (int generation = kJournalGenerations; generation >= 0; --generation)
        if (!readLines(folder.get(), generationName(generation), each, skipped, error)) return false;
    return true;
}

bool parseTimeText(const std::string& text, uint64_t& millis) {
    if (text.empty()) return false;
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        if (text.size() > 12) return false;
        millis = std::strtoull(text.c_str(), nullptr, 10) * 1000;
        return true;
    }
    struct tm fields{};
    const char* rest = strptime(text.c_str(), "%Y-%m-%d", &fields);
    if (rest == nullptr) return false;
    if (*rest == 'T' || *rest == ' ') {
        const char* time = strptime(rest + 1, "%H:%M:%S", &fields);
        if (time == nullptr) time = strptime(rest + 1, "%H:%M", &fields);
        if (time == nullptr) return false;
        rest = time;
        if (*rest == '.' || *rest == ',')  // fractions of a second do not matter here
            for (++rest; *rest >= '0' && *rest <= '9';) ++rest;
    }
    time_t seconds;
    if (*rest == '\0') {
        fields.tm_isdst = -1;
        seconds = mktime(&fields);
    } else {
        long offset = 0;
        if (*rest == 'Z' && rest[1] == '\0') {
            offset = 0;
        } else if (*rest == '+' || *rest == '-') {
            const int sign = *rest == '+' ? 1 : -1;
            int hours = 0, minutes = 0;
            char tail = 0;
            if (sscanf(rest + 1, "%2d:%2d%c", &hours, &minutes, &tail) != 2 &&
                sscanf(rest + 1, "%2d%2d%c", &hours, &minutes, &tail) != 2)
                return false;
            if (hours > 23 || minutes > 59) return false;
            offset = sign * (hours * 3600L + minutes * 60L);
        } else {
            return false;
        }
        seconds = timegm(&fields) - offset;
    }
    if (seconds < 0) return false;
    millis = static_cast<uint64_t>(seconds) * 1000;
    return true;
}

}  // namespace qvimcli
