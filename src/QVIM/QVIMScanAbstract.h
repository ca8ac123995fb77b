// Scan framework: the common step that hands each scanned entity to the
// engine, and the port scanner.
#pragma once

#include "qvim.h"

class IMEngineHandleConcrete;
