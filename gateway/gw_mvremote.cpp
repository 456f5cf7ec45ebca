// The gateway's mover daemons (see gw_mvremote.h).

#include "gw_mvremote.h"

#include "gw_events.h"
#include "gw_log.h"

#include <kyl_mutex.h>
#include <kylgw_mvrio.h>
#include <quorex_crypto.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Milliseconds of CLOCK_MONOTONIC.
int64_t monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Daemon {
    gw_moverdef_t def;
    std::string address; // "host:port", for the log
    kyl_mutex_t mu;
    bool up KYL_GUARDED_BY(mu) = false;
    int64_t lastProbeMs KYL_GUARDED_BY(mu) = -GW_MVPROBE_INTERVAL_MS; // never probed
};

// The daemons and the key, set up at start-up and read-only afterwards
// (each daemon's state under its own mutex).
struct Remote {
    std::vector<std::unique_ptr<Daemon>> daemons;
    std::vector<unsigned char> key;
};

Remote *gw_remote = nullptr; // written by the main thread at start-up and shut-down only

// Records a change of d's state; reason says why it is down.
void setState(Daemon *d, bool up, const char *reason)
{
    bool changed;
    {
        kyl_lock_guard g(d->mu);
        changed = d->up != up;
        d->up = up;
    }
    if (!changed && up)
        return;
    if (up)
        gw_Log("mover daemon %s (%s) is up", d->def.name.c_str(), d->address.c_str());
    else if (changed)
        gw_Log("mover daemon %s (%s) is down: %s; its stripes go to the others until it answers a probe",
               d->def.name.c_str(), d->address.c_str(), reason);
    if (changed || strcmp(reason, "refused") == 0)
        gw_event("mover_daemon")
            .str("daemon", d->def.name)
            .str("address", d->address)
            .str("state", up ? "up" : "down")
            .str("reason", up ? "" : reason)
            .emit();
}

// Connects to d within seconds.  Returns the socket or -errno.
int connectDaemon(const Daemon *d, int seconds)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *res = nullptr;
    if (getaddrinfo(d->def.host.c_str(), std::to_string(d->def.port).c_str(), &hints, &res) != 0 || res == nullptr)
        return -EHOSTUNREACH;
    int s = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int err = s < 0 ? errno : 0;
    if (s >= 0 && connect(s, res->ai_addr, res->ai_addrlen) != 0 && errno != EINPROGRESS)
        err = errno;
    freeaddrinfo(res);
    if (err == 0 && quor_poll_descriptor(s, 1, seconds) != 0)
        err = errno != 0 ? errno : ETIMEDOUT;
    socklen_t el = sizeof err;
    if (err == 0 && getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &el) != 0)
        err = errno;
    if (err != 0) {
        if (s >= 0)
            close(s);
        return -err;
    }
    int on = 1;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return s;
}

// Connects to d and runs the key proof.  Returns the link or -errno; a
// daemon that cannot be reached or proves another key is down.
int openLink(Daemon *d, int seconds)
{
    int s = connectDaemon(d, seconds);
    if (s < 0) {
        setState(d, false, strerror(-s));
        return s;
    }
    int rc = gw_MvProveGateway(s, gw_remote->key);
    if (rc == 0)
        return s;
    close(s);
    if (rc == -EACCES) {
        gw_LogWarning("mover daemon %s (%s) refused: it does not prove the mover key", d->def.name.c_str(),
                      d->address.c_str());
        setState(d, false, "refused");
    } else {
        setState(d, false, strerror(-rc));
    }
    return rc;
}

// Probes d when it is down and was not probed lately.  True when it is up.
bool ensureUp(Daemon *d)
{
    {
        kyl_lock_guard g(d->mu);
        if (d->up)
            return true;
        const int64_t now = monotonicMs();
        if (now - d->lastProbeMs < GW_MVPROBE_INTERVAL_MS)
            return false;
        d->lastProbeMs = now;
    }
    int s = openLink(d, GW_MVPROBE_TIMEOUT);
    if (s < 0)
        return false;
    uint32_t type = 0;
    std::vector<unsigned char> body;
    int rc = gw_MvSendFrame(s, GW_MVF_PROBE, {}, GW_MVLINK_TIMEOUT);
    if (rc == 0)
        rc = gw_MvRecvFrame(s, &type, &body, GW_MVLINK_TIMEOUT);
    close(s);
    if (rc == 0 && type != GW_MVF_ALIVE)
        rc = -EPROTO;
    setState(d, rc == 0, rc == 0 ? "" : strerror(-rc));
    return rc == 0;
}

// One daemon's share of a request.
struct Share {
    gw_conn_t *c;
    Daemon *d;
    gw_mvjob_t job;
    struct Shared *all;
    int link = -1;
    pthread_t thread{};
    bool started = false;
    int status = 0;
    gw_mvreport_t report;
};

// What the shares of one request have in common: the links, to stop the
// others when one fails.
struct Shared {
    kyl_mutex_t mu;
    std::vector<int> links KYL_GUARDED_BY(mu);
    bool stopped KYL_GUARDED_BY(mu) = false;
};

void stopOthers(Shared *sh)
{
    kyl_lock_guard g(sh->mu);
    sh->stopped = true;
    for (int l : sh->links)
        shutdown(l, SHUT_WR); // the daemon aborts and still reports
}

void addLink(Shared *sh, int l)
{
    kyl_lock_guard g(sh->mu);
    sh->links.push_back(l);
    if (sh->stopped)
        shutdown(l, SHUT_WR);
}

void dropLink(Shared *sh, int l)
{
    kyl_lock_guard g(sh->mu);
    sh->links.erase(std::remove(sh->links.begin(), sh->links.end(), l), sh->links.end());
}

// Whether rep answers job: the same stripes, each with its blocks, none
// more than a block.
bool reportFits(const gw_mvjob_t &job, const gw_mvreport_t &rep)
{
    if (rep.stripes.size() != job.stripes.size())
        return false;
    for (size_t i = 0; i < rep.stripes.size(); i++) {
        const gw_mvstripe_t &s = rep.stripes[i];
        if (s.k != job.stripes[i] || s.done.size() != gw_MvStripeBlocks(job.total, job.block, job.width, s.k))
            return false;
        for (uint64_t d : s.done)
            if (d > job.block)
                return false;
    }
    return true;
}

// Waits for the daemon's report on the link, ALIVE frames keeping it
// going; a closing session tells the daemon to stop.  Returns 0 or -errno.
int awaitReport(Share *sh)
{
    bool told = false;
    for (;;) {
        int waited = 0;
        while (quor_poll_descriptor(sh->link, 0, 1) != 0) {
            if (errno != ETIMEDOUT)
                return -EPIPE;
            if (sh->c->closing.load() && !told) {
                shutdown(sh->link, SHUT_WR);
                told = true;
            }
            if (++waited >= GW_MVLINK_ALIVE_TIMEOUT)
                return -ETIMEDOUT;
        }
        uint32_t type = 0;
        std::vector<unsigned char> body;
        int rc = gw_MvRecvFrame(sh->link, &type, &body, GW_MVLINK_TIMEOUT);
        if (rc != 0)
            return rc;
        if (type == GW_MVF_ALIVE)
            continue;
        if (type != GW_MVF_REPORT || gw_MvDecodeReport(body, &sh->report) != 0 || !reportFits(sh->job, sh->report))
            return -EPROTO;
        return 0;
    }
}

void *runShare(void *arg)
{
    auto *sh = static_cast<Share *>(arg);
    int rc = openLink(sh->d, GW_MVLINK_TIMEOUT);
    if (rc >= 0) {
        sh->link = rc;
        addLink(sh->all, sh->link);
        std::vector<unsigned char> body;
        gw_MvEncodeJob(sh->job, &body);
        rc = gw_MvSendFrame(sh->link, GW_MVF_STRIPES, body, GW_MVLINK_TIMEOUT);
        if (rc == 0)
            rc = awaitReport(sh);
        dropLink(sh->all, sh->link);
        close(sh->link);
        if (rc != 0) {
            gw_Log("session %llu: mover daemon %s (%s) lost during list request id %u: %s",
                   static_cast<unsigned long long>(sh->c->id), sh->d->def.name.c_str(), sh->d->address.c_str(),
                   sh->job.request, strerror(-rc));
            setState(sh->d, false, strerror(-rc));
        }
    }
    // A daemon lost fails its stripes with an I/O error, which the client
    // retries; a failure it reported keeps its code.
    sh->status = rc != 0 ? -EIO : sh->report.status;
    if (sh->status != 0)
        stopOthers(sh->all);
    return nullptr;
}

// Logs and records which daemon moved which stripe of sh.
void reportShare(const Share &sh)
{
    for (uint32_t k : sh.job.stripes) {
        const gw_mvstripe_t *st = nullptr;
        for (const gw_mvstripe_t &s : sh.report.stripes)
            if (s.k == k)
                st = &s;
        const int64_t bytes = st != nullptr ? static_cast<int64_t>(st->bytes) : 0;
        const int32_t status = st != nullptr && sh.status == sh.report.status ? st->status : sh.status;
        gw_event("mover_remote")
            .num("session", static_cast<int64_t>(sh.c->id))
            .num("request", sh.job.request)
            .num("xfer", static_cast<int64_t>(sh.job.xferId))
            .num("mover", k)
            .num("width", sh.job.width)
            .str("daemon", sh.d->def.name)
            .str("address", sh.d->address)
            .num("pieces", st != nullptr ? static_cast<int64_t>(st->pieces) : 0)
            .num("bytes", bytes)
            .num("status", status)
            .emit();
    }
}

} // namespace

std::vector<size_t> gw_RemoteRound(const std::vector<uint32_t> &weights)
{
    std::vector<size_t> round;
    const uint32_t most = weights.empty() ? 0 : *std::max_element(weights.begin(), weights.end());
    for (uint32_t pass = 0; pass < most; pass++)
        for (size_t i = 0; i < weights.size(); i++)
            if (weights[i] > pass)
                round.push_back(i);
    return round;
}

int gw_RemoteSetup(const gw_config_t *cfg, std::string *err)
{
    if (cfg->movers.empty())
        return 0;
    if (cfg->moverKey.empty()) {
        *err = "the Movers section needs mover_key = PATH in the Site section";
        return -1;
    }
    auto r = std::make_unique<Remote>();
    if (gw_MvKeyLoad(cfg->moverKey, &r->key, err) != 0)
        return -1;
    for (const gw_moverdef_t &m : cfg->movers) {
        auto d = std::make_unique<Daemon>();
        d->def = m;
        d->address =
            (m.host.find(':') != std::string::npos ? "[" + m.host + "]" : m.host) + ":" + std::to_string(m.port);
        r->daemons.push_back(std::move(d));
    }
    gw_remote = r.release();
    return 0;
}

void gw_RemoteShutdown()
{
    if (gw_remote == nullptr)
        return;
    quorex_Wipe(gw_remote->key.data(), gw_remote->key.size());
    delete gw_remote;
    gw_remote = nullptr;
}

bool gw_RemoteOn()
{
    return gw_remote != nullptr;
}

int gw_RemoteMove(gw_conn_t *c, const gw_mvjob_t &job, std::vector<uint64_t> *done)
{
    std::vector<Daemon *> upList;
    std::vector<uint32_t> weights;
    for (auto &d : gw_remote->daemons)
        if (ensureUp(d.get())) {
            upList.push_back(d.get());
            weights.push_back(d->def.weight);
        }
    if (upList.empty()) {
        gw_Log("session %llu: list request id %u: no mover daemon is up", static_cast<unsigned long long>(c->id),
               job.request);
        return -EIO;
    }
    const std::vector<size_t> round = gw_RemoteRound(weights);
    const uint64_t nblocks = done->size();
    Shared shared;
    std::vector<std::unique_ptr<Share>> shares(upList.size());
    for (uint32_t k = 0; k < job.width && k < nblocks; k++) {
        auto &sh = shares[round[k % round.size()]];
        if (!sh) {
            sh = std::make_unique<Share>();
            sh->c = c;
            sh->d = upList[round[k % round.size()]];
            sh->job = job;
            sh->job.stripes.clear();
            sh->all = &shared;
        }
        sh->job.stripes.push_back(k);
    }
    for (auto &sh : shares)
        if (sh && pthread_create(&sh->thread, nullptr, runShare, sh.get()) == 0)
            sh->started = true;
        else if (sh)
            sh->status = -EIO;
    int rc = 0;
    for (auto &sh : shares) {
        if (!sh)
            continue;
        if (sh->started)
            pthread_join(sh->thread, nullptr);
        for (const gw_mvstripe_t &s : sh->report.stripes)
            for (size_t i = 0; i < s.done.size(); i++)
                (*done)[s.k + i * job.width] = s.done[i];
        if (rc == 0 || (rc == -ECANCELED && sh->status != 0))
            rc = sh->status;
        reportShare(*sh);
    }
    return rc;
}
