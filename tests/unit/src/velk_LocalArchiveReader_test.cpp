// The local archive reader: ranges reach the data callback in order, whole
// buffers first; a failing callback or an archive that ends early stops
// both threads with a failure.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_LocalArchiveReader.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"
#include "velk_unit_fixture.h"

namespace {

// What the callback saw, one record per call.
struct Delivery {
    uint32_t dataLength;
    uint32_t dataMoved;
    int bufSize;
    std::string bytes;
};

std::mutex g_mu;  // guards g_seen and g_failAt
std::vector<Delivery> g_seen;
int g_failAt = -1;  // call index that returns failure, -1 for none
std::atomic<int> g_inside{0};
std::atomic<int> g_overlaps{0};

int recordingCallback(io_buffer_t *b, void *)
{
    if (g_inside.fetch_add(1) != 0)
        g_overlaps.fetch_add(1);
    int rc = 0;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_seen.push_back({b->dataLength, b->dataMoved, b->bufSize,
                          std::string(reinterpret_cast<const char *>(b->buffer), b->dataLength)});
        if (static_cast<int>(g_seen.size()) - 1 == g_failAt)
            rc = -7;
    }
    g_inside.fetch_sub(1);
    return rc;
}

class LocalArchiveReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        velk_filetype = VELK_LOCAL_FILE;
        velk_iobufsize = 1024;
        g_seen.clear();
        g_failAt = -1;
        g_overlaps.store(0);
    }
    void TearDown() override
    {
        if (fd_ >= 0)
            close(fd_);
    }

    // An archive of size bytes whose byte i is a function of i.
    void makeArchive(size_t size)
    {
        archive_.resize(size);
        for (size_t i = 0; i < size; ++i)
            archive_[i] = static_cast<char>((i * 31 + i / 256) & 0xff);
        std::string path = dir_ / "a.tar";
        velktest::writeFile(path, archive_);
        fd_ = open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd_, 0);
    }

    // Checks the deliveries: the given lengths, and together the archive's
    // bytes from start.
    void expectDeliveries(uint64_t start, const std::vector<uint32_t> &lengths)
    {
        ASSERT_EQ(g_seen.size(), lengths.size());
        uint64_t pos = start;
        for (size_t i = 0; i < lengths.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(g_seen[i].dataLength, lengths[i]);
            EXPECT_EQ(g_seen[i].dataMoved, 0u);
            EXPECT_EQ(g_seen[i].bufSize, 1024);
            EXPECT_EQ(g_seen[i].bytes, archive_.substr(pos, lengths[i]));
            pos += lengths[i];
        }
        EXPECT_EQ(g_overlaps.load(), 0);
    }

    velktest::ScratchDir dir_;
    std::string archive_;
    int fd_ = -1;
    velkunit::RunGlobals globals_;
};

TEST_F(LocalArchiveReaderTest, ZeroBytesReturnsAtOnce)
{
    // The descriptor is not valid: it would fail any positioning or read.
    double t = -1.0;
    EXPECT_EQ(velk_CopyFromLocalArchive(-1, 512, 0, recordingCallback, nullptr, &t), 0);
    EXPECT_TRUE(g_seen.empty());
    EXPECT_EQ(t, 0.0);
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST_F(LocalArchiveReaderTest, ThreeBuffersArriveAsThreeWholeBuffersInOrder)
{
    makeArchive(4096);
    double t = -1.0;
    EXPECT_EQ(velk_CopyFromLocalArchive(fd_, 512, 3072, recordingCallback, nullptr, &t), 0);
    expectDeliveries(512, {1024, 1024, 1024});
    EXPECT_GE(t, 0.0);
}

TEST_F(LocalArchiveReaderTest, RangeThatIsNotABufferMultipleEndsWithAShortBuffer)
{
    makeArchive(8192);
    EXPECT_EQ(velk_CopyFromLocalArchive(fd_, 1024, 2560, recordingCallback, nullptr, nullptr), 0);
    expectDeliveries(1024, {1024, 1024, 512});

    g_seen.clear();
    EXPECT_EQ(velk_CopyFromLocalArchive(fd_, 0, 100, recordingCallback, nullptr, nullptr), 0);
    expectDeliveries(0, {100});
}

TEST_F(LocalArchiveReaderTest, ManyBuffersKeepTheirOrder)
{
    makeArchive(64 * 1024 + 512);
    EXPECT_EQ(velk_CopyFromLocalArchive(fd_, 512, 64 * 1024, recordingCallback, nullptr, nullptr), 0);
    expectDeliveries(512, std::vector<uint32_t>(64, 1024));
}

TEST_F(LocalArchiveReaderTest, FailingCallbackStopsTheTransfer)
{
    makeArchive(16 * 1024);
    g_failAt = 0;
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_CopyFromLocalArchive(fd_, 0, 16 * 1024, recordingCallback, nullptr, nullptr), -1);
    cap.stop();
    // Returning at all means both threads were joined; the callback saw no
    // buffer after the one it refused.
    EXPECT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(cap.err(), "ERROR: /debug/velk_CopyFromLocalArchive: callback function returned -7 -aborting xfer\n");

    // A failure on a later buffer likewise.
    g_seen.clear();
    g_failAt = 2;
    velktest::OutputCapture cap2;
    EXPECT_EQ(velk_CopyFromLocalArchive(fd_, 0, 16 * 1024, recordingCallback, nullptr, nullptr), -1);
    cap2.stop();
    expectDeliveries(0, {1024, 1024, 1024});
}

TEST_F(LocalArchiveReaderTest, ArchiveEndingInsideTheRangeFails)
{
    const struct {
        size_t size;
        uint64_t ask;
    } cases[] = {{2048, 4096}, {1500, 2048}, {0, 512}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        if (fd_ >= 0)
            close(fd_);
        makeArchive(c.size);
        g_seen.clear();
        velk_exit_code.store(0);
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_CopyFromLocalArchive(fd_, 0, c.ask, recordingCallback, nullptr, nullptr), -1);
        cap.stop();
        EXPECT_NE(cap.err().find("ERROR: velk_CopyFromLocalArchive: premature end of archive file - "), std::string::npos)
            << cap.err();
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
        // Whatever was delivered before the failure is whole buffers of the
        // archive's own bytes.
        uint64_t pos = 0;
        for (const Delivery &d : g_seen) {
            EXPECT_EQ(d.dataLength, 1024u);
            EXPECT_EQ(d.bytes, archive_.substr(pos, d.dataLength));
            pos += d.dataLength;
        }
        EXPECT_LE(pos, c.size);
    }
}

TEST_F(LocalArchiveReaderTest, UnpositionableArchiveFails)
{
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_CopyFromLocalArchive(-1, 0, 512, recordingCallback, nullptr, nullptr), -1);
    cap.stop();
    EXPECT_NE(cap.err().find("ERROR: velk_CopyFromLocalArchive: fatal error positioning local archive file\n"),
              std::string::npos)
        << cap.err();
    EXPECT_TRUE(g_seen.empty());
}

}  // namespace
