// Entity records: construction from a boundary record, the values answered
// to rules, the column layouts and the kinds registry, then what a record
// does with the store. Sections, in order: construction, attribute values
// answered to rule conditions, column layouts and the kinds registry, event
// values, old fields, new fields and export rows, statements, change
// detection, item writes.
#include "QVIMEventAbstraction.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <array>
#include <iterator>
#include <type_traits>

#include "QVIMStats.h"
#include "QVIMDataAccessLayer.h"
#include "QVIMLogger.h"

// ---- Construction ------------------------------------------------------------------

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

QVIMEvent::QVIMEvent(QVIMDAL& store, const im_wrapper_event_s* record, const char* key)
    : im_event(record, key),
      store(store),
      processName(textOf(record != nullptr ? record->processName : nullptr)),
      processUser(textOf(record != nullptr ? record->processUser : nullptr)),
      auxValue(record != nullptr ? record->auxValue : 0),
      realTime(record != nullptr && record->realTime) {}

QVIMEvent* QVIMEvent::factory(QVIMDAL& store, const im_wrapper_event_s* record) {
    if (record == nullptr || record->entityType == nullptr) {
        LOG_ERROR(QVIM_SRC_DAL, "factory", "Unrecognizable entity type: NULL");
        return nullptr;
    }
    return factory(store, convertEntityTypeName(record->entityType), record);
}

QVIMEvent* QVIMEvent::factory(QVIMDAL& store, entity_type type, const im_wrapper_event_s* record) {
    static const im_wrapper_event_s empty{};
    const im_wrapper_event_s* source = record != nullptr ? record : &empty;
    if (const KindDescriptor* kind = kindDescriptor(type)) return kind->make(store, source);
    LOG_ERROR(QVIM_SRC_DAL, "factory", "Unrecognizable entity type: '%s'",
              source->entityType != nullptr ? source->entityType : "(null)");
    return nullptr;
}

QVIMEventStandard::QVIMEventStandard(QVIMDAL& store, const im_wrapper_event_s* record, entity_type type)
    : QVIMEvent(store, record, record->*kindDescriptor(type)->key) {}

void QVIMEventStandard::loadColumns(const im_wrapper_event_s& record) {
    const RecordLayout& columns = layout();
    for (size_t i = 0; i < columns.count; ++i) columns.columns[i].load(*this, record);
}

im_event_file::im_event_file(QVIMDAL& store, const im_wrapper_event_s* r)
    : QVIMEventStandard(store, r, ENTITY_FILE) {
    loadColumns(*r);
}
im_event_directory::im_event_directory(QVIMDAL& store, const im_wrapper_event_s* r)
    : QVIMEventStandard(store, r, ENTITY_DIRECTORY) {
    loadColumns(*r);
}
im_event_user::im_event_user(QVIMDAL& store, const im_wrapper_event_s* r)
    : QVIMEventStandard(store, r, ENTITY_USER) {
    loadColumns(*r);
}
im_event_group::im_event_group(QVIMDAL& store, const im_wrapper_event_s* r)
    : QVIMEventStandard(store, r, ENTITY_GROUP) {
    loadColumns(*r);
}
im_event_port::im_event_port(QVIMDAL& store, const im_wrapper_event_s* r)
    : QVIMEventStandard(store, r, ENTITY_PORT) {
    loadColumns(*r);
}
im_event_installed_software::im_event_installed_software(QVIMDAL& store, const im_wrapper_event_s* r)
    : QVIMEventStandard(store, r, ENTITY_INSTALLED_SOFTWARE) {
    loadColumns(*r);
}
im_event_process::im_event_process(QVIMDAL& store, const im_wrapper_event_s* r)
    : QVIMEventStandard(store, r, ENTITY_PROCESS) {
    loadColumns(*r);
}

// ---- Attribute values answered to rule conditions ----------------------------

void QVIMEvent::format_user(const std::string& raw, std::string& out) {
    const long uid = std::strtol(raw.c_str(), nullptr, 10);
    if (!lookupUserName(static_cast<uid_t>(uid), out)) out = raw;
}

void QVIMEvent::format_group(const std::string& raw, std::string& out) {
    const long gid = std::strtol(raw.c_str(), nullptr, 10);
    if (!lookupGroupName(static_cast<gid_t>(gid), out)) out = raw;
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

// ---- Column layouts and the kinds registry -------------------------------------------------------------

namespace {

template <class T>
constexpr FieldType fieldTypeOf() {
    if constexpr (std::is_same_v<T, bool>) return FieldType::Bool;
    else if constexpr (std::is_same_v<T, int32_t>) return FieldType::Int32;
    else if constexpr (std::is_same_v<T, int64_t>) return FieldType::Int64;
    else if constexpr (std::is_same_v<T, std::string>) return FieldType::Text;
    else {
        static_assert(std::is_base_of_v<Hash, T>, "unsupported column member type");
        return FieldType::Hash;
    }
}

// A record member from its boundary field.
void assignFrom(bool& field, bool source) { field = source; }
void assignFrom(int32_t& field, int32_t source) { field = source; }
void assignFrom(int64_t& field, uint64_t source) { field = static_cast<int64_t>(source); }
void assignFrom(std::string& field, const char* source) { field = textOf(source); }
void assignFrom(Hash& field, const unsigned char* source) {
    if (source != nullptr) field.SetHash(field.type(), source);
}

template <auto Member>
struct ColumnMember;

template <class R, class T, T R::*Member>
struct ColumnMember<Member> {
    static constexpr FieldType type = fieldTypeOf<T>();
    using Record = R;
    using Type = T;
    // Digests are handed out as their Blob base so that one accessor type
    // serves every hash kind.
    static void* address(const QVIMEvent& record) {
        T* field = const_cast<T*>(&(static_cast<const R&>(record).*Member));
        if constexpr (std::is_base_of_v<Blob, T>)
            return static_cast<Blob*>(field);
        else
            return field;
    }
};

template <auto Member, auto Source>
void loadColumn(QVIMEvent& record, const im_wrapper_event_s& source) {
    using M = ColumnMember<Member>;
    assignFrom(static_cast<typename M::Record&>(record).*Member, source.*Source);
}

// A column: the record member that holds it and the boundary field it is read from.
template <auto Member, auto Source>
constexpr ColumnDescriptor col(const char* name) {
    using M = ColumnMember<Member>;
    const uint8_t exportType = M::type == FieldType::Bool || M::type == FieldType::Int32 ? QVIMEvent::VariantField::Int32
                               : M::type == FieldType::Int64                             ? QVIMEvent::VariantField::Int64
                                                                                         : QVIMEvent::VariantField::Text;
    return ColumnDescriptor{name,  name,  M::type, CompareRule::Exact, DisplayRule::Plain, exportType, false,
                            &M::address, &loadColumn<Member, Source>};
}

using W = im_wrapper_event_s;
using F = im_event_file;
constexpr ColumnDescriptor kFileColumns[] = {
    col<&F::blocksAllocated, &W::blocksAllocated>("blocksAllocated"),
    col<&F::created, &W::created>("created").comparing(CompareRule::Tolerance1000),
    col<&F::deviceNumber, &W::deviceNumber>("deviceNumber"),
    col<&F::flags, &W::flags>("flags"),
    col<&F::flagsAll, &W::flagsAll>("flagsAll"),
    col<&F::userGroup, &W::userGroup>("userGroup").named("group").shown(DisplayRule::GroupName),
    col<&F::inodeGenerationNumber, &W::inodeGenerationNumber>("inodeGenerationNumber"),
    col<&F::inodeNumber, &W::inodeNumber>("inodeNumber"),
    col<&F::lastAccessed, &W::lastAccessed>("lastAccessed"),
    col<&F::lastModified, &W::lastModified>("lastModified"),
    col<&F::md5, &W::md5>("md5"),
    col<&F::owner, &W::owner>("owner").shown(DisplayRule::UserName),
    col<&F::permissions, &W::permissions>("permissions").shown(DisplayRule::Permissions),
    col<&F::sha1, &W::sha1>("sha1").comparing(CompareRule::HashUnlessStar).shown(DisplayRule::KeepStarHash),
    col<&F::sha256, &W::sha256>("sha256").comparing(CompareRule::HashUnlessStar).shown(DisplayRule::KeepStarHash),
    col<&F::size, &W::size>("size").comparing(CompareRule::FileSize),
    col<&F::growing, &W::growing>("growing").shown(DisplayRule::BooleanDisplay),
    col<&F::shrinking, &W::shrinking>("shrinking").shown(DisplayRule::BooleanDisplay),
    col<&F::symLinkPath, &W::symLinkPath>("symLinkPath"),
};
// The insert and update texts name the columns in the table's order.
constexpr const char* kFileStatementColumns[] = {
    "blocksAllocated", "created", "deviceNumber", "flags",  "flagsAll",  "userGroup", "growing",
    "inodeGenerationNumber", "inodeNumber", "lastAccessed", "lastModified", "md5", "owner", "permissions",
    "sha1", "sha256", "shrinking", "size", "symLinkPath"};

using D = im_event_directory;
constexpr ColumnDescriptor kDirectoryColumns[] = {
    col<&D::created, &W::created>("created").comparing(CompareRule::Tolerance1000),
    col<&D::deviceNumber, &W::deviceNumber>("deviceNumber"),
    col<&D::flags, &W::flags>("flags"),
    col<&D::flagsAll, &W::flagsAll>("flagsAll"),
    col<&D::userGroup, &W::userGroup>("userGroup").named("group").shown(DisplayRule::GroupName),
    col<&D::inodeGenerationNumber, &W::inodeGenerationNumber>("inodeGenerationNumber"),
    col<&D::inodeNumber, &W::inodeNumber>("inodeNumber"),
    col<&D::lastAccessed, &W::lastAccessed>("lastAccessed"),
    col<&D::lastModified, &W::lastModified>("lastModified"),
    col<&D::owner, &W::owner>("owner").shown(DisplayRule::UserName),
    col<&D::permissions, &W::permissions>("permissions").shown(DisplayRule::Permissions),
    col<&D::symLinkPath, &W::symLinkPath>("symLinkPath"),
};

using U = im_event_user;
constexpr ColumnDescriptor kUserColumns[] = {
    col<&U::userId, &W::user>("userId").named("user").shown(DisplayRule::KeyAsDisplay),
    col<&U::userGroup, &W::userGroup>("userGroup").named("group").shown(DisplayRule::QualifiedGroup),
    col<&U::cannotChangePassword, &W::cannotChangePassword>("cannotChangePassword").shown(DisplayRule::TrueFalse),
    col<&U::description, &W::description>("description"),
    col<&U::disabled, &W::disabled>("disabled").shown(DisplayRule::TrueFalse),
    col<&U::fullName, &W::fullName>("fullName"),
    col<&U::groups, &W::groups>("groups").shown(DisplayRule::QualifiedGroupList),
    col<&U::homeDriveLetter, &W::homeDriveLetter>("homeDriveLetter"),
    col<&U::homeFolder, &W::homeFolder>("homeFolder"),
    col<&U::lockedOut, &W::lockedOut>("lockedOut"),
    col<&U::logonScript, &W::logonScript>("logonScript"),
    col<&U::logonShell, &W::logonShell>("logonShell"),
    col<&U::passwordExpiredDaysBeforeDisabled, &W::passwordExpiredDaysBeforeDisabled>("passwordExpiredDaysBeforeDisabled"),
    col<&U::passwordExpiryInDays, &W::passwordExpiryInDays>("passwordExpiryInDays"),
    col<&U::passwordExpiry, &W::passwordExpiry>("passwordExpiry"),
    col<&U::passwordHasExpired, &W::passwordHasExpired>("passwordHasExpired").shown(DisplayRule::TrueFalse),
    col<&U::passwordLastChanged, &W::passwordLastChanged>("passwordLastChanged")
        .comparing(CompareRule::Tolerance10)
        .shown(DisplayRule::Thousandfold),
    col<&U::passwordMinDaysBetweenChanges, &W::passwordMinDaysBetweenChanges>("passwordMinDaysBetweenChanges"),
    col<&U::passwordNeverExpires, &W::passwordNeverExpires>("passwordNeverExpires").shown(DisplayRule::TrueFalse),
    col<&U::passwordWarningDays, &W::passwordWarningDays>("passwordWarningDays"),
    col<&U::profilePath, &W::profilePath>("profilePath"),
};
// Bind orders decide which failure a bind reports first.
constexpr const char* kUserBindColumns[] = {
    "cannotChangePassword", "userId", "description", "disabled", "fullName", "userGroup", "groups",
    "homeDriveLetter", "homeFolder", "lockedOut", "logonScript", "logonShell",
    "passwordExpiredDaysBeforeDisabled", "passwordExpiryInDays", "passwordExpiry", "passwordHasExpired",
    "passwordLastChanged", "passwordMinDaysBetweenChanges", "passwordNeverExpires", "passwordWarningDays",
    "profilePath"};

using G = im_event_group;
constexpr ColumnDescriptor kGroupColumns[] = {
    col<&G::groupId, &W::userGroup>("groupId").named("group").shown(DisplayRule::KeyAsDisplay),
    col<&G::description, &W::description>("description"),
    col<&G::members, &W::members>("members"),
    col<&G::subGroups, &W::subGroups>("subGroups"),
};

using P = im_event_port;
constexpr ColumnDescriptor kPortColumns[] = {
    col<&P::created, &W::created>("created"),
    col<&P::userGroup, &W::userGroup>("userGroup").named("group"),
    col<&P::user, &W::user>("user").shown(DisplayRule::UserName).matchable(),
    col<&P::listeners, &W::listeners>("listeners"),
    col<&P::path, &W::path>("path").matchable(),
    col<&P::process, &W::process>("process").matchable(),
    col<&P::processID, &W::processID>("processID"),
};

using S = im_event_installed_software;
constexpr ColumnDescriptor kInstalledSoftwareColumns[] = {
    col<&S::displayName, &W::displayName>("displayName").named("name").matchable(),
    col<&S::size, &W::size>("size"),
    col<&S::parent, &W::parent>("parent"),
    col<&S::installedDate, &W::installedDate>("installedDate"),
    col<&S::installLocation, &W::installLocation>("installLocation"),
    col<&S::manufacturer, &W::manufacturer>("manufacturer").matchable(),
    col<&S::version, &W::version>("version"),
};
constexpr const char* kInstalledSoftwareBindColumns[] = {"displayName", "installedDate", "installLocation",
                                                         "manufacturer", "parent", "size", "version"};

using R = im_event_process;
constexpr ColumnDescriptor kProcessColumns[] = {
    col<&R::userGroup, &W::userGroup>("userGroup").named("group").shown(DisplayRule::GroupName).matchable(),
    col<&R::user, &W::user>("user").shown(DisplayRule::UserName).matchable(),
    col<&R::path, &W::path>("path").matchable(),
    col<&R::process, &W::process>("process"),
    col<&R::processID, &W::processID>("processID").exportedWide(),
    col<&R::commandLine, &W::commandLine>("commandLine").matchable(),
    col<&R::threads, &W::threads>("threads").exportedWide(),
    col<&R::parent, &W::parentProcessID>("parent").exportedWide(),
};
constexpr const char* kProcessBindColumns[] = {"commandLine", "userGroup", "parent", "path",
                                               "process", "processID", "threads", "user"};

constexpr bool sameText(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

// The positions of the named columns in the layout. Each column is named
// exactly once: otherwise the order is not a constant and the build fails.
template <size_t N, size_t M>
constexpr std::array<uint8_t, N> orderOf(const ColumnDescriptor (&columns)[N], const char* const (&names)[M]) {
    static_assert(N == M, "an order names every column once");
    std::array<uint8_t, N> order{};
    bool used[N] = {};
    for (size_t i = 0; i < M; ++i) {
        size_t found = N;
        for (size_t j = 0; j < N; ++j)
            if (sameText(columns[j].column, names[i])) found = j;
        if (found == N || used[found]) throw "column order names an unknown column or one twice";
        used[found] = true;
        order[i] = static_cast<uint8_t>(found);
    }
    return order;
}

template <size_t N>
constexpr std::array<uint8_t, N> identityOrder() {
    std::array<uint8_t, N> order{};
    for (size_t i = 0; i < N; ++i) order[i] = static_cast<uint8_t>(i);
    return order;
}

constexpr auto kFileStatementOrder = orderOf(kFileColumns, kFileStatementColumns);
constexpr auto kDirectoryOrder = identityOrder<std::size(kDirectoryColumns)>();
constexpr auto kUserOrder = identityOrder<std::size(kUserColumns)>();
constexpr auto kUserBindOrder = orderOf(kUserColumns, kUserBindColumns);
constexpr auto kGroupOrder = identityOrder<std::size(kGroupColumns)>();
constexpr auto kPortOrder = identityOrder<std::size(kPortColumns)>();
constexpr auto kInstalledSoftwareOrder = identityOrder<std::size(kInstalledSoftwareColumns)>();
constexpr auto kInstalledSoftwareBindOrder = orderOf(kInstalledSoftwareColumns, kInstalledSoftwareBindColumns);
constexpr auto kProcessOrder = identityOrder<std::size(kProcessColumns)>();
constexpr auto kProcessBindOrder = orderOf(kProcessColumns, kProcessBindColumns);

template <size_t N>
constexpr RecordLayout makeLayout(entity_type type, const ColumnDescriptor (&columns)[N],
                                  const std::array<uint8_t, N>& statementOrder, const std::array<uint8_t, N>& bindOrder) {
    return RecordLayout{type, columns, N, statementOrder.data(), bindOrder.data()};
}

template <class Record>
QVIMEvent* makeRecord(QVIMDAL& store, const im_wrapper_event_s* record) {
    return new Record(store, record);
}

constexpr LegacyAttribute kDiskAttributes[] = {
    {"contents", nullptr, LegacyValue::Ignored},  // files only
    {"created", "created", LegacyValue::Nanoseconds},
    {"lastAccessed", "lastAccessed", LegacyValue::Nanoseconds},
    {"lastModified", "lastModified", LegacyValue::Nanoseconds},
    {"permissions", "permissions", LegacyValue::PermissionText},
};
constexpr LegacyAttribute kUserAttributes[] = {
    {"group", "group", LegacyValue::QualifiedName},
    {"groups", "groups", LegacyValue::QualifiedGroups},
    {"passwordLastChanged", "passwordLastChanged", LegacyValue::Thousandths},
    {"passwordMinDaysBetweenChanges", "passwordMinDaysBetweenChanges", LegacyValue::MinimumDays},
};
constexpr LegacyAttribute kPortAttributes[] = {{"processId", "processID", LegacyValue::AsStored}};
constexpr LegacyAttribute kSoftwareAttributes[] = {{"displayName", "name", LegacyValue::AsStored}};

template <size_t N>
constexpr LegacyKind legacyKind(const char* function, const char* recordClass, const char* noun, bool strict,
                                const LegacyAttribute (&special)[N], size_t skip = 0) {
    return LegacyKind{function, recordClass, noun, strict, special + skip, N - skip};
}
constexpr LegacyKind legacyKind(const char* function, const char* recordClass, const char* noun, bool strict) {
    return LegacyKind{function, recordClass, noun, strict, nullptr, 0};
}

// One row per kind, in kind order. The table name's middle and the
// row-count column follow from the table name.
const KindDescriptor kKindRegistry[] = {
    {ENTITY_FILE, "EntityFileItems", true, &W::path,
     makeLayout(ENTITY_FILE, kFileColumns, kFileStatementOrder, kFileStatementOrder), &makeRecord<im_event_file>,
     legacyKind("assignFileEntityAttributes", "im_event_file", "file", true, kDiskAttributes), KindScanner::Host},
    {ENTITY_DIRECTORY, "EntityDirectoryItems", true, &W::path,
     makeLayout(ENTITY_DIRECTORY, kDirectoryColumns, kDirectoryOrder, kDirectoryOrder),
     &makeRecord<im_event_directory>,
     // "contents" belongs to files only.
     legacyKind("assignDirectoryEntityAttributes", "im_event_directory", "directory", true, kDiskAttributes, 1),
     KindScanner::Directories},
    {ENTITY_USER, "EntityUserItems", false, &W::name, makeLayout(ENTITY_USER, kUserColumns, kUserOrder, kUserBindOrder),
     &makeRecord<im_event_user>,
     legacyKind("assignUserEntityAttributes", "im_event_user", "user", false, kUserAttributes), KindScanner::Users},
    {ENTITY_GROUP, "EntityUserGroupItems", false, &W::name,
     makeLayout(ENTITY_GROUP, kGroupColumns, kGroupOrder, kGroupOrder), &makeRecord<im_event_group>,
     legacyKind("assignGroupEntityAttributes", "im_event_group", "group", false), KindScanner::Groups},
    {ENTITY_PORT, "EntityPortItems", false, &W::portKey, makeLayout(ENTITY_PORT, kPortColumns, kPortOrder, kPortOrder),
     &makeRecord<im_event_port>,
     legacyKind("assignPortEntityAttributes", "im_event_port", "port", false, kPortAttributes), KindScanner::Ports},
    {ENTITY_INSTALLED_SOFTWARE, "EntityInstalledSoftwareItems", false, &W::name,
     makeLayout(ENTITY_INSTALLED_SOFTWARE, kInstalledSoftwareColumns, kInstalledSoftwareOrder,
                kInstalledSoftwareBindOrder),
     &makeRecord<im_event_installed_software>,
     legacyKind("assignSoftwareEntityAttributes", "im_event_installed_software", "software", true,
                kSoftwareAttributes),
     KindScanner::InstalledSoftware},
    {ENTITY_PROCESS, "EntityProcessItems", false, &W::processKey,
     makeLayout(ENTITY_PROCESS, kProcessColumns, kProcessOrder, kProcessBindOrder), &makeRecord<im_event_process>,
     legacyKind("assignProcessEntityAttributes", "im_event_process", "process", true), KindScanner::Processes},
};
static_assert(std::size(kKindRegistry) == ENTITY_UNKNOWN - ENTITY_FILE, "one row per kind");

}  // namespace

const KindDescriptor* kindDescriptor(entity_type type) {
    const auto row = static_cast<unsigned>(type) - ENTITY_FILE;  // wraps for ENTITY_ALL
    return row < std::size(kKindRegistry) ? &kKindRegistry[row] : nullptr;
}

const KindDescriptor* kindsBegin() { return std::begin(kKindRegistry); }
const KindDescriptor* kindsEnd() { return std::end(kKindRegistry); }

const char* KindDescriptor::name() const { return entityTypeName(type); }

std::string KindDescriptor::countColumn() const {
    // "EntityUserGroupItems" counts as "userGroupItemCount".
    std::string middle(tableName + 6, std::strlen(tableName) - 6 - 5);
    middle[0] = static_cast<char>(middle[0] - 'A' + 'a');
    return middle + "ItemCount";
}

const RecordLayout* recordLayout(entity_type type) {
    const KindDescriptor* kind = kindDescriptor(type);
    return kind != nullptr ? &kind->layout : nullptr;
}

const ColumnDescriptor* RecordLayout::find(const std::string& attribute) const {
    for (size_t i = 0; i < count; ++i)
        if (attribute == columns[i].attribute) return &columns[i];
    return nullptr;
}

// ---- Event values ------------------------------------------------------------------

void QVIMEvent::format_qualifiedGroup(const std::string& raw, std::string& first, std::string& second) {
    const size_t colon = raw.find(':');
    if (colon == std::string::npos) {
        first = raw;
        return;
    }
    first.assign(raw, 0, colon);
    second.assign(raw, colon + 1, std::string::npos);
}

void QVIMEvent::formatPermissions1Field(const std::string& raw, const char* ownerLabel, const char* groupLabel,
                                        const char* otherLabel, std::string& out) {
    const long mode = std::strtol(raw.c_str(), nullptr, 8);
    const auto special = [mode](long execute, long setId) {
        const bool x = (mode & execute) != 0;
        const bool s = (mode & setId) != 0;
        return x && s ? 's' : x ? 'x' : s ? 'S' : '-';
    };
    const char owner[] = {(mode & 0400) ? 'r' : '-', (mode & 0200) ? 'w' : '-', special(0100, 04000), '\0'};
    const char group[] = {(mode & 040) ? 'r' : '-', (mode & 020) ? 'w' : '-', special(010, 02000), '\0'};
    const char other[] = {(mode & 04) ? 'r' : '-', (mode & 02) ? 'w' : '-', (mode & 01) ? 'x' : '-', '\0'};
    std::string text;
    text.reserve(std::strlen(ownerLabel) + std::strlen(groupLabel) + std::strlen(otherLabel) + 18);
    text.append(ownerLabel).append("::").append(owner).append("\n");
    text.append(groupLabel).append("::").append(group).append("\n");
    text.append(otherLabel).append("::").append(other);
    out = std::move(text);
}

void QVIMEvent::format_members(const std::string& raw, std::string& out) { out = raw; }

namespace {
void lookUpName(const std::string& raw, const char* const* names, size_t count, const char* missing,
                std::string& out) {
    const long number = std::strtol(raw.c_str(), nullptr, 10);
    out = number >= 0 && static_cast<size_t>(number) < count ? names[number] : missing;
}
}  // namespace

void QVIMEvent::format_reg_value_type(const std::string& raw, std::string& out) {
    static const char* const names[] = {"REG_NONE",
                                        "REG_SZ",
                                        "REG_EXPAND_SZ",
                                        "REG_BINARY",
                                        "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN",
                                        "REG_LINK",
                                        "REG_MULTI_SZ",
                                        "REG_RESOURCE_LIST",
                                        "REG_FULL_RESOURCE_DESCRIPTOR",
                                        "REG_RESOURCE_REQUIREMENTS_LIST",
                                        "REG_QWORD"};
    // Numbers outside the table have no name; show the number itself.
    lookUpName(raw, names, sizeof names / sizeof names[0], raw.c_str(), out);
}

void QVIMEvent::format_service_start_type(const std::string& raw, std::string& out) {
    static const char* const names[] = {"boot", "system", "automatic", "manual", "disabled"};
    lookUpName(raw, names, sizeof names / sizeof names[0], "ERROR", out);
}

void QVIMEvent::format_service_state(const std::string& raw, std::string& out) {
    static const char* const names[] = {"unknown", "stopped",          "starting",      "stopping",
                                        "running", "continue_pending", "pause_pending", "paused"};
    lookUpName(raw, names, sizeof names / sizeof names[0], "ERROR", out);
}

std::string convertKey(char* key) { return std::string(key != nullptr ? key : ""); }
std::string extractOwnerOrGroup(char* text) { return std::string(text != nullptr ? text : ""); }

void QVIMEvent::getEventValues(const std::string&, const std::string& raw, std::string& value,
                               std::string& display) {
    value = raw;
    display.clear();
}

void QVIMEventStandard::getEventValues(const std::string& name, const std::string& raw, std::string& value,
                                       std::string& display) {
    const ColumnDescriptor* column = layout().find(name);
    switch (column != nullptr ? column->display : DisplayRule::Plain) {
        case DisplayRule::Plain: QVIMEvent::getEventValues(name, raw, value, display); return;
        case DisplayRule::GroupName:
            value = raw;
            format_group(raw, display);
            return;
        case DisplayRule::UserName:
            value = raw;
            format_user(raw, display);
            return;
        case DisplayRule::Permissions:
            formatPermissions1Field(raw, "u", "g", "o", value);
            formatPermissions1Field(raw, "user", "group", "other", display);
            return;
        case DisplayRule::BooleanDisplay:
            value = raw;
            if (raw.empty())
                LOG_WARNING(QVIM_SRC_EVENTS, "format_boolean", "format_boolean called with an empty baseline value");
            else
                display = raw[0] == '1' ? "true" : "false";
            return;
        case DisplayRule::KeepStarHash:
            if (raw != "2a") QVIMEvent::getEventValues(name, raw, value, display);
            return;
        case DisplayRule::QualifiedGroupList:
            if (raw.empty()) return;
            for (const std::string& item : split(raw, ',')) {
                std::string first, second;
                format_qualifiedGroup(item, first, second);
                if (!value.empty()) value += ',';
                value += first;
                if (!display.empty()) display += ',';
                display += second;
            }
            return;
        case DisplayRule::QualifiedGroup: format_qualifiedGroup(raw, value, display); return;
        case DisplayRule::KeyAsDisplay:
            value = raw;
            display = currentKey;
            return;
        case DisplayRule::TrueFalse: value = raw == "1" ? "true" : "false"; return;
        case DisplayRule::Thousandfold:
            value = std::to_string(static_cast<long long>(static_cast<int32_t>(std::strtol(raw.c_str(), nullptr, 10))) *
                                   1000);
            return;
    }
}

// ---- Old fields, new fields and export rows ----------------------------------------------

namespace {

const char* columnText(sqlite3_stmt* stmt, int column) {
    return reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
}

std::string columnHex(sqlite3_stmt* stmt, int column) {
    return Blob::getEncoding(sqlite3_column_blob(stmt, column),
                             static_cast<unsigned long>(sqlite3_column_bytes(stmt, column)));
}

// Stored column text into target; a NULL column leaves target as it was.
void assignColumnText(sqlite3_stmt* stmt, int column, std::string& target) {
    if (const char* text = columnText(stmt, column))
        target.assign(text, static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

}  // namespace

void QVIMEvent::bufferOldFields(sqlite3_stmt* stmt, bool loadKey) {
    entityItemId = sqlite3_column_int64(stmt, 1);
    if (loadKey) {
        const char* key = columnText(stmt, 0);
        currentKey.assign(key != nullptr ? key : "");
    }
}

void QVIMEventStandard::bufferOldFields(sqlite3_stmt* stmt, bool loadKey) {
    QVIMEvent::bufferOldFields(stmt, loadKey);
    const RecordLayout& columns = layout();
    bufferedFields.resize(columns.count);
    for (size_t i = 0; i < columns.count; ++i) {
        const ColumnDescriptor& column = columns.columns[i];
        auto& entry = bufferedFields[i];
        entry.first = column.attribute;
        const int index = static_cast<int>(i) + 2;
        if (column.type == FieldType::Hash)
            entry.second = columnHex(stmt, index);
        else
            assignColumnText(stmt, index, entry.second);
    }
}

void QVIMEvent::populateComparableMembers(sqlite3_stmt*) {}

void QVIMEventStandard::populateComparableMembers(sqlite3_stmt* stmt) {
    const RecordLayout& columns = layout();
    for (size_t i = 0; i < columns.count; ++i) {
        const ColumnDescriptor& column = columns.columns[i];
        if (!column.comparable) continue;
        const char* text = columnText(stmt, static_cast<int>(i) + 2);
        column.field<std::string>(*this).assign(text != nullptr ? text : "");
    }
}

namespace {
std::string fieldText(const ColumnDescriptor& column, const QVIMEvent& record) {
    switch (column.type) {
        case FieldType::Bool: return column.field<bool>(record) ? "1" : "0";
        case FieldType::Int32: return std::to_string(column.field<int32_t>(record));
        case FieldType::Int64: return std::to_string(column.field<int64_t>(record));
        case FieldType::Text: return column.field<std::string>(record);
        case FieldType::Hash: {
            const Blob& blob = column.field<Blob>(record);
            return blob.empty() ? std::string("(null)") : blob.encoding();
        }
    }
    return std::string();
}
}  // namespace

void QVIMEventStandard::bufferNewFields(Fields& fields) {
    const RecordLayout& columns = layout();
    fields.reserve(fields.size() + columns.count);
    for (size_t i = 0; i < columns.count; ++i) {
        const ColumnDescriptor& column = columns.columns[columns.statementOrder[i]];
        fields.emplace_back(column.attribute, fieldText(column, *this));
    }
}

void QVIMEvent::getRow(sqlite3_stmt* stmt, std::vector<std::pair<std::string, VariantField>>& row,
                       unsigned long idOffset) const {
    if (row.size() < 2) row.resize(2);
    row[0].first = "entityItemId";
    row[0].second.type = VariantField::Int64;
    row[0].second.integer = sqlite3_column_int64(stmt, 1) + static_cast<int64_t>(idOffset);
    row[1].first = "key";
    row[1].second.type = VariantField::Text;
    assignColumnText(stmt, 0, row[1].second.text);
}

void QVIMEventStandard::getRow(sqlite3_stmt* stmt, std::vector<std::pair<std::string, VariantField>>& row,
                               unsigned long idOffset) const {
    const RecordLayout& columns = layout();
    if (row.size() < columns.count + 3) row.resize(columns.count + 3);
    QVIMEvent::getRow(stmt, row, idOffset);
    for (size_t i = 0; i < columns.count; ++i) {
        const ColumnDescriptor& column = columns.columns[i];
        auto& entry = row[i + 2];
        const int index = static_cast<int>(i) + 2;
        entry.first = column.attribute;
        entry.second.type = column.exportType;
        if (column.exportType == VariantField::Int32)
            entry.second.integer = sqlite3_column_int(stmt, index);
        else if (column.exportType == VariantField::Int64)
            entry.second.integer = sqlite3_column_int64(stmt, index);
        else if (column.type == FieldType::Hash)
            entry.second.text = columnHex(stmt, index);
        else
            assignColumnText(stmt, index, entry.second.text);
    }
    auto& recordTime = row[columns.count + 2];
    recordTime.first = "recordTime";
    recordTime.second.type = VariantField::Int64;
    recordTime.second.integer = sqlite3_column_int64(stmt, static_cast<int>(columns.count) + 2);
}

void QVIMEvent::incrementState() const {}

void im_event_file::incrementState() const { store.stats().Add("baselineBytesAdded", static_cast<long>(size)); }

// ---- Statements ----------------------------------------------------------------------

const EventTypeTable* QVIMEventStandard::getTable() const { return store.table(entityType()); }
EventTypeTable* QVIMEventStandard::getTable() { return store.table(entityType()); }

sqlite3_stmt** QVIMEventStandard::getStmt(unsigned long slot) const {
    return store.table(entityType())->getStmt(static_cast<unsigned>(slot));
}

sqlite3_stmt* QVIMEvent::bindSelectByKey() {
    EventTypeTable* table = getTable();
    sqlite3_stmt* stmt = table != nullptr ? *table->getStmt(EventTypeTable::SelectByKey) : nullptr;
    if (stmt == nullptr ||
        !EventTypeTable::bindField(stmt, table->whereKeyIndex(EventTypeTable::SelectByKey), ":wherekey", currentKey))
        return nullptr;
    return stmt;
}

sqlite3_stmt* QVIMEvent::bindSelectByScanTime(unsigned long scanTime) {
    sqlite3_stmt* stmt = *getStmt(EventTypeTable::SelectByScanTime);
    if (stmt == nullptr || !EventTypeTable::bindField(stmt, ":scanTime", scanTime)) return nullptr;
    return stmt;
}

sqlite3_stmt* QVIMEvent::bindDeleteByPrimaryKey() {
    EventTypeTable* table = getTable();
    sqlite3_stmt* stmt = table != nullptr ? *table->getStmt(EventTypeTable::DeleteByPrimaryKey) : nullptr;
    if (stmt == nullptr || !EventTypeTable::bindField(stmt, table->whereKeyIndex(EventTypeTable::DeleteByPrimaryKey),
                                                      ":wherekey", static_cast<unsigned long>(entityItemId)))
        return nullptr;
    return stmt;
}

sqlite3_stmt* QVIMEventStandard::bind(unsigned long slot) {
    EventTypeTable& table = *getTable();
    sqlite3_stmt* stmt = *table.getStmt(static_cast<unsigned>(slot));
    if (stmt == nullptr || slot > EventTypeTable::Update) return nullptr;
    const EventTypeTable::BindIndexes& indexes = table.bindIndexes(static_cast<unsigned>(slot));
    const unsigned long now = getCurrentTimeInMillis();
    bool ok;
    if (slot == EventTypeTable::Update)
        ok = EventTypeTable::bindField(stmt, indexes.wherekey, ":wherekey", static_cast<unsigned long>(entityItemId)) &&
             EventTypeTable::bindField(stmt, indexes.time, ":scanTime", now);
    else
        ok = EventTypeTable::bindField(stmt, indexes.time, ":currentTime", now);
    ok = ok && EventTypeTable::bindField(stmt, indexes.key, ":key", newKey);

    const RecordLayout& columns = layout();
    for (size_t i = 0; ok && i < columns.count; ++i) {
        const size_t index = columns.bindOrder[i];
        const ColumnDescriptor& column = columns.columns[index];
        const int parameter = indexes.columns[index];
        const char* name = table.parameterName(index);
        switch (column.type) {
            case FieldType::Bool: ok = EventTypeTable::bindField(stmt, parameter, name, column.field<bool>(*this)); break;
            case FieldType::Int32:
                ok = EventTypeTable::bindField(stmt, parameter, name, static_cast<int>(column.field<int32_t>(*this)));
                break;
            case FieldType::Int64:
                ok = EventTypeTable::bindField(stmt, parameter, name,
                                               static_cast<unsigned long>(column.field<int64_t>(*this)));
                break;
            case FieldType::Text:
                ok = EventTypeTable::bindField(stmt, parameter, name, column.field<std::string>(*this));
                break;
            case FieldType::Hash: ok = EventTypeTable::bindField(stmt, parameter, name, column.field<Blob>(*this)); break;
        }
    }
    if (!ok) {
        // A half-bound statement must not be stepped or leak into the next use.
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        return nullptr;
    }
    return stmt;
}

// ---- Change detection ----------------------------------------------------------------

bool QVIMEvent::validateOldFieldsBuffered(int stepResult, sqlite3_stmt* stmt, bool loadKey) {
    if (stepResult == SQLITE_ROW) {
        LOG_TRACE(QVIM_SRC_DAL, "validateOldFieldsBuffered", "Key '%s' found in table", currentKey.c_str());
        bufferOldFields(stmt, loadKey);
    } else if (stepResult == SQLITE_DONE) {
        LOG_TRACE(QVIM_SRC_DAL, "validateOldFieldsBuffered", "Key '%s' not found in table", currentKey.c_str());
    } else {
        LOG_ERROR(QVIM_SRC_DAL, "validateOldFieldsBuffered", "Unable to select table: %s", sqlite3_errstr(stepResult));
    }
    oldFieldsBuffered = true;
    return !bufferedFields.empty();
}

void QVIMEvent::LogMismatch(sqlite3_stmt* stmt, int column, const std::string& stored,
                            const std::string& record) const {
    const EventTypeTable* table = getTable();
    LOG_INFO(QVIM_SRC_DAL, "LogMismatch", "Mismatched field (key='%s'): (Entity%sItems.%s == %s) != %s",
             currentKey.c_str(), table != nullptr ? table->typeName().c_str() : "", sqlite3_column_name(stmt, column),
             stored.c_str(), record.c_str());
}

namespace {

std::string unsignedText(int64_t value) {
    return std::to_string(static_cast<unsigned long long>(value));
}

// One stored column against one record value; a difference is logged and
// its attribute name collected.
class ColumnComparison {
public:
    ColumnComparison(QVIMEvent& record, sqlite3_stmt* stmt, int column, const char* attribute,
                     std::unordered_set<std::string>& changed)
        : m_record(record), m_stmt(stmt), m_column(column), m_attribute(attribute), m_changed(changed) {}

    bool CompareCol(bool value) {
        const bool stored = sqlite3_column_int(m_stmt, m_column) == 1;
        return stored == value || differ(stored ? "1" : "0", value ? "1" : "0");
    }
    bool CompareCol(int32_t value) {
        const int stored = sqlite3_column_int(m_stmt, m_column);
        return stored == value || differ(std::to_string(stored), std::to_string(value));
    }
    bool CompareCol(int64_t value) {
        const int64_t stored = sqlite3_column_int64(m_stmt, m_column);
        return stored == value || differ(unsignedText(stored), unsignedText(value));
    }
    bool CompareCol(const std::string& value) {
        const char* stored = columnText(m_stmt, m_column);
        if (stored == nullptr) return value.empty() || differ("(null)", value);
        const size_t length = static_cast<size_t>(sqlite3_column_bytes(m_stmt, m_column));
        return value.compare(0, std::string::npos, stored, length) == 0 || differ(std::string(stored, length), value);
    }
    bool CompareCol(const Blob& value) {
        const void* stored = sqlite3_column_blob(m_stmt, m_column);
        const auto size = static_cast<unsigned long>(sqlite3_column_bytes(m_stmt, m_column));
        if (stored == nullptr || size == 0) {
            if (value.empty()) return true;
            return differ("(null)", value.encoding());
        }
        if (!value.empty() && size == value.size() && std::memcmp(stored, value.data(), size) == 0) return true;
        return differ(Blob::getEncoding(stored, size), value.empty() ? std::string("(null)") : value.encoding());
    }
    // Within the tolerance the record adopts the stored value, so that a
    // rewrite of the row keeps the old one.
    template <class T>
    bool CompareColWithToleranceAndRegulate(T& value, int64_t tolerance) {
        const int64_t stored = sqlite3_column_int64(m_stmt, m_column);
        const auto difference = static_cast<int64_t>(static_cast<uint64_t>(stored) - static_cast<uint64_t>(value));
        const uint64_t magnitude =
            difference < 0 ? 0 - static_cast<uint64_t>(difference) : static_cast<uint64_t>(difference);
        if (magnitude >= static_cast<uint64_t>(tolerance))
            return differ(unsignedText(stored), unsignedText(static_cast<int64_t>(value)));
        value = static_cast<T>(stored);
        return true;
    }

private:
    bool differ(const std::string& stored, const std::string& record) {
        m_record.LogMismatch(m_stmt, m_column, stored, record);
        m_changed.insert(m_attribute);
        return false;
    }

    QVIMEvent& m_record;
    sqlite3_stmt* m_stmt;
    int m_column;
    const char* m_attribute;
    std::unordered_set<std::string>& m_changed;
};

}  // namespace

bool QVIMEventStandard::compareColumn(sqlite3_stmt* stmt, int column, const ColumnDescriptor& descriptor,
                                      std::unordered_set<std::string>& changed) {
    ColumnComparison comparison(*this, stmt, column, descriptor.attribute, changed);
    switch (descriptor.compare) {
        case CompareRule::Tolerance1000:
            return comparison.CompareColWithToleranceAndRegulate(descriptor.field<int64_t>(*this), 1000);
        case CompareRule::Tolerance10:
            return comparison.CompareColWithToleranceAndRegulate(descriptor.field<int32_t>(*this), 10);
        case CompareRule::HashUnlessStar: {
            const auto* stored = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, column));
            if (stored != nullptr && sqlite3_column_bytes(stmt, column) > 0 && stored[0] == '*') {
                LOG_TRACE(QVIM_SRC_DAL, "compareTable", "p%s is a *", descriptor.column);
                return true;
            }
            LOG_TRACE(QVIM_SRC_DAL, "compareTable", "p%s is null or is specified", descriptor.column);
            break;
        }
        case CompareRule::FileSize: {
            auto& file = static_cast<im_event_file&>(*this);
            const int64_t stored = sqlite3_column_int64(stmt, column);
            file.growing = file.size > stored;
            file.shrinking = file.size < stored;
            break;
        }
        case CompareRule::Exact: break;
    }
    switch (descriptor.type) {
        case FieldType::Bool: return comparison.CompareCol(descriptor.field<bool>(*this));
        case FieldType::Int32: return comparison.CompareCol(descriptor.field<int32_t>(*this));
        case FieldType::Int64: return comparison.CompareCol(descriptor.field<int64_t>(*this));
        case FieldType::Text: return comparison.CompareCol(descriptor.field<std::string>(*this));
        case FieldType::Hash: return comparison.CompareCol(descriptor.field<Blob>(*this));
    }
    return true;
}

bool QVIMEventStandard::compareTable(sqlite3_stmt* stmt, RuleIds& ruleIds) {
    std::unordered_set<std::string> changed;
    const RecordLayout& columns = layout();
    for (size_t i = 0; i < columns.count; ++i) compareColumn(stmt, static_cast<int>(i) + 2, columns.columns[i], changed);
    store.rules()->matchRulesToAttributes(ruleIds, realTime, changed, entityType(),
                                             static_cast<im_operation>(operation));
    for (const std::string& name : changed) {
        LOG_TRACE(QVIM_SRC_DAL, "compareTable", "Key: %s, Changed Attributes: %s", currentKey.c_str(), name.c_str());
        std::fprintf(stdout, "Key: %s, Changed Attributes: %s\n", currentKey.c_str(), name.c_str());
    }
    return !changed.empty();
}

// ---- Item writes ---------------------------------------------------------------------------

namespace {

const char* stateName(int32_t state) {
    static const char* const names[] = {"IM_UNDETERMINED",  "IM_NO_RULE_MATCH",     "IM_MATCH_WITH_EVENT",
                                        "IM_MATCH_WITH_MAX_EVENTS", "IM_MATCH_NO_EVENT", "IM_INVALID_PARAMETER",
                                        "IM_ERROR"};
    return state >= 0 && state <= IM_ERROR ? names[state] : "(unknown state)";
}

}  // namespace

bool QVIMEventStandard::storeItem() {
    sqlite3* db = store.db();
    sqlite3_stmt* stmt = bind(EventTypeTable::Insert);
    if (stmt == nullptr) {
        LOG_ERROR(QVIM_SRC_DAL, "storeItem", "Unable to bind insert statement: %s", sqlite3_errstr(sqlite3_errcode(db)));
        return false;
    }
    int rc;
    {
        StatementUse use(stmt);
        rc = sqlite3_step(stmt);
    }
    if (rc != SQLITE_DONE) {
        LOG_ERROR(QVIM_SRC_DAL, "storeItem", "Unable to execute sqlite insert statement: %s with key '%s'",
                  sqlite3_errstr(rc), currentKey.c_str());
        return false;
    }
    store.stats().Inc("baselineItemsAdded");
    incrementState();
    return true;
}

bool QVIMEventStandard::insertRow(RuleIds*) {
    sqlite3* db = store.db();
    sqlite3_stmt* stmt = bind(EventTypeTable::Insert);
    if (stmt == nullptr) {
        LOG_ERROR(QVIM_SRC_DAL, "writeItem", "Unable to bind %s statement: %s", "insert",
                  sqlite3_errstr(sqlite3_errcode(db)));
        return false;
    }
    StatementUse use(stmt);
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
        LOG_WARNING(QVIM_SRC_DAL, "writeItem", "Unable to execute sqlite %s statement: %s", "insert", sqlite3_errstr(rc));
        return false;
    }
    entityItemId = sqlite3_last_insert_rowid(db);
    store.stats().Inc("baselineRowInserts");
    return true;
}

bool QVIMEventStandard::writeItem(bool insertOnly, RuleIds* ruleIds) {
    if (insertOnly) return insertRow(ruleIds);

    sqlite3* db = store.db();
    RuleIds none;
    RuleIds& rules = ruleIds != nullptr ? *ruleIds : none;
    bool changed = false;
    int rc;
    {
        sqlite3_stmt* select = bindSelectByKey();
        if (select == nullptr) {
            LOG_ERROR(QVIM_SRC_DAL, "writeItem", "Unable to select table: %s", sqlite3_errstr(sqlite3_errcode(db)));
            state = IM_ERROR;
            return false;
        }
        StatementUse use(select);
        rc = sqlite3_step(select);
        validateOldFieldsBuffered(rc, select, false);
        newKey = currentKey;
        if (rc == SQLITE_ROW) {
            LOG_TRACE(QVIM_SRC_DAL, "writeItem", "Key '%s' found in table; state unchanged (so far)", currentKey.c_str());
            operation = IM_OP_UPDATE;
            changed = compareTable(select, rules);
            state = changed && !rules.empty() ? IM_MATCH_WITH_EVENT : IM_MATCH_NO_EVENT;
            LOG_TRACE(QVIM_SRC_DAL, "writeItem", "Changes detected: '%s', matched rule count: %d, state: %s",
                      changed ? "true" : "false", static_cast<int>(rules.size()), stateName(state));
        } else if (rc == SQLITE_DONE) {
            store.rules()->matchRulesToAttributes(rules, realTime, {"*"}, entityType(),
                                                     static_cast<im_operation>(operation));
            state = rules.empty() ? IM_NO_RULE_MATCH : IM_MATCH_WITH_EVENT;
            LOG_TRACE(QVIM_SRC_DAL, "writeItem", "Key '%s' not found in table; state set to: '%s'", currentKey.c_str(),
                      stateName(state));
        } else {
            LOG_ERROR(QVIM_SRC_DAL, "writeItem", "Unable to select table: %s", sqlite3_errstr(sqlite3_errcode(db)));
            state = IM_ERROR;
            return false;
        }
    }

    if (rc == SQLITE_DONE) return insertRow(ruleIds);

    if (!changed) {
        if (store.bufferSelectedIDs()) store.bufferUnchangedId(*getTable(), entityItemId);
        return true;
    }

    sqlite3_stmt* update = bind(EventTypeTable::Update);
    if (update == nullptr) {
        LOG_ERROR(QVIM_SRC_DAL, "writeItem", "Unable to bind %s statement: %s", "update",
                  sqlite3_errstr(sqlite3_errcode(db)));
        return false;
    }
    StatementUse use(update);
    rc = sqlite3_step(update);
    if (rc != SQLITE_DONE) {
        LOG_WARNING(QVIM_SRC_DAL, "writeItem", "Unable to execute sqlite %s statement: %s", "update", sqlite3_errstr(rc));
        return false;
    }
    store.stats().Inc("baselineRowUpdates");
    return true;
}

bool QVIMEventStandard::renameItem(RuleIds* ruleIds) {
    sqlite3* db = store.db();
    bool result = false;
    int rc = SQLITE_ERROR;
    sqlite3_stmt* select = bindSelectByKey();
    if (select != nullptr) {
        StatementUse use(select);
        rc = sqlite3_step(select);
        validateOldFieldsBuffered(rc, select, false);
    }
    if (rc == SQLITE_ROW) {
        state = IM_MATCH_WITH_EVENT;
        sqlite3_stmt* update = bind(EventTypeTable::Update);
        if (update != nullptr) {
            StatementUse use(update);
            rc = sqlite3_step(update);
            result = rc == SQLITE_DONE;
            if (result)
                store.stats().Inc("baselineRowUpdates");
            else
                LOG_WARNING(QVIM_SRC_DAL, "renameItem", "Unable to execute sqlite update statement: %s",
                            sqlite3_errstr(rc));
        } else {
            LOG_WARNING(QVIM_SRC_DAL, "renameItem", "Unable to execute sqlite update statement: %s",
                        sqlite3_errstr(sqlite3_errcode(db)));
        }
    } else if (rc == SQLITE_DONE) {
        result = writeItem(true, nullptr);
        state = IM_MATCH_WITH_EVENT;
    } else {
        LOG_ERROR(QVIM_SRC_DAL, "renameItem", "Unable to select table: %s", sqlite3_errstr(sqlite3_errcode(db)));
        state = IM_ERROR;
        return false;
    }
    if (state == IM_MATCH_WITH_EVENT) {
        RuleIds none;
        RuleIds& rules = ruleIds != nullptr ? *ruleIds : none;
        store.rules()->matchRulesToAttributes(rules, realTime, {"*"}, entityType(),
                                                 static_cast<im_operation>(operation));
        if (rules.empty()) state = IM_NO_RULE_MATCH;
    }
    return result;
}

bool QVIMEventStandard::deleteItem(RuleIds* ruleIds) {
    int rc = SQLITE_ERROR;
    sqlite3_stmt* select = bindSelectByKey();
    if (select != nullptr) {
        StatementUse use(select);
        rc = sqlite3_step(select);
        validateOldFieldsBuffered(rc, select, false);
    }
    if (rc == SQLITE_DONE) {
        state = IM_MATCH_NO_EVENT;
        return true;
    }
    if (rc != SQLITE_ROW) {
        LOG_ERROR(QVIM_SRC_DAL, "deleteItem", "Unable to select table: %s", sqlite3_errstr(rc));
        state = IM_ERROR;
        return false;
    }
    if (state != IM_NO_RULE_MATCH) {
        RuleIds none;
        RuleIds& rules = ruleIds != nullptr ? *ruleIds : none;
        store.rules()->matchRulesToAttributes(rules, realTime, {"*"}, entityType(),
                                                 static_cast<im_operation>(operation));
        state = rules.empty() ? IM_NO_RULE_MATCH : IM_MATCH_WITH_EVENT;
    }
    sqlite3_stmt* remove = bindDeleteByPrimaryKey();
    rc = SQLITE_ERROR;
    if (remove != nullptr) {
        StatementUse use(remove);
        rc = sqlite3_step(remove);
    }
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
        store.stats().Inc("baselineRowDeletes");
        return true;
    }
    LOG_ERROR(QVIM_SRC_DAL, "deleteItem", "Unable to delete from table: %s", sqlite3_errstr(rc));
    state = IM_ERROR;
    return false;
}
