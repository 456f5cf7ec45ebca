#ifndef GW_MVLINK_H
#define GW_MVLINK_H

// The link between a gateway and a mover daemon on another host.  The
// gateway connects; before anything else each side proves that it holds
// the key file both configurations name (mover_key), without the key
// crossing the wire:
//
//   gateway -> daemon   "KYLMVLK1", gateway nonce Ng (32 bytes)
//   daemon  -> gateway  "KYLMVLK1", daemon nonce Nd, HMAC(key, "mover" Ng Nd)
//   gateway -> daemon   HMAC(key, "gateway" Nd Ng)
//
// (HMAC-SHA256; the labels keep either proof from serving as the other).
// The gateway checks the daemon's proof before it sends its own, and the
// daemon reads no request before the gateway's proof checked out.  Then
// frames follow: uint32 type, uint32 length, an XDR body of at most
// GW_MVFRAME_MAX bytes.  The gateway sends one request (a probe or the
// stripes of one list request); the daemon answers a probe with ALIVE, and
// stripes with ALIVE every few seconds while it moves them, then the
// REPORT.  Either side closes the link after that.  No locks.

#include <quor_sockaddr.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Smallest and largest key file, in bytes.
constexpr size_t GW_MVKEY_MIN = 16;
constexpr size_t GW_MVKEY_MAX = 4096;
// Longest wait for each message of the key proof and of a probe, seconds.
constexpr int GW_MVLINK_TIMEOUT = 10;
// Seconds between the ALIVE frames of a daemon that moves stripes, and the
// longest the gateway waits for the next frame before it gives the daemon up.
constexpr int GW_MVLINK_ALIVE_EVERY = 5;
constexpr int GW_MVLINK_ALIVE_TIMEOUT = 30;
// Largest frame body.
constexpr uint32_t GW_MVFRAME_MAX = 16u << 20;

enum gw_mvframe_type : uint32_t {
    GW_MVF_PROBE = 1,   // gateway: are you there (no body)
    GW_MVF_STRIPES = 2, // gateway: a gw_mvjob_t
    GW_MVF_ALIVE = 3,   // daemon: answer to a probe, or still moving (no body)
    GW_MVF_REPORT = 4,  // daemon: a gw_mvreport_t
};

// Reads the key file at path.  Returns 0 with the bytes in *key, or -1
// with a one-line message in *err (missing, unreadable, too short or long).
[[nodiscard]] int gw_MvKeyLoad(const std::string &path, std::vector<unsigned char> *key, std::string *err);

// The gateway's side of the key proof on connected socket s.  Returns 0,
// -EACCES when the daemon's proof is wrong (it holds another key), or a
// negative errno (-EPROTO for a peer that does not speak the link).
[[nodiscard]] int gw_MvProveGateway(int s, const std::vector<unsigned char> &key);
// The daemon's side.  Returns 0, -EACCES when the peer is not a gateway
// holding the key, or a negative errno.
[[nodiscard]] int gw_MvProveMover(int s, const std::vector<unsigned char> &key);

// Sends one frame within seconds.  Returns 0 or a negative errno.
[[nodiscard]] int gw_MvSendFrame(int s, uint32_t type, const std::vector<unsigned char> &body, int seconds);
// Receives one frame within seconds.  Returns 0, -EPROTO for a body longer
// than GW_MVFRAME_MAX, or a negative errno.
[[nodiscard]] int gw_MvRecvFrame(int s, uint32_t *type, std::vector<unsigned char> *body, int seconds);

// The stripes of one list request that one daemon moves.  Offsets are as
// the gateway's own movers use them (gw_movers.h).
struct gw_mvjob_t {
    uint64_t session = 0; // the gateway's session, for the events
    uint32_t request = 0; // the list request's message id
    bool write = false;
    uint32_t uid = 0, gid = 0; // the user the file is opened as
    std::vector<uint32_t> groups;
    std::string path; // namespace path of the file in the served tree
    uint64_t fileOffset = 0, total = 0, block = 0;
    uint32_t width = 1;
    uint64_t xferId = 0, ticket = 0;
    quor_sockaddr_t control{};  // the client's control address
    quor_sockaddr_t clientIp{}; // the client's host, for wildcard addresses
    std::vector<uint32_t> stripes;
};

// What a daemon moved of each stripe: per block of the stripe (blocks k,
// k+W, ...) the bytes moved, and the stripe's counters.
struct gw_mvstripe_t {
    uint32_t k = 0;
    int32_t status = 0;
    uint64_t pieces = 0, cuts = 0, bytes = 0;
    std::vector<uint64_t> done;
};
struct gw_mvreport_t {
    int32_t status = 0; // the first failure of the daemon's movers, or 0
    std::vector<gw_mvstripe_t> stripes;
};

// Most groups, stripes and blocks of one job or report.
constexpr uint32_t GW_MVJOB_MAX_GROUPS = 64;
constexpr uint32_t GW_MVJOB_MAX_STRIPES = 64;
constexpr uint32_t GW_MVJOB_MAX_BLOCKS = 1u << 20;

void gw_MvEncodeJob(const gw_mvjob_t &job, std::vector<unsigned char> *out);
// Decodes and checks a job (widths, stripe numbers, path length).  Returns
// 0 or -EPROTO.
[[nodiscard]] int gw_MvDecodeJob(const std::vector<unsigned char> &in, gw_mvjob_t *job);
void gw_MvEncodeReport(const gw_mvreport_t &rep, std::vector<unsigned char> *out);
[[nodiscard]] int gw_MvDecodeReport(const std::vector<unsigned char> &in, gw_mvreport_t *rep);

// Blocks of stripe k of a request of total bytes in blocks of block, width w.
uint64_t gw_MvStripeBlocks(uint64_t total, uint64_t block, uint32_t w, uint32_t k);

#endif
