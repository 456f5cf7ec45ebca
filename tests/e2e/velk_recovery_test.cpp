// Storage-system transfers that recover from failed list requests, run
// against a real kylgwd that fails a request at a chosen archive offset: a
// create writes the same archive and CRCs as one that met no fault, an
// extract restores the same tree, and a fault that keeps coming back, or
// one that cannot be retried, fails the run with the old archive intact.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "velk_IndexFormat.h"
#include "velk_gwsession.h"

namespace {

using velktest::readFile;

constexpr const char *kArchive = "/home/demo/a.tar";
// The consistency member (header and record) and the end block carry a
// process id and a time: two creates differ there.
constexpr size_t kVaryingTail = 3 * 512;
// t/a holds 1,500,000 bytes: its data ends in block 2930, so t/b's header
// starts at block 2931.
constexpr long kSecondHeader = 2931L * 512;
// t/b holds 700,001 bytes (1368 blocks): t/c's header is block 4300, its
// data block 4301.
constexpr long kThirdData = 4301L * 512;

class VelkRecovery : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        velktest::VelkGatewayTest::SetUp();
        ASSERT_EQ(mkdir((dir / "t").c_str(), 0755), 0);
        velktest::writeFile(dir / "t/a", velktest::bytesOf(1500000, 1));
        velktest::writeFile(dir / "t/b", velktest::bytesOf(700001, 2));
        velktest::writeFile(dir / "t/c", "c\n");
    }
    std::string archive() const { return home() + "/a.tar"; }
    velktest::RunResult create(const std::string &faults, const char *cos = "11")
    {
        velktest::writeFile(dir / "faults", faults);
        return velk({"-c", "-H", "crc", "-Y", cos, "-f", kArchive, "t/a", "t/b", "t/c"},
                    {{"VELK_NOSPACE_SLEEP", "0"}});
    }
    // The index entries of the members, without the header (it holds the
    // consistency record) and the consistency member's entry.
    std::string memberEntries() const
    {
        std::string idx = readFile(archive() + ".idx");
        return idx.size() < HIF_HDR_SIZE + HIF_ENTRY_SIZE ? ""
                                                          : idx.substr(HIF_HDR_SIZE, idx.size() - HIF_HDR_SIZE - HIF_ENTRY_SIZE);
    }
};

TEST_F(VelkRecovery, FailedWritesRestartAtTheLastWholeBlockAndWriteTheSameArchive)
{
    auto ref = create("");
    ASSERT_EQ(ref.status, 0) << ref.err;
    const std::string refBytes = readFile(archive());
    const std::string refEntries = memberEntries();
    ASSERT_GT(refBytes.size(), kVaryingTail + kSecondHeader);
    const long endBlock = static_cast<long>(refBytes.size()) - 512;
    struct Row {
        std::string fault;
        const char *cos;    // class of service: 1 is one mover wide, 11 two
        std::string shown;  // a line of the recovery on standard output or error
        const char *logged; // a line in the gateway's log, or ""
    };
    const std::string header = std::to_string(kSecondHeader);
    const Row rows[] = {
        // Inside t/a's data: resumed without a header, its CRC read again.
        {"write_eio_at=1000000", "11", "Truncating archive file by 64 bytes prior to starting recovery",
         "local file initial offset: 999936 offset blocks: 1953"},
        {"write_eio_at=1000000,times=5", "11", "Retrying after I/O error at archive file offset 1000000", ""},
        // At t/b's header, inside it and inside the end block.
        {"write_eio_at=" + header, "1", "I/O error occurred after " + header, "index entry 1, type=1, path=[t/b]"},
        {"write_eio_at=" + std::to_string(kSecondHeader + 100), "1", "Truncating archive file by 100 bytes",
         "offset blocks: 0"},
        {"write_eio_at=" + std::to_string(endBlock + 100), "1", "Truncating archive file by 100 bytes",
         "Repos addr mapped to index entry 4, type=5"},
        // Inside the data of t/c, a member small enough to be read whole:
        // resumed after its header all the same.
        {"write_eio_at=" + std::to_string(kThirdData + 100), "1", "Truncating archive file by 100 bytes",
         "Repos addr mapped to index entry 2, type=1, path=[t/c]"},
        // With two movers an earlier block may be short: the restart is at
        // or before the fault.
        {"write_eio_at=" + std::to_string(endBlock + 100), "11", "Retrying after I/O error at archive file offset",
         ""},
        {"eom_at=1000000", "11", "end-of-media detected at archive offset 1000000", ""},
        {"enospc_at=1000000", "11", "OUT OF SPACE writing QUOR archive - delaying/retrying", ""},
        // No bytes claimed: the request is sent again from its first byte.
        {"enospc_at=1000000,moved=0", "11", "OUT OF SPACE writing QUOR archive - delaying/retrying", ""},
        // A mover that dies: the request fails with an I/O error and is sent
        // again.
        {"mover_die=1", "11", "Retrying after I/O error at archive file offset", ""},
    };
    for (const Row &row : rows) {
        const size_t logFrom = readFile(dir / "kylgwd.log").size();
        auto r = create(row.fault + "\n", row.cos);
        EXPECT_EQ(r.status, 0) << row.fault << "\n" << r.err;
        EXPECT_NE((r.out + r.err).find(row.shown), std::string::npos) << row.fault << "\n" << r.out << r.err;
        EXPECT_NE(readFile(dir / "kylgwd.log").find(row.logged, logFrom), std::string::npos) << row.fault;
        const std::string name = row.fault.substr(0, row.fault.find('='));
        EXPECT_NE(readFile(dir / "events").find("\"fault\":\"" + name + "\""), std::string::npos) << row.fault;
        const std::string got = readFile(archive());
        ASSERT_EQ(got.size(), refBytes.size()) << row.fault;
        EXPECT_EQ(got.compare(0, got.size() - kVaryingTail, refBytes, 0, got.size() - kVaryingTail), 0) << row.fault;
        EXPECT_EQ(memberEntries(), refEntries) << row.fault;
    }
}

TEST_F(VelkRecovery, ARepeatedOrUnretryableWriteFailureFailsTheCreateAndKeepsTheOldArchive)
{
    ASSERT_EQ(create("").status, 0);
    const std::string oldArchive = readFile(archive());
    const std::string oldIndex = readFile(archive() + ".idx");
    struct Row {
        const char *fault;
        const char *message;
    };
    const Row rows[] = {
        // The sixth I/O error in a row at one offset.
        {"write_eio_at=1000000,times=6", "quor_WriteList error -5, file offset 1000000 - aborting"},
        // A mover that dies in every request: the sixth I/O error in a row.
        {"mover_close_midblock", "quor_WriteList error -5, file offset "},
    };
    for (const Row &row : rows) {
        auto r = create(std::string(row.fault) + "\n");
        EXPECT_EQ(r.status, 72) << row.fault << "\n" << r.err;
        const std::string ending = velktest::failedEnding(72);
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), ending.size())), ending) << row.fault;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << row.fault << "\n" << r.err;
        EXPECT_TRUE(readFile(archive()) == oldArchive) << row.fault;
        EXPECT_TRUE(readFile(archive() + ".idx") == oldIndex) << row.fault;
    }
}

TEST_F(VelkRecovery, AFailedReadIsReissuedFromTheFirstUndeliveredByte)
{
    ASSERT_EQ(create("", "1").status, 0);
    struct Row {
        const char *fault;
        int status;
        const char *shown;
    };
    const Row rows[] = {
        {"read_eio_at=1000000", 0, "Recovered I/O error at archive file offset 1000000"},
        {"read_eio_at=1600000,times=5", 0, "Recovered I/O error at archive file offset 1600000"},
        {"read_eio_at=1600000,times=6", 72, "quor_ReadList error -5, file offset 1600000 - aborting"},
    };
    for (const Row &row : rows) {
        velktest::writeFile(dir / "faults", std::string(row.fault) + "\n");
        const std::string out = dir / "out";
        std::filesystem::remove_all(out);
        std::filesystem::create_directories(out);
        auto opts = velkOptions();
        opts.cwd = out;
        auto r = velktest::runVelk({"-x", "-f", kArchive}, opts);
        EXPECT_EQ(r.status, row.status) << row.fault << "\n" << r.err;
        EXPECT_NE((r.out + r.err).find(row.shown), std::string::npos) << row.fault << "\n" << r.out << r.err;
        if (row.status != 0)
            continue;
        for (const char *f : {"t/a", "t/b", "t/c"})
            EXPECT_TRUE(readFile(out + "/" + f) == readFile(dir / f)) << row.fault << " " << f;
    }
}

} // namespace
