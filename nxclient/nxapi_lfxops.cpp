// Operations on files local to the gateway host (a gateway that serves a
// plain file system): working directory, status, make directory, unlink.

#include "quor_api.h"

#include <cerrno>
#include <cstring>

#include "nxapi_fileops.h"

namespace {

const kyl_xdrproc_t kStatReq = KYL_XDRPROC(lfx_Stat_req_t, xdr_lfx_Stat_req_t);
const kyl_xdrproc_t kStatRply = KYL_XDRPROC(lfx_Stat_rply_t, xdr_lfx_Stat_rply_t);
const kyl_xdrproc_t kUnlinkReq = KYL_XDRPROC(lfx_Unlink_req_t, xdr_lfx_Unlink_req_t);
const kyl_xdrproc_t kMkdirReq = KYL_XDRPROC(api_lfx_Mkdir_req_t, xdr_api_lfx_Mkdir_req_t);
const kyl_xdrproc_t kGetcwdRply = KYL_XDRPROC(api_lfx_Getcwd_rply_t, xdr_api_lfx_Getcwd_rply_t);

} // namespace

int kylgw_LfxGetcwd(char *buf, int size)
{
    api_lfx_Getcwd_rply_t rply = {};
    return nxapi_GetcwdCall(CAT_LFX, FN_LFX_GETCWD, &rply, kGetcwdRply, rply.path, sizeof rply.path, buf, size);
}

int kylgw_LfxStat(const char *path, lfx_Stat_rply_t *st)
{
    nxapi_tcontext_t *ctx = nullptr;
    lfx_Stat_req_t req = {};
    int rc = nxapi_StartPathCall(&ctx, req.path, sizeof req.path, path);
    if (rc != 0)
        return rc;
    if (st == nullptr)
        return -EFAULT;
    memset(st, 0, sizeof *st);
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_LFX, FN_LFX_STAT, &req, kStatReq, st, kStatRply, &result);
    return rc != 0 ? rc : result;
}

int kylgw_LfxMkdir(const char *path, mode_t mode)
{
    api_lfx_Mkdir_req_t req = {};
    req.mode = static_cast<uint32_t>(mode);
    return nxapi_PathCall(CAT_LFX, FN_LFX_MKDIR, req.path, sizeof req.path, path, &req, kMkdirReq);
}

int kylgw_LfxUnlink(const char *path)
{
    lfx_Unlink_req_t req = {};
    return nxapi_PathCall(CAT_LFX, FN_LFX_UNLINK, req.path, sizeof req.path, path, &req, kUnlinkReq);
}
