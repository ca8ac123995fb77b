// Where change events go besides the event output: the local syslog socket
// (RFC 5424 with structured data) and the systemd journal (one field per
// member); and the event as an Elastic Common Schema document for shippers
// that ingest that directly.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Cli.h"
#include "Output.h"

namespace qvimcli {

constexpr const char kDefaultSyslogSocket[] = "/dev/log";
// Larger datagrams are cut by common receivers (and RFC 5424 only promises 2 KiB).
constexpr size_t kSyslogMessageLimit = 8192;

// One member of an event, flat: top-level texts and numbers in section
// Event, the entries of "isAttributes" and "wasAttributes" in Is and Was.
struct EventMember {
    enum Section { Event, Is, Was } section;
    std::string name;
    std::string value;
};
std::vector<EventMember> eventMembers(const cJSON* event);

// "update File /etc/passwd [etc] by vi (root)", control characters escaped.
std::string eventSummary(const cJSON* event);

// The whole RFC 5424 message, at most limit bytes: values that do not fit are
// shortened or left out, which the element "truncated@32473" then says.
std::string syslogMessage(const cJSON* event, const std::string& hostName, int processId, size_t limit);

// The journal fields of an event: "QVIM_KEY=/etc/passwd", "MESSAGE=...", each
// value exactly as in the event (the journal protocol is binary-safe).
std::vector<std::string> journalFields(const cJSON* event);

// The event as one ECS document (nested objects).
JsonPtr ecsDocument(const cJSON* event, const std::string& hostName);

// The host's name as syslog and ECS give it ("-" when unknown).
std::string hostName();

// The sinks the options chose; delivers every event to each of them.
class EventSinks {
public:
    EventSinks() = default;
    ~EventSinks();
    EventSinks(const EventSinks&) = delete;
    EventSinks& operator=(const EventSinks&) = delete;

    // Opens what the options ask for and hooks it to the printer (the ECS
    // format too); a message for the user, "" when done. The printer and the
    // console must not outlive this object.
    std::string attach(const Options& options, EventPrinter& printer, Console& console);

    // Connects to the syslog socket at path; a message for the user, "" when done.
    std::string openSyslog(const std::string& path);
    // Checks that the journal is reachable; a message, "" when it is.
    std::string openJournal();
    bool empty() const { return m_syslogPath.empty() && !m_journal; }

    // Sends the event to each sink; a failed delivery is counted and warned
    // about on the console, never silently dropped.
    void deliver(const cJSON* event, Console& console);
    // "3 events could not be sent to syslog (/dev/log)" per sink that lost any.
    std::vector<std::string> undelivered() const;

private:
    bool sendSyslog(const std::string& message, std::string& error);
    bool connectSyslog(std::string& error);

    mutable std::mutex m_mutex;
    std::string m_syslogPath;
    int m_syslogFd = -1;
    bool m_syslogStalled = false;
    bool m_journal = false;
    std::string m_hostName;
    size_t m_syslogLost = 0;
    size_t m_journalLost = 0;
};

}  // namespace qvimcli
