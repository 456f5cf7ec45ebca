// A gateway with two mover daemons (kylgwd --mover on 127.0.0.2 and
// 127.0.0.3) over one served tree: velk's create and extract through them
// give the archive and the tree of the gateway's own movers, with stripes
// moved by both daemons from their own addresses; a daemon killed
// mid-create is worked around; a daemon with the wrong key is refused by
// the gateway, and a peer that is not the gateway by a daemon.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <future>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_gwsession.h"

namespace fs = std::filesystem;

namespace {

using velktest::readFile;
using velktest::writeFile;

constexpr const char *kArchive = "/home/demo/a.tar";
// The consistency member and the end block differ between two creates.
constexpr size_t kVaryingTail = 3 * 512;
constexpr const char *kKey = "0123456789abcdef0123456789abcdef";

class KylgwdMoverDaemons : public velktest::VelkGatewayTest {
protected:
    std::unique_ptr<velktest::KylgwdProcess> mover[2];
    const char *const hosts[2] = {"127.0.0.2", "127.0.0.3"};

    void SetUp() override
    {
        fs::create_directories(dir / "tree/sub");
        fs::create_directories(home()); // the tree the daemons share with the gateway
        writeFile(dir / "tree/big1", velktest::bytesOf(3000001, 1));
        writeFile(dir / "tree/sub/big2", velktest::bytesOf(2500123, 2));
        writeFile(dir / "tree/small", "small\n");
        ASSERT_TRUE(startMover(0, kKey));
        ASSERT_TRUE(startMover(1, kKey));
        ASSERT_TRUE(startGateway(gatewayConfig()));
        ASSERT_EQ(velk({"-c", "-E", "-f", "ref.tar", "tree"}).status, 0);
    }

    std::string moverDir(int i) const { return dir / ("m" + std::to_string(i + 1)); }

    // Starts mover daemon i on its address with a key file holding key.
    ::testing::AssertionResult startMover(int i, const std::string &key, const std::string &faults = "")
    {
        const std::string d = moverDir(i);
        fs::create_directories(d);
        writeFile(d + "/key", key);
        chmod((d + "/key").c_str(), 0600);
        writeFile(d + "/conf", "Site = {\n  mover_key = " + d + "/key\n}\n");
        writeFile(d + "/faults", faults);
        mover[i] = std::make_unique<velktest::KylgwdProcess>(d);
        mover[i]->setListen(std::string(hosts[i]) + ":0");
        return mover[i]->start({"--mover", "--root", root(), "--config", d + "/conf", "--faults", d + "/faults",
                                "--events", d + "/events"});
    }

    std::string gatewayConfig()
    {
        writeFile(dir / "gw.key", kKey);
        std::string c = "Site = {\n  mover_key = " + (dir / "gw.key") + "\n}\nMovers = {\n";
        for (int i = 0; i < 2; i++)
            c += "  m" + std::to_string(i + 1) + " = {\n    address = " + hosts[i] + ":" +
                 std::to_string(mover[i]->port()) + "\n  }\n";
        return c + "}\n";
    }

    // Event lines of file that contain every needle.
    size_t events(const std::string &file, const std::vector<std::string> &needles)
    {
        size_t n = 0;
        for (const std::string &l : velktest::lines(readFile(file))) {
            bool all = true;
            for (const std::string &w : needles)
                all = all && l.find(w) != std::string::npos;
            n += all;
        }
        return n;
    }

    void expectArchiveIsReference()
    {
        const std::string ref = readFile(dir / "ref.tar"), got = readFile(home() + "/a.tar");
        ASSERT_EQ(got.size(), ref.size());
        EXPECT_EQ(got.compare(0, got.size() - kVaryingTail, ref, 0, got.size() - kVaryingTail), 0);
    }
};

TEST_F(KylgwdMoverDaemons, CreateAndExtractMoveEveryStripeThroughBothDaemons)
{
    auto c = velk({"-c", "-Y", "4", "-f", kArchive, "tree"});
    ASSERT_EQ(c.status, 0) << c.err;
    expectArchiveIsReference();
    fs::create_directories(dir / "out");
    auto o = velkOptions();
    o.cwd = dir / "out";
    auto x = velktest::runVelk({"-xp", "-f", kArchive}, o);
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(velktest::treeOf(dir / "out/tree"), velktest::treeOf(dir / "tree"));
    // Width 4 over two daemons of weight 1: stripes 0 and 2 to m1, 1 and 3
    // to m2, in writes and reads alike; the gateway's own movers moved none.
    const std::string gwEvents = dir / "events";
    for (const char *fn : {"\"function\":2", "\"function\":1"}) {
        SCOPED_TRACE(fn);
        EXPECT_GT(events(gwEvents, {"\"event\":\"list\"", fn, "\"status\":0"}), 0u);
    }
    EXPECT_GT(events(gwEvents, {"mover_remote", "\"mover\":0,", "\"daemon\":\"m1\"", "\"status\":0"}), 0u);
    EXPECT_GT(events(gwEvents, {"mover_remote", "\"mover\":1,", "\"daemon\":\"m2\"", "\"status\":0"}), 0u);
    EXPECT_EQ(events(gwEvents, {"mover_remote", "\"mover\":1,", "\"daemon\":\"m1\""}), 0u);
    EXPECT_EQ(events(gwEvents, {"\"event\":\"mover\""}), 0u);
    for (int i = 0; i < 2; i++)
        EXPECT_GT(events(moverDir(i) + "/events", {"\"event\":\"mover\"", "\"status\":0"}), 0u) << i;
    // The gateway's key file was left readable by others; the daemons' not.
    EXPECT_NE(gw.logText().find("mover key " + (dir / "gw.key") + " is accessible to others"), std::string::npos);
    EXPECT_EQ(mover[0]->logText().find("is accessible to others"), std::string::npos);
    // velk itself sees the movers' connections come from both addresses:
    // admitting only the gateway's host refuses both.
    writeFile(dir / "QUOR.conf", "Restricted Addresses = {\n Default = {\n  127.0.0.1\n }\n}\n");
    auto r = velk({"-c", "-Y", "4", "-f", "/home/demo/b.tar", "tree"});
    ASSERT_FALSE(r.timedOut);
    EXPECT_NE(r.status, 0);
    for (const char *h : hosts)
        EXPECT_NE(r.err.find(std::string("restricted connection failed from ") + h), std::string::npos) << r.err;
}

TEST_F(KylgwdMoverDaemons, ADaemonKilledMidCreateLeavesItsStripesToTheOther)
{
    mover[0]->stop();
    ASSERT_TRUE(startMover(0, kKey, "mover_stall=30\n"));
    gw.stop();
    ASSERT_TRUE(startGateway(gatewayConfig()));
    auto run = std::async(std::launch::async, [&] { return velk({"-c", "-Y", "4", "-f", kArchive, "tree"}); });
    ASSERT_TRUE(velktest::waitForFileText(moverDir(0) + "/events", "mover_stall", 1, 30));
    kill(mover[0]->pid(), SIGKILL);
    auto c = run.get();
    ASSERT_FALSE(c.timedOut);
    ASSERT_EQ(c.status, 0) << c.err;
    expectArchiveIsReference();
    const std::string log = gw.logText();
    EXPECT_NE(log.find("mover daemon m1 (127.0.0.2:"), std::string::npos) << log;
    EXPECT_NE(log.find("is down"), std::string::npos) << log;
    // The request m1 broke off failed with an I/O error and was retried;
    // later stripes 0 and 2 went to m2.
    EXPECT_GT(events(dir / "events", {"\"event\":\"list\"", "\"status\":-5"}), 0u);
    EXPECT_GT(events(dir / "events", {"mover_remote", "\"mover\":0,", "\"daemon\":\"m2\"", "\"status\":0"}), 0u);
    EXPECT_EQ(mover[0]->stop(), 128 + SIGKILL);
}

TEST_F(KylgwdMoverDaemons, ADaemonWithTheWrongKeyIsRefusedAndTheOtherMovesAll)
{
    mover[1]->stop();
    ASSERT_TRUE(startMover(1, "another key, not the gateway's"));
    gw.stop();
    ASSERT_TRUE(startGateway(gatewayConfig()));
    auto c = velk({"-c", "-Y", "4", "-f", kArchive, "tree"});
    ASSERT_EQ(c.status, 0) << c.err;
    expectArchiveIsReference();
    EXPECT_NE(gw.logText().find("mover daemon m2 (127.0.0.3:" + std::to_string(mover[1]->port()) +
                                ") refused: it does not prove the mover key"),
              std::string::npos)
        << gw.logText();
    EXPECT_GT(events(dir / "events", {"mover_daemon", "\"daemon\":\"m2\"", "\"reason\":\"refused\""}), 0u);
    EXPECT_EQ(events(dir / "events", {"mover_remote", "\"daemon\":\"m2\""}), 0u);
    EXPECT_GT(events(dir / "events", {"mover_remote", "\"mover\":3,", "\"daemon\":\"m1\"", "\"status\":0"}), 0u);
    EXPECT_EQ(events(moverDir(1) + "/events", {"\"event\":\"mover\""}), 0u);
}

// Connects to mover daemon 0 from the gateway's host.
int connectToMover(const velktest::KylgwdProcess &m)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(m.port()));
    inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Bytes the peer sends until it closes (at most 5 s).
std::string drain(int s)
{
    std::string got;
    char buf[256];
    pollfd p{s, POLLIN, 0};
    while (poll(&p, 1, 5000) > 0) {
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

TEST_F(KylgwdMoverDaemons, APeerThatIsNotTheGatewayIsRefusedBeforeItsRequestIsRead)
{
    // A probe frame: type 1, no body.
    const std::string probe("\0\0\0\1\0\0\0\0", 8);
    struct Case {
        const char *what;
        std::string hello;    // first bytes sent
        bool answersHello;    // the daemon sends its own proof
        std::string proofOut; // what follows the daemon's answer
    } cases[] = {
        {"a client message", std::string("API_MSGH") + std::string(32, '\0') + probe, false, ""},
        {"the link's greeting without the key", std::string("KYLMVLK1") + std::string(32, 'n'), true,
         std::string(32, '\0') + probe},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int s = connectToMover(*mover[0]);
        ASSERT_GE(s, 0);
        ASSERT_EQ(send(s, c.hello.data(), c.hello.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.hello.size()));
        if (c.answersHello) {
            std::string answer(72, '\0');
            ASSERT_EQ(recv(s, answer.data(), answer.size(), MSG_WAITALL), 72);
            EXPECT_EQ(answer.substr(0, 8), "KYLMVLK1");
            (void)send(s, c.proofOut.data(), c.proofOut.size(), MSG_NOSIGNAL);
        }
        // No answer to the probe: the link just ends.
        EXPECT_EQ(drain(s), "");
        close(s);
    }
    EXPECT_TRUE(mover[0]->waitForLog("refused a connection from 127.0.0.1", 2, 10)) << mover[0]->logText();
    EXPECT_EQ(events(moverDir(0) + "/events", {"mover_refused", "127.0.0.1"}), 2u);
}

} // namespace
