// SHA-256, SHA-1 and, when asked for, MD5 of a file in one read pass.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <functional>
#include <string>
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

// One per hashing thread: it keeps its digest contexts and read buffer.
// MD5 takes longer than the other two together, so it can be left out.
class Hasher {
public:
    explicit Hasher(bool md5 = true, HashLimits limits = HashLimits());
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

private:
    EVP_MD_CTX* m_contexts[3];
    const int m_count;  // contexts in use: SHA-256, SHA-1 and maybe MD5
    const HashLimits m_limits;
    std::vector<unsigned char> m_buffer;
};

std::string sha256Hex(const std::string& text);

// "1 GiB", "300 MiB", "12345 bytes": whole units only.
std::string sizeText(uint64_t bytes);
// "1073741824", "1G", "300M", "64k" (binary units; "0" for no limit); false
// when the text is no size.
bool parseSize(const std::string& text, uint64_t& bytes);

}  // namespace qvimcli
