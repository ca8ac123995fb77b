// Pattern matching, special attribute groups and the rule filter's searches.
#include <map>
#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "QVIMIntegrityRuleFilter.h"
#include "QVIMStats.h"
#include "QVIMUtilPlatformIndependent.h"
#include "TestSupport.h"

using namespace qvim_test;

namespace {

using Ids = std::unordered_set<long long>;

// An observation as the rules read it: its key and the attribute values a
// record of its kind answers.
struct Observation : AttributeReader {
    std::string key;
    std::map<std::string, std::string> values;

    const std::string& matchKey() const override { return key; }
    void getSpecialAttributeValue(const std::string& name, std::string& value) const override {
        const auto found = values.find(name);
        if (found != values.end()) value = found->second;
    }
};

struct Fixture {
    QVIMStats stats;
    IntegrityRuleFilter filter;

    // The log capture needs a started engine (startEngine, once per test).
    explicit Fixture(const std::string& rules) {
        EXPECT_TRUE(filter.setRules(stats, ("{\"IntegrityRules\":[" + rules + "]}").c_str(), "g"));
    }

    Ids match(const char* type, const char* key, bool realtime = false, const char* commandLine = nullptr,
              const char* path = nullptr) {
        Observation entity;
        entity.key = key;
        if (commandLine != nullptr) entity.values["commandline"] = commandLine;
        if (path != nullptr) entity.values["path"] = path;
        Ids ids;
        filter.matchRules(parseEntityTypeName(type), entity, realtime, ids);
        return ids;
    }
};

std::string fileSet(int id, const char* base, const char* extra = "") {
    return "{\"id\":" + std::to_string(id) + ",\"EntitySets\":[{\"entityType\":\"File\",\"base\":\"" + base + "\"" +
           extra + "}]}";
}

std::vector<std::string> visitedBases() {
    std::vector<std::string> bases;
    for (const LogLine& line : capturedLog())
        if (line.message.rfind("match base ", 0) == 0)
            bases.push_back(line.message.substr(11, line.message.find(" with folder") - 11));
    return bases;
}

}  // namespace

TEST(PatternMatching, PathStyle) {
    for (const auto& [text, pattern, match] : {
             std::tuple{"a.conf", "*.conf", true},   {"sub/a.conf", "*.conf", false},
             {"sub/a.conf", "**/*.conf", true},      {"a/b/c.conf", "**/*.conf", true},
             {"conf", "conf/**", true},              {"conf/x/y", "conf/**", true},
             {"logs/a.txt", "logs/*", true},         {"logs/a/b.txt", "logs/*", false},
             {"logs/a/b.txt", "logs/", true},        {"x/logs/a", "*/logs/", true},
             {"", "**", true},                       {"", "**/*", true},
             {"", "*", true},                        {"", "?", false},
             {"ssh/sshd_config", "conf", true},      {"xz.conf", "**/z.conf", true},
             {"a/xz.conf", "**/z.conf", false},      {"a\\b", "*", false},
             {"a\\b.c", "a\\?.c", true},             {"a/b", "a?b", false},
             {"a\\b\\c.conf", "**\\c.conf", true},     {"ab", "a?", true},
         })
        EXPECT_EQ(MatchFunction(text, pattern), match) << text << " ~ " << pattern;
}

TEST(PatternMatching, PlainStyleAndLists) {
    // '*' crosses separators here, and a plain word is a substring.
    for (const auto& [text, pattern, match] : {std::tuple{"notroot", "root", true}, {"root", "ro?t", true},
                                               {"rooot", "ro?t", false}, {"", "*", true}, {"/usr/bin/x", "*/x", true},
                                               {"aXbXc", "a*b*c", true}, {"aXbX", "a*b*c", false}})
        EXPECT_EQ(MatchPlain(text, pattern), match) << text << " ~ " << pattern;

    ASSERT_EQ(startEngine(), QVIM_OK);
    EXPECT_TRUE(MatchEventPathWithRulePath("a.log", " ; *.log ;", true, true));
    EXPECT_FALSE(MatchEventPathWithRulePath("a.log", " ; \t;", true, false));
    EXPECT_FALSE(MatchEventPathWithRulePath("a.log", " ; \t;", true, true));

    clearCapturedLog();
    EXPECT_TRUE(MatchEventPathWithRulePath("a.log", "*.log;a*", true, false));
    int found = 0;
    for (const LogLine& line : capturedLog()) found += line.message.rfind("Match found between", 0) == 0;
    EXPECT_EQ(found, 1);  // any mode stops at the first match
    EXPECT_FALSE(MatchEventPathWithRulePath("a.log", "*.log;b*;a*", true, true));
    EXPECT_FALSE(loggedContaining("rule path [a*]"));  // all mode stops at the first miss
}

TEST(RuleFilter, BaseSearchVisitsLeadingBasesAndStops) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    Fixture f(fileSet(1, "/") + "," + fileSet(2, "/etc/") + "," + fileSet(3, "/etc/ssh/") + "," + fileSet(4, "/usr/") +
              "," + fileSet(5, "/etc/", R"(,"includes":"*.conf")"));
    clearCapturedLog();
    // Includes compare the base-relative key: "ssh/sshd.conf" is not "*.conf".
    EXPECT_EQ(f.match("File", "/etc/ssh/sshd.conf"), (Ids{1, 2, 3}));
    EXPECT_EQ(visitedBases(), (std::vector<std::string>{"/etc/ssh/", "/etc/", "/"}));
    EXPECT_EQ(f.match("File", "/etc/hosts.conf"), (Ids{1, 2, 5}));

    // Excludes too: "*.log" drops a log at the base's own level, not one below it.
    Fixture logs(fileSet(1, "/data/", R"(,"excludes":"*.log")"));
    EXPECT_TRUE(logs.match("File", "/data/a.log").empty());
    EXPECT_EQ(logs.match("File", "/data/a.txt"), Ids{1});
    EXPECT_EQ(logs.match("File", "/data/sub/a.log"), Ids{1});

    // A directory is matched by its key without the trailing '/'.
    Fixture dirs(R"({"id":1,"EntitySets":[{"entityType":"Directory","base":"/etc/ssh/"}]},
                    {"id":2,"EntitySets":[{"entityType":"Directory","base":"/etc/","includes":"ssh"}]})");
    EXPECT_EQ(dirs.match("Directory", "/etc/ssh/"), Ids{2});

    // A key under no top directory: the search stops after the first base it tries.
    Fixture other(fileSet(1, "/etc/") + "," + fileSet(2, "/opt/x/"));
    clearCapturedLog();
    EXPECT_TRUE(other.match("File", "/var/log/y").empty());
    EXPECT_EQ(visitedBases(), std::vector<std::string>{"/opt/x/"});
}

TEST(RuleFilter, RealtimeSelection) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    Fixture f(R"({"id":1,"realtime":"true","EntitySets":[{"entityType":"File","base":"/etc/"}]},
                 {"id":2,"EntitySets":[{"entityType":"File","base":"/etc/"}]},
                 {"id":3,"EntitySets":[{"entityType":"File","base":"/etc/","and":{"includes":"*"}}]})");
    EXPECT_EQ(f.match("File", "/etc/passwd", true), (Ids{1, 3}));
    EXPECT_EQ(f.match("File", "/etc/passwd", false), (Ids{1, 2, 3}));
    EXPECT_TRUE(f.filter.shouldScanEntityType(ENTITY_DIRECTORY, true));  // through the real-time File set
    EXPECT_FALSE(f.filter.shouldScanEntityType(ENTITY_USER, false));
    EXPECT_FALSE(f.filter.shouldScanEntityType(ENTITY_ALL, false));
}

TEST(RuleFilter, SpecialAttributeGroups) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    // The "and" group needs both conditions; the loose group one of them.
    Fixture f(R"({"id":1,"EntitySets":[{"entityType":"Process",
                    "and":{"includes_path":"/usr/sbin/*","includes_commandline":"*-D*"}}]},
                 {"id":2,"EntitySets":[{"entityType":"Process",
                    "includes_path":"/usr/sbin/*","includes_commandline":"*-D*"}]},
                 {"id":3,"EntitySets":[{"entityType":"Process","includes":"ssh",
                    "excludes_commandline":"debug"}]})");
    EXPECT_EQ(f.match("Process", "100", false, "sshd -D", "/usr/sbin/sshd"), (Ids{1, 2}));
    EXPECT_EQ(f.match("Process", "sshd", false, "sshd -D", "/opt/sshd"), (Ids{2, 3}));
    EXPECT_EQ(f.match("Process", "sshd", false, "sshd -D debug", "/usr/sbin/sshd"), (Ids{1, 2}));
    // An attribute without a value decides nothing, in either kind of group.
    EXPECT_TRUE(f.match("Process", "100", false, nullptr, nullptr).empty());

    // Entries are tested in byte order: "commandline" before "path".
    clearCapturedLog();
    EXPECT_TRUE(f.match("Process", "1", false, "bash", "/usr/sbin/sshd").count(1) == 0);
    EXPECT_TRUE(loggedContaining("w/attributeValue: 'bash', patterns: '*-D*', and m_and: 'true'"));
    EXPECT_FALSE(loggedContaining("w/attributeValue: '/usr/sbin/sshd', patterns: '/usr/sbin/*', and m_and: 'true'"));

    // A key condition of a File set uses the base-relative path, and so do the set's excludes.
    Fixture g(fileSet(1, "/etc/", R"(,"excludes":"b*","and":{"includes":"*.conf","includes_casesensitive":"maybe"})"));
    EXPECT_EQ(g.match("File", "/etc/a.conf"), Ids{1});
    EXPECT_TRUE(g.match("File", "/etc/b.conf").empty());
    EXPECT_TRUE(g.match("File", "/etc/ssh/a.conf").empty());
    EXPECT_TRUE(g.match("File", "/etcetera/a.conf").empty());
    EXPECT_TRUE(logged(QVIM_LOG_WARNING,
                       "SpecialAttributes: casesensitive value is invalid: 'maybe'. Assuming default: 'true'"));
}

// A set whose conditions cannot be read never selects more than one whose
// conditions can: it selects nothing, whatever the kind or the other members.
TEST(RuleFilter, UnreadableConditionsSelectNothing) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    Fixture f(R"({"id":1,"EntitySets":[{"entityType":"Process","and":"x"}]},
                 {"id":2,"EntitySets":[{"entityType":"Process","and":["includes_path","/"]}]},
                 {"id":3,"EntitySets":[{"entityType":"Process","includes_path":7}]},
                 {"id":4,"EntitySets":[{"entityType":"Process","and":{"includes_path":"/usr/*"}}]},
                 {"id":5,"EntitySets":[{"entityType":"Process","includes_path":"/usr/*","excludes_user":[]}]})");
    EXPECT_EQ(f.match("Process", "100", false, "sshd", "/usr/sbin/sshd"), (Ids{4, 5}));
    EXPECT_TRUE(f.match("Process", "101", false, "evil", "/tmp/evil").empty());
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "EntitySet: member 'and' is not an object and selects nothing"));

    Fixture g(fileSet(1, "/etc/", R"(,"and":null)") + "," + fileSet(2, "/etc/", R"(,"and":{"includes":"*.conf"})"));
    EXPECT_EQ(g.match("File", "/etc/a.conf"), Ids{2});
    EXPECT_TRUE(g.match("File", "/etc/passwd").empty());
}

TEST(RuleFilter, MatchRulesToAttributes) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    Fixture f(R"({"id":1,"EntitySets":[{"entityType":"File","attributes":"owner"}]},
                 {"id":2,"EntitySets":[{"entityType":"File","attributes":"size","operations":"update"}]},
                 {"id":3,"EntitySets":[{"entityType":"Directory"},{"entityType":"File","attributes":"size"}]},
                 {"id":4,"realtime":"true","EntitySets":[{"entityType":"File","attributes":"owner"}]})");
    const auto narrowed = [&](const Ids& ids, std::unordered_set<std::string> changed, im_operation op,
                              bool realtime = false, entity_type type = ENTITY_FILE) {
        Ids result = ids;
        f.filter.matchRulesToAttributes(result, realtime, changed, type, op);
        return result;
    };
    const Ids all{1, 2, 3, 4, 77};
    EXPECT_EQ(narrowed(all, {"*"}, IM_OP_UPDATE), (Ids{1, 2, 3, 4}));
    EXPECT_EQ(narrowed(all, {"*"}, IM_OP_CREATE), (Ids{1, 3, 4}));
    EXPECT_EQ(narrowed(all, {"Owner"}, IM_OP_UPDATE), (Ids{1, 4}));
    EXPECT_EQ(narrowed(all, {"Owner"}, IM_OP_UPDATE, true), Ids{4});
    EXPECT_EQ(narrowed(all, {"size"}, IM_OP_UPDATE), (Ids{2, 3}));
    EXPECT_EQ(narrowed(all, {"group"}, IM_OP_UPDATE, false, ENTITY_DIRECTORY), Ids{3});
    EXPECT_TRUE(narrowed(all, {}, IM_OP_UPDATE).empty());
}

TEST(RuleFilter, DocumentErrorsAndDroppedRules) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    QVIMStats stats;
    IntegrityRuleFilter filter;
    EXPECT_FALSE(filter.setRules(stats, "[]", "g"));
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "there are no IntegrityRules in ruleset []"));
    // A list that is not an array is refused too, not read as no rules.
    EXPECT_FALSE(filter.setRules(stats, "{\"IntegrityRules\":{}}", "g"));
    EXPECT_FALSE(filter.setRules(stats, "{\"IntegrityRules\":", "g"));
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "cannot parse ruleset {\"IntegrityRules\":"));

    ASSERT_TRUE(filter.setRules(stats, "{\"integrityrules\":[]}", "g"));
    for (int type = ENTITY_ALL; type <= ENTITY_UNKNOWN; ++type)
        EXPECT_FALSE(filter.shouldScanEntityType(static_cast<entity_type>(type), false));

    ASSERT_TRUE(filter.setRules(stats, R"({"IntegrityRules":[{"name":"N","identifier":"X"},{},
        {"id":5,"name":"kept","realtime":"true","enforcement":{"type":"allow"},
         "EntitySets":[{"base":"/"},{"entityType":"Group"}]}]})", "g"));
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "rule X - N has no rule id"));
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "rule <empty> has no rule id"));
    EXPECT_EQ(filter.getRuleById(-1), nullptr);
    EXPECT_EQ(filter.getRuleEntitySet(5).size(), 2u);
    EXPECT_EQ(stats.Get("numEnforcementRules"), 1);
    // The set without a type stays out of every package.
    EXPECT_FALSE(filter.shouldScanEntityType(ENTITY_PROCESS, false));
    EXPECT_FALSE(filter.shouldScanEntityType(ENTITY_FILE, false));
    EXPECT_TRUE(filter.shouldScanEntityType(ENTITY_GROUP, true));
}
