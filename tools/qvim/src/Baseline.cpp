#include "Baseline.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "Output.h"
#include "SafeFiles.h"
#include "Session.h"
#include "Text.h"

namespace qvimcli {
namespace {

constexpr unsigned long kPageRows = 2000;

uint64_t numberMember(const cJSON* row, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(row, name);
    return cJSON_IsNumber(item) && item->valuedouble > 0 ? static_cast<uint64_t>(item->valuedouble) : 0;
}

uint64_t keyHash(const std::string& key) { return std::hash<std::string>()(key); }

}  // namespace

bool forEachBaselineRow(entity_type kind, uint64_t since, const std::string& scratchFolder,
                        const std::function<bool(const std::string& line, const cJSON* row)>& row, std::string& error) {
    // The engine writes each page by name: the name lives in a folder of our
    // own, so nobody can put a link or a file of theirs in its place.
    PrivateFolder scratch;
    if (!scratch.create(scratchFolder, error)) {
        error = "cannot make a scratch folder in '" + scratchFolder + "': " + error;
        return false;
    }
    const std::string page = joinPath(scratch.path(), "page");
    unsigned long after = 0;
    for (;;) {
        // Each page is a new file, however the engine opens it.
        unlink(page.c_str());
        const qvim_status status = get_baseline(after, since, kPageRows, kind, page.c_str());
        if (status != QVIM_OK) {
            error = "the engine could not export the baseline: " + statusText(status);
            return false;
        }
        std::ifstream in(page);
        std::string line;
        unsigned long rows = 0;
        while (std::getline(in, line)) {
            if (line.empty()) continue;
            ++rows;
            JsonPtr parsed(cJSON_Parse(line.c_str()));
            const uint64_t id = numberMember(parsed.get(), "entityItemId");
            if (id <= after) {
                error = "the engine's export did not advance past item " + std::to_string(after);
                return false;
            }
            after = id;
            if (!row(line, parsed.get())) return true;
        }
        if (rows < kPageRows) return true;
    }
}

bool RenameIndex::build(const std::string& scratchFolder, std::string& error) {
    return forEachBaselineRow(
        ENTITY_FILE, 0, scratchFolder,
        [this](const std::string&, const cJSON* row) {
            const std::string key = jsonText(row, "key");
            if (key.empty()) return true;
            m_keys.insert(keyHash(key));
            // Links and special files are the engine's own walk's business.
            if (startsWith(jsonText(row, "permissions"), "012")) return true;
            struct stat st;
            if (lstat(key.c_str(), &st) == 0 || errno != ENOENT) return true;
            const uint64_t inode = numberMember(row, "inodeNumber");
            if (inode != 0) m_vanished[{numberMember(row, "deviceNumber"), inode}] = key;
            return true;
        },
        error);
}

std::string RenameIndex::take(uint64_t device, uint64_t inode, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_vanished.empty() || m_keys.count(keyHash(path)) != 0) return std::string();
    auto found = m_vanished.find({device, inode});
    if (found == m_vanished.end()) return std::string();
    std::string key = std::move(found->second);
    m_vanished.erase(found);
    return key;
}

bool baselinePackagesFromDpkg(const std::string& scratchFolder) {
    bool fromDpkg = false;
    std::string error;
    forEachBaselineRow(
        ENTITY_INSTALLED_SOFTWARE, 0, scratchFolder,
        [&fromDpkg](const std::string&, const cJSON* row) {
            fromDpkg = !jsonText(row, "parent").empty();
            return false;
        },
        error);
    return fromDpkg;
}

}  // namespace qvimcli
