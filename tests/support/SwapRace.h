// An unprivileged user's race against a walk: a folder inside the watched tree
// and a symbolic link to a folder outside it trade places over and over, so
// that a walk that opens by path now and then lands outside.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

namespace qvim_test {

class SwapRace {
public:
    // folder must be a directory; link becomes a symbolic link to outside.
    SwapRace(std::string folder, std::string link, const std::string& outside)
        : m_folder(std::move(folder)), m_link(std::move(link)) {
        m_ready = symlink(outside.c_str(), m_link.c_str()) == 0 &&
                  renameat2(AT_FDCWD, m_folder.c_str(), AT_FDCWD, m_link.c_str(), RENAME_EXCHANGE) == 0 &&
                  renameat2(AT_FDCWD, m_folder.c_str(), AT_FDCWD, m_link.c_str(), RENAME_EXCHANGE) == 0;
        if (!m_ready) m_why = std::string("cannot exchange names here: ") + strerror(errno);
    }
    ~SwapRace() { stop(); }
    SwapRace(const SwapRace&) = delete;
    SwapRace& operator=(const SwapRace&) = delete;

    // False (with why()) where the file system cannot exchange names.
    bool ready() const { return m_ready; }
    const std::string& why() const { return m_why; }

    void start() {
        m_thread = std::thread([this] {
            while (!m_stop.load(std::memory_order_relaxed))
                if (renameat2(AT_FDCWD, m_folder.c_str(), AT_FDCWD, m_link.c_str(), RENAME_EXCHANGE) == 0) ++m_swaps;
        });
    }
    // Stops swapping and leaves the folder at its own name.
    void stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        struct stat st;
        if (m_ready && lstat(m_folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            renameat2(AT_FDCWD, m_folder.c_str(), AT_FDCWD, m_link.c_str(), RENAME_EXCHANGE);
    }
    unsigned long swaps() const { return m_swaps.load(); }

private:
    const std::string m_folder, m_link;
    bool m_ready = false;
    std::string m_why;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<unsigned long> m_swaps{0};
};

}  // namespace qvim_test
