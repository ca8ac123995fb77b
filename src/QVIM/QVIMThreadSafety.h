// Lock annotations that clang's -Wthread-safety checks, and an annotated
// mutex: libstdc++'s std::mutex carries no annotations, so a lock the
// compiler should reason about is a Mutex held through a MutexLock. With
// other compilers the macros expand to nothing.
#pragma once

#include <atomic>
#include <cassert>
#include <mutex>
#include <thread>

#if defined(__clang__)
#define QVIM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QVIM_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QVIM_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QVIM_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QVIM_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QVIM_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) QVIM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) QVIM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QVIM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QVIM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) QVIM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QVIM_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) QVIM_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QVIM_THREAD_ANNOTATION(no_thread_safety_analysis)

// std::mutex with the annotations; debug builds remember the holder.
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() {
#ifndef NDEBUG
        // Taken again by its holder it would hang; fail loudly instead.
        assert(m_owner.load() != std::this_thread::get_id() && "the lock is not held by this thread already");
#endif
        m_mutex.lock();
        setOwner(std::this_thread::get_id());
    }
    void unlock() RELEASE() {
        setOwner(std::thread::id());
        m_mutex.unlock();
    }
    bool try_lock() TRY_ACQUIRE(true) {
        if (!m_mutex.try_lock()) return false;
        setOwner(std::this_thread::get_id());
        return true;
    }
    // For code called under a lock taken elsewhere, where the analysis
    // cannot follow it: debug builds check that this thread holds it.
    void assertHeld() const ASSERT_CAPABILITY(this) {
#ifndef NDEBUG
        assert(m_owner.load() == std::this_thread::get_id() && "the caller holds the lock");
#endif
    }

private:
    void setOwner([[maybe_unused]] std::thread::id owner) {
#ifndef NDEBUG
        m_owner.store(owner);
#endif
    }

    std::mutex m_mutex;
#ifndef NDEBUG
    std::atomic<std::thread::id> m_owner{};
#endif
};

// std::lock_guard for a Mutex.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() RELEASE() {
        if (m_locked) m_mutex.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Releases before the scope ends (to log without the lock).
    void unlock() RELEASE() {
        m_mutex.unlock();
        m_locked = false;
    }

private:
    Mutex& m_mutex;
    bool m_locked = true;
};
