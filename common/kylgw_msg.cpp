// Header and connection/log message codecs.  See kylgw_msg.h.

#include "kylgw_msg.h"

#include "kylgw_catalogue.h"

#include <cstring>

bool kylgw_xdr_api_msghdr_t(kyl_xdr_t *x, api_msghdr_t *h)
{
    return kyl_xdr_fixed_opaque(x, reinterpret_cast<unsigned char *>(h->sanity), sizeof h->sanity) &&
           kyl_xdr_u32(x, &h->msgRequestID) && kyl_xdr_u32(x, &h->msgFlags) && kyl_xdr_u32(x, &h->msgTime) &&
           kyl_xdr_u32(x, &h->threadID) && kyl_xdr_u16(x, &h->category) && kyl_xdr_u16(x, &h->function) &&
           kyl_xdr_i32(x, &h->errorcode);
}

void kylgw_BuildMsgHdr(api_msghdr_t *h, uint32_t requestID, uint32_t flags, uint32_t time, uint32_t threadID,
                       uint16_t category, uint16_t function, int32_t errorcode)
{
    memcpy(h->sanity, KYLGW_SANITY, sizeof h->sanity);
    h->msgRequestID = requestID;
    h->msgFlags = flags;
    h->msgTime = time;
    h->threadID = threadID;
    h->category = category;
    h->function = function;
    h->errorcode = errorcode;
}

bool kylgw_MsgHdrSane(const api_msghdr_t *h)
{
    return memcmp(h->sanity, KYLGW_SANITY, sizeof h->sanity) == 0;
}

bool xdr_api_server_state_rply_t(kyl_xdr_t *x, api_server_state_rply_t *r)
{
    return kyl_xdr_u32(x, &r->sv_prot_major) && kyl_xdr_u32(x, &r->sv_prot_minor) && kyl_xdr_u32(x, &r->sv_major) &&
           kyl_xdr_u32(x, &r->sv_minor) && kyl_xdr_u32(x, &r->sv_patch) && kyl_xdr_u32(x, &r->quorDownFlag);
}

bool xdr_api_site_info_req_t(kyl_xdr_t *x, api_site_info_req_t *r)
{
    return kyl_xdr_u32(x, &r->cv_major) && kyl_xdr_u32(x, &r->cv_minor);
}

bool xdr_api_site_info_rply_t(kyl_xdr_t *x, api_site_info_rply_t *r)
{
    uint32_t *words[] = {
        &r->server_flags,       &r->server_runmode,   &r->sv_major,
        &r->sv_minor,           &r->sv_patch,         &r->sv_prot_major,
        &r->sv_prot_minor,      &r->quor_level,       &r->site_quor_flags,
        &r->quor_patch_flags,   &r->auth_flags,       &r->auth_crypto_card,
        &r->encryption_methods, &r->port_min,         &r->port_max,
        &r->realm_id,           &r->authz_flags,      &r->authz_rsrved1,
        &r->authz_rsrved2,      &r->accounting_style, &r->acct_validation_flag,
    };
    for (uint32_t *w : words)
        if (!kyl_xdr_u32(x, w))
            return false;
    if (!kyl_xdr_i32(x, &r->max_bg_stages))
        return false;
    uint32_t *rest[] = {
        &r->max_mbytes_per_iod, &r->app_copies, &r->rootUid, &r->umask,   &r->max_bg_vvs, &r->bg_stage_flags,
        &r->startupCOS,         &r->future5,    &r->future6, &r->future7, &r->future8,    &r->future9,
    };
    for (uint32_t *w : rest)
        if (!kyl_xdr_u32(x, w))
            return false;
    return true;
}

bool xdr_api_openlog_t(kyl_xdr_t *x, api_openlog_t *r)
{
    return kyl_xdr_u32(x, &r->flags) && kyl_xdr_string(x, r->subsys, sizeof r->subsys, KYLGW_MAX_SUBSYS);
}

bool xdr_api_log_message_t(kyl_xdr_t *x, api_log_message_t *r)
{
    return kyl_xdr_u32(x, &r->flags) && kyl_xdr_u32(x, &r->priority) &&
           kyl_xdr_string(x, r->msgtext, sizeof r->msgtext, KYLGW_MAX_LOGMSG);
}

bool xdr_api_closelog_t(kyl_xdr_t *x, api_closelog_t *r)
{
    return kyl_xdr_u32(x, &r->flags);
}

namespace {

const kylgw_msgtype_t connectionRows[] = {
    {CAT_CONNECTION, FN_GREETING, "greeting", nullptr, 0,
     KYL_XDRPROC(api_server_state_rply_t, xdr_api_server_state_rply_t), sizeof(api_server_state_rply_t)},
    {CAT_CONNECTION, FN_SITE_INFO, "quorex_GetSiteInfo", KYL_XDRPROC(api_site_info_req_t, xdr_api_site_info_req_t),
     sizeof(api_site_info_req_t), KYL_XDRPROC(api_site_info_rply_t, xdr_api_site_info_rply_t),
     sizeof(api_site_info_rply_t)},
    {CAT_LOG, FN_OPENLOG, "quor_Openlog", KYL_XDRPROC(api_openlog_t, xdr_api_openlog_t), sizeof(api_openlog_t), nullptr,
     0},
    {CAT_LOG, FN_LOGMSG, "quor_Logmsg", KYL_XDRPROC(api_log_message_t, xdr_api_log_message_t),
     sizeof(api_log_message_t), nullptr, 0},
    {CAT_LOG, FN_CLOSELOG, "quor_Closelog", KYL_XDRPROC(api_closelog_t, xdr_api_closelog_t), sizeof(api_closelog_t),
     nullptr, 0},
};

} // namespace

const kylgw_msgtable_t kylgw_connection_msgtable = {connectionRows, sizeof connectionRows / sizeof connectionRows[0]};
