// The engine's operations: every IMEngineHandle call lands here and is handed
// to the part that does the work (store, configuration, statistics, scanners,
// export). Sections: lifecycle and settings, rules and scan scope, baseline
// control, scans, export. Real-time notifications and item storage go through
// the record routines (integrityMonitor, storeItem, flushDBBuffer), the legacy
// import through the store (migrateBaseline).
//
// Baseline lifecycle. The state lives in the store's settings, so that it
// survives a restart, plus one flag in the engine:
//   none             empty store; "baselineScanType" 0.
//   scan running     setBaselineScan(true) emptied the store (or, for a
//                    pending partial baseline, the listed kinds and the rows
//                    under the changed bases); baselineScanActive() is true,
//                    integrityScan(SCAN_BASELINE) and storeItem fill it, and
//                    setIntegrityscan is refused.
//   built            setBaselineScan(false) wrote out the buffered items and
//                    the "baselineItemsAdded"/"baselineBytesAdded" counters and
//                    set "baselineScanType" back to 0; change scans and
//                    real-time notifications compare against it.
//   partial pending  setRuleset(allowPartialBaseline) kept some rule:
//                    "baselineScanType" 1, with "partialBaseLineScanEntityTypes",
//                    "partialBaselinePurgePathsDisk" and
//                    "partialBaselineScanPathsDisk" naming what the next
//                    baseline rebuilds. The next setBaselineScan(true) runs the
//                    partial baseline; a further ruleset in this state asks for
//                    a full one.
//
// Unscanned rows. A change scan notes scanStartTime() before it walks; every
// row it sees gets a newer scan time, so the rows whose scan time is earlier
// than the start were not seen and are reported as removed and deleted
// (deleteUnscanned; cleanUnscanned does the same for a host's own scan).
//
// Lock order (outer first; no path takes them the other way):
//   migration lock -> store lock -> settings lock
//   ruleset lock   -> store lock -> settings lock
//   monitor lock   -> store lock -> settings lock
//   lifecycle lock (store open and close) -> store lock
// The ruleset and monitor locks are never held together: an installation
// swaps the filter atomically and readers keep their snapshot. The statistics'
// and the logger's locks are leaves, taken inside any of these and around
// nothing.
#include "IMEngineHandleConcrete.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "QVIMEventAbstraction.h"
#include "QVIMExportBackbone.h"
#include "QVIMJson.h"
#include "QVIMLogger.h"
#include "QVIMScanLinux.h"
#include "QVIMUtilPlatformIndependent.h"

IMEngineHandleConcrete::IMEngineHandleConcrete() : m_dal(*this) {}

IMEngineHandleConcrete::~IMEngineHandleConcrete() { m_dal.shutdownDAL(); }

// ---- Lifecycle ------------------------------------------------------------------

qvim_status IMEngineHandleConcrete::engineStart(const im_engine_init_s& init) {
    if (QVIMLoggerSL::getInstance().initLogger(init.logCallback, init.logLevel, "LogFile.log") != 0) {
        LOG_TRACE(QVIM_SRC_ENGINE, "engineStart", "engine_start call to initLogger failed");
        return QVIM_E_LOGGER;
    }
    if (init.dbPath != nullptr && !m_dal.setDBPath(init.dbPath)) {
        LOG_TRACE(QVIM_SRC_ENGINE, "engineStart", "engine_start call to setDB failed with db path %s", init.dbPath);
        return QVIM_E_DB_PATH;
    }
    if (!m_dal.initDB()) return QVIM_E_DB_OPEN;

    std::string persisted;
    if (m_dal.GetIntegrityMonitorState("metrics", persisted)) {
        LOG_TRACE(QVIM_SRC_ENGINE, "engineStart", "persisted metrics size %d", static_cast<int>(persisted.size()));
        if (!persisted.empty() && m_stats.SetMetricsFromPersistence(persisted)) {
            LOG_TRACE(QVIM_SRC_ENGINE, "engineStart", "SetMetricsFromPersistence success");
            return QVIM_OK;
        }
    }
    LOG_TRACE(QVIM_SRC_ENGINE, "engineStart", "No Metrics to Set");
    return QVIM_OK;
}

qvim_status IMEngineHandleConcrete::engineStop() {
    char* text = nullptr;
    if (m_stats.GetMetricsForPersistence(&text) && text != nullptr) {
        CJsonText owned(text);
        if (m_dal.SetIntegrityMonitorState("metrics", std::string(owned.get())))
            LOG_TRACE(QVIM_SRC_ENGINE, "engineStop", "SetIntegrityMonitorState success");
        else
            LOG_TRACE(QVIM_SRC_ENGINE, "engineStop", "SetIntegrityMonitorState failed");
    }
    LOG_TRACE(QVIM_SRC_ENGINE, "engineStop", "Engine Stop");
    LOG_TRACE(QVIM_SRC_ENGINE, "engineStop", "Shutting down DAL for IM Engine");
    m_dal.shutdownDAL();
    return QVIM_OK;
}

qvim_status IMEngineHandleConcrete::setLogLevel(unsigned int mask) {
    QVIMLoggerSL::getInstance().setLevelMask(mask);
    return QVIM_OK;
}

qvim_status IMEngineHandleConcrete::setIMState(const char* key, const char* value) {
    if (key == nullptr || value == nullptr) return QVIM_E_BAD_PARAMETER;
    return m_dal.SetIntegrityMonitorState(key, std::string(value)) ? QVIM_OK : QVIM_E_FAILED;
}

qvim_status IMEngineHandleConcrete::getIMState(const char* key, char** value) {
    if (value == nullptr || key == nullptr) return QVIM_E_BAD_PARAMETER;
    std::string text;
    if (!m_dal.GetIntegrityMonitorState(key, text)) return QVIM_E_FAILED;
    char* copy = static_cast<char*>(calloc(text.size() + 1, 1));
    if (copy == nullptr) return QVIM_E_OUT_OF_MEMORY;
    std::memcpy(copy, text.data(), text.size());
    *value = copy;
    return QVIM_OK;
}

qvim_status IMEngineHandleConcrete::getMetricsMem(char** json) {
    if (json == nullptr) return QVIM_E_BAD_PARAMETER;
    const auto addStore = [this](cJSON* metrics) {
        cJSON* dbinfo = cJSON_AddObjectToObject(metrics, "dbinfo");
        m_dal.PrepareMetricsDBSize(dbinfo);
        m_dal.PrepareMetricsDBInfo(dbinfo);
        m_dal.PrepareMetricsIntegrityMonitorState(cJSON_AddObjectToObject(metrics, "integrityMonitorState"));
    };
    return m_stats.GetMetrics(addStore, json) ? QVIM_OK : QVIM_E_FAILED;
}

// ---- Rules and scan scope ------------------------------------------------------------

qvim_status IMEngineHandleConcrete::setRuleset(bool allowPartialBaseline, const char* rulesetJson,
                                               const char* rulesetId) {
    if (rulesetJson == nullptr) {
        LOG_ERROR(QVIM_SRC_ENGINE, "setRuleset", "set_ruleset called with a bad parameter");
        return QVIM_E_BAD_PARAMETER;
    }
    bool installed = false;
    {
        MutexLock lock(m_rulesetMutex);
        installed = ::setRuleset(m_dal, m_config, m_stats, allowPartialBaseline, rulesetJson, rulesetId);
    }
    const qvim_status status = installed ? QVIM_OK : QVIM_E_FAILED;
    LOG_TRACE(QVIM_SRC_ENGINE, "setRuleset", "set ruleset return %d", static_cast<int32_t>(status));
    return status;
}

int IMEngineHandleConcrete::shouldScanFolder(const char* path) {
    return Scan::walkEnters(m_dal, m_config, path) ? 1 : 0;
}

int IMEngineHandleConcrete::shouldScanEntityType(entity_type type) {
    if (!isPartialScanSet(m_dal)) return 1;
    return validateEntityTypeInPartialScan(m_dal, type) ? 1 : 0;
}

// ---- Baseline control ----------------------------------------------------------------

void IMEngineHandleConcrete::setBaselineScan(bool state) {
    ::setBaselineScan(m_dal, m_stats, state);
    setBaselineScanActive(state);
}

// ---- Scans -------------------------------------------------------------------------

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
    QVIMScanLinux scanners(*this, m_dal, m_config, m_stats);
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
        assert(kindTable != nullptr && "every kind with a scanner has a table");
        getDAL().flushEntityIDBufferArrayLock(*kindTable);
        kindTable->deleteUnscanned(scanStart, response);
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
    if (!kindTable->deleteUnscanned(scanTime, response)) {
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

// ---- Export ----------------------------------------------------------------------------

qvim_status IMEngineHandleConcrete::getBaseline(unsigned long itemId, unsigned long recordTime, unsigned long limit,
                                                entity_type type, const char* filePath) {
    if (filePath == nullptr || type < ENTITY_ALL || type > ENTITY_PROCESS) {
        LOG_ERROR(QVIM_SRC_EXPORT, "getBaseline", "get_baseline called with a bad parameter: entity type %d, file %s",
                  static_cast<int>(type), filePath != nullptr ? filePath : "(null)");
        return QVIM_E_BAD_PARAMETER;
    }
    // The rules in force when the export starts label every row of it.
    const std::shared_ptr<const IntegrityRuleFilter> filter = m_config.getFilter();
    return ::getBaseline(m_dal, *filter, itemId, recordTime, limit, type, filePath) ? QVIM_OK : QVIM_E_FAILED;
}
