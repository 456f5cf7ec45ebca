#ifndef VELK_ENV_H
#define VELK_ENV_H

// The system calls under the archiver's file access that tests replace to
// inject faults: reads and writes of local files and pipes, reads of a local
// or piped archive, the sleeps of the no-space and busy waits, and the
// moment an extracted directory is open before it is changed.  One table,
// the system's own unless a test installed another; product code only calls
// through it.  Installed before any thread uses it, never changed while a
// transfer runs.

#include <cstddef>
#include <sys/types.h>

struct velk_env_t {
    ssize_t (*localRead)(int fd, void *buf, size_t count);        // ::read
    ssize_t (*localWrite)(int fd, const void *buf, size_t count); // ::write
    ssize_t (*archiveRead)(int fd, void *buf, size_t count);      // ::read
    // Sleeps the seconds of one no-space wait; returns early when the
    // shutdown flag is raised (VELK_NOSPACE_SLEEP, in seconds, shortens it).
    void (*nospaceSleep)(unsigned seconds);
    // Sleeps between two opens of a busy archive or index.
    void (*busySleep)(unsigned seconds);
    // Called by an extraction with a directory member's path once the
    // directory is open and before its attributes are changed; the system's
    // does nothing.
    void (*dirOpened)(const char *path);
    // Copies between two files inside the kernel (::copy_file_range); a
    // test counts the calls or refuses them.  Replacing it alone keeps the
    // in-kernel copies in use.
    ssize_t (*copyRange)(int fdIn, loff_t *offIn, int fdOut, loff_t *offOut, size_t length, unsigned flags);
};

// The calls in use.
const velk_env_t &velk_Env();
// True while the system's own read and write calls are in use, so that a
// copy may bypass them (in-kernel copies).
bool velk_EnvUsesSystemIo();
// Installs a copy of env, or the system's calls again when env is null.
void velk_SetEnv(const velk_env_t *env);

#endif
