// Baseline scan control, baseline export and the scan scope decisions.
#pragma once

#include "qvim.h"

class IMEngineHandleConcrete;
class QVIMDAL;

// Whether "baselineScanType" says that a partial baseline is pending. An
// unreadable setting is logged and counts as a full baseline.
bool isPartialScanSet(QVIMDAL& dal);

// Whether the pending partial baseline covers the kind, by the names listed in
// "partialBaseLineScanEntityTypes". An unreadable setting is logged as coming
// from function and counts as not covered.
bool validateEntityTypeInPartialScan(QVIMDAL& dal, entity_type type,
                                     const char* function = "validateEntityTypeInPartialScan");

// File systems that are never walked (proc, sysfs, remote file systems, ...).
bool isSkippedFileSystemType(long type);

namespace Scan {
// Whether a directory walk has to enter folder to find entities of the kind
// (File: the File sets; any other type: the Directory sets).
bool shouldScanFolder(IMEngineHandleConcrete& engine, const char* folder, entity_type type);
}  // namespace Scan
