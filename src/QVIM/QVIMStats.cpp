// Engine counters: named and per-rule counters under one lock, and the
// documents built from them. Sections: counters, the metrics documents and
// their restoration.
#include "QVIMStats.h"

#include <climits>
#include <cmath>

#include "QVIMJson.h"
#include "QVIMLogger.h"

namespace {

// Rule maps are saved and reported only up to this many entries.
constexpr size_t kMaxListedRules = 100;

void addCounters(cJSON* object, const std::map<std::string, int64_t>& counters, size_t limit) {
    size_t n = 0;
    std::string repaired;  // rule names come from the ruleset as they are
    for (const auto& [name, value] : counters) {
        if (n++ == limit) break;
        cJSON_AddItemToObject(object, wellFormedUtf8(name, repaired).c_str(),
                              cJSON_CreateNumber(static_cast<double>(value)));
    }
}

int64_t toCounter(const cJSON* item) {
    const double value = cJSON_GetNumberValue(item);
    if (std::isnan(value)) return 0;
    if (value >= 9.2233720368547758e18) return INT64_MAX;
    if (value <= -9.2233720368547758e18) return INT64_MIN;
    return static_cast<int64_t>(value);  // toward zero
}

}  // namespace

QVIMStats::CounterMap* QVIMStats::typed(int type) {
    switch (type) {
        case Typed1: return &m_typed1;
        case Typed2: return &m_typed2;
        case AssignedRules: return &m_assigned;
        case UnassignedRules: return &m_unassigned;
        default: return nullptr;
    }
}

const QVIMStats::CounterMap* QVIMStats::typed(int type) const {
    return const_cast<QVIMStats*>(this)->typed(type);
}

void QVIMStats::Set(const std::string& name, long value) {
    MutexLock lock(m_lock);
    m_general[name] = value;
}

long QVIMStats::Get(const std::string& name) const {
    MutexLock lock(m_lock);
    auto it = m_general.find(name);
    return it == m_general.end() ? 0 : it->second;
}

void QVIMStats::Inc(const std::string& name) { Add(name, 1); }

void QVIMStats::Add(const std::string& name, long delta) {
    MutexLock lock(m_lock);
    // Hosts give sizes of any value, and persisted counters come back as they
    // were saved: a counter stops at its limit instead of overflowing.
    long& counter = m_general[name];
    if (__builtin_add_overflow(counter, delta, &counter)) counter = delta > 0 ? LONG_MAX : LONG_MIN;
}

void QVIMStats::SetType(int type, const std::string& name, long value) {
    MutexLock lock(m_lock);
    if (CounterMap* map = typed(type)) (*map)[name] = value;
}

void QVIMStats::IncType(int type, const std::string& name) {
    MutexLock lock(m_lock);
    if (CounterMap* map = typed(type)) ++(*map)[name];
}

long QVIMStats::GetType(int type, const std::string& name) const {
    MutexLock lock(m_lock);
    const CounterMap* map = typed(type);
    if (map == nullptr) return 0;
    auto it = map->find(name);
    return it == map->end() ? 0 : it->second;
}

void QVIMStats::ClearType(int type, const std::string& prefix) {
    MutexLock lock(m_lock);
    CounterMap* map = typed(type);
    if (map == nullptr) return;
    // Keys with the prefix form one contiguous range of the ordered map.
    auto it = map->lower_bound(prefix);
    while (it != map->end() && it->first.compare(0, prefix.size(), prefix) == 0) it = map->erase(it);
}

void QVIMStats::ClearMap(int which) {
    MutexLock lock(m_lock);
    switch (which) {
        case AssignedRules: m_assigned.clear(); break;
        case UnassignedRules: m_unassigned.clear(); break;
        case General: m_general.clear(); break;
        default: break;
    }
}

bool QVIMStats::copyRulesetMapLocked(int from, int to) {
    const bool valid = (from == AssignedRules || from == UnassignedRules) &&
                       (to == AssignedRules || to == UnassignedRules);
    if (!valid) {
        LOG_TRACE(QVIM_SRC_STATS, "CopyRulesetMap", "fromMap or toMap is null \n");
        return false;
    }
    CounterMap* source = typed(from);
    CounterMap* target = typed(to);
    if (source == target) {
        for (auto& entry : *source) entry.second += entry.second;
        return true;
    }
    for (const auto& [name, value] : *source) (*target)[name] += value;
    return true;
}

bool QVIMStats::CopyRulesetMap(int from, int to) {
    MutexLock lock(m_lock);
    return copyRulesetMapLocked(from, to);
}

bool QVIMStats::MoveRulesetMap(int from, int to) {
    MutexLock lock(m_lock);
    if (!copyRulesetMapLocked(from, to)) return false;
    if (from != to) typed(from)->clear();
    return true;
}

void QVIMStats::reset() {
    MutexLock lock(m_lock);
    m_general.clear();
    m_typed1.clear();
    m_typed2.clear();
    m_assigned.clear();
    m_unassigned.clear();
}

namespace {

// Prints the document into *out (the JSON library's allocator); a null out
// is logged at the given level from function.
bool handOut(const CJsonPtr& root, char** out, uint32_t level, const char* function) {
    char* text = cJSON_PrintUnformatted(root.get());
    if (out == nullptr) {
        cJSON_free(text);
        QVIM_LOG(level, QVIM_SRC_STATS, function, "paramter is null \n");
        return false;
    }
    *out = text;
    return text != nullptr;
}

}  // namespace

CJsonPtr QVIMStats::buildCounterDocument(cJSON*& metrics, size_t& totalAssigned) const {
    CJsonPtr root(cJSON_CreateObject());
    metrics = cJSON_AddObjectToObject(root.get(), "metrics");
    {
        MutexLock guard(m_lock);
        addCounters(metrics, m_general, SIZE_MAX);
    }
    {
        MutexLock guard(m_lock);
        addCounters(cJSON_AddObjectToObject(metrics, "assignedRules"), m_assigned, kMaxListedRules);
        totalAssigned = m_assigned.size();
    }
    {
        MutexLock guard(m_lock);
        addCounters(cJSON_AddObjectToObject(metrics, "unassignedRules"), m_unassigned, kMaxListedRules);
    }
    return root;
}

bool QVIMStats::GetMetrics(const std::function<void(cJSON* metrics)>& addStore, char** out) {
    cJSON* metrics = nullptr;
    size_t totalAssigned = 0;
    CJsonPtr root = buildCounterDocument(metrics, totalAssigned);
    cJSON_AddNumberToObject(metrics, "totalAssignedRules", static_cast<double>(totalAssigned));
    addStore(metrics);
    return handOut(root, out, QVIM_LOG_ERROR, "GetMetrics");
}

bool QVIMStats::GetMetricsForPersistence(char** out) {
    cJSON* metrics = nullptr;
    size_t totalAssigned = 0;
    CJsonPtr root = buildCounterDocument(metrics, totalAssigned);
    return handOut(root, out, QVIM_LOG_TRACE, "GetMetricsForPersistence");
}

bool QVIMStats::SetMetricsFromPersistence(const std::string& text) {
    CJsonPtr root(cJSON_Parse(text.c_str()));
    if (!root) return true;
    const cJSON* metrics = cJSON_GetObjectItem(root.get(), "metrics");
    if (metrics == nullptr) {
        LOG_TRACE(QVIM_SRC_STATS, "SetMetricsFromPersistence", "No metrics object found\n");
        LOG_TRACE(QVIM_SRC_STATS, "SetMetricsFromPersistence", "No assignedRulesets object found\n");
        LOG_TRACE(QVIM_SRC_STATS, "SetMetricsFromPersistence", "No unassignedRulesets object found\n");
        return false;
    }
    {
        MutexLock lock(m_lock);
        for (const cJSON* item = metrics->child; item != nullptr; item = item->next) {
            if (item->string == nullptr || !cJSON_IsNumber(item)) continue;
            const std::string name = item->string;
            if (name == "assignedRules" || name == "unassignedRules") continue;
            m_general[name] = toCounter(item);
        }
    }
    bool result = true;
    const auto restore = [this](const cJSON* object, int which) {
        MutexLock lock(m_lock);
        CounterMap& map = *typed(which);
        for (const cJSON* item = object->child; item != nullptr; item = item->next)
            if (item->string != nullptr && cJSON_IsNumber(item)) map[item->string] = toCounter(item);
    };
    const cJSON* assigned = cJSON_GetObjectItem(metrics, "assignedRules");
    if (assigned != nullptr) {
        restore(assigned, AssignedRules);
    } else {
        LOG_TRACE(QVIM_SRC_STATS, "SetMetricsFromPersistence", "No assignedRulesets object found\n");
        result = false;
    }
    const cJSON* unassigned = cJSON_GetObjectItem(metrics, "unassignedRules");
    if (unassigned == nullptr) {
        LOG_TRACE(QVIM_SRC_STATS, "SetMetricsFromPersistence", "No unassignedRulesets object found\n");
        return false;
    }
    restore(unassigned, UnassignedRules);
    return result;
}
