// Remote directories: make a directory, open one, read its entries with
// their attributes, close it.  The server keeps the directory descriptor;
// the client passes it through.

#include "quor_api.h"

#include <cerrno>
#include <cstring>

#include "nxapi_fileops.h"

namespace {

const kyl_xdrproc_t kMkdirReq = KYL_XDRPROC(api_quor_Mkdir_req_t, xdr_api_quor_Mkdir_req_t);
const kyl_xdrproc_t kPathReq = KYL_XDRPROC(api_quor_path_req_t, xdr_api_quor_path_req_t);
const kyl_xdrproc_t kReadAttrsReq = KYL_XDRPROC(api_quor_ReadAttrs_req_t, xdr_api_quor_ReadAttrs_req_t);
const kyl_xdrproc_t kReadAttrsRply = KYL_XDRPROC(api_quor_ReadAttrs_rply_t, xdr_api_quor_ReadAttrs_rply_t);
const kyl_xdrproc_t kClosedirReq = KYL_XDRPROC(api_quor_Closedir_req_t, xdr_api_quor_Closedir_req_t);

} // namespace

int quor_Mkdir(const char *path, mode_t mode)
{
    api_quor_Mkdir_req_t req = {};
    req.Mode = static_cast<uint32_t>(mode);
    return nxapi_PathCall(CAT_FILESYS, FN_FS_MKDIR, req.Path, sizeof req.Path, path, &req, kMkdirReq);
}

int quor_Opendir(const char *path)
{
    api_quor_Opendir_req_t req = {};
    return nxapi_PathCall(CAT_FILESYS, FN_FS_OPENDIR, req.Path, sizeof req.Path, path, &req, kPathReq);
}

int quor_ReadAttrs(int dirfd, uint64_t offset, uint32_t count, uint32_t getAttributes, uint32_t *end,
                   uint64_t *offsetOut, ns_DirEntry_t *entries)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (end == nullptr || offsetOut == nullptr || entries == nullptr)
        return -EFAULT;
    if (count == 0 || count > KYLGW_MAX_DIRENTRIES)
        return -EINVAL;
    api_quor_ReadAttrs_req_t req = {dirfd, offset, count, getAttributes};
    api_quor_ReadAttrs_rply_t rply = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_READATTRS, &req, kReadAttrsReq, &rply, kReadAttrsRply, &result);
    if (rc == 0 && rply.entryCount > count) {
        // The caller's array has room for count entries only: a reply with
        // more is a protocol violation, and the connection is no longer
        // trusted.
        nxapi_logf(1, "quor_ReadAttrs", NXAPI_LOG_STDERR, __FILE__, __LINE__,
                   "*** quor_ReadAttrs: reply has %u entries, %u were asked for\n", rply.entryCount, count);
        nx_CloseStreams(ctx->connection, KYLGW_E_BADMSG);
        rc = KYLGW_E_BADMSG;
    }
    if (rc == 0 && result >= 0) {
        if (rply.entryCount > 0)
            memcpy(entries, rply.DirEntries, rply.entryCount * sizeof(ns_DirEntry_t));
        *end = rply.End;
        *offsetOut = rply.OffsetOut;
        result = static_cast<int32_t>(rply.entryCount);
    }
    kyl_xdr_free(kReadAttrsRply, &rply);
    return rc != 0 ? rc : result;
}

int quor_Closedir(int dirfd)
{
    api_quor_Closedir_req_t req = {dirfd};
    return nxapi_SimpleCall(CAT_FILESYS, FN_FS_CLOSEDIR, &req, kClosedirReq, nullptr, nullptr);
}
