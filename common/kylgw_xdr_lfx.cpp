// Local-file transfer message codecs.  See kylgw_xdr_lfx.h.  Called by any
// thread that sends or receives these messages; no shared state, no locks.

#include "kylgw_xdr_lfx.h"

#include <cstdlib>

#include "kylgw_catalogue.h"
#include "kylgw_xdr_xfer.h"

bool xdr_kyl_cksum_t(kyl_xdr_t *x, kyl_cksum_t *c)
{
    return kyl_xdr_u32(x, &c->csumType) && kyl_xdr_varbuf_fixed(x, c->cksum, &c->csumLength, sizeof c->cksum);
}

bool xdr_kyl_sockaddr_info_t(kyl_xdr_t *x, kyl_sockaddr_info_t *a)
{
    return kyl_xdr_u8(x, &a->addressType) && kyl_xdr_u8(x, &a->preConnected) && kyl_xdr_u32(x, &a->poolID) &&
           kyl_xdr_i32(x, &a->socketFD) && kyl_xdr_quor_sockaddr(x, &a->socketAddr);
}

namespace {

bool addressList(kyl_xdr_t *x, int32_t count, kyl_sockaddr_info_t **head)
{
    return kyl_xdr_linked_list<kyl_sockaddr_info_t, xdr_kyl_sockaddr_info_t, &kyl_sockaddr_info_t::next>(
        x, count, head, KYLGW_MAX_LFX_ADDRS);
}

// Inline file data: when present, exactly len bytes as opaque (no length
// word: the record's length field declares it), allocated on decoding.
bool inlineData(kyl_xdr_t *x, bool present, uint64_t len, unsigned char **data)
{
    switch (x->op) {
    case KYL_XDR_FREE:
        free(*data);
        *data = nullptr;
        return true;
    case KYL_XDR_ENCODE:
        if (!present || len == 0)
            return true;
        if (len > KYLGW_MAX_LFX_INLINE || *data == nullptr)
            return false;
        return kyl_xdr_fixed_opaque(x, *data, static_cast<size_t>(len));
    case KYL_XDR_DECODE: {
        *data = nullptr;
        if (!present || len == 0)
            return true;
        if (len > KYLGW_MAX_LFX_INLINE)
            return false;
        auto *p = static_cast<unsigned char *>(malloc(static_cast<size_t>(len)));
        if (p == nullptr)
            return false;
        if (!kyl_xdr_fixed_opaque(x, p, static_cast<size_t>(len))) {
            free(p);
            return false;
        }
        *data = p;
        return true;
    }
    }
    return false;
}

// A C char takes one signed unit.
bool xdrChar(kyl_xdr_t *x, char *c)
{
    int32_t v = static_cast<signed char>(*c);
    if (!kyl_xdr_i32(x, &v))
        return false;
    if (x->op == KYL_XDR_DECODE) {
        if (v < -128 || v > 127)
            return false;
        *c = static_cast<char>(v);
    }
    return true;
}

bool lfxPath(kyl_xdr_t *x, char *path)
{
    return kyl_xdr_counted_string(x, path, KYLGW_MAX_LFX_PATH + 1);
}

// Releases what a record owns: its address list and inline file data.
template <typename Rec>
void releaseOwned(Rec *rec)
{
    kyl_xdr_t fx;
    kyl_xdr_create_free(&fx);
    addressList(&fx, 0, &rec->addressList);
    inlineData(&fx, true, 0, &rec->fileData);
}

// The frame of a record that owns an address list and inline file data
// (rec->addressList, rec->fileData): freeing releases both, decoding starts
// them null, and a decode that fails releases what it got.  fields() codes
// the record's fields in order and says whether all of them went through.
template <typename Rec, typename Fields>
bool ownedRecord(kyl_xdr_t *x, Rec *rec, Fields fields)
{
    if (x->op == KYL_XDR_FREE) {
        releaseOwned(rec);
        return true;
    }
    if (x->op == KYL_XDR_DECODE) {
        rec->addressList = nullptr;
        rec->fileData = nullptr;
    }
    bool ok = fields();
    if (!ok && x->op == KYL_XDR_DECODE)
        releaseOwned(rec);
    return ok;
}

} // namespace

bool xdr_kyl_xfer_init_info_t(kyl_xdr_t *x, kyl_xfer_init_info_t *i)
{
    return ownedRecord(x, i, [x, i] {
        uint32_t *reserved[] = {&i->reserved1, &i->reserved2, &i->reserved3, &i->reserved4, &i->reserved5,
                                &i->reserved6, &i->reserved7, &i->reserved8, &i->reserved9, &i->reserved10};
        bool ok = kyl_xdr_u32(x, &i->flags) && kyl_xdr_u8(x, &i->xferOperation) && xdrChar(x, &i->drive) &&
                  lfxPath(x, i->pathName) && kyl_xdr_i64(x, &i->fileSize) && kyl_xdr_u64(x, &i->srcOffset) &&
                  kyl_xdr_u64(x, &i->sinkOffset) && kyl_xdr_u64(x, &i->xferLength) && kyl_xdr_u32(x, &i->bufSize) &&
                  kyl_xdr_u32(x, &i->mode) && kyl_xdr_u32(x, &i->uid) && kyl_xdr_u32(x, &i->gid) &&
                  ((i->flags & LFX_HAS_CKSUM) == 0 || xdr_kyl_cksum_t(x, &i->fileCksum)) &&
                  kyl_xdr_i32(x, &i->addressCount) && addressList(x, i->addressCount, &i->addressList);
        for (uint32_t *r : reserved)
            ok = ok && kyl_xdr_u32(x, r);
        return ok && inlineData(x, (i->flags & LFX_INLINE_SEND) != 0, i->xferLength, &i->fileData);
    });
}

bool xdr_kylgw_lfx_xfer_init_req_t(kyl_xdr_t *x, kylgw_lfx_xfer_init_req_t *r)
{
    if (x->op == KYL_XDR_DECODE) {
        r->info.addressList = nullptr;
        r->info.fileData = nullptr;
    }
    return kyl_xdr_u32(x, &r->flags) && kyl_xdr_i32(x, &r->filedes) && xdr_kyl_xfer_init_info_t(x, &r->info);
}

bool xdr_kyl_xfer_init_reply_t(kyl_xdr_t *x, kyl_xfer_init_reply_t *r)
{
    return ownedRecord(x, r, [x, r] {
        uint32_t *reserved[] = {&r->reserved1, &r->reserved2, &r->reserved3, &r->reserved4, &r->reserved5};
        // The count comes before the optional checksum record, the entries after it.
        bool ok = kyl_xdr_u32(x, &r->flags) && kyl_xdr_u32(x, &r->xferSerialNum) && kyl_xdr_i32(x, &r->addressCount) &&
                  r->addressCount >= 0 && r->addressCount <= KYLGW_MAX_LFX_ADDRS &&
                  ((r->flags & LFX_REPLY_HAS_CKSUM) == 0 || xdr_kyl_cksum_t(x, &r->fileCksum)) &&
                  addressList(x, r->addressCount, &r->addressList) && kyl_xdr_i32(x, &r->xferStatus) &&
                  kyl_xdr_u64(x, &r->fileSize);
        for (uint32_t *w : reserved)
            ok = ok && kyl_xdr_u32(x, w);
        return ok && inlineData(x, (r->flags & LFX_REPLY_INLINE) != 0, r->fileSize, &r->fileData);
    });
}

bool xdr_kylgw_lfx_xfer_init_rply_t(kyl_xdr_t *x, kylgw_lfx_xfer_init_rply_t *r)
{
    if (x->op == KYL_XDR_DECODE) {
        r->reply.addressList = nullptr;
        r->reply.fileData = nullptr;
    }
    return kyl_xdr_u32(x, &r->flags) && xdr_kyl_xfer_init_reply_t(x, &r->reply);
}

bool xdr_kyl_xfer_complete_t(kyl_xdr_t *x, kyl_xfer_complete_t *c)
{
    return kyl_xdr_u32(x, &c->flags) && kyl_xdr_u32(x, &c->xferSerialNum) && kyl_xdr_i32(x, &c->xferStatus) &&
           kyl_xdr_u64(x, &c->bytesXferred);
}

bool xdr_kylgw_lfx_xfer_reply_t(kyl_xdr_t *x, kylgw_lfx_xfer_reply_t *r)
{
    return kyl_xdr_u32(x, &r->flags) && xdr_kyl_xfer_complete_t(x, &r->complete);
}

bool xdr_lfx_Stat_req_t(kyl_xdr_t *x, lfx_Stat_req_t *r)
{
    return lfxPath(x, r->path);
}

bool xdr_lfx_Unlink_req_t(kyl_xdr_t *x, lfx_Unlink_req_t *r)
{
    return lfxPath(x, r->path);
}

bool xdr_api_lfx_Mkdir_req_t(kyl_xdr_t *x, api_lfx_Mkdir_req_t *r)
{
    return lfxPath(x, r->path) && kyl_xdr_u32(x, &r->mode);
}

bool xdr_api_lfx_Getcwd_rply_t(kyl_xdr_t *x, api_lfx_Getcwd_rply_t *r)
{
    return kyl_xdr_string(x, r->path, sizeof r->path, KYLGW_MAX_PATH);
}

bool xdr_lfx_Stat_rply_t(kyl_xdr_t *x, lfx_Stat_rply_t *r)
{
    return kyl_xdr_u32(x, &r->hst_mode) && kyl_xdr_u32(x, &r->hst_nlink) && kyl_xdr_u32(x, &r->hst_uid) &&
           kyl_xdr_u32(x, &r->hst_gid) && kyl_xdr_u32(x, &r->hst_mtime) && kyl_xdr_u32(x, &r->hst_atime) &&
           kyl_xdr_u32(x, &r->hst_ctime) && kyl_xdr_u64(x, &r->hst_size);
}

namespace {

const kylgw_msgtype_t lfxRows[] = {
    {CAT_LFX, FN_LFX_INIT, "kylgw_LfxInit", KYL_XDRPROC(kylgw_lfx_xfer_init_req_t, xdr_kylgw_lfx_xfer_init_req_t),
     sizeof(kylgw_lfx_xfer_init_req_t), KYL_XDRPROC(kylgw_lfx_xfer_init_rply_t, xdr_kylgw_lfx_xfer_init_rply_t),
     sizeof(kylgw_lfx_xfer_init_rply_t)},
    {CAT_LFX, FN_LFX_XFER_REPLY, "kylgw_LfxGetXferReply", nullptr, 0,
     KYL_XDRPROC(kylgw_lfx_xfer_reply_t, xdr_kylgw_lfx_xfer_reply_t), sizeof(kylgw_lfx_xfer_reply_t)},
    {CAT_LFX, FN_LFX_CLEAN_SOCK_POOL, "kylgw_LfxCleanSockPool", nullptr, 0, nullptr, 0},
    {CAT_LFX, FN_LFX_GETCWD, "kylgw_LfxGetcwd", nullptr, 0,
     KYL_XDRPROC(api_lfx_Getcwd_rply_t, xdr_api_lfx_Getcwd_rply_t), sizeof(api_lfx_Getcwd_rply_t)},
    {CAT_LFX, FN_LFX_STAT, "kylgw_LfxStat", KYL_XDRPROC(lfx_Stat_req_t, xdr_lfx_Stat_req_t), sizeof(lfx_Stat_req_t),
     KYL_XDRPROC(lfx_Stat_rply_t, xdr_lfx_Stat_rply_t), sizeof(lfx_Stat_rply_t)},
    {CAT_LFX, FN_LFX_MKDIR, "kylgw_LfxMkdir", KYL_XDRPROC(api_lfx_Mkdir_req_t, xdr_api_lfx_Mkdir_req_t),
     sizeof(api_lfx_Mkdir_req_t), nullptr, 0},
    {CAT_LFX, FN_LFX_UNLINK, "kylgw_LfxUnlink", KYL_XDRPROC(lfx_Unlink_req_t, xdr_lfx_Unlink_req_t),
     sizeof(lfx_Unlink_req_t), nullptr, 0},
};

} // namespace

const kylgw_msgtable_t kylgw_lfx_msgtable = {lfxRows, sizeof lfxRows / sizeof lfxRows[0]};
