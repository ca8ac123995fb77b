// The cost of the working copy check and update scan on: a baseline of
// 1 000 000 Files stored through store_item, copied as check copies it (a
// reflink where the file system offers one, else the bytes in the kernel),
// against SQLite's backup of the same database. Run with stdout to /dev/null; figures go to stderr.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BaselineCopy.h"
#include "BenchReport.h"
#include "qvim.h"

namespace {

constexpr int kFiles = 1'000'000;
constexpr int kFilesPerFolder = 400;
const char* const kRules =
    R"({"IntegrityRules":[{"id":1,"name":"bench","EntitySets":[{"entityType":"File","base":"/w/"}]}]})";

double secondsSince(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool buildBaseline(const std::string& path) {
    im_engine_init_s init{};
    init.dbPath = path.c_str();
    init.logLevel = QVIM_LOG_ERROR;
    init.logCallback = [](uint32_t, uint32_t, const char*, const char*, const char*, uint32_t) {};
    if (engine_start(&init) != QVIM_OK || set_ruleset(false, kRules, "bench") != QVIM_OK) return false;
    set_loglevel(0);
    set_baselinescan(true);
    unsigned char sha256[32];
    for (int i = 0; i < 32; ++i) sha256[i] = static_cast<unsigned char>(i * 7);
    char key[64];
    bool ok = true;
    for (int i = 0; i < kFiles && ok; ++i) {
        snprintf(key, sizeof key, "/w/dir%04d/file%07d.dat", i / kFilesPerFolder, i);
        im_wrapper_event_s record{};
        record.entityType = "File";
        record.eventType = QVIM_EVENT_CHANGED;
        record.path = record.newKey = key;
        record.size = 4096 + i;
        record.created = record.lastModified = 1'700'000'000'000ULL + i;
        record.inodeNumber = 1000 + i;
        record.owner = record.userGroup = "0";
        record.permissions = "644";
        record.sha256 = sha256;
        im_wrapper_response_s response{};
        ok = store_item(&record, true, &response) == QVIM_OK;
    }
    set_baselinescan(false);
    engine_stop();
    return ok;
}

const char* fileSystemName(const std::string& folder) {
    struct statfs fs;
    if (statfs(folder.c_str(), &fs) != 0) return "unknown";
    switch (static_cast<unsigned long>(fs.f_type)) {
        case 0xEF53: return "ext4";
        case 0x58465342: return "xfs";
        case 0x9123683E: return "btrfs";
        case 0x01021994: return "tmpfs";
        default: return "another file system";
    }
}

std::string absoluteFolder(const std::string& folder) {
    char* cwd = getcwd(nullptr, 0);
    std::string path = std::string(cwd != nullptr ? cwd : ".") + "/" + folder;
    free(cwd);
    return path;
}

}  // namespace

int main() {
    char pattern[] = "copy-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string folder = pattern;
    const std::string db = folder + "/im.db", backup = folder + "/backup.db", clone = folder + "/clone.db";
    auto started = std::chrono::steady_clock::now();
    if (!buildBaseline(db)) {
        fprintf(stderr, "building the baseline failed\n");
        return 1;
    }
    struct stat st;
    stat(db.c_str(), &st);
    fprintf(stderr, "baseline of %d files: %.0f MiB, built in %.1f s on %s\n", kFiles,
            static_cast<double>(st.st_size) / (1 << 20), secondsSince(started), fileSystemName(folder));

    // What check and update do: the copy, made as the file system allows.
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    std::string error;
    double copySeconds = 0;
    std::string method;
    {
        qvimcli::BaselineCopy copy;
        started = std::chrono::steady_clock::now();
        if (!copy.create(folderFd, absoluteFolder(folder), "im.db", error)) {
            fprintf(stderr, "the working copy failed: %s\n", error.c_str());
            return 1;
        }
        copySeconds = secondsSince(started);
        method = qvimcli::copyMethodName(copy.method());
    }
    close(folderFd);

    // The reference: SQLite's backup of the same database, page by page.
    const int empty = open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    close(empty);
    started = std::chrono::steady_clock::now();
    if (!qvimcli::backupDatabase(db, backup, error)) {
        fprintf(stderr, "the backup failed: %s\n", error.c_str());
        return 1;
    }
    const double backupSeconds = secondsSince(started);
    const std::string figure = "working copy of a 1M-file baseline (" + method + ")";
    benchResult(figure.c_str(), copySeconds, "s", "SQLite backup API", backupSeconds, backupSeconds / copySeconds,
                "faster than the backup API");

    const int from = open(db.c_str(), O_RDONLY);
    const int cloned = open(clone.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (!qvimcli::reflinkFile(from, cloned))
        fprintf(stderr, "no reflink: %s here does not share blocks between files, so the copy is a %s\n",
                fileSystemName(folder), method == "copy" ? "copy of the bytes in the kernel" : "backup");
    close(cloned);
    close(from);
    for (const std::string& file : {db, backup, clone}) unlink(file.c_str());
    rmdir(folder.c_str());
    return 0;
}
