// Benchmark figures: each program prints, for every figure, one line for the
// bench runner (bench/run_all.sh) on stderr:
//   RESULT|figure|value|unit|reference name|reference value|ratio|target
// The figure and its reference are measured in the same run, one after the
// other, so that both see the same machine; the runner repeats the program
// and shows the median with the smallest and largest of the runs.
// The ratio is computed by the program so that higher is always better. The
// target is "-" or a comparison the runner checks on every run:
//   ">= 0.8"          the ratio
//   "value < 65536"   the value itself, in its unit
// optionally followed by a note ("(x faster)"). The texts may not hold '|'.
#pragma once

#include <cstdio>

inline void benchResult(const char* figure, double value, const char* unit, const char* reference,
                        double referenceValue, double ratio, const char* target) {
    std::fprintf(stderr, "RESULT|%s|%.6g|%s|%s|%.6g|%.4f|%s\n", figure, value, unit, reference, referenceValue, ratio,
                 target);
}

// A figure without a reference.
inline void benchValue(const char* figure, double value, const char* unit, const char* target = "-") {
    benchResult(figure, value, unit, "-", 0, 0, target);
}
