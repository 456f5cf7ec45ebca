// The mount's block cache over a kind table whose positioned read serves
// an in-memory archive and counts the reads: a random small read costs one
// fetch, a sequential reader's next blocks are fetched before it asks,
// memory stays within the size asked for, a failed fetch fails the read
// that waits for it, a kept reader is opened once and closed at the end,
// and every byte handed out is the archive's.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "velk_MountCache.h"

namespace {

// Written by the cache's fetch thread, read by the test's.
std::string g_archive;
std::atomic<long> g_reads{0};
std::atomic<size_t> g_largest{0};
std::atomic<uint64_t> g_failAt{UINT64_MAX}; // a fetch covering this offset fails

ssize_t fakeReadAt(const velk_xfer_settings_t *, int /*fd*/, uint64_t offset, void *buf, size_t count)
{
    ++g_reads;
    g_largest = std::max(g_largest.load(), count);
    if (offset > g_archive.size() || (g_failAt >= offset && g_failAt - offset < count)) {
        errno = EIO;
        return -1;
    }
    size_t n = std::min<size_t>(count, g_archive.size() - offset);
    memcpy(buf, g_archive.data() + offset, n);
    return static_cast<ssize_t>(n);
}

int fakeClose(int)
{
    return 0;
}

velk_archive_kind_t fakeKind()
{
    velk_archive_kind_t k{};
    k.read_at = fakeReadAt;
    k.close = fakeClose;
    return k;
}

class VelkMountCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_archive.resize(20 * VELK_MOUNT_BLOCK + 777);
        for (size_t i = 0; i < g_archive.size(); ++i)
            g_archive[i] = static_cast<char>((i * 2654435761u) >> 13);
        g_reads = 0;
        g_largest = 0;
        g_failAt = UINT64_MAX;
    }
    void TearDown() override { (void)velk_MountCacheEnd(&cache, nullptr); }
    velk_archive_kind_t kind = fakeKind();
    velk_mount_cache_t cache;
    velk_mount_stream_t stream;

    std::string read(uint64_t off, size_t len)
    {
        std::string out(len, '\0');
        EXPECT_EQ(velk_MountCacheRead(&cache, &stream, off, out.data(), len), static_cast<ssize_t>(len));
        return out;
    }
};

TEST_F(VelkMountCache, RandomReadsCostOneFetchAndRepeatsNone)
{
    ASSERT_EQ(velk_MountCacheInit(&cache, &kind, nullptr, 3, g_archive.size(), false, 8 * VELK_MOUNT_BLOCK), 0);
    const uint64_t offsets[] = {5 * VELK_MOUNT_BLOCK + 100, 17 * VELK_MOUNT_BLOCK, 2 * VELK_MOUNT_BLOCK - 2048};
    for (uint64_t off : offsets) {
        long before = g_reads;
        velk_mount_stream_t fresh;
        stream = fresh;
        EXPECT_TRUE(read(off, 4096) == g_archive.substr(off, 4096)) << off;
        // One positioned read, two blocks' worth at most (a read across a
        // block boundary).
        EXPECT_LE(g_reads - before, 2) << off;
    }
    long before = g_reads;
    EXPECT_TRUE(read(offsets[0], 4096) == g_archive.substr(offsets[0], 4096));
    EXPECT_EQ(g_reads, before);
    // The last bytes of the archive, in a short block.
    uint64_t tail = g_archive.size() - 10;
    EXPECT_TRUE(read(tail, 10) == g_archive.substr(tail));
    std::string over(20, '\0');
    EXPECT_EQ(velk_MountCacheRead(&cache, &stream, tail, over.data(), over.size()), -1);
}

// Waits (at most 5 s) until no fetch has been made for 200 ms.
void settle()
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    long seen = -1;
    while (seen != g_reads && std::chrono::steady_clock::now() < deadline) {
        seen = g_reads;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

TEST_F(VelkMountCache, SequentialReadersGetReadAheadWithinTheMemoryBound)
{
    const uint64_t limit = 32 * VELK_MOUNT_BLOCK;
    ASSERT_EQ(velk_MountCacheInit(&cache, &kind, nullptr, 3, g_archive.size(), false, limit), 0);
    EXPECT_LE(cache.memory.size() + cache.scratch.size(), limit);
    std::string all;
    const size_t step = 128 * 1024;
    uint64_t off = 0;
    for (; off < 5 * VELK_MOUNT_BLOCK; off += step)
        all += read(off, step);
    // The blocks after the reader arrive while it reads nothing: at least
    // half a window of them.
    settle();
    size_t ahead = 0;
    cache.lock.lock();
    for (const auto &sl : cache.slots)
        ahead += sl.state == VELK_SLOT_READY && sl.block >= 5 ? 1 : 0;
    cache.lock.unlock();
    EXPECT_GE(ahead, cache.maxWindow / 2);
    for (; off < g_archive.size(); off += step)
        all += read(off, std::min<size_t>(step, g_archive.size() - off));
    EXPECT_TRUE(all == g_archive);
    // 21 blocks in runs that grow to half a window and more, never more
    // than a window.
    EXPECT_LE(g_reads, 12);
    EXPECT_GE(g_largest, cache.maxWindow / 2 * VELK_MOUNT_BLOCK);
    EXPECT_LE(g_largest, cache.maxWindow * VELK_MOUNT_BLOCK);
}

TEST_F(VelkMountCache, AFailedFetchFailsTheReadThatWaitsForIt)
{
    ASSERT_EQ(velk_MountCacheInit(&cache, &kind, nullptr, 3, g_archive.size(), false, 32 * VELK_MOUNT_BLOCK), 0);
    g_failAt = 9 * VELK_MOUNT_BLOCK + 5;
    uint64_t off = 0;
    for (; off < 9 * VELK_MOUNT_BLOCK; off += 65536)
        EXPECT_TRUE(read(off, 65536) == g_archive.substr(off, 65536));
    std::string out(65536, '\0');
    errno = 0;
    EXPECT_EQ(velk_MountCacheRead(&cache, &stream, off, out.data(), out.size()), -1);
    EXPECT_EQ(errno, EIO);
    // Once the archive reads again, so does the block.
    g_failAt = UINT64_MAX;
    EXPECT_TRUE(read(off, 65536) == g_archive.substr(off, 65536));
}

// A kind with a kept reader: opened once with the archive descriptor,
// every fetch through it, closed (with the descriptor) at the end.
int g_opened = 0, g_closed = 0, g_heldFd = -1;
int fakeReaderOpen(const velk_xfer_settings_t *, int fd, velk_pread_t **reader)
{
    ++g_opened;
    g_heldFd = fd;
    *reader = reinterpret_cast<velk_pread_t *>(&g_heldFd);
    return 0;
}
ssize_t fakeReaderRead(velk_pread_t *, uint64_t offset, void *buf, size_t count)
{
    return fakeReadAt(nullptr, g_heldFd, offset, buf, count);
}
int fakeReaderClose(velk_pread_t *reader)
{
    ++g_closed;
    return reader == reinterpret_cast<velk_pread_t *>(&g_heldFd) ? 0 : -1;
}

TEST_F(VelkMountCache, AKeptReaderServesEveryFetchAndIsClosedAtTheEnd)
{
    kind.read_at = nullptr;
    kind.reader_open = fakeReaderOpen;
    kind.reader_read = fakeReaderRead;
    kind.reader_close = fakeReaderClose;
    g_opened = g_closed = 0;
    ASSERT_EQ(velk_MountCacheInit(&cache, &kind, nullptr, 7, g_archive.size(), false, 8 * VELK_MOUNT_BLOCK), 0);
    EXPECT_EQ(g_heldFd, 7);
    for (uint64_t off : {uint64_t{0}, 11 * VELK_MOUNT_BLOCK - 3, uint64_t{g_archive.size() - 5000}})
        EXPECT_TRUE(read(off, 5000) == g_archive.substr(off, 5000));
    long fetches = 0;
    EXPECT_EQ(velk_MountCacheEnd(&cache, &fetches), 0);
    EXPECT_EQ(fetches, g_reads);
    EXPECT_EQ(g_opened, 1);
    EXPECT_EQ(g_closed, 1);
}

TEST_F(VelkMountCache, DirectReadsGoStraightThrough)
{
    ASSERT_EQ(velk_MountCacheInit(&cache, &kind, nullptr, 3, g_archive.size(), true, 0), 0);
    EXPECT_TRUE(read(12345, 100000) == g_archive.substr(12345, 100000));
    EXPECT_TRUE(read(12345, 10) == g_archive.substr(12345, 10));
    EXPECT_EQ(g_reads, 2);
    EXPECT_EQ(g_largest, 100000u);
}

} // namespace
