// Record columns against the stored rows: old and new field orders, event
// values and the comparable members of unscanned rows.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "IMEngineHandleConcrete.h"
#include "QVIMEventAbstraction.h"
#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

using Names = std::vector<std::string>;

class Records : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(engine.engineStart(captureInit("records.db")), QVIM_OK); }
    void TearDown() override { engine.engineStop(); }

    std::unique_ptr<QVIMEvent> make(const im_wrapper_event_s& r) {
        return std::unique_ptr<QVIMEvent>(QVIMEvent::factory(engine.getDAL(), &r));
    }
    std::unique_ptr<QVIMEvent> stored(const im_wrapper_event_s& r) {
        auto record = make(r);
        MutexLock lock(record->store.storeLock());
        EXPECT_TRUE(record->storeItem());
        return record;
    }
    static Names names(const QVIMEvent::Fields& fields) {
        Names out;
        for (const auto& field : fields) out.push_back(field.first);
        return out;
    }

    IMEngineHandleConcrete engine;
    Entities entities;
};

TEST_F(Records, FileOldFieldsFollowTheSelectAndNewFieldsTheStatementOrder) {
    const unsigned char md5[16] = {0xAB, 0x01};
    im_wrapper_event_s r = entities.make("File", "/etc/hosts");
    r.size = 42;
    r.growing = true;
    r.permissions = "644";
    r.md5 = md5;
    auto record = stored(r);
    MutexLock lock(record->store.storeLock());
    sqlite3_stmt* stmt = record->bindSelectByKey();
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    record->bufferOldFields(stmt, true);
    sqlite3_reset(stmt);

    ASSERT_EQ(names(record->bufferedFields),
              (Names{"blocksAllocated", "created", "deviceNumber", "flags", "flagsAll", "group",
                     "inodeGenerationNumber", "inodeNumber", "lastAccessed", "lastModified", "md5", "owner",
                     "permissions", "sha1", "sha256", "size", "growing", "shrinking", "symLinkPath"}));
    EXPECT_EQ(record->bufferedFields[10].second, "AB01" + std::string(28, '0'));
    EXPECT_EQ(record->bufferedFields[11].second, "");  // NULL owner
    EXPECT_EQ(record->bufferedFields[15].second, "42");

    QVIMEvent::Fields fresh;
    record->bufferNewFields(fresh);
    ASSERT_EQ(names(fresh), (Names{"blocksAllocated", "created", "deviceNumber", "flags", "flagsAll", "group",
                                   "growing", "inodeGenerationNumber", "inodeNumber", "lastAccessed", "lastModified",
                                   "md5", "owner", "permissions", "sha1", "sha256", "shrinking", "size",
                                   "symLinkPath"}));
    EXPECT_EQ(fresh[6].second, "1");
    EXPECT_EQ(fresh[14].second, "(null)");
}

TEST_F(Records, EventValuesAreFormattedPerKindAndAttribute) {
    struct Case {
        const char* kind;
        const char* attribute;
        const char* stored;
        const char* value;    // "kept": left as it was; nullptr: not checked
        const char* display;  // nullptr: not checked
    };
    const Case cases[] = {
        {"File", "permissions", "4755", "u::rws\ng::r-x\no::r-x", "user::rws\ngroup::r-x\nother::r-x"},
        {"File", "permissions", "1777", "u::rwx\ng::rwx\no::rwx", nullptr},
        {"File", "Owner", "0", "0", ""},
        {"File", "sha1", "2a", "kept", nullptr},
        {"File", "growing", "0", nullptr, "false"},
        {"User", "groups", "wheel:Administrators,users", "wheel,users", "Administrators,"},
        {"User", "passwordLastChanged", "19000", "19000000", nullptr},
        {"User", "user", "1000", nullptr, "alice"},
        {"User", "disabled", "1", "true", nullptr},
        {"Process", "group", "4000000", nullptr, "4000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.attribute);
        auto record = make(entities.make(c.kind, "alice"));
        // Lists are appended to what the caller holds: start empty unless checking it is kept.
        std::string value = c.value != nullptr && std::string(c.value) == "kept" ? "kept" : "", display;
        record->getEventValues(c.attribute, c.stored, value, display);
        if (c.value != nullptr) {
            EXPECT_EQ(value, c.value);
        }
        if (c.display != nullptr) {
            EXPECT_EQ(display, c.display);
        }
    }
}

TEST_F(Records, UserPasswordChangeDaysTolerateNine) {
    im_wrapper_event_s r = entities.make("User", "bob");
    r.passwordLastChanged = 100;
    stored(r);
    std::unordered_set<long long> rules{1};
    for (int32_t seen : {109, 110}) {
        r.passwordLastChanged = seen;
        auto record = make(r);
        ASSERT_TRUE(engine.getDAL().writeItem(*record, false, &rules));
        EXPECT_EQ(static_cast<im_event_user&>(*record).passwordLastChanged, seen == 109 ? 100 : 110);
    }
    EXPECT_TRUE(loggedContaining("(EntityUserItems.passwordLastChanged == 100) != 110"));
    EXPECT_FALSE(loggedContaining("!= 109"));
}

// What rule conditions read from a record: the names are the rules' (lower
// case), the values the record's own fields; other names leave the value alone.
TEST_F(Records, KindsAnswerTheAttributeNamesOfRuleConditions) {
    im_wrapper_event_s process = entities.make("Process", "100");
    process.commandLine = "sshd -D";
    process.path = "/usr/sbin/sshd";
    im_wrapper_event_s port = entities.make("Port", "tcp/0.0.0.0/22");
    port.path = "/usr/sbin/sshd";
    port.process = "sshd";
    im_wrapper_event_s software = entities.make("InstalledSoftware", "openssh");
    software.displayName = "OpenSSH";
    software.manufacturer = "Debian";
    struct Case {
        const im_wrapper_event_s* record;
        const char* name;
        const char* value;
    };
    for (const Case& c : {Case{&process, "commandline", "sshd -D"}, Case{&process, "path", "/usr/sbin/sshd"},
                          Case{&process, "commandLine", "kept"}, Case{&port, "path", "/usr/sbin/sshd"},
                          Case{&port, "process", "sshd"}, Case{&software, "name", "OpenSSH"},
                          Case{&software, "manufacturer", "Debian"}, Case{&software, "path", "kept"}}) {
        std::string value = "kept";
        make(*c.record)->getSpecialAttributeValue(c.name, value);
        EXPECT_EQ(value, c.value) << c.record->entityType << "." << c.name;
    }
}

TEST_F(Records, UnscannedRowsGiveBackTheirMatchableTexts) {
    im_wrapper_event_s r = entities.make("InstalledSoftware", "bash-5.1");
    r.displayName = "bash";
    r.manufacturer = "GNU";
    r.version = "5.1";
    auto record = stored(r);
    MutexLock lock(record->store.storeLock());
    sqlite3_stmt* stmt = record->bindSelectByKey();
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    im_wrapper_event_s blank{};
    auto empty = std::unique_ptr<QVIMEvent>(QVIMEvent::factory(engine.getDAL(), ENTITY_INSTALLED_SOFTWARE, &blank));
    empty->populateComparableMembers(stmt);
    sqlite3_reset(stmt);
    const auto& software = static_cast<im_event_installed_software&>(*empty);
    EXPECT_EQ(software.displayName, "bash");
    EXPECT_EQ(software.manufacturer, "GNU");
    EXPECT_EQ(software.version, "");
}

}  // namespace
