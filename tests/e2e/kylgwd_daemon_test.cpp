// kylgwd's process model, run as the real binary: options and their errors,
// the port file, accepting and closing connections, clean stops by signal,
// detaching, and many connections at once.

#include "kylgwd_fixture.h"
#include "velk_testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using velktest::KylgwdProcess;
using velktest::ScratchDir;

namespace {

constexpr int kUsageStatus = 64;
constexpr int kIoTimeoutMs = 30000;

bool fileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Connects to 127.0.0.1:port; returns the socket or -1.  *localPort gets the
// client's own port, which the daemon logs as the peer.
int connectLoopback(int port, int *localPort = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    if (localPort) {
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &len);
        *localPort = ntohs(sa.sin_port);
    }
    return fd;
}

// Waits for the daemon to close the connection: true when the socket reads
// end-of-file (or a reset) with no data before it.
bool closedByPeer(int fd)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, kIoTimeoutMs) != 1)
        return false;
    char c;
    ssize_t got = recv(fd, &c, 1, 0);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

// Reads the greeting kylgwd sends on every new connection (a 36-byte header
// and six words), hangs up its own side, and waits for the daemon to close.
bool greetAndHangUp(int fd)
{
    unsigned char greeting[60];
    size_t got = 0;
    while (got < sizeof greeting) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, kIoTimeoutMs) != 1)
            return false;
        ssize_t n = recv(fd, greeting + got, sizeof greeting - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    if (memcmp(greeting, "API_MSGH", 8) != 0)
        return false;
    shutdown(fd, SHUT_WR);
    return closedByPeer(fd);
}

// A listening socket on a free loopback port, held by the test.
struct BusyPort {
    int fd = -1;
    int port = 0;
    BusyPort()
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0 && listen(fd, 1) == 0 &&
            getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &len) == 0)
            port = ntohs(sa.sin_port);
    }
    ~BusyPort() { close(fd); }
};

velktest::RunResult runKylgwd(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{velktest::kylgwdBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    velktest::RunOptions opts;
    opts.timeoutSeconds = 60;
    return velktest::run(argv, opts);
}

std::string lastLine(const std::string &text)
{
    auto all = velktest::lines(text);
    return all.empty() ? std::string() : all.back();
}

} // namespace

TEST(KylgwdDaemon, StartsOnAFreePortAndLogsItsSetup)
{
    ScratchDir scratch;
    KylgwdProcess gw(scratch.path());
    ASSERT_TRUE(gw.start({"--runmode", "2"}));

    EXPECT_EQ(velktest::readFile(gw.portFilePath()), std::to_string(gw.port()) + "\n");
    EXPECT_NE(gw.port(), 1217);
    std::string log = gw.logText();
    char root[PATH_MAX];
    ASSERT_NE(realpath(gw.rootPath().c_str(), root), nullptr);
    EXPECT_NE(log.find("starting: listening on 127.0.0.1:" + std::to_string(gw.port()) +
                       ", run mode 2 (file-system gateway), root " + root),
              std::string::npos)
        << log;
    if (geteuid() == 0)
        EXPECT_NE(log.find("running as root"), std::string::npos) << log;
    else
        EXPECT_NE(log.find("running unprivileged: every user acts as uid " + std::to_string(geteuid())),
                  std::string::npos)
            << log;
    // Every line carries a UTC timestamp and the daemon's pid.
    for (const auto &line : velktest::lines(log)) {
        ASSERT_GE(line.size(), 25u) << line;
        EXPECT_EQ(line[4], '-') << line;
        EXPECT_EQ(line[10], 'T') << line;
        EXPECT_EQ(line[23], 'Z') << line;
        EXPECT_NE(line.find(" kylgwd[" + std::to_string(gw.pid()) + "]: "), std::string::npos) << line;
    }
    EXPECT_EQ(gw.stop(), 0);
}

TEST(KylgwdDaemon, GreetsAConnectionAndLogsItsClose)
{
    ScratchDir scratch;
    KylgwdProcess gw(scratch.path());
    ASSERT_TRUE(gw.start());

    int localPort = 0;
    int fd = connectLoopback(gw.port(), &localPort);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_TRUE(greetAndHangUp(fd));
    close(fd);

    std::string peer = "127.0.0.1:" + std::to_string(localPort);
    EXPECT_TRUE(gw.waitForLog("session 1: closing connection from " + peer +
                              ": client closed the connection"))
        << gw.logText();
    EXPECT_NE(gw.logText().find("session 1: accepted connection from " + peer), std::string::npos)
        << gw.logText();
    EXPECT_EQ(gw.stop(), 0);
}

TEST(KylgwdDaemon, StopSignalsEndItCleanly)
{
    ScratchDir scratch;
    {
        KylgwdProcess gw(scratch / "term");
        mkdir((scratch / "term").c_str(), 0755);
        ASSERT_TRUE(gw.start());
        ASSERT_TRUE(fileExists(gw.portFilePath()));
        EXPECT_EQ(gw.stop(), 0);
        EXPECT_FALSE(fileExists(gw.portFilePath()));
        std::string log = gw.logText();
        EXPECT_NE(log.find("received SIGTERM: stopping"), std::string::npos) << log;
        EXPECT_NE(lastLine(log).find("]: stopped"), std::string::npos) << log;
    }
    {
        mkdir((scratch / "int").c_str(), 0755);
        KylgwdProcess gw(scratch / "int");
        ASSERT_TRUE(gw.start());
        ASSERT_EQ(kill(gw.pid(), SIGINT), 0);
        ASSERT_TRUE(gw.waitForLog("]: stopped")) << gw.logText();
        EXPECT_EQ(gw.stop(), 0);
        EXPECT_NE(gw.logText().find("received SIGINT: stopping"), std::string::npos) << gw.logText();
        EXPECT_FALSE(fileExists(gw.portFilePath()));
    }
}

TEST(KylgwdDaemon, StartsAndStopsManyTimesInARow)
{
    ScratchDir scratch;
    for (int i = 0; i < 20; i++) {
        std::string dir = scratch / std::to_string(i);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        KylgwdProcess gw(dir);
        ASSERT_TRUE(gw.start()) << "run " << i;
        int fd = connectLoopback(gw.port());
        ASSERT_GE(fd, 0) << "run " << i;
        EXPECT_TRUE(greetAndHangUp(fd)) << "run " << i;
        close(fd);
        ASSERT_EQ(gw.stop(), 0) << "run " << i << "\n" << gw.logText();
    }
}

TEST(KylgwdDaemon, UsageErrorsExitWith64AndOneLine)
{
    ScratchDir scratch;
    std::string root = scratch / "root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--root", root, "--bogus"}, "unknown option '--bogus'"},
        {{"--root", root, "--runmode", "3"}, "--runmode '3': must be 1"},
        {{"--root", root, "--runmode"}, "--runmode needs a value"},
        {{"--root", root, "--listen", "127.0.0.1"}, "--listen '127.0.0.1': expected HOST:PORT"},
        {{"--root", root, "--listen", "127.0.0.1:70000"}, "the port must be a number from 0 to 65535"},
        {{"--listen", "127.0.0.1:0"}, "--root DIR is required"},
        {{"--root", scratch / "missing"}, "No such file or directory"},
        {{"--root", root, "--meta", root + "/inside"}, "--meta"},
        {{"--root", root, "--portfile", scratch / "nodir/port"}, "does not exist"},
    };
    for (const auto &c : cases) {
        auto r = runKylgwd(c.args);
        std::string cmd;
        for (const auto &a : c.args)
            cmd += " " + a;
        EXPECT_EQ(r.status, kUsageStatus) << cmd << "\n" << r.err;
        EXPECT_EQ(velktest::lines(r.err).size(), 1u) << cmd << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("kylgwd: ", 0), 0u) << cmd << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << cmd << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << cmd;
    }
}

TEST(KylgwdDaemon, HelpListsEveryOption)
{
    auto r = runKylgwd({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char *opt : {"--listen", "--portfile", "--pidfile", "--root", "--meta", "--runmode", "--config",
                            "--faults", "--events", "--log", "--foreground", "--help"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
}

TEST(KylgwdDaemon, AddressInUseFailsClearly)
{
    ScratchDir scratch;
    BusyPort busy;
    ASSERT_GT(busy.port, 0);
    std::string root = scratch / "root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    std::string listen = "127.0.0.1:" + std::to_string(busy.port);
    std::string expected = "cannot listen on " + listen + ": Address already in use";

    auto fg = runKylgwd({"--foreground", "--root", root, "--listen", listen, "--portfile", scratch / "port"});
    EXPECT_NE(fg.status, 0);
    EXPECT_NE(fg.err.find(expected), std::string::npos) << fg.err;
    EXPECT_FALSE(fileExists(scratch / "port"));

    // Detaching, the failure comes back to the caller through the parent.
    auto bg = runKylgwd({"--root", root, "--listen", listen, "--portfile", scratch / "port", "--log",
                         scratch / "bg.log"});
    EXPECT_NE(bg.status, 0);
    EXPECT_NE(bg.err.find(expected), std::string::npos) << bg.err;
    EXPECT_NE(velktest::readFile(scratch / "bg.log").find(expected), std::string::npos);
    EXPECT_FALSE(fileExists(scratch / "port"));
}

TEST(KylgwdDaemon, DetachesAndKeepsServingAfterTheCallerReturns)
{
    ScratchDir scratch;
    std::string root = scratch / "root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    std::string portFile = scratch / "port", pidFile = scratch / "pid", logFile = scratch / "kylgwd.log";

    auto r = runKylgwd({"--listen", "127.0.0.1:0", "--root", root, "--portfile", portFile, "--pidfile", pidFile,
                        "--log", logFile});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    // The caller returned only once the daemon listened.
    ASSERT_TRUE(fileExists(portFile));
    ASSERT_TRUE(fileExists(pidFile));
    pid_t pid = static_cast<pid_t>(std::stol(velktest::readFile(pidFile)));
    int port = std::stoi(velktest::readFile(portFile));
    ASSERT_GT(pid, 1);
    // Make sure the daemon goes away even when an assertion below fails.
    struct Reaper {
        pid_t pid;
        bool done = false;
        ~Reaper()
        {
            if (!done)
                kill(pid, SIGKILL);
        }
    } reaper{pid};

    ASSERT_EQ(kill(pid, 0), 0);
    EXPECT_NE(velktest::readFile(logFile).find("kylgwd[" + std::to_string(pid) + "]: starting"), std::string::npos);
    for (int i = 0; i < 3; i++) {
        int fd = connectLoopback(port);
        ASSERT_GE(fd, 0) << strerror(errno);
        EXPECT_TRUE(greetAndHangUp(fd));
        close(fd);
    }

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (velktest::readFile(logFile).find("]: stopped") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string log = velktest::readFile(logFile);
    ASSERT_NE(log.find("]: stopped"), std::string::npos) << log;
    reaper.done = true;
    EXPECT_EQ(velktest::countOccurrences(log, "client closed the connection"), 3u) << log;
    EXPECT_FALSE(fileExists(portFile));
    EXPECT_FALSE(fileExists(pidFile));
}

TEST(KylgwdDaemon, ServesFiftyConcurrentConnections)
{
    ScratchDir scratch;
    KylgwdProcess gw(scratch.path());
    ASSERT_TRUE(gw.start());

    constexpr int kClients = 50;
    std::atomic<int> served{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; i++) {
        clients.emplace_back([&] {
            while (!go.load())
                std::this_thread::yield();
            int fd = connectLoopback(gw.port());
            if (fd < 0)
                return;
            if (greetAndHangUp(fd))
                served++;
            close(fd);
        });
    }
    go = true;
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(served.load(), kClients);
    EXPECT_TRUE(gw.waitForLog("accepted connection from 127.0.0.1:", kClients)) << gw.logText();
    EXPECT_TRUE(gw.waitForLog("client closed the connection", kClients)) << gw.logText();

    // Still serving afterwards, with the next session number.
    int fd = connectLoopback(gw.port());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(greetAndHangUp(fd));
    close(fd);
    EXPECT_TRUE(gw.waitForLog("session 51: closing connection")) << gw.logText();
    EXPECT_EQ(velktest::countOccurrences(gw.logText(), "refusing connection"), 0u);
    EXPECT_EQ(gw.stop(), 0);
}

TEST(KylgwdDaemon, EventLogRecordsSessionsAndStop)
{
    ScratchDir scratch;
    KylgwdProcess gw(scratch.path());
    std::string events = scratch / "events.jsonl";
    ASSERT_TRUE(gw.start({"--events", events}));
    int localPort = 0;
    int fd = connectLoopback(gw.port(), &localPort);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(greetAndHangUp(fd));
    close(fd);
    ASSERT_TRUE(gw.waitForLog("session 1: closing"));
    ASSERT_EQ(gw.stop(), 0);

    auto lines = velktest::lines(velktest::readFile(events));
    ASSERT_EQ(lines.size(), 4u) << velktest::readFile(events);
    std::string peer = "\"peer\":\"127.0.0.1:" + std::to_string(localPort) + "\"";
    EXPECT_NE(lines[0].find("\"event\":\"start\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"port\":" + std::to_string(gw.port())), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\"event\":\"session_open\",\"session\":1," + peer), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("\"event\":\"session_close\",\"session\":1," + peer +
                            ",\"reason\":\"client closed the connection\""),
              std::string::npos)
        << lines[2];
    EXPECT_NE(lines[3].find("\"event\":\"stop\",\"signal\":" + std::to_string(SIGTERM)), std::string::npos)
        << lines[3];
    for (const auto &l : lines)
        EXPECT_TRUE(l.front() == '{' && l.back() == '}') << l;
}
