// I/O descriptor and reply codecs and the transfer request bodies.  See
// kylgw_xdr_xfer.h.  Called by any thread that sends or receives a transfer
// message; no shared state, no locks.

#include "kylgw_xdr_xfer.h"

#include <cstring>

#include "kylgw_catalogue.h"

bool xdr_iod_address_t(kyl_xdr_t *x, iod_address_t *a)
{
    if (x->op == KYL_XDR_FREE)
        return true;
    if (!kyl_xdr_i32(x, &a->Type))
        return false;
    if (x->op == KYL_XDR_DECODE)
        memset(&a->Addr, 0, sizeof a->Addr);
    switch (a->Type) {
    case IOD_ADDR_NET: {
        netaddress_t *n = &a->Addr.NetAddr;
        return kyl_xdr_u64(x, &n->SockTransferID) && kyl_xdr_quor_sockaddr(x, &n->SockAddr) &&
               kyl_xdr_u64(x, &n->SockOffset);
    }
    case IOD_ADDR_CLIENTFILE: {
        clientfileaddress_t *c = &a->Addr.ClientFileAddr;
        return kyl_xdr_i32(x, &c->FileDes) && kyl_xdr_u64(x, &c->FileOffset);
    }
    case IOD_ADDR_SHM: {
        shmaddress_t *s = &a->Addr.ShmAddr;
        return kyl_xdr_u32(x, &s->Flags) && kyl_xdr_u32(x, &s->ShmID) && kyl_xdr_u32(x, &s->ShmOffset);
    }
    case IOD_ADDR_LOCALFILE: {
        lftaddress_t *l = &a->Addr.LocalFileAddr;
        return kyl_xdr_u64(x, &l->Offset) && kyl_xdr_u32(x, &l->Flags) && kyl_xdr_u32(x, &l->Uid) &&
               kyl_xdr_u32(x, &l->Gid) && kyl_xdr_u32(x, &l->RealmId) &&
               kyl_xdr_counted_string(x, l->PathName, sizeof l->PathName);
    }
    case IOD_ADDR_SAN3P: {
        san3paddress_t *s = &a->Addr.San3pAddr;
        return kyl_xdr_u64(x, &s->SAN3PTransferID) &&
               kyl_xdr_fixed_opaque(x, s->SecurityToken, sizeof s->SecurityToken);
    }
    case IOD_ADDR_STRIPE: // nested stripe lists are not used by this program
    case IOD_ADDR_MEMORY: // a memory address has no wire form
        return false;
    default: // nothing follows the type
        return true;
    }
}

bool xdr_iod_srcsinkdesc_t(kyl_xdr_t *x, iod_srcsinkdesc_t *d)
{
    return kyl_xdr_u32(x, &d->Flags) && kyl_xdr_u64(x, &d->Offset) && kyl_xdr_u64(x, &d->Length) &&
           xdr_iod_address_t(x, &d->SrcSinkAddr);
}

namespace {

bool descList(kyl_xdr_t *x, int32_t count, iod_srcsinkdesc_t **head)
{
    return kyl_xdr_linked_list<iod_srcsinkdesc_t, xdr_iod_srcsinkdesc_t, &iod_srcsinkdesc_t::Next>(x, count, head,
                                                                                                   KYLGW_MAX_IOD_DESC);
}

bool replyList(kyl_xdr_t *x, int32_t count, iod_srcsinkreply_t **head)
{
    return kyl_xdr_linked_list<iod_srcsinkreply_t, xdr_iod_srcsinkreply_t, &iod_srcsinkreply_t::Next>(
        x, count, head, KYLGW_MAX_IOD_DESC);
}

} // namespace

bool xdr_quor_IOD_t(kyl_xdr_t *x, quor_IOD_t *iod)
{
    if (x->op == KYL_XDR_FREE) {
        descList(x, 0, &iod->SrcDescList);
        descList(x, 0, &iod->SinkDescList);
        return true;
    }
    if (x->op == KYL_XDR_DECODE) {
        iod->ReqSpecInfo = nullptr;
        iod->SrcDescList = nullptr;
        iod->SinkDescList = nullptr;
    }
    uint32_t present = iod->ReqSpecInfo != nullptr ? 1 : 0;
    if (!kyl_xdr_uuid(x, &iod->RequestID) || !kyl_xdr_i32(x, &iod->Function) || !kyl_xdr_u32(x, &iod->Flags) ||
        !kyl_xdr_u32(x, &present) || present != 0)
        return false;
    if (!kyl_xdr_i32(x, &iod->SrcDescLength) || !kyl_xdr_i32(x, &iod->SinkDescLength))
        return false;
    // Both counts are checked before either list is allocated.
    if (iod->SrcDescLength < 0 || iod->SrcDescLength > KYLGW_MAX_IOD_DESC || iod->SinkDescLength < 0 ||
        iod->SinkDescLength > KYLGW_MAX_IOD_DESC)
        return false;
    if (!descList(x, iod->SrcDescLength, &iod->SrcDescList))
        return false;
    if (!descList(x, iod->SinkDescLength, &iod->SinkDescList)) {
        if (x->op == KYL_XDR_DECODE) {
            kyl_xdr_t fx;
            kyl_xdr_create_free(&fx);
            descList(&fx, 0, &iod->SrcDescList);
        }
        return false;
    }
    return true;
}

bool xdr_iod_srcsinkreply_t(kyl_xdr_t *x, iod_srcsinkreply_t *r)
{
    return kyl_xdr_u32(x, &r->Flags) && kyl_xdr_i32(x, &r->Status) && kyl_xdr_u64(x, &r->BytesMoved);
}

bool xdr_iod_reqspecreply_t(kyl_xdr_t *x, iod_reqspecreply_t *r)
{
    if (x->op == KYL_XDR_FREE)
        return descList(x, 0, &r->ReqList);
    if (x->op == KYL_XDR_DECODE)
        r->ReqList = nullptr;
    if (!kyl_xdr_u32(x, &r->Flags) || !kyl_xdr_i32(x, &r->Status) || !kyl_xdr_i32(x, &r->CountProcessed) ||
        !kyl_xdr_i32(x, &r->ReqListLength) || !kyl_xdr_i32(x, &r->ReqReplyType))
        return false;
    switch (r->ReqReplyType) {
    case IOD_REQREPLY_VALUE: return kyl_xdr_i32(x, &r->Value);
    case IOD_REQREPLY_LIST: return descList(x, r->ReqListLength, &r->ReqList);
    case IOD_REQREPLY_GAP: return kyl_xdr_u64(x, &r->Gap.Offset) && kyl_xdr_u64(x, &r->Gap.Length);
    default: // no known form: the bytes that follow cannot be skipped
        return false;
    }
}

namespace {

void freeReqSpecReply(iod_reqspecreply_t **r)
{
    if (*r == nullptr)
        return;
    kyl_xdr_t fx;
    kyl_xdr_create_free(&fx);
    xdr_iod_reqspecreply_t(&fx, *r);
    free(*r);
    *r = nullptr;
}

// The presence word and, when nonzero, the request-specific reply,
// allocated on decoding.
bool reqSpecReply(kyl_xdr_t *x, iod_reqspecreply_t **r)
{
    int32_t present = *r != nullptr ? 1 : 0;
    if (x->op == KYL_XDR_DECODE)
        *r = nullptr;
    if (!kyl_xdr_i32(x, &present))
        return false;
    if (present == 0)
        return true;
    if (x->op == KYL_XDR_DECODE) {
        *r = static_cast<iod_reqspecreply_t *>(calloc(1, sizeof(iod_reqspecreply_t)));
        if (*r == nullptr)
            return false;
    }
    if (!xdr_iod_reqspecreply_t(x, *r)) {
        if (x->op == KYL_XDR_DECODE)
            freeReqSpecReply(r);
        return false;
    }
    return true;
}

} // namespace

bool xdr_quor_IOR_t(kyl_xdr_t *x, quor_IOR_t *ior)
{
    if (x->op == KYL_XDR_FREE) {
        freeReqSpecReply(&ior->ReqSpecReply);
        replyList(x, 0, &ior->SrcReplyList);
        replyList(x, 0, &ior->SinkReplyList);
        return true;
    }
    if (x->op == KYL_XDR_DECODE) {
        ior->ReqSpecReply = nullptr;
        ior->SrcReplyList = nullptr;
        ior->SinkReplyList = nullptr;
    }
    bool ok = kyl_xdr_uuid(x, &ior->RequestID) && kyl_xdr_u32(x, &ior->Flags) && kyl_xdr_i32(x, &ior->Status) &&
              reqSpecReply(x, &ior->ReqSpecReply) && kyl_xdr_i32(x, &ior->SrcReplyLength) &&
              kyl_xdr_i32(x, &ior->SinkReplyLength);
    // Both counts are checked before either list is allocated.
    ok = ok && ior->SrcReplyLength >= 0 && ior->SrcReplyLength <= KYLGW_MAX_IOD_DESC && ior->SinkReplyLength >= 0 &&
         ior->SinkReplyLength <= KYLGW_MAX_IOD_DESC && replyList(x, ior->SrcReplyLength, &ior->SrcReplyList) &&
         replyList(x, ior->SinkReplyLength, &ior->SinkReplyList);
    if (!ok && x->op == KYL_XDR_DECODE) {
        kyl_xdr_t fx;
        kyl_xdr_create_free(&fx);
        xdr_quor_IOR_t(&fx, ior);
    }
    return ok;
}

bool xdr_api_quor_ReadList_req_t(kyl_xdr_t *x, api_quor_ReadList_req_t *r)
{
    if (x->op == KYL_XDR_DECODE) {
        r->IOD.ReqSpecInfo = nullptr;
        r->IOD.SrcDescList = nullptr;
        r->IOD.SinkDescList = nullptr;
    }
    return kyl_xdr_u32(x, &r->Flags) && xdr_quor_IOD_t(x, &r->IOD);
}

bool xdr_api_quor_WriteList_req_t(kyl_xdr_t *x, api_quor_WriteList_req_t *r)
{
    if (x->op == KYL_XDR_DECODE) {
        r->IOD.ReqSpecInfo = nullptr;
        r->IOD.SrcDescList = nullptr;
        r->IOD.SinkDescList = nullptr;
    }
    return kyl_xdr_u32(x, &r->Flags) && xdr_quor_IOD_t(x, &r->IOD);
}

bool xdr_api_quor_ReadX_req_t(kyl_xdr_t *x, api_quor_ReadX_req_t *r)
{
    return kyl_xdr_u32(x, &r->XIOFlags) && kyl_xdr_i32(x, &r->Fildes) && kyl_xdr_u64(x, &r->Nbyte);
}

bool xdr_api_quor_WriteX_req_t(kyl_xdr_t *x, api_quor_WriteX_req_t *r)
{
    return kyl_xdr_u32(x, &r->XIOFlags) && kyl_xdr_i32(x, &r->Fildes) && kyl_xdr_u64(x, &r->Nbyte);
}

namespace {

const kylgw_msgtype_t xferRows[] = {
    {CAT_FILESYS, FN_FS_READX, "quor_ReadX", KYL_XDRPROC(api_quor_ReadX_req_t, xdr_api_quor_ReadX_req_t),
     sizeof(api_quor_ReadX_req_t), nullptr, 0},
    {CAT_FILESYS, FN_FS_READLIST, "quor_ReadList", KYL_XDRPROC(api_quor_ReadList_req_t, xdr_api_quor_ReadList_req_t),
     sizeof(api_quor_ReadList_req_t), KYL_XDRPROC(api_quor_ReadList_rply_t, xdr_quor_IOR_t),
     sizeof(api_quor_ReadList_rply_t)},
    {CAT_FILESYS, FN_FS_WRITELIST, "quor_WriteList",
     KYL_XDRPROC(api_quor_WriteList_req_t, xdr_api_quor_WriteList_req_t), sizeof(api_quor_WriteList_req_t),
     KYL_XDRPROC(api_quor_WriteList_rply_t, xdr_quor_IOR_t), sizeof(api_quor_WriteList_rply_t)},
    {CAT_FILESYS, FN_FS_WRITEX, "quor_WriteX", KYL_XDRPROC(api_quor_WriteX_req_t, xdr_api_quor_WriteX_req_t),
     sizeof(api_quor_WriteX_req_t), nullptr, 0},
};

} // namespace

const kylgw_msgtable_t kylgw_xfer_msgtable = {xferRows, sizeof xferRows / sizeof xferRows[0]};
