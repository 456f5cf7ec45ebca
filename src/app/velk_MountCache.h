#ifndef VELK_MOUNTCACHE_H
#define VELK_MOUNTCACHE_H

// Reads of a mounted archive's bytes at an offset, through the kind
// table's read_at.  A local archive is read directly (the kernel caches
// it); an archive behind the gateway goes through a cache of whole blocks
// with a bounded size: a miss costs one positioned read, and a reader that
// goes on where it stopped gets a read-ahead window that doubles with each
// miss up to a quarter of the cache.  Used by the one thread that serves
// the mount; no locks.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

#include "velk_ArchiveKind.h"

// Bytes of one cache block, and the smallest cache.
constexpr size_t VELK_MOUNT_BLOCK = 256 * 1024;
constexpr uint64_t VELK_MOUNT_CACHE_MIN = 4 * VELK_MOUNT_BLOCK;
// The cache size when none is asked for.
constexpr uint64_t VELK_MOUNT_CACHE_DEFAULT = 64ull << 20;

struct velk_mount_slot_t {
    uint64_t block;   // archive block number (offset / VELK_MOUNT_BLOCK)
    uint64_t lastUse; // the cache's clock at the last hit, 0 when empty
    uint32_t len;     // valid bytes (less than a block only at the archive's end)
    unsigned char *data;
};

struct velk_mount_cache_t {
    const velk_archive_kind_t *ops = nullptr;
    const velk_xfer_settings_t *settings = nullptr; // the run's, for the kind's reads
    int fd = -1;
    uint64_t archiveSize = 0;
    bool direct = false; // read straight through, no cache
    uint32_t maxWindow = 1;
    uint64_t clock = 0;
    long fetches = 0; // positioned reads made (round trips for a gateway kind)
    std::vector<velk_mount_slot_t> slots;
    std::vector<unsigned char> memory;  // the slots' blocks
    std::vector<unsigned char> scratch; // one read-ahead window
};

// Where one open file's reader stands, for read-ahead.
struct velk_mount_stream_t {
    uint64_t nextBlock = UINT64_MAX; // the block after the last one fetched
    uint32_t window = 1;
};

// Sets cache up to read archive fd of kind ops (archiveSize bytes):
// directly when direct, else with cacheBytes of memory in all (at least
// VELK_MOUNT_CACHE_MIN).  0, or -1 when memory runs out.
[[nodiscard]] int velk_MountCacheInit(velk_mount_cache_t *cache, const velk_archive_kind_t *ops, int fd,
                                      uint64_t archiveSize, bool direct, uint64_t cacheBytes);

// Copies len bytes of the archive at offset into buf (the range must lie
// inside the archive), stream being the reader's read-ahead state.  len,
// or -1 with errno set when the archive could not be read.
[[nodiscard]] ssize_t velk_MountCacheRead(velk_mount_cache_t *cache, velk_mount_stream_t *stream, uint64_t offset,
                                          void *buf, size_t len);

#endif
