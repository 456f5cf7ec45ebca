// kylgwd's process model, run as the real binary: command lines and
// configuration files that stop the start with their status and one line,
// a port already taken, detaching and stopping on SIGINT, the greeting
// bytes (typed here from the wire tables) and site values that follow the
// configuration file, a clean stop while workers hold replies back, and
// idle connections that cannot lock users out.

#include "gw_rawclient.h"
#include "kylgwd_fixture.h"
#include "velk_gwsession.h"
#include "velk_testsupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <thread>
#include <vector>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using velktest::GwHeader;
using velktest::GwRawClient;
using velktest::ScratchDir;

namespace {

// Connects, reads the greeting, hangs up and waits for the daemon to close.
bool greetAndHangUp(int port, std::string *greeting = nullptr)
{
    GwRawClient c;
    std::string bytes;
    if (!c.connect(port) || !c.read(60, &bytes))
        return false;
    if (greeting != nullptr)
        *greeting = bytes;
    c.shutdownWrite();
    return bytes.compare(0, 8, "API_MSGH") == 0 && c.closedByPeer();
}

TEST(KylgwdDaemon, BadStartsEndWithTheirStatusAndOneLine)
{
    ScratchDir scratch;
    std::string root = scratch / "root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    // A port another kylgwd listens on.
    ScratchDir other;
    velktest::KylgwdProcess busy(other.path());
    ASSERT_TRUE(busy.start());
    const std::string busyAddr = "127.0.0.1:" + std::to_string(busy.port());
    const std::vector<std::string> served{"--root", root, "--listen", "127.0.0.1:0"};
    const struct {
        std::vector<std::string> args;
        std::string config; // written to bad.conf and named with --config when not empty
        int status;
        std::string message;
    } cases[] = {
        {{"--root", root, "--bogus"}, "", 64, "kylgwd: unknown option '--bogus'"},
        {served, "Site = {\n  umask = 022\n  colour = blue\n}\n", 78, "bad.conf:3: unknown key 'colour'"},
        {{"--root", root, "--listen", busyAddr, "--portfile", scratch / "port"}, "", 1,
         "cannot listen on " + busyAddr + ": Address already in use"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv{velktest::kylgwdBinary(), "--foreground"};
        if (!c.config.empty()) {
            velktest::writeFile(scratch / "bad.conf", c.config);
            argv.insert(argv.end(), {"--config", scratch / "bad.conf"});
        }
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = velktest::run(argv);
        SCOPED_TRACE(c.message);
        // A port taken is a failure of the start, not of its arguments.
        EXPECT_TRUE(c.status == 1 ? r.status != 0 : r.status == c.status) << r.status << " " << r.err;
        EXPECT_TRUE(c.status == 1 || r.err.rfind("kylgwd: ", 0) == 0) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(c.status != 64 || velktest::lines(r.err).size() == 1) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    EXPECT_FALSE(velktest::exists(scratch / "port"));

    // Detaching, the failure comes back to the caller through the parent.
    auto bg = velktest::run({velktest::kylgwdBinary(), "--root", root, "--listen", busyAddr, "--portfile",
                             scratch / "port", "--log", scratch / "bg.log"});
    EXPECT_NE(bg.status, 0);
    EXPECT_NE(bg.err.find("cannot listen on " + busyAddr + ": Address already in use"), std::string::npos) << bg.err;
    EXPECT_NE(velktest::readFile(scratch / "bg.log").find("Address already in use"), std::string::npos);
    EXPECT_FALSE(velktest::exists(scratch / "port"));
}

TEST(KylgwdDaemon, CheckConfigReportsEveryProblemWithItsLine)
{
    ScratchDir scratch;
    const std::string sample = std::filesystem::path(VELK_TEST_DATA).parent_path().parent_path() / "packaging/kylgwd.conf";
    const struct {
        std::string text; // written to c.conf; empty: check the shipped sample
        int status;
        std::vector<std::string> messages; // on standard error, one line each
    } cases[] = {
        {"", 0, {}},
        {"Movers = {\n}\nSite = {\n  umask = 9x\n  login_timeout = 5\n}\nColours = {\n  red = 1\n}\nSite = {\n"
         "  colour = blue\n}\n",
         78,
         {"c.conf:1: section Movers names no mover daemon", "c.conf:4: 'umask' needs a number",
          "c.conf:7: unknown section 'Colours'", "c.conf:11: unknown key 'colour'", "c.conf: 4 problems found"}},
    };
    for (const auto &c : cases) {
        const std::string file = c.text.empty() ? sample : scratch / "c.conf";
        if (!c.text.empty())
            velktest::writeFile(file, c.text);
        auto r = velktest::run({velktest::kylgwdBinary(), "--check-config", file});
        SCOPED_TRACE(file);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(velktest::lines(r.err).size(), c.messages.size()) << r.err;
        for (const std::string &m : c.messages)
            EXPECT_NE(r.err.find(m), std::string::npos) << m << "\n" << r.err;
        EXPECT_EQ(r.out.empty(), c.status != 0) << r.out;
    }
}

TEST(KylgwdDaemon, DetachesServesAndStopsOnSigint)
{
    ScratchDir scratch;
    std::string root = scratch / "root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    std::string portFile = scratch / "port", pidFile = scratch / "pid", logFile = scratch / "kylgwd.log";

    auto r = velktest::run({velktest::kylgwdBinary(), "--listen", "127.0.0.1:0", "--root", root, "--portfile",
                            portFile, "--pidfile", pidFile, "--log", logFile});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    // The caller returned only once the daemon listened.
    ASSERT_TRUE(velktest::exists(portFile));
    ASSERT_TRUE(velktest::exists(pidFile));
    pid_t pid = static_cast<pid_t>(std::stol(velktest::readFile(pidFile)));
    int port = std::stoi(velktest::readFile(portFile));
    ASSERT_GT(pid, 1);
    // Make sure the daemon goes away even when an assertion below fails.
    std::unique_ptr<pid_t, void (*)(pid_t *)> reaper(&pid, [](pid_t *p) { kill(*p, SIGKILL); });

    EXPECT_NE(velktest::readFile(logFile).find("kylgwd[" + std::to_string(pid) + "]: starting"), std::string::npos);
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(greetAndHangUp(port));

    ASSERT_EQ(kill(pid, SIGINT), 0);
    ASSERT_TRUE(velktest::waitForFileText(logFile, "]: stopped")) << velktest::readFile(logFile);
    (void)reaper.release();
    std::string log = velktest::readFile(logFile);
    EXPECT_NE(log.find("received SIGINT: stopping"), std::string::npos) << log;
    EXPECT_EQ(velktest::countOccurrences(log, "client closed the connection"), 3u) << log;
    EXPECT_FALSE(velktest::exists(portFile));
    EXPECT_FALSE(velktest::exists(pidFile));
}

TEST(KylgwdDaemon, GreetingAndSiteValuesFromTheConfigurationThenAStopWhileRepliesAreHeldBack)
{
    ScratchDir scratch;
    velktest::KylgwdProcess gw(scratch.path());
    velktest::writeFile(scratch / "kylgwd.conf", "Site = {\n    server_runmode = 2\n    auth_crypto_card = 3\n"
                                                 "    max_mbytes_per_iod = 16\n    app_copies = 2\n    umask = 027\n"
                                                 "    startupCOS = 4\n    sv_major = 7\n    sv_minor = 4\n"
                                                 "    sv_patch = 1\n}\n");
    // Held back far longer than the fixture waits for the stop: only a stop
    // that wakes the workers ends in time.
    velktest::writeFile(scratch / "faults", "delay_reply=1792/257,600000\n");
    ASSERT_TRUE(gw.start({"--config", scratch / "kylgwd.conf", "--faults", scratch / "faults", "--events",
                          scratch / "events"}));

    std::string g;
    ASSERT_TRUE(greetAndHangUp(gw.port(), &g));
    // Header: sanity, request id 0, body flag, (time), thread 0, 256/0, 0;
    // then protocol 67.2, version 7.4.1, not down.
    EXPECT_EQ(g.substr(0, 16), std::string("API_MSGH" "\0\0\0\0" "\x80\0\0\0", 16));
    EXPECT_EQ(g.substr(20), std::string("\0\0\0\0" "\0\0\1\0" "\0\0\0\0" "\0\0\0\0" "\0\0\0\x43" "\0\0\0\2"
                                        "\0\0\0\7" "\0\0\0\4" "\0\0\0\1" "\0\0\0\0", 40));

    // The site information follows the configuration file.
    GwRawClient a, b;
    GwHeader h;
    std::vector<uint32_t> w;
    ASSERT_TRUE(a.connect(gw.port()) && a.readGreeting(&h, &w));
    ASSERT_TRUE(b.connect(gw.port()) && b.readGreeting(&h, &w));
    ASSERT_TRUE(a.send(velktest::gwRequest(34, 256, 1, std::string("\0\0\0\x43\0\0\0\x02", 8)))); // 67.2
    ASSERT_TRUE(a.readHeader(&h) && a.readWords(34, &w));
    EXPECT_EQ(h.requestId, 34u);
    const std::pair<size_t, uint32_t> fields[] = {{0, 0},  {1, 2},   {2, 7},      {3, 4},   {4, 1},   {5, 67},
                                                  {6, 2},  {10, 0x250}, {11, 3}, {12, 2},  {15, 1},  {22, 16},
                                                  {23, 2}, {25, 027}, {28, 4}};
    for (const auto &[at, value] : fields)
        EXPECT_EQ(w[at], value) << "word " << at;

    // Log messages whose replies are held back.
    const std::string log = std::string("\0\0\0\0\x02\0\0\0", 8) + velktest::gwXdrString("held");
    ASSERT_TRUE(a.send(velktest::gwRequest(35, 1792, 257, log) + velktest::gwRequest(36, 1792, 257, log)));
    ASSERT_TRUE(b.send(velktest::gwRequest(37, 1792, 257, log)));
    ASSERT_TRUE(velktest::waitForFileText(scratch / "events", "\"fault\":\"delay_reply\"", 3));
    EXPECT_EQ(gw.stop(), 0) << gw.logText();
    EXPECT_TRUE(a.closedByPeer());
    EXPECT_TRUE(b.closedByPeer());
    EXPECT_NE(gw.logText().find("]: stopped"), std::string::npos);
}

// Keeps n connections from 127.0.0.1 open without ever logging in, reading
// and dropping what the gateway sends, and opens a new one for each that
// the gateway closes, until stopped: what a user who wants to lock others
// out of the gateway does.
class IdleFlood {
public:
    IdleFlood(int port, size_t n) : port_(port), fds_(n, -1), thread_([this] { run(); }) {}
    ~IdleFlood() { stop(); }
    void stop()
    {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
        for (int &fd : fds_)
            if (fd >= 0)
                ::close(fd);
    }
    size_t reopened() const { return reopened_.load(); }

private:
    static int connectTo(int port)
    {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0)
            return fd;
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    void run()
    {
        while (!stop_.load()) {
            for (int &fd : fds_) {
                if (fd >= 0)
                    continue;
                fd = connectTo(port_);
                if (fd >= 0)
                    reopened_++;
            }
            std::vector<struct pollfd> p;
            for (int fd : fds_)
                p.push_back({fd, POLLIN, 0});
            if (poll(p.data(), p.size(), 20) <= 0)
                continue;
            for (size_t i = 0; i < p.size(); i++) {
                char buf[4096];
                if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) && recv(fds_[i], buf, sizeof buf, MSG_DONTWAIT) <= 0) {
                    ::close(fds_[i]);
                    fds_[i] = -1;
                }
            }
        }
    }
    int port_;
    std::vector<int> fds_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> reopened_{0};
    std::thread thread_;
};

class KylgwdLoginLimits : public velktest::VelkGatewayTest {
protected:
    void SetUp() override {}
};

// 32 idle connections held open and reopened against a limit of 16 idle
// ones per address: every real run from that address still logs in, the
// idle ones being closed to make room, and the log says so in a line or two.
TEST_F(KylgwdLoginLimits, IdleConnectionsFromOneAddressCannotLockUsersOut)
{
    ASSERT_TRUE(startGateway("Site = {\n  login_timeout = 30\n  max_preauth_per_peer = 16\n}\n"));
    velktest::writeFile(dir / "f", "some data");
    IdleFlood flood(gw.port(), 32);
    usleep(2500 * 1000); // the flood's connections are idle now
    for (int i = 0; i < 4; i++) {
        auto r = velk({"-c", "-E", "-f", "a" + std::to_string(i) + ".tar", "f"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "VELK: VELK SUCCESSFUL\n");
    }
    flood.stop();
    EXPECT_GT(flood.reopened(), 32u); // the gateway closed idle ones
    const std::string log = gw.logText();
    size_t evictions = velktest::countOccurrences(log, "closing idle connection from 127.0.0.1:");
    EXPECT_GE(evictions, 1u);
    EXPECT_LE(evictions, 2u) << log; // at most one line per ten seconds
}

// A gateway whose sessions are all busy turns a newcomer away before its
// greeting; velk says once that it retries, and gets in when room is made.
TEST_F(KylgwdLoginLimits, ARunTurnedAwayByAFullGatewayRetriesUntilThereIsRoom)
{
    ASSERT_TRUE(startGateway("Site = {\n  max_sessions = 2\n}\n"));
    velktest::writeFile(dir / "f", "some data");
    // Two connections that keep sending a byte of a request now and then:
    // busy logging in, never closed to make room.
    std::vector<std::unique_ptr<GwRawClient>> busy;
    for (int i = 0; i < 2; i++) {
        busy.push_back(std::make_unique<GwRawClient>());
        ASSERT_TRUE(busy.back()->connect(gw.port()));
    }
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        while (!stop.load()) {
            for (auto &c : busy)
                (void)c->send(std::string(1, '\0'));
            usleep(200 * 1000);
        }
    });
    velktest::RunResult r;
    std::thread run([&] { r = velk({"-c", "-E", "-f", "a.tar", "f"}, {{"QUOR_CONNECT_TIMEOUT", "20"}}); });
    usleep(1500 * 1000);
    stop.store(true);
    feeder.join();
    for (auto &c : busy)
        c->close();
    run.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(velktest::countOccurrences(r.err, "closed the connection before its greeting; retrying for up to 20 "
                                                "seconds"),
              1u)
        << r.err;
    EXPECT_EQ(r.out, "VELK: VELK SUCCESSFUL\n");
}

// 64 runs at once from one address, each a create then an extract of its
// own tree, while 32 idle connections from that address are held open and
// reopened: all of them end well with the trees they archived.
TEST_F(KylgwdLoginLimits, ManyConcurrentRunsFromOneAddressAllGetThrough)
{
    ASSERT_TRUE(startGateway());
    // kylgwd's threads and open descriptors when idle, and after the burst.
    const std::string proc = "/proc/" + std::to_string(gw.pid());
    auto usage = [&proc] {
        size_t fds = 0;
        for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(proc + "/fd"))
            fds++;
        const std::string status = velktest::readFile(proc + "/status");
        size_t at = status.find("Threads:");
        return std::make_pair(at == std::string::npos ? 0 : std::stoul(status.substr(at + 8)), fds);
    };
    const auto idle = usage();
    constexpr int kRuns = 64;
    for (int i = 0; i < kRuns; i++) {
        const std::string t = dir / ("t" + std::to_string(i));
        ASSERT_EQ(mkdir(t.c_str(), 0755), 0);
        velktest::writeFile(t + "/a", "run " + std::to_string(i));
        velktest::writeFile(t + "/b", std::string(5000 + i, 'x'));
    }
    IdleFlood flood(gw.port(), 32);
    std::vector<velktest::RunResult> results(kRuns);
    std::vector<std::thread> runs;
    for (int i = 0; i < kRuns; i++) {
        runs.emplace_back([this, i, &results] {
            const std::string n = std::to_string(i);
            auto c = velk({"-c", "-E", "-f", "a" + n + ".tar", "t" + n});
            if (c.status != 0) {
                results[i] = c;
                return;
            }
            const std::string out = dir / ("x" + n);
            mkdir(out.c_str(), 0755);
            auto o = velkOptions({}, "");
            o.cwd = out;
            results[i] = velktest::runVelk({"-x", "-E", "-f", "../a" + n + ".tar"}, o);
        });
    }
    for (auto &t : runs)
        t.join();
    flood.stop();
    // Every session ends and is joined: nothing is left behind per session.
    auto after = usage();
    for (int i = 0; i < 100 && after != idle; i++) {
        usleep(100 * 1000);
        after = usage();
    }
    EXPECT_EQ(after, idle) << "threads and descriptors of kylgwd, idle and after the burst";
    for (int i = 0; i < kRuns; i++) {
        const std::string n = std::to_string(i);
        EXPECT_EQ(results[i].status, 0) << "run " << i << ": " << results[i].err;
        EXPECT_EQ(velktest::readFile(dir / ("x" + n + "/t" + n + "/a")), "run " + n);
        EXPECT_EQ(velktest::readFile(dir / ("x" + n + "/t" + n + "/b")), std::string(5000 + i, 'x'));
    }
}

} // namespace

TEST(KylgwdDaemon, StartupWarnsAboutUnusableExposureAndReadableKeytabs)
{
    ScratchDir scratch;
    std::string root = scratch / "root", keytab = scratch / "u.keytab", conf = scratch / "gw.conf";
    std::string log = scratch / "gw.log", pidFile = scratch / "pid";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    velktest::writeFile(keytab, "secret");
    const std::string user = "Users = {\n u = {\n uid = 1\n gid = 1\n home = /h\n keytab = " + keytab + "\n }\n}\n";
    const struct {
        std::string listen, config;
        mode_t keytabMode;
        bool exposed, readable; // warnings expected
    } cases[] = {
        {"0.0.0.0:0", "", 0600, true, false},
        {"127.0.0.1:0", "", 0600, false, false},
        {"0.0.0.0:0", user, 0600, false, false},
        {"127.0.0.1:0", user, 0644, false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.listen + c.config);
        ASSERT_EQ(chmod(keytab.c_str(), c.keytabMode), 0);
        velktest::writeFile(conf, c.config);
        velktest::writeFile(log, "");
        auto r = velktest::run({velktest::kylgwdBinary(), "--listen", c.listen, "--root", root, "--config", conf,
                                "--pidfile", pidFile, "--log", log});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(kill(static_cast<pid_t>(std::stol(velktest::readFile(pidFile))), SIGTERM), 0);
        ASSERT_TRUE(velktest::waitForFileText(log, "]: stopped"));
        const std::string text = velktest::readFile(log);
        EXPECT_EQ(text.find("warning: listening on 0.0.0.0:") != std::string::npos, c.exposed) << text;
        const std::string modeWarning = "warning: keytab " + keytab + " of user u is accessible to others (mode 0644)";
        EXPECT_EQ(text.find(modeWarning) != std::string::npos, c.readable) << text;
    }
}

TEST(KylgwdDaemon, TellsTheServiceManagerWhenReadyAndWhenStopping)
{
    ScratchDir scratch;
    // A socket path must fit in sun_path (108 bytes), which a deep scratch
    // directory may not: the path form lives in a short directory of its own.
    char shortDir[] = "/tmp/kyln.XXXXXX";
    ASSERT_NE(mkdtemp(shortDir), nullptr);
    std::unique_ptr<char, void (*)(char *)> remover(shortDir, [](char *d) {
        unlink((std::string(d) + "/notify").c_str());
        rmdir(d);
    });
    const std::string names[] = {std::string(shortDir) + "/notify", "@kylgwd-notify-" + std::to_string(getpid())};
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        struct sockaddr_un sa {};
        sa.sun_family = AF_UNIX;
        memcpy(sa.sun_path, name.data(), name.size());
        if (sa.sun_path[0] == '@')
            sa.sun_path[0] = '\0';
        const auto len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *p) { close(*p); });
        ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&sa), len), 0) << strerror(errno);
        auto receive = [fd] {
            struct pollfd p = {fd, POLLIN, 0};
            char buf[256];
            ssize_t n = poll(&p, 1, 60000) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
            return n < 0 ? std::string("(nothing)") : std::string(buf, static_cast<size_t>(n));
        };
        // The daemon inherits the variable from this process.
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
        velktest::KylgwdProcess gw(scratch.path());
        auto started = gw.start();
        unsetenv("NOTIFY_SOCKET");
        ASSERT_TRUE(started);
        EXPECT_EQ(receive(), "READY=1\nMAINPID=" + std::to_string(gw.pid()));
        EXPECT_EQ(gw.stop(), 0);
        EXPECT_EQ(receive(), "STOPPING=1");
    }
}
