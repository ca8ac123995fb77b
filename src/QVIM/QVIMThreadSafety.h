// Lock annotations that clang's -Wthread-safety checks, and an annotated
// mutex: libstdc++'s std::mutex carries no annotations, so a lock the
// compiler should reason about is a Mutex held through a MutexLock. With
// other compilers the macros expand to nothing.
#pragma once

#include <mutex>

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
#define RETURN_CAPABILITY(x) QVIM_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QVIM_THREAD_ANNOTATION(no_thread_safety_analysis)

// std::mutex with the annotations. native() is for code that must hand the
// lock to something else (a condition variable, std::unique_lock): the
// analysis cannot follow it there.
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
    std::mutex& native() { return m_mutex; }

private:
    std::mutex m_mutex;
};

// std::lock_guard for a Mutex.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() RELEASE() { m_mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_mutex;
};
