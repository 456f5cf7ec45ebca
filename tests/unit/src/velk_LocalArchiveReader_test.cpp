// The local archive reader: ranges reach the data callback in order, whole
// buffers first, one call at a time; a failing callback, an archive that
// ends early or one that cannot be positioned stops both threads with a
// failure.

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "velk_LocalArchiveReader.h"
#include "velk_unit_fixture.h"

namespace {

std::mutex g_mu;  // guards g_seen
std::vector<std::string> g_seen;
int g_failAt = -1;  // call index that returns failure, -1 for none
std::atomic<int> g_inside{0}, g_overlaps{0}, g_bad{0};

int recordingCallback(io_buffer_t *b)
{
    if (g_inside.fetch_add(1) != 0)
        g_overlaps.fetch_add(1);
    if (b->dataMoved != 0 || b->bufSize != 1024)
        g_bad.fetch_add(1);
    int rc = 0;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_seen.emplace_back(reinterpret_cast<const char *>(b->buffer), b->dataLength);
        if (static_cast<int>(g_seen.size()) - 1 == g_failAt)
            rc = -7;
    }
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
        int failAt;
        int rc;
        std::vector<size_t> lengths;  // what the callback sees
    } cases[] = {
        {4096, 512, 3072, -1, 0, {1024, 1024, 1024}},
        {8192, 1024, 2560, -1, 0, {1024, 1024, 512}},
        {8192, 0, 100, -1, 0, {100}},
        {64 * 1024 + 512, 512, 64 * 1024, -1, 0, std::vector<size_t>(64, 1024)},
        // A refusing callback sees no buffer after the one it refused.
        {16 * 1024, 0, 16 * 1024, 0, -1, {1024}},
        {16 * 1024, 0, 16 * 1024, 2, -1, {1024, 1024, 1024}},
        // Archives that end inside the range: at most the whole buffers before.
        {2048, 0, 4096, -1, -1, {}},
        {1500, 0, 2048, -1, -1, {}},
        {0, 0, 512, -1, -1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.archiveSize) + " " + std::to_string(c.start) + "+" + std::to_string(c.length));
        std::string archive = velkunit::pattern(c.archiveSize, 5);
        velktest::writeFile(dir / "a.tar", archive);
        int fd = open((dir / "a.tar").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        g_seen.clear();
        g_failAt = c.failAt;
        g_overlaps.store(0);
        g_bad.store(0);
        velk_exit_code.store(0);
        double t = -1.0;
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_CopyFromLocalArchive(fd, c.start, c.length, recordingCallback, &t), c.rc);
        cap.stop();
        close(fd);
        EXPECT_EQ(g_overlaps.load(), 0);
        EXPECT_EQ(g_bad.load(), 0);
        if (c.rc == 0) {
            EXPECT_GE(t, 0.0);
            EXPECT_EQ(cap.err(), "");
        }
        if (c.rc == 0 || c.failAt >= 0) {
            ASSERT_EQ(g_seen.size(), c.lengths.size());
        }
        uint64_t pos = c.start;
        for (const std::string &got : g_seen) {
            EXPECT_EQ(got, archive.substr(pos, got.size()));
            EXPECT_TRUE(got.size() == 1024 || c.rc == 0);
            pos += got.size();
        }
        if (c.rc < 0 && c.failAt < 0) {
            EXPECT_TRUE(velkunit::contains(cap.err(), "premature end of archive file")) << cap.err();
            EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
        }
    }

    // Nothing to read returns at once, whatever the descriptor; an archive
    // that cannot be positioned fails.
    g_seen.clear();
    double t = -1.0;
    EXPECT_EQ(velk_CopyFromLocalArchive(-1, 512, 0, recordingCallback, &t), 0);
    EXPECT_EQ(t, 0.0);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_CopyFromLocalArchive(-1, 0, 512, recordingCallback, nullptr), -1);
    EXPECT_TRUE(velkunit::contains(cap.err(), "fatal error positioning local archive file")) << cap.err();
    EXPECT_TRUE(g_seen.empty());
}

} // namespace
