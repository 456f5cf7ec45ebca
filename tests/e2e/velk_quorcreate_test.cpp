// velk -c into the storage system against a real kylgwd: the archive's
// bytes and index listing equal those of a local create for every stripe
// width, buffer size and request size; mover faults and a gateway killed
// mid-transfer end the create as failed with the old archive and index
// untouched.

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <future>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_gwsession.h"

namespace {

using velktest::readFile;

constexpr const char *kArchive = "/home/demo/a.tar";
// The consistency member (header and record) and the end block: they carry
// a process id and a time, so two creates differ there.
constexpr size_t kVaryingTail = 3 * 512;

class VelkQuorCreate : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        velktest::VelkGatewayTest::SetUp();
        for (const char *d : {"tree", "tree/sub"})
            ASSERT_EQ(mkdir((dir / d).c_str(), 0755), 0);
        // Big enough for several buffers per mover at width 8 and for many
        // 1 MiB requests; odd sizes so that members straddle buffers.
        velktest::writeFile(dir / "tree/big1", velktest::bytesOf(3000001, 1));
        velktest::writeFile(dir / "tree/sub/big2", velktest::bytesOf(2500123, 2));
        velktest::writeFile(dir / "tree/sub/big3", velktest::bytesOf(1700000, 3));
        velktest::writeFile(dir / "tree/small", "small\n");
        // Small members over more than two buffers of 600,000 bytes: some
        // of them straddle a buffer's end.
        ASSERT_EQ(mkdir((dir / "tree/many").c_str(), 0755), 0);
        for (int i = 0; i < 30; i++)
            velktest::writeFile(dir / ("tree/many/f" + std::to_string(i)), velktest::bytesOf(40000 + i, 10 + i));
        ASSERT_EQ(symlink("small", (dir / "tree/link").c_str()), 0);
    }

    std::string archiveFile() const { return home() + "/a.tar"; }

    // The -tv lines without the consistency member's name (a temporary
    // file's) and with the archive's name as "ARCHIVE".
    std::string listing(const std::vector<std::string> &args, const std::string &name)
    {
        std::string out;
        for (std::string line : velktest::lines(velk(args).out)) {
            if (line.find("VELK_CF_CHK_") != std::string::npos)
                line = "consistency member";
            size_t at = line.find(" " + name + ",");
            if (at != std::string::npos)
                line.replace(at + 1, name.size(), "ARCHIVE");
            out += line + "\n";
        }
        return out;
    }

    // Names of temporary files left in the served home directory.
    std::vector<std::string> leftovers() const
    {
        return homeNames([](const std::string &n) { return n.find(".velk-") != std::string::npos; });
    }
};

TEST_F(VelkQuorCreate, ArchiveAndIndexEqualTheLocalCreateForEveryLayout)
{
    auto ref = velk({"-c", "-E", "-f", "ref.tar", "tree"});
    ASSERT_EQ(ref.status, 0) << ref.err;
    const std::string refBytes = readFile(dir / "ref.tar");
    const std::string refList = listing({"-tv", "-E", "-f", "ref.tar"}, "ref.tar");
    ASSERT_GT(refBytes.size(), 7000000u);
    struct Row {
        const char *what;
        std::vector<std::string> args;
        std::string site; // gateway configuration the row runs under
    };
    const Row rows[] = {
        {"width 1", {"-Y", "1"}, ""},
        {"width 2", {"-Y", "2"}, ""},
        {"width 4", {"-Y", "4"}, ""},
        {"width 8", {"-Y", "8"}, ""},
        {"width 65", {"-Y", "65"}, ""},
        {"600000-byte buffers", {"-Y", "4", "-S", "600000"}, ""},
        {"one reader thread", {"-Y", "4", "-T", "1"}, ""},
        {"fifty reader threads", {"-Y", "4", "-T", "50"}, ""},
        {"1 MiB requests", {"-Y", "8", "-S", "600000"}, "Site = {\n    max_mbytes_per_iod = 1\n}\n"},
    };
    for (const Row &row : rows) {
        if (!row.site.empty()) {
            gw.stop();
            unlink((dir / "events").c_str());
            ASSERT_TRUE(startGateway(row.site)) << row.what;
        }
        std::vector<std::string> args = {"-cv"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        args.insert(args.end(), {"-f", kArchive, "tree"});
        auto r = velk(args);
        ASSERT_EQ(r.status, 0) << row.what << "\n" << r.err;
        const std::string got = readFile(archiveFile());
        ASSERT_EQ(got.size(), refBytes.size()) << row.what;
        EXPECT_EQ(got.compare(0, got.size() - kVaryingTail, refBytes, 0, got.size() - kVaryingTail), 0) << row.what;
        EXPECT_EQ(listing({"-tv", "-f", kArchive}, kArchive), refList) << row.what;
        EXPECT_TRUE(leftovers().empty()) << row.what;
    }
    // The last row's archive went in requests of 1 MiB: one first mover each.
    size_t requests = 0;
    for (const std::string &line : velktest::lines(readFile(dir / "events")))
        requests += line.find("\"event\":\"mover_start\"") != std::string::npos &&
                    line.find("\"mover\":0,") != std::string::npos;
    EXPECT_EQ(requests, (refBytes.size() + (1u << 20) - 1) >> 20);
}

TEST_F(VelkQuorCreate, MoverFaultsAndAKilledGatewayFailTheCreateAndKeepTheOldFiles)
{
    auto first = velk({"-c", "-Y", "4", "-f", kArchive, "tree/small"});
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string oldArchive = readFile(archiveFile());
    const std::string oldIndex = readFile(archiveFile() + ".idx");
    // The last: the archive's own rename refused once the new index is
    // complete.  Failed requests that are retried (a mover that dies, I/O
    // errors, no space) are velk_recovery_test's.
    const char *faults[] = {"bad_init_checksum", "wrong_xferid",      "pdata_offset_outside", "compl_overclaim",
                            "duplicate_address", "bytes_overclaim", "fail_rename=1"};
    for (const char *script : faults) {
        const std::string fault = std::string(script).substr(0, std::string(script).find('='));
        velktest::writeFile(dir / "faults", std::string(script) + "\n");
        auto r = velk({"-c", "-Y", "4", "-f", kArchive, "tree"});
        EXPECT_EQ(r.status, 72) << fault << "\n" << r.err;
        EXPECT_EQ(r.out, velktest::failedEnding(r.status)) << fault << "\n" << r.err;
        EXPECT_NE(readFile(dir / "events").find("\"fault\":\"" + fault + "\""), std::string::npos) << fault;
        EXPECT_TRUE(readFile(archiveFile()) == oldArchive) << fault;
        EXPECT_TRUE(readFile(archiveFile() + ".idx") == oldIndex) << fault;
        EXPECT_TRUE(leftovers().empty()) << fault;
    }

    // The gateway dies while its first mover holds the transfer.
    velktest::writeFile(dir / "faults", "mover_stall=60\n");
    auto run = std::async(std::launch::async, [this] { return velk({"-c", "-Y", "4", "-f", kArchive, "tree"}); });
    ASSERT_TRUE(velktest::waitForFileText(dir / "events", "\"fault\":\"mover_stall\""));
    ASSERT_EQ(kill(gw.pid(), SIGKILL), 0);
    EXPECT_EQ(gw.stop(), 128 + SIGKILL);
    auto r = run.get();
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 72) << r.err;
    EXPECT_EQ(r.out, velktest::failedEnding(r.status)) << r.err;
    EXPECT_TRUE(readFile(archiveFile()) == oldArchive);
    EXPECT_TRUE(readFile(archiveFile() + ".idx") == oldIndex);
}

} // namespace
