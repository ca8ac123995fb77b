// The kernel's socket tables as port sources. Sections: address
// descriptors, user names, sources.
#include "PortScanUtil.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "QVIMEventAbstraction.h"
#include "QVIMLogger.h"
#include "QVIMUtilPlatformIndependent.h"

UserLookup PortSourceLinux::m_userLookup;

// ---- Address descriptors ---------------------------------------------------------

AddressDescriptorv4::AddressDescriptorv4() : AddressDescriptor(sizeof(struct sockaddr_in)) {}

int AddressDescriptorv4::prepareSockaddr(const char* hexAddress, int port) {
    unsigned long value = 0;
    const int converted = std::sscanf(hexAddress, "%lX", &value);
    m_address = {};
    auto* address = reinterpret_cast<struct sockaddr_in*>(&m_address);
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    // The table prints the network-order address as the host reads it, so
    // the value goes back into memory unchanged.
    address->sin_addr.s_addr = static_cast<uint32_t>(value);
    return converted;
}

AddressDescriptorv6::AddressDescriptorv6() : AddressDescriptor(sizeof(struct sockaddr_in6)) {}

int AddressDescriptorv6::prepareSockaddr(const char* hexAddress, int port) {
    unsigned int words[4] = {0, 0, 0, 0};
    const int converted = std::sscanf(hexAddress, "%08X%08X%08X%08X", &words[0], &words[1], &words[2], &words[3]);
    m_address = {};
    auto* address = reinterpret_cast<struct sockaddr_in6*>(&m_address);
    address->sin6_family = AF_INET6;
    address->sin6_port = htons(static_cast<uint16_t>(port));
    std::memcpy(&address->sin6_addr, words, sizeof words);
    return converted;
}

// ---- User names --------------------------------------------------------------------

std::string UserLookup::name(uid_t uid) {
    MutexLock lock(m_mutex);
    const auto found = m_names.find(uid);
    if (found != m_names.end()) return found->second;
    std::string text;
    if (!lookupUserName(uid, text)) text = std::to_string(uid);
    m_names.emplace(uid, text);
    return text;
}

void UserLookup::clear() {
    MutexLock lock(m_mutex);
    m_names.clear();
}

// ---- Sources -------------------------------------------------------------------------

void QVIMScanAbstract::PortSource::endScan() { PortSourceLinux::m_userLookup.clear(); }

QVIMScanAbstract::PortSource* QVIMScanAbstract::PortSource::factory(unsigned long index) {
    switch (index) {
        case 0: return new PortSourceTCP4();
        case 1: return new PortSourceTCP6();
        case 2: return new PortSourceUDP4();
        default: return new PortSourceUDP6();
    }
}

bool PortSourceLinux::open() {
    char path[20];
    std::snprintf(path, sizeof path, "/proc/net/%s", protocol);
    return openPath(path);
}

bool PortSourceLinux::openPath(const char* path) {
    m_stream.open(path, std::ios::in);
    if (!m_stream.is_open()) {
        LOG_ERROR(QVIM_SRC_PORTSCAN, "open", "Unable to open %s", path);
        return false;
    }
    return true;
}

bool PortSourceLinux::getNext(im_event_port* record) {
    char localAddress[65];
    char remoteAddress[65];
    char rest[513];
    while (std::getline(m_stream, m_line)) {
        int slot = 0;
        unsigned localPort = 0, remotePort = 0, state = 0, timerKind = 0;
        unsigned long transmitQueue = 0, receiveQueue = 0, timerExpiry = 0, retransmits = 0;
        int uid = 0, timeout = 0;
        long inode = 0;
        const int converted = std::sscanf(
            m_line.c_str(), "%d: %64[0-9A-Fa-f]:%X %64[0-9A-Fa-f]:%X %X %lX:%lX %X:%lX %lX %d %d %ld %512s\n", &slot,
            localAddress, &localPort, remoteAddress, &remotePort, &state, &transmitQueue, &receiveQueue, &timerKind,
            &timerExpiry, &retransmits, &uid, &timeout, &inode, rest);
        if (converted < minFields || static_cast<int>(state) != listenState) continue;

        m_address.prepareSockaddr(localAddress, static_cast<int>(localPort));
        // An address without numeric text cannot be keyed: the line is
        // skipped like one that does not parse.
        record->currentKey = QVIMScanAbstract::PortSource::getKey(protocol, m_address);
        if (record->currentKey.empty()) continue;

        record->newKey = record->currentKey;
        char user[16];
        std::snprintf(user, sizeof user, "%d", uid);
        record->user = user;
        record->listeners = 1;
        return true;
    }
    return false;
}
