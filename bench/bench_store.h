// Synthetic File records and an engine that stores them, for the store and
// scale benchmarks. Records are made on the fly, so that the memory figures
// see the store alone; keys come in the order a walk yields them: folder by
// folder, 400 files each.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "IMEngineHandleConcrete.h"
#include "QVIMEventAbstraction.h"
#include "QVIMIntegrityRuleFilter.h"

namespace qvim_bench {

constexpr int kFilesPerFolder = 400;
const char* const kRules =
    R"({"IntegrityRules":[{"id":1,"name":"bench","EntitySets":[{"entityType":"File","base":"/w/"}]}]})";

// One File record per number.
struct Synthetic {
    unsigned char sha256[32];
    char path[64];

    Synthetic() {
        for (int i = 0; i < 32; ++i) sha256[i] = static_cast<unsigned char>(i * 7);
    }

    // The path stays valid until the next call.
    const char* pathOf(int i) {
        snprintf(path, sizeof path, "/w/dir%04d/file%07d.dat", i / kFilesPerFolder, i);
        return path;
    }

    im_wrapper_event_s record(int i) {
        im_wrapper_event_s r{};
        r.entityType = "File";
        r.eventType = QVIM_EVENT_CHANGED;
        r.path = r.newKey = pathOf(i);
        r.size = 4096 + i;
        r.created = 1'700'000'000'000ULL + i;
        r.lastModified = r.created;
        r.inodeNumber = 1000 + i;
        r.owner = "0";
        r.userGroup = "0";
        r.permissions = "644";
        r.sha256 = sha256;
        return r;
    }
};

inline double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

class Engine {
public:
    // A fresh database unless keep is set.
    explicit Engine(const std::string& path, bool keep = false) {
        if (!keep) ::remove(path.c_str());
        im_engine_init_s init{};
        init.dbPath = path.c_str();
        init.logLevel = QVIM_LOG_ERROR;
        if (engine.engineStart(init) != QVIM_OK) {
            std::fprintf(stderr, "engine start failed\n");
            std::exit(1);
        }
        engine.setLogLevel(QVIM_LOG_ERROR);
        engine.getConfig().installFilter(std::make_shared<IntegrityRuleFilter>(engine.getStats(), kRules, "bench"));
    }
    ~Engine() { engine.engineStop(); }

    void storeAll(Synthetic& data, int n) {
        im_wrapper_response_s response{};
        for (int i = 0; i < n; ++i) {
            const im_wrapper_event_s r = data.record(i);
            if (engine.storeItem(r, true, response) != QVIM_OK) std::exit(2);
        }
        unsigned long written = 0;
        if (engine.flushDBBuffer(written) != QVIM_OK) std::exit(3);
    }

    IMEngineHandleConcrete engine;
};

}  // namespace qvim_bench
