// The gateway data stream (see gw_stream.h).  The listening socket is
// bound to the address the client reached kylgwd on, with a port of the
// system's choice, so the client connects where it already talks to us.
// Any local process can connect there too: only the connection that opens
// with the stream's transfer secret is taken.

#include "gw_stream.h"

#include "gw_auth.h"
#include "gw_fileops.h"

#include <kyl_fd.h>
#include <kylgw_errors.h>
#include <kylgw_msg.h>
#include <kylgw_mvrio.h>
#include <kylgw_mvrprot.h>
#include <kylgw_xdr_fs.h>
#include <kylgw_xdr_xfer.h>
#include <quorex_crypto.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kChunk = 1u << 20;
// Connections on a data listener waiting at once to prove themselves.
constexpr size_t kMaxCandidates = 8;

// A listening socket on c's local address: the socket, its port in *port
// (host order), or -errno.
int listenLocal(const gw_conn_t *c, uint16_t *port)
{
    sockaddr_storage a{};
    socklen_t al = sizeof a;
    if (getsockname(c->fd, reinterpret_cast<sockaddr *>(&a), &al) != 0)
        return -errno;
    if (a.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in &>(a).sin_port = 0;
    else if (a.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 &>(a).sin6_port = 0;
    else
        return -EAFNOSUPPORT;
    kyl_fd s(socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (s.get() < 0 || bind(s.get(), reinterpret_cast<sockaddr *>(&a), al) != 0 ||
        listen(s.get(), static_cast<int>(kMaxCandidates)) != 0 ||
        getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &al) != 0)
        return -errno;
    *port = ntohs(a.ss_family == AF_INET ? reinterpret_cast<sockaddr_in &>(a).sin_port
                                         : reinterpret_cast<sockaddr_in6 &>(a).sin6_port);
    return s.release();
}

// A connection on the data listener that has not yet shown the stream's
// proof: the bytes of it received so far.
struct Candidate {
    int fd;
    size_t have;
    unsigned char got[TRANSFER_SECRET_SIZE];
};

// Receives what candidate k has sent of its proof: 1 when it is complete
// and equal to proof, 0 while it is incomplete, -1 when it differs or the
// connection ended or failed.
int advanceCandidate(Candidate *k, const unsigned char *proof)
{
    ssize_t n = recv(k->fd, k->got + k->have, sizeof k->got - k->have, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    if (n <= 0)
        return -1;
    k->have += static_cast<size_t>(n);
    if (k->have < sizeof k->got)
        return 0;
    return quorex_ConstTimeEqual(k->got, proof, sizeof k->got) ? 1 : -1;
}

// Takes the next connection waiting on the listener ls into pending; when
// pending is full its oldest connection gives way, so that strangers that
// connect and stay silent cannot keep the client out.
void acceptCandidate(int ls, std::vector<Candidate> *pending)
{
    const int s = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s < 0)
        return;
    if (pending->size() >= kMaxCandidates) {
        close(pending->front().fd);
        pending->erase(pending->begin());
    }
    pending->push_back(Candidate{s, 0, {}});
}

// Accepts connections on the data listener ls until one opens with proof,
// the transfer secret of this stream that only the two parties of the
// session can compute.  Nothing is sent to any connection here; those that
// send anything else, close or are still unproven at the end are closed.
// Waits at most GW_STREAM_ACCEPT_TIMEOUT seconds and ends when the session
// closes.  Returns the proven connection (blocking), -ETIMEDOUT,
// -ECONNABORTED or -errno.
int acceptProven(const gw_conn_t *c, int ls, const unsigned char *proof)
{
    std::vector<Candidate> pending;
    pending.reserve(kMaxCandidates);
    int found = -ETIMEDOUT;
    for (int slices = 0; found == -ETIMEDOUT && slices < GW_STREAM_ACCEPT_TIMEOUT * 5; slices++) {
        if (c->closing.load()) {
            found = -ECONNABORTED;
            break;
        }
        pollfd p[1 + kMaxCandidates];
        p[0] = pollfd{ls, POLLIN, 0};
        for (size_t i = 0; i < pending.size(); i++)
            p[1 + i] = pollfd{pending[i].fd, POLLIN, 0};
        int n = poll(p, 1 + pending.size(), 200);
        if (n < 0 && errno != EINTR)
            found = -errno;
        if (n <= 0)
            continue;
        for (size_t i = pending.size(); i-- > 0 && found == -ETIMEDOUT;) {
            if (p[1 + i].revents == 0)
                continue;
            const int r = advanceCandidate(&pending[i], proof);
            if (r == 0)
                continue;
            if (r > 0)
                found = pending[i].fd;
            else
                close(pending[i].fd);
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (found == -ETIMEDOUT && (p[0].revents & POLLIN) != 0)
            acceptCandidate(ls, &pending);
    }
    for (const Candidate &k : pending)
        close(k.fd);
    if (found >= 0) {
        const int fl = fcntl(found, F_GETFL);
        if (fl < 0 || fcntl(found, F_SETFL, fl & ~O_NONBLOCK) != 0) {
            const int e = errno;
            close(found);
            return -e;
        }
    }
    return found;
}

// Holds OpenX's reply back ms milliseconds (the openx_hold fault), or
// until the session closes.
void holdReply(const gw_conn_t *c, const gw_request_t *req, uint32_t ms)
{
    gw_FaultFired(c, "openx_hold", &req->hdr);
    for (uint32_t waited = 0; waited < ms && !c->closing.load(); waited += 20)
        usleep(20000);
}

int serveOpenX(gw_conn_t *c, const gw_request_t *req)
{
    uint16_t port = 0;
    kyl_fd ls(listenLocal(c, &port));
    if (ls.get() < 0)
        return gw_SendReply(c, req, ls.get(), nullptr, nullptr);
    api_quor_OpenX_rply_t r{};
    const int fildes = gw_FsOpenX(c, req, &r.HintsOut);
    if (fildes < 0)
        return gw_SendReply(c, req, fildes, nullptr, nullptr);
    // The client proves its data connection with the secret made for this
    // descriptor and port; without a session key no connection is trusted.
    unsigned char proof[TRANSFER_SECRET_SIZE];
    int rc = gw_AuthTransferSecret(c, TRANSFER_SECRET_STREAM, transfer_stream_id(fildes, port), proof);
    if (rc != 0) {
        gw_FsCloseFile(c, fildes);
        return gw_SendReply(c, req, rc, nullptr, nullptr);
    }
    if (c->faults.openxHoldMs > 0)
        holdReply(c, req, c->faults.openxHoldMs);
    r.dataport = htons(port);
    rc = gw_SendReply(c, req, fildes, KYL_XDRPROC(api_quor_OpenX_rply_t, xdr_api_quor_OpenX_rply_t), &r);
    const int s = rc == 0 ? acceptProven(c, ls.get(), proof) : -1;
    quorex_Wipe(proof, sizeof proof);
    if (rc != 0)
        return rc;
    if (s < 0) {
        gw_FsCloseFile(c, fildes);
        return 0;
    }
    const int dup = fcntl(s, F_DUPFD_CLOEXEC, 0);
    if (gw_FsSetStream(c, fildes, s) != 0 || dup < 0) {
        if (dup >= 0)
            close(dup);
        return 0;
    }
    kyl_fd ctl(dup);
    if (c->faults.openxNoCtlbyte) {
        gw_FaultFired(c, "openx_no_ctlbyte", &req->hdr);
        shutdown(ctl.get(), SHUT_RDWR);
        return 0;
    }
    if (quor_send_data_timeout(ctl.get(), &GW_STREAM_CONTROL_BYTE, 1, GW_STREAM_IO_TIMEOUT) != 1)
        shutdown(ctl.get(), SHUT_RDWR);
    return 0;
}

// ReadX and WriteX: moves up to nbyte bytes; returns 0 or a negative code.
// A read that reaches end of file half-closes the socket unless halfClose
// is false.
int moveStream(int file, int sock, bool write, uint64_t nbyte, bool halfClose)
{
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kChunk]);
    if (!buf)
        return -ENOMEM;
    for (uint64_t done = 0; done < nbyte;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, nbyte - done));
        if (write) {
            ssize_t n = quor_recv_data_timeout(sock, buf.get(), want, GW_STREAM_IO_TIMEOUT);
            if (n < 0)
                return n == NXAPI_E_NOSESSION ? -EIO : static_cast<int>(n);
            for (size_t put = 0; put < want;) {
                ssize_t w = ::write(file, buf.get() + put, want - put);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0)
                    return -errno;
                put += static_cast<size_t>(w);
            }
            done += want;
            continue;
        }
        ssize_t r = read(file, buf.get(), want);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -errno;
        if (r == 0) {
            // Fewer bytes than asked: the end of input tells the client.
            if (halfClose)
                shutdown(sock, SHUT_WR);
            return 0;
        }
        ssize_t n = quor_send_data_timeout(sock, buf.get(), static_cast<size_t>(r), GW_STREAM_IO_TIMEOUT);
        if (n < 0)
            return static_cast<int>(n);
        done += static_cast<uint64_t>(r);
    }
    return 0;
}

} // namespace

bool gw_StreamServes(uint16_t category, uint16_t function)
{
    return category == CAT_FILESYS && (function == FN_FS_OPENX || function == FN_FS_READX || function == FN_FS_WRITEX);
}

int gw_ServeStream(gw_conn_t *c, const gw_request_t *req)
{
    if (req->body == nullptr)
        return gw_SendReply(c, req, -EINVAL, nullptr, nullptr);
    if (req->hdr.function == FN_FS_OPENX)
        return serveOpenX(c, req);
    const bool write = req->hdr.function == FN_FS_WRITEX;
    // ReadX and WriteX bodies have the same layout.
    const auto *rq = static_cast<const api_quor_ReadX_req_t *>(req->body);
    if (rq->Nbyte > static_cast<uint64_t>(INT64_MAX))
        return gw_SendReply(c, req, -EINVAL, nullptr, nullptr);
    int file = -1, sock = -1;
    int rc = gw_FsTransferStream(c, rq->Fildes, write, &file, &sock);
    if (rc != 0)
        return gw_SendReply(c, req, rc, nullptr, nullptr);
    kyl_fd f(file), s(sock);
    const bool halfClose = !c->faults.readxShortNoHalfclose;
    if (!halfClose && !write)
        gw_FaultFired(c, "readx_short_no_halfclose", &req->hdr);
    return gw_SendReply(c, req, moveStream(f.get(), s.get(), write, rq->Nbyte, halfClose), nullptr, nullptr);
}
