#include "QVIMScanAbstract.h"

#include <netdb.h>
#include <pwd.h>

#include <cstdio>

#include <unordered_map>

#include "IMEngineHandleConcrete.h"
#include "Linux/PortScanUtil.h"
#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"
#include "QVIMLogger.h"
#include "QVIMScanLinux.h"

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
            if (QVIMEngine::storeItem(m_engine, &record, true, &target) == QVIM_E_FAILED) return false;
            ++target.nItemsScanned;
            return true;
        case SCAN_CHANGE:
        case SCAN_CHANGE_REALTIME:
            return !QVIM_FAILED(
                QVIMEngine::integrityMonitor(m_engine, threadId, &record, events, target, kScanEventLimit, nullptr));
        default:
            return true;
    }
}

bool QVIMScanAbstract::processEvent(scan_type scanType, unsigned long, std::shared_ptr<QVIMEvent>& record,
                                    im_wrapper_response_s* response, JSONEvents& events) {
    im_wrapper_response_s scratch{};
    im_wrapper_response_s& target = response != nullptr ? *response : scratch;
    switch (scanType) {
        case SCAN_BASELINE:
            return m_engine.getDAL().storeItemBuffer(record, target);
        case SCAN_CHANGE:
        case SCAN_CHANGE_REALTIME: {
            const EventHandlerNormal handler(m_engine);
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
            auto record = std::make_unique<im_event_port>(m_engine.getDAL(), &blank);
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
        PortSourceLinux::m_userLookup.clear();
    }
    if (!failed) setResponseJson(response, events);
    return !failed;
}

// ---- Scan orchestration --------------------------------------------------------------

namespace {

using Scanner = bool (QVIMScanLinux::*)(unsigned long, scan_type, im_wrapper_response_s*);

// The scanner of a kind; none for File (files reach the engine from the
// host), All and anything else.
Scanner scannerFor(entity_type type) {
    switch (type) {
        case ENTITY_DIRECTORY: return &QVIMScanLinux::scanDirectories;
        case ENTITY_USER: return &QVIMScanLinux::scanUsers;
        case ENTITY_GROUP: return &QVIMScanLinux::scanGroups;
        case ENTITY_PORT: return &QVIMScanLinux::scanPorts;
        case ENTITY_INSTALLED_SOFTWARE: return &QVIMScanLinux::scanInstalledSoftware;
        case ENTITY_PROCESS: return &QVIMScanLinux::scanProcesses;
        default: return nullptr;
    }
}

}  // namespace

qvim_status IMEngineHandleConcrete::integrityScan(unsigned long threadId, entity_type type, scan_type scanType,
                                                  im_wrapper_response_s& response) {
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityScan", "integrity_scan called for scanType %d entityType %d",
              static_cast<int>(scanType), static_cast<int>(type));
    qvim_status result = QVIM_OK;
    const auto finish = [&]() {
        LOG_TRACE(QVIM_SRC_ENGINE, "integrityScan",
                  "integrity_scan finished for scanType %d, entityType %d, res.state %d, res.nEvents %d, "
                  "res.nItemsScanned %d, ret %d",
                  static_cast<int>(scanType), static_cast<int>(type), static_cast<int>(response.state),
                  static_cast<int>(response.nEvents), static_cast<int>(response.nItemsScanned),
                  static_cast<int>(result));
        return result;
    };

    // Kinds without a scanner are refused whatever the rules and settings
    // say, so that a host learns of the bad request at once.
    const Scanner scanner = scannerFor(type);
    if (scanner == nullptr) {
        LOG_ERROR(QVIM_SRC_ENGINE, "integrityScan", "Integrity Scan called with invalid entity type %d",
                  static_cast<int>(type));
        result = QVIM_E_BAD_PARAMETER;
        return finish();
    }
    // A partial baseline covers only the kinds the ruleset installation named.
    if (scanType == SCAN_BASELINE && !shouldScanEntityType(type)) {
        LOG_TRACE(QVIM_SRC_ENGINE, "integrityScan", "Skipping partial baseline scan for type %d",
                  static_cast<int>(type));
        response.state = IM_NO_RULE_MATCH;
        return finish();
    }
    if (!getConfig().getFilter()->shouldScanEntityType(type, scanType == SCAN_CHANGE_REALTIME)) {
        LOG_TRACE(QVIM_SRC_ENGINE, "integrityScan", "Skipping scan of type %d", static_cast<int>(type));
        response.state = IM_NO_RULE_MATCH;
        return finish();
    }

    const unsigned long scanStart = getDAL().scanStartTime();
    QVIMScanLinux scanners(*this);
    const bool scanned = (scanners.*scanner)(threadId, scanType, &response);
    if (!scanned) {
        result = QVIM_E_FAILED;
        return finish();
    }

    if (scanType == SCAN_BASELINE) {
        unsigned long written = 0;
        if (!getDAL().storeItemFlush(written)) result = QVIM_E_FAILED;
        response.nItemsScanned = written;
    } else {
        EventTypeTable* kindTable = getDAL().table(type);
        getDAL().flushEntityIDBufferArrayLock(*kindTable);
        EventHandlerDeleteUnscanned(*this).cleanUp(*kindTable, scanStart, response);
        getStats().Add("totalEvents", static_cast<long>(response.nEvents));
    }
    return finish();
}

qvim_status IMEngineHandleConcrete::cleanUnscanned(const char* entityType, unsigned long scanTime,
                                                   im_wrapper_response_s& response) {
    if (entityType == nullptr) {
        LOG_ERROR(QVIM_SRC_ENGINE, "cleanUnscanned", "clean_unscanned called with a bad parameter");
        return QVIM_E_BAD_PARAMETER;
    }
    LOG_TRACE(QVIM_SRC_ENGINE, "cleanUnscanned", "clean_unscanned called called for entityType %s scanTime %lld",
              entityType, static_cast<long long>(scanTime));
    EventTypeTable* kindTable = getDAL().table(convertEntityTypeName(entityType));
    if (kindTable == nullptr) {
        LOG_ERROR(QVIM_SRC_ENGINE, "cleanUnscanned", "clean_unscanned called with bad entityType %s", entityType);
        return QVIM_E_BAD_PARAMETER;
    }
    if (!EventHandlerDeleteUnscanned(*this).cleanUp(*kindTable, scanTime, response)) {
        LOG_ERROR(QVIM_SRC_ENGINE, "cleanUnscanned", "clean_unscanned call to deteleUnscanned failed");
        return QVIM_E_FAILED;
    }
    getStats().Add("totalEvents", static_cast<long>(response.nEvents));
    LOG_TRACE(QVIM_SRC_ENGINE, "cleanUnscanned",
              "clean_unscanned finished for entityType %s res.state %d res.nEvents %d res.nScanned %d, returning: %d",
              entityType, static_cast<int>(response.state), static_cast<int>(response.nEvents),
              static_cast<int>(response.nItemsScanned), 0);
    return QVIM_OK;
}
