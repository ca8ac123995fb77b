// Baseline scan control, export and scope: what a walk enters, what a new
// baseline period empties, and the baseline written out as JSON lines.
// Sections: scan scope, baseline control, baseline export.
#include "QVIMExportBackbone.h"

#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "QVIMDOM.h"
#include "QVIMDataAccessLayer.h"
#include "QVIMEventAbstraction.h"
#include "QVIMJson.h"
#include "QVIMLogger.h"
#include "QVIMStats.h"
#include "QVIMUtilPlatformIndependent.h"

// ---- Scan scope -----------------------------------------------------------------------

namespace {

// The kinds a pending partial baseline rebuilds; function names the caller
// in the log line for an unreadable setting.
bool readPartialEntityTypes(QVIMDAL& dal, const char* function, std::string& listed) {
    static const char* const kSetting = "partialBaseLineScanEntityTypes";
    if (dal.GetIntegrityMonitorState(kSetting, listed)) return true;
    LOG_ERROR(QVIM_SRC_EXPORT, function, "Unable to get partial state variable '%s'", kSetting);
    return false;
}

}  // namespace

bool validateEntityTypeInPartialScan(QVIMDAL& dal, entity_type type, const char* function) {
    std::string listed;
    if (!readPartialEntityTypes(dal, function, listed)) return false;
    if (listed.empty() || type < ENTITY_FILE || type > ENTITY_PROCESS) return false;
    const TrimWhiteSpace trim;
    const char* name = entityTypeName(type);
    for (const std::string& entry : split(listed, ',', &trim))
        if (entry == name) return true;
    return false;
}

bool isSkippedFileSystemType(long type) {
    switch (type) {
        case 0x9FA0:      // proc
        case 0x1CD1:      // devpts
        case 0x6969:      // NFS
        case 0x64626720:  // debugfs
        case 0x73636673:  // securityfs
        case 0x62656572:  // sysfs
            return true;
        default:
            return false;
    }
}

namespace {

// In a partial baseline only the top-level directories of the changed bases
// are walked again, and the root that leads to them.
bool matchPathToPartialBaseStateVariable(QVIMDAL& dal, const std::string& folder) {
    static const char* const kSetting = "partialBaselineScanPathsDisk";
    std::string text;
    if (!dal.GetIntegrityMonitorState(kSetting, text)) {
        LOG_ERROR(QVIM_SRC_EXPORT, "matchPathToPartialBaseStateVariable", "Unable to get partial base list %s",
                  kSetting);
        return false;
    }
    if (folder == "/") return true;
    const Unescape unescape;
    for (const std::string& path : split(text, ';', &unescape)) {
        if (path.empty() || folder.compare(0, path.size(), path) != 0) continue;
        if (folder.size() == path.size() || path.find('/') != std::string::npos) return true;
    }
    return false;
}

// Whether the partial baseline rebuilds files or directories at all.
bool partialScanCoversDisk(QVIMDAL& dal) {
    std::string listed;
    if (!readPartialEntityTypes(dal, "shouldScanFolder", listed)) return false;
    for (const std::string& entry : split(listed, ','))
        if (!entry.empty() && (entry[0] == 'D' || entry[0] == 'F')) return true;
    return false;
}

}  // namespace

bool Scan::shouldScanFolder(QVIMDAL& dal, const QVIMConfig& config, const char* folder, entity_type type) {
    if (folder == nullptr) return false;
    struct statfs info;
    if (::statfs(folder, &info) != 0) {
        char buffer[256];
        LOG_WARNING(QVIM_SRC_EXPORT, "shouldScanFolder", "Error calling statfs() on '%s': %s.", folder,
                    strerror_r(errno, buffer, sizeof buffer));
    } else if (isSkippedFileSystemType(static_cast<long>(info.f_type))) {
        return false;
    }

    const bool partial = dal.isPartialScanSet();
    std::string path = folder;
    if (!path.empty() && path.back() != '/') path += '/';
    if (!partial) return QVIMConfig::matchBaseToRule(*config.getFilter(), type, path);
    return partialScanCoversDisk(dal) && matchPathToPartialBaseStateVariable(dal, path);
}

bool Scan::walkEnters(QVIMDAL& dal, const QVIMConfig& config, const char* folder) {
    return shouldScanFolder(dal, config, folder, ENTITY_FILE) || shouldScanFolder(dal, config, folder, ENTITY_DIRECTORY);
}

// ---- Baseline control ------------------------------------------------------------------

namespace {

// Empties what a pending partial baseline rebuilds: the rows of the listed
// kinds, and for files and directories the rows under the changed bases.
void purgePartialBaseline(QVIMDAL& dal) {
    static const char* const kFunction = "purgePartialBaseline";
    std::string listed;
    if (!readPartialEntityTypes(dal, kFunction, listed)) return;
    const TrimWhiteSpace trim;
    std::set<entity_type> kinds;
    for (const std::string& name : split(listed, ',', &trim)) {
        if (name.empty()) continue;  // an empty list names no kind
        const entity_type kind = convertEntityTypeName(name.c_str());
        if (kind >= ENTITY_FILE && kind <= ENTITY_PROCESS) kinds.insert(kind);
    }
    for (entity_type kind : kinds) {
        if (kind != ENTITY_FILE && kind != ENTITY_DIRECTORY) {
            dal.purgeDB(kind);
            continue;
        }
        static const char* const kPaths = "partialBaselinePurgePathsDisk";
        std::string text;
        if (!dal.GetIntegrityMonitorState(kPaths, text)) {
            LOG_ERROR(QVIM_SRC_EXPORT, kFunction, "Unable to get partial base list %s", kPaths);
            continue;
        }
        const Unescape unescape;
        std::list<std::string> paths;
        // An empty path would be a prefix of every key.
        for (std::string& path : split(text, ';', &unescape))
            if (!path.empty()) paths.push_back(std::move(path));
        if (!paths.empty()) dal.purgeDiskPaths(paths);
    }
}

}  // namespace

void setBaselineScan(QVIMDAL& dal, QVIMStats& stats, bool state) {
    static const char* const kFunction = "setBaselineScan";
    static const char* const kItems = "baselineItemsAdded";
    static const char* const kBytes = "baselineBytesAdded";
    if (state) {
        stats.Set(kItems, 0);
        stats.Set(kBytes, 0);
        LOG_TRACE(QVIM_SRC_EXPORT, kFunction, "set_baselinescan true");
        dal.SetIntegrityMonitorState(kItems, 0UL);
        dal.SetIntegrityMonitorState(kBytes, 0UL);
        LOG_TRACE(QVIM_SRC_EXPORT, kFunction, "Baseline items metrics reset");
        if (!dal.isPartialScanSet()) {
            if (dal.purgeDB(ENTITY_ALL)) LOG_TRACE(QVIM_SRC_EXPORT, kFunction, "Full baseline scan selected; full purge");
        } else {
            purgePartialBaseline(dal);
            LOG_TRACE(QVIM_SRC_EXPORT, kFunction, "Partial baseline scan selected; partial purge");
        }
        return;
    }
    unsigned long written = 0;
    dal.storeItemFlush(written);
    const long items = stats.Get(kItems);
    const long bytes = stats.Get(kBytes);
    dal.SetIntegrityMonitorState(kItems, static_cast<unsigned long>(items));
    dal.SetIntegrityMonitorState(kBytes, static_cast<unsigned long>(bytes));
    LOG_TRACE(QVIM_SRC_EXPORT, kFunction, "set_baselinescan false baselineItemsAdded %lld baselineBytesAdded %lld",
              static_cast<long long>(items), static_cast<long long>(bytes));
    dal.SetIntegrityMonitorState("baselineScanType", 0UL);
}

// ---- Baseline export -------------------------------------------------------------------

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

using ExportRow = std::vector<std::pair<std::string, QVIMEvent::VariantField>>;

// Turns export rows into JSON lines. The tree of a row refers to the row's
// names and texts instead of copying them, and is printed into one reused
// buffer, so the cost per row is a few small nodes and memory stays flat.
class RowWriter {
public:
    explicit RowWriter(FILE* file) : m_file(file) {}

    bool write(const std::string& rules, const ExportRow& row) {
        CJsonPtr object(cJSON_CreateObject());
        if (!object) return false;
        m_repaired.clear();
        // Worst case: every text byte escaped as \u00XX, plus member framing.
        size_t needed = 64;
        if (!rules.empty()) addText(object.get(), "rule", rules, needed);
        for (const auto& [name, field] : row) {
            needed += 40 + name.size();
            if (field.type == QVIMEvent::VariantField::Text) {
                if (field.text.empty()) continue;
                addText(object.get(), name.c_str(), field.text, needed);
            } else {
                add(object.get(), name.c_str(), exportNumber(field.integer));
            }
        }
        if (m_buffer.size() < needed) m_buffer.resize(needed);
        if (needed <= static_cast<size_t>(INT_MAX) &&
            cJSON_PrintPreallocated(object.get(), m_buffer.data(), static_cast<int>(m_buffer.size()), false)) {
            std::fputs(m_buffer.data(), m_file);
        } else {
            CJsonText text(cJSON_PrintUnformatted(object.get()));
            if (!text) return false;
            std::fputs(text.get(), m_file);
        }
        return std::fputc('\n', m_file) != EOF;
    }

    // Integers are exported as unsigned 64-bit values: 32-bit ones are
    // sign-extended first, so a negative value reads as 2^64 plus the value.
    // JSON numbers are doubles here, printed the way the JSON library prints
    // them: below 10^15 as exact integers; from there on as the nearest
    // double in 15 significant digits when those read back within the
    // library's tolerance, else 17, with an exponent where "%g" picks one.
    // So 10^15 prints as 1e+15, 2^53 as 9.00719925474099e+15 (which reads
    // back 2 lower), and -1 and -42 in a 32-bit column both print as
    // 1.8446744073709552e+19: hosts cannot tell such values apart.
    static cJSON* exportNumber(int64_t value) {
        const auto number = static_cast<uint64_t>(value);
        // Below 10^15 the library prints a whole number as its plain digits
        // ("%d", or "%1.15g", which needs no exponent there); writing those
        // digits directly saves its printf and read-back round trip.
        if (number >= kPlainDigitsBelow) return cJSON_CreateNumber(static_cast<double>(number));
        char digits[24];
        *std::to_chars(digits, digits + sizeof digits - 1, number).ptr = '\0';
        return cJSON_CreateRaw(digits);
    }
    static constexpr uint64_t kPlainDigitsBelow = 1000000000000000ULL;

private:
    // A member referring to text, or to its repair when it is not
    // well-formed UTF-8, followed then by the member with its exact bytes
    // (both kept until the next row); adds their printed worst case to needed.
    // The tree refers to name, which must outlive the row's printing.
    void addText(cJSON* object, const char* name, const std::string& text, size_t& needed) {
        std::string repaired;
        const std::string& valid = wellFormedUtf8(text, repaired);
        if (&valid == &text) {
            needed += text.size() * 6;
            add(object, name, cJSON_CreateStringReference(text.c_str()));
            return;
        }
        const std::string& kept = m_repaired.emplace_back(std::move(repaired));
        const std::string& exact = m_repaired.emplace_back(Blob::getEncoding(text.data(), text.size()));
        const std::string exactName = std::string(name) + kExactBytesSuffix;
        needed += kept.size() * 6 + exact.size() + exactName.size() + 40;
        add(object, name, cJSON_CreateStringReference(kept.c_str()));
        if (cJSON* item = cJSON_CreateStringReference(exact.c_str()))
            cJSON_AddItemToObject(object, exactName.c_str(), item);  // copies the name
    }

    static void add(cJSON* object, const char* name, cJSON* item) {
        if (item != nullptr) cJSON_AddItemToObjectCS(object, name, item);
    }

    FILE* m_file;
    std::vector<char> m_buffer;
    std::deque<std::string> m_repaired;  // stable addresses while a row is printed
};

// Statement slot for the paging parameters.
unsigned exportSlot(unsigned long itemId, unsigned long recordTime) {
    if (itemId == 0) return recordTime == 0 ? EventTypeTable::ExportFirst : EventTypeTable::ExportSince;
    return recordTime == 0 ? EventTypeTable::ExportAfterId : EventTypeTable::ExportAfterIdSince;
}

// Labels of the rules matching the record, in rule id order, joined by ','.
void ruleLabels(const IntegrityRuleFilter& filter, entity_type kind, const QVIMEvent& record,
                std::unordered_set<long long>& ruleIds, std::vector<long long>& ordered, std::string& labels) {
    ruleIds.clear();
    labels.clear();
    filter.matchRules(kind, record, record.realTime, ruleIds);
    ordered.assign(ruleIds.begin(), ruleIds.end());
    std::sort(ordered.begin(), ordered.end());
    for (long long id : ordered) {
        const std::shared_ptr<IntegrityRule> rule = filter.getRuleById(id);
        if (!rule) continue;
        if (!labels.empty()) labels += ',';
        labels += rule->label();
    }
}

// Exports the rows of one kind; limit is what is left of the call's limit.
// False when a row cannot be read (logged here) or written (writeFailed).
bool exportKind(QVIMDAL& dal, const IntegrityRuleFilter& filter, entity_type kind,
                unsigned long itemId, unsigned long recordTime, unsigned long& limit, RowWriter& writer,
                bool& writeFailed) {
    static const char* const kFunction = "getBaseline";
    const auto readFailed = [&](const char* reason) {
        LOG_ERROR(QVIM_SRC_EXPORT, kFunction, "Error executing SELECT on Entity%sTable: %s", entityTypeName(kind),
                  reason);
        return false;
    };
    // The record reads rows and matches rules; it is never stored.
    const std::unique_ptr<QVIMEvent> record(QVIMEvent::factory(dal, kind, nullptr));
    EventTypeTable* table = dal.table(kind);
    if (!record || table == nullptr) return readFailed("no table for the kind");
    const unsigned long offset = static_cast<unsigned long>(kind) * kExportIdStride;

    MutexLock lock(dal.storeLock());
    sqlite3_stmt* stmt = *table->getStmt(exportSlot(itemId, recordTime));
    if (stmt == nullptr) return readFailed("the database is not open");
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    StatementUse use(stmt);
    // An id below this kind's range (for example one of an earlier kind)
    // means every row of it.
    const bool bound =
        (itemId == 0 || EventTypeTable::bindField(stmt, ":itemID", itemId > offset ? itemId - offset : 0UL)) &&
        (recordTime == 0 || EventTypeTable::bindField(stmt, ":recordTime", recordTime)) &&
        EventTypeTable::bindField(stmt, ":limit", limit);
    if (!bound) return readFailed(sqlite3_errmsg(dal.db()));

    ExportRow row;
    std::unordered_set<long long> ruleIds;
    std::vector<long long> ordered;
    std::string labels;
    int rc = SQLITE_DONE;
    while (limit != 0 && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        // A NULL text column leaves its entry alone: start every row empty.
        for (auto& entry : row) entry.second.text.clear();
        record->getRow(stmt, row, offset);
        record->currentKey = row[1].second.text;
        // Attribute conditions of rules read the stored values.
        record->populateComparableMembers(stmt);
        ruleLabels(filter, kind, *record, ruleIds, ordered, labels);
        if (labels.empty())
            LOG_WARNING(QVIM_SRC_EXPORT, kFunction, "No rules matched entity type: %s with key '%s'",
                        entityTypeName(kind), record->currentKey.c_str());
        if (!writer.write(labels, row)) {
            writeFailed = true;
            return false;
        }
        --limit;
    }
    // A page cut short (a lock held past the busy timeout, a damaged page)
    // is a failure: the host would take it for the whole baseline.
    if (limit != 0 && rc != SQLITE_DONE) return readFailed(sqlite3_errmsg(dal.db()));
    return true;
}

}  // namespace

bool getBaseline(QVIMDAL& store, const IntegrityRuleFilter& filter, unsigned long itemId, unsigned long recordTime,
                 unsigned long limit, entity_type kind, const char* filePath) {
    static const char* const kFunction = "getBaseline";
    char reason[256];
    std::string why = "no file name";
    // The export may name accounts and hashes: it is the owner's alone, and
    // never written through a link or into a FIFO that could hold the call.
    const int fd = filePath != nullptr ? openOwnFile(filePath, false, why) : -1;
    FilePtr file(fd >= 0 ? fdopen(fd, "w") : nullptr);
    if (!file) {
        if (fd >= 0) {
            why = strerror_r(errno, reason, sizeof reason);
            ::close(fd);
        }
        LOG_ERROR(QVIM_SRC_EXPORT, kFunction, "Error opening file '%s': %s", filePath != nullptr ? filePath : "(null)",
                  why.c_str());
        return false;
    }
    std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 16);
    RowWriter writer(file.get());

    bool exported = true;
    bool writeFailed = false;
    if (kind != ENTITY_ALL) {
        exported = exportKind(store, filter, kind, itemId, recordTime, limit, writer, writeFailed);
    } else {
        // Later kinds are not restricted by itemId: the walk continues with
        // their first rows.
        unsigned long current = std::max<unsigned long>(itemId / kExportIdStride, ENTITY_FILE);
        for (; exported && limit != 0 && current <= ENTITY_PROCESS; ++current, itemId = 0)
            exported = exportKind(store, filter, static_cast<entity_type>(current), itemId, recordTime, limit,
                                  writer, writeFailed);
    }
    const int error = std::ferror(file.get()) != 0 ? errno : 0;
    if (std::fclose(file.release()) != 0 || writeFailed || error != 0) {
        LOG_ERROR(QVIM_SRC_EXPORT, kFunction, "Error writing file '%s': %s", filePath,
                  strerror_r(error != 0 ? error : errno, reason, sizeof reason));
        return false;
    }
    return exported;
}
