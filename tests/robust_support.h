// Helpers of the robustness tests: what the library hands out must parse
// under a strict reader, and questions asked of a database file.
#pragma once

#include <sqlite3.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../fuzz/StrictJson.h"
#include "TestSupport.h"

namespace qvim_test {

// The operation of each event of a response document, by its key.
inline std::multimap<std::string, std::string> eventsByKey(const char* json) {
    std::multimap<std::string, std::string> out;
    if (json == nullptr) return out;
    EXPECT_TRUE(strict_json::parses(json)) << json;
    Json root = parseJson(json);
    const cJSON* event = nullptr;
    cJSON_ArrayForEach(event, cJSON_GetObjectItem(root.get(), "events")) {
        out.emplace(cJSON_GetStringValue(cJSON_GetObjectItem(event, "key")),
                    cJSON_GetStringValue(cJSON_GetObjectItem(event, "operationType")));
    }
    return out;
}

// The metrics document, checked for strict JSON; null when it cannot be had.
inline Json metricsDocument() {
    char* text = nullptr;
    if (get_metrics_mem(&text) != QVIM_OK) return nullptr;
    EXPECT_TRUE(strict_json::parses(text)) << text;
    Json document = parseJson(text);
    free_json_string(text);
    return document;
}

// The first column of every row of the query, in order; NULL reads "<null>".
inline std::vector<std::string> columnOf(const std::string& path, const std::string& sql) {
    std::vector<std::string> values;
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    const bool ready = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
                       sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK;
    EXPECT_TRUE(ready) << sql << ": " << sqlite3_errmsg(db);
    while (ready && sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        values.emplace_back(value != nullptr ? value : "<null>");
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return values;
}

}  // namespace qvim_test
