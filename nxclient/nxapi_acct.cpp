// Accounts, password entries, home directories and the session umask: one
// request and reply each on the calling thread's context.

#include "quor_api.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "nxapi_fileops.h"

namespace {

const kyl_xdrproc_t kGetAcctRply = KYL_XDRPROC(api_quor_GetAcct_rply_t, xdr_api_quor_GetAcct_rply_t);
const kyl_xdrproc_t kSetAcctReq = KYL_XDRPROC(api_quor_SetAcct_req_t, xdr_api_quor_SetAcct_req_t);
const kyl_xdrproc_t kSetAcctByNameReq = KYL_XDRPROC(api_quor_SetAcctByName_req_t, xdr_api_quor_SetAcctByName_req_t);
const kyl_xdrproc_t kAcctCodeReq = KYL_XDRPROC(api_quor_AcctNameToCode_req_t, xdr_api_quor_AcctNameToCode_req_t);
const kyl_xdrproc_t kAcctCodeRply = KYL_XDRPROC(api_AcctNameToCode_rply_t, xdr_api_AcctNameToCode_rply_t);
const kyl_xdrproc_t kPwentReq = KYL_XDRPROC(api_getpwent_req_t, xdr_api_getpwent_req_t);
const kyl_xdrproc_t kPwentRply = KYL_XDRPROC(api_getpwent_rply_t, xdr_api_getpwent_rply_t);
const kyl_xdrproc_t kHomeReq = KYL_XDRPROC(api_lookup_homedir_req_t, xdr_api_lookup_homedir_req_t);
const kyl_xdrproc_t kHomeRply = KYL_XDRPROC(api_lookup_homedir_rply_t, xdr_api_lookup_homedir_rply_t);
const kyl_xdrproc_t kUmaskReq = KYL_XDRPROC(api_quor_Umask_req_t, xdr_api_quor_Umask_req_t);
const kyl_xdrproc_t kUmaskRply = KYL_XDRPROC(api_quor_Umask_rply_t, xdr_api_quor_Umask_rply_t);

// Copies a fixed-size text field of the reply into a caller's field,
// bounded by both sizes.
template <size_t N, size_t M>
void copyText(char (&dst)[N], const char (&src)[M])
{
    size_t n = strnlen(src, M - 1);
    if (n >= N)
        n = N - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// Copies an account name into the 129-byte request field: 0, -14 or -36.
int copyAcctName(char (&field)[QUOR_ACCTNAME_SIZE], const char *name)
{
    if (name == nullptr)
        return -EFAULT;
    size_t n = strlen(name);
    if (n >= QUOR_ACCTNAME_SIZE)
        return -ENAMETOOLONG;
    memcpy(field, name, n + 1);
    return 0;
}

} // namespace

int quor_GetAcct(uint32_t *defaultAcct, uint32_t *currentAcct)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (defaultAcct == nullptr || currentAcct == nullptr)
        return -EFAULT;
    api_quor_GetAcct_rply_t rply = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_GETACCT, nullptr, nullptr, &rply, kGetAcctRply, &result);
    if (rc != 0)
        return rc;
    if (result == 0) {
        *defaultAcct = rply.RetDefAcct;
        *currentAcct = rply.RetCurAcct;
    }
    return result;
}

int quor_SetAcct(uint32_t account)
{
    api_quor_SetAcct_req_t req = {account};
    return nxapi_SimpleCall(CAT_FILESYS, FN_FS_SETACCT, &req, kSetAcctReq, nullptr, nullptr);
}

int quor_SetAcctByName(const char *name)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    api_quor_SetAcctByName_req_t req = {};
    rc = copyAcctName(req.AcctName, name);
    if (rc != 0)
        return rc;
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_SETACCTBYNAME, &req, kSetAcctByNameReq, nullptr, nullptr, &result);
    return rc != 0 ? rc : result;
}

int quor_AcctNameToCode(const char *name, uint32_t site, uint32_t *code)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (code == nullptr)
        return -EFAULT;
    api_quor_AcctNameToCode_req_t req = {};
    rc = copyAcctName(req.AcctName, name);
    if (rc != 0)
        return rc;
    req.Site = site;
    api_AcctNameToCode_rply_t rply = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_ACCTNAMETOCODE, &req, kAcctCodeReq, &rply, kAcctCodeRply, &result);
    if (rc != 0)
        return rc;
    if (result == 0)
        *code = rply.AcctCode;
    return result;
}

int quor_GetPwent(const char *name, quor_passwd_t *pw)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (name == nullptr || pw == nullptr)
        return -EFAULT;
    api_getpwent_req_t req = {};
    if (strlen(name) > KYLGW_MAX_USERNAME)
        return -ENAMETOOLONG;
    memcpy(req.uname, name, strlen(name) + 1);
    api_getpwent_rply_t rply = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_USER, FN_USER_GETPWENT, &req, kPwentReq, &rply, kPwentRply, &result);
    if (rc != 0)
        return rc;
    if (result == 0) {
        memset(pw, 0, sizeof *pw);
        copyText(pw->pw_name, rply.pw_name);
        copyText(pw->pw_passwd, rply.pw_passwd);
        pw->pw_uid = rply.pw_uid;
        pw->pw_gid = rply.pw_gid;
        copyText(pw->pw_gecos, rply.pw_gecos);
        copyText(pw->pw_dir, rply.pw_dir);
        copyText(pw->pw_shell, rply.pw_shell);
    }
    return result;
}

int quor_LookupHomeDir(const char *principal, char *buf, int size)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (principal == nullptr || buf == nullptr || size <= 0)
        return -EFAULT;
    api_lookup_homedir_req_t req = {};
    if (strlen(principal) > KYLGW_MAX_USERNAME)
        return -ENAMETOOLONG;
    memcpy(req.principal, principal, strlen(principal) + 1);
    api_lookup_homedir_rply_t rply = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_USER, FN_USER_LOOKUPHOMEDIR, &req, kHomeReq, &rply, kHomeRply, &result);
    if (rc != 0)
        return rc;
    if (result != 0)
        return result;
    size_t n = strnlen(rply.homeDir, sizeof rply.homeDir - 1);
    if (n >= static_cast<size_t>(size))
        return -ERANGE;
    memcpy(buf, rply.homeDir, n);
    buf[n] = '\0';
    return 0;
}

int quor_Umask(int mask)
{
    api_quor_Umask_req_t req = {static_cast<uint32_t>(mask)};
    api_quor_Umask_rply_t rply = {};
    int rc = nxapi_SimpleCall(CAT_FILESYS, FN_FS_UMASK, &req, kUmaskReq, &rply, kUmaskRply);
    // The previous mask; 0 is this call's failure value.
    return rc != 0 ? 0 : static_cast<int>(rply.OMask);
}
