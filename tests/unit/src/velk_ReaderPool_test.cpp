// The local file reader pool: the manager and 1, 2 or 8 readers turn a
// temporary index into the archive stream, drained in archive order as the
// storage-system writer will, byte for byte the archive; outcomes and CRCs,
// files that change size or vanish, and stops of every kind.

#include <fcntl.h>
#include <future>
#include <memory>
#include <sched.h>
#include <thread>

#include "velk_LocalFileMgr.h"
#include "velk_ParseCmdLine.h"
#include "velk_ReaderPool.h"
#include "velk_Xfer.h"
#include "velk_unit_fixture.h"

namespace {

using velkunit::contains;
using velkunit::crcOf;
using velkunit::pattern;
using velktest::Clock;
using velktest::kGenerousWait;

// A member as laid out: its entry and the data the archive must hold for it.
struct Member {
    std::string path;
    hif_entry_t entry;
    std::string archived;
    bool missing = false;  // gone: "/dev/null" header and zeros
    bool failed = false;
};

// The archive of the members: header, data and padding each, one zero block.
std::string expectedStream(const std::vector<Member> &members)
{
    std::string out;
    for (const Member &m : members) {
        hif_entry_t e = m.entry;
        if (m.missing) {
            memset(e.hent_prefix, 0, sizeof e.hent_prefix);
            memset(e.hent_name, 0, sizeof e.hent_name);
            memcpy(e.hent_name, "/dev/null", 9);
        }
        unsigned char block[512];
        velk_BuildPosixHeader(&e, block);
        out.append(reinterpret_cast<char *>(block), 512);
        out += m.archived + std::string((512 - m.archived.size() % 512) % 512, '\0');
    }
    return out + std::string(512, '\0');
}

// A transfer context as the writer sets it up (locks, buffers on the empty
// queue, active), with the pool and the manager
// started.  Every use of the context's locks is here.
struct Transfer {
    std::unique_ptr<velk_xfer_ctl_t> ctl{new velk_xfer_ctl_t};
    velk_reader_pool_t *pool;
    std::promise<void> ended;
    std::thread manager;
    Transfer(velk_index_t *index, uint64_t length, velk_reader_pool_t *readers, int threads) : pool(readers)
    {
        memset(static_cast<void *>(ctl.get()), 0, sizeof(velk_xfer_ctl_t));
        ctl->index = index;
        ctl->settings.maxThreads = threads;
        ctl->movers.listenSockFD = -1;
        ctl->transfer_active = 1;
        ctl->transferLength = length;
        EXPECT_EQ(velk_InitXferLocks(ctl.get()), 0);
        ctl->settings.iobufsize = VELK_MIN_IOBUFSIZE;
        EXPECT_EQ(velk_AllocateIoBuffers(&ctl->ring, &ctl->settings), 0);
        EXPECT_EQ(velk_InitThreadPool(pool, ctl.get()), 0);
        manager = std::thread([this] {
            velk_LocalFileMgrThread(ctl.get());
            ended.set_value();
        });
    }
    // Whether the manager ended in time; the readers are then joined too.
    bool stopped()
    {
        if (ended.get_future().wait_for(kGenerousWait) != std::future_status::ready)
            return false;
        manager.join();
        velk_ShutdownThreadPool(pool);
        return true;
    }
    ~Transfer()
    {
        if (manager.joinable())
            manager.detach();
        velk_CleanupIoBuffers(&ctl->ring);
        velk_FreeXferLocks(ctl.get());
    }
    // The ready buffer holding offset at, if first; *behind if one lies before.
    io_buffer_t *takeReady(uint64_t at, bool *behind) KYL_NO_THREAD_SAFETY_ANALYSIS
    {
        ctl->ring.bufQueueLock.lock();
        io_buffer_t *head = ctl->ring.bufReadyQueue;
        *behind = head != nullptr && head->fileOffset < at;
        if (head != nullptr && head->fileOffset == at)
            ctl->ring.bufReadyQueue = head->next;
        else
            head = nullptr;
        ctl->ring.bufQueueLock.unlock();
        return head;
    }
    void giveBack(io_buffer_t *buf) KYL_NO_THREAD_SAFETY_ANALYSIS
    {
        ctl->ring.bufQueueLock.lock();
        velk_ReturnEmptyBuffer(&ctl->ring, buf);
        ctl->ring.bufQueueCondition.broadcast();
        ctl->ring.bufQueueLock.unlock();
        velk_LfwSignalCondition(pool);
    }
    void end() KYL_NO_THREAD_SAFETY_ANALYSIS
    {
        ctl->controlLock.lock();
        ctl->transfer_active = 0;
        ctl->controlLock.unlock();
        ctl->ring.bufQueueLock.lock();
        ctl->ring.bufQueueCondition.broadcast();
        ctl->ring.bufQueueLock.unlock();
        velk_LfwBroadcastCondition(pool);
    }
};

// Takes ready buffers in archive order as the writer does: only the one at
// the next offset, filled, whole blocks, and full unless last.  Returns the
// stream, or "" after a broken rule or an abort (the reason in *fault).
std::string drain(velk_index_t *index, uint64_t length, velk_reader_pool_t *pool, int threads, std::string *fault)
{
    Transfer t(index, length, pool, threads);
    std::string stream;
    auto deadline = Clock::now() + kGenerousWait;
    for (uint64_t next = 0; next < length && fault->empty();) {
        bool behind = false;
        io_buffer_t *buf = t.takeReady(next, &behind);
        if (buf == nullptr) {
            if (behind || Clock::now() > deadline || velk_GetXferAborted(t.ctl.get()) != 0)
                *fault = "no buffer for offset " + std::to_string(next);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        uint32_t len = buf->dataLength, size = static_cast<uint32_t>(buf->bufSize);
        if (buf->state != IOB_STATE_FILLED || len == 0 || len % 512 != 0 || len > size ||
            (len != size && next + len != length))
            *fault = "bad ready buffer at offset " + std::to_string(next);
        stream.append(reinterpret_cast<char *>(buf->buffer), len);
        next += len;
        t.giveBack(buf);
    }
    t.end();
    EXPECT_TRUE(t.stopped()) << "manager did not end";
    return fault->empty() ? stream : "";
}

class ReaderPoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        velk_archive_stripewidth = 1;
        velk_option_flags = VELK_OPT_CRC;
    }
    void TearDown() override
    {
        velk_ShutdownThreadPool(&pool_);
    }

    // Adds the member at path (as it now is on disk) to the layout.
    Member &add(const std::string &path, const std::string &archived = "")
    {
        velk_FileSpec_t record = velkunit::memberFromLstat(path);
        members_.push_back({path, {}, archived});
        EXPECT_EQ(velk_IndexFromFileSpec(static_cast<int64_t>(members_.size() - 1), &record, &members_.back().entry), 0);
        velk_archive_blocks += velk_Get32(members_.back().entry.hent_blocks);
        return members_.back();
    }
    Member &addFile(const std::string &path, const std::string &data)
    {
        velktest::writeFile(path, data);
        return add(path, data);
    }
    // The temporary index of the layout, positioned at entry 0 for the manager.
    void writeIndex()
    {
        globals_.run.index.tmpFd = open((dir_ / "tmp.idx").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(globals_.run.index.tmpFd, 0);
        velk_index_entries = static_cast<int64_t>(members_.size());
        velk_BuildIndexHeader(&globals_.run.index);
        ASSERT_EQ(velk_WriteIndexHeader(globals_.run.index.tmpFd, VELK_LOCAL_FILE, "tmp.idx", &velk_index_hdr), 0);
        for (const Member &m : members_)
            ASSERT_EQ(write(globals_.run.index.tmpFd, &m.entry, sizeof m.entry), 512);
    }
    // Runs the pipeline again from the first entry with threads readers.
    std::string run(int threads, std::string *fault, uint64_t extra = 0)
    {
        velk_exit_code.store(0);
        EXPECT_EQ(lseek(globals_.run.index.tmpFd, HIF_HDR_SIZE, SEEK_SET), static_cast<off_t>(HIF_HDR_SIZE));
        EXPECT_EQ(velk_InitMemberFileLists(static_cast<int64_t>(members_.size()), 0), 0);
        return drain(&globals_.run.index, (velk_archive_blocks + 1) * 512 + extra, &pool_, threads, fault);
    }

    velk_reader_pool_t pool_;
    velkunit::RunGlobals globals_;
    velktest::ScratchDir dir_;
    std::vector<Member> members_;
};

TEST_F(ReaderPoolTest, StreamOfATreeIsTheArchiveWithOneTwoAndEightReaders)
{
    std::string d = dir_.path();
    addFile(d + "/empty", "");
    addFile(d + "/one", "a");
    addFile(d + "/b511", pattern(511, 1));
    ASSERT_EQ(mkdir((d + "/sub").c_str(), 0750), 0);
    add(d + "/sub");
    addFile(d + "/sub/b512", pattern(512, 2));
    addFile(d + "/sub/b513", pattern(513, 3));
    ASSERT_EQ(symlink("one", (d + "/lnk").c_str()), 0);
    add(d + "/lnk");
    addFile(d + "/digits", "123456789");
    addFile(d + "/k300", pattern(300 * 1024 + 123, 4));
    addFile(d + "/gone", pattern(700, 5));
    addFile(d + "/m1300", pattern(1300 * 1000, 6));  // first, continued and last piece
    addFile(d + "/last", pattern(1000, 7));
    std::string big = pattern(1300 * 1000, 10), grown = pattern(1500, 11), small = pattern(1000, 12);
    addFile(d + "/grows", grown.substr(0, 1000));
    addFile(d + "/shrinks", small);
    addFile(d + "/bigshrinks", big);
    writeIndex();
    // After indexing: one file goes, one grows, two shrink.  The archive
    // holds the indexed size, cut or zero-filled, and the member fails.
    ASSERT_EQ(unlink((d + "/gone").c_str()), 0);
    members_[9] = {members_[9].path, members_[9].entry, std::string(700, '\0'), true, true};
    velktest::writeFile(d + "/grows", grown);
    ASSERT_EQ(truncate((d + "/shrinks").c_str(), 300), 0);
    ASSERT_EQ(truncate((d + "/bigshrinks").c_str(), 600000), 0);
    members_[13].archived = small.substr(0, 300) + std::string(700, '\0');
    members_[14].archived = big.substr(0, 600000) + std::string(big.size() - 600000, '\0');
    for (size_t i : {12, 13, 14})
        members_[i].failed = true;
    std::string want = expectedStream(members_);

    for (auto [threads, stripes] : {std::pair{1, 1}, std::pair{2, 1}, std::pair{8, 1}, std::pair{8, 2}}) {
        SCOPED_TRACE("threads " + std::to_string(threads) + " stripes " + std::to_string(stripes));
        velk_archive_stripewidth = stripes;
        velktest::OutputCapture cap;
        std::string fault, got = run(threads, &fault);
        std::string err = cap.err();
        ASSERT_EQ(fault, "");
        ASSERT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want) << "streams differ at byte "
                                 << std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
        for (size_t i = 0; i < members_.size(); i++) {
            if (i != 3) {  // the directory has no outcome
                EXPECT_EQ(velk_GetMemberFileXferSuccess(static_cast<int64_t>(i)), members_[i].failed ? 1 : 0) << i;
            }
        }
        // The CRC covers what the archive holds for the member.
        EXPECT_EQ(velk_GetMemberFileXferCRC(7), 0xCBF43926u);
        EXPECT_EQ(velk_GetMemberFileXferCRC(0), 0u);
        for (size_t i : {1, 8, 9, 10, 13, 14})
            EXPECT_EQ(velk_GetMemberFileXferCRC(static_cast<int64_t>(i)), crcOf(members_[i].archived)) << i;
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
        for (const std::string &line : {"WARNING: Index entry 9, Local file " + d + "/gone was missing or "
                                        "inaccessible and could not be copied to the archive\n",
                                        d + "/grows:size changed from 1000 to 1500\n",
                                        d + "/shrinks:size changed from 1000 to 300\n",
                                        "file size changed for " + d + "/bigshrinks\n"})
            EXPECT_TRUE(contains(err, line)) << line << err;
        EXPECT_LT(velk_LfwThreadHighWater(&pool_), threads);
        velk_ReleaseMemberFileLists();
    }
}

TEST_F(ReaderPoolTest, FileThatIsNotTheListedOneIsArchivedAsMissing)
{
    std::string d = dir_.path();
    ASSERT_EQ(mkdir((d + "/sub").c_str(), 0755), 0);
    addFile(d + "/replaced", pattern(2000, 1));
    addFile(d + "/sub/f", pattern(700, 2));
    addFile(d + "/kept", pattern(900, 3));
    writeIndex();
    std::vector<velk_FileSpec_t> records;
    for (Member &m : members_) {
        records.push_back(velkunit::memberFromLstat(m.path));
        records.back().operandDirLen = static_cast<uint32_t>(d.size());  // the operand is d
    }
    velk_SetMemberRecords(records.data(), static_cast<int64_t>(records.size()));
    // Between listing and copy: a new file of the same size under the name,
    // and the member's directory swapped for a link to an identical copy.
    velktest::writeFile(d + "/new", pattern(2000, 4));
    ASSERT_EQ(rename((d + "/new").c_str(), (d + "/replaced").c_str()), 0);
    ASSERT_EQ(rename((d + "/sub").c_str(), (d + "/sub.moved").c_str()), 0);
    ASSERT_EQ(mkdir((d + "/copy").c_str(), 0755), 0);
    velktest::writeFile(d + "/copy/f", pattern(700, 2));
    ASSERT_EQ(symlink("copy", (d + "/sub").c_str()), 0);
    for (size_t i : {0, 1}) {
        members_[i].archived = std::string(i == 0 ? 2000 : 700, '\0');
        members_[i].missing = members_[i].failed = true;
    }

    velktest::OutputCapture cap;
    std::string fault, got = run(2, &fault);
    std::string err = cap.err();
    EXPECT_EQ(fault, "");
    EXPECT_TRUE(got == expectedStream(members_)) << "stream differs";
    for (size_t i = 0; i < members_.size(); i++)
        EXPECT_EQ(velk_GetMemberFileXferSuccess(static_cast<int64_t>(i)), members_[i].failed ? 1 : 0) << i;
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
    for (const char *name : {"/replaced", "/sub/f"})
        EXPECT_TRUE(contains(err, "WARNING: " + d + name + ": changed during archiving\n")) << err;
    EXPECT_FALSE(contains(err, "missing or inaccessible")) << err;
}

TEST_F(ReaderPoolTest, AbortShutdownOrEndStopsManagerAndReaders)
{
    // A member whose file became a FIFO with a silent writer: its reader
    // waits for data that never comes.
    std::string fifo = dir_ / "fifo";
    addFile(fifo, pattern(1000, 16));
    addFile(dir_ / "after", pattern(3000, 17));
    ASSERT_EQ(unlink(fifo.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    writeIndex();
    for (int how = 0; how < 3; how++) {
        SCOPED_TRACE(how);
        ASSERT_EQ(lseek(globals_.run.index.tmpFd, HIF_HDR_SIZE, SEEK_SET), static_cast<off_t>(HIF_HDR_SIZE));
        ASSERT_EQ(velk_InitMemberFileLists(2, 0), 0);
        velktest::OutputCapture cap;
        Transfer t(&globals_.run.index, (velk_archive_blocks + 1) * 512, &pool_, 4);
        int writer = -1;  // opens once the member's reader holds the FIFO open
        for (auto deadline = Clock::now() + kGenerousWait; writer < 0 && Clock::now() < deadline; sched_yield())
            writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(writer, 0);
        if (how == 0)
            velk_SetXferAborted(t.ctl.get(), "test", "velk_ReaderPool_test", __LINE__);
        else if (how == 1)
            velk_shutdown_signalled.store(1);
        else
            t.end();
        ASSERT_TRUE(t.stopped()) << "manager did not stop";
        close(writer);
        EXPECT_EQ(velk_GetXferAborted(t.ctl.get()) != 0, how != 2);
        int empty = 0;  // every buffer is back; no thread runs any more
        t.ctl->ring.bufQueueLock.lock();
        for (io_buffer_t *b = t.ctl->ring.bufEmptyQueue; b != nullptr; b = b->next)
            empty++;
        io_buffer_t *filling = t.ctl->ring.bufFillQueue;
        t.ctl->ring.bufQueueLock.unlock();
        EXPECT_EQ(empty, t.ctl->ring.bufCount);
        EXPECT_EQ(filling, nullptr);
        EXPECT_EQ(velk_GetMemberFileXferSuccess(0), 1);  // the FIFO member never completed
        velk_ReleaseMemberFileLists();
        velk_shutdown_signalled.store(0);
    }
}

} // namespace
