// The site helpers' message sink (see quorex_msg.h), a kyl_msgsink_t.

#include "quorex_msg.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kyl_msgsink.h"

namespace {

kyl_msgsink_t msg_sink; // the site helpers' sink

} // namespace

void quorex_SetMessageSink(quorex_msgsink_t sink, void *arg)
{
    kyl_MsgSinkSet(&msg_sink, sink, arg);
}

void quorex_Print(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    kyl_MsgSinkPrintV(&msg_sink, fmt, ap);
    va_end(ap);
}

void quorex_PrintErrno(const char *what, int errnum)
{
    quorex_Print("%s: %s\n", what, strerror(errnum));
}
