// SHA-256, SHA-1 and MD5 of a file in one read pass.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <vector>

namespace qvimcli {

struct Digests {
    unsigned char sha256[32];
    unsigned char sha1[20];
    unsigned char md5[16];
};

// One per hashing thread: it keeps its digest contexts and read buffer.
class Hasher {
public:
    Hasher();
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    // Reads the descriptor to its end. On a read error returns false with the
    // error number in error.
    bool digest(int fd, Digests& out, int& error);

private:
    EVP_MD_CTX* m_contexts[3];
    std::vector<unsigned char> m_buffer;
};

std::string sha256Hex(const std::string& text);

}  // namespace qvimcli
