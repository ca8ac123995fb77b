// Record columns against the stored rows: old and new field orders, export
// rows, event values and the comparable members of unscanned rows.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "IMEngineHandleConcrete.h"
#include "QVIMEventAbstraction.h"
#include "TestSupport.h"

using namespace qvim_test;

namespace {

class Records : public ::testing::Test {
protected:
    void SetUp() override {
        im_engine_init_s init{};
        init.dbPath = "records.db";
        init.logLevel = QVIM_LOG_TRACE | QVIM_LOG_INFO | QVIM_LOG_WARNING | QVIM_LOG_ERROR;
        init.logCallback = captureLog;
        ASSERT_EQ(engine.engineStart(init), QVIM_OK);
    }
    void TearDown() override { engine.engineStop(); }

    std::unique_ptr<QVIMEvent> make(const im_wrapper_event_s& r) {
        return std::unique_ptr<QVIMEvent>(QVIMEvent::factory(engine, &r));
    }

    // Stores the record and positions the look-up by key on its row.
    sqlite3_stmt* storeAndSelect(QVIMEvent& record) {
        std::lock_guard<std::mutex> lock(engine.getDAL().storeLock());
        EXPECT_TRUE(record.storeItem());
        sqlite3_stmt* stmt = record.bindSelectByKey();
        EXPECT_EQ(sqlite3_step(stmt), SQLITE_ROW);
        return stmt;
    }

    static std::vector<std::string> names(const QVIMEvent::Fields& fields) {
        std::vector<std::string> out;
        for (const auto& field : fields) out.push_back(field.first);
        return out;
    }

    IMEngineHandleConcrete engine;
};

TEST_F(Records, FileOldFieldsFollowTheSelectAndNewFieldsTheStatementOrder) {
    const unsigned char md5[16] = {0xAB, 0x01};
    im_wrapper_event_s r{};
    r.entityType = "File";
    r.eventType = QVIM_EVENT_CHANGED;
    r.path = r.newKey = "/etc/hosts";
    r.size = 42;
    r.growing = true;
    r.permissions = "644";
    r.md5 = md5;
    auto record = make(r);
    sqlite3_stmt* stmt = storeAndSelect(*record);
    record->bufferOldFields(stmt, true);
    sqlite3_reset(stmt);

    const std::vector<std::string> selectOrder = {
        "blocksAllocated", "created", "deviceNumber", "flags",  "flagsAll", "group",     "inodeGenerationNumber",
        "inodeNumber",     "lastAccessed", "lastModified", "md5", "owner", "permissions", "sha1",
        "sha256",          "size",    "growing",      "shrinking", "symLinkPath"};
    EXPECT_EQ(names(record->bufferedFields), selectOrder);
    EXPECT_EQ(record->bufferedFields[10].second, "AB01000000000000000000000000000" "0");
    EXPECT_EQ(record->bufferedFields[15].second, "42");
    EXPECT_EQ(record->bufferedFields[11].second, "");  // NULL owner

    QVIMEvent::Fields fresh;
    record->bufferNewFields(fresh);
    const std::vector<std::string> statementOrder = {
        "blocksAllocated", "created", "deviceNumber", "flags", "flagsAll", "group", "growing",
        "inodeGenerationNumber", "inodeNumber", "lastAccessed", "lastModified", "md5", "owner",
        "permissions", "sha1", "sha256", "shrinking", "size", "symLinkPath"};
    EXPECT_EQ(names(fresh), statementOrder);
    EXPECT_EQ(fresh[6].second, "1");
    EXPECT_EQ(fresh[14].second, "(null)");
}

TEST_F(Records, ExportRowsCarryTheTypeOfEachColumn) {
    im_wrapper_event_s r{};
    r.entityType = "Process";
    r.eventType = QVIM_EVENT_CHANGED;
    r.processKey = r.newKey = "sshd/812";
    r.processID = -5;
    r.threads = 3;
    r.parentProcessID = 1;
    r.commandLine = "/usr/sbin/sshd -D";
    r.process = "sshd";  // NOT NULL column
    auto process = make(r);
    {
        std::lock_guard<std::mutex> lock(engine.getDAL().storeLock());
        ASSERT_TRUE(process->storeItem());
    }
    sqlite3_stmt* stmt = *engine.processTable()->getStmt(EventTypeTable::ExportFirst);
    sqlite3_bind_int(stmt, 1, 10);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    std::vector<std::pair<std::string, QVIMEvent::VariantField>> row;
    process->getRow(stmt, row, 7'000'000'000UL);
    sqlite3_reset(stmt);

    ASSERT_EQ(row.size(), 11u);
    EXPECT_EQ(row[0].first, "entityItemId");
    EXPECT_EQ(row[0].second.integer, 7'000'000'001LL);
    EXPECT_EQ(row[1].second.text, "sshd/812");
    EXPECT_EQ(row[2].first, "group");
    EXPECT_EQ(row[6].first, "processID");
    EXPECT_EQ(row[6].second.type, QVIMEvent::VariantField::Int64);  // 32-bit, exported wide
    EXPECT_EQ(row[6].second.integer, -5);
    EXPECT_EQ(row[7].second.text, "/usr/sbin/sshd -D");
    EXPECT_EQ(row[10].first, "recordTime");
    EXPECT_GT(row[10].second.integer, 0);

    im_wrapper_event_s p{};
    p.entityType = "Port";
    p.eventType = QVIM_EVENT_CHANGED;
    p.portKey = p.newKey = "tcp/0.0.0.0/22";
    auto port = make(p);
    {
        std::lock_guard<std::mutex> lock(engine.getDAL().storeLock());
        ASSERT_TRUE(port->storeItem());
    }
    stmt = *engine.portTable()->getStmt(EventTypeTable::ExportFirst);
    sqlite3_bind_int(stmt, 1, 10);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    row.clear();
    port->getRow(stmt, row, 0);
    sqlite3_reset(stmt);
    EXPECT_EQ(row[8].first, "processID");
    EXPECT_EQ(row[8].second.type, QVIMEvent::VariantField::Int32);
}

TEST_F(Records, EventValuesAreFormattedPerKindAndAttribute) {
    im_wrapper_event_s r{};
    r.entityType = "File";
    r.path = "/x";
    auto file = make(r);
    std::string value, display;
    file->getEventValues("permissions", "4755", value, display);
    EXPECT_EQ(value, "u::rws\ng::r-x\no::r-x");
    EXPECT_EQ(display, "user::rws\ngroup::r-x\nother::r-x");
    file->getEventValues("permissions", "1777", value, display);
    EXPECT_EQ(value, "u::rwx\ng::rwx\no::rwx");
    file->getEventValues("Owner", "0", value, display);
    EXPECT_EQ(value, "0");
    EXPECT_EQ(display, "");
    value = "kept";
    file->getEventValues("sha1", "2a", value, display);
    EXPECT_EQ(value, "kept");
    file->getEventValues("growing", "0", value, display);
    EXPECT_EQ(display, "false");

    r.entityType = "User";
    r.name = "alice";
    auto user = make(r);
    value.clear();
    display.clear();
    user->getEventValues("groups", "wheel:Administrators,users", value, display);
    EXPECT_EQ(value, "wheel,users");
    EXPECT_EQ(display, "Administrators,");
    user->getEventValues("passwordLastChanged", "19000", value, display);
    EXPECT_EQ(value, "19000000");
    user->getEventValues("user", "1000", value, display);
    EXPECT_EQ(display, "alice");
    user->getEventValues("disabled", "1", value, display);
    EXPECT_EQ(value, "true");

    r.entityType = "Process";
    auto process = make(r);
    process->getEventValues("group", "4000000", value, display);
    EXPECT_EQ(display, "4000000");
}

TEST_F(Records, UserPasswordChangeDaysTolerateNine) {
    im_wrapper_event_s r{};
    r.entityType = "User";
    r.eventType = QVIM_EVENT_CHANGED;
    r.name = r.newKey = "bob";
    r.passwordLastChanged = 100;
    auto stored = make(r);
    {
        std::lock_guard<std::mutex> lock(engine.getDAL().storeLock());
        ASSERT_TRUE(stored->storeItem());
    }
    for (int32_t seen : {109, 110}) {
        r.passwordLastChanged = seen;
        auto record = make(r);
        std::unordered_set<long long> rules{1};
        ASSERT_TRUE(engine.getDAL().writeItem(*record, false, &rules));
        EXPECT_EQ(static_cast<im_event_user&>(*record).passwordLastChanged, seen == 109 ? 100 : 110);
    }
    EXPECT_TRUE(loggedContaining("(EntityUserItems.passwordLastChanged == 100) != 110"));
    EXPECT_FALSE(loggedContaining("!= 109"));
}

TEST_F(Records, UnscannedRowsGiveBackTheirMatchableTexts) {
    im_wrapper_event_s r{};
    r.entityType = "InstalledSoftware";
    r.eventType = QVIM_EVENT_CHANGED;
    r.name = r.newKey = "bash-5.1";
    r.displayName = "bash";
    r.manufacturer = "GNU";
    r.version = "5.1";
    auto record = make(r);
    sqlite3_stmt* stmt = storeAndSelect(*record);
    im_wrapper_event_s blank{};
    auto empty = std::unique_ptr<QVIMEvent>(QVIMEvent::factory(engine, ENTITY_INSTALLED_SOFTWARE, &blank));
    empty->populateComparableMembers(stmt);
    sqlite3_reset(stmt);
    auto& software = static_cast<im_event_installed_software&>(*empty);
    EXPECT_EQ(software.displayName, "bash");
    EXPECT_EQ(software.manufacturer, "GNU");
    EXPECT_EQ(software.version, "");
}

}  // namespace
