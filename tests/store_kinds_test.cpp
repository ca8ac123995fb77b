// The kinds registry against what is derived from it or kept beside it:
// the schema's columns, the kind names, and the records' constructors.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <string>

#include "QVIMDOM.h"
#include "QVIMDataAccessLayer.h"
#include "QVIMEventAbstraction.h"
#include "QVIMStats.h"

namespace {

// A store that is never opened: what these tests read is made with it.
struct Parts {
    QVIMConfig config;
    QVIMStats stats;
    QVIMDAL store{config, stats};
};

std::set<std::string> tableColumns(sqlite3* db, const std::string& table) {
    std::set<std::string> columns;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, ("PRAGMA table_info(" + table + ");").c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        return columns;
    while (sqlite3_step(stmt) == SQLITE_ROW)
        columns.insert(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
    sqlite3_finalize(stmt);
    return columns;
}

// The schema scripts are written out by hand; each kind's table must hold
// exactly the four common columns and the kind's layout.
TEST(Kinds, TheSchemaHoldsExactlyTheLayoutsColumns) {
    Parts parts;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    for (const auto& text : parts.store.sqlTexts()) {
        if (text.first.rfind("schema", 0) != 0) continue;
        ASSERT_EQ(sqlite3_exec(db, text.second.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << text.first;
    }
    for (const KindDescriptor& kind : KindRows()) {
        std::set<std::string> expected = {"entityItemId", "key", "recordTime", "scanTime"};
        for (size_t i = 0; i < kind.layout.count; ++i) expected.insert(kind.layout.columns[i].column);
        // Files keep a contents column that nothing writes.
        if (kind.type == ENTITY_FILE) expected.insert("contents");
        EXPECT_EQ(tableColumns(db, kind.tableName), expected) << kind.tableName;
        EXPECT_EQ(kind.layout.type, kind.type) << kind.tableName;
    }
    sqlite3_close(db);
}

TEST(Kinds, NamesParseBackAndAbbreviationsKeepTheirKind) {
    for (const KindDescriptor& kind : KindRows()) EXPECT_EQ(parseEntityTypeName(kind.name()), kind.type);
    EXPECT_EQ(parseEntityTypeName("Po"), ENTITY_PROCESS);
    EXPECT_EQ(parseEntityTypeName("Ports"), ENTITY_PORT);
    EXPECT_EQ(parseEntityTypeName("f"), ENTITY_UNKNOWN);
    EXPECT_EQ(parseEntityTypeName(nullptr), ENTITY_UNKNOWN);
    EXPECT_STREQ(entityTypeName(static_cast<entity_type>(9)), "Unknown");
    EXPECT_EQ(kindDescriptor(ENTITY_ALL), nullptr);
    EXPECT_EQ(kindDescriptor(ENTITY_UNKNOWN), nullptr);
}

// A mapped name that misses its kind's attribute would drop the old value
// silently for the kinds that skip unknown names.
TEST(Kinds, LegacyNamesMapToAttributesOfTheirKind) {
    for (const KindDescriptor& kind : KindRows()) {
        for (size_t i = 0; i < kind.legacy.specialCount; ++i) {
            const LegacyAttribute& entry = kind.legacy.special[i];
            if (entry.value == LegacyValue::Ignored) continue;
            ASSERT_NE(entry.attribute, nullptr) << kind.name() << "." << entry.name;
            EXPECT_NE(kind.layout.find(entry.attribute), nullptr) << kind.name() << "." << entry.name;
        }
    }
}

// Fields whose boundary name differs from the column: a constructor loop
// that read the same-named field would get these wrong.
TEST(Kinds, RecordsReadRenamedBoundaryFields) {
    Parts parts;
    im_wrapper_event_s r{};
    r.user = "1000";
    r.userGroup = "100";
    r.parentProcessID = 77;
    r.name = "alice";
    r.processKey = "42";
    const struct {
        entity_type type;
        const char* column;
        std::string value;
        const char* key;
    } cases[] = {
        {ENTITY_USER, "userId", "1000", "alice"},
        {ENTITY_GROUP, "groupId", "100", "alice"},
        {ENTITY_PROCESS, "parent", "77", "42"},
    };
    for (const auto& c : cases) {
        std::unique_ptr<QVIMEvent> record(QVIMEvent::factory(parts.store, c.type, &r));
        ASSERT_TRUE(record) << entityTypeName(c.type);
        EXPECT_EQ(record->currentKey, c.key);
        QVIMEvent::Fields fields;
        record->bufferNewFields(fields);
        const RecordLayout& layout = kindDescriptor(c.type)->layout;
        const char* attribute = nullptr;
        for (size_t i = 0; i < layout.count; ++i)
            if (std::string(layout.columns[i].column) == c.column) attribute = layout.columns[i].attribute;
        ASSERT_NE(attribute, nullptr) << c.column;
        bool found = false;
        for (const auto& field : fields)
            if (field.first == attribute) found = field.second == c.value;
        EXPECT_TRUE(found) << entityTypeName(c.type) << "." << c.column;
    }
}

}  // namespace
