// List transfers with movers (see gw_movers.h).  One worker thread serves
// the request: it validates the descriptor, takes the file, starts one
// thread per mover that has blocks, joins them and replies.  The movers
// share only the request record: constant fields, their own slots of the
// per-block progress, and the abort state under its mutex.

#include "gw_movers.h"
#include "gw_auth.h"

#include "gw_events.h"
#include "gw_fileops.h"
#include "gw_log.h"
#include "gw_mvremote.h"
#include "gw_users.h"

#include <kyl_fd.h>
#include <kylgw_mvrio.h>
#include <kylgw_mvrprot.h>
#include <kylgw_xdr_xfer.h>
#include <quorex_crypto.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

// Milliseconds of CLOCK_MONOTONIC.
int64_t monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One request as its movers share it.
struct ListRequest {
    gw_conn_t *c = nullptr;
    uint32_t msgId = 0;
    bool write = false;
    int fd = -1; // the file (a descriptor of this request's own)
    uint64_t fileOffset = 0;
    uint64_t total = 0; // bytes the movers move, from request offset 0
    uint64_t block = 0;
    uint32_t width = 1;
    uint64_t xferId = 0;
    quor_sockaddr_t control{};  // where the movers' control connections go
    quor_sockaddr_t clientIp{}; // the client's address, for wildcard addresses
    uint64_t ticket = 0;        // SecurityTicket of every message of the request
    std::string peerText;       // where the control connections go, for events
    // The movers (stripes) to run; empty: all of them.
    std::vector<uint32_t> only;
    // The local address the movers connect from (a mover daemon's own),
    // when haveSource.
    quor_sockaddr_t source{};
    bool haveSource = false;
    std::atomic<uint32_t> finished{0}; // movers that have ended
    // Bytes moved of each block, written only by the block's mover and
    // read after the movers were joined.
    std::vector<uint64_t> done;
    // The fault at a file offset that applies to this request, or null;
    // its error code, name and the session's firing counter.
    const gw_at_fault_t *at = nullptr;
    int32_t atCode = 0;
    const char *atName = nullptr;
    std::atomic<uint32_t> *atFired = nullptr;
    std::atomic<bool> gapHit{false};

    std::atomic<bool> aborted{false};
    // Taken around every write of this request's movers into the file.
    // The kernel takes the file's inode lock for each buffered write,
    // whatever the descriptor, and movers meeting there spin on it; here
    // they sleep until it is their turn.  (Movers of other processes, the
    // mover daemons, still meet only in the kernel.)
    kyl_mutex_t writeMu;
    kyl_mutex_t mu;
    int firstError KYL_GUARDED_BY(mu) = 0;
    std::vector<int> sockets KYL_GUARDED_BY(mu); // open mover sockets
};

struct Mover {
    ListRequest *r;
    uint32_t k;
    pthread_t thread;
    bool started;
    // The mover's outcome, written by its thread before it ends.
    int status;
    uint64_t pieces, cuts, bytes;
};

void fail(ListRequest *r, int rc)
{
    kyl_lock_guard g(r->mu);
    if (r->firstError == 0)
        r->firstError = rc;
    r->aborted.store(true);
    // Wake every mover blocked on a socket; each closes its own.
    for (int s : r->sockets)
        shutdown(s, SHUT_RDWR);
}

void track(ListRequest *r, int s)
{
    kyl_lock_guard g(r->mu);
    r->sockets.push_back(s);
    if (r->aborted.load())
        shutdown(s, SHUT_RDWR);
}

void untrackClose(ListRequest *r, int *s)
{
    if (*s < 0)
        return;
    kyl_lock_guard g(r->mu);
    r->sockets.erase(std::remove(r->sockets.begin(), r->sockets.end(), *s), r->sockets.end());
    close(*s);
    *s = -1;
}

bool isWildcard(const quor_sockaddr_t &a)
{
    if (a.hs_addr.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in &>(a.hs_addr).sin_addr.s_addr == htonl(INADDR_ANY);
    if (a.hs_addr.ss_family == AF_INET6)
        return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6 &>(a.hs_addr).sin6_addr);
    return false;
}

uint16_t portOf(const quor_sockaddr_t &a)
{
    if (a.hs_addr.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(a.hs_addr).sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6 &>(a.hs_addr).sin6_port);
}

// The address a mover connects to: a as given, or the client's own
// address with a's port when a is the wildcard.
quor_sockaddr_t resolveTarget(const ListRequest *r, const quor_sockaddr_t &a)
{
    if (!isWildcard(a))
        return a;
    quor_sockaddr_t t = r->clientIp;
    const uint16_t port = htons(portOf(a));
    if (t.hs_addr.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in &>(t.hs_addr).sin_port = port;
    else
        reinterpret_cast<sockaddr_in6 &>(t.hs_addr).sin6_port = port;
    return t;
}

// Whether a names the requesting client's own host: movers connect back
// to nothing else, so a request cannot make this host reach other services.
bool isClientHost(const ListRequest *r, const quor_sockaddr_t &a)
{
    const sockaddr_storage &c = r->clientIp.hs_addr;
    if (a.hs_addr.ss_family != c.ss_family)
        return false;
    if (c.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in &>(a.hs_addr).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in &>(c).sin_addr.s_addr;
    return c.ss_family == AF_INET6 &&
           memcmp(&reinterpret_cast<const sockaddr_in6 &>(a.hs_addr).sin6_addr,
                  &reinterpret_cast<const sockaddr_in6 &>(c).sin6_addr, sizeof(in6_addr)) == 0;
}

// "host:port" of a, for the events.
std::string addressText(const quor_sockaddr_t &a)
{
    char host[INET6_ADDRSTRLEN] = "?";
    const bool v4 = a.hs_addr.ss_family == AF_INET;
    inet_ntop(a.hs_addr.ss_family,
              v4 ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in &>(a.hs_addr).sin_addr)
                 : static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 &>(a.hs_addr).sin6_addr),
              host, sizeof host);
    return std::string(host) + ":" + std::to_string(portOf(a));
}

// The request's SecurityTicket: the session's transfer secret for its
// transfer id; a random one when the session has no key (the client then
// trusts no mover, as it has no secret either).
uint64_t requestTicket(const ListRequest *r);

// Connects a tracked socket to a within GW_MOVER_CONNECT_TIMEOUT.  Returns
// the socket or a negative errno.
int connectTracked(ListRequest *r, const quor_sockaddr_t &a)
{
    const int fam = a.hs_addr.ss_family;
    if (fam != AF_INET && fam != AF_INET6)
        return -EAFNOSUPPORT;
    int s = socket(fam, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0)
        return -errno;
    track(r, s);
    const socklen_t len = fam == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (r->haveSource && r->source.hs_addr.ss_family == fam &&
        bind(s, reinterpret_cast<const sockaddr *>(&r->source.hs_addr), len) != 0) {
        int e = errno;
        untrackClose(r, &s);
        return -e;
    }
    if (const std::string &src = r->c->faults.moverSrc; !src.empty() && fam == AF_INET) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        if (inet_pton(AF_INET, src.c_str(), &from.sin_addr) == 1 &&
            bind(s, reinterpret_cast<const sockaddr *>(&from), sizeof from) == 0)
            gw_FaultFired(r->c, "mover_src", nullptr);
    }
    if (connect(s, reinterpret_cast<const sockaddr *>(&a.hs_addr), len) != 0 && errno != EINPROGRESS) {
        int e = errno;
        untrackClose(r, &s);
        return -e;
    }
    pollfd p{s, POLLOUT, 0};
    int n;
    while ((n = poll(&p, 1, GW_MOVER_CONNECT_TIMEOUT * 1000)) < 0 && errno == EINTR) {
    }
    int err = 0;
    socklen_t el = sizeof err;
    if (n == 0)
        err = ETIMEDOUT;
    else if (n < 0)
        err = errno;
    else if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &el) != 0)
        err = errno;
    if (err != 0) {
        untrackClose(r, &s);
        return -err;
    }
    // The mover protocol is short messages each waiting for an answer.
    int on = 1;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return s;
}

uint64_t randomTicket()
{
    uint64_t t = 0;
    if (getrandom(&t, sizeof t, 0) != static_cast<ssize_t>(sizeof t))
        t = 0x5eed5eed5eed5eedull;
    return t;
}

uint64_t requestTicket(const ListRequest *r)
{
    unsigned char secret[TRANSFER_SECRET_SIZE];
    if (gw_AuthTransferSecret(r->c, TRANSFER_SECRET_MOVER, r->xferId, secret) != 0)
        return randomTicket();
    const uint64_t t = transfer_secret_ticket(secret);
    quorex_Wipe(secret, sizeof secret);
    return t;
}

ssize_t preadFull(int fd, unsigned char *buf, size_t len, uint64_t at)
{
    size_t got = 0;
    while (got < len) {
        ssize_t n = pread(fd, buf + got, len - got, static_cast<off_t>(at + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            return -EIO; // the file shrank under the transfer
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

ssize_t pwriteFull(int fd, const unsigned char *buf, size_t len, uint64_t at)
{
    size_t put = 0;
    while (put < len) {
        ssize_t n = pwrite(fd, buf + put, len - put, static_cast<off_t>(at + put));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        put += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(put);
}

// One mover's connections and counters.
struct MoverState {
    int ctl = -1;
    int data = -1;
    uint64_t pieces = 0;
    uint64_t cuts = 0;
    uint64_t bytes = 0;
    std::vector<unsigned char> buf;
};

// The faults of the session that apply to this piece (mover 0's first).
struct PieceFaults {
    bool badChecksum, wrongXferid, offsetOutside, closeMidblock, overclaim;
    uint32_t stall;
};

void faultFired(const ListRequest *r, const char *name)
{
    gw_FaultFired(r->c, name, nullptr);
}

// Counts one more firing of a fault allowed limit times; false once the
// limit is reached.
bool takeFault(std::atomic<uint32_t> *fired, uint32_t limit)
{
    uint32_t seen = fired->load();
    while (seen < limit)
        if (fired->compare_exchange_weak(seen, seen + 1))
            return true;
    return false;
}

// Moves one piece [off, off + len) of the request: initiator, the client's
// answer (possibly cut), the address message, the data block, the
// completion.  *moved gets the bytes moved.  Returns 0 or a negative code.
int movePiece(ListRequest *r, MoverState *m, const PieceFaults &f, uint64_t off, uint64_t len, uint64_t *moved)
{
    const int T = GW_MOVER_IO_TIMEOUT;
    initiator_msg_t im{};
    im.Flags = MVRPROT_COMP_REPLY;
    im.Type = MVRPROT_TYPE_TCP;
    im.Offset = off;
    im.Length = len;
    im.BlockSize = r->block;
    im.StripeWidth = r->width;
    im.TotalLength = r->total;
    im.SecurityTicket = r->ticket;
    int rc;
    if (f.badChecksum) {
        faultFired(r, "bad_init_checksum");
        unsigned char raw[MVRPROT_INITMSG_SIZE];
        mvrprot_pack_initmsg(&im, raw);
        quor_encode_64(raw, MVRPROT_INITMSG_SIZE - 8, quor_decode_64(raw, MVRPROT_INITMSG_SIZE - 8) + 1);
        ssize_t n = quor_send_data_timeout(m->ctl, raw, sizeof raw, T);
        rc = n < 0 ? static_cast<int>(n) : 0;
    } else {
        rc = mvrprot_send_initmsg_timeout(m->ctl, &im, T);
    }
    if (rc != 0)
        return rc;
    initiator_msg_t reply{};
    if ((rc = mvrprot_recv_initmsg_timeout(m->ctl, &reply, T)) != 0)
        return rc;
    if (reply.Length == 0 || reply.Length > len || reply.Offset != off)
        return -EPROTO;
    if (reply.Length < len)
        m->cuts++;
    initiator_ipaddr_t ia{};
    if ((rc = mvrprot_recv_ipaddr_timeout(m->ctl, &ia, T)) != 0)
        return rc;
    if (m->data < 0) {
        const quor_sockaddr_t to = resolveTarget(r, ia.IpAddr.SockAddr);
        if (!isClientHost(r, to))
            return -EACCES; // the client names another host for its data
        int s = connectTracked(r, to);
        if (s < 0)
            return s;
        m->data = s;
    }
    if (f.stall > 0) {
        // Stops before the block, or until the client gives up and closes.
        faultFired(r, "mover_stall");
        pollfd p{m->ctl, POLLIN, 0};
        while (poll(&p, 1, static_cast<int>(f.stall) * 1000) < 0 && errno == EINTR) {
        }
    }
    const uint64_t plen = reply.Length;
    m->buf.resize(plen);
    pdata_hdr_t h{};
    h.XferID = r->xferId;
    h.Offset = off;
    h.Length = plen;
    h.SecurityTicket = im.SecurityTicket;
    if (f.wrongXferid) {
        faultFired(r, "wrong_xferid");
        h.XferID++;
    }
    if (f.offsetOutside) {
        faultFired(r, "pdata_offset_outside");
        h.Offset = r->total + r->block;
    }
    const size_t cut = f.closeMidblock ? plen / 2 : plen;
    if (f.closeMidblock)
        faultFired(r, "mover_close_midblock");
    if (!r->write) {
        ssize_t n = preadFull(r->fd, m->buf.data(), plen, r->fileOffset + off);
        if (n < 0)
            return static_cast<int>(n);
        if (f.closeMidblock) {
            if ((rc = pdata_send_hdr_timeout(m->data, &h, T)) < 0)
                return rc;
            n = quor_send_data_timeout(m->data, m->buf.data(), cut, T);
            return n < 0 ? static_cast<int>(n) : -ECONNABORTED;
        }
        n = pdata_send_hdr_and_data_timeout(m->data, &h, m->buf.data(), plen, T);
        if (n < 0)
            return static_cast<int>(n);
    } else {
        if ((rc = pdata_send_hdr_timeout(m->data, &h, T)) < 0)
            return rc;
        pdata_hdr_t in{};
        rc = pdata_recv_hdr_timeout(m->data, &in, T);
        if (rc != static_cast<int>(PDATA_HDR_SIZE))
            return rc < 0 ? rc : -EIO;
        if (in.XferID != h.XferID || in.Offset != h.Offset || in.Length != plen)
            return -EPROTO;
        ssize_t n = quor_recv_data_timeout(m->data, m->buf.data(), cut, T);
        if (n < 0)
            return static_cast<int>(n);
        if (f.closeMidblock)
            return -ECONNABORTED;
        {
            kyl_lock_guard g(r->writeMu);
            n = pwriteFull(r->fd, m->buf.data(), plen, r->fileOffset + off);
        }
        if (n < 0)
            return static_cast<int>(n);
    }
    completion_msg_t cm{};
    cm.Status = 0;
    cm.BytesMoved = plen;
    cm.SecurityTicket = im.SecurityTicket;
    if (f.overclaim) {
        faultFired(r, "compl_overclaim");
        cm.BytesMoved++;
    }
    if ((rc = mvrprot_send_compmsg_timeout(m->ctl, &cm, T)) != 0)
        return rc;
    *moved = plen;
    return 0;
}

// Records the outcome of mover mv (event and counters) as it ends.
void moverEnded(Mover *mv, const MoverState &m, int rc)
{
    ListRequest *r = mv->r;
    gw_event("mover")
        .num("session", static_cast<int64_t>(r->c->id))
        .num("request", r->msgId)
        .num("xfer", static_cast<int64_t>(r->xferId))
        .num("mover", mv->k)
        .num("width", r->width)
        .str("peer", r->peerText)
        .num("pieces", static_cast<int64_t>(m.pieces))
        .num("cuts", static_cast<int64_t>(m.cuts))
        .num("bytes", static_cast<int64_t>(m.bytes))
        .num("status", rc)
        .emit();
    mv->status = rc;
    mv->pieces = m.pieces;
    mv->cuts = m.cuts;
    mv->bytes = m.bytes;
    r->finished.fetch_add(1);
}

void *runMover(void *arg)
{
    auto *mv = static_cast<Mover *>(arg);
    ListRequest *r = mv->r;
    const gw_faults_t &faults = r->c->faults;
    const uint64_t nblocks = r->done.size();
    gw_event("mover_start")
        .num("session", static_cast<int64_t>(r->c->id))
        .num("request", r->msgId)
        .num("xfer", static_cast<int64_t>(r->xferId))
        .num("mover", mv->k)
        .num("width", r->width)
        .num("offset", static_cast<int64_t>(r->fileOffset))
        .num("length", static_cast<int64_t>(r->total))
        .emit();
    MoverState m;
    int rc = connectTracked(r, r->control);
    if (rc >= 0) {
        m.ctl = rc;
        rc = 0;
    }
    bool firstPiece = mv->k == 0;
    const bool dies = mv->k == 0 && faults.moverDie > 0 && takeFault(&r->c->moverDieFired, faults.moverDie);
    if (dies)
        faultFired(r, "mover_die");
    bool repeat = mv->k == 0 && faults.duplicateAddress;
    bool askEarlier = mv->k == 0 && faults.requestEarlierData;
    uint64_t firstOff = 0, firstLen = 0;
    uint32_t waitMs = 0;
    if (faults.reverseOrder)
        waitMs = (r->width - 1 - mv->k) * 100;
    if (faults.delayMoverSet && faults.delayMover == mv->k)
        waitMs = faults.delayMoverMs;
    if (waitMs > 0) {
        faultFired(r, faults.reverseOrder ? "reverse_order" : "delay_mover");
        struct timespec ts = {static_cast<time_t>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
    bool stop = false;
    for (uint64_t j = mv->k; rc == 0 && !stop && j < nblocks; j += r->width) {
        uint64_t off = j * r->block;
        const uint64_t end = std::min(off + r->block, r->total);
        while (rc == 0 && off < end) {
            if (r->aborted.load()) {
                rc = -ECANCELED;
                break;
            }
            uint64_t pieceEnd = end;
            if (r->at != nullptr) {
                const uint64_t x = r->at->offset - r->fileOffset; // inside the request
                if (x > off && x < end) {
                    pieceEnd = x; // the bytes before the fault move first
                } else if (x == off && takeFault(r->atFired, r->at->times)) {
                    faultFired(r, r->atName);
                    if (r->atCode == 0) {
                        r->gapHit.store(true); // a read stops at the hole
                        stop = true;
                        break;
                    }
                    rc = r->atCode;
                    break;
                }
            }
            PieceFaults f{};
            if (firstPiece) {
                f = {faults.badInitChecksum,    faults.wrongXferid,
                     faults.pdataOffsetOutside, faults.moverCloseMidblock || dies,
                     faults.complOverclaim,     faults.moverStall};
                firstPiece = false;
                firstOff = off;
                firstLen = pieceEnd - off;
            }
            uint64_t moved = 0;
            rc = movePiece(r, &m, f, off, pieceEnd - off, &moved);
            if (rc != 0)
                break;
            m.pieces++;
            m.bytes += moved;
            if (repeat) {
                // Asks for the same bytes once more.
                faultFired(r, "duplicate_address");
                repeat = false;
                continue;
            }
            r->done[j] += moved;
            off += moved;
            if (askEarlier && m.pieces == 2) {
                // Asks for bytes the client already moved.
                faultFired(r, "request_earlier_data");
                askEarlier = false;
                uint64_t again = 0;
                rc = movePiece(r, &m, PieceFaults{}, firstOff, firstLen, &again);
            }
        }
    }
    if (rc != 0) {
        if (m.ctl >= 0 && rc != -ECANCELED && !r->aborted.load()) {
            // Tells the client this piece failed, if it still listens.
            completion_msg_t cm{};
            cm.Status = rc;
            (void)mvrprot_send_compmsg_timeout(m.ctl, &cm, 1);
        }
        fail(r, rc);
    }
    untrackClose(r, &m.data);
    untrackClose(r, &m.ctl);
    moverEnded(mv, m, rc);
    return nullptr;
}

// The descriptors of a valid list request: 0, or -EINVAL.
int checkIod(const quor_IOD_t &iod, bool write, const iod_srcsinkdesc_t **net, const iod_srcsinkdesc_t **file)
{
    if (iod.Function != (write ? IOD_FUNC_WRITE : IOD_FUNC_READ) || iod.SrcDescLength != 1 || iod.SinkDescLength != 1 ||
        iod.SrcDescList == nullptr || iod.SinkDescList == nullptr)
        return -EINVAL;
    *net = write ? iod.SrcDescList : iod.SinkDescList;
    *file = write ? iod.SinkDescList : iod.SrcDescList;
    if ((*net)->SrcSinkAddr.Type != IOD_ADDR_NET || (*file)->SrcSinkAddr.Type != IOD_ADDR_CLIENTFILE ||
        (*net)->Length != (*file)->Length || (*net)->Length > GW_MOVER_MAX_LENGTH)
        return -EINVAL;
    return 0;
}

// Starts the movers of r (all, or r->only) into *mv.  Returns how many
// started.
uint32_t startMovers(ListRequest *r, std::vector<Mover> *mv)
{
    const uint64_t nblocks = r->done.size();
    std::vector<uint32_t> ks = r->only;
    if (ks.empty())
        for (uint32_t k = 0; k < std::min<uint64_t>(r->width, nblocks); k++)
            ks.push_back(k);
    mv->assign(ks.size(), Mover{});
    uint32_t started = 0;
    for (size_t i = 0; i < ks.size(); i++) {
        Mover &m = (*mv)[i];
        m = Mover{r, ks[i], {}, false, 0, 0, 0, 0};
        if (ks[i] >= nblocks)
            continue; // a stripe without blocks moves nothing
        int e = pthread_create(&m.thread, nullptr, runMover, &m);
        if (e != 0) {
            fail(r, -e);
            break;
        }
        m.started = true;
        started++;
    }
    return started;
}

// Runs the movers of r and waits for all of them.  Returns the first
// failure or 0.
int runMovers(ListRequest *r)
{
    std::vector<Mover> mv;
    (void)startMovers(r, &mv);
    for (Mover &m : mv)
        if (m.started)
            pthread_join(m.thread, nullptr);
    kyl_lock_guard g(r->mu);
    return r->firstError;
}

// Has the mover daemons move r's stripes (gw_mvremote.h) and takes the
// bytes each block moved from their reports.  Returns the first failure.
int remoteMovers(ListRequest *r, const std::string &path)
{
    gw_mvjob_t job;
    job.session = r->c->id;
    job.request = r->msgId;
    job.write = r->write;
    if (const gw_user_t *u = r->c->user.load(); u != nullptr) {
        job.uid = u->uid;
        job.gid = u->gid;
        job.groups.assign(u->groups.begin(), u->groups.begin() + std::min<size_t>(u->groups.size(), 64));
    } else {
        job.uid = static_cast<uint32_t>(geteuid());
        job.gid = static_cast<uint32_t>(getegid());
    }
    job.path = path;
    job.fileOffset = r->fileOffset;
    job.total = r->total;
    job.block = r->block;
    job.width = r->width;
    job.xferId = r->xferId;
    job.ticket = r->ticket;
    job.control = r->control;
    job.clientIp = r->clientIp;
    return gw_RemoteMove(r->c, job, &r->done);
}

int replyIor(gw_conn_t *c, const gw_request_t *req, const kyl_uuid_t &id, int32_t status, uint64_t moved,
             const iod_gap_t *gap = nullptr)
{
    iod_srcsinkreply_t src{0, status, moved, nullptr};
    iod_srcsinkreply_t sink{0, status, moved, nullptr};
    quor_IOR_t ior{};
    ior.RequestID = id;
    ior.Status = status;
    iod_reqspecreply_t reqReply{};
    if (gap != nullptr) {
        ior.Flags = IOR_GAP_DETECTED;
        reqReply.ReqReplyType = IOD_REQREPLY_GAP;
        reqReply.Gap = *gap;
        ior.ReqSpecReply = &reqReply;
    }
    ior.SrcReplyLength = 1;
    ior.SinkReplyLength = 1;
    ior.SrcReplyList = &src;
    ior.SinkReplyList = &sink;
    return gw_SendReplyBody(c, req, status, KYL_XDRPROC(quor_IOR_t, xdr_quor_IOR_t), &ior);
}

// Picks the fault at a file offset that applies to request r: one of the
// request's direction whose offset lies inside the request.
void chooseAtFault(ListRequest *r, gw_conn_t *c)
{
    const gw_faults_t &f = c->faults;
    struct Choice {
        const gw_at_fault_t *at;
        bool write;
        int32_t code; // 0: a hole
        const char *name;
    };
    const Choice choices[] = {
        {&f.writeEioAt, true, -EIO, "write_eio_at"},
        {&f.eomAt, true, -9000, "eom_at"},
        {&f.enospcAt, true, -ENOSPC, "enospc_at"},
        {&f.readEioAt, false, -EIO, "read_eio_at"},
        {&f.gapAt, false, 0, "gap_at"},
    };
    for (size_t i = 0; i < sizeof choices / sizeof choices[0]; i++) {
        const Choice &ch = choices[i];
        if (!ch.at->set || ch.write != r->write || ch.at->offset < r->fileOffset ||
            ch.at->offset - r->fileOffset >= r->total || c->atFaultFired[i].load() >= ch.at->times)
            continue;
        r->at = ch.at;
        r->atCode = ch.code;
        r->atName = ch.name;
        r->atFired = &c->atFaultFired[i];
        return;
    }
}

// Waits up to GW_SEQ_CLOSE_TIMEOUT for the client to close connection s
// after its block.  0 when it did, or a negative code.
int awaitClientClose(int s)
{
    pollfd p{s, POLLIN, 0};
    int n;
    while ((n = poll(&p, 1, GW_SEQ_CLOSE_TIMEOUT * 1000)) < 0 && errno == EINTR) {
    }
    if (n <= 0)
        return n == 0 ? -ETIMEDOUT : -errno;
    char b;
    ssize_t got;
    while ((got = recv(s, &b, 1, 0)) < 0 && errno == EINTR) {
    }
    if (got < 0)
        return errno == ECONNRESET ? 0 : -errno;
    return got == 0 ? 0 : -EPROTO; // bytes where the close was due
}

// Moves [0, r->total) of a sequential request one block per connection:
// connect, send the block (read) or ask for it and take it (write), wait
// for the client to close, then the next.  *moved gets the bytes moved;
// *blocks the connections used.  Returns 0 or a negative code.
int moveSequential(ListRequest *r, uint64_t *moved, uint64_t *blocks)
{
    const int T = GW_MOVER_IO_TIMEOUT;
    std::vector<unsigned char> buf;
    while (*moved < r->total) {
        const uint64_t off = *moved;
        const uint64_t len = std::min(r->total - off, r->block);
        buf.resize(len);
        int s = connectTracked(r, r->control);
        if (s < 0)
            return s;
        (*blocks)++;
        pdata_hdr_t h{};
        h.XferID = r->xferId;
        h.Offset = off;
        h.Length = len;
        h.SecurityTicket = r->ticket;
        ssize_t n;
        if (!r->write) {
            n = preadFull(r->fd, buf.data(), len, r->fileOffset + off);
            if (n >= 0)
                n = pdata_send_hdr_and_data_timeout(s, &h, buf.data(), len, T);
        } else {
            n = pdata_send_hdr_timeout(s, &h, T);
            pdata_hdr_t in{};
            if (n >= 0) {
                n = pdata_recv_hdr_timeout(s, &in, T);
                if (n == static_cast<ssize_t>(PDATA_HDR_SIZE) &&
                    (in.XferID != h.XferID || in.Offset != off || in.Length != len))
                    n = -EPROTO;
                else if (n >= 0 && n != static_cast<ssize_t>(PDATA_HDR_SIZE))
                    n = -EIO;
            }
            if (n >= 0)
                n = quor_recv_data_timeout(s, buf.data(), len, T);
            if (n >= 0)
                n = pwriteFull(r->fd, buf.data(), len, r->fileOffset + off);
        }
        if (n >= 0)
            n = awaitClientClose(s);
        untrackClose(r, &s);
        if (n < 0)
            return static_cast<int>(n);
        *moved += len;
    }
    return 0;
}

// The error a counted fault makes this sequential transfer fail with (it
// then moves nothing), or 0.
int32_t sequentialFault(gw_conn_t *c, const gw_request_t *req, bool write)
{
    const gw_faults_t &f = c->faults;
    const char *name = nullptr;
    int32_t code = -EIO;
    if (!write && takeFault(&c->eioReadFired, f.eioRead))
        name = "eio_read";
    else if (write && takeFault(&c->enospcWriteFired, f.enospcWrite)) {
        name = "enospc_write";
        code = -ENOSPC;
    } else if (takeFault(&c->seqEioFired, f.seqEio))
        name = "seq_eio";
    if (name == nullptr)
        return 0;
    gw_FaultFired(c, name, &req->hdr);
    return code;
}

// Where a request starts in the file (its own offset, or the file's current
// position) and how many bytes it moves: a read moves only what exists.
// *size receives the file's size for a read.  Returns 0 or a negative errno.
int requestSpan(ListRequest *r, const iod_srcsinkdesc_t *file, const iod_srcsinkdesc_t *net, uint64_t *size)
{
    uint64_t start = file->SrcSinkAddr.Addr.ClientFileAddr.FileOffset;
    if (start == IOD_CURRENT_POSITION) {
        off_t pos = lseek(r->fd, 0, SEEK_CUR);
        if (pos < 0)
            return -errno;
        start = static_cast<uint64_t>(pos);
    }
    r->fileOffset = start;
    r->total = net->Length;
    if (!r->write) {
        struct stat st {};
        if (fstat(r->fd, &st) != 0)
            return -errno;
        *size = static_cast<uint64_t>(st.st_size);
        r->total = *size <= start ? 0 : std::min(r->total, *size - start);
    }
    return 0;
}

// Refuses a request whose movers would connect to another host than the
// client's own.
int refuseElsewhere(gw_conn_t *c, const gw_request_t *req, const quor_IOD_t &iod)
{
    gw_Log("session %llu: list request id %u names another host than the client's - refused",
           static_cast<unsigned long long>(c->id), req->hdr.msgRequestID);
    return replyIor(c, req, iod.RequestID, -EACCES, 0);
}

// Serves a sequential read or write (descriptor flag 0x20 without the
// mover protocol): no control connections; one block per data connection,
// never two connections open at once.
int serveSequential(gw_conn_t *c, const gw_request_t *req, const quor_IOD_t &iod, const iod_srcsinkdesc_t *net,
                    const iod_srcsinkdesc_t *file, bool write)
{
    gw_fsxfer_t xf{};
    int rc = gw_FsTransferFile(c, file->SrcSinkAddr.Addr.ClientFileAddr.FileDes, write, &xf);
    if (rc != 0)
        return replyIor(c, req, iod.RequestID, rc, 0);
    kyl_fd fileFd(xf.fd);
    rc = sequentialFault(c, req, write);
    if (rc != 0)
        return replyIor(c, req, iod.RequestID, rc, 0);
    ListRequest r;
    r.c = c;
    r.msgId = req->hdr.msgRequestID;
    r.write = write;
    r.fd = xf.fd;
    r.xferId = net->SrcSinkAddr.Addr.NetAddr.SockTransferID;
    r.block = GW_SEQ_BLOCK;
    uint64_t size = 0;
    rc = requestSpan(&r, file, net, &size);
    if (rc != 0)
        return replyIor(c, req, iod.RequestID, rc, 0);
    const uint64_t start = r.fileOffset;
    if (!write && c->faults.shortRead && r.total > 0 && start + r.total == size) {
        gw_FaultFired(c, "short_read", &req->hdr);
        r.total--;
    }
    if (start > (1ull << 62))
        return replyIor(c, req, iod.RequestID, -EINVAL, 0);
    r.clientIp.hs_addrlen = sizeof r.clientIp.hs_addr;
    if (getpeername(c->fd, reinterpret_cast<sockaddr *>(&r.clientIp.hs_addr), &r.clientIp.hs_addrlen) != 0)
        return replyIor(c, req, iod.RequestID, -errno, 0);
    r.control = resolveTarget(&r, net->SrcSinkAddr.Addr.NetAddr.SockAddr);
    if (!isClientHost(&r, r.control))
        return refuseElsewhere(c, req, iod);
    r.ticket = requestTicket(&r);
    uint64_t moved = 0, blocks = 0;
    rc = moveSequential(&r, &moved, &blocks);
    (void)lseek(xf.fd, static_cast<off_t>(start + moved), SEEK_SET);
    if (rc != 0)
        gw_Log("session %llu: sequential %s id %u failed after %llu bytes: %s", static_cast<unsigned long long>(c->id),
               write ? "write" : "read", r.msgId, static_cast<unsigned long long>(moved), strerror(-rc));
    gw_event("sequential")
        .num("session", static_cast<int64_t>(c->id))
        .num("request", r.msgId)
        .num("xfer", static_cast<int64_t>(r.xferId))
        .num("function", write ? IOD_FUNC_WRITE : IOD_FUNC_READ)
        .num("asked", static_cast<int64_t>(net->Length))
        .num("blocks", static_cast<int64_t>(blocks))
        .num("bytes", static_cast<int64_t>(moved))
        .num("status", rc)
        .emit();
    fileFd.reset();
    if (rc == 0 && c->faults.bytesOverclaim) {
        gw_FaultFired(c, "bytes_overclaim", &req->hdr);
        moved = net->Length + 1;
    }
    return replyIor(c, req, iod.RequestID, rc, moved);
}

} // namespace

bool gw_MoversServe(uint16_t category, uint16_t function)
{
    return category == CAT_FILESYS && (function == FN_FS_READLIST || function == FN_FS_WRITELIST);
}

int gw_ServeListTransfer(gw_conn_t *c, const gw_request_t *req)
{
    const bool write = req->hdr.function == FN_FS_WRITELIST;
    const unsigned long long sid = c->id;
    if (req->body == nullptr)
        return gw_SendReply(c, req, -EINVAL, nullptr, nullptr);
    const quor_IOD_t &iod = write ? static_cast<const api_quor_WriteList_req_t *>(req->body)->IOD
                                  : static_cast<const api_quor_ReadList_req_t *>(req->body)->IOD;
    const iod_srcsinkdesc_t *net = nullptr, *file = nullptr;
    int rc = checkIod(iod, write, &net, &file);
    if (rc != 0) {
        gw_Log("session %llu: list request id %u: descriptors refused", sid, req->hdr.msgRequestID);
        return replyIor(c, req, iod.RequestID, rc, 0);
    }
    if ((net->Flags & IOD_DESC_MOVER_PROTOCOL) == 0)
        return serveSequential(c, req, iod, net, file, write);
    gw_fsxfer_t xf{};
    rc = gw_FsTransferFile(c, file->SrcSinkAddr.Addr.ClientFileAddr.FileDes, write, &xf);
    if (rc != 0)
        return replyIor(c, req, iod.RequestID, rc, 0);
    kyl_fd fileFd(xf.fd);

    ListRequest r;
    r.c = c;
    r.msgId = req->hdr.msgRequestID;
    r.write = write;
    r.fd = xf.fd;
    r.xferId = net->SrcSinkAddr.Addr.NetAddr.SockTransferID;
    r.block = xf.block;
    // Capped before anything is computed from it.
    r.width = std::max<uint32_t>(1, std::min(xf.width, GW_MOVER_MAX_WIDTH));
    uint64_t size = 0;
    rc = requestSpan(&r, file, net, &size);
    if (rc != 0)
        return replyIor(c, req, iod.RequestID, rc, 0);
    const uint64_t start = r.fileOffset;
    if (r.block == 0 || r.total / r.block >= GW_MOVER_MAX_BLOCKS || start > (1ull << 62)) {
        gw_Log("session %llu: list request id %u: %llu bytes in blocks of %llu refused", sid, r.msgId,
               static_cast<unsigned long long>(r.total), static_cast<unsigned long long>(r.block));
        return replyIor(c, req, iod.RequestID, -EINVAL, 0);
    }
    r.done.assign((r.total + r.block - 1) / r.block, 0);
    chooseAtFault(&r, c);
    r.control = net->SrcSinkAddr.Addr.NetAddr.SockAddr;
    r.clientIp.hs_addrlen = sizeof r.clientIp.hs_addr;
    if (getpeername(c->fd, reinterpret_cast<sockaddr *>(&r.clientIp.hs_addr), &r.clientIp.hs_addrlen) != 0)
        return replyIor(c, req, iod.RequestID, -errno, 0);
    r.control = resolveTarget(&r, r.control);
    if (!isClientHost(&r, r.control))
        return refuseElsewhere(c, req, iod);
    r.ticket = requestTicket(&r);
    r.peerText = addressText(r.control);

    rc = r.total == 0 ? 0 : gw_RemoteOn() ? remoteMovers(&r, xf.path) : runMovers(&r);
    uint64_t prefix = 0;
    for (uint64_t b = 0; b < r.done.size(); b++) {
        prefix += r.done[b];
        if (r.done[b] != std::min(r.block, r.total - b * r.block))
            break;
    }
    // A mover whose connection broke (or that died) failed the request
    // with an I/O error, which the client may retry; protocol errors keep
    // their own codes.
    if (rc == -ECONNABORTED || rc == -ECONNRESET || rc == -EPIPE)
        rc = -EIO;
    if (rc != 0 && write && ftruncate(xf.fd, static_cast<off_t>(start + prefix)) != 0)
        gw_Log("session %llu: list request id %u: cannot cut the file back to %llu bytes: %s", sid, r.msgId,
               static_cast<unsigned long long>(start + prefix), strerror(errno));
    (void)lseek(xf.fd, static_cast<off_t>(start + prefix), SEEK_SET);
    if (rc != 0)
        gw_Log("session %llu: list %s id %u failed after %llu bytes: %s", sid, write ? "write" : "read", r.msgId,
               static_cast<unsigned long long>(prefix), strerror(-rc));
    fileFd.reset();
    gw_event("list")
        .num("session", static_cast<int64_t>(c->id))
        .num("request", r.msgId)
        .num("xfer", static_cast<int64_t>(r.xferId))
        .num("function", write ? IOD_FUNC_WRITE : IOD_FUNC_READ)
        .num("offset", static_cast<int64_t>(start))
        .num("asked", static_cast<int64_t>(net->Length))
        .num("bytes", static_cast<int64_t>(prefix))
        .num("width", r.width)
        .num("status", rc)
        .emit();
    if (rc == 0 && c->faults.bytesOverclaim) {
        gw_FaultFired(c, "bytes_overclaim", &req->hdr);
        prefix = net->Length + 1;
    }
    if (rc == 0 && prefix > 0 && c->faults.successZero && !c->successZeroFired.exchange(true)) {
        gw_FaultFired(c, "success_zero", &req->hdr);
        prefix = 0;
    }
    if (rc == -ENOSPC && r.at != nullptr && r.at->movedZero)
        prefix = 0;
    if (rc == 0 && r.gapHit.load()) {
        const iod_gap_t gap{r.at->offset, r.at->length};
        return replyIor(c, req, iod.RequestID, rc, prefix, &gap);
    }
    return replyIor(c, req, iod.RequestID, rc, prefix);
}

void gw_MoversRunJob(gw_conn_t *c, const gw_mvjob_t &job, int fd, const quor_sockaddr_t *source, int watch,
                     int (*alive)(void *), void *arg, gw_mvreport_t *rep)
{
    ListRequest r;
    r.c = c;
    r.msgId = job.request;
    r.write = job.write;
    r.fd = fd;
    r.fileOffset = job.fileOffset;
    r.total = job.total;
    r.block = job.block;
    r.width = job.width;
    r.xferId = job.xferId;
    r.ticket = job.ticket;
    r.control = job.control;
    r.clientIp = job.clientIp;
    r.peerText = addressText(r.control);
    r.only = job.stripes;
    if (source != nullptr) {
        r.source = *source;
        r.haveSource = true;
    }
    r.done.assign((r.total + r.block - 1) / r.block, 0);
    chooseAtFault(&r, c);
    std::vector<Mover> mv;
    const uint32_t started = startMovers(&r, &mv);
    int64_t lastAlive = monotonicMs();
    while (r.finished.load() < started) {
        pollfd p{watch, POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            fail(&r, -ECANCELED); // the gateway gave the request up
            watch = -1;           // poll ignores it from now on
        }
        if (monotonicMs() - lastAlive >= GW_MVLINK_ALIVE_EVERY * 1000) {
            lastAlive = monotonicMs();
            if (alive(arg) != 0)
                fail(&r, -ECANCELED);
        }
    }
    for (Mover &m : mv)
        if (m.started)
            pthread_join(m.thread, nullptr);
    {
        kyl_lock_guard g(r.mu);
        rep->status = r.firstError;
    }
    rep->stripes.clear();
    for (const Mover &m : mv) {
        gw_mvstripe_t st;
        st.k = m.k;
        st.status = m.status;
        st.pieces = m.pieces;
        st.cuts = m.cuts;
        st.bytes = m.bytes;
        for (uint64_t b = m.k; b < r.done.size(); b += r.width)
            st.done.push_back(r.done[b]);
        rep->stripes.push_back(std::move(st));
    }
}
