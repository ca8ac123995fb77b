// Read access to the RPM package database through librpm, loaded at run time
// so that hosts without it only lose the installed-software scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// librpm's opaque handles.
struct rpmdb_s;
struct rpmts_s;
struct rpmdbMatchIterator_s;
struct headerToken_s;

// Header tags read (librpm's published numbers).
enum rpmTag_e : int32_t {
    RPMTAG_NAME = 1000,
    RPMTAG_VERSION = 1001,
    RPMTAG_RELEASE = 1002,
    RPMTAG_INSTALLTIME = 1008,
    RPMTAG_SIZE = 1009,
    RPMTAG_VENDOR = 1011,
};

class QVARPM {
public:
    // Loads librpm and resolves its functions; false when it is unusable.
    static bool OnInit();

    // True with a null iterator when the host has no RPM database: it lists
    // no package (next gives none) and nothing is created.
    static bool openDB(rpmdb_s*& db, rpmts_s*& ts, rpmdbMatchIterator_s*& iterator);
    static void closeDB(rpmdb_s*& db, rpmts_s*& ts, rpmdbMatchIterator_s*& iterator);
    static headerToken_s* next(rpmdbMatchIterator_s* iterator);

    static bool getString(headerToken_s* header, rpmTag_e tag, std::string& out);
    static bool getInt(headerToken_s* header, rpmTag_e tag, unsigned long& out);

    using ReadConfigFiles = int (*)(const char*, const char*);
    using TsCreate = rpmts_s* (*)();
    using TsFree = rpmts_s* (*)(rpmts_s*);
    using HeaderGet = int (*)(headerToken_s*, int32_t, void*, uint32_t);
    using DbFreeIterator = rpmdbMatchIterator_s* (*)(rpmdbMatchIterator_s*);
    using DbInitIterator = rpmdbMatchIterator_s* (*)(rpmdb_s*, int32_t, const void*, size_t);
    using DbNextIterator = headerToken_s* (*)(rpmdbMatchIterator_s*);
    using TdClass = int (*)(void*);
    using TdFreeData = void (*)(void*);
    using TdGetNumber = uint64_t (*)(void*);
    using TdGetString = const char* (*)(void*);
    using DbClose = int (*)(rpmdb_s*);
    using DbOpen = int (*)(const char*, rpmdb_s**, int, int);
    using TsInitIterator = rpmdbMatchIterator_s* (*)(rpmts_s*, int32_t, const void*, size_t);
    using Expand = char* (*)(const char*, ...);
    using Free = void* (*)(void*);

    static void* m_RPMLib;
    static ReadConfigFiles pfnrpmReadConfigFiles;
    static TsCreate pfnrpmtsCreate;
    static TsFree pfnrpmtsFree;
    static HeaderGet pfnheaderGet;
    static DbFreeIterator pfnrpmdbFreeIterator;
    static DbInitIterator pfnrpmdbInitIterator;
    static DbNextIterator pfnrpmdbNextIterator;
    static TdClass pfnrpmtdClass;
    static TdFreeData pfnrpmtdFreeData;
    static TdGetNumber pfnrpmtdGetNumber;
    static TdGetString pfnrpmtdGetString;
    static DbClose pfnrpmdbClose;
    static DbOpen pfnrpmdbOpen;
    static TsInitIterator pfnrpmtsInitIterator;
    // Optional: used to find the database before opening it.
    static Expand pfnrpmExpand;
    static Free pfnrfree;

private:
    static bool loaded();
    static bool databaseExists();
};
