// Event decisions: which rules an observation matches, what the store does
// with it, and the events (and allow/block verdict) it yields. Sections: the
// event list, enforcement helpers, stored values, event building, the
// decision, the store operations.
#include "QVIMEventHandler.h"

#include <map>
#include <new>
#include <string>

#include "QVIMDOM.h"
#include "QVIMDataAccessLayer.h"
#include "QVIMEventAbstraction.h"
#include "QVIMLogger.h"
#include "QVIMStats.h"
#include "QVIMUtilPlatformIndependent.h"

JSONEvents::JSONEvents() : m_root(cJSON_CreateObject()), m_events(nullptr) {
    if (m_root) m_events = cJSON_AddArrayToObject(m_root.get(), "events");
    if (m_events == nullptr) throw std::bad_alloc();
}

namespace {

// The enforcement tests of one rule against the acting process; true when
// the process is blocked.
bool enforce(const IntegrityRule::Enforcement& rule, const IntegrityRule::Enforcement& acting) {
    bool match = true;
    if (rule.users.empty()) {
        LOG_TRACE(QVIM_SRC_RULES, "enforce", "No users in enforcement tag, so user match is satisfied");
    } else {
        match = rule.users.count(acting.user) != 0;
        LOG_TRACE(QVIM_SRC_RULES, "enforce", "Process user '%s' found in rule: %d", acting.user.c_str(), match ? 1 : 0);
    }
    if (match) {
        if (rule.groups.empty()) {
            LOG_TRACE(QVIM_SRC_RULES, "enforce", "No groups in enforcement tag, so group match is satisfied");
        } else {
            match = false;
            for (const std::string& group : acting.groupList) {
                if (rule.groups.count(group) != 0) {
                    match = true;
                    break;
                }
            }
            LOG_TRACE(QVIM_SRC_RULES, "enforce", "Process groups '%s' found in enforcement rule: %d",
                      acting.groupsText.c_str(), match ? 1 : 0);
        }
    }
    if (match) {
        if (rule.processName.empty()) {
            LOG_TRACE(QVIM_SRC_RULES, "enforce",
                      "No process name in enforcement tag, so process name match is satisfied");
        } else {
            match = MatchFunction(acting.processName, rule.processName);
            LOG_TRACE(QVIM_SRC_RULES, "enforce", "Process name '%s' found in enforcement rule: %d",
                      acting.processName.c_str(), match ? 1 : 0);
        }
    }
    return rule.allow ? !match : match;
}

bool hasOperation(const EntitySet& set, int32_t operation) {
    for (im_operation listed : set.operations)
        if (listed == operation) return true;
    return false;
}

// Whether the rule's sets of this kind want "block" events.
bool reportsBlock(const IntegrityRuleFilter& filter, long long ruleId, entity_type kind) {
    for (const auto& set : filter.getRuleEntitySet(ruleId))
        if (set->type == kind && (set->block || set->operations.empty())) return true;
    return false;
}

}  // namespace

// Reads the stored row once per record, for "wasAttributes" and the block
// decision of renames and deletes.
void EventHandler::loadOldFields(QVIMEvent& event) const {
    if (event.oldFieldsBuffered) return;
    MutexLock lock(event.store.storeLock());
    sqlite3_stmt* stmt = event.bindSelectByKey();
    if (stmt == nullptr) {
        event.oldFieldsBuffered = true;
        return;
    }
    StatementUse use(stmt);
    event.validateOldFieldsBuffered(sqlite3_step(stmt), stmt, false);
}

bool EventHandler::addAttributesToEvent(cJSON* array, const std::vector<std::pair<std::string, std::string>>& fields,
                                        const IntegrityRule& rule, QVIMEvent& record) const {
    if (fields.empty()) return true;
    const auto filter = m_config.getFilter();
    const auto& sets = filter->getRuleEntitySet(rule.id);
    const entity_type kind = record.entityType();
    std::map<std::string, std::string> selected;
    std::string lower;
    for (const auto& [name, raw] : fields) {
        lower = name;
        toLowerAscii(lower);
        for (const auto& set : sets) {
            if (set->type != kind) continue;
            if (!set->operations.empty() && !hasOperation(*set, record.operation)) continue;
            if (record.realTime && !set->realtime) continue;
            const bool watched = set->attributes.count(lower) != 0;
            if (!set->attributes.empty() && lower != "*" && !watched) continue;
            if (watched) LOG_TRACE(QVIM_SRC_RULES, "matchRuleWithAttributes", "Matched Attributes: %s", lower.c_str());
            selected[name] = raw;
            break;
        }
    }
    std::string value, display;
    for (const auto& [name, raw] : selected) {
        value.clear();
        display.clear();
        record.getEventValues(name, raw, value, display);
        if (value.empty() || value == "(null)") continue;
        cJSON* entry = cJSON_CreateObject();
        addJsonText(entry, "name", name);
        addJsonText(entry, "value", value);
        if (!display.empty()) addJsonText(entry, "friendlyValue", display);
        cJSON_AddItemToArray(array, entry);
    }
    return true;
}

cJSON* EventHandler::buildEvent(QVIMEvent& event, const IntegrityRule& rule, const char* operationType,
                                double eventId, const QVIMEvent::Fields* newFields) const {
    cJSON* object = cJSON_CreateObject();
    cJSON_AddNumberToObject(object, "integrityEventId", eventId);
    cJSON_AddNumberToObject(object, "eventTime", static_cast<double>(getCurrentTimeInMillis()));
    cJSON_AddStringToObject(object, "eventType", "integrityMonitoring");
    cJSON_AddStringToObject(object, "entityType", entityTypeName(event.entityType()));
    cJSON_AddNumberToObject(object, "integrityRuleId", static_cast<double>(rule.id));
    if (!rule.name.empty()) addJsonText(object, "integrityRuleName", rule.name);
    if (!rule.identifier.empty()) addJsonText(object, "identifier", rule.identifier);
    cJSON_AddStringToObject(object, "operationType", operationType);
    addJsonText(object, "processName", event.processName);
    addJsonText(object, "user", event.processUser);
    cJSON_AddNumberToObject(object, "severity", rule.severity);
    addJsonText(object, "key",
                event.operation == IM_OP_RENAME ? event.givenKey + " -> " + event.newKey : event.currentKey);
    addJsonText(object, "isKey", event.newKey);
    if (!event.givenKey.empty()) addJsonText(object, "wasKey", event.givenKey);
    if (!event.bufferedFields.empty())
        addAttributesToEvent(cJSON_AddArrayToObject(object, "wasAttributes"), event.bufferedFields, rule, event);
    if (newFields != nullptr)
        addAttributesToEvent(cJSON_AddArrayToObject(object, "isAttributes"), *newFields, rule, event);
    return object;
}

qvim_status EventHandler::handleEvent(QVIMEvent& event, JSONEvents& events, im_wrapper_response_s& response,
                                      unsigned long maxEvents, const IntegrityRule::Enforcement* enforcement) const {
    const qvim_status status = event.operation == IM_OP_NOT_PROCESSED ? QVIM_E_BAD_PARAMETER : QVIM_OK;
    const auto filter = m_config.getFilter();
    const entity_type kind = event.entityType();
    std::unordered_set<long long> ruleIds;
    filter->matchRules(kind, event, event.realTime, ruleIds);

    const char* label = nullptr;
    if (ruleIds.empty()) {
        event.state = IM_NO_RULE_MATCH;
        LOG_TRACE(QVIM_SRC_HANDLER, "handleEvent", "No rule match for event w/key: '%s'", event.currentKey.c_str());
        if (event.operation == IM_OP_RENAME) {
            LOG_TRACE(QVIM_SRC_HANDLER, "handleEvent",
                      "Failed match old key '%s' during rename; attempting to match new key '%s'",
                      event.currentKey.c_str(), event.newKey.c_str());
            event.currentKey = event.newKey;
            filter->matchRules(kind, event, event.realTime, ruleIds);
            if (!ruleIds.empty()) {
                // Moved into the watched area: it is new there.
                event.operation = IM_OP_CREATE;
                label = "create";
            }
        } else if (event.operation != IM_OP_DELETE && event.operation != IM_OP_CREATE) {
            LOG_WARNING(QVIM_SRC_HANDLER, "handleEvent", "Unknown event type %d", event.operation);
            return QVIM_E_BAD_PARAMETER;
        }
        if (label == nullptr) return status;
    } else {
        ++response.nItemsScanned;
        switch (event.operation) {
            case IM_OP_RENAME: {
                event.currentKey = event.newKey;
                std::unordered_set<long long> targetRules;
                filter->matchRules(kind, event, event.realTime, targetRules);
                if (targetRules.empty()) {
                    // Moved out of the watched area: gone from it.
                    event.operation = IM_OP_DELETE;
                    LOG_TRACE(QVIM_SRC_HANDLER, "handleEvent",
                              "Failed to match rule with new key '%s' during rename: approval revoked",
                              event.newKey.c_str());
                    label = "delete";
                } else {
                    label = "rename";
                }
                event.currentKey = event.givenKey;
                break;
            }
            case IM_OP_DELETE: label = "delete"; break;
            case IM_OP_CREATE: label = "create"; break;
            default:
                LOG_WARNING(QVIM_SRC_HANDLER, "handleEvent", "Unknown event type %d", event.operation);
                return QVIM_E_BAD_PARAMETER;
        }
    }
    if (QVIM_FAILED(status)) return status;

    if (event.resolve != 0) {
        LOG_TRACE(QVIM_SRC_HANDLER, "handleEvent", "Handling event of type: %d", event.operation);
        bool applied = false;
        switch (event.operation) {
            case IM_OP_CREATE:
                applied = doWrite(event, ruleIds);
                label = event.operation == IM_OP_CREATE ? "create" : "update";
                break;
            case IM_OP_RENAME:
                applied = doRename(event, ruleIds);
                label = "rename";
                break;
            case IM_OP_DELETE:
                applied = doDelete(event, ruleIds);
                label = "delete";
                break;
            default: break;
        }
        if (!applied) return QVIM_E_FAILED;
    }

    QVIMStats& stats = m_stats;
    // A number in the document; counted as one, so a counter at its limit cannot overflow here.
    double eventId = static_cast<double>(stats.Get("totalEvents")) + 1;
    if (ruleIds.empty()) return QVIM_OK;

    qvim_status verdict = QVIM_OK;
    bool limitReached = false;
    QVIMEvent::Fields newFields;
    bool newFieldsBuffered = false;
    for (long long ruleId : ruleIds) {
        if (event.state == IM_MATCH_NO_EVENT && enforcement == nullptr) return verdict;
        const std::shared_ptr<IntegrityRule> rule = filter->getRuleById(ruleId);
        if (!rule) {
            LOG_WARNING(QVIM_SRC_HANDLER, "handleEvent", "Rule %lld not found", ruleId);
            continue;
        }
        const char* operationType = label;
        if (enforcement != nullptr && rule->enforcement.enabled) {
            if (enforce(rule->enforcement, *enforcement)) {
                verdict = QVIM_VERDICT_BLOCK;
                operationType = "block";
                if (!reportsBlock(*filter, ruleId, kind)) continue;
                if (event.operation == IM_OP_RENAME || event.operation == IM_OP_DELETE) {
                    loadOldFields(event);
                    if (event.bufferedFields.empty()) continue;
                }
            } else {
                if (verdict != QVIM_VERDICT_BLOCK) verdict = QVIM_VERDICT_ALLOW;
                if (event.resolve == 0) continue;
            }
        } else if (verdict != QVIM_VERDICT_BLOCK) {
            verdict = QVIM_OK;
        }

        if (limitReached) continue;
        if (maxEvents != kNoEventLimit && response.nEvents == maxEvents) {
            event.state = IM_MATCH_WITH_MAX_EVENTS;
            if (enforcement == nullptr) return verdict;
            limitReached = true;
            continue;
        }
        if (event.state == IM_MATCH_NO_EVENT) continue;

        stats.IncType(QVIMStats::AssignedRules, rule->label());
        loadOldFields(event);
        if (event.operation != IM_OP_DELETE && !newFieldsBuffered) {
            event.bufferNewFields(newFields);
            newFieldsBuffered = true;
        }
        cJSON_AddItemToArray(events.events(),
                             buildEvent(event, *rule, operationType, eventId,
                                        event.operation != IM_OP_DELETE ? &newFields : nullptr));
        ++response.nEvents;
        ++eventId;
    }
    return verdict;
}

bool EventHandler::doWrite(QVIMEvent& event, std::unordered_set<long long>& ruleIds) const {
    return m_store.writeItem(event, false, &ruleIds);
}

bool EventHandler::doRename(QVIMEvent& event, std::unordered_set<long long>& ruleIds) const {
    return m_store.renameItem(event, &ruleIds);
}

bool EventHandlerNormal::doDelete(QVIMEvent& event, std::unordered_set<long long>& ruleIds) const {
    const bool deleted = m_store.deleteEntityItems(event, &ruleIds);
    LOG_TRACE(QVIM_SRC_HANDLER, "doDelete", deleted ? "Successfully deleted %s-%s" : "Failed to delete %s-%s",
              entityTypeName(event.entityType()), event.currentKey.c_str());
    return deleted;
}

namespace {
// Merges events into the response's JSON text (new events first).
void appendEvents(im_wrapper_response_s& response, JSONEvents& events) {
    if (response.json == nullptr) {
        response.json = events.print();
        return;
    }
    if (events.size() == 0) return;
    CJsonPtr held(cJSON_Parse(response.json));
    if (cJSON* array = cJSON_GetObjectItem(held.get(), "events")) {
        while (cJSON* item = cJSON_DetachItemFromArray(array, 0)) cJSON_AddItemToArray(events.events(), item);
    }
    cJSON_free(response.json);
    response.json = events.print();
}
}  // namespace

bool EventHandlerDeleteUnscanned::cleanUp(EventTypeTable& table, unsigned long scanTime,
                                          im_wrapper_response_s& response) const {
    JSONEvents events;
    const bool deleted = table.deleteUnscanned(
        scanTime, response, [&](QVIMEvent& record) { handleEvent(record, events, response, kNoEventLimit, nullptr); });
    if (deleted) appendEvents(response, events);
    return deleted;
}
