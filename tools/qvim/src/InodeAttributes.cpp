#include "InodeAttributes.h"

#include <linux/fs.h>
#include <sys/capability.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Digest.h"

namespace qvimcli {
namespace {

enum Part : unsigned { kCtime, kLinks, kXattrs, kAcl, kCaps, kLabel, kPartCount };
const char* const kPartNames[kPartCount] = {"ctime", "links", "xattrs", "acl", "caps", "label"};

constexpr unsigned kRecordedShift = 52;
constexpr uint64_t kRecorded = uint64_t{1} << kRecordedShift;
constexpr unsigned kTypeShift = 48;
constexpr uint64_t kStickyBit = uint64_t{1} << 47;
constexpr unsigned kTagShift = 23;
constexpr uint64_t kHashMask = (uint64_t{1} << kTagShift) - 1;
// Kernel limits of one list of names and of one value.
constexpr size_t kMaxNameList = 64 * 1024;
constexpr size_t kMaxValue = 64 * 1024;

Part partOf(const std::string& name) {
    if (name == "security.capability") return kCaps;
    if (name == "system.posix_acl_access" || name == "system.posix_acl_default") return kAcl;
    if (name.compare(0, 9, "security.") == 0) return kLabel;
    return kXattrs;
}

uint64_t fnv1a(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

void appendSized(std::string& out, const std::string& text) {
    const uint64_t size = text.size();
    out.append(reinterpret_cast<const char*>(&size), sizeof size);
    out += text;
}

// Runs a list or get call against the descriptor, or against its /proc entry
// for a descriptor opened with O_PATH (the f* calls refuse those).
class Target {
public:
    Target(int fd, bool pathOnly) : m_fd(fd), m_path(pathOnly ? "/proc/self/fd/" + std::to_string(fd) : "") {}
    ssize_t list(char* buffer, size_t size) const {
        return m_path.empty() ? flistxattr(m_fd, buffer, size) : listxattr(m_path.c_str(), buffer, size);
    }
    ssize_t get(const char* name, void* buffer, size_t size) const {
        return m_path.empty() ? fgetxattr(m_fd, name, buffer, size) : getxattr(m_path.c_str(), name, buffer, size);
    }

private:
    const int m_fd;
    const std::string m_path;
};

bool listNames(const Target& target, std::vector<std::string>& names, int& error) {
    std::vector<char> buffer;
    // The list may grow between asking its size and reading it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = target.list(nullptr, 0);
        if (size < 0) {
            error = errno;
            return false;
        }
        if (size == 0) return true;
        buffer.resize(std::min(static_cast<size_t>(size) + 256, kMaxNameList));
        const ssize_t got = target.list(buffer.data(), buffer.size());
        if (got < 0 && errno == ERANGE) continue;
        if (got < 0) {
            error = errno;
            return false;
        }
        for (size_t start = 0; start < static_cast<size_t>(got);) {
            const size_t end = std::find(buffer.begin() + start, buffer.begin() + got, '\0') - buffer.begin();
            if (end > start) names.emplace_back(buffer.data() + start, end - start);
            start = end + 1;
        }
        return true;
    }
    error = ERANGE;
    return false;
}

}  // namespace

ExtendedAttributes readExtendedAttributes(int fd, bool pathOnly) {
    ExtendedAttributes result;
    const Target target(fd, pathOnly);
    std::vector<std::string> names;
    if (!listNames(target, names, result.error)) {
        // A file system without extended attributes has none to change.
        if (result.error == ENOTSUP) result.error = 0;
        return result;
    }
    // Most files have none: no value buffer for them.
    if (names.empty()) return result;
    std::sort(names.begin(), names.end());
    std::vector<char> value(kMaxValue);
    size_t read = 0;
    for (const std::string& name : names) {
        ssize_t got;
        std::string text;
        if (read < kMaxAttributeBytes) {
            got = target.get(name.c_str(), value.data(), value.size());
            if (got >= 0) text.assign(value.data(), static_cast<size_t>(got));
        } else {
            // Past the budget only the size is read: no copy, and still a
            // change of length shows.
            got = target.get(name.c_str(), nullptr, 0);
            if (got >= 0) text = "(" + std::to_string(got) + " bytes)";
        }
        if (got < 0) {
            if (errno == ENODATA) continue;  // removed since it was listed
            text = "(unreadable: " + std::to_string(errno) + ")";
        } else {
            read += static_cast<size_t>(got);
        }
        result.entries.emplace_back(name, std::move(text));
    }
    return result;
}

uint64_t inodeFingerprint(const struct stat& st, const ExtendedAttributes& attributes) {
    std::string parts[kPartCount];
    parts[kCtime] = std::to_string(static_cast<long long>(st.st_ctim.tv_sec)) + "." +
                    std::to_string(static_cast<long>(st.st_ctim.tv_nsec));
    parts[kLinks] = std::to_string(static_cast<unsigned long long>(st.st_nlink));
    if (attributes.error != 0) parts[kXattrs] = "unlisted " + std::to_string(attributes.error);
    for (const auto& [name, value] : attributes.entries) {
        std::string& part = parts[partOf(name)];
        appendSized(part, name);
        appendSized(part, value);
    }
    std::string all;
    uint64_t value = kRecorded | (static_cast<uint64_t>((st.st_mode & S_IFMT) >> 12) << kTypeShift);
    if ((st.st_mode & S_ISVTX) != 0) value |= kStickyBit;
    for (unsigned part = 0; part < kPartCount; ++part) {
        value |= (fnv1a(parts[part]) & 0xF) << (kTagShift + 4 * part);
        appendSized(all, parts[part]);
    }
    unsigned char digest[32];
    sha256Of(all.data(), all.size(), digest);
    uint64_t hash = 0;
    memcpy(&hash, digest, sizeof hash);
    return value | (hash & kHashMask);
}

bool fingerprintRecorded(uint64_t value) { return (value >> kRecordedShift) == 1; }

unsigned fingerprintModeBits(uint64_t value) {
    return static_cast<unsigned>((value >> kTypeShift) & 0xF) << 12 | ((value & kStickyBit) != 0 ? S_ISVTX : 0);
}

std::vector<std::string> changedInodeParts(uint64_t before, uint64_t after) {
    std::vector<std::string> names;
    if (before == after || !fingerprintRecorded(before) || !fingerprintRecorded(after)) return names;
    if ((before ^ after) >> kTypeShift & 0xF) names.push_back("type");
    if ((before ^ after) & kStickyBit) names.push_back("sticky");
    for (unsigned part = 0; part < kPartCount; ++part)
        if (((before ^ after) >> (kTagShift + 4 * part) & 0xF) != 0) names.push_back(kPartNames[part]);
    if (names.empty()) names.push_back("attributes");
    return names;
}

const char* typeName(unsigned mode) {
    switch (mode & S_IFMT) {
        case S_IFIFO: return "FIFO";
        case S_IFSOCK: return "socket";
        case S_IFCHR: return "character device";
        case S_IFBLK: return "block device";
        case S_IFLNK: return "link";
        case S_IFDIR: return "folder";
        case S_IFREG: return "file";
        default: return "";
    }
}

std::string permissionsText(unsigned mode) {
    // Regular files and folders leave their type out, as rows recorded
    // before types were kept did: those still compare equal. The others carry
    // it in the seven digits links always had ("0120777").
    char text[16];
    if (S_ISREG(mode) || S_ISDIR(mode))
        snprintf(text, sizeof text, "0%o", mode & 07777);
    else
        snprintf(text, sizeof text, "0%06o", mode & (S_IFMT | 07777));
    return text;
}

std::string modeText(unsigned mode) {
    char type = '?';
    switch (mode & S_IFMT) {
        case S_IFIFO: type = 'p'; break;
        case S_IFSOCK: type = 's'; break;
        case S_IFCHR: type = 'c'; break;
        case S_IFBLK: type = 'b'; break;
        case S_IFLNK: type = 'l'; break;
        case S_IFDIR: type = 'd'; break;
        case S_IFREG: type = '-'; break;
        default: break;
    }
    // The execute column shows the special bit: lower case when x is set too.
    const auto special = [mode](unsigned x, unsigned bit, char letter) {
        if ((mode & bit) != 0) return (mode & x) != 0 ? letter : static_cast<char>(letter - 'a' + 'A');
        return (mode & x) != 0 ? 'x' : '-';
    };
    std::string text(1, type);
    text += (mode & 0400) ? 'r' : '-';
    text += (mode & 0200) ? 'w' : '-';
    text += special(0100, S_ISUID, 's');
    text += (mode & 040) ? 'r' : '-';
    text += (mode & 020) ? 'w' : '-';
    text += special(010, S_ISGID, 's');
    text += (mode & 04) ? 'r' : '-';
    text += (mode & 02) ? 'w' : '-';
    text += special(01, S_ISVTX, 't');
    return text;
}

std::string inodeFlagsText(uint64_t flags) {
    static const struct {
        uint64_t flag;
        char letter;
    } kLetters[] = {
        {FS_SECRM_FL, 's'},       {FS_UNRM_FL, 'u'},       {FS_SYNC_FL, 'S'},         {FS_DIRSYNC_FL, 'D'},
        {FS_IMMUTABLE_FL, 'i'},   {FS_APPEND_FL, 'a'},     {FS_NODUMP_FL, 'd'},       {FS_NOATIME_FL, 'A'},
        {FS_COMPR_FL, 'c'},       {FS_ENCRYPT_FL, 'E'},    {FS_JOURNAL_DATA_FL, 'j'}, {FS_INDEX_FL, 'I'},
        {FS_NOTAIL_FL, 't'},      {FS_TOPDIR_FL, 'T'},     {FS_EXTENT_FL, 'e'},       {FS_NOCOW_FL, 'C'},
        {FS_DAX_FL, 'x'},         {FS_CASEFOLD_FL, 'F'},   {FS_INLINE_DATA_FL, 'N'},  {FS_PROJINHERIT_FL, 'P'},
        {FS_VERITY_FL, 'V'},      {FS_NOCOMP_FL, 'm'},
    };
    std::string text;
    for (const auto& entry : kLetters) text += (flags & entry.flag) != 0 ? entry.letter : '-';
    return text;
}

std::string capabilityText(const std::string& raw) {
    // struct vfs_cap_data: magic_etc, then permitted and inheritable words
    // (one pair in revision 1, two from revision 2 on), little endian.
    const auto word = [&raw](size_t index) {
        uint32_t value = 0;
        for (size_t byte = 0; byte < 4; ++byte)
            value |= static_cast<uint32_t>(static_cast<unsigned char>(raw[index * 4 + byte])) << (8 * byte);
        return value;
    };
    if (raw.size() < 12) return std::string();
    const uint32_t magic = word(0);
    const unsigned revision = magic >> 24;
    const size_t pairs = revision == 1 ? 1 : 2;
    if ((revision != 1 && revision != 2 && revision != 3) || raw.size() < 4 + pairs * 8) return std::string();
    const bool effective = (magic & 1) != 0;
    // Capabilities grouped by the sets they are in, in "name,name+eip" form.
    std::vector<std::pair<std::string, std::string>> groups;
    for (unsigned cap = 0; cap < 32 * pairs; ++cap) {
        const size_t pair = cap / 32;
        const uint32_t bit = uint32_t{1} << (cap % 32);
        const bool permitted = (word(1 + 2 * pair) & bit) != 0;
        const bool inheritable = (word(2 + 2 * pair) & bit) != 0;
        if (!permitted && !inheritable) continue;
        std::string sets = std::string(effective && permitted ? "e" : "") + (inheritable ? "i" : "") + (permitted ? "p" : "");
        char* name = cap_to_name(static_cast<cap_value_t>(cap));
        const std::string text = name != nullptr ? name : std::to_string(cap);
        cap_free(name);
        auto found = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.second == sets; });
        if (found == groups.end())
            groups.emplace_back(text, sets);
        else
            found->first += "," + text;
    }
    std::string text;
    for (const auto& [names, sets] : groups) text += (text.empty() ? "" : " ") + names + "+" + sets;
    if (revision == 3 && raw.size() >= 24 && word(5) != 0) text += " (root " + std::to_string(word(5)) + ")";
    return text;
}

}  // namespace qvimcli
