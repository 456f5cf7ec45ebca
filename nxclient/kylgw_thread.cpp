// Thread utilities of the client library: attributes with the library's
// stack size, creation with retries on EAGAIN, an uninterruptible sleep and
// a yield.  Called from any thread; no locks.

#include "quor_api.h"

#include "nxapi_private.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sched.h>

long kylgw_thread_ssize = 1048576;

int kylgw_ThreadAttrInit(pthread_attr_t *attr)
{
    int rc = pthread_attr_init(attr);
    if (rc == 0) {
        rc = pthread_attr_setstacksize(attr, static_cast<size_t>(kylgw_thread_ssize));
        if (rc != 0)
            pthread_attr_destroy(attr);
    }
    if (rc != 0)
        nxapi_Print("*** %s: failed to set thread attributes (error=%d) at line %d\n", "kylgw_ThreadAttrInit", rc,
                    __LINE__);
    return rc;
}

int kylgw_ThreadCreate(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    pthread_attr_t local;
    const pthread_attr_t *use = attr;
    bool ownAttr = false;
    if (use == nullptr) {
        int rc = kylgw_ThreadAttrInit(&local);
        if (rc != 0)
            return rc;
        use = &local;
        ownAttr = true;
    }
    int rc = 0;
    for (int attempt = 0; attempt < 5; attempt++) {
        rc = pthread_create(thread, use, start, arg);
        if (rc != EAGAIN)
            break;
        if (attempt < 4)
            kylgw_ThreadSleep(1, 0);
    }
    if (ownAttr)
        pthread_attr_destroy(&local);
    if (rc != 0)
        nxapi_Print("*** %s: Unrecoverable error(s) launching thread - last error=%d\n", "kylgw_ThreadCreate", rc);
    return rc;
}

void kylgw_ThreadSleep(unsigned int seconds, unsigned int microseconds)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds) + microseconds / 1000000;
    ts.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
    // An interrupted sleep starts the whole interval again.
    while (nanosleep(&ts, nullptr) != 0 && errno == EINTR) {
        ts.tv_sec = static_cast<time_t>(seconds) + microseconds / 1000000;
        ts.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
    }
}

void kylgw_ThreadYield()
{
    sched_yield();
}
