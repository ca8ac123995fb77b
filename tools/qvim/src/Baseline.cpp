#include "Baseline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "Kinds.h"
#include "Output.h"
#include "SafeFiles.h"
#include "Text.h"

namespace qvimcli {
namespace {

constexpr unsigned long kPageRows = 2000;

uint64_t numberMember(const cJSON* row, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(row, name);
    return cJSON_IsNumber(item) && item->valuedouble > 0 ? static_cast<uint64_t>(item->valuedouble) : 0;
}

// Rows of a kind (every kind for ENTITY_ALL) as the engine counts them; false
// when the engine cannot count.
bool countRows(Engine& engine, entity_type kind, uint64_t& count) {
    EngineText text;
    if (!engine.metrics(text).ok()) return false;
    JsonPtr document(cJSON_Parse(text.get()));
    const cJSON* dbinfo =
        cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(document.get(), "metrics"), "dbinfo");
    count = 0;
    for (const KindNames& names : kStoredKinds) {
        if (kind != ENTITY_ALL && kind != names.kind) continue;
        const cJSON* item = cJSON_GetObjectItemCaseSensitive(dbinfo, names.countMember);
        if (!cJSON_IsNumber(item)) return false;
        count += numberMember(dbinfo, names.countMember);
    }
    return true;
}

// A page cut short by a failing read looks like the last page: the rows read
// must add up to what the baseline holds, before and after (others may write meanwhile).
bool exportComplete(Engine& engine, entity_type kind, uint64_t before, uint64_t read, std::string& error) {
    uint64_t after = 0;
    if (!countRows(engine, kind, after)) {
        error = "cannot count the baseline's entities to confirm the export was whole";
        return false;
    }
    if (read >= std::min(before, after)) return true;
    error = "the engine's export ended after " + std::to_string(read) + " of " + std::to_string(std::min(before, after)) +
            " entities (the database may be locked or damaged)";
    return false;
}

}  // namespace

bool forEachBaselineRow(Engine& engine, entity_type kind, uint64_t since, const std::string& scratchFolder,
                        const std::function<bool(const std::string& line, const cJSON* row)>& row, std::string& error) {
    // The engine writes each page by name: the name lives in a folder of our
    // own, so nobody can put a link or a file of theirs in its place.
    PrivateFolder scratch;
    if (!scratch.create(scratchFolder, error)) {
        error = "cannot make a scratch folder in '" + scratchFolder + "': " + error;
        return false;
    }
    const std::string page = joinPath(scratch.path(), "page");
    // Only a read of every row can be checked against the counts.
    uint64_t before = 0;
    if (since == 0 && !countRows(engine, kind, before)) {
        error = "cannot count the baseline's entities";
        return false;
    }
    uint64_t total = 0;
    unsigned long after = 0;
    for (;;) {
        // Each page is a new file, however the engine opens it.
        unlink(page.c_str());
        const EngineResult status = engine.exportPage(after, since, kPageRows, kind, page);
        if (!status.ok()) {
            error = "the engine could not export the baseline: " + status.text();
            return false;
        }
        std::ifstream in(page);
        std::string line;
        unsigned long rows = 0;
        while (std::getline(in, line)) {
            if (line.empty()) continue;
            ++rows;
            ++total;
            JsonPtr parsed(cJSON_Parse(line.c_str()));
            const uint64_t id = numberMember(parsed.get(), "entityItemId");
            if (id <= after) {
                error = "the engine's export did not advance past item " + std::to_string(after);
                return false;
            }
            after = id;
            if (!row(line, parsed.get())) return true;
        }
        if (rows < kPageRows) return since != 0 || exportComplete(engine, kind, before, total, error);
    }
}

void DiskKeySet::Closer::operator()(FILE* file) const { std::fclose(file); }
void DiskKeySet::Closer::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void DiskKeySet::Closer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

void DiskKeySet::close() {
    m_insert.reset();
    m_find.reset();
    m_db.reset();
    m_log.reset();
}

bool DiskKeySet::open(const std::string& scratchFolder, std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    close();
    m_failed = false;
    m_count = 0;
    if (!m_folder.create(scratchFolder, error)) return false;
    // The folder is ours alone (0700) and open: nobody can put a link in its place.
    UniqueFd fd(openat(m_folder.fd(), "keys", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd) m_log.reset(fdopen(fd.get(), "w"));
    if (!m_log) {
        error = "cannot make a scratch file in '" + m_folder.path() + "': " + errorText(errno);
        return false;
    }
    fd.release();
    return true;
}

void DiskKeySet::fail() { m_failed = true; }

bool DiskKeySet::failed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

void DiskKeySet::add(const std::string& key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed) return;
    ++m_count;
    if (m_db) {
        if (!insert(key)) fail();
        return;
    }
    if (!m_log || std::fwrite(key.c_str(), 1, key.size() + 1, m_log.get()) != key.size() + 1) fail();
}

bool DiskKeySet::insert(const std::string& key) {
    sqlite3_stmt* statement = m_insert.get();
    sqlite3_bind_blob(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    const int done = sqlite3_step(statement);
    sqlite3_reset(statement);
    return done == SQLITE_DONE;
}

bool DiskKeySet::index() {
    if (!m_log || std::fflush(m_log.get()) != 0) return false;
    m_log.reset();
    const std::string keys = joinPath(m_folder.path(), "keys");
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(joinPath(m_folder.path(), "index").c_str(), &db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
    m_db.reset(db);
    sqlite3_stmt* inserting = nullptr;
    sqlite3_stmt* finding = nullptr;
    // Nothing here needs to survive a crash: no journal, no syncs; the page
    // cache is small and fixed, the rest stays in the file.
    const bool ready =
        opened == SQLITE_OK &&
        sqlite3_exec(db,
                     "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE;"
                     "PRAGMA cache_size=-2048; PRAGMA temp_store=FILE;"
                     "CREATE TABLE keys(key BLOB PRIMARY KEY) WITHOUT ROWID; BEGIN;",
                     nullptr, nullptr, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO keys VALUES(?)", -1, &inserting, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT 1 FROM keys WHERE key = ?", -1, &finding, nullptr) == SQLITE_OK;
    m_insert.reset(inserting);
    m_find.reset(finding);
    if (!ready) return false;
    // The transaction stays open: later keys go straight into the index and
    // are seen by this connection's look-ups.
    std::ifstream in(keys, std::ios::binary);
    std::string key;
    bool ok = static_cast<bool>(in);
    while (ok && std::getline(in, key, '\0')) ok = insert(key);
    ok = ok && in.eof();
    unlink(keys.c_str());
    return ok;
}

bool DiskKeySet::contains(const std::string& key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed || m_count == 0) return false;
    if (!m_db && !index()) {
        fail();
        return false;
    }
    sqlite3_stmt* statement = m_find.get();
    sqlite3_bind_blob(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    const int step = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (step != SQLITE_ROW && step != SQLITE_DONE) fail();
    return step == SQLITE_ROW;
}

bool BaselineKeys::load(Engine& engine, entity_type kind, const std::string& scratchFolder, std::string& error,
                        const std::function<void(const std::string& key, const cJSON* row)>& each) {
    if (!m_keys.open(scratchFolder, error)) return false;
    return forEachBaselineRow(
        engine, kind, 0, scratchFolder,
        [this, &each](const std::string&, const cJSON* row) {
            std::string key = exactJsonText(row, "key");
            if (key.empty()) return true;
            if (each) each(key, row);
            m_keys.add(key);
            return true;
        },
        error);
}

bool RenameIndex::build(Engine& engine, const std::string& scratchFolder, std::string& error) {
    return m_keys.load(engine, ENTITY_FILE, scratchFolder, error, [this](const std::string& key, const cJSON* row) {
        struct stat st;
        if (lstat(key.c_str(), &st) == 0 || errno != ENOENT) return;
        const uint64_t inode = numberMember(row, "inodeNumber");
        if (inode == 0) return;
        m_vanished[{numberMember(row, "deviceNumber"), inode}] =
            Vanished{key, numberMember(row, "created"), numberMember(row, "inodeGenerationNumber")};
    });
}

std::string RenameIndex::take(const FsEntity& entity) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The inode first: the keys on disk are consulted only for a likely rename.
    auto found = m_vanished.find({entity.device, entity.inode});
    if (found == m_vanished.end() || m_keys.contains(entity.path) || m_keys.failed()) return std::string();
    const Vanished& old = found->second;
    // A rename keeps the birth time and the generation. Without either nothing
    // proves the file is the same one: it is then reported deleted and created.
    if (old.created != entity.created) return std::string();
    if (old.generation != 0 && entity.generation != 0 && old.generation != entity.generation) return std::string();
    if (old.created == 0 && (old.generation == 0 || old.generation != entity.generation)) return std::string();
    std::string key = std::move(found->second.key);
    m_vanished.erase(found);
    return key;
}

bool baselinePackagesFromDpkg(Engine& engine, const std::string& scratchFolder, bool& fromDpkg,
                              std::string& error) {
    fromDpkg = false;
    return forEachBaselineRow(
        engine, ENTITY_INSTALLED_SOFTWARE, 0, scratchFolder,
        [&fromDpkg](const std::string&, const cJSON* row) {
            fromDpkg = !jsonText(row, "parent").empty();
            return false;
        },
        error);
}

}  // namespace qvimcli
