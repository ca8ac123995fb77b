// Entity records: one observation of one host entity, built from a boundary
// record, and what it reads from and writes to the store.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "QVIMDataAccessLayer.h"
#include "QVIMIntegrityRuleFilter.h"
#include "QVIMThreadSafety.h"
#include "QVIMUtilPlatformIndependent.h"
#include "qvim.h"

class EventTypeTable;
class QVIMEvent;
struct sqlite3_stmt;

// ---- Column descriptors ------------------------------------------------------
// The seven kinds share one shape and differ in their columns. One descriptor
// per attribute column drives binding, comparison, old and new fields, event
// values and export rows, so the per-kind logic exists once.

enum class FieldType : uint8_t { Bool, Int32, Int64, Text, Hash };

enum class CompareRule : uint8_t {
    Exact,
    Tolerance1000,   // time stamps that jitter below a second
    Tolerance10,     // password change days
    HashUnlessStar,  // a stored digest beginning with '*' is never compared
    FileSize,        // derives growing/shrinking before the size is compared
};

// How getEventValues turns a raw attribute text into value and display.
enum class DisplayRule : uint8_t {
    Plain,
    GroupName,           // display: group name of the gid
    UserName,            // display: user name of the uid
    Permissions,         // octal mode as acl text, short and long labels
    BooleanDisplay,      // display "true"/"false" from the first character
    KeepStarHash,        // "2a" ('*') leaves both outputs alone
    QualifiedGroupList,  // comma list of "name:display" items
    QualifiedGroup,      // "name:display"
    KeyAsDisplay,        // display: the record's key
    TrueFalse,           // value "true"/"false" from "1"
    Thousandfold,        // days to the millisecond-like form the host expects
};

struct ColumnDescriptor {
    const char* column;     // table column and statement parameter name
    const char* attribute;  // name in events, rules and the changed set
    FieldType type;
    CompareRule compare;
    DisplayRule display;
    uint8_t exportType;     // QVIMEvent::VariantField type code
    bool comparable;        // copied back from a stored row for rule matching
    void* (*address)(const QVIMEvent&);
    // Sets the record's member from its field of the boundary record.
    void (*load)(QVIMEvent&, const im_wrapper_event_s&);

    template <class T>
    T& field(const QVIMEvent& record) const { return *static_cast<T*>(address(record)); }

    constexpr ColumnDescriptor named(const char* name) const {
        ColumnDescriptor copy = *this;
        copy.attribute = name;
        return copy;
    }
    constexpr ColumnDescriptor comparing(CompareRule rule) const {
        ColumnDescriptor copy = *this;
        copy.compare = rule;
        return copy;
    }
    constexpr ColumnDescriptor shown(DisplayRule rule) const {
        ColumnDescriptor copy = *this;
        copy.display = rule;
        return copy;
    }
    constexpr ColumnDescriptor exportedWide() const {
        ColumnDescriptor copy = *this;
        copy.exportType = 1;
        return copy;
    }
    constexpr ColumnDescriptor matchable() const {
        ColumnDescriptor copy = *this;
        copy.comparable = true;
        return copy;
    }
};

// The columns of one kind in compare-select order, with the statement
// order (insert/update texts and new fields) and the bind order as indexes
// into that list.
struct RecordLayout {
    entity_type type;
    const ColumnDescriptor* columns;
    size_t count;
    const uint8_t* statementOrder;
    const uint8_t* bindOrder;

    const ColumnDescriptor* find(const std::string& attribute) const;
};

// Layout of kinds 1..7; null for any other value.
const RecordLayout* recordLayout(entity_type type);

// ---- Kinds registry ------------------------------------------------------------
// Everything that differs between kinds, one row each; the tables, the
// factory, the row counts and the names follow from these rows.

// How an old attribute value becomes a record value. AsStored goes by the
// field type: numbers from the integer reading, booleans through
// getBoolValue, digests decoded from their hexadecimal text.
enum class LegacyValue : uint8_t {
    AsStored,
    Ignored,
    Nanoseconds,      // to milliseconds
    PermissionText,   // "u::rwx\ng::r-x\no::r-x" to "0755"
    QualifiedName,    // id and name column: "id:name"
    QualifiedGroups,  // comma lists of ids and names: "id:name,..."
    Thousandths,      // divided by 1000
    MinimumDays,      // 0 or -1 also means the password never expires
};

// An old name that differs from the record's attribute name or needs a
// conversion; every other name is looked up among the kind's attributes.
struct LegacyAttribute {
    const char* name;
    const char* attribute;  // null for an ignored name
    LegacyValue value;
};

// How the migration reads a kind's entities from the old database.
struct LegacyKind {
    const char* function;     // the assigner named in log lines
    const char* recordClass;  // record class named when the kind does not fit
    const char* noun;         // in the parse error messages
    bool strict;              // an unknown attribute name fails the entity
    const LegacyAttribute* special;
    size_t specialCount;
};

// The collector that gathers a kind when the host is scanned; Host: none,
// the host hands the entities in (files).
enum class KindScanner : uint8_t { Host, Directories, Users, Groups, Ports, InstalledSoftware, Processes };

struct KindDescriptor {
    entity_type type;
    const char* tableName;
    bool purgedByPath;  // partial baselines purge these rows by path prefix
    const char* im_wrapper_event_s::*key;  // the boundary field that holds the key
    RecordLayout layout;
    QVIMEvent* (*make)(QVIMDAL& store, const im_wrapper_event_s* record);
    LegacyKind legacy;
    KindScanner scanner;

    const char* name() const;         // "File", ...; also the middle of the table's statements
    std::string countColumn() const;  // the column of the row-count query
};

// Row of kinds 1..7; null for any other value.
const KindDescriptor* kindDescriptor(entity_type type);
// The rows in kind order.
const KindDescriptor* kindsBegin();
const KindDescriptor* kindsEnd();
// for (const KindDescriptor& kind : KindRows()) ...
struct KindRows {
    const KindDescriptor* begin() const { return kindsBegin(); }
    const KindDescriptor* end() const { return kindsEnd(); }
};

// Base record: keys, operation and state. Matching reads currentKey and the
// special attribute values.
class im_event : public AttributeReader {
public:
    im_event(const im_wrapper_event_s* record, const char* key);

    const std::string& matchKey() const final { return currentKey; }
    void getSpecialAttributeValue(const std::string& name, std::string& value) const override;

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
    // One exported value of a baseline row.
    struct VariantField {
        enum Type : int { Int32 = 0, Int64 = 1, Text = 2 };
        int type = Text;
        int64_t integer = 0;
        std::string text;
    };
    using Fields = std::vector<std::pair<std::string, std::string>>;
    using RuleIds = std::unordered_set<long long>;

    QVIMEvent(QVIMDAL& store, const im_wrapper_event_s* record, const char* key);
    virtual ~QVIMEvent() = default;

    // Builds the record of the kind named by record->entityType; null for a
    // missing or unknown kind (logged). The caller owns the result.
    static QVIMEvent* factory(QVIMDAL& store, const im_wrapper_event_s* record);
    static QVIMEvent* factory(QVIMDAL& store, entity_type type, const im_wrapper_event_s* record);

    // Store operations: they step the store's shared statements.
    virtual bool writeItem(bool insertOnly, RuleIds* ruleIds) REQUIRES(store.storeLock()) = 0;
    virtual bool storeItem() REQUIRES(store.storeLock()) = 0;
    virtual bool renameItem(RuleIds* ruleIds) REQUIRES(store.storeLock()) = 0;
    virtual bool deleteItem(RuleIds* ruleIds) REQUIRES(store.storeLock()) = 0;
    virtual const EventTypeTable* getTable() const = 0;
    virtual EventTypeTable* getTable() = 0;
    virtual void getEventValues(const std::string& name, const std::string& raw, std::string& value,
                                std::string& display);
    virtual void bufferOldFields(sqlite3_stmt* stmt, bool loadKey);
    virtual void populateComparableMembers(sqlite3_stmt* stmt);
    virtual void getRow(sqlite3_stmt* stmt, std::vector<std::pair<std::string, VariantField>>& row,
                        unsigned long idOffset) const;
    virtual void bufferNewFields(Fields& fields) = 0;
    virtual void incrementState() const;
    virtual sqlite3_stmt** getStmt(unsigned long slot) const = 0;

    // Kind of this record (1..7).
    virtual entity_type entityType() const = 0;

    // Look-ups on the shared statements; null when a bind fails.
    sqlite3_stmt* bindSelectByKey() REQUIRES(store.storeLock());
    sqlite3_stmt* bindSelectByScanTime(unsigned long scanTime) REQUIRES(store.storeLock());
    sqlite3_stmt* bindDeleteByPrimaryKey() REQUIRES(store.storeLock());
    // Processes the step result of a look-up by key; true when old fields
    // were buffered.
    bool validateOldFieldsBuffered(int stepResult, sqlite3_stmt* stmt, bool loadKey);
    void LogMismatch(sqlite3_stmt* stmt, int column, const std::string& stored, const std::string& record) const;

    // Formatting helpers for attribute values.
    static void format_user(const std::string& raw, std::string& out);
    static void format_group(const std::string& raw, std::string& out);
    static void format_qualifiedGroup(const std::string& raw, std::string& first, std::string& second);
    static void formatPermissions1Field(const std::string& raw, const char* ownerLabel, const char* groupLabel,
                                        const char* otherLabel, std::string& out);
    static void format_members(const std::string& raw, std::string& out);
    static void format_reg_value_type(const std::string& raw, std::string& out);
    static void format_service_start_type(const std::string& raw, std::string& out);
    static void format_service_state(const std::string& raw, std::string& out);

    // The store this record is read from and written to; it also lends the
    // rules and counters a write consults.
    QVIMDAL& store;

    std::string processName;
    std::string processUser;
    int32_t auxValue = 0;
    bool realTime = false;
    Fields bufferedFields;
    bool oldFieldsBuffered = false;
    int64_t entityItemId = 0;
};

// The standard store behaviour of every kind, driven by the kind's layout.
class QVIMEventStandard : public QVIMEvent {
public:
    // The key comes from the kind's key field; the columns are loaded by the
    // kind's constructor (loadColumns), once its members exist.
    QVIMEventStandard(QVIMDAL& store, const im_wrapper_event_s* record, entity_type type);

    bool writeItem(bool insertOnly, RuleIds* ruleIds) REQUIRES(store.storeLock()) override;
    bool storeItem() REQUIRES(store.storeLock()) override;
    bool renameItem(RuleIds* ruleIds) REQUIRES(store.storeLock()) override;
    bool deleteItem(RuleIds* ruleIds) REQUIRES(store.storeLock()) override;
    const EventTypeTable* getTable() const override;
    EventTypeTable* getTable() override;
    void getEventValues(const std::string& name, const std::string& raw, std::string& value,
                        std::string& display) override;
    void bufferOldFields(sqlite3_stmt* stmt, bool loadKey) override;
    void populateComparableMembers(sqlite3_stmt* stmt) override;
    void getRow(sqlite3_stmt* stmt, std::vector<std::pair<std::string, VariantField>>& row,
                unsigned long idOffset) const override;
    void bufferNewFields(Fields& fields) override;
    sqlite3_stmt** getStmt(unsigned long slot) const override;
    // Fills the insert (0) or update (1) statement; null when a bind fails.
    virtual sqlite3_stmt* bind(unsigned long slot) REQUIRES(store.storeLock());
    // Compares with the stored row; narrows ruleIds to the rules watching a
    // changed attribute. True when anything changed.
    virtual bool compareTable(sqlite3_stmt* stmt, RuleIds& ruleIds) REQUIRES(store.storeLock());

    const RecordLayout& layout() const { return *recordLayout(entityType()); }

protected:
    void loadColumns(const im_wrapper_event_s& record);

private:
    bool insertRow(RuleIds* ruleIds) REQUIRES(store.storeLock());
    bool compareColumn(sqlite3_stmt* stmt, int column, const ColumnDescriptor& descriptor,
                       std::unordered_set<std::string>& changed);
};

class im_event_file : public QVIMEventStandard {
public:
    im_event_file(QVIMDAL& store, const im_wrapper_event_s* record);
    entity_type entityType() const override { return ENTITY_FILE; }
    void getSpecialAttributeValue(const std::string& name, std::string& value) const override;
    void incrementState() const override;

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
    im_event_directory(QVIMDAL& store, const im_wrapper_event_s* record);
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
    im_event_user(QVIMDAL& store, const im_wrapper_event_s* record);
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
    im_event_group(QVIMDAL& store, const im_wrapper_event_s* record);
    entity_type entityType() const override { return ENTITY_GROUP; }

    std::string groupId;
    std::string description;
    std::string members;
    std::string subGroups;
};

class im_event_port : public QVIMEventStandard {
public:
    im_event_port(QVIMDAL& store, const im_wrapper_event_s* record);
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
    im_event_installed_software(QVIMDAL& store, const im_wrapper_event_s* record);
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
    im_event_process(QVIMDAL& store, const im_wrapper_event_s* record);
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
