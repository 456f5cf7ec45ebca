// The exit status of each kind of failure as a user meets it, against a
// real kylgwd: the status the table names for the cause, the message that
// says why, and the failure line (never the success line) after it; and a
// confirmation question that meets the end of input declines.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "velk_gwsession.h"

namespace {

using velktest::readFile;
using velktest::writeFile;

class VelkStatus : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        velktest::VelkGatewayTest::SetUp();
        ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
        for (const char *f : {"d/a", "d/b", "d/c"})
            writeFile(dir / f, std::string(f) + " data\n");
        // a.tar without CRCs, with d/b soft-deleted; c.tar with CRCs.
        for (const auto &args : {std::vector<std::string>{"-c", "-E", "-f", "a.tar", "d"},
                                 {"-c", "-E", "-H", "crc", "-f", "c.tar", "d"},
                                 {"-D", "-E", "-f", "a.tar", "d/b"}}) {
            auto r = velk(args);
            ASSERT_EQ(r.status, 0) << r.err;
        }
    }
};

TEST_F(VelkStatus, EachCauseEndsWithTheStatusTheTableNames)
{
    // One name component of 120 characters: no '/' can split it for ustar.
    const std::string longName = std::string(120, 'n');
    writeFile(dir / longName, "x");
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string err;          // in the standard error
        bool indexKept = false;   // a.tar.idx unchanged
        std::string created = ""; // archive that must not exist afterwards
    } rows[] = {
        {{}, 64, "Usage:\n"},
        {{"-c", "-w", "-E", "-f", "w.tar", "d"}, 64, "ERROR: -w (confirmation) does not work with -c\n", false, "w.tar"},
        {{"-c", "-E", "-f", "l.tar", "-L", "nosuch"}, 66, "Cannot open file specified by -L option: nosuch", false,
         "l.tar"},
        {{"-c", "-E", "-M", "2", "-f", "m.tar", "d"}, 66, "Maximum number of file entries reached (2)", false, "m.tar"},
        {{"-c", "-E", "-f", "n.tar", "d", longName}, 64, "WARNING: name too long for tar archive- file omitted\n"},
        {{"-x", "-E", "-f", "a.tar", "d/b"}, 72, "ERROR: d/b: Soft-deleted in archive (undelete it with -U)\n"},
        {{"-K", "-E", "-f", "a.tar", "d/b"}, 72, "ERROR: d/b: Soft-deleted in archive (undelete it with -U)\n"},
        {{"-x", "-E", "-f", "a.tar", "d/nothere"}, 72, "ERROR: d/nothere: Not found in archive\n"},
        {{"-D", "-E", "-f", "a.tar", "d"}, 64, "WARNING: Cannot Delete directory 'd'\n", true},
        {{"-U", "-E", "-f", "a.tar", "d"}, 64, "WARNING: Cannot Undelete directory 'd'\n", true},
        {{"-K", "-E", "-H", "verify=crc", "-f", "a.tar"}, 64, "WARNING: no CRC was stored in index file a.tar.idx"},
        {{"-K", "-E", "-H", "verify=1", "-f", "a.tar", "d/a"}, 64, "no CRC can be checked\n"},
        {{"-K", "-E", "-H", "verify=crc", "-f", "c.tar"}, 0, ""},
    };
    const std::string index = readFile(dir / "a.tar.idx");
    for (const Row &row : rows) {
        std::string shown;
        for (const std::string &a : row.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        auto r = velk(row.args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        if (row.status == 0) {
            EXPECT_TRUE(r.out.ends_with("VELK: VELK SUCCESSFUL\n")) << r.out;
            EXPECT_EQ(r.err.find("no CRC"), std::string::npos) << r.err;
        } else {
            EXPECT_TRUE(r.out.ends_with("; exit status " + std::to_string(row.status) + "\nVELK: VELK FAILED\n"))
                << r.out;
        }
        if (row.indexKept) {
            EXPECT_TRUE(readFile(dir / "a.tar.idx") == index) << "the index changed";
        }
        if (!row.created.empty()) {
            EXPECT_FALSE(velktest::exists(dir / row.created));
        }
    }
    // The member with the long name was left out, the others archived.
    auto list = velk({"-t", "-E", "-f", "n.tar"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("d/c\n"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find(longName), std::string::npos) << list.out;
}

// A -D question answered by the end of input (Ctrl-D) changes nothing; "y"
// does.
TEST_F(VelkStatus, EndOfInputAtAConfirmationMeansNo)
{
    std::map<std::string, std::string> env = wholeEnv();
    const std::string index = readFile(dir / "a.tar.idx");
    const std::string question = "delete 'd/a'? ([Y]es,[N]o,[A]ll,[Q]uit) ";
    for (const auto &[answer, changed] : {std::pair{"\x04", false}, std::pair{"y", true}}) {
        auto r = velktest::runOnPty({velktest::velkBinary(), "-D", "-w", "-E", "-f", "a.tar", "d/a"}, env, dir.path(),
                                    {{question, answer}});
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.status, 0) << r.text;
        EXPECT_EQ(r.text.find("VELK: d  d/a") != std::string::npos, changed) << r.text;
        EXPECT_EQ(readFile(dir / "a.tar.idx") != index, changed);
    }
}

} // namespace
