// Configuration: owns the installed rule filter. Readers take a shared
// snapshot, so an installation on another thread never destroys a filter
// that a scan or a real-time call is still matching against.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "qvim.h"

class EntitySet;
class IntegrityRuleFilter;

class QVIMConfig {
public:
    QVIMConfig();
    ~QVIMConfig();

    // The filter in force; never null.
    std::shared_ptr<const IntegrityRuleFilter> getFilter() const;
    // Replaces the filter in force; the old one lives on while readers hold it.
    void installFilter(std::shared_ptr<const IntegrityRuleFilter> filter);

    // Queries on the filter in force (see IntegrityRuleFilter). Callers that
    // need several answers from one ruleset take getFilter() once instead.
    void matchRulesToAttributes(std::unordered_set<long long>& ruleIds, bool realtime,
                                const std::unordered_set<std::string>& changedAttributes, entity_type type,
                                im_operation operation) const;

private:
    std::shared_ptr<const IntegrityRuleFilter> m_filter;
};
