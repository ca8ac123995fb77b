#include "IMEngineHandleConcrete.h"

#include <cstdlib>
#include <cstring>

#include "QVIMJson.h"
#include "QVIMLogger.h"

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
    return m_stats.GetMetrics(m_dal, json) ? QVIM_OK : QVIM_E_FAILED;
}

qvim_status operationNotBuilt(const char* function) {
    LOG_ERROR(QVIM_SRC_ENGINE, function, "%s is not available in this build", function);
    return QVIM_E_FAILED;
}
