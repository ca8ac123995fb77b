// Helpers of the baseline tests: entities stored through store_item, and
// questions asked of a database file over a connection of the test's own.
#pragma once

#include <sqlite3.h>

#include <deque>
#include <string>

#include <gtest/gtest.h>

#include "qvim.h"

namespace qvim_test {

// Builds boundary records whose texts live as long as the builder.
class Entities {
public:
    im_wrapper_event_s make(const char* kind, const std::string& key) {
        im_wrapper_event_s r{};
        r.entityType = kind;
        r.eventType = QVIM_EVENT_CHANGED;
        const char* text = keep(key);
        r.newKey = text;
        const std::string type = kind;
        if (type == "File" || type == "Directory") r.path = text;
        else if (type == "Port") r.portKey = text;
        else if (type == "Process") r.processKey = text;
        else r.name = text;
        return r;
    }
    const char* keep(const std::string& text) { return m_texts.emplace_back(text).c_str(); }

    // Stores directly (one row now); false when the engine did not store it.
    static bool store(const im_wrapper_event_s& record) {
        im_wrapper_response_s response{};
        return store_item(&record, false, &response) == QVIM_OK && response.nItemsScanned == 1;
    }

private:
    std::deque<std::string> m_texts;
};

// The first value of the first row of sql, as text: "NULL" for NULL,
// "<no row>" without a row, "<error>" when the query fails.
inline std::string queryFile(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string value = "<error>";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(stmt, 0);
                value = text != nullptr ? reinterpret_cast<const char*>(text) : "NULL";
            } else if (rc == SQLITE_DONE) {
                value = "<no row>";
            }
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return value;
}

// Runs statements on a database file (created when missing).
inline void execFile(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    EXPECT_EQ(rc, SQLITE_OK) << (message != nullptr ? message : "") << " in " << sql;
    sqlite3_free(message);
    sqlite3_close(db);
}

}  // namespace qvim_test
