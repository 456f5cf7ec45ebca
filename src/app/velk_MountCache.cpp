// The block cache of a mounted archive: whole blocks fetched by the fetch
// thread through the kind's kept reader, least recently used ready block
// replaced, a doubling read-ahead window for readers that go on where they
// stopped, fetched while the reader is served.  Locks as the header says.

#include "velk_MountCache.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "velk_Globals.h"
#include "velk_LogMsg.h"

namespace {

// The longest wait before the shutdown flag is looked at again.
constexpr long kWaitSliceMs = 250;

// The slot holding (or fetching) block, or null.
velk_mount_slot_t *findSlot(velk_mount_cache_t *cache, uint64_t block) KYL_REQUIRES(cache->lock)
{
    for (auto &s : cache->slots)
        if (s.state != VELK_SLOT_EMPTY && s.block == block)
            return &s;
    return nullptr;
}

// The slot to fill next: an empty one, else the least recently used ready
// one; null when every slot is being fetched.
velk_mount_slot_t *victimSlot(velk_mount_cache_t *cache) KYL_REQUIRES(cache->lock)
{
    velk_mount_slot_t *best = nullptr;
    for (auto &s : cache->slots) {
        if (s.state == VELK_SLOT_EMPTY)
            return &s;
        if (s.state == VELK_SLOT_READY && (best == nullptr || s.lastUse < best->lastUse))
            best = &s;
    }
    return best;
}

uint64_t lastBlockOf(const velk_mount_cache_t *cache)
{
    return (cache->archiveSize - 1) / VELK_MOUNT_BLOCK;
}

// Bytes of block (shorter at the archive's end).
uint32_t blockBytes(const velk_mount_cache_t *cache, uint64_t block)
{
    uint64_t start = block * VELK_MOUNT_BLOCK;
    return static_cast<uint32_t>(std::min<uint64_t>(VELK_MOUNT_BLOCK, cache->archiveSize - start));
}

bool inAhead(velk_mount_cache_t *cache, uint64_t block) KYL_REQUIRES(cache->lock)
{
    return block >= cache->aheadFrom && block < cache->aheadTo;
}

// The run of blocks to fetch next, [*first, *first + *count): the block a
// reader waits for (with the missing read-ahead blocks after it), else
// the missing read-ahead blocks once at most half the window is there.
// false when there is nothing to fetch.
bool nextRun(velk_mount_cache_t *cache, uint64_t *first, uint32_t *count) KYL_REQUIRES(cache->lock)
{
    uint64_t b = VELK_NO_BLOCK;
    if (cache->demand != VELK_NO_BLOCK && cache->demandErrno == 0) {
        if (findSlot(cache, cache->demand) == nullptr)
            b = cache->demand;
    }
    if (b == VELK_NO_BLOCK && cache->aheadFrom < cache->aheadTo) {
        uint64_t at = cache->aheadFrom;
        while (at < cache->aheadTo && findSlot(cache, at) != nullptr)
            ++at;
        // Fetched in runs of at least half the window, not block by block
        // as the reader moves on.
        if (at < cache->aheadTo && at - cache->aheadFrom <= (cache->aheadTo - cache->aheadFrom) / 2)
            b = at;
    }
    if (b == VELK_NO_BLOCK)
        return false;
    uint32_t n = 1;
    while (n < cache->maxWindow && b + n <= lastBlockOf(cache) && inAhead(cache, b + n) &&
           findSlot(cache, b + n) == nullptr)
        ++n;
    *first = b;
    *count = n;
    return true;
}

// Reads the run [first, first + count) into the scratch buffer.  0, or -1
// with errno set.
int readRun(velk_mount_cache_t *cache, uint64_t first, uint32_t count)
{
    uint64_t start = first * VELK_MOUNT_BLOCK;
    size_t bytes = (count - 1) * VELK_MOUNT_BLOCK + blockBytes(cache, first + count - 1);
    ssize_t n = cache->reader != nullptr
                    ? cache->ops->reader_read(cache->reader, start, cache->scratch.data(), bytes)
                    : cache->ops->read_at(cache->settings, cache->fd, start, cache->scratch.data(), bytes);
    if (n < 0)
        return -1;
    if (static_cast<size_t>(n) != bytes) {
        errno = EIO; // the archive is shorter than its index says
        return -1;
    }
    return 0;
}

// Fetches one run: claims slots for it, reads it without the lock, and
// makes the slots ready (or empty again, the error noted for a reader
// waiting for one of them).  Called and returns with the lock held.
void fetchRun(velk_mount_cache_t *cache, uint64_t first, uint32_t count) KYL_REQUIRES(cache->lock)
{
    std::vector<velk_mount_slot_t *> claimed;
    for (uint32_t i = 0; i < count; ++i) {
        velk_mount_slot_t *s = victimSlot(cache);
        if (s == nullptr)
            break;
        s->state = VELK_SLOT_PENDING;
        s->block = first + i;
        s->len = blockBytes(cache, first + i);
        claimed.push_back(s);
    }
    if (claimed.empty())
        return;
    count = static_cast<uint32_t>(claimed.size());
    cache->lock.unlock();
    int rc = readRun(cache, first, count);
    int err = errno;
    if (rc == 0)
        for (uint32_t i = 0; i < count; ++i)
            memcpy(claimed[i]->data, cache->scratch.data() + i * VELK_MOUNT_BLOCK, claimed[i]->len);
    cache->lock.lock();
    ++cache->fetches;
    bool demanded = cache->demand >= first && cache->demand < first + count;
    for (velk_mount_slot_t *s : claimed) {
        s->state = rc == 0 ? VELK_SLOT_READY : VELK_SLOT_EMPTY;
        s->lastUse = ++cache->clock;
    }
    if (rc != 0) {
        cache->aheadFrom = cache->aheadTo; // no read-ahead into a failing archive
        // A wanted block fetched with others is fetched again alone: the
        // failure may lie in another.
        if (demanded && count == 1)
            cache->demandErrno = err != 0 ? err : EIO;
    } else if (demanded) {
        // The wanted block is used at once; it must not be the next victim.
        findSlot(cache, cache->demand)->lastUse = ++cache->clock;
        cache->demand = VELK_NO_BLOCK;
    }
    cache->changed.broadcast();
}

void *fetchThread(void *arg)
{
    auto *cache = static_cast<velk_mount_cache_t *>(arg);
    kyl_lock_guard g(cache->lock);
    while (!cache->stop && velk_shutdown_signalled.load() == 0) {
        uint64_t first = 0;
        uint32_t count = 0;
        if (nextRun(cache, &first, &count)) {
            fetchRun(cache, first, count);
            continue;
        }
        struct timespec until = velk_DeadlineIn(kWaitSliceMs);
        (void)cache->changed.timedwait(cache->lock, &until);
    }
    cache->changed.broadcast();
    return nullptr;
}

// Notes a read of blocks [first, last] by stream: a reader that goes on
// where it stopped gets the blocks after last read ahead, in a window that
// doubles with each new block it enters.
void noteRead(velk_mount_cache_t *cache, velk_mount_stream_t *stream, uint64_t first, uint64_t last)
    KYL_REQUIRES(cache->lock)
{
    bool inOrder = stream->nextBlock != UINT64_MAX && (first == stream->nextBlock || first + 1 == stream->nextBlock);
    if (!inOrder)
        stream->window = 1;
    else if (last >= stream->nextBlock)
        stream->window = std::min(stream->window * 2, cache->maxWindow);
    stream->nextBlock = last + 1;
    if (!inOrder || last >= lastBlockOf(cache))
        return;
    uint64_t to = std::min(lastBlockOf(cache) + 1, last + 1 + stream->window);
    if (cache->aheadFrom != last + 1 || cache->aheadTo != to) {
        cache->aheadFrom = last + 1;
        cache->aheadTo = to;
        cache->changed.broadcast();
    }
}

// Waits for a change of the cache: 0, or -1 with errno EINTR once a
// shutdown is signalled or the fetch thread has stopped.
int waitChange(velk_mount_cache_t *cache) KYL_REQUIRES(cache->lock)
{
    struct timespec until = velk_DeadlineIn(kWaitSliceMs);
    (void)cache->changed.timedwait(cache->lock, &until);
    if (velk_shutdown_signalled.load() != 0 || cache->stop) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

// Copies what block holds of [at, at + want) into dst once it is there:
// the bytes copied, or -1 with errno set.
ssize_t copyBlock(velk_mount_cache_t *cache, uint64_t block, uint64_t at, unsigned char *dst, size_t want)
    KYL_REQUIRES(cache->lock)
{
    for (;;) {
        velk_mount_slot_t *s = findSlot(cache, block);
        if (s != nullptr && s->state == VELK_SLOT_READY) {
            s->lastUse = ++cache->clock;
            size_t within = static_cast<size_t>(at - block * VELK_MOUNT_BLOCK);
            size_t n = std::min<size_t>(want, s->len - within);
            memcpy(dst, s->data + within, n);
            return static_cast<ssize_t>(n);
        }
        if (s == nullptr && cache->demand == block && cache->demandErrno != 0) {
            errno = cache->demandErrno;
            cache->demand = VELK_NO_BLOCK;
            cache->demandErrno = 0;
            return -1;
        }
        if (s == nullptr && cache->demand != block) {
            cache->demand = block;
            cache->demandErrno = 0;
            cache->changed.broadcast();
        }
        if (waitChange(cache) != 0)
            return -1;
    }
}

} // namespace

int velk_MountCacheInit(velk_mount_cache_t *cache, const velk_archive_kind_t *ops, const velk_xfer_settings_t *settings,
                        int fd, uint64_t archiveSize, bool direct, uint64_t cacheBytes)
{
    cache->ops = ops;
    cache->settings = settings;
    cache->fd = fd;
    cache->archiveSize = archiveSize;
    cache->direct = direct;
    if (direct)
        return 0;
    size_t blocks = std::max(cacheBytes, VELK_MOUNT_CACHE_MIN) / VELK_MOUNT_BLOCK;
    // A quarter of the memory is the read-ahead window, the rest the slots.
    cache->maxWindow = static_cast<uint32_t>(std::max<size_t>(1, blocks / 4));
    size_t slotCount = blocks - cache->maxWindow;
    kyl_lock_guard g(cache->lock);
    try {
        cache->memory.assign(slotCount * VELK_MOUNT_BLOCK, 0);
        cache->scratch.assign(static_cast<size_t>(cache->maxWindow) * VELK_MOUNT_BLOCK, 0);
        cache->slots.assign(slotCount, velk_mount_slot_t{});
    } catch (const std::bad_alloc &) {
        return -1;
    }
    for (size_t i = 0; i < slotCount; ++i)
        cache->slots[i].data = cache->memory.data() + i * VELK_MOUNT_BLOCK;
    if (ops->reader_open != nullptr) {
        int rc = ops->reader_open(settings, fd, &cache->reader);
        cache->fd = -1; // the reader holds it now
        if (rc != 0)
            return -2;
    }
    int rc = pthread_create(&cache->fetcher, nullptr, fetchThread, cache);
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "velk_Mount: error %d starting the fetch thread\n", rc);
        return -2;
    }
    cache->fetcherStarted = true;
    return 0;
}

ssize_t velk_MountCacheRead(velk_mount_cache_t *cache, velk_mount_stream_t *stream, uint64_t offset, void *buf,
                            size_t len)
{
    if (offset > cache->archiveSize || len > cache->archiveSize - offset) {
        errno = EINVAL;
        return -1;
    }
    if (len == 0)
        return 0;
    if (cache->direct) {
        {
            kyl_lock_guard g(cache->lock);
            ++cache->fetches;
        }
        ssize_t n = cache->ops->read_at(cache->settings, cache->fd, offset, buf, len);
        if (n >= 0 && static_cast<size_t>(n) != len) {
            errno = EIO; // the archive is shorter than its index says
            return -1;
        }
        return n;
    }
    kyl_lock_guard g(cache->lock);
    noteRead(cache, stream, offset / VELK_MOUNT_BLOCK, (offset + len - 1) / VELK_MOUNT_BLOCK);
    size_t done = 0;
    while (done < len) {
        uint64_t at = offset + done;
        ssize_t n = copyBlock(cache, at / VELK_MOUNT_BLOCK, at, static_cast<unsigned char *>(buf) + done, len - done);
        if (n < 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(len);
}

int velk_MountCacheEnd(velk_mount_cache_t *cache, long *fetches)
{
    if (cache->fetcherStarted) {
        {
            kyl_lock_guard g(cache->lock);
            cache->stop = true;
            cache->changed.broadcast();
        }
        pthread_join(cache->fetcher, nullptr);
        cache->fetcherStarted = false;
    }
    int rc = 0;
    if (cache->reader != nullptr)
        rc = cache->ops->reader_close(cache->reader);
    else if (cache->fd >= 0 && cache->ops != nullptr)
        rc = cache->ops->close(cache->fd);
    cache->reader = nullptr;
    cache->fd = -1;
    if (fetches != nullptr) {
        kyl_lock_guard g(cache->lock);
        *fetches = cache->fetches;
    }
    return rc;
}
