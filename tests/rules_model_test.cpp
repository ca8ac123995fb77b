// Rule documents: defaults, warnings, entity-set flags and malformed input.
#include <memory>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "QVIMIntegrityRuleFilter.h"
#include "QVIMJson.h"
#include "TestSupport.h"

using namespace qvim_test;

namespace {

IntegrityRule rule(const char* json) {
    CJsonPtr document(cJSON_Parse(json));
    EXPECT_NE(document, nullptr) << json;
    return IntegrityRule(document.get(), "guid-1");
}

std::shared_ptr<EntitySet> set(const char* json) {
    CJsonPtr document(cJSON_Parse(json));
    EXPECT_NE(document, nullptr) << json;
    return std::make_shared<EntitySet>(document.get(), "guid-1", false, 9);
}

using Names = std::unordered_set<std::string>;

}  // namespace

TEST(RuleModel, RuleMembersDefaultsAndWarnings) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    EXPECT_EQ(rule(R"({"id":"42"})").id, 42);
    EXPECT_EQ(rule(R"({"id":42.9})").id, 42);
    EXPECT_EQ(rule(R"({"id":"x"})").id, 0);
    EXPECT_FALSE(logged(QVIM_LOG_WARNING, "IntegrityRule: id is not a number or string"));
    EXPECT_EQ(rule(R"({"id":true})").id, -1);
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "IntegrityRule: id is not a number or string"));

    // Member names of a rule are case-insensitive.
    const IntegrityRule full = rule(R"({"ID":7,"Name":"watch","SEVERITY":"3","hash":"h","identifier":"X"})");
    EXPECT_EQ(full.id, 7);
    EXPECT_EQ(full.severity, 3);
    EXPECT_EQ(full.label(), "X - watch");
    EXPECT_EQ(rule(R"({"name":""})").label(), "<empty>");
}

TEST(RuleModel, RealtimeAndEnforcement) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    const char* tag = R"("enforcement":{"type":"block","users":["  root  ","\tadm"],"groups":["wheel"],"processName":"  sshd "})";
    const IntegrityRule blocking = rule((std::string(R"({"id":1,"realtime":"yes",)") + tag + "}").c_str());
    EXPECT_TRUE(blocking.enforcement.enabled);
    EXPECT_FALSE(blocking.enforcement.allow);
    EXPECT_EQ(blocking.enforcement.users, (Names{"root", "\tadm"}));
    EXPECT_EQ(blocking.enforcement.groups, Names{"wheel"});
    EXPECT_EQ(blocking.enforcement.processName, "sshd");

    // Only real-time rules read their enforcement; "False" counts as true.
    EXPECT_FALSE(rule((std::string(R"({"realtime":"FALSE",)") + tag + "}").c_str()).enforcement.enabled);
    EXPECT_FALSE(rule((std::string("{") + tag + "}").c_str()).enforcement.enabled);
    EXPECT_TRUE(rule((std::string(R"({"realtime":"False",)") + tag + "}").c_str()).enforcement.enabled);

    const IntegrityRule deny = rule(R"({"realtime":"true","enforcement":{"type":"deny","users":["root"]}})");
    EXPECT_FALSE(deny.enforcement.enabled);
    EXPECT_TRUE(deny.enforcement.users.empty());
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "IntegrityRule: enforcement type is neither 'allow' nor 'block': 'deny'"));
}

TEST(RuleModel, OperationsAndWatchedAttributes) {
    auto operations = set(R"({"entityType":"File","operations":" Create , DELETE,,bogus"})");
    EXPECT_EQ(operations->operations, (std::vector<im_operation>{IM_OP_CREATE, IM_OP_DELETE}));
    EXPECT_FALSE(operations->block);
    auto block = set(R"({"entityType":"File","Operations":"block"})");
    EXPECT_TRUE(block->operations.empty());
    EXPECT_TRUE(block->block);

    EXPECT_EQ(set(R"({"entityType":"File","attributes":"contents"})")->attributes, (Names{"sha1", "sha256"}));
    const Names fileDefaults{"created", "group", "lastmodified", "owner", "permissions",
                             "sha1",    "sha256", "size",        "symlinkpath"};
    EXPECT_EQ(set(R"({"entityType":"File","attributes":" , "})")->attributes, fileDefaults);
    Names withInode = fileDefaults;
    withInode.insert("inode");
    EXPECT_EQ(set(R"({"entityType":"File","attributes":"Standard,INODE"})")->attributes, withInode);
}

TEST(RuleModel, EntityTypesBasesAndDescent) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    EXPECT_EQ(set(R"({"entityType":"Fxyz"})")->type, ENTITY_FILE);
    EXPECT_EQ(set(R"({"entityType":"Port"})")->type, ENTITY_PORT);
    EXPECT_EQ(set(R"({"entityType":"Pxyz"})")->type, ENTITY_PROCESS);
    EXPECT_EQ(set(R"({"entityType":"file"})")->type, ENTITY_UNKNOWN);
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "EntitySet: unknown entity type: file"));

    for (const auto& [base, normalised, descends] :
         {std::tuple{"/etc", "/etc/", false}, {"/etc/*", "/etc/", false}, {"/etc/*/", "/etc/", false},
          {"/etc/**", "/etc/*", true}, {"/var/log/app*", "/var/log/app", true}, {"*", "", true}, {"", "/", false}}) {
        auto s = set((std::string(R"({"entityType":"File","base":")") + base + "\"}").c_str());
        EXPECT_EQ(s->base.get(), normalised) << base;
        EXPECT_EQ(s->descends, descends) << base;
        EXPECT_TRUE(s->based);
    }
    EXPECT_FALSE(set(R"({"entityType":"File","base":"/etc","includes":"*.conf"})")->descends);
    EXPECT_TRUE(set(R"({"entityType":"File","base":"/etc","includes":"ssh\\*.conf"})")->descends);
    EXPECT_TRUE(set(R"({"entityType":"Directory","base":"/etc"})")->descends);
    // Set members other than operations/attributes are case-sensitive.
    EXPECT_TRUE(set(R"({"entityType":"File","Includes":"x"})")->includes.empty());

    auto first = set(R"({"entityType":"User"})");
    auto second = set(R"({"entityType":"User"})");
    EXPECT_EQ(second->entitySetId, first->entitySetId + 1);
}

TEST(RuleModel, AttributeGroups) {
    auto s = set(R"({"entityType":"Process","includes_Owner":"root","and":{"includes":"a*","excludes_path":"/tmp/*",
                     "other":"x"},"excludes_owner":"nobody","and":{"includes_user":"u"}})");
    ASSERT_EQ(s->specialAttributes.size(), 3u);
    EXPECT_TRUE(s->specialAttributes[0]->m_and);
    EXPECT_EQ(s->specialAttributes[0]->includes, (SpecialAttributes::Conditions{{"key", "a*"}}));
    EXPECT_EQ(s->specialAttributes[0]->excludes, (SpecialAttributes::Conditions{{"path", "/tmp/*"}}));
    EXPECT_TRUE(s->specialAttributes[1]->m_and);
    const SpecialAttributes& loose = *s->specialAttributes[2];
    EXPECT_FALSE(loose.m_and);
    EXPECT_EQ(loose.includes, (SpecialAttributes::Conditions{{"owner", "root"}}));
    EXPECT_EQ(loose.excludes, (SpecialAttributes::Conditions{{"owner", "nobody"}}));
}

TEST(RuleModel, MembersOfTheWrongTypeCountAsAbsent) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    const IntegrityRule odd = rule(R"({"id":3,"name":5,"hash":[1],"realtime":true,"severity":{},
        "EntitySets":[{"entityType":3,"base":7,"includes":["a"],"operations":1,"and":"x","includes_user":2},
                      "not an object", [1,2], null]})");
    EXPECT_EQ(odd.name, "<empty>");
    EXPECT_TRUE(odd.hash.empty());
    EXPECT_EQ(odd.severity, 0);
    ASSERT_EQ(odd.entitySets.size(), 4u);
    for (const auto& s : odd.entitySets) {
        EXPECT_EQ(s->type, EntitySet::kNoEntityType);
        EXPECT_FALSE(s->realtime);
        EXPECT_TRUE(s->includes.empty());
        EXPECT_TRUE(s->attributes.empty());
        EXPECT_EQ(s->base.get(), "");
    }
    // Unreadable conditions still leave their groups, empty, so they select nothing.
    ASSERT_EQ(odd.entitySets[0]->specialAttributes.size(), 2u);
    for (const auto& group : odd.entitySets[0]->specialAttributes)
        EXPECT_TRUE(group->includes.empty() && group->excludes.empty());
    EXPECT_TRUE(odd.entitySets[1]->specialAttributes.empty());
    EXPECT_TRUE(loggedContaining("'entityType' is not a string"));
    EXPECT_TRUE(rule(R"({"id":1,"EntitySets":{"entityType":"File"}})").entitySets.empty());
}
