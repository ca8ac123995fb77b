// Benchmark figures: each program prints, for every figure, one line for the
// bench runner (./run bench) on stderr, which takes medians over repeated runs.
//   RESULT|figure|value|unit|reference name|reference value|ratio|target
// The ratio is computed by the program so that higher is always better; the
// texts may not hold '|'.
#pragma once

#include <cstdio>

inline void benchResult(const char* figure, double value, const char* unit, const char* reference,
                        double referenceValue, double ratio, const char* target) {
    std::fprintf(stderr, "RESULT|%s|%.6g|%s|%s|%.6g|%.4f|%s\n", figure, value, unit, reference, referenceValue, ratio,
                 target);
}
