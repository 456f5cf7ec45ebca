#ifndef KYL_MUTEX_H
#define KYL_MUTEX_H

// A thin wrapper over pthread_mutex_t whose locking clang checks with
// -Wthread-safety, and a scoped guard.  Globals guarded by a Mutex are
// declared with KYL_GUARDED_BY(that_mutex).  The wrapper is trivially
// destructible on purpose: named global mutexes must stay usable while
// exit() runs handlers and other threads are still alive.
//
// Results: none (a default mutex taken and released by its owner only
// cannot fail, so the pthread results are not looked at).

#include <pthread.h>

#if defined(__clang__)
#define KYL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KYL_THREAD_ANNOTATION(x)
#endif

#define KYL_CAPABILITY(x) KYL_THREAD_ANNOTATION(capability(x))
#define KYL_SCOPED_CAPABILITY KYL_THREAD_ANNOTATION(scoped_lockable)
#define KYL_GUARDED_BY(x) KYL_THREAD_ANNOTATION(guarded_by(x))
#define KYL_PT_GUARDED_BY(x) KYL_THREAD_ANNOTATION(pt_guarded_by(x))
#define KYL_REQUIRES(...) KYL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KYL_ACQUIRE(...) KYL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KYL_RELEASE(...) KYL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KYL_EXCLUDES(...) KYL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KYL_NO_THREAD_SAFETY_ANALYSIS KYL_THREAD_ANNOTATION(no_thread_safety_analysis)

// Statically initialised mutex: usable before main() and never destroyed.
struct KYL_CAPABILITY("mutex") kyl_mutex_t {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;

    void lock() KYL_ACQUIRE() { pthread_mutex_lock(&m); }
    void unlock() KYL_RELEASE() { pthread_mutex_unlock(&m); }
    pthread_mutex_t *native() { return &m; }
};

// Holds a kyl_mutex_t for the lifetime of the guard.
class KYL_SCOPED_CAPABILITY kyl_lock_guard {
public:
    explicit kyl_lock_guard(kyl_mutex_t &mu) KYL_ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
    ~kyl_lock_guard() KYL_RELEASE() { mu_.unlock(); }
    kyl_lock_guard(const kyl_lock_guard &) = delete;
    kyl_lock_guard &operator=(const kyl_lock_guard &) = delete;

private:
    kyl_mutex_t &mu_;
};

#endif
