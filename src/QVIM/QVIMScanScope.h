// The scan-scope decision for one folder and one entity kind (file-system
// type, partial baseline, rule bases).
#pragma once

#include "qvim.h"

class IMEngineHandleConcrete;

namespace Scan {
bool shouldScanFolder(IMEngineHandleConcrete& engine, const char* folder, entity_type type);
}  // namespace Scan
