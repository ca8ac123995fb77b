// The Linux collectors: directories, users, groups, processes and installed
// software, each turned into boundary records for the scan framework.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "QVIMScanAbstract.h"

struct spwd;
enum class KindScanner : uint8_t;

class QVIMScanLinux : public QVIMScanAbstract {
public:
    using QVIMScanAbstract::QVIMScanAbstract;

    using Routine = bool (QVIMScanLinux::*)(unsigned long threadId, scan_type scanType,
                                            im_wrapper_response_s* response);
    // The routine of a kind's scanner (its registry row); none for Host.
    static Routine routine(KindScanner scanner);

    // Walks the tree from "/" through the folders in scope, recording
    // directories, symbolic links and special files.
    bool scanDirectories(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response);
    bool processDir(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response, const char* path,
                    JSONEvents& events);

    bool scanUsers(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response);
    bool scanGroups(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response);
    // Always true: a cut-short scan only produces no events text.
    bool scanProcesses(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response);
    bool scanInstalledSoftware(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response);

    static void initializeEventWrapper(im_wrapper_event_s& record, const char* entityType, const std::string& path,
                                       struct stat& st);
    static void makeFirectoryEntity(im_wrapper_event_s& record, const struct stat& st);
    // The same for an entry of an open folder: its birth time is taken
    // relative to that folder, not through its path.
    static void initializeEventWrapper(im_wrapper_event_s& record, const char* entityType, const std::string& path,
                                       struct stat& st, int folder, const char* name);
    static void cleanUpEventWrapper(im_wrapper_event_s& record);
    static void cleanupAndAnull(const char*& text);
    static void cleanupAndAnull(const unsigned char*& bytes);
    // New array-allocated, NUL-terminated copy.
    static char* makeStrCpy(const std::string& text);

protected:
    // Whether the walk enters a folder (the rules' scan scope).
    virtual bool folderInScope(const char* path);

    // Time budget of one process scan.
    unsigned long m_processScanBudgetMs = 10000;

private:
    // Walks an open folder (owned by the call); path is its name for records and messages.
    bool processOpenDir(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response, int folder,
                        const std::string& path, JSONEvents& events);
    bool processLink(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response, int folder,
                     const char* name, const std::string& child, struct stat& st, im_wrapper_event_s& record,
                     JSONEvents& events);
    bool processProcEntry(unsigned long threadId, scan_type scanType, im_wrapper_response_s* response,
                          const char* name, JSONEvents& events);
};

// Fills the user fields derived from a shadow entry; today counts days
// since the epoch.
void applyShadowEntry(im_wrapper_event_s& record, const struct spwd& shadow, long today);

// "gid:name", or "gid:" when the gid has no group.
std::string getQualifiedGroupName(int gid);

// The executable of a process ("/proc/<pid>/exe"); the link length, or the
// failed readlink result (path untouched).
long getProcessName(const char* pid, std::string& path);
long getProcessNameByPid(int pid, std::string& path);
// Effective uid and gid and the thread count from "/proc/<pid>/status";
// returns how many of the three were found.
int getUserInfo(const char* pid, int& uid, int& gid, int& threads);
int getUserInfoByPid(int pid, int& uid, int& gid, int& threads);
