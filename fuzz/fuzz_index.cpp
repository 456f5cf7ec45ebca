// libFuzzer target: any bytes as an index file.  The bytes go into an
// anonymous memory file that is opened by its /proc path like any local
// index; an accepted file is read sequentially to its end, entry 0 and the
// last entry are read at random and one past the end must fail, and every
// entry is turned into a header block.  The record decoders also run on the
// raw bytes.  The corpus replay test includes this file with
// VELK_FUZZ_NO_ENTRY defined.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "velk_Context.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_IndexFormat.h"
#include "velk_TarHeader.h"

// Returns 1 when the bytes open as an index file, 0 otherwise; aborts when
// an invariant breaks.
inline int fuzz_IndexOne(const uint8_t *data, size_t size)
{
    hif_hdr_t hdr;
    hif_entry_t entry;
    if (velk_DecodeIndexHeader(data, size, &hdr) == 0)
        (void)velk_IndexHeaderSane(&hdr);
    if (size >= HIF_HDR_SIZE && velk_DecodeIndexEntry(data + HIF_HDR_SIZE, size - HIF_HDR_SIZE, &entry) == 0)
        (void)velk_IndexEntrySane(&entry);

    int mem = memfd_create("fuzz_index", MFD_CLOEXEC);
    if (mem < 0)
        return 0;
    size_t off = 0;
    while (off < size) {
        ssize_t n = write(mem, data + off, size - off);
        if (n <= 0) {
            close(mem);
            return 0;
        }
        off += static_cast<size_t>(n);
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", mem);

    // The index's reader lives in a run context of this input alone.
    velk_run_t run;
    velk_RunInit(&run);
    velk_index_t *index = &run.index;
    int fd = velk_OpenLocalIndexFile(index, path, O_RDONLY, VELK_LOCAL_FILE);
    if (fd < 0) {
        close(mem);
        return 0;
    }
    if (velk_index_entries < 0 || velk_Get32(velk_index_hdr.hif_hdr.obj_count) > velk_index_entries)
        abort();
    if (velk_IndexReadInit(index) != 0)
        abort();
    int64_t seen = 0;
    for (;;) {
        hif_entry_t *e = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(index, fd, VELK_LOCAL_FILE, 3, &e, &eof) != 0)
            abort();
        if (eof)
            break;
        seen++;
        unsigned char block[VELK_BLOCKSIZE];
        velk_BuildPosixHeader(e, block);
        posix_header_t h;
        (void)velk_GetTarHeader(block, &h);
        char name[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(e, name, sizeof name);
    }
    if (seen != velk_index_entries)
        abort(); // the file did not change, so every counted entry is there
    hif_entry_t one;
    if (velk_index_entries > 0) {
        (void)velk_IndexReadRandomEntry(index, fd, VELK_LOCAL_FILE, 0, &one);
        (void)velk_IndexReadRandomEntry(index, fd, VELK_LOCAL_FILE, velk_index_entries - 1, &one);
    }
    if (velk_IndexReadRandomEntry(index, fd, VELK_LOCAL_FILE, velk_index_entries, &one) != -1)
        abort();
    close(fd);
    close(mem);
    velk_RunRelease(&run);
    return 1;
}

#ifndef VELK_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_IndexOne(data, size);
    return 0;
}
#endif
