// migrate_baseline of a legacy database made from fuzz bytes: either the
// bytes are the file itself (a damaged or foreign file), or they describe
// entities and attribute rows that are written into a well-formed old
// database. Afterwards the baseline is exported, and every exported line
// must be strict JSON.
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <string>

#include "FuzzBytes.h"
#include "FuzzEngine.h"
#include "StrictJson.h"

namespace {

const char* const kRules = R"({"IntegrityRules":[{"id":1,"name":"all","EntitySets":[
  {"entityType":"File","base":"/"},{"entityType":"Directory","base":"/"},{"entityType":"User"},
  {"entityType":"Group"},{"entityType":"Port"},{"entityType":"InstalledSoftware"},{"entityType":"Process"}]}]})";

const char* const kTypes[] = {"File", "Directory", "User", "Group", "Port", "InstalledSoftware", "Process", "Service"};
// Old attribute names the kinds know, plus a few they do not.
const char* const kNames[] = {
    "blocksAllocated", "contents", "created", "deviceNumber", "flags", "flagsAll", "group", "growing",
    "inodeGenerationNumber", "inodeNumber", "lastAccessed", "lastModified", "md5", "owner", "permissions", "sha1",
    "sha256", "shrinking", "size", "symLinkPath", "user", "groups", "cannotChangePassword", "description", "disabled",
    "fullName", "homeDriveLetter", "homeFolder", "lockedOut", "logonScript", "logonShell",
    "passwordExpiredDaysBeforeDisabled", "passwordExpiryInDays", "passwordExpiry", "passwordHasExpired",
    "passwordLastChanged", "passwordMinDaysBetweenChanges", "passwordNeverExpires", "passwordWarningDays",
    "profilePath", "members", "subGroups", "listeners", "path", "process", "processId", "processID", "name",
    "displayName", "parent", "installedDate", "installLocation", "manufacturer", "version", "commandLine", "threads",
    "shoeSize"};

template <class T, size_t N>
constexpr size_t count(const T (&)[N]) {
    return N;
}

struct Database {
    sqlite3* db = nullptr;
    ~Database() { sqlite3_close_v2(db); }
};

// One value column: integer, text, blob or NULL, as the input says.
void bindValue(sqlite3_stmt* stmt, int index, FuzzBytes& in, std::deque<std::string>& keep) {
    switch (in.byte() % 4) {
        case 0: sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(in.number())); break;
        case 1: sqlite3_bind_text(stmt, index, in.text(keep), -1, SQLITE_STATIC); break;
        case 2: {
            const std::string& bytes = keep.emplace_back(in.text(keep));
            sqlite3_bind_blob(stmt, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
            break;
        }
        default: sqlite3_bind_null(stmt, index); break;
    }
}

// Entities and their attribute rows, in the columns the migration reads.
bool writeDescribed(const std::string& path, FuzzBytes& in) {
    Database out;
    if (sqlite3_open(path.c_str(), &out.db) != SQLITE_OK) return false;
    if (sqlite3_exec(out.db,
                     "BEGIN;CREATE TABLE Entitys (id INTEGER PRIMARY KEY, entityType TEXT, a, b, c, d, key TEXT);"
                     "CREATE TABLE Attributes (id INTEGER PRIMARY KEY, entityId, name TEXT, value, extra);",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    sqlite3_stmt* entity = nullptr;
    sqlite3_stmt* attribute = nullptr;
    sqlite3_prepare_v2(out.db, "INSERT INTO Entitys (id, entityType, key) VALUES (?, ?, ?)", -1, &entity, nullptr);
    sqlite3_prepare_v2(out.db, "INSERT INTO Attributes (entityId, name, value, extra) VALUES (?, ?, ?, ?)", -1,
                       &attribute, nullptr);
    std::deque<std::string> keep;
    for (int id = 1; !in.empty() && id <= 64; ++id) {
        const uint8_t type = in.byte();
        sqlite3_bind_int(entity, 1, (type & 0x80) != 0 ? id / 2 + 1 : id);  // ids may collide
        sqlite3_bind_text(entity, 2, (type & 0x40) != 0 ? in.text(keep) : kTypes[type % count(kTypes)], -1,
                          SQLITE_STATIC);
        sqlite3_bind_text(entity, 3, in.text(keep), -1, SQLITE_STATIC);
        sqlite3_step(entity);
        sqlite3_reset(entity);
        for (int attributes = in.byte() % 8; attributes > 0; --attributes) {
            const uint8_t name = in.byte();
            sqlite3_bind_int(attribute, 1, id);
            sqlite3_bind_text(attribute, 2, (name & 0x80) != 0 ? in.text(keep) : kNames[name % count(kNames)], -1,
                              SQLITE_STATIC);
            bindValue(attribute, 3, in, keep);
            bindValue(attribute, 4, in, keep);
            sqlite3_step(attribute);
            sqlite3_reset(attribute);
        }
    }
    sqlite3_finalize(entity);
    sqlite3_finalize(attribute);
    return sqlite3_exec(out.db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void exportIsStrict(const std::string& path) {
    if (get_baseline(0, 0, 200, ENTITY_ALL, path.c_str()) != QVIM_OK) abort();
    std::ifstream lines(path);
    std::string line;
    while (std::getline(lines, line))
        if (!strict_json::parses(line.c_str())) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_engine::start(kRules);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string legacy = fuzz_engine::pathOf("legacy.db");
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::remove((legacy + suffix).c_str());
    fuzz_engine::logLevels((data[0] & 0x80) != 0);
    if ((data[0] & 1) == 0) {
        std::ofstream(legacy, std::ios::binary).write(reinterpret_cast<const char*>(data) + 1,
                                                     static_cast<std::streamsize>(size - 1));
    } else {
        FuzzBytes in(data + 1, size - 1);
        if (!writeDescribed(legacy, in)) return 0;
    }
    migrate_baseline(legacy.c_str());
    exportIsStrict(fuzz_engine::pathOf("export.jsonl"));
    return 0;
}
