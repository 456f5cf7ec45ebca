// -H rmlocal end to end (a local archive, against a real kylgwd): a file that
// grows while it is copied is never removed and fails the run, while its
// untouched neighbour goes, although the operand names them through a
// symbolic link.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_gwsession.h"
#include "velk_testproc.h"

namespace {

using velktest::exists;
using velktest::writeFile;

class VelkRmlocal : public velktest::VelkGatewayTest {};

TEST_F(VelkRmlocal, FileGrowingWhileItIsCopiedIsKeptAndItsUntouchedNeighbourRemoved)
{
    ASSERT_EQ(mkdir((dir / "tree").c_str(), 0755), 0);
    std::string logData = velktest::bytesOf(1 << 20, 7);
    writeFile(dir / "tree/log", logData);
    writeFile(dir / "tree/steady", "left alone\n");
    // The operand's own path may pass through a link; below it none is taken.
    ASSERT_EQ(symlink(".", (dir / "via").c_str()), 0);
    // The archive goes to a pipe that the test reads: once the stream is
    // inside log's data, velk cannot finish copying log (far more than a
    // pipe holds) until the test reads on, so the append lands mid-copy.
    int stream[2];
    ASSERT_EQ(pipe2(stream, O_CLOEXEC), 0);
    auto child = velktest::startVelk({"-c", "-f", "-", "-I", "a.idx", "-H", "rmlocal", "via/tree"}, velkOptions(),
                                     "/proc/self/fd/" + std::to_string(stream[1]), dir / "err");
    close(stream[1]);
    std::string archive;
    char buf[65536];
    for (ssize_t n = 1; n > 0;) {
        n = read(stream[0], buf, archive.size() < 4096 ? 4096 - archive.size() : sizeof buf);
        archive.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
        if (archive.size() == 4096) {
            int fd = open((dir / "tree/log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            EXPECT_GE(fd, 0);
            EXPECT_EQ(write(fd, "+", 1), 1);
            close(fd);
        }
    }
    close(stream[0]);
    EXPECT_TRUE(velktest::exitsWith(*child, 72)) << velktest::readFile(dir / "err");
    std::string err = velktest::readFile(dir / "err");
    // The archive holds log's indexed bytes; the file stays, steady goes.
    EXPECT_EQ(archive.substr(1024, logData.size()), logData);
    EXPECT_TRUE(exists(dir / "tree/log"));
    EXPECT_FALSE(exists(dir / "tree/steady"));
    EXPECT_NE(err.find("WARNING: via/tree/log: changed during archiving\n"), std::string::npos) << err;
    EXPECT_NE(err.find("VELK: failures: 1 changed during archiving; exit status 72\nVELK: VELK FAILED\n"),
              std::string::npos)
        << err;
}

} // namespace
