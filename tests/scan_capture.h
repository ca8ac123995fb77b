// A scanner that keeps the boundary records it produces instead of handing
// them to the engine, so that a scan can be compared with the machine.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "IMEngineHandleConcrete.h"
#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"
#include "QVIMScanLinux.h"

namespace qvim_test {

inline std::string text(const char* value) { return value != nullptr ? value : "<null>"; }

// The texts and numbers of one boundary record, copied.
struct Captured {
    explicit Captured(const im_wrapper_event_s& r)
        : entityType(text(r.entityType)), path(text(r.path)), newKey(text(r.newKey)), name(text(r.name)),
          owner(text(r.owner)), userGroup(text(r.userGroup)), permissions(text(r.permissions)),
          symLinkPath(text(r.symLinkPath)), user(text(r.user)), groups(text(r.groups)), members(text(r.members)),
          fullName(text(r.fullName)), homeFolder(text(r.homeFolder)), logonShell(text(r.logonShell)),
          processKey(text(r.processKey)), processName(text(r.processName)), processUser(text(r.processUser)),
          process(text(r.process)), commandLine(text(r.commandLine)), displayName(text(r.displayName)),
          version(text(r.version)), manufacturer(text(r.manufacturer)), installedDate(text(r.installedDate)),
          record(r) {}
    std::string entityType, path, newKey, name, owner, userGroup, permissions, symLinkPath, user, groups, members,
        fullName, homeFolder, logonShell, processKey, processName, processUser, process, commandLine, displayName,
        version, manufacturer, installedDate;
    im_wrapper_event_s record;  // numbers and flags only: its texts are gone after the call
};

class CapturingScanner : public QVIMScanLinux {
public:
    explicit CapturingScanner(IMEngineHandleConcrete& engine) : QVIMScanLinux(engine) {}

    bool processEvent(scan_type, unsigned long, im_wrapper_event_s& record, im_wrapper_response_s*,
                      JSONEvents&) override {
        records.emplace_back(record);
        return onRecord ? onRecord(records.back()) : true;
    }
    bool processEvent(scan_type, unsigned long, std::shared_ptr<QVIMEvent>& record, im_wrapper_response_s*,
                      JSONEvents&) override {
        built.push_back(record);
        return true;
    }
    bool folderInScope(const char* path) override { return scope ? scope(path) : true; }

    const Captured* find(const std::string& key) const {
        for (const Captured& captured : records)
            if (captured.newKey == key) return &captured;
        return nullptr;
    }

    void setProcessBudget(unsigned long milliseconds) { m_processScanBudgetMs = milliseconds; }

    std::vector<Captured> records;
    std::vector<std::shared_ptr<QVIMEvent>> built;
    // Return false to make the scan see a failed entity.
    std::function<bool(const Captured&)> onRecord;
    std::function<bool(const char*)> scope;
};

}  // namespace qvim_test
