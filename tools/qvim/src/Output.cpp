#include "Output.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "EventSinks.h"
#include "Session.h"
#include "InodeAttributes.h"
#include "Kinds.h"
#include "Text.h"

namespace qvimcli {
namespace {

constexpr const char* kClearLine = "\r\033[K";

bool isTimeAttribute(const std::string& name) {
    return name == "created" || name == "lastModified" || name == "lastAccessed";
}

bool isDigestAttribute(const std::string& name) { return name == "sha256" || name == "sha1" || name == "md5"; }

std::string kindColumn(const std::string& kind) {
    const KindNames* names = kindNames(kindNamed(kind));
    return names != nullptr ? names->column : kind;
}

std::string padded(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

struct Attribute {
    std::string value;
    const cJSON* entry;
};

std::map<std::string, Attribute> attributeMap(const cJSON* array) {
    std::map<std::string, Attribute> attributes;
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, array) {
        attributes[jsonText(entry, "name")] = Attribute{jsonText(entry, "value"), entry};
    }
    return attributes;
}

}  // namespace

// ---- Console -------------------------------------------------------------------

Console::Console(FILE* err, bool quiet, bool progress)
    : m_err(err), m_quiet(quiet), m_progressAllowed(progress && !quiet && isatty(fileno(err))) {}

Console::~Console() { stopProgress(); }

void Console::write(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_progressShown) {
        fputs(kClearLine, m_err);
        m_progressShown = false;
    }
    // Messages quote names: none may start a line or reach the terminal raw.
    fputs(printable(line).c_str(), m_err);
    fputc('\n', m_err);
    fflush(m_err);
}

void Console::error(const std::string& text) { write("qvim: " + text); }

void Console::warning(const std::string& text) {
    if (!m_quiet) write("qvim: " + text);
}

void Console::note(const std::string& text) {
    if (!m_quiet) write(text);
}

void Console::repeatedWarning(const std::string& category, const std::string& text) {
    size_t seen;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        seen = ++m_repeated[category];
    }
    if (seen <= m_repeatedLimit) warning(text);
}

size_t Console::repeatedCount(const std::string& category) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_repeated.find(category);
    return found == m_repeated.end() ? 0 : found->second;
}

void Console::summarizeRepeated() {
    std::map<std::string, size_t> repeated;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        repeated.swap(m_repeated);
    }
    for (const auto& [category, count] : repeated) {
        if (count <= m_repeatedLimit) continue;
        if (m_repeatedLimit == 0)
            warning(std::to_string(count) + " " + category + " (-v lists them)");
        else
            warning("... and " + std::to_string(count - m_repeatedLimit) + " more " + category + " (-v lists them)");
    }
}

void Console::startProgress(std::function<std::string()> text) {
    if (!m_progressAllowed) return;
    stopProgress();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_progressText = std::move(text);
    m_stop = false;
    m_ticker = std::thread([this] { tick(); });
}

void Console::stopProgress() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_ticker.joinable()) m_ticker.join();
    clearProgressLine();
}

void Console::clearProgressLine() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_progressShown) return;
    fputs(kClearLine, m_err);
    fflush(m_err);
    m_progressShown = false;
}

void Console::tick() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        if (m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_stop; })) break;
        const std::string text = printable(m_progressText());
        fputs(kClearLine, m_err);
        fputs(text.c_str(), m_err);
        fflush(m_err);
        m_progressShown = true;
    }
}

// ---- Event formatting ---------------------------------------------------------------

namespace {

// Milliseconds since 1970 as local ISO 8601 time; other texts as they are.
std::string timeValueText(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return text;
    const unsigned long long millis = strtoull(text.c_str(), nullptr, 10);
    const std::string iso = millis > 0 ? isoLocalTime(millis, true) : std::string();
    return iso.empty() ? text : iso;
}

std::string digestText(const std::string& digest, bool full) {
    return full || digest.size() <= 16 ? digest : digest.substr(0, 12) + "...";
}

}  // namespace

std::string displayValue(const cJSON* attribute, bool fullDigests) {
    const std::string name = jsonText(attribute, "name");
    std::string text = jsonText(attribute, "friendlyValue");
    if (text.empty()) {
        text = jsonText(attribute, "value");
        if (isTimeAttribute(name))
            text = timeValueText(text);
        else if (isDigestAttribute(name))
            text = digestText(text, fullDigests);
    }
    // Multi-line values (access lists) go on one line.
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return printable(text);
}

namespace {

// The mode bits the engine's access-list form of permissions keeps
// ("u::rws\ng::r-x\no::r--": no type, no sticky bit); -1 for another text.
long modeFromAccessList(const std::string& text) {
    if (text.size() != 20 || text[0] != 'u' || text[7] != 'g' || text[14] != 'o') return -1;
    long mode = 0;
    for (int line = 0; line < 3; ++line) {
        const char* bits = text.c_str() + line * 7 + 3;
        const int shift = 6 - 3 * line;
        if (bits[0] == 'r') mode |= 4L << shift;
        if (bits[1] == 'w') mode |= 2L << shift;
        if (bits[2] == 'x' || bits[2] == 's') mode |= 1L << shift;
        if (bits[2] == 's' || bits[2] == 'S') mode |= line == 0 ? S_ISUID : S_ISGID;
    }
    return mode;
}

uint64_t numberValue(const std::string& text) { return strtoull(text.c_str(), nullptr, 10); }

// One side's values, read together: permissions show their type and sticky
// bit only with the flagsAll of the same side.
struct Side {
    std::map<std::string, Attribute> attributes;
    bool hasFingerprint = false;
    uint64_t fingerprint = 0;
    bool fullDigests = false;

    Side(const cJSON* array, bool fullDigests) : attributes(attributeMap(array)), fullDigests(fullDigests) {
        auto found = attributes.find("flagsAll");
        if (found != attributes.end()) {
            fingerprint = numberValue(found->second.value);
            hasFingerprint = fingerprintRecorded(fingerprint);
        }
    }

    std::string display(const std::string& name, const Attribute& attribute) const {
        if (name == "permissions") {
            const long mode = modeFromAccessList(attribute.value);
            if (mode < 0) return displayValue(attribute.entry, fullDigests);
            if (!hasFingerprint) return modeText(static_cast<unsigned>(mode)).substr(1);
            const unsigned full = static_cast<unsigned>(mode) | fingerprintModeBits(fingerprint);
            return modeText(full) + " (" + permissionsText(full) + ")";
        }
        if (name == "flags") return inodeFlagsText(numberValue(attribute.value));
        if (name == "flagsAll") {
            const uint64_t value = numberValue(attribute.value);
            if (!fingerprintRecorded(value)) return value == 0 ? "not recorded" : printable(attribute.value);
            char hex[24];
            snprintf(hex, sizeof hex, "%014llx", static_cast<unsigned long long>(value));
            return hex;
        }
        return displayValue(attribute.entry, fullDigests);
    }
};

}  // namespace

std::vector<AttributeChange> attributeChanges(const cJSON* event, bool fullDigests) {
    std::vector<AttributeChange> changes;
    const cJSON* was = cJSON_GetObjectItemCaseSensitive(event, "wasAttributes");
    const cJSON* is = cJSON_GetObjectItemCaseSensitive(event, "isAttributes");
    if (!cJSON_IsArray(was) || !cJSON_IsArray(is)) return changes;
    const Side before(was, fullDigests);
    const Side after(is, fullDigests);
    auto b = before.attributes.begin();
    auto a = after.attributes.begin();
    // Both maps are ordered by name: one merge pass.
    while (b != before.attributes.end() || a != after.attributes.end()) {
        if (a == after.attributes.end() || (b != before.attributes.end() && b->first < a->first)) {
            changes.push_back({b->first, before.display(b->first, b->second), std::string()});
            ++b;
        } else if (b == before.attributes.end() || a->first < b->first) {
            changes.push_back({a->first, std::string(), after.display(a->first, a->second)});
            ++a;
        } else {
            const std::string old = before.display(b->first, b->second);
            std::string now = after.display(a->first, a->second);
            // The engine's form of permissions drops the type and sticky bit:
            // what differs is what shows.
            if (b->second.value != a->second.value || old != now) {
                if (b->first == "flagsAll") {
                    std::string parts;
                    for (const std::string& part :
                         changedInodeParts(numberValue(b->second.value), numberValue(a->second.value)))
                        parts += (parts.empty() ? "" : ", ") + part;
                    if (!parts.empty()) now += " (changed: " + parts + ")";
                }
                changes.push_back({b->first, old, now});
            }
            ++b;
            ++a;
        }
    }
    return changes;
}

std::string formatEvent(const cJSON* event, bool fullDigests) {
    // Every field may carry a name someone else chose; its exact bytes keep
    // two names apart that differ only in bytes that are not UTF-8.
    const auto field = [event](const char* name) { return printable(exactJsonText(event, name)); };
    std::string text = padded(field("operationType"), 8) + padded(kindColumn(field("entityType")), 10) + field("key");
    // Special files are recorded as files; their type tells a new device node from an empty file.
    const std::string type = field("type");
    if (!type.empty()) text += "  (" + type + ")";
    const std::string rule = field("integrityRuleName");
    if (!rule.empty()) text += "  [" + rule + "]";
    const std::string process = field("processName");
    const std::string user = field("user");
    if (!process.empty() || !user.empty()) text += "  by " + (process.empty() ? user : process + " (" + user + ")");
    for (const AttributeChange& change : attributeChanges(event, fullDigests)) {
        text += "\n" + std::string(18, ' ') + printable(change.name) + ": " + (change.before.empty() ? "(none)" : change.before) +
                " -> " + (change.after.empty() ? "(none)" : change.after);
    }
    const std::string capabilities = field("capabilities");
    if (!capabilities.empty()) text += "\n" + std::string(18, ' ') + "capabilities now: " + capabilities;
    return text;
}

// ---- EventPrinter -------------------------------------------------------------------

EventPrinter::EventPrinter(FILE* out, bool json) : m_out(out), m_json(json) {}

size_t EventPrinter::printDocument(const char* json, const std::function<void(cJSON*)>& annotate) {
    if (json == nullptr) return 0;
    JsonPtr document(cJSON_Parse(json));
    const cJSON* events = cJSON_GetObjectItemCaseSensitive(document.get(), "events");
    size_t printed = 0;
    cJSON* event = nullptr;
    cJSON_ArrayForEach(event, events) {
        if (annotate) annotate(event);
        printEvent(event);
        ++printed;
    }
    if (printed > 0) flush();
    return printed;
}

void EventPrinter::printEvent(const cJSON* event) {
    std::string text;
    if (m_json && m_jsonFormat) {
        text = m_jsonFormat(event);
    } else if (m_json) {
        char* printed = cJSON_PrintUnformatted(event);
        if (printed != nullptr) {
            text = printed;
            cJSON_free(printed);
        }
    } else {
        text = formatEvent(event, m_fullDigests);
    }
    if (m_recorder) m_recorder(event);
    bool due = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_holding) {
            JsonPtr copy(cJSON_Duplicate(event, true));
            // Out of memory: this one goes out at once, synced on its own.
            if (copy) {
                if (m_held.empty()) m_heldSince = std::chrono::steady_clock::now();
                m_held.push_back(Held{std::move(copy), std::move(text)});
                due = m_held.size() >= m_holdMost || std::chrono::steady_clock::now() - m_heldSince >= m_holdLongest;
                if (!due) return;
            }
        }
    }
    if (due) {
        sendHeld(true);
        return;
    }
    if (m_commit) m_commit();
    deliver(event, text);
}

void EventPrinter::hold(size_t most, std::chrono::milliseconds longest) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holding = true;
    m_holdMost = std::max<size_t>(most, 1);
    m_holdLongest = longest;
}

void EventPrinter::release() { sendHeld(false); }

void EventPrinter::sendHeld(bool keepHolding) {
    std::vector<Held> held;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holding = keepHolding;
        held.swap(m_held);
    }
    if (held.empty()) return;
    if (m_commit) m_commit();
    for (const Held& one : held) deliver(one.event.get(), one.text);
    flush();
}

void EventPrinter::deliver(const cJSON* event, const std::string& text) {
    if (m_eachEvent) m_eachEvent(event);
    if (m_beforeOutput) m_beforeOutput();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_json && !m_headerShown) {
        fprintf(m_out, "%s\n", (padded("CHANGE", 8) + padded("KIND", 10) + "KEY").c_str());
        m_headerShown = true;
    }
    fprintf(m_out, "%s\n", text.c_str());
    ++m_count;
    ++m_byOperation[jsonText(event, "operationType")];
}

void EventPrinter::line(const std::string& text) { rawLine(printable(text, kKeepBackslash | kKeepLineBreaks)); }

void EventPrinter::rawLine(const std::string& text) {
    if (m_beforeOutput) m_beforeOutput();
    std::lock_guard<std::mutex> lock(m_mutex);
    fprintf(m_out, "%s\n", text.c_str());
}

void EventPrinter::flush() {
    std::lock_guard<std::mutex> lock(m_mutex);
    fflush(m_out);
}

size_t EventPrinter::count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

int EventPrinter::changeStatus() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int status = kExitOk;
    for (const auto& [operation, count] : m_byOperation) {
        if (count == 0) continue;
        if (operation == "create")
            status |= kExitAdded;
        else if (operation == "delete")
            status |= kExitRemoved;
        else  // update, rename, and anything newer: never lost as "nothing"
            status |= kExitChanged;
    }
    return status;
}

std::string EventPrinter::countsByOperation() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_count == 0) return "none";
    std::string text;
    const char* order[] = {"create", "update", "rename", "delete", "block"};
    for (const char* operation : order) {
        auto found = m_byOperation.find(operation);
        if (found == m_byOperation.end()) continue;
        text += (text.empty() ? "" : ", ") + std::to_string(found->second) + " " + operation;
    }
    return text;
}

// ---- Report header and footer ------------------------------------------------------------

RunReport startReport(const std::string& command, const std::string& database) {
    RunReport report;
    report.command = command;
    report.host = hostName();
    report.startMillis = nowMillis();
    report.database = database;
    return report;
}

namespace {

std::string reportRow(const char* name, const std::string& value) { return padded(name, 10) + value; }

std::string digestRow(const RunReport& report, bool full) {
    return reportRow("Baseline:", report.digest.empty() ? "digest not recorded" : "sha256 " + digestText(report.digest, full));
}

}  // namespace

void EventPrinter::reportLines(const std::vector<std::string>& lines, int verbosity, Console& console) {
    if (verbosity < 0) return;
    if (!m_json) {
        for (const std::string& text : lines) line(text);
    } else if (verbosity > 0) {
        for (const std::string& text : lines)
            if (!text.empty()) console.note(text);
    }
}

void EventPrinter::reportHeader(const RunReport& report, int verbosity, Console& console) {
    const bool full = m_json || verbosity > 0 || m_fullDigests;
    reportLines({reportRow("Command:", "qvim " + report.command + " on " + report.host),
                 reportRow("Started:", isoLocalTime(report.startMillis, false)),
                 reportRow("Database:", report.database), digestRow(report, full), std::string()},
                verbosity, console);
}

void EventPrinter::reportFooter(const RunReport& report, int verbosity, Console& console) {
    const bool full = m_json || verbosity > 0 || m_fullDigests;
    const uint64_t end = nowMillis();
    char duration[32];
    snprintf(duration, sizeof duration, "%.1f s", static_cast<double>(end - std::min(end, report.startMillis)) / 1000);
    std::vector<std::string> lines;
    if (count() > 0) lines.emplace_back();
    lines.push_back(reportRow("Changes:", countsByOperation()));
    lines.push_back(reportRow("Finished:", isoLocalTime(end, false) + " after " + duration));
    lines.push_back(digestRow(report, full));
    reportLines(lines, verbosity, console);
}

}  // namespace qvimcli
