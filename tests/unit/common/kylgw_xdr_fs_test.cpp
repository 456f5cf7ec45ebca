// File-system, user lookup, class-of-service and expiration bodies: golden
// bytes typed from the wire layouts (an Open request with hints, a status
// record, a password entry, an attribute record by field offsets, storage
// levels with volumes, name entries), strings at their caps and one
// byte over, round trips of every record, every truncation failing without
// leaving memory behind, counts past their caps refused before anything is
// allocated, and every row of the whole catalogue round-tripping a zeroed
// record.  The sanitizer build checks that KYL_XDR_FREE releases everything.

#include "codec_testutil.h"
#include "kyl_xdr.h"
#include "kylgw_catalogue.h"
#include "kylgw_msg.h"
#include "kylgw_xdr_fs.h"
#include "quor_sockaddr.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace codectest;

// An XDR string: length without NUL, bytes, padding.
Bytes xstr(const std::string &s)
{
    Bytes b = cat(word(static_cast<uint32_t>(s.size())), Bytes(s.begin(), s.end()));
    b.resize(b.size() + ((4 - s.size() % 4) % 4), 0);
    return b;
}

// ---------------------------------------------------------------------------
// Golden bytes

const char *const kHintsHex = "00 00 00 0b"                 // COSId 11
                              "00 00 00 05 74 61 70 65 00 00 00 00"  // COSName "tape" counted with NUL
                              "00 00 00 00"                 // Flags
                              "00 00 00 00 00 10 00 00"     // OptimumAccessSize 1 MiB
                              "00 00 00 01 00 00 00 00"     // MinFileSize 4 GiB
                              "00 00 00 01 00 00 00 00"     // MaxFileSize 4 GiB
                              "00 00 00 00 00 00 00 00 00 00 00 00"  // AccessFrequency, TransferRate, AvgLatency
                              "00 00 00 00 00 00 00 00 00 00 00 00"  // WriteOps, ReadOps, StageCode
                              "00 00 00 02"                 // StripeWidth
                              "00 00 00 00 00 20 00 00"     // StripeLength 2 MiB
                              "00 00 00 07";                // FamilyId

const char *const kPrioritiesHex = "00 00 00 1e 00 00 00 00 00 00 00 00 00 00 00 14 00 00 00 14"
                                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                                   "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

void fillHints(quor_cos_hints_t *h, quor_cos_priorities_t *p)
{
    *h = quor_cos_hints_t{};
    h->COSId = 11;
    strcpy(h->COSName, "tape");
    h->OptimumAccessSize = 1 << 20;
    h->MinFileSize = h->MaxFileSize = 0x100000000ull;
    h->StripeWidth = 2;
    h->StripeLength = 2 << 20;
    h->FamilyId = 7;
    *p = quor_cos_priorities_t{};
    p->COSIdPriority = 30;
    p->MinFileSizePriority = p->MaxFileSizePriority = 20;
}

TEST(FsGolden, OpenRequestCarriesPathFlagsInterchangeModeAndHints)
{
    auto r = fresh<api_quor_Open_req_t>();
    strcpy(r->Path, "/a/b");
    r->Oflag = QUOR_OFLAG_WRONLY | QUOR_OFLAG_CREAT | QUOR_OFLAG_TRUNC;
    r->Mode = 0100644;
    fillHints(&r->HintsIn, &r->HintsPri);
    const Bytes want = cat(hex("00 00 00 04 2f 61 2f 62"  // path
                               "00 00 00 52"              // Oflag: write-only, create, truncate
                               "00 02 01 a4"),            // regular file 0644 in interchange form
                           cat(hex(kHintsHex), hex(kPrioritiesHex)));
    EXPECT_EQ(encodeOk(xdr_api_quor_Open_req_t, r.get()), want);

    auto d = fresh<api_quor_Open_req_t>();
    ASSERT_TRUE(decodeAll(xdr_api_quor_Open_req_t, want, d.get()));
    EXPECT_STREQ(d->Path, "/a/b");
    EXPECT_EQ(d->Mode, 0100644u);
    EXPECT_STREQ(d->HintsIn.COSName, "tape");
    EXPECT_EQ(d->HintsIn.MinFileSize, 0x100000000ull);
    EXPECT_EQ(d->HintsIn.FamilyId, 7u);
    EXPECT_EQ(d->HintsPri.COSIdPriority, 30u);
    EXPECT_EQ(d->HintsPri.MaxFileSizePriority, 20u);
    EXPECT_EQ(d->HintsPri.FamilyIdPriority, 0u);
    expectEveryCutFails(xdr_api_quor_Open_req_t, want, Start::stale);
}

TEST(FsGolden, OpenXReplyCarriesDataPortAsTheNumberAndHintsOut)
{
    quor_cos_priorities_t unused;
    auto r = fresh<api_quor_OpenX_rply_t>();
    r->dataport = htons(5000);
    fillHints(&r->HintsOut, &unused);
    const Bytes want = cat(hex("00 00 00 00"    // connectaddr: none, use the control address
                               "00 00 13 88"),  // dataport 5000
                           hex(kHintsHex));
    EXPECT_EQ(encodeOk(xdr_api_quor_OpenX_rply_t, r.get()), want);
    auto d = fresh<api_quor_OpenX_rply_t>();
    ASSERT_TRUE(decodeAll(xdr_api_quor_OpenX_rply_t, want, d.get()));
    EXPECT_EQ(ntohs(d->dataport), 5000);
    EXPECT_EQ(d->connectaddr.hs_addr.ss_family, 0);
    expectEveryCutFails(xdr_api_quor_OpenX_rply_t, want, Start::stale);

    // The request puts flags, address and port before the path.
    auto q = fresh<api_quor_OpenX_req_t>();
    q->XIOFlags = 1;
    auto *in = reinterpret_cast<sockaddr_in *>(&q->connectaddr.hs_addr);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(0x7f000001);
    in->sin_port = htons(0x1234);
    q->connectaddr.hs_addrlen = sizeof *in;
    q->dataport = htons(0x2345);
    strcpy(q->Path, "/x");
    q->Oflag = QUOR_OFLAG_RDONLY;
    q->Mode = 0;
    const Bytes wantReq = cat(hex("00 00 00 01"                   // XIOFlags
                                  "00 00 00 01 7f 00 00 01 00 00 12 34"  // IPv4 127.0.0.1 port 0x1234
                                  "00 00 23 45"                   // dataport
                                  "00 00 00 02 2f 78 00 00"       // path
                                  "00 00 00 01 00 00 00 00"),     // Oflag, Mode
                              cat(cat(word(0), hex("00 00 00 01 00 00 00 00")),  // COSId 0, COSName ""
                                  Bytes(4 + 24 + 28 + 8 + 4 + 14 * 4, 0)));
    EXPECT_EQ(encodeOk(xdr_api_quor_OpenX_req_t, q.get()), wantReq);
    expectEveryCutFails(xdr_api_quor_OpenX_req_t, wantReq, Start::stale);
}

TEST(FsGolden, StatReplyInWireOrder)
{
    const Bytes want = hex("00 00 00 01"               // st_dev
                           "00 00 00 02 00 00 00 03"   // st_ino
                           "00 00 00 01"               // st_nlink
                           "00 00 00 00"               // st_flag
                           "00 00 03 e8"               // st_uid 1000
                           "00 00 00 64"               // st_gid 100
                           "00 00 00 00"               // st_rdev
                           "00 00 00 00 00 00 10 00"   // st_ssize
                           "5f 00 00 00 5f 00 00 01 5f 00 00 02"  // atime, mtime, ctime
                           "00 00 10 00"               // st_blksize
                           "00 00 00 08"               // st_blocks
                           "ff ff ff ff"               // st_vfstype -1
                           "00 00 00 00 00 00 00 00 00 00 00 00"  // st_vfs, st_type, st_gen
                           "00 00 00 00 00 00 10 00"   // st_size
                           "00 01 01 ed");             // directory 0755 in interchange form
    quor_stat_t s{};
    s.quor_st_birthtime = 77;  // not on the wire: left alone
    ASSERT_TRUE(decodeAll(xdr_quor_stat_t, want, &s));
    EXPECT_EQ(s.st_ino, 0x200000003ull);
    EXPECT_EQ(s.st_nlink, 1);
    EXPECT_EQ(s.st_uid, 1000u);
    EXPECT_EQ(s.quor_st_mtime, 0x5f000001u);
    EXPECT_EQ(s.st_vfstype, -1);
    EXPECT_EQ(s.st_size, 4096u);
    EXPECT_EQ(s.st_mode, 040755u);
    EXPECT_EQ(s.quor_st_birthtime, 77u);
    EXPECT_EQ(encodeOk(xdr_quor_stat_t, &s), want);
    expectEveryCutFails(xdr_quor_stat_t, want, Start::stale);
}

TEST(FsGolden, PasswordEntryIsStringsAndIds)
{
    const Bytes want = hex("00 00 00 05 61 6c 69 63 65 00 00 00"              // pw_name "alice"
                           "00 00 00 01 78 00 00 00"                          // pw_passwd "x"
                           "00 00 03 e8 00 00 00 64"                          // uid, gid
                           "00 00 00 00"                                      // pw_gecos ""
                           "00 00 00 0b 2f 68 6f 6d 65 2f 61 6c 69 63 65 00"  // pw_dir "/home/alice"
                           "00 00 00 07 2f 62 69 6e 2f 73 68 00");            // pw_shell "/bin/sh"
    auto p = fresh<api_getpwent_rply_t>();
    ASSERT_TRUE(decodeAll(xdr_api_getpwent_rply_t, want, p.get()));
    EXPECT_STREQ(p->pw_name, "alice");
    EXPECT_STREQ(p->pw_passwd, "x");
    EXPECT_EQ(p->pw_uid, 1000u);
    EXPECT_EQ(p->pw_gid, 100u);
    EXPECT_STREQ(p->pw_gecos, "");
    EXPECT_STREQ(p->pw_dir, "/home/alice");
    EXPECT_STREQ(p->pw_shell, "/bin/sh");
    EXPECT_EQ(encodeOk(xdr_api_getpwent_rply_t, p.get()), want);
    expectEveryCutFails(xdr_api_getpwent_rply_t, want, Start::stale);

    api_getpwent_req_t q{};
    EXPECT_EQ(encodeOk(xdr_api_getpwent_req_t, &q), hex("00 00 00 00"));  // "": the session's own user
}

// Wire size of an attribute record whose comment is short, whose trash
// path is empty and whose trash name has one character, and the offsets of
// its fields, added up by hand from the field table.
constexpr size_t kAttrsWireSize = 592;
constexpr size_t kOffAccount = 0, kOffBfHash = 24, kOffComment = 32, kOffCOSId = 292, kOffDataLength = 296,
                 kOffFamilyId = 312, kOffFilesetHandle = 316, kOffGID = 384, kOffModePerms = 396,
                 kOffRegisterBitMap = 420, kOffSubSystemId = 428, kOffTimeCreated = 432, kOffTrashUID = 504,
                 kOffTrashPathLen = 560, kOffTrashNameLen = 568, kOffType = 576, kOffUID = 580,
                 kOffWriteCount = 588;

Bytes attrsWire()
{
    Bytes b(kAttrsWireSize, 0);
    putWord(b, kOffAccount, 0x11);
    putWord(b, kOffBfHash, 0x0000abcd);
    b[kOffComment] = 'h';
    b[kOffComment + 1] = 'i';
    putWord(b, kOffCOSId, 11);
    putWord(b, kOffDataLength, 0x01020304);
    putWord(b, kOffDataLength + 4, 0x05060708);
    putWord(b, kOffFamilyId, 8);
    putWord(b, kOffFilesetHandle + 4, 0x99);  // low word of the handle's ObjId
    putWord(b, kOffGID, 100);
    putWord(b, kOffModePerms, 32);
    putWord(b, kOffRegisterBitMap, 0x80000000);
    putWord(b, kOffSubSystemId, 3);
    putWord(b, kOffTimeCreated, 0x5f5e1000);
    putWord(b, kOffTrashUID, 42);
    putWord(b, kOffTrashPathLen, 1);  // "" counted with its NUL
    putWord(b, kOffTrashNameLen, 2);  // "n" counted with its NUL
    b[kOffTrashNameLen + 4] = 'n';
    putWord(b, kOffType, 129);
    putWord(b, kOffUID, 1000);
    putWord(b, kOffWriteCount, 9);
    return b;
}

TEST(FsGolden, AttributeRecordFieldsSitAtTheirOffsets)
{
    const Bytes want = attrsWire();
    auto a = fresh<quor_Attrs_t>();
    ASSERT_TRUE(decodeAll(xdr_quor_Attrs_t, want, a.get()));
    EXPECT_EQ(a->Account, 0x11u);
    EXPECT_EQ(a->BitfileObj.BfHash, 0xabcd);
    EXPECT_STREQ(a->Comment, "hi");
    EXPECT_EQ(a->COSId, 11u);
    EXPECT_EQ(a->DataLength, 0x0102030405060708ull);
    EXPECT_EQ(a->FamilyId, 8u);
    EXPECT_EQ(a->FilesetHandle.ObjId, 0x99u);
    EXPECT_EQ(a->GID, 100u);
    EXPECT_EQ(a->ModePerms, 32u);
    EXPECT_EQ(a->RegisterBitMap, 0x8000000000000000ull);
    EXPECT_EQ(a->SubSystemId, 3u);
    EXPECT_EQ(a->TimeCreated, 0x5f5e1000u);
    EXPECT_EQ(a->TrashInfo.UID, 42u);
    EXPECT_STREQ(a->TrashInfo.Path, "");
    EXPECT_STREQ(a->TrashInfo.Name, "n");
    EXPECT_EQ(a->Type, 129u);
    EXPECT_EQ(a->UID, 1000u);
    EXPECT_EQ(a->WriteCount, 9u);
    EXPECT_EQ(encodeOk(xdr_quor_Attrs_t, a.get()), want);
    expectEveryCutFails(xdr_quor_Attrs_t, want, Start::stale);

    // The comment is text: a full field without NUL decodes terminated.
    Bytes full = want;
    std::fill(full.begin() + kOffComment, full.begin() + kOffComment + QUOR_COMMENT_SIZE, 'c');
    ASSERT_TRUE(decodeAll(xdr_quor_Attrs_t, full, a.get()));
    EXPECT_EQ(strlen(a->Comment), QUOR_COMMENT_SIZE - 1);
}

TEST(FsGolden, SelectionMaskHasOneBitPerAttributeFieldInOrder)
{
    const uint64_t bits[] = {
        QUOR_ATTRSEL_ACCOUNT,          QUOR_ATTRSEL_BITFILEOBJ,        QUOR_ATTRSEL_COMMENT,
        QUOR_ATTRSEL_COMPOSITEPERMS,   QUOR_ATTRSEL_COSID,             QUOR_ATTRSEL_DATALENGTH,
        QUOR_ATTRSEL_ENTRYCOUNT,       QUOR_ATTRSEL_EXTENDEDACLS,      QUOR_ATTRSEL_FAMILYID,
        QUOR_ATTRSEL_FILESETHANDLE,    QUOR_ATTRSEL_FILESETID,         QUOR_ATTRSEL_FILESETROOTOBJECTID,
        QUOR_ATTRSEL_FILESETSTATEFLAGS, QUOR_ATTRSEL_FILESETTYPE,      QUOR_ATTRSEL_GID,
        QUOR_ATTRSEL_GROUPPERMS,       QUOR_ATTRSEL_LINKCOUNT,         QUOR_ATTRSEL_MODEPERMS,
        QUOR_ATTRSEL_OPENCOUNT,        QUOR_ATTRSEL_OPTIONFLAGS,       QUOR_ATTRSEL_OTHERPERMS,
        QUOR_ATTRSEL_READCOUNT,        QUOR_ATTRSEL_REALMID,           QUOR_ATTRSEL_REGISTERBITMAP,
        QUOR_ATTRSEL_SUBSYSTEMID,      QUOR_ATTRSEL_TIMECREATED,       QUOR_ATTRSEL_TIMELASTREAD,
        QUOR_ATTRSEL_TIMELASTWRITTEN,  QUOR_ATTRSEL_TIMEMODIFIED,      QUOR_ATTRSEL_TRASHINFO,
        QUOR_ATTRSEL_TYPE,             QUOR_ATTRSEL_UID,               QUOR_ATTRSEL_USERPERMS,
        QUOR_ATTRSEL_WRITECOUNT,
    };
    for (size_t i = 0; i < sizeof bits / sizeof bits[0]; i++)
        EXPECT_EQ(bits[i], uint64_t{1} << i) << i;
    EXPECT_EQ(QUOR_ATTRSEL_FAMILYID, 0x100u);  // the family-id bit both sides rely on

    // The mask travels as a 64-bit value after the path.
    auto r = fresh<api_quor_FileSetAttributes_req_t>();
    strcpy(r->Path, "/f");
    r->SelFlags = QUOR_ATTRSEL_FAMILYID | QUOR_ATTRSEL_USERPERMS;
    Bytes b = encodeOk(xdr_api_quor_FileSetAttributes_req_t, r.get());
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 16), hex("00 00 00 02 2f 66 00 00 00 00 00 01 00 00 01 00"));
}

// A storage level with one volume on two physical volumes, then four empty
// levels.
Bytes levelsWire()
{
    Bytes level0 = hex("00 00 00 01"                 // NumberOfVVs
                       "00 00 00 00 00 00 20 00"     // BytesAtLevel
                       "00 10 00 00"                 // OptimumAccessSize
                       "00 00 00 04"                 // StripeWidth
                       "00 00 00 00 00 40 00 00"     // StripeLength
                       "00 00 00 05"                 // Flags: disk, has data
                       // the volume
                       "01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 00"  // VVID + padding
                       "ff ff ff fe"                 // RelPosition -2
                       "00 00 00 00 00 00 00 10"     // RelPositionOffset
                       "00 00 00 00 00 00 20 00"     // BytesOnVV
                       "00 00 00 02"                 // physical volumes
                       "50 56 30 30 30 30 30 31 00 00 00 00 00 00 00 01"   // "PV000001", flags 1
                       "41 42 43 44 45 46 47 48 49 4a 4b 4c 00 00 00 02"); // 12 characters, flags 2
    Bytes empty(32, 0);
    return cat(level0, cat(cat(empty, empty), cat(empty, empty)));
}

TEST(FsGolden, ExtendedAttributesCarryLevelsVolumesAndPhysicalVolumes)
{
    const Bytes want = cat(cat(Bytes(44, 0), attrsWire()), levelsWire());
    auto f = fresh<quor_xfileattr_t>();
    ASSERT_TRUE(decodeAll(xdr_quor_xfileattr_t, want, f.get()));
    EXPECT_EQ(f->Attrs.FamilyId, 8u);
    const quor_levelattrs_t &l = f->LevelAttrs[0];
    EXPECT_EQ(l.NumberOfVVs, 1u);
    EXPECT_EQ(l.StripeWidth, 4u);
    EXPECT_EQ(l.StripeLength, 0x400000u);
    EXPECT_EQ(l.Flags, QUOR_LEVEL_DISK | QUOR_LEVEL_HAS_DATA);
    ASSERT_NE(l.VVAttrib, nullptr);
    EXPECT_EQ(l.VVAttrib[0].VVID[18], 0x13);
    EXPECT_EQ(l.VVAttrib[0].RelPosition, -2);
    EXPECT_EQ(l.VVAttrib[0].BytesOnVV, 0x2000u);
    ASSERT_EQ(l.VVAttrib[0].PVCount, 2u);
    EXPECT_EQ(std::string(l.VVAttrib[0].PVList[0].Name), "PV000001");
    EXPECT_EQ(std::string(l.VVAttrib[0].PVList[1].Name, QUOR_PV_NAME_SIZE), "ABCDEFGHIJKL");
    EXPECT_EQ(l.VVAttrib[0].PVList[1].Flags, 2u);
    for (size_t i = 1; i < QUOR_MAX_LEVELS; i++)
        EXPECT_EQ(f->LevelAttrs[i].VVAttrib, nullptr) << i;
    EXPECT_EQ(encodeOk(xdr_quor_xfileattr_t, f.get()), want);
    EXPECT_TRUE(release(xdr_quor_xfileattr_t, f.get()));
    EXPECT_EQ(f->LevelAttrs[0].VVAttrib, nullptr);
    expectEveryCutFails(xdr_quor_xfileattr_t, want, Start::stale);
}

TEST(FsGolden, NameSpecificationsAreCountedFixedRecords)
{
    const Bytes entry = cat(cat(hex("00 00 00 02"     // Type: group
                                   "00 00 00 00"     // Id
                                   "00 00 00 01"     // RealmId
                                   "73 74 61 66 66"),  // Name "staff" in 128 bytes
                               Bytes(123, 0)),
                           Bytes(256, 0));             // RealmName ""
    const Bytes want = cat(hex("00 00 00 01"), entry);
    api_quor_ConvertNamesToIds_req_t r{};
    ASSERT_TRUE(decodeAll(xdr_api_quor_ConvertNamesToIds_req_t, want, &r));
    ASSERT_EQ(r.NumEntries, 1);
    ASSERT_NE(r.Names, nullptr);
    EXPECT_EQ(r.Names[0].Type, QUOR_NAMESPEC_GROUP);
    EXPECT_EQ(r.Names[0].RealmId, 1u);
    EXPECT_STREQ(r.Names[0].Name, "staff");
    EXPECT_EQ(encodeOk(xdr_api_quor_ConvertNamesToIds_req_t, &r), want);
    EXPECT_TRUE(release(xdr_api_quor_ConvertNamesToIds_req_t, &r));
    EXPECT_EQ(r.Names, nullptr);
    expectEveryCutFails(xdr_api_quor_ConvertNamesToIds_req_t, want, Start::stale);
}

TEST(FsGolden, SmallRequestsAndReplies)
{
    api_quor_AcctNameToCode_req_t an{};
    strcpy(an.AcctName, "acct");
    an.Site = 1;
    EXPECT_EQ(encodeOk(xdr_api_quor_AcctNameToCode_req_t, &an),
              cat(cat(hex("61 63 63 74"), Bytes(125 + 3, 0)), hex("00 00 00 01")));  // 129 bytes -> 132

    api_quor_Lseek_req_t ls{3, -2, 2};
    EXPECT_EQ(encodeOk(xdr_api_quor_Lseek_req_t, &ls),
              hex("00 00 00 03 ff ff ff ff ff ff ff fe 00 00 00 02"));
    api_quor_SetFileOffset_req_t so{4, 0x123456789ull, 1, 1};
    EXPECT_EQ(encodeOk(xdr_api_quor_SetFileOffset_req_t, &so),
              hex("00 00 00 04 00 00 00 01 23 45 67 89 00 00 00 01 00 00 00 01"));
    api_quor_ReadAttrs_req_t ra{5, 0x10, 64, 1};
    EXPECT_EQ(encodeOk(xdr_api_quor_ReadAttrs_req_t, &ra),
              hex("00 00 00 05 00 00 00 00 00 00 00 10 00 00 00 40 00 00 00 01"));

    api_quor_Rename_req_t rn{};
    strcpy(rn.Old, "a.idx");
    strcpy(rn.New, "a.idx.old");
    EXPECT_EQ(encodeOk(xdr_api_quor_Rename_req_t, &rn), cat(xstr("a.idx"), xstr("a.idx.old")));
    EXPECT_EQ(xstr("a.idx"), hex("00 00 00 05 61 2e 69 64 78 00 00 00"));

    api_quor_Mkdir_req_t mk{};
    strcpy(mk.Path, "/d");
    mk.Mode = 040700;
    EXPECT_EQ(encodeOk(xdr_api_quor_Mkdir_req_t, &mk), hex("00 00 00 02 2f 64 00 00 00 01 01 c0"));

    api_quor_GetUniqueRequestID_rply_t id{};
    ASSERT_TRUE(decodeAll(xdr_api_quor_GetUniqueRequestID_rply_t,
                       hex("01 02 03 04 00 00 05 06 00 00 40 07 00 00 00 89 00 00 00 0a 0b 0c 0d 0e 0f 10 00 00"),
                       &id));
    EXPECT_EQ(id.RetReqid.time_low, 0x01020304u);
    EXPECT_EQ(id.RetReqid.time_hi_and_version, 0x4007);
    EXPECT_EQ(id.RetReqid.clock_seq_hi_and_reserved, 0x89);
    EXPECT_EQ(id.RetReqid.node[5], 0x10);

    api_selectcos_req_t sc{};
    sc.fileSize = 0x200000000ull;
    sc.uid = 1000;
    sc.gid = 100;
    sc.charge = 5;
    sc.copies = 2;
    sc.subsysId = 3;
    EXPECT_EQ(encodeOk(xdr_api_selectcos_req_t, &sc),
              hex("00 00 00 00 00 00 00 02 00 00 00 00 00 00 03 e8 00 00 00 64 00 00 00 05 00 00 00 02 00 00 00 03"));

    uda_set_expiration_req_t ux{};
    strcpy(ux.Path, "/a");
    ux.ExpireTime = 0x65000000;
    EXPECT_EQ(encodeOk(xdr_uda_set_expiration_req_t, &ux), hex("00 00 00 03 2f 61 00 00 00 00 00 00 65 00 00 00"));
}

// ---------------------------------------------------------------------------
// Strings at their caps

TEST(FsStrings, PathAtTheCapPassesAndOneByteMoreFails)
{
    auto r = fresh<api_quor_path_req_t>();
    memset(r->Path, 'p', KYLGW_MAX_PATH);
    r->Path[KYLGW_MAX_PATH] = '\0';
    Bytes b = encodeOk(xdr_api_quor_path_req_t, r.get());
    ASSERT_EQ(b.size(), 4u + KYLGW_MAX_PATH);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), hex("00 00 04 00"));
    auto d = fresh<api_quor_path_req_t>();
    ASSERT_TRUE(decodeAll(xdr_api_quor_path_req_t, b, d.get()));
    EXPECT_EQ(strlen(d->Path), KYLGW_MAX_PATH);

    // A buffer without room for the terminator is refused by the encoder.
    r->Path[KYLGW_MAX_PATH] = 'p';
    EXPECT_FALSE(encodes(xdr_api_quor_path_req_t, r.get()));

    // 1025 bytes on the wire are refused right after the length word.
    Bytes over = cat(hex("00 00 04 01"), Bytes(KYLGW_MAX_PATH + 4, 'p'));
    size_t left = 0;
    EXPECT_FALSE(decodeAll(xdr_api_quor_path_req_t, over, d.get(), &left));
    EXPECT_EQ(left, KYLGW_MAX_PATH + 4u);
}

TEST(FsStrings, CountedStringsCountTheirNul)
{
    // COSName: 31 characters and the NUL fill 32 bytes.
    quor_cos_hints_t h{};
    memset(h.COSName, 'n', QUOR_COSNAME_SIZE - 1);
    Bytes b = encodeOk(xdr_quor_cos_hints_t, &h);
    EXPECT_EQ(Bytes(b.begin() + 4, b.begin() + 8), hex("00 00 00 20"));
    quor_cos_hints_t d{};
    ASSERT_TRUE(decodeAll(xdr_quor_cos_hints_t, b, &d));
    EXPECT_EQ(strlen(d.COSName), QUOR_COSNAME_SIZE - 1);

    memset(h.COSName, 'n', QUOR_COSNAME_SIZE);  // no room for the NUL
    EXPECT_FALSE(encodes(xdr_quor_cos_hints_t, &h));
    Bytes over = b;
    putWord(over, 4, QUOR_COSNAME_SIZE + 1);
    EXPECT_FALSE(decodeAll(xdr_quor_cos_hints_t, over, &d));
    Bytes zero = b;
    putWord(zero, 4, 0);  // a counted string always holds at least its NUL
    EXPECT_FALSE(decodeAll(xdr_quor_cos_hints_t, zero, &d));

    // The expiration path: 1024 characters pass, 1025 do not.
    auto u = fresh<uda_set_expiration_req_t>();
    memset(u->Path, 'u', QUOR_UDA_PATH_SIZE - 1);
    Bytes ub = encodeOk(xdr_uda_set_expiration_req_t, u.get());
    EXPECT_EQ(Bytes(ub.begin(), ub.begin() + 4), hex("00 00 04 01"));
    EXPECT_EQ(ub.size(), 4u + 1028u + 8u);
    auto ud = fresh<uda_set_expiration_req_t>();
    ASSERT_TRUE(decodeAll(xdr_uda_set_expiration_req_t, ub, ud.get()));
    EXPECT_EQ(strlen(ud->Path), QUOR_UDA_PATH_SIZE - 1);
    Bytes uover = cat(hex("00 00 04 02"), Bytes(1028 + 8, 'u'));
    EXPECT_FALSE(decodeAll(xdr_uda_set_expiration_req_t, uover, ud.get()));
}

TEST(FsStrings, UserLookupStringsHaveTheirCaps)
{
    Bytes name = xstr(std::string(KYLGW_MAX_USERNAME, 'a'));
    api_lookup_homedir_req_t q{};
    EXPECT_TRUE(decodeAll(xdr_api_lookup_homedir_req_t, name, &q));
    EXPECT_FALSE(decodeAll(xdr_api_lookup_homedir_req_t, xstr(std::string(KYLGW_MAX_USERNAME + 1, 'a')), &q));
    api_getpwent_req_t g{};
    EXPECT_FALSE(decodeAll(xdr_api_getpwent_req_t, xstr(std::string(KYLGW_MAX_USERNAME + 1, 'a')), &g));
    auto s = fresh<api_selectcos_req_t>();
    EXPECT_FALSE(decodeAll(xdr_api_selectcos_req_t,
                        cat(xstr(std::string(KYLGW_MAX_COSLIST + 1, '1')), Bytes(28, 0)), s.get()));
    EXPECT_TRUE(decodeAll(xdr_api_selectcos_req_t, cat(xstr(std::string(KYLGW_MAX_COSLIST, '1')), Bytes(28, 0)),
                       s.get()));
}

// ---------------------------------------------------------------------------
// Counts past their caps

TEST(FsCaps, CountsPastTheirCapsAreRefusedBeforeAnythingIsAllocated)
{
    // Directory entries: the count is the first word of the reply.
    for (uint32_t n : {KYLGW_MAX_DIRENTRIES + 1, 0xFFFFFFF0u}) {
        Bytes b = cat(word(n), Bytes(64, 0));
        api_quor_ReadAttrs_rply_t r{};
        size_t left = 0;
        EXPECT_FALSE(decodeAll(xdr_api_quor_ReadAttrs_rply_t, b, &r, &left)) << n;
        EXPECT_EQ(left, 64u) << n;
        EXPECT_EQ(r.DirEntries, nullptr);
        EXPECT_TRUE(release(xdr_api_quor_ReadAttrs_rply_t, &r));
    }
    // Name entries: too many, or a negative count.
    for (uint32_t n : {KYLGW_MAX_NAMESPECS + 1, 0x80000000u, 0xFFFFFFFFu}) {
        Bytes b = cat(word(n), Bytes(64, 0));
        api_quor_ConvertNamesToIds_req_t r{};
        size_t left = 0;
        EXPECT_FALSE(decodeAll(xdr_api_quor_ConvertNamesToIds_req_t, b, &r, &left)) << n;
        EXPECT_EQ(left, 64u) << n;
        EXPECT_EQ(r.Names, nullptr);
    }
    // Volumes of a level: refused before the rest of the level is read.
    Bytes head = cat(Bytes(44, 0), attrsWire());
    Bytes vv = cat(head, cat(word(KYLGW_MAX_LEVEL_VVS + 1), Bytes(256, 0)));
    auto f = fresh<quor_xfileattr_t>();
    size_t left = 0;
    EXPECT_FALSE(decodeAll(xdr_quor_xfileattr_t, vv, f.get(), &left));
    EXPECT_EQ(left, 256u);
    // Physical volumes: level 0 as typed (108 bytes), then a level whose
    // single volume claims too many.
    const Bytes levels = levelsWire();
    Bytes bad = cat(head, Bytes(levels.begin(), levels.begin() + 108));
    bad = cat(bad, cat(word(1), Bytes(8 + 4 + 4 + 8 + 4, 0)));  // one volume, rest of the level header
    bad = cat(bad, Bytes(20 + 4 + 8 + 8, 0));                   // the volume up to its list
    bad = cat(bad, cat(word(KYLGW_MAX_VV_PVS + 1), Bytes(64, 0)));
    EXPECT_FALSE(decodeAll(xdr_quor_xfileattr_t, bad, f.get(), &left));
    EXPECT_EQ(left, 64u);
    // The first level's volume list was allocated and released again.
    EXPECT_EQ(f->LevelAttrs[0].VVAttrib, nullptr);
    EXPECT_TRUE(release(xdr_quor_xfileattr_t, f.get()));
}

TEST(FsCaps, CountsAtTheirCapsDecode)
{
    // KYLGW_MAX_NAMESPECS zeroed name entries.
    Bytes nameList = cat(word(KYLGW_MAX_NAMESPECS), Bytes(size_t{KYLGW_MAX_NAMESPECS} * (12 + 128 + 256), 0));
    api_quor_ConvertNamesToIds_req_t r{};
    ASSERT_TRUE(decodeAll(xdr_api_quor_ConvertNamesToIds_req_t, nameList, &r));
    EXPECT_EQ(r.NumEntries, static_cast<int32_t>(KYLGW_MAX_NAMESPECS));
    EXPECT_TRUE(release(xdr_api_quor_ConvertNamesToIds_req_t, &r));

    // A directory of two entries, each a name, a handle, an offset and
    // attributes.
    auto makeEntry = [](const std::string &name, uint32_t offset) {
        Bytes e = cat(word(static_cast<uint32_t>(name.size() + 1)), Bytes(name.begin(), name.end()));
        e.push_back(0);
        e.resize(4 + ((name.size() + 1 + 3) & ~size_t{3}), 0);
        return cat(cat(cat(e, Bytes(44, 0)), cat(word(0), word(offset))), attrsWire());
    };
    Bytes dir = cat(hex("00 00 00 02 00 00 00 01 00 00 00 00 00 00 00 09"),
                    cat(makeEntry("a", 1), makeEntry("bcd", 2)));
    api_quor_ReadAttrs_rply_t d{};
    ASSERT_TRUE(decodeAll(xdr_api_quor_ReadAttrs_rply_t, dir, &d));
    ASSERT_EQ(d.entryCount, 2u);
    EXPECT_EQ(d.End, 1u);
    EXPECT_EQ(d.OffsetOut, 9u);
    EXPECT_STREQ(d.DirEntries[0].Name, "a");
    EXPECT_STREQ(d.DirEntries[1].Name, "bcd");
    EXPECT_EQ(d.DirEntries[1].ObjOffset, 2u);
    EXPECT_EQ(d.DirEntries[1].Attrs.FamilyId, 8u);
    EXPECT_EQ(encodeOk(xdr_api_quor_ReadAttrs_rply_t, &d), dir);
    EXPECT_TRUE(release(xdr_api_quor_ReadAttrs_rply_t, &d));
    EXPECT_EQ(d.DirEntries, nullptr);
    expectEveryCutFails(xdr_api_quor_ReadAttrs_rply_t, dir, Start::stale);
}

TEST(FsCaps, EncodingRefusesCountsTheDecoderWouldRefuse)
{
    api_quor_ConvertNamesToIds_req_t neg{-1, nullptr};
    EXPECT_FALSE(encodes(xdr_api_quor_ConvertNamesToIds_req_t, &neg));
    api_quor_ConvertNamesToIds_req_t missing{2, nullptr};
    EXPECT_FALSE(encodes(xdr_api_quor_ConvertNamesToIds_req_t, &missing));
    std::vector<api_namespec_t> many(KYLGW_MAX_NAMESPECS + 1);
    api_quor_ConvertNamesToIds_req_t tooMany{static_cast<int32_t>(many.size()), many.data()};
    EXPECT_FALSE(encodes(xdr_api_quor_ConvertNamesToIds_req_t, &tooMany));

    auto f = fresh<quor_xfileattr_t>();
    f->LevelAttrs[2].NumberOfVVs = 1;  // a count without volumes
    EXPECT_FALSE(encodes(xdr_quor_xfileattr_t, f.get()));
}

// ---------------------------------------------------------------------------
// Round trips of every record

TEST(FsRoundTrip, EveryRecordSurvivesEncodeDecodeEncode)
{
    auto attrs = fresh<quor_Attrs_t>();
    {
        quor_Attrs_t &a = *attrs;
        a.Account = 1;
        memset(a.BitfileObj.ObjId, 0x3c, sizeof a.BitfileObj.ObjId);
        a.BitfileObj.BfHash = 0xffff;
        a.BitfileObj.ValidHash = 0xfffffffe;
        strcpy(a.Comment, "comment");
        a.DataLength = ~uint64_t{0};
        a.FilesetHandle = ns_ObjHandle_t{1, 2, 3, 4, 5, 6, 7, 8};
        a.FilesetRootObjectId = 0x1122334455667788ull;
        a.OtherPerms = 32;
        a.RegisterBitMap = 0x8000000000000001ull;
        a.TrashInfo.ParentNsHash = 9;
        a.TrashInfo.Handle.Generation = 0xabcdef;
        a.TrashInfo.LengthAtDeleteTime = 5;
        memset(a.TrashInfo.Path, 't', QUOR_TRASH_PATH_SIZE - 1);
        strcpy(a.TrashInfo.Name, "gone");
        a.Type = 132;
        a.WriteCount = 77;
    }
    roundTrip(xdr_quor_Attrs_t, attrs.get());

    auto fa = fresh<quor_fileattr_t>();
    fa->ObjectHandle = ns_ObjHandle_t{10, 11, 12, 13, 129, 0, 0, 1};
    fa->Attrs = *attrs;
    roundTrip(xdr_quor_fileattr_t, fa.get());

    quor_pv_t pvs[2] = {{"pv1", 1}, {"pv2", 0}};
    quor_vvattrib_t vvs[2] = {};
    vvs[0].RelPosition = -1;
    vvs[0].PVCount = 2;
    vvs[0].PVList = pvs;
    vvs[1].BytesOnVV = 99;
    auto xf = fresh<quor_xfileattr_t>();
    xf->ObjectHandle = fa->ObjectHandle;
    xf->Attrs = *attrs;
    xf->LevelAttrs[0] = quor_levelattrs_t{2, 4096, 1 << 20, 2, 2 << 20, QUOR_LEVEL_DISK, vvs};
    xf->LevelAttrs[4] = quor_levelattrs_t{1, 1, 2, 3, 4, 5, vvs + 1};
    roundTrip(xdr_quor_xfileattr_t, xf.get());

    auto de = fresh<ns_DirEntry_t>();
    strcpy(de->Name, "entry");
    de->ObjOffset = 12;
    de->Attrs = *attrs;
    roundTrip(xdr_ns_DirEntry_t, de.get());
    std::vector<ns_DirEntry_t> entries(3, *de);
    strcpy(entries[2].Name, "last");
    api_quor_ReadAttrs_rply_t ra{3, 1, 99, entries.data()};
    roundTrip(xdr_api_quor_ReadAttrs_rply_t, &ra);

    api_namespec_t nameList[2] = {{QUOR_NAMESPEC_USER, 1000, 1, "alice", "realm"}, {QUOR_NAMESPEC_GROUP, 0, 0, "g", ""}};
    api_quor_ConvertNamesToIds_req_t cn{2, nameList};
    roundTrip(xdr_api_quor_ConvertNamesToIds_req_t, &cn);
    roundTrip(xdr_api_namespec_t, &nameList[0]);

    quor_cos_hints_t h;
    quor_cos_priorities_t p;
    fillHints(&h, &p);
    for (uint32_t *w = &p.COSIdPriority; w <= &p.FamilyIdPriority; w++)
        *w = static_cast<uint32_t>(w - &p.COSIdPriority) + 1;
    roundTrip(xdr_quor_cos_hints_t, &h);
    roundTrip(xdr_quor_cos_priorities_t, &p);

    quor_stat_t st{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, -14, 15, 16, 17, 18, 0120777, 0};
    roundTrip(xdr_quor_stat_t, &st);

    auto open = fresh<api_quor_Open_req_t>();
    strcpy(open->Path, "/o");
    open->Oflag = QUOR_OFLAG_RDWR | QUOR_OFLAG_EXCL;
    open->Mode = 0100600;
    open->HintsIn = h;
    open->HintsPri = p;
    roundTrip(xdr_api_quor_Open_req_t, open.get());
    api_quor_Open_rply_t openReply{h};
    roundTrip(xdr_api_quor_Open_rply_t, &openReply);

    auto openx = fresh<api_quor_OpenX_req_t>();
    openx->XIOFlags = 1;
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&openx->connectaddr.hs_addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr.s6_addr[15] = 1;
    in6->sin6_port = htons(7);
    openx->connectaddr.hs_addrlen = sizeof *in6;
    openx->dataport = htons(65535);
    strcpy(openx->Path, "/ox");
    openx->HintsIn = h;
    roundTrip(xdr_api_quor_OpenX_req_t, openx.get());
    api_quor_OpenX_rply_t oxr{};
    oxr.connectaddr = openx->connectaddr;
    oxr.dataport = htons(1);
    oxr.HintsOut = h;
    roundTrip(xdr_api_quor_OpenX_rply_t, &oxr);

    auto path = fresh<api_quor_path_req_t>();
    strcpy(path->Path, "relative/path");
    roundTrip(xdr_api_quor_path_req_t, path.get());
    api_quor_fildes_req_t fd{-1};
    roundTrip(xdr_api_quor_fildes_req_t, &fd);
    api_quor_Closedir_req_t cd{7};
    roundTrip(xdr_api_quor_Closedir_req_t, &cd);
    api_quor_AcctNameToCode_req_t an{};
    strcpy(an.AcctName, "project");
    an.Site = 2;
    roundTrip(xdr_api_quor_AcctNameToCode_req_t, &an);
    api_AcctNameToCode_rply_t ac{12};
    roundTrip(xdr_api_AcctNameToCode_rply_t, &ac);
    auto gx = fresh<api_quor_FileGetXAttributes_req_t>();
    strcpy(gx->Path, "/x");
    gx->Flags = 8;
    gx->StorageLevel = 0;
    roundTrip(xdr_api_quor_FileGetXAttributes_req_t, gx.get());
    auto sa = fresh<api_quor_FileSetAttributes_req_t>();
    strcpy(sa->Path, "/s");
    sa->SelFlags = QUOR_ATTRSEL_FAMILYID;
    sa->AttrIn = *fa;
    roundTrip(xdr_api_quor_FileSetAttributes_req_t, sa.get());
    api_quor_Fpreallocate_req_t fp{3, 1ull << 40};
    roundTrip(xdr_api_quor_Fpreallocate_req_t, &fp);
    api_quor_GetAcct_rply_t ga{1, 2};
    roundTrip(xdr_api_quor_GetAcct_rply_t, &ga);
    auto cwd = fresh<api_quor_Getcwd_rply_t>();
    strcpy(cwd->Buf, "/home/alice");
    roundTrip(xdr_api_quor_Getcwd_rply_t, cwd.get());
    api_quor_GetUniqueRequestID_rply_t uid{{1, 2, 3, 4, 5, {6, 7, 8, 9, 10, 11}}};
    roundTrip(xdr_api_quor_GetUniqueRequestID_rply_t, &uid);
    api_quor_Lseek_req_t lq{1, INT64_MIN, 0};
    roundTrip(xdr_api_quor_Lseek_req_t, &lq);
    api_quor_Lseek_rply_t lr{INT64_MAX};
    roundTrip(xdr_api_quor_Lseek_rply_t, &lr);
    auto mk = fresh<api_quor_Mkdir_req_t>();
    strcpy(mk->Path, "/m");
    mk->Mode = 041777;
    roundTrip(xdr_api_quor_Mkdir_req_t, mk.get());
    api_quor_ReadAttrs_req_t rq{1, 2, 3, 4};
    roundTrip(xdr_api_quor_ReadAttrs_req_t, &rq);
    auto rn = fresh<api_quor_Rename_req_t>();
    strcpy(rn->Old, "/o");
    strcpy(rn->New, "/n");
    roundTrip(xdr_api_quor_Rename_req_t, rn.get());
    api_quor_SetAcct_req_t sacct{5};
    roundTrip(xdr_api_quor_SetAcct_req_t, &sacct);
    api_quor_SetAcctByName_req_t sbn{};
    strcpy(sbn.AcctName, "name");
    roundTrip(xdr_api_quor_SetAcctByName_req_t, &sbn);
    api_quor_SetFileOffset_req_t sq{1, 2, 3, 0};
    roundTrip(xdr_api_quor_SetFileOffset_req_t, &sq);
    api_quor_SetFileOffset_rply_t sr{~uint64_t{0}};
    roundTrip(xdr_api_quor_SetFileOffset_rply_t, &sr);
    api_quor_Umask_req_t uq{022};
    roundTrip(xdr_api_quor_Umask_req_t, &uq);
    api_quor_Umask_rply_t ur{077};
    roundTrip(xdr_api_quor_Umask_rply_t, &ur);
    api_getpwent_req_t pq{};
    strcpy(pq.uname, "bob");
    roundTrip(xdr_api_getpwent_req_t, &pq);
    auto pw = fresh<api_getpwent_rply_t>();
    strcpy(pw->pw_name, "bob");
    strcpy(pw->pw_passwd, "x");
    pw->pw_uid = 1;
    pw->pw_gid = 2;
    strcpy(pw->pw_gecos, "Bob");
    strcpy(pw->pw_dir, "/home/bob");
    strcpy(pw->pw_shell, "/bin/bash");
    roundTrip(xdr_api_getpwent_rply_t, pw.get());
    api_lookup_homedir_req_t hq{};
    strcpy(hq.principal, "bob@REALM");
    roundTrip(xdr_api_lookup_homedir_req_t, &hq);
    auto hr = fresh<api_lookup_homedir_rply_t>();
    strcpy(hr->homeDir, "/home/bob");
    roundTrip(xdr_api_lookup_homedir_rply_t, hr.get());
    auto sc = fresh<api_selectcos_req_t>();
    strcpy(sc->cosList, "1,2,11");
    sc->fileSize = 5;
    roundTrip(xdr_api_selectcos_req_t, sc.get());
    api_selectcos_rply_t scr{h, p};
    roundTrip(xdr_api_selectcos_rply_t, &scr);
    auto ux = fresh<uda_set_expiration_req_t>();
    strcpy(ux->Path, "/e");
    ux->ExpireTime = 1;
    roundTrip(xdr_uda_set_expiration_req_t, ux.get());
}

// ---------------------------------------------------------------------------
// The catalogue

struct CatalogueRows {
    std::vector<const kylgw_msgtype_t *> rows;
};

void collectRow(const kylgw_msgtype_t *row, void *arg)
{
    static_cast<CatalogueRows *>(arg)->rows.push_back(row);
}

// Encodes a zeroed record with codec, decodes it into a second zeroed
// record and encodes that again; both encodings must be equal.
void expectZeroedRoundTrip(kyl_xdrproc_t codec, size_t size, const kylgw_msgtype_t *row, const char *column)
{
    SCOPED_TRACE(std::string(row->name) + " " + column + " (" + std::to_string(row->category) + "/" +
                 std::to_string(row->function) + ")");
    ASSERT_GT(size, 0u);
    std::unique_ptr<void, void (*)(void *)> in(calloc(1, size), free), back(calloc(1, size), free);
    ASSERT_TRUE(in && back);
    kyl_xdr_outbuf first, second;
    kyl_xdr_t x;
    kyl_xdr_create_encode(&x, &first);
    ASSERT_TRUE(codec(&x, in.get()));
    kyl_xdr_memsource src(first.data, first.len);
    kyl_xdr_create_decode(&x, &src);
    EXPECT_TRUE(codec(&x, back.get()));
    EXPECT_EQ(src.left, 0u);
    kyl_xdr_create_encode(&x, &second);
    EXPECT_TRUE(codec(&x, back.get()));
    EXPECT_EQ(Bytes(first.data, first.data + first.len), Bytes(second.data, second.data + second.len));
    kyl_xdr_free(codec, back.get());
    kyl_xdr_outbuf_free(&first);
    kyl_xdr_outbuf_free(&second);
}

TEST(FsCatalogue, EveryRowWithACodecRoundTripsAZeroedRecord)
{
    CatalogueRows all;
    kylgw_ForEachMsgType(collectRow, &all);
    ASSERT_FALSE(all.rows.empty());
    std::set<std::pair<uint16_t, uint16_t>> seen;
    for (const kylgw_msgtype_t *row : all.rows) {
        EXPECT_TRUE(seen.insert({row->category, row->function}).second)
            << "two rows for " << row->category << "/" << row->function;
        EXPECT_NE(row->name, nullptr);
        EXPECT_EQ(row->request != nullptr, row->requestSize > 0) << row->name;
        EXPECT_EQ(row->reply != nullptr, row->replySize > 0) << row->name;
        if (row->request != nullptr)
            expectZeroedRoundTrip(row->request, row->requestSize, row, "request");
        if (row->reply != nullptr)
            expectZeroedRoundTrip(row->reply, row->replySize, row, "reply");
    }
}

TEST(FsCatalogue, FileSystemRowsUseTheCatalogueFunctionCodes)
{
    struct Want {
        uint16_t category, function;
        const char *name;
        bool request, reply;
    };
    const Want wants[] = {
        {1280, 258, "quor_AcctNameToCode", true, true},     {1280, 776, "quor_Close", true, false},
        {1280, 777, "quor_Closedir", true, false},          {1280, 779, "quor_ConvertNamesToIds", true, true},
        {1280, 1538, "quor_FileGetAttributes", true, true}, {1280, 1539, "quor_FileGetXAttributes", true, true},
        {1280, 1540, "quor_FileSetAttributes", true, true}, {1280, 1546, "quor_Fpreallocate", true, false},
        {1280, 1547, "quor_Fstat", true, true},             {1280, 1792, "quor_GetAcct", false, true},
        {1280, 1799, "quor_Getcwd", false, true},           {1280, 1801, "quor_GetListAttrs", true, true},
        {1280, 1809, "quor_GetUniqueRequestID", false, true}, {1280, 3075, "quor_Lseek", true, true},
        {1280, 3076, "quor_Lstat", true, true},             {1280, 3329, "quor_Mkdir", true, false},
        {1280, 3840, "quor_Open", true, true},              {1280, 3842, "quor_Opendir", true, false},
        {1280, 3843, "quor_OpenX", true, true},             {1280, 4609, "quor_ReadAttrs", true, true},
        {1280, 4616, "quor_Rename", true, false},           {1280, 4866, "quor_SetAcct", true, false},
        {1280, 4867, "quor_SetAcctByName", true, false},    {1280, 4869, "quor_SetFileOffset", true, true},
        {1280, 4873, "quor_Stat", true, true},              {1280, 5376, "quor_Umask", true, true},
        {1280, 5378, "quor_Unlink", true, false},           {1536, 256, "quor_GetPwent", true, true},
        {1536, 262, "quor_LookupHomeDir", true, true},      {2048, 256, "quorex_SelectCOS", true, true},
        {5888, 834, "kylgw_UdaSetExpiration", true, false},
    };
    EXPECT_EQ(kylgw_fs_msgtable.count, sizeof wants / sizeof wants[0]);
    for (const Want &w : wants) {
        const kylgw_msgtype_t *row = kylgw_LookupMsgType(w.category, w.function);
        ASSERT_NE(row, nullptr) << w.name;
        EXPECT_STREQ(row->name, w.name);
        EXPECT_EQ(row->request != nullptr, w.request) << w.name;
        EXPECT_EQ(row->reply != nullptr, w.reply) << w.name;
    }

    // The Stat row's reply codec is the status record's: it decodes the
    // golden status reply into a record of the row's size.
    const kylgw_msgtype_t *stat = kylgw_LookupMsgType(CAT_FILESYS, FN_FS_STAT);
    ASSERT_NE(stat, nullptr);
    EXPECT_EQ(stat->replySize, sizeof(quor_stat_t));
    EXPECT_EQ(kylgw_LookupMsgType(CAT_FILESYS, FN_FS_FILEGETXATTRIBUTES)->replySize, sizeof(quor_xfileattr_t));
    Bytes attrs = attrsWire();
    quor_Attrs_t a{};
    kyl_xdr_memsource src(attrs.data(), attrs.size());
    kyl_xdr_t x;
    kyl_xdr_create_decode(&x, &src);
    ASSERT_TRUE(kylgw_LookupMsgType(CAT_FILESYS, FN_FS_GETLISTATTRS)->reply(&x, &a));
    EXPECT_EQ(src.left, 0u);
    EXPECT_EQ(a.FamilyId, 8u);
}

} // namespace
