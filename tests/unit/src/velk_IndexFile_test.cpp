// The index file: entries from member-table records, opening with every size check, buffered, positioned and random reads, the
// adjustment of entries after a transfer, and entry selection.

#include <cerrno>
#include <fcntl.h>

#include "velk_unit_fixture.h"

namespace {

using velkunit::entryOf;
using velkunit::field;
using Bytes = std::vector<unsigned char>;

std::string nameOf(const hif_entry_t &e) { return field(e.hent_name, sizeof e.hent_name); }
std::string prefixOf(const hif_entry_t &e) { return field(e.hent_prefix, sizeof e.hent_prefix); }

class IndexFileTest : public ::testing::Test {
protected:
    velkunit::RunGlobals globals_;
    velktest::ScratchDir dir_;
};

TEST_F(IndexFileTest, PathSplittingAndLimits)
{
    std::string a50 = std::string(50, 'a'), d99 = std::string(40, 'a') + "/" + std::string(58, 'b');
    struct Case {
        uint32_t type;
        std::string path;
        uint64_t size;
        std::string prefix, name;  // name "-": omitted
        uint32_t blocks;
    } cases[] = {
        {VTO_FILE, std::string(99, 'a'), 0, "", std::string(99, 'a'), 1},
        {VTO_FILE, a50 + "/" + std::string(49, 'b'), 0, a50, std::string(49, 'b'), 1},  // 100: split
        {VTO_FILE, std::string(154, 'a') + "/b", 0, std::string(154, 'a'), "b", 1},
        {VTO_FILE, std::string(155, 'a') + "/b", 0, "", "-", 0},
        {VTO_FILE, std::string(100, 'c'), 0, "", "-", 0},
        {VTO_FILE, "x/y/" + std::string(100, 'z'), 0, "", "-", 0},
        {VTO_FILE, "/" + std::string(99, 'd'), 0, "", "-", 0},
        // Trailing slashes go before splitting; directories carry no size.
        {VTO_DIRECTORY, "some/dir//", 4096, "", "some/dir", 1},
        {VTO_DIRECTORY, d99 + "/", 0, "", d99, 1},
        {VTO_DIRECTORY, std::string(80, 'a') + "/" + std::string(30, 'b') + "/", 0, std::string(80, 'a'),
         std::string(30, 'b'), 1},
        {VTO_FILE, "big", (uint64_t{1} << 36) - 1, "", "big", 134217729u},
        {VTO_HARDLINK, "huge", uint64_t{1} << 36, "", "-", 0},
    };
    for (const Case &c : cases) {
        velk_exit_code.store(0);
        std::string path = c.path;
        velk_FileSpec_t m{};
        m.haveStatInfo = 1;
        m.filename = path.data();
        m.objectType = c.type;
        m.size = c.size;
        m.mode = 0644;
        hif_entry_t e;
        velktest::OutputCapture cap;
        bool omitted = c.name == "-";
        EXPECT_EQ(velk_IndexFromFileSpec(0, &m, &e), omitted ? -1 : 0) << c.path;
        // A name beyond ustar is an unusable path; a size beyond it is not.
        const int status = c.size >= (uint64_t{1} << 36) ? VELK_EXIT_SOFTWARE : VELK_EXIT_USAGE;
        EXPECT_EQ(velk_exit_code.load(), omitted ? status : 0) << c.path;
        if (omitted)
            continue;
        EXPECT_EQ(prefixOf(e), c.prefix) << c.path;
        EXPECT_EQ(nameOf(e), c.name) << c.path;
        EXPECT_EQ(velk_Get32(e.hent_blocks), c.blocks) << c.path;
        EXPECT_EQ(velk_Get64(e.hent_fsize), c.type == VTO_DIRECTORY ? uint64_t{0} : c.size) << c.path;
    }
}

// Index file bytes: a header claiming `claimed` entries with an annotation
// area of annot bytes, `present` entries whose CRC field carries their
// ordinal, then tail stray bytes.
std::string indexBytes(uint32_t claimed, uint32_t present, size_t tail = 0, uint32_t annot = 0,
                       const char *mark = "VelkIndex", size_t cut = std::string::npos)
{
    hif_hdr_t h;
    memset(&h, 0, sizeof h);
    memcpy(h.hif_hdr.hif_sanity, mark, strnlen(mark, sizeof h.hif_hdr.hif_sanity));
    velk_Put32(h.hif_hdr.hif_version, 2001);
    velk_Put32(h.hif_hdr.obj_count, claimed);
    velk_Put32(h.hif_hdr.annotation_size, annot);
    Bytes b(512);
    velk_EncodeIndexHeader(&h, b.data());
    std::string s(b.begin(), b.begin() + HIF_HDR_SIZE);
    s.append(annot, 'A');
    for (uint32_t i = 0; i < present; i++) {
        hif_entry_t e = entryOf(VTO_FILE, "member" + std::to_string(i), i);
        velk_Put32(e.hent_crc32, i);
        velk_EncodeIndexEntry(&e, b.data());
        s.append(b.begin(), b.begin() + 512);
    }
    s.append(tail, 'T');
    return s.substr(0, cut);
}

TEST_F(IndexFileTest, OpeningChecksEverySize)
{
    struct Case {
        const char *name;
        std::string bytes;
        int64_t entries;  // -1: refused
    } cases[] = {
        {"plain", indexBytes(3, 3, 100), 3},  // the partial entry is ignored
        {"annotated", indexBytes(2, 2, 0, 64), 2},
        {"short", std::string(287, 'x'), -1},
        {"marklong", indexBytes(1, 1, 0, 0, "VelkIndexes"), -1},
        {"annotation cut", indexBytes(0, 0, 0, 11, "VelkIndex", HIF_HDR_SIZE + 10), -1},
        {"count", indexBytes(4, 3, 511), -1},  // claims more than present
    };
    for (const Case &c : cases) {
        std::string p = dir_ / c.name;
        velktest::writeFile(p, c.bytes);
        velk_exit_code.store(0);
        velktest::OutputCapture cap;
        int fd = velk_OpenIndexFile(&globals_.run.xfer, &globals_.run.index, p.c_str(), O_RDONLY, VELK_LOCAL_FILE);
        if (c.entries < 0) {
            EXPECT_EQ(fd, -1) << c.name;
            EXPECT_EQ(cap.err(), "ERROR: Oops - " + p + " doesn't look like an VELK index file\n");
            EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR) << c.name;
            continue;
        }
        ASSERT_GE(fd, 0) << c.name;
        EXPECT_EQ(velk_index_entries, c.entries);
        EXPECT_EQ(globals_.run.index.fileSize, c.bytes.size());
        hif_entry_t e;
        ASSERT_EQ(velk_IndexReadRandomEntry(&globals_.run.index, fd, VELK_LOCAL_FILE, 1, &e), 0);
        EXPECT_EQ(velk_Get32(e.hent_crc32), 1u) << c.name;
        close(fd);
    }
}

TEST_F(IndexFileTest, BufferedPositionedAndRandomReads)
{
    const uint32_t n = VELK_INDEX_BUFENTRIES + 3;  // one full buffer and a little more
    velktest::writeFile(dir_ / "big.idx", indexBytes(n, n));
    int fd = velk_OpenIndexFile(&globals_.run.xfer, &globals_.run.index, (dir_ / "big.idx").c_str(), O_RDWR,
                                VELK_LOCAL_FILE);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(velk_IndexReadInit(&globals_.run.index), 0);
    auto readAll = [&](int maxEntries) {
        std::vector<uint32_t> got;
        for (uint32_t guard = 0; guard <= n + 1; guard++) {
            hif_entry_t *e = nullptr;
            int eof = 0;
            EXPECT_EQ(velk_IndexFileRead(&globals_.run.index, fd, VELK_LOCAL_FILE, maxEntries, &e, &eof), 0);
            if (eof)
                break;
            got.push_back(velk_Get32(e->hent_crc32));
        }
        return got;
    };
    std::vector<uint32_t> all = readAll(0);
    ASSERT_EQ(all.size(), n);
    for (uint32_t i = 0; i < n; i++)
        ASSERT_EQ(all[i], i) << "entry out of order";
    EXPECT_TRUE(readAll(0).empty());  // further reads stay at end of file
    // Positioning restarts at an ordinal; maxEntries limits a fill only.
    ASSERT_EQ(velk_IndexFilePosition(&globals_.run.index, fd, VELK_LOCAL_FILE, n - 5), 0);
    EXPECT_EQ(readAll(2), (std::vector<uint32_t>{n - 5, n - 4, n - 3, n - 2, n - 1}));
    ASSERT_EQ(velk_IndexFileRewind(&globals_.run.index, fd, VELK_LOCAL_FILE), 0);
    EXPECT_EQ(readAll(0).front(), 0u);

    // Random reads check the range, the file and the entry's mark.
    hif_entry_t e;
    ASSERT_EQ(velk_IndexReadRandomEntry(&globals_.run.index, fd, VELK_LOCAL_FILE, n - 1, &e), 0);
    EXPECT_EQ(velk_Get32(e.hent_crc32), n - 1);
    velktest::OutputCapture cap;
    for (int64_t ord : {int64_t{n}, int64_t{-1}})
        EXPECT_EQ(velk_IndexReadRandomEntry(&globals_.run.index, fd, VELK_LOCAL_FILE, ord, &e), -1) << ord;
    // The file shrinks after opening: the buffered reader ends at the cut
    // without stale entries, a random read of the lost entry fails, and so
    // does one of a damaged entry.
    ASSERT_EQ(ftruncate(fd, HIF_HDR_SIZE + 512 * 2 + 256), 0);
    ASSERT_EQ(velk_IndexFileRewind(&globals_.run.index, fd, VELK_LOCAL_FILE), 0);
    EXPECT_EQ(readAll(0), (std::vector<uint32_t>{0, 1}));
    ASSERT_EQ(pwrite(fd, "XELK", 4, HIF_HDR_SIZE + 512), 4);
    for (int64_t ord : {1, 2})
        EXPECT_EQ(velk_IndexReadRandomEntry(&globals_.run.index, fd, VELK_LOCAL_FILE, ord, &e), -1) << ord;
    close(fd);
}

TEST_F(IndexFileTest, AdjustingEntriesAppliesTransferStatus)
{
    hif_entry_t src = entryOf(VTO_FILE, "name", 700, 42, 3);
    strcpy(src.hent_prefix, "some/prefix");
    velk_option_flags = VELK_OPT_CRC;  // the CRC table exists only with -H crc
    ASSERT_EQ(velk_InitMemberFileLists(3, 0), 0);
    for (int64_t i = 0; i < 3; i++) {
        ASSERT_EQ(velk_SetMemberFileXferSuccess(i, i == 1 ? 0 : 1), 0);
        ASSERT_EQ(velk_SetMemberFileXferCRC(i, 0xC0DE0000u + static_cast<uint32_t>(i)), 0);
    }
    velk_FinalizeMemberLists();
    hif_entry_t out, dir = entryOf(VTO_DIRECTORY, "d");
    ASSERT_EQ(velk_AdjustIndexEntry(1, &dir, &out), 0);  // directories are copied as they are
    EXPECT_EQ(memcmp(&out, &dir, sizeof out), 0);
    velk_option_flags = 0;
    ASSERT_EQ(velk_AdjustIndexEntry(1, &src, &out), 0);  // failed: a phantom of the same extent
    EXPECT_EQ(nameOf(out), "/dev/null");
    EXPECT_EQ(prefixOf(out), "");
    EXPECT_EQ(velk_Get32(out.hent_flags), HIF_FLAG_PHANTOM | HIF_FLAG_DELETED);
    EXPECT_EQ(velk_Get64(out.hent_offset), 42u);
    EXPECT_EQ(velk_Get32(out.hent_blocks), 3u);
    EXPECT_EQ(velk_Get64(out.hent_fsize), 700u);
    ASSERT_EQ(velk_AdjustIndexEntry(2, &src, &out), 0);
    EXPECT_EQ(memcmp(&out, &src, sizeof out), 0);  // no -H crc: unchanged
    velk_option_flags = VELK_OPT_CRC;
    ASSERT_EQ(velk_AdjustIndexEntry(2, &src, &out), 0);
    EXPECT_EQ(velk_Get32(out.hent_flags), HIF_FLAG_CRC);
    EXPECT_EQ(velk_Get32(out.hent_crc32), 0xC0DE0002u);
    // An ordinal the tables do not cover: taken as failed, status 1.
    velktest::OutputCapture cap;
    ASSERT_EQ(velk_AdjustIndexEntry(7, &src, &out), 0);
    EXPECT_EQ(nameOf(out), "/dev/null");
    EXPECT_EQ(velk_exit_code.load(), 1);
}

} // namespace
