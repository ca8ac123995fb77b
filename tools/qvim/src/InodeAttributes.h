// What an inode carries beyond the baseline's columns (status-change time,
// link count, extended attributes, access lists, capabilities, security
// labels), folded into the 64-bit value recorded as flagsAll, and the
// readable forms of modes, inode flags and capabilities.
//
// flagsAll layout, in the 53 bits a JSON number (the export's) holds exactly:
//   52      set: the row was recorded with this layout (0: recorded without)
//   51..48  file type (st_mode >> 12)
//   47      sticky bit
//   46..23  six 4-bit tags, one per part (ctime, links, xattrs, acl, caps,
//           label; part i at bits 23 + 4i): they name what changed
//   22..0   23 bits of SHA-256 over the canonical encoding of all parts
// The kernel moves ctime with every change of the others and nobody can set
// it back without setting the clock, so the small hash cannot be matched by
// trying values.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qvimcli {

// Extended attributes of one inode, sorted by name.
struct ExtendedAttributes {
    std::vector<std::pair<std::string, std::string>> entries;
    int error = 0;  // why they could not be listed (0: read, or the file system has none)
};

// Reading one inode's attributes stops here; later values count by size only.
constexpr size_t kMaxAttributeBytes = 1 << 20;

// Reads them by descriptor. An O_PATH descriptor (special files, which are
// never opened for reading) is read through its /proc/self/fd entry, which
// names the inode without opening it.
ExtendedAttributes readExtendedAttributes(int fd, bool pathOnly);

uint64_t inodeFingerprint(const struct stat& st, const ExtendedAttributes& attributes);

// Names of the parts whose tags differ ("ctime", "links", "xattrs", "acl",
// "caps", "label", plus "type" and "sticky"); "attributes" when only the hash
// tells them apart. Empty when equal or when before was recorded without it.
std::vector<std::string> changedInodeParts(uint64_t before, uint64_t after);
bool fingerprintRecorded(uint64_t value);
// The st_mode type and sticky bits a fingerprint carries.
unsigned fingerprintModeBits(uint64_t value);

// "FIFO", "socket", "character device", "block device", "link", "folder",
// "file"; empty for an unknown type.
const char* typeName(unsigned mode);
// The permissions text a mode is recorded as: "0644", "01777" for regular
// files and folders; special files and links with their type ("0010644").
std::string permissionsText(unsigned mode);
// "-rwxr-xr-t" the way ls shows a mode (type letter first).
std::string modeText(unsigned mode);
// Inode flags as lsattr letters, '-' for each flag not set ("----i---------e-------").
std::string inodeFlagsText(uint64_t flags);
// The value of security.capability as text ("cap_net_raw+ep"); empty when unreadable.
std::string capabilityText(const std::string& raw);

}  // namespace qvimcli
