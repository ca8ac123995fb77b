#include "QVIMScanAbstract.h"

#include "IMEngineHandleConcrete.h"

// ---- Scan orchestration (built with the scanners work) ----------------------------------

qvim_status IMEngineHandleConcrete::integrityScan(unsigned long, entity_type, scan_type, im_wrapper_response_s&) {
    return operationNotBuilt("integrityScan");
}
qvim_status IMEngineHandleConcrete::cleanUnscanned(const char*, unsigned long, im_wrapper_response_s&) {
    return operationNotBuilt("cleanUnscanned");
}
