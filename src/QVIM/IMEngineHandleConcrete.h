// The engine: the one implementation of IMEngineHandle. It owns the installed
// rules, the baseline store (with its per-kind tables), the statistics and
// the engine's locks.
#pragma once

#include <atomic>
#include <memory>

#include "IMEngineHandle.h"
#include "QVIMDOM.h"
#include "QVIMDataAccessLayer.h"
#include "QVIMEventAbstraction.h"
#include "QVIMStats.h"
#include "QVIMThreadSafety.h"

class IMEngineHandleConcrete : public IMEngineHandle {
public:
    IMEngineHandleConcrete();
    ~IMEngineHandleConcrete() override;

    IMEngineHandleConcrete(const IMEngineHandleConcrete&) = delete;
    IMEngineHandleConcrete& operator=(const IMEngineHandleConcrete&) = delete;

    const QVIMConfig& getConfig() const override { return m_config; }
    QVIMConfig& getConfig() override { return m_config; }
    const QVIMDAL& getDAL() const override { return m_dal; }
    QVIMDAL& getDAL() override { return m_dal; }
    qvim_status engineStart(const im_engine_init_s& init) override;
    qvim_status engineStop() override;
    qvim_status setIntegrityscan(bool on) override;
    qvim_status integrityMonitor(unsigned long threadId, const im_wrapper_event_s& record,
                                 im_wrapper_response_s& response) EXCLUDES(m_monitorMutex) override;
    qvim_status cleanUnscanned(const char* entityType, unsigned long scanTime,
                               im_wrapper_response_s& response) override;
    qvim_status purgeDB() override;
    qvim_status flushDBBuffer(unsigned long& nItemsScanned) override;
    void setBaselineScan(bool state) override;
    qvim_status storeItem(const im_wrapper_event_s& record, bool buffered,
                          im_wrapper_response_s& response) override;
    qvim_status setLogLevel(unsigned int mask) override;
    qvim_status setRuleset(bool allowPartialBaseline, const char* rulesetJson,
                           const char* rulesetId) EXCLUDES(m_rulesetMutex) override;
    int shouldScanFolder(const char* path) override;
    int shouldScanEntityType(entity_type type) override;
    qvim_status setIMState(const char* key, const char* value) override;
    qvim_status getIMState(const char* key, char** value) override;
    qvim_status integrityScan(unsigned long threadId, entity_type type, scan_type scanType,
                              im_wrapper_response_s& response) override;
    qvim_status getMetricsMem(char** json) override;
    qvim_status getBaseline(unsigned long itemId, unsigned long recordTime, unsigned long limit,
                            entity_type type, const char* filePath) override;
    qvim_status migrateBaseline(const char* oldDbPath) override;

    QVIMStats& getStats() { return m_stats; }
    const QVIMStats& getStats() const { return m_stats; }

    bool baselineScanActive() const { return m_baselineScanActive.load(); }
    void setBaselineScanActive(bool active) { m_baselineScanActive.store(active); }

private:
    // Installs a ruleset into the configuration and records in the store's
    // settings whether the next baseline is full or partial.
    bool installRuleset(bool allowPartialBaseline, const char* ruleset, const char* guid) REQUIRES(m_rulesetMutex);

    QVIMConfig m_config;
    QVIMDAL m_dal;
    QVIMStats m_stats;
    std::atomic<bool> m_baselineScanActive{false};
    // One real-time notification at a time: its read, compare and write of a
    // stored row is one step.
    Mutex m_monitorMutex;
    // One ruleset installation at a time: comparing with the rules in force
    // and writing the partial-baseline settings is one step.
    Mutex m_rulesetMutex;
};
