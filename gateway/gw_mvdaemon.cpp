// kylgwd --mover (see gw_mvdaemon.h).

#include "gw_mvdaemon.h"

#include "gw_events.h"
#include "gw_faults.h"
#include "gw_fileops.h"
#include "gw_listener.h"
#include "gw_log.h"
#include "gw_movers.h"
#include "gw_mvlink.h"
#include "gw_reply.h"

#include <quorex_crypto.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// Most links served at once; more are closed at once.
constexpr size_t kMaxLinks = 1024;

// What every link of the daemon reads: set before the first link starts.
struct DaemonCtx {
    std::vector<unsigned char> key;
    std::string faultsPath;
    quor_sockaddr_t source{}; // the address the movers connect from
    bool haveSource = false;
};

struct Link {
    const DaemonCtx *ctx = nullptr;
    int fd = -1;
    char peer[GW_PEER_TEXT_MAX] = "";
    pthread_t thread{};
    std::atomic<bool> ended{false};
};

DaemonCtx *gw_mvDaemon = nullptr; // written by the main thread at start-up only

int sendAlive(void *arg)
{
    return gw_MvSendFrame(*static_cast<int *>(arg), GW_MVF_ALIVE, {}, GW_MVLINK_TIMEOUT);
}

// A report for job whose stripes all failed with rc before moving.
void failedReport(const gw_mvjob_t &job, int rc, gw_mvreport_t *rep)
{
    rep->status = rc;
    for (uint32_t k : job.stripes) {
        gw_mvstripe_t st;
        st.k = k;
        st.status = rc;
        st.done.assign(gw_MvStripeBlocks(job.total, job.block, job.width, k), 0);
        rep->stripes.push_back(std::move(st));
    }
}

// Moves the stripes of job for the gateway on link l and reports.
int serveJob(Link *l, const gw_mvjob_t &job)
{
    gw_conn_t c;
    c.id = job.session;
    c.peer = l->peer;
    std::vector<std::string> problems;
    const char *fp = l->ctx->faultsPath.empty() ? nullptr : l->ctx->faultsPath.c_str();
    if (fp != nullptr && gw_FaultsLoad(fp, &c.faults, &problems) != 0)
        problems.push_back("cannot be read");
    for (const std::string &p : problems)
        gw_Log("fault script %s: %s", fp, p.c_str());
    gw_mvreport_t rep;
    int fd = gw_FsOpenForMover(job.path, job.write, job.uid, job.gid, job.groups);
    if (fd < 0) {
        gw_Log("session %llu: request id %u: cannot open %s: %s", static_cast<unsigned long long>(job.session),
               job.request, job.path.c_str(), strerror(-fd));
        failedReport(job, fd == -EACCES || fd == -ENOENT ? fd : -EIO, &rep);
    } else {
        const quor_sockaddr_t *src = l->ctx->haveSource ? &l->ctx->source : nullptr;
        gw_MoversRunJob(&c, job, fd, src, l->fd, sendAlive, &l->fd, &rep);
        // Closing hands the written bytes to a shared file system before
        // the gateway reports them (close-to-open consistency).
        if (close(fd) != 0 && rep.status == 0)
            rep.status = -errno;
    }
    pthread_cond_destroy(&c.jobsCond);
    uint64_t bytes = 0;
    for (const gw_mvstripe_t &s : rep.stripes)
        bytes += s.bytes;
    gw_Log("session %llu: request id %u from %s: %zu stripes of width %u, %llu bytes, status %d",
           static_cast<unsigned long long>(job.session), job.request, l->peer, job.stripes.size(), job.width,
           static_cast<unsigned long long>(bytes), rep.status);
    std::vector<unsigned char> body;
    gw_MvEncodeReport(rep, &body);
    return gw_MvSendFrame(l->fd, GW_MVF_REPORT, body, GW_MVLINK_TIMEOUT);
}

void *serveLink(void *arg)
{
    auto *l = static_cast<Link *>(arg);
    int rc = gw_MvProveMover(l->fd, l->ctx->key);
    if (rc == -EACCES) {
        gw_LogWarning("refused a connection from %s: it does not prove the mover key", l->peer);
        gw_event("mover_refused").str("peer", l->peer).emit();
    } else if (rc != 0) {
        gw_Log("connection from %s ended before its key proof: %s", l->peer, strerror(-rc));
    } else {
        uint32_t type = 0;
        std::vector<unsigned char> body;
        gw_mvjob_t job;
        rc = gw_MvRecvFrame(l->fd, &type, &body, GW_MVLINK_TIMEOUT);
        if (rc == 0 && type == GW_MVF_PROBE)
            rc = gw_MvSendFrame(l->fd, GW_MVF_ALIVE, {}, GW_MVLINK_TIMEOUT);
        else if (rc == 0 && type == GW_MVF_STRIPES && gw_MvDecodeJob(body, &job) == 0)
            rc = serveJob(l, job);
        else if (rc == 0)
            rc = -EPROTO;
        if (rc != 0)
            gw_Log("link from %s: %s", l->peer, strerror(-rc));
    }
    l->ended.store(true);
    return nullptr;
}

// Joins the links that ended (all of them when all is set).
void reap(std::vector<std::unique_ptr<Link>> *links, bool all)
{
    for (auto it = links->begin(); it != links->end();) {
        Link *l = it->get();
        if (!all && !l->ended.load()) {
            ++it;
            continue;
        }
        if (all)
            shutdown(l->fd, SHUT_RDWR);
        pthread_join(l->thread, nullptr);
        close(l->fd);
        it = links->erase(it);
    }
}

// Accepts one link and starts its thread.
void acceptLink(int listenFd, std::vector<std::unique_ptr<Link>> *links)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = accept4(listenFd, reinterpret_cast<sockaddr *>(&ss), &len, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (links->size() >= kMaxLinks) {
        close(fd);
        return;
    }
    auto l = std::make_unique<Link>();
    l->ctx = gw_mvDaemon;
    l->fd = fd;
    gw_FormatAddress(&ss, len, l->peer, sizeof l->peer);
    if (pthread_create(&l->thread, nullptr, serveLink, l.get()) != 0) {
        close(fd);
        return;
    }
    links->push_back(std::move(l));
}

// The address listenFd is bound to, as the movers' source, unless it is a
// wildcard.
void takeSource(int listenFd, DaemonCtx *ctx)
{
    quor_sockaddr_t a{};
    a.hs_addrlen = sizeof a.hs_addr;
    if (getsockname(listenFd, reinterpret_cast<sockaddr *>(&a.hs_addr), &a.hs_addrlen) != 0)
        return;
    if (a.hs_addr.ss_family == AF_INET) {
        auto &in = reinterpret_cast<sockaddr_in &>(a.hs_addr);
        if (in.sin_addr.s_addr == htonl(INADDR_ANY))
            return;
        in.sin_port = 0;
    } else if (a.hs_addr.ss_family == AF_INET6) {
        auto &in6 = reinterpret_cast<sockaddr_in6 &>(a.hs_addr);
        if (IN6_IS_ADDR_UNSPECIFIED(&in6.sin6_addr))
            return;
        in6.sin6_port = 0;
    } else {
        return;
    }
    ctx->source = a;
    ctx->haveSource = true;
}

} // namespace

int gw_MvDaemonSetup(const gw_config_t *cfg, std::string *err)
{
    if (cfg->moverKey.empty()) {
        *err = "a mover daemon needs mover_key = PATH in the Site section of --config";
        return -1;
    }
    auto ctx = std::make_unique<DaemonCtx>();
    if (gw_MvKeyLoad(cfg->moverKey, &ctx->key, err) != 0)
        return -1;
    gw_mvDaemon = ctx.release();
    return 0;
}

int gw_MvDaemonServe(int listenFd, int sigFd, const std::string &faultsPath)
{
    gw_mvDaemon->faultsPath = faultsPath;
    takeSource(listenFd, gw_mvDaemon);
    gw_Log("mover daemon: serving the stripes of a gateway that proves the mover key");
    std::vector<std::unique_ptr<Link>> links;
    int result = 0;
    for (;;) {
        pollfd p[2] = {{sigFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
        int n = poll(p, 2, 1000);
        if (n < 0 && errno != EINTR) {
            result = -errno;
            break;
        }
        reap(&links, false);
        if (n > 0 && (p[0].revents & POLLIN) != 0) {
            signalfd_siginfo si;
            if (read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                result = static_cast<int>(si.ssi_signo);
                gw_Log("received %s: stopping", si.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM");
                break;
            }
        }
        if (n > 0 && (p[1].revents & POLLIN) != 0)
            acceptLink(listenFd, &links);
    }
    close(listenFd);
    reap(&links, true);
    quorex_Wipe(gw_mvDaemon->key.data(), gw_mvDaemon->key.size());
    delete gw_mvDaemon;
    gw_mvDaemon = nullptr;
    return result;
}
