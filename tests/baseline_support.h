// Helpers of the engine and baseline tests: start records, records for
// store_item, and questions asked of a database file over a connection of the
// test's own.
#pragma once

#include <sqlite3.h>

#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "qvim.h"

namespace qvim_test {

// Start record of an engine the test owns: captured log, every level on.
inline im_engine_init_s captureInit(const char* dbPath, uint32_t logLevel = 15) {
    im_engine_init_s init{};
    init.dbPath = dbPath;
    init.logCallback = captureLog;
    init.logLevel = logLevel;
    return init;
}

// Member names of a JSON object, in document order.
inline std::vector<std::string> memberNames(const cJSON* object) {
    std::vector<std::string> names;
    for (const cJSON* item = object != nullptr ? object->child : nullptr; item != nullptr; item = item->next)
        names.emplace_back(item->string);
    return names;
}

// Boundary records whose texts live as long as the builder.
class Entities {
public:
    im_wrapper_event_s make(const char* kind, const std::string& key) {
        im_wrapper_event_s r{};
        r.entityType = kind;
        r.eventType = QVIM_EVENT_CHANGED;
        r.newKey = m_keys.emplace_back(key).c_str();
        const std::string type = kind;
        (type == "File" || type == "Directory" ? r.path
         : type == "Port"                      ? r.portKey
         : type == "Process"                   ? r.processKey
                                               : r.name) = r.newKey;
        r.process = type == "Process" ? "sh" : nullptr;  // a stored process needs a name
        return r;
    }
    // Stores one row now; false when nothing was stored.
    static bool store(const im_wrapper_event_s& record, bool buffered = false) {
        im_wrapper_response_s response{};
        return store_item(&record, buffered, &response) == QVIM_OK && (buffered || response.nItemsScanned == 1);
    }

private:
    std::deque<std::string> m_keys;
};

// First value of the first row, as text: "NULL", "<no row>" or "<error>".
inline std::string queryFile(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    std::string value = "<error>";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
        const int rc = sqlite3_step(stmt);
        const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(stmt, 0) : nullptr;
        value = rc == SQLITE_ROW ? (text != nullptr ? reinterpret_cast<const char*>(text) : "NULL")
                : rc == SQLITE_DONE ? "<no row>" : value;
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
}

inline void execFile(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db) << ": " << sql;
    sqlite3_close(db);
}

// Starts the engine on a baseline that stays in rollback mode, where a write
// locks readers out and needs a journal beside the file: another connection
// reads it while the engine opens it, so the journal cannot switch.
inline qvim_status startEngineInRollbackMode(const std::string& path) {
    if (startEngine(path) != QVIM_OK) return QVIM_E_DB_OPEN;
    engine_stop();
    execFile(path, "PRAGMA journal_mode = DELETE;");
    sqlite3* reader = nullptr;
    sqlite3_open_v2(path.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr);
    EXPECT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr), SQLITE_OK);
    const qvim_status started = startEngine(path);
    sqlite3_close(reader);
    EXPECT_EQ(queryFile(path, "PRAGMA journal_mode;"), "delete");
    return started;
}

}  // namespace qvim_test
