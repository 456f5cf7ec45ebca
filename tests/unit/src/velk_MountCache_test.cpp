// The mount's block cache over a kind table whose positioned read serves
// an in-memory archive and counts the reads: a random small read costs one
// fetch, a sequential reader's fetches grow, memory stays within the size
// asked for, and every byte handed out is the archive's.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "velk_MountCache.h"

namespace {

std::string g_archive;
long g_reads = 0;
size_t g_largest = 0;

ssize_t fakeReadAt(const velk_xfer_settings_t *, int /*fd*/, uint64_t offset, void *buf, size_t count)
{
    ++g_reads;
    g_largest = std::max(g_largest, count);
    if (offset > g_archive.size()) {
        errno = EIO;
        return -1;
    }
    size_t n = std::min<size_t>(count, g_archive.size() - offset);
    memcpy(buf, g_archive.data() + offset, n);
    return static_cast<ssize_t>(n);
}

velk_archive_kind_t fakeKind()
{
    velk_archive_kind_t k{};
    k.read_at = fakeReadAt;
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
    }
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
    ASSERT_EQ(velk_MountCacheInit(&cache, &kind, 3, g_archive.size(), false, 8 * VELK_MOUNT_BLOCK), 0);
    const uint64_t offsets[] = {5 * VELK_MOUNT_BLOCK + 100, 17 * VELK_MOUNT_BLOCK, 2 * VELK_MOUNT_BLOCK - 2048};
    for (uint64_t off : offsets) {
        long before = g_reads;
        velk_mount_stream_t fresh;
        stream = fresh;
        EXPECT_EQ(read(off, 4096), g_archive.substr(off, 4096)) << off;
        // One positioned read, two blocks' worth at most (a read across a
        // block boundary).
        EXPECT_LE(g_reads - before, 2) << off;
    }
    long before = g_reads;
    EXPECT_EQ(read(offsets[0], 4096), g_archive.substr(offsets[0], 4096));
    EXPECT_EQ(g_reads, before);
    // The last bytes of the archive, in a short block.
    uint64_t tail = g_archive.size() - 10;
    EXPECT_EQ(read(tail, 10), g_archive.substr(tail));
    std::string over(20, '\0');
    EXPECT_EQ(velk_MountCacheRead(&cache, &stream, tail, over.data(), over.size()), -1);
}

TEST_F(VelkMountCache, SequentialReadersGetReadAheadWithinTheMemoryBound)
{
    const uint64_t limit = 8 * VELK_MOUNT_BLOCK;
    ASSERT_EQ(velk_MountCacheInit(&cache, &kind, 3, g_archive.size(), false, limit), 0);
    EXPECT_LE(cache.memory.size() + cache.scratch.size(), limit);
    std::string all;
    for (uint64_t off = 0; off < g_archive.size(); off += 128 * 1024)
        all += read(off, std::min<size_t>(128 * 1024, g_archive.size() - off));
    EXPECT_EQ(all, g_archive);
    // 21 blocks read in windows of 1, 2 and then the largest allowed.
    EXPECT_LE(g_reads, 12);
    EXPECT_EQ(g_largest, cache.maxWindow * VELK_MOUNT_BLOCK);
}

TEST_F(VelkMountCache, DirectReadsGoStraightThrough)
{
    ASSERT_EQ(velk_MountCacheInit(&cache, &kind, 3, g_archive.size(), true, 0), 0);
    EXPECT_EQ(read(12345, 100000), g_archive.substr(12345, 100000));
    EXPECT_EQ(read(12345, 10), g_archive.substr(12345, 10));
    EXPECT_EQ(g_reads, 2);
    EXPECT_EQ(g_largest, 100000u);
}

} // namespace
