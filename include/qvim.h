/*
 * qvim.h - the boundary of qvim.so, usable from C and C++.
 *
 * A host loads qvim.so, starts an engine with engine_start(), installs a
 * ruleset with set_ruleset() and drives scans, real-time notifications and
 * baseline operations through the functions below. Every JSON text the
 * library hands out is released by the host with free_json_string() or
 * cleanup_response_wrapper(); values from get_im_state() with free().
 *
 * The three records below are part of the ABI: their sizes and field offsets
 * are fixed (see the static assertions at the end of this file).
 */
#ifndef QVIM_H
#define QVIM_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(QVIM_BUILDING_LIBRARY)
#define QVIM_API __attribute__((visibility("default")))
#else
#define QVIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Enumerations (32-bit) ---------------------------------------------- */

typedef enum entity_type {
    ENTITY_ALL = 0,
    ENTITY_FILE = 1,
    ENTITY_DIRECTORY = 2,
    ENTITY_USER = 3,
    ENTITY_GROUP = 4,
    ENTITY_PORT = 5,
    ENTITY_INSTALLED_SOFTWARE = 6,
    ENTITY_PROCESS = 7,
    ENTITY_UNKNOWN = 8
} entity_type;

typedef enum scan_type {
    SCAN_BASELINE = 0,          /* entities are stored, no events */
    SCAN_CHANGE = 1,            /* entities are compared and reported */
    SCAN_CHANGE_REALTIME = 2    /* as 1, for real-time rules */
} scan_type;

typedef enum im_operation {
    IM_OP_CREATE = 1,
    IM_OP_RENAME = 2,
    IM_OP_DELETE = 3,
    IM_OP_UPDATE = 4,
    IM_OP_NOT_PROCESSED = 5
} im_operation;

/* Response states (im_wrapper_response_s.state). */
enum {
    IM_UNDETERMINED = 0,
    IM_NO_RULE_MATCH = 1,
    IM_MATCH_WITH_EVENT = 2,
    IM_MATCH_WITH_MAX_EVENTS = 3,
    IM_MATCH_NO_EVENT = 4,
    IM_INVALID_PARAMETER = 5,
    IM_ERROR = 6
};

/* Verdicts returned by integrity_monitor for notifications with enforcement. */
#define QVIM_VERDICT_ALLOW 1u
#define QVIM_VERDICT_BLOCK 2u

/* Status codes. A status is a failure when bit 30 or bit 31 is set. */
typedef uint32_t qvim_status;
#define QVIM_OK                      0x00000000u
#define QVIM_E_FAILED                0xC0000000u
#define QVIM_E_BAD_PARAMETER         0xC0000001u
#define QVIM_E_NO_ENGINE             0xC0000002u
#define QVIM_E_DB_PATH               0xC0000004u
#define QVIM_E_DB_OPEN               0xC0000006u
#define QVIM_E_LOGGER                0xC0000007u
#define QVIM_E_OUT_OF_MEMORY         0xC000000Au
#define QVIM_E_NO_START_RECORD       0xC000000Eu
#define QVIM_E_BASELINE_ACTIVE       0xC0000020u
#define QVIM_FAILED(status) ((((int32_t)(status)) >> 30) != 0)

/* Log levels (a bit mask). */
#define QVIM_LOG_TRACE   1u
#define QVIM_LOG_INFO    2u
#define QVIM_LOG_WARNING 4u
#define QVIM_LOG_ERROR   8u

/* Host event codes (im_wrapper_event_s.eventType) used most often. */
#define QVIM_EVENT_CREATE        0u  /* before the operation, enforcement checked */
#define QVIM_EVENT_RENAME        1u
#define QVIM_EVENT_DELETE        2u
#define QVIM_EVENT_CHANGED       7u  /* after the fact: compare with the baseline */
#define QVIM_EVENT_RENAMED      19u
#define QVIM_EVENT_DELETED      24u

/* Host log function: level, line, function, source path, message, length. */
typedef void (*qvim_log_callback)(uint32_t level, uint32_t line,
                                  const char* function, const char* source,
                                  const char* message, uint32_t length);

/* ---- Boundary records ----------------------------------------------------- */

typedef struct im_engine_init_s {
    uint8_t reserved0[8];
    const char* dbPath;          /* null: "im.db" in the working directory */
    uint32_t logLevel;           /* mask used with logCallback */
    uint8_t reserved1[16];
    qvim_log_callback logCallback; /* null: log to "LogFile.log" */
} im_engine_init_s;

typedef struct im_wrapper_event_s {
    const char* entityType;      /* "File", "Directory", "User", ... */
    uint64_t created;
    const char* groups;
    uint64_t lastAccessed;
    uint64_t lastModified;
    uint32_t eventType;          /* host event code */
    const char* processUser;
    int32_t auxValue;
    bool realTime;
    uint64_t blocksAllocated;
    uint8_t reserved0[16];
    uint64_t deviceNumber;
    uint64_t flagsAll;
    bool growing;
    uint64_t inodeGenerationNumber;
    uint64_t inodeNumber;
    const char* owner;
    bool shrinking;
    const char* symLinkPath;
    bool cannotChangePassword;
    const char* description;
    bool disabled;
    uint64_t flags;
    const char* fullName;
    const char* userGroup;
    const char* homeDriveLetter;
    const char* homeFolder;
    const char* installedDate;
    bool lockedOut;
    const char* logonScript;
    const char* logonShell;
    const char* name;
    int32_t passwordExpiredDaysBeforeDisabled;
    int32_t passwordExpiryInDays;
    int32_t passwordExpiry;
    bool passwordHasExpired;
    int32_t passwordLastChanged;
    int32_t passwordMinDaysBetweenChanges;
    bool passwordNeverExpires;
    int32_t passwordWarningDays;
    const char* portKey;
    const char* path;
    const char* permissions;
    const char* profilePath;
    const char* members;
    uint64_t size;
    const char* subGroups;
    const char* user;
    int32_t listeners;
    const char* processKey;
    const char* processName;
    const char* process;
    int32_t processID;
    int32_t parentProcessID;
    const char* parent;
    const char* installLocation;
    const char* manufacturer;
    const char* version;
    const char* commandLine;
    int32_t threads;
    const char* displayName;
    uint8_t reserved1[16];
    const unsigned char* sha256; /* 32 bytes or null */
    const unsigned char* sha1;   /* 20 bytes or null */
    const unsigned char* md5;    /* 16 bytes or null */
    uint8_t reserved2[104];
    const char* newKey;
    const char* processGroups;
} im_wrapper_event_s;

typedef struct im_wrapper_response_s {
    uint32_t state;
    uint64_t nItemsScanned;
    uint64_t nEvents;
    char* json;                  /* owned by the host after the call */
} im_wrapper_response_s;

/* ---- Exported functions ---------------------------------------------------- */

#ifdef __cplusplus
class IMEngineHandle;
#else
typedef struct IMEngineHandle IMEngineHandle;
#endif

QVIM_API void init_response_wrapper(im_wrapper_response_s* response);
QVIM_API void cleanup_response_wrapper(im_wrapper_response_s* response);
QVIM_API void free_json_string(char* json);

QVIM_API qvim_status engine_start(const im_engine_init_s* init);
QVIM_API qvim_status engine_stop(void);
QVIM_API IMEngineHandle* get_engine_handle(const char* name);
QVIM_API qvim_status close_engine_handle(const char* name);

QVIM_API qvim_status set_integrityscan(bool on);
QVIM_API qvim_status integrity_monitor(unsigned long threadId, const im_wrapper_event_s* record,
                                       im_wrapper_response_s* response);
QVIM_API qvim_status clean_unscanned(const char* entityType, unsigned long scanTime,
                                     im_wrapper_response_s* response);
QVIM_API qvim_status purge_db(void);
QVIM_API qvim_status flush_db_buffer(unsigned long* nItemsScanned);
QVIM_API qvim_status set_baselinescan(bool bState);
QVIM_API qvim_status store_item(const im_wrapper_event_s* record, bool buffered,
                                im_wrapper_response_s* response);
QVIM_API qvim_status set_loglevel(unsigned int mask);
QVIM_API qvim_status set_ruleset(bool allowPartialBaseline, const char* rulesetJson,
                                 const char* rulesetId);
QVIM_API int should_scan_folder(const char* path);
QVIM_API int should_scan_entity_type(entity_type type);
QVIM_API qvim_status set_im_state(const char* key, const char* value);
QVIM_API qvim_status get_im_state(const char* key, char** value);
QVIM_API qvim_status integrity_scan(unsigned long threadId, entity_type type, scan_type scanType,
                                    im_wrapper_response_s* response);
QVIM_API qvim_status get_metrics_mem(char** json);
QVIM_API qvim_status get_baseline(unsigned long itemId, unsigned long recordTime,
                                  unsigned long limit, entity_type type, const char* filePath);
QVIM_API qvim_status migrate_baseline(const char* oldDbPath);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout checks -------------------------------------------------------- */

#ifdef __cplusplus
#define QVIM_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QVIM_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

QVIM_STATIC_ASSERT(sizeof(entity_type) == 4, "entity_type is 32-bit");
QVIM_STATIC_ASSERT(sizeof(scan_type) == 4, "scan_type is 32-bit");
QVIM_STATIC_ASSERT(sizeof(im_engine_init_s) == 48, "im_engine_init_s is 48 bytes");
QVIM_STATIC_ASSERT(offsetof(im_engine_init_s, dbPath) == 8, "dbPath offset");
QVIM_STATIC_ASSERT(offsetof(im_engine_init_s, logLevel) == 16, "logLevel offset");
QVIM_STATIC_ASSERT(offsetof(im_engine_init_s, logCallback) == 40, "logCallback offset");
QVIM_STATIC_ASSERT(sizeof(im_wrapper_response_s) == 32, "im_wrapper_response_s is 32 bytes");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_response_s, nItemsScanned) == 8, "nItemsScanned offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_response_s, json) == 24, "json offset");
QVIM_STATIC_ASSERT(sizeof(im_wrapper_event_s) == 608, "im_wrapper_event_s is 608 bytes");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, eventType) == 40, "eventType offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, realTime) == 60, "realTime offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, deviceNumber) == 88, "deviceNumber offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, name) == 248, "name offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, path) == 296, "path offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, size) == 328, "size offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, processKey) == 360, "processKey offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, displayName) == 440, "displayName offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, sha256) == 464, "sha256 offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, md5) == 480, "md5 offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, newKey) == 592, "newKey offset");
QVIM_STATIC_ASSERT(offsetof(im_wrapper_event_s, processGroups) == 600, "processGroups offset");

#endif /* QVIM_H */
