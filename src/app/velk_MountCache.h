#ifndef VELK_MOUNTCACHE_H
#define VELK_MOUNTCACHE_H

// Reads of a mounted archive's bytes at an offset.  A local archive is
// read directly (the kernel caches it); an archive behind the gateway goes
// through a cache of whole blocks with a bounded size, filled by a fetch
// thread of its own through the kind's kept positioned reader (or its
// read_at): a miss costs one positioned read, and a reader that goes on
// where it stopped gets the blocks after it fetched while it is served, in
// a read-ahead window that doubles up to a quarter of the cache.
//
// Threads: the mount's serving thread calls velk_MountCacheRead; the fetch
// thread alone uses the kind's reader.  lock guards the slots' states and
// blocks, the clock, the fetch's orders and results; changed announces
// every change.  A slot being fetched (pending) belongs to the fetch
// thread; a ready slot's bytes are read under lock.  Every wait ends on
// the shutdown flag.

#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>
#include <vector>

#include "kyl_mutex.h"
#include "velk_ArchiveKind.h"

// Bytes of one cache block, and the smallest cache.
constexpr size_t VELK_MOUNT_BLOCK = 256 * 1024;
constexpr uint64_t VELK_MOUNT_CACHE_MIN = 4 * VELK_MOUNT_BLOCK;
// The cache size when none is asked for.
constexpr uint64_t VELK_MOUNT_CACHE_DEFAULT = 64ull << 20;

enum velk_mount_slot_state_t : uint8_t { VELK_SLOT_EMPTY, VELK_SLOT_PENDING, VELK_SLOT_READY };

struct velk_mount_slot_t {
    uint64_t block;   // archive block number (offset / VELK_MOUNT_BLOCK)
    uint64_t lastUse; // the cache's clock at the last use
    uint32_t len;     // valid bytes (less than a block only at the archive's end)
    uint8_t state;    // velk_mount_slot_state_t
    unsigned char *data;
};

// No block.
constexpr uint64_t VELK_NO_BLOCK = UINT64_MAX;

struct velk_mount_cache_t {
    const velk_archive_kind_t *ops = nullptr;
    const velk_xfer_settings_t *settings = nullptr; // the run's, for the kind's reads
    int fd = -1;                                    // held by reader when there is one
    velk_pread_t *reader = nullptr;
    uint64_t archiveSize = 0;
    bool direct = false; // read straight through, no cache
    uint32_t maxWindow = 1;
    pthread_t fetcher{};
    bool fetcherStarted = false;
    std::vector<unsigned char> memory;  // the slots' blocks
    std::vector<unsigned char> scratch; // one fetch (fetch thread)

    kyl_mutex_t lock;
    kyl_cond_t changed;
    std::vector<velk_mount_slot_t> slots KYL_GUARDED_BY(lock);
    uint64_t clock KYL_GUARDED_BY(lock) = 0;
    long fetches KYL_GUARDED_BY(lock) = 0;                // positioned reads made
    uint64_t demand KYL_GUARDED_BY(lock) = VELK_NO_BLOCK; // the block a reader waits for
    int demandErrno KYL_GUARDED_BY(lock) = 0;             // its fetch failed with this
    uint64_t aheadFrom KYL_GUARDED_BY(lock) = 0;          // blocks to read ahead: [aheadFrom, aheadTo)
    uint64_t aheadTo KYL_GUARDED_BY(lock) = 0;
    bool stop KYL_GUARDED_BY(lock) = false;
};

// Where one open file's reader stands, for read-ahead.
struct velk_mount_stream_t {
    uint64_t nextBlock = UINT64_MAX; // the block after the last one read
    uint32_t window = 1;
};

// Sets cache up to read archive fd of kind ops (archiveSize bytes) with
// the run's settings: directly when direct, else with cacheBytes of memory
// in all (at least VELK_MOUNT_CACHE_MIN), the kind's kept reader (which
// takes fd over) and the fetch thread.  0, or -1 (memory, reader or
// thread; after the message when the kind gave one).  Either way
// velk_MountCacheEnd ends it.
[[nodiscard]] int velk_MountCacheInit(velk_mount_cache_t *cache, const velk_archive_kind_t *ops,
                                      const velk_xfer_settings_t *settings, int fd, uint64_t archiveSize, bool direct,
                                      uint64_t cacheBytes);

// Copies len bytes of the archive at offset into buf (the range must lie
// inside the archive), stream being the reader's read-ahead state.  len,
// or -1 with errno set when the archive could not be read.  Serving
// thread.
[[nodiscard]] ssize_t velk_MountCacheRead(velk_mount_cache_t *cache, velk_mount_stream_t *stream, uint64_t offset,
                                          void *buf, size_t len);

// Stops the fetch thread, ends the reader and closes the archive: 0, or
// the close's negative code.  *fetches (may be null) gets the positioned
// reads made.
int velk_MountCacheEnd(velk_mount_cache_t *cache, long *fetches);

#endif
