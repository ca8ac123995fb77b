// Resident-memory figures of the benchmarks, read from /proc/self.
#pragma once

#include <cstdio>

namespace qvim_bench {

// Sets the high-water mark back to the current resident size, so that a
// measurement sees only the work that follows (a forked child, for
// instance, starts with its parent's mark).
inline void resetPeakResident() {
    if (FILE* file = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", file);
        std::fclose(file);
    }
}

// Peak resident size of this process in KiB; -1 when unknown.
inline long peakResidentKiB() {
    long kib = -1;
    if (FILE* file = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, file) != nullptr)
            if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
        std::fclose(file);
    }
    return kib;
}

}  // namespace qvim_bench
