// Configuration: the filter in force and the installation of a new ruleset,
// with what changed against the rules it replaces. Sections: the filter in
// force, ruleset installation.
#include "QVIMDOM.h"

#include <cassert>

#include "QVIMIntegrityRuleFilter.h"
#include "QVIMLogger.h"
#include "QVIMStats.h"
#include "QVIMUtilPlatformIndependent.h"

QVIMConfig::QVIMConfig() : m_filter(std::make_shared<const IntegrityRuleFilter>()) {}

QVIMConfig::~QVIMConfig() = default;

std::shared_ptr<const IntegrityRuleFilter> QVIMConfig::getFilter() const { return std::atomic_load(&m_filter); }

void QVIMConfig::installFilter(std::shared_ptr<const IntegrityRuleFilter> filter) {
    assert(filter != nullptr && "readers rely on a filter always being in force");
    std::atomic_store(&m_filter, std::move(filter));
}

void QVIMConfig::matchRulesToAttributes(std::unordered_set<long long>& ruleIds, bool realtime,
                                        const std::unordered_set<std::string>& changedAttributes, entity_type type,
                                        im_operation operation) const {
    getFilter()->matchRulesToAttributes(ruleIds, realtime, changedAttributes, type, operation);
}

std::vector<std::shared_ptr<EntitySet>> QVIMConfig::getRuleEntitySet(long long ruleId) const {
    return getFilter()->getRuleEntitySet(ruleId);
}

bool QVIMConfig::matchBaseToRule(const IntegrityRuleFilter& filter, entity_type type, const std::string& folder) {
    LOG_TRACE(QVIM_SRC_DOM, "matchBaseToRule", "match rule with base for folder %s ", folder.c_str());
    return filter.matchBaseToRule(type, folder);
}

// ---- Ruleset installation ---------------------------------------------------------

void QVIMConfig::updateStats(QVIMStats& stats, const char* ruleset, const char* guid) {
    LOG_TRACE(QVIM_SRC_DOM, "updateStats", "set ruleset call with json(%.1024s) with id(%s)",
              ruleset != nullptr ? ruleset : "", guid != nullptr ? guid : "");
    if (stats.MoveRulesetMap(QVIMStats::AssignedRules, QVIMStats::UnassignedRules)) {
        LOG_TRACE(QVIM_SRC_DOM, "updateStats", "Success Copying and Clearing assinged ruleset map");
    } else {
        LOG_TRACE(QVIM_SRC_DOM, "updateStats", "Failed Copying and Clearing assinged ruleset map");
    }
}

namespace {

// What a ruleset change touches: the kinds to rebuild and the bases whose
// rows go (purge) and whose folders are walked again (scan).
struct ChangeSets {
    QVIMConfig::TypeSet& types;
    EntitySet::PartialBaselineBases& purgeBases;
    EntitySet::PartialBaselineBases& scanBases;
    bool& keepBaseline;

    void add(const EntitySet& set, bool purge) {
        if (set.type != EntitySet::kNoEntityType) types.insert(set.type);
        if (set.type != ENTITY_FILE && set.type != ENTITY_DIRECTORY) return;
        scanBases.insert(set.base.get());
        if (purge) purgeBases.insert(set.base.get());
    }

    void addAll(const IntegrityRule& rule, bool purge) {
        for (const auto& set : rule.entitySets) add(*set, purge);
    }

    // Only what selects entities counts; attribute groups are never compared.
    static bool selectsTheSame(const EntitySet& a, const EntitySet& b) {
        return a.type == b.type && a.specialAttributes.empty() && b.specialAttributes.empty() &&
               a.base.get() == b.base.get() && a.includes == b.includes && a.excludes == b.excludes;
    }

    void compare(const IntegrityRule& before, const IntegrityRule& after) {
        if (before.hash == after.hash) {
            keepBaseline = true;
            return;
        }
        const auto& oldSets = before.entitySets;
        const auto& newSets = after.entitySets;
        const size_t common = std::min(oldSets.size(), newSets.size());
        for (size_t i = 0; i < common; ++i) {
            if (selectsTheSame(*oldSets[i], *newSets[i])) {
                keepBaseline = true;
            } else {
                add(*oldSets[i], true);
                add(*newSets[i], true);
            }
        }
        for (size_t i = common; i < newSets.size(); ++i) add(*newSets[i], false);
        for (size_t i = common; i < oldSets.size(); ++i) add(*oldSets[i], true);
    }
};

}  // namespace

bool QVIMConfig::updateRuleset(QVIMStats& stats, const char* ruleset, const char* guid, bool& keepBaseline,
                               TypeSet& types, EntitySet::PartialBaselineBases& purgeBases,
                               EntitySet::PartialBaselineBases& scanBases) {
    updateStats(stats, ruleset, guid);
    const std::shared_ptr<const IntegrityRuleFilter> previous = getFilter();
    auto next = std::make_shared<IntegrityRuleFilter>();
    const bool read = next->setRules(stats, ruleset, guid != nullptr ? guid : "");
    if (read) {
        ChangeSets changes{types, purgeBases, scanBases, keepBaseline};
        // The previous filter may still be in use elsewhere: track the rules
        // it had that the new ruleset dropped without touching it.
        std::unordered_set<long long> removed;
        removed.reserve(previous->rules().size());
        for (const auto& entry : previous->rules()) removed.insert(entry.first);
        for (const auto& [id, rule] : next->rules()) {
            const auto before = previous->rules().find(id);
            if (before == previous->rules().end()) {
                changes.addAll(*rule, false);
                continue;
            }
            changes.compare(*before->second, *rule);
            removed.erase(id);
        }
        for (long long id : removed) changes.addAll(*previous->rules().at(id), true);
        // A change at the root touches everything.
        if (keepBaseline && scanBases.count("/") != 0) keepBaseline = false;
    }
    installFilter(std::move(next));
    return read;
}
