// Round trips at scale: 50,000 small files, and one file of 3 GiB, each
// archived with velk -c -E and extracted with velk -x -E into an empty
// directory (the small files with one reader thread and with fifty).  These runs take a
// minute and several GiB of disk, so they run only when VELK_LARGE_TESTS is
// set (the normal build of scripts/test.sh sets it).

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_gwsession.h"

namespace {

// Contents of small file i: its own name and a length that varies.
std::string smallContents(int i)
{
    std::string s = "file " + std::to_string(i) + "\n";
    s.resize(static_cast<size_t>((i * 37) % 3000), static_cast<char>('a' + i % 26));
    return s;
}

class VelkLarge : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        const char *wanted = getenv("VELK_LARGE_TESTS");
        if (wanted == nullptr || strcmp(wanted, "1") != 0)
            GTEST_SKIP() << "set VELK_LARGE_TESTS=1 to run the large round trips";
        velktest::VelkGatewayTest::SetUp();
    }

    // Archives src (relative to the scratch directory) and extracts it into
    // the empty directory out with -T threads.
    void roundTrip(const std::string &src, const std::string &out, const std::string &threads)
    {
        // A slow disk may need minutes for a few GiB: the timeout only
        // guards against a hang.
        velktest::RunOptions o = velkOptions();
        o.timeoutSeconds = 1200;
        auto c = velktest::runVelk({"-c", "-E", "-T", threads, "-f", out + ".tar", src}, o);
        ASSERT_EQ(c.status, 0) << c.err;
        ASSERT_EQ(c.out, "VELK: VELK SUCCESSFUL\n");
        ASSERT_EQ(mkdir((dir / out).c_str(), 0755), 0);
        o.cwd = dir / out;
        auto x = velktest::runVelk({"-x", "-E", "-T", threads, "-f", "../" + out + ".tar"}, o);
        ASSERT_EQ(x.status, 0) << x.err;
        EXPECT_NE(x.out.find("VELK: VELK SUCCESSFUL\n"), std::string::npos) << x.out;
    }
};

} // namespace

TEST_F(VelkLarge, FiftyThousandSmallFiles)
{
    constexpr int kFiles = 50000;
    constexpr int kDirs = 100;
    ASSERT_EQ(mkdir((dir / "many").c_str(), 0755), 0);
    for (int d = 0; d < kDirs; ++d)
        ASSERT_EQ(mkdir((dir / ("many/d" + std::to_string(d))).c_str(), 0755), 0);
    for (int i = 0; i < kFiles; ++i)
        velktest::writeFile(dir / ("many/d" + std::to_string(i % kDirs) + "/f" + std::to_string(i)), smallContents(i));

    for (const char *threads : {"1", "50"}) {
        std::string out = std::string("out") + threads;
        roundTrip("many", out, threads);
        int wrong = 0;
        for (int i = 0; i < kFiles && wrong < 5; ++i) {
            std::string rel = "many/d" + std::to_string(i % kDirs) + "/f" + std::to_string(i);
            if (velktest::readFile(dir / (out + "/" + rel)) != smallContents(i)) {
                ADD_FAILURE() << "-T " << threads << ": " << rel << " differs";
                ++wrong;
            }
        }
        // The listing holds every member and the consistency file.
        auto l = velk({"-t", "-E", "-f", out + ".tar"});
        EXPECT_EQ(l.status, 0) << l.err;
        EXPECT_EQ(velktest::lines(l.out).size(), static_cast<size_t>(kFiles + kDirs + 1 + 1 + 1));
        ASSERT_EQ(unlink((dir / (out + ".tar")).c_str()), 0);
    }
}

TEST_F(VelkLarge, ThreeGibibyteFile)
{
    constexpr off_t kSize = off_t{3} << 30;
    ASSERT_EQ(mkdir((dir / "big").c_str(), 0755), 0);
    std::string path = dir / "big/huge.bin";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, kSize), 0);
    // Marks at the start, across the 2 GiB boundary and at the very end, so
    // a mis-placed or truncated copy shows.
    struct {
        off_t at;
        const char *text;
    } marks[] = {{0, "start of the big file"},
                 {(off_t{2} << 30) - 7, "across two gibibytes"},
                 {kSize - 12, "the last 12."}};
    for (const auto &m : marks)
        ASSERT_EQ(pwrite(fd, m.text, strlen(m.text), m.at), static_cast<ssize_t>(strlen(m.text)));
    close(fd);

    // One round trip: local archives are written by a single copier, so the
    // reader count does not change how a big member's offsets are computed.
    roundTrip("big", "big4", "4");
    velktest::RunOptions slow; // a few GiB from a slow disk
    slow.timeoutSeconds = 1200;
    auto cmp = velktest::run({"/usr/bin/cmp", path, dir / "big4/big/huge.bin"}, slow);
    EXPECT_EQ(cmp.status, 0) << cmp.out << cmp.err;
}
