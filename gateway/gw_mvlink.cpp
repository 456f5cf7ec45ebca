// The gateway-mover link (see gw_mvlink.h): key file, key proof, frames
// and the XDR bodies of a job and of its report.

#include "gw_mvlink.h"

#include "gw_ns.h"
#include <kyl_fd.h>
#include <kyl_xdr.h>
#include <kylgw_mvrio.h>
#include <kylgw_mvrprot.h>
#include <quorex_crypto.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned char kMagic[8] = {'K', 'Y', 'L', 'M', 'V', 'L', 'K', '1'};
constexpr size_t kNonce = 32;
constexpr const char *kMoverLabel = "mover";
constexpr const char *kGatewayLabel = "gateway";

// HMAC(key, label a b) into mac.
int proof(const std::vector<unsigned char> &key, const char *label, const unsigned char *a, const unsigned char *b,
          unsigned char *mac)
{
    unsigned char data[16 + 2 * kNonce];
    const size_t l = strlen(label);
    memcpy(data, label, l);
    memcpy(data + l, a, kNonce);
    memcpy(data + l + kNonce, b, kNonce);
    return quorex_HmacSha256(key.data(), key.size(), data, l + 2 * kNonce, mac);
}

int sendAll(int s, const unsigned char *p, size_t n, int seconds)
{
    ssize_t w = quor_send_data_timeout(s, p, n, seconds);
    return w < 0 ? (w == -1 ? -EIO : static_cast<int>(w)) : 0;
}

int recvAll(int s, unsigned char *p, size_t n, int seconds)
{
    ssize_t r = quor_recv_data_timeout(s, p, n, seconds);
    if (r < 0)
        return -EPROTO; // closed or broken before the whole message came
    return 0;
}

// Encodes and decodes a job in one routine, as the XDR bodies do.
bool xdrU32List(kyl_xdr_t *x, std::vector<uint32_t> *v, uint32_t cap)
{
    uint32_t n = static_cast<uint32_t>(v->size());
    if (!kyl_xdr_u32(x, &n) || n > cap)
        return false;
    v->resize(n);
    for (uint32_t &e : *v)
        if (!kyl_xdr_u32(x, &e))
            return false;
    return true;
}

bool xdrJob(kyl_xdr_t *x, gw_mvjob_t *j)
{
    uint32_t write = j->write ? 1 : 0;
    uint32_t plen = static_cast<uint32_t>(j->path.size());
    bool ok = kyl_xdr_u64(x, &j->session) && kyl_xdr_u32(x, &j->request) && kyl_xdr_u32(x, &write) &&
              kyl_xdr_u32(x, &j->uid) && kyl_xdr_u32(x, &j->gid) && xdrU32List(x, &j->groups, GW_MVJOB_MAX_GROUPS) &&
              kyl_xdr_u32(x, &plen) && plen > 0 && plen <= GW_NS_PATH_MAX;
    if (!ok)
        return false;
    j->path.resize(plen);
    ok = kyl_xdr_fixed_opaque(x, reinterpret_cast<unsigned char *>(j->path.data()), plen) &&
         kyl_xdr_u64(x, &j->fileOffset) && kyl_xdr_u64(x, &j->total) && kyl_xdr_u64(x, &j->block) &&
         kyl_xdr_u32(x, &j->width) && kyl_xdr_u64(x, &j->xferId) && kyl_xdr_u64(x, &j->ticket) &&
         kyl_xdr_sockaddr_storage(x, &j->control.hs_addr) && kyl_xdr_sockaddr_storage(x, &j->clientIp.hs_addr) &&
         xdrU32List(x, &j->stripes, GW_MVJOB_MAX_STRIPES);
    j->write = write != 0;
    j->control.hs_addrlen = sizeof j->control.hs_addr;
    j->clientIp.hs_addrlen = sizeof j->clientIp.hs_addr;
    return ok && write <= 1;
}

bool xdrReport(kyl_xdr_t *x, gw_mvreport_t *r)
{
    uint32_t n = static_cast<uint32_t>(r->stripes.size());
    if (!kyl_xdr_i32(x, &r->status) || !kyl_xdr_u32(x, &n) || n > GW_MVJOB_MAX_STRIPES)
        return false;
    r->stripes.resize(n);
    for (gw_mvstripe_t &s : r->stripes) {
        uint32_t nb = static_cast<uint32_t>(s.done.size());
        if (!kyl_xdr_u32(x, &s.k) || !kyl_xdr_i32(x, &s.status) || !kyl_xdr_u64(x, &s.pieces) ||
            !kyl_xdr_u64(x, &s.cuts) || !kyl_xdr_u64(x, &s.bytes) || !kyl_xdr_u32(x, &nb) || nb > GW_MVJOB_MAX_BLOCKS)
            return false;
        s.done.resize(nb);
        for (uint64_t &d : s.done)
            if (!kyl_xdr_u64(x, &d))
                return false;
    }
    return true;
}

template <typename T>
void encode(bool (*fn)(kyl_xdr_t *, T *), const T &v, std::vector<unsigned char> *out)
{
    kyl_xdr_outbuf buf;
    kyl_xdr_t x;
    kyl_xdr_create_encode(&x, &buf);
    T copy = v;
    (void)fn(&x, &copy);
    out->assign(buf.data, buf.data + buf.len);
    kyl_xdr_outbuf_free(&buf);
}

template <typename T>
bool decode(bool (*fn)(kyl_xdr_t *, T *), const std::vector<unsigned char> &in, T *v)
{
    kyl_xdr_memsource src(in.data(), in.size());
    kyl_xdr_t x;
    kyl_xdr_create_decode(&x, &src);
    return fn(&x, v) && src.left == 0;
}

bool addressOk(const quor_sockaddr_t &a)
{
    return a.hs_addr.ss_family == AF_INET || a.hs_addr.ss_family == AF_INET6;
}

} // namespace

int gw_MvKeyLoad(const std::string &path, std::vector<unsigned char> *key, std::string *err)
{
    kyl_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        *err = "mover key " + path + ": " + strerror(errno);
        return -1;
    }
    unsigned char buf[GW_MVKEY_MAX + 1];
    size_t got = 0;
    ssize_t n;
    while (got < sizeof buf && (n = read(fd.get(), buf + got, sizeof buf - got)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *err = "mover key " + path + ": " + strerror(errno);
            return -1;
        }
        got += static_cast<size_t>(n);
    }
    if (got < GW_MVKEY_MIN || got > GW_MVKEY_MAX) {
        quorex_Wipe(buf, sizeof buf);
        *err = "mover key " + path + ": must hold " + std::to_string(GW_MVKEY_MIN) + " to " +
               std::to_string(GW_MVKEY_MAX) + " bytes";
        return -1;
    }
    key->assign(buf, buf + got);
    quorex_Wipe(buf, sizeof buf);
    return 0;
}

int gw_MvProveGateway(int s, const std::vector<unsigned char> &key)
{
    const int T = GW_MVLINK_TIMEOUT;
    unsigned char hello[sizeof kMagic + kNonce];
    memcpy(hello, kMagic, sizeof kMagic);
    if (quorex_RandomBytes(hello + sizeof kMagic, kNonce) != 0)
        return -EIO;
    int rc = sendAll(s, hello, sizeof hello, T);
    if (rc != 0)
        return rc;
    unsigned char answer[sizeof kMagic + kNonce + QUOREX_HMAC_SIZE];
    if ((rc = recvAll(s, answer, sizeof answer, T)) != 0)
        return rc;
    if (memcmp(answer, kMagic, sizeof kMagic) != 0)
        return -EPROTO;
    const unsigned char *ng = hello + sizeof kMagic, *nd = answer + sizeof kMagic;
    unsigned char mac[QUOREX_HMAC_SIZE];
    if (proof(key, kMoverLabel, ng, nd, mac) != 0)
        return -EIO;
    const bool good = quorex_ConstTimeEqual(mac, nd + kNonce, sizeof mac);
    if (!good) {
        quorex_Wipe(mac, sizeof mac);
        return -EACCES;
    }
    rc = proof(key, kGatewayLabel, nd, ng, mac) != 0 ? -EIO : sendAll(s, mac, sizeof mac, T);
    quorex_Wipe(mac, sizeof mac);
    return rc;
}

int gw_MvProveMover(int s, const std::vector<unsigned char> &key)
{
    const int T = GW_MVLINK_TIMEOUT;
    unsigned char hello[sizeof kMagic + kNonce];
    int rc = recvAll(s, hello, sizeof hello, T);
    if (rc != 0)
        return rc == -EPROTO ? -EACCES : rc;
    if (memcmp(hello, kMagic, sizeof kMagic) != 0)
        return -EACCES; // not a gateway: whatever it sent is not read further
    unsigned char answer[sizeof kMagic + kNonce + QUOREX_HMAC_SIZE];
    memcpy(answer, kMagic, sizeof kMagic);
    unsigned char *nd = answer + sizeof kMagic;
    const unsigned char *ng = hello + sizeof kMagic;
    if (quorex_RandomBytes(nd, kNonce) != 0 || proof(key, kMoverLabel, ng, nd, nd + kNonce) != 0)
        return -EIO;
    if ((rc = sendAll(s, answer, sizeof answer, T)) != 0)
        return rc;
    unsigned char theirs[QUOREX_HMAC_SIZE], mine[QUOREX_HMAC_SIZE];
    if ((rc = recvAll(s, theirs, sizeof theirs, T)) != 0)
        return rc == -EPROTO ? -EACCES : rc;
    if (proof(key, kGatewayLabel, nd, ng, mine) != 0)
        return -EIO;
    const bool good = quorex_ConstTimeEqual(mine, theirs, sizeof mine);
    quorex_Wipe(mine, sizeof mine);
    return good ? 0 : -EACCES;
}

int gw_MvSendFrame(int s, uint32_t type, const std::vector<unsigned char> &body, int seconds)
{
    std::vector<unsigned char> f(8 + body.size());
    quor_encode_32(f.data(), 0, type);
    quor_encode_32(f.data(), 4, static_cast<uint32_t>(body.size()));
    if (!body.empty())
        memcpy(f.data() + 8, body.data(), body.size());
    return sendAll(s, f.data(), f.size(), seconds);
}

int gw_MvRecvFrame(int s, uint32_t *type, std::vector<unsigned char> *body, int seconds)
{
    unsigned char h[8];
    int rc = recvAll(s, h, sizeof h, seconds);
    if (rc != 0)
        return rc;
    *type = quor_decode_32(h, 0);
    const uint32_t len = quor_decode_32(h, 4);
    if (len > GW_MVFRAME_MAX)
        return -EPROTO;
    body->resize(len);
    return len == 0 ? 0 : recvAll(s, body->data(), len, seconds);
}

void gw_MvEncodeJob(const gw_mvjob_t &job, std::vector<unsigned char> *out)
{
    encode(xdrJob, job, out);
}

int gw_MvDecodeJob(const std::vector<unsigned char> &in, gw_mvjob_t *job)
{
    if (!decode(xdrJob, in, job) || job->width == 0 || job->width > GW_MVJOB_MAX_STRIPES || job->block == 0 ||
        job->total / job->block >= GW_MVJOB_MAX_BLOCKS || job->total > (1ull << 31) || job->fileOffset > (1ull << 62) ||
        job->path[0] != '/' || memchr(job->path.data(), '\0', job->path.size()) != nullptr ||
        !addressOk(job->control) || !addressOk(job->clientIp))
        return -EPROTO;
    for (uint32_t k : job->stripes)
        if (k >= job->width)
            return -EPROTO;
    return 0;
}

void gw_MvEncodeReport(const gw_mvreport_t &rep, std::vector<unsigned char> *out)
{
    encode(xdrReport, rep, out);
}

int gw_MvDecodeReport(const std::vector<unsigned char> &in, gw_mvreport_t *rep)
{
    return decode(xdrReport, in, rep) ? 0 : -EPROTO;
}

uint64_t gw_MvStripeBlocks(uint64_t total, uint64_t block, uint32_t w, uint32_t k)
{
    const uint64_t nblocks = block == 0 ? 0 : (total + block - 1) / block;
    return k >= nblocks ? 0 : (nblocks - k + w - 1) / w;
}
