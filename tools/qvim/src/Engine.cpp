#include "Engine.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Kinds.h"

namespace qvimcli {
namespace {

void releaseJson(char* text) { free_json_string(text); }
void releaseState(char* text) { free(text); }

// The library asks for the calling thread, to tell its callers apart.
// Asked for every entity a check hands over; the kernel is asked once per thread.
unsigned long callingThread() {
    thread_local const unsigned long number = static_cast<unsigned long>(gettid());
    return number;
}

}  // namespace

std::string statusText(qvim_status status) {
    char code[16];
    snprintf(code, sizeof code, "0x%08X", status);
    const char* meaning = "";
    switch (status) {
        case QVIM_E_FAILED: meaning = " (the operation failed)"; break;
        case QVIM_E_BAD_PARAMETER: meaning = " (bad parameter)"; break;
        case QVIM_E_NO_ENGINE: meaning = " (no engine)"; break;
        case QVIM_E_BASELINE_ACTIVE: meaning = " (a baseline is being built)"; break;
        case QVIM_E_OUT_OF_MEMORY: meaning = " (out of memory)"; break;
        default: break;
    }
    return std::string(code) + meaning;
}

Response::Response() { init_response_wrapper(&m_response); }
Response::~Response() { cleanup_response_wrapper(&m_response); }

EngineResult Engine::start(const std::string& dbPath, uint32_t logMask, qvim_log_callback log) {
    im_engine_init_s init{};
    init.dbPath = dbPath.c_str();
    init.logLevel = logMask;
    init.logCallback = log;
    const EngineResult started(engine_start(&init));
    if (!started.ok()) return started;
    m_running = true;
    set_loglevel(logMask);
    return started;
}

void Engine::stop() {
    if (!m_running) return;
    engine_stop();
    m_running = false;
}

EngineResult Engine::setRuleset(bool partial, const std::string& json, const std::string& id) {
    return EngineResult(set_ruleset(partial, json.c_str(), id.c_str()));
}

bool Engine::shouldScanFolder(const std::string& folder) { return should_scan_folder(folder.c_str()) != 0; }

bool Engine::shouldScanKind(entity_type kind) { return should_scan_entity_type(kind) != 0; }

bool Engine::state(const std::string& name, std::string& value) const {
    char* text = nullptr;
    const qvim_status status = get_im_state(name.c_str(), &text);
    EngineText owned;
    owned.m_text = {text, releaseState};
    const bool found = status == QVIM_OK && !owned.empty();
    value = found ? owned.str() : std::string();
    return found;
}

EngineResult Engine::setState(const std::string& name, const std::string& value) {
    return EngineResult(set_im_state(name.c_str(), value.c_str()));
}

// The library says nothing of whether switching worked.
void Engine::setBaselineScan(bool on) { set_baselinescan(on); }

EngineResult Engine::store(const im_wrapper_event_s& record, Response& response) {
    return EngineResult(store_item(&record, true, response.get()));
}

EngineResult Engine::flush(unsigned long& written) { return EngineResult(flush_db_buffer(&written)); }

EngineResult Engine::setIntegrityScan(bool on) { return EngineResult(set_integrityscan(on)); }

EngineResult Engine::scanKind(entity_type kind, scan_type type, Response& response) {
    return EngineResult(integrity_scan(callingThread(), kind, type, response.get()));
}

EngineResult Engine::monitor(const im_wrapper_event_s& record, Response& response) {
    return EngineResult(integrity_monitor(callingThread(), &record, response.get()));
}

EngineResult Engine::cleanUnscanned(entity_type kind, uint64_t since, Response& response) {
    return EngineResult(clean_unscanned(kindName(kind), static_cast<unsigned long>(since), response.get()));
}

EngineResult Engine::metrics(EngineText& json) {
    char* text = nullptr;
    const EngineResult status(get_metrics_mem(&text));
    json.m_text = {text, releaseJson};
    // A success without a document is of no use to anyone.
    return status.ok() && text == nullptr ? EngineResult(QVIM_E_FAILED) : status;
}

EngineResult Engine::exportPage(uint64_t after, uint64_t since, uint64_t limit, entity_type kind,
                                const std::string& file) {
    return EngineResult(get_baseline(static_cast<unsigned long>(after), static_cast<unsigned long>(since),
                                     static_cast<unsigned long>(limit), kind, file.c_str()));
}

EngineResult Engine::migrate(const std::string& oldDbPath) { return EngineResult(migrate_baseline(oldDbPath.c_str())); }

}  // namespace qvimcli
