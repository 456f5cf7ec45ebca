// The client library's session-wide operations against the real kylgwd:
// accounts and their effect on created files, password entries and home
// directories, class-of-service selection by size, the small operations
// on files of the gateway host, and the keep-alive of the client's sockets.
// Results are checked against the daemon's configuration, the files and
// sidecars on disk and the daemon's log.

#include "nxclient_gateway.h"

#include "nxapi_private.h"
#include "quor_api.h"
#include "quor_net.h"
#include "velk_testsupport.h"

#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using nxtest::diskStat;
using nxtest::gateway;
using nxtest::NxClientTest;
using velktest::exists;

class NxAccounts : public NxClientTest {
protected:
    // Later tests of this program start from the default account.
    void TearDown() override { EXPECT_EQ(quor_SetAcct(nxtest::kIvanDefaultAcct), 0); }
};

TEST_F(NxAccounts, OnlyTheUsersAccountsAreAcceptedAndNewFilesCarryTheCurrentOne)
{
    // ivan has 1 (alpha, his default) and 2 (beta); 7 (gamma) is bob's.
    struct Case {
        uint32_t code;     // set by code unless 0
        const char *name;  // set by name otherwise
        int want;
        uint32_t current;  // afterwards
    } cases[] = {
        {0, nullptr, 0, 1}, {7, nullptr, -13, 1}, {4242, nullptr, -13, 1}, {0, "gamma", -13, 1},
        {0, "nosuch", -13, 1}, {2, nullptr, 0, 2}, {0, "alpha", 0, 1}, {0, "beta", 0, 2},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code ? std::to_string(c.code) : std::string(c.name ? c.name : "-"));
        if (c.code != 0 || c.name != nullptr) {
            EXPECT_EQ(c.code ? quor_SetAcct(c.code) : quor_SetAcctByName(c.name), c.want);
        }
        uint32_t def = 0, cur = 0;
        ASSERT_EQ(quor_GetAcct(&def, &cur), 0);
        EXPECT_EQ(def, nxtest::kIvanDefaultAcct);
        EXPECT_EQ(cur, c.current);
        // A new file carries the current account.
        const std::string rel = "f" + std::to_string(n++);
        int fd = quor_Open(ns(rel).c_str(), O_WRONLY | O_CREAT, 0644, nullptr, nullptr, nullptr);
        EXPECT_EQ(quor_Close(fd), 0);
        EXPECT_EQ(sidecar(rel)["Account"], std::to_string(c.current));
        quor_Attrs_t a = {};
        ASSERT_EQ(quor_GetListAttrs(ns(rel).c_str(), &a), 0);
        EXPECT_EQ(a.Account, c.current);
    }
    EXPECT_EQ(quor_SetAcctByName(std::string(129, 'a').c_str()), -36);  // longer than the field
}

TEST_F(NxClientTest, PasswordEntriesAndHomeDirectories)
{
    struct Case {
        const char *name;
        int want;
        const char *user;
        uid_t uid;
        gid_t gid;
        const char *home;
    } cases[] = {
        {"", 0, "ivan", gateway().ivanUid(), gateway().ivanGid(), "/home/ivan"},  // the session's own user
        {"ivan", 0, "ivan", gateway().ivanUid(), gateway().ivanGid(), "/home/ivan"},
        {"bob", 0, "bob", gateway().bobUid(), gateway().bobGid(), "/home/bob"},
        {"carol", -2, "", 0, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        quor_passwd_t pw;
        memset(&pw, 0x55, sizeof pw);
        ASSERT_EQ(quor_GetPwent(c.name, &pw), c.want);
        char home[1025] = {};
        if (c.name[0] != '\0') {
            EXPECT_EQ(quor_LookupHomeDir(c.name, home, sizeof home), c.want);
        }
        if (c.want != 0)
            continue;
        EXPECT_STREQ(pw.pw_name, c.user);
        EXPECT_STREQ(pw.pw_passwd, "x");
        EXPECT_EQ(pw.pw_uid, c.uid);
        EXPECT_EQ(pw.pw_gid, c.gid);
        EXPECT_STREQ(pw.pw_dir, c.home);
        EXPECT_STREQ(pw.pw_shell, "/bin/sh");
        if (c.name[0] != '\0') {
            EXPECT_STREQ(home, c.home);
        }
    }
    quor_passwd_t pw;
    EXPECT_EQ(quor_GetPwent(std::string(257, 'n').c_str(), &pw), -36);
    // "/home/bob" and its NUL need 10 bytes.
    char tight[10], small[9];
    ASSERT_EQ(quor_LookupHomeDir("bob", tight, sizeof tight), 0);
    EXPECT_STREQ(tight, "/home/bob");
    EXPECT_EQ(quor_LookupHomeDir("bob", small, sizeof small), -34);
}

TEST_F(NxClientTest, SelectionBySizeFollowsTheConfiguredClasses)
{
    struct Case {
        uint64_t size;
        uint32_t cos;
    } cases[] = {
        {0, 1}, {nxtest::kMiB, 1}, {nxtest::kMiB + 1, 4}, {nxtest::kGiB, 4}, {2 * nxtest::kGiB, 8},
        {32 * nxtest::kGiB, 11}, {64 * nxtest::kGiB, 11}, {64 * nxtest::kGiB + 1, nxtest::kDefaultCos},
        {UINT64_MAX, nxtest::kDefaultCos},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        quor_cos_hints_t h;
        quor_cos_priorities_t p;
        memset(&h, 0x5a, sizeof h);
        memset(&p, 0x5a, sizeof p);
        ASSERT_EQ(quorex_SelectCOS("", c.size, gateway().ivanUid(), gateway().ivanGid(), 1, 1, 0, &h, &p), 0);
        nxtest::expectClass(h, c.cos);
        EXPECT_EQ(p.COSIdPriority, 30u);
        quor_cos_priorities_t rest = p;
        rest.COSIdPriority = 0;
        const quor_cos_priorities_t none = {};
        EXPECT_EQ(memcmp(&rest, &none, sizeof rest), 0) << "only the class is asked for";
    }

    // The selection handed to open makes the file in that class.
    quor_cos_hints_t h = {};
    quor_cos_priorities_t p = {};
    ASSERT_EQ(quorex_SelectCOS(nullptr, 32 * nxtest::kGiB, 0, 0, 0, 1, 0, &h, &p), 0);
    quor_cos_hints_t out = {};
    int fd = quor_Open(ns("big").c_str(), O_WRONLY | O_CREAT, 0644, &h, &p, &out);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(out.COSId, 11u);
    EXPECT_EQ(quor_Close(fd), 0);
    EXPECT_EQ(sidecar("big")["COSId"], "11");
    EXPECT_EQ(quorex_SelectCOS(std::string(1025, 'c').c_str(), 1, 0, 0, 0, 1, 0, &h, &p), -36);
}

TEST_F(NxClientTest, WorkingDirectoryStatMkdirAndUnlink)
{
    char cwd[1025], small[10];
    ASSERT_EQ(kylgw_LfxGetcwd(cwd, sizeof cwd), 0);
    EXPECT_STREQ(cwd, "/home/ivan");
    EXPECT_EQ(kylgw_LfxGetcwd(small, sizeof small), -34);

    makeFile("f", "seven b", 0604);
    struct stat on = diskStat(disk("f"));
    for (const std::string &path : {ns("f"), name_ + "/f"}) {  // absolute, and relative to the home
        lfx_Stat_rply_t st;
        memset(&st, 0x77, sizeof st);
        ASSERT_EQ(kylgw_LfxStat(path.c_str(), &st), 0);
        EXPECT_EQ(st.hst_mode, static_cast<uint32_t>(S_IFREG | 0604));
        EXPECT_EQ(st.hst_size, 7u);
        EXPECT_EQ(st.hst_nlink, 1u);
        EXPECT_EQ(st.hst_uid, gateway().ivanUid());
        EXPECT_EQ(st.hst_gid, gateway().ivanGid());
        EXPECT_EQ(st.hst_mtime, static_cast<uint32_t>(on.st_mtime));
    }
    ASSERT_EQ(kylgw_LfxMkdir(ns("d").c_str(), 0777), 0);
    struct stat d = diskStat(disk("d"));
    EXPECT_EQ(d.st_mode, static_cast<mode_t>(S_IFDIR | (0777 & ~nxtest::kSiteUmask)));
    EXPECT_EQ(d.st_uid, gateway().ivanUid());
    ASSERT_EQ(kylgw_LfxUnlink(ns("f").c_str()), 0);
    EXPECT_FALSE(exists(disk("f")));
    EXPECT_EQ(kylgw_LfxUnlink(ns("f").c_str()), -2);
}

TEST_F(NxClientTest, EveryClientSocketNoticesADeadPeerWithinAboutThreeMinutes)
{
    // The gateway connection, a listening socket for movers, and a
    // connection accepted on it.
    int listenFd = -1, peer = -1;
    quor_sockaddr_t at = {};
    ASSERT_EQ(kylgw_SockGetListenSocket(0, 0, &listenFd, &at), 0);
    ASSERT_EQ(quor_net_listen(listenFd, 1, nullptr, 0), 0);
    peer = quor_net_socket(&at, SOCK_STREAM, 0, nullptr, 0);
    ASSERT_EQ(quor_net_connect(peer, &at, nullptr, 0), 0);
    int accepted = quor_net_accept(listenFd, nullptr, nullptr, 0);
    ASSERT_GE(accepted, 0);
    const quor_connection_t *conn = nxapi_getCurConnection();
    ASSERT_NE(conn, nullptr);
    const struct {
        const char *what;
        int fd;
    } sockets[] = {{"gateway connection", conn->ctl_fd}, {"listening", listenFd}, {"accepted", accepted}};
    for (const auto &k : sockets) {
        SCOPED_TRACE(k.what);
        int on = 0, idle = 0, interval = 0, probes = 0;
        socklen_t len = sizeof(int);
        ASSERT_EQ(getsockopt(k.fd, SOL_SOCKET, SO_KEEPALIVE, &on, &len), 0);
        ASSERT_EQ(getsockopt(k.fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len), 0);
        ASSERT_EQ(getsockopt(k.fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &len), 0);
        ASSERT_EQ(getsockopt(k.fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, &len), 0);
        EXPECT_NE(on, 0);
        EXPECT_GT(probes, 1);
        EXPECT_LE(idle + interval * probes, 200);  // seconds
    }
    close(accepted);
    close(peer);
    close(listenFd);
}

} // namespace
