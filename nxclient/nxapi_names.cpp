// Remote operations on names: status, attributes (plain, extended and
// setting them), rename, unlink, the working directory, unique request ids,
// and the conversion of user and group names to ids.

#include "quor_api.h"

#include <cerrno>
#include <cstring>

#include "nxapi_fileops.h"

namespace {

const kyl_xdrproc_t kPathReq = KYL_XDRPROC(api_quor_path_req_t, xdr_api_quor_path_req_t);
const kyl_xdrproc_t kStatRply = KYL_XDRPROC(quor_stat_t, xdr_quor_stat_t);
const kyl_xdrproc_t kAttrsRply = KYL_XDRPROC(quor_Attrs_t, xdr_quor_Attrs_t);
const kyl_xdrproc_t kFileAttrRply = KYL_XDRPROC(quor_fileattr_t, xdr_quor_fileattr_t);
const kyl_xdrproc_t kXAttrReq = KYL_XDRPROC(api_quor_FileGetXAttributes_req_t, xdr_api_quor_FileGetXAttributes_req_t);
const kyl_xdrproc_t kXAttrRply = KYL_XDRPROC(quor_xfileattr_t, xdr_quor_xfileattr_t);
const kyl_xdrproc_t kSetAttrReq = KYL_XDRPROC(api_quor_FileSetAttributes_req_t, xdr_api_quor_FileSetAttributes_req_t);
const kyl_xdrproc_t kRenameReq = KYL_XDRPROC(api_quor_Rename_req_t, xdr_api_quor_Rename_req_t);
const kyl_xdrproc_t kGetcwdRply = KYL_XDRPROC(api_quor_Getcwd_rply_t, xdr_api_quor_Getcwd_rply_t);
const kyl_xdrproc_t kReqIdRply =
    KYL_XDRPROC(api_quor_GetUniqueRequestID_rply_t, xdr_api_quor_GetUniqueRequestID_rply_t);
const kyl_xdrproc_t kNamesCodec = KYL_XDRPROC(api_quor_ConvertNamesToIds_req_t, xdr_api_quor_ConvertNamesToIds_req_t);

// A path request answered by a record decoded into out (zeroed first).
int pathQuery(uint16_t fn, const char *path, void *out, size_t outSize, kyl_xdrproc_t codec)
{
    nxapi_tcontext_t *ctx = nullptr;
    api_quor_path_req_t req = {};
    int rc = nxapi_StartPathCall(&ctx, req.Path, sizeof req.Path, path);
    if (rc != 0)
        return rc;
    if (out == nullptr && codec != nullptr)
        return -EFAULT;
    if (out != nullptr)
        memset(out, 0, outSize);
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, fn, &req, kPathReq, out, codec, &result);
    return rc != 0 ? rc : result;
}

} // namespace

int quor_Stat(const char *path, quor_stat_t *st)
{
    return pathQuery(FN_FS_STAT, path, st, sizeof *st, kStatRply);
}

int quor_Lstat(const char *path, quor_stat_t *st)
{
    return pathQuery(FN_FS_LSTAT, path, st, sizeof *st, kStatRply);
}

int quor_Unlink(const char *path)
{
    return pathQuery(FN_FS_UNLINK, path, nullptr, 0, nullptr);
}

int quor_GetListAttrs(const char *path, quor_Attrs_t *attrs)
{
    return pathQuery(FN_FS_GETLISTATTRS, path, attrs, sizeof *attrs, kAttrsRply);
}

int quor_FileGetAttributes(const char *path, quor_fileattr_t *attr)
{
    return pathQuery(FN_FS_FILEGETATTRIBUTES, path, attr, sizeof *attr, kFileAttrRply);
}

int quor_FileGetXAttributes(const char *path, uint32_t flags, uint32_t storageLevel, quor_xfileattr_t *xattr)
{
    nxapi_tcontext_t *ctx = nullptr;
    api_quor_FileGetXAttributes_req_t req = {};
    int rc = nxapi_StartPathCall(&ctx, req.Path, sizeof req.Path, path);
    if (rc != 0)
        return rc;
    if (xattr == nullptr)
        return -EFAULT;
    req.Flags = flags;
    req.StorageLevel = storageLevel;
    memset(xattr, 0, sizeof *xattr);
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_FILEGETXATTRIBUTES, &req, kXAttrReq, xattr, kXAttrRply, &result);
    if (rc != 0) {
        // A failed decode may have left volume lists behind.
        kyl_xdr_free(kXAttrRply, xattr);
        memset(xattr, 0, sizeof *xattr);
        return rc;
    }
    return result;
}

void quor_FreeXAttributes(quor_xfileattr_t *xattr)
{
    if (xattr == nullptr)
        return;
    kyl_xdr_free(kXAttrRply, xattr);
    memset(xattr, 0, sizeof *xattr);
}

int quor_FileSetAttributes(const char *path, uint64_t selFlags, const quor_fileattr_t *attrIn, quor_fileattr_t *attrOut)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (attrIn == nullptr)
        return -EFAULT;
    api_quor_FileSetAttributes_req_t req = {};
    rc = nxapi_CopyPathArg(req.Path, sizeof req.Path, path);
    if (rc != 0)
        return rc;
    req.SelFlags = selFlags;
    req.AttrIn = *attrIn;
    quor_fileattr_t out = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_FILESETATTRIBUTES, &req, kSetAttrReq, &out, kFileAttrRply, &result);
    if (rc != 0)
        return rc;
    if (attrOut != nullptr)
        *attrOut = out;
    return result;
}

int quor_Rename(const char *oldPath, const char *newPath)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    api_quor_Rename_req_t req = {};
    rc = nxapi_CopyPathArg(req.Old, sizeof req.Old, oldPath);
    if (rc == 0)
        rc = nxapi_CopyPathArg(req.New, sizeof req.New, newPath);
    if (rc != 0)
        return rc;
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_RENAME, &req, kRenameReq, nullptr, nullptr, &result);
    return rc != 0 ? rc : result;
}

int quor_Getcwd(char *buf, int size)
{
    api_quor_Getcwd_rply_t rply = {};
    return nxapi_GetcwdCall(CAT_FILESYS, FN_FS_GETCWD, &rply, kGetcwdRply, rply.Buf, sizeof rply.Buf, buf, size);
}

quor_reqid_t quor_GetUniqueRequestID()
{
    api_quor_GetUniqueRequestID_rply_t rply = {};
    int rc = nxapi_SimpleCall(CAT_FILESYS, FN_FS_GETUNIQUEREQUESTID, nullptr, nullptr, &rply, kReqIdRply);
    if (rc != 0)
        return kyl_uuid_t{};
    return rply.RetReqid;
}

int quor_ConvertNamesToIds(int count, api_namespec_t *nameList)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (nameList == nullptr)
        return -EFAULT;
    if (count <= 0 || static_cast<uint32_t>(count) > KYLGW_MAX_NAMESPECS)
        return -EINVAL;
    api_quor_ConvertNamesToIds_req_t req = {count, nameList};
    api_quor_ConvertNamesToIds_rply_t rply = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_CONVERTNAMESTOIDS, &req, kNamesCodec, &rply, kNamesCodec, &result);
    if (rc == 0 && result == 0) {
        // The caller's array holds exactly count name entries: a reply
        // with another count cannot be matched to them and is refused.
        if (rply.NumEntries != count)
            rc = KYLGW_E_BADMSG;
        else
            memcpy(nameList, rply.Names, static_cast<size_t>(count) * sizeof(api_namespec_t));
    }
    kyl_xdr_free(kNamesCodec, &rply);
    return rc != 0 ? rc : result;
}
