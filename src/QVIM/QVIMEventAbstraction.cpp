#include "QVIMEventAbstraction.h"
#include "QVIMEventHandler.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "IMEngineHandleConcrete.h"
#include "QVIMLogger.h"

namespace {

struct EventTypeMapping {
    int32_t operation;
    int32_t resolve;
};

// Host event code to operation and resolve flag; unknown codes are not processed.
bool mapEventType(uint32_t code, EventTypeMapping& out) {
    switch (code) {
        case 0: case 3: case 4: case 5: out = {IM_OP_CREATE, 0}; return true;
        case 1: out = {IM_OP_RENAME, 0}; return true;
        case 2: out = {IM_OP_DELETE, 0}; return true;
        case 7: case 15: case 16: case 17: case 20: case 21: case 22: case 23: out = {IM_OP_CREATE, 1}; return true;
        case 19: out = {IM_OP_RENAME, 1}; return true;
        case 24: case 28: out = {IM_OP_DELETE, 1}; return true;
        default: return false;
    }
}

}  // namespace

entity_type convertEntityTypeName(const char* name) {
    if (name != nullptr) {
        switch (name[0]) {
            case 'D': return ENTITY_DIRECTORY;
            case 'F': return ENTITY_FILE;
            case 'G': return ENTITY_GROUP;
            case 'I': return ENTITY_INSTALLED_SOFTWARE;
            case 'U': return ENTITY_USER;
            case 'P': return std::strncmp(name + 1, "ort", 3) == 0 ? ENTITY_PORT : ENTITY_PROCESS;
            default: break;
        }
    }
    LOG_WARNING(QVIM_SRC_RULES, "convertEntityType", "Receiving unknown entity type: '%s'", name != nullptr ? name : "(null)");
    return ENTITY_UNKNOWN;
}

const char* entityTypeName(entity_type type) {
    static const char* const names[] = {"All", "File", "Directory", "User", "Group", "Port",
                                        "InstalledSoftware", "Process", "Unknown"};
    const auto index = static_cast<unsigned>(type);
    return index < sizeof names / sizeof names[0] ? names[index] : "Unknown";
}

im_event::im_event(const im_wrapper_event_s* record, const char* key)
    : givenKey(textOf(key)), currentKey(givenKey), newKey(textOf(record != nullptr ? record->newKey : nullptr)) {
    EventTypeMapping mapping{IM_OP_NOT_PROCESSED, 0};
    if (mapEventType(record != nullptr ? record->eventType : 0u, mapping)) {
        operation = mapping.operation;
        resolve = mapping.resolve;
    } else {
        LOG_WARNING(QVIM_SRC_UTIL, "im_event", "Event not processed fell through");
        operation = IM_OP_NOT_PROCESSED;
        state = IM_INVALID_PARAMETER;
    }
}

void im_event::getSpecialAttributeValue(const std::string&, std::string&) const {}

QVIMEvent::QVIMEvent(const im_wrapper_event_s* record, const char* key)
    : im_event(record, key),
      processName(textOf(record != nullptr ? record->processName : nullptr)),
      processUser(textOf(record != nullptr ? record->processUser : nullptr)),
      auxValue(record != nullptr ? record->auxValue : 0),
      realTime(record != nullptr && record->realTime) {}

QVIMEvent* QVIMEvent::factory(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record) {
    if (record == nullptr || record->entityType == nullptr) {
        LOG_ERROR(QVIM_SRC_DAL, "factory", "Unrecognizable entity type: NULL");
        return nullptr;
    }
    return factory(engine, convertEntityTypeName(record->entityType), record);
}

QVIMEvent* QVIMEvent::factory(IMEngineHandleConcrete& engine, entity_type type, const im_wrapper_event_s* record) {
    static const im_wrapper_event_s empty{};
    const im_wrapper_event_s* source = record != nullptr ? record : &empty;
    switch (type) {
        case ENTITY_FILE: return new im_event_file(engine, source);
        case ENTITY_DIRECTORY: return new im_event_directory(engine, source);
        case ENTITY_USER: return new im_event_user(engine, source);
        case ENTITY_GROUP: return new im_event_group(engine, source);
        case ENTITY_PORT: return new im_event_port(engine, source);
        case ENTITY_INSTALLED_SOFTWARE: return new im_event_installed_software(engine, source);
        case ENTITY_PROCESS: return new im_event_process(engine, source);
        default:
            LOG_ERROR(QVIM_SRC_DAL, "factory", "Unrecognizable entity type: '%s'",
                      source->entityType != nullptr ? source->entityType : "(null)");
            return nullptr;
    }
}

namespace {
void copyHash(Hash& hash, Hash::HashType type, const unsigned char* bytes) {
    if (bytes != nullptr) hash.SetHash(type, bytes);
}
}  // namespace

im_event_file::im_event_file(IMEngineHandleConcrete& engine, const im_wrapper_event_s* r)
    : QVIMEventStandard(engine, r, r->path),
      blocksAllocated(static_cast<int64_t>(r->blocksAllocated)),
      created(static_cast<int64_t>(r->created)),
      deviceNumber(static_cast<int64_t>(r->deviceNumber)),
      flags(static_cast<int64_t>(r->flags)),
      flagsAll(static_cast<int64_t>(r->flagsAll)),
      userGroup(textOf(r->userGroup)),
      growing(r->growing),
      inodeGenerationNumber(static_cast<int64_t>(r->inodeGenerationNumber)),
      inodeNumber(static_cast<int64_t>(r->inodeNumber)),
      lastAccessed(static_cast<int64_t>(r->lastAccessed)),
      lastModified(static_cast<int64_t>(r->lastModified)),
      owner(textOf(r->owner)),
      permissions(textOf(r->permissions)),
      shrinking(r->shrinking),
      size(static_cast<int64_t>(r->size)),
      symLinkPath(textOf(r->symLinkPath)) {
    copyHash(md5, Hash::MD5, r->md5);
    copyHash(sha1, Hash::SHA1, r->sha1);
    copyHash(sha256, Hash::SHA256, r->sha256);
}

im_event_directory::im_event_directory(IMEngineHandleConcrete& engine, const im_wrapper_event_s* r)
    : QVIMEventStandard(engine, r, r->path),
      created(static_cast<int64_t>(r->created)),
      deviceNumber(static_cast<int64_t>(r->deviceNumber)),
      flags(static_cast<int64_t>(r->flags)),
      flagsAll(static_cast<int64_t>(r->flagsAll)),
      userGroup(textOf(r->userGroup)),
      inodeGenerationNumber(static_cast<int64_t>(r->inodeGenerationNumber)),
      inodeNumber(static_cast<int64_t>(r->inodeNumber)),
      lastAccessed(static_cast<int64_t>(r->lastAccessed)),
      lastModified(static_cast<int64_t>(r->lastModified)),
      owner(textOf(r->owner)),
      permissions(textOf(r->permissions)),
      symLinkPath(textOf(r->symLinkPath)) {}

im_event_user::im_event_user(IMEngineHandleConcrete& engine, const im_wrapper_event_s* r)
    : QVIMEventStandard(engine, r, r->name),
      cannotChangePassword(r->cannotChangePassword),
      disabled(r->disabled),
      description(textOf(r->description)),
      fullName(textOf(r->fullName)),
      userId(textOf(r->user)),
      userGroup(textOf(r->userGroup)),
      groups(textOf(r->groups)),
      homeDriveLetter(textOf(r->homeDriveLetter)),
      homeFolder(textOf(r->homeFolder)),
      lockedOut(r->lockedOut),
      logonScript(textOf(r->logonScript)),
      logonShell(textOf(r->logonShell)),
      passwordExpiredDaysBeforeDisabled(r->passwordExpiredDaysBeforeDisabled),
      passwordExpiry(r->passwordExpiry),
      passwordExpiryInDays(r->passwordExpiryInDays),
      passwordHasExpired(r->passwordHasExpired),
      passwordLastChanged(r->passwordLastChanged),
      passwordMinDaysBetweenChanges(r->passwordMinDaysBetweenChanges),
      passwordNeverExpires(r->passwordNeverExpires),
      passwordWarningDays(r->passwordWarningDays),
      profilePath(textOf(r->profilePath)) {}

im_event_group::im_event_group(IMEngineHandleConcrete& engine, const im_wrapper_event_s* r)
    : QVIMEventStandard(engine, r, r->name),
      groupId(textOf(r->userGroup)),
      description(textOf(r->description)),
      members(textOf(r->members)),
      subGroups(textOf(r->subGroups)) {}

im_event_port::im_event_port(IMEngineHandleConcrete& engine, const im_wrapper_event_s* r)
    : QVIMEventStandard(engine, r, r->portKey),
      created(static_cast<int64_t>(r->created)),
      userGroup(textOf(r->userGroup)),
      user(textOf(r->user)),
      listeners(r->listeners),
      path(textOf(r->path)),
      process(textOf(r->process)),
      processID(r->processID) {}

im_event_installed_software::im_event_installed_software(IMEngineHandleConcrete& engine, const im_wrapper_event_s* r)
    : QVIMEventStandard(engine, r, r->name),
      displayName(textOf(r->displayName)),
      installedDate(textOf(r->installedDate)),
      installLocation(textOf(r->installLocation)),
      manufacturer(textOf(r->manufacturer)),
      parent(textOf(r->parent)),
      size(static_cast<int64_t>(r->size)),
      version(textOf(r->version)) {}

im_event_process::im_event_process(IMEngineHandleConcrete& engine, const im_wrapper_event_s* r)
    : QVIMEventStandard(engine, r, r->processKey),
      commandLine(textOf(r->commandLine)),
      userGroup(textOf(r->userGroup)),
      parent(r->parentProcessID),
      path(textOf(r->path)),
      process(textOf(r->process)),
      processID(r->processID),
      threads(r->threads),
      user(textOf(r->user)) {}

// ---- Attribute values answered to rule conditions ----------------------------

void QVIMEvent::format_user(const std::string& raw, std::string& out) {
    const long uid = std::strtol(raw.c_str(), nullptr, 10);
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        out = found->pw_name;
    else
        out = raw;
}

void QVIMEvent::format_group(const std::string& raw, std::string& out) {
    const long gid = std::strtol(raw.c_str(), nullptr, 10);
    struct group entry;
    struct group* found = nullptr;
    char buffer[8192];
    if (getgrgid_r(static_cast<gid_t>(gid), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        out = found->gr_name;
    else
        out = raw;
}

int isExecutable(const std::string& path, bool& result) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    unsigned char header[52];
    const ssize_t n = ::pread(fd, header, sizeof header, 0);
    ::close(fd);
    if (n != static_cast<ssize_t>(sizeof header)) return 0;
    if (header[0] != 0x7F || header[1] != 'E' || header[2] != 'L' || header[3] != 'F') {
        result = false;
        return 0;
    }
    const unsigned char elfClass = header[4];
    const unsigned char encoding = header[5];
    if ((elfClass != 1 && elfClass != 2) || (encoding != 1 && encoding != 2)) {
        result = false;
        return 0;
    }
    const auto read16 = [&](int offset) -> unsigned {
        return encoding == 1 ? static_cast<unsigned>(header[offset] | (header[offset + 1] << 8))
                             : static_cast<unsigned>((header[offset] << 8) | header[offset + 1]);
    };
    result = read16(16) < 5 && read16(18) < 248;
    return 0;
}

void im_event_file::getSpecialAttributeValue(const std::string& name, std::string& value) const {
    if (name != "executable") return;
    bool executable = false;
    if (isExecutable(currentKey, executable) < 0) {
        LOG_TRACE(QVIM_SRC_DAL, "getSpecialAttributeValue", "Key: %s, can't be opened  %d", currentKey.c_str(), errno);
        value.clear();
        return;
    }
    value = executable ? "true" : "false";
}

void im_event_port::getSpecialAttributeValue(const std::string& name, std::string& value) const {
    if (name == "path") {
        value = path;
    } else if (name == "process") {
        value = process;
    } else if (name == "user") {
        QVIMEvent::format_user(user, value);
    }
}

void im_event_installed_software::getSpecialAttributeValue(const std::string& name, std::string& value) const {
    if (name == "name")
        value = displayName;
    else if (name == "manufacturer")
        value = manufacturer;
}

void im_event_process::getSpecialAttributeValue(const std::string& name, std::string& value) const {
    if (name == "commandline") {
        value = commandLine;
    } else if (name == "group") {
        QVIMEvent::format_group(userGroup, value);
    } else if (name == "path") {
        value = path;
    } else if (name == "user") {
        QVIMEvent::format_user(user, value);
    }
}

// ---- Engine routines (built with the store and events work) ----------------------

std::shared_ptr<QVIMEvent> QVIMEngine::convertEvent(IMEngineHandleConcrete& engine, const im_wrapper_event_s* record) {
    return std::shared_ptr<QVIMEvent>(QVIMEvent::factory(engine, record));
}

qvim_status QVIMEngine::integrityMonitor(IMEngineHandleConcrete&, unsigned long, const im_wrapper_event_s*,
                                         JSONEvents&, im_wrapper_response_s&, unsigned long,
                                         const IntegrityRule::Enforcement*) {
    return operationNotBuilt("integrityMonitor");
}

qvim_status QVIMEngine::storeItem(IMEngineHandleConcrete&, const im_wrapper_event_s*, bool, im_wrapper_response_s*) {
    return operationNotBuilt("storeItem");
}

qvim_status IMEngineHandleConcrete::integrityMonitor(unsigned long, const im_wrapper_event_s&, im_wrapper_response_s&) {
    return operationNotBuilt("integrityMonitor");
}
qvim_status IMEngineHandleConcrete::storeItem(const im_wrapper_event_s&, bool, im_wrapper_response_s&) {
    return operationNotBuilt("storeItem");
}
qvim_status IMEngineHandleConcrete::flushDBBuffer(unsigned long&) { return operationNotBuilt("flushDBBuffer"); }
qvim_status IMEngineHandleConcrete::setIntegrityscan(bool) { return operationNotBuilt("setIntegrityscan"); }
qvim_status IMEngineHandleConcrete::purgeDB() { return operationNotBuilt("purgeDB"); }
