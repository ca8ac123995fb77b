// Engine counters: general named counters and per-rule event counters, with
// the metrics document and its persisted form.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "QVIMJson.h"
#include "QVIMThreadSafety.h"

class QVIMStats {
public:
    // Typed maps; 5 selects the general map in ClearMap.
    enum MapId : int { Typed1 = 1, Typed2 = 2, AssignedRules = 3, UnassignedRules = 4, General = 5 };

    void Set(const std::string& name, long value);
    long Get(const std::string& name) const;
    void Inc(const std::string& name);
    // Adds delta under one lock (read-modify-write that callers would
    // otherwise do with Get and Set).
    void Add(const std::string& name, long delta);

    void SetType(int type, const std::string& name, long value);
    void IncType(int type, const std::string& name);
    long GetType(int type, const std::string& name) const;
    void ClearType(int type, const std::string& prefix);

    void ClearMap(int which);
    bool CopyRulesetMap(int from, int to);
    // CopyRulesetMap(from, to) then ClearMap(from) under one lock, so that no
    // counter incremented in between is lost.
    bool MoveRulesetMap(int from, int to);
    void reset();

    // The metrics document; addStore appends the store's members (database
    // size and settings) to its "metrics" object after the counters.
    bool GetMetrics(const std::function<void(cJSON* metrics)>& addStore, char** out);
    bool GetMetricsForPersistence(char** out);
    bool SetMetricsFromPersistence(const std::string& text);

private:
    using CounterMap = std::map<std::string, int64_t>;
    bool copyRulesetMapLocked(int from, int to) REQUIRES(m_lock);
    CounterMap* typed(int type) REQUIRES(m_lock);
    const CounterMap* typed(int type) const REQUIRES(m_lock);
    // {"metrics": {general counters, "assignedRules", "unassignedRules"}};
    // the lock is taken per section.
    CJsonPtr buildCounterDocument(cJSON*& metrics, size_t& totalAssigned) const EXCLUDES(m_lock);

    // Every counter map; a leaf lock, held around no other.
    mutable Mutex m_lock;
    CounterMap m_general GUARDED_BY(m_lock);
    CounterMap m_typed1 GUARDED_BY(m_lock);
    CounterMap m_typed2 GUARDED_BY(m_lock);
    CounterMap m_assigned GUARDED_BY(m_lock);
    CounterMap m_unassigned GUARDED_BY(m_lock);
};
