// Baseline scan control, baseline export and the scan scope decisions.
#pragma once

#include "qvim.h"

class IntegrityRuleFilter;
class QVIMConfig;
class QVIMDAL;
class QVIMStats;

// Whether the pending partial baseline covers the kind, by the names listed in
// "partialBaseLineScanEntityTypes". An unreadable setting is logged as coming
// from function and counts as not covered.
bool validateEntityTypeInPartialScan(QVIMDAL& dal, entity_type type,
                                     const char* function = "validateEntityTypeInPartialScan");

// Starts (true) or ends (false) a baseline period in the store. The start
// empties what the next baseline rebuilds: everything, or for a pending
// partial baseline the listed kinds and the disk paths under the changed
// bases. The end writes out buffered items, records the baseline counters and
// clears partial mode.
void setBaselineScan(QVIMDAL& store, QVIMStats& stats, bool state);

// Writes the stored entities of kind (ENTITY_ALL: every kind, in kind order)
// that follow itemId and are newer than recordTime into filePath, one JSON
// object per line, at most limit of them. False when the file cannot be
// opened or written. Rule labels come from filter.
bool getBaseline(QVIMDAL& store, const IntegrityRuleFilter& filter, unsigned long itemId, unsigned long recordTime,
                 unsigned long limit, entity_type kind, const char* filePath);

// Export item ids combine kind and row id: kind * kExportIdStride + row id.
constexpr unsigned long kExportIdStride = 1000000000UL;

// File systems that are never walked (proc, sysfs, remote file systems, ...).
bool isSkippedFileSystemType(long type);

namespace Scan {
// Whether a directory walk has to enter folder to find entities of the kind
// (File: the File sets; any other type: the Directory sets).
bool shouldScanFolder(QVIMDAL& store, const QVIMConfig& config, const char* folder, entity_type type);
// Whether a directory walk enters folder at all (for files or directories).
bool walkEnters(QVIMDAL& store, const QVIMConfig& config, const char* folder);
}  // namespace Scan
