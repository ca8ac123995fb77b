// The exported interface: flat functions acting on the current engine, the
// registry of named engine objects, and the object-interface helpers.
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_map>

#include "IMEngineHandleConcrete.h"
#include "QVIMJson.h"
#include "QVIMLogger.h"
#include "QVIMUtilPlatformIndependent.h"

namespace {

// Engines handed out by name; entries still present at unload are not destroyed.
std::unordered_map<std::string, IMEngineHandleConcrete*>& registry() {
    static std::unordered_map<std::string, IMEngineHandleConcrete*> map;
    return map;
}

// The engine the flat functions act on.
IMEngineHandleConcrete* g_pEngineHandle = nullptr;

const char* resultText(qvim_status status) { return QVIM_FAILED(status) ? "ERROR" : "SUCCESS"; }

}  // namespace

// ---- Object interface ----------------------------------------------------------

IMEngineHandle::~IMEngineHandle() = default;

void IMEngineHandle::initResponseWrapper(im_wrapper_response_s* response) {
    if (response == nullptr) return;
    response->state = IM_UNDETERMINED;
    response->nItemsScanned = 0;
    response->nEvents = 0;
    response->json = nullptr;
}

void IMEngineHandle::cleanupResponseWrapper(im_wrapper_response_s* response) {
    if (response == nullptr) return;
    cJSON_free(response->json);
    response->json = nullptr;
}

qvim_status IMEngineHandleStandalone::setLogLevel(unsigned int mask) {
    QVIMLoggerSL::getInstance().setLevelMask(mask);
    return QVIM_OK;
}

void IMEngineHandleStandalone::freeIMStateVal(char* value) { free(value); }
void IMEngineHandleStandalone::freeJSON(char* json) { cJSON_free(json); }
void IMEngineHandleStandalone::initResponseWrapper(im_wrapper_response_s* response) {
    IMEngineHandle::initResponseWrapper(response);
}
void IMEngineHandleStandalone::cleanupResponseWrapper(im_wrapper_response_s* response) {
    IMEngineHandle::cleanupResponseWrapper(response);
}
unsigned long IMEngineHandleStandalone::getCurrentTime() { return getCurrentTimeInMillis(); }

// ---- Flat functions --------------------------------------------------------------

extern "C" {

QVIM_API void init_response_wrapper(im_wrapper_response_s* response) { IMEngineHandle::initResponseWrapper(response); }

QVIM_API void cleanup_response_wrapper(im_wrapper_response_s* response) {
    IMEngineHandle::cleanupResponseWrapper(response);
}

QVIM_API void free_json_string(char* json) { cJSON_free(json); }

QVIM_API qvim_status engine_start(const im_engine_init_s* init) {
    if (init == nullptr) {
        LOG_TRACE(QVIM_SRC_QVIM, "engine_start", "engine_start called with a bad parameter");
        return QVIM_E_NO_START_RECORD;
    }
    if (g_pEngineHandle != nullptr) {
        // Replacing a running engine would leak it and leave its database open.
        LOG_WARNING(QVIM_SRC_QVIM, "engine_start", "engine_start called while an engine runs; stopping it first");
        engine_stop();
    }
    auto engine = std::make_unique<IMEngineHandleConcrete>();
    g_pEngineHandle = engine.get();
    const qvim_status status = engine->engineStart(*init);
    if (status != QVIM_OK) {
        g_pEngineHandle = nullptr;
        return status;  // the failed engine is destroyed here
    }
    engine.release();
    return QVIM_OK;
}

QVIM_API qvim_status engine_stop(void) {
    if (g_pEngineHandle == nullptr) return QVIM_OK;
    std::unique_ptr<IMEngineHandleConcrete> engine(g_pEngineHandle);
    const qvim_status status = engine->engineStop();
    g_pEngineHandle = nullptr;
    return status;
}

QVIM_API IMEngineHandle* get_engine_handle(const char* name) {
    if (name == nullptr) return nullptr;
    auto& map = registry();
    auto it = map.find(name);
    if (it != map.end()) return it->second;
    auto engine = std::make_unique<IMEngineHandleConcrete>();
    IMEngineHandleConcrete* raw = engine.get();
    map.emplace(name, raw);
    engine.release();
    return raw;
}

QVIM_API qvim_status close_engine_handle(const char* name) {
    if (name == nullptr) return QVIM_E_BAD_PARAMETER;
    auto& map = registry();
    auto it = map.find(name);
    if (it == map.end()) return QVIM_E_BAD_PARAMETER;
    std::unique_ptr<IMEngineHandleConcrete> engine(it->second);
    map.erase(it);
    return QVIM_OK;
}

QVIM_API qvim_status set_integrityscan(bool on) {
    LOG_INFO(QVIM_SRC_QVIM, "set_integrityscan", "set_integrityscan(%s) called", on ? "true" : "false");
    if (g_pEngineHandle == nullptr) return QVIM_E_NO_ENGINE;
    return g_pEngineHandle->setIntegrityscan(on);
}

QVIM_API qvim_status integrity_monitor(unsigned long threadId, const im_wrapper_event_s* record,
                                       im_wrapper_response_s* response) {
    LOG_INFO(QVIM_SRC_QVIM, "integrity_monitor", "integrity_monitor called, thread: %lu", threadId);
    if (record == nullptr || response == nullptr) {
        LOG_ERROR(QVIM_SRC_QVIM, "integrity_monitor", "integrity_monitor called with a bad parameter");
        return QVIM_E_BAD_PARAMETER;
    }
    if (g_pEngineHandle == nullptr) {
        LOG_ERROR(QVIM_SRC_QVIM, "integrity_monitor", "integrity_monitor called when the engine is not initialized");
        return QVIM_E_NO_ENGINE;
    }
    return g_pEngineHandle->integrityMonitor(threadId, *record, *response);
}

QVIM_API qvim_status clean_unscanned(const char* entityType, unsigned long scanTime, im_wrapper_response_s* response) {
    LOG_INFO(QVIM_SRC_QVIM, "clean_unscanned", "clean_unscanned() called w/time: %lu", scanTime);
    if (entityType == nullptr || response == nullptr) {
        LOG_ERROR(QVIM_SRC_QVIM, "clean_unscanned", "clean_unscanned called with a bad parameter");
        return QVIM_E_BAD_PARAMETER;
    }
    if (g_pEngineHandle == nullptr) {
        LOG_ERROR(QVIM_SRC_QVIM, "clean_unscanned", "clean_unscanned called when the engine is not initialized");
        return QVIM_E_NO_ENGINE;
    }
    return g_pEngineHandle->cleanUnscanned(entityType, scanTime, *response);
}

QVIM_API qvim_status purge_db(void) {
    if (g_pEngineHandle == nullptr) return QVIM_E_NO_ENGINE;
    return g_pEngineHandle->purgeDB();
}

QVIM_API qvim_status flush_db_buffer(unsigned long* nItemsScanned) {
    if (g_pEngineHandle == nullptr) {
        LOG_TRACE(QVIM_SRC_QVIM, "flush_db_buffer", "flush_db_buffer called when the engine is not intialized");
        return QVIM_E_NO_ENGINE;
    }
    unsigned long ignored = 0;
    return g_pEngineHandle->flushDBBuffer(nItemsScanned != nullptr ? *nItemsScanned : ignored);
}

QVIM_API qvim_status set_baselinescan(bool bState) {
    LOG_TRACE(QVIM_SRC_QVIM, "set_baselinescan", "set_baselinescan called with bState = %d", bState ? 1 : 0);
    if (g_pEngineHandle != nullptr) g_pEngineHandle->setBaselineScan(bState);
    return QVIM_OK;
}

QVIM_API qvim_status store_item(const im_wrapper_event_s* record, bool buffered, im_wrapper_response_s* response) {
    LOG_INFO(QVIM_SRC_QVIM, "store_item", "store_item() called");
    if (record == nullptr || response == nullptr) {
        LOG_ERROR(QVIM_SRC_QVIM, "store_item", "store_item called with a bad parameter");
        return QVIM_E_BAD_PARAMETER;
    }
    if (g_pEngineHandle == nullptr) {
        LOG_TRACE(QVIM_SRC_QVIM, "store_item", "store_item called when the engine is not initialized");
        return QVIM_E_NO_ENGINE;
    }
    return g_pEngineHandle->storeItem(*record, buffered, *response);
}

QVIM_API qvim_status set_loglevel(unsigned int mask) {
    if (g_pEngineHandle == nullptr) return QVIM_E_NO_ENGINE;
    QVIMLoggerSL::getInstance().setLevelMask(mask);
    return QVIM_OK;
}

QVIM_API qvim_status set_ruleset(bool allowPartialBaseline, const char* rulesetJson, const char* rulesetId) {
    if (g_pEngineHandle == nullptr) {
        LOG_ERROR(QVIM_SRC_QVIM, "set_ruleset", "set_ruleset called when engine is not initialized");
        return QVIM_E_NO_ENGINE;
    }
    return g_pEngineHandle->setRuleset(allowPartialBaseline, rulesetJson, rulesetId);
}

QVIM_API int should_scan_folder(const char* path) {
    LOG_INFO(QVIM_SRC_QVIM, "should_scan_folder", "should_scan_folder() called");
    if (g_pEngineHandle == nullptr || path == nullptr) return 0;
    const int result = g_pEngineHandle->shouldScanFolder(path);
    LOG_TRACE(QVIM_SRC_QVIM, "should_scan_folder", "should scan folder return %d when scanning %s", result, path);
    return result;
}

QVIM_API int should_scan_entity_type(entity_type type) {
    if (g_pEngineHandle == nullptr) return 0;
    return g_pEngineHandle->shouldScanEntityType(type);
}

QVIM_API qvim_status set_im_state(const char* key, const char* value) {
    LOG_INFO(QVIM_SRC_QVIM, "set_im_state", "set_im_state() called. %s = '%s'", key != nullptr ? key : "(null)",
             value != nullptr ? value : "(null)");
    if (g_pEngineHandle == nullptr) return QVIM_E_NO_ENGINE;
    if (key == nullptr || value == nullptr) return QVIM_E_BAD_PARAMETER;
    return g_pEngineHandle->setIMState(key, value);
}

QVIM_API qvim_status get_im_state(const char* key, char** value) {
    LOG_INFO(QVIM_SRC_QVIM, "get_im_state", "get_im_state('%s') called", key != nullptr ? key : "(null)");
    if (g_pEngineHandle == nullptr) return QVIM_E_NO_ENGINE;
    if (key == nullptr || value == nullptr) return QVIM_E_BAD_PARAMETER;
    return g_pEngineHandle->getIMState(key, value);
}

QVIM_API qvim_status integrity_scan(unsigned long threadId, entity_type type, scan_type scanType,
                                    im_wrapper_response_s* response) {
    LOG_INFO(QVIM_SRC_QVIM, "integrity_scan", "integrity_scan() called, thread: %lu", threadId);
    if (response == nullptr) {
        LOG_ERROR(QVIM_SRC_QVIM, "integrity_scan", "integrity_scan called with a bad parameter");
        return QVIM_E_BAD_PARAMETER;
    }
    if (g_pEngineHandle == nullptr) return QVIM_E_NO_ENGINE;
    const qvim_status status = g_pEngineHandle->integrityScan(threadId, type, scanType, *response);
    LOG_TRACE(QVIM_SRC_QVIM, "integrity_scan", "integrity_scan returning %s, nEvents: %d, nItemsScanned: %d",
              resultText(status), static_cast<int>(response->nEvents), static_cast<int>(response->nItemsScanned));
    return status;
}

QVIM_API qvim_status get_metrics_mem(char** json) {
    LOG_INFO(QVIM_SRC_QVIM, "get_metrics_mem", "get_metrics_mem() called");
    if (g_pEngineHandle == nullptr) return QVIM_E_NO_ENGINE;
    return g_pEngineHandle->getMetricsMem(json);
}

QVIM_API qvim_status get_baseline(unsigned long itemId, unsigned long recordTime, unsigned long limit,
                                  entity_type type, const char* filePath) {
    LOG_INFO(QVIM_SRC_QVIM, "get_baseline", "get_baseline called");
    if (g_pEngineHandle == nullptr) return QVIM_E_NO_ENGINE;
    if (filePath == nullptr) return QVIM_E_BAD_PARAMETER;
    return g_pEngineHandle->getBaseline(itemId, recordTime, limit, type, filePath);
}

QVIM_API qvim_status migrate_baseline(const char* oldDbPath) {
    LOG_TRACE(QVIM_SRC_QVIM, "migrate_baseline", "migrate_baseline");
    if (g_pEngineHandle == nullptr) return QVIM_E_NO_ENGINE;
    if (oldDbPath == nullptr) return QVIM_E_BAD_PARAMETER;
    return g_pEngineHandle->migrateBaseline(oldDbPath);
}

}  // extern "C"
