// velk -x of archives kept in the storage system, read by parallel movers
// of a real kylgwd: the restored tree and the printed lines are those of
// the local read for every stripe width and request size, a selection
// reads only its ranges, and every misbehaving mover or a dying gateway
// ends the run with a failure, never a hang.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <set>
#include <string>
#include <tuple>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "velk_gwsession.h"

namespace fs = std::filesystem;

namespace {

using velktest::bytesOf;
using velktest::treeOf;
using velktest::readFile;
using velktest::writeFile;

class VelkQuorExtract : public velktest::VelkGatewayTest {
protected:
    // src/: two files larger than any window the tests use, small and empty
    // files, a directory and a symbolic link, with fixed modes and times.
    void SetUp() override
    {
        VelkGatewayTest::SetUp();
        fs::create_directories(dir / "src/sub");
        writeFile(dir / "src/big", bytesOf(9u << 20, 1));
        writeFile(dir / "src/sub/mid", bytesOf((3u << 20) + 123, 2));
        writeFile(dir / "src/sub/small", bytesOf(1000, 3));
        writeFile(dir / "src/empty", "");
        fs::create_symlink("sub/small", dir / "src/link");
        const std::pair<const char *, mode_t> modes[] = {
            {"src/big", 0640}, {"src/sub/mid", 0751}, {"src/sub/small", 0600}, {"src/empty", 0444}, {"src/sub", 0750}};
        for (const auto &[p, m] : modes)
            chmod((dir / p).c_str(), m);
        for (const char *p : {"src/big", "src/sub/mid", "src/sub/small", "src/empty", "src/sub", "src"}) {
            const struct timespec t[2] = {{1700000000, 0}, {1709647620, 0}};
            utimensat(AT_FDCWD, (dir / p).c_str(), t, 0);
        }
        ASSERT_EQ(velk({"-c", "-E", "-f", "arch.tar", "src"}).status, 0);
        for (const std::string f : {"arch.tar", "arch.tar.idx"})
            writeFile(home() + "/" + f, readFile(dir / f));
    }

    // Serves the archive with class of service cos (its stripe width).
    void setCos(int cos)
    {
        fs::create_directories(dir / "meta/home/demo");
        writeFile(dir / "meta/home/demo/arch.tar#meta", "COSId=" + std::to_string(cos) + "\n");
    }

    // Runs velk in the fresh directory dir/out.
    velktest::RunResult velkIn(const std::string &out, const std::vector<std::string> &args,
                               const std::map<std::string, std::string> &env = {})
    {
        fs::create_directories(dir / out);
        auto o = velkOptions(env);
        o.cwd = dir / out;
        return velktest::runVelk(args, o);
    }

    // The (offset, length, stripe width) of each list read since event line
    // `from`.
    std::vector<std::tuple<long, long, long>> listReads(size_t from)
    {
        std::vector<std::tuple<long, long, long>> reads;
        std::set<std::string> seen;
        const auto events = velktest::lines(readFile(dir / "events"));
        for (size_t i = from; i < events.size(); i++) {
            const std::string &e = events[i];
            if (e.find("\"event\":\"mover_start\"") == std::string::npos)
                continue;
            auto field = [&e](const std::string &k) {
                size_t at = e.find("\"" + k + "\":");
                return at == std::string::npos ? std::string("?") : e.substr(at + k.size() + 3, e.find_first_of(",}", at) - at - k.size() - 3);
            };
            if (seen.insert(field("session") + "/" + field("request")).second)
                reads.emplace_back(std::stol(field("offset")), std::stol(field("length")), std::stol(field("width")));
        }
        return reads;
    }
    size_t eventCount() { return velktest::lines(readFile(dir / "events")).size(); }
    // Whether kylgwd's fault fired since event line `from`.
    bool firedSince(size_t from, const std::string &fault)
    {
        const auto events = velktest::lines(readFile(dir / "events"));
        return std::any_of(events.begin() + static_cast<long>(std::min(from, events.size())), events.end(),
                           [&](const std::string &e) { return e.find("\"fault\":\"" + fault + "\"") != std::string::npos; });
    }
};

// Output lines without the statistics line, which names the archive as
// given and the time taken.
std::string withoutStatistics(const std::string &out)
{
    std::string kept;
    for (const auto &l : velktest::lines(out))
        if (l.find("Extract complete for") == std::string::npos)
            kept += l + "\n";
    return kept;
}

TEST_F(VelkQuorExtract, RestoresTheTreeOfTheLocalReadAtEveryStripeWidthAndRequestSize)
{
    const auto local = velkIn("local", {"-xvp", "-E", "-S", "512k", "-f", dir / "arch.tar"});
    ASSERT_EQ(local.status, 0) << local.err;
    ASSERT_EQ(treeOf(dir / "local/src"), treeOf(dir / "src"));
    struct Row {
        int cos;
        int mibPerRequest; // 0: the client's 2 GiB
        const char *bufSize;
    };
    const Row rows[] = {{1, 0, "512k"}, {2, 0, "512k"}, {4, 0, "512k"}, {8, 0, "512k"},
                        {65, 0, "512k"}, {2, 1, "600000"}, {8, 1, "512k"}};
    // Everything but the consistency member (two blocks) and the end block.
    const long readSize = static_cast<long>(fs::file_size(dir / "arch.tar")) - 3 * 512;
    int perRequest = 0;
    for (const Row &row : rows) {
        const std::string out = "out" + std::to_string(row.cos) + "-" + std::to_string(row.mibPerRequest);
        SCOPED_TRACE(out + " -S " + row.bufSize);
        if (row.mibPerRequest != perRequest) {
            gw.stop();
            perRequest = row.mibPerRequest;
            ASSERT_TRUE(startGateway("Site = {\n  max_mbytes_per_iod = " + std::to_string(perRequest) + "\n}\n"));
        }
        setCos(row.cos);
        const size_t before = eventCount();
        const auto r = velkIn(out, {"-xvp", "-S", row.bufSize, "-f", "arch.tar"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(withoutStatistics(r.out), withoutStatistics(local.out));
        EXPECT_EQ(treeOf(dir / out + "/src"), treeOf(dir / "src"));
        // One read of the whole archive, cut into requests of the site's size.
        const long step = perRequest == 0 ? readSize : perRequest << 20;
        std::vector<std::tuple<long, long, long>> want;
        for (long at = 0; at < readSize; at += step)
            want.emplace_back(at, std::min(step, readSize - at), std::min(row.cos, 64));
        EXPECT_EQ(listReads(before), want);
    }
}

TEST_F(VelkQuorExtract, SelectedMembersReadOnlyTheirRanges)
{
    setCos(4);
    const std::string mid = readFile(dir / "src/sub/mid");
    const std::string small = readFile(dir / "src/sub/small");
    struct Row {
        std::vector<std::string> members;
        std::string data; // what -O writes
        size_t reads;     // ranges read
    };
    // sub/mid and sub/small lie back to back: one range; big and small: two.
    const Row rows[] = {{{"src/sub/small"}, small, 1},
                        {{"src/sub/mid", "src/sub/small"}, mid + small, 1},
                        {{"src/big", "src/sub/small"}, readFile(dir / "src/big") + small, 2}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.members.back() + " of " + std::to_string(row.members.size()));
        std::vector<std::string> args = {"-x", "-O", "-f", "arch.tar"};
        args.insert(args.end(), row.members.begin(), row.members.end());
        const size_t before = eventCount();
        const auto r = velk(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == row.data) << r.out.size() << " bytes written";
        const auto reads = listReads(before);
        ASSERT_EQ(reads.size(), row.reads);
        long bytes = 0;
        for (const auto &rd : reads)
            bytes += std::get<1>(rd);
        // Each member's header block and data, rounded up to whole blocks.
        long want = 0;
        for (const auto &m : row.members)
            want += 512 + (static_cast<long>(fs::file_size(dir / m)) + 511) / 512 * 512;
        EXPECT_EQ(bytes, want);
    }
}

TEST_F(VelkQuorExtract, MisbehavingMoversFailTheRead)
{
    setCos(4);
    // (bytes_overclaim would fail the sequential read of the index first.)
    const char *faults[] = {"bad_init_checksum", "wrong_xferid",    "pdata_offset_outside", "mover_close_midblock",
                            "mover_stall=30",    "compl_overclaim", "duplicate_address"};
    for (const std::string fault : faults) {
        SCOPED_TRACE(fault);
        writeFile(dir / "faults", fault + "\n");
        const size_t before = eventCount();
        const auto r = velkIn("out-" + fault, {"-x", "-S", "512k", "-f", "arch.tar"}, {{"VELK_MOVER_TIMEOUT", "3"}});
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.status, 72) << r.err; // a sanitizer report would end it otherwise
        EXPECT_NE(r.out.find("VELK FAILED"), std::string::npos) << r.out << r.err;
        EXPECT_FALSE(listReads(before).empty());
        EXPECT_FALSE(listReads(before).empty()); // the fault met the archive's read, not the index's
        EXPECT_TRUE(firedSince(before, fault.substr(0, fault.find('='))));
    }
}

// The process whose working directory is cwd, or -1.
pid_t pidWithCwd(const std::string &cwd)
{
    for (const auto &e : fs::directory_iterator("/proc")) {
        std::error_code ec;
        if (fs::read_symlink(e.path() / "cwd", ec) == cwd && !ec)
            return std::stoi(e.path().filename().string());
    }
    return -1;
}

TEST_F(VelkQuorExtract, LostGatewayOrForcedShutdownEndsAStalledRead)
{
    setCos(2);
    writeFile(dir / "faults", "mover_stall=50\n");
    for (const bool killGateway : {false, true}) {
        SCOPED_TRACE(killGateway ? "gateway killed" : "SIGUSR1");
        const std::string out = killGateway ? "out-kill" : "out-usr1";
        const size_t before = eventCount();
        auto run = std::async(std::launch::async, [&] { return velkIn(out, {"-x", "-f", "arch.tar"}); });
        while (!firedSince(before, "mover_stall"))
            ASSERT_EQ(run.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout) << run.get().err;
        if (killGateway) {
            ASSERT_EQ(kill(gw.pid(), SIGKILL), 0);
            EXPECT_EQ(gw.stop(), 128 + SIGKILL);
        } else {
            ASSERT_EQ(kill(pidWithCwd(dir / out), SIGUSR1), 0);
        }
        const auto r = run.get();
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.status, 72) << r.err;
        EXPECT_NE(r.out.find("VELK FAILED"), std::string::npos) << r.out << r.err;
        EXPECT_EQ(r.err.find("interrupted by a forced shutdown") != std::string::npos, !killGateway) << r.err;
    }
}

} // namespace
