// Local-file transfers with a gateway that serves a plain file system: the
// transfer request and its first reply, the completion that follows a
// transfer over a data connection as a second reply to the same request,
// and the cleanup of the gateway's pool of data connections.  Any thread
// calls these; the completion is received by the request's own id on the
// thread that sent the request, and any other reader of the connection
// that meets it first keeps it for that thread (nxapi_laterreply_t).

#include "quor_api.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "nxapi_fileops.h"

namespace {

const kyl_xdrproc_t kInitReq = KYL_XDRPROC(kylgw_lfx_xfer_init_req_t, xdr_kylgw_lfx_xfer_init_req_t);
const kyl_xdrproc_t kInitRply = KYL_XDRPROC(kylgw_lfx_xfer_init_rply_t, xdr_kylgw_lfx_xfer_init_rply_t);
const kyl_xdrproc_t kXferRply = KYL_XDRPROC(kylgw_lfx_xfer_reply_t, xdr_kylgw_lfx_xfer_reply_t);

static_assert(sizeof(kylgw_lfx_xfer_reply_t) <= NXAPI_LATER_BODY_MAX, "completion must fit the later-reply slot");

} // namespace

int kylgw_LfxInit(int fd, const kyl_xfer_init_info_t *initInfo, kyl_xfer_init_reply_t *initReply)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (initInfo == nullptr || initReply == nullptr)
        return -EFAULT;
    kylgw_lfx_xfer_init_req_t req;
    memset(&req, 0, sizeof req);
    req.flags = 0;
    req.filedes = fd;
    if (fd >= 0 && (rc = nxapi_FileServerDes(fd, -EBADF, &req.filedes)) != 0)
        return rc;
    req.info = *initInfo;
    // Only a transfer over a data connection is completed by a second reply.
    const bool inlineXfer = (initInfo->flags & (LFX_INLINE_SEND | LFX_INLINE_RECEIVE)) != 0;
    if (!inlineXfer) {
        nxapi_ArmLaterReply(ctx, kXferRply);
        new (ctx->later.bodyStore) kylgw_lfx_xfer_reply_t{};
    } else {
        nxapi_AbandonLaterReply(ctx);
    }
    kylgw_lfx_xfer_init_rply_t rply;
    memset(&rply, 0, sizeof rply);
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_LFX, FN_LFX_INIT, &req, kInitReq, &rply, kInitRply, &result);
    if (rc != 0 || result != 0) {
        nxapi_ForgetLaterReply(ctx);
        kyl_xdr_free(kInitRply, &rply);
        return rc != 0 ? rc : result;
    }
    // The inline data goes to the caller; the address list is not used.
    *initReply = rply.reply;
    initReply->addressList = nullptr;
    initReply->addressCount = 0;
    rply.reply.fileData = nullptr;
    kyl_xdr_free(kInitRply, &rply);
    return 0;
}

int kylgw_LfxGetXferReply(kyl_xfer_complete_t *complete)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (complete == nullptr)
        return -EFAULT;
    api_msghdr_t hdr;
    memset(&hdr, 0, sizeof hdr);
    rc = nxapi_GetLaterReply(ctx, &hdr);
    auto *body = reinterpret_cast<kylgw_lfx_xfer_reply_t *>(ctx->later.bodyStore);
    if (rc == 0) {
        if (hdr.category != CAT_LFX || hdr.function != FN_LFX_XFER_REPLY)
            rc = KYLGW_E_BADMSG;
        else if (hdr.errorcode != 0 && body->complete.xferStatus == 0)
            body->complete.xferStatus = hdr.errorcode;
        if (rc == 0)
            *complete = body->complete;
        if (rc == 0)
            rc = hdr.errorcode;
    }
    kyl_xdr_free(kXferRply, body);
    return rc;
}

void kylgw_LfxForgetXferReply()
{
    nxapi_tcontext_t *ctx = nullptr;
    if (nxapi_init(&ctx) == 0)
        nxapi_AbandonLaterReply(ctx);
}

int kylgw_LfxCleanSockPool()
{
    return nxapi_SimpleCall(CAT_LFX, FN_LFX_CLEAN_SOCK_POOL, nullptr, nullptr, nullptr, nullptr);
}
