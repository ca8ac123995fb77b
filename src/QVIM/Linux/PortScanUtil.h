// Readers of the kernel's socket tables ("/proc/net/tcp" and friends): one
// port source per table, giving one record per listening socket.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>
#include <unordered_map>

#include "QVIMScanAbstract.h"
#include "QVIMThreadSafety.h"

class AddressDescriptorv4 : public QVIMScanAbstract::PortSource::AddressDescriptor {
public:
    AddressDescriptorv4();
    int prepareSockaddr(const char* hexAddress, int port) override;
};

class AddressDescriptorv6 : public QVIMScanAbstract::PortSource::AddressDescriptor {
public:
    AddressDescriptorv6();
    int prepareSockaddr(const char* hexAddress, int port) override;
};

// User names by uid, shared by the port sources of all scans.
class UserLookup {
public:
    // The user name of uid, or the decimal uid when it has none.
    std::string name(uid_t uid);
    void clear();

private:
    Mutex m_mutex;
    std::unordered_map<uid_t, std::string> m_names GUARDED_BY(m_mutex);
};

class PortSourceLinux : public QVIMScanAbstract::PortSource {
public:
    // Opens "/proc/net/" + protocol.
    bool open() override;
    // Opens a table in the kernel's format at another path.
    bool openPath(const char* path);
    bool getNext(im_event_port* record) override;

    static UserLookup m_userLookup;

protected:
    PortSourceLinux(const char* protocol, AddressDescriptor& address, int minFields, int listenState)
        : protocol(protocol), m_address(address), minFields(minFields), listenState(listenState) {}

    const char* protocol;
    std::ifstream m_stream;
    AddressDescriptor& m_address;
    // Items a table line must convert to be considered.
    int minFields;
    // Socket state that means listening: TCP's listen state, and the close
    // state that unconnected UDP sockets show.
    int listenState;

private:
    std::string m_line;
};

class PortSourcev4 : public PortSourceLinux {
protected:
    PortSourcev4(const char* protocol, int minFields, int listenState)
        : PortSourceLinux(protocol, m_v4, minFields, listenState) {}
    AddressDescriptorv4 m_v4;
};

class PortSourcev6 : public PortSourceLinux {
protected:
    PortSourcev6(const char* protocol, int minFields, int listenState)
        : PortSourceLinux(protocol, m_v6, minFields, listenState) {}
    AddressDescriptorv6 m_v6;
};

class PortSourceTCP4 : public PortSourcev4 {
public:
    PortSourceTCP4() : PortSourcev4("tcp", 11, 0x0A) {}
};
class PortSourceTCP6 : public PortSourcev6 {
public:
    PortSourceTCP6() : PortSourcev6("tcp6", 11, 0x0A) {}
};
class PortSourceUDP4 : public PortSourcev4 {
public:
    PortSourceUDP4() : PortSourcev4("udp", 10, 0x07) {}
};
class PortSourceUDP6 : public PortSourcev6 {
public:
    PortSourceUDP6() : PortSourcev6("udp6", 10, 0x07) {}
};
