#include "Digest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
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

bool LinkedDigests::sameContent(const struct stat& a, const struct stat& b) {
    const auto same = [](const struct timespec& x, const struct timespec& y) {
        return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
    };
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && same(a.st_mtim, b.st_mtim) &&
           same(a.st_ctim, b.st_ctim);
}

bool LinkedDigests::find(const struct stat& st, bool md5, Digests& out) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_known.find({st.st_dev, st.st_ino});
    if (found == m_known.end() || found->second.digests.hasMd5 != md5 || !sameContent(found->second.st, st))
        return false;
    out = found->second.digests;
    return true;
}

void LinkedDigests::add(const struct stat& st, const Digests& digests) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_known.find({st.st_dev, st.st_ino});
    if (found != m_known.end())
        found->second = Known{st, digests};  // the inode changed since: the newer content counts
    else if (m_known.size() < m_maxEntries)
        m_known.emplace(std::make_pair(st.st_dev, st.st_ino), Known{st, digests});
}

Hasher::Hasher(bool md5, HashLimits limits, LinkedDigests* linked)
    : m_contexts{nullptr, nullptr, nullptr},
      m_count(md5 ? 3 : 2),
      m_limits(std::move(limits)),
      m_linked(linked),
      m_buffer(kReadSize) {
    for (int i = 0; i < 3; ++i) {
        m_contexts[i] = EVP_MD_CTX_new();
        // Set up once: initialising by algorithm looks it up in the provider
        // tables, under a lock, for every file.
        if (m_contexts[i] == nullptr || EVP_DigestInit_ex(m_contexts[i], algorithm(i), nullptr) != 1) {
            for (EVP_MD_CTX* made : m_contexts) EVP_MD_CTX_free(made);
            throw std::bad_alloc();
        }
    }
}

Hasher::~Hasher() {
    for (EVP_MD_CTX* context : m_contexts) EVP_MD_CTX_free(context);
}

DigestResult Hasher::digest(int fd, Digests& out, int& error, const uint64_t* knownSize) {
    ++m_filesRead;
    for (int i = 0; i < m_count; ++i) EVP_DigestInit_ex(m_contexts[i], nullptr, nullptr);
    uint64_t total = 0;
    for (;;) {
        // Between reads, so that a stop takes effect within one buffer's time.
        if (m_limits.stop && m_limits.stop()) return DigestResult::Stopped;
        const ssize_t got = ::read(fd, m_buffer.data(), m_buffer.size());
        if (got == 0) break;
        // A large file is read to its end: the kernel may read further ahead.
        if (total == 0 && knownSize != nullptr && *knownSize > 4 * kReadSize)
            posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        if (got < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return DigestResult::ReadError;
        }
        // The size seen before reading binds nobody: the file may grow meanwhile.
        total += static_cast<uint64_t>(got);
        if (tooLarge(total)) return DigestResult::TooLarge;
        for (int i = 0; i < m_count; ++i) EVP_DigestUpdate(m_contexts[i], m_buffer.data(), static_cast<size_t>(got));
        // A file that grew, or one whose status says nothing of its size (such
        // as those of /proc), is read on to its end.
        if (knownSize != nullptr && total == *knownSize && static_cast<size_t>(got) < m_buffer.size()) break;
    }
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_contexts[0], out.sha256, &length);
    EVP_DigestFinal_ex(m_contexts[1], out.sha1, &length);
    out.hasMd5 = m_count == 3;
    if (out.hasMd5) EVP_DigestFinal_ex(m_contexts[2], out.md5, &length);
    return DigestResult::Done;
}

namespace {

// Looking the algorithm up costs more than hashing a few bytes: each thread
// sets one context up once and reuses it.
struct ThreadSha256 {
    ThreadSha256() : context(EVP_MD_CTX_new()) {
        ready = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    }
    ~ThreadSha256() { EVP_MD_CTX_free(context); }
    ThreadSha256(const ThreadSha256&) = delete;
    ThreadSha256& operator=(const ThreadSha256&) = delete;
    EVP_MD_CTX* const context;
    bool ready = false;
};

}  // namespace

void sha256Of(const void* data, size_t size, unsigned char (&out)[32]) {
    thread_local ThreadSha256 sha;
    unsigned int length = 0;
    if (sha.ready && EVP_DigestInit_ex(sha.context, nullptr, nullptr) == 1 &&
        EVP_DigestUpdate(sha.context, data, size) == 1 && EVP_DigestFinal_ex(sha.context, out, &length) == 1)
        return;
    EVP_Digest(data, size, out, &length, EVP_sha256(), nullptr);
}

std::string sha256Hex(const std::string& text) {
    unsigned char digest[32];
    sha256Of(text.data(), text.size(), digest);
    return hexText(digest, sizeof digest);
}

namespace {

const struct {
    char letter;
    const char* name;
    unsigned shift;
} kUnits[] = {{'T', "TiB", 40}, {'G', "GiB", 30}, {'M', "MiB", 20}, {'K', "KiB", 10}};

}  // namespace

std::string sizeText(uint64_t bytes) {
    for (const auto& unit : kUnits)
        if (bytes != 0 && bytes % (uint64_t{1} << unit.shift) == 0)
            return std::to_string(bytes >> unit.shift) + " " + unit.name;
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

bool parseSize(const std::string& text, uint64_t& bytes) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 19) return false;
    uint64_t value = std::stoull(text.substr(0, digits));
    unsigned shift = 0;
    const std::string unit = text.substr(digits);
    if (!unit.empty()) {
        const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(unit[0])));
        bool known = false;
        for (const auto& candidate : kUnits)
            if (candidate.letter == letter) {
                shift = candidate.shift;
                known = true;
            }
        // "1G", "1GB", "1GiB" alike.
        const std::string rest = unit.substr(1);
        if (!known || !(rest.empty() || rest == "B" || rest == "iB" || rest == "b")) return false;
    }
    if (shift != 0 && value > (~uint64_t{0} >> shift)) return false;
    bytes = value << shift;
    return true;
}

}  // namespace qvimcli
