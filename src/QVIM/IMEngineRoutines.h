// The per-observation routines shared by real-time calls, scans and stores.
// They take the parts they use rather than the engine, so that the scanners
// reach them without the engine's header; they are defined with the
// engine's operations.
#pragma once

#include "QVIMIntegrityRuleFilter.h"
#include "qvim.h"

class JSONEvents;
class QVIMConfig;
class QVIMDAL;
class QVIMStats;

namespace QVIMEngine {
// Builds the record of the boundary record's kind and hands it to the event
// handler, which compares it with the store and reports to events.
qvim_status integrityMonitor(QVIMDAL& store, const QVIMConfig& config, QVIMStats& stats, unsigned long threadId,
                             const im_wrapper_event_s* record, JSONEvents& events, im_wrapper_response_s& response,
                             unsigned long maxEvents, const IntegrityRule::Enforcement* enforcement);
// Stores the record (buffered or at once) when some rule selects it.
qvim_status storeItem(QVIMDAL& store, const QVIMConfig& config, const im_wrapper_event_s* record, bool buffered,
                      im_wrapper_response_s* response);
}  // namespace QVIMEngine
