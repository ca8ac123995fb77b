// Small helpers without engine state: byte blobs and hashes, escaping and
// splitting setting texts, permissions text, time stamps, UTF-8 repair, the
// engine's own files, and user and group names.
#include "QVIMUtilPlatformIndependent.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

void Blob::clear() {
    m_data.reset();
    m_size = 0;
}

void Blob::setBlobWithoutClearing(const void* data, unsigned long size) {
    if (data != nullptr && size != 0) {
        m_data.reset(new unsigned char[size]);
        std::memcpy(m_data.get(), data, size);
        m_size = size;
    } else {
        m_data.reset();
        m_size = 0;
    }
}

void Blob::setBlob(const void* data, unsigned long size) {
    Blob::clear();
    setBlobWithoutClearing(data, size);
}

void Blob::giveBlob(unsigned char* data, unsigned long size) {
    Blob::clear();
    if (data != nullptr && size != 0) {
        m_data.reset(data);
        m_size = size;
    }
}

std::string Blob::getEncoding(const void* data, unsigned long size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    if (data == nullptr || size == 0) return out;
    out.resize(size * 2);
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (unsigned long i = 0; i < size; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return out;
}

void Blob::setEncoded(const char* text, unsigned long length) {
    // Indexed by (c & 0x1F) ^ 0x10: '0'..'9' land on 0..9, 'A'..'F' and
    // 'a'..'f' on 17..22; every other character decodes by the same rule.
    static const unsigned char nibble[32] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 0, 0, 0,
                                             0, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (text == nullptr) {
        Blob::clear();
        return;
    }
    const unsigned long decoded = length / 2;
    if (decoded == 0) {
        Blob::clear();
        return;
    }
    auto* buffer = new unsigned char[decoded];
    for (unsigned long i = 0; i < decoded; ++i) {
        unsigned char hi = nibble[(static_cast<unsigned char>(text[2 * i]) & 0x1F) ^ 0x10];
        unsigned char lo = nibble[(static_cast<unsigned char>(text[2 * i + 1]) & 0x1F) ^ 0x10];
        buffer[i] = static_cast<unsigned char>((hi << 4) | lo);
    }
    giveBlob(buffer, decoded);
}

void Hash::clear() {
    m_data.reset(new unsigned char[m_type]());
    m_size = m_type;
}

void Hash::SetHash(HashType type, const void* data) {
    m_type = type;
    clear();
    if (data == nullptr) {
        Blob::clear();
        return;
    }
    std::memcpy(m_data.get(), data, m_type);
}

void replaceAll(std::string& text, char c, const std::string& replacement) {
    size_t count = 0;
    for (char ch : text)
        if (ch == c) ++count;
    if (count == 0) return;
    std::string out;
    out.reserve(text.size() - count + count * replacement.size());
    for (char ch : text) {
        if (ch == c)
            out += replacement;
        else
            out += ch;
    }
    text.swap(out);
}

void Escape_::process(std::string& text) const {
    static const char hex[] = "0123456789abcdef";
    replaceAll(text, '%', "%25");
    const auto byte = static_cast<unsigned char>(separator);
    const std::string code{'%', hex[byte >> 4], hex[byte & 0x0F]};
    replaceAll(text, separator, code);
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

void Unescape::process(std::string& text) const {
    size_t pos = text.find('%');
    while (pos != std::string::npos) {
        // A '%' without two hexadecimal digits after it is kept as it is.
        if (pos + 2 < text.size()) {
            int hi = hexValue(text[pos + 1]);
            int lo = hexValue(text[pos + 2]);
            if (hi >= 0 && lo >= 0) text.replace(pos, 3, 1, static_cast<char>((hi << 4) | lo));
        }
        pos = text.find('%', pos + 1);
    }
}

const char* const TrimWhiteSpace::m_sWhiteSpace = " \t";

void TrimWhiteSpace::process(std::string& text) const {
    size_t first = text.find_first_not_of(m_sWhiteSpace);
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    size_t last = text.find_last_not_of(m_sWhiteSpace);
    text = text.substr(first, last - first + 1);
}

void join(std::string& out, std::list<std::string>& items, char separator, bool escape) {
    out.clear();
    out.reserve(items.size() * 40);
    const Escape_ escaper(separator);
    for (const std::string& item : items) {
        if (escape) {
            std::string copy = item;
            escaper.process(copy);
            out += copy;
        } else {
            out += item;
        }
        out += separator;
    }
    if (!out.empty()) {
        out.pop_back();
        out.shrink_to_fit();
    }
}

std::vector<std::string> split(std::string_view text, char separator, const SplitJoinProcessing* processor) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        size_t end = text.find(separator, start);
        std::string piece(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (processor != nullptr) processor->process(piece);
        pieces.push_back(std::move(piece));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return pieces;
}

std::string convertPermissions(std::string text) {
    std::string bits;
    bits.reserve(9);
    for (char c : text)
        if (c != 'u' && c != 'g' && c != 'o' && c != ':' && c != '\n') bits += c;
    int special = 0;
    int digit[3] = {0, 0, 0};
    for (size_t i = 0; i < bits.size() && i < 9; ++i) {
        const size_t group = i / 3;
        const char c = bits[i];
        switch (c) {
            case 'r': digit[group] += 4; break;
            case 'w': digit[group] += 2; break;
            case 'x': digit[group] += 1; break;
            case 's':
                if (group < 2) {
                    digit[group] += 1;
                    special += group == 0 ? 4 : 2;
                }
                break;
            case 'S':
                if (group < 2) special += group == 0 ? 4 : 2;
                break;
            case 't':
                if (group == 2) {
                    digit[group] += 1;
                    special += 1;
                }
                break;
            case 'T':
                if (group == 2) special += 1;
                break;
            default: break;
        }
    }
    std::string out;
    out += static_cast<char>('0' + special);
    for (int d : digit) out += static_cast<char>('0' + d);
    return out;
}

unsigned long getCurrentTimeInMillis() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<unsigned long>(tv.tv_sec) * 1000UL + static_cast<unsigned long>(tv.tv_usec) / 1000UL;
}

unsigned long createTimestamp(unsigned long seconds, unsigned long nanoseconds) {
    return seconds * 1000UL + nanoseconds / 1000000UL;
}

unsigned long convertNanoSecondsToMilliseconds(unsigned long nanoseconds) { return nanoseconds / 1000000UL; }

int getBoolValue(const char* text) { return text != nullptr && std::strcmp(text, "true") == 0 ? 1 : 0; }

const char* convertCharToImChar(const char* text) { return text; }

void toLowerAscii(std::string& text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

namespace {

// Length of the well-formed UTF-8 sequence at text[i], or the number of bytes
// of its longest well-formed start (at least 1) negated.
long utf8Sequence(const unsigned char* text, size_t size, size_t i) {
    const unsigned char lead = text[i];
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return -1;
    }
    size_t n = 1;
    for (; n < length && i + n < size; ++n) {
        const unsigned char c = text[i + n];
        if (c < (n == 1 ? low : 0x80) || c > (n == 1 ? high : 0xBF)) break;
    }
    return n == length ? static_cast<long>(length) : -static_cast<long>(n);
}

}  // namespace

const std::string& wellFormedUtf8(const std::string& text, std::string& repaired) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    // ASCII, eight bytes at a time: the usual key costs this scan only.
    size_t i = 0;
    for (uint64_t word; i + 8 <= size; i += 8) {
        std::memcpy(&word, bytes + i, 8);
        if ((word & 0x8080808080808080ULL) != 0) break;
    }
    size_t good = i;
    while (good < size) {
        if (bytes[good] < 0x80) {
            ++good;
            continue;
        }
        const long length = utf8Sequence(bytes, size, good);
        if (length < 0) break;
        good += static_cast<size_t>(length);
    }
    if (good == size) return text;

    static const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
    repaired.assign(text, 0, good);
    while (good < size) {
        if (bytes[good] < 0x80) {
            repaired += static_cast<char>(bytes[good++]);
            continue;
        }
        const long length = utf8Sequence(bytes, size, good);
        if (length > 0) {
            repaired.append(text, good, static_cast<size_t>(length));
            good += static_cast<size_t>(length);
        } else {
            repaired += kReplacement;
            good += static_cast<size_t>(-length);
        }
    }
    return repaired;
}

int openOwnFile(const char* path, bool append, std::string& why) {
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0);
    const int fd = ::open(path, flags, 0600);
    const auto fail = [&why, fd](const char* reason) {
        char text[256];
        why = reason != nullptr ? reason : strerror_r(errno, text, sizeof text);
        if (fd >= 0) ::close(fd);
        return -1;
    };
    if (fd < 0) return fail(errno == ELOOP ? "it is a symbolic link" : nullptr);
    struct stat info;
    if (::fstat(fd, &info) != 0) return fail(nullptr);
    if (!S_ISREG(info.st_mode)) return fail("not a regular file");
    // Emptied only now that it is known to be a regular file.
    if (!append && ::ftruncate(fd, 0) != 0) return fail(nullptr);
    if (::fcntl(fd, F_SETFL, append ? O_APPEND : 0) != 0) return fail(nullptr);
    return fd;
}

int withGrowingBuffer(long sizeHint, const std::function<int(char* buffer, size_t size)>& lookup) {
    constexpr size_t kLargest = size_t{1} << 24;
    std::vector<char> buffer(sizeHint > 0 ? std::min(static_cast<size_t>(sizeHint), kLargest) : 1024);
    for (;;) {
        const int rc = lookup(buffer.data(), buffer.size());
        if (rc != ERANGE || buffer.size() >= kLargest) return rc;
        buffer.resize(std::min(buffer.size() * 2, kLargest));
    }
}

namespace {

template <class Id, class Entry>
bool lookupName(int sizeHint, int (*lookup)(Id, Entry*, char*, size_t, Entry**), char* Entry::*nameField, Id id,
                std::string& name) {
    // The size that last sufficed: with one long entry in the database, every
    // lookup would otherwise grow its buffer again.
    thread_local long learned = 0;
    bool found = false;
    withGrowingBuffer(std::max(sysconf(sizeHint), learned), [&](char* buffer, size_t size) {
        Entry entry;
        Entry* result = nullptr;
        const int rc = lookup(id, &entry, buffer, size, &result);
        if (rc != ERANGE) learned = std::max(learned, static_cast<long>(size));
        // The entry lives in the buffer: take the name before it goes.
        if (rc == 0 && result != nullptr) {
            name = result->*nameField;
            found = true;
        }
        return rc;
    });
    return found;
}

}  // namespace

bool lookupUserName(uid_t uid, std::string& name) {
    return lookupName(_SC_GETPW_R_SIZE_MAX, getpwuid_r, &passwd::pw_name, uid, name);
}

bool lookupGroupName(gid_t gid, std::string& name) {
    return lookupName(_SC_GETGR_R_SIZE_MAX, getgrgid_r, &group::gr_name, gid, name);
}

// ---- Kind names ----------------------------------------------------------------

const char* entityTypeName(entity_type type) {
    static const char* const names[] = {"All", "File", "Directory", "User", "Group", "Port",
                                        "InstalledSoftware", "Process", "Unknown"};
    const auto index = static_cast<unsigned>(type);
    return index < sizeof names / sizeof names[0] ? names[index] : "Unknown";
}

entity_type parseEntityTypeName(const char* name) {
    if (name == nullptr) return ENTITY_UNKNOWN;
    switch (name[0]) {
        case 'D': return ENTITY_DIRECTORY;
        case 'F': return ENTITY_FILE;
        case 'G': return ENTITY_GROUP;
        case 'I': return ENTITY_INSTALLED_SOFTWARE;
        case 'U': return ENTITY_USER;
        case 'P': return std::strncmp(name + 1, "ort", 3) == 0 ? ENTITY_PORT : ENTITY_PROCESS;
        default: return ENTITY_UNKNOWN;
    }
}
