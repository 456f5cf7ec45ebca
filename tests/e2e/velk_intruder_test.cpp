// A second local process, running as another user, that finds the
// listening sockets of velk and of the gateway's data streams the way any
// user can (/proc/net/tcp) and connects to each while a create and an
// extract run, on an archive kept in the storage system (movers) and on the
// gateway's host (local-file data connections, the gateway data stream).
// It speaks first, as a mover would, and then listens: it must receive no
// byte, and the victim's run must end 0 with the archive or tree of an
// undisturbed run.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kylgw_mvrprot.h"
#include "velk_gwsession.h"
#include "velk_testproc.h"

namespace fs = std::filesystem;

namespace {

using velktest::bytesOf;
using velktest::readFile;
using velktest::treeOf;
using velktest::writeFile;

// Whether process pid is still running (not ended and waiting to be
// reaped).
bool running(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// The socket inodes process pid holds.
std::set<unsigned long> socketInodes(pid_t pid)
{
    std::set<unsigned long> inodes;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string link = fs::read_symlink(e.path(), ec).string();
        if (!ec && link.rfind("socket:[", 0) == 0)
            inodes.insert(std::stoul(link.substr(8)));
    }
    return inodes;
}

// The ports of the listening TCP sockets among inodes, as /proc/net/tcp and
// /proc/net/tcp6 show them to every user; *wildcards counts those that
// listen on every address.
std::set<uint16_t> listeningPorts(const std::set<unsigned long> &inodes, int *wildcards)
{
    std::set<uint16_t> ports;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // the column names
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
            unsigned long inode = 0;
            f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (state != "0A" || inodes.count(inode) == 0)
                continue;
            const size_t colon = local.find(':');
            *wildcards += local.find_first_not_of('0') == colon;
            ports.insert(static_cast<uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16)));
        }
    }
    return ports;
}

// The intruder, in a child of its own that drops to an unprivileged user
// when it can: connects to port, sends an initiator message with a ticket
// of its own asking for the first mebibyte, and counts what comes back
// within two seconds.  Exit code: 0 nothing came, 1 bytes came, 2 no
// connection.
int intrude(uint16_t port)
{
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        return 3;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        return 2;
    initiator_msg_t im{};
    im.Flags = MVRPROT_COMP_REPLY;
    im.Type = MVRPROT_TYPE_TCP;
    im.Length = im.BlockSize = im.TotalLength = 1 << 20;
    im.StripeWidth = 1;
    im.SecurityTicket = 0x1badcafe1badcafeull;
    unsigned char raw[MVRPROT_INITMSG_SIZE];
    mvrprot_pack_initmsg(&im, raw);
    (void)send(s, raw, sizeof raw, MSG_NOSIGNAL);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char b[4096];
        ssize_t n = recv(s, b, sizeof b, 0);
        if (n > 0)
            return 1;
        if (n <= 0)
            break; // closed on it: nothing given away
    }
    return 0;
}

struct Outcome {
    int status = -1;
    std::string err;
    int intrusions = 0; // connections the intruder made
    int leaks = 0;      // of them, those that received bytes
    int streams = 0;    // of them, those made to the gateway's data listeners
    int wildcards = 0;  // times a listening socket on every address was seen
};

class VelkIntruder : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        VelkGatewayTest::SetUp();
        fs::create_directories(dir / "src/sub");
        writeFile(dir / "src/big", bytesOf(6u << 20, 1));
        writeFile(dir / "src/sub/small", bytesOf(70000, 2));
        chmod((dir / "src/big").c_str(), 0600);
    }

    // Runs velk with args in dir/cwd (output in dir/name.out and .err) while
    // the intruder connects to every listening socket velk opens, and every
    // one kylgwd opens besides its own port, each port once.
    Outcome runAttacked(const std::string &name, const std::string &cwd, const std::vector<std::string> &args)
    {
        fs::create_directories(dir / cwd);
        auto o = velkOptions();
        o.cwd = dir / cwd;
        const std::string out = dir / (name + ".out"), err = dir / (name + ".err");
        auto v = velktest::startVelk(args, o, out, err);
        Outcome r;
        std::set<uint16_t> tried{static_cast<uint16_t>(gw.port())};
        std::vector<std::pair<bool, std::unique_ptr<velktest::ForkedChild>>> intruders;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(100);
        int gatewayWildcards = 0;
        while (running(v->pid()) && std::chrono::steady_clock::now() < until) {
            for (const bool stream : {false, true})
                for (uint16_t port : stream ? listeningPorts(socketInodes(gw.pid()), &gatewayWildcards)
                                            : listeningPorts(socketInodes(v->pid()), &r.wildcards))
                    if (tried.insert(port).second)
                        intruders.emplace_back(stream, std::make_unique<velktest::ForkedChild>(
                                                           [port] { return intrude(port); }));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        int status = 0;
        if (!v->wait(&status, std::chrono::seconds(5)))
            return r;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.err = readFile(err);
        for (auto &[stream, c] : intruders) {
            int cs = 0;
            const bool ended = c->wait(&cs, std::chrono::seconds(10));
            const int code = ended && WIFEXITED(cs) ? WEXITSTATUS(cs) : 9;
            r.intrusions += code == 0 || code == 1;
            r.streams += stream && (code == 0 || code == 1);
            r.leaks += code == 1;
        }
        return r;
    }
};

TEST_F(VelkIntruder, AStrangerOnTheDataPortsGetsNothingAndChangesNothing)
{
    struct Row {
        const char *kind;
        const char *site;   // gateway configuration
        const char *faults; // held back so that the intruder has time to come first
        bool beside;        // velk listens only where the gateway reaches it
        bool streamed;      // the extract reads the archive through the gateway data stream
    };
    const Row rows[] = {
        {"storage system", "", "delay_mover=0,1500\n", true, false},
        {"gateway host", "Site = {\n  server_runmode = 2\n}\n", "delay_reply=5632/256,1500\nopenx_hold=1500\n", false,
         true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.kind);
        gw.stop();
        ASSERT_TRUE(startGateway(row.site));
        // The undisturbed run first.
        writeFile(dir / "faults", "");
        auto ref = velk({"-c", "-f", "ref.tar", "src"});
        ASSERT_EQ(ref.status, 0) << ref.err;
        const std::string refBytes = readFile(home() + "/ref.tar");

        writeFile(dir / "faults", row.faults);
        const Outcome c = runAttacked(std::string(row.kind) + "-c", "", {"-c", "-f", "a.tar", "src"});
        EXPECT_EQ(c.status, 0) << c.err;
        EXPECT_GT(c.intrusions, 0);
        EXPECT_EQ(c.leaks, 0);
        // The archive ends in its consistency member and end blocks, which
        // name the run; every member before them is the same.
        const std::string got = readFile(home() + "/a.tar");
        ASSERT_EQ(got.size(), refBytes.size());
        EXPECT_EQ(got.compare(0, got.size() - 3 * 512, refBytes, 0, got.size() - 3 * 512), 0);

        const std::string out = std::string(row.kind) + "-x";
        const Outcome x = runAttacked(out, out, {"-x", "-f", "a.tar"});
        EXPECT_EQ(x.status, 0) << x.err;
        EXPECT_GT(x.intrusions, 0);
        EXPECT_EQ(x.leaks, 0);
        EXPECT_EQ(x.streams > 0, row.streamed);
        if (row.beside) {
            EXPECT_EQ(c.wildcards + x.wildcards, 0);
        }
        EXPECT_EQ(treeOf(dir / (out + "/src")), treeOf(dir / "src"));
    }
}

} // namespace
