#include "Digest.h"

#include <unistd.h>

#include <cerrno>
#include <new>

#include "Text.h"

namespace qvimcli {
namespace {

constexpr size_t kReadSize = 256 * 1024;

const EVP_MD* algorithm(int index) {
    switch (index) {
        case 0: return EVP_sha256();
        case 1: return EVP_sha1();
        default: return EVP_md5();
    }
}

}  // namespace

Hasher::Hasher(bool md5) : m_contexts{nullptr, nullptr, nullptr}, m_count(md5 ? 3 : 2), m_buffer(kReadSize) {
    for (EVP_MD_CTX*& context : m_contexts) {
        context = EVP_MD_CTX_new();
        if (context == nullptr) {
            for (EVP_MD_CTX* made : m_contexts) EVP_MD_CTX_free(made);
            throw std::bad_alloc();
        }
    }
}

Hasher::~Hasher() {
    for (EVP_MD_CTX* context : m_contexts) EVP_MD_CTX_free(context);
}

bool Hasher::digest(int fd, Digests& out, int& error) {
    for (int i = 0; i < m_count; ++i) EVP_DigestInit_ex(m_contexts[i], algorithm(i), nullptr);
    for (;;) {
        const ssize_t got = ::read(fd, m_buffer.data(), m_buffer.size());
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return false;
        }
        for (int i = 0; i < m_count; ++i) EVP_DigestUpdate(m_contexts[i], m_buffer.data(), static_cast<size_t>(got));
    }
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_contexts[0], out.sha256, &length);
    EVP_DigestFinal_ex(m_contexts[1], out.sha1, &length);
    out.hasMd5 = m_count == 3;
    if (out.hasMd5) EVP_DigestFinal_ex(m_contexts[2], out.md5, &length);
    return true;
}

std::string sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return std::string();
    return hexText(digest, length);
}

}  // namespace qvimcli
