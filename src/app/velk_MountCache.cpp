// The block cache of a mounted archive: whole blocks fetched through the
// kind's positioned read, least recently used block replaced, a doubling
// read-ahead window for readers that go on where they stopped.  One thread
// (the mount's) uses it; no locks.

#include "velk_MountCache.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace {

// The slot holding block, or null.
velk_mount_slot_t *findSlot(velk_mount_cache_t *cache, uint64_t block)
{
    for (auto &s : cache->slots)
        if (s.lastUse != 0 && s.block == block)
            return &s;
    return nullptr;
}

// The least recently used slot, an empty one first.
velk_mount_slot_t *victimSlot(velk_mount_cache_t *cache)
{
    velk_mount_slot_t *best = &cache->slots[0];
    for (auto &s : cache->slots)
        if (s.lastUse < best->lastUse)
            best = &s;
    return best;
}

// Bytes of block (shorter at the archive's end).
uint32_t blockBytes(const velk_mount_cache_t *cache, uint64_t block)
{
    uint64_t start = block * VELK_MOUNT_BLOCK;
    return static_cast<uint32_t>(std::min<uint64_t>(VELK_MOUNT_BLOCK, cache->archiveSize - start));
}

// Fetches block and as many following uncached blocks as the stream's
// window allows in one positioned read.  The slot of block, or null with
// errno set.
velk_mount_slot_t *fetch(velk_mount_cache_t *cache, velk_mount_stream_t *stream, uint64_t block)
{
    uint64_t lastBlock = (cache->archiveSize - 1) / VELK_MOUNT_BLOCK;
    if (stream->nextBlock == block)
        stream->window = std::min(stream->window * 2, cache->maxWindow);
    else
        stream->window = 1;
    uint32_t count = 1;
    while (count < stream->window && block + count <= lastBlock && findSlot(cache, block + count) == nullptr)
        ++count;
    uint64_t start = block * VELK_MOUNT_BLOCK;
    size_t bytes = (count - 1) * VELK_MOUNT_BLOCK + blockBytes(cache, block + count - 1);
    ++cache->fetches;
    ssize_t n = cache->ops->read_at(cache->settings, cache->fd, start, cache->scratch.data(), bytes);
    if (n < 0)
        return nullptr;
    if (static_cast<size_t>(n) != bytes) {
        errno = EIO;
        return nullptr;
    }
    stream->nextBlock = block + count;
    velk_mount_slot_t *first = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        velk_mount_slot_t *s = victimSlot(cache);
        s->block = block + i;
        s->len = blockBytes(cache, block + i);
        s->lastUse = ++cache->clock;
        memcpy(s->data, cache->scratch.data() + i * VELK_MOUNT_BLOCK, s->len);
        if (i == 0)
            first = s;
    }
    // The wanted block is used at once; it must not be the next victim.
    first->lastUse = ++cache->clock;
    return first;
}

} // namespace

int velk_MountCacheInit(velk_mount_cache_t *cache, const velk_archive_kind_t *ops, int fd, uint64_t archiveSize,
                        bool direct, uint64_t cacheBytes)
{
    cache->ops = ops;
    cache->fd = fd;
    cache->archiveSize = archiveSize;
    cache->direct = direct;
    cache->clock = 0;
    cache->fetches = 0;
    if (direct)
        return 0;
    size_t blocks = std::max(cacheBytes, VELK_MOUNT_CACHE_MIN) / VELK_MOUNT_BLOCK;
    // A quarter of the memory is the read-ahead window, the rest the slots.
    cache->maxWindow = static_cast<uint32_t>(std::max<size_t>(1, blocks / 4));
    size_t slotCount = blocks - cache->maxWindow;
    try {
        cache->memory.assign(slotCount * VELK_MOUNT_BLOCK, 0);
        cache->scratch.assign(static_cast<size_t>(cache->maxWindow) * VELK_MOUNT_BLOCK, 0);
        cache->slots.assign(slotCount, velk_mount_slot_t{});
    } catch (const std::bad_alloc &) {
        return -1;
    }
    for (size_t i = 0; i < slotCount; ++i)
        cache->slots[i].data = cache->memory.data() + i * VELK_MOUNT_BLOCK;
    return 0;
}

ssize_t velk_MountCacheRead(velk_mount_cache_t *cache, velk_mount_stream_t *stream, uint64_t offset, void *buf,
                            size_t len)
{
    if (offset > cache->archiveSize || len > cache->archiveSize - offset) {
        errno = EINVAL;
        return -1;
    }
    if (cache->direct) {
        ++cache->fetches;
        ssize_t n = cache->ops->read_at(cache->settings, cache->fd, offset, buf, len);
        if (n >= 0 && static_cast<size_t>(n) != len) {
            errno = EIO; // the archive is shorter than its index says
            return -1;
        }
        return n;
    }
    size_t done = 0;
    while (done < len) {
        uint64_t at = offset + done;
        uint64_t block = at / VELK_MOUNT_BLOCK;
        velk_mount_slot_t *s = findSlot(cache, block);
        if (s != nullptr)
            s->lastUse = ++cache->clock;
        else if ((s = fetch(cache, stream, block)) == nullptr)
            return -1;
        size_t within = static_cast<size_t>(at - block * VELK_MOUNT_BLOCK);
        size_t n = std::min<size_t>(len - done, s->len - within);
        memcpy(static_cast<unsigned char *>(buf) + done, s->data + within, n);
        done += n;
    }
    return static_cast<ssize_t>(len);
}
