// Index records against bytes typed from the field tables: the header's
// first 32 bytes, an entry with every numeric field distinct (64-bit fields
// at unaligned offsets), decoding limits and member path formation from
// fields that fill their width.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "velk_IndexFormat.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(IndexFormat, HeaderBytesAndDecode)
{
    hif_hdr_t h;
    memset(&h, 0, sizeof h);
    memcpy(h.hif_hdr.hif_sanity, "VelkIndex", 9);
    velk_Put32(h.hif_hdr.hif_version, 2001);
    velk_Put32(h.hif_hdr.hif_flags, 0x80000000u);
    velk_Put32(h.hif_hdr.obj_count, 0x01020304);
    velk_Put32(h.hif_hdr.annotation_offset, 0);
    velk_Put32(h.hif_hdr.annotation_size, 0x100);
    memcpy(h.hif_cfinfo.hif_inx_sanity, "VELK_INX", 8);
    velk_Put64(h.hif_cfinfo.hif_tarsize, 2560);
    velk_Put64(h.hif_cfinfo.hif_velk_filecount, 2);

    Bytes out(288, 0xEE);
    velk_EncodeIndexHeader(&h, out.data());
    const unsigned char want32[32] = {'V', 'e', 'l', 'k', 'I', 'n', 'd', 'e', 'x', 0,    0,    0,    0x00, 0x00, 0x07, 0xD1,
                                      0x80, 0,  0,   0,   0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0x00, 0x00, 0x01, 0x00};
    EXPECT_EQ(memcmp(out.data(), want32, 32), 0);
    // Consistency record at byte 32: sanity, then archive size at 32+124
    // and member count at 32+132, both big-endian 64-bit.
    EXPECT_EQ(memcmp(out.data() + 32, "VELK_INX", 8), 0);
    const unsigned char size2560[8] = {0, 0, 0, 0, 0, 0, 0x0A, 0x00};
    const unsigned char count2[8] = {0, 0, 0, 0, 0, 0, 0, 0x02};
    EXPECT_EQ(memcmp(out.data() + 156, size2560, 8), 0);
    EXPECT_EQ(memcmp(out.data() + 164, count2, 8), 0);

    hif_hdr_t back;
    ASSERT_EQ(velk_DecodeIndexHeader(out.data(), 288, &back), 0);
    EXPECT_TRUE(velk_IndexHeaderSane(&back));
    EXPECT_EQ(velk_Get32(back.hif_hdr.obj_count), 0x01020304u);
    EXPECT_EQ(velk_Get64(back.hif_cfinfo.hif_tarsize), 2560u);
    EXPECT_EQ(velk_DecodeIndexHeader(out.data(), 287, &back), -1);

    // "VelkIndexX" is not the mark: the NUL after the text is part of it.
    out[9] = 'X';
    ASSERT_EQ(velk_DecodeIndexHeader(out.data(), 288, &back), 0);
    EXPECT_FALSE(velk_IndexHeaderSane(&back));
}

TEST(IndexFormat, EntryBytes)
{
    hif_entry_t e;
    memset(&e, 0, sizeof e);
    memcpy(e.hent_sanity, "VELK_IDX", 8);
    velk_Put32(e.hent_flags, 0xD0000000u);
    velk_Put32(e.hent_blocks, 0x00000003);
    velk_Put32(e.hent_type, 4);
    velk_Put32(e.hent_version, 1);
    velk_Put64(e.hent_offset, 0x0102030405060708ull);
    velk_Put64(e.hent_fsize, 0x1112131415161718ull);
    velk_Put32(e.hent_crc32, 0xCAFEBABE);
    strcpy(e.hent_name, "n");
    strcpy(e.hent_prefix, "p");
    strcpy(e.hent_linkname, "l");
    velk_Put32(e.hent_mode, 0644);
    velk_Put32(e.hent_ctime, 0x21222324);
    velk_Put32(e.hent_mtime, 0x31323334);
    velk_Put32(e.hent_uid, 0x41424344);
    velk_Put32(e.hent_gid, 0x51525354);
    strcpy(e.hent_uname, "u");
    strcpy(e.hent_gname, "g");

    Bytes want(512, 0);
    auto put = [&](size_t off, std::initializer_list<unsigned char> b) {
        size_t i = off;
        for (unsigned char c : b)
            want[i++] = c;
    };
    put(0, {'V', 'E', 'L', 'K', '_', 'I', 'D', 'X'});
    put(8, {0xD0, 0, 0, 0});
    put(12, {0, 0, 0, 3});
    put(16, {0, 0, 0, 4});
    put(24, {0, 0, 0, 1});
    put(28, {1, 2, 3, 4, 5, 6, 7, 8});
    put(36, {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18});
    put(52, {0xCA, 0xFE, 0xBA, 0xBE});
    put(56, {'n'});
    put(156, {'p'});
    put(312, {'l'});
    put(412, {0, 0, 0x01, 0xA4});
    put(416, {0x21, 0x22, 0x23, 0x24});
    put(420, {0x31, 0x32, 0x33, 0x34});
    put(424, {0x41, 0x42, 0x43, 0x44});
    put(428, {0x51, 0x52, 0x53, 0x54});
    put(432, {'u'});
    put(464, {'g'});

    Bytes out(512, 0xEE);
    velk_EncodeIndexEntry(&e, out.data());
    for (size_t i = 0; i < 512; i++)
        ASSERT_EQ(out[i], want[i]) << "byte " << i;

    hif_entry_t back;
    ASSERT_EQ(velk_DecodeIndexEntry(want.data(), 512, &back), 0);
    EXPECT_TRUE(velk_IndexEntrySane(&back));
    EXPECT_EQ(velk_Get64(back.hent_offset), 0x0102030405060708ull);
    EXPECT_EQ(velk_Get32(back.hent_gid), 0x51525354u);
    // The phantom bit is the sign of the flags word.
    EXPECT_LT(static_cast<int32_t>(velk_Get32(back.hent_flags)), 0);
    EXPECT_EQ(velk_DecodeIndexEntry(want.data(), 511, &back), -1);
    want[7] = 'Y';
    ASSERT_EQ(velk_DecodeIndexEntry(want.data(), 512, &back), 0);
    EXPECT_FALSE(velk_IndexEntrySane(&back));
}

TEST(IndexFormat, PathFromFullWidthFields)
{
    hif_entry_t e;
    memset(&e, 0, sizeof e);
    std::string name(100, 'n');
    memcpy(e.hent_name, name.data(), 100);
    EXPECT_EQ(velk_FormIxEntryPathname(&e, nullptr, 0), 100u);
    char out[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(&e, out, sizeof out);
    EXPECT_EQ(std::string(out), name);

    // A prefix filling all 156 bytes contributes 155.
    memset(e.hent_prefix, 'p', sizeof e.hent_prefix);
    EXPECT_EQ(velk_FormIxEntryPathname(&e, out, sizeof out), 256u);
    EXPECT_EQ(std::string(out), std::string(155, 'p') + "/" + name);

    // A short buffer gets a terminated leading part.
    char small[5];
    EXPECT_EQ(velk_FormIxEntryPathname(&e, small, sizeof small), 256u);
    EXPECT_STREQ(small, "pppp");

}

} // namespace
