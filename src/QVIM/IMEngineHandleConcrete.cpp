// The engine's operations: every IMEngineHandle call lands here and is handed
// to the part that does the work (store, configuration, statistics, scanners,
// export). Sections: lifecycle and settings, rules and scan scope, baseline
// control, scans, export, the record routines (real-time notifications and
// item storage: integrityMonitor, storeItem, flushDBBuffer), the legacy import
// (migrateBaseline).
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
// (the delete handler's cleanUp over the table's deleteUnscanned; cleanUnscanned
// does the same for a host's own scan).
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
#include <list>

#include "IMEngineRoutines.h"
#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"
#include "QVIMExportBackbone.h"
#include "QVIMJson.h"
#include "QVIMLogger.h"
#include "QVIMScanLinux.h"
#include "QVIMUtilPlatformIndependent.h"

IMEngineHandleConcrete::IMEngineHandleConcrete() : m_dal(m_config, m_stats) {}

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

namespace {

// Top-level directories of the bases, ';'-joined with escaping.
std::string joinTopLevelDirectories(const EntitySet::PartialBaselineBases& bases) {
    std::list<std::string> directories;
    for (const std::string& base : bases) directories.push_back(topLevelDirectory(base));
    std::string text;
    join(text, directories, ';', true);
    return text;
}

std::string joinTypeNames(const QVIMConfig::TypeSet& types) {
    std::list<std::string> names;
    for (entity_type type : types) names.emplace_back(EntitySet::convertEntityType(type));
    std::string text;
    join(text, names, ',', false);
    return text;
}

}  // namespace

bool IMEngineHandleConcrete::installRuleset(bool allowPartialBaseline, const char* ruleset, const char* guid) {
    const std::string rulesetId = guid != nullptr ? guid : "";

    // A pending partial baseline cannot be narrowed further: start over.
    if (!allowPartialBaseline || m_dal.isPartialScanSet()) {
        if (!m_dal.SetIntegrityMonitorState("baselineScanType", 0UL)) return false;
        m_config.updateStats(m_stats, ruleset, guid);
        auto next = std::make_shared<IntegrityRuleFilter>();
        const bool read = next->setRules(m_stats, ruleset, rulesetId);
        m_config.installFilter(std::move(next));
        return read;
    }

    bool keepBaseline = false;
    QVIMConfig::TypeSet types;
    EntitySet::PartialBaselineBases purgeBases;
    EntitySet::PartialBaselineBases scanBases;
    if (!m_config.updateRuleset(m_stats, ruleset, guid, keepBaseline, types, purgeBases, scanBases)) return false;
    if (!keepBaseline) return m_dal.SetIntegrityMonitorState("baselineScanType", 0UL);
    if (!m_dal.SetIntegrityMonitorState("baselineScanType", 1UL)) return false;
    if (!m_dal.SetIntegrityMonitorState("partialBaseLineScanEntityTypes", joinTypeNames(types))) return false;
    const bool purgeWritten =
        m_dal.SetIntegrityMonitorState("partialBaselinePurgePathsDisk", joinTopLevelDirectories(purgeBases));

    // Only bases that the new rules still reach are walked again.
    const std::shared_ptr<const IntegrityRuleFilter> filter = m_config.getFilter();
    for (auto it = scanBases.begin(); it != scanBases.end();) {
        const bool reached = QVIMConfig::matchBaseToRule(*filter, ENTITY_FILE, *it) ||
                             QVIMConfig::matchBaseToRule(*filter, ENTITY_DIRECTORY, *it);
        it = reached ? std::next(it) : scanBases.erase(it);
    }
    if (!purgeWritten) return false;
    return m_dal.SetIntegrityMonitorState("partialBaselineScanPathsDisk", joinTopLevelDirectories(scanBases));
}

qvim_status IMEngineHandleConcrete::setRuleset(bool allowPartialBaseline, const char* rulesetJson,
                                               const char* rulesetId) {
    if (rulesetJson == nullptr) {
        LOG_ERROR(QVIM_SRC_ENGINE, "setRuleset", "set_ruleset called with a bad parameter");
        return QVIM_E_BAD_PARAMETER;
    }
    bool installed = false;
    {
        MutexLock lock(m_rulesetMutex);
        installed = installRuleset(allowPartialBaseline, rulesetJson, rulesetId);
    }
    const qvim_status status = installed ? QVIM_OK : QVIM_E_FAILED;
    LOG_TRACE(QVIM_SRC_ENGINE, "setRuleset", "set ruleset return %d", static_cast<int32_t>(status));
    return status;
}

int IMEngineHandleConcrete::shouldScanFolder(const char* path) {
    return Scan::walkEnters(m_dal, m_config, path) ? 1 : 0;
}

int IMEngineHandleConcrete::shouldScanEntityType(entity_type type) {
    if (!m_dal.isPartialScanSet()) return 1;
    return validateEntityTypeInPartialScan(m_dal, type) ? 1 : 0;
}

// ---- Baseline control ----------------------------------------------------------------

void IMEngineHandleConcrete::setBaselineScan(bool state) {
    ::setBaselineScan(m_dal, m_stats, state);
    setBaselineScanActive(state);
}

// ---- Scans -------------------------------------------------------------------------

namespace {

// The scanner of a kind; none for File (files reach the engine from the
// host), All and anything else.
QVIMScanLinux::Routine scannerFor(entity_type type) {
    const KindDescriptor* kind = kindDescriptor(type);
    return kind != nullptr ? QVIMScanLinux::routine(kind->scanner) : nullptr;
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
    const QVIMScanLinux::Routine scanner = scannerFor(type);
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
    QVIMScanLinux scanners(m_dal, m_config, m_stats);
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
        EventHandlerDeleteUnscanned(m_dal, m_config, m_stats).cleanUp(*kindTable, scanStart, response);
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
    if (!EventHandlerDeleteUnscanned(m_dal, m_config, m_stats).cleanUp(*kindTable, scanTime, response)) {
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

// ---- Record routines and item storage ---------------------------------------------

namespace {
// The record of the kind named in the boundary record; empty for unknown kinds.
std::shared_ptr<QVIMEvent> convertEvent(QVIMDAL& store, const im_wrapper_event_s* record) {
    return std::shared_ptr<QVIMEvent>(QVIMEvent::factory(store, record));
}
}  // namespace

qvim_status QVIMEngine::integrityMonitor(QVIMDAL& store, const QVIMConfig& config, QVIMStats& stats, unsigned long,
                                         const im_wrapper_event_s* record, JSONEvents& events,
                                         im_wrapper_response_s& response, unsigned long maxEvents,
                                         const IntegrityRule::Enforcement* enforcement) {
    if (record == nullptr || record->entityType == nullptr) {
        LOG_ERROR(QVIM_SRC_EVENTS, "integrityMonitor", "Invalid parameter");
        response.state = IM_INVALID_PARAMETER;
        return QVIM_E_BAD_PARAMETER;
    }
    const std::shared_ptr<QVIMEvent> event = convertEvent(store, record);
    if (!event) {
        response.state = IM_INVALID_PARAMETER;
        return QVIM_E_BAD_PARAMETER;
    }
    const qvim_status result =
        EventHandlerNormal(store, config, stats).handleEvent(*event, events, response, maxEvents, enforcement);
    response.state = static_cast<uint32_t>(event->state);
    return result;
}

qvim_status QVIMEngine::storeItem(QVIMDAL& store, const QVIMConfig& config, const im_wrapper_event_s* record,
                                  bool buffered, im_wrapper_response_s* response) {
    if (response == nullptr || record == nullptr) return QVIM_E_BAD_PARAMETER;
    response->nItemsScanned = 0;
    const std::shared_ptr<QVIMEvent> event = convertEvent(store, record);
    if (!event) {
        response->state = IM_NO_RULE_MATCH;
        return QVIM_E_FAILED;
    }
    std::unordered_set<long long> ruleIds;
    config.getFilter()->matchRules(event->entityType(), *event, event->realTime, ruleIds);
    if (ruleIds.empty()) {
        response->state = IM_NO_RULE_MATCH;
        return QVIM_OK;
    }
    response->state = IM_MATCH_WITH_EVENT;
    LOG_TRACE(QVIM_SRC_EVENTS, "storeItem", "storeItem: '%s'", record->path != nullptr ? record->path : "(null)");
    const bool stored = buffered ? store.storeItemBuffer(event, *response) : store.storeItem(event, *response);
    return stored ? QVIM_OK : QVIM_E_FAILED;
}

namespace {

const char* orNull(const char* text) { return text != nullptr ? text : "(null)"; }

void logDigest(const char* format, const unsigned char* digest, unsigned long size) {
    if (digest != nullptr)
        LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", format, Blob::getEncoding(digest, size).c_str());
}

// The field lines of an incoming notification (trace only).
void logNotification(const im_wrapper_event_s& r) {
    if (!QVIMLoggerSL::getInstance().enabled(QVIM_LOG_TRACE)) return;
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor",
              "integrity_monitor called for entityType %s newKey %s real_time %d event type %d", orNull(r.entityType),
              orNull(r.newKey), r.realTime ? 1 : 0, static_cast<int>(r.eventType));
    const std::pair<const char*, const char*> texts[] = {
        {"symLinkPath %s", r.symLinkPath}, {"permissions %s", r.permissions}, {"group %s", r.userGroup},
        {"owner %s", r.owner},             {"user %s", r.user},               {"processUser %s", r.processUser},
        {"processGroups %s", r.processGroups},
    };
    for (const auto& [format, text] : texts)
        if (text != nullptr) LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", format, text);
    logDigest("sha256 %s", r.sha256, Hash::SHA256);
    logDigest("sha1 %s", r.sha1, Hash::SHA1);
    logDigest("md5 %s", r.md5, Hash::MD5);
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", "created %lld", static_cast<long long>(r.created));
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", "lastAccessed %lld", static_cast<long long>(r.lastAccessed));
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", "lastModified %lld", static_cast<long long>(r.lastModified));
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", "size %d", static_cast<int>(r.size));
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", "blockAllocated %d", static_cast<int>(r.blocksAllocated));
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", "flags %d", static_cast<int>(r.flags));
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", "flagsAll %d", static_cast<int>(r.flagsAll));
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", "deviceNumber %d", static_cast<int>(r.deviceNumber));
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", "inodeNumber %d", static_cast<int>(r.inodeNumber));
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", "inodeGenerationNumber %d",
              static_cast<int>(r.inodeGenerationNumber));
}

}  // namespace

qvim_status IMEngineHandleConcrete::integrityMonitor(unsigned long threadId, const im_wrapper_event_s& record,
                                                     im_wrapper_response_s& response) {
    qvim_status result;
    {
        MutexLock lock(m_monitorMutex);
        logNotification(record);
        JSONEvents events;
        // Notifications that come before the operation carry the acting
        // process, against which real-time rules allow or block it.
        IntegrityRule::Enforcement acting;
        const bool enforced = record.realTime && record.eventType < 6;
        if (enforced) {
            acting.user = textOf(record.processUser);
            acting.processName = textOf(record.processName);
            acting.groupsText = textOf(record.processGroups);
            if (!acting.groupsText.empty()) acting.groupList = split(acting.groupsText, ',');
        }
        result = QVIMEngine::integrityMonitor(m_dal, m_config, m_stats, threadId, &record, events, response,
                                              kNoEventLimit, enforced ? &acting : nullptr);
        if (!QVIM_FAILED(result)) {
            response.json = events.print();
            m_stats.Add("totalEvents", static_cast<long>(response.nEvents));
        } else {
            LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor", "integrity_monitor call to integrityMonitor failed");
        }
    }
    LOG_TRACE(QVIM_SRC_ENGINE, "integrityMonitor",
              "integrity_monitor finished for entityType %s path %s real_time %d event type %d res.state %d "
              "res.nEvents %d res.nScanned %d, ret: %d",
              orNull(record.entityType), orNull(record.path), record.realTime ? 1 : 0,
              static_cast<int>(record.eventType), static_cast<int>(response.state), static_cast<int>(response.nEvents),
              static_cast<int>(response.nItemsScanned), static_cast<int>(result));
    return result;
}

qvim_status IMEngineHandleConcrete::storeItem(const im_wrapper_event_s& record, bool buffered,
                                              im_wrapper_response_s& response) {
    LOG_TRACE(QVIM_SRC_ENGINE, "storeItem", "store_item called for entityType %s path %s event type %d buffered %d",
              orNull(record.entityType), orNull(record.path), static_cast<int>(record.eventType), buffered ? 1 : 0);
    const qvim_status result = QVIMEngine::storeItem(m_dal, m_config, &record, buffered, &response);
    if (result != QVIM_OK)
        LOG_ERROR(QVIM_SRC_ENGINE, "storeItem", "store_item call to storeItem fail for %s ret %d", orNull(record.path),
                  static_cast<int>(result));
    else
        LOG_TRACE(QVIM_SRC_ENGINE, "storeItem",
                  "store_item returning for entityType %s, path %s, event type %d, res.nItemsScanned %d, "
                  "res.nEvents %d, res.state %d",
                  orNull(record.entityType), orNull(record.path), static_cast<int>(record.eventType),
                  static_cast<int>(response.nItemsScanned), static_cast<int>(response.nEvents),
                  static_cast<int>(response.state));
    return result;
}

qvim_status IMEngineHandleConcrete::flushDBBuffer(unsigned long& nItemsScanned) {
    LOG_TRACE(QVIM_SRC_ENGINE, "flushDBBuffer", "flush_db_buffer");
    if (!m_dal.storeItemFlush(nItemsScanned)) {
        LOG_TRACE(QVIM_SRC_ENGINE, "flushDBBuffer", "flush_db_buffer call to storeItemFlush failed");
        return QVIM_E_FAILED;
    }
    LOG_TRACE(QVIM_SRC_ENGINE, "flushDBBuffer", "flush_db_buffer returning with nItemsScanned %d",
              static_cast<int>(nItemsScanned));
    return QVIM_OK;
}

qvim_status IMEngineHandleConcrete::setIntegrityscan(bool on) {
    if (baselineScanActive()) return QVIM_E_BASELINE_ACTIVE;
    const bool done = on ? m_dal.initEntityIDBufferArrays() : m_dal.flushEntityIDBufferArrays();
    m_dal.setBufferSelectedIDs(on);
    return done ? QVIM_OK : QVIM_E_FAILED;
}

qvim_status IMEngineHandleConcrete::purgeDB() { return m_dal.purgeDB(ENTITY_ALL) ? QVIM_OK : QVIM_E_FAILED; }

// ---- Legacy import -------------------------------------------------------------------------

qvim_status IMEngineHandleConcrete::migrateBaseline(const char* oldDbPath) {
    if (oldDbPath == nullptr) return QVIM_E_BAD_PARAMETER;
    std::printf("migrate_baseline: old_db_path: %s\n", oldDbPath);
    // The baseline period (and its purge) starts only once the old file
    // has been read through without a fault.
    bool started = false;
    const bool migrated = m_dal.migrateDb(oldDbPath, [this, &started] {
        setBaselineScan(true);
        started = true;
    });
    if (started) setBaselineScan(false);
    return migrated ? QVIM_OK : QVIM_E_FAILED;
}
