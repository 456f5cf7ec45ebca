// Session-level operations of the client library: the gateway log and the
// site information.  Accounts, password entries, umask and working
// directories are in nxapi_acct.cpp, nxapi_names.cpp and nxapi_lfxops.cpp.
// Each operation starts with nxapi_init (which opens the session on first
// use) and then exchanges one request and reply on the calling thread's
// context.  Any thread may call them; the message layer does the locking.

#include "quor_api.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "nxapi_private.h"

namespace {

// Sends one gateway-log request with body and returns the reply's result.
int logRequest(uint16_t function, void *body, kyl_xdrproc_t codec)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    rc = nxapi_send_msg(CAT_LOG, function, body, codec, 0, 0, nullptr, ctx);
    if (rc != 0)
        return rc;
    api_msghdr_t reply;
    rc = nxapi_get_msg(ctx, &reply, nullptr, nullptr, nullptr);
    if (rc != 0)
        return rc;
    return reply.errorcode;
}

} // namespace

int quor_Openlog(uint32_t flags, const char *subsys)
{
    if (subsys == nullptr)
        return -EFAULT;
    if (strlen(subsys) > KYLGW_MAX_SUBSYS)
        return -ENAMETOOLONG;
    api_openlog_t req = {};
    req.flags = flags;
    memcpy(req.subsys, subsys, strlen(subsys) + 1);
    return logRequest(FN_OPENLOG, &req, KYL_XDRPROC(api_openlog_t, xdr_api_openlog_t));
}

int quor_Logmsg(uint32_t flags, uint32_t priority, const char *msgtext)
{
    if (msgtext == nullptr)
        return -EFAULT;
    // A text longer than the gateway accepts is cut to the cap.
    api_log_message_t req = {};
    req.flags = flags;
    req.priority = priority;
    snprintf(req.msgtext, sizeof req.msgtext, "%s", msgtext);
    return logRequest(FN_LOGMSG, &req, KYL_XDRPROC(api_log_message_t, xdr_api_log_message_t));
}

int quor_Closelog(uint32_t flags)
{
    api_closelog_t req = {};
    req.flags = flags;
    return logRequest(FN_CLOSELOG, &req, KYL_XDRPROC(api_closelog_t, xdr_api_closelog_t));
}

int quorex_GetSiteInfo(quor_site_info_t *info)
{
    if (info == nullptr)
        return -EFAULT;
    quor_connection_t *conn = nxapi_getCurConnection();
    if (conn == nullptr)
        return -ENOENT;
    *info = conn->site_info;
    return 0;
}

int quorex_GetGatewayAddress(quor_sockaddr_t *addr)
{
    if (addr == nullptr)
        return -EFAULT;
    quor_connection_t *conn = nxapi_getCurConnection();
    if (conn == nullptr)
        return -ENOENT;
    *addr = conn->server_addr;
    return 0;
}
