#include "QVIMExportBackbone.h"

#include "IMEngineHandleConcrete.h"
#include "QVIMScanScope.h"

// ---- Scan scope (built with the rules work) -----------------------------------------

int IMEngineHandleConcrete::shouldScanFolder(const char*) {
    operationNotBuilt("shouldScanFolder");
    return 0;
}
bool Scan::shouldScanFolder(IMEngineHandleConcrete&, const char*, entity_type) {
    operationNotBuilt("shouldScanFolder");
    return false;
}
int IMEngineHandleConcrete::shouldScanEntityType(entity_type) {
    operationNotBuilt("shouldScanEntityType");
    return 0;
}

// ---- Baseline control and export (built with the baseline work) ----------------------

void IMEngineHandleConcrete::setBaselineScan(bool) { operationNotBuilt("setBaselineScan"); }
qvim_status IMEngineHandleConcrete::getBaseline(unsigned long, unsigned long, unsigned long, entity_type, const char*) {
    return operationNotBuilt("getBaseline");
}
