// Entity records: one observation of one host entity, built from a boundary
// record, plus the per-call engine routines that feed records to the handler.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "QVIMIntegrityRuleFilter.h"
#include "QVIMUtilPlatformIndependent.h"
#include "qvim.h"

class IMEngineHandleConcrete;

// Base record: keys, operation and state. Matching reads currentKey and the
// special attribute values.
class im_event {
public:
    im_event(const im_wrapper_event_s* record, const char* key);

    // Writes value only for the names the kind answers (rule conditions).
    virtual void getSpecialAttributeValue(const std::string& name, std::string& value) const;

    std::string givenKey;
    std::string currentKey;
    std::string newKey;
    int32_t operation = IM_OP_NOT_PROCESSED;
    int32_t resolve = 0;
    int32_t state = IM_UNDETERMINED;

protected:
    ~im_event() = default;
};

class QVIMEvent : public im_event {
public:
    QVIMEvent(const im_wrapper_event_s* record, const char* key);
    virtual ~QVIMEvent() = default;

    // Builds the record of the kind named by record->entityType; null for a
    // missing or unknown kind (logged). The caller owns the result.
    static QVIMEvent* factory(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record);
    static QVIMEvent* factory(IMEngineHandleConcrete& engine, entity_type type, const im_wrapper_event_s* record);

    // Kind of this record (1..7).
    virtual entity_type entityType() const = 0;

    // Formatting helpers for attribute values: ids become names.
    static void format_user(const std::string& raw, std::string& out);
    static void format_group(const std::string& raw, std::string& out);

    std::string processName;
    std::string processUser;
    int32_t auxValue = 0;
    bool realTime = false;
    std::vector<std::pair<std::string, std::string>> bufferedFields;
    bool oldFieldsBuffered = false;
    int64_t entityItemId = 0;
};

class QVIMEventStandard : public QVIMEvent {
public:
    QVIMEventStandard(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record, const char* key)
        : QVIMEvent(record, key), engine(engine) {}

    IMEngineHandleConcrete& engine;
};

class im_event_file : public QVIMEventStandard {
public:
    im_event_file(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record);
    entity_type entityType() const override { return ENTITY_FILE; }
    void getSpecialAttributeValue(const std::string& name, std::string& value) const override;

    int64_t blocksAllocated = 0;
    Blob contents;
    int64_t created = 0;
    int64_t deviceNumber = 0;
    int64_t flags = 0;
    int64_t flagsAll = 0;
    std::string userGroup;
    bool growing = false;
    int64_t inodeGenerationNumber = 0;
    int64_t inodeNumber = 0;
    int64_t lastAccessed = 0;
    int64_t lastModified = 0;
    MD5Hash md5;
    std::string owner;
    std::string permissions;
    SHA1Hash sha1;
    SHA256Hash sha256;
    bool shrinking = false;
    int64_t size = 0;
    std::string symLinkPath;
};

class im_event_directory : public QVIMEventStandard {
public:
    im_event_directory(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record);
    entity_type entityType() const override { return ENTITY_DIRECTORY; }

    int64_t created = 0;
    int64_t deviceNumber = 0;
    int64_t flags = 0;
    int64_t flagsAll = 0;
    std::string userGroup;
    int64_t inodeGenerationNumber = 0;
    int64_t inodeNumber = 0;
    int64_t lastAccessed = 0;
    int64_t lastModified = 0;
    std::string owner;
    std::string permissions;
    std::string symLinkPath;
};

class im_event_user : public QVIMEventStandard {
public:
    im_event_user(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record);
    entity_type entityType() const override { return ENTITY_USER; }

    bool cannotChangePassword = false;
    bool disabled = false;
    std::string description;
    std::string fullName;
    std::string userId;
    std::string userGroup;
    std::string groups;
    std::string homeDriveLetter;
    std::string homeFolder;
    bool lockedOut = false;
    std::string logonScript;
    std::string logonShell;
    int32_t passwordExpiredDaysBeforeDisabled = 0;
    int32_t passwordExpiry = 0;
    int32_t passwordExpiryInDays = 0;
    bool passwordHasExpired = false;
    int32_t passwordLastChanged = 0;
    int32_t passwordMinDaysBetweenChanges = 0;
    bool passwordNeverExpires = false;
    int32_t passwordWarningDays = 0;
    std::string profilePath;
};

class im_event_group : public QVIMEventStandard {
public:
    im_event_group(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record);
    entity_type entityType() const override { return ENTITY_GROUP; }

    std::string groupId;
    std::string description;
    std::string members;
    std::string subGroups;
};

class im_event_port : public QVIMEventStandard {
public:
    im_event_port(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record);
    entity_type entityType() const override { return ENTITY_PORT; }
    void getSpecialAttributeValue(const std::string& name, std::string& value) const override;

    int64_t created = 0;
    std::string userGroup;
    std::string user;
    int32_t listeners = 0;
    std::string path;
    std::string process;
    int32_t processID = 0;
};

class im_event_installed_software : public QVIMEventStandard {
public:
    im_event_installed_software(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record);
    entity_type entityType() const override { return ENTITY_INSTALLED_SOFTWARE; }
    void getSpecialAttributeValue(const std::string& name, std::string& value) const override;

    std::string displayName;
    std::string installedDate;
    std::string installLocation;
    std::string manufacturer;
    std::string parent;
    int64_t size = 0;
    std::string version;
};

class im_event_process : public QVIMEventStandard {
public:
    im_event_process(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record);
    entity_type entityType() const override { return ENTITY_PROCESS; }
    void getSpecialAttributeValue(const std::string& name, std::string& value) const override;

    std::string commandLine;
    std::string userGroup;
    int32_t parent = 0;
    std::string path;
    std::string process;
    int32_t processID = 0;
    int32_t threads = 0;
    std::string user;
};

// Whether the file at path starts with a plausible ELF header. Returns 0, or
// the negative errno of a failed open (result unchanged).
int isExecutable(const std::string& path, bool& result);

// Text of a nullable boundary field.
inline std::string textOf(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

// Kind value of a kind name ("File", "Port", ...), 8 with a WARNING otherwise.
entity_type convertEntityTypeName(const char* name);
// Name of a kind value 0..8.
const char* entityTypeName(entity_type type);

class JSONEvents;

// The per-observation routines shared by real-time calls, scans and stores.
namespace QVIMEngine {
// The record of the kind named in the boundary record; empty for unknown kinds.
std::shared_ptr<QVIMEvent> convertEvent(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record);
qvim_status integrityMonitor(IMEngineHandleConcrete& engine, unsigned long threadId, const im_wrapper_event_s* record,
                             JSONEvents& events, im_wrapper_response_s& response, unsigned long maxEvents,
                             const IntegrityRule::Enforcement* enforcement);
qvim_status storeItem(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record, bool buffered,
                      im_wrapper_response_s* response);
}  // namespace QVIMEngine
