// Socket I/O of the mover exchange: readiness waits with poll(), exact-count
// transport, the control messages and data block headers, and whole data
// blocks moved between a socket and a caller's buffer.  No state of its
// own: every call works on the caller's socket and buffers, from any
// thread, without locks.

#include "kylgw_mvrio.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "kylgw_errors.h"

namespace {

int64_t nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// The wait of a data transfer when the caller's timeout is seconds.
int dataWait(int seconds)
{
    return std::max(seconds, MOVER_MIN_DATA_WAIT);
}

// Reads exactly n bytes.  Returns 0 when all arrived, 1 when the input
// ended first (*got bytes arrived), or a negative code.
int readFull(int fd, void *buf, size_t n, int seconds, size_t *got)
{
    auto *p = static_cast<unsigned char *>(buf);
    *got = 0;
    while (*got < n) {
        // A hang-up is read below, where it shows as end of input or as
        // the connection's error.
        if (quor_poll_descriptor(fd, 0, seconds) < 0 && errno != EPIPE)
            return -errno;
        ssize_t r = read(fd, p + *got, n - *got);
        if (r == 0)
            return 1;
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return errno == ECONNRESET ? NXAPI_E_NOSESSION : -errno;
        }
        *got += static_cast<size_t>(r);
    }
    return 0;
}

// Writes exactly n bytes in writes of at most piece bytes (0: no limit).
// Returns 0 or a negative code.
int writeFull(int fd, const void *buf, size_t n, int seconds, size_t piece)
{
    const auto *p = static_cast<const unsigned char *>(buf);
    size_t done = 0;
    while (done < n) {
        if (quor_poll_descriptor(fd, 1, seconds) < 0)
            return errno == EPIPE ? NXAPI_E_NOSESSION : -errno;
        size_t want = n - done;
        if (piece > 0 && want > piece)
            want = piece;
        ssize_t w = send(fd, p + done, want, MSG_NOSIGNAL);
        if (w < 0 && errno == ENOTSOCK)
            w = write(fd, p + done, want);
        if (w == 0)
            return NXAPI_E_NOSESSION;
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return errno == EPIPE || errno == ECONNRESET ? NXAPI_E_NOSESSION : -errno;
        }
        done += static_cast<size_t>(w);
    }
    return 0;
}

// Receives a control message of N bytes and unpacks it.
template <typename T, size_t N>
int recvControl(int fd, T *msg, int seconds, int (*unpack)(const unsigned char *, T *))
{
    unsigned char b[N];
    ssize_t rc = quor_recv_data_timeout(fd, b, N, seconds);
    if (rc < 0)
        return static_cast<int>(rc);
    return unpack(b, msg);
}

// Sends the packed control message b of n bytes; *delimiter and *sum take
// the values sent.
int sendControl(int fd, const unsigned char *b, size_t n, int seconds, uint64_t *delimiter, uint64_t *sum)
{
    *delimiter = quor_decode_64(b, 0);
    *sum = quor_decode_64(b, n - 8);
    ssize_t rc = quor_send_data_timeout(fd, b, n, seconds);
    return rc < 0 ? static_cast<int>(rc) : 0;
}

// 0 when hdr belongs to xferId and lies inside [offset, offset + length);
// the comparisons cannot wrap.
int checkBlock(const pdata_hdr_t &hdr, uint64_t xferId, uint64_t offset, uint64_t length)
{
    if (hdr.XferID != xferId || hdr.Length > PDATA_MAX_BLOCK || hdr.Offset < offset || hdr.Length > length ||
        hdr.Offset - offset > length - hdr.Length)
        return -EINVAL;
    return 0;
}

// True when [begin, end) shares a byte with a filled range.
bool overlapsFilled(const mover_ranges_t &r, uint64_t begin, uint64_t end)
{
    // The first range that ends after begin is the only candidate.
    auto it = std::upper_bound(r.filled.begin(), r.filled.end(), begin,
                               [](uint64_t b, const std::pair<uint64_t, uint64_t> &f) { return b < f.second; });
    return it != r.filled.end() && it->first < end;
}

// Records [begin, end), which overlaps no filled range, joining neighbours.
void addFilled(mover_ranges_t &r, uint64_t begin, uint64_t end)
{
    auto it = std::lower_bound(r.filled.begin(), r.filled.end(), std::make_pair(begin, end));
    it = r.filled.insert(it, {begin, end});
    if (it + 1 != r.filled.end() && (it + 1)->first == it->second) {
        it->second = (it + 1)->second;
        r.filled.erase(it + 1);
    }
    if (it != r.filled.begin() && (it - 1)->second == it->first) {
        (it - 1)->second = it->second;
        r.filled.erase(it);
    }
}

} // namespace

bool mover_ranges_overlap(const mover_ranges_t *r, uint64_t begin, uint64_t end)
{
    return overlapsFilled(*r, begin, end);
}

void mover_ranges_add(mover_ranges_t *r, uint64_t begin, uint64_t end)
{
    addFilled(*r, begin, end);
}

int quor_poll_descriptor(int fd, int forWrite, int seconds)
{
    pollfd p{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    int64_t deadline = seconds > 0 ? nowMs() + int64_t{seconds} * 1000 : 0;
    for (;;) {
        int waitMs = -1;
        if (seconds > 0)
            waitMs = static_cast<int>(std::clamp<int64_t>(deadline - nowMs(), 0, INT_MAX));
        int rc = poll(&p, 1, waitMs);
        if (rc < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return -1;
        }
        if (rc == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (p.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        bool ready = forWrite ? !(p.revents & (POLLERR | POLLHUP)) && (p.revents & POLLOUT) : (p.revents & POLLIN);
        if (ready)
            return 0;
        errno = EPIPE;
        return -1;
    }
}

ssize_t quor_recv_data(int fd, void *buffer, size_t count)
{
    return quor_recv_data_timeout(fd, buffer, count, 0);
}

ssize_t quor_recv_data_timeout(int fd, void *buffer, size_t count, int seconds)
{
    size_t got = 0;
    int rc = readFull(fd, buffer, count, seconds, &got);
    if (rc < 0)
        return rc;
    return rc == 1 ? NXAPI_E_NOSESSION : static_cast<ssize_t>(count);
}

ssize_t quor_send_data(int fd, const void *buffer, size_t count)
{
    return quor_send_data_timeout(fd, buffer, count, 0);
}

ssize_t quor_send_data_timeout(int fd, const void *buffer, size_t count, int seconds)
{
    int rc = writeFull(fd, buffer, count, seconds, 0);
    return rc < 0 ? rc : static_cast<ssize_t>(count);
}

int mvrprot_send_initmsg(int fd, initiator_msg_t *msg)
{
    return mvrprot_send_initmsg_timeout(fd, msg, 0);
}

int mvrprot_send_initmsg_timeout(int fd, initiator_msg_t *msg, int seconds)
{
    unsigned char b[MVRPROT_INITMSG_SIZE];
    mvrprot_pack_initmsg(msg, b);
    return sendControl(fd, b, sizeof b, seconds, &msg->Delimiter, &msg->CheckSum);
}

int mvrprot_recv_initmsg(int fd, initiator_msg_t *msg)
{
    return mvrprot_recv_initmsg_timeout(fd, msg, 0);
}

int mvrprot_recv_initmsg_timeout(int fd, initiator_msg_t *msg, int seconds)
{
    return recvControl<initiator_msg_t, MVRPROT_INITMSG_SIZE>(fd, msg, seconds, mvrprot_unpack_initmsg);
}

int mvrprot_send_ipaddr(int fd, initiator_ipaddr_t *msg)
{
    return mvrprot_send_ipaddr_timeout(fd, msg, 0);
}

int mvrprot_send_ipaddr_timeout(int fd, initiator_ipaddr_t *msg, int seconds)
{
    unsigned char b[MVRPROT_IPADDR_SIZE];
    int rc = mvrprot_pack_ipaddr(msg, b);
    if (rc < 0)
        return rc;
    return sendControl(fd, b, sizeof b, seconds, &msg->Delimiter, &msg->CheckSum);
}

int mvrprot_recv_ipaddr(int fd, initiator_ipaddr_t *msg)
{
    return mvrprot_recv_ipaddr_timeout(fd, msg, 0);
}

int mvrprot_recv_ipaddr_timeout(int fd, initiator_ipaddr_t *msg, int seconds)
{
    return recvControl<initiator_ipaddr_t, MVRPROT_IPADDR_SIZE>(fd, msg, seconds, mvrprot_unpack_ipaddr);
}

int mvrprot_send_compmsg(int fd, completion_msg_t *msg)
{
    return mvrprot_send_compmsg_timeout(fd, msg, 0);
}

int mvrprot_send_compmsg_timeout(int fd, completion_msg_t *msg, int seconds)
{
    unsigned char b[MVRPROT_COMPMSG_SIZE];
    mvrprot_pack_compmsg(msg, b);
    return sendControl(fd, b, sizeof b, seconds, &msg->Delimiter, &msg->CheckSum);
}

int mvrprot_recv_compmsg(int fd, completion_msg_t *msg)
{
    return mvrprot_recv_compmsg_timeout(fd, msg, 0);
}

int mvrprot_recv_compmsg_timeout(int fd, completion_msg_t *msg, int seconds)
{
    return recvControl<completion_msg_t, MVRPROT_COMPMSG_SIZE>(fd, msg, seconds, mvrprot_unpack_compmsg);
}

int pdata_recv_hdr(int fd, pdata_hdr_t *hdr)
{
    return pdata_recv_hdr_timeout(fd, hdr, 0);
}

int pdata_recv_hdr_timeout(int fd, pdata_hdr_t *hdr, int seconds)
{
    unsigned char b[PDATA_HDR_SIZE];
    size_t got = 0;
    int rc = readFull(fd, b, sizeof b, seconds, &got);
    if (rc < 0)
        return rc;
    if (rc == 1)
        return got == 0 ? 0 : -EIO;
    rc = pdata_unpack_hdr(b, hdr);
    return rc < 0 ? rc : static_cast<int>(PDATA_HDR_SIZE);
}

int pdata_send_hdr(int fd, pdata_hdr_t *hdr)
{
    return pdata_send_hdr_timeout(fd, hdr, 0);
}

int pdata_send_hdr_timeout(int fd, pdata_hdr_t *hdr, int seconds)
{
    unsigned char b[PDATA_HDR_SIZE];
    pdata_pack_hdr(hdr, b);
    int rc = sendControl(fd, b, sizeof b, seconds, &hdr->PdataDelimiter, &hdr->CheckSum);
    return rc < 0 ? rc : static_cast<int>(PDATA_HDR_SIZE);
}

ssize_t pdata_send_hdr_and_data(int fd, pdata_hdr_t *hdr, const void *buffer, uint64_t length)
{
    return pdata_send_hdr_and_data_ws(fd, hdr, buffer, length, 0, 0);
}

ssize_t pdata_send_hdr_and_data_timeout(int fd, pdata_hdr_t *hdr, const void *buffer, uint64_t length, int seconds)
{
    return pdata_send_hdr_and_data_ws(fd, hdr, buffer, length, seconds, 0);
}

ssize_t pdata_send_hdr_and_data_ws(int fd, pdata_hdr_t *hdr, const void *buffer, uint64_t length, int seconds,
                                   size_t writeSize)
{
    if (hdr->Length != length || length > UINT32_MAX)
        return -EINVAL;
    int rc = pdata_send_hdr_timeout(fd, hdr, dataWait(seconds));
    if (rc < 0)
        return rc;
    rc = writeFull(fd, buffer, length, dataWait(seconds), writeSize);
    return rc < 0 ? rc : static_cast<ssize_t>(length);
}

ssize_t mover_socket_recv_data(int fd, uint64_t xferId, uint64_t offset, void *buffer, uint64_t length,
                               uint64_t *received, int count)
{
    return mover_socket_recv_data_ranges(fd, xferId, offset, buffer, length, received, count, 0, nullptr);
}

ssize_t mover_socket_recv_data_timeout(int fd, uint64_t xferId, uint64_t offset, void *buffer, uint64_t length,
                                       uint64_t *received, int count, int seconds)
{
    return mover_socket_recv_data_ranges(fd, xferId, offset, buffer, length, received, count, seconds, nullptr);
}

ssize_t mover_socket_recv_data_ranges(int fd, uint64_t xferId, uint64_t offset, void *buffer, uint64_t length,
                                      uint64_t *received, int count, int seconds, mover_ranges_t *ranges)
{
    mover_ranges_t local;
    mover_ranges_t &filled = ranges ? *ranges : local;
    auto *base = static_cast<unsigned char *>(buffer);
    ssize_t total = 0;
    for (int n = 0; count < 0 || n < count; n++) {
        pdata_hdr_t hdr{};
        int rc = pdata_recv_hdr_timeout(fd, &hdr, seconds);
        if (rc <= 0)
            return rc;
        rc = checkBlock(hdr, xferId, offset, length);
        uint64_t at = hdr.Offset - offset;
        if (rc == 0 && overlapsFilled(filled, at, at + hdr.Length))
            rc = -EINVAL;
        if (rc < 0)
            return rc;
        size_t got = 0;
        rc = readFull(fd, base + at, hdr.Length, seconds > 0 ? dataWait(seconds) : 0, &got);
        if (rc != 0)
            return rc < 0 ? rc : -EIO;
        if (hdr.Length > 0)
            addFilled(filled, at, at + hdr.Length);
        *received += hdr.Length;
        total += static_cast<ssize_t>(hdr.Length);
    }
    return total;
}

ssize_t mover_socket_send_requested_data(int fd, uint64_t xferId, uint64_t offset, const void *buffer, uint64_t length,
                                         uint64_t *sent, int count)
{
    return mover_socket_send_requested_data_ws(fd, xferId, offset, buffer, length, sent, count, 0, 0);
}

ssize_t mover_socket_send_requested_data_timeout(int fd, uint64_t xferId, uint64_t offset, const void *buffer,
                                                 uint64_t length, uint64_t *sent, int count, int seconds)
{
    return mover_socket_send_requested_data_ws(fd, xferId, offset, buffer, length, sent, count, seconds, 0);
}

ssize_t mover_socket_send_requested_data_ws(int fd, uint64_t xferId, uint64_t offset, const void *buffer,
                                            uint64_t length, uint64_t *sent, int count, int seconds, size_t writeSize)
{
    const auto *base = static_cast<const unsigned char *>(buffer);
    ssize_t total = 0;
    for (int n = 0; count < 0 || n < count; n++) {
        pdata_hdr_t req{};
        int rc = pdata_recv_hdr_timeout(fd, &req, seconds);
        if (rc <= 0)
            return rc;
        rc = checkBlock(req, xferId, offset, length);
        if (rc < 0)
            return rc;
        pdata_hdr_t answer{0, req.XferID, req.Offset, req.Length, req.SecurityTicket, 0};
        ssize_t w =
            pdata_send_hdr_and_data_ws(fd, &answer, base + (req.Offset - offset), req.Length, seconds, writeSize);
        if (w < 0)
            return w;
        *sent += req.Length;
        total += w;
    }
    return total;
}
