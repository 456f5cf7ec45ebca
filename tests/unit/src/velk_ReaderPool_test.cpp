// The local file reader pool against a real tree: the manager and 1, 2 or 8
// readers turn a temporary index into the archive stream, which a consumer
// thread drains in archive order the way the archive writer does; the
// stream is compared byte for byte with the headers, data, padding and end
// block the archive must hold, and GNU tar lists it.  Also member outcomes
// and CRCs, files that change size, missing files, entries that do not fit
// the stream, and aborts, ends and shutdowns that must stop every thread.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberStatus.h"
#include "velk_ParseCmdLine.h"
#include "velk_ReaderPool.h"
#include "velk_TarHeader.h"
#include "velk_Xfer.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"
#include "velk_unit_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;
using velktest::Clock;
using velktest::kGenerousWait;

Bytes pattern(size_t n, unsigned seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<unsigned char>((i * 31 + seed + (i >> 9)) & 0xff);
    return b;
}

Bytes bytesOf(const std::string &s) { return Bytes(s.begin(), s.end()); }

void writeBytes(const std::string &path, const Bytes &data)
{
    velktest::writeFile(path, std::string(data.begin(), data.end()));
}

// Bitwise CRC-32 (reflected 0xEDB88320, preset and final complement), kept
// apart from the unit under test as a reference for long data.
uint32_t referenceCrc(const Bytes &data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// One member as the test lays it out: its index entry and the data the
// archive must hold for it (the indexed size, whatever the file now holds).
struct Member {
    std::string path;
    uint32_t type = VTO_FILE;
    hif_entry_t entry;
    Bytes archived;       // member data as it must appear in the archive
    bool missing = false; // the file is gone: "/dev/null" header, zeros
};

std::string field(const unsigned char *p, size_t n)
{
    const char *c = reinterpret_cast<const char *>(p);
    return std::string(c, strnlen(c, n));
}

// The archive bytes of the laid-out members: header, data and zero padding
// per member, then one zero block.
Bytes expectedStream(const std::vector<Member> &members)
{
    Bytes out;
    for (const Member &m : members) {
        hif_entry_t e = m.entry;
        if (m.missing) {
            memset(e.hent_prefix, 0, sizeof e.hent_prefix);
            memset(e.hent_name, 0, sizeof e.hent_name);
            memcpy(e.hent_name, "/dev/null", 9);
        }
        unsigned char block[512];
        velk_BuildPosixHeader(&e, block);
        out.insert(out.end(), block, block + 512);
        out.insert(out.end(), m.archived.begin(), m.archived.end());
        size_t pad = (512 - m.archived.size() % 512) % 512;
        out.insert(out.end(), pad, 0);
    }
    out.insert(out.end(), 512, 0);
    return out;
}

// Where the first byte of member i lies in the stream.
size_t memberStart(const std::vector<Member> &members, size_t i)
{
    return static_cast<size_t>(velk_Get64(members[i].entry.hent_offset)) * 512;
}

class ReaderPoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        velk_exit_code.store(0);
        saved_.bufsize = velk_iobufsize;
        saved_.stripes = velk_archive_stripewidth;
        saved_.threads = velk_max_threads;
        saved_.flags = velk_option_flags;
        saved_.debug = velk_debug_level;
        velk_iobufsize = VELK_MIN_IOBUFSIZE;
        velk_archive_stripewidth = 1;
        velk_option_flags = VELK_OPT_CRC;
        velk_debug_level = 0;
        velk_io_memtype.store(-1);
        velk_archive_blocks = 0;
        velk_shutdown_signalled.store(0);
    }
    void TearDown() override
    {
        velk_ShutdownThreadPool();
        velk_IndexReadRelease();
        if (indexFd_ >= 0)
            close(indexFd_);
        velk_tmpIndexFD = -1;
        velk_index_entries = 0;
        velk_archive_blocks = 0;
        velk_ReleaseMemberFileLists();
        xfer_ctl.store(nullptr);
        velk_shutdown_signalled.store(0);
        velk_iobufsize = saved_.bufsize;
        velk_archive_stripewidth = saved_.stripes;
        velk_max_threads = saved_.threads;
        velk_option_flags = saved_.flags;
        velk_debug_level = saved_.debug;
        velk_io_memtype.store(-1);
        velk_exit_code.store(0);
    }

    // Adds the member at path (as it now is on disk) to the layout.
    Member &add(const std::string &path, Bytes archived = {})
    {
        velk_FileSpec_t member = velkunit::memberFromLstat(path);
        Member m;
        m.path = path;
        m.type = member.objectType;
        EXPECT_EQ(velk_IndexFromFileSpec(static_cast<int64_t>(members_.size()), &member, &m.entry), 0) << path;
        velk_archive_blocks += velk_Get32(m.entry.hent_blocks);
        m.archived = std::move(archived);
        members_.push_back(m);
        return members_.back();
    }

    // A regular file holding data, added to the layout.
    Member &addFile(const std::string &path, const Bytes &data)
    {
        writeBytes(path, data);
        return add(path, data);
    }

    // Writes the temporary index of the layout and leaves it positioned at
    // its first entry, as the manager expects it.
    void writeIndex(const std::string &path)
    {
        indexFd_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(indexFd_, 0);
        velk_index_entries = static_cast<int64_t>(members_.size());
        velk_annotation_size = 0;
        velk_annotation_offset = 0;
        velk_index_flags = 0;
        memset(&velk_index_hdr, 0, sizeof velk_index_hdr);
        velk_BuildIndexHeader();
        ASSERT_EQ(velk_WriteIndexHeader(indexFd_, VELK_LOCAL_FILE, path.c_str(), &velk_index_hdr), 0);
        for (const Member &m : members_)
            ASSERT_EQ(write(indexFd_, &m.entry, sizeof m.entry), 512);
        ASSERT_EQ(lseek(indexFd_, static_cast<off_t>(HIF_HDR_SIZE), SEEK_SET), static_cast<off_t>(HIF_HDR_SIZE));
        velk_tmpIndexFD = indexFd_;
    }

    uint64_t archiveLength() const { return (velk_archive_blocks + 1) * 512; }

    struct Saved {
        int bufsize, stripes, threads, debug;
        uint32_t flags;
    } saved_{};
    std::vector<Member> members_;
    int indexFd_ = -1;
};

// A transfer context set up as the archive writer sets it up: locks,
// buffers on the empty queue, active, published in xfer_ctl.
struct Transfer {
    std::unique_ptr<transfer_t> ctl{new transfer_t};
    Transfer(uint64_t length)
    {
        memset(static_cast<void *>(ctl.get()), 0, sizeof(transfer_t));
        ctl->listenSockFD = -1;
        ctl->transfer_active = 1;
        ctl->transferLength = length;
        EXPECT_EQ(velk_InitXferLocks(ctl.get()), 0);
        EXPECT_EQ(velk_AllocateIoBuffers(ctl.get()), 0);
        xfer_ctl.store(ctl.get());
    }
    ~Transfer()
    {
        velk_CleanupIoBuffers(ctl.get());
        velk_FreeXferLocks(ctl.get());
        xfer_ctl.store(nullptr);
    }
    void end()
    {
        ctl->controlLock.lock();
        ctl->transfer_active = 0;
        ctl->controlLock.unlock();
        ctl->bufQueueLock.lock();
        ctl->bufQueueCondition.broadcast();
        ctl->bufQueueLock.unlock();
        velk_LfwBroadcastCondition();
    }
    int aborted()
    {
        ctl->controlLock.lock();
        int a = ctl->abortSignalled;
        ctl->controlLock.unlock();
        return a;
    }
};

// What the consumer saw.
struct Drained {
    Bytes stream;
    bool complete = false;
    std::string fault;  // first broken rule, empty when none
};

// Takes ready buffers in archive order as the writer does: only the buffer
// that holds the next offset is taken; its data is appended and the buffer
// goes back to the empty queue with the reader pool signalled.  Ends the
// transfer after the last byte.
void drain(Transfer *t, Drained *out)
{
    transfer_t *ctl = t->ctl.get();
    uint64_t next = 0;
    auto deadline = Clock::now() + kGenerousWait;
    while (next < ctl->transferLength) {
        io_buffer_t *buf = nullptr;
        ctl->bufQueueLock.lock();
        for (;;) {
            io_buffer_t *head = ctl->bufReadyQueue;
            if (head != nullptr && head->fileOffset == next) {
                ctl->bufReadyQueue = head->next;
                head->next = nullptr;
                buf = head;
                break;
            }
            if (head != nullptr && head->fileOffset < next) {
                out->fault = "ready queue holds an offset already delivered";
                break;
            }
            if (Clock::now() > deadline || t->aborted() != 0)
                break;
            struct timespec ts;
            clock_gettime(CLOCK_REALTIME, &ts);
            ts.tv_nsec += 50 * 1000 * 1000;
            if (ts.tv_nsec >= 1000000000L) {
                ts.tv_sec++;
                ts.tv_nsec -= 1000000000L;
            }
            ctl->bufQueueCondition.timedwait(ctl->bufQueueLock, &ts);
        }
        ctl->bufQueueLock.unlock();
        if (buf == nullptr) {
            if (out->fault.empty())
                out->fault = "no buffer for offset " + std::to_string(next);
            return;
        }
        if (buf->state != IOB_STATE_FILLED || buf->dataLength == 0 || buf->dataLength % 512 != 0 ||
            buf->dataLength > static_cast<uint32_t>(buf->bufSize) ||
            (buf->dataLength != static_cast<uint32_t>(buf->bufSize) && next + buf->dataLength != ctl->transferLength))
            out->fault = "bad ready buffer at offset " + std::to_string(next);
        out->stream.insert(out->stream.end(), buf->buffer, buf->buffer + buf->dataLength);
        next += buf->dataLength;
        ctl->bufQueueLock.lock();
        velk_ReturnEmptyBuffer(ctl, buf);
        ctl->bufQueueCondition.broadcast();
        velk_LfwSignalCondition();
        ctl->bufQueueLock.unlock();
    }
    out->complete = true;
    t->end();
}

// Runs the manager on the transfer and returns when it ended; false when it
// did not end within the generous wait (the thread is then left running).
bool managerEnds(std::thread &mgr, std::future<void> &done)
{
    if (done.wait_for(kGenerousWait) != std::future_status::ready)
        return false;
    mgr.join();
    return true;
}

// Starts the pool and the manager, drains the stream and stops everything.
Drained runPipeline(uint64_t length)
{
    Drained d;
    Transfer t(length);
    EXPECT_EQ(velk_InitThreadPool(), 0);
    std::promise<void> ended;
    std::future<void> done = ended.get_future();
    std::thread mgr([&] {
        velk_LocalFileMgrThread(t.ctl.get());
        ended.set_value();
    });
    std::thread consumer(drain, &t, &d);
    consumer.join();
    if (!d.complete)
        t.end();
    EXPECT_TRUE(managerEnds(mgr, done)) << "manager did not end";
    velk_ShutdownThreadPool();
    return d;
}

// ---------------------------------------------------------------------------
// The stream of a whole tree.
// ---------------------------------------------------------------------------

TEST_F(ReaderPoolTest, StreamOfATreeMatchesTheArchiveWithOneTwoAndEightReaders)
{
    velktest::ScratchDir dir;
    std::string d = dir.path();
    addFile(d + "/empty", {});
    addFile(d + "/one", bytesOf("a"));
    addFile(d + "/b511", pattern(511, 1));
    ASSERT_EQ(mkdir((d + "/sub").c_str(), 0750), 0);
    add(d + "/sub");
    addFile(d + "/sub/b512", pattern(512, 2));
    addFile(d + "/sub/b513", pattern(513, 3));
    ASSERT_EQ(symlink("one", (d + "/lnk").c_str()), 0);
    add(d + "/lnk");
    addFile(d + "/digits", bytesOf("123456789"));
    addFile(d + "/k300", pattern(300 * 1024 + 123, 4));
    // Gone between indexing and reading.
    Member &gone = addFile(d + "/gone", pattern(700, 5));
    gone.missing = true;
    gone.archived = Bytes(700, 0);
    ASSERT_EQ(unlink((d + "/gone").c_str()), 0);
    // Spans three buffers of 1024 blocks: first, continued and last piece.
    addFile(d + "/m1300", pattern(1300 * 1000, 6));
    addFile(d + "/last", pattern(1000, 7));
    writeIndex(d + "/tmp.idx");
    Bytes want = expectedStream(members_);
    ASSERT_EQ(want.size(), archiveLength());

    struct Case {
        int threads, stripes;
    };
    for (Case c : {Case{1, 1}, Case{2, 1}, Case{8, 1}, Case{8, 2}}) {
        SCOPED_TRACE("threads " + std::to_string(c.threads) + " stripes " + std::to_string(c.stripes));
        velk_exit_code.store(0);
        velk_max_threads = c.threads;
        velk_archive_stripewidth = c.stripes;
        ASSERT_EQ(lseek(indexFd_, static_cast<off_t>(HIF_HDR_SIZE), SEEK_SET), static_cast<off_t>(HIF_HDR_SIZE));
        ASSERT_EQ(velk_InitMemberFileLists(static_cast<int64_t>(members_.size()), 0), 0);

        velktest::OutputCapture cap;
        Drained got = runPipeline(archiveLength());
        std::string err = cap.err();

        EXPECT_TRUE(got.fault.empty()) << got.fault;
        ASSERT_TRUE(got.complete);
        ASSERT_EQ(got.stream.size(), want.size());
        size_t firstDiff = 0;
        while (firstDiff < want.size() && got.stream[firstDiff] == want[firstDiff])
            firstDiff++;
        EXPECT_EQ(firstDiff, want.size()) << "streams differ at byte " << firstDiff;

        // A few header fields checked by hand.
        const unsigned char *s = got.stream.data();
        size_t b513 = memberStart(members_, 5);
        std::string name = field(s + b513 + 0, 100), prefix = field(s + b513 + 345, 155);
        EXPECT_EQ(prefix.empty() ? name : prefix + "/" + name, d + "/sub/b513");
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(s + b513 + 124), 12), "000000001001");
        EXPECT_EQ(s[b513 + 156], '0');
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(s + b513 + 257), 5), "ustar");
        EXPECT_EQ(memcmp(s + b513 + 512, pattern(513, 3).data(), 513), 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(s + b513 + 512 + 513), 511), std::string(511, '\0'));
        size_t subDir = memberStart(members_, 3);
        EXPECT_EQ(s[subDir + 156], '5');
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(s + subDir + 124), 12), "000000000000");
        size_t lnk = memberStart(members_, 6);
        EXPECT_EQ(s[lnk + 156], '2');
        EXPECT_EQ(field(s + lnk + 157, 100), "one");
        size_t goneAt = memberStart(members_, 9);
        EXPECT_EQ(field(s + goneAt, 100), "/dev/null");
        EXPECT_EQ(s[goneAt + 345], 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(s + goneAt + 124), 12), "000000001274");  // 700
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(s + want.size() - 512), 512), std::string(512, '\0'));

        // Outcomes: every file and the link transferred, the gone file
        // missing and failed.
        for (size_t i = 0; i < members_.size(); i++) {
            if (members_[i].type == VTO_DIRECTORY)
                continue;
            EXPECT_EQ(velk_GetMemberFileXferSuccess(static_cast<int64_t>(i)), members_[i].missing ? 1 : 0)
                << members_[i].path;
        }
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
        EXPECT_NE(err.find("WARNING: Index entry 9, Local file " + d +
                           "/gone was missing or inaccessible and could not be copied to the archive\n"),
                  std::string::npos)
            << err;

        // CRCs typed by hand, and the long files against the reference.
        EXPECT_EQ(velk_GetMemberFileXferCRC(7), 0xCBF43926u);
        EXPECT_EQ(velk_GetMemberFileXferCRC(1), 0xE8B7BE43u);
        EXPECT_EQ(velk_GetMemberFileXferCRC(0), 0u);
        EXPECT_EQ(velk_GetMemberFileXferCRC(9), referenceCrc(Bytes(700, 0)));
        EXPECT_EQ(velk_GetMemberFileXferCRC(8), referenceCrc(pattern(300 * 1024 + 123, 4)));
        EXPECT_EQ(velk_GetMemberFileXferCRC(10), referenceCrc(pattern(1300 * 1000, 6)));

        int high = velk_LfwThreadHighWater();
        EXPECT_GE(high, 0);
        EXPECT_LT(high, c.threads);
        velk_ReleaseMemberFileLists();

        if (c.threads == 2) {
            // GNU tar reads the stream as an archive.
            std::string tarPath = d + "/out.tar";
            writeBytes(tarPath, got.stream);
            velktest::RunOptions opts;
            opts.inheritEnv = true;
            std::string tar = access("/usr/bin/tar", X_OK) == 0 ? "/usr/bin/tar" : "/bin/tar";
            velktest::RunResult r = velktest::run({tar, "-tvf", tarPath}, opts);
            EXPECT_EQ(r.status, 0) << r.err;
            std::vector<std::string> listed = velktest::lines(r.out);
            std::vector<std::string> names;
            for (const std::string &line : listed)
                names.push_back(line.substr(line.rfind(' ') + 1));
            ASSERT_EQ(names.size(), members_.size()) << r.out;
            EXPECT_EQ(names[0], d + "/empty");
            EXPECT_EQ(names[3], d + "/sub");
            EXPECT_EQ(listed[3][0], 'd');
            EXPECT_NE(listed[6].find(d + "/lnk -> one"), std::string::npos) << listed[6];
            EXPECT_EQ(listed[6][0], 'l');
            EXPECT_EQ(names[9], "/dev/null");
            EXPECT_EQ(names[11], d + "/last");
            EXPECT_NE(r.out.find(" 1300000 "), std::string::npos) << r.out;
            EXPECT_NE(r.out.find(d + "/m1300\n"), std::string::npos) << r.out;
        }
    }
}

TEST_F(ReaderPoolTest, VerboseListsMembersInArchiveOrder)
{
    velktest::ScratchDir dir;
    std::string d = dir.path();
    ASSERT_EQ(mkdir((d + "/dir").c_str(), 0755), 0);
    add(d + "/dir");
    addFile(d + "/dir/x", pattern(2000, 8));
    addFile(d + "/y", pattern(10, 9));
    writeIndex(d + "/tmp.idx");
    velk_max_threads = 2;
    velk_option_flags = VELK_OPT_VERBOSE;
    ASSERT_EQ(velk_InitMemberFileLists(static_cast<int64_t>(members_.size()), 0), 0);
    velktest::OutputCapture cap;
    Drained got = runPipeline(archiveLength());
    std::string out = cap.out();
    EXPECT_TRUE(got.complete) << got.fault;
    EXPECT_EQ(out, "VELK: a   " + d + "/dir/\nVELK: a   " + d + "/dir/x\nVELK: a   " + d + "/y\n");
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST_F(ReaderPoolTest, DebugTracesFollowTheManagerAndReaders)
{
    velktest::ScratchDir dir;
    std::string d = dir.path();
    addFile(d + "/x", pattern(600000, 19));  // two buffers: first and last piece
    writeIndex(d + "/tmp.idx");
    velk_max_threads = 1;
    ASSERT_EQ(velk_InitMemberFileLists(1, 0), 0);
    velktest::OutputCapture cap;
    velk_debug_level = 4;
    Drained got = runPipeline(archiveLength());
    std::string err = cap.err();
    velk_debug_level = 0;
    EXPECT_TRUE(got.complete) << got.fault;
    for (const char *line : {"/debug/velk_LocalFileMgrThread - reading next Index Entry\n",
                             "/debug/velk_LocalFileMgrThread - EOF reached on Index File - 1 entries\n",
                             "/debug/LFW thread 0 found new task ->7\n", "/debug/LFW thread 0 found new task ->9\n",
                             "/debug/LFW thread 0 found new task ->5\n",
                             "/debug/ LFW thread 0 Request complete. Req: 7 Resp: 0 Blks Req/Rply=1024 1024\n",
                             "/debug/EOF on index file and all LFW threads complete.\n",
                             "/debug/velk_LocalFileMgrThread: setting <QUIT> request for LFW thread 0\n",
                             "/debug/velk_LocalFileMgrThread exiting\n", "/debug/ LFW thread 0 exiting\n"})
        EXPECT_NE(err.find(line), std::string::npos) << line << err;
}

// ---------------------------------------------------------------------------
// Files that changed.
// ---------------------------------------------------------------------------

TEST_F(ReaderPoolTest, FilesThatGrowOrShrinkAreCutOrZeroFilledAndFailed)
{
    velktest::ScratchDir dir;
    std::string d = dir.path();
    Bytes big = pattern(1300 * 1000, 10);
    Bytes grown = pattern(1500, 11);
    Bytes small = pattern(1000, 12);
    addFile(d + "/grows", Bytes(grown.begin(), grown.begin() + 1000));
    addFile(d + "/shrinks", small);
    addFile(d + "/bigshrinks", big);
    addFile(d + "/steady", pattern(4000, 13));
    writeIndex(d + "/tmp.idx");

    // After indexing: one file grows, two shrink (one of them spans buffers).
    writeBytes(d + "/grows", grown);
    ASSERT_EQ(truncate((d + "/shrinks").c_str(), 300), 0);
    ASSERT_EQ(truncate((d + "/bigshrinks").c_str(), 600000), 0);
    // What the archive must hold: the indexed size, cut or zero-filled.
    members_[0].archived = Bytes(grown.begin(), grown.begin() + 1000);
    members_[1].archived = Bytes(small.begin(), small.begin() + 300);
    members_[1].archived.resize(1000, 0);
    members_[2].archived = Bytes(big.begin(), big.begin() + 600000);
    members_[2].archived.resize(big.size(), 0);

    for (int threads : {1, 8}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        velk_exit_code.store(0);
        velk_max_threads = threads;
        ASSERT_EQ(lseek(indexFd_, static_cast<off_t>(HIF_HDR_SIZE), SEEK_SET), static_cast<off_t>(HIF_HDR_SIZE));
        ASSERT_EQ(velk_InitMemberFileLists(static_cast<int64_t>(members_.size()), 0), 0);
        velktest::OutputCapture cap;
        Drained got = runPipeline(archiveLength());
        std::string err = cap.err();
        ASSERT_TRUE(got.complete) << got.fault;
        EXPECT_TRUE(got.stream == expectedStream(members_));
        EXPECT_EQ(velk_GetMemberFileXferSuccess(0), 1);
        EXPECT_EQ(velk_GetMemberFileXferSuccess(1), 1);
        EXPECT_EQ(velk_GetMemberFileXferSuccess(2), 1);
        EXPECT_EQ(velk_GetMemberFileXferSuccess(3), 0);
        // The CRC covers what the archive holds for the member.
        EXPECT_EQ(velk_GetMemberFileXferCRC(1), referenceCrc(members_[1].archived));
        EXPECT_EQ(velk_GetMemberFileXferCRC(2), referenceCrc(members_[2].archived));
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
        EXPECT_NE(err.find(d + "/grows:size changed from 1000 to 1500\n"), std::string::npos) << err;
        EXPECT_NE(err.find(d + "/shrinks:size changed from 1000 to 300\n"), std::string::npos) << err;
        EXPECT_NE(err.find("file size changed for " + d + "/bigshrinks\n"), std::string::npos) << err;
        EXPECT_NE(err.find("Index size:        1300000\n"), std::string::npos) << err;
        EXPECT_NE(err.find("Current file size: 600000\n"), std::string::npos) << err;
        velk_ReleaseMemberFileLists();
    }
}

// ---------------------------------------------------------------------------
// Index entries that do not fit the stream.
// ---------------------------------------------------------------------------

TEST_F(ReaderPoolTest, EntryOutOfPlaceOrShortIndexAbortsTheTransfer)
{
    velktest::ScratchDir dir;
    std::string d = dir.path();
    addFile(d + "/a", pattern(100, 14));
    addFile(d + "/b", pattern(100, 15));
    // b claims to start one block later than a ends.
    velk_Put64(members_[1].entry.hent_offset, velk_Get64(members_[1].entry.hent_offset) + 1);
    writeIndex(d + "/tmp.idx");
    velk_max_threads = 2;
    ASSERT_EQ(velk_InitMemberFileLists(2, 0), 0);
    {
        velktest::OutputCapture cap;
        Drained got = runPipeline(archiveLength());
        std::string err = cap.err();
        EXPECT_FALSE(got.complete);
        EXPECT_NE(err.find("ERROR: Index entry 1 does not fit the archive stream"), std::string::npos) << err;
        EXPECT_NE(err.find("velk_SetXferAborted called"), std::string::npos) << err;
    }
    velk_ReleaseMemberFileLists();

    // An archive length beyond the index's end: the end block would not end
    // the archive.
    velk_Put64(members_[1].entry.hent_offset, velk_Get64(members_[1].entry.hent_offset) - 1);
    close(indexFd_);
    indexFd_ = -1;
    writeIndex(d + "/tmp2.idx");
    ASSERT_EQ(velk_InitMemberFileLists(2, 0), 0);
    velktest::OutputCapture cap;
    Drained got = runPipeline(archiveLength() + 512);
    std::string err = cap.err();
    EXPECT_FALSE(got.complete);
    EXPECT_NE(err.find("ERROR: Index file ends at archive offset " + std::to_string(archiveLength()) +
                       " but the archive holds " + std::to_string(archiveLength() + 512) + " bytes - aborting\n"),
              std::string::npos)
        << err;
}

// ---------------------------------------------------------------------------
// Stopping.
// ---------------------------------------------------------------------------

// Opens the FIFO for writing once a reader holds it open (ENXIO until then).
int openFifoWriterWhenRead(const std::string &path)
{
    auto deadline = Clock::now() + kGenerousWait;
    while (Clock::now() < deadline) {
        int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            return fd;
        if (errno != ENXIO)
            return -1;
        sched_yield();
    }
    return -1;
}

enum class StopBy { Abort, Shutdown, End };

TEST_F(ReaderPoolTest, AbortShutdownOrEndStopsManagerAndReaders)
{
    velktest::ScratchDir dir;
    std::string d = dir.path();
    // A member whose file became a FIFO with a silent writer: its reader
    // waits for data that never comes.
    addFile(d + "/fifo", pattern(1000, 16));
    addFile(d + "/after", pattern(3000, 17));
    ASSERT_EQ(unlink((d + "/fifo").c_str()), 0);
    ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0600), 0);
    writeIndex(d + "/tmp.idx");

    for (StopBy how : {StopBy::Abort, StopBy::Shutdown, StopBy::End}) {
        SCOPED_TRACE(static_cast<int>(how));
        velk_max_threads = 4;
        ASSERT_EQ(lseek(indexFd_, static_cast<off_t>(HIF_HDR_SIZE), SEEK_SET), static_cast<off_t>(HIF_HDR_SIZE));
        ASSERT_EQ(velk_InitMemberFileLists(2, 0), 0);
        velktest::OutputCapture cap;
        {
            Transfer t(archiveLength());
            ASSERT_EQ(velk_InitThreadPool(), 0);
            std::promise<void> ended;
            std::future<void> done = ended.get_future();
            std::thread mgr([&] {
                velk_LocalFileMgrThread(t.ctl.get());
                ended.set_value();
            });
            int writer = openFifoWriterWhenRead(d + "/fifo");
            EXPECT_GE(writer, 0);
            switch (how) {
            case StopBy::Abort:
                velk_SetXferAborted("test", "velk_ReaderPool_test", __LINE__);
                break;
            case StopBy::Shutdown:
                velk_shutdown_signalled.store(1);
                break;
            case StopBy::End:
                t.end();
                break;
            }
            bool stopped = managerEnds(mgr, done);
            ASSERT_TRUE(stopped) << "manager did not stop";
            velk_ShutdownThreadPool();  // joins every reader
            if (writer >= 0)
                close(writer);
            if (how != StopBy::End) {
                EXPECT_NE(t.aborted(), 0);
            }
            // Every buffer is back on the empty queue.
            int buffers = 0;
            {
                kyl_lock_guard q(t.ctl->bufQueueLock);
                for (io_buffer_t *b = t.ctl->bufEmptyQueue; b != nullptr; b = b->next)
                    buffers++;
            }
            EXPECT_EQ(buffers, t.ctl->bufCount);
            EXPECT_EQ(t.ctl->bufFillQueue, nullptr);
        }
        // The FIFO member never completed: it is not a good member.
        EXPECT_EQ(velk_GetMemberFileXferSuccess(0), 1);
        std::string err = cap.err();
        EXPECT_NE(err.find("size changed from 1000 to 0"), std::string::npos) << err;
        velk_ReleaseMemberFileLists();
        velk_shutdown_signalled.store(0);
        velk_exit_code.store(0);
    }
}

TEST_F(ReaderPoolTest, ManagerWaitingForBuffersStopsOnAbort)
{
    // Nobody drains the ready queue: with two buffers the manager runs out
    // of empty buffers and waits for one until the abort.
    velktest::ScratchDir dir;
    std::string d = dir.path();
    addFile(d + "/big", pattern(3 * 524288, 18));
    writeIndex(d + "/tmp.idx");
    velk_max_threads = 2;
    ASSERT_EQ(velk_InitMemberFileLists(1, 0), 0);
    velktest::OutputCapture cap;
    Transfer t(archiveLength());
    ASSERT_EQ(velk_InitThreadPool(), 0);
    std::promise<void> ended;
    std::future<void> done = ended.get_future();
    std::thread mgr([&] {
        velk_LocalFileMgrThread(t.ctl.get());
        ended.set_value();
    });
    // Wait until both buffers are ready: the manager then has none left.
    auto deadline = Clock::now() + kGenerousWait;
    int ready = 0;
    while (ready < 2 && Clock::now() < deadline) {
        t.ctl->bufQueueLock.lock();
        ready = 0;
        for (io_buffer_t *b = t.ctl->bufReadyQueue; b != nullptr; b = b->next)
            ready++;
        if (ready < 2) {
            struct timespec ts;
            clock_gettime(CLOCK_REALTIME, &ts);
            ts.tv_sec += 1;
            t.ctl->bufQueueCondition.timedwait(t.ctl->bufQueueLock, &ts);
        }
        t.ctl->bufQueueLock.unlock();
    }
    EXPECT_EQ(ready, 2);
    velk_SetXferAborted("test", "velk_ReaderPool_test", __LINE__);
    ASSERT_TRUE(managerEnds(mgr, done)) << "manager did not stop";
    velk_ShutdownThreadPool();
    // The member was never finished: no outcome is recorded for it.
    EXPECT_EQ(velk_GetMemberFileXferSuccess(0), 1);
    cap.stop();
}

TEST_F(ReaderPoolTest, PoolStartsAndStopsWithoutAManager)
{
    for (int threads : {1, 8}) {
        velk_max_threads = threads;
        ASSERT_EQ(velk_InitThreadPool(), 0);
        EXPECT_EQ(velk_LfwThreadHighWater(), 0);
        {
            kyl_lock_guard g(lfwLock);
            EXPECT_EQ(lfwTableSize, threads);
            EXPECT_EQ(lfwActiveThreads, 0);
        }
        velk_ShutdownThreadPool();
        kyl_lock_guard g(lfwLock);
        EXPECT_EQ(lfwThreadTable, nullptr);
    }
    // A second shutdown without a pool does nothing.
    velk_ShutdownThreadPool();
}

} // namespace
