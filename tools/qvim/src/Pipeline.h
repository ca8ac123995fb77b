// The walker hands entries to hashing threads through a fixed-size queue, so a
// walk of a large tree holds only a few of them (and their open folders) at a
// time.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Digest.h"
#include "Walk.h"

namespace qvimcli {

template <typename T>
class BoundedQueue {
public:
    // A consumer that found the queue empty is woken once wakeBatch items
    // wait (or at close), not for each one: every wake-up costs a system
    // call on both sides. 1 suits queues whose items must not wait.
    explicit BoundedQueue(size_t capacity, size_t wakeBatch = 1)
        : m_capacity(capacity), m_wakeBatch(std::max<size_t>(1, std::min(wakeBatch, capacity))) {}

    // Blocks while the queue is full; false once the queue is closed.
    bool push(T item) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_notFull.wait(lock, [this] { return m_closed || m_items.size() < m_capacity; });
        if (m_closed) return false;
        m_items.push_back(std::move(item));
        if (m_items.size() % m_wakeBatch == 0) m_notEmpty.notify_one();
        return true;
    }

    // Blocks while the queue is empty; false when it is closed and drained.
    bool pop(T& item) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_notEmpty.wait(lock, [this] { return m_closed || !m_items.empty(); });
        if (m_items.empty()) return false;
        item = std::move(m_items.front());
        m_items.pop_front();
        // A blocked producer is woken once half the queue is free, so that it
        // refills it in one go rather than sleeping and waking for every item.
        if (m_items.size() <= m_capacity / 2) m_notFull.notify_one();
        return true;
    }

    void close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_notEmpty.notify_all();
        m_notFull.notify_all();
    }

    size_t capacity() const { return m_capacity; }

private:
    const size_t m_capacity;
    const size_t m_wakeBatch;
    std::mutex m_mutex;
    std::condition_variable m_notEmpty;
    std::condition_variable m_notFull;
    std::deque<T> m_items;
    bool m_closed = false;
};

// Worker threads that take entries from the queue and run the handler on each,
// each with a hasher of its own (with MD5 when md5 is set).
class HashPipeline {
public:
    using Handler = std::function<void(const WalkEntry& entry, Hasher& hasher)>;

    // wakeBatch: see BoundedQueue. linked, when given, is shared by the workers'
    // hashers (see LinkedDigests) and must outlive the pipeline.
    HashPipeline(unsigned workers, size_t capacity, Handler handler, bool md5 = true,
                 const HashLimits& limits = HashLimits(), size_t wakeBatch = 1, LinkedDigests* linked = nullptr);
    ~HashPipeline();
    HashPipeline(const HashPipeline&) = delete;
    HashPipeline& operator=(const HashPipeline&) = delete;

    void submit(WalkEntry entry);
    // Lets the workers drain the queue and waits for them.
    void finish();
    uint64_t handled() const { return m_handled.load(std::memory_order_relaxed); }

    static unsigned defaultWorkers();

private:
    void work(bool md5, const HashLimits& limits, LinkedDigests* linked);

    BoundedQueue<WalkEntry> m_queue;
    Handler m_handler;
    std::vector<std::thread> m_workers;
    std::atomic<uint64_t> m_handled{0};
};

}  // namespace qvimcli
