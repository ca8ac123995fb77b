// The RPM database read through the library loaded at run time, so that
// qvim runs where it is not installed. Sections: loading, the database,
// header fields.
#include "RPM.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <mutex>

#include "QVIMLogger.h"

// Sanitizer runtimes refuse libraries opened with RTLD_DEEPBIND.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QVIM_RPM_NO_DEEPBIND 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define QVIM_RPM_NO_DEEPBIND 1
#endif
#endif

namespace {

#ifdef QVIM_RPM_NO_DEEPBIND
constexpr int kOpenFlags = RTLD_NOW;
#else
constexpr int kOpenFlags = RTLD_NOW | RTLD_DEEPBIND;
#endif

// Storage that headerGet fills: larger than librpm's tag-data container.
struct TagData {
    alignas(16) unsigned char bytes[128];
};

constexpr int kNumericClass = 1;

bool g_ready = false;

template <class Function>
bool resolve(const char* name, Function& function) {
    dlerror();
    void* symbol = dlsym(QVARPM::m_RPMLib, name);
    if (symbol == nullptr) return false;
    function = reinterpret_cast<Function>(symbol);
    return true;
}

template <class Function>
bool require(const char* name, Function& function) {
    if (resolve(name, function)) return true;
    const char* error = dlerror();
    LOG_ERROR(QVIM_SRC_RPM, "OnInit", "Error loading ##fname##: '%s'", error != nullptr ? error : name);
    return false;
}

}  // namespace

void* QVARPM::m_RPMLib = nullptr;
QVARPM::ReadConfigFiles QVARPM::pfnrpmReadConfigFiles = nullptr;
QVARPM::TsCreate QVARPM::pfnrpmtsCreate = nullptr;
QVARPM::TsFree QVARPM::pfnrpmtsFree = nullptr;
QVARPM::HeaderGet QVARPM::pfnheaderGet = nullptr;
QVARPM::DbFreeIterator QVARPM::pfnrpmdbFreeIterator = nullptr;
QVARPM::DbInitIterator QVARPM::pfnrpmdbInitIterator = nullptr;
QVARPM::DbNextIterator QVARPM::pfnrpmdbNextIterator = nullptr;
QVARPM::TdClass QVARPM::pfnrpmtdClass = nullptr;
QVARPM::TdFreeData QVARPM::pfnrpmtdFreeData = nullptr;
QVARPM::TdGetNumber QVARPM::pfnrpmtdGetNumber = nullptr;
QVARPM::TdGetString QVARPM::pfnrpmtdGetString = nullptr;
QVARPM::DbClose QVARPM::pfnrpmdbClose = nullptr;
QVARPM::DbOpen QVARPM::pfnrpmdbOpen = nullptr;
QVARPM::TsInitIterator QVARPM::pfnrpmtsInitIterator = nullptr;
QVARPM::Expand QVARPM::pfnrpmExpand = nullptr;
QVARPM::Free QVARPM::pfnrfree = nullptr;

bool QVARPM::OnInit() {
    static const char* const names[] = {"librpm.so",   "librpm.so.1", "librpm.so.2",  "librpm.so.3",
                                        "librpm.so.8", "librpm.so.9", "librpm-4.4.so"};
    for (const char* name : names) {
        m_RPMLib = dlopen(name, kOpenFlags);
        if (m_RPMLib != nullptr) break;
    }
    if (m_RPMLib == nullptr) {
        LOG_ERROR(QVIM_SRC_RPM, "OnInit", "Failed to load librpm.so");
        return false;
    }
    const bool required = require("rpmReadConfigFiles", pfnrpmReadConfigFiles) &&
                          require("rpmtsCreate", pfnrpmtsCreate) && require("rpmtsFree", pfnrpmtsFree) &&
                          require("headerGet", pfnheaderGet) && require("rpmdbFreeIterator", pfnrpmdbFreeIterator) &&
                          require("rpmdbInitIterator", pfnrpmdbInitIterator) &&
                          require("rpmdbNextIterator", pfnrpmdbNextIterator) && require("rpmtdClass", pfnrpmtdClass) &&
                          require("rpmtdFreeData", pfnrpmtdFreeData) &&
                          require("rpmtdGetNumber", pfnrpmtdGetNumber) && require("rpmtdGetString", pfnrpmtdGetString);
    if (!required) return false;
    // Newer versions have no rpmdbOpen; the transaction-set path serves them.
    resolve("rpmdbClose", pfnrpmdbClose);
    resolve("rpmdbOpen", pfnrpmdbOpen);
    resolve("rpmtsInitIterator", pfnrpmtsInitIterator);
    if (!resolve("rpmExpand", pfnrpmExpand) || !resolve("rfree", pfnrfree)) pfnrpmExpand = nullptr;
    return true;
}

// Loaded on first use rather than when the engine library is loaded: the
// failure then reaches the log the host configured, and hosts that never
// scan software never load librpm.
bool QVARPM::loaded() {
    static std::once_flag once;
    std::call_once(once, [] { g_ready = OnInit(); });
    return g_ready;
}

// librpm creates a database where it finds none, even to answer a query, and
// a scan must not leave files behind: the database is looked for before
// librpm opens anything. An empty folder is common (packaged librpm ships
// one), so the folder alone is not enough: it must hold the main file of
// one of librpm's database formats.
bool QVARPM::databaseExists() {
    if (pfnrpmExpand == nullptr) return true;
    char* path = pfnrpmExpand("%{_dbpath}", static_cast<const char*>(nullptr));
    if (path == nullptr) return true;
    const std::string folder = path;
    pfnrfree(path);
    for (const char* file : {"rpmdb.sqlite", "Packages.db", "Packages"}) {
        struct stat info;
        if (::stat((folder + "/" + file).c_str(), &info) == 0 && S_ISREG(info.st_mode)) return true;
    }
    LOG_TRACE(QVIM_SRC_RPM, "openDB", "No RPM database in '%s'", folder.c_str());
    return false;
}

bool QVARPM::openDB(rpmdb_s*& db, rpmts_s*& ts, rpmdbMatchIterator_s*& iterator) {
    db = nullptr;
    ts = nullptr;
    iterator = nullptr;
    if (!loaded()) return false;
    static std::once_flag configRead;
    std::call_once(configRead, [] { pfnrpmReadConfigFiles(nullptr, nullptr); });

    // No database (a host that has librpm but does not use rpm): no package
    // was installed through it.
    if (!databaseExists()) return true;
    if (pfnrpmdbOpen != nullptr && pfnrpmdbClose != nullptr) {
        const int rc = pfnrpmdbOpen("", &db, 0, 0644);
        if (rc != 0) {
            LOG_WARNING(QVIM_SRC_RPM, "openDB", "RPM open failed: %d", rc);
            db = nullptr;
            return false;
        }
        iterator = pfnrpmdbInitIterator(db, 0, nullptr, 0);
    } else {
        ts = pfnrpmtsCreate();
        if (ts == nullptr) {
            LOG_WARNING(QVIM_SRC_RPM, "openDB", "RPM open failed");
            return false;
        }
        if (pfnrpmtsInitIterator != nullptr) iterator = pfnrpmtsInitIterator(ts, 0, nullptr, 0);
    }
    if (iterator == nullptr) LOG_WARNING(QVIM_SRC_RPM, "openDB", "RPM iterator failed");
    return iterator != nullptr;
}

void QVARPM::closeDB(rpmdb_s*& db, rpmts_s*& ts, rpmdbMatchIterator_s*& iterator) {
    if (iterator != nullptr) iterator = pfnrpmdbFreeIterator(iterator);
    if (db != nullptr) {
        pfnrpmdbClose(db);
        db = nullptr;
    }
    if (ts != nullptr) ts = pfnrpmtsFree(ts);
}

headerToken_s* QVARPM::next(rpmdbMatchIterator_s* iterator) {
    return iterator != nullptr ? pfnrpmdbNextIterator(iterator) : nullptr;
}

bool QVARPM::getString(headerToken_s* header, rpmTag_e tag, std::string& out) {
    out.clear();
    TagData data{};
    bool found = false;
    if (pfnheaderGet(header, tag, &data, 0) != 0) {
        const char* text = pfnrpmtdGetString(&data);
        if (text != nullptr) {
            out = text;
            found = true;
        }
    }
    pfnrpmtdFreeData(&data);
    return found;
}

bool QVARPM::getInt(headerToken_s* header, rpmTag_e tag, unsigned long& out) {
    out = 0;
    TagData data{};
    bool found = false;
    if (pfnheaderGet(header, tag, &data, 0) != 0 && pfnrpmtdClass(&data) == kNumericClass) {
        out = static_cast<unsigned long>(pfnrpmtdGetNumber(&data));
        found = true;
    }
    pfnrpmtdFreeData(&data);
    return found;
}
