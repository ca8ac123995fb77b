// IMEngineHandle.h - the object interface of qvim.so for C++ hosts.
//
// get_engine_handle() hands out IMEngineHandle objects by name. Hosts call
// them through the vtable, so the order of the virtual operations below is
// part of the ABI and must never change. IMEngineHandleStandalone wraps a
// handle with non-virtual forwarders and a few helpers.
#ifndef QVIM_IMENGINEHANDLE_H
#define QVIM_IMENGINEHANDLE_H

#include "qvim.h"

#if defined(QVIM_BUILDING_LIBRARY)
#define QVIM_CLASS_API __attribute__((visibility("default")))
#else
#define QVIM_CLASS_API
#endif

class QVIMConfig;
class QVIMDAL;

class QVIM_CLASS_API IMEngineHandle {
public:
    virtual ~IMEngineHandle();
    virtual const QVIMConfig& getConfig() const = 0;
    virtual QVIMConfig& getConfig() = 0;
    virtual const QVIMDAL& getDAL() const = 0;
    virtual QVIMDAL& getDAL() = 0;
    virtual qvim_status engineStart(const im_engine_init_s& init) = 0;
    virtual qvim_status engineStop() = 0;
    virtual qvim_status setIntegrityscan(bool on) = 0;
    virtual qvim_status integrityMonitor(unsigned long threadId, const im_wrapper_event_s& record,
                                         im_wrapper_response_s& response) = 0;
    virtual qvim_status cleanUnscanned(const char* entityType, unsigned long scanTime,
                                       im_wrapper_response_s& response) = 0;
    virtual qvim_status purgeDB() = 0;
    virtual qvim_status flushDBBuffer(unsigned long& nItemsScanned) = 0;
    virtual void setBaselineScan(bool state) = 0;
    virtual qvim_status storeItem(const im_wrapper_event_s& record, bool buffered,
                                  im_wrapper_response_s& response) = 0;
    virtual qvim_status setLogLevel(unsigned int mask) = 0;
    virtual qvim_status setRuleset(bool allowPartialBaseline, const char* rulesetJson,
                                   const char* rulesetId) = 0;
    virtual int shouldScanFolder(const char* path) = 0;
    virtual int shouldScanEntityType(entity_type type) = 0;
    virtual qvim_status setIMState(const char* key, const char* value) = 0;
    virtual qvim_status getIMState(const char* key, char** value) = 0;
    virtual qvim_status integrityScan(unsigned long threadId, entity_type type, scan_type scanType,
                                      im_wrapper_response_s& response) = 0;
    virtual qvim_status getMetricsMem(char** json) = 0;
    virtual qvim_status getBaseline(unsigned long itemId, unsigned long recordTime,
                                    unsigned long limit, entity_type type,
                                    const char* filePath) = 0;
    virtual qvim_status migrateBaseline(const char* oldDbPath) = 0;

    static void initResponseWrapper(im_wrapper_response_s* response);
    static void cleanupResponseWrapper(im_wrapper_response_s* response);
};

class QVIM_CLASS_API IMEngineHandleStandalone {
public:
    explicit IMEngineHandleStandalone(IMEngineHandle& handle) : m_handle(handle) {}

    const QVIMConfig& getConfig() const { return static_cast<const IMEngineHandle&>(m_handle).getConfig(); }
    QVIMConfig& getConfig() { return m_handle.getConfig(); }
    const QVIMDAL& getDAL() const { return static_cast<const IMEngineHandle&>(m_handle).getDAL(); }
    QVIMDAL& getDAL() { return m_handle.getDAL(); }
    qvim_status engineStart(const im_engine_init_s& init) { return m_handle.engineStart(init); }
    qvim_status engineStop() { return m_handle.engineStop(); }
    qvim_status setIntegrityscan(bool on) { return m_handle.setIntegrityscan(on); }
    qvim_status integrityMonitor(unsigned long threadId, const im_wrapper_event_s& record,
                                 im_wrapper_response_s& response) {
        return m_handle.integrityMonitor(threadId, record, response);
    }
    qvim_status cleanUnscanned(const char* entityType, unsigned long scanTime,
                               im_wrapper_response_s& response) {
        return m_handle.cleanUnscanned(entityType, scanTime, response);
    }
    qvim_status purgeDB() { return m_handle.purgeDB(); }
    qvim_status flushDBBuffer(unsigned long& nItemsScanned) { return m_handle.flushDBBuffer(nItemsScanned); }
    void setBaselineScan(bool state) { m_handle.setBaselineScan(state); }
    qvim_status storeItem(const im_wrapper_event_s& record, bool buffered, im_wrapper_response_s& response) {
        return m_handle.storeItem(record, buffered, response);
    }
    // Sets the process-wide log level mask directly.
    qvim_status setLogLevel(unsigned int mask);
    qvim_status setRuleset(bool allowPartialBaseline, const char* rulesetJson, const char* rulesetId) {
        return m_handle.setRuleset(allowPartialBaseline, rulesetJson, rulesetId);
    }
    int shouldScanFolder(const char* path) { return m_handle.shouldScanFolder(path); }
    int shouldScanEntityType(entity_type type) { return m_handle.shouldScanEntityType(type); }
    qvim_status setIMState(const char* key, const char* value) { return m_handle.setIMState(key, value); }
    qvim_status getIMState(const char* key, char** value) { return m_handle.getIMState(key, value); }
    qvim_status integrityScan(unsigned long threadId, entity_type type, scan_type scanType,
                              im_wrapper_response_s& response) {
        return m_handle.integrityScan(threadId, type, scanType, response);
    }
    qvim_status getMetricsMem(char** json) { return m_handle.getMetricsMem(json); }
    qvim_status getBaseline(unsigned long itemId, unsigned long recordTime, unsigned long limit,
                            entity_type type, const char* filePath) {
        return m_handle.getBaseline(itemId, recordTime, limit, type, filePath);
    }
    qvim_status migrateBaseline(const char* oldDbPath) { return m_handle.migrateBaseline(oldDbPath); }

    static void freeIMStateVal(char* value);
    static void freeJSON(char* json);
    static void initResponseWrapper(im_wrapper_response_s* response);
    static void cleanupResponseWrapper(im_wrapper_response_s* response);
    static unsigned long getCurrentTime();

private:
    IMEngineHandle& m_handle;
};

#endif // QVIM_IMENGINEHANDLE_H
