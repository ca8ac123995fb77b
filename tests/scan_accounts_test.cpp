// The user and group scanners against the machine's own databases, and the
// reading of shadow password aging.
#include <sched.h>
#include <shadow.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "Linux/PortScanUtil.h"
#include "TestSupport.h"
#include "scan_capture.h"

using namespace qvim_test;

namespace {

// getent's fields of one database line.
std::vector<std::string> fields(const std::string& line) { return split(line, ':'); }

std::string qualified(const std::string& gid) {
    const auto entry = run("getent group " + gid);
    return gid + ":" + (entry.empty() ? "" : fields(entry[0])[0]);
}

using Accounts = ScannerTest;

TEST_F(Accounts, UsersMatchThePasswordShadowAndGroupDatabases) {
    ASSERT_EQ("ok, events", outcome(&CapturingScanner::scanUsers, SCAN_CHANGE_REALTIME));

    const auto days = [](const std::string& text) { return text.empty() ? 0 : std::stoi(text); };
    const auto expected = run("getent passwd");
    ASSERT_EQ(expected.size(), scanner.records.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto f = fields(expected[i]);
        ASSERT_GE(f.size(), 7u) << expected[i];
        const Captured& user = scanner.records[i];
        SCOPED_TRACE(f[0]);
        std::string groups;
        for (const std::string& gid : run("id -G " + f[0] + " | tr ' ' '\\n'"))
            if (gid != f[3]) groups += (groups.empty() ? "" : ",") + qualified(gid);
        EXPECT_EQ(joined({"User", f[0], f[0], f[2], f[4], f[5], f[6], qualified(f[3]), groups, "1"}),
                  joined({user.entityType, user.name, user.newKey, user.user, user.fullName, user.homeFolder,
                          user.logonShell, user.userGroup, user.groups, std::to_string(user.record.realTime)}));

        // Password aging as the shadow entry has it, all zero without one;
        // what the login rules make of it is checked below.
        const auto shadow = run("getent shadow " + f[0]);
        const auto s = shadow.empty() ? std::vector<std::string>(9) : fields(shadow[0]);
        ASSERT_GE(s.size(), 7u) << shadow[0];
        const im_wrapper_event_s& r = user.record;
        EXPECT_EQ(numbers(days(s[2]) * 86400, days(s[3]), days(s[4]), days(s[5]), days(s[6])),
                  numbers(r.passwordLastChanged, r.passwordMinDaysBetweenChanges, r.passwordExpiryInDays,
                          r.passwordWarningDays, r.passwordExpiredDaysBeforeDisabled));
    }
}

TEST_F(Accounts, AFailedUserOrAFullResponseEndsTheScan) {
    scanner.onRecord = [](const Captured&) { return false; };
    EXPECT_EQ("failed", outcome(&CapturingScanner::scanUsers, SCAN_CHANGE));
    ASSERT_EQ(1u, scanner.records.size()) << "later users are read but not processed";
    EXPECT_FALSE(scanner.records[0].record.realTime) << "real time only in real-time scans";

    // A response already at its event limit ends the reading at once.
    scanner.records.clear();
    im_wrapper_response_s full{};
    full.state = IM_MATCH_WITH_MAX_EVENTS;
    EXPECT_EQ("ok, events", outcome(&CapturingScanner::scanUsers, SCAN_CHANGE, full));
    EXPECT_TRUE(scanner.records.empty());
}

TEST_F(Accounts, GroupsMatchTheGroupDatabase) {
    ASSERT_EQ("ok, events", outcome(&CapturingScanner::scanGroups, SCAN_BASELINE));

    const auto expected = run("getent group");
    ASSERT_EQ(expected.size(), scanner.records.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto f = fields(expected[i]);
        ASSERT_GE(f.size(), 3u) << expected[i];
        const Captured& group = scanner.records[i];
        EXPECT_EQ(joined({"Group", f[0], f[0], f[2], f.size() > 3 ? f[3] : ""}),
                  joined({group.entityType, group.name, group.newKey, group.userGroup, group.members}));
    }

    EXPECT_EQ("0:root", getQualifiedGroupName(0));
    EXPECT_EQ("987654:", getQualifiedGroupName(987654));

    // A failed group stops the processing; the events text still comes back.
    scanner.records.clear();
    scanner.onRecord = [](const Captured&) { return false; };
    EXPECT_EQ("failed, events", outcome(&CapturingScanner::scanGroups, SCAN_CHANGE));
    EXPECT_EQ(1u, scanner.records.size());
}

// Names come from entries of any size. The account files are the test's own,
// bound over the system's in a mount namespace private to this process: a
// group whose member list is far longer than the usual lookup buffers, and a
// user with a long GECOS text, each followed by an entry the lookups must
// still reach.
TEST_F(Accounts, LongEntriesAndTheEntriesAfterThemKeepTheirNames) {
    if (geteuid() != 0) GTEST_SKIP() << "binding account files needs root";
    if (unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no private mount namespace: " << std::strerror(errno);
    ASSERT_EQ(0, mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) << std::strerror(errno);
    std::string members;
    for (int i = 0; members.size() < 70000; ++i) members += (i > 0 ? ",member-" : "member-") + std::to_string(i);
    writeFile("group", "root:x:0:\nqvbig:x:70001:" + members + "\nqvafter:x:70002:\n");
    writeFile("passwd", "root:x:0:0:root:/root:/bin/sh\nqvlong:x:70001:70002:" + std::string(10000, 'g') +
                            ":/:/bin/sh\nqvafter:x:70002:70002::/:/bin/sh\n");
    writeFile("shadow", "root:*:19000::::::\nqvlong:$6$" + std::string(10000, 'p') +
                            ":19001:0:99999:7:::\nqvafter:!:19002:0:99999:7:::\n");
    for (const char* name : {"group", "passwd", "shadow"})
        ASSERT_EQ(0, mount((testDirectory() + "/" + name).c_str(), (std::string("/etc/") + name).c_str(), nullptr,
                           MS_BIND, nullptr))
            << name << ": " << std::strerror(errno);

    const auto formatted = [](void (*format)(const std::string&, std::string&), const char* raw) {
        std::string out;
        format(raw, out);
        return out;
    };
    EXPECT_EQ("qvbig", formatted(QVIMEvent::format_group, "70001"));
    EXPECT_EQ("qvafter", formatted(QVIMEvent::format_group, "70002"));
    EXPECT_EQ("70003", formatted(QVIMEvent::format_group, "70003"));
    EXPECT_EQ("qvlong", formatted(QVIMEvent::format_user, "70001"));
    EXPECT_EQ("qvafter", formatted(QVIMEvent::format_user, "70002"));
    EXPECT_EQ("70002:qvafter", getQualifiedGroupName(70002));
    UserLookup ports;
    EXPECT_EQ("qvafter", ports.name(70002));
    ASSERT_EQ("ok, events", outcome(&CapturingScanner::scanUsers, SCAN_CHANGE));
    const Captured* after = scanner.find("qvafter");
    ASSERT_NE(nullptr, after);
    EXPECT_EQ(joined({"70002:qvafter", std::to_string(19002 * 86400)}),
              joined({after->userGroup, std::to_string(after->record.passwordLastChanged)}));

    // What a process rule's "includes_group" compares.
    im_wrapper_event_s r{};
    r.entityType = "Process";
    r.eventType = QVIM_EVENT_CHANGED;
    r.processKey = "1";
    r.userGroup = "70002";
    const std::unique_ptr<QVIMEvent> process(QVIMEvent::factory(engine.getDAL(), &r));
    ASSERT_NE(nullptr, process);
    std::string group;
    process->getSpecialAttributeValue("group", group);
    EXPECT_EQ("qvafter", group);

    // A lookup that always wants more room ends, at a bounded size.
    size_t largest = 0;
    EXPECT_EQ(ERANGE, withGrowingBuffer(-1, [&](char*, size_t size) {
                  largest = size;
                  return ERANGE;
              }));
    EXPECT_EQ(size_t{1} << 24, largest);
}

// Today is day 20000 in every case below.
struct ShadowCase {
    const char* what;
    const char* password;
    long changed, min, max, warn, inactive, expire;
    bool lockedOut, neverExpires, cannotChange, expired, disabled;
    int32_t expiry;
};

TEST(ShadowAging, FieldsFollowTheLoginRules) {
    const ShadowCase cases[] = {
        {"never expires", "$6$hash", 19990, 0, 99999, 7, -1, -1, false, true, false, false, false, 0},
        {"within its maximum", "$6$hash", 19950, 0, 90, 7, -1, -1, false, false, false, false, false, 0},
        {"exactly at its maximum", "$6$hash", 19910, 0, 90, 7, -1, -1, false, false, false, false, false, 0},
        {"past its maximum", "$6$hash", 19900, 0, 90, 7, 30, -1, false, false, false, true, false, 0},
        {"past maximum and inactivity", "$6$hash", 19800, 0, 90, 7, 30, -1, false, false, false, true, true, 0},
        {"must change at next login", "$6$hash", 0, 0, 90, 7, -1, -1, false, false, false, true, false, 0},
        {"aging disabled", "$6$hash", -1, -1, -1, -1, -1, -1, false, true, false, false, false, 0},
        {"expiry date reached", "!$6$hash", 19990, 5, 3, 7, -1, 19999, true, false, true, true, true,
         19999 * 86400},
        {"expiry date ahead", "*", 19990, -1, -1, -1, -1, 20001, true, true, false, false, false, 20001 * 86400},
        {"no password", "", 19990, -1, 99999, -1, -1, -1, false, true, false, false, false, 0},
    };
    for (const ShadowCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::string password = c.password;
        const spwd entry{nullptr, password.data(), c.changed, c.min, c.max, c.warn, c.inactive, c.expire, 0};
        im_wrapper_event_s record{};
        applyShadowEntry(record, entry, 20000);
        EXPECT_EQ(numbers(c.lockedOut, c.neverExpires, c.cannotChange, c.expired, c.disabled, c.expiry,
                          c.changed > 0 ? static_cast<int32_t>(c.changed * 86400) : 0, c.max == -1 ? 0 : c.max,
                          c.inactive == -1 ? 0 : c.inactive),
                  numbers(record.lockedOut, record.passwordNeverExpires, record.cannotChangePassword,
                          record.passwordHasExpired, record.disabled, record.passwordExpiry, record.passwordLastChanged,
                          record.passwordExpiryInDays, record.passwordExpiredDaysBeforeDisabled));
    }
}

}  // namespace
