// Event reporting: the list of change events built during one call, and the
// handler that decides which events an observation yields.
#pragma once

#include <unordered_set>

#include "QVIMIntegrityRuleFilter.h"
#include "QVIMJson.h"
#include "qvim.h"

class IMEngineHandleConcrete;
class QVIMEvent;

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
    explicit EventHandler(IMEngineHandleConcrete& engine) : m_engine(engine) {}
    virtual ~EventHandler() = default;

    // 0 handled, 1 allowed, 2 blocked, or a failure status.
    qvim_status handleEvent(QVIMEvent& event, JSONEvents& events, im_wrapper_response_s& response,
                            unsigned long maxEvents, const IntegrityRule::Enforcement* enforcement) const;

    virtual bool doDelete(QVIMEvent& event, std::unordered_set<long long>& ruleIds) const = 0;

protected:
    IMEngineHandleConcrete& m_engine;
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
    bool doDelete(QVIMEvent&, std::unordered_set<long long>&) const override { return true; }
};
