// The baseline store: one SQLite connection and everything that runs SQL
// on it. Sections, in order: schema (scripts, fixed texts, row counts),
// entity tables (statement texts and slots), opening and closing (open,
// upgrade, prepare), settings and their cache, database metrics, binding
// one value, item writes (buffered writes and flush), id buffers, purges,
// unscanned cleanup, legacy migration, and the list of statement texts.
#include "QVIMDataAccessLayer.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <thread>

#include "QVIMDOM.h"
#include "QVIMEventAbstraction.h"
#include "QVIMJson.h"
#include "QVIMLogger.h"
#include "QVIMStats.h"

// ---- Schema ------------------------------------------------------------------

namespace {

struct TableDefinition {
    const char* name;
    const char* columns;  // column definitions after the four common ones
    bool uniqueKey;       // installed software keys are not unique
};

const char* const kCommonColumns =
    "`entityItemId` INTEGER PRIMARY KEY AUTOINCREMENT, `key` TEXT NOT NULL%s, "
    "`recordTime` INTEGER NOT NULL, `scanTime` INTEGER NOT NULL";

const TableDefinition kItemTables[] = {
    {"EntityFileItems",
     "`blocksAllocated` INTEGER NOT NULL, `contents` BLOB, `created` INTEGER NOT NULL, "
     "`deviceNumber` INTEGER NOT NULL, `flags` INTEGER NOT NULL, `flagsAll` INTEGER NOT NULL, "
     "`userGroup` TEXT, `growing` INTEGER(1) NOT NULL, `inodeGenerationNumber` INTEGER NOT NULL, "
     "`inodeNumber` INTEGER NOT NULL, `lastAccessed` INTEGER NOT NULL, `lastModified` INTEGER NOT NULL, "
     "`md5` BLOB, `owner` TEXT, `permissions` TEXT, `sha1` BLOB, `sha256` BLOB, "
     "`shrinking` INTEGER NOT NULL, `size` INTEGER NOT NULL, `symLinkPath` TEXT",
     true},
    {"EntityDirectoryItems",
     "`created` INTEGER NOT NULL, `deviceNumber` INTEGER NOT NULL, `flags` INTEGER NOT NULL, "
     "`flagsAll` INTEGER NOT NULL, `userGroup` TEXT, `inodeGenerationNumber` INTEGER NOT NULL, "
     "`inodeNumber` INTEGER NOT NULL, `lastAccessed` INTEGER NOT NULL, `lastModified` INTEGER NOT NULL, "
     "`owner` TEXT, `permissions` TEXT, `symLinkPath` TEXT",
     true},
    {"EntityUserItems",
     "`cannotChangePassword` INTEGER(1) NOT NULL, `description` TEXT, `disabled` INTEGER(1) NOT NULL, "
     "`fullName` TEXT, `userId` TEXT, `userGroup` TEXT, `groups` TEXT, `homeDriveLetter` TEXT(1), "
     "`homeFolder` TEXT, `lockedOut` INTEGER(1) NOT NULL, `logonScript` TEXT, `logonShell` TEXT, "
     "`passwordExpiredDaysBeforeDisabled` INTEGER NOT NULL, `passwordExpiryInDays` INTEGER NOT NULL, "
     "`passwordExpiry` INTEGER NOT NULL, `passwordHasExpired` INTEGER(1) NOT NULL, "
     "`passwordLastChanged` INTEGER NOT NULL, `passwordMinDaysBetweenChanges` INTEGER NOT NULL, "
     "`passwordNeverExpires` INTEGER(1) NOT NULL, `passwordWarningDays` INTEGER NOT NULL, `profilePath` TEXT",
     true},
    {"EntityUserGroupItems", "`groupId` TEXT, `description` TEXT, `members` TEXT, `subGroups` TEXT", true},
    {"EntityPortItems",
     "`created` INTEGER NOT NULL, `userGroup` TEXT, `user` TEXT, `listeners` INTEGER NOT NULL, "
     "`path` TEXT, `process` TEXT, `processID` INTEGER NOT NULL",
     true},
    {"EntityInstalledSoftwareItems",
     "`displayName` TEXT, `size` INTEGER NOT NULL, `parent` TEXT, `installedDate` TEXT, "
     "`installLocation` TEXT, `manufacturer` TEXT, `version` TEXT",
     false},
    {"EntityProcessItems",
     "`userGroup` TEXT, `user` TEXT, `path` TEXT, `process` INTEGER NOT NULL, `processID` INTEGER NOT NULL, "
     "`commandLine` TEXT, `threads` INTEGER NOT NULL, `parent` INTEGER NOT NULL",
     true},
    {"EntityServiceItems",
     "`userGroup` TEXT, `owner` TEXT, `permissions` TEXT, `description` TEXT, `displayName` TEXT", true},
    {"EntityRegistryKeyItems",
     "`userGroup` TEXT, `lastModified` INTEGER NOT NULL, `owner` TEXT, `permissions` TEXT, `class` TEXT, "
     "`securityDescriptorSize` INTEGER NOT NULL",
     true},
    {"EntityRegistryValueItems",
     "`contents` BLOB, `md5` BLOB, `sha1` BLOB, `sha256` BLOB, `size` INTEGER NOT NULL, `valueType` TEXT", true},
    {"EntityWQLItems", "", true},
};

// Settings rows of a new database, in insertion order.
const char* const kInitialSettings[][2] = {
    {"buildingBaseline", "0"},
    {"baselineExists", "0"},
    {"migrationComplete", "0"},
    {"scanningForChanges", "0"},
    {"importingRuleset", "0"},
    {"baselineItemsAdded", "0"},
    {"baselineBytesAdded", "-1"},
    {"baselineItemsVisited", "-1"},
    {"baselineScanTime", "-1"},
    {"rulesetError", "0"},
    {"rulesetList", ""},
    {"ruleset", ""},
    {"metrics", ""},
    {"baselineScanType", "0"},
    {"partialBaselineScanPathsDisk", ""},
    {"partialBaselinePurgePathsDisk", ""},
    {"partialBaselineScanPathsRegistry", ""},
    {"partialBaselinePurgePathsRegistry", ""},
    {"partialBaseLineScanEntityTypes", ""},
};

std::string schemaVersion1() {
    std::string sql = "PRAGMA page_size = 4096;PRAGMA user_version = 1;BEGIN TRANSACTION;";
    char common[256];
    for (const TableDefinition& table : kItemTables) {
        snprintf(common, sizeof common, kCommonColumns, table.uniqueKey ? " UNIQUE" : "");
        sql += "CREATE TABLE `";
        sql += table.name;
        sql += "` (";
        sql += common;
        if (table.columns[0] != '\0') {
            sql += ", ";
            sql += table.columns;
        }
        sql += ");";
    }
    sql +=
        "CREATE TABLE `EntityWQLItemsAttributes` (`attributeID` INTEGER PRIMARY KEY AUTOINCREMENT, "
        "`entityItemId` INTEGER NOT NULL, `name` TEXT NOT NULL, `value` TEXT, "
        "FOREIGN KEY(`entityItemId`) REFERENCES `EntityWQLItems`(`entityItemId`));";
    sql +=
        "CREATE TABLE `IntegrityMonitorState` (`id` INTEGER PRIMARY KEY AUTOINCREMENT, "
        "`settingName` TEXT, `settingValue` TEXT);";
    for (const auto& setting : kInitialSettings) {
        sql += "INSERT INTO IntegrityMonitorState(settingName, settingValue) VALUES('";
        sql += setting[0];
        sql += "', '";
        sql += setting[1];
        sql += "');";
    }
    const auto index = [&sql](const char* kind, const std::string& table, const char* suffix, const char* columns) {
        sql += kind;
        sql += " `" + table + suffix + "` ON `" + table + "` (" + columns + ");";
    };
    for (const char* table : {"EntityFileItems", "EntityDirectoryItems", "EntityUserItems", "EntityUserGroupItems",
                              "EntityPortItems", "EntityProcessItems", "EntityServiceItems", "EntityRegistryKeyItems",
                              "EntityRegistryValueItems", "EntityWQLItems"})
        index("CREATE UNIQUE INDEX", table, "_key_Index", "`key` ASC");
    for (const char* table :
         {"EntityFileItems", "EntityDirectoryItems", "EntityUserItems", "EntityUserGroupItems", "EntityPortItems"})
        index("CREATE INDEX", table, "_scanTime", "`scanTime` ASC");
    index("CREATE INDEX", "EntityInstalledSoftwareItems", "_key", "`key` ASC");
    for (const char* table : {"EntityInstalledSoftwareItems", "EntityProcessItems", "EntityServiceItems",
                              "EntityRegistryKeyItems", "EntityRegistryValueItems", "EntityWQLItems"})
        index("CREATE INDEX", table, "_scanTime", "`scanTime` ASC");
    static const char* const allItemTables[] = {
        "EntityFileItems",    "EntityDirectoryItems",   "EntityUserItems",          "EntityUserGroupItems",
        "EntityPortItems",    "EntityInstalledSoftwareItems", "EntityProcessItems", "EntityServiceItems",
        "EntityRegistryKeyItems", "EntityRegistryValueItems", "EntityWQLItems"};
    for (const char* table : allItemTables) index("CREATE INDEX", table, "_recordTime", "`recordTime` ASC");
    for (const char* table : allItemTables)
        index("CREATE UNIQUE INDEX", table, "_ItemID_recordTime", "`entityItemId`, `recordTime` ASC");
    index("CREATE INDEX", "EntityWQLItemsAttributes", "_entityID", "`entityItemId` ASC");
    sql += "CREATE INDEX IntegrityMonitorState_settingName ON IntegrityMonitorState(settingName);";
    sql += "COMMIT TRANSACTION;";
    return sql;
}

std::string schemaVersion2() {
    static const char* const added[][2] = {
        {"state", "INTEGER"},         {"binaryPathName", "TEXT"}, {"startType", "INTEGER"},
        {"logOnAs", "TEXT"},          {"firstFailure", "TEXT"},   {"secondFailure", "TEXT"},
        {"subsequentFailures", "TEXT"}, {"resetFailCountAfter", "INTEGER"}, {"runProgram", "TEXT"},
        {"dependsOn", "TEXT"},        {"loadOrderGroup", "TEXT"}, {"rebootMessage", "TEXT"},
        {"processId", "INTEGER"},
    };
    std::string sql = "PRAGMA user_version = 2;BEGIN TRANSACTION;";
    for (const auto& column : added) {
        sql += "ALTER TABLE EntityServiceItems ADD ";
        sql += column[0];
        sql += ' ';
        sql += column[1];
        sql += ';';
    }
    sql += "COMMIT TRANSACTION;";
    return sql;
}

const char* const kGetImStateSQL = "SELECT settingValue FROM IntegrityMonitorState WHERE(settingName = :setting);";
const char* const kSetImStateSQL = "UPDATE IntegrityMonitorState SET settingValue = :value WHERE(settingName = :setting);";
const char* const kVacuumSQL = "VACUUM;";
const char* const kUserVersionSQL = "PRAGMA user_version;";
const char* const kForeignKeysSQL = "PRAGMA foreign_keys = ON;";
const char* const kJournalModeSQL = "PRAGMA journal_mode = WAL;";
const char* const kSynchronousSQL = "PRAGMA synchronous = NORMAL;";
const char* const kCountObjectsSQL = "SELECT count(*) FROM sqlite_master;";
const char* const kCountSettingsTablesSQL =
    "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'IntegrityMonitorState';";
const char* const kRollbackScriptSQL = "ROLLBACK TRANSACTION;";
const char* const kBeginSQL = "BEGIN TRANSACTION";
const char* const kEndSQL = "END TRANSACTION";
const char* const kRollbackSQL = "ROLLBACK TRANSACTION";

// One count per kind, as "SELECT (SELECT COUNT(*) AS c FROM T) AS c, ...;".
std::string countRowsSQL() {
    std::string sql = "SELECT ";
    for (const KindDescriptor& kind : KindRows()) {
        const std::string column = kind.countColumn();
        if (kind.type != ENTITY_FILE) sql += ", ";
        sql += "(SELECT COUNT(*) AS " + column + " FROM " + kind.tableName + ") AS " + column;
    }
    return sql + ";";
}

// Settings reported in the metrics document, in this order.
const char* const kReportedSettings[] = {
    "buildingBaseline",   "baselineExists",       "migrationComplete", "scanningForChanges",
    "importingRuleset",   "baselineItemsAdded",   "baselineBytesAdded", "baselineItemsVisited",
    "baselineScanTime",   "rulesetError",         "rulesetList",       "baselineScanType",
    "partialBaselinePurgePathsDisk", "partialBaselineScanPathsDisk", "partialBaseLineScanEntityTypes",
};


}  // namespace

// ---- Entity tables ---------------------------------------------------------

EventTypeTable::EventTypeTable(QVIMDAL& store, const KindDescriptor& kind)
    : m_store(store),
      m_tableName(kind.tableName),
      m_typeName(kind.name()),
      m_type(kind.type),
      m_layout(kind.layout),
      m_hasPartialPurge(kind.purgedByPath) {
    m_parameterNames.reserve(m_layout.count);
    for (size_t i = 0; i < m_layout.count; ++i) m_parameterNames.push_back(std::string(":") + m_layout.columns[i].column);
}

EventTypeTable::~EventTypeTable() = default;

sqlite3_stmt** EventTypeTable::getStmt(unsigned slot) {
    if (slot < kStandardSlots || (slot == PartialPurge && m_hasPartialPurge)) return m_slots[slot].address();
    return nullptr;
}

std::string EventTypeTable::getQuery(unsigned index) const {
    const bool file = m_type == ENTITY_FILE;
    // Columns in statement order (insert, update) or compare-select order.
    const auto joinColumns = [this](bool statementOrder, const char* prefix, const char* between) {
        std::string out;
        for (size_t i = 0; i < m_layout.count; ++i) {
            const char* column = m_layout.columns[statementOrder ? m_layout.statementOrder[i] : i].column;
            if (i != 0) out += ", ";
            out += prefix;
            out += column;
            if (between != nullptr) {
                out += between;
                out += column;
            }
        }
        return out;
    };
    switch (index) {
        case 0: {
            // The file and group texts differ from the others in blanks only.
            std::string sql = "INSERT INTO " + m_tableName + (file ? "( key, " : " ( key, ");
            sql += "recordTime, scanTime, " + joinColumns(true, "", nullptr);
            sql += (file || m_type == ENTITY_GROUP) ? " ) VALUES( :key, " : " ) VALUES ( :key, ";
            sql += ":currentTime, :currentTime, " + joinColumns(true, ":", nullptr) + " );";
            return sql;
        }
        case 1:
            if (file)
                return "UPDATE " + m_tableName + " SET key = :key, scanTime = :scanTime, " +
                       joinColumns(true, "", " = :") + " WHERE entityItemId = :wherekey;";
            return "UPDATE " + m_tableName + " SET key=:key, scanTime=:scanTime, " + joinColumns(true, "", "=:") +
                   " WHERE entityItemId=:wherekey;";
        case 2: return "SELECT key, entityItemId, " + joinColumns(false, "", nullptr) + " FROM " + m_tableName;
        case 3:
            return "SELECT key, entityItemId, " + joinColumns(false, "", nullptr) + ", recordTime FROM " + m_tableName;
        case 4: return "DELETE FROM " + m_tableName;
        default: return std::string();
    }
}

std::string EventTypeTable::makeNumeratedPlaceHolders(unsigned long n) {
    std::string out;
    out.reserve(n * 8);
    char name[32];
    for (unsigned long i = 0; i < n; ++i) {
        snprintf(name, sizeof name, ":pk%04lu", i);
        if (i != 0) out += ',';
        out += name;
    }
    return out;
}

std::string EventTypeTable::makeScanTimeIdsQuery(const std::string& table, unsigned long scanTime,
                                                const uint64_t* ids, size_t count) {
    std::string sql = "UPDATE " + table + " SET scanTime=" + std::to_string(scanTime) + " WHERE entityItemId IN(";
    for (size_t i = 0; i < count; ++i) {
        sql += std::to_string(ids[i]);
        sql += ',';
    }
    sql.back() = ')';
    return sql;
}

std::string EventTypeTable::makeDeleteIdsQuery(const std::string& table, const std::vector<int64_t>& ids) {
    std::string sql = "DELETE FROM " + table + " WHERE entityItemId IN (";
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i != 0) sql += ',';
        sql += std::to_string(ids[i]);
    }
    sql += ')';
    return sql;
}

std::string EventTypeTable::makePurgeAllQuery(const std::string& name) { return "DELETE FROM " + name; }

std::string EventTypeTable::makeResetAutoNumberQuery(const std::string& name) {
    return "DELETE FROM sqlite_sequence WHERE name='" + name + "';";
}

std::string EventTypeTable::makePartialPurgeQuery(const std::string& typeName) {
    std::vector<std::string> names;
    char name[16];
    for (size_t i = 0; i < kPartialPurgeParameters; ++i) {
        snprintf(name, sizeof name, ":p%zX", i);
        names.emplace_back(name);
    }
    std::string sql = "DELETE FROM Entity" + typeName + "Items WHERE key IN (";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i != 0) sql += ',';
        sql += names[i];
    }
    sql += ')';
    for (const std::string& parameter : names) sql += "OR key LIKE " + parameter + " || '%'";
    return sql;
}

std::string EventTypeTable::makePreparedQuery(unsigned slot) const {
    switch (slot) {
        case Insert: return getQuery(0);
        case Update: return getQuery(1);
        case SelectByKey: return getQuery(2) + " WHERE key=:wherekey;";
        case SelectByScanTime: return getQuery(2) + " WHERE scanTime<:scanTime;";
        case UpdateScanTimeIds:
            return "UPDATE " + m_tableName + " SET scanTime=:scanTime WHERE entityItemId IN (" +
                   makeNumeratedPlaceHolders(kIdBufferSize) + ")";
        case DeleteByPrimaryKey: return getQuery(4) + " WHERE entityItemId=:wherekey;";
        case ExportFirst: return getQuery(3) + " ORDER BY entityItemId LIMIT :limit";
        case ExportAfterIdSince:
            return getQuery(3) + " WHERE " + m_primaryKey +
                   ">:itemID AND recordTime>:recordTime ORDER BY entityItemId LIMIT :limit";
        case ExportAfterId: return getQuery(3) + " WHERE " + m_primaryKey + ">:itemID ORDER BY entityItemId LIMIT :limit";
        case ExportSince: return getQuery(3) + " WHERE recordTime>:recordTime ORDER BY entityItemId LIMIT :limit";
        case PurgeAll: return makePurgeAllQuery(m_tableName);
        case ResetAutoNumber: return makeResetAutoNumberQuery(m_tableName);
        case PartialPurge: return m_hasPartialPurge ? makePartialPurgeQuery(m_typeName) : std::string();
        default: return std::string();
    }
}

int EventTypeTable::prepareStatements() {
    QVIMDAL& dal = m_store;
    const unsigned slots = m_hasPartialPurge ? kStandardSlots + 1 : kStandardSlots;
    for (unsigned slot = 0; slot < slots; ++slot) {
        const int rc = dal.prepareStatement(makePreparedQuery(slot), getStmt(slot));
        if (rc != SQLITE_OK) return rc;
    }
    lookUpParameterIndexes();
    return SQLITE_OK;
}

void EventTypeTable::lookUpParameterIndexes() {
    for (unsigned slot : {unsigned{Insert}, unsigned{Update}}) {
        sqlite3_stmt* stmt = m_slots[slot].get();
        BindIndexes& indexes = m_bindIndexes[slot];
        indexes.key = sqlite3_bind_parameter_index(stmt, ":key");
        indexes.time = sqlite3_bind_parameter_index(stmt, slot == Insert ? ":currentTime" : ":scanTime");
        indexes.wherekey = slot == Update ? sqlite3_bind_parameter_index(stmt, ":wherekey") : 0;
        indexes.columns.resize(m_layout.count);
        for (size_t i = 0; i < m_layout.count; ++i)
            indexes.columns[i] = sqlite3_bind_parameter_index(stmt, m_parameterNames[i].c_str());
    }
    m_selectWhereKey = sqlite3_bind_parameter_index(m_slots[SelectByKey].get(), ":wherekey");
    m_deleteWhereKey = sqlite3_bind_parameter_index(m_slots[DeleteByPrimaryKey].get(), ":wherekey");
    sqlite3_stmt* ids = m_slots[UpdateScanTimeIds].get();
    m_idParameterIndexes.resize(kIdBufferSize);
    char name[16];
    for (size_t i = 0; i < kIdBufferSize; ++i) {
        snprintf(name, sizeof name, ":pk%04zu", i);
        m_idParameterIndexes[i] = sqlite3_bind_parameter_index(ids, name);
    }
}

void EventTypeTable::finalizeStatements() {
    for (StatementSlot& slot : m_slots) slot.finalize();
}

FileTable::FileTable(QVIMDAL& store) : EventTypeTableStandard(store, *kindDescriptor(kKind)) {}
DirectoryTable::DirectoryTable(QVIMDAL& store)
    : EventTypeTableStandard(store, *kindDescriptor(kKind)) {}
UserTable::UserTable(QVIMDAL& store) : EventTypeTableStandard(store, *kindDescriptor(kKind)) {}
GroupTable::GroupTable(QVIMDAL& store) : EventTypeTableStandard(store, *kindDescriptor(kKind)) {}
PortTable::PortTable(QVIMDAL& store) : EventTypeTableStandard(store, *kindDescriptor(kKind)) {}
InstalledSoftwareTable::InstalledSoftwareTable(QVIMDAL& store)
    : EventTypeTableStandard(store, *kindDescriptor(kKind)) {}
ProcessTable::ProcessTable(QVIMDAL& store) : EventTypeTableStandard(store, *kindDescriptor(kKind)) {}

// ---- Opening and closing ---------------------------------------------------------

namespace {

// Opens a database file by its plain name. SQLite would read a name that
// begins with "file:" as a URI (parameters, another file, memory), follow a
// link to create its target, and wait for ever on a FIFO: so the name is
// never a URI, a link or non-regular file is refused, and a file this call
// creates (flags with SQLITE_OPEN_CREATE) is readable by its owner only.
// Returns SQLite's result, SQLITE_CANTOPEN for a name that is not a regular
// file, with an ERROR line; on a failure of SQLite *db is left null.
int openDatabaseFile(const std::string& name, int flags, sqlite3** db, const char* function) {
    const std::string path = strncasecmp(name.c_str(), "file:", 5) == 0 ? "./" + name : name;
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        LOG_ERROR(QVIM_SRC_DAL, function, "The database '%s' is not a regular file and is left untouched",
                  name.c_str());
        return SQLITE_CANTOPEN;
    }
    if ((flags & SQLITE_OPEN_CREATE) != 0) {
        // SQLite gives its journals the mode of the database.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);
    }
    const int rc = sqlite3_open_v2(path.c_str(), db, flags | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        LOG_ERROR(QVIM_SRC_DAL, function, "sqlite3_open_v2 failed. rc: %d", rc);
        if (*db != nullptr) sqlite3_close_v2(*db);
        *db = nullptr;
    }
    return rc;
}

constexpr int kBusyMilliseconds = 5000;
constexpr int kSwitchBusyMilliseconds = 250;

// A commit appends to the write-ahead log without a sync: the log is synced
// when it is checkpointed into the file and when the last connection closes.
// A crash of the process loses nothing; a power loss may lose the last
// commits, never the file's consistency. Where the log cannot be used (no
// shared memory on the file system, another connection in the way) the file
// stays in rollback mode, with every commit synced: slower, still correct.
void useWriteAheadLog(sqlite3* db) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db, kJournalModeSQL, -1, &raw, nullptr);
    StatementSlot pragma;
    *pragma.address() = raw;
    // The switch needs the file to itself; a file in use switches at a later
    // open rather than holding this one up.
    sqlite3_busy_timeout(db, kSwitchBusyMilliseconds);
    if (rc == SQLITE_OK) rc = sqlite3_step(raw);
    sqlite3_busy_timeout(db, kBusyMilliseconds);
    const unsigned char* mode = rc == SQLITE_ROW ? sqlite3_column_text(raw, 0) : nullptr;
    if (mode == nullptr || strcasecmp(reinterpret_cast<const char*>(mode), "wal") != 0) {
        LOG_ERROR(QVIM_SRC_DAL, "_initDB", "PRAGMA journal_mode = WAL failed (mode: %s): '%s'; every commit is synced",
                  mode != nullptr ? reinterpret_cast<const char*>(mode) : "unchanged",
                  rc == SQLITE_ROW ? "not supported here" : sqlite3_errmsg(db));
        return;
    }
    rc = sqlite3_exec(db, kSynchronousSQL, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        LOG_ERROR(QVIM_SRC_DAL, "_initDB", "sqlite3_exec() for synchronous pragma: '%s'", sqlite3_errstr(rc));
}

}  // namespace

QVIMDAL::QVIMDAL(const QVIMConfig& config, QVIMStats& stats)
    : m_config(config), m_stats(stats), m_schemaScripts{schemaVersion1(), schemaVersion2()} {
    makeTables<FileTable, DirectoryTable, UserTable, GroupTable, PortTable, InstalledSoftwareTable, ProcessTable>();
#ifndef NDEBUG
    for (const KindDescriptor& kind : KindRows()) assert(m_tables[kind.type] && "a table for every kind");
#endif
}

std::shared_ptr<const IntegrityRuleFilter> QVIMDAL::rules() const { return m_config.getFilter(); }

EventTypeTable* QVIMDAL::table(entity_type type) const {
    return kindDescriptor(type) != nullptr ? m_tables[type].get() : nullptr;
}
FileTable* QVIMDAL::fileTable() const { return static_cast<FileTable*>(m_tables[ENTITY_FILE].get()); }
DirectoryTable* QVIMDAL::directoryTable() const {
    return static_cast<DirectoryTable*>(m_tables[ENTITY_DIRECTORY].get());
}

QVIMDAL::~QVIMDAL() {
    // The engine closes the store first; a connection still open here is
    // closed rather than leaked.
    if (m_DB != nullptr) {
        for (const KindDescriptor& kind : KindRows()) table(kind.type)->finalizeStatements();
        m_countRows.finalize();
        m_getImState.finalize();
        m_setImState.finalize();
        m_vacuum.finalize();
        sqlite3_close_v2(m_DB);
        m_DB = nullptr;
    }
}

bool QVIMDAL::setDBPath(const std::string& path) {
    if (m_DB != nullptr) return false;
    m_dbPath = path;
    return true;
}

bool QVIMDAL::initDB() {
    MutexLock lock(m_lifecycleLock);
    return _initDB(false);
}

bool QVIMDAL::_initDB(bool readOnly) {
    if (m_DB != nullptr) {
        LOG_WARNING(QVIM_SRC_DAL, "_initDB", "m_DB is not null.");
        if (!prepareStatements()) return false;
    }
    if (m_dbPath.empty()) m_dbPath = "im.db";
    forgetSettings();
    // The baseline holds account data: a new file is its owner's only.
    int rc = openDatabaseFile(
        m_dbPath, readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), &m_DB, "_initDB");
    if (rc != SQLITE_OK) return false;
    sqlite3_busy_timeout(m_DB, kBusyMilliseconds);

    int version = 0;
    {
        sqlite3_stmt* raw = nullptr;
        rc = sqlite3_prepare_v2(m_DB, kUserVersionSQL, -1, &raw, nullptr);
        StatementSlot pragma;
        *pragma.address() = raw;
        if (rc != SQLITE_OK) {
            LOG_ERROR(QVIM_SRC_DAL, "_initDB", "PRAGMA user_version failed. rc: %d", rc);
            logUnusableDatabase();
            return false;
        }
        rc = sqlite3_step(raw);
        if (rc == SQLITE_ROW) {
            version = sqlite3_column_int(raw, 0);
        } else if (rc != SQLITE_OK) {
            LOG_ERROR(QVIM_SRC_DAL, "_initDB", "init or Update Schema failed. rc: %d", rc);
            logUnusableDatabase();
            return false;
        }
    }

    rc = sqlite3_exec(m_DB, kForeignKeysSQL, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        LOG_ERROR(QVIM_SRC_DAL, "_initDB", "sqlite3_exec() for foreign key pragma: '%s'", sqlite3_errstr(rc));
        return false;
    }
    LOG_INFO(QVIM_SRC_DAL, "_initDB", "SCHEMA user_version: %d", version);

    if (version == 1 || version == 2) {
        if (!readOnly) useWriteAheadLog(m_DB);
        return prepareStatements();
    }

    // Beyond this point the file is built or rebuilt: only when it holds
    // nothing, or is recognisably a baseline (it has the settings table).
    // Anything else belongs to another program and is kept as it is.
    int objects = -1;
    int settingsTables = -1;
    if (!countRows(kCountObjectsSQL, objects) || !countRows(kCountSettingsTablesSQL, settingsTables)) {
        logUnusableDatabase();
        return false;
    }
    if (objects != 0 && settingsTables == 0) {
        LOG_ERROR(QVIM_SRC_DAL, "_initDB",
                  "The database '%s' (user_version %d) is not a baseline of this engine and is left untouched",
                  m_dbPath.c_str(), version);
        finalize();
        return false;
    }
    if (version > kSchemaVersion || (version == 0 && objects != 0)) {
        LOG_ERROR(QVIM_SRC_DAL, "_initDB", "Unsupported DB user_version: %d. current version: %d", version,
                  kSchemaVersion);
        // A file that cannot be removed would be found again, for ever.
        return _deleteDB() && _initDB(false);
    }
    if (version < 0) {
        // Not a version this engine ever wrote; leave the file alone.
        LOG_ERROR(QVIM_SRC_DAL, "_initDB", "Unsupported DB user_version: %d. current version: %d", version,
                  kSchemaVersion);
        return false;
    }

    LOG_INFO(QVIM_SRC_DAL, "_initDB", "Schemas size: %d", static_cast<int>(m_schemaScripts.size()));
    for (size_t i = 0; i < m_schemaScripts.size(); ++i) {
        char* message = nullptr;
        rc = sqlite3_exec(m_DB, m_schemaScripts[i].c_str(), nullptr, nullptr, &message);
        if (rc != SQLITE_OK) {
            LOG_ERROR(QVIM_SRC_DAL, "_initDB",
                      "sqlite3_exec for schema size failed from version 0. rc: %d: '%s' on iteration: %d", rc,
                      message != nullptr ? message : "", static_cast<int>(i));
            sqlite3_free(message);
            // A half-applied script must not leave an open transaction behind.
            sqlite3_exec(m_DB, kRollbackScriptSQL, nullptr, nullptr, nullptr);
            return false;
        }
    }
    // Only a file known to be a baseline changes its journal mode.
    if (!readOnly) useWriteAheadLog(m_DB);
    return prepareStatements();
}

// The first column of the first row of a query on the open connection.
bool QVIMDAL::countRows(const char* sql, int& count) const {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(m_DB, sql, -1, &raw, nullptr);
    StatementSlot statement;
    *statement.address() = raw;
    if (rc != SQLITE_OK || sqlite3_step(raw) != SQLITE_ROW) return false;
    count = sqlite3_column_int(raw, 0);
    return true;
}

// The codes above say little to whoever reads the log; the file is left as
// it is, for its owner to look at.
void QVIMDAL::logUnusableDatabase() const {
    LOG_ERROR(QVIM_SRC_DAL, "_initDB", "The database '%s' cannot be used and is left untouched: %s", m_dbPath.c_str(),
              sqlite3_errmsg(m_DB));
}

int QVIMDAL::prepareStatement(const std::string& sql, sqlite3_stmt** slot) {
    if (slot == nullptr) return SQLITE_MISUSE;
    const int rc = sqlite3_prepare_v2(m_DB, sql.c_str(), -1, slot, nullptr);
    if (rc != SQLITE_OK)
        LOG_ERROR(QVIM_SRC_DAL, "prepareStatement", "sqlite3_prepare_v2() to prepare '%s': %s", sql.c_str(),
                  sqlite3_errstr(rc));
    return rc;
}

bool QVIMDAL::prepareStatements() {
    bool ok = true;
    for (const KindDescriptor& kind : KindRows()) {
        if (table(kind.type)->prepareStatements() != SQLITE_OK) {
            ok = false;
            break;
        }
    }
    ok = ok && prepareStatement(countRowsSQL(), m_countRows.address()) == SQLITE_OK &&
         prepareStatement(kGetImStateSQL, m_getImState.address()) == SQLITE_OK &&
         prepareStatement(kSetImStateSQL, m_setImState.address()) == SQLITE_OK &&
         prepareStatement(kVacuumSQL, m_vacuum.address()) == SQLITE_OK;
    if (!ok) {
        logUnusableDatabase();  // the statement text above can push the cause out of its line
        finalize();
    }
    return ok;
}

int QVIMDAL::finalize() {
    for (const KindDescriptor& kind : KindRows()) table(kind.type)->finalizeStatements();
    m_countRows.finalize();
    m_getImState.finalize();
    m_setImState.finalize();
    m_vacuum.finalize();
    const int rc = sqlite3_close_v2(m_DB);
    m_DB = nullptr;
    forgetSettings();
    return rc;
}

bool QVIMDAL::_deleteDB() {
    LOG_TRACE(QVIM_SRC_DAL, "_deleteDB", "Attempting to delete database file at %s", m_dbPath.c_str());
    finalize();
    if (::remove(m_dbPath.c_str()) == 0) {
        LOG_TRACE(QVIM_SRC_DAL, "_deleteDB", "Successfully deleted database file");
        return true;
    }
    const int error = errno;
    LOG_ERROR(QVIM_SRC_DAL, "_deleteDB", "Failed to delete database after closing. Errno: %d", error);
    return error == ENOENT;
}

void QVIMDAL::shutdownDAL() {
    if (m_DB != nullptr) {
        bool pending = false;
        {
            MutexLock lock(m_storeLock);
            pending = !m_itemBuffer.empty();
        }
        if (pending) {
            unsigned long written = 0;
            if (!storeItemFlush(written)) {
                size_t lost = 0;
                {
                    MutexLock lock(m_storeLock);
                    lost = m_itemBuffer.size();
                }
                LOG_ERROR(QVIM_SRC_DAL, "shutdownDAL", "%zu buffered items could not be stored and are lost", lost);
            }
        }
    }
    MutexLock lock(m_lifecycleLock);
    if (m_DB != nullptr) finalize();
}

// ---- Settings --------------------------------------------------------------------

namespace {
bool bindText(sqlite3_stmt* stmt, const char* parameter, const std::string& value) {
    const int index = sqlite3_bind_parameter_index(stmt, parameter);
    return sqlite3_bind_text(stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT) == SQLITE_OK;
}
}  // namespace

bool QVIMDAL::SetIntegrityMonitorState(const std::string& name, const std::string& value) {
    int rc = SQLITE_MISUSE;
    {
        MutexLock lock(m_storeLock);
        sqlite3_stmt* stmt = m_setImState.get();
        if (stmt != nullptr) {
            StatementUse use(stmt);
            if (bindText(stmt, ":setting", name) && bindText(stmt, ":value", value)) rc = sqlite3_step(stmt);
        }
        // A name without a row stays unknown; a failed write leaves the
        // stored value in doubt.
        cacheSetting(name, rc == SQLITE_DONE && sqlite3_changes(m_DB) > 0 ? &value : nullptr);
    }
    if (rc == SQLITE_DONE) {
        LOG_TRACE(QVIM_SRC_DAL, "SetIntegrityMonitorState", "Set integrity monitor state setting %s value %s",
                  name.c_str(), value.c_str());
        return true;
    }
    LOG_WARNING(QVIM_SRC_DAL, "SetIntegrityMonitorState", "Unable to set integrity monitor state setting %s value %s",
                name.c_str(), value.c_str());
    return false;
}

QVIMDAL::SettingsScope::SettingsScope(QVIMDAL& dal) : m_dal(dal) {
    MutexLock lock(m_dal.m_settingsLock);
    ++m_dal.m_settingsScopes;
}

QVIMDAL::SettingsScope::~SettingsScope() {
    MutexLock lock(m_dal.m_settingsLock);
    if (--m_dal.m_settingsScopes == 0) m_dal.m_settings.clear();
}

bool QVIMDAL::cachedSetting(const std::string& name, std::string& value) {
    MutexLock lock(m_settingsLock);
    if (m_settingsScopes == 0) return false;
    const auto found = m_settings.find(name);
    if (found == m_settings.end()) return false;
    value = found->second;
    return true;
}

// A null value forgets the setting.
void QVIMDAL::cacheSetting(const std::string& name, const std::string* value) {
    const bool committed = m_DB != nullptr && sqlite3_get_autocommit(m_DB) != 0;
    MutexLock lock(m_settingsLock);
    if (value != nullptr && committed && m_settingsScopes > 0)
        m_settings[name] = *value;
    else
        m_settings.erase(name);
}

void QVIMDAL::forgetSettings() {
    MutexLock lock(m_settingsLock);
    m_settings.clear();
}

bool QVIMDAL::SetIntegrityMonitorState(const std::string& name, const unsigned long& value) {
    return SetIntegrityMonitorState(name, value == ULONG_MAX ? std::string("-1") : std::to_string(value));
}

bool QVIMDAL::GetIntegrityMonitorState(const std::string& name, std::string& value) {
    if (cachedSetting(name, value)) {
        LOG_TRACE(QVIM_SRC_DAL, "GetIntegrityMonitorState", "Found Integrity Monitor Setting for %s value %s",
                  name.c_str(), value.c_str());
        return true;
    }
    MutexLock lock(m_storeLock);
    sqlite3_stmt* stmt = m_getImState.get();
    if (stmt == nullptr) {
        lock.unlock();
        LOG_ERROR(QVIM_SRC_DAL, "GetIntegrityMonitorState",
                  "Unable to get Integrity Monitor Setting for %s: prepared statement pointer is NULL", name.c_str());
        return false;
    }
    StatementUse use(stmt);
    if (!bindText(stmt, ":setting", name)) return false;
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) {
        LOG_TRACE(QVIM_SRC_DAL, "GetIntegrityMonitorState", "Unable to get Integrity Monitor Setting for %s",
                  name.c_str());
        return false;
    }
    while (rc == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(stmt, 0);
        const int length = sqlite3_column_bytes(stmt, 0);
        value.assign(text != nullptr ? reinterpret_cast<const char*>(text) : "", text != nullptr ? length : 0);
        LOG_TRACE(QVIM_SRC_DAL, "GetIntegrityMonitorState", "Found Integrity Monitor Setting for %s value %s",
                  name.c_str(), value.c_str());
        rc = sqlite3_step(stmt);
    }
    if (rc == SQLITE_DONE) cacheSetting(name, &value);
    return true;
}

bool QVIMDAL::GetIntegrityMonitorState(const std::string& name, unsigned long& value) {
    std::string text;
    if (!GetIntegrityMonitorState(name, text)) return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

bool QVIMDAL::isPartialScanSet() {
    unsigned long scanType = 0;
    if (!GetIntegrityMonitorState("baselineScanType", scanType)) {
        LOG_ERROR(QVIM_SRC_EXPORT, "isPartialScanSet", "Unable to get partial base list %s", "baselineScanType");
        return false;
    }
    return scanType == 1;
}

// ---- Database metrics --------------------------------------------------------------

bool QVIMDAL::PrepareMetricsDBSize(cJSON* object) {
    LOG_TRACE(QVIM_SRC_DAL, "PrepareMetricsDBSize", "PrepareMetricsDBSize lock");
    if (m_dbPath.empty()) {
        LOG_ERROR(QVIM_SRC_DAL, "PrepareMetricsDBSize", "PrepareMetricsDBSize: DB not initialized");
        return false;
    }
    struct stat info;
    if (::stat(m_dbPath.c_str(), &info) != 0) {
        LOG_ERROR(QVIM_SRC_DAL, "PrepareMetricsDBSize",
                  "QVIMDAL::PrepareMetricsDBSize Unable to get database information from path");
        return false;
    }
    cJSON_AddNumberToObject(object, "dbsize", static_cast<double>(static_cast<unsigned long>(info.st_size)));
    return true;
}

bool QVIMDAL::PrepareMetricsDBInfo(cJSON* object) {
    LOG_TRACE(QVIM_SRC_DAL, "PrepareMetricsDBInfo", "Preparing metrics for counting rows in each table Lock");
    MutexLock lock(m_storeLock);
    if (m_dbPath.empty()) {
        lock.unlock();
        LOG_ERROR(QVIM_SRC_DAL, "PrepareMetricsDBInfo", "PrepareMetricsDBInfo: DB not initialized");
        return false;
    }
    sqlite3_stmt* stmt = m_countRows.get();
    if (stmt != nullptr) {
        StatementUse use(stmt);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            int column = 0;
            for (const KindDescriptor& kind : KindRows())
                cJSON_AddNumberToObject(object, kind.countColumn().c_str(), sqlite3_column_int(stmt, column++));
        }
    }
    LOG_TRACE(QVIM_SRC_DAL, "PrepareMetricsDBInfo", "Preparing metrics for counting rows in each table Unlock");
    return true;
}

bool QVIMDAL::PrepareMetricsIntegrityMonitorState(cJSON* object) {
    LOG_TRACE(QVIM_SRC_DAL, "PrepareMetricsIntegrityMonitorState", "PrepareMetricsIntegrityMonitorStatus lock");
    for (const char* name : kReportedSettings) {
        std::string value;
        if (GetIntegrityMonitorState(name, value)) cJSON_AddItemToObject(object, name, createJsonString(value));
    }
    return true;
}

// ---- Binding one value ---------------------------------------------------------------

namespace {

bool bound(int rc, const char* kind, const char* parameter) {
    if (rc == SQLITE_OK) return true;
    LOG_WARNING(QVIM_SRC_DAL, "bindField", "Unable to bind %s '%s'", kind, parameter);
    return false;
}

template <class T>
bool bindByName(sqlite3_stmt* stmt, const char* parameter, const T& value) {
    return EventTypeTable::bindField(stmt, sqlite3_bind_parameter_index(stmt, parameter), parameter, value);
}

}  // namespace

bool EventTypeTable::bindField(sqlite3_stmt* stmt, int index, const char* parameter, const Blob& value) {
    if (value.empty()) return true;
    return bound(sqlite3_bind_blob(stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT),
                 "blob", parameter);
}
bool EventTypeTable::bindField(sqlite3_stmt* stmt, int index, const char* parameter, int value) {
    return bound(sqlite3_bind_int(stmt, index, value), "int", parameter);
}
bool EventTypeTable::bindField(sqlite3_stmt* stmt, int index, const char* parameter, unsigned long value) {
    return bound(sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(value)), "int64", parameter);
}
bool EventTypeTable::bindField(sqlite3_stmt* stmt, int index, const char* parameter, const std::string& value) {
    if (value.empty()) return true;
    return bound(sqlite3_bind_text(stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT),
                 "text", parameter);
}
bool EventTypeTable::bindField(sqlite3_stmt* stmt, int index, const char* parameter, bool value) {
    return bound(sqlite3_bind_int(stmt, index, value ? 1 : 0), "bool", parameter);
}
bool EventTypeTable::bindField(sqlite3_stmt* stmt, const char* parameter, const Blob& value) {
    return bindByName(stmt, parameter, value);
}
bool EventTypeTable::bindField(sqlite3_stmt* stmt, const char* parameter, int value) {
    return bindByName(stmt, parameter, value);
}
bool EventTypeTable::bindField(sqlite3_stmt* stmt, const char* parameter, unsigned long value) {
    return bindByName(stmt, parameter, value);
}
bool EventTypeTable::bindField(sqlite3_stmt* stmt, const char* parameter, const std::string& value) {
    return bindByName(stmt, parameter, value);
}
bool EventTypeTable::bindField(sqlite3_stmt* stmt, const char* parameter, bool value) {
    return bindByName(stmt, parameter, value);
}

// ---- Item writes, buffering and flush --------------------------------------------------

namespace {
bool matchesAnyRule(const QVIMConfig& config, const QVIMEvent& record) {
    std::unordered_set<long long> ruleIds;
    config.getFilter()->matchRules(record.entityType(), record, record.realTime, ruleIds);
    return !ruleIds.empty();
}
}  // namespace

bool QVIMDAL::storeItem(const std::shared_ptr<QVIMEvent>& record, im_wrapper_response_s& response) {
    if (!record) return false;
    if (!matchesAnyRule(m_config, *record)) {
        response.state = IM_NO_RULE_MATCH;
        response.nItemsScanned = 0;
        return true;
    }
    response.state = IM_MATCH_WITH_EVENT;
    return underStoreLock("storeItem", [&] {
        record->store.storeLock().assertHeld();
        const bool stored = record->storeItem();
        if (stored) response.nItemsScanned = 1;
        return stored;
    });
}

bool QVIMDAL::storeItemBuffer(const std::shared_ptr<QVIMEvent>& record, im_wrapper_response_s& response) {
    if (!record) return false;
    if (!matchesAnyRule(m_config, *record)) {
        response.state = IM_NO_RULE_MATCH;
        return true;
    }
    response.state = IM_MATCH_WITH_EVENT;
    MutexLock lock(m_storeLock);
    m_itemBuffer.push_back(record);
    // After a failed write the buffer is tried again once it has doubled, not
    // on every append: a batch that fails only at its commit (a full disk
    // under the write-ahead log) would otherwise be redone whole for each
    // new item. The item is buffered either way; the failures are reported
    // by the tries and by the last flush.
    if (m_itemBuffer.size() <= std::max(kItemBufferLimit, m_retryAt)) return true;
    LOG_TRACE(QVIM_SRC_DAL, "storeItemBuffer", "storeItemBuffer lock");
    unsigned long written = response.nItemsScanned;
    const bool flushed = storeItemFlushInternal(written);
    response.nItemsScanned = written;
    LOG_TRACE(QVIM_SRC_DAL, "storeItemBuffer", "storeItemBuffer unlock");
    return flushed;
}

bool QVIMDAL::storeItemFlush(unsigned long& count) {
    return underStoreLock("storeItemFlush", [&]() REQUIRES(m_storeLock) { return storeItemFlushInternal(count); });
}

namespace {
// Runs one transaction control text; false with the error logged.
bool execTransaction(sqlite3* db, const char* sql, const char* failure) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (rc == SQLITE_OK) return true;
    LOG_ERROR(QVIM_SRC_DAL, "storeItemFlushInternal", "%s: '%s': '%s'", failure, sqlite3_errstr(rc),
              message != nullptr ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    return false;
}
}  // namespace

namespace {
// Failures that belong to one record (a key stored twice, a value SQLite
// refuses) and would fail again on every retry; anything else (a full disk,
// a lock, a read-only folder) may pass once its cause is gone.
bool failsOnItsOwn(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_CONSTRAINT:
        case SQLITE_TOOBIG:
        case SQLITE_MISMATCH:
        case SQLITE_RANGE: return true;
        default: return false;
    }
}
}  // namespace

// A record that fails on its own is left out of the batch and named in the
// log; the rest is committed. Any other failure rolls the batch back and
// keeps every record in the buffer for the next write, so nothing that can
// be stored is lost. Either way the call reports the failure.
bool QVIMDAL::storeItemFlushInternal(unsigned long& count) {
    if (m_itemBuffer.empty()) return true;
    LOG_TRACE(QVIM_SRC_DAL, "storeItemFlushInternal", "%s - %d items", "storeItemFlushInternal",
              static_cast<int>(m_itemBuffer.size()));
    if (m_DB == nullptr) return false;
    // The records count what they add as they are inserted; a rolled back
    // batch takes its share back, since it is counted again when retried.
    QVIMStats& stats = m_stats;
    const long itemsBefore = stats.Get("baselineItemsAdded");
    const long bytesBefore = stats.Get("baselineBytesAdded");
    // A transaction still open here (a ROLLBACK that failed) would fail this
    // BEGIN and every later one. Nothing in it was committed, and a batch it
    // holds is still in the buffer, so it is undone rather than kept.
    if (sqlite3_get_autocommit(m_DB) == 0) {
        LOG_ERROR(QVIM_SRC_DAL, "storeItemFlushInternal",
                  "A transaction was left open on the baseline; rolling it back before writing the buffer");
        if (!execTransaction(m_DB, kRollbackSQL, "Error rolling back transaction")) return false;
    }
    if (!execTransaction(m_DB, kBeginSQL, "Error beginning transaction")) return false;

    struct Dropped {
        size_t index;
        std::string reason;
    };
    std::vector<Dropped> dropped;
    bool retry = false;
    for (size_t i = 0; i < m_itemBuffer.size() && !retry; ++i) {
        QVIMEvent& record = *m_itemBuffer[i];
        record.store.storeLock().assertHeld();
        if (record.storeItem()) continue;
        // A failed statement undoes only itself, unless SQLite had to end
        // the whole transaction.
        retry = !failsOnItsOwn(sqlite3_errcode(m_DB)) || sqlite3_get_autocommit(m_DB) != 0;
        if (!retry) dropped.push_back({i, sqlite3_errmsg(m_DB)});
    }
    noteWrite();
    if (!retry && execTransaction(m_DB, kEndSQL, "Error committing transaction")) {
        for (const Dropped& item : dropped)
            LOG_ERROR(QVIM_SRC_DAL, "storeItemFlushInternal", "Buffered item with key '%s' dropped: %s",
                      m_itemBuffer[item.index]->currentKey.c_str(), item.reason.c_str());
        count += m_itemBuffer.size() - dropped.size();
        m_itemBuffer.clear();
        m_retryAt = 0;
        return dropped.empty();
    }
    m_retryAt = 2 * m_itemBuffer.size();
    if (sqlite3_get_autocommit(m_DB) == 0)
        execTransaction(m_DB, kRollbackSQL, "Error rolling back transaction");
    const auto takeBack = [&stats](const char* name, long before) {
        const long added = stats.Get(name) - before;
        if (added > 0) stats.Add(name, -added);
    };
    takeBack("baselineItemsAdded", itemsBefore);
    takeBack("baselineBytesAdded", bytesBefore);
    return false;
}

bool QVIMDAL::writeItem(QVIMEvent& record, bool insertOnly, std::unordered_set<long long>* ruleIds) {
    return underStoreLock("writeItem", [&] {
        record.store.storeLock().assertHeld();
        return record.writeItem(insertOnly, ruleIds);
    });
}

bool QVIMDAL::renameItem(QVIMEvent& record, std::unordered_set<long long>* ruleIds) {
    return underStoreLock("renameItem", [&] {
        record.store.storeLock().assertHeld();
        return record.renameItem(ruleIds);
    });
}

bool QVIMDAL::deleteEntityItems(QVIMEvent& record, std::unordered_set<long long>* ruleIds) {
    return underStoreLock("deleteEntityItems", [&] {
        record.store.storeLock().assertHeld();
        return record.deleteItem(ruleIds);
    });
}

void QVIMDAL::noteWrite() const {
    const unsigned long now = getCurrentTimeInMillis();
    unsigned long last = m_lastWrite.load();
    while (now > last && !m_lastWrite.compare_exchange_weak(last, now)) {
    }
}

unsigned long QVIMDAL::scanStartTime() const {
    const unsigned long last = m_lastWrite.load();
    unsigned long now = getCurrentTimeInMillis();
    // Normally a millisecond at most; a clock set back further is not waited for.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (now <= last && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        now = getCurrentTimeInMillis();
    }
    if (now <= last)
        LOG_WARNING(QVIM_SRC_DAL, "scanStartTime",
                    "The clock is behind the last write to the baseline (%lu <= %lu): rows written since may "
                    "pass for seen",
                    now, last);
    return now;
}

void QVIMDAL::traceLock(const char* function, const char* what) {
    LOG_TRACE(QVIM_SRC_DAL, function, "%s %s", function, what);
}

// ---- Id buffers ----------------------------------------------------------------------------

bool QVIMDAL::initEntityIDBufferArrays() {
    // Real-time notifications append to these buffers (under this lock)
    // while a host switches the integrity scan on.
    MutexLock lock(m_storeLock);
    const IdBuffer& files = m_idBuffers[ENTITY_FILE];
    if (files.ids && files.count != 0) return false;
    for (const KindDescriptor& kind : KindRows()) {
        IdBuffer& buffer = m_idBuffers[kind.type];
        if (!buffer.ids) {
            buffer.ids = std::make_unique<uint64_t[]>(EventTypeTable::kIdBufferSize);
            buffer.count = 0;
        }
    }
    return true;
}

void QVIMDAL::bufferUnchangedId(EventTypeTable& table, int64_t id) {
    IdBuffer& buffer = m_idBuffers[table.type()];
    if (buffer.ids && buffer.count == EventTypeTable::kIdBufferSize) flushEntityIDBufferArray(table);
    if (buffer.ids && buffer.count < EventTypeTable::kIdBufferSize)
        buffer.ids[buffer.count++] = static_cast<uint64_t>(id);
}

bool QVIMDAL::flushEntityIDBufferArray(EventTypeTable& table) {
    IdBuffer& buffer = m_idBuffers[table.type()];
    if (!buffer.ids) {
        LOG_TRACE(QVIM_SRC_DAL, "flushEntityIDBufferArray", "Not flushing idBufferArrays because EntityIDBuffer is Null");
        return false;
    }
    if (!bufferSelectedIDs()) {
        LOG_TRACE(QVIM_SRC_DAL, "flushEntityIDBufferArray",
                  "Not flushing idBufferArrays because BufferSelectedIDs is false");
        return false;
    }
    if (buffer.count == 0) return true;

    const unsigned long now = getCurrentTimeInMillis();
    noteWrite();
    int rc = SQLITE_MISUSE;
    if (buffer.count == EventTypeTable::kIdBufferSize) {
        // A full buffer goes through the prepared thousand-placeholder update.
        sqlite3_stmt* stmt = *table.getStmt(EventTypeTable::UpdateScanTimeIds);
        if (stmt != nullptr) {
            StatementUse use(stmt);
            rc = sqlite3_bind_int64(stmt, sqlite3_bind_parameter_index(stmt, ":scanTime"),
                                    static_cast<sqlite3_int64>(now));
            const std::vector<int>& indexes = table.idParameterIndexes();
            for (size_t i = 0; rc == SQLITE_OK && i < EventTypeTable::kIdBufferSize; ++i)
                rc = sqlite3_bind_int64(stmt, indexes[i], static_cast<sqlite3_int64>(buffer.ids[i]));
            if (rc == SQLITE_OK) {
                buffer.count = 0;
                rc = sqlite3_step(stmt);
            }
        }
    } else {
        const std::string sql =
            EventTypeTable::makeScanTimeIdsQuery(table.tableName(), now, buffer.ids.get(), buffer.count);
        rc = m_DB != nullptr ? sqlite3_exec(m_DB, sql.c_str(), nullptr, nullptr, nullptr) : SQLITE_MISUSE;
        if (rc == SQLITE_OK) {
            buffer.count = 0;
            rc = SQLITE_DONE;
        }
    }
    if (rc == SQLITE_DONE) return true;
    LOG_ERROR(QVIM_SRC_DAL, "flushEntityIDBufferArray", "Error flushing buffer: %s", sqlite3_errstr(rc));
    return false;
}

bool QVIMDAL::flushEntityIDBufferArrayLock(EventTypeTable& table) {
    MutexLock lock(m_storeLock);
    return flushEntityIDBufferArray(table);
}

bool QVIMDAL::flushEntityIDBufferArrays() {
    bool all = true;
    for (const KindDescriptor& kind : KindRows()) all = flushEntityIDBufferArrayLock(*table(kind.type)) && all;
    return all;
}

// ---- Purges ---------------------------------------------------------------------------------

namespace {
// Steps a statement once and resets it.
int stepOnce(sqlite3_stmt* stmt) {
    if (stmt == nullptr) return SQLITE_MISUSE;
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    return rc;
}
}  // namespace

bool QVIMDAL::purgeDB(entity_type type) {
    LOG_TRACE(QVIM_SRC_DAL, "purgeDB", "purgeDB lock");
    std::vector<EventTypeTable*> tables;
    if (type == ENTITY_ALL) {
        for (const KindDescriptor& kind : KindRows()) tables.push_back(table(kind.type));
    } else if (EventTypeTable* table = this->table(type)) {
        tables.push_back(table);
    }
    if (m_DB == nullptr) {
        LOG_TRACE(QVIM_SRC_DAL, "purgeDB", "Returning from purgeDB with retval %d unlock", 1);
        return true;
    }
    MutexLock lock(m_storeLock);
    bool tablePurged = true;
    for (EventTypeTable* table : tables) {
        int rc = stepOnce(*table->getStmt(EventTypeTable::PurgeAll));
        if (rc == SQLITE_DONE) rc = stepOnce(*table->getStmt(EventTypeTable::ResetAutoNumber));
        tablePurged = rc == SQLITE_DONE;
        if (!tablePurged) LOG_ERROR(QVIM_SRC_DAL, "purgeDB", "executing table purge failed: %s", sqlite3_errstr(rc));
    }
    LOG_TRACE(QVIM_SRC_DAL, "purgeDB", "Vacuuming");
    const bool vacuumed = stepOnce(m_vacuum.get()) == SQLITE_DONE;
    const bool result = tablePurged && vacuumed;
    LOG_TRACE(QVIM_SRC_DAL, "purgeDB", "Returning from purgeDB with retval %d unlock", result ? 1 : 0);
    return result;
}

void QVIMDAL::purgeDiskPaths(std::list<std::string>& paths) {
    MutexLock lock(m_storeLock);
    purgePaths(*fileTable()->getStmt(EventTypeTable::PartialPurge),
               *directoryTable()->getStmt(EventTypeTable::PartialPurge), paths);
}

void QVIMDAL::purgePaths(sqlite3_stmt* fileStmt, sqlite3_stmt* directoryStmt, std::list<std::string>& paths) {
    char name[8];
    while (!paths.empty()) {
        for (size_t i = 0; i < EventTypeTable::kPartialPurgeParameters && !paths.empty(); ++i) {
            snprintf(name, sizeof name, ":p%zX", i);
            for (sqlite3_stmt* stmt : {fileStmt, directoryStmt})
                if (stmt != nullptr) EventTypeTable::bindField(stmt, name, paths.front());
            paths.pop_front();
        }
        for (sqlite3_stmt* stmt : {fileStmt, directoryStmt}) {
            if (stmt == nullptr) continue;
            StatementUse use(stmt);
            const int rc = sqlite3_step(stmt);
            if (rc != SQLITE_DONE)
                LOG_ERROR(QVIM_SRC_DAL, "purgePaths", "Error purging disk paths: %s", sqlite3_errstr(rc));
        }
    }
}

// ---- Unscanned cleanup --------------------------------------------------------------------

bool EventTypeTable::deleteUnscanned(unsigned long scanTime, im_wrapper_response_s& response,
                                     const std::function<void(QVIMEvent&)>& unscanned) {
    static const im_wrapper_event_s empty{};
    std::unique_ptr<QVIMEvent> record(QVIMEvent::factory(m_store, m_type, &empty));
    if (!record) {
        response.state = IM_ERROR;
        return false;
    }
    // Held from the select to the delete: a row a real-time notification
    // stamps in between would otherwise be deleted although it was seen.
    MutexLock lock(m_store.storeLock());
    record->store.storeLock().assertHeld();
    sqlite3_stmt* stmt = record->bindSelectByScanTime(scanTime);
    if (stmt == nullptr) {
        response.state = IM_ERROR;
        return false;
    }
    std::vector<int64_t> ids;
    int rc;
    {
        StatementUse use(stmt);
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            // Each row is its own entity: nothing of the previous one carries over.
            record->operation = IM_OP_DELETE;
            record->resolve = 1;
            record->state = IM_UNDETERMINED;
            record->bufferedFields.clear();
            record->bufferOldFields(stmt, true);
            LOG_TRACE(QVIM_SRC_DAL, "deleteUnscanned", "Key '%s' found in table", record->currentKey.c_str());
            record->oldFieldsBuffered = true;
            record->populateComparableMembers(stmt);
            unscanned(*record);
            ids.push_back(record->entityItemId);
            record->oldFieldsBuffered = false;
        }
    }
    if (rc != SQLITE_DONE) {
        LOG_ERROR(QVIM_SRC_DAL, "deleteUnscanned", "Unable to delete from table: %s", sqlite3_errstr(rc));
        response.state = IM_ERROR;
        return false;
    }
    if (ids.empty()) {
        response.nItemsScanned = 0;
        return true;
    }
    const std::string sql = makeDeleteIdsQuery(m_tableName, ids);
    char* message = nullptr;
    rc = sqlite3_exec(m_store.db(), sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        LOG_ERROR(QVIM_SRC_DAL, "deleteUnscanned", "sqlite3_exec() failed when trying to delete unscanned images '%s'",
                  message != nullptr ? message : sqlite3_errstr(rc));
        sqlite3_free(message);
        response.state = IM_ERROR;
        return false;
    }
    response.nItemsScanned = ids.size();
    return true;
}

// ---- Legacy migration ---------------------------------------------------------------------

namespace {

const char* const kGetAllEntitiesFromOldDb = "SELECT * FROM Entitys ORDER BY key, entityType";
const char* const kGetAllAttributesWithIdOldDb = "SELECT * FROM Attributes WHERE entityId = :Id";

// Column positions in the old tables.
constexpr int kOldEntityId = 0;
constexpr int kOldEntityType = 1;
constexpr int kOldEntityKey = 6;
constexpr int kOldAttributeName = 2;
constexpr int kOldAttributeValue = 3;
constexpr int kOldAttributeText = 4;

std::string columnString(sqlite3_stmt* stmt, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    return text != nullptr ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt, column))) : std::string();
}

bool columnEquals(sqlite3_stmt* stmt, int column, const std::string& value) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    const std::string_view stored =
        text != nullptr ? std::string_view(text, static_cast<size_t>(sqlite3_column_bytes(stmt, column))) : "";
    return stored == value;
}

// Which digests the old rows of a file carried.
struct LegacyDigests {
    bool sha1 = false;
    bool sha256 = false;
};

// Applies one attribute row; false for a name the kind rejects.
bool applyLegacyAttribute(const LegacyKind& legacy, const RecordLayout& layout, sqlite3_stmt* row, QVIMEvent& record,
                          LegacyDigests& digests) {
    const std::string name = columnString(row, kOldAttributeName);
    LegacyValue value = LegacyValue::AsStored;
    const ColumnDescriptor* column = nullptr;
    const LegacyAttribute* special = std::find_if(legacy.special, legacy.special + legacy.specialCount,
                                                  [&name](const LegacyAttribute& entry) { return name == entry.name; });
    if (special != legacy.special + legacy.specialCount) {
        if (special->value == LegacyValue::Ignored) return true;
        value = special->value;
        column = layout.find(special->attribute);
    } else {
        column = layout.find(name);
    }
    if (column == nullptr) {
        if (!legacy.strict) return true;
        LOG_ERROR(QVIM_SRC_DAL, legacy.function, "Unknown attribute name");
        return false;
    }

    const int64_t number = sqlite3_column_int64(row, kOldAttributeValue);
    switch (value) {
        case LegacyValue::Nanoseconds:
            column->field<int64_t>(record) =
                static_cast<int64_t>(convertNanoSecondsToMilliseconds(static_cast<unsigned long>(number)));
            return true;
        case LegacyValue::PermissionText:
            column->field<std::string>(record) = convertPermissions(columnString(row, kOldAttributeValue));
            return true;
        case LegacyValue::QualifiedName:
            column->field<std::string>(record) =
                QVIMDAL::getQualifiedName(number, columnString(row, kOldAttributeText));
            return true;
        case LegacyValue::QualifiedGroups:
            column->field<std::string>(record) = QVIMDAL::getQualifiedGroups(columnString(row, kOldAttributeValue),
                                                                             columnString(row, kOldAttributeText));
            return true;
        case LegacyValue::Thousandths: column->field<int32_t>(record) = static_cast<int32_t>(number / 1000); return true;
        case LegacyValue::MinimumDays:
            column->field<int32_t>(record) = static_cast<int32_t>(number);
            if (number == 0 || number == -1) static_cast<im_event_user&>(record).passwordNeverExpires = true;
            return true;
        case LegacyValue::AsStored:
        case LegacyValue::Ignored: break;
    }
    switch (column->type) {
        case FieldType::Bool:
            column->field<bool>(record) = getBoolValue(columnString(row, kOldAttributeValue).c_str()) != 0;
            break;
        case FieldType::Int32: column->field<int32_t>(record) = static_cast<int32_t>(number); break;
        case FieldType::Int64: column->field<int64_t>(record) = number; break;
        case FieldType::Text: column->field<std::string>(record) = columnString(row, kOldAttributeValue); break;
        case FieldType::Hash: {
            const std::string text = columnString(row, kOldAttributeValue);
            column->field<Blob>(record).setEncoded(text.c_str(), text.size());
            digests.sha1 |= std::strcmp(column->column, "sha1") == 0;
            digests.sha256 |= std::strcmp(column->column, "sha256") == 0;
            break;
        }
    }
    return true;
}

// Old files often carry only one of the two digests; the missing one gets
// a placeholder that change detection never compares.
void fillMissingDigest(im_event_file& file, const LegacyDigests& digests) {
    static const unsigned char kPlaceholder = '*';
    if (digests.sha1 && !digests.sha256) file.sha256.setBlob(&kPlaceholder, 1);
    if (digests.sha256 && !digests.sha1) file.sha1.setBlob(&kPlaceholder, 1);
}

// Closes the old database on every way out of a migration.
struct LegacyConnection {
    sqlite3* db = nullptr;
    ~LegacyConnection() {
        if (db != nullptr) sqlite3_close_v2(db);
    }
    bool close() {
        const int rc = sqlite3_close(db);
        if (rc == SQLITE_OK) db = nullptr;
        return rc == SQLITE_OK;
    }
};

bool reportOldDatabaseError(sqlite3* oldDb) {
    LOG_ERROR(QVIM_SRC_DAL, "migrateDb", "Old Database error: %d, %s", sqlite3_errcode(oldDb), sqlite3_errmsg(oldDb));
    std::printf("Old Error Message: %s\n", sqlite3_errmsg(oldDb));
    return false;
}

bool reportMigrationFailure(const char* message) {
    LOG_ERROR(QVIM_SRC_DAL, "migrateDb", "%s", message);
    std::printf("%s\n", message);
    return false;
}

}  // namespace

std::string migrationDurationText(unsigned long seconds) {
    const unsigned long hours = seconds / 3600;
    const unsigned long rest = seconds - 3600 * hours;
    char text[160];
    if (seconds >= 3600)
        snprintf(text, sizeof text, "This migration took %lu hour(s) %lu minute(s) %lu seconds\n", hours, rest / 60,
                 rest % 60);
    else if (rest >= 60)
        snprintf(text, sizeof text, "This migration took %lu minute(s) %lu seconds\n", rest / 60, rest % 60);
    else
        snprintf(text, sizeof text, "This migration took %lu seconds\n", rest % 60);
    return text;
}

std::string QVIMDAL::getQualifiedName(long long id, const std::string& name) { return std::to_string(id) + ":" + name; }

std::string QVIMDAL::getQualifiedGroups(const std::string& ids, const std::string& names) {
    const std::vector<std::string> idList = split(ids, ',');
    const std::vector<std::string> nameList = split(names, ',');
    std::string out;
    for (size_t i = 0; i < idList.size() && i < nameList.size(); ++i) {
        if (i != 0) out += ',';
        out += getQualifiedName(std::strtoll(idList[i].c_str(), nullptr, 10), nameList[i]);
    }
    return out;
}

void QVIMDAL::assignDefaultEntityValues(QVIMEvent& record) {
    const RecordLayout* layout = recordLayout(record.entityType());
    if (layout == nullptr) return;
    for (size_t i = 0; i < layout->count; ++i) {
        const ColumnDescriptor& column = layout->columns[i];
        switch (column.type) {
            case FieldType::Bool: column.field<bool>(record) = false; break;
            case FieldType::Int32: column.field<int32_t>(record) = 0; break;
            case FieldType::Int64: column.field<int64_t>(record) = 0; break;
            case FieldType::Text: column.field<std::string>(record).clear(); break;
            // Empty, not the all-zero digest that Hash::clear leaves.
            case FieldType::Hash: column.field<Blob>(record).setBlob(nullptr, 0); break;
        }
    }
    if (record.entityType() == ENTITY_PORT) static_cast<im_event_port&>(record).listeners = 1;
}

sqlite3_stmt* QVIMDAL::prepareGetAttributesSqlStatement(sqlite3_int64 id, sqlite3* oldDb) {
    sqlite3_stmt* stmt = m_oldAttributes.get();
    if (stmt == nullptr || sqlite3_db_handle(stmt) != oldDb) {
        m_oldAttributes.finalize();
        if (sqlite3_prepare_v2(oldDb, kGetAllAttributesWithIdOldDb, -1, m_oldAttributes.address(), nullptr) !=
            SQLITE_OK)
            return nullptr;
        stmt = m_oldAttributes.get();
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (sqlite3_bind_int64(stmt, sqlite3_bind_parameter_index(stmt, ":Id"), id) != SQLITE_OK) {
        LOG_ERROR(QVIM_SRC_DAL, "prepareGetAttributesSqlStatement", "Error binding Id to statement");
        return nullptr;
    }
    return stmt;
}

bool QVIMDAL::assignEntityAttributes(entity_type kind, sqlite3_stmt* entities, const std::shared_ptr<QVIMEvent>& record,
                                     sqlite3* oldDb, int& entitiesRc) {
    const RecordLayout* layout = recordLayout(kind);
    if (layout == nullptr) return false;
    const LegacyKind& legacy = kindDescriptor(kind)->legacy;
    if (!record || record->entityType() != kind) {
        LOG_TRACE(QVIM_SRC_DAL, legacy.function, "QVIMEvent not a %s type", legacy.recordClass);
        return false;
    }
    assignDefaultEntityValues(*record);

    const std::string key = columnString(entities, kOldEntityKey);
    const std::string typeName = columnString(entities, kOldEntityType);
    LegacyDigests digests;
    while (entitiesRc == SQLITE_ROW) {
        sqlite3_stmt* attributes = prepareGetAttributesSqlStatement(sqlite3_column_int64(entities, kOldEntityId), oldDb);
        if (attributes == nullptr) return false;
        StatementUse use(attributes);
        int attributesRc;
        while ((attributesRc = sqlite3_step(attributes)) == SQLITE_ROW)
            if (!applyLegacyAttribute(legacy, *layout, attributes, *record, digests)) return false;
        if (attributesRc != SQLITE_DONE) {
            LOG_ERROR(QVIM_SRC_DAL, legacy.function, "Error parsing through %s attributes, attributesRc: %d",
                      legacy.noun, attributesRc);
            return false;
        }
        // Rows with the same key and type are one entity.
        entitiesRc = sqlite3_step(entities);
        if (entitiesRc != SQLITE_ROW || !columnEquals(entities, kOldEntityKey, key) ||
            !columnEquals(entities, kOldEntityType, typeName))
            break;
    }
    if (entitiesRc != SQLITE_ROW && entitiesRc != SQLITE_DONE) {
        LOG_ERROR(QVIM_SRC_DAL, legacy.function, "Error parsing through %s entities, entitiesRc: %d", legacy.noun,
                  entitiesRc);
        return false;
    }
    if (kind == ENTITY_FILE) fillMissingDigest(static_cast<im_event_file&>(*record), digests);
    if (kind == ENTITY_INSTALLED_SOFTWARE) {
        // Versions of one package share the old key.
        record->currentKey = key + "-" + static_cast<im_event_installed_software&>(*record).version;
        record->newKey = record->currentKey;
    }
    return true;
}

bool QVIMDAL::migrateEntity(sqlite3_stmt* entities, sqlite3* oldDb, int& entitiesRc, bool store) {
    const std::string typeName = columnString(entities, kOldEntityType);
    const std::string key = columnString(entities, kOldEntityKey);
    const entity_type kind = EntitySet::convertEntityType(typeName.c_str());
    if (store) {
        LOG_TRACE(QVIM_SRC_DAL, "migrateEntity", "Adding entity: %s of type %s", key.c_str(), typeName.c_str());
        std::printf("Adding entity: %s of type %s\n", key.c_str(), typeName.c_str());
    }
    if (kindDescriptor(kind) == nullptr) {
        entitiesRc = sqlite3_step(entities);
        return true;
    }
    const std::shared_ptr<QVIMEvent> record(QVIMEvent::factory(*this, kind, nullptr));
    record->currentKey = key;
    record->newKey = key;
    record->auxValue = 3;
    record->realTime = false;
    const bool assigned = assignEntityAttributes(kind, entities, record, oldDb, entitiesRc);
    if (!store) return assigned;

    bool stored = false;
    if (assigned) {
        if (kind == ENTITY_INSTALLED_SOFTWARE)
            std::printf("Adding InstalledSoftware entity key : %s \n", record->currentKey.c_str());
        im_wrapper_response_s response{};
        stored = storeItemBuffer(record, response);
    }
    // A failed buffered write has logged its statement errors; the connection
    // may still hold the cause (a rolled-back batch leaves none).
    const int code = m_DB != nullptr ? sqlite3_errcode(m_DB) : SQLITE_MISUSE;
    if (assigned && !stored && code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE) {
        const char* message = m_DB != nullptr ? sqlite3_errmsg(m_DB) : "the baseline database is not open";
        LOG_ERROR(QVIM_SRC_DAL, "migrateEntity", "Database error: %s", message);
        std::printf("Error Message: %s\n", message);
    }
    return assigned && stored;
}

bool QVIMDAL::migrateDb(const char* oldDbPath, const std::function<void()>& startCopy) {
    MutexLock migration(m_migrationLock);
    const time_t started = std::time(nullptr);
    LegacyConnection old;
    // Only read, and never created: the old file is not ours.
    const int rc = oldDbPath != nullptr ? openDatabaseFile(oldDbPath, SQLITE_OPEN_READONLY, &old.db, "migrateDb")
                                        : SQLITE_MISUSE;
    if (rc != SQLITE_OK) {
        LOG_ERROR(QVIM_SRC_DAL, "migrateDb", "Failed to open old database");
        std::printf("Failed to open old database, rc: %d\n", rc);
        return false;
    }
    sqlite3_busy_timeout(old.db, 5000);

    struct Statements {
        StatementSlot& attributes;
        StatementSlot entities;
        ~Statements() { attributes.finalize(); }
    } statements{m_oldAttributes, {}};
    // Both tables are looked at before anything changes.
    if (sqlite3_prepare_v2(old.db, kGetAllEntitiesFromOldDb, -1, statements.entities.address(), nullptr) !=
            SQLITE_OK ||
        prepareGetAttributesSqlStatement(0, old.db) == nullptr)
        return reportOldDatabaseError(old.db);

    sqlite3_stmt* entities = statements.entities.get();
    const auto pass = [&](bool store) {
        int entitiesRc = sqlite3_step(entities);
        while (entitiesRc == SQLITE_ROW)
            if (!migrateEntity(entities, old.db, entitiesRc, store))
                return reportMigrationFailure("Failed to migrate entity, database migration failed");
        sqlite3_reset(entities);
        return entitiesRc == SQLITE_DONE || reportOldDatabaseError(old.db);
    };
    if (!pass(false)) return false;
    if (startCopy) startCopy();
    if (!pass(true)) return false;

    unsigned long written = 0;
    if (!storeItemFlush(written)) return reportMigrationFailure("storeItemFlush failed, database migration failed");
    statements.entities.finalize();
    m_oldAttributes.finalize();
    if (!old.close()) {
        LOG_ERROR(QVIM_SRC_DAL, "migrateDb", "Failed to close old database");
        return false;
    }
    const time_t finished = std::time(nullptr);
    std::fputs(migrationDurationText(finished > started ? static_cast<unsigned long>(finished - started) : 0UL).c_str(),
               stdout);
    return true;
}

// ---- Statement texts ------------------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> QVIMDAL::sqlTexts() const {
    std::vector<std::pair<std::string, std::string>> texts;
    for (size_t i = 0; i < m_schemaScripts.size(); ++i) texts.emplace_back("schema" + std::to_string(i + 1), m_schemaScripts[i]);
    const std::pair<const char*, std::string> fixed[] = {
        {"userVersion", kUserVersionSQL},
        {"foreignKeys", kForeignKeysSQL},
        {"journalMode", kJournalModeSQL},
        {"synchronous", kSynchronousSQL},
        {"countObjects", kCountObjectsSQL},
        {"countSettingsTables", kCountSettingsTablesSQL},
        {"rollbackScript", kRollbackScriptSQL},
        {"getSetting", kGetImStateSQL},
        {"setSetting", kSetImStateSQL},
        {"countRows", countRowsSQL()},
        {"vacuum", kVacuumSQL},
        {"begin", kBeginSQL},
        {"end", kEndSQL},
        {"rollback", kRollbackSQL},
        {"oldEntities", kGetAllEntitiesFromOldDb},
        {"oldAttributes", kGetAllAttributesWithIdOldDb},
    };
    for (const auto& text : fixed) texts.emplace_back(text.first, text.second);
    const uint64_t ids[] = {3, 5};
    for (const KindDescriptor& kind : KindRows()) {
        const EventTypeTable& kindTable = *table(kind.type);
        for (unsigned slot = 0; slot <= EventTypeTable::PartialPurge; ++slot)
            texts.emplace_back(kindTable.typeName() + "." + std::to_string(slot), kindTable.makePreparedQuery(slot));
        texts.emplace_back(kindTable.typeName() + ".scanTimeIds",
                           EventTypeTable::makeScanTimeIdsQuery(kindTable.tableName(), 42, ids, 2));
        texts.emplace_back(kindTable.typeName() + ".deleteIds",
                           EventTypeTable::makeDeleteIdsQuery(kindTable.tableName(), {3, 5}));
    }
    return texts;
}
