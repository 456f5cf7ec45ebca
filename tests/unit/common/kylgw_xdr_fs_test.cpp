// File-system, user lookup, class-of-service and expiration bodies: golden
// bytes typed from the wire layouts (open requests with hints, status, a
// password entry, an attribute record by field offsets, storage levels with
// volumes, name entries, directory entries, small requests), strings and
// counts at their caps and one over, refused before anything is allocated.

#include "codec_testutil.h"
#include "kyl_xdr.h"
#include "kylgw_msg.h"
#include "kylgw_xdr_fs.h"
#include "quor_sockaddr.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace codectest;

// An XDR string: length without NUL, bytes, padding.
Bytes xstr(const std::string &s)
{
    Bytes b = word(static_cast<uint32_t>(s.size())) + Bytes(s.begin(), s.end());
    b.resize(b.size() + ((4 - s.size() % 4) % 4), 0);
    return b;
}

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

TEST(FsGolden, OpenRequestsAndReplyCarryPathsModesAddressesAndHints)
{
    auto r = fresh<api_quor_Open_req_t>();
    strcpy(r->Path, "/a/b");
    r->Oflag = QUOR_OFLAG_WRONLY | QUOR_OFLAG_CREAT | QUOR_OFLAG_TRUNC;
    r->Mode = 0100644;
    fillHints(&r->HintsIn, &r->HintsPri);
    expectGolden(xdr_api_quor_Open_req_t, r.get(),
                 hex("00 00 00 04 2f 61 2f 62"  // path
                     "00 00 00 52"              // Oflag: write-only, create, truncate
                     "00 02 01 a4")             // regular file 0644 in interchange form
                     + hex(kHintsHex) + hex(kPrioritiesHex),
                 true);

    quor_cos_priorities_t unused;
    auto x = fresh<api_quor_OpenX_rply_t>();
    x->dataport = htons(5000);
    fillHints(&x->HintsOut, &unused);
    expectGolden(xdr_api_quor_OpenX_rply_t, x.get(),
                 hex("00 00 00 00"    // connectaddr: none, use the control address
                     "00 00 13 88")   // dataport 5000 as a number
                     + hex(kHintsHex),
                 true);

    // The OpenX request puts flags, address and port before the path.
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
    expectGolden(xdr_api_quor_OpenX_req_t, q.get(),
                 hex("00 00 00 01"                          // XIOFlags
                     "00 00 00 01 7f 00 00 01 00 00 12 34"  // IPv4 127.0.0.1 port 0x1234
                     "00 00 23 45"                          // dataport
                     "00 00 00 02 2f 78 00 00"              // path
                     "00 00 00 01 00 00 00 00"              // Oflag, Mode
                     "00 00 00 00 00 00 00 01 00 00 00 00") // COSId 0, COSName ""
                     + Bytes(4 + 24 + 28 + 8 + 4 + 14 * 4, 0),
                 true);
}

TEST(FsGolden, StatusPasswordEntryAndSmallRequests)
{
    quor_stat_t s{1, 0x200000003ull, 1, 2, 1000, 100, 3, 0x1000, 0x5f000000, 0x5f000001, 0x5f000002,
                  0x1000, 8, -1, 4, 5, 6, 0x1000, 040755, 0};
    expectGolden(xdr_quor_stat_t, &s,
                 hex("00 00 00 01"                          // st_dev
                     "00 00 00 02 00 00 00 03"              // st_ino
                     "00 00 00 01 00 00 00 02"              // st_nlink, st_flag
                     "00 00 03 e8 00 00 00 64"              // st_uid 1000, st_gid 100
                     "00 00 00 03"                          // st_rdev
                     "00 00 00 00 00 00 10 00"              // st_ssize
                     "5f 00 00 00 5f 00 00 01 5f 00 00 02"  // atime, mtime, ctime
                     "00 00 10 00 00 00 00 08"              // st_blksize, st_blocks
                     "ff ff ff ff"                          // st_vfstype -1
                     "00 00 00 04 00 00 00 05 00 00 00 06"  // st_vfs, st_type, st_gen
                     "00 00 00 00 00 00 10 00"              // st_size
                     "00 01 01 ed"),                        // directory 0755 in interchange form
                 true);
    quor_stat_t kept{};
    kept.quor_st_birthtime = 77;  // not on the wire: left alone
    bool ok = false;
    ASSERT_TRUE(decodeAll(xdr_quor_stat_t, encode(xdr_quor_stat_t, &s, &ok), &kept));
    EXPECT_EQ(kept.quor_st_birthtime, 77u);

    auto p = fresh<api_getpwent_rply_t>();
    strcpy(p->pw_name, "alice");
    strcpy(p->pw_passwd, "x");
    p->pw_uid = 1000;
    p->pw_gid = 100;
    strcpy(p->pw_dir, "/home/alice");
    strcpy(p->pw_shell, "/bin/sh");
    expectGolden(xdr_api_getpwent_rply_t, p.get(),
                 xstr("alice") + xstr("x") + hex("00 00 03 e8 00 00 00 64") + xstr("") + xstr("/home/alice") +
                     xstr("/bin/sh"),
                 true);

    api_quor_Lseek_req_t ls{3, -2, 2};
    expectGolden(xdr_api_quor_Lseek_req_t, &ls, hex("00 00 00 03 ff ff ff ff ff ff ff fe 00 00 00 02"));
    auto rn = fresh<api_quor_Rename_req_t>();
    strcpy(rn->Old, "a.idx");
    strcpy(rn->New, "a.idx.old");
    expectGolden(xdr_api_quor_Rename_req_t, rn.get(), xstr("a.idx") + xstr("a.idx.old"));
    auto mk = fresh<api_quor_Mkdir_req_t>();
    strcpy(mk->Path, "/d");
    mk->Mode = 040700;
    expectGolden(xdr_api_quor_Mkdir_req_t, mk.get(), hex("00 00 00 02 2f 64 00 00 00 01 01 c0"));
    auto ux = fresh<uda_set_expiration_req_t>();
    strcpy(ux->Path, "/a");
    ux->ExpireTime = 0x65000000;
    expectGolden(xdr_uda_set_expiration_req_t, ux.get(), hex("00 00 00 03 2f 61 00 00 00 00 00 00 65 00 00 00"));
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

// The same record filled field by field.
void fillAttrs(quor_Attrs_t *a)
{
    a->Account = 0x11;
    a->BitfileObj.BfHash = 0xabcd;
    strcpy(a->Comment, "hi");
    a->COSId = 11;
    a->DataLength = 0x0102030405060708ull;
    a->FamilyId = 8;
    a->FilesetHandle.ObjId = 0x99;
    a->GID = 100;
    a->ModePerms = 32;
    a->RegisterBitMap = 0x8000000000000000ull;
    a->SubSystemId = 3;
    a->TimeCreated = 0x5f5e1000;
    a->TrashInfo.UID = 42;
    strcpy(a->TrashInfo.Name, "n");
    a->Type = 129;
    a->UID = 1000;
    a->WriteCount = 9;
}

TEST(FsGolden, AttributeRecordFieldsSitAtTheirOffsets)
{
    auto a = fresh<quor_Attrs_t>();
    fillAttrs(a.get());
    expectGolden(xdr_quor_Attrs_t, a.get(), attrsWire(), true);

    // The comment is text: a full field without NUL decodes terminated.
    Bytes full = attrsWire();
    std::fill(full.begin() + kOffComment, full.begin() + kOffComment + QUOR_COMMENT_SIZE, 'c');
    ASSERT_TRUE(decodeAll(xdr_quor_Attrs_t, full, a.get()));
    EXPECT_EQ(strlen(a->Comment), QUOR_COMMENT_SIZE - 1);

    // The selection mask travels as a 64-bit value after the path: the
    // family-id bit is 0x100, the user permission bit 1 << 32.
    auto r = fresh<api_quor_FileSetAttributes_req_t>();
    strcpy(r->Path, "/f");
    r->SelFlags = QUOR_ATTRSEL_FAMILYID | QUOR_ATTRSEL_USERPERMS;
    fillAttrs(&r->AttrIn.Attrs);
    expectGolden(xdr_api_quor_FileSetAttributes_req_t, r.get(),
                 hex("00 00 00 02 2f 66 00 00 00 00 00 01 00 00 01 00") + Bytes(44, 0) + attrsWire(), true);
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
    return level0 + Bytes(4 * 32, 0);
}

TEST(FsGolden, ExtendedAttributesCarryLevelsVolumesAndPhysicalVolumes)
{
    const Bytes want = Bytes(44, 0) + attrsWire() + levelsWire();
    auto f = fresh<quor_xfileattr_t>();
    ASSERT_TRUE(decodeAll(xdr_quor_xfileattr_t, want, f.get()));
    bool ok = false;
    EXPECT_EQ(encode(xdr_quor_xfileattr_t, f.get(), &ok), want);
    const quor_levelattrs_t &l = f->LevelAttrs[0];
    EXPECT_EQ(l.NumberOfVVs, 1u);
    EXPECT_EQ(l.BytesAtLevel, 0x2000u);
    EXPECT_EQ(l.OptimumAccessSize, 0x100000u);
    EXPECT_EQ(l.StripeWidth, 4u);
    EXPECT_EQ(l.StripeLength, 0x400000u);
    EXPECT_EQ(l.Flags, QUOR_LEVEL_DISK | QUOR_LEVEL_HAS_DATA);
    ASSERT_NE(l.VVAttrib, nullptr);
    EXPECT_EQ(l.VVAttrib[0].VVID[18], 0x13);
    EXPECT_EQ(l.VVAttrib[0].RelPosition, -2);
    EXPECT_EQ(l.VVAttrib[0].RelPositionOffset, 0x10u);
    EXPECT_EQ(l.VVAttrib[0].BytesOnVV, 0x2000u);
    ASSERT_EQ(l.VVAttrib[0].PVCount, 2u);
    EXPECT_EQ(std::string(l.VVAttrib[0].PVList[0].Name), "PV000001");
    EXPECT_EQ(l.VVAttrib[0].PVList[0].Flags, 1u);
    EXPECT_EQ(std::string(l.VVAttrib[0].PVList[1].Name, QUOR_PV_NAME_SIZE), "ABCDEFGHIJKL");
    EXPECT_EQ(f->Attrs.FamilyId, 8u);
    EXPECT_TRUE(release(xdr_quor_xfileattr_t, f.get()));
    EXPECT_EQ(f->LevelAttrs[0].VVAttrib, nullptr);
    expectEveryCutFails(xdr_quor_xfileattr_t, want, true);
}

TEST(FsGolden, NameSpecificationsAndDirectoryEntries)
{
    api_namespec_t group{QUOR_NAMESPEC_GROUP, 0, 1, "staff", ""};
    api_quor_ConvertNamesToIds_req_t r{1, &group};
    expectGolden(xdr_api_quor_ConvertNamesToIds_req_t, &r,
                 hex("00 00 00 01"           // count
                     "00 00 00 02"           // Type: group
                     "00 00 00 00"           // Id
                     "00 00 00 01"           // RealmId
                     "73 74 61 66 66")       // Name "staff" in 128 bytes
                     + Bytes(123 + 256, 0),  // RealmName ""
                 true);

    // A directory of two entries: name, handle, offset and attributes each.
    std::vector<ns_DirEntry_t> entries(2);
    for (ns_DirEntry_t &e : entries)
        fillAttrs(&e.Attrs);
    strcpy(entries[0].Name, "a");
    entries[0].ObjOffset = 1;
    strcpy(entries[1].Name, "bcd");
    entries[1].ObjOffset = 2;
    api_quor_ReadAttrs_rply_t d{2, 1, 9, entries.data()};
    expectGolden(xdr_api_quor_ReadAttrs_rply_t, &d,
                 hex("00 00 00 02 00 00 00 01 00 00 00 00 00 00 00 09") +  // count, End, OffsetOut
                     hex("00 00 00 02 61 00 00 00") + Bytes(44, 0) + hex("00 00 00 00 00 00 00 01") + attrsWire() +
                     hex("00 00 00 04 62 63 64 00") + Bytes(44, 0) + hex("00 00 00 00 00 00 00 02") + attrsWire(),
                 true);
}

TEST(FsCaps, StringsAndCountsAtTheirCapsAndOneOver)
{
    // Strings: a path of 1024 bytes, a counted class name of 31 + NUL,
    // the expiration path of 1024 + NUL, user names and class lists.
    expectCap(xdr_api_quor_path_req_t, Bytes(), KYLGW_MAX_PATH, Bytes(), "path");
    expectCap(xdr_quor_cos_hints_t, word(0), QUOR_COSNAME_SIZE, Bytes(68, 0), "class name");
    expectCap(xdr_uda_set_expiration_req_t, Bytes(), QUOR_UDA_PATH_SIZE, Bytes(8, 0), "expiration path");
    expectCap(xdr_api_lookup_homedir_req_t, Bytes(), KYLGW_MAX_USERNAME, Bytes(), "principal");
    expectCap(xdr_api_getpwent_req_t, Bytes(), KYLGW_MAX_USERNAME, Bytes(), "user name");
    expectCap(xdr_api_selectcos_req_t, Bytes(), KYLGW_MAX_COSLIST, Bytes(28, 0), "class list");
    EXPECT_FALSE(decodes(xdr_quor_cos_hints_t, word(0) + word(0) + Bytes(68, 0)));  // at least the NUL
    quor_cos_hints_t h{};
    memset(h.COSName, 'n', QUOR_COSNAME_SIZE);  // no room for the NUL
    EXPECT_FALSE(encodes(xdr_quor_cos_hints_t, &h));
    auto path = fresh<api_quor_path_req_t>();
    memset(path->Path, 'p', KYLGW_MAX_PATH + 1);
    EXPECT_FALSE(encodes(xdr_api_quor_path_req_t, path.get()));

    // Counts are refused at their words, before anything is allocated.
    for (uint32_t n : {KYLGW_MAX_DIRENTRIES + 1, 0xFFFFFFF0u}) {
        api_quor_ReadAttrs_rply_t r{};
        size_t left = 0;
        EXPECT_FALSE(decodeAll(xdr_api_quor_ReadAttrs_rply_t, word(n) + Bytes(64, 0), &r, &left)) << n;
        EXPECT_EQ(left, 64u) << n;
        EXPECT_EQ(r.DirEntries, nullptr);
    }
    for (uint32_t n : {KYLGW_MAX_NAMESPECS + 1, 0x80000000u, 0xFFFFFFFFu}) {
        api_quor_ConvertNamesToIds_req_t r{};
        size_t left = 0;
        EXPECT_FALSE(decodeAll(xdr_api_quor_ConvertNamesToIds_req_t, word(n) + Bytes(64, 0), &r, &left)) << n;
        EXPECT_EQ(left, 64u) << n;
        EXPECT_EQ(r.Names, nullptr);
    }
    EXPECT_TRUE(decodes(xdr_api_quor_ConvertNamesToIds_req_t,
                        word(KYLGW_MAX_NAMESPECS) + Bytes(size_t{KYLGW_MAX_NAMESPECS} * (12 + 128 + 256), 0)));
    Bytes dir = word(KYLGW_MAX_DIRENTRIES) + Bytes(12, 0);
    for (uint32_t i = 0; i < KYLGW_MAX_DIRENTRIES; i++)
        dir = dir + hex("00 00 00 02 61 00 00 00") + Bytes(44 + 8, 0) + attrsWire();
    EXPECT_TRUE(decodes(xdr_api_quor_ReadAttrs_rply_t, dir));
    const Bytes head = Bytes(44, 0) + attrsWire();
    auto f = fresh<quor_xfileattr_t>();
    size_t left = 0;
    EXPECT_FALSE(decodeAll(xdr_quor_xfileattr_t, head + word(KYLGW_MAX_LEVEL_VVS + 1) + Bytes(256, 0), f.get(), &left));
    EXPECT_EQ(left, 256u);
    // Physical volumes: level 0 as typed, then a level whose one volume
    // claims too many; the first level's list is released again.
    const Bytes levels = levelsWire();
    Bytes bad = head + Bytes(levels.begin(), levels.begin() + 108) + word(1) + Bytes(8 + 4 + 4 + 8 + 4, 0) +
                Bytes(20 + 4 + 8 + 8, 0) + word(KYLGW_MAX_VV_PVS + 1) + Bytes(64, 0);
    EXPECT_FALSE(decodeAll(xdr_quor_xfileattr_t, bad, f.get(), &left));
    EXPECT_EQ(left, 64u);
    EXPECT_EQ(f->LevelAttrs[0].VVAttrib, nullptr);
    EXPECT_TRUE(release(xdr_quor_xfileattr_t, f.get()));

    // Encoding refuses counts the decoder would refuse.
    api_quor_ConvertNamesToIds_req_t neg{-1, nullptr}, missing{2, nullptr};
    EXPECT_FALSE(encodes(xdr_api_quor_ConvertNamesToIds_req_t, &neg));
    EXPECT_FALSE(encodes(xdr_api_quor_ConvertNamesToIds_req_t, &missing));
    std::vector<api_namespec_t> many(KYLGW_MAX_NAMESPECS + 1);
    api_quor_ConvertNamesToIds_req_t tooMany{static_cast<int32_t>(many.size()), many.data()};
    EXPECT_FALSE(encodes(xdr_api_quor_ConvertNamesToIds_req_t, &tooMany));
    f->LevelAttrs[2].NumberOfVVs = 1;  // a count without volumes
    EXPECT_FALSE(encodes(xdr_quor_xfileattr_t, f.get()));
}

} // namespace
