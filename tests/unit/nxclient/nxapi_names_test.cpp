// Remote operations on names against an in-process peer: status and
// attribute queries deliver the reply records, rename and unlink send
// their paths, the working directory and request ids come back, name to id
// conversion fills the caller's array and refuses a reply of another size,
// and attribute records convert to POSIX modes.

#include <sys/stat.h>

#include "fileops_testutil.h"

namespace {

using fileopstest::Peer;
using fileopstest::runInSession;
using fileopstest::step;

void expectPath(Peer &peer, uint16_t fn, const char *path, int32_t result, kyl_xdrproc_t codec,
                std::function<void *()> reply)
{
    std::string want = path;
    peer.expect(step<api_quor_path_req_t>(
        CAT_FILESYS, fn,
        [want](const api_quor_path_req_t *r, std::string &fail) { PCHECK(r != nullptr && want == r->Path); },
        result, codec, std::move(reply)));
}

TEST(Names, StatusAndAttributeQueriesDeliverTheReplyRecords)
{
    runInSession([](Peer &peer) {
        const kyl_xdrproc_t statCodec = KYL_XDRPROC(quor_stat_t, xdr_quor_stat_t);
        expectPath(peer, FN_FS_STAT, "/a/file", 0, statCodec, [] {
            static quor_stat_t s = {};
            s.st_size = 0x300000000ull;
            s.st_mode = S_IFREG | 0600;
            s.st_nlink = 2;
            return static_cast<void *>(&s);
        });
        quor_stat_t st = {};
        FCHECK(quor_Stat("/a/file", &st) == 0);
        FCHECK(st.st_size == 0x300000000ull && st.st_mode == (S_IFREG | 0600) && st.st_nlink == 2);
        expectPath(peer, FN_FS_LSTAT, "/a/link", -ENOENT, nullptr, nullptr);
        FCHECK(quor_Lstat("/a/link", &st) == -ENOENT);
        FCHECK(quor_Stat("", &st) == -ENOENT);
        FCHECK(quor_Stat("/x", nullptr) == -EFAULT);

        expectPath(peer, FN_FS_GETLISTATTRS, "/a/file", 0, KYL_XDRPROC(quor_Attrs_t, xdr_quor_Attrs_t), [] {
            static quor_Attrs_t a = {};
            a.COSId = 5;
            a.FamilyId = 3;
            a.DataLength = 0x500000000ull;
            snprintf(a.TrashInfo.Path, sizeof a.TrashInfo.Path, "%s", "/old/place");
            return static_cast<void *>(&a);
        });
        quor_Attrs_t attrs = {};
        FCHECK(quor_GetListAttrs("/a/file", &attrs) == 0);
        FCHECK(attrs.COSId == 5 && attrs.FamilyId == 3 && attrs.DataLength == 0x500000000ull);
        FCHECK(strcmp(attrs.TrashInfo.Path, "/old/place") == 0);

        expectPath(peer, FN_FS_FILEGETATTRIBUTES, "/a/file", 0, KYL_XDRPROC(quor_fileattr_t, xdr_quor_fileattr_t),
                   [] {
                       static quor_fileattr_t f = {};
                       f.Attrs.TimeCreated = 1600000000;
                       f.Attrs.UID = 77;
                       f.Attrs.Account = 9;
                       return static_cast<void *>(&f);
                   });
        quor_fileattr_t fa = {};
        FCHECK(quor_FileGetAttributes("/a/file", &fa) == 0);
        FCHECK(fa.Attrs.TimeCreated == 1600000000 && fa.Attrs.UID == 77 && fa.Attrs.Account == 9);
        return 0;
    });
}

TEST(Names, ExtendedAttributesCarryFlagsAndLevelAndTheirVolumeLists)
{
    runInSession([](Peer &peer) {
        peer.expect(step<api_quor_FileGetXAttributes_req_t>(
            CAT_FILESYS, FN_FS_FILEGETXATTRIBUTES,
            [](const api_quor_FileGetXAttributes_req_t *r, std::string &fail) {
                PCHECK(strcmp(r->Path, "/x") == 0 && r->Flags == 0x10 && r->StorageLevel == 2);
            },
            0, KYL_XDRPROC(quor_xfileattr_t, xdr_quor_xfileattr_t), [] {
                static quor_xfileattr_t x = {};
                static quor_vvattrib_t vv[2] = {};
                vv[1].BytesOnVV = 0x700000000ull;
                x.LevelAttrs[1].NumberOfVVs = 2;
                x.LevelAttrs[1].BytesAtLevel = 12345;
                x.LevelAttrs[1].VVAttrib = vv;
                return static_cast<void *>(&x);
            }));
        quor_xfileattr_t xa = {};
        FCHECK(quor_FileGetXAttributes("/x", 0x10, 2, &xa) == 0);
        FCHECK(xa.LevelAttrs[1].NumberOfVVs == 2 && xa.LevelAttrs[1].BytesAtLevel == 12345);
        FCHECK(xa.LevelAttrs[1].VVAttrib != nullptr && xa.LevelAttrs[1].VVAttrib[1].BytesOnVV == 0x700000000ull);
        quor_FreeXAttributes(&xa);
        FCHECK(xa.LevelAttrs[1].VVAttrib == nullptr);
        return 0;
    });
}

TEST(Names, SetAttributesSendsTheSelectionAndReturnsTheResultingAttributes)
{
    runInSession([](Peer &peer) {
        peer.expect(step<api_quor_FileSetAttributes_req_t>(
            CAT_FILESYS, FN_FS_FILESETATTRIBUTES,
            [](const api_quor_FileSetAttributes_req_t *r, std::string &fail) {
                PCHECK(strcmp(r->Path, "/s") == 0);
                PCHECK(r->SelFlags == (QUOR_ATTRSEL_USERPERMS | QUOR_ATTRSEL_COMMENT));
                PCHECK(r->AttrIn.Attrs.UserPerms == 0x60 && strcmp(r->AttrIn.Attrs.Comment, "note") == 0);
            },
            0, KYL_XDRPROC(quor_fileattr_t, xdr_quor_fileattr_t), [] {
                static quor_fileattr_t f = {};
                f.Attrs.UserPerms = 0x60;
                f.Attrs.GroupPerms = 0x20;
                return static_cast<void *>(&f);
            }));
        quor_fileattr_t in = {};
        in.Attrs.UserPerms = 0x60;
        snprintf(in.Attrs.Comment, sizeof in.Attrs.Comment, "%s", "note");
        quor_fileattr_t out = {};
        FCHECK(quor_FileSetAttributes("/s", QUOR_ATTRSEL_USERPERMS | QUOR_ATTRSEL_COMMENT, &in, &out) == 0);
        FCHECK(out.Attrs.UserPerms == 0x60 && out.Attrs.GroupPerms == 0x20);
        FCHECK(quor_FileSetAttributes("/s", 0, nullptr, &out) == -EFAULT);
        return 0;
    });
}

TEST(Names, RenameUnlinkGetcwdAndRequestIds)
{
    runInSession([](Peer &peer) {
        peer.expect(step<api_quor_Rename_req_t>(
            CAT_FILESYS, FN_FS_RENAME,
            [](const api_quor_Rename_req_t *r, std::string &fail) {
                PCHECK(strcmp(r->Old, "/a.tmp") == 0 && strcmp(r->New, "/a") == 0);
            },
            0));
        FCHECK(quor_Rename("/a.tmp", "/a") == 0);
        FCHECK(quor_Rename("/a.tmp", "") == -ENOENT);
        expectPath(peer, FN_FS_UNLINK, "/gone", -EACCES, nullptr, nullptr);
        FCHECK(quor_Unlink("/gone") == -EACCES);

        const kyl_xdrproc_t cwdCodec = KYL_XDRPROC(api_quor_Getcwd_rply_t, xdr_api_quor_Getcwd_rply_t);
        auto cwd = [] {
            static api_quor_Getcwd_rply_t r = {};
            snprintf(r.Buf, sizeof r.Buf, "%s", "/home/user7");
            return static_cast<void *>(&r);
        };
        peer.expect(step<char>(CAT_FILESYS, FN_FS_GETCWD, nullptr, 0, cwdCodec, cwd));
        char buf[64] = {};
        FCHECK(quor_Getcwd(buf, sizeof buf) == 0);
        FCHECK(strcmp(buf, "/home/user7") == 0);
        // Eleven characters and the NUL need twelve bytes.
        peer.expect(step<char>(CAT_FILESYS, FN_FS_GETCWD, nullptr, 0, cwdCodec, cwd));
        char small[11];
        FCHECK(quor_Getcwd(small, sizeof small) == -ERANGE);

        peer.expect(step<char>(CAT_FILESYS, FN_FS_GETUNIQUEREQUESTID, nullptr, 0,
                               KYL_XDRPROC(api_quor_GetUniqueRequestID_rply_t,
                                           xdr_api_quor_GetUniqueRequestID_rply_t),
                               [] {
                                   static api_quor_GetUniqueRequestID_rply_t r = {};
                                   r.RetReqid.time_low = 0xDEADBEEF;
                                   r.RetReqid.time_mid = 0x1234;
                                   return static_cast<void *>(&r);
                               }));
        kyl_uuid_t id = quor_GetUniqueRequestID();
        FCHECK(id.time_low == 0xDEADBEEF && id.time_mid == 0x1234);
        peer.expect(step<char>(CAT_FILESYS, FN_FS_GETUNIQUEREQUESTID, nullptr, -EIO));
        id = quor_GetUniqueRequestID();
        FCHECK(id.time_low == 0 && id.time_mid == 0);
        return 0;
    });
}

// Answers a name conversion with n name entries whose ids are 1000 + i.
fileopstest::Step namesReply(int32_t n)
{
    return [n](int fd, const api_msghdr_t &h, void *body, std::string &fail) {
        const auto *r = static_cast<const api_quor_ConvertNamesToIds_req_t *>(body);
        PCHECK(h.category == CAT_FILESYS && h.function == FN_FS_CONVERTNAMESTOIDS);
        PCHECK(r != nullptr && r->NumEntries == 2);
        if (r == nullptr || r->NumEntries != 2)
            return;
        PCHECK(r->Names[0].Type == QUOR_NAMESPEC_USER && strcmp(r->Names[0].Name, "alice") == 0);
        PCHECK(r->Names[1].Type == QUOR_NAMESPEC_GROUP && strcmp(r->Names[1].Name, "staff") == 0);
        static api_namespec_t out[3];
        memset(out, 0, sizeof out);
        for (int32_t i = 0; i < n; i++) {
            out[i].Type = r->Names[i < 2 ? i : 1].Type;
            out[i].Id = 1000 + static_cast<uint32_t>(i);
            snprintf(out[i].Name, sizeof out[i].Name, "n%d", i);
        }
        api_quor_ConvertNamesToIds_rply_t rply = {n, out};
        fileopstest::answer(fd, h, 0,
                            KYL_XDRPROC(api_quor_ConvertNamesToIds_req_t, xdr_api_quor_ConvertNamesToIds_req_t),
                            &rply);
    };
}

TEST(Names, ConvertNamesToIdsFillsTheSpecificationsAndRefusesAnotherCount)
{
    runInSession([](Peer &peer) {
        api_namespec_t nameList[2] = {};
        nameList[0].Type = QUOR_NAMESPEC_USER;
        snprintf(nameList[0].Name, sizeof nameList[0].Name, "%s", "alice");
        nameList[1].Type = QUOR_NAMESPEC_GROUP;
        snprintf(nameList[1].Name, sizeof nameList[1].Name, "%s", "staff");
        api_namespec_t keep[2];
        memcpy(keep, nameList, sizeof keep);

        peer.expect(namesReply(2));
        FCHECK(quor_ConvertNamesToIds(2, nameList) == 0);
        FCHECK(nameList[0].Id == 1000 && nameList[1].Id == 1001 && strcmp(nameList[1].Name, "n1") == 0);

        for (int32_t n : {1, 3}) {
            memcpy(nameList, keep, sizeof keep);
            peer.expect(namesReply(n));
            FCHECK(quor_ConvertNamesToIds(2, nameList) == KYLGW_E_BADMSG);
            FCHECK(memcmp(nameList, keep, sizeof keep) == 0);
        }
        FCHECK(quor_ConvertNamesToIds(0, nameList) == -EINVAL);
        FCHECK(quor_ConvertNamesToIds(static_cast<int>(KYLGW_MAX_NAMESPECS) + 1, nameList) == -EINVAL);
        FCHECK(quor_ConvertNamesToIds(1, nullptr) == -EFAULT);
        FCHECK(peer.served() == 3);
        return 0;
    });
}

} // namespace
