// Helpers of the scanner tests: a scanner that keeps the boundary records it
// produces instead of handing them to the engine, so that a scan can be
// compared with the machine, and the machine's side of that comparison
// (commands, loopback sockets).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "IMEngineHandleConcrete.h"
#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"
#include "QVIMScanLinux.h"

namespace qvim_test {

inline std::string text(const char* value) { return value != nullptr ? value : "<null>"; }

// The texts and numbers of one boundary record, copied.
struct Captured {
    explicit Captured(const im_wrapper_event_s& r)
        : entityType(text(r.entityType)), path(text(r.path)), newKey(text(r.newKey)), name(text(r.name)),
          owner(text(r.owner)), userGroup(text(r.userGroup)), permissions(text(r.permissions)),
          symLinkPath(text(r.symLinkPath)), user(text(r.user)), groups(text(r.groups)), members(text(r.members)),
          fullName(text(r.fullName)), homeFolder(text(r.homeFolder)), logonShell(text(r.logonShell)),
          processKey(text(r.processKey)), processName(text(r.processName)), processUser(text(r.processUser)),
          process(text(r.process)), commandLine(text(r.commandLine)), displayName(text(r.displayName)),
          version(text(r.version)), manufacturer(text(r.manufacturer)), installedDate(text(r.installedDate)),
          record(r) {}
    std::string entityType, path, newKey, name, owner, userGroup, permissions, symLinkPath, user, groups, members,
        fullName, homeFolder, logonShell, processKey, processName, processUser, process, commandLine, displayName,
        version, manufacturer, installedDate;
    im_wrapper_event_s record;  // numbers and flags only: its texts are gone after the call
};

class CapturingScanner : public QVIMScanLinux {
public:
    explicit CapturingScanner(IMEngineHandleConcrete& engine) : QVIMScanLinux(engine) {}

    bool processEvent(scan_type, unsigned long, im_wrapper_event_s& record, im_wrapper_response_s*,
                      JSONEvents&) override {
        records.emplace_back(record);
        return onRecord ? onRecord(records.back()) : true;
    }
    bool processEvent(scan_type, unsigned long, std::shared_ptr<QVIMEvent>& record, im_wrapper_response_s*,
                      JSONEvents&) override {
        built.push_back(record);
        return true;
    }
    bool folderInScope(const char* path) override { return scope ? scope(path) : true; }

    const Captured* find(const std::string& key) const {
        for (const Captured& captured : records)
            if (captured.newKey == key) return &captured;
        return nullptr;
    }

    void setProcessBudget(unsigned long milliseconds) { m_processScanBudgetMs = milliseconds; }

    std::vector<Captured> records;
    std::vector<std::shared_ptr<QVIMEvent>> built;
    // Return false to make the scan see a failed entity.
    std::function<bool(const Captured&)> onRecord;
    std::function<bool(const char*)> scope;
};

// The standard output of a shell command.
inline std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

// The non-empty lines of a text.
inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

inline bool haveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a command with its output appended to "tools.log"; its exit status.
inline int sh(const std::string& command) { return std::system((command + " >>tools.log 2>&1").c_str()); }

// A socket bound to a loopback address (listening when it is a stream
// socket), closed when it goes.
class Socket {
public:
    Socket(int family, int type, int port = 0, bool reusePort = false) : fd(socket(family, type, 0)) {
        if (fd < 0) return;
        const int on = 1;
        if (reusePort) setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        sockaddr_storage address{};
        socklen_t length;
        if (family == AF_INET) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<uint16_t>(port));
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *v4;
        } else {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<uint16_t>(port));
            v6->sin6_addr = in6addr_loopback;
            length = sizeof *v6;
        }
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            (type == SOCK_STREAM && listen(fd, 4) != 0)) {
            close();
            return;
        }
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        this->port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                              : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fd;
    int port = 0;
};

}  // namespace qvim_test
