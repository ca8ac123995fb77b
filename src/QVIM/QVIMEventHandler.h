// Event reporting: the list of change events built during one call, and the
// handler that decides which events an observation yields.
#pragma once

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "QVIMIntegrityRuleFilter.h"
#include "QVIMJson.h"
#include "qvim.h"

class EventTypeTable;
class QVIMConfig;
class QVIMDAL;
class QVIMEvent;
class QVIMStats;

// {"events": [...]}: events are appended in the order they are produced.
class JSONEvents {
public:
    JSONEvents();
    JSONEvents(const JSONEvents&) = delete;
    JSONEvents& operator=(const JSONEvents&) = delete;

    cJSON* root() const { return m_root.get(); }
    cJSON* events() const { return m_events; }
    int size() const { return cJSON_GetArraySize(m_events); }
    // Unformatted text, allocated with the JSON library's allocator.
    char* print() const { return cJSON_PrintUnformatted(m_root.get()); }

private:
    CJsonPtr m_root;
    cJSON* m_events;
};

// Value of maxEvents that means "no limit".
constexpr unsigned long kNoEventLimit = 0xFFFFFFFFFFFFFFFFUL;

class EventHandler {
public:
    // The store it reads and writes, the rules in force and the counters it
    // adds to; a handler lives for one call and holds no state of its own.
    EventHandler(QVIMDAL& store, const QVIMConfig& config, QVIMStats& stats)
        : m_store(store), m_config(config), m_stats(stats) {}
    virtual ~EventHandler() = default;

    // 0 handled, 1 allowed, 2 blocked, or a failure status.
    qvim_status handleEvent(QVIMEvent& event, JSONEvents& events, im_wrapper_response_s& response,
                            unsigned long maxEvents, const IntegrityRule::Enforcement* enforcement) const;

    virtual bool doDelete(QVIMEvent& event, std::unordered_set<long long>& ruleIds) const = 0;
    bool doWrite(QVIMEvent& event, std::unordered_set<long long>& ruleIds) const;
    bool doRename(QVIMEvent& event, std::unordered_set<long long>& ruleIds) const;

    // Appends the entries of the fields the rule watches, in name order.
    bool addAttributesToEvent(cJSON* array, const std::vector<std::pair<std::string, std::string>>& fields,
                              const IntegrityRule& rule, QVIMEvent& record) const;

protected:
    void loadOldFields(QVIMEvent& event) const;
    cJSON* buildEvent(QVIMEvent& event, const IntegrityRule& rule, const char* operationType, double eventId,
                      const std::vector<std::pair<std::string, std::string>>* newFields) const;

    QVIMDAL& m_store;
    const QVIMConfig& m_config;
    QVIMStats& m_stats;
};

class EventHandlerNormal : public EventHandler {
public:
    using EventHandler::EventHandler;
    bool doDelete(QVIMEvent& event, std::unordered_set<long long>& ruleIds) const override;
};

// Used while unscanned rows are removed in bulk: deletes nothing itself.
class EventHandlerDeleteUnscanned : public EventHandler {
public:
    using EventHandler::EventHandler;
    // Reports the table's rows not seen since scanTime as removed and deletes
    // them; the events go into the response.
    bool cleanUp(EventTypeTable& table, unsigned long scanTime, im_wrapper_response_s& response) const;
    bool doDelete(QVIMEvent&, std::unordered_set<long long>&) const override { return true; }
};
