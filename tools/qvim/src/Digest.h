// SHA-256, SHA-1 and, when asked for, MD5 of a file in one read pass.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <vector>

namespace qvimcli {

struct Digests {
    unsigned char sha256[32];
    unsigned char sha1[20];
    unsigned char md5[16];
    bool hasMd5 = false;
};

// One per hashing thread: it keeps its digest contexts and read buffer.
// MD5 takes longer than the other two together, so it can be left out.
class Hasher {
public:
    explicit Hasher(bool md5 = true);
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    // Reads the descriptor to its end. On a read error returns false with the
    // error number in error.
    bool digest(int fd, Digests& out, int& error);

private:
    EVP_MD_CTX* m_contexts[3];
    const int m_count;  // contexts in use: SHA-256, SHA-1 and maybe MD5
    std::vector<unsigned char> m_buffer;
};

std::string sha256Hex(const std::string& text);

}  // namespace qvimcli
