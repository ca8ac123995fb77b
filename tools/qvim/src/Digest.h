// SHA-256, SHA-1 and, when asked for, MD5 of a file in one read pass.
#pragma once

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qvimcli {

struct Digests {
    unsigned char sha256[32];
    unsigned char sha1[20];
    unsigned char md5[16];
    bool hasMd5 = false;
};

// Files above this size are recorded with their attributes only, so that no
// single file (a sparse one of any size costs its owner nothing) can keep a
// scan busy for long.
constexpr uint64_t kDefaultMaxHashSize = uint64_t{1} << 30;

// What one file may cost.
struct HashLimits {
    uint64_t maxBytes = kDefaultMaxHashSize;  // 0: no limit
    std::function<bool()> stop;               // polled between reads; true abandons the file
};

enum class DigestResult { Done, ReadError, TooLarge, Stopped };

// The digests of files with more than one name, shared by the hashing threads
// of one run, so that each such inode is read once. A digest is given out
// again only while the inode's size, modification and status-change times
// are those it was read with: a write in between moves them.
class LinkedDigests {
public:
    // Beyond maxEntries inodes the others are read once per name: memory
    // stays bounded however many links a tree holds.
    explicit LinkedDigests(size_t maxEntries = 16384) : m_maxEntries(maxEntries) {}

    bool find(const struct stat& st, bool md5, Digests& out) const;
    void add(const struct stat& st, const Digests& digests);

    // Both describe the same inode with the same content, as far as its status tells.
    static bool sameContent(const struct stat& a, const struct stat& b);

private:
    struct Known {
        struct stat st;
        Digests digests;
    };
    const size_t m_maxEntries;
    mutable std::mutex m_mutex;
    std::map<std::pair<dev_t, ino_t>, Known> m_known;
};

// One per hashing thread: it keeps its digest contexts and read buffer.
// MD5 takes longer than the other two together, so it can be left out.
class Hasher {
public:
    // linked, when given, is shared with the run's other hashers.
    explicit Hasher(bool md5 = true, HashLimits limits = HashLimits(), LinkedDigests* linked = nullptr);
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    // Reads the descriptor to its end. A read error gives its error number in
    // error; a file that turns out larger than the limit, or a stop request,
    // ends the reading without digests. knownSize, the size the descriptor's
    // status gave (if any), spares the read that would only find the end: a
    // short read that ends exactly there is the end of the file.
    DigestResult digest(int fd, Digests& out, int& error, const uint64_t* knownSize = nullptr);

    const HashLimits& limits() const { return m_limits; }
    bool tooLarge(uint64_t size) const { return m_limits.maxBytes != 0 && size > m_limits.maxBytes; }
    bool md5() const { return m_count == 3; }
    LinkedDigests* linked() const { return m_linked; }
    // Files whose reading began, for those who check what gets read twice.
    uint64_t filesRead() const { return m_filesRead; }

private:
    EVP_MD_CTX* m_contexts[3];
    const int m_count;  // contexts in use: SHA-256, SHA-1 and maybe MD5
    const HashLimits m_limits;
    LinkedDigests* const m_linked;
    std::vector<unsigned char> m_buffer;
    uint64_t m_filesRead = 0;
};

std::string sha256Hex(const std::string& text);
// SHA-256 of a small buffer, through a context kept by the calling thread.
void sha256Of(const void* data, size_t size, unsigned char (&out)[32]);

// "1 GiB", "300 MiB", "12345 bytes": whole units only.
std::string sizeText(uint64_t bytes);
// "1073741824", "1G", "300M", "64k" (binary units; "0" for no limit); false
// when the text is no size.
bool parseSize(const std::string& text, uint64_t& bytes);

}  // namespace qvimcli
