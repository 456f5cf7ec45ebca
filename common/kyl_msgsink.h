#ifndef KYL_MSGSINK_H
#define KYL_MSGSINK_H

// Where a library's messages go: standard error (written and flushed at
// once) unless the program installs a sink of its own.  Each library keeps
// one kyl_msgsink_t; its lock guards the sink and its argument and is a
// leaf, released before the sink runs.  Any thread.

#include <cstdarg>
#include <cstddef>

#include "kyl_mutex.h"

typedef void (*kyl_msgsink_fn)(const char *text, size_t len, void *arg);

struct kyl_msgsink_t {
    kyl_mutex_t lock;
    kyl_msgsink_fn fn KYL_GUARDED_BY(lock) = nullptr; // null: standard error
    void *arg KYL_GUARDED_BY(lock) = nullptr;
};

// Installs fn with arg (null fn: standard error again).
void kyl_MsgSinkSet(kyl_msgsink_t *sink, kyl_msgsink_fn fn, void *arg);

// Formats with printf rules and hands the whole text to the sink; a text
// longer than 1 KiB is formatted again into a buffer of its size (without
// memory the first 1023 bytes go out).
void kyl_MsgSinkPrintV(kyl_msgsink_t *sink, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));

#endif
