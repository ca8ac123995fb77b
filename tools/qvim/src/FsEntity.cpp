#include "FsEntity.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "FileDescriptor.h"
#include "InodeAttributes.h"
#include "Kinds.h"
#include "Text.h"

namespace qvimcli {
namespace {

uint64_t millis(const struct timespec& time) {
    return static_cast<uint64_t>(time.tv_sec) * 1000u + static_cast<uint64_t>(time.tv_nsec) / 1000000u;
}

bool isSpecial(unsigned mode) { return !S_ISREG(mode) && !S_ISDIR(mode) && !S_ISLNK(mode); }

// A failure of the run (no descriptors or memory left, I/O errors), as
// opposed to the entry's own business (refused to us, replaced since it was
// listed, attributes that keep changing), which its fingerprint records.
bool isRunFailure(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM || error == EIO; }

void fillCommon(FsEntity& entity, const struct stat& st) {
    entity.owner = std::to_string(static_cast<unsigned long long>(st.st_uid));
    entity.group = std::to_string(static_cast<unsigned long long>(st.st_gid));
    entity.device = st.st_dev;
    entity.inode = st.st_ino;
    entity.lastAccessed = millis(st.st_atim);
    entity.lastModified = millis(st.st_mtim);
    entity.mode = st.st_mode;
    entity.permissions = permissionsText(st.st_mode);
}

void fillRegular(FsEntity& entity, const struct stat& st) {
    fillCommon(entity, st);
    entity.kind = ENTITY_FILE;
    entity.size = static_cast<uint64_t>(st.st_size);
    entity.blocks = static_cast<uint64_t>(st.st_blocks);
}

// Inode flags, generation (descriptors opened for reading only), extended
// attributes and the fingerprint of what has no column. st is the status of
// the inode fd refers to. Returns the error that kept the attributes from
// being listed when it is a failure of the run, whose fingerprint would
// report a change that did not happen.
int fillInode(FsEntity& entity, int fd, bool pathOnly, const struct stat& st) {
    if (!pathOnly) {
        int inodeFlags = 0;
        if (ioctl(fd, FS_IOC_GETFLAGS, &inodeFlags) == 0) entity.flags = static_cast<unsigned>(inodeFlags);
        // Tells a renamed file from a new one that reuses a deleted file's inode.
        int generation = 0;
        if (ioctl(fd, FS_IOC_GETVERSION, &generation) == 0) entity.generation = static_cast<unsigned>(generation);
    }
    const ExtendedAttributes attributes = readExtendedAttributes(fd, pathOnly);
    entity.flagsAll = inodeFingerprint(st, attributes);
    for (const auto& [name, value] : attributes.entries)
        if (name == "security.capability") entity.capabilities = capabilityText(value);
    return isRunFailure(attributes.error) ? attributes.error : 0;
}

// The same for an entry that is not opened for reading: through an O_PATH
// descriptor, which neither opens a device or pipe nor follows a link. What
// it finds must be the entry the walk examined.
int fillInodeAt(FsEntity& entity, const WalkEntry& entry) {
    const struct stat& st = entry.st;
    ExtendedAttributes none;
    // A link's own attributes are reached only through the link's path:
    // leave them out rather than risk reading its target's.
    if (!S_ISLNK(st.st_mode)) {
        FileDescriptor fd(openat(entry.folder->fd(), entry.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat now;
        if (fd.get() < 0 && isRunFailure(errno)) return errno;
        if (fd.get() >= 0 && fstat(fd.get(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            return fillInode(entity, fd.get(), true, st);
        // Replaced since it was examined: recorded as unlisted, which differs
        // from any attributes it had; the next look records the newcomer.
        none.error = fd.get() < 0 ? errno : ESTALE;
    }
    entity.flagsAll = inodeFingerprint(st, none);
    return 0;
}

// An entry whose inode attributes could not be read: its other attributes
// only, and why.
Outcome attributesOnly(FsEntity& entity, int error, std::string& problem) {
    entity.readError = error;
    problem = errorText(error);
    return Outcome::AttributesOnly;
}

int openForReading(const WalkEntry& entry) {
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const int folder = entry.folder->fd();
    // Reading must not disturb access times; only the owner (or root) may ask.
    int fd = openat(folder, entry.name.c_str(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = openat(folder, entry.name.c_str(), flags);
    return fd;
}

Outcome withEntryAt(const std::string& path, FsEntity& entity,
                    const std::function<Outcome(const WalkEntry&)>& collect) {
    entity = FsEntity();
    entity.path = path;
    WalkEntry entry;
    int error = 0;
    if (lookUp(path, entry, error)) return collect(entry);
    return error == ENOENT || error == ENOTDIR ? Outcome::Vanished : Outcome::Skipped;
}

}  // namespace

bool FsEntity::sameStatus(const struct stat& st) const {
    FsEntity now;
    fillRegular(now, st);
    return now.device == device && now.inode == inode && now.size == size && now.lastModified == lastModified &&
           now.owner == owner && now.group == group && now.permissions == permissions;
}

void FsEntity::toRecord(im_wrapper_event_s& record, uint32_t eventType, bool realTime,
                        const std::string* newKey) const {
    memset(&record, 0, sizeof record);
    record.entityType = kindName(kind == ENTITY_DIRECTORY ? ENTITY_DIRECTORY : ENTITY_FILE);
    record.eventType = eventType;
    record.realTime = realTime;
    record.path = path.c_str();
    record.newKey = newKey != nullptr ? newKey->c_str() : path.c_str();
    record.owner = owner.c_str();
    record.userGroup = group.c_str();
    record.permissions = permissions.c_str();
    record.symLinkPath = symLinkPath.empty() ? nullptr : symLinkPath.c_str();
    record.created = created;
    record.lastAccessed = lastAccessed;
    record.lastModified = lastModified;
    record.size = size;
    record.blocksAllocated = blocks;
    record.deviceNumber = device;
    record.inodeNumber = inode;
    record.flags = flags;
    record.flagsAll = flagsAll;
    record.inodeGenerationNumber = generation;
    if (hasDigests) {
        record.sha256 = digests.sha256;
        record.sha1 = digests.sha1;
        record.md5 = digests.hasMd5 ? digests.md5 : nullptr;
    }
}

void FsEntity::annotate(cJSON* event) const {
    if (event == nullptr) return;
    if (isSpecial(mode) && !cJSON_HasObjectItem(event, "type")) cJSON_AddStringToObject(event, "type", typeName(mode));
    if (!capabilities.empty() && !cJSON_HasObjectItem(event, "capabilities"))
        cJSON_AddStringToObject(event, "capabilities", capabilities.c_str());
}

Outcome collectRegularFile(const WalkEntry& entry, Hasher& hasher, FsEntity& entity, std::string& problem) {
    entity = FsEntity();
    entity.path = entry.path;
    // Devices, pipes and sockets are never opened: opening alone may act on them.
    if (!S_ISREG(entry.st.st_mode)) return Outcome::Skipped;
    FileDescriptor fd(openForReading(entry));
    if (fd.get() < 0) {
        const int openError = errno;
        if (openError == ENOENT) return Outcome::Vanished;
        if (openError == ELOOP) return Outcome::Skipped;  // became a link since it was listed; the next walk records it
        fillRegular(entity, entry.st);
        entity.created = entry.birth;
        fillInodeAt(entity, entry);  // the open's error is the one to tell
        entity.readError = openError;
        problem = errorText(openError);
        return Outcome::AttributesOnly;
    }
    // What was opened is what gets recorded, and only a regular file is read.
    struct stat st;
    if (examine(fd.get(), "", AT_EMPTY_PATH, st, entity.created) != 0 || !S_ISREG(st.st_mode))
        return Outcome::Skipped;
    fillRegular(entity, st);
    if (const int error = fillInode(entity, fd.get(), false, st)) return attributesOnly(entity, error, problem);
    if (hasher.tooLarge(entity.size)) {
        problem = "not hashed: larger than " + sizeText(hasher.limits().maxBytes);
        return Outcome::Unhashed;
    }
    // Another name of an inode this run has read already.
    LinkedDigests* const linked = st.st_nlink > 1 ? hasher.linked() : nullptr;
    if (linked != nullptr && linked->find(st, hasher.md5(), entity.digests)) {
        entity.hasDigests = true;
        return Outcome::Ok;
    }
    int readError = 0;
    switch (hasher.digest(fd.get(), entity.digests, readError, &entity.size)) {
        case DigestResult::Done:
            entity.hasDigests = true;
            if (linked != nullptr) {
                // Kept for the other names only if nothing changed while it was read.
                struct stat after;
                uint64_t birth = 0;
                if (examine(fd.get(), "", AT_EMPTY_PATH, after, birth) == 0 && LinkedDigests::sameContent(st, after))
                    linked->add(st, entity.digests);
            }
            return Outcome::Ok;
        case DigestResult::ReadError:
            entity.readError = readError;
            problem = errorText(readError);
            return Outcome::AttributesOnly;
        case DigestResult::TooLarge:
            problem = "not hashed: larger than " + sizeText(hasher.limits().maxBytes);
            return Outcome::Unhashed;
        case DigestResult::Stopped: break;
    }
    return Outcome::Stopped;
}

Outcome collectEntry(const WalkEntry& entry, Hasher& hasher, FsEntity& entity, std::string& problem) {
    const struct stat& st = entry.st;
    if (S_ISREG(st.st_mode)) return collectRegularFile(entry, hasher, entity, problem);

    const int folder = entry.folder->fd();
    const char* name = entry.name.c_str();
    entity = FsEntity();
    entity.path = entry.path;
    fillCommon(entity, st);
    entity.created = entry.birth;
    if (S_ISDIR(st.st_mode)) {
        entity.kind = ENTITY_DIRECTORY;
        // A folder may be opened for reading: that gives its inode flags too.
        FileDescriptor fd(openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0 && isRunFailure(errno)) return attributesOnly(entity, errno, problem);
        struct stat now;
        const int error = fd.get() >= 0 && fstat(fd.get(), &now) == 0 && now.st_dev == st.st_dev &&
                                  now.st_ino == st.st_ino
                              ? fillInode(entity, fd.get(), false, st)
                              : fillInodeAt(entity, entry);
        if (error != 0) return attributesOnly(entity, error, problem);
    } else if (S_ISLNK(st.st_mode)) {
        char target[4097];
        const ssize_t length = readlinkat(folder, name, target, sizeof target - 1);
        if (length < 0) return errno == ENOENT ? Outcome::Vanished : Outcome::Skipped;
        entity.symLinkPath.assign(target, static_cast<size_t>(length));
        entity.size = static_cast<uint64_t>(length);
        if (const int error = fillInodeAt(entity, entry)) return attributesOnly(entity, error, problem);
        // The link's target is resolved from the link's own folder.
        struct stat resolved;
        entity.kind = fstatat(folder, name, &resolved, 0) == 0 && S_ISDIR(resolved.st_mode) ? ENTITY_DIRECTORY
                                                                                            : ENTITY_FILE;
    } else {
        entity.kind = ENTITY_FILE;  // sockets, pipes and devices are recorded as files, with their type
        if (const int error = fillInodeAt(entity, entry)) return attributesOnly(entity, error, problem);
    }
    return Outcome::Ok;
}

Outcome collectRegularFile(const std::string& path, Hasher& hasher, FsEntity& entity, std::string& problem) {
    return withEntryAt(path, entity,
                       [&](const WalkEntry& entry) { return collectRegularFile(entry, hasher, entity, problem); });
}

Outcome collectEntry(const std::string& path, Hasher& hasher, FsEntity& entity, std::string& problem) {
    return withEntryAt(path, entity,
                       [&](const WalkEntry& entry) { return collectEntry(entry, hasher, entity, problem); });
}

}  // namespace qvimcli
