// Baseline scan control, baseline export and the scan scope decisions.
#pragma once

#include "qvim.h"

class IMEngineHandleConcrete;
