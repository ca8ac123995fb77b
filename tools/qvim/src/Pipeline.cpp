#include "Pipeline.h"

namespace qvimcli {

HashPipeline::HashPipeline(unsigned workers, size_t capacity, Handler handler, bool md5, const HashLimits& limits,
                           size_t wakeBatch, LinkedDigests* linked)
    : m_queue(capacity, wakeBatch), m_handler(std::move(handler)) {
    if (workers == 0) workers = 1;
    m_workers.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) m_workers.emplace_back([this, md5, limits, linked] { work(md5, limits, linked); });
}

HashPipeline::~HashPipeline() { finish(); }

void HashPipeline::submit(WalkEntry entry) { m_queue.push(std::move(entry)); }

void HashPipeline::finish() {
    m_queue.close();
    for (std::thread& worker : m_workers)
        if (worker.joinable()) worker.join();
}

unsigned HashPipeline::defaultWorkers() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 2 : cores;
}

void HashPipeline::work(bool md5, const HashLimits& limits, LinkedDigests* linked) {
    Hasher hasher(md5, limits, linked);
    WalkEntry entry;
    while (m_queue.pop(entry)) {
        m_handler(entry, hasher);
        m_handled.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace qvimcli
