// Class-of-service selection: the gateway chooses the hints and priorities
// to pass to quor_Open for a file of a given size, owner and account.

#include "quor_api.h"

#include <cerrno>
#include <cstring>

#include "nxapi_fileops.h"

int quorex_SelectCOS(const char *cosList, uint64_t fileSize, uint32_t uid, uint32_t gid, uint32_t charge,
                     uint32_t copies, uint32_t subsysId, quor_cos_hints_t *hints, quor_cos_priorities_t *priorities)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (hints == nullptr || priorities == nullptr)
        return -EFAULT;
    api_selectcos_req_t req = {};
    if (cosList != nullptr) {
        size_t n = strlen(cosList);
        if (n > KYLGW_MAX_COSLIST)
            return -ENAMETOOLONG;
        memcpy(req.cosList, cosList, n + 1);
    }
    req.fileSize = fileSize;
    req.uid = uid;
    req.gid = gid;
    req.charge = charge;
    req.copies = copies;
    req.subsysId = subsysId;
    api_selectcos_rply_t rply = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_COS, FN_COS_SELECTCOS, &req, KYL_XDRPROC(api_selectcos_req_t, xdr_api_selectcos_req_t),
                        &rply, KYL_XDRPROC(api_selectcos_rply_t, xdr_api_selectcos_rply_t), &result);
    if (rc != 0)
        return rc;
    if (result == 0) {
        *hints = rply.HintsIn;
        *priorities = rply.HintPriorities;
    }
    return result;
}
