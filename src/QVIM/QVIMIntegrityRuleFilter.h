// Rule model, pattern matching and the rule filter (placeholder until the
// rules land; the enforcement description is shared with event handling).
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

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
};

class IntegrityRuleFilter {
public:
    IntegrityRuleFilter() = default;
};
