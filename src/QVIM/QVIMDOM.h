// Configuration: owns the installed rule filter. Readers take a shared
// snapshot, so an installation on another thread never destroys a filter
// that a scan or a real-time call is still matching against.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "QVIMIntegrityRuleFilter.h"
#include "qvim.h"

class QVIMStats;

class QVIMConfig {
public:
    using TypeSet = std::unordered_set<entity_type, EntitySet::entity_typeHash>;

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
    // A copy, so that it stays valid when another ruleset is installed.
    std::vector<std::shared_ptr<EntitySet>> getRuleEntitySet(long long ruleId) const;

    // Counters of the rules in force become "unassigned" until the next
    // ruleset names them again.
    void updateStats(QVIMStats& stats, const char* ruleset, const char* guid);
    // Builds and installs the filter of a new ruleset and collects what
    // changed against the filter it replaces. keepBaseline: some rule
    // survived unchanged. Returns false when the ruleset cannot be read (an
    // empty filter is then in force).
    bool updateRuleset(QVIMStats& stats, const char* ruleset, const char* guid, bool& keepBaseline, TypeSet& types,
                       EntitySet::PartialBaselineBases& purgeBases, EntitySet::PartialBaselineBases& scanBases);

    // Whether a walk must enter folder (ending in '/') to reach the File
    // (type File) or Directory (other types) sets of filter.
    static bool matchBaseToRule(const IntegrityRuleFilter& filter, entity_type type, const std::string& folder);

private:
    std::shared_ptr<const IntegrityRuleFilter> m_filter;
};
