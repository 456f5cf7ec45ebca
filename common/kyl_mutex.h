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
// A mutex inside a record made at run time (zeroed storage) is set up with
// init(), which returns 0 or the pthread error number, and torn down with
// destroy() once no thread can use it.
struct KYL_CAPABILITY("mutex") kyl_mutex_t {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;

    [[nodiscard]] int init() { return pthread_mutex_init(&m, nullptr); }
    void destroy() { pthread_mutex_destroy(&m); }
    void lock() KYL_ACQUIRE() { pthread_mutex_lock(&m); }
    void unlock() KYL_RELEASE() { pthread_mutex_unlock(&m); }
    pthread_mutex_t *native() { return &m; }
    // Tells clang's analysis that the calling thread holds this mutex, where
    // it was locked through another path to the same record (a table
    // entry's pointer back to its owner).  Checks nothing at run time.
    void assertHeld() const KYL_THREAD_ANNOTATION(assert_capability(this)) {}
};

// A condition variable whose waits require the kyl_mutex_t they release, so
// that clang checks the waiter holds it.  Like kyl_mutex_t: statically
// initialised, or init()/destroy() inside a record made at run time.
struct kyl_cond_t {
    pthread_cond_t c = PTHREAD_COND_INITIALIZER;

    [[nodiscard]] int init() { return pthread_cond_init(&c, nullptr); }
    void destroy() { pthread_cond_destroy(&c); }
    void wait(kyl_mutex_t &mu) KYL_REQUIRES(mu) { pthread_cond_wait(&c, &mu.m); }
    // Waits at most until the CLOCK_REALTIME time *until; returns 0 when
    // woken, ETIMEDOUT when the time passed.
    int timedwait(kyl_mutex_t &mu, const struct timespec *until) KYL_REQUIRES(mu)
    {
        return pthread_cond_timedwait(&c, &mu.m, until);
    }
    void signal() { pthread_cond_signal(&c); }
    void broadcast() { pthread_cond_broadcast(&c); }
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
