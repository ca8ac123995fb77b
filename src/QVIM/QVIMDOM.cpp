#include "QVIMDOM.h"

#include "IMEngineHandleConcrete.h"

#include "QVIMIntegrityRuleFilter.h"

QVIMConfig::QVIMConfig() : m_filter(std::make_shared<const IntegrityRuleFilter>()) {}

QVIMConfig::~QVIMConfig() = default;

std::shared_ptr<const IntegrityRuleFilter> QVIMConfig::getFilter() const { return std::atomic_load(&m_filter); }

void QVIMConfig::installFilter(std::shared_ptr<const IntegrityRuleFilter> filter) {
    std::atomic_store(&m_filter, std::move(filter));
}

void QVIMConfig::matchRulesToAttributes(std::unordered_set<long long>& ruleIds, bool realtime,
                                        const std::unordered_set<std::string>& changedAttributes, entity_type type,
                                        im_operation operation) const {
    getFilter()->matchRulesToAttributes(ruleIds, realtime, changedAttributes, type, operation);
}

// ---- Ruleset installation (built with the rules work) -----------------------------

qvim_status IMEngineHandleConcrete::setRuleset(bool, const char*, const char*) { return operationNotBuilt("setRuleset"); }
