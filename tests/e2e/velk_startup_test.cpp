// velk's start-up run to the action against a real kylgwd: the gateway log
// records, the archive's absolute path for relative, absolute and "~" names,
// the umask, and an account the user does not have.  The archive does not
// exist, so every run ends with the list action's failure to open its index
// (status 72) unless an earlier error set the status first.

#include <gtest/gtest.h>

#include <string>

#include "velk_gwsession.h"

using velktest::failedEnding;

namespace {

using VelkStartup = velktest::VelkGatewayTest;

// The archive x.tar does not exist: the list action fails on its index.
const char kNoIndex[] = "Fatal error opening index file: x.tar.idx";

} // namespace

TEST_F(VelkStartup, ArchivePathsAreResolvedOnTheGatewaySideAndTheUmaskApplied)
{
    // The session starts in the user's home; "~" is the gateway's working
    // directory too.
    struct Case {
        const char *name;
        const char *absolute;
        const char *index;  // as the run names it
    } cases[] = {{"x.tar", "/home/demo/x.tar", "x.tar.idx"},
                 {"/data/y.tar", "/data/y.tar", "/data/y.tar.idx"},
                 {"~/z.tar", "/home/demo/z.tar", "/home/demo/z.tar.idx"}};
    for (const auto &c : cases) {
        auto r = velk({"-t", "-d", "1", "-f", c.name, "-H", "umask=027"});
        EXPECT_EQ(r.status, 72) << c.name << "\n" << r.err;
        EXPECT_NE(r.err.find(std::string("Archive File absolute path is [") + c.absolute + "]\n"), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("umask: 022 -> 027\n"), std::string::npos) << r.err;
        // The list action's own failure: the archive's index does not exist
        // in the storage system.
        EXPECT_NE(r.err.find(std::string("ERROR: No such file: ") + c.index + "\nERROR: Fatal error opening index file: " +
                             c.index + "\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.out, failedEnding(r.status));
    }
}

TEST_F(VelkStartup, GatewayLogHoldsCommandLineVersionAndDirectory)
{
    auto r = velk({"-t", "-f", "x.tar"});
    EXPECT_EQ(r.status, 72) << r.err;
    EXPECT_EQ(gw.stop(), 0);
    std::string log = gw.logText();
    EXPECT_NE(log.find("openlog user=demo flags=0x60000 subsys=velk"), std::string::npos) << log;
    EXPECT_NE(log.find(std::string(velktest::velkBinary()) + " -t -f x.tar \n"), std::string::npos) << log;
    EXPECT_NE(log.find(") VERSION: [velk."), std::string::npos) << log;
    EXPECT_NE(log.find(") CWD: " + dir.path() + "\n"), std::string::npos) << log;
    // velk's own failure message reaches the gateway log too.
    EXPECT_NE(log.find(") Fatal error opening index file: x.tar.idx"), std::string::npos) << log;
    EXPECT_NE(log.find("closelog user=demo flags=0x60000"), std::string::npos) << log;
}

// The warning's 64 comes first and wins over the action's failure.
TEST_F(VelkStartup, AccountTheUserLacksWarnsAndDecidesTheStatus)
{
    const std::pair<const char *, const char *> accounts[] = {{"nosuch", "name"}, {"4242", "ID"}};
    for (const auto &[acct, kind] : accounts) {
        auto r = velk({"-t", "-f", "x.tar", "-H", std::string("acct=") + acct});
        EXPECT_EQ(r.status, 64) << r.err;
        EXPECT_NE(r.err.find(std::string("WARNING: main: Unable to set account ") + kind + " to '" + acct +
                             "' (error=-13). Using default account\n"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find(kNoIndex), std::string::npos) << r.err;
    }
}
