// One running engine per fuzzing process, on a database in a temporary
// folder that is removed at exit. Log messages are formatted only when an
// input asks for it (formatting is worth fuzzing, writing a file is not).
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qvim.h"

namespace fuzz_engine {

inline void discardLog(uint32_t, uint32_t, const char*, const char*, const char*, uint32_t) {}

inline std::string& folder() {
    static std::string path;
    return path;
}

inline int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

inline void stop() {
    engine_stop();
    if (!folder().empty()) nftw(folder().c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// A path inside the process's temporary folder.
inline std::string pathOf(const char* name) { return folder() + "/" + name; }

// Starts the engine and installs rules (when given); aborts when it cannot,
// since every input would then test nothing.
inline void start(const char* rules) {
    // Memory-backed when the machine has it: every committed write syncs.
    const char* base = getenv("TMPDIR");
    if (base == nullptr || *base == '\0') base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/qvim-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    folder() = pattern;
    // The library prints a few diagnostic lines on standard output.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    const std::string db = pathOf("fuzz.db");
    im_engine_init_s init{};
    init.dbPath = db.c_str();
    init.logLevel = 0;
    init.logCallback = discardLog;
    if (engine_start(&init) != QVIM_OK) abort();
    set_loglevel(0);
    if (rules != nullptr && set_ruleset(false, rules, "fuzz") != QVIM_OK) abort();
    atexit(stop);
}

// All levels for inputs whose flag byte asks for them, none otherwise.
inline void logLevels(bool all) { set_loglevel(all ? 15u : 0u); }

}  // namespace fuzz_engine
