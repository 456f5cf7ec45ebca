// How list and extract end when something goes wrong, against a real
// kylgwd: every non-zero status ends with the summary of the counted
// failures and "VELK FAILED"; a forced shutdown removes the member it cut.

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_IndexFormat.h"
#include "velk_gwsession.h"
#include "velk_testproc.h"

namespace {

using velktest::exists;
using velktest::readFile;
using velktest::writeFile;

class VelkOutcome : public velktest::VelkGatewayTest {};

enum Damage { kNone, kOverlap };

// An archive of a (600 bytes: blocks 0-2), b (100 bytes: blocks 3-4) and c
// (10 bytes: blocks 5-6) made by velk itself.
TEST_F(VelkOutcome, EveryFailedRunEndsWithItsSummary)
{
    writeFile(dir / "a", velktest::bytesOf(600, 1));
    writeFile(dir / "b", velktest::bytesOf(100, 2));
    writeFile(dir / "c", velktest::bytesOf(10, 3));
    auto made = velk({"-c", "-E", "-f", "a.tar", "a", "b", "c"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string archive = readFile(dir / "a.tar"), index = readFile(dir / "a.tar.idx");

    const std::string overlap = "ERROR: Fatal: Index entry 2 (member file c) starts at archive block 4, inside the "
                                "member before it (which ends at block 5)\n";
    const std::string notFound = "failures: 1 not found in archive";
    struct Row {
        std::vector<std::string> args;
        Damage damage;
        int status;
        std::string summary, err;
        std::string shown, hidden; // members listed or extracted, and not
    } rows[] = {
        {{"-t", "b", "nosuch"}, kNone, 72, notFound, "ERROR: nosuch: Not found in archive\n", "b", "a"},
        {{"-x", "b", "nosuch", "c"}, kNone, 72, notFound, "ERROR: nosuch: Not found in archive\n", "c", "a"},
        {{"-t", "-H", "noglob", "a*"}, kNone, 72, notFound, "ERROR: a*: Not found in archive\n", "", "a"},
        {{"-t"}, kOverlap, 72, "failures: 1 corrupt index entry", overlap, "b", "c"},
        {{"-x"}, kOverlap, 72, "failures: 1 corrupt index entry", overlap, "", "a"},
        {{"-x", "-J", "0"}, kOverlap, 72, "failures: 1 corrupt index entry", overlap, "", "a"},
        {{"-x", "--exclude-from=nosuch", "b"}, kNone, 64, "run failed",
         "ERROR: velk_ExcludesAddFromFile: unable to open pattern file 'nosuch' - No such file or directory\n", "", "b"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args.back() + ", damage " + std::to_string(row.damage));
        for (const char *m : {"a", "b", "c"})
            unlink((dir / m).c_str());
        std::string idx = index;
        hif_entry_t e;
        auto *c = reinterpret_cast<unsigned char *>(&idx[HIF_HDR_SIZE + 2 * HIF_ENTRY_SIZE]);
        if (row.damage == kOverlap && velk_DecodeIndexEntry(c, HIF_ENTRY_SIZE, &e) == 0) {
            velk_Put64(e.hent_offset, 4);
            velk_EncodeIndexEntry(&e, c);
        }
        writeFile(dir / "a.tar", archive);
        writeFile(dir / "a.tar.idx", idx);

        std::vector<std::string> args = {"-E", "-f", "a.tar"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        auto r = velk(args);
        EXPECT_EQ(r.status, row.status) << r.err;
        auto out = velktest::lines(r.out);
        ASSERT_GE(out.size(), 2u) << r.out;
        EXPECT_EQ(out[out.size() - 2], "VELK: " + row.summary + "; exit status " + std::to_string(row.status));
        EXPECT_EQ(out.back(), "VELK: VELK FAILED");
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        auto appears = [&](const std::string &m) {
            return row.args[0] == "-t" ? r.out.find("  " + m + "\n") != std::string::npos : exists(dir / m);
        };
        EXPECT_TRUE(row.shown.empty() || appears(row.shown)) << row.shown << "\n" << r.out;
        EXPECT_TRUE(row.hidden.empty() || !appears(row.hidden)) << row.hidden << "\n" << r.out;
    }
}

// A 3 MiB member extracted into a 1 MiB file system: velk waits for space
// with the member half written, and the shutdown comes then.
TEST_F(VelkOutcome, ForcedShutdownRemovesTheMemberBeingWritten)
{
    writeFile(dir / "big", velktest::bytesOf(3 << 20, 7));
    auto made = velk({"-c", "-E", "-f", "big.tar", "big"});
    ASSERT_EQ(made.status, 0) << made.err;
    std::string small = dir / "small";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    // The mount lives in a namespace of this test program's own.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "a small file system needs root in a mount namespace: " << strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{small};

    velktest::RunOptions o = velkOptions({{"VELK_NOSPACE_WAIT", "60"}});
    o.cwd = small;
    std::string outPath = dir / "out", errPath = dir / "err";
    auto child = velktest::startVelk({"-x", "-E", "-f", "../big.tar"}, o, outPath, errPath);
    ASSERT_TRUE(velktest::waitForFileText(errPath, "Out of space in local filesystem")) << readFile(errPath);
    ASSERT_TRUE(exists(small + "/big")) << readFile(errPath);
    ASSERT_EQ(kill(child->pid(), SIGUSR1), 0);
    EXPECT_TRUE(velktest::exitsWith(*child, 72, std::chrono::seconds(60)));
    EXPECT_FALSE(exists(small + "/big"));
    EXPECT_NE(readFile(errPath).find("ERROR: big: incomplete, removed\n"), std::string::npos) << readFile(errPath);
    EXPECT_EQ(readFile(outPath), "VELK: failures: 1 interrupted; exit status 72\nVELK: VELK FAILED\n");
}

} // namespace
