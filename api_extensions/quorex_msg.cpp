// The site helpers' message sink (see quorex_msg.h).  msgsink_lock guards
// the sink and its argument; the sink itself runs without it.

#include "quorex_msg.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kyl_mutex.h"

namespace {

kyl_mutex_t msgsink_lock;                                         // the sink and its argument
quorex_msgsink_t msg_sink KYL_GUARDED_BY(msgsink_lock) = nullptr; // null: standard error
void *msg_sink_arg KYL_GUARDED_BY(msgsink_lock) = nullptr;

// Hands text (len bytes and a NUL) to the sink.
void deliver(const char *text, size_t len)
{
    quorex_msgsink_t sink;
    void *arg;
    {
        kyl_lock_guard g(msgsink_lock);
        sink = msg_sink;
        arg = msg_sink_arg;
    }
    if (sink != nullptr) {
        sink(text, len, arg);
        return;
    }
    fwrite(text, 1, len, stderr);
    fflush(stderr);
}

} // namespace

void quorex_SetMessageSink(quorex_msgsink_t sink, void *arg)
{
    kyl_lock_guard g(msgsink_lock);
    msg_sink = sink;
    msg_sink_arg = arg;
}

void quorex_Print(const char *fmt, ...)
{
    char local[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(local, sizeof local, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof local) {
        deliver(local, static_cast<size_t>(n));
        return;
    }
    // A longer text (one holding a long configuration line, say) is
    // formatted again into a buffer of its size.
    char *big = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (big == nullptr) {
        deliver(local, sizeof local - 1);
        return;
    }
    va_start(ap, fmt);
    vsnprintf(big, static_cast<size_t>(n) + 1, fmt, ap);
    va_end(ap);
    deliver(big, static_cast<size_t>(n));
    free(big);
}

void quorex_PrintErrno(const char *what, int errnum)
{
    quorex_Print("%s: %s\n", what, strerror(errnum));
}
