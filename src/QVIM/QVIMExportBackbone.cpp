#include "QVIMExportBackbone.h"

#include <sys/vfs.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "IMEngineHandleConcrete.h"
#include "QVIMEventAbstraction.h"
#include "QVIMLogger.h"
#include "QVIMUtilPlatformIndependent.h"

// ---- Scan scope -----------------------------------------------------------------------

bool isPartialScanSet(QVIMDAL& dal) {
    unsigned long scanType = 0;
    if (!dal.GetIntegrityMonitorState("baselineScanType", scanType)) {
        LOG_ERROR(QVIM_SRC_EXPORT, "isPartialScanSet", "Unable to get partial base list %s", "baselineScanType");
        return false;
    }
    return scanType == 1;
}

namespace {

// The kinds a pending partial baseline rebuilds; function names the caller
// in the log line for an unreadable setting.
bool readPartialEntityTypes(QVIMDAL& dal, const char* function, std::string& listed) {
    static const char* const kSetting = "partialBaseLineScanEntityTypes";
    if (dal.GetIntegrityMonitorState(kSetting, listed)) return true;
    LOG_ERROR(QVIM_SRC_EXPORT, function, "Unable to get partial state variable '%s'", kSetting);
    return false;
}

}  // namespace

bool validateEntityTypeInPartialScan(QVIMDAL& dal, entity_type type, const char* function) {
    std::string listed;
    if (!readPartialEntityTypes(dal, function, listed)) return false;
    if (listed.empty() || type < ENTITY_FILE || type > ENTITY_PROCESS) return false;
    const TrimWhiteSpace trim;
    const char* name = entityTypeName(type);
    for (const std::string& entry : split(listed, ',', &trim))
        if (entry == name) return true;
    return false;
}

bool isSkippedFileSystemType(long type) {
    switch (type) {
        case 0x9FA0:      // proc
        case 0x1CD1:      // devpts
        case 0x6969:      // NFS
        case 0x64626720:  // debugfs
        case 0x73636673:  // securityfs
        case 0x62656572:  // sysfs
            return true;
        default:
            return false;
    }
}

namespace {

// In a partial baseline only the top-level directories of the changed bases
// are walked again, and the root that leads to them.
bool matchPathToPartialBaseStateVariable(QVIMDAL& dal, const std::string& folder) {
    static const char* const kSetting = "partialBaselineScanPathsDisk";
    std::string text;
    if (!dal.GetIntegrityMonitorState(kSetting, text)) {
        LOG_ERROR(QVIM_SRC_EXPORT, "matchPathToPartialBaseStateVariable", "Unable to get partial base list %s",
                  kSetting);
        return false;
    }
    if (folder == "/") return true;
    const Unescape unescape;
    for (const std::string& path : split(text, ';', &unescape)) {
        if (path.empty() || folder.compare(0, path.size(), path) != 0) continue;
        if (folder.size() == path.size() || path.find('/') != std::string::npos) return true;
    }
    return false;
}

// Whether the partial baseline rebuilds files or directories at all.
bool partialScanCoversDisk(QVIMDAL& dal) {
    std::string listed;
    if (!readPartialEntityTypes(dal, "shouldScanFolder", listed)) return false;
    for (const std::string& entry : split(listed, ','))
        if (!entry.empty() && (entry[0] == 'D' || entry[0] == 'F')) return true;
    return false;
}

}  // namespace

bool Scan::shouldScanFolder(IMEngineHandleConcrete& engine, const char* folder, entity_type type) {
    if (folder == nullptr) return false;
    struct statfs info;
    if (::statfs(folder, &info) != 0) {
        char buffer[256];
        LOG_WARNING(QVIM_SRC_EXPORT, "shouldScanFolder", "Error calling statfs() on '%s': %s.", folder,
                    strerror_r(errno, buffer, sizeof buffer));
    } else if (isSkippedFileSystemType(static_cast<long>(info.f_type))) {
        return false;
    }

    QVIMDAL& dal = engine.getDAL();
    const bool partial = isPartialScanSet(dal);
    std::string path = folder;
    if (!path.empty() && path.back() != '/') path += '/';
    if (!partial) return QVIMConfig::matchBaseToRule(*engine.getConfig().getFilter(), type, path);
    return partialScanCoversDisk(dal) && matchPathToPartialBaseStateVariable(dal, path);
}

int IMEngineHandleConcrete::shouldScanFolder(const char* path) {
    return Scan::shouldScanFolder(*this, path, ENTITY_FILE) || Scan::shouldScanFolder(*this, path, ENTITY_DIRECTORY)
               ? 1
               : 0;
}

int IMEngineHandleConcrete::shouldScanEntityType(entity_type type) {
    if (!isPartialScanSet(m_dal)) return 1;
    return validateEntityTypeInPartialScan(m_dal, type) ? 1 : 0;
}

// ---- Baseline control and export (built with the baseline work) ----------------------

void IMEngineHandleConcrete::setBaselineScan(bool) { operationNotBuilt("setBaselineScan"); }
qvim_status IMEngineHandleConcrete::getBaseline(unsigned long, unsigned long, unsigned long, entity_type, const char*) {
    return operationNotBuilt("getBaseline");
}
