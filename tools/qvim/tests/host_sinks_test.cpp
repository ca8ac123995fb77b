// Where events go besides standard output: syslog messages received on a
// socket of the test's own, journal fields, and the ECS document.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

#include "Cli.h"
#include "EventSinks.h"
#include "HostTestSupport.h"
#include "Session.h"

using namespace qvimcli;
using namespace qvimhost_test;

namespace {

// A datagram socket bound in the test's folder, read without waiting.
class Receiver {
public:
    explicit Receiver(const std::string& path) : m_path(absolute(path)) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const sockaddr_un address = addressOf(m_path);
        m_bound = m_fd >= 0 && bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    static sockaddr_un addressOf(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        return address;
    }
    ~Receiver() {
        if (m_fd >= 0) close(m_fd);
    }
    bool bound() const { return m_bound; }
    const std::string& path() const { return m_path; }
    std::vector<std::string> messages() {
        std::vector<std::string> received;
        char buffer[65536];
        for (ssize_t n; (n = recv(m_fd, buffer, sizeof buffer, 0)) >= 0;) received.emplace_back(buffer, n);
        return received;
    }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_bound = false;
};

// An RFC 5424 message taken apart, the SD-PARAM values unescaped.
struct Syslog {
    std::string error;  // what did not parse
    int priority = -1;
    std::vector<std::string> header;  // VERSION TIMESTAMP HOSTNAME APP-NAME PROCID MSGID
    std::map<std::string, std::map<std::string, std::string>> elements;
    std::string message;
};

Syslog parseSyslog(const std::string& text) {
    Syslog parsed;
    size_t i = text.find('>');
    if (text.empty() || text[0] != '<' || i == std::string::npos) return parsed.error = "no PRI", parsed;
    parsed.priority = std::stoi(text.substr(1, i - 1));
    ++i;
    for (int field = 0; field < 6; ++field) {
        const size_t space = text.find(' ', i);
        if (space == std::string::npos) return parsed.error = "short header", parsed;
        parsed.header.push_back(text.substr(i, space - i));
        i = space + 1;
    }
    if (text.compare(i, 1, "-") == 0) {
        ++i;
    } else {
        while (i < text.size() && text[i] == '[') {
            const size_t end = text.find_first_of(" ]", i);
            if (end == std::string::npos) return parsed.error = "open element", parsed;
            auto& params = parsed.elements[text.substr(i + 1, end - i - 1)];
            i = end;
            while (text[i] == ' ') {
                const size_t equals = text.find('=', i);
                if (equals == std::string::npos || text.compare(equals + 1, 1, "\"") != 0)
                    return parsed.error = "bad parameter at " + std::to_string(i), parsed;
                std::string value;
                size_t k = equals + 2;
                for (; k < text.size() && text[k] != '"'; ++k) {
                    if (text[k] == ']') return parsed.error = "unescaped ]", parsed;
                    if (text[k] == '\\' && k + 1 < text.size() && strchr("\"\\]", text[k + 1]) != nullptr) ++k;
                    value += text[k];
                }
                if (k >= text.size()) return parsed.error = "open value", parsed;
                params[text.substr(i + 1, equals - i - 1)] = value;
                i = k + 1;
            }
            if (text[i] != ']') return parsed.error = "element not closed", parsed;
            ++i;
        }
    }
    if (i < text.size()) {
        if (text[i] != ' ') return parsed.error = "no space before MSG", parsed;
        parsed.message = text.substr(i + 1);
    }
    return parsed;
}

// Undoes the C escapes of visible text.
std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        }
    }
    return out;
}

// Leaf names of a nested document, dotted: "file.hash.sha256".
void leafNames(const cJSON* object, const std::string& prefix, std::set<std::string>& names) {
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, object) {
        const std::string name = prefix + item->string;
        if (cJSON_IsObject(item))
            leafNames(item, name + ".", names);
        else
            names.insert(name);
    }
}

// The ECS fields qvim fills, each as the schema names it.
const std::set<std::string> kEcsFields = {
    "@timestamp",     "ecs.version",      "event.kind",     "event.module",   "event.dataset",
    "event.action",   "event.category",   "event.type",     "event.id",       "event.severity",
    "host.name",      "rule.name",        "rule.id",        "process.name",   "user.name",
    "user.target.name", "group.name",     "package.name",   "package.version", "file.path",
    "file.name",      "file.directory",   "file.type",      "file.hash.sha256", "file.hash.sha1",
    "file.hash.md5",  "file.size",        "file.uid",       "file.owner",     "file.gid",
    "file.group",     "file.mode",        "file.mtime",     "file.created",   "file.accessed",
    "file.inode",     "file.target_path",
};

const char kHostileName[] = "a]b\"c\nd\\e\x1b";

const char kEvent[] =
    R"({"integrityEventId":7,"eventTime":1600000000123,"entityType":"File","integrityRuleId":1,)"
    R"("integrityRuleName":"etc","operationType":"update","processName":"vi","user":"root",)"
    R"("key":"/etc/a]b\"c\nd","isKey":"/etc/a]b\"c\nd",)"
    R"("wasAttributes":[{"name":"sha256","value":"AA"},{"name":"permissions","value":"u::rw-\ng::r--\no::r--"}],)"
    R"("isAttributes":[{"name":"sha256","value":"BB"},{"name":"lastModified","value":"1600000000123"},)"
    R"({"name":"owner","value":"0","friendlyValue":"root"},{"name":"size","value":"12"},)"
    R"({"name":"permissions","value":"u::rwx\ng::r-x\no::---"}]})";

using HostSinks = HostTree;

}  // namespace

TEST_F(HostSinks, CheckSendsEachEventToSyslogAsParsableStructuredDataAndPrintsEcs) {
    Receiver receiver("log.sock");
    ASSERT_TRUE(receiver.bound()) << strerror(errno);
    writeText(tree + "/plain", "x");
    // Files only: the folder that gains the new name is not this test's concern.
    writeText("rules.json", "{\"IntegrityRules\":[{\"id\":1,\"name\":\"tree files\",\"EntitySets\":["
                            "{\"entityType\":\"File\",\"base\":\"" + tree + "\",\"includes\":\"**/*\"}]}]}");
    ASSERT_EQ(qvim({"init", "--rules", "rules.json", "-q"}).status, 0);
    writeText(tree + "/" + kHostileName, "hostile");
    writeText(tree + "/plain", "changed");

    const ProgramRun run = qvim({"check", "--format", "ecs", "--syslog=" + receiver.path()});
    EXPECT_EQ(run.status, kExitAdded | kExitChanged) << run.err;
    const std::vector<std::string> documents = lines(run.out);
    const std::vector<std::string> messages = receiver.messages();
    ASSERT_EQ(documents.size(), 2u) << run.out;
    ASSERT_EQ(messages.size(), documents.size());

    std::set<std::string> ecsPaths, syslogKeys;
    for (const std::string& line : documents) {
        JsonPtr document(cJSON_Parse(line.c_str()));
        ASSERT_TRUE(document) << line;
        const cJSON* file = cJSON_GetObjectItem(document.get(), "file");
        ecsPaths.insert(jsonText(file, "path"));
        EXPECT_EQ(jsonText(cJSON_GetObjectItem(file, "hash"), "sha256").size(), 64u) << line;
    }
    for (const std::string& text : messages) {
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
        const Syslog message = parseSyslog(text);
        ASSERT_EQ(message.error, "") << text;
        EXPECT_EQ(message.priority, 10 * 8 + 5);
        EXPECT_EQ(message.header[0], "1");
        EXPECT_EQ(message.header[3], "qvim");
        const auto& main = message.elements.at("qvim@32473");
        EXPECT_EQ(message.header[5], main.at("operationType"));
        syslogKeys.insert(unescape(main.at("key")));
        EXPECT_EQ(message.elements.at("qvimIs@32473").at("sha256").size(), 64u);
    }
    const std::set<std::string> expected = {tree + "/plain", tree + "/" + kHostileName};
    EXPECT_EQ(ecsPaths, expected);
    EXPECT_EQ(syslogKeys, expected);
}

TEST_F(HostSinks, WatchSendsEachChangeAsItHappensAndALostReceiverFailsTheRun) {
    ASSERT_EQ(qvim({"init", "--rules", "rules.json", "-q"}).status, 0);
    auto receiver = std::make_unique<Receiver>("log.sock");
    ASSERT_TRUE(receiver->bound()) << strerror(errno);

    Background watch({"watch", "--format", "ecs", "--syslog=" + receiver->path(), "--db", db});
    watch.waitUntilWatching();
    writeText(tree + "/" + kHostileName, "x");
    std::string line;
    ASSERT_TRUE(watch.readLine(line, 30000)) << watch.errorOutput();
    JsonPtr document(cJSON_Parse(line.c_str()));
    EXPECT_EQ(jsonText(cJSON_GetObjectItem(document.get(), "file"), "path"), tree + "/" + kHostileName) << line;
    // Each event reaches the socket before its line is printed (the folder
    // that gained the name may come in the same burst).
    const std::vector<std::string> messages = receiver->messages();
    ASSERT_GE(messages.size(), 1u);
    const Syslog message = parseSyslog(messages[0]);
    ASSERT_EQ(message.error, "") << messages[0];
    EXPECT_EQ(unescape(message.elements.at("qvim@32473").at("key")), tree + "/" + kHostileName);

    // The receiver goes away: the next event still prints, and the run fails.
    const std::string path = receiver->path();
    receiver.reset();
    unlink(path.c_str());
    writeText(tree + "/second", "y");
    do {
        ASSERT_TRUE(watch.readLine(line, 30000)) << watch.errorOutput();
    } while (line.find(tree + "/second") == std::string::npos);
    EXPECT_EQ(watch.stop(SIGINT), kExitFailure) << watch.errorOutput();
    EXPECT_NE(watch.errorOutput().find("could not be sent to syslog"), std::string::npos)
        << watch.errorOutput();
}

TEST_F(HostSinks, AnUnreachableDestinationFailsTheRunBeforeItStarts) {
    ASSERT_EQ(qvim({"init", "--rules", "rules.json", "-q"}).status, 0);
    writeText(tree + "/new", "x");
    ProgramRun run = qvim({"check", "--syslog=" + absolute("nobody.sock")});
    EXPECT_EQ(run.status, kExitFailure);
    EXPECT_NE(run.err.find("cannot reach syslog"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    // The change is still there for the next run to report.
    run = qvim({"check", "--json"});
    EXPECT_EQ(run.status, kExitAdded | kExitChanged) << run.err;

    struct stat journal;
    if (stat("/run/systemd/journal/socket", &journal) == 0)
        GTEST_SKIP() << "a journal runs here: its unreachable case cannot be made";
    run = qvim({"check", "--journal"});
    EXPECT_EQ(run.status, kExitFailure);
    EXPECT_NE(run.err.find("journal is not reachable"), std::string::npos) << run.err;
}

TEST_F(HostSinks, AFullSyslogSocketCostsABoundedWaitAndEveryLostEventIsCounted) {
    Receiver receiver("full.sock");
    ASSERT_TRUE(receiver.bound()) << strerror(errno);
    // Another sender fills the receiver's queue, which nobody reads.
    const int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_un address = Receiver::addressOf(receiver.path());
    ASSERT_EQ(connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    int sent = 0;
    while (sent < 100000 && send(filler, "x", 1, 0) == 1) ++sent;
    close(filler);
    ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << strerror(errno);

    FILE* err = tmpfile();
    ASSERT_NE(err, nullptr);
    {
        Console console(err, false, false);
        EventSinks sinks;
        ASSERT_EQ(sinks.openSyslog(receiver.path()), "");
        JsonPtr event(cJSON_Parse(kEvent));
        // The first waits in vain; the second fails at once, the receiver being stalled.
        sinks.deliver(event.get(), console);
        sinks.deliver(event.get(), console);
        // Once the receiver reads again, events go through again.
        EXPECT_EQ(receiver.messages().size(), static_cast<size_t>(sent));
        sinks.deliver(event.get(), console);
        const std::vector<std::string> received = receiver.messages();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(parseSyslog(received[0]).error, "");
        const std::vector<std::string> lost = sinks.undelivered();
        ASSERT_EQ(lost.size(), 1u);
        EXPECT_EQ(lost[0].rfind("2 events could not be sent to syslog", 0), 0u) << lost[0];
    }
    rewind(err);
    char line[512] = {};
    ASSERT_NE(fgets(line, sizeof line, err), nullptr);
    EXPECT_NE(strstr(line, "cannot send an event to syslog"), nullptr) << line;
    fclose(err);
}

TEST_F(HostSinks, SyslogMessagesStayWithinTheLimitAndSayWhatWasLeftOut) {
    JsonPtr event(cJSON_Parse(kEvent));
    // A key of 5000 quotes doubles when escaped; attributes crowd the rest.
    cJSON_ReplaceItemInObject(event.get(), "key", cJSON_CreateString(std::string(5000, '"').c_str()));
    cJSON* attributes = cJSON_GetObjectItem(event.get(), "isAttributes");
    for (int i = 0; i < 50; ++i) {
        cJSON* entry = cJSON_CreateObject();
        cJSON_AddStringToObject(entry, "name", ("extra" + std::to_string(i)).c_str());
        cJSON_AddStringToObject(entry, "value", std::string(200, ']').c_str());
        cJSON_AddItemToArray(attributes, entry);
    }
    for (size_t limit : {kSyslogMessageLimit, size_t(2048)}) {
        const std::string text = syslogMessage(event.get(), "host", 1, limit);
        EXPECT_LE(text.size(), limit);
        const Syslog message = parseSyslog(text);
        ASSERT_EQ(message.error, "") << text;
        EXPECT_EQ(message.elements.count("truncated@32473"), 1u);
        const std::string key = message.elements.at("qvim@32473").at("key");
        EXPECT_GT(key.size(), 16u);
        EXPECT_EQ(key.find_first_not_of('"'), std::string::npos);
    }
    // A small event is whole and unmarked.
    JsonPtr small(cJSON_Parse(kEvent));
    const Syslog whole = parseSyslog(syslogMessage(small.get(), "host", 1, kSyslogMessageLimit));
    ASSERT_EQ(whole.error, "");
    EXPECT_EQ(whole.elements.count("truncated@32473"), 0u);
    EXPECT_EQ(unescape(whole.elements.at("qvim@32473").at("key")), "/etc/a]b\"c\nd");
    EXPECT_EQ(whole.elements.at("qvimWas@32473").at("sha256"), "AA");
    EXPECT_EQ(whole.header[1], "2020-09-13T12:26:40.123Z");
}

TEST_F(HostSinks, JournalFieldsAreOnePerMemberWithValidNamesAndExactValues) {
    JsonPtr event(cJSON_Parse(kEvent));
    std::map<std::string, std::string> fields;
    for (const std::string& field : journalFields(event.get())) {
        const size_t equals = field.find('=');
        ASSERT_NE(equals, std::string::npos) << field;
        const std::string name = field.substr(0, equals);
        EXPECT_TRUE(name.size() <= 64 && name[0] != '_' &&
                    name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::string::npos)
            << name;
        fields[name] = field.substr(equals + 1);
    }
    // Binary-safe: the key's newline stays in the value.
    for (const auto& [name, value] : std::map<std::string, std::string>{
             {"QVIM_KEY", "/etc/a]b\"c\nd"}, {"QVIM_OPERATION", "update"}, {"QVIM_KIND", "File"},
             {"QVIM_RULE", "etc"}, {"QVIM_PROCESS", "vi"}, {"QVIM_USER", "root"},
             {"QVIM_IS_LAST_MODIFIED", "1600000000123"}, {"QVIM_WAS_SHA256", "AA"}, {"PRIORITY", "5"}})
        EXPECT_EQ(fields[name], value) << name;
    EXPECT_EQ(fields["MESSAGE"].find('\n'), std::string::npos) << fields["MESSAGE"];
    EXPECT_EQ(unescape(fields["MESSAGE"]), "update File /etc/a]b\"c\nd [etc] by vi (root)");
}

TEST_F(HostSinks, EcsDocumentsUseOnlySchemaNamesAndCarryTheEvent) {
    JsonPtr event(cJSON_Parse(kEvent));
    JsonPtr document = ecsDocument(event.get(), "host1");
    std::set<std::string> names;
    leafNames(document.get(), "", names);
    for (const std::string& name : names)
        EXPECT_TRUE(kEcsFields.count(name) != 0 || name.rfind("qvim.", 0) == 0) << name << " is no ECS field";
    const cJSON* file = cJSON_GetObjectItem(document.get(), "file");
    for (const auto& [name, value] : std::map<std::string, std::string>{
             {"path", "/etc/a]b\"c\nd"}, {"name", "a]b\"c\nd"}, {"mode", "0750"}, {"owner", "root"}})
        EXPECT_EQ(jsonText(file, name.c_str()), value) << name;
    EXPECT_EQ(jsonText(cJSON_GetObjectItem(file, "hash"), "sha256"), "BB");
    EXPECT_EQ(cJSON_GetObjectItem(file, "size")->valuedouble, 12);
    EXPECT_EQ(jsonText(document.get(), "@timestamp"), "2020-09-13T12:26:40.123Z");
    const cJSON* ecsEvent = cJSON_GetObjectItem(document.get(), "event");
    EXPECT_EQ(jsonText(ecsEvent, "action"), "update");
    EXPECT_EQ(jsonText(cJSON_GetObjectItem(document.get(), "process"), "name"), "vi");
    EXPECT_EQ(jsonText(cJSON_GetObjectItem(document.get(), "user"), "name"), "root");

    // Other kinds land in their own schema fields; a deletion shows what was.
    const char* others[][3] = {{"User", "user.target.name", "alice"},
                               {"Group", "group.name", "staff"},
                               {"InstalledSoftware", "package.name", "tool"}};
    for (const auto& other : others) {
        JsonPtr changed(cJSON_Parse(kEvent));
        cJSON_ReplaceItemInObject(changed.get(), "entityType", cJSON_CreateString(other[0]));
        cJSON_ReplaceItemInObject(changed.get(), "key", cJSON_CreateString(other[2]));
        cJSON_ReplaceItemInObject(changed.get(), "operationType", cJSON_CreateString("delete"));
        JsonPtr converted = ecsDocument(changed.get(), "host1");
        const cJSON* item = converted.get();
        std::string path = other[1];
        for (size_t dot; (dot = path.find('.')) != std::string::npos; path = path.substr(dot + 1))
            item = cJSON_GetObjectItem(item, path.substr(0, dot).c_str());
        EXPECT_EQ(jsonText(item, path.c_str()), other[2]) << other[0];
        const cJSON* types = cJSON_GetObjectItem(cJSON_GetObjectItem(converted.get(), "event"), "type");
        ASSERT_TRUE(cJSON_IsArray(types));
        EXPECT_STREQ(cJSON_GetArrayItem(types, cJSON_GetArraySize(types) - 1)->valuestring, "deletion") << other[0];
    }
}
