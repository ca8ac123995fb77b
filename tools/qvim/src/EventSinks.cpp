#include "EventSinks.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "Kinds.h"
#include "Text.h"

namespace qvimcli {
namespace {

// Documentation enterprise number (RFC 5612): the IDs are private to qvim.
constexpr const char kSdMain[] = "qvim@32473";
constexpr const char kSdIs[] = "qvimIs@32473";
constexpr const char kSdWas[] = "qvimWas@32473";
constexpr const char kSdTruncated[] = "[truncated@32473]";
constexpr size_t kSummaryLimit = 512;
// Facility authpriv: paths and account names of a host are for root's eyes.
constexpr int kFacility = 10;
constexpr const char kJournalSocket[] = "/run/systemd/journal/socket";
// Lets 'journalctl MESSAGE_ID=...' find every qvim event.
constexpr const char kJournalMessageId[] = "MESSAGE_ID=6b1d1f0e8a6c4f2b9e2d7c5a3f8e1b04";
constexpr int kSendWaitMs = 2000;

// The length of the UTF-8 sequence a byte starts (1 for stray bytes).
size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF7) return 4;
    if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC0) return 2;
    return 1;
}

// At most max bytes of text, not ending inside a UTF-8 sequence.
std::string cutUtf8(const std::string& text, size_t max) {
    if (text.size() <= max) return text;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

std::string numberText(const cJSON* item) {
    const double value = item->valuedouble;
    char text[32];
    if (std::nearbyint(value) == value && std::fabs(value) < 9007199254740992.0)
        snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    else
        snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// "2026-12-05T23:45:01.123Z"
std::string isoTime(uint64_t millis) {
    const time_t seconds = static_cast<time_t>(millis / 1000);
    struct tm utc;
    char text[40];
    if (gmtime_r(&seconds, &utc) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc) == 0)
        return "1970-01-01T00:00:00.000Z";
    char fraction[8];
    snprintf(fraction, sizeof fraction, ".%03u", static_cast<unsigned>(millis % 1000));
    return std::string(text) + fraction + "Z";
}

uint64_t eventMillis(const cJSON* event) {
    const cJSON* time = cJSON_GetObjectItemCaseSensitive(event, "eventTime");
    return cJSON_IsNumber(time) && time->valuedouble > 0 ? static_cast<uint64_t>(time->valuedouble) : nowMillis();
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// Printable US-ASCII without '=', ']', '"' and blanks, at most max bytes: the
// names and header fields of RFC 5424.
std::string syslogName(const std::string& text, size_t max) {
    std::string name;
    for (char c : text) {
        if (c > 32 && c < 127 && c != '=' && c != ']' && c != '"' && name.size() < max) name += c;
    }
    return name;
}

// Appends the value as an SD-PARAM value, at most room bytes; false when it
// did not fit whole. Cuts fall between characters, never inside an escape.
bool appendSdValue(std::string& out, const std::string& value, size_t room) {
    size_t used = 0;
    for (size_t i = 0; i < value.size();) {
        const size_t length = std::min(sequenceLength(static_cast<unsigned char>(value[i])), value.size() - i);
        const std::string piece = printable(value.substr(i, length));
        std::string escaped;
        for (char c : piece) {
            if (c == '"' || c == '\\' || c == ']') escaped += '\\';
            escaped += c;
        }
        if (used + escaped.size() > room) return false;
        out += escaped;
        used += escaped.size();
        i += length;
    }
    return true;
}

// The journal's field name: "QVIM_" and the member's name in upper case with
// words split at capitals ("lastModified" gives LAST_MODIFIED).
std::string journalName(const std::string& prefix, const std::string& member) {
    static const struct {
        const char* member;
        const char* field;
    } kShort[] = {{"operationType", "OPERATION"}, {"entityType", "KIND"},    {"integrityRuleName", "RULE"},
                  {"integrityRuleId", "RULE_ID"}, {"integrityEventId", "EVENT_ID"}, {"processName", "PROCESS"}};
    std::string name = prefix;
    for (const auto& entry : kShort)
        if (prefix == "QVIM_" && member == entry.member) return name + entry.field;
    for (size_t i = 0; i < member.size() && name.size() < 64; ++i) {
        const unsigned char c = static_cast<unsigned char>(member[i]);
        if (isupper(c) && i > 0 && (islower(static_cast<unsigned char>(member[i - 1])) ||
                                    isdigit(static_cast<unsigned char>(member[i - 1]))))
            name += '_';
        name += isalnum(c) && c < 128 ? static_cast<char>(toupper(c)) : '_';
    }
    return name.substr(0, 64);
}

int severityOf(const cJSON* event) { return jsonText(event, "operationType") == "block" ? 4 : 5; }

bool connectDatagram(const std::string& path, int& fd, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "the socket path is empty or too long";
        return false;
    }
    memcpy(address.sun_path, path.c_str(), path.size());
    const int socketFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        error = errorText(errno);
        return false;
    }
    if (connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errorText(errno);
        ::close(socketFd);
        return false;
    }
    fd = socketFd;
    return true;
}

}  // namespace

std::vector<EventMember> eventMembers(const cJSON* event) {
    std::vector<EventMember> members;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, event) {
        if (item->string == nullptr) continue;
        if (cJSON_IsString(item) && item->valuestring != nullptr && item->valuestring[0] != '\0') {
            members.push_back({EventMember::Event, item->string, item->valuestring});
        } else if (cJSON_IsNumber(item)) {
            members.push_back({EventMember::Event, item->string, numberText(item)});
        } else if (cJSON_IsArray(item)) {
            const std::string name = item->string;
            const auto section = name == "isAttributes" ? EventMember::Is : EventMember::Was;
            if (name != "isAttributes" && name != "wasAttributes") continue;
            const cJSON* entry = nullptr;
            cJSON_ArrayForEach(entry, item) {
                const std::string attribute = jsonText(entry, "name");
                if (!attribute.empty()) members.push_back({section, attribute, jsonText(entry, "value")});
            }
        }
    }
    return members;
}

std::string eventSummary(const cJSON* event) {
    std::string text = jsonText(event, "operationType") + " " + jsonText(event, "entityType") + " " +
                       exactJsonText(event, "key");
    const std::string rule = jsonText(event, "integrityRuleName");
    if (!rule.empty()) text += " [" + rule + "]";
    const std::string process = jsonText(event, "processName");
    const std::string user = jsonText(event, "user");
    if (!process.empty() || !user.empty()) text += " by " + (process.empty() ? user : process + " (" + user + ")");
    return printable(text);
}

std::string syslogMessage(const cJSON* event, const std::string& host, int processId, size_t limit) {
    const std::string operation = syslogName(jsonText(event, "operationType"), 32);
    std::string message = "<" + std::to_string(kFacility * 8 + severityOf(event)) + ">1 " +
                          isoTime(eventMillis(event)) + " " + host + " qvim " + std::to_string(processId) + " " +
                          (operation.empty() ? "-" : operation) + " ";
    const std::string summary = cutUtf8(eventSummary(event), kSummaryLimit);
    if (message.size() + 1 + summary.size() + sizeof kSdTruncated > limit) return message.substr(0, limit);
    const size_t budget = limit - 1 - summary.size() - (sizeof kSdTruncated - 1);

    bool truncated = false;
    const std::vector<EventMember> members = eventMembers(event);
    const struct {
        EventMember::Section section;
        const char* id;
    } elements[] = {{EventMember::Event, kSdMain}, {EventMember::Is, kSdIs}, {EventMember::Was, kSdWas}};
    for (const auto& element : elements) {
        std::string text = std::string("[") + element.id;
        bool any = false;
        for (const EventMember& member : members) {
            if (member.section != element.section) continue;
            const std::string name = syslogName(member.name, 32);
            if (name.empty()) continue;
            // Room left for this parameter, the closing ']' kept aside.
            const size_t used = message.size() + text.size() + 1;
            const size_t head = 1 + name.size() + 2;  // ' name="'
            if (used + head + 1 + 16 > budget) {
                truncated = true;
                continue;
            }
            std::string param = " " + name + "=\"";
            if (!appendSdValue(param, member.value, budget - used - head - 1)) truncated = true;
            text += param + "\"";
            any = true;
        }
        if (any) message += text + "]";
    }
    if (truncated) message += kSdTruncated;
    if (message.back() == ' ') message += "-";
    return message + " " + summary;
}

std::vector<std::string> journalFields(const cJSON* event) {
    std::vector<std::string> fields;
    fields.push_back("MESSAGE=" + eventSummary(event));
    fields.push_back("PRIORITY=" + std::to_string(severityOf(event)));
    fields.push_back("SYSLOG_FACILITY=" + std::to_string(kFacility));
    fields.push_back("SYSLOG_IDENTIFIER=qvim");
    fields.push_back(kJournalMessageId);
    for (const EventMember& member : eventMembers(event)) {
        const char* prefix = member.section == EventMember::Event ? "QVIM_"
                             : member.section == EventMember::Is  ? "QVIM_IS_"
                                                                  : "QVIM_WAS_";
        fields.push_back(journalName(prefix, member.name) + "=" + member.value);
    }
    return fields;
}

// ---- Elastic Common Schema ----------------------------------------------------------

namespace {

cJSON* objectIn(cJSON* parent, const char* name) {
    cJSON* child = cJSON_GetObjectItemCaseSensitive(parent, name);
    return cJSON_IsObject(child) ? child : cJSON_AddObjectToObject(parent, name);
}

void addText(cJSON* object, const char* name, const std::string& value) {
    if (!value.empty()) cJSON_AddStringToObject(object, name, value.c_str());
}

void addList(cJSON* object, const char* name, std::initializer_list<const char*> values) {
    cJSON* array = cJSON_AddArrayToObject(object, name);
    for (const char* value : values) cJSON_AddItemToArray(array, cJSON_CreateString(value));
}

// "user::rw-\ngroup::r--\nother::r--" (or u::, g::, o::) as "0644"; "" when
// an entry is missing.
std::string octalMode(const std::string& acl) {
    int digits[3] = {-1, -1, -1};
    size_t start = 0;
    while (start < acl.size()) {
        size_t end = acl.find('\n', start);
        if (end == std::string::npos) end = acl.size();
        const std::string entry = acl.substr(start, end - start);
        start = end + 1;
        const size_t colons = entry.find("::");
        if (colons == std::string::npos || entry.size() != colons + 5) continue;
        const std::string tag = entry.substr(0, colons);
        const int slot = tag == "u" || tag == "user" ? 0 : tag == "g" || tag == "group" ? 1 : tag == "o" || tag == "other" ? 2 : -1;
        if (slot < 0) continue;
        const std::string bits = entry.substr(colons + 2);
        digits[slot] = (bits[0] == 'r' ? 4 : 0) + (bits[1] == 'w' ? 2 : 0) + (bits[2] == 'x' ? 1 : 0);
    }
    if (digits[0] < 0 || digits[1] < 0 || digits[2] < 0) return std::string();
    return std::string("0") + static_cast<char>('0' + digits[0]) + static_cast<char>('0' + digits[1]) +
           static_cast<char>('0' + digits[2]);
}

void addFile(cJSON* file, const std::string& path, entity_type kind, const cJSON* attributes) {
    addText(file, "path", path);
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
        addText(file, "name", path.substr(slash + 1));
        addText(file, "directory", slash == 0 ? "/" : path.substr(0, slash));
    }
    std::string type = kind == ENTITY_DIRECTORY ? "dir" : "file";
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, attributes) {
        const std::string name = lower(jsonText(entry, "name"));
        const std::string value = jsonText(entry, "value");
        const std::string friendly = jsonText(entry, "friendlyValue");
        if (value.empty()) continue;
        if (name == "sha256" || name == "sha1" || name == "md5") {
            addText(objectIn(file, "hash"), name.c_str(), value);
        } else if (name == "size") {
            cJSON_AddNumberToObject(file, "size", strtod(value.c_str(), nullptr));
        } else if (name == "owner" || name == "group") {
            addText(file, name == "owner" ? "uid" : "gid", value);
            addText(file, name.c_str(), friendly.empty() ? value : friendly);
        } else if (name == "permissions") {
            addText(file, "mode", octalMode(value));
        } else if (name == "lastmodified" || name == "created" || name == "lastaccessed") {
            const char* field = name == "lastmodified" ? "mtime" : name == "created" ? "created" : "accessed";
            addText(file, field, isoTime(strtoull(value.c_str(), nullptr, 10)));
        } else if (name == "inodenumber") {
            addText(file, "inode", value);
        } else if (name == "symlinkpath") {
            addText(file, "target_path", value);
            type = "symlink";
        }
    }
    addText(file, "type", type);
}

}  // namespace

JsonPtr ecsDocument(const cJSON* event, const std::string& host) {
    JsonPtr document(cJSON_CreateObject());
    cJSON* root = document.get();
    const std::string kind = jsonText(event, "entityType");
    const entity_type type = kindNamed(kind);
    const std::string operation = jsonText(event, "operationType");
    const std::string key = jsonText(event, "key");
    addText(root, "@timestamp", isoTime(eventMillis(event)));
    addText(objectIn(root, "ecs"), "version", "8.11.0");

    cJSON* ecsEvent = objectIn(root, "event");
    addText(ecsEvent, "kind", operation == "block" ? "alert" : "event");
    addText(ecsEvent, "module", "qvim");
    addText(ecsEvent, "dataset", "qvim.events");
    addText(ecsEvent, "action", operation);
    const bool created = operation == "create", deleted = operation == "delete";
    const char* change = operation == "block" ? "denied" : created ? "creation" : deleted ? "deletion" : "change";
    if (type == ENTITY_FILE || type == ENTITY_DIRECTORY) {
        addList(ecsEvent, "category", {"file"});
        addList(ecsEvent, "type", {change});
    } else if (type == ENTITY_USER || type == ENTITY_GROUP) {
        addList(ecsEvent, "category", {"iam"});
        addList(ecsEvent, "type", {type == ENTITY_USER ? "user" : "group", change});
    } else if (type == ENTITY_INSTALLED_SOFTWARE) {
        addList(ecsEvent, "category", {"package"});
        addList(ecsEvent, "type", {created ? "installation" : change});
    } else if (type == ENTITY_PROCESS || type == ENTITY_PORT) {
        addList(ecsEvent, "category", {type == ENTITY_PROCESS ? "process" : "network"});
        addList(ecsEvent, "type", {created ? "start" : deleted ? "end" : "change"});
    }
    const cJSON* id = cJSON_GetObjectItemCaseSensitive(event, "integrityEventId");
    if (cJSON_IsNumber(id)) addText(ecsEvent, "id", numberText(id));
    const cJSON* severity = cJSON_GetObjectItemCaseSensitive(event, "severity");
    if (cJSON_IsNumber(severity)) cJSON_AddNumberToObject(ecsEvent, "severity", severity->valuedouble);

    addText(objectIn(root, "host"), "name", host);
    const std::string rule = jsonText(event, "integrityRuleName");
    const cJSON* ruleId = cJSON_GetObjectItemCaseSensitive(event, "integrityRuleId");
    if (!rule.empty() || cJSON_IsNumber(ruleId)) {
        cJSON* ecsRule = objectIn(root, "rule");
        addText(ecsRule, "name", rule);
        if (cJSON_IsNumber(ruleId)) addText(ecsRule, "id", numberText(ruleId));
    }
    // The process and user that made a real-time change.
    const std::string process = jsonText(event, "processName");
    const std::string user = jsonText(event, "user");
    if (!process.empty()) addText(objectIn(root, "process"), "name", process);
    if (!user.empty()) addText(objectIn(root, "user"), "name", user);

    // What changed: a deleted entity is described by what it was.
    const cJSON* attributes = cJSON_GetObjectItemCaseSensitive(event, deleted ? "wasAttributes" : "isAttributes");
    if (type == ENTITY_FILE || type == ENTITY_DIRECTORY) {
        const std::string isKey = jsonText(event, "isKey");
        addFile(objectIn(root, "file"), isKey.empty() ? key : isKey, type, attributes);
    } else if (type == ENTITY_USER) {
        addText(objectIn(objectIn(root, "user"), "target"), "name", key);
    } else if (type == ENTITY_GROUP) {
        addText(objectIn(root, "group"), "name", key);
    } else if (type == ENTITY_INSTALLED_SOFTWARE) {
        cJSON* package = objectIn(root, "package");
        std::string name = key, version;
        const cJSON* entry = nullptr;
        cJSON_ArrayForEach(entry, attributes) {
            const std::string attribute = lower(jsonText(entry, "name"));
            if (attribute == "name" && !jsonText(entry, "value").empty()) name = jsonText(entry, "value");
            if (attribute == "version") version = jsonText(entry, "value");
        }
        addText(package, "name", name);
        addText(package, "version", version);
    }

    // Everything else the event says, in qvim's own names.
    cJSON* own = objectIn(root, "qvim");
    addText(own, "kind", kind);
    addText(own, "key", key);
    addText(own, "was_key", jsonText(event, "wasKey"));
    addText(own, "identifier", jsonText(event, "identifier"));
    for (const char* section : {"isAttributes", "wasAttributes"}) {
        const cJSON* array = cJSON_GetObjectItemCaseSensitive(event, section);
        if (!cJSON_IsArray(array)) continue;
        cJSON* values = objectIn(own, section[0] == 'i' ? "attributes" : "previous");
        const cJSON* entry = nullptr;
        cJSON_ArrayForEach(entry, array) {
            const std::string name = jsonText(entry, "name");
            if (!name.empty()) addText(values, name.c_str(), jsonText(entry, "value"));
        }
    }
    return document;
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "-";
    const std::string text = syslogName(name, 255);
    return text.empty() ? "-" : text;
}

// ---- EventSinks -----------------------------------------------------------------------

EventSinks::~EventSinks() {
    if (m_syslogFd >= 0) ::close(m_syslogFd);
}

bool EventSinks::connectSyslog(std::string& error) {
    if (m_syslogFd >= 0) ::close(m_syslogFd);
    m_syslogFd = -1;
    return connectDatagram(m_syslogPath, m_syslogFd, error);
}

std::string EventSinks::attach(const Options& options, EventPrinter& printer, Console& console) {
    if (options.help) return std::string();
    if (options.ecs) {
        printer.setJsonFormat([host = hostName()](const cJSON* event) {
            JsonPtr document = ecsDocument(event, host);
            char* printed = cJSON_PrintUnformatted(document.get());
            std::string text = printed != nullptr ? printed : "";
            cJSON_free(printed);
            return text;
        });
    }
    std::string error;
    if (!options.syslogSocket.empty()) error = openSyslog(options.syslogSocket);
    if (error.empty() && options.journal) error = openJournal();
    if (error.empty() && !empty())
        printer.setEachEvent([this, &console](const cJSON* event) { deliver(event, console); });
    return error;
}

std::string EventSinks::openSyslog(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_syslogPath = path;
    m_hostName = hostName();
    std::string error;
    if (!connectSyslog(error)) return "cannot reach syslog at " + quoted(printable(path)) + ": " + error;
    return std::string();
}

std::string EventSinks::openJournal() {
    int fd = -1;
    std::string error;
    if (!connectDatagram(kJournalSocket, fd, error))
        return std::string("the systemd journal is not reachable (") + kJournalSocket + ": " + error + ")";
    ::close(fd);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_journal = true;
    return std::string();
}

bool EventSinks::sendSyslog(const std::string& message, std::string& error) {
    // A full socket gets a bounded wait, a restarted receiver one reconnection.
    // Once a wait was in vain, events fail at once until the receiver takes
    // one again: a stalled receiver costs one wait, not one per event.
    bool waited = m_syslogStalled, reconnected = false;
    for (;;) {
        if (m_syslogFd >= 0 && send(m_syslogFd, message.data(), message.size(), MSG_NOSIGNAL) >= 0) {
            m_syslogStalled = false;
            return true;
        }
        const int failure = m_syslogFd >= 0 ? errno : ENOTCONN;
        error = errorText(failure);
        if ((failure == EAGAIN || failure == EWOULDBLOCK) && !waited) {
            waited = true;
            pollfd wait{m_syslogFd, POLLOUT, 0};
            if (poll(&wait, 1, kSendWaitMs) > 0) continue;
            error = "the socket stayed full for " + std::to_string(kSendWaitMs / 1000) + " s";
            m_syslogStalled = true;
            return false;
        }
        if ((failure == ECONNREFUSED || failure == ENOTCONN || failure == ECONNRESET || failure == ENOENT) &&
            !reconnected) {
            reconnected = true;
            if (connectSyslog(error)) continue;
        }
        return false;
    }
}

void EventSinks::deliver(const cJSON* event, Console& console) {
    if (empty()) return;
    std::string syslogError, journalError;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_syslogPath.empty() &&
            !sendSyslog(syslogMessage(event, m_hostName, static_cast<int>(getpid()), kSyslogMessageLimit),
                        syslogError))
            ++m_syslogLost;
        if (m_journal) {
            const std::vector<std::string> fields = journalFields(event);
            std::vector<iovec> vectors;
            for (const std::string& field : fields)
                vectors.push_back(iovec{const_cast<char*>(field.data()), field.size()});
            const int result = sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size()));
            if (result < 0) {
                journalError = errorText(-result);
                ++m_journalLost;
            }
        }
    }
    if (!syslogError.empty())
        console.repeatedWarning("events not sent to syslog", "cannot send an event to syslog at " +
                                                                 quoted(printable(m_syslogPath)) + ": " +
                                                                 syslogError);
    if (!journalError.empty())
        console.repeatedWarning("events not sent to the journal",
                                "cannot send an event to the systemd journal: " + journalError);
}

std::vector<std::string> EventSinks::undelivered() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> lines;
    const auto plural = [](size_t count) { return std::to_string(count) + (count == 1 ? " event" : " events"); };
    if (m_syslogLost > 0)
        lines.push_back(plural(m_syslogLost) + " could not be sent to syslog at " + quoted(printable(m_syslogPath)));
    if (m_journalLost > 0) lines.push_back(plural(m_journalLost) + " could not be sent to the systemd journal");
    return lines;
}

}  // namespace qvimcli
