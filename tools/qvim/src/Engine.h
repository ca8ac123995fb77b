// The program's one way into qvim.so: every call of the library's C functions
// is made here, so that ownership of what it returns, the meaning of its
// statuses and the engine's lifetime are decided once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "qvim.h"

namespace qvimcli {

// "0xC0000000 (the operation failed)".
std::string statusText(qvim_status status);

// What a library call returned. Besides success and failure some calls return
// other non-failing codes (integrity_monitor's verdicts), kept in code().
class EngineResult {
public:
    explicit EngineResult(qvim_status code = QVIM_OK) : m_code(code) {}
    qvim_status code() const { return m_code; }
    bool ok() const { return m_code == QVIM_OK; }
    bool failed() const { return QVIM_FAILED(m_code); }
    std::string text() const { return statusText(m_code); }

private:
    qvim_status m_code;
};

// A text the library allocated, released the way the library wants it back.
class EngineText {
public:
    EngineText() = default;
    const char* get() const { return m_text.get(); }
    bool empty() const { return m_text == nullptr; }
    std::string str() const { return m_text ? std::string(m_text.get()) : std::string(); }

private:
    friend class Engine;
    using Release = void (*)(char*);
    std::unique_ptr<char, Release> m_text{nullptr, nullptr};
};

// The response record of one call, released with the call's scope.
class Response {
public:
    Response();
    ~Response();
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;
    im_wrapper_response_s* get() { return &m_response; }
    const im_wrapper_response_s& operator*() const { return m_response; }
    const im_wrapper_response_s* operator->() const { return &m_response; }

private:
    im_wrapper_response_s m_response;
};

// The started engine. The library keeps one per process: one Engine at a
// time, stopped when it goes out of scope.
class Engine {
public:
    Engine() = default;
    ~Engine() { stop(); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Opens the database at dbPath (as given: the caller has resolved it) and
    // logs through log at the levels of logMask.
    EngineResult start(const std::string& dbPath, uint32_t logMask, qvim_log_callback log);
    // Closes the database; no other call may follow. Safe to repeat.
    void stop();
    bool running() const { return m_running; }

    // Rules. partial: keep what a change of rules does not touch.
    EngineResult setRuleset(bool partial, const std::string& json, const std::string& id);
    bool shouldScanFolder(const std::string& folder);
    bool shouldScanKind(entity_type kind);

    // Settings; false when the setting is missing or cannot be read.
    bool state(const std::string& name, std::string& value) const;
    EngineResult setState(const std::string& name, const std::string& value);

    // Baseline building: entities are stored, not compared.
    void setBaselineScan(bool on);
    EngineResult store(const im_wrapper_event_s& record, Response& response);
    EngineResult flush(unsigned long& written);

    // Change scans: between on and off the engine records which rows it saw.
    EngineResult setIntegrityScan(bool on);
    EngineResult scanKind(entity_type kind, scan_type type, Response& response);
    // Compares one entity with the baseline (and, before an operation, rules on it).
    EngineResult monitor(const im_wrapper_event_s& record, Response& response);
    EngineResult cleanUnscanned(entity_type kind, uint64_t since, Response& response);

    EngineResult metrics(EngineText& json);
    // Writes up to limit rows with ids above after into file, as JSON lines.
    EngineResult exportPage(uint64_t after, uint64_t since, uint64_t limit, entity_type kind, const std::string& file);
    EngineResult migrate(const std::string& oldDbPath);

private:
    bool m_running = false;
};

}  // namespace qvimcli
