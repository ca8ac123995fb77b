#include "QVIMIntegrityRuleFilter.h"

// Placeholder bodies until the rules land: no rule matches anything.

std::string IntegrityRule::label() const {
    const std::string shown = name.empty() ? std::string("<empty>") : name;
    return identifier.empty() ? shown : identifier + " - " + shown;
}

void IntegrityRuleFilter::matchRules(entity_type, const im_event&, bool, std::unordered_set<long long>&) const {}

std::shared_ptr<IntegrityRule> IntegrityRuleFilter::getRuleById(long long) const { return nullptr; }

bool IntegrityRuleFilter::shouldScanEntityType(entity_type, bool) const { return false; }

const std::vector<std::shared_ptr<EntitySet>>& IntegrityRuleFilter::getRuleEntitySet(long long) const {
    static const std::vector<std::shared_ptr<EntitySet>> none;
    return none;
}

void IntegrityRuleFilter::matchRulesToAttributes(std::unordered_set<long long>& ruleIds, bool,
                                                 const std::unordered_set<std::string>&, entity_type,
                                                 im_operation) const {
    ruleIds.clear();
}
