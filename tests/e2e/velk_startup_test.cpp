// velk's start-up sequence run to the action against a real kylgwd, logged
// in with a keytab: the gateway log records, the archive's absolute path for
// relative, absolute and "~" names, the umask, and an account the user does
// not have.  The list action itself is not in this build, so every run ends
// with its "not available" failure (status 70) unless an earlier error set
// the status first.

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kylgwd_fixture.h"
#include "velk_testsupport.h"

namespace {

const char kNotBuilt[] = "ERROR: LIST is not available in this build of velk\n";

class VelkStartup : public ::testing::Test {
protected:
    velktest::ScratchDir dir;
    velktest::KylgwdProcess gw{dir.path()};

    void SetUp() override
    {
        velktest::RunOptions o;
        o.input = "demo-password\n";
        auto h = velktest::run({velktest::kylgwdBinary(), "--hash-password"}, o);
        ASSERT_EQ(h.status, 0) << h.err;
        std::string hash = h.out.substr(0, h.out.size() - 1);
        velktest::writeFile(dir / "demo.kt", "keytab bytes of demo");
        ASSERT_EQ(chmod((dir / "demo.kt").c_str(), 0600), 0);
        velktest::writeFile(dir / "kylgwd.conf",
                            "Users = {\n  demo = {\n    password = " + hash + "\n    uid = " +
                                std::to_string(getuid()) + "\n    gid = " + std::to_string(getgid()) +
                                "\n    home = /home/demo\n    keytab = " + (dir / "demo.kt") + "\n  }\n}\n");
        ASSERT_EQ(mkdir((dir / "root").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "root/home").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "root/home/demo").c_str(), 0755), 0);
        ASSERT_TRUE(gw.start({"--config", dir / "kylgwd.conf"}));
    }

    velktest::RunResult velk(std::vector<std::string> args)
    {
        velktest::RunOptions o;
        o.env = {{"HOME", dir.path()},
                 {"QUOR_CFG_FILE_PATH", dir.path()},
                 {"QUOR_SERVER_HOST", "127.0.0.1/" + std::to_string(gw.port())},
                 {"QUOR_HOSTNAME", "127.0.0.1"},
                 {"QUOR_AUTH_METHOD", "keytab"},
                 {"QUOR_PRINCIPAL", "demo"},
                 {"QUOR_KEYTAB_PATH", dir / "demo.kt"}};
        o.cwd = dir.path();
        return velktest::runVelk(args, o);
    }
};

} // namespace

TEST_F(VelkStartup, ArchivePathsAreResolvedOnTheGatewaySide)
{
    // The session starts in the user's home; "~" is the gateway's working
    // directory too.
    struct Case {
        const char *name;
        const char *absolute;
    } cases[] = {{"x.tar", "/home/demo/x.tar"}, {"/data/y.tar", "/data/y.tar"}, {"~/z.tar", "/home/demo/z.tar"}};
    for (const auto &c : cases) {
        auto r = velk({"-t", "-d", "1", "-f", c.name});
        EXPECT_EQ(r.status, 70) << c.name << "\n" << r.err;
        EXPECT_NE(r.err.find(std::string("Archive File absolute path is [") + c.absolute + "]\n"), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find(kNotBuilt), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "VELK: VELK FAILED\n");
    }
}

TEST_F(VelkStartup, GatewayLogHoldsCommandLineVersionAndDirectory)
{
    auto r = velk({"-t", "-f", "x.tar"});
    EXPECT_EQ(r.status, 70) << r.err;
    EXPECT_EQ(gw.stop(), 0);
    std::string log = gw.logText();
    EXPECT_NE(log.find("openlog user=demo flags=0x60000 subsys=velk"), std::string::npos) << log;
    EXPECT_NE(log.find(std::string(velktest::velkBinary()) + " -t -f x.tar \n"), std::string::npos) << log;
    EXPECT_NE(log.find(") VERSION: [velk."), std::string::npos) << log;
    EXPECT_NE(log.find(") CWD: " + dir.path() + "\n"), std::string::npos) << log;
    // velk's own failure message reaches the gateway log too.
    EXPECT_NE(log.find(") LIST is not available in this build of velk"), std::string::npos) << log;
    EXPECT_NE(log.find("closelog user=demo flags=0x60000"), std::string::npos) << log;
}

TEST_F(VelkStartup, UmaskIsAppliedThroughTheGateway)
{
    auto r = velk({"-t", "-d", "1", "-f", "x.tar", "-H", "umask=027"});
    EXPECT_EQ(r.status, 70) << r.err;
    EXPECT_NE(r.err.find("umask: 022 -> 027\n"), std::string::npos) << r.err;
}

TEST_F(VelkStartup, AccountTheUserLacksWarnsAndDecidesTheStatus)
{
    auto r = velk({"-t", "-f", "x.tar", "-H", "acct=nosuch"});
    // The warning's 64 comes first and wins over the action's failure.
    EXPECT_EQ(r.status, 64) << r.err;
    EXPECT_NE(r.err.find("WARNING: main: Unable to set account name to 'nosuch' (error=-13). Using default account\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(kNotBuilt), std::string::npos) << r.err;
    auto byId = velk({"-t", "-f", "x.tar", "-H", "acct=4242"});
    EXPECT_EQ(byId.status, 64) << byId.err;
    EXPECT_NE(byId.err.find("WARNING: main: Unable to set account ID to '4242' (error="), std::string::npos)
        << byId.err;
}
