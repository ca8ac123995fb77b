// The limit a hashing walk can reach on this machine: every regular file of a
// tree read once and hashed with SHA-256 and SHA-1 through libcrypto, on as
// many threads as cores, and nothing recorded. Threads take folders from one
// shared stack, hand on the folders they find before hashing the files, and
// open everything relative to its folder. Prints "files bytes" on stdout.
//
//   bare_hash TREE [THREADS]
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class Folders {
public:
    void push(std::string path) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stack.push_back(std::move(path));
        m_ready.notify_one();
    }
    // False once the stack is empty and no thread can add to it.
    bool pop(std::string& path) {
        std::unique_lock<std::mutex> lock(m_mutex);
        --m_busy;
        if (m_busy == 0 && m_stack.empty()) m_ready.notify_all();
        m_ready.wait(lock, [this] { return !m_stack.empty() || m_busy == 0; });
        if (m_stack.empty()) return false;
        path = std::move(m_stack.back());
        m_stack.pop_back();
        ++m_busy;
        return true;
    }
    explicit Folders(int threads) : m_busy(threads) {}

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<std::string> m_stack;
    int m_busy;
};

struct Totals {
    std::atomic<unsigned long> files{0}, bytes{0}, failures{0};
};

class Hasher {
public:
    Hasher() : m_buffer(256 * 1024) {}
    ~Hasher() {
        EVP_MD_CTX_free(m_sha256);
        EVP_MD_CTX_free(m_sha1);
    }
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    bool hash(int fd, unsigned long& bytes) {
        EVP_DigestInit_ex(m_sha256, EVP_sha256(), nullptr);
        EVP_DigestInit_ex(m_sha1, EVP_sha1(), nullptr);
        for (;;) {
            const ssize_t got = read(fd, m_buffer.data(), m_buffer.size());
            if (got == 0) break;
            if (got < 0) return false;
            bytes += static_cast<unsigned long>(got);
            EVP_DigestUpdate(m_sha256, m_buffer.data(), static_cast<size_t>(got));
            EVP_DigestUpdate(m_sha1, m_buffer.data(), static_cast<size_t>(got));
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(m_sha256, digest, &length);
        EVP_DigestFinal_ex(m_sha1, digest, &length);
        return true;
    }

private:
    EVP_MD_CTX* m_sha256 = EVP_MD_CTX_new();
    EVP_MD_CTX* m_sha1 = EVP_MD_CTX_new();
    std::vector<unsigned char> m_buffer;
};

void work(Folders& folders, Totals& totals) {
    Hasher hasher;
    std::string path;
    std::vector<std::string> files;
    while (folders.pop(path)) {
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
        if (dir == nullptr) {
            if (fd >= 0) close(fd);
            ++totals.failures;
            continue;
        }
        files.clear();
        while (const dirent* entry = readdir(dir)) {
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st;
                if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
            }
            if (type == DT_DIR)
                folders.push(path + "/" + name);
            else if (type == DT_REG)
                files.emplace_back(name);
        }
        for (const std::string& name : files) {
            const int file = openat(fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOATIME | O_CLOEXEC);
            unsigned long bytes = 0;
            if (file < 0 || !hasher.hash(file, bytes)) ++totals.failures;
            if (file >= 0) close(file);
            ++totals.files;
            totals.bytes += bytes;
        }
        closedir(dir);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bare_hash TREE [THREADS]\n");
        return 2;
    }
    std::string tree = argv[1];
    while (tree.size() > 1 && tree.back() == '/') tree.pop_back();
    const unsigned cores = std::thread::hardware_concurrency();
    const int threads = argc > 2 ? std::atoi(argv[2]) : static_cast<int>(cores == 0 ? 2 : cores);
    Folders folders(threads);
    folders.push(tree);
    Totals totals;
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) workers.emplace_back([&] { work(folders, totals); });
    for (std::thread& worker : workers) worker.join();
    std::printf("%lu %lu\n", totals.files.load(), totals.bytes.load());
    if (totals.failures != 0) std::fprintf(stderr, "bare_hash: %lu entries could not be read\n", totals.failures.load());
    return 0;
}
