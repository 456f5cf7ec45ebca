// Archives kept on the host of a file-system gateway (kylgwd in run mode 2):
// every action gives the output, archive bytes and restored trees of the
// same action on a local archive (-E), at the default buffer size and at
// one that is not a multiple of 512.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "velk_gwsession.h"

namespace fs = std::filesystem;

namespace {

using velktest::readFile;
using velktest::treeOf;

// The consistency member (header and record) and the end block carry a
// process id and a time, so two creates differ there.
constexpr size_t kVaryingTail = 3 * 512;

class VelkGatewayHost : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(startGateway("Site = {\n  server_runmode = 2\n}\n"));
        fs::create_directories(dir / "src/sub");
        // Larger than what travels inline, odd sizes so members straddle
        // buffers, an empty file and a link.
        velktest::writeFile(dir / "src/big", velktest::bytesOf((5u << 20) + 7, 1));
        velktest::writeFile(dir / "src/sub/mid", velktest::bytesOf(600001, 2));
        velktest::writeFile(dir / "src/sub/small", "small\n");
        velktest::writeFile(dir / "src/empty", "");
        fs::create_symlink("sub/small", dir / "src/link");
        for (const char *p : {"src/big", "src/sub/mid", "src/sub/small", "src/empty", "src/sub", "src"}) {
            const struct timespec t[2] = {{1700000000, 0}, {1709647620, 0}};
            utimensat(AT_FDCWD, (dir / p).c_str(), t, AT_SYMLINK_NOFOLLOW);
        }
    }

    // Runs velk in the directory dir/cwd (made if missing).
    velktest::RunResult velkIn(const std::string &cwd, const std::vector<std::string> &args)
    {
        fs::create_directories(dir / cwd);
        auto o = velkOptions();
        o.cwd = dir / cwd;
        return velktest::runVelk(args, o);
    }

    // Standard output and error of one action, on the local archive
    // ref.tar (-E) or on the gateway host's a.tar, with the archive's name,
    // the consistency member's name and times taken made alike.
    std::string action(bool local, const std::string &cwd, std::vector<std::string> args, int *status)
    {
        args.insert(args.begin() + 1, {"-f", local ? (dir / "ref.tar") : std::string("a.tar")});
        if (local)
            args.insert(args.begin() + 1, "-E");
        auto r = cwd.empty() ? velk(args) : velkIn(cwd, args);
        *status = r.status;
        std::string out;
        for (std::string line : velktest::lines(r.out + r.err)) {
            for (const std::string &name : {dir / "ref.tar", std::string("a.tar")})
                for (size_t at; (at = line.find(name)) != std::string::npos;)
                    line.replace(at, name.size(), "ARCHIVE");
            // A transfer through the reader pool lists members with one
            // more blank than the local writer does.
            if (line.rfind("VELK: a   ", 0) == 0)
                line.erase(8, 1);
            if (line.find("VELK_CF_CHK_") != std::string::npos)
                line = "consistency member";
            // Statistics and progress lines carry times and rates.
            if (line.find(" bytes") != std::string::npos || line.find("sec") != std::string::npos)
                line = "statistics";
            out += line + "\n";
        }
        return out;
    }
};

TEST_F(VelkGatewayHost, EveryActionMatchesTheLocalArchive)
{
    struct Row {
        const char *what;
        std::vector<std::string> bufferSize;
    };
    const Row rows[] = {{"default buffers", {}}, {"600000-byte buffers", {"-S", "600000"}}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const auto with = [&](std::vector<std::string> args) {
            args.insert(args.begin() + 1, row.bufferSize.begin(), row.bufferSize.end());
            return args;
        };
        // Each action on both archives, in dir (or in dir/local/<sub> and
        // dir/remote/<sub>): same output, same status.
        const auto same = [&](const std::string &what, const std::vector<std::string> &args,
                              const std::string &sub = "") {
            int ls = -1, rs = -1;
            const std::string local = action(true, sub.empty() ? "" : "local/" + sub, with(args), &ls);
            const std::string remote = action(false, sub.empty() ? "" : "remote/" + sub, with(args), &rs);
            EXPECT_EQ(rs, ls) << what << "\n" << remote;
            EXPECT_EQ(remote, local) << what;
            return rs;
        };
        fs::remove_all(dir / "local");
        fs::remove_all(dir / "remote");
        // The second row writes over the first row's archive and index.
        EXPECT_EQ(same("create", {"-c", "-v", "src"}), 0);
        const std::string ref = readFile(dir / "ref.tar");
        const std::string stored = readFile(home() + "/a.tar");
        ASSERT_EQ(stored.size(), ref.size());
        EXPECT_TRUE(stored.compare(0, ref.size() - kVaryingTail, ref, 0, ref.size() - kVaryingTail) == 0);

        EXPECT_EQ(same("list", {"-tv"}), 0);
        EXPECT_EQ(same("extract all", {"-xvp"}, "all"), 0);
        EXPECT_EQ(treeOf(dir / "remote/all/src"), treeOf(dir / "src"));
        EXPECT_EQ(same("extract one", {"-xv", "src/sub/mid"}, "one"), 0);
        EXPECT_EQ(readFile(dir / "remote/one/src/sub/mid"), readFile(dir / "src/sub/mid"));
        EXPECT_FALSE(fs::exists(dir / "remote/one/src/big"));
        EXPECT_EQ(same("verify", {"-K"}), 0);
        EXPECT_EQ(same("delete", {"-D", "-v", "src/sub/mid"}), 0);
        EXPECT_EQ(same("list after delete", {"-tv"}), 0);
        EXPECT_EQ(same("undelete", {"-U", "-v", "src/sub/mid"}), 0);
        int st = -1;
        const std::string listed = action(false, "", with({"-tv"}), &st);
        // A rebuilt index lists the archive as the index create made.
        fs::remove(home() + "/a.tar.idx");
        fs::remove(dir / "ref.tar.idx");
        EXPECT_EQ(same("build index", {"-X"}), 0);
        EXPECT_EQ(action(false, "", with({"-tv"}), &st), listed);
        EXPECT_EQ(st, 0);
        // A create with CRCs, verified against the data and the files.
        EXPECT_EQ(same("verified create", {"-c", "-H", "crc", "-H", "verify=2", "src"}), 0);
        EXPECT_EQ(same("crc verify", {"-K", "-H", "verify=crc"}), 0);
    }
}

// One listening port is all a gateway-host transfer needs: a create and an
// extract under a one-port restricted range.
TEST_F(VelkGatewayHost, OnePortRangeIsEnough)
{
    const int p = velktest::freePorts(1);
    ASSERT_NE(p, 0);
    const std::map<std::string, std::string> env{{"QUOR_PORT_RANGE", std::to_string(p) + "-" + std::to_string(p)}};
    auto r = velk({"-c", "-f", "a.tar", "src"}, env);
    ASSERT_EQ(r.status, 0) << r.err;
    auto o = velkOptions(env);
    fs::create_directories(dir / "out");
    o.cwd = dir / "out";
    r = velktest::runVelk({"-xp", "-f", "a.tar"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(treeOf(dir / "out/src"), treeOf(dir / "src"));
}

// A transfer the gateway breaks fails the run, never hangs it, and a
// failed create leaves the old archive and index as they were.
TEST_F(VelkGatewayHost, BrokenTransfersFailTheRunAndKeepTheOldArchive)
{
    ASSERT_EQ(velk({"-c", "-f", "a.tar", "src"}).status, 0);
    const std::string archive = readFile(home() + "/a.tar"), index = readFile(home() + "/a.tar.idx");
    const char *faults[] = {"lfx_close_early\n", "lfx_status=-5\n", "lfx_bytes=1\n", "lfx_noconnect\n"};
    for (const char *fault : faults) {
        SCOPED_TRACE(fault);
        gw.stop();
        ASSERT_TRUE(startGateway("Site = {\n  server_runmode = 2\n}\n", fault));
        const std::map<std::string, std::string> env{{"VELK_LFX_ACCEPT_TIMEOUT", "2"}};
        // A create in dir, an extract in dir/out.
        const std::pair<std::vector<std::string>, std::string> runs[] = {{{"-c", "-f", "a.tar", "src"}, ""},
                                                                         {{"-x", "-f", "a.tar"}, "out"}};
        for (const auto &[args, cwd] : runs) {
            fs::remove_all(dir / "out");
            fs::create_directories(dir / "out");
            auto o = velkOptions(env);
            o.cwd = dir / cwd;
            const auto r = velktest::runVelk(args, o);
            ASSERT_FALSE(r.timedOut) << args[0];
            EXPECT_NE(r.status, 0) << args[0] << r.err;
            EXPECT_NE(r.out.find("VELK FAILED"), std::string::npos) << args[0] << r.out;
        }
        EXPECT_TRUE(readFile(home() + "/a.tar") == archive);
        EXPECT_EQ(readFile(home() + "/a.tar.idx"), index);
        for (const auto &e : fs::directory_iterator(home()))
            EXPECT_EQ(e.path().filename().string().find(".velk-"), std::string::npos) << e.path();
    }
}

// -P makes the archive's missing directories on the gateway host, and a
// directory that cannot be made fails the create.
TEST_F(VelkGatewayHost, MissingDirectoriesAreMadeOrTheCreateFails)
{
    auto r = velk({"-c", "-P", "-f", "new/deeper/a.tar", "src"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(home() + "/new/deeper/a.tar.idx"));
    velktest::writeFile(home() + "/plain", "a file, not a directory\n");
    r = velk({"-c", "-P", "-f", "plain/sub/a.tar", "src"});
    EXPECT_EQ(r.status, 72) << r.err;
    EXPECT_NE(r.out.find("VELK FAILED"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(home() + "/plain/sub"));
}

} // namespace
