// The baseline store: one SQLite database with the settings table and one
// table per entity kind, the per-kind table objects (made from the kinds
// registry) with their prepared statements, item writes, purges, migration
// and database metrics. Sections: statement ownership, entity tables, the
// store.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "QVIMThreadSafety.h"
#include "qvim.h"

struct cJSON;
class QVIMConfig;
class IntegrityRuleFilter;
class QVIMDAL;
class QVIMStats;
class QVIMEvent;
class Blob;
struct RecordLayout;
struct KindDescriptor;

// One prepared statement owned by its slot; finalized on destruction. The
// slot's address stays stable for the life of its owner.
class StatementSlot {
public:
    StatementSlot() = default;
    StatementSlot(const StatementSlot&) = delete;
    StatementSlot& operator=(const StatementSlot&) = delete;
    ~StatementSlot() { finalize(); }

    sqlite3_stmt* get() const { return m_stmt; }
    sqlite3_stmt** address() { return &m_stmt; }
    void finalize() {
        if (m_stmt != nullptr) sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

// Resets a statement and clears its bindings when the scope ends.
class StatementUse {
public:
    explicit StatementUse(sqlite3_stmt* stmt) : m_stmt(stmt) {}
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;
    ~StatementUse() {
        if (m_stmt != nullptr) {
            sqlite3_reset(m_stmt);
            sqlite3_clear_bindings(m_stmt);
        }
    }

private:
    sqlite3_stmt* m_stmt;
};

// ---- Entity tables --------------------------------------------------------

class EventTypeTable {
public:
    // Statement slots.
    enum Slot : unsigned {
        Insert = 0,
        Update = 1,
        SelectByKey = 2,
        SelectByScanTime = 3,
        UpdateScanTimeIds = 4,
        DeleteByPrimaryKey = 5,
        ExportFirst = 6,
        ExportAfterIdSince = 7,
        ExportAfterId = 8,
        ExportSince = 9,
        PurgeAll = 10,
        ResetAutoNumber = 11,
        PartialPurge = 12,
    };
    static constexpr unsigned kStandardSlots = 12;
    static constexpr size_t kIdBufferSize = 1000;
    static constexpr size_t kPartialPurgeParameters = 50;

    // Parameter indexes of the insert or update statement, looked up once per
    // preparation: the write path binds every column of every row.
    struct BindIndexes {
        int key = 0;
        int time = 0;      // :currentTime (insert) or :scanTime (update)
        int wherekey = 0;  // update only
        std::vector<int> columns;  // by column, in the layout's compare-select order
    };

    EventTypeTable(QVIMDAL& store, const KindDescriptor& kind);
    virtual ~EventTypeTable();

    virtual int prepareStatements();
    virtual sqlite3_stmt** getStmt(unsigned slot);
    virtual std::string getQuery(unsigned index) const;
    // Hands each row stamped before scanTime to unscanned (as a delete, its
    // stored fields loaded), then deletes those rows; nItemsScanned counts them.
    // unscanned runs under the store lock and must not take it.
    virtual bool deleteUnscanned(unsigned long scanTime, im_wrapper_response_s& response,
                                 const std::function<void(QVIMEvent&)>& unscanned);

    // Statement text of a slot (built from the base texts).
    std::string makePreparedQuery(unsigned slot) const;
    void finalizeStatements();

    static std::string makeNumeratedPlaceHolders(unsigned long n);
    static std::string makePurgeAllQuery(const std::string& name);
    // Stamps the listed rows (a buffer short of the prepared thousand).
    static std::string makeScanTimeIdsQuery(const std::string& table, unsigned long scanTime, const uint64_t* ids,
                                            size_t count);
    static std::string makeDeleteIdsQuery(const std::string& table, const std::vector<int64_t>& ids);
    static std::string makeResetAutoNumberQuery(const std::string& name);
    static std::string makePartialPurgeQuery(const std::string& typeName);

    // Binds one value; empty texts and blobs stay unbound (NULL). A failure is
    // logged with the parameter name.
    static bool bindField(sqlite3_stmt* stmt, const char* parameter, const Blob& value);
    static bool bindField(sqlite3_stmt* stmt, const char* parameter, int value);
    static bool bindField(sqlite3_stmt* stmt, const char* parameter, unsigned long value);
    static bool bindField(sqlite3_stmt* stmt, const char* parameter, const std::string& value);
    static bool bindField(sqlite3_stmt* stmt, const char* parameter, bool value);
    // The same with an index already looked up.
    static bool bindField(sqlite3_stmt* stmt, int index, const char* parameter, const Blob& value);
    static bool bindField(sqlite3_stmt* stmt, int index, const char* parameter, int value);
    static bool bindField(sqlite3_stmt* stmt, int index, const char* parameter, unsigned long value);
    static bool bindField(sqlite3_stmt* stmt, int index, const char* parameter, const std::string& value);
    static bool bindField(sqlite3_stmt* stmt, int index, const char* parameter, bool value);

    const RecordLayout& layout() const { return m_layout; }
    // Slot 0 (insert) or 1 (update).
    const BindIndexes& bindIndexes(unsigned slot) const { return m_bindIndexes[slot == Update ? 1 : 0]; }
    // ":column" of a column, by its index in the layout.
    const char* parameterName(size_t column) const { return m_parameterNames[column].c_str(); }
    // Parameter indexes of :pk0000 .. :pk0999 in the id-buffer statement.
    const std::vector<int>& idParameterIndexes() const { return m_idParameterIndexes; }
    // Index of :wherekey in the look-up by key (SelectByKey) or the delete
    // by primary key (DeleteByPrimaryKey), which run once per record.
    int whereKeyIndex(unsigned slot) const { return slot == SelectByKey ? m_selectWhereKey : m_deleteWhereKey; }

    const std::string& tableName() const { return m_tableName; }
    const std::string& typeName() const { return m_typeName; }
    entity_type type() const { return m_type; }
    const std::string& primaryKey() const { return m_primaryKey; }
    QVIMDAL& store() const { return m_store; }

protected:
    QVIMDAL& m_store;
    std::string m_tableName;
    std::string m_typeName;
    entity_type m_type;
    std::string m_primaryKey = "entityItemId";
    const RecordLayout& m_layout;
    bool m_hasPartialPurge;
    StatementSlot m_slots[kStandardSlots + 1];
    std::vector<std::string> m_parameterNames;
    BindIndexes m_bindIndexes[2];
    std::vector<int> m_idParameterIndexes;
    int m_selectWhereKey = 0;
    int m_deleteWhereKey = 0;

private:
    void lookUpParameterIndexes();
};

class EventTypeTableStandard : public EventTypeTable {
public:
    using EventTypeTable::EventTypeTable;
};

class FileTable : public EventTypeTableStandard {
public:
    static constexpr entity_type kKind = ENTITY_FILE;
    explicit FileTable(QVIMDAL& store);
};
class DirectoryTable : public EventTypeTableStandard {
public:
    static constexpr entity_type kKind = ENTITY_DIRECTORY;
    explicit DirectoryTable(QVIMDAL& store);
};
class UserTable : public EventTypeTableStandard {
public:
    static constexpr entity_type kKind = ENTITY_USER;
    explicit UserTable(QVIMDAL& store);
};
class GroupTable : public EventTypeTableStandard {
public:
    static constexpr entity_type kKind = ENTITY_GROUP;
    explicit GroupTable(QVIMDAL& store);
};
class PortTable : public EventTypeTableStandard {
public:
    static constexpr entity_type kKind = ENTITY_PORT;
    explicit PortTable(QVIMDAL& store);
};
class InstalledSoftwareTable : public EventTypeTableStandard {
public:
    static constexpr entity_type kKind = ENTITY_INSTALLED_SOFTWARE;
    explicit InstalledSoftwareTable(QVIMDAL& store);
};
class ProcessTable : public EventTypeTableStandard {
public:
    static constexpr entity_type kKind = ENTITY_PROCESS;
    explicit ProcessTable(QVIMDAL& store);
};

// ---- The store ---------------------------------------------------------------

class QVIMDAL {
public:
    // The rules decide which items are stored; the statistics count what
    // is written. Both are lent by the owner and outlive the store.
    QVIMDAL(const QVIMConfig& config, QVIMStats& stats);
    ~QVIMDAL();

    QVIMDAL(const QVIMDAL&) = delete;
    QVIMDAL& operator=(const QVIMDAL&) = delete;

    // Opening and closing.
    bool setDBPath(const std::string& path);
    const std::string& getDBPath() const { return m_dbPath; }
    bool initDB();
    bool _initDB(bool readOnly);
    bool prepareStatements();
    int prepareStatement(const std::string& sql, sqlite3_stmt** slot);
    int finalize();
    bool _deleteDB();
    void shutdownDAL();
    bool isOpen() const { return m_DB != nullptr; }
    sqlite3* db() const { return m_DB; }

    // Settings (IntegrityMonitorState rows; names must exist).
    bool SetIntegrityMonitorState(const std::string& name, const std::string& value);
    bool SetIntegrityMonitorState(const std::string& name, const unsigned long& value);
    bool GetIntegrityMonitorState(const std::string& name, std::string& value);
    bool GetIntegrityMonitorState(const std::string& name, unsigned long& value);
    // Whether "baselineScanType" says that a partial baseline is pending
    // (written by a ruleset installation, cleared when a baseline ends). An
    // unreadable setting is logged and counts as a full baseline.
    bool isPartialScanSet();

    // While one of these lives, settings read or written through the store
    // are remembered, so that a directory walk, which asks for the same
    // settings at every folder, costs no SQL for them. Changes made to the
    // database by other connections meanwhile are seen once no scope is left.
    class SettingsScope {
    public:
        explicit SettingsScope(QVIMDAL& dal);
        ~SettingsScope();
        SettingsScope(const SettingsScope&) = delete;
        SettingsScope& operator=(const SettingsScope&) = delete;

    private:
        QVIMDAL& m_dal;
    };

    // Database metrics.
    bool PrepareMetricsDBSize(cJSON* object);
    bool PrepareMetricsDBInfo(cJSON* object);
    bool PrepareMetricsIntegrityMonitorState(cJSON* object);

    // Item writes, buffering and flush.
    bool storeItem(const std::shared_ptr<QVIMEvent>& record, im_wrapper_response_s& response);
    bool storeItemBuffer(const std::shared_ptr<QVIMEvent>& record, im_wrapper_response_s& response);
    bool storeItemFlush(unsigned long& count);
    bool storeItemFlushInternal(unsigned long& count) REQUIRES(m_storeLock);
    bool writeItem(QVIMEvent& record, bool insertOnly, std::unordered_set<long long>* ruleIds);
    bool renameItem(QVIMEvent& record, std::unordered_set<long long>* ruleIds);
    bool deleteEntityItems(QVIMEvent& record, std::unordered_set<long long>* ruleIds);

    // Id buffers of rows seen unchanged during an integrity scan.
    bool initEntityIDBufferArrays();
    // Notes a row of table found unchanged; a full buffer is written out
    // first. Nothing is noted while the buffers do not exist.
    void bufferUnchangedId(EventTypeTable& table, int64_t id) REQUIRES(m_storeLock);
    bool flushEntityIDBufferArray(EventTypeTable& table) REQUIRES(m_storeLock);
    bool flushEntityIDBufferArrayLock(EventTypeTable& table);
    bool flushEntityIDBufferArrays();
    bool bufferSelectedIDs() const { return m_bufferSelectedIDs.load(); }
    void setBufferSelectedIDs(bool on) { m_bufferSelectedIDs.store(on); }

    // Purges.
    bool purgeDB(entity_type type);
    void purgeDiskPaths(std::list<std::string>& paths);
    void purgePaths(sqlite3_stmt* fileStmt, sqlite3_stmt* directoryStmt, std::list<std::string>& paths)
        REQUIRES(m_storeLock);

    // Legacy migration. The old database is read twice: the first pass only
    // checks every entity, so that a file that cannot be migrated changes
    // nothing; startCopy, when given, runs between the passes, and the second
    // pass stores the entities through the buffered path.
    bool migrateDb(const char* oldDbPath, const std::function<void()>& startCopy = {});
    // Migrates (store false: only checks) the entity under the cursor and
    // leaves the cursor on the next one; entitiesRc is its last step result.
    bool migrateEntity(sqlite3_stmt* entities, sqlite3* oldDb, int& entitiesRc, bool store = true);
    // The old database's attribute statement bound to an entity id; null on failure.
    sqlite3_stmt* prepareGetAttributesSqlStatement(sqlite3_int64 id, sqlite3* oldDb);
    // Applies the old attributes of the entity under the cursor, and of the
    // rows after it with the same key and type, to a record of kind.
    bool assignEntityAttributes(entity_type kind, sqlite3_stmt* entities, const std::shared_ptr<QVIMEvent>& record,
                                sqlite3* oldDb, int& entitiesRc);
    // Numbers 0, texts and digests empty, booleans false; a port has one listener.
    static void assignDefaultEntityValues(QVIMEvent& record);
    // id + ":" + name.
    static std::string getQualifiedName(long long id, const std::string& name);
    // The qualified names of the comma-separated ids and names, pairwise.
    static std::string getQualifiedGroups(const std::string& ids, const std::string& names);

    Mutex& storeLock() RETURN_CAPABILITY(m_storeLock) { return m_storeLock; }
    // The rules in force, a snapshot that stays valid while it is held.
    std::shared_ptr<const IntegrityRuleFilter> rules() const;
    QVIMStats& stats() const { return m_stats; }

    // The per-kind tables, made with the store; null for a value that is not a kind.
    EventTypeTable* table(entity_type type) const;
    FileTable* fileTable() const;
    DirectoryTable* directoryTable() const;

    // The start of a scan, in milliseconds: later than every time stamp the
    // store wrote so far, waiting out the current millisecond when needed,
    // since rows stamped before the start count as unseen.
    unsigned long scanStartTime() const;

    // Every SQL text the store runs, by name, with sample values where a
    // text carries values; the golden test holds them still.
    std::vector<std::pair<std::string, std::string>> sqlTexts() const;

    static constexpr int kSchemaVersion = 2;
    // The item buffer is written when an append takes it past this size.
    static constexpr size_t kItemBufferLimit = 1000;

private:
    template <class... Tables>
    void makeTables() {
        ((m_tables[Tables::kKind] = std::make_unique<Tables>(*this)), ...);
    }
    // Runs one store operation under the store lock, traced as "<function> lock"/"unlock".
    template <class Operation>
    bool underStoreLock(const char* function, Operation operation) {
        traceLock(function, "lock");
        bool result;
        {
            MutexLock lock(m_storeLock);
            result = operation();
            noteWrite();
        }
        traceLock(function, "unlock");
        return result;
    }
    static void traceLock(const char* function, const char* what);
    // Called after anything that may have stamped rows with the time.
    void noteWrite() const;
    void logUnusableDatabase() const;
    bool countRows(const char* sql, int& count) const;

    // Setting values as last read or written through this connection while
    // a walk runs (see SettingsScope). Filled and updated only while no
    // transaction is open (a rollback could undo the value); emptied when the
    // last walk ends and when the connection opens or closes.
    bool cachedSetting(const std::string& name, std::string& value) EXCLUDES(m_settingsLock);
    void cacheSetting(const std::string& name, const std::string* value) REQUIRES(m_storeLock)
        EXCLUDES(m_settingsLock);
    void forgetSettings() EXCLUDES(m_settingsLock);

    Mutex m_storeLock;
    Mutex m_lifecycleLock;
    Mutex m_settingsLock;  // taken alone, or inside the store lock
    std::unordered_map<std::string, std::string> m_settings GUARDED_BY(m_settingsLock);
    unsigned m_settingsScopes GUARDED_BY(m_settingsLock) = 0;
    // Held for a whole migration, before any other store lock.
    Mutex m_migrationLock;
    // The attribute statement of the old database being migrated.
    StatementSlot m_oldAttributes;
    std::deque<std::shared_ptr<QVIMEvent>> m_itemBuffer GUARDED_BY(m_storeLock);
    // After a failed write of the buffer: the size it must exceed before the
    // next try (0: kItemBufferLimit alone decides).
    size_t m_retryAt GUARDED_BY(m_storeLock) = 0;
    // Ids of rows found unchanged during an integrity scan, by kind; written
    // out by one scan-time update per thousand.
    struct IdBuffer {
        std::unique_ptr<uint64_t[]> ids;
        size_t count = 0;
    };
    IdBuffer m_idBuffers[ENTITY_UNKNOWN] GUARDED_BY(m_storeLock);
    const QVIMConfig& m_config;
    QVIMStats& m_stats;
    sqlite3* m_DB = nullptr;
    std::string m_dbPath;
    std::atomic<bool> m_bufferSelectedIDs{false};
    // Time (ms) at or after the latest stamp written; see scanStartTime.
    mutable std::atomic<unsigned long> m_lastWrite{0};
    StatementSlot m_countRows;
    StatementSlot m_getImState;
    StatementSlot m_setImState;
    StatementSlot m_vacuum;
    std::vector<std::string> m_schemaScripts;
    // Indexed by entity_type; slot 0 (ENTITY_ALL) stays empty.
    std::unique_ptr<EventTypeTable> m_tables[ENTITY_UNKNOWN];
};

// "This migration took " and the duration in hours, minutes and seconds, with a newline.
std::string migrationDurationText(unsigned long seconds);
