// Scan framework: the common step that hands each scanned entity to the
// engine, and the port scanner.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <mutex>
#include <string>

#include "qvim.h"

class JSONEvents;
class QVIMConfig;
class QVIMDAL;
class QVIMStats;
class QVIMEvent;
class im_event_port;

class QVIMScanAbstract {
public:
    // The store, rules and counters a scan works with.
    QVIMScanAbstract(QVIMDAL& store, const QVIMConfig& config, QVIMStats& stats)
        : m_store(store), m_config(config), m_stats(stats) {}
    virtual ~QVIMScanAbstract() = default;

    QVIMScanAbstract(const QVIMScanAbstract&) = delete;
    QVIMScanAbstract& operator=(const QVIMScanAbstract&) = delete;

    // Stores (baseline scan) or checks and reports (change scans) one entity.
    // False stops the scan. Virtual so that a scan can be observed without
    // the store.
    virtual bool processEvent(scan_type scanType, unsigned long threadId, im_wrapper_event_s& record,
                              im_wrapper_response_s* response, JSONEvents& events);
    // The same for a record the scanner built itself.
    virtual bool processEvent(scan_type scanType, unsigned long threadId, std::shared_ptr<QVIMEvent>& record,
                              im_wrapper_response_s* response, JSONEvents& events);

    // Listening sockets, one Port entity per protocol/address/port.
    bool scanPorts(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response);

    // A source of listening-port records (one kernel socket table).
    class PortSource {
    public:
        // Builds the socket address of a table line and owns it.
        class AddressDescriptor {
        public:
            virtual ~AddressDescriptor() = default;
            // Number of items converted from the hexadecimal address text.
            virtual int prepareSockaddr(const char* hexAddress, int port) = 0;
            const struct sockaddr* sockaddr() const { return reinterpret_cast<const struct sockaddr*>(&m_address); }
            socklen_t length() const { return m_length; }

        protected:
            explicit AddressDescriptor(socklen_t length) : m_length(length) {}
            struct sockaddr_storage m_address {};
            socklen_t m_length;
        };

        virtual ~PortSource() = default;
        virtual bool open() = 0;
        // Fills the record from the next listening socket; false at the end.
        virtual bool getNext(im_event_port* record) = 0;

        // Source for index 0 tcp, 1 tcp6, 2 udp, 3 (and above) udp6.
        static PortSource* factory(unsigned long index);
        // Forgets the user names the sources looked up, at the end of a scan.
        static void endScan();
        static constexpr unsigned long kSourceCount = 4;

        // "protocol/host/service" with numeric host and service; empty when
        // the address cannot be converted.
        static std::string getKey(const char* protocol, const AddressDescriptor& address);
    };

protected:
    QVIMDAL& m_store;
    const QVIMConfig& m_config;
    QVIMStats& m_stats;
};

// Opens (rewinds) one of the system's entry databases for a scan and closes it
// afterwards. Such a database has a single cursor per process, so scans that
// iterate it or reopen it take turns.
template <void (*Open)(), void (*Close)()>
class SystemDatabaseScope {
public:
    SystemDatabaseScope() : m_lock(mutex()) { Open(); }
    ~SystemDatabaseScope() { Close(); }
    SystemDatabaseScope(const SystemDatabaseScope&) = delete;
    SystemDatabaseScope& operator=(const SystemDatabaseScope&) = delete;

private:
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }
    std::lock_guard<std::mutex> m_lock;
};

void openPasswordDatabase();
void closePasswordDatabase();
using PasswordDatabaseScope = SystemDatabaseScope<openPasswordDatabase, closePasswordDatabase>;

// Stores the unformatted text of the events in the response (when given).
void setResponseJson(im_wrapper_response_s* response, const JSONEvents& events);
