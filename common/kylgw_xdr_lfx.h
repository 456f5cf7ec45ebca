#ifndef KYLGW_XDR_LFX_H
#define KYLGW_XDR_LFX_H

// Local-file transfer messages (category 5632): moving data between the
// client and a file on the gateway host, and the small operations on such
// files (working directory, stat, mkdir, unlink, socket pool cleanup).
// Shared by the client library and kylgwd.  Decoding allocates address lists
// and inline data (malloc); KYL_XDR_FREE on the same record releases them.
// Modes in these bodies are POSIX mode bits.  No locks.
//
// Results: every codec (xdr_*) returns true when the record was encoded,
// decoded or freed whole and false otherwise; the other calls say theirs.

#include <cstdint>

#include "kyl_xdr.h"
#include "kylgw_msg.h"
#include "quor_sockaddr.h"

// Function codes of the local-file transfer category.
constexpr uint16_t FN_LFX_INIT = 256;
constexpr uint16_t FN_LFX_XFER_REPLY = 257; // the completion, sent as a second reply to FN_LFX_INIT
constexpr uint16_t FN_LFX_CLEAN_SOCK_POOL = 261;
constexpr uint16_t FN_LFX_GETCWD = 515;
constexpr uint16_t FN_LFX_STAT = 518;
constexpr uint16_t FN_LFX_MKDIR = 521;
constexpr uint16_t FN_LFX_UNLINK = 527;

// Caps on what decoders accept.
constexpr uint32_t KYLGW_MAX_LFX_INLINE = 64u << 20; // inline file data of one message
constexpr int32_t KYLGW_MAX_LFX_ADDRS = 64;          // address entries of one transfer
constexpr uint32_t KYLGW_MAX_LFX_CKSUM = 1024;       // checksum bytes

// Transfer request flags (kyl_xfer_init_info_t::flags).
constexpr uint32_t LFX_INLINE_SEND = 0x80000000u;    // the data is inline in fileData
constexpr uint32_t LFX_INLINE_RECEIVE = 0x40000000u; // the data is to come back inline
constexpr uint32_t LFX_REMOTE_OPEN = 0x10000000u;    // the remote file is already open (filedes)
constexpr uint32_t LFX_SECOND_FORM = 0x08000000u;    // reserved for a request form this program does not use
constexpr uint32_t LFX_HAS_CKSUM = 0x20u;            // the checksum record follows
constexpr uint32_t LFX_CLIENT_CONNECTS = 0x1u;       // the client would connect to the gateway (unused)

// Transfer reply flags (kyl_xfer_init_reply_t::flags).
constexpr uint32_t LFX_REPLY_INLINE = 0x80000000u; // fileSize bytes of data follow
constexpr uint32_t LFX_REPLY_HAS_CKSUM = 0x1u;     // the checksum record follows

// Transfer directions.
constexpr uint8_t LFX_OP_SEND = 0;    // client to gateway host
constexpr uint8_t LFX_OP_RECEIVE = 1; // gateway host to client

// Address entry types.
constexpr uint8_t LFX_ADDR_LISTEN = 2; // a listening socket created for this transfer

struct kyl_cksum_t {
    uint32_t csumType;
    uint32_t csumLength; // bytes of cksum used, at most KYLGW_MAX_LFX_CKSUM
    unsigned char cksum[KYLGW_MAX_LFX_CKSUM];
};

// One data-connection socket; next stays in memory.
struct kyl_sockaddr_info_t {
    kyl_sockaddr_info_t *next;
    uint8_t addressType;  // LFX_ADDR_LISTEN
    uint8_t preConnected; // 1: a pooled connection that is still open
    uint32_t poolID;
    int32_t socketFD;
    quor_sockaddr_t socketAddr;
};

struct kyl_xfer_init_info_t {
    uint32_t flags;
    uint8_t xferOperation; // LFX_OP_SEND or LFX_OP_RECEIVE
    char drive;
    char pathName[KYLGW_MAX_LFX_PATH + 1];
    int64_t fileSize;
    uint64_t srcOffset;
    uint64_t sinkOffset;
    uint64_t xferLength;
    uint32_t bufSize;
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
    kyl_cksum_t fileCksum; // on the wire only with LFX_HAS_CKSUM
    int32_t addressCount;
    kyl_sockaddr_info_t *addressList; // addressCount entries linked by next
    uint32_t reserved1, reserved2, reserved3, reserved4, reserved5;
    uint32_t reserved6, reserved7, reserved8, reserved9, reserved10;
    unsigned char *fileData; // xferLength bytes with LFX_INLINE_SEND
};

struct kylgw_lfx_xfer_init_req_t {
    uint32_t flags;
    int32_t filedes; // server descriptor, or -1
    kyl_xfer_init_info_t info;
};

struct kyl_xfer_init_reply_t {
    uint32_t flags;
    uint32_t xferSerialNum;
    kyl_cksum_t fileCksum; // on the wire only with LFX_REPLY_HAS_CKSUM
    int32_t addressCount;
    kyl_sockaddr_info_t *addressList;
    int32_t xferStatus;
    uint64_t fileSize; // with inline data, its length
    uint32_t reserved1, reserved2, reserved3, reserved4, reserved5;
    unsigned char *fileData; // fileSize bytes with LFX_REPLY_INLINE
};

struct kylgw_lfx_xfer_init_rply_t {
    uint32_t flags;
    kyl_xfer_init_reply_t reply;
};

struct kyl_xfer_complete_t {
    uint32_t flags;
    uint32_t xferSerialNum;
    int32_t xferStatus; // the transfer's result
    uint64_t bytesXferred;
};

struct kylgw_lfx_xfer_reply_t {
    uint32_t flags;
    kyl_xfer_complete_t complete;
};

struct lfx_Stat_req_t {
    char path[KYLGW_MAX_LFX_PATH + 1];
};
struct lfx_Unlink_req_t {
    char path[KYLGW_MAX_LFX_PATH + 1];
};
struct api_lfx_Mkdir_req_t {
    char path[KYLGW_MAX_LFX_PATH + 1];
    uint32_t mode;
};
struct api_lfx_Getcwd_rply_t {
    char path[KYLGW_MAX_PATH + 1];
};
struct lfx_Stat_rply_t {
    uint32_t hst_mode;
    uint32_t hst_nlink;
    uint32_t hst_uid;
    uint32_t hst_gid;
    uint32_t hst_mtime;
    uint32_t hst_atime;
    uint32_t hst_ctime;
    uint64_t hst_size;
};

// Codecs; each returns true on success.  Paths are counted strings (length
// with NUL) of at most KYLGW_MAX_LFX_PATH characters, except the working
// directory, an XDR string of at most KYLGW_MAX_PATH.  Inline data is exactly
// the declared length (xferLength or fileSize) and at most
// KYLGW_MAX_LFX_INLINE; address counts are 0..KYLGW_MAX_LFX_ADDRS and are
// checked before anything is allocated.  A failed decode frees what it had
// allocated.
bool xdr_kyl_cksum_t(kyl_xdr_t *x, kyl_cksum_t *c);
// One address entry, without following its next link.
bool xdr_kyl_sockaddr_info_t(kyl_xdr_t *x, kyl_sockaddr_info_t *a);
bool xdr_kyl_xfer_init_info_t(kyl_xdr_t *x, kyl_xfer_init_info_t *i);
bool xdr_kylgw_lfx_xfer_init_req_t(kyl_xdr_t *x, kylgw_lfx_xfer_init_req_t *r);
bool xdr_kyl_xfer_init_reply_t(kyl_xdr_t *x, kyl_xfer_init_reply_t *r);
bool xdr_kylgw_lfx_xfer_init_rply_t(kyl_xdr_t *x, kylgw_lfx_xfer_init_rply_t *r);
bool xdr_kyl_xfer_complete_t(kyl_xdr_t *x, kyl_xfer_complete_t *c);
bool xdr_kylgw_lfx_xfer_reply_t(kyl_xdr_t *x, kylgw_lfx_xfer_reply_t *r);
bool xdr_lfx_Stat_req_t(kyl_xdr_t *x, lfx_Stat_req_t *r);
bool xdr_lfx_Unlink_req_t(kyl_xdr_t *x, lfx_Unlink_req_t *r);
bool xdr_api_lfx_Mkdir_req_t(kyl_xdr_t *x, api_lfx_Mkdir_req_t *r);
bool xdr_api_lfx_Getcwd_rply_t(kyl_xdr_t *x, api_lfx_Getcwd_rply_t *r);
bool xdr_lfx_Stat_rply_t(kyl_xdr_t *x, lfx_Stat_rply_t *r);

#endif
