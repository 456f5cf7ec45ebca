// The local archive reader: a range reaches the data callback in order, in
// whole buffers but the last, one call at a time; a refusing callback or an
// archive that ends early stops both threads with a failure.

#include <atomic>
#include <fcntl.h>

#include "velk_LocalArchiveReader.h"
#include "velk_unit_fixture.h"

namespace {

std::vector<std::string> g_seen;  // the callback runs on one thread at a time
int g_failAt = -1;
std::atomic<int> g_inside{0}, g_overlaps{0};

int recordingCallback(io_buffer_t *b)
{
    g_overlaps += g_inside.fetch_add(1) != 0 || b->dataMoved != 0 || b->bufSize != 1024;
    g_seen.emplace_back(reinterpret_cast<const char *>(b->buffer), b->dataLength);
    int rc = static_cast<int>(g_seen.size()) - 1 == g_failAt ? -7 : 0;
    g_inside.fetch_sub(1);
    return rc;
}

TEST(LocalArchiveReader, RangesArriveInWholeBuffersInOrderOrFail)
{
    velkunit::RunGlobals globals;
    velktest::ScratchDir dir;
    velk_filetype = VELK_LOCAL_FILE;
    velk_iobufsize = 1024;
    struct Case {
        size_t archiveSize;
        uint64_t start, length;
        int failAt, rc;
        size_t calls;  // with rc 0 or a refusing callback
    } cases[] = {
        {4096, 512, 3072, -1, 0, 3},  {8192, 1024, 2560, -1, 0, 3}, {8192, 0, 100, -1, 0, 1},
        {66048, 512, 65536, -1, 0, 64}, {16384, 0, 16384, 0, -1, 1},  {16384, 0, 16384, 2, -1, 3},
        {2048, 0, 4096, -1, -1, 0},   {1500, 0, 2048, -1, -1, 0},   {0, 0, 512, -1, -1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.archiveSize) + " " + std::to_string(c.start) + "+" + std::to_string(c.length));
        std::string archive = velkunit::pattern(c.archiveSize, 5);
        velktest::writeFile(dir / "a.tar", archive);
        int fd = open((dir / "a.tar").c_str(), O_RDONLY);
        g_seen.clear();
        g_failAt = c.failAt;
        g_overlaps.store(0);
        velk_exit_code.store(0);
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_CopyFromLocalArchive(fd, c.start, c.length, recordingCallback, nullptr), c.rc);
        close(fd);
        EXPECT_EQ(g_overlaps.load(), 0);
        if (c.rc == 0 || c.failAt >= 0) {
            EXPECT_EQ(g_seen.size(), c.calls);
        } else {
            EXPECT_TRUE(velkunit::contains(cap.err(), "premature end of archive file")) << cap.err();
            EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
        }
        uint64_t pos = c.start;  // what arrived is the archive's own bytes, whole buffers unless last
        for (const std::string &got : g_seen) {
            EXPECT_EQ(got, archive.substr(pos, got.size()));
            EXPECT_TRUE(got.size() == 1024 || (c.rc == 0 && pos + got.size() == c.start + c.length));
            pos += got.size();
        }
    }
    // Nothing to read returns at once, whatever the descriptor; an archive
    // that cannot be positioned fails.
    EXPECT_EQ(velk_CopyFromLocalArchive(-1, 512, 0, recordingCallback, nullptr), 0);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_CopyFromLocalArchive(-1, 0, 512, recordingCallback, nullptr), -1);
}

} // namespace
