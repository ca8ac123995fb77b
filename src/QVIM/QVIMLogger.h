// Process-wide logger: appends lines to a file or hands messages to a host
// callback, filtered by a level mask.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "QVIMThreadSafety.h"
#include "qvim.h"

// Source paths that log lines carry; they name the component, not the file
// a message happens to be compiled in.
#define QVIM_SRC_QVIM "src/QVIM/QVIM"
#define QVIM_SRC_ENGINE "src/QVIM/IMEngineHandleConcrete"
#define QVIM_SRC_LOGGER "src/QVIM/QVIMLogger"
#define QVIM_SRC_DOM "src/QVIM/QVIMDOM"
#define QVIM_SRC_RULES "src/QVIM/QVIMIntegrityRuleFilter"
#define QVIM_SRC_STATS "src/QVIM/QVIMStats"
#define QVIM_SRC_EVENTS "src/QVIM/QVIMEventAbstraction"
#define QVIM_SRC_HANDLER "src/QVIM/QVIMEventHandler"
#define QVIM_SRC_DAL "src/QVIM/QVIMDataAccessLayer"
#define QVIM_SRC_UTIL "src/QVIM/QVIMUtilPlatformIndependent"
#define QVIM_SRC_SCANABSTRACT "src/QVIM/QVIMScanAbstract"
#define QVIM_SRC_SCANLINUX "src/QVIM/QVIMScanLinux"
#define QVIM_SRC_EXPORT "src/QVIM/QVIMExportBackbone"
#define QVIM_SRC_RPM "src/QVIM/Linux/RPM"
#define QVIM_SRC_PORTSCAN "src/QVIM/Linux/PortScanUtil"

class QVIMLoggerSL {
public:
    static QVIMLoggerSL& getInstance();

    // Once per process; later calls only warn. Always returns 0.
    int initLogger(qvim_log_callback callback, uint32_t levelMask, const char* fileName);

    // True when a message of this level would be written; callers test this
    // first so that masked messages cost no formatting.
    bool enabled(uint32_t level) const {
        return m_initialized.load(std::memory_order_acquire) &&
               (m_levelMask.load(std::memory_order_relaxed) & level) == level;
    }

    void log(uint32_t level, const char* function, const char* source, unsigned line,
             const char* format, ...) __attribute__((format(printf, 6, 7)));

    void setLevelMask(uint32_t mask) { m_levelMask.store(mask, std::memory_order_relaxed); }
    uint32_t levelMask() const { return m_levelMask.load(std::memory_order_relaxed); }
    bool initialized() const { return m_initialized.load(std::memory_order_acquire); }

    static const char* levelName(uint32_t level);

    QVIMLoggerSL(const QVIMLoggerSL&) = delete;
    QVIMLoggerSL& operator=(const QVIMLoggerSL&) = delete;

private:
    QVIMLoggerSL() = default;
    ~QVIMLoggerSL();

    void writeLine(const std::string& line) EXCLUDES(m_fileMutex);

    // The log file; a leaf lock, taken inside any other and around none.
    Mutex m_fileMutex;
    std::string m_path GUARDED_BY(m_fileMutex);
    int m_fd GUARDED_BY(m_fileMutex) = -1;  // opened 0600 for appending; closed at unload
    std::atomic<uint32_t> m_levelMask{0};
    std::atomic<bool> m_initialized{false};
    std::atomic<qvim_log_callback> m_callback{nullptr};
};

#define QVIM_LOG(level, source, function, ...)                                   \
    do {                                                                         \
        QVIMLoggerSL& qvimLogger_ = QVIMLoggerSL::getInstance();                 \
        if (qvimLogger_.enabled(level))                                          \
            qvimLogger_.log((level), (function), (source), __LINE__, __VA_ARGS__); \
    } while (0)

#define LOG_TRACE(source, function, ...) QVIM_LOG(QVIM_LOG_TRACE, source, function, __VA_ARGS__)
#define LOG_INFO(source, function, ...) QVIM_LOG(QVIM_LOG_INFO, source, function, __VA_ARGS__)
#define LOG_WARNING(source, function, ...) QVIM_LOG(QVIM_LOG_WARNING, source, function, __VA_ARGS__)
#define LOG_ERROR(source, function, ...) QVIM_LOG(QVIM_LOG_ERROR, source, function, __VA_ARGS__)
