#ifndef KYLGW_MSG_H
#define KYLGW_MSG_H

// Gateway messages: the 36-byte header that precedes every message in both
// directions, the categories and function codes, the caps on what a decoder
// accepts, and the bodies of the connection and gateway-log messages.
// Shared by the client library and kylgwd.
//
// Results: every codec (xdr_*) returns true when the record was encoded,
// decoded or freed whole and false otherwise; the other calls say theirs.

#include <cstdint>

#include "kyl_xdr.h"

// Header flag bits.
constexpr uint32_t MSGF_BODY = 0x80000000u;        // a body follows the header
constexpr uint32_t MSGF_TASK = 0x10000000u;        // client reply to a server-originated request
constexpr uint32_t MSGF_NOWAIT = 0x20000000u;      // does not change the awaited request id
constexpr uint32_t MSGF_UNSOLICITED = 0x00000004u; // rejected by the client
constexpr uint32_t MSGF_TOKEN_NEXT = 0x00000002u;  // challenge response answering a next-token demand

constexpr char KYLGW_SANITY[8] = {'A', 'P', 'I', '_', 'M', 'S', 'G', 'H'};
constexpr size_t KYLGW_MSGHDR_SIZE = 36;

struct api_msghdr_t {
    char sanity[8];
    uint32_t msgRequestID;
    uint32_t msgFlags;
    uint32_t msgTime;
    uint32_t threadID;
    uint16_t category;
    uint16_t function;
    int32_t errorcode;
};

// Header codec; decoding does not check the sanity bytes (the caller does).
bool kylgw_xdr_api_msghdr_t(kyl_xdr_t *x, api_msghdr_t *h);
// Fills a header, "API_MSGH" included.
void kylgw_BuildMsgHdr(api_msghdr_t *h, uint32_t requestID, uint32_t flags, uint32_t time, uint32_t threadID,
                       uint16_t category, uint16_t function, int32_t errorcode);
// True when the header's sanity bytes are "API_MSGH".
bool kylgw_MsgHdrSane(const api_msghdr_t *h);

// Categories.
constexpr uint16_t CAT_CONNECTION = 256;
constexpr uint16_t CAT_AUTH = 512;
constexpr uint16_t CAT_FILESYS = 1280;
constexpr uint16_t CAT_USER = 1536;
constexpr uint16_t CAT_LOG = 1792;
constexpr uint16_t CAT_COS = 2048;
constexpr uint16_t CAT_LFX = 5632;
constexpr uint16_t CAT_UDA = 5888;

// Connection category.
constexpr uint16_t FN_GREETING = 0; // sent by the server unasked after accept
constexpr uint16_t FN_SITE_INFO = 1;

// Gateway log category.
constexpr uint16_t FN_OPENLOG = 256;
constexpr uint16_t FN_LOGMSG = 257;
constexpr uint16_t FN_CLOSELOG = 258;

// Caps on what decoders accept from the network.
constexpr uint32_t KYLGW_MAX_PATH = 1024;      // path names
constexpr uint32_t KYLGW_MAX_LFX_PATH = 4096;  // paths local to the gateway host
constexpr uint32_t KYLGW_MAX_LOGMSG = 4096;    // gateway log texts
constexpr uint32_t KYLGW_MAX_SUBSYS = 256;     // gateway log subsystem names
constexpr uint32_t KYLGW_MAX_VARBUF = 1 << 20; // variable byte buffers without a tighter cap

// Protocol level the client speaks.
constexpr uint32_t KYLGW_PROT_MAJOR = 67;
constexpr uint32_t KYLGW_PROT_MINOR = 2;

// The greeting.
struct api_server_state_rply_t {
    uint32_t sv_prot_major;
    uint32_t sv_prot_minor;
    uint32_t sv_major;
    uint32_t sv_minor;
    uint32_t sv_patch;
    uint32_t quorDownFlag;
};
bool xdr_api_server_state_rply_t(kyl_xdr_t *x, api_server_state_rply_t *r);

struct api_site_info_req_t {
    uint32_t cv_major;
    uint32_t cv_minor;
};
bool xdr_api_site_info_req_t(kyl_xdr_t *x, api_site_info_req_t *r);

// Site information (also the whole site information reply), 34 words.
struct quor_site_info_t {
    uint32_t server_flags;
    uint32_t server_runmode;
    uint32_t sv_major;
    uint32_t sv_minor;
    uint32_t sv_patch;
    uint32_t sv_prot_major;
    uint32_t sv_prot_minor;
    uint32_t quor_level;
    uint32_t site_quor_flags;
    uint32_t quor_patch_flags;
    uint32_t auth_flags;
    uint32_t auth_crypto_card;
    uint32_t encryption_methods;
    uint32_t port_min;
    uint32_t port_max;
    uint32_t realm_id;
    uint32_t authz_flags;
    uint32_t authz_rsrved1;
    uint32_t authz_rsrved2;
    uint32_t accounting_style;
    uint32_t acct_validation_flag;
    int32_t max_bg_stages;
    uint32_t max_mbytes_per_iod;
    uint32_t app_copies;
    uint32_t rootUid;
    uint32_t umask;
    uint32_t max_bg_vvs;
    uint32_t bg_stage_flags;
    uint32_t startupCOS;
    uint32_t future5;
    uint32_t future6;
    uint32_t future7;
    uint32_t future8;
    uint32_t future9;
};
typedef quor_site_info_t api_site_info_rply_t;
bool xdr_api_site_info_rply_t(kyl_xdr_t *x, api_site_info_rply_t *r);

// Gateway log messages.
struct api_openlog_t {
    uint32_t flags;
    char subsys[KYLGW_MAX_SUBSYS + 1];
};
bool xdr_api_openlog_t(kyl_xdr_t *x, api_openlog_t *r);

struct api_log_message_t {
    uint32_t flags;
    uint32_t priority;
    char msgtext[KYLGW_MAX_LOGMSG + 1];
};
bool xdr_api_log_message_t(kyl_xdr_t *x, api_log_message_t *r);

struct api_closelog_t {
    uint32_t flags;
};
bool xdr_api_closelog_t(kyl_xdr_t *x, api_closelog_t *r);

#endif
