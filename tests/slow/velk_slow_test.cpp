// A 10 GB round trip through the storage system: ten files of 1,000 MiB
// archived with -H crc over four movers into kylgwd's tree, listed, and
// extracted into an empty directory, every file compared.  It takes many
// minutes and 30 GB of disk, so it runs only when VELK_SLOW_TESTS is 1 (CI
// does not set it); the times of the create and the extract are printed.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_gwsession.h"

namespace {

constexpr int kFiles = 10;
constexpr size_t kChunk = 1 << 20;
constexpr int kChunks = 1000;

class VelkSlow : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        const char *wanted = getenv("VELK_SLOW_TESTS");
        if (wanted == nullptr || strcmp(wanted, "1") != 0)
            GTEST_SKIP() << "set VELK_SLOW_TESTS=1 to run the 10 GB round trip";
        velktest::VelkGatewayTest::SetUp();
    }
};

TEST_F(VelkSlow, TenGigabytesThroughTheStorageSystem)
{
    // Every MiB starts with its file and chunk number, so a misplaced block
    // cannot compare equal.
    ASSERT_EQ(mkdir((dir / "data").c_str(), 0755), 0);
    std::string chunk = velktest::bytesOf(kChunk, 11);
    for (int f = 0; f < kFiles; f++) {
        int fd = open((dir / ("data/f" + std::to_string(f))).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        for (int c = 0; c < kChunks; c++) {
            snprintf(chunk.data(), 32, "file %02d chunk %06d", f, c);
            ASSERT_EQ(write(fd, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
        }
        close(fd);
    }
    velktest::RunOptions o = velkOptions();
    o.timeoutSeconds = 3600;
    auto seconds = [](auto since) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    };
    auto t0 = std::chrono::steady_clock::now();
    auto c = velktest::runVelk({"-c", "-H", "crc", "-Y", "4", "-f", "big.tar", "data"}, o);
    const double createSeconds = seconds(t0);
    ASSERT_EQ(c.status, 0) << c.err;
    ASSERT_EQ(c.out, "VELK: VELK SUCCESSFUL\n");

    auto l = velk({"-tv", "-H", "crc", "-f", "big.tar"});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(velktest::lines(l.out).size(), static_cast<size_t>(1 + kFiles + 1 + 1 + 1)) << l.out;

    ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
    o.cwd = dir / "out";
    t0 = std::chrono::steady_clock::now();
    auto x = velktest::runVelk({"-x", "-f", "big.tar"}, o);
    const double extractSeconds = seconds(t0);
    ASSERT_EQ(x.status, 0) << x.err;
    for (int f = 0; f < kFiles; f++) {
        const std::string name = "data/f" + std::to_string(f);
        auto cmp = velktest::run({"/usr/bin/cmp", dir / name, dir / ("out/" + name)}, o);
        EXPECT_EQ(cmp.status, 0) << name << cmp.out << cmp.err;
    }
    printf("10 GB through the storage system: create %.1f s (%.0f MB/s), extract %.1f s (%.0f MB/s)\n",
           createSeconds, kFiles * kChunks * double(kChunk) / createSeconds / 1e6, extractSeconds,
           kFiles * kChunks * double(kChunk) / extractSeconds / 1e6);
}

} // namespace
