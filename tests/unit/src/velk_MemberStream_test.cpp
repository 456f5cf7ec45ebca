// The member stream cut over hand-made entries: which hooks run for which
// blocks whatever the delivery sizes, and how the walk stops.

#include <algorithm>
#include <string>
#include <vector>

#include "velk_MemberStream.h"
#include "velk_unit_fixture.h"

namespace {

// Hooks that log what they are asked to do.  Each member's data are
// fsize blocks after its header; the rest of its blocks are padding.
struct Recorder {
    velk_member_cursor_t cur;
    std::vector<hif_entry_t> entries;
    size_t nextIx = 0;
    uint64_t dataLeft = 0;
    int failHeaderAt = -1; // ordinal whose header hook fails
    bool stallData = false;
    std::string log;
};

Recorder *rec(void *ctx)
{
    return static_cast<Recorder *>(ctx);
}

const velk_member_ops_t kOps = {
    .caller = "memberStreamTest",
    .lengthStatus = VELK_EXIT_MISMATCH,
    .next =
        [](void *ctx) {
            Recorder *r = rec(ctx);
            velk_MemberCursorBegin(&r->cur, &r->entries.at(r->nextIx), static_cast<int64_t>(r->nextIx));
            r->dataLeft = velk_Get64(r->entries[r->nextIx].hent_fsize);
            r->log += "N" + std::to_string(r->nextIx++) + " ";
            return 0;
        },
    .header =
        [](void *ctx, const unsigned char *) {
            Recorder *r = rec(ctx);
            r->log += "H ";
            return r->cur.ordinal == r->failHeaderAt ? -1 : 0;
        },
    .wantsData = [](void *ctx) { return rec(ctx)->dataLeft > 0; },
    .data =
        [](void *ctx, const unsigned char *, uint32_t length, uint64_t *blocksOut) {
            Recorder *r = rec(ctx);
            *blocksOut = r->stallData ? 0 : std::min<uint64_t>(r->dataLeft, length / VELK_BLOCKSIZE);
            r->dataLeft -= *blocksOut;
            r->log += "D" + std::to_string(*blocksOut) + " ";
            return 0;
        },
    .finish =
        [](void *ctx) {
            Recorder *r = rec(ctx);
            r->log += "F" + std::to_string(r->cur.archiveAddr / VELK_BLOCKSIZE) + ":" +
                      std::to_string(r->cur.entriesLeft) + " ";
            return 0;
        },
};

// Three members from block 0: 3 blocks (2 of data), 4 blocks (1 of data,
// 2 of padding), 1 block (header only).
void addMembers(Recorder *r)
{
    const struct {
        uint64_t offset, blocks, dataBlocks;
    } members[] = {{0, 3, 2}, {3, 4, 1}, {7, 1, 0}};
    for (const auto &m : members) {
        hif_entry_t e{};
        velk_Put32(e.hent_type, VTO_FILE);
        velk_Put64(e.hent_offset, m.offset);
        velk_Put32(e.hent_blocks, static_cast<uint32_t>(m.blocks));
        velk_Put64(e.hent_fsize, m.dataBlocks);
        r->entries.push_back(e);
    }
    r->cur.entriesLeft = static_cast<int64_t>(r->entries.size());
}

// Delivers the totalBlocks blocks of the range in pieces of step blocks,
// each piece extraBytes longer than whole blocks.
int feed(Recorder *r, uint32_t step, uint32_t totalBlocks = 8, uint32_t extraBytes = 0)
{
    std::vector<unsigned char> bytes(totalBlocks * VELK_BLOCKSIZE + extraBytes);
    velk_member_stream_t stream{&kOps, r, &r->cur};
    for (uint32_t at = 0; at < totalBlocks; at += step) {
        io_buffer_t buf{};
        buf.buffer = bytes.data() + at * VELK_BLOCKSIZE;
        buf.dataLength = std::min(step, totalBlocks - at) * VELK_BLOCKSIZE + extraBytes;
        if (velk_MemberStreamCallback(&buf, &stream) != 0)
            return -1;
    }
    return 0;
}

TEST(MemberStream, CutsMembersTheSameWhateverTheDeliverySizes)
{
    velkunit::RunGlobals globals;
    const struct {
        uint32_t step;
        const char *log;
    } cases[] = {
        {1, "N0 H D1 D1 F3:2 N1 H D1 F7:1 N2 H F8:0 "},
        {2, "N0 H D1 D1 F3:2 N1 H D1 F7:1 N2 H F8:0 "},
        {3, "N0 H D2 F3:2 N1 H D1 F7:1 N2 H F8:0 "},
        {8, "N0 H D2 F3:2 N1 H D1 F7:1 N2 H F8:0 "},
    };
    for (const auto &c : cases) {
        Recorder r;
        addMembers(&r);
        EXPECT_EQ(feed(&r, c.step), 0) << c.step;
        EXPECT_EQ(r.log, c.log) << c.step;
        EXPECT_FALSE(r.cur.haveEntry) << c.step;
    }
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST(MemberStream, StopsOnAFailedHookAPartBlockAStallOrAShutdown)
{
    const struct {
        const char *what;
        int failHeaderAt;
        bool stall;
        uint32_t extraBytes;
        bool shutdown;
        const char *log;
        int status;
    } cases[] = {
        {"header hook fails", 1, false, 0, false, "N0 H D2 F3:2 N1 H ", 0},
        {"data hook takes nothing", -1, true, 0, false, "N0 H D0 ", VELK_EXIT_SOFTWARE},
        {"delivery not whole blocks", -1, false, 100, false, "", VELK_EXIT_MISMATCH},
        {"forced shutdown", -1, false, 0, true, "", 0},
    };
    for (const auto &c : cases) {
        velkunit::RunGlobals globals;
        Recorder r;
        addMembers(&r);
        r.failHeaderAt = c.failHeaderAt;
        r.stallData = c.stall;
        velk_shutdown_signalled.store(c.shutdown ? 1 : 0);
        EXPECT_EQ(feed(&r, 8, 8, c.extraBytes), -1) << c.what;
        EXPECT_EQ(r.log, c.log) << c.what;
        EXPECT_EQ(velk_exit_code.load(), c.status) << c.what;
    }
}

} // namespace
