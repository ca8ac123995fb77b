// File-system entities as the host observes them: attributes from lstat/statx,
// digests of regular files, and the boundary record handed to the engine.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include <cjson/cJSON.h>

#include "Digest.h"
#include "Walk.h"
#include "qvim.h"

namespace qvimcli {

enum class Outcome {
    Ok,              // attributes and, for a regular file, digests
    AttributesOnly,  // the content could not be read; problem says why
    Unhashed,        // attributes only: larger than the hashing limit (problem says so)
    Stopped,         // a stop request ended the reading; nothing to hand on
    Vanished,        // nothing at the path any more
    Skipped,         // not an entity this call collects (e.g. no longer a regular file)
};

struct FsEntity {
    entity_type kind = ENTITY_FILE;
    std::string path;
    std::string owner;        // uid in decimal
    std::string group;        // gid in decimal
    // "0644", "01777" with the sticky bit; special files and links carry
    // their type too ("0010644" FIFO, "0120777" link). Regular files and
    // folders leave it out, as baselines always recorded them.
    std::string permissions;
    std::string symLinkPath;  // link text, links only
    uint64_t created = 0;     // birth time in ms, 0 when the file system has none
    uint64_t lastAccessed = 0;
    uint64_t lastModified = 0;
    uint64_t size = 0;
    uint64_t blocks = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t flags = 0;       // inode flags (immutable, append-only ...) of files and folders
    uint64_t flagsAll = 0;    // fingerprint of what has no column (see InodeAttributes.h)
    uint64_t generation = 0;  // inode generation of files and folders, 0 where the file system has none
    unsigned mode = 0;        // st_mode as recorded
    std::string capabilities;  // readable file capabilities, empty when none
    int readError = 0;        // why the content could not be read (AttributesOnly)
    bool hasDigests = false;
    Digests digests{};

    // The file still has the status this entity was built from (attributes
    // and content times alike).
    bool sameStatus(const struct stat& st) const;

    // Fills record (cleared first) with pointers into this entity, which must
    // outlive the engine call. newKey defaults to the path.
    void toRecord(im_wrapper_event_s& record, uint32_t eventType, bool realTime,
                  const std::string* newKey = nullptr) const;

    // Adds what the engine's event cannot say to one of this entity's events:
    // "type" for special files, "capabilities" when the file has some.
    void annotate(cJSON* event) const;
};

// A regular file as the walk found it: opened relative to its folder, never
// through a link and only when the walk saw a regular file; the attributes
// are those of the file opened (what now stands at its name). Anything else
// found there is Skipped.
Outcome collectRegularFile(const WalkEntry& entry, Hasher& hasher, FsEntity& entity, std::string& problem);

// Any entry, recorded the way the engine's own walk records directories, links
// and special files; regular files as collectRegularFile does.
Outcome collectEntry(const WalkEntry& entry, Hasher& hasher, FsEntity& entity, std::string& problem);

// The same for an absolute path, whose folder is reached from "/" without
// following a link (see lookUp).
Outcome collectRegularFile(const std::string& path, Hasher& hasher, FsEntity& entity, std::string& problem);
Outcome collectEntry(const std::string& path, Hasher& hasher, FsEntity& entity, std::string& problem);

}  // namespace qvimcli
