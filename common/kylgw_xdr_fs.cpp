// File-system, user lookup, class-of-service and expiration bodies.  See
// kylgw_xdr_fs.h.  Records that own arrays (name entries, directory
// entries, volume lists) are coded by a body routine under a guard that
// zeroes the record before a decode and runs a free pass when it fails, so
// a failed decode owns nothing and leaves no stale pointer.

#include "kylgw_xdr_fs.h"

#include <arpa/inet.h>
#include <cstdlib>

#include "kylgw_catalogue.h"

namespace {

// Runs body; on decode the record starts zeroed and is released again
// when the body fails.
template <typename T>
bool guarded(kyl_xdr_t *x, T *r, bool (*body)(kyl_xdr_t *, T *))
{
    if (x->op == KYL_XDR_DECODE)
        *r = T{};
    if (body(x, r))
        return true;
    if (x->op == KYL_XDR_DECODE) {
        kyl_xdr_t f;
        kyl_xdr_create_free(&f);
        body(&f, r);
    }
    return false;
}

// An XDR string into a buffer of N bytes: at most N-1 characters.
template <size_t N>
bool xstring(kyl_xdr_t *x, char (&buf)[N])
{
    static_assert(N >= 2 && N - 1 <= UINT32_MAX);
    return kyl_xdr_string(x, buf, N, static_cast<uint32_t>(N - 1));
}

// A counted string (length word counts the NUL) in a buffer of N bytes.
template <size_t N>
bool counted(kyl_xdr_t *x, char (&buf)[N])
{
    return kyl_xdr_counted_string(x, buf, N);
}

// Text in a fixed character array, sent as fixed opaque; decoding forces
// the last byte to NUL so that the text is always terminated.
template <size_t N>
bool fixed_text(kyl_xdr_t *x, char (&buf)[N])
{
    if (!kyl_xdr_fixed_opaque(x, reinterpret_cast<unsigned char *>(buf), N))
        return false;
    if (x->op == KYL_XDR_DECODE)
        buf[N - 1] = '\0';
    return true;
}

template <size_t N>
bool fixed_bytes(kyl_xdr_t *x, unsigned char (&buf)[N])
{
    return kyl_xdr_fixed_opaque(x, buf, N);
}

// A count word, checked against cap both ways before anything else is read.
bool count_word(kyl_xdr_t *x, uint32_t *count, uint32_t cap)
{
    if (x->op == KYL_XDR_ENCODE && *count > cap)
        return false;
    if (!kyl_xdr_u32(x, count))
        return false;
    return x->op != KYL_XDR_DECODE || *count <= cap;
}

// The same for a signed count: negative counts are refused.
bool count_word_i32(kyl_xdr_t *x, int32_t *count, uint32_t cap)
{
    if (x->op == KYL_XDR_ENCODE && *count < 0)
        return false;
    uint32_t u = static_cast<uint32_t>(*count);
    if (!count_word(x, &u, cap))
        return false;
    if (x->op == KYL_XDR_DECODE)
        *count = static_cast<int32_t>(u); // u <= cap <= INT32_MAX
    return true;
}

// count elements (count already coded and checked).  Decoding allocates a
// zeroed array and releases it, with whatever its elements own, when an
// element fails; freeing walks the elements, then releases the array.
template <typename E>
bool elements(kyl_xdr_t *x, E **arr, uint32_t count, bool (*elem)(kyl_xdr_t *, E *))
{
    switch (x->op) {
    case KYL_XDR_FREE:
        if (*arr != nullptr) {
            for (uint32_t i = 0; i < count; i++)
                elem(x, &(*arr)[i]);
            free(*arr);
            *arr = nullptr;
        }
        return true;
    case KYL_XDR_ENCODE:
        if (count > 0 && *arr == nullptr)
            return false;
        for (uint32_t i = 0; i < count; i++)
            if (!elem(x, &(*arr)[i]))
                return false;
        return true;
    case KYL_XDR_DECODE: {
        *arr = nullptr;
        if (count == 0)
            return true;
        auto *p = static_cast<E *>(calloc(count, sizeof(E)));
        if (p == nullptr)
            return false;
        for (uint32_t i = 0; i < count; i++) {
            if (!elem(x, &p[i])) {
                kyl_xdr_t f;
                kyl_xdr_create_free(&f);
                elements(&f, &p, count, elem);
                return false;
            }
        }
        *arr = p;
        return true;
    }
    }
    return false;
}

bool bitfile_obj(kyl_xdr_t *x, quor_bitfile_obj_t *b)
{
    return fixed_bytes(x, b->ObjId) && kyl_xdr_u16(x, &b->BfHash) && kyl_xdr_u32(x, &b->ValidHash);
}

bool trashinfo(kyl_xdr_t *x, quor_trashinfo_t *t)
{
    return kyl_xdr_u64(x, &t->ParentId) && kyl_xdr_u16(x, &t->ParentNsHash) && kyl_xdr_objhandle(x, &t->Handle) &&
           kyl_xdr_u32(x, &t->UID) && kyl_xdr_u32(x, &t->RealmId) && kyl_xdr_u32(x, &t->TimeDeleted) &&
           kyl_xdr_u32(x, &t->TimeCreated) && kyl_xdr_u32(x, &t->TimeLastRead) && kyl_xdr_u32(x, &t->TimeModified) &&
           kyl_xdr_u64(x, &t->LengthAtDeleteTime) && fixed_bytes(x, t->BitfileId) && kyl_xdr_u16(x, &t->BitfileHash) &&
           counted(x, t->Path) && counted(x, t->Name);
}

bool pv(kyl_xdr_t *x, quor_pv_t *p)
{
    return kyl_xdr_fixed_opaque(x, reinterpret_cast<unsigned char *>(p->Name), sizeof p->Name) &&
           kyl_xdr_u32(x, &p->Flags);
}

bool vvattrib(kyl_xdr_t *x, quor_vvattrib_t *v)
{
    return fixed_bytes(x, v->VVID) && kyl_xdr_i32(x, &v->RelPosition) && kyl_xdr_u64(x, &v->RelPositionOffset) &&
           kyl_xdr_u64(x, &v->BytesOnVV) && count_word(x, &v->PVCount, KYLGW_MAX_VV_PVS) &&
           elements(x, &v->PVList, v->PVCount, pv);
}

bool levelattrs(kyl_xdr_t *x, quor_levelattrs_t *l)
{
    return count_word(x, &l->NumberOfVVs, KYLGW_MAX_LEVEL_VVS) && kyl_xdr_u64(x, &l->BytesAtLevel) &&
           kyl_xdr_u32(x, &l->OptimumAccessSize) && kyl_xdr_u32(x, &l->StripeWidth) &&
           kyl_xdr_u64(x, &l->StripeLength) && kyl_xdr_u32(x, &l->Flags) &&
           elements(x, &l->VVAttrib, l->NumberOfVVs, vvattrib);
}

bool xfileattr_body(kyl_xdr_t *x, quor_xfileattr_t *f)
{
    if (!kyl_xdr_objhandle(x, &f->ObjectHandle) || !xdr_quor_Attrs_t(x, &f->Attrs))
        return false;
    for (quor_levelattrs_t &l : f->LevelAttrs)
        if (!levelattrs(x, &l))
            return false;
    return true;
}

bool convert_names_body(kyl_xdr_t *x, api_quor_ConvertNamesToIds_req_t *r)
{
    if (!count_word_i32(x, &r->NumEntries, KYLGW_MAX_NAMESPECS))
        return false;
    // FREE may meet a record whose count was never checked; a negative one
    // has no elements.
    uint32_t n = r->NumEntries > 0 ? static_cast<uint32_t>(r->NumEntries) : 0;
    return elements(x, &r->Names, n, xdr_api_namespec_t);
}

bool readattrs_rply_body(kyl_xdr_t *x, api_quor_ReadAttrs_rply_t *r)
{
    return count_word(x, &r->entryCount, KYLGW_MAX_DIRENTRIES) && kyl_xdr_u32(x, &r->End) &&
           kyl_xdr_u64(x, &r->OffsetOut) && elements(x, &r->DirEntries, r->entryCount, xdr_ns_DirEntry_t);
}

// The data port: network byte order in memory, the port number on the wire.
bool dataport(kyl_xdr_t *x, uint16_t *port)
{
    uint16_t p = x->op == KYL_XDR_ENCODE ? ntohs(*port) : 0;
    if (!kyl_xdr_u16(x, &p))
        return false;
    if (x->op == KYL_XDR_DECODE)
        *port = htons(p);
    return true;
}

} // namespace

bool xdr_quor_cos_hints_t(kyl_xdr_t *x, quor_cos_hints_t *h)
{
    return kyl_xdr_u32(x, &h->COSId) && counted(x, h->COSName) && kyl_xdr_u32(x, &h->Flags) &&
           kyl_xdr_u64(x, &h->OptimumAccessSize) && kyl_xdr_u64(x, &h->MinFileSize) &&
           kyl_xdr_u64(x, &h->MaxFileSize) && kyl_xdr_u32(x, &h->AccessFrequency) && kyl_xdr_u32(x, &h->TransferRate) &&
           kyl_xdr_u32(x, &h->AvgLatency) && kyl_xdr_u32(x, &h->WriteOps) && kyl_xdr_u32(x, &h->ReadOps) &&
           kyl_xdr_u32(x, &h->StageCode) && kyl_xdr_u32(x, &h->StripeWidth) && kyl_xdr_u64(x, &h->StripeLength) &&
           kyl_xdr_u32(x, &h->FamilyId);
}

bool xdr_quor_cos_priorities_t(kyl_xdr_t *x, quor_cos_priorities_t *p)
{
    uint32_t *words[] = {
        &p->COSIdPriority,        &p->COSNamePriority,         &p->OptimumAccessSizePriority, &p->MinFileSizePriority,
        &p->MaxFileSizePriority,  &p->AccessFrequencyPriority, &p->TransferRatePriority,      &p->AvgLatencyPriority,
        &p->WriteOpsPriority,     &p->ReadOpsPriority,         &p->StageCodePriority,         &p->StripeWidthPriority,
        &p->StripeLengthPriority, &p->FamilyIdPriority,
    };
    for (uint32_t *w : words)
        if (!kyl_xdr_u32(x, w))
            return false;
    return true;
}

bool xdr_quor_stat_t(kyl_xdr_t *x, quor_stat_t *s)
{
    return kyl_xdr_u32(x, &s->st_dev) && kyl_xdr_u64(x, &s->st_ino) && kyl_xdr_u16(x, &s->st_nlink) &&
           kyl_xdr_u16(x, &s->st_flag) && kyl_xdr_u32(x, &s->st_uid) && kyl_xdr_u32(x, &s->st_gid) &&
           kyl_xdr_u32(x, &s->st_rdev) && kyl_xdr_u64(x, &s->st_ssize) && kyl_xdr_u32(x, &s->quor_st_atime) &&
           kyl_xdr_u32(x, &s->quor_st_mtime) && kyl_xdr_u32(x, &s->quor_st_ctime) && kyl_xdr_u32(x, &s->st_blksize) &&
           kyl_xdr_u32(x, &s->st_blocks) && kyl_xdr_i32(x, &s->st_vfstype) && kyl_xdr_u32(x, &s->st_vfs) &&
           kyl_xdr_u32(x, &s->st_type) && kyl_xdr_u32(x, &s->st_gen) && kyl_xdr_u64(x, &s->st_size) &&
           kyl_xdr_mode(x, &s->st_mode);
}

bool xdr_quor_Attrs_t(kyl_xdr_t *x, quor_Attrs_t *a)
{
    if (!(kyl_xdr_u32(x, &a->Account) && bitfile_obj(x, &a->BitfileObj) && fixed_text(x, a->Comment) &&
          kyl_xdr_u32(x, &a->CompositePerms) && kyl_xdr_u32(x, &a->COSId) && kyl_xdr_u64(x, &a->DataLength) &&
          kyl_xdr_u32(x, &a->EntryCount) && kyl_xdr_u32(x, &a->ExtendedACLs) && kyl_xdr_u32(x, &a->FamilyId) &&
          kyl_xdr_objhandle(x, &a->FilesetHandle) && kyl_xdr_u64(x, &a->FilesetId) &&
          kyl_xdr_u64(x, &a->FilesetRootObjectId)))
        return false;
    uint32_t *words[] = {
        &a->FilesetStateFlags, &a->FilesetType, &a->GID,        &a->GroupPerms, &a->LinkCount, &a->ModePerms,
        &a->OpenCount,         &a->OptionFlags, &a->OtherPerms, &a->ReadCount,  &a->RealmId,
    };
    for (uint32_t *w : words)
        if (!kyl_xdr_u32(x, w))
            return false;
    return kyl_xdr_u64(x, &a->RegisterBitMap) && kyl_xdr_u32(x, &a->SubSystemId) && kyl_xdr_u32(x, &a->TimeCreated) &&
           kyl_xdr_u32(x, &a->TimeLastRead) && kyl_xdr_u32(x, &a->TimeLastWritten) &&
           kyl_xdr_u32(x, &a->TimeModified) && trashinfo(x, &a->TrashInfo) && kyl_xdr_u32(x, &a->Type) &&
           kyl_xdr_u32(x, &a->UID) && kyl_xdr_u32(x, &a->UserPerms) && kyl_xdr_u32(x, &a->WriteCount);
}

bool xdr_quor_fileattr_t(kyl_xdr_t *x, quor_fileattr_t *f)
{
    return kyl_xdr_objhandle(x, &f->ObjectHandle) && xdr_quor_Attrs_t(x, &f->Attrs);
}

bool xdr_quor_xfileattr_t(kyl_xdr_t *x, quor_xfileattr_t *f)
{
    return guarded(x, f, xfileattr_body);
}

bool xdr_ns_DirEntry_t(kyl_xdr_t *x, ns_DirEntry_t *e)
{
    return counted(x, e->Name) && kyl_xdr_objhandle(x, &e->ObjHandle) && kyl_xdr_u64(x, &e->ObjOffset) &&
           xdr_quor_Attrs_t(x, &e->Attrs);
}

bool xdr_api_namespec_t(kyl_xdr_t *x, api_namespec_t *s)
{
    return kyl_xdr_i32(x, &s->Type) && kyl_xdr_u32(x, &s->Id) && kyl_xdr_u32(x, &s->RealmId) &&
           fixed_text(x, s->Name) && fixed_text(x, s->RealmName);
}

bool xdr_api_quor_path_req_t(kyl_xdr_t *x, api_quor_path_req_t *r)
{
    return xstring(x, r->Path);
}

bool xdr_api_quor_fildes_req_t(kyl_xdr_t *x, api_quor_fildes_req_t *r)
{
    return kyl_xdr_i32(x, &r->Fildes);
}

bool xdr_api_quor_AcctNameToCode_req_t(kyl_xdr_t *x, api_quor_AcctNameToCode_req_t *r)
{
    return fixed_text(x, r->AcctName) && kyl_xdr_u32(x, &r->Site);
}

bool xdr_api_AcctNameToCode_rply_t(kyl_xdr_t *x, api_AcctNameToCode_rply_t *r)
{
    return kyl_xdr_u32(x, &r->AcctCode);
}

bool xdr_api_quor_Closedir_req_t(kyl_xdr_t *x, api_quor_Closedir_req_t *r)
{
    return kyl_xdr_i32(x, &r->Dirdes);
}

bool xdr_api_quor_ConvertNamesToIds_req_t(kyl_xdr_t *x, api_quor_ConvertNamesToIds_req_t *r)
{
    return guarded(x, r, convert_names_body);
}

bool xdr_api_quor_FileGetXAttributes_req_t(kyl_xdr_t *x, api_quor_FileGetXAttributes_req_t *r)
{
    return xstring(x, r->Path) && kyl_xdr_u32(x, &r->Flags) && kyl_xdr_u32(x, &r->StorageLevel);
}

bool xdr_api_quor_FileSetAttributes_req_t(kyl_xdr_t *x, api_quor_FileSetAttributes_req_t *r)
{
    return xstring(x, r->Path) && kyl_xdr_u64(x, &r->SelFlags) && xdr_quor_fileattr_t(x, &r->AttrIn);
}

bool xdr_api_quor_Fpreallocate_req_t(kyl_xdr_t *x, api_quor_Fpreallocate_req_t *r)
{
    return kyl_xdr_i32(x, &r->Fildes) && kyl_xdr_u64(x, &r->Length);
}

bool xdr_api_quor_GetAcct_rply_t(kyl_xdr_t *x, api_quor_GetAcct_rply_t *r)
{
    return kyl_xdr_u32(x, &r->RetDefAcct) && kyl_xdr_u32(x, &r->RetCurAcct);
}

bool xdr_api_quor_Getcwd_rply_t(kyl_xdr_t *x, api_quor_Getcwd_rply_t *r)
{
    return xstring(x, r->Buf);
}

bool xdr_api_quor_GetUniqueRequestID_rply_t(kyl_xdr_t *x, api_quor_GetUniqueRequestID_rply_t *r)
{
    return kyl_xdr_uuid(x, &r->RetReqid);
}

bool xdr_api_quor_Lseek_req_t(kyl_xdr_t *x, api_quor_Lseek_req_t *r)
{
    return kyl_xdr_i32(x, &r->Fildes) && kyl_xdr_i64(x, &r->Offset) && kyl_xdr_i32(x, &r->Whence);
}

bool xdr_api_quor_Lseek_rply_t(kyl_xdr_t *x, api_quor_Lseek_rply_t *r)
{
    return kyl_xdr_i64(x, &r->retval);
}

bool xdr_api_quor_Mkdir_req_t(kyl_xdr_t *x, api_quor_Mkdir_req_t *r)
{
    return xstring(x, r->Path) && kyl_xdr_mode(x, &r->Mode);
}

bool xdr_api_quor_Open_req_t(kyl_xdr_t *x, api_quor_Open_req_t *r)
{
    return xstring(x, r->Path) && kyl_xdr_u32(x, &r->Oflag) && kyl_xdr_mode(x, &r->Mode) &&
           xdr_quor_cos_hints_t(x, &r->HintsIn) && xdr_quor_cos_priorities_t(x, &r->HintsPri);
}

bool xdr_api_quor_Open_rply_t(kyl_xdr_t *x, api_quor_Open_rply_t *r)
{
    return xdr_quor_cos_hints_t(x, &r->HintsOut);
}

bool xdr_api_quor_OpenX_req_t(kyl_xdr_t *x, api_quor_OpenX_req_t *r)
{
    return kyl_xdr_u32(x, &r->XIOFlags) && kyl_xdr_quor_sockaddr(x, &r->connectaddr) && dataport(x, &r->dataport) &&
           xstring(x, r->Path) && kyl_xdr_u32(x, &r->Oflag) && kyl_xdr_mode(x, &r->Mode) &&
           xdr_quor_cos_hints_t(x, &r->HintsIn) && xdr_quor_cos_priorities_t(x, &r->HintsPri);
}

bool xdr_api_quor_OpenX_rply_t(kyl_xdr_t *x, api_quor_OpenX_rply_t *r)
{
    return kyl_xdr_quor_sockaddr(x, &r->connectaddr) && dataport(x, &r->dataport) &&
           xdr_quor_cos_hints_t(x, &r->HintsOut);
}

bool xdr_api_quor_ReadAttrs_req_t(kyl_xdr_t *x, api_quor_ReadAttrs_req_t *r)
{
    return kyl_xdr_i32(x, &r->Dirdes) && kyl_xdr_u64(x, &r->OffsetIn) && kyl_xdr_u32(x, &r->EntryCount) &&
           kyl_xdr_u32(x, &r->GetAttributes);
}

bool xdr_api_quor_ReadAttrs_rply_t(kyl_xdr_t *x, api_quor_ReadAttrs_rply_t *r)
{
    return guarded(x, r, readattrs_rply_body);
}

bool xdr_api_quor_Rename_req_t(kyl_xdr_t *x, api_quor_Rename_req_t *r)
{
    return xstring(x, r->Old) && xstring(x, r->New);
}

bool xdr_api_quor_SetAcct_req_t(kyl_xdr_t *x, api_quor_SetAcct_req_t *r)
{
    return kyl_xdr_u32(x, &r->NewCurAcct);
}

bool xdr_api_quor_SetAcctByName_req_t(kyl_xdr_t *x, api_quor_SetAcctByName_req_t *r)
{
    return fixed_text(x, r->AcctName);
}

bool xdr_api_quor_SetFileOffset_req_t(kyl_xdr_t *x, api_quor_SetFileOffset_req_t *r)
{
    return kyl_xdr_i32(x, &r->Fildes) && kyl_xdr_u64(x, &r->OffsetIn) && kyl_xdr_i32(x, &r->Whence) &&
           kyl_xdr_i32(x, &r->Direction);
}

bool xdr_api_quor_SetFileOffset_rply_t(kyl_xdr_t *x, api_quor_SetFileOffset_rply_t *r)
{
    return kyl_xdr_u64(x, &r->OffsetOut);
}

bool xdr_api_quor_Umask_req_t(kyl_xdr_t *x, api_quor_Umask_req_t *r)
{
    return kyl_xdr_u32(x, &r->CMask);
}

bool xdr_api_quor_Umask_rply_t(kyl_xdr_t *x, api_quor_Umask_rply_t *r)
{
    return kyl_xdr_u32(x, &r->OMask);
}

bool xdr_api_getpwent_req_t(kyl_xdr_t *x, api_getpwent_req_t *r)
{
    return xstring(x, r->uname);
}

bool xdr_api_getpwent_rply_t(kyl_xdr_t *x, api_getpwent_rply_t *r)
{
    return xstring(x, r->pw_name) && xstring(x, r->pw_passwd) && kyl_xdr_u32(x, &r->pw_uid) &&
           kyl_xdr_u32(x, &r->pw_gid) && xstring(x, r->pw_gecos) && xstring(x, r->pw_dir) && xstring(x, r->pw_shell);
}

bool xdr_api_lookup_homedir_req_t(kyl_xdr_t *x, api_lookup_homedir_req_t *r)
{
    return xstring(x, r->principal);
}

bool xdr_api_lookup_homedir_rply_t(kyl_xdr_t *x, api_lookup_homedir_rply_t *r)
{
    return xstring(x, r->homeDir);
}

bool xdr_api_selectcos_req_t(kyl_xdr_t *x, api_selectcos_req_t *r)
{
    return xstring(x, r->cosList) && kyl_xdr_u64(x, &r->fileSize) && kyl_xdr_u32(x, &r->uid) &&
           kyl_xdr_u32(x, &r->gid) && kyl_xdr_u32(x, &r->charge) && kyl_xdr_u32(x, &r->copies) &&
           kyl_xdr_u32(x, &r->subsysId);
}

bool xdr_api_selectcos_rply_t(kyl_xdr_t *x, api_selectcos_rply_t *r)
{
    return xdr_quor_cos_hints_t(x, &r->HintsIn) && xdr_quor_cos_priorities_t(x, &r->HintPriorities);
}

bool xdr_uda_set_expiration_req_t(kyl_xdr_t *x, uda_set_expiration_req_t *r)
{
    return counted(x, r->Path) && kyl_xdr_u64(x, &r->ExpireTime);
}

namespace {

#define ROW(cat, fn, name, reqT, reqF, rplyT, rplyF)                                                                   \
    {                                                                                                                  \
        cat, fn, name, KYL_XDRPROC(reqT, reqF), sizeof(reqT), KYL_XDRPROC(rplyT, rplyF), sizeof(rplyT)                 \
    }
#define REQ_ONLY(cat, fn, name, reqT, reqF)                                                                            \
    {                                                                                                                  \
        cat, fn, name, KYL_XDRPROC(reqT, reqF), sizeof(reqT), nullptr, 0                                               \
    }
#define RPLY_ONLY(cat, fn, name, rplyT, rplyF)                                                                         \
    {                                                                                                                  \
        cat, fn, name, nullptr, 0, KYL_XDRPROC(rplyT, rplyF), sizeof(rplyT)                                            \
    }

const kylgw_msgtype_t fsRows[] = {
    ROW(CAT_FILESYS, FN_FS_ACCTNAMETOCODE, "quor_AcctNameToCode", api_quor_AcctNameToCode_req_t,
        xdr_api_quor_AcctNameToCode_req_t, api_AcctNameToCode_rply_t, xdr_api_AcctNameToCode_rply_t),
    REQ_ONLY(CAT_FILESYS, FN_FS_CLOSE, "quor_Close", api_quor_Close_req_t, xdr_api_quor_fildes_req_t),
    REQ_ONLY(CAT_FILESYS, FN_FS_CLOSEDIR, "quor_Closedir", api_quor_Closedir_req_t, xdr_api_quor_Closedir_req_t),
    ROW(CAT_FILESYS, FN_FS_CONVERTNAMESTOIDS, "quor_ConvertNamesToIds", api_quor_ConvertNamesToIds_req_t,
        xdr_api_quor_ConvertNamesToIds_req_t, api_quor_ConvertNamesToIds_rply_t, xdr_api_quor_ConvertNamesToIds_req_t),
    ROW(CAT_FILESYS, FN_FS_FILEGETATTRIBUTES, "quor_FileGetAttributes", api_quor_FileGetAttributes_req_t,
        xdr_api_quor_path_req_t, api_quor_FileGetAttributes_rply_t, xdr_quor_fileattr_t),
    ROW(CAT_FILESYS, FN_FS_FILEGETXATTRIBUTES, "quor_FileGetXAttributes", api_quor_FileGetXAttributes_req_t,
        xdr_api_quor_FileGetXAttributes_req_t, api_quor_FileGetXAttributes_rply_t, xdr_quor_xfileattr_t),
    ROW(CAT_FILESYS, FN_FS_FILESETATTRIBUTES, "quor_FileSetAttributes", api_quor_FileSetAttributes_req_t,
        xdr_api_quor_FileSetAttributes_req_t, api_quor_FileSetAttributes_rply_t, xdr_quor_fileattr_t),
    REQ_ONLY(CAT_FILESYS, FN_FS_FPREALLOCATE, "quor_Fpreallocate", api_quor_Fpreallocate_req_t,
             xdr_api_quor_Fpreallocate_req_t),
    ROW(CAT_FILESYS, FN_FS_FSTAT, "quor_Fstat", api_quor_Fstat_req_t, xdr_api_quor_fildes_req_t, api_quor_Fstat_rply_t,
        xdr_quor_stat_t),
    RPLY_ONLY(CAT_FILESYS, FN_FS_GETACCT, "quor_GetAcct", api_quor_GetAcct_rply_t, xdr_api_quor_GetAcct_rply_t),
    RPLY_ONLY(CAT_FILESYS, FN_FS_GETCWD, "quor_Getcwd", api_quor_Getcwd_rply_t, xdr_api_quor_Getcwd_rply_t),
    ROW(CAT_FILESYS, FN_FS_GETLISTATTRS, "quor_GetListAttrs", api_quor_GetListAttrs_req_t, xdr_api_quor_path_req_t,
        api_quor_GetListAttrs_rply_t, xdr_quor_Attrs_t),
    RPLY_ONLY(CAT_FILESYS, FN_FS_GETUNIQUEREQUESTID, "quor_GetUniqueRequestID", api_quor_GetUniqueRequestID_rply_t,
              xdr_api_quor_GetUniqueRequestID_rply_t),
    ROW(CAT_FILESYS, FN_FS_LSEEK, "quor_Lseek", api_quor_Lseek_req_t, xdr_api_quor_Lseek_req_t, api_quor_Lseek_rply_t,
        xdr_api_quor_Lseek_rply_t),
    ROW(CAT_FILESYS, FN_FS_LSTAT, "quor_Lstat", api_quor_Lstat_req_t, xdr_api_quor_path_req_t, api_quor_Lstat_rply_t,
        xdr_quor_stat_t),
    REQ_ONLY(CAT_FILESYS, FN_FS_MKDIR, "quor_Mkdir", api_quor_Mkdir_req_t, xdr_api_quor_Mkdir_req_t),
    ROW(CAT_FILESYS, FN_FS_OPEN, "quor_Open", api_quor_Open_req_t, xdr_api_quor_Open_req_t, api_quor_Open_rply_t,
        xdr_api_quor_Open_rply_t),
    REQ_ONLY(CAT_FILESYS, FN_FS_OPENDIR, "quor_Opendir", api_quor_Opendir_req_t, xdr_api_quor_path_req_t),
    ROW(CAT_FILESYS, FN_FS_OPENX, "quor_OpenX", api_quor_OpenX_req_t, xdr_api_quor_OpenX_req_t, api_quor_OpenX_rply_t,
        xdr_api_quor_OpenX_rply_t),
    ROW(CAT_FILESYS, FN_FS_READATTRS, "quor_ReadAttrs", api_quor_ReadAttrs_req_t, xdr_api_quor_ReadAttrs_req_t,
        api_quor_ReadAttrs_rply_t, xdr_api_quor_ReadAttrs_rply_t),
    REQ_ONLY(CAT_FILESYS, FN_FS_RENAME, "quor_Rename", api_quor_Rename_req_t, xdr_api_quor_Rename_req_t),
    REQ_ONLY(CAT_FILESYS, FN_FS_SETACCT, "quor_SetAcct", api_quor_SetAcct_req_t, xdr_api_quor_SetAcct_req_t),
    REQ_ONLY(CAT_FILESYS, FN_FS_SETACCTBYNAME, "quor_SetAcctByName", api_quor_SetAcctByName_req_t,
             xdr_api_quor_SetAcctByName_req_t),
    ROW(CAT_FILESYS, FN_FS_SETFILEOFFSET, "quor_SetFileOffset", api_quor_SetFileOffset_req_t,
        xdr_api_quor_SetFileOffset_req_t, api_quor_SetFileOffset_rply_t, xdr_api_quor_SetFileOffset_rply_t),
    ROW(CAT_FILESYS, FN_FS_STAT, "quor_Stat", api_quor_Stat_req_t, xdr_api_quor_path_req_t, api_quor_Stat_rply_t,
        xdr_quor_stat_t),
    ROW(CAT_FILESYS, FN_FS_UMASK, "quor_Umask", api_quor_Umask_req_t, xdr_api_quor_Umask_req_t, api_quor_Umask_rply_t,
        xdr_api_quor_Umask_rply_t),
    REQ_ONLY(CAT_FILESYS, FN_FS_UNLINK, "quor_Unlink", api_quor_Unlink_req_t, xdr_api_quor_path_req_t),
    ROW(CAT_USER, FN_USER_GETPWENT, "quor_GetPwent", api_getpwent_req_t, xdr_api_getpwent_req_t, api_getpwent_rply_t,
        xdr_api_getpwent_rply_t),
    ROW(CAT_USER, FN_USER_LOOKUPHOMEDIR, "quor_LookupHomeDir", api_lookup_homedir_req_t, xdr_api_lookup_homedir_req_t,
        api_lookup_homedir_rply_t, xdr_api_lookup_homedir_rply_t),
    ROW(CAT_COS, FN_COS_SELECTCOS, "quorex_SelectCOS", api_selectcos_req_t, xdr_api_selectcos_req_t,
        api_selectcos_rply_t, xdr_api_selectcos_rply_t),
    REQ_ONLY(CAT_UDA, FN_UDA_SETEXPIRATION, "kylgw_UdaSetExpiration", uda_set_expiration_req_t,
             xdr_uda_set_expiration_req_t),
};

#undef ROW
#undef REQ_ONLY
#undef RPLY_ONLY

} // namespace

const kylgw_msgtable_t kylgw_fs_msgtable = {fsRows, sizeof fsRows / sizeof fsRows[0]};
