#include "QVIMEventHandler.h"

#include <new>

JSONEvents::JSONEvents() : m_root(cJSON_CreateObject()), m_events(nullptr) {
    if (m_root) m_events = cJSON_AddArrayToObject(m_root.get(), "events");
    if (m_events == nullptr) throw std::bad_alloc();
}

// ---- Handler (built with the store and events work) ---------------------------

qvim_status EventHandler::handleEvent(QVIMEvent&, JSONEvents&, im_wrapper_response_s&, unsigned long,
                                      const IntegrityRule::Enforcement*) const {
    return QVIM_E_FAILED;
}

bool EventHandlerNormal::doDelete(QVIMEvent&, std::unordered_set<long long>&) const { return false; }
