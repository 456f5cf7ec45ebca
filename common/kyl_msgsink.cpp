// Message sinks of the libraries (see kyl_msgsink.h).

#include "kyl_msgsink.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Hands text (len bytes and a NUL) to the sink.
void deliver(kyl_msgsink_t *sink, const char *text, size_t len)
{
    kyl_msgsink_fn fn;
    void *arg;
    {
        kyl_lock_guard g(sink->lock);
        fn = sink->fn;
        arg = sink->arg;
    }
    if (fn != nullptr) {
        fn(text, len, arg);
        return;
    }
    fwrite(text, 1, len, stderr);
    fflush(stderr);
}

} // namespace

void kyl_MsgSinkSet(kyl_msgsink_t *sink, kyl_msgsink_fn fn, void *arg)
{
    kyl_lock_guard g(sink->lock);
    sink->fn = fn;
    sink->arg = arg;
}

void kyl_MsgSinkPrintV(kyl_msgsink_t *sink, const char *fmt, va_list ap)
{
    char local[1024];
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(local, sizeof local, fmt, ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof local) {
        va_end(again);
        deliver(sink, local, static_cast<size_t>(n));
        return;
    }
    char *big = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (big == nullptr) {
        va_end(again);
        deliver(sink, local, sizeof local - 1);
        return;
    }
    vsnprintf(big, static_cast<size_t>(n) + 1, fmt, again);
    va_end(again);
    deliver(sink, big, static_cast<size_t>(n));
    free(big);
}
