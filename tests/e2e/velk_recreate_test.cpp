// Creating an archive over one that exists, end to end against a real
// kylgwd: the new archive and index replace the old ones only once
// complete.  A create stopped by a signal, killed, or out of space leaves
// the old archive and index byte for byte and no temporary files (a kill
// leaves its temporary files, which the next create does not trip over); an
// index that cannot be put in place is kept and still reads the archive.
// (Failed storage-system creates: velk_quorcreate_test.)

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "velk_gwsession.h"
#include "velk_testproc.h"

namespace {

using velktest::readFile;
using velktest::writeFile;

// Names in directory d that a create writes only for the time being: the
// temporary archive and index files and the consistency file.
long tempFiles(const std::string &d)
{
    return std::count_if(std::filesystem::directory_iterator(d), {},
                         [](const auto &e) { return strcasestr(e.path().filename().c_str(), "velk") != nullptr; });
}

// velk run in the background with its standard error in dir/err and its
// standard output on a FIFO of one page that the test reads only in
// drain(): the -v member lines of a create fill it, so the run blocks in
// the middle of its copy, its temporary archive made, until drained.
struct HeldVelk {
    HeldVelk(const velktest::RunOptions &o, const std::vector<std::string> &args, const std::string &dir,
             bool ignoreTerm = false)
    {
        std::string fifo = dir + "/out";
        unlink(fifo.c_str());
        if (mkfifo(fifo.c_str(), 0600) != 0 || (out = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) < 0)
            return;
        (void)fcntl(out, F_SETPIPE_SZ, 4096);
        child = velktest::startVelk(args, o, fifo, dir + "/err", [ignoreTerm] {
            if (ignoreTerm)
                signal(SIGTERM, SIG_IGN); // as under nohup
        });
    }
    ~HeldVelk() { close(out); }

    // Standard output to its end (call once velk has started).
    std::string drain()
    {
        std::string text;
        char buf[4096];
        auto deadline = velktest::Clock::now() + velktest::kGenerousWait;
        struct pollfd p = {out, POLLIN, 0};
        for (ssize_t n; poll(&p, 1, velktest::msLeft(deadline)) > 0 && (n = read(out, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<size_t>(n));
        return text;
    }

    // The exit status, 128 + the signal that ended it, or -1 when it hung.
    int wait()
    {
        int st = 0;
        if (!child || !child->wait(&st))
            return -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    int out = -1;
    std::unique_ptr<velktest::ForkedChild> child;
};

const std::string kStopped = "VELK: run failed; exit status 72\nVELK: VELK FAILED DUE TO FORCED SHUTDOWN\n";

class VelkRecreate : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        velktest::VelkGatewayTest::SetUp();
        ASSERT_EQ(mkdir((dir / "tmp").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "tree").c_str(), 0755), 0);
        // Member lines of about 100 bytes, enough to fill the held pipe
        // twice over.
        members = static_cast<int>(sysconf(_SC_PAGESIZE) / 50);
        for (int i = 0; i < members; ++i)
            writeFile(dir / ("tree/" + std::string(90, 'm') + std::to_string(i)), velktest::bytesOf(1000, i));
        writeFile(dir / "old.txt", "the old archive's member\n");
    }

    velktest::RunOptions options(std::map<std::string, std::string> env = {})
    {
        env["TMPDIR"] = dir / "tmp";
        return velkOptions(env);
    }

    // Makes the archive at name from old.txt and remembers it and its index.
    void makeOld(const std::string &name)
    {
        auto r = velktest::runVelk({"-c", "-E", "-f", name, "old.txt"}, options());
        ASSERT_EQ(r.status, 0) << r.err;
        oldArchive = readFile(dir / name);
        oldIndex = readFile(dir / (name + ".idx"));
    }

    void expectOldKept(const std::string &name, const std::string &what)
    {
        EXPECT_EQ(readFile(dir / name), oldArchive) << what;
        EXPECT_EQ(readFile(dir / (name + ".idx")), oldIndex) << what;
    }

    int members = 0;
    std::string oldArchive, oldIndex;
};

} // namespace

TEST_F(VelkRecreate, SignalsStopTheCreateAndTheOldArchiveStays)
{
    struct Case {
        const char *what;
        int sig;
        bool ignored; // ignored when velk started
        int status;
    };
    const Case cases[] = {{"SIGINT", SIGINT, false, 72},   {"SIGHUP", SIGHUP, false, 72},
                          {"SIGTERM", SIGTERM, false, 72}, {"SIGUSR1", SIGUSR1, false, 72},
                          {"SIGTERM", SIGTERM, true, 0},   {"SIGKILL", SIGKILL, false, 128 + SIGKILL}};
    for (const Case &c : cases) {
        makeOld("a.tar");
        HeldVelk run(options(), {"-cv", "-d", "1", "-E", "-f", "a.tar", "tree"}, dir.path(), c.ignored);
        ASSERT_TRUE(run.child);
        std::string tmpArchive = dir / (".a.tar.velk-" + std::to_string(run.child->pid()) + ".tmp");
        auto deadline = velktest::Clock::now() + velktest::kGenerousWait;
        while (!velktest::exists(tmpArchive) && velktest::Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(velktest::exists(tmpArchive)) << c.what << readFile(dir / "err");
        ASSERT_EQ(kill(run.child->pid(), c.sig), 0);
        // The shutdown flag is up before the signal thread says so.
        if (c.status == 72) {
            ASSERT_TRUE(velktest::waitForFileText(dir / "err", std::string("caught signal ") + c.what)) << c.what;
        }
        std::string out = run.drain();
        ASSERT_EQ(run.wait(), c.status) << c.what << readFile(dir / "err");
        std::string ending = c.status == 0 ? "VELK: VELK SUCCESSFUL\n" : c.status == 72 ? kStopped : "";
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), ending.size())), ending) << c.what;
        if (c.status == 0) {
            EXPECT_NE(readFile(dir / "a.tar"), oldArchive) << c.what;
            EXPECT_TRUE(velktest::exists(dir / "a.tar.idx")) << c.what;
        } else {
            expectOldKept("a.tar", c.what);
        }
        if (c.sig == SIGKILL) {
            EXPECT_TRUE(velktest::exists(tmpArchive));
        } else {
            EXPECT_EQ(tempFiles(dir.path()) + tempFiles(dir / "tmp"), 0) << c.what;
        }
    }
    // What the killed run left behind does not stop the next create.
    auto r = velktest::runVelk({"-c", "-E", "-f", "a.tar", "tree"}, options());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(velktest::lines(velk({"-t", "-E", "-f", "a.tar"}).out).size(), static_cast<size_t>(members) + 3);
}

TEST_F(VelkRecreate, FullFileSystemLeavesTheOldArchive)
{
    ASSERT_EQ(mkdir((dir / "fs").c_str(), 0755), 0);
    if (mount("tmpfs", (dir / "fs").c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << strerror(errno)
                     << "); the writer's no-space ending is also shown by the local archive writer's unit test";
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{dir / "fs"};
    makeOld("fs/a.tar");
    writeFile(dir / "big.bin", velktest::bytesOf(1 << 20, 7));

    // Giving up at once; waiting, until a signal ends the wait.
    auto r = velktest::runVelk({"-c", "-E", "-f", "fs/a.tar", "big.bin"}, options({{"VELK_NOSPACE_WAIT", "0"}}));
    EXPECT_EQ(r.status, 72);
    EXPECT_NE(r.err.find("ERROR: No space left writing fs/a.tar for 0 seconds - giving up\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, velktest::failedEnding(72));
    expectOldKept("fs/a.tar", "gave up");
    EXPECT_EQ(tempFiles(dir / "fs") + tempFiles(dir / "tmp"), 0);

    HeldVelk run(options({{"VELK_NOSPACE_WAIT", "600"}}), {"-c", "-E", "-f", "fs/a.tar", "big.bin"}, dir.path());
    ASSERT_TRUE(velktest::waitForFileText(dir / "err", "NO SPACE writing to local file: fs/a.tar")) << readFile(dir / "err");
    ASSERT_EQ(kill(run.child->pid(), SIGTERM), 0);
    EXPECT_EQ(run.drain(), kStopped);
    EXPECT_EQ(run.wait(), 72);
    expectOldKept("fs/a.tar", "stopped while waiting");
    EXPECT_EQ(tempFiles(dir / "fs") + tempFiles(dir / "tmp"), 0);
}

TEST_F(VelkRecreate, IndexThatCannotBePlacedIsKeptAndReadsTheArchive)
{
    // The index name is a directory: the rename onto it fails after the
    // archive is complete.
    ASSERT_EQ(mkdir((dir / "idx").c_str(), 0755), 0);
    auto r = velktest::runVelk({"-c", "-E", "-H", "rmlocal", "-f", "a.tar", "-I", "idx", "tree"}, options());
    EXPECT_EQ(r.status, 72);
    EXPECT_EQ(r.out, velktest::failedEnding(72));
    size_t at = r.err.find("was kept as ");
    ASSERT_NE(at, std::string::npos) << r.err;
    std::string keptIndex = r.err.substr(at + 12, r.err.find(' ', at + 12) - at - 12);
    EXPECT_TRUE(velktest::exists(dir / ("tree/" + std::string(90, 'm') + "0"))) << "rmlocal ran";
    auto l = velk({"-t", "-E", "-f", "a.tar", "-I", keptIndex});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(velktest::lines(l.out).size(), static_cast<size_t>(members) + 3) << l.out;
}

