#ifndef FUZZ_MEMFILE_H
#define FUZZ_MEMFILE_H

// An anonymous in-memory file holding given bytes, for the fuzz targets of
// readers that take a path: the path names the descriptor through
// /proc/self/fd, so nothing is written to any file system.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

struct fuzz_memfile_t {
    int fd = -1;
    char path[64] = {};

    fuzz_memfile_t(const uint8_t *data, size_t size)
    {
        fd = memfd_create("fuzz-input", MFD_CLOEXEC);
        if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)))
            abort();
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    }
    ~fuzz_memfile_t() { close(fd); }
    fuzz_memfile_t(const fuzz_memfile_t &) = delete;
    fuzz_memfile_t &operator=(const fuzz_memfile_t &) = delete;
};

#endif
