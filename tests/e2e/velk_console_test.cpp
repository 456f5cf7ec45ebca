// The in-place progress line: shown only when standard error is a terminal
// and -q is not given.  velk runs on a pseudo-terminal here.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "velk_gwsession.h"

namespace {

velktest::PtyResult runOnPty(const std::vector<std::string> &args, const std::string &home)
{
    std::vector<std::string> argv{velktest::velkBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return velktest::runOnPty(argv, {{"HOME", home}, {"QUOR_CFG_FILE_PATH", home}, {"QUOR_SERVER_HOST", "127.0.0.1/9"}},
                              home);
}

} // namespace

TEST(TerminalProgress, ShownOnTerminalClearedBeforeMessagesAndOnlyWhereItApplies)
{
    velktest::ScratchDir dir;
    auto r = runOnPty({"-t", "-f", "a.tar"}, dir.path());
    EXPECT_EQ(r.status, 71);
    // The terminal turns "\n" into "\r\n".
    auto shown = r.text.find("\rOpening QUOR server connection \r");
    ASSERT_NE(shown, std::string::npos) << r.text;
    // The line was first "Opening server connection", then the longer text
    // overwrote it; before the error message it is blanked out.
    EXPECT_LT(r.text.find("\rOpening server connection \r"), shown);
    auto error = r.text.find("ERROR (main) unable to open remote gateway server connection");
    ASSERT_NE(error, std::string::npos);
    std::string blank = "\r" + std::string(std::string("Opening QUOR server connection ").size(), ' ') + "\r";
    auto cleared = r.text.find(blank, shown);
    ASSERT_NE(cleared, std::string::npos) << r.text;
    EXPECT_LT(cleared, error);

    // -q shows none; a local archive skips the storage-system line but
    // still opens a session.
    auto quiet = runOnPty({"-t", "-q", "-f", "a.tar"}, dir.path());
    EXPECT_EQ(quiet.status, 71);
    EXPECT_EQ(quiet.text.find("Opening"), std::string::npos) << quiet.text;
    EXPECT_NE(quiet.text.find("VELK: VELK FAILED"), std::string::npos);
    auto local = runOnPty({"-t", "-E", "-f", "a.tar"}, dir.path());
    EXPECT_EQ(local.text.find("\rOpening server connection"), std::string::npos) << local.text;
    EXPECT_NE(local.text.find("\rOpening QUOR server connection \r"), std::string::npos) << local.text;
}

// Local and gateway-host creates and extracts show the bytes moved with -V,
// ending at the whole archive, and nothing without it.
class LocalTransferProgress : public velktest::VelkGatewayTest {};

TEST_F(LocalTransferProgress, ShownWithStatisticsOptionOnly)
{
    velktest::writeFile(dir / "f", velktest::bytesOf(3 << 20, 7));
    for (bool gatewayHost : {false, true}) {
        if (gatewayHost) {
            gw.stop();
            ASSERT_TRUE(startGateway("Site = {\n  server_runmode = 2\n}\n"));
        }
        const std::map<std::string, std::string> env = wholeEnv();
        for (const auto &[action, archive, shown] : {std::tuple{"-cV", "a.tar", true}, {"-xV", "a.tar", true},
                                                     {"-c", "b.tar", false}, {"-x", "b.tar", false}}) {
            std::vector<std::string> argv{velktest::velkBinary(), action, "-f", archive};
            if (!gatewayHost)
                argv.insert(argv.begin() + 2, "-E");
            if (action[1] == 'c')
                argv.push_back("f");
            auto r = velktest::runOnPty(argv, env, dir.path());
            EXPECT_EQ(r.status, 0) << r.text;
            EXPECT_EQ(r.text.find("MiB transferred (100.0%)") != std::string::npos, shown)
                << action << (gatewayHost ? " on the gateway host\n" : "\n") << r.text;
            // The line names the member being moved.
            if (shown && !gatewayHost) {
                EXPECT_NE(r.text.find("(100.0%)  "), std::string::npos) << action << r.text;
            }
        }
    }
}
