// User-defined attributes: the expiration time of a storage-system file.

#include "quor_api.h"

#include <cerrno>
#include <cstring>

#include "nxapi_fileops.h"

int kylgw_UdaSetExpiration(const char *path, uint64_t expireTime)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (path == nullptr)
        return -EFAULT;
    if (path[0] == '\0')
        return -ENOENT;
    uda_set_expiration_req_t req = {};
    // The request's path field holds 1024 characters; a longer path is cut.
    size_t n = strnlen(path, QUOR_UDA_PATH_SIZE - 1);
    memcpy(req.Path, path, n);
    req.Path[n] = '\0';
    req.ExpireTime = expireTime;
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_UDA, FN_UDA_SETEXPIRATION, &req,
                        KYL_XDRPROC(uda_set_expiration_req_t, xdr_uda_set_expiration_req_t), nullptr, nullptr, &result);
    return rc != 0 ? rc : result;
}
