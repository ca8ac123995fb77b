// The scan framework: how one scanned entity reaches the store (baseline) or
// the event handler (change scans), then the port scanner built on it.
// Sections: the common step, port scanner.
#include "QVIMScanAbstract.h"

#include <netdb.h>
#include <pwd.h>

#include <cassert>
#include <cstdio>

#include <unordered_map>

#include "IMEngineRoutines.h"
#include "QVIMDataAccessLayer.h"
#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"
#include "QVIMLogger.h"

namespace {
// Events one scan may add to its response.
constexpr unsigned long kScanEventLimit = 1000;
}  // namespace

void openPasswordDatabase() { setpwent(); }
void closePasswordDatabase() { endpwent(); }

void setResponseJson(im_wrapper_response_s* response, const JSONEvents& events) {
    if (response != nullptr) response->json = events.print();
}

// ---- The common step ---------------------------------------------------------------

bool QVIMScanAbstract::processEvent(scan_type scanType, unsigned long threadId, im_wrapper_event_s& record,
                                    im_wrapper_response_s* response, JSONEvents& events) {
    im_wrapper_response_s scratch{};
    im_wrapper_response_s& target = response != nullptr ? *response : scratch;
    switch (scanType) {
        case SCAN_BASELINE:
            if (QVIMEngine::storeItem(m_store, m_config, &record, true, &target) == QVIM_E_FAILED) return false;
            ++target.nItemsScanned;
            return true;
        case SCAN_CHANGE:
        case SCAN_CHANGE_REALTIME:
            return !QVIM_FAILED(QVIMEngine::integrityMonitor(m_store, m_config, m_stats, threadId, &record, events,
                                                             target, kScanEventLimit, nullptr));
        default:
            return true;
    }
}

bool QVIMScanAbstract::processEvent(scan_type scanType, unsigned long, std::shared_ptr<QVIMEvent>& record,
                                    im_wrapper_response_s* response, JSONEvents& events) {
    assert(record != nullptr && "scanners hand over the records they built");
    im_wrapper_response_s scratch{};
    im_wrapper_response_s& target = response != nullptr ? *response : scratch;
    switch (scanType) {
        case SCAN_BASELINE:
            return m_store.storeItemBuffer(record, target);
        case SCAN_CHANGE:
        case SCAN_CHANGE_REALTIME: {
            const EventHandlerNormal handler(m_store, m_config, m_stats);
            const qvim_status status = handler.handleEvent(*record, events, target, kScanEventLimit, nullptr);
            // A match reported by an earlier record of the scan stands.
            if (target.state != IM_MATCH_WITH_EVENT && target.state != IM_MATCH_WITH_MAX_EVENTS &&
                target.state != IM_MATCH_NO_EVENT)
                target.state = static_cast<uint32_t>(record->state);
            return !QVIM_FAILED(status);
        }
        default:
            return true;
    }
}

// ---- Port scanner ------------------------------------------------------------------

std::string QVIMScanAbstract::PortSource::getKey(const char* protocol, const AddressDescriptor& address) {
    char host[NI_MAXHOST];
    char service[32];
    const int rc = getnameinfo(address.sockaddr(), address.length(), host, sizeof host, service, sizeof service,
                               NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0) {
        LOG_ERROR(QVIM_SRC_SCANABSTRACT, "getKey", "Error calling getnameinfo(): %s\n", gai_strerror(rc));
        return std::string();
    }
    char key[8 + NI_MAXHOST + sizeof service];
    std::snprintf(key, sizeof key, "%s/%.128s/%.32s", protocol, host, service);
    return key;
}

bool QVIMScanAbstract::scanPorts(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response) {
    LOG_TRACE(QVIM_SRC_SCANABSTRACT, "scanPorts", "Beginning port scan");
    JSONEvents events;
    // Sockets sharing protocol, address and port become one record, so a port
    // served by many workers costs one baseline comparison.
    std::unordered_map<std::string, std::unique_ptr<im_event_port>> ports;
    bool failed = false;
    {
        PasswordDatabaseScope passwords;
        im_wrapper_event_s blank{};
        blank.entityType = "Port";
        blank.eventType = QVIM_EVENT_CHANGED;
        blank.realTime = scanType == SCAN_CHANGE_REALTIME;
        const auto freshRecord = [&] {
            auto record = std::make_unique<im_event_port>(m_store, &blank);
            record->currentKey.clear();
            return record;
        };

        for (unsigned long index = 0; index < PortSource::kSourceCount; ++index) {
            const std::unique_ptr<PortSource> source(PortSource::factory(index));
            if (!source->open() || failed) continue;

            std::unique_ptr<im_event_port> spare = freshRecord();
            while (source->getNext(spare.get())) {
                const auto found = ports.find(spare->currentKey);
                if (found == ports.end()) {
                    std::string key = spare->currentKey;
                    ports.emplace(std::move(key), std::move(spare));
                    spare = freshRecord();
                } else {
                    im_event_port& merged = *found->second;
                    merged.listeners += 1;
                    merged.user += ',';
                    merged.user += spare->user;
                }
            }
            spare.reset();

            for (auto& entry : ports) {
                std::shared_ptr<QVIMEvent> record(std::move(entry.second));
                if (!processEvent(scanType, threadId, record, response, events)) {
                    failed = true;
                    break;
                }
            }
            ports.clear();
        }
        PortSource::endScan();
    }
    if (!failed) setResponseJson(response, events);
    return !failed;
}
