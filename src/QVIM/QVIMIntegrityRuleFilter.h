// Rule model, pattern matching and the rule filter. (Interface fixed here so
// that event handling and the store can be written against it; the rules
// work fills in the model and the matching.)
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "qvim.h"

class im_event;
class QVIMStats;

class EntitySet {
public:
    entity_type type = ENTITY_UNKNOWN;
    long long ruleId = -1;
    std::vector<im_operation> operations;  // in the order written, duplicates kept
    bool block = false;
    bool realtime = false;
    std::unordered_set<std::string> attributes;  // watched attribute names, lower case
};

class IntegrityRule {
public:
    struct Enforcement {
        // Rule side: the enforcement tag of a real-time rule.
        bool enabled = false;
        bool allow = false;  // true: allow-type, false: block-type
        std::unordered_set<std::string> users;
        std::unordered_set<std::string> groups;
        std::string processName;
        // Notification side: the acting process of a real-time notification.
        std::string user;
        std::string groupsText;
        std::vector<std::string> groupList;
    };

    long long id = -1;
    std::string name;
    std::string identifier;
    std::string hash;
    int32_t severity = 0;
    std::vector<std::shared_ptr<EntitySet>> entitySets;
    Enforcement enforcement;

    // identifier + " - " + name, the name alone without identifier, "<empty>"
    // for an empty name: the rule's name in statistics, events and exports.
    std::string label() const;
};

class IntegrityRuleFilter {
public:
    IntegrityRuleFilter() = default;

    // Adds the ids of the rules whose sets select the entity (never removes).
    void matchRules(entity_type type, const im_event& entity, bool realtime,
                    std::unordered_set<long long>& ruleIds) const;
    // The rule, or empty with a WARNING.
    std::shared_ptr<IntegrityRule> getRuleById(long long id) const;
    bool shouldScanEntityType(entity_type type, bool realtime) const;
    // The sets filed for a rule id; an empty list for an id not filed here.
    const std::vector<std::shared_ptr<EntitySet>>& getRuleEntitySet(long long ruleId) const;
    // Removes every rule that does not watch the change (never adds).
    void matchRulesToAttributes(std::unordered_set<long long>& ruleIds, bool realtime,
                                const std::unordered_set<std::string>& changedAttributes, entity_type type,
                                im_operation operation) const;
};
